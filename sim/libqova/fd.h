// fd.h -- sole owner of a file descriptor, and the TCP connect that libqova
// uses.
#ifndef SIM_LIBQOVA_FD_H
#define SIM_LIBQOVA_FD_H

#include <chrono>
#include <string>

namespace qova::lib {

using Clock = std::chrono::steady_clock;

// Owns one descriptor; -1 when empty.  Move-only; closes on destruction.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release();
    void reset();

  private:
    int fd_ = -1;
};

// Milliseconds from now until `deadline` (0 when past), for poll().
int millisUntil(Clock::time_point deadline);

// Resolves `host`:`port` and connects a non-blocking TCP socket (close-on-exec,
// TCP_NODELAY) to the first address that answers before `deadline`.  Returns
// an empty Fd with the reason in `error` on failure.
Fd connectTcp(const std::string& host, const std::string& port, Clock::time_point deadline,
              std::string& error);

// Sends as much of `data` as the socket takes now, without blocking or
// raising SIGPIPE.  Returns the bytes sent, or -1 with `error` set when the
// connection failed.
long sendSome(int fd, const std::string& data, std::string& error);

}  // namespace qova::lib

#endif  // SIM_LIBQOVA_FD_H
