// ini.h -- the ini file named by the environment's "ini=PATH" setting.
//
//   ; comments stand on lines of their own
//   [log]
//   file = /var/log/qova.log
//   [session]
//   reply_timeout_ms = 30000
//   connect_timeout_ms = 5000
//
// log.file is appended to, one line per log call; reply_timeout_ms is 1 to
// 86,400,000 and connect_timeout_ms 1 to 600,000.  Every entry is optional.  A section or key not
// listed here, a value that is not a number in range, or text that is not INI is an error, so that
// a typing mistake in the file is reported instead of being silently ignored.
#ifndef SIM_COMMON_INI_H
#define SIM_COMMON_INI_H

#include <cstdint>
#include <optional>
#include <string>

namespace qova::text {

inline constexpr std::uint32_t kMaxReplyTimeoutMs = 86400000;
inline constexpr std::uint32_t kMaxConnectTimeoutMs = 600000;

struct IniSettings {
    std::optional<std::string> log_file;
    std::optional<std::uint32_t> reply_timeout_ms;
    std::optional<std::uint32_t> connect_timeout_ms;
};

// Parses the text of an ini file (no I/O).  Returns false with a reason in
// `error`.
[[nodiscard]] bool parseIni(const std::string& text, IniSettings& out, std::string& error);

}  // namespace qova::text

#endif  // SIM_COMMON_INI_H
