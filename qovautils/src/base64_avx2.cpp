// base64_avx2.cpp -- the AVX2 kernels of the Base64 codec.
//
// Compiled for any x86-64 (function-level target attributes, no -march);
// Base64.cpp calls them only when the processor reports AVX2.  The methods
// follow W. Muła and D. Lemire, "Faster Base64 encoding and decoding using
// AVX2 instructions" (2018), changed for the URL-safe alphabet and for this
// codec's rule that '=' and every byte outside the alphabet decode as zero
// bits instead of being rejected.
#if defined(__x86_64__)

#include <immintrin.h>

#include "Base64_internal.h"

#define QOVA_AVX2 __attribute__((target("avx2")))

namespace qovautils {
namespace detail {

namespace {

// 24 input bytes, as two 12-byte halves in the two 128-bit lanes, to 32
// characters.
QOVA_AVX2 inline __m256i encodeBlock(__m256i bytes) {
    // Each group of three bytes b0 b1 b2 goes to a 32-bit lane as b1 b0 b2 b1
    // (memory order), so that the 16-bit halves hold b0:b1 and b1:b2.
    const __m256i spread = _mm256_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10,  //
                                            1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
    const __m256i v = _mm256_shuffle_epi8(bytes, spread);
    // Move each six-bit field to the bottom of its own byte: the first and
    // third with a high multiply (a right shift by 10 and by 6), the second
    // and fourth with a low one (a left shift by 4 and by 8).
    const __m256i first_third = _mm256_mulhi_epu16(
        _mm256_and_si256(v, _mm256_set1_epi32(0x0FC0FC00)), _mm256_set1_epi32(0x04000040));
    const __m256i second_fourth = _mm256_mullo_epi16(
        _mm256_and_si256(v, _mm256_set1_epi32(0x003F03F0)), _mm256_set1_epi32(0x01000010));
    const __m256i sextets = _mm256_or_si256(first_third, second_fourth);

    // Character = sextet + an offset that depends on its range.  Reduce the
    // sextet to a class: 13 for 0-25, 0 for 26-51, 1-12 for 52-63.
    __m256i cls = _mm256_subs_epu8(sextets, _mm256_set1_epi8(51));
    const __m256i below26 = _mm256_cmpgt_epi8(_mm256_set1_epi8(26), sextets);
    cls = _mm256_or_si256(cls, _mm256_and_si256(below26, _mm256_set1_epi8(13)));
    const __m256i offsets =
        _mm256_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                         '0' - 52, '0' - 52, '0' - 52, '0' - 52, '-' - 62, '_' - 63, 'A', 0, 0,  //
                         'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                         '0' - 52, '0' - 52, '0' - 52, '0' - 52, '-' - 62, '_' - 63, 'A', 0, 0);
    return _mm256_add_epi8(sextets, _mm256_shuffle_epi8(offsets, cls));
}

// 32 characters to their sextets, with 0 for '=' and for every byte outside
// the alphabet.
QOVA_AVX2 inline __m256i decodeSextets(__m256i chars) {
    const __m256i low = _mm256_and_si256(chars, _mm256_set1_epi8(0x0F));
    const __m256i high = _mm256_and_si256(_mm256_srli_epi32(chars, 4), _mm256_set1_epi8(0x0F));

    // Membership: each high nibble (row of the ASCII table) stands for one
    // set of valid low nibbles, and a byte is in the alphabet when its low
    // nibble's entry has no bit in common with its row's.
    //   bit 0: row 2, valid D ('-')          bit 3: row 5, valid 0-A, F
    //   bit 1: row 3, valid 0-9              bit 4: row 7, valid 0-A
    //   bit 2: rows 4 and 6, valid 1-F       bit 5: every other row, none
    const __m256i rowBits = _mm256_setr_epi8(0x20, 0x20, 0x01, 0x02, 0x04, 0x08, 0x04, 0x10, 0x20,
                                             0x20, 0x20, 0x20, 0x20, 0x20, 0x20,
                                             0x20,  //
                                             0x20, 0x20, 0x01, 0x02, 0x04, 0x08, 0x04, 0x10, 0x20,
                                             0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20);
    const __m256i columnBits = _mm256_setr_epi8(0x25, 0x21, 0x21, 0x21, 0x21, 0x21, 0x21, 0x21,
                                                0x21, 0x21, 0x23, 0x3B, 0x3B, 0x3A, 0x3B,
                                                0x33,  //
                                                0x25, 0x21, 0x21, 0x21, 0x21, 0x21, 0x21, 0x21,
                                                0x21, 0x21, 0x23, 0x3B, 0x3B, 0x3A, 0x3B, 0x33);
    const __m256i clash =
        _mm256_and_si256(_mm256_shuffle_epi8(rowBits, high), _mm256_shuffle_epi8(columnBits, low));
    const __m256i valid = _mm256_cmpeq_epi8(clash, _mm256_setzero_si256());

    // Value = character + an offset that depends on its row; '_' shares row
    // 5 with 'P'-'Z' and gets its own correction.
    const __m256i rowOffsets = _mm256_setr_epi8(
        0, 0, 62 - '-', 52 - '0', -'A', -'A', 26 - 'a', 26 - 'a', 0, 0, 0, 0, 0, 0, 0, 0,  //
        0, 0, 62 - '-', 52 - '0', -'A', -'A', 26 - 'a', 26 - 'a', 0, 0, 0, 0, 0, 0, 0, 0);
    __m256i offset = _mm256_shuffle_epi8(rowOffsets, high);
    const __m256i underscore = _mm256_cmpeq_epi8(chars, _mm256_set1_epi8('_'));
    offset =
        _mm256_add_epi8(offset, _mm256_and_si256(underscore, _mm256_set1_epi8(63 - '_' + 'A')));
    return _mm256_and_si256(_mm256_add_epi8(chars, offset), valid);
}

// The sextets of eight groups to their 24 bytes, in the low 24 bytes.
QOVA_AVX2 inline __m256i packGroups(__m256i sextets) {
    // Pairs of sextets to 12-bit values, pairs of those to 24-bit ones.
    const __m256i pairs = _mm256_maddubs_epi16(sextets, _mm256_set1_epi32(0x01400140));
    const __m256i groups = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
    // Each 32-bit lane holds its group's bytes in the order 2, 1, 0.
    const __m256i order =
        _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1,  //
                         2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    const __m256i lanes = _mm256_shuffle_epi8(groups, order);
    return _mm256_permutevar8x32_epi32(lanes, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7));
}

}  // namespace

QOVA_AVX2 size_t base64_encode_avx2(const unsigned char* input, size_t length, char* output) {
    size_t done = 0;
    // Each pass takes 24 bytes through two 16-byte loads, the second at
    // offset 12, so it needs 28 readable bytes.
    for (; length - done >= 28; done += 24, output += 32) {
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(input + done));
        const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(input + done + 12));
        const __m256i chars = encodeBlock(_mm256_set_m128i(high, low));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(output), chars);
    }
    return done;
}

QOVA_AVX2 size_t base64_decode_avx2(const unsigned char* input, size_t length, char* output,
                                    size_t limit) {
    size_t written = 0;
    // 32 characters to 24 bytes, stored as 32: the last 8 land where the next
    // block's bytes go, so stop while fewer than 32 bytes of the output are
    // left.
    for (size_t read = 0; length - read >= 32 && limit - written >= 32; read += 32, written += 24) {
        const __m256i chars = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(input + read));
        const __m256i bytes = packGroups(decodeSextets(chars));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(output + written), bytes);
    }
    return written;
}

}  // namespace detail
}  // namespace qovautils

#endif  // __x86_64__
