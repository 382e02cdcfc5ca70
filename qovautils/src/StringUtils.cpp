// StringUtils.cpp -- formatting, parameter lists, number conversion and the
// OS version string.
#include "qovautils/StringUtils.h"

#include <sys/utsname.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qovautils {

namespace {

constexpr size_t kFormatBufferSize = 16384;

// strtol and strtoul refuse any other radix with EINVAL and leave the end
// pointer unset (under AddressSanitizer it comes back as garbage), so such a
// radix is answered before converting: the text is then "not a number", as
// the converter's result of 0 would make it anyway.
bool validRadix(int radix) { return radix == 0 || (radix >= 2 && radix <= 36); }

// Shared tail of str2int and str2uint32: the range test, then the syntax
// test, then the store.  `overflowed` is the converter's own ERANGE report.
int finishConversion(unsigned int& number, unsigned long value, bool overflowed, const char* digits,
                     const char* end) {
    if (overflowed || (value >> 32) != 0) return StringUtils::kConvOutOfRange;
    if (*digits == '\0' || *end != '\0') return StringUtils::kConvNotANumber;
    number = static_cast<unsigned int>(value);
    return StringUtils::kConvOk;
}

}  // namespace

std::string StringUtils::vformat(const char* pattern, va_list argList) {
    // One byte past what vsnprintf may use stays 0, so the length is always
    // measured inside the buffer.
    char buffer[kFormatBufferSize + 1];
    buffer[kFormatBufferSize] = '\0';
    buffer[0] = '\0';
    vsnprintf(buffer, kFormatBufferSize, pattern, argList);
    return std::string(buffer);
}

std::string StringUtils::format(const char* pattern, ...) {
    va_list args;
    va_start(args, pattern);
    std::string result = vformat(pattern, args);
    va_end(args);
    return result;
}

char* StringUtils::appendParamStr(const char* list, const char* item) {
    if (item == nullptr) return nullptr;
    const size_t itemLen = std::strlen(item);
    if (list == nullptr) {
        char* copy = new char[itemLen + 1];
        std::memcpy(copy, item, itemLen + 1);
        return copy;
    }
    const size_t listLen = std::strlen(list);
    const size_t size = listLen + 1 + itemLen + 1;
    char* joined = new char[size];
    std::snprintf(joined, size, "%s;%s", list, item);
    delete[] list;
    return joined;
}

std::string StringUtils::int2str(int number) {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, "%d", number);
    return std::string(buffer);
}

int StringUtils::str2int(unsigned int& number, const char* digits, int radix) {
    if (digits == nullptr || !validRadix(radix)) return kConvNotANumber;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(digits, &end, radix);
    const bool overflowed = errno == ERANGE && value == LONG_MAX;
    return finishConversion(number, static_cast<unsigned long>(value), overflowed, digits, end);
}

int StringUtils::str2uint32(unsigned int& number, const char* digits, int radix) {
    if (digits == nullptr || !validRadix(radix)) return kConvNotANumber;
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(digits, &end, radix);
    const bool overflowed = errno == ERANGE && value == ULONG_MAX;
    return finishConversion(number, value, overflowed, digits, end);
}

std::string StringUtils::getOsVersion() {
    struct utsname info;
    if (uname(&info) == -1) return "Unknown OS";
    std::string text = info.sysname;
    for (const char* field : {info.release, info.version, info.machine}) {
        text += ' ';
        text += field;
    }
    return text;
}

unsigned long str_to_ul(const std::string& digits) {
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'b' || digits[1] == 'B')) {
        return std::strtoul(digits.c_str() + 2, nullptr, 2);
    }
    return std::strtoul(digits.c_str(), nullptr, 0);
}

}  // namespace qovautils
