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
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - Clock::now());
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

}  // namespace

RouterProcess::RouterProcess(std::vector<std::string> args, std::string password) {
    const bool fromFile = namesPasswordFile(args);

    // Everything the child needs is prepared before fork: after it the child
    // only calls async-signal-safe functions.
    std::vector<std::string> argvStore{QOVA_ROUTER_PATH, "--listen", "127.0.0.1:0"};
    argvStore.insert(argvStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argvStore) argv.push_back(a.data());
    argv.push_back(nullptr);

    const char* tmp = std::getenv("TMPDIR");
    std::string pathTemplate = std::string(tmp && *tmp ? tmp : "/tmp") + "/qova-router-XXXXXX";
    int errFd = ::mkostemp(pathTemplate.data(), O_CLOEXEC);
    if (errFd < 0) throw sysError("cannot create a temp file for the router's log");
    log_path_ = pathTemplate;

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

    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(127);
        if (fromFile) {
            const int devnull = ::open("/dev/null", O_RDONLY);
            if (devnull < 0 || ::dup2(devnull, 0) < 0) ::_exit(127);
        } else if (::dup2(inPair[1], 0) < 0) {
            ::_exit(127);
        }
        if (::dup2(outPipe[1], 1) < 0 || ::dup2(errFd, 2) < 0) ::_exit(127);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
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

std::string RouterProcess::log() const {
    std::ifstream in(log_path_, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

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
