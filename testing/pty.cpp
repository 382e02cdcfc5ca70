// pty.cpp -- see testsupport/pty.h.
#include "testsupport/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "spawn.h"
#include "testsupport/process.h"

namespace testsupport {
namespace {

constexpr auto kTimeout = std::chrono::seconds(10);

}  // namespace

PtyChild::PtyChild(std::function<std::string()> body, Session session, const termios* initial) {
    if (::openpty(&master_, &slave_, nullptr, initial, nullptr) != 0) {
        throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
    }
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    int result[2];
    if (::pipe2(result, O_CLOEXEC) != 0) {
        ::close(master_);
        ::close(slave_);
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    try {
        pid_ = detail::spawn(
            [&] {
                ::close(result[0]);
                ::close(master_);
                if (session == Session::NewWithControllingTerminal) {
                    ::setsid();
                    ::ioctl(slave_, TIOCSCTTY, 0);
                } else {
                    ::setpgid(0, 0);
                }
                std::string report;
                try {
                    report = body();
                } catch (const std::exception& e) {
                    report = std::string("exception: ") + e.what();
                }
                (void)!::write(result[1], report.data(), report.size());
                return 0;
            },
            slave_, slave_, STDERR_FILENO, SIGKILL);
    } catch (...) {
        ::close(result[0]);
        ::close(result[1]);
        ::close(master_);
        ::close(slave_);
        throw;
    }
    ::close(result[1]);
    result_ = result[0];
}

PtyChild::~PtyChild() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    ::close(master_);
    ::close(slave_);
    ::close(result_);
}

bool PtyChild::echoOn() const { return (attributes().c_lflag & ECHO) != 0; }

termios PtyChild::attributes() const {
    termios t{};
    ::tcgetattr(slave_, &t);
    return t;
}

bool PtyChild::readSome(int ms) {
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return false;
    char buffer[256];
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n <= 0) return false;
    output_.append(buffer, static_cast<std::size_t>(n));
    return true;
}

bool PtyChild::waitForOutput(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (output_.find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        readSome(50);
    }
    return true;
}

const std::string& PtyChild::drain() {
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (readSome(100) && std::chrono::steady_clock::now() < deadline) {
    }
    return output_;
}

void PtyChild::type(const std::string& text) { (void)!::write(master_, text.data(), text.size()); }

bool PtyChild::wait(int& status, int options) {
    const bool done = waitFor(pid_, status, kTimeout, options);
    reaped_ = !done || !WIFSTOPPED(status);
    return done;
}

std::string PtyChild::report() {
    std::string all;
    char buffer[256];
    ssize_t n;
    while ((n = ::read(result_, buffer, sizeof buffer)) > 0) {
        all.append(buffer, static_cast<std::size_t>(n));
    }
    return all;
}

}  // namespace testsupport
