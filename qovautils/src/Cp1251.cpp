// Cp1251.cpp -- CP1251 to UTF-8 through the platform converter (iconv).
#include <iconv.h>

#include <memory>
#include <type_traits>

#include "qovautils/StringUtils.h"

namespace qovautils {

namespace {

// Owns one iconv descriptor; closes it on every way out.
struct IconvCloser {
    void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};
using IconvHandle = std::unique_ptr<std::remove_pointer_t<iconv_t>, IconvCloser>;

// Every character of CP1251 lies in the Basic Multilingual Plane, so no
// UTF-8 form is longer than three bytes (the euro sign 0x88, the numero sign
// 0xB9 and the dashes and quotes of 0x80-0x9F); letters take two.
constexpr size_t kMaxUtf8PerByte = 3;

}  // namespace

std::string StringUtils::cp1251ToUtf8(char* input, size_t length) {
    const iconv_t raw = iconv_open("UTF8", "CP1251");
    if (raw == reinterpret_cast<iconv_t>(-1)) return std::string();
    const IconvHandle cd(raw);
    if (length == 0) return std::string();

    std::string result(length * kMaxUtf8PerByte, '\0');
    char* in = input;
    size_t inLeft = length;
    char* out = &result[0];
    size_t outLeft = result.size();
    // One call converts everything: the budget always suffices, so a failure
    // means a byte CP1251 leaves undefined (0x98), and then nothing is kept.
    if (iconv(cd.get(), &in, &inLeft, &out, &outLeft) == static_cast<size_t>(-1)) {
        return std::string();
    }
    result.resize(result.size() - outLeft);
    return result;
}

}  // namespace qovautils
