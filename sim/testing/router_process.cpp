#include "router_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#ifndef QOVA_ROUTER_PATH
#error "QOVA_ROUTER_PATH must name the qova-router binary"
#endif

namespace qova::testing {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kStartTimeout = std::chrono::seconds(10);
constexpr auto kStopTimeout = std::chrono::seconds(5);
constexpr char kListeningPrefix[] = "listening on ";

std::runtime_error sysError(const std::string& what) {
    return std::runtime_error("RouterProcess: " + what + ": " + std::strerror(errno));
}

bool namesPasswordFile(const std::vector<std::string>& args) {
    for (const std::string& a : args) {
        if (a == "--password-file" || a.rfind("--password-file=", 0) == 0) return true;
    }
    return false;
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Waits for `pid` until `deadline`; true with `status` set when it ended.
bool waitUntil(pid_t pid, Clock::time_point deadline, int& status) {
    for (;;) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR)) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Reads from `fd` until a whole line has arrived; returns it without the
// line feed, or an empty string with `why` set on end of file or time-out.
std::string readLine(int fd, Clock::time_point deadline, std::string& why) {
    std::string got;
    for (;;) {
        const std::size_t nl = got.find('\n');
        if (nl != std::string::npos) return got.substr(0, nl);
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            why = "no \"listening on\" line within 10 s";
            return {};
        }
        pollfd p{fd, POLLIN, 0};
        const int n = ::poll(&p, 1, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw sysError("poll");
        if (n == 0) continue;
        char buf[256];
        const ssize_t r = ::read(fd, buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            why = "the router ended its standard output without a \"listening on\" line";
            return {};
        }
        got.append(buf, static_cast<std::size_t>(r));
    }
}

// Forks and runs the router with `argv` (NULL-terminated), its standard
// input, output and error on `in`, `out` and `err` (-1: /dev/null).  The
// child gets SIGTERM should the thread that started it end.  Everything the
// child needs is prepared before fork: after it the child only calls
// async-signal-safe functions.  Returns the child's pid, or -1 with errno.
pid_t spawnRouter(std::vector<char*>& argv, int in, int out, int err) {
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);
    const int fds[3] = {in, out, err};
    for (int target = 0; target < 3; ++target) {
        int fd = fds[target];
        if (fd < 0) fd = ::open("/dev/null", target == 0 ? O_RDONLY : O_WRONLY);
        if (fd < 0 || ::dup2(fd, target) < 0) ::_exit(127);
    }
    ::execv(argv[0], argv.data());
    ::_exit(127);
}

std::vector<char*> argvOf(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

// A temp file for a router's standard error; returns its descriptor and
// sets `path`.
int makeLogFile(std::string& path) {
    const char* tmp = std::getenv("TMPDIR");
    path = std::string(tmp && *tmp ? tmp : "/tmp") + "/qova-router-XXXXXX";
    const int fd = ::mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0) throw sysError("cannot create a temp file for the router's log");
    return fd;
}

std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

void initAccountDatabase(const std::string& path, std::string password) {
    std::vector<std::string> args{QOVA_ROUTER_PATH,  "--db",        path,
                                  "--init-password", "--hash-cost", "min"};
    std::vector<char*> argv = argvOf(args);
    std::string logPath;
    int errFd = makeLogFile(logPath);
    int inPair[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, inPair) != 0) {
        const std::runtime_error e = sysError("cannot create the router's standard input");
        closeFd(errFd);
        ::unlink(logPath.c_str());
        throw e;
    }
    const pid_t pid = spawnRouter(argv, inPair[1], -1, errFd);
    const int forkErrno = errno;
    closeFd(inPair[1]);
    closeFd(errFd);
    if (pid > 0) {
        password += '\n';
        (void)::send(inPair[0], password.data(), password.size(), MSG_NOSIGNAL);
        std::fill(password.begin(), password.end(), '\0');
    }
    closeFd(inPair[0]);
    if (pid < 0) {
        ::unlink(logPath.c_str());
        errno = forkErrno;
        throw sysError("fork");
    }
    int status = 0;
    if (!waitUntil(pid, Clock::now() + kStartTimeout, status)) {
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    const std::string log = readWhole(logPath);
    ::unlink(logPath.c_str());
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("qova-router --db " + path +
                                 " --init-password failed (wait status " + std::to_string(status) +
                                 "); its standard error:\n" + log);
    }
}

