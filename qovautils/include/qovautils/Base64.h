// Base64.h -- Base64 with the URL- and filename-safe alphabet (RFC 4648 §5),
// padded with '=' like standard Base64.
//
// The codec works on buffers that the caller allocates; it never allocates
// output and never writes a terminating NUL.  Text in the standard alphabet
// ('+' and '/') is not recognised.
//
// Thread safety: encode, encode_len and decode_len read only constant data.
// decode builds the shared decoding table on first use without a lock, so a
// multi-threaded caller calls build_decoding_table() once before starting the
// threads that decode, and base64_cleanup() only after they have finished.
#ifndef QOVAUTILS_BASE64_H
#define QOVAUTILS_BASE64_H

#include <cstddef>

namespace qovautils {

class Base64 {
  public:
    Base64() = delete;

    // The alphabet: 'A'-'Z', 'a'-'z', '0'-'9', '-', '_' for values 0 to 63.
    static const char encoding_table[64];
    // Entry k: how many '=' end the encoding of an input whose length mod 3 is k.
    static const int mod_table[3];
    // 256 entries indexed by a character's byte value: the value (0-63) of
    // each alphabet character, 0 for every other byte.  Null until built;
    // allocated with malloc by build_decoding_table (or the first decode)
    // and released with free by base64_cleanup.
    static char* decoding_table;

    // Characters needed to encode `length` bytes: 4 * ceil(length / 3).
    // `input` is not read.
    static size_t encode_len(const char* input, size_t length);

    // Bytes that the `length` characters at `input` decode to:
    // (length / 4) * 3, less one for a trailing '=' and one more for a '=' in
    // the second-to-last position, never below 0.  Reads only the last two
    // characters; 0 for a length below 2.
    static size_t decode_len(const char* input, size_t length);

    // Writes exactly encode_len(input, length) characters to `output` and
    // returns that number.
    static size_t encode(const char* input, size_t length, char* output);

    // Writes exactly decode_len(input, length) bytes to `output` and returns
    // that number.  Returns 0 and writes nothing when `length` is not a
    // multiple of 4 or the decoding table cannot be allocated.  A '=' counts
    // as zero bits wherever it stands; bytes outside the alphabet count as 0
    // and are not reported.
    static size_t decode(const char* input, size_t length, char* output);

    // Allocates and fills a decoding table and installs it in place of any
    // table installed before, which is released.  When malloc fails the
    // installed table (or null) stays.
    static void build_decoding_table();

    // Releases the decoding table; a later decode builds it again.  Does
    // nothing when no table is installed.
    static void base64_cleanup();
};

}  // namespace qovautils

#endif  // QOVAUTILS_BASE64_H
