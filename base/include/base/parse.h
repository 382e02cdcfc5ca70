// parse.h -- strict decimal numbers and "HOST:PORT" addresses, for texts
// that programs and configuration files hand over, where anything unexpected
// is a mistake to report rather than to guess around.
//
// A decimal number, exactly:
//   - one or more ASCII digits '0' to '9', and nothing else: no leading or
//     trailing space, no '+', no "0x" or other prefix, no trailing text;
//   - leading zeros are allowed ("007" is 7);
//   - when the target type is signed, one leading '-' is allowed as well
//     ("-0" is 0); for an unsigned type any sign makes it not a number;
//   - the value must lie within [min, max]; a value beyond what the type
//     holds is out of range like any other, however many digits it has.
//
// (pwd_changer's own options do not use this: they keep the stream rules
// their documentation states.)
#ifndef BASE_PARSE_H
#define BASE_PARSE_H

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>

namespace base {

enum class DecimalStatus {
    Ok,
    NotANumber,  // empty, or a character the rules above do not allow
    OutOfRange,  // a well-formed number outside [min, max]
};

// Reads `text` as a decimal number from `min` to `max` by the rules above.
// `out` is written only on Ok.
template <typename T>
[[nodiscard]] DecimalStatus parseDecimal(std::string_view text, T min, T max, T& out) {
    static_assert(std::is_integral_v<T> && !std::is_same_v<T, bool>, "an integer type");
    const char* const end = text.data() + text.size();
    T value{};
    // from_chars takes no leading space and no '+', and a '-' only for a
    // signed type; what it leaves unread is trailing text.
    const std::from_chars_result r = std::from_chars(text.data(), end, value, 10);
    if (r.ptr != end || r.ec == std::errc::invalid_argument) return DecimalStatus::NotANumber;
    if (r.ec == std::errc::result_out_of_range || value < min || value > max) {
        return DecimalStatus::OutOfRange;
    }
    out = value;
    return DecimalStatus::Ok;
}

struct HostPort {
    std::string host;  // without the brackets of "[HOST]:PORT"
    std::uint16_t port = 0;
};

// Splits "HOST:PORT", or "[HOST]:PORT" (how an IPv6 address, itself full of
// colons, is written).  Without brackets the last ':' separates, so
// "::1:4001" is the host "::1" and the port 4001.  The host must not be
// empty and is not checked further (resolving it is the caller's business).
// The port is a decimal number by the rules above, from `minPort` to 65535;
// a caller that binds may allow 0 for "any free port".  Returns false with a
// reason that quotes `text` in `error`; `out` is written only on success.
[[nodiscard]] bool parseHostPort(std::string_view text, std::uint16_t minPort, HostPort& out,
                                 std::string& error);

}  // namespace base

#endif  // BASE_PARSE_H
