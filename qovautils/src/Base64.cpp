// Base64.cpp -- qovautils::Base64: the scalar codec, and the choice of the
// path that runs it.
//
// The scalar path gets its speed from tables computed at compile time, so it
// stays portable and needs no -march:
//  - encoding looks up 12 input bits at a time in a 4096-entry table of
//    character pairs, reading six input bytes per 64-bit load;
//  - decoding ORs four 256-entry tables, one per position in the group of
//    four, whose entries are already shifted into the output byte order, and
//    stores each group's three bytes with one 32-bit store.
// On x86-64 the SIMD kernels (base64_avx2.cpp, base64_avx512.cpp) take over
// the bulk of the work when the processor has the instructions; the scalar
// code finishes what they leave, so every path gives the same bytes.  The
// public `decoding_table` keeps its contract (malloc'ed on first decode,
// freed by base64_cleanup) beside them.
#include "qovautils/Base64.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "Base64_internal.h"

namespace qovautils {

const char Base64::encoding_table[64] = {
    'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P',
    'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X', 'Y', 'Z', 'a', 'b', 'c', 'd', 'e', 'f',
    'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p', 'q', 'r', 's', 't', 'u', 'v',
    'w', 'x', 'y', 'z', '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '-', '_'};

const int Base64::mod_table[3] = {0, 2, 1};

char* Base64::decoding_table = nullptr;

void* (*detail::base64_table_alloc)(size_t) = std::malloc;

namespace {

using detail::kBase64Alphabet;

constexpr bool kLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

// kPairs[i]: the two characters for the 12-bit value i.
struct CharPair {
    char c[2];
};
constexpr std::array<CharPair, 4096> makePairs() {
    std::array<CharPair, 4096> t{};
    for (int i = 0; i < 4096; ++i)
        t[i] = CharPair{{kBase64Alphabet[i >> 6], kBase64Alphabet[i & 63]}};
    return t;
}
constexpr std::array<CharPair, 4096> kPairs = makePairs();

// Sextet value of each byte: 0 to 63 for the alphabet, 0 for '=' and for
// every byte outside the alphabet.
constexpr std::array<std::uint8_t, 256> makeSextets() {
    std::array<std::uint8_t, 256> t{};
    for (int i = 0; i < 64; ++i) {
        t[static_cast<unsigned char>(kBase64Alphabet[i])] = static_cast<std::uint8_t>(i);
    }
    return t;
}
constexpr std::array<std::uint8_t, 256> kSextets = makeSextets();

// kDecode[k][c]: the bits that character c at position k of a group adds to
// the group's three output bytes, laid out so that the word's first three
// bytes in memory are those output bytes in order.
using DecodeTable = std::array<std::array<std::uint32_t, 256>, 4>;
constexpr DecodeTable makeDecode() {
    DecodeTable t{};
    for (int k = 0; k < 4; ++k) {
        for (int c = 0; c < 256; ++c) {
            // The character's share of the 24-bit group value.
            const std::uint32_t v = std::uint32_t{kSextets[c]} << (18 - 6 * k);
            t[k][c] =
                kLittleEndian ? ((v >> 16) & 0xFF) | (v & 0xFF00) | ((v & 0xFF) << 16) : v << 8;
        }
    }
    return t;
}
constexpr DecodeTable kDecode = makeDecode();

inline std::uint64_t loadBigEndian64(const unsigned char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return kLittleEndian ? __builtin_bswap64(v) : v;
}

inline void putPair(char* out, unsigned index) { std::memcpy(out, kPairs[index].c, 2); }

// The word of output bytes for the group of four characters at `in`.
inline std::uint32_t decodeGroup(const unsigned char* in) {
    return kDecode[0][in[0]] | kDecode[1][in[1]] | kDecode[2][in[2]] | kDecode[3][in[3]];
}

// Encodes all `length` bytes at `in`, padding included.
void encodeScalar(const unsigned char* in, size_t length, char* out) {
    size_t i = 0;

    // Twelve bytes to sixteen characters per pass; the two 64-bit loads read
    // two bytes beyond the twelve, so stop while 14 remain.
    for (; length - i >= 14; i += 12, out += 16) {
        const std::uint64_t a = loadBigEndian64(in + i);
        const std::uint64_t b = loadBigEndian64(in + i + 6);
        putPair(out, static_cast<unsigned>(a >> 52));
        putPair(out + 2, static_cast<unsigned>(a >> 40) & 0xFFF);
        putPair(out + 4, static_cast<unsigned>(a >> 28) & 0xFFF);
        putPair(out + 6, static_cast<unsigned>(a >> 16) & 0xFFF);
        putPair(out + 8, static_cast<unsigned>(b >> 52));
        putPair(out + 10, static_cast<unsigned>(b >> 40) & 0xFFF);
        putPair(out + 12, static_cast<unsigned>(b >> 28) & 0xFFF);
        putPair(out + 14, static_cast<unsigned>(b >> 16) & 0xFFF);
    }
    for (; length - i >= 3; i += 3, out += 4) {
        const unsigned v = unsigned{in[i]} << 16 | unsigned{in[i + 1]} << 8 | in[i + 2];
        putPair(out, v >> 12);
        putPair(out + 2, v & 0xFFF);
    }

    const size_t rest = length - i;  // 0, 1 or 2
    if (rest != 0) {
        const unsigned v = unsigned{in[i]} << 16 | (rest == 2 ? unsigned{in[i + 1]} << 8 : 0u);
        putPair(out, v >> 12);
        putPair(out + 2, v & 0xFFF);
        for (int pad = 0; pad < Base64::mod_table[rest]; ++pad) out[3 - pad] = '=';
    }
}

// Writes the first `n` bytes of the decoding of the groups at `in`.
void decodeScalar(const unsigned char* in, char* out, size_t n) {
    // Every group but the last whole one is stored as a full word: the
    // fourth byte lands where the next group's bytes go and is overwritten.
    size_t written = 0;
    for (; written + 8 <= n; written += 6, in += 8, out += 6) {
        const std::uint64_t a = decodeGroup(in);
        const std::uint64_t b = decodeGroup(in + 4);
        const std::uint64_t w = kLittleEndian ? a | b << 24 : a << 32 | b << 8;
        std::memcpy(out, &w, 8);
    }
    for (; written + 4 <= n; written += 3, in += 4, out += 3) {
        const std::uint32_t w = decodeGroup(in);
        std::memcpy(out, &w, 4);
    }
    // The last one or two groups: exactly the bytes that are left.
    while (written < n) {
        const std::uint32_t w = decodeGroup(in);
        const size_t take = n - written < 3 ? n - written : 3;
        std::memcpy(out, &w, take);
        written += take;
        in += 4;
        out += take;
    }
}

// The bulk of the work on one path; the scalar code finishes it.
struct Kernels {
    size_t (*encode)(const unsigned char* input, size_t length, char* output);
    size_t (*decode)(const unsigned char* input, size_t length, char* output, size_t limit);
};

size_t encodeNothing(const unsigned char*, size_t, char*) { return 0; }
size_t decodeNothing(const unsigned char*, size_t, char*, size_t) { return 0; }

bool processorHas(detail::Base64Path path) {
#if defined(__x86_64__)
    __builtin_cpu_init();
    switch (path) {
        case detail::Base64Path::kScalar:
            return true;
        case detail::Base64Path::kAvx2:
            return __builtin_cpu_supports("avx2");
        case detail::Base64Path::kAvx512Vbmi:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512vbmi");
    }
    return false;
#else
    return path == detail::Base64Path::kScalar;
#endif
}

Kernels kernelsOf(detail::Base64Path path) {
    if (!detail::base64_path_supported(path)) path = detail::base64_best_path();
    switch (path) {
#if defined(__x86_64__)
        case detail::Base64Path::kAvx2:
            return {detail::base64_encode_avx2, detail::base64_decode_avx2};
        case detail::Base64Path::kAvx512Vbmi:
            return {detail::base64_encode_avx512vbmi, detail::base64_decode_avx512vbmi};
#endif
        default:
            return {encodeNothing, decodeNothing};
    }
}

}  // namespace

bool detail::base64_path_supported(Base64Path path) {
    // Asked once per path and process; function-local statics are
    // initialised exactly once even when many threads arrive together.
    static const bool avx2 = processorHas(Base64Path::kAvx2);
    static const bool avx512vbmi = processorHas(Base64Path::kAvx512Vbmi);
    switch (path) {
        case Base64Path::kAvx2:
            return avx2;
        case Base64Path::kAvx512Vbmi:
            return avx512vbmi;
        default:
            return true;
    }
}

detail::Base64Path detail::base64_best_path() {
    static const Base64Path best = base64_path_supported(Base64Path::kAvx512Vbmi)
                                       ? Base64Path::kAvx512Vbmi
                                   : base64_path_supported(Base64Path::kAvx2) ? Base64Path::kAvx2
                                                                              : Base64Path::kScalar;
    return best;
}

const char* detail::base64_path_name(Base64Path path) {
    switch (path) {
        case Base64Path::kAvx2:
            return "avx2";
        case Base64Path::kAvx512Vbmi:
            return "avx512vbmi";
        default:
            return "scalar";
    }
}

size_t detail::base64_encode(Base64Path path, const char* input, size_t length, char* output) {
    const auto* in = reinterpret_cast<const unsigned char*>(input);
    const size_t done = kernelsOf(path).encode(in, length, output);
    encodeScalar(in + done, length - done, output + done / 3 * 4);
    return Base64::encode_len(input, length);
}

size_t detail::base64_decode(Base64Path path, const char* input, size_t length, char* output) {
    if (Base64::decoding_table == nullptr) {
        Base64::build_decoding_table();
        if (Base64::decoding_table == nullptr) return 0;
    }
    if (length % 4 != 0) return 0;

    const size_t n = Base64::decode_len(input, length);
    const auto* in = reinterpret_cast<const unsigned char*>(input);
    const size_t done = kernelsOf(path).decode(in, length, output, n);
    decodeScalar(in + done / 3 * 4, output + done, n - done);
    return n;
}

size_t Base64::encode_len(const char*, size_t length) {
    // 4 * ceil(length / 3) in integers: exact for every length, and equal to
    // the floating-point formula wherever that one is exact (below 2^52).
    return length / 3 * 4 + (length % 3 != 0 ? 4 : 0);
}

size_t Base64::decode_len(const char* input, size_t length) {
    if (length < 2) return 0;
    size_t n = length / 4 * 3;
    // Each '=' takes one byte off, but never below 0: "a=" or "ab=" decode to
    // nothing rather than to a wrapped-around size.
    if (input[length - 1] == '=' && n > 0) --n;
    if (input[length - 2] == '=' && n > 0) --n;
    return n;
}

size_t Base64::encode(const char* input, size_t length, char* output) {
    return detail::base64_encode(detail::base64_best_path(), input, length, output);
}

size_t Base64::decode(const char* input, size_t length, char* output) {
    return detail::base64_decode(detail::base64_best_path(), input, length, output);
}

void Base64::build_decoding_table() {
    auto* table = static_cast<char*>(detail::base64_table_alloc(256));
    if (table == nullptr) return;  // whatever was installed stays
    for (int c = 0; c < 256; ++c) table[c] = static_cast<char>(kSextets[c]);
    std::free(decoding_table);
    decoding_table = table;
}

void Base64::base64_cleanup() {
    std::free(decoding_table);
    decoding_table = nullptr;
}

}  // namespace qovautils
