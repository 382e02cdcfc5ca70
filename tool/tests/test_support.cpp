// test_support.cpp -- see test_support.h.
#include "test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio_ext.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "base/secret.h"

extern char** environ;

namespace testsupport {

const std::string kPrompts =
    "Enter old password: \nEnter new password: \nEnter new password again: \n";
const std::string kOptions =
    "Options:\n"
    "  -i [ --ini ] arg      Path to ini file\n"
    "  --host arg            Host\n"
    "  --port arg            Port\n"
    "  --app_name arg        Application name\n"
    "  --local_pass arg      Password for connection \n"
    "  -h [ --help ] arg     Print help message\n";
const std::string kUsage = "Command arguments usage:\n" + kOptions + "\n";

namespace {

void writeAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

TempFile::TempFile(const std::string& content) {
    const char* dir = std::getenv("TMPDIR");
    std::string pattern = std::string(dir ? dir : "/tmp") + "/pwd_changer_test_XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) {
        throw std::runtime_error("mkstemp: " + std::string(std::strerror(errno)));
    }
    writeAll(fd, content);
    ::close(fd);
    path_ = pattern;
}

TempFile::~TempFile() { ::unlink(path_.c_str()); }

std::string TempFile::read() const {
    std::ifstream in(path_);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

StdinFrom::StdinFrom(const std::string& text) {
    int fds[2];
    if (::pipe(fds) != 0) {
        throw std::runtime_error("pipe failed");
    }
    writeAll(fds[1], text);  // small texts only: they fit in the pipe
    ::close(fds[1]);
    saved_ = ::dup(STDIN_FILENO);
    ::dup2(fds[0], STDIN_FILENO);
    ::close(fds[0]);
    __fpurge(stdin);
    std::clearerr(stdin);
    std::cin.clear();
}

StdinFrom::~StdinFrom() {
    ::dup2(saved_, STDIN_FILENO);
    ::close(saved_);
    __fpurge(stdin);
    std::clearerr(stdin);
    std::cin.clear();
}

bool waitFor(pid_t pid, int& status, int timeoutMs, int options) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        const pid_t r = ::waitpid(pid, &status, options | WNOHANG);
        if (r == pid) {
            return true;
        }
        if (r < 0 && errno != EINTR) {
            return false;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int RunResult::exitCode() const { return finished && WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

RunResult run(const std::vector<std::string>& argv, const std::string& input,
              const std::vector<std::string>& env, int timeoutMs) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
        ::pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) {
        environment.emplace_back(*e);
    }
    environment.insert(environment.end(), env.begin(), env.end());
    std::vector<char*> args, envp;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    for (const auto& e : environment) {
        envp.push_back(const_cast<char*>(e.c_str()));
    }
    envp.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    // Passwords are tiny: they fit in the pipe, so writing cannot block.  A
    // program that exits before reading (a bad option) closes the pipe: the
    // write then fails with EPIPE instead of killing the test with SIGPIPE.
    // Ignored only after the fork, so the program keeps the default.
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &previous);
    writeAll(in[1], input);
    ::sigaction(SIGPIPE, &previous, nullptr);
    ::close(in[1]);

    RunResult result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    bool timedOut = false;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        if (::poll(fds, 2, static_cast<int>(left)) < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                char buffer[4096];
                const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0) {
                    sinks[i]->append(buffer, static_cast<std::size_t>(n));
                } else if (n == 0 || errno != EINTR) {
                    ::close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                }
            }
        }
    }
    for (auto& f : fds) {
        if (f.fd >= 0) {
            ::close(f.fd);
        }
    }
    if (timedOut) {
        ::kill(pid, SIGKILL);
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    result.finished =
        !timedOut && waitFor(pid, result.status, static_cast<int>(std::max<long>(left, 1000)));
    if (timedOut) {
        ::waitpid(pid, &result.status, 0);
    }
    return result;
}

namespace {
constexpr int kTimeoutMs = 10000;
}  // namespace

bool eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTimeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

PtyChild::PtyChild(std::function<std::string()> body, Session session, const termios* initial) {
    if (openpty(&master_, &slave_, nullptr, initial, nullptr) != 0) {
        throw std::runtime_error("openpty failed");
    }
    int result[2];
    if (pipe(result) != 0) {
        throw std::runtime_error("pipe failed");
    }
    pid_ = fork();
    if (pid_ == 0) {
        close(result[0]);
        close(master_);
        if (session == Session::NewWithControllingTerminal) {
            setsid();
            ioctl(slave_, TIOCSCTTY, 0);
        } else {
            setpgid(0, 0);
        }
        dup2(slave_, STDIN_FILENO);
        dup2(slave_, STDOUT_FILENO);
        base::disableCoreDumps();
        std::string report;
        try {
            report = body();
        } catch (const std::exception& e) {
            report = std::string("exception: ") + e.what();
        }
        (void)!write(result[1], report.data(), report.size());
        _exit(0);
    }
    close(result[1]);
    result_ = result[0];
}

PtyChild::~PtyChild() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    close(master_);
    close(slave_);
    close(result_);
}

bool PtyChild::echoOn() const { return (attributes().c_lflag & ECHO) != 0; }

termios PtyChild::attributes() const {
    termios t{};
    tcgetattr(slave_, &t);
    return t;
}

bool PtyChild::waitForOutput(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTimeoutMs);
    while (output_.find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, 50) > 0) {
            char buffer[256];
            const ssize_t n = read(master_, buffer, sizeof buffer);
            if (n > 0) {
                output_.append(buffer, static_cast<std::size_t>(n));
            }
        }
    }
    return true;
}

void PtyChild::type(const std::string& text) { (void)!write(master_, text.data(), text.size()); }

bool PtyChild::wait(int& status, int options) {
    const bool done = waitFor(pid_, status, kTimeoutMs, options);
    reaped_ = !done || !WIFSTOPPED(status);
    return done;
}

std::string PtyChild::report() {
    std::string all;
    char buffer[256];
    ssize_t n;
    while ((n = read(result_, buffer, sizeof buffer)) > 0) {
        all.append(buffer, static_cast<std::size_t>(n));
    }
    return all;
}

}  // namespace testsupport