AccountDatabase::AccountDatabase(const std::string& password) {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/qova-account-XXXXXX";
    if (!::mkdtemp(dir.data())) throw sysError("cannot create a temp directory");
    dir_ = dir;
    path_ = dir_ + "/account.db";
    try {
        initAccountDatabase(path_, password);
    } catch (...) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
        throw;
    }
}

AccountDatabase::~AccountDatabase() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

std::vector<std::string> AccountDatabase::routerArgs() const {
    return {"--db", path_, "--hash-cost", "min"};
}

RouterProcess::RouterProcess(std::vector<std::string> args, std::string password) {
    const bool fromFile = namesPasswordFile(args);

    // Everything the child needs is prepared before fork: after it the child
    // only calls async-signal-safe functions.
    std::vector<std::string> argvStore{QOVA_ROUTER_PATH, "--listen", "127.0.0.1:0"};
    argvStore.insert(argvStore.end(), args.begin(), args.end());
    std::vector<char*> argv = argvOf(argvStore);
    int errFd = makeLogFile(log_path_);

    // Standard input is a socket pair rather than a pipe so that writing to
    // a router that died at once gives EPIPE instead of killing the test.
    int inPair[2] = {-1, -1};
    int outPipe[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, inPair) != 0 ||
        ::pipe2(outPipe, O_CLOEXEC) != 0) {
        const std::runtime_error e = sysError("cannot create the router's pipes");
        closeFd(inPair[0]), closeFd(inPair[1]), closeFd(errFd);
        ::unlink(log_path_.c_str());
        throw e;
    }

    pid_ = spawnRouter(argv, fromFile ? -1 : inPair[1], outPipe[1], errFd);
    const int forkErrno = errno;
    closeFd(inPair[1]);
    closeFd(outPipe[1]);
    closeFd(errFd);
    stdout_fd_ = outPipe[0];
    if (pid_ < 0) {
        closeFd(inPair[0]);
        closeFd(stdout_fd_);
        ::unlink(log_path_.c_str());
        errno = forkErrno;
        throw sysError("fork");
    }
    running_ = true;

    if (!fromFile) {
        password += '\n';
        // A router that died before reading gives EPIPE; its log says why.
        (void)::send(inPair[0], password.data(), password.size(), MSG_NOSIGNAL);
        std::fill(password.begin(), password.end(), '\0');
    }
    closeFd(inPair[0]);

    std::string why;
    const std::string line = readLine(stdout_fd_, Clock::now() + kStartTimeout, why);
    if (line.rfind(kListeningPrefix, 0) == 0) {
        const std::string address = line.substr(sizeof kListeningPrefix - 1);
        const std::size_t colon = address.rfind(':');
        if (colon != std::string::npos) {
            host_ = address.substr(0, colon);
            const unsigned long port = std::strtoul(address.c_str() + colon + 1, nullptr, 10);
            if (port > 0 && port <= 0xFFFF) port_ = static_cast<std::uint16_t>(port);
        }
    }
    if (port_ == 0) {
        if (why.empty()) why = "unexpected first line \"" + line + "\"";
        const int status = stop();
        std::ostringstream text;
        text << "qova-router did not start: " << why;
        if (WIFEXITED(status)) text << " (exit status " << WEXITSTATUS(status) << ")";
        text << "; its standard error:\n" << log();
        closeFd(stdout_fd_);
        ::unlink(log_path_.c_str());
        throw std::runtime_error(text.str());
    }
}

RouterProcess::~RouterProcess() {
    stop();
    closeFd(stdout_fd_);
    ::unlink(log_path_.c_str());
}

std::uint16_t RouterProcess::port() const { return port_; }

std::string RouterProcess::address() const { return host_ + ":" + std::to_string(port_); }

std::string RouterProcess::log() const { return readWhole(log_path_); }

pid_t RouterProcess::pid() const { return pid_; }

int RouterProcess::stop() {
    if (!running_) return status_;
    running_ = false;
    ::kill(pid_, SIGTERM);
    if (!waitUntil(pid_, Clock::now() + kStopTimeout, status_)) {
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
        }
    }
    return status_;
}

}  // namespace qova::testing
