#include "fd.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace qova::lib {

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

int Fd::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void Fd::reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

int millisUntil(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return 0;
    return left.count() > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left.count());
}

namespace {

// One attempt on one resolved address; empty Fd and `error` on failure.
Fd connectOne(const addrinfo& ai, Clock::time_point deadline, std::string& error) {
    Fd fd(::socket(ai.ai_family, ai.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai.ai_protocol));
    if (!fd.valid()) {
        error = std::string("socket: ") + std::strerror(errno);
        return Fd();
    }
    if (::connect(fd.get(), ai.ai_addr, ai.ai_addrlen) != 0) {
        if (errno != EINPROGRESS) {
            error = std::strerror(errno);
            return Fd();
        }
        pollfd p{fd.get(), POLLOUT, 0};
        int rc;
        do {
            rc = ::poll(&p, 1, millisUntil(deadline));
        } while (rc < 0 && errno == EINTR);
        if (rc == 0) {
            error = "timed out";
            return Fd();
        }
        int soerr = 0;
        socklen_t len = sizeof soerr;
        if (rc < 0 || ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &soerr, &len) != 0) {
            error = std::strerror(errno);
            return Fd();
        }
        if (soerr != 0) {
            error = std::strerror(soerr);
            return Fd();
        }
    }
    // Requests and replies are small and answered at once; Nagle's delay
    // would dominate the round trip.
    const int one = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

}  // namespace

Fd connectTcp(const std::string& host, const std::string& port, Clock::time_point deadline,
              std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (rc != 0) {
        error = std::string("cannot resolve ") + host + ": " + ::gai_strerror(rc);
        return Fd();
    }
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, &::freeaddrinfo);
    error = "no address";
    for (const addrinfo* ai = list.get(); ai; ai = ai->ai_next) {
        Fd fd = connectOne(*ai, deadline, error);
        if (fd.valid()) return fd;
        if (millisUntil(deadline) == 0) break;
    }
    error = "cannot connect to " + host + ":" + port + ": " + error;
    return Fd();
}

long sendSome(int fd, const std::string& data, std::string& error) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            error = std::string("send: ") + std::strerror(errno);
            return -1;
        }
    }
    return static_cast<long>(sent);
}

}  // namespace qova::lib
