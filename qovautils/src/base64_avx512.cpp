// base64_avx512.cpp -- the AVX-512 VBMI kernels of the Base64 codec.
//
// Compiled for any x86-64 (function-level target attributes, no -march);
// Base64.cpp calls them only when the processor reports AVX-512 F, BW and
// VBMI.  The byte permutes of VBMI do the table lookups of a whole 64-byte
// register at once, after W. Muła and D. Lemire, "Base64 encoding and
// decoding at almost the speed of a memory copy" (2019), changed for the
// URL-safe alphabet and for this codec's rule that '=' and every byte
// outside the alphabet decode as zero bits.  Short blocks at the end go
// through masked loads and stores, which touch no byte outside the mask.
#if defined(__x86_64__)

#include <immintrin.h>

#include <array>
#include <cstdint>

#include "Base64_internal.h"

#define QOVA_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi")))

namespace qovautils {
namespace detail {

namespace {

using Bytes64 = std::array<unsigned char, 64>;

// Byte indices that spread 16 groups of three bytes over 16 32-bit lanes as
// b1 b0 b2 b1 (memory order), so that each lane's 16-bit halves hold b0:b1
// and b1:b2.
constexpr Bytes64 makeSpread() {
    Bytes64 t{};
    for (int g = 0; g < 16; ++g) {
        t[4 * g] = static_cast<unsigned char>(3 * g + 1);
        t[4 * g + 1] = static_cast<unsigned char>(3 * g);
        t[4 * g + 2] = static_cast<unsigned char>(3 * g + 2);
        t[4 * g + 3] = static_cast<unsigned char>(3 * g + 1);
    }
    return t;
}
alignas(64) constexpr Bytes64 kSpread = makeSpread();

// Bit offsets, within each 64-bit lane of the spread bytes, of the four
// sextets of its two groups (first sextet at 10, then 4, 22 and 16).
constexpr std::uint64_t kSextetShifts = 0x3036242A1016040AULL;

// Sextet values of the ASCII bytes (0 to 127): 0 outside the alphabet.
using Bytes128 = std::array<unsigned char, 128>;
constexpr Bytes128 makeAsciiSextets() {
    Bytes128 t{};
    for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(kBase64Alphabet[i])] = i;
    return t;
}
alignas(64) constexpr Bytes128 kAsciiSextets = makeAsciiSextets();

// Byte indices that gather the three bytes of each 24-bit group (held in
// the order 2, 1, 0 of its 32-bit lane) into 48 consecutive bytes.
constexpr Bytes64 makePack() {
    Bytes64 t{};
    for (int i = 0; i < 48; ++i) t[i] = static_cast<unsigned char>(4 * (i / 3) + 2 - i % 3);
    return t;
}
alignas(64) constexpr Bytes64 kPack = makePack();

// Byte indices that take output bytes [64 * part, 64 * part + 64) of four
// blocks from two of them, given as a pair of registers of 24-bit groups
// (a then b): bit 6 of an index picks b.  Part 0 merges blocks 0 and 1,
// part 1 blocks 1 and 2, part 2 blocks 2 and 3.
constexpr Bytes64 makeMerge(int part) {
    Bytes64 t{};
    for (int i = 0; i < 64; ++i) {
        const int at = 64 * part + i;      // position in the 192 output bytes
        const int block = at / 48 - part;  // 0: a, 1: b
        const int k = at % 48;
        t[i] = static_cast<unsigned char>(64 * block + 4 * (k / 3) + 2 - k % 3);
    }
    return t;
}
alignas(64) constexpr Bytes64 kMerge[3] = {makeMerge(0), makeMerge(1), makeMerge(2)};

// GCC 12 warns that the unmasked VBMI intrinsics read an uninitialised
// pass-through operand; the zero-masking forms with every lane selected
// compile to the same instructions and have none.
constexpr __mmask64 kAll = ~__mmask64{0};

inline __mmask64 firstBytes(size_t n) { return n >= 64 ? kAll : (__mmask64{1} << n) - 1; }

QOVA_AVX512 inline __m512i load(const void* table) { return _mm512_load_si512(table); }

// 48 bytes (the low 48 of `bytes`) to 64 characters.
QOVA_AVX512 inline __m512i encodeBlock(__m512i bytes, __m512i spread, __m512i shifts,
                                       __m512i alphabet) {
    const __m512i lanes = _mm512_maskz_permutexvar_epi8(kAll, spread, bytes);
    // Each output byte takes the eight bits at its offset; the permute below
    // looks at the low six only.
    const __m512i sextets = _mm512_maskz_multishift_epi64_epi8(kAll, shifts, lanes);
    return _mm512_maskz_permutexvar_epi8(kAll, sextets, alphabet);
}

// 64 characters to their 16 24-bit groups, one in each 32-bit lane with
// its bytes in the order 2, 1, 0.
QOVA_AVX512 inline __m512i decodeGroups(__m512i chars, __m512i lowHalf, __m512i highHalf) {
    // A 128-entry lookup on the low seven bits; bytes from 128 up are zeroed.
    const __mmask64 ascii = _mm512_testn_epi8_mask(chars, _mm512_set1_epi8(-128));
    const __m512i sextets = _mm512_maskz_permutex2var_epi8(ascii, lowHalf, chars, highHalf);
    // Pairs of sextets to 12-bit values, pairs of those to 24-bit ones.
    const __m512i pairs = _mm512_maddubs_epi16(sextets, _mm512_set1_epi32(0x01400140));
    return _mm512_madd_epi16(pairs, _mm512_set1_epi32(0x00011000));
}

}  // namespace

QOVA_AVX512 size_t base64_encode_avx512vbmi(const unsigned char* input, size_t length,
                                            char* output) {
    const __m512i spread = load(kSpread.data());
    const __m512i shifts = _mm512_set1_epi64(static_cast<long long>(kSextetShifts));
    const __m512i alphabet = _mm512_loadu_si512(kBase64Alphabet);

    size_t done = 0;
    // A full 64-byte load while 64 bytes remain, of which 48 are used.
    for (; length - done >= 64; done += 48, output += 64) {
        const __m512i bytes = _mm512_loadu_si512(input + done);
        _mm512_storeu_si512(output, encodeBlock(bytes, spread, shifts, alphabet));
    }
    // The remaining whole groups (at most 21) through masked loads and stores.
    for (size_t rest; (rest = (length - done) / 3 * 3) != 0;) {
        const size_t take = rest < 48 ? rest : 48;
        const __m512i bytes = _mm512_maskz_loadu_epi8(firstBytes(take), input + done);
        _mm512_mask_storeu_epi8(output, firstBytes(take / 3 * 4),
                                encodeBlock(bytes, spread, shifts, alphabet));
        done += take;
        output += take / 3 * 4;
    }
    return done;
}

QOVA_AVX512 size_t base64_decode_avx512vbmi(const unsigned char* input, size_t length, char* output,
                                            size_t limit) {
    const __m512i lowHalf = load(kAsciiSextets.data());
    const __m512i highHalf = load(kAsciiSextets.data() + 64);
    const __m512i pack = load(kPack.data());

    const __m512i merge0 = load(kMerge[0].data());
    const __m512i merge1 = load(kMerge[1].data());
    const __m512i merge2 = load(kMerge[2].data());

    size_t read = 0;
    size_t written = 0;
    // 256 characters to 192 bytes, written as three full 64-byte stores.
    for (; length - read >= 256 && limit - written >= 192; read += 256, written += 192) {
        const auto* in = input + read;
        const __m512i g0 = decodeGroups(_mm512_loadu_si512(in), lowHalf, highHalf);
        const __m512i g1 = decodeGroups(_mm512_loadu_si512(in + 64), lowHalf, highHalf);
        const __m512i g2 = decodeGroups(_mm512_loadu_si512(in + 128), lowHalf, highHalf);
        const __m512i g3 = decodeGroups(_mm512_loadu_si512(in + 192), lowHalf, highHalf);
        char* out = output + written;
        _mm512_storeu_si512(out, _mm512_permutex2var_epi8(g0, merge0, g1));
        _mm512_storeu_si512(out + 64, _mm512_permutex2var_epi8(g1, merge1, g2));
        _mm512_storeu_si512(out + 128, _mm512_permutex2var_epi8(g2, merge2, g3));
    }
    // The rest through masked loads and stores, up to exactly `limit` bytes.
    // The output left never exceeds 3/4 of the characters left, so the
    // bytes stored always come from characters loaded.
    for (; written < limit; read += 64) {
        const __m512i chars = _mm512_maskz_loadu_epi8(firstBytes(length - read), input + read);
        const size_t take = limit - written < 48 ? limit - written : 48;
        _mm512_mask_storeu_epi8(
            output + written, firstBytes(take),
            _mm512_maskz_permutexvar_epi8(kAll, pack, decodeGroups(chars, lowHalf, highHalf)));
        written += take;
    }
    return written;
}

}  // namespace detail
}  // namespace qovautils

#endif  // __x86_64__
