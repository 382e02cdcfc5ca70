// process.cpp -- see testsupport/process.h.
#include "testsupport/process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "spawn.h"

extern char** environ;

namespace testsupport {
namespace detail {

std::vector<char*> argvOf(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

pid_t forkChild(int in, int out, int err, int deathSignal) {
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (pid > 0) return pid;
    // From here on only async-signal-safe calls until the body runs.
    ::prctl(PR_SET_PDEATHSIG, deathSignal);
    if (::getppid() != parent) ::_exit(127);  // the parent ended before prctl
    const int fds[3] = {in, out, err};
    for (int target = 0; target < 3; ++target) {
        int fd = fds[target];
        if (fd < 0) fd = ::open("/dev/null", target == 0 ? O_RDONLY : O_WRONLY);
        if (fd < 0 || ::dup2(fd, target) < 0) ::_exit(127);
    }
    return 0;
}

}  // namespace detail

namespace {

using Clock = std::chrono::steady_clock;

// Descriptors closed on destruction.
struct Fds {
    int in[2] = {-1, -1};  // a socket pair, so a write to a child gone gives EPIPE, no SIGPIPE
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    Fds() {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0 ||
            ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
            closeAll();
            throw std::runtime_error(std::string("cannot make pipes: ") + std::strerror(errno));
        }
    }
    ~Fds() { closeAll(); }
    Fds(const Fds&) = delete;
    Fds& operator=(const Fds&) = delete;
    static void close(int& fd) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    void closeAll() {
        for (int* fd : {&in[0], &in[1], &out[0], &out[1], &err[0], &err[1]}) close(*fd);
    }
};

// Feeds `input` to the child and collects its output until both output
// streams end or `limit` passes; then reaps the child (killing it first on
// time-out).
RunResult collect(pid_t pid, Fds& fds, const std::string& input, std::chrono::milliseconds limit) {
    Fds::close(fds.in[1]);
    Fds::close(fds.out[1]);
    Fds::close(fds.err[1]);
    const Clock::time_point deadline = Clock::now() + limit;
    RunResult result;
    std::size_t fed = 0;
    if (input.empty()) Fds::close(fds.in[0]);
    bool timedOut = false;
    for (;;) {
        pollfd p[3] = {{fds.out[0], POLLIN, 0}, {fds.err[0], POLLIN, 0}, {fds.in[0], POLLOUT, 0}};
        if (p[0].fd < 0 && p[1].fd < 0) break;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        if (::poll(p, 3, static_cast<int>(left.count())) < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
        }
        std::string* sinks[2] = {&result.out, &result.err};
        int* sources[2] = {&fds.out[0], &fds.err[0]};
        for (int i = 0; i < 2; ++i) {
            if (p[i].fd < 0 || p[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t n = ::read(p[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                Fds::close(*sources[i]);
            }
        }
        if (p[2].fd >= 0 && p[2].revents != 0) {
            const ssize_t n = ::send(fds.in[0], input.data() + fed, input.size() - fed,
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) fed += static_cast<std::size_t>(n);
            // Everything fed, or the child stopped reading: end of input.
            if (fed == input.size() || (n < 0 && errno != EINTR && errno != EAGAIN)) {
                Fds::close(fds.in[0]);
            }
        }
    }
    fds.closeAll();
    if (timedOut) {
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, &result.status, 0) < 0 && errno == EINTR) {
        }
        return result;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    result.finished = waitFor(pid, result.status, std::max(left, std::chrono::milliseconds(1000)));
    return result;
}

}  // namespace

int RunResult::exitCode() const { return finished && WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

RunResult run(const std::vector<std::string>& argv, const std::string& input,
              const std::vector<std::string>& env, std::chrono::milliseconds limit) {
    if (argv.empty()) throw std::invalid_argument("run: no program");
    // Everything the child needs is built before fork.
    std::vector<std::string> args = argv;
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) environment.emplace_back(*e);
    environment.insert(environment.end(), env.begin(), env.end());
    std::vector<char*> argp = detail::argvOf(args);
    std::vector<char*> envp = detail::argvOf(environment);
    Fds fds;
    const pid_t pid = detail::spawn(
        [&] {
            ::execve(argp[0], argp.data(), envp.data());
            return 127;
        },
        fds.in[1], fds.out[1], fds.err[1], SIGKILL);
    return collect(pid, fds, input, limit);
}

RunResult runInChild(const std::function<int()>& body, std::chrono::milliseconds limit) {
    Fds fds;
    const pid_t pid = detail::spawn(
        [&] {
            // The parent's ends stay open in a child that does not exec.
            ::close(fds.in[0]);
            ::close(fds.out[0]);
            ::close(fds.err[0]);
            return body();
        },
        fds.in[1], fds.out[1], fds.err[1], SIGKILL);
    return collect(pid, fds, "", limit);
}

bool waitFor(pid_t pid, int& status, std::chrono::milliseconds limit, int options) {
    const Clock::time_point deadline = Clock::now() + limit;
    for (;;) {
        const pid_t r = ::waitpid(pid, &status, options | WNOHANG);
        if (r == pid) return true;
        if (r < 0 && errno != EINTR) return false;
        if (Clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace testsupport
