// Cp1251.cpp -- CP1251 to UTF-8 through a 256-entry table built at compile
// time from the code page, with runs of ASCII copied eight bytes at a time.
#include <array>
#include <cstdint>
#include <cstring>

#include "qovautils/StringUtils.h"

namespace qovautils {

namespace {

// The code points of bytes 0x80 to 0xFF in Windows code page 1251; the lower
// half is ASCII.  0 marks 0x98, which the code page leaves undefined.
constexpr char16_t kUpperHalf[128] = {
    // 0x80: Ђ Ѓ ‚ ѓ „ … † ‡ € ‰ Љ ‹ Њ Ќ Ћ Џ
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  //
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  //
    // 0x90: ђ ‘ ’ “ ” • – — (undefined) ™ љ › њ ќ ћ џ
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  //
    0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  //
    // 0xA0: no-break space Ў ў Ј ¤ Ґ ¦ § Ё © Є « ¬ soft hyphen ® Ї
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  //
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  //
    // 0xB0: ° ± І і ґ µ ¶ · ё № є » ј Ѕ ѕ ї
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  //
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  //
    // 0xC0: А to Я
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,  //
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,  //
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,  //
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,  //
    // 0xE0: а to я
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,  //
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,  //
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,  //
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,  //
};

constexpr unsigned char kUnmapped = 0x98;

// Every character of CP1251 lies in the Basic Multilingual Plane, so no
// UTF-8 form is longer than three bytes (the euro sign 0x88, the numero sign
// 0xB9 and the dashes and quotes of 0x80-0x9F); letters take two.
constexpr size_t kMaxUtf8PerByte = 3;

constexpr bool kLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

// One byte's UTF-8 form in the first three bytes of a word (in memory
// order) and its length in the fourth, so that a character costs one load
// and one 32-bit store.
constexpr std::uint32_t entry(std::uint32_t b0, std::uint32_t b1, std::uint32_t b2,
                              std::uint32_t length) {
    return kLittleEndian ? b0 | b1 << 8 | b2 << 16 | length << 24
                         : b0 << 24 | b1 << 16 | b2 << 8 | length;
}
constexpr size_t lengthOf(std::uint32_t e) { return kLittleEndian ? e >> 24 : e & 0xFF; }

constexpr std::uint32_t utf8Of(std::uint32_t cp) {
    if (cp < 0x80) return entry(cp, 0, 0, 1);
    if (cp < 0x800) return entry(0xC0 | cp >> 6, 0x80 | (cp & 0x3F), 0, 2);
    return entry(0xE0 | cp >> 12, 0x80 | (cp >> 6 & 0x3F), 0x80 | (cp & 0x3F), 3);
}

constexpr std::array<std::uint32_t, 256> makeTable() {
    std::array<std::uint32_t, 256> t{};
    for (int b = 0; b < 0x80; ++b) t[b] = utf8Of(static_cast<std::uint32_t>(b));
    for (int b = 0x80; b < 0x100; ++b) {
        // The undefined byte keeps an empty entry; conversion never reaches it.
        if (kUpperHalf[b - 0x80] != 0) t[b] = utf8Of(kUpperHalf[b - 0x80]);
    }
    return t;
}
constexpr std::array<std::uint32_t, 256> kUtf8 = makeTable();

inline char* put(char* out, unsigned char byte) {
    const std::uint32_t e = kUtf8[byte];
    std::memcpy(out, &e, sizeof e);  // the bytes past its length are overwritten later
    return out + lengthOf(e);
}

}  // namespace

std::string StringUtils::cp1251ToUtf8(char* input, size_t length) {
    const auto* in = reinterpret_cast<const unsigned char*>(input);
    // All or nothing: a byte without a mapping gives the empty result, and
    // finding one first costs far less than a wasted conversion.
    if (length == 0 || std::memchr(in, kUnmapped, length) != nullptr) return std::string();

    // The worst case, and one byte more for the whole entry that put() copies
    // for the last character.
    std::string result(length * kMaxUtf8PerByte + 1, '\0');
    char* out = &result[0];
    constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
    size_t i = 0;
    for (; length - i >= 8; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, in + i, 8);
        if ((word & kHighBits) == 0) {  // eight ASCII bytes, copied as they are
            std::memcpy(out, &word, 8);
            out += 8;
            continue;
        }
        for (size_t k = 0; k < 8; ++k) out = put(out, in[i + k]);
    }
    for (; i < length; ++i) out = put(out, in[i]);
    result.resize(static_cast<size_t>(out - result.data()));
    return result;
}

}  // namespace qovautils
