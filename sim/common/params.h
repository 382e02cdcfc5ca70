// params.h -- the texts that configure libqova: settings ("key=value;...")
// and URLs ("scheme://address;key=value;...").  The "HOST:PORT" address and
// the numbers in these texts follow base/parse.h.
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

}  // namespace qova::text

#endif  // SIM_COMMON_PARAMS_H
