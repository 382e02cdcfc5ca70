// router.cpp -- see testsupport/router.h.
#include "testsupport/router.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "base/parse.h"
#include "spawn.h"
#include "testsupport/process.h"

#ifndef QOVA_ROUTER_PATH
#error "QOVA_ROUTER_PATH must name the qova-router binary"
#endif

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kStartTimeout = std::chrono::seconds(10);
constexpr auto kStopTimeout = std::chrono::seconds(5);
constexpr char kListeningPrefix[] = "listening on ";

std::runtime_error sysError(const std::string& what) {
    return std::runtime_error("RouterProcess: " + what + ": " + std::strerror(errno));
}

bool namesPasswordFile(const std::vector<std::string>& args) {
    return std::any_of(args.begin(), args.end(), [](const std::string& a) {
        return a == "--password-file" || a.rfind("--password-file=", 0) == 0;
    });
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
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

}  // namespace

const char* routerPath() { return QOVA_ROUTER_PATH; }

void initAccountDatabase(const std::string& path, const std::string& password) {
    const RunResult r =
        run({QOVA_ROUTER_PATH, "--db", path, "--init-password", "--hash-cost", "min"},
            password + "\n", {}, kStartTimeout);
    if (r.exitCode() != 0) {
        throw std::runtime_error("qova-router --db " + path +
                                 " --init-password failed (wait status " +
                                 std::to_string(r.status) + "); its standard error:\n" + r.err);
    }
}

AccountDatabase::AccountDatabase(const std::string& password) {
    initAccountDatabase(path(), password);
}

std::vector<std::string> AccountDatabase::routerArgs() const {
    return {"--db", path(), "--hash-cost", "min"};
}

RouterProcess::RouterProcess(std::vector<std::string> args, std::string password) {
    const bool fromFile = namesPasswordFile(args);

    // Everything the child needs is prepared before fork.
    std::vector<std::string> argvStore{QOVA_ROUTER_PATH, "--listen", "127.0.0.1:0"};
    argvStore.insert(argvStore.end(), args.begin(), args.end());
    std::vector<char*> argv = detail::argvOf(argvStore);
    int errFd = ::open(dir_.path("router.log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (errFd < 0) throw sysError("cannot create the router's log");

    // Standard input is a socket pair rather than a pipe so that writing to
    // a router that died at once gives EPIPE instead of killing the test.
    int inPair[2] = {-1, -1};
    int outPipe[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, inPair) != 0 ||
        ::pipe2(outPipe, O_CLOEXEC) != 0) {
        const std::runtime_error e = sysError("cannot create the router's pipes");
        closeFd(inPair[0]), closeFd(inPair[1]), closeFd(errFd);
        throw e;
    }
    try {
        pid_ = detail::spawn(
            [&] {
                ::execv(argv[0], argv.data());
                return 127;
            },
            fromFile ? -1 : inPair[1], outPipe[1], errFd, SIGTERM);
    } catch (...) {
        closeFd(inPair[0]), closeFd(inPair[1]), closeFd(outPipe[0]), closeFd(outPipe[1]);
        closeFd(errFd);
        throw;
    }
    closeFd(inPair[1]);
    closeFd(outPipe[1]);
    closeFd(errFd);
    stdout_fd_ = outPipe[0];
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
        base::HostPort listening;
        std::string error;
        if (base::parseHostPort(line.substr(sizeof kListeningPrefix - 1), 1, listening, error)) {
            host_ = listening.host;
            port_ = listening.port;
        } else {
            why = error;
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
        throw std::runtime_error(text.str());
    }
}

RouterProcess::~RouterProcess() {
    stop();
    closeFd(stdout_fd_);
}

std::string RouterProcess::address() const { return host_ + ":" + std::to_string(port_); }

std::string RouterProcess::log() const { return dir_.read("router.log"); }

int RouterProcess::stop() {
    if (!running_) return status_;
    running_ = false;
    ::kill(pid_, SIGTERM);
    waitFor(pid_, status_, kStopTimeout);  // kills and reaps past the limit
    return status_;
}

}  // namespace testsupport
