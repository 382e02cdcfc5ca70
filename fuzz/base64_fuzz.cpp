// qovautils' Base64 codec.  The input is used twice:
//   - as text to decode: decode_len bytes are written, no more (the output
//     buffer is exactly that size, so the sanitizer sees any overrun), and a
//     length that is not a multiple of 4 gives 0 and writes nothing;
//   - as bytes to encode: the text holds only the alphabet and '=' padding,
//     has encode_len characters and decodes back to the bytes.
// Each time, every path this processor can run (scalar, AVX2, AVX-512 VBMI)
// must give exactly what the dispatching codec gave.
#include <qovautils/Base64.h>

#include <cstring>
#include <memory>

#include "../qovautils/src/Base64_internal.h"
#include "fuzz_check.h"

namespace {

using qovautils::Base64;

using qovautils::detail::Base64Path;

constexpr Base64Path kPaths[] = {Base64Path::kScalar, Base64Path::kAvx2, Base64Path::kAvx512Vbmi};

// Each supported path encodes (or decodes) `input` to the same `want`.
template <typename Codec>
void samePerPath(Codec codec, const char* input, std::size_t size, const char* want,
                 std::size_t wantSize) {
    const std::unique_ptr<char[]> out(new char[wantSize + 1]);
    for (Base64Path path : kPaths) {
        if (!qovautils::detail::base64_path_supported(path)) continue;
        out[wantSize] = '#';
        FUZZ_CHECK(codec(path, input, size, out.get()) == wantSize);
        FUZZ_CHECK(wantSize == 0 || std::memcmp(out.get(), want, wantSize) == 0);
        FUZZ_CHECK(out[wantSize] == '#');
    }
}

bool inAlphabet(char c) {
    return std::memchr(Base64::encoding_table, c, sizeof Base64::encoding_table) != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* input = reinterpret_cast<const char*>(data);

    const std::size_t expected = Base64::decode_len(input, size);
    FUZZ_CHECK(expected <= size / 4 * 3);
    // One byte more than promised, holding a canary.
    const std::unique_ptr<char[]> decoded(new char[expected + 1]);
    decoded[expected] = '#';
    const std::size_t got = Base64::decode(input, size, decoded.get());
    FUZZ_CHECK(got == (size % 4 == 0 ? expected : 0));
    FUZZ_CHECK(decoded[expected] == '#');
    samePerPath(qovautils::detail::base64_decode, input, size, decoded.get(), got);

    const std::size_t textSize = Base64::encode_len(input, size);
    FUZZ_CHECK(textSize == (size + 2) / 3 * 4);
    const std::unique_ptr<char[]> text(new char[textSize + 1]);
    FUZZ_CHECK(Base64::encode(input, size, text.get()) == textSize);
    samePerPath(qovautils::detail::base64_encode, input, size, text.get(), textSize);
    const std::size_t pad = size % 3 == 0 ? 0 : 3 - size % 3;
    for (std::size_t i = 0; i < textSize; ++i)
        FUZZ_CHECK(i + pad >= textSize ? text[i] == '=' : inAlphabet(text[i]));
    FUZZ_CHECK(Base64::decode_len(text.get(), textSize) == size);
    const std::unique_ptr<char[]> back(new char[size + 1]);
    FUZZ_CHECK(Base64::decode(text.get(), textSize, back.get()) == size);
    FUZZ_CHECK(size == 0 || std::memcmp(back.get(), input, size) == 0);
    return 0;
}
