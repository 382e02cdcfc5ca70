// qovautils' number conversions and cp1251ToUtf8.
//   - str2int and str2uint32 on any text and radix: a parse that succeeds
//     agrees with strtoul on the whole text; both agree with each other
//     except where the header says they differ (a leading '-');
//   - int2str of a number read from the input parses back to it;
//   - str_to_ul never fails on any text;
//   - cp1251ToUtf8 gives exactly what iconv gives: the UTF-8 text, or the
//     empty string for an empty text or one holding the byte CP1251 leaves
//     undefined (0x98).
#include <iconv.h>
#include <qovautils/StringUtils.h>

#include <cerrno>
#include <cstdlib>

#include "fuzz_check.h"

namespace {

using qovautils::StringUtils;

// The platform converter's CP1251 to UTF-8, all or nothing like
// cp1251ToUtf8: the empty string when any byte does not convert.
std::string iconvUtf8(const std::string& text) {
    const iconv_t cd = iconv_open("UTF-8", "CP1251");
    FUZZ_CHECK(cd != reinterpret_cast<iconv_t>(-1));
    std::string out(3 * text.size(), '\0');
    char* in = const_cast<char*>(text.data());
    std::size_t inLeft = text.size();
    char* o = &out[0];
    std::size_t outLeft = out.size();
    const bool ok = iconv(cd, &in, &inLeft, &o, &outLeft) != static_cast<std::size_t>(-1);
    iconv_close(cd);
    if (!ok) return std::string();
    out.resize(out.size() - outLeft);
    return out;
}

void checkParsers(const std::string& digits, int radix) {
    unsigned int a = 7;
    unsigned int b = 7;
    const int sa = StringUtils::str2int(a, digits.c_str(), radix);
    const int sb = StringUtils::str2uint32(b, digits.c_str(), radix);
    FUZZ_CHECK(sa >= 0 && sa <= 2 && sb >= 0 && sb <= 2);
    if (sa != 0) FUZZ_CHECK(a == 7);
    if (sb != 0) FUZZ_CHECK(b == 7);
    const bool negative = digits.find('-') != std::string::npos;
    if (!negative) FUZZ_CHECK(sa == sb && a == b);
    if (sb == 0) {
        errno = 0;
        char* end = nullptr;
        const unsigned long v = std::strtoul(digits.c_str(), &end, radix);
        FUZZ_CHECK(errno == 0 && *end == '\0' && v == b);
    }
    (void)qovautils::str_to_ul(digits);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::uint8_t r = in.byte() % 37;
    const int radix = r == 1 ? 10 : r;  // 0 or 2..36
    std::string digits = in.until('\0');
    checkParsers(digits, radix);

    int number = 0;
    for (int i = 0; i < 4; ++i)
        number = static_cast<int>(static_cast<unsigned>(number) << 8 | in.byte());
    const std::string text = StringUtils::int2str(number);
    unsigned int back = 0;
    if (number >= 0) {
        FUZZ_CHECK(StringUtils::str2int(back, text.c_str(), 10) == StringUtils::kConvOk);
        FUZZ_CHECK(back == static_cast<unsigned int>(number));
    } else {
        FUZZ_CHECK(text[0] == '-' &&
                   StringUtils::str2int(back, text.c_str(), 10) == StringUtils::kConvOutOfRange);
    }

    std::string cp1251 = in.rest();
    const std::string utf8 = StringUtils::cp1251ToUtf8(&cp1251[0], cp1251.size());
    FUZZ_CHECK(utf8 == iconvUtf8(cp1251));
    if (cp1251.find('\x98') != std::string::npos) FUZZ_CHECK(utf8.empty());
    return 0;
}
