// params.h -- the texts that configure libqova: settings ("key=value;..."),
// URLs ("scheme://address;key=value;...") and the "HOST:PORT" address.
//
// The rules, the same for settings and for the parameters of a URL:
//   - pairs are separated by ';'; one empty pair at the very end is allowed
//     (a trailing ';'), an empty pair anywhere else is an error;
//   - a pair is a non-empty key, '=', and a value that may be empty and may
//     itself hold '=' (the pair is split at its first '=');
//   - a key given twice is an error;
//   - nothing is unescaped or trimmed, so a value cannot hold ';'.
// Which keys are known is the caller's business.  Every function here is pure:
// it works on the text given and does no I/O.
#ifndef SIM_COMMON_PARAMS_H
#define SIM_COMMON_PARAMS_H

#include <cstdint>
#include <string>
#include <vector>

namespace qova::text {

struct Param {
    std::string key;
    std::string value;
};

// A parsed list of pairs, in the order given.
class Params {
  public:
    std::vector<Param> items;

    // The value of `key`, or nullptr when it is absent.
    const std::string* find(const std::string& key) const;
    // The first key not in `known` (a list of names), or nullptr when all are
    // known.
    const std::string* firstUnknown(const std::vector<std::string>& known) const;
};

// Parses "key=value;key=value;".  An empty text gives no pairs.  Returns
// false with a reason in `error` (never quoting a value, which may be secret).
[[nodiscard]] bool parseParams(const std::string& text, Params& out, std::string& error);

struct Url {
    std::string scheme;   // before "://"
    std::string address;  // from "://" to the first ';' (may be empty)
    Params params;        // after that ';'
};

// Parses "scheme://address;key=value;...".  The scheme must be non-empty
// letters and digits.  Returns false with a reason in `error`.
[[nodiscard]] bool parseUrl(const std::string& text, Url& out, std::string& error);

struct HostPort {
    std::string host;
    std::string port;  // decimal, 1 to 65535, as text for getaddrinfo
};

// Splits "HOST:PORT" or "[IPV6]:PORT".  The host must be non-empty and the
// port a decimal number from 1 to 65535 without sign or spaces.
[[nodiscard]] bool splitHostPort(const std::string& address, HostPort& out, std::string& error);

// Reads a decimal number from `min` to `max`: 1 to 10 digits only, no sign,
// no spaces.
[[nodiscard]] bool parseDecimal(const std::string& text, std::uint64_t min, std::uint64_t max,
                                std::uint64_t& out);

// Reads a decimal count of milliseconds from `min` to `max`: digits only, no
// sign, no spaces.
[[nodiscard]] bool parseMillis(const std::string& text, std::uint32_t min, std::uint32_t max,
                               std::uint32_t& out);

}  // namespace qova::text

#endif  // SIM_COMMON_PARAMS_H
