#include "environment.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "base/parse.h"
#include "ini.h"
#include "params.h"

namespace qova::lib {
namespace {

std::unique_ptr<Environment> g_environment;

// Reports a failure of qova_env_open on standard error: the environment
// that would hold the log is not there yet, and the caller only sees a code.
qova_result_t refuse(qova_result_t code, const std::string& why) {
    std::fprintf(stderr, "qova: qova_env_open: %s\n", why.c_str());
    return code;
}

// An ini file is a few lines; anything larger is a mistake, not settings.
constexpr std::size_t kMaxIniSize = 1024 * 1024;

// Reads the ini file at `path` into `out`, within bounds: opened without
// blocking (a FIFO does not wait for a writer), and the type and size
// checked on the open file, since the path may change between a caller's
// own check and this one.  False with the reason in `why`.
bool readIniFile(const std::string& path, std::string& out, std::string& why) {
    const Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (!fd.valid() || ::fstat(fd.get(), &info) != 0) {
        why = std::strerror(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        why = "not a regular file";
        return false;
    }
    const std::string tooLarge = "larger than " + std::to_string(kMaxIniSize) + " bytes";
    if (static_cast<unsigned long long>(info.st_size) > kMaxIniSize) {
        why = tooLarge;
        return false;
    }
    // One byte more than allowed tells a file that grew since fstat.
    std::string text(kMaxIniSize + 1, '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(fd.get(), &text[got], text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            why = std::strerror(errno);
            return false;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    if (got > kMaxIniSize) {
        why = tooLarge;
        return false;
    }
    text.resize(got);
    out = std::move(text);
    return true;
}

std::vector<std::string> splitList(const std::string& list) {
    std::vector<std::string> out;
    std::size_t pos = 0;
    while (pos <= list.size()) {
        std::size_t comma = list.find(',', pos);
        if (comma == std::string::npos) comma = list.size();
        out.push_back(list.substr(pos, comma - pos));
        pos = comma + 1;
    }
    return out;
}

qova_result_t applyIni(const std::string& path, Environment& env) {
    std::string text;
    std::string why;
    if (!readIniFile(path, text, why))
        return refuse(QOVA_E_INI, "cannot read ini file '" + path + "': " + why);
    text::IniSettings ini;
    std::string error;
    if (!text::parseIni(text, ini, error))
        return refuse(QOVA_E_INI, "ini file '" + path + "': " + error);
    if (ini.reply_timeout_ms) env.reply_timeout_ms = *ini.reply_timeout_ms;
    if (ini.connect_timeout_ms) env.connect_timeout_ms = *ini.connect_timeout_ms;
    if (ini.log_file) {
        env.log_path = *ini.log_file;
        env.log_file =
            Fd(::open(ini.log_file->c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
        if (!env.log_file.valid())
            return refuse(QOVA_E_LOG, "cannot open log file '" + *ini.log_file + "'");
    }
    env.log_enabled = true;
    return QOVA_OK;
}

}  // namespace

const Environment* environment() { return g_environment.get(); }

qova_result_t openEnvironment(const char* settings) {
    if (g_environment) return QOVA_E_STATE;
    text::Params params;
    std::string error;
    if (!text::parseParams(settings ? settings : "", params, error))
        return refuse(QOVA_E_SETTINGS, error);
    if (const std::string* key = params.firstUnknown({"ini", "log", "subsystems"}))
        return refuse(QOVA_E_SETTINGS, "unknown key '" + *key + "'");
    const std::string* ini = params.find("ini");
    const std::string* log = params.find("log");
    if (log && *log != "null") return refuse(QOVA_E_SETTINGS, "log= takes only 'null'");
    if (ini && log) return refuse(QOVA_E_SETTINGS, "ini= and log=null exclude each other");

    auto env = std::make_unique<Environment>();
    if (const std::string* list = params.find("subsystems")) {
        env->subsystems = splitList(*list);
        for (const std::string& s : env->subsystems)
            if (s.empty()) return refuse(QOVA_E_SETTINGS, "empty name in subsystems=");
    }
    if (ini) {
        if (const qova_result_t rc = applyIni(*ini, *env)) return rc;
    }
    // Set but empty counts as not set, like a variable cleared with "X=".
    if (const char* value = std::getenv(kReplyTimeoutVariable); value && *value) {
        if (base::parseDecimal<std::uint32_t>(value, 1, text::kMaxReplyTimeoutMs,
                                              env->reply_timeout_ms) != base::DecimalStatus::Ok)
            return refuse(QOVA_E_SETTINGS, std::string(kReplyTimeoutVariable) + " is not 1 to " +
                                               std::to_string(text::kMaxReplyTimeoutMs));
    }
    g_environment = std::move(env);
    return QOVA_OK;
}

void closeEnvironment() { g_environment.reset(); }

std::string logPrefix(LogLevel level) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t secs = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm tm{};
    ::localtime_r(&secs, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
    char out[48];
    std::snprintf(out, sizeof out, "%s.%03d %s ", stamp, static_cast<int>(millis),
                  level == LogLevel::Info ? "INFO " : "ERROR");
    return out;
}

namespace {

// Writes all of `text` to `fd`; false with errno's value in `error` when the
// write fails.
bool writeAll(int fd, const std::string& text, int& error) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

qova_result_t writeLog(LogLevel level, const std::string& text) {
    Environment* env = g_environment.get();
    if (!env || !env->log_enabled) return QOVA_OK;
    // One write() per line, so that lines of several processes appending
    // to the same file do not interleave.
    const std::string line = logPrefix(level) + text + "\n";
    int error = 0;
    if (!env->log_file.valid()) return writeAll(STDERR_FILENO, line, error) ? QOVA_OK : QOVA_E_LOG;
    if (writeAll(env->log_file.get(), line, error)) return QOVA_OK;
    // A full disk or an I/O error: said once, and this line and the ones
    // after it go to standard error rather than being lost.
    env->log_file.reset();
    int ignored = 0;
    writeAll(STDERR_FILENO,
             logPrefix(LogLevel::Error) + "qova: cannot write the log file '" + env->log_path +
                 "': " + std::strerror(error) + "; log lines go to standard error from now on\n",
             ignored);
    writeAll(STDERR_FILENO, line, ignored);
    return QOVA_E_LOG;
}

}  // namespace qova::lib
