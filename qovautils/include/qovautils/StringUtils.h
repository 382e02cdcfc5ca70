// StringUtils.h -- printf-style formatting, parameter lists, conversion
// between numbers and text, CP1251 to UTF-8, and the OS version string.
//
// Every operation is reentrant and keeps no state between calls.  None
// throws errors of its own: failures come back as status codes, null or the
// empty string; only std::string's own length and allocation errors can
// leave an operation.
#ifndef QOVAUTILS_STRINGUTILS_H
#define QOVAUTILS_STRINGUTILS_H

#include <cstdarg>
#include <cstddef>
#include <string>

namespace qovautils {

class StringUtils {
  public:
    StringUtils() = delete;

    // Formats with vsnprintf into a 16384-byte buffer.  The result is the
    // text up to its first NUL, so output longer than 16383 characters is
    // cut there without notice, and a NUL produced by the format (such as
    // %c of 0) ends it early.  `argList` is used up.
    static std::string vformat(const char* pattern, va_list argList);
    static std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

    // Appends `item` to the ';'-separated `list`.  Returns a new array
    // (allocated with new[], owned by the caller) holding "list;item", and
    // releases `list` with delete[].  A null `list` gives a copy of `item`.
    // A null `item` gives null and leaves `list` alone: the caller keeps it.
    static char* appendParamStr(const char* list, const char* item);

    // Decimal text of `number`, with a leading '-' when negative.
    static std::string int2str(int number);

    // Status codes of str2int and str2uint32.
    enum : int {
        kConvOk = 0,          // `number` holds the value
        kConvOutOfRange = 1,  // not in 0..4294967295, or the conversion overflowed
        kConvNotANumber = 2,  // empty text, characters after the number, or a bad radix
    };

    // Parse `digits` in base `radix` (0 or 2..36) by the rules of strtol
    // (leading white space skipped, optional sign, base 0 reads a 0x or 0
    // prefix).  The whole text must be one number in 0..4294967295.  The
    // range test comes first.  `number` is written only on kConvOk.
    [[nodiscard]] static int str2int(unsigned int& number, const char* digits, int radix);
    // The same with strtoul: a leading '-' negates modulo 2^64, so "-1" is
    // out of range and "-0" gives 0.
    [[nodiscard]] static int str2uint32(unsigned int& number, const char* digits, int radix);

    // Converts CP1251 text to UTF-8.  Returns exactly the UTF-8 text, or the
    // empty string when `length` is 0 or when a byte has no CP1251 mapping
    // (0x98): all or nothing.  `input` is not modified.
    static std::string cp1251ToUtf8(char* input, size_t length);

    // "sysname release version machine" from uname(2), or "Unknown OS".
    static std::string getOsVersion();
};

// Converts `digits` with strtoul: "0b"/"0B" followed by at least one
// character is read in base 2, anything else with base 0 (0x hex, 0 octal,
// else decimal).  Conversion stops at the first character that does not
// belong to the number; empty or non-numeric text gives 0, overflow gives
// ULONG_MAX.  Nothing is reported.
unsigned long str_to_ul(const std::string& digits);

}  // namespace qovautils

#endif  // QOVAUTILS_STRINGUTILS_H
