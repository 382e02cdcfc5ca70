// Base64_internal.h -- seams of the Base64 codec for its tests and
// benchmarks.  Not installed.
//
// The codec has one scalar path and, on x86-64, SIMD paths that the
// processor's features select once per process.  Tests and benchmarks can
// force a path here; the public Base64 interface always takes the best one.
#ifndef QOVAUTILS_SRC_BASE64_INTERNAL_H
#define QOVAUTILS_SRC_BASE64_INTERNAL_H

#include <cstddef>

namespace qovautils {
namespace detail {

// Allocates the 256-byte decoding table; std::malloc unless a test swaps it.
// The table is always released with std::free.
extern void* (*base64_table_alloc)(size_t size);

// The alphabet, value 0 first: the same as Base64::encoding_table, usable
// in constant expressions.
constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

enum class Base64Path {
    kScalar,      // portable C++, every processor
    kAvx2,        // x86-64 with AVX2
    kAvx512Vbmi,  // x86-64 with AVX-512 F, BW and VBMI
};

// Whether this build and this processor can run `path`.  kScalar always can.
bool base64_path_supported(Base64Path path);
// The fastest supported path: the one Base64::encode and decode take.
Base64Path base64_best_path();
// "scalar", "avx2" or "avx512vbmi".
const char* base64_path_name(Base64Path path);

// Base64::encode and Base64::decode through `path`, with the same results
// and contracts.  A path the processor lacks falls back to the best one.
size_t base64_encode(Base64Path path, const char* input, size_t length, char* output);
size_t base64_decode(Base64Path path, const char* input, size_t length, char* output);

#if defined(__x86_64__)
// The SIMD kernels.  Each handles a prefix of the work in whole groups and
// leaves the rest to the scalar code; none reads or writes outside the
// ranges given.
//
// Encode kernels read at most `length` bytes, consume a multiple of 3 of
// them, write four characters for each three bytes consumed and return the
// number of bytes consumed.
//
// Decode kernels take `length` characters (a multiple of 4) and write at
// most `limit` bytes of their decoding, `limit` being at most 3/4 of
// `length`.  They return the number of bytes written; when that is less
// than `limit` it is a multiple of 3, the output of that many whole groups.
size_t base64_encode_avx2(const unsigned char* input, size_t length, char* output);
size_t base64_decode_avx2(const unsigned char* input, size_t length, char* output, size_t limit);
size_t base64_encode_avx512vbmi(const unsigned char* input, size_t length, char* output);
size_t base64_decode_avx512vbmi(const unsigned char* input, size_t length, char* output,
                                size_t limit);
#endif

}  // namespace detail
}  // namespace qovautils

#endif  // QOVAUTILS_SRC_BASE64_INTERNAL_H
