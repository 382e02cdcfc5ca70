// environment.h -- the process-wide state of libqova: the settings given to
// qova_env_open, the ini file's values and the log.
#ifndef SIM_LIBQOVA_ENVIRONMENT_H
#define SIM_LIBQOVA_ENVIRONMENT_H

#include <qova.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fd.h"

namespace qova::lib {

inline constexpr std::uint32_t kDefaultReplyTimeoutMs = 30000;
inline constexpr std::uint32_t kDefaultConnectTimeoutMs = 5000;
// Overrides the reply time-out of the ini file; meant for tests.
inline constexpr char kReplyTimeoutVariable[] = "QOVA_REPLY_TIMEOUT_MS";

enum class LogLevel { Info, Error };

struct Environment {
    bool log_enabled = false;  // false with log=null
    Fd log_file;               // invalid: log lines go to standard error
    std::string log_path;      // the ini file's log.file, for reports
    std::uint32_t reply_timeout_ms = kDefaultReplyTimeoutMs;
    std::uint32_t connect_timeout_ms = kDefaultConnectTimeoutMs;
    std::vector<std::string> subsystems;
};

// The open environment, or nullptr.
const Environment* environment();

// qova_env_open and qova_env_close.
qova_result_t openEnvironment(const char* settings);
void closeEnvironment();

// Writes one line "YYYY-MM-DD HH:MM:SS.mmm LEVEL text" to the log.  Nothing
// and QOVA_OK without an environment or with log=null; QOVA_E_LOG when the
// write fails.  When the log file fails (a full disk, an I/O error), that is
// reported once on standard error, which then receives this line and every
// later one instead of the file.
qova_result_t writeLog(LogLevel level, const std::string& text);

// The timestamp and level in front of a log line, for `now` in local time.
std::string logPrefix(LogLevel level);

}  // namespace qova::lib

#endif  // SIM_LIBQOVA_ENVIRONMENT_H
