#include "account_password.h"

#include <fcntl.h>
#include <password_scheme.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "base/secret.h"

namespace qova::router {
namespace {

// Longer lines are refused rather than read without end; a usable password
// has at most 65 bytes anyway.
constexpr std::size_t kMaxLine = 4096;

// Echo off on a terminal for the life of the object; the previous settings
// come back on every path out.
class EchoOff {
  public:
    explicit EchoOff(int fd) : fd_(fd) {
        if (::tcgetattr(fd_, &saved_) != 0) return;
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        active_ = ::tcsetattr(fd_, TCSANOW, &quiet) == 0;
    }
    ~EchoOff() {
        if (active_) ::tcsetattr(fd_, TCSANOW, &saved_);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

  private:
    int fd_;
    termios saved_{};
    bool active_ = false;
};

void writeStderr(const char* text) {
    const ssize_t ignored = ::write(STDERR_FILENO, text, std::strlen(text));
    (void)ignored;
}

// Reads up to the first line feed or end of input.  Returns false when the
// input ended before the first byte.
bool readLine(int fd, std::string& line, const std::string& source) {
    bool any = false;
    for (;;) {
        char c = 0;
        const ssize_t r = ::read(fd, &c, 1);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            const int err = errno;
            base::wipe(line);
            throw std::runtime_error("cannot read the account password from " + source + ": " +
                                     std::strerror(err));
        }
        if (r == 0) break;
        any = true;
        if (c == '\n') break;
        if (line.size() == kMaxLine) {
            base::wipe(line);
            throw std::runtime_error("the account password line in " + source + " is too long");
        }
        line.push_back(c);
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return any;
}

}  // namespace

std::string readPasswordFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw std::runtime_error("cannot open the password file " + path + ": " +
                                 std::strerror(errno));
    }
    std::string line;
    line.reserve(kMaxLine);
    bool any = false;
    try {
        any = readLine(fd, line, path);
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
    if (!any) throw std::runtime_error("the password file " + path + " is empty");
    return line;
}

std::string readPasswordLine(int fd, const char* prompt) {
    std::string line;
    line.reserve(kMaxLine);
    bool any = false;
    if (::isatty(fd)) {
        {
            // Echo goes off before the prompt shows, so that nothing typed
            // after it can be echoed.
            EchoOff quiet(fd);
            writeStderr(prompt);
            any = readLine(fd, line, "the terminal");
        }
        writeStderr("\n");
    } else {
        any = readLine(fd, line, "standard input");
    }
    if (!any) throw std::runtime_error("no account password on standard input");
    return line;
}

std::string readNewPassword(int fd) {
    if (!::isatty(fd)) return readPasswordLine(fd);
    std::string first = readPasswordLine(fd, "New account password: ");
    base::WipeOnExit wipeFirst(first);
    std::string second = readPasswordLine(fd, "Repeat the new password: ");
    if (!base::equalSecrets(first, second)) {
        base::wipe(second);
        throw std::runtime_error("the two entries of the new password differ; nothing was changed");
    }
    return second;
}

void checkAccountPassword(const std::string& password) {
    if (password.empty()) throw std::runtime_error("the account password is empty");
    if (password.size() > pwdscheme::kPasswordMaxLength) {
        throw std::runtime_error("the account password is longer than " +
                                 std::to_string(pwdscheme::kPasswordMaxLength) + " bytes");
    }
    // A request carries a password as a NUL-terminated text, so one with a
    // NUL could never be presented as typed.
    if (password.find('\0') != std::string::npos) {
        throw std::runtime_error("the account password contains a NUL byte");
    }
}

}  // namespace qova::router
