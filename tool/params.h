// params.h -- the parameter record of a password change and its validation.
#ifndef TOOL_PARAMS_H
#define TOOL_PARAMS_H

#include <cstddef>
#include <string>

// Everything one password change needs.  A plain value: the command-line
// parser fills it, the driver owns it, the session keeps its own copy.
// Default construction leaves every text empty and the port 0; the option
// defaults are applied by the parser.  Texts are byte strings.
struct ParamData {
    std::string ini;           // gateway ini file; empty when not given
    std::string old_password;  // typed at the terminal
    std::string new_password;  // typed twice at the terminal
    std::string host;
    std::string app_name;
    std::string local_pass;  // the local gateway connection's password, not the user's
    unsigned short port = 0;
};

// Each password travels in a 66-byte NUL-terminated field of the request.
inline constexpr std::size_t kMaxPasswordLength = 65;

// Checks the two passwords: neither empty (both checked first), then
// neither longer than kMaxPasswordLength bytes, then neither holding a NUL
// byte.  `error` is cleared on entry;
// on failure it holds the reason, which is also logged as an Error line, and
// the result is false.
bool baseArgsChecks(ParamData const& data, std::string& error);

// Wipes the secrets of the record (see base/secret.h): both passwords and
// the local gateway password.
void wipeSecrets(ParamData& data) noexcept;

#endif  // TOOL_PARAMS_H
