// router_flood.cpp -- hostile load on qova-router over loopback, for
// bench/router_flood_bench.sh: many connections that take room without
// asking anything, or that ask only wrong passwords.
//
//   router_flood --port P --mode MODE [--connections N] [--seconds S]
//                [--guesses K] [--local-pass TEXT]
//
// Modes (each connection sends a Hello first, with --local-pass):
//   idle       stays silent after the Hello
//   trickle    then sends a Subscribe frame one byte a second, never whole
//   subscribe  then sends a whole Subscribe frame every second
//   guess      then posts K ChangePassword requests with a wrong old
//              password at once, and K more once they are answered and a
//              second has passed since the last batch
//   localpass  its Hello carries a wrong local password; once refused it
//              connects again and guesses again
// A connection the router closes is opened again, so the flood keeps its
// size (after 100 ms, so that a router that refuses is not hammered).
// Traffic goes to 127.0.0.1 only; the run ends after S seconds and
// prints what the router did on standard output, as it does when stopped
// by SIGINT or SIGTERM.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/program_options.hpp>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "wire.h"

namespace po = boost::program_options;
namespace wire = qova::wire;
using Clock = std::chrono::steady_clock;

namespace {

// Set by SIGINT or SIGTERM: the run ends early and still reports.
volatile std::sig_atomic_t stopRequested = 0;
extern "C" void requestStop(int) { stopRequested = 1; }

enum class Mode { Idle, Trickle, Subscribe, Guess, LocalPass };

struct Settings {
    std::uint16_t port = 0;
    Mode mode = Mode::Idle;
    std::size_t connections = 1000;
    int seconds = 30;
    int guesses = 10;
    std::string local_pass;
};

struct Counts {
    std::uint64_t opened = 0;
    std::uint64_t closed_by_router = 0;
    std::uint64_t connect_failures = 0;
    std::uint64_t welcomed = 0;
    std::uint64_t refused = 0;  // Welcome with a status other than accepted
    std::uint64_t replies = 0;
    std::uint64_t requests = 0;
};

struct Conn {
    int fd = -1;
    bool welcomed = false;
    std::string inbox;
    std::string pending;  // bytes still to send, for trickle: one a second
    Clock::time_point next_action{};
    Clock::time_point reopen_at{};  // after the router closed it
    int unanswered = 0;
    std::uint32_t next_request = 1;
};

wire::SessionId sessionFor(std::size_t index, std::uint64_t round) {
    wire::SessionId id{};
    std::uint64_t v = (static_cast<std::uint64_t>(index) << 32) ^ round ^ 0x5a5a5a5a5a5a5a5aULL;
    for (std::size_t i = 0; i < id.size(); ++i)
        id[i] = static_cast<std::uint8_t>(v >> (8 * (i % 8)));
    return id;
}

// Sends what the kernel takes without blocking; false when the socket failed.
bool sendSome(int fd, std::string& bytes, std::size_t limit = std::string::npos) {
    const std::size_t n = std::min(bytes.size(), limit);
    if (n == 0) return true;
    const ssize_t sent = ::send(fd, bytes.data(), n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
    bytes.erase(0, static_cast<std::size_t>(sent));
    return true;
}

int connectLoopback(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

std::string guessBody() {
    std::string body(132, '\0');
    std::memcpy(&body[0], "not-the-password", 16);
    std::memcpy(&body[66], "whatever", 8);
    return body;
}

class Flood {
  public:
    explicit Flood(const Settings& s) : s_(s), conns_(s.connections) {}

    void run() {
        const Clock::time_point end = Clock::now() + std::chrono::seconds(s_.seconds);
        std::uint64_t round = 0;
        for (std::size_t i = 0; i < conns_.size(); ++i) open(i, round++);
        std::vector<pollfd> fds;
        while (Clock::now() < end && !stopRequested) {
            fds.clear();
            for (const Conn& c : conns_) fds.push_back({c.fd, POLLIN, 0});
            ::poll(fds.data(), fds.size(), 100);
            const Clock::time_point now = Clock::now();
            for (std::size_t i = 0; i < conns_.size(); ++i) {
                Conn& c = conns_[i];
                if (c.fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) && !readFrom(c)) {
                    ++counts_.closed_by_router;
                    drop(c);
                }
                if (c.fd >= 0 && now >= c.next_action && !act(c, now)) {
                    ++counts_.closed_by_router;
                    drop(c);
                }
                if (c.fd < 0 && Clock::now() >= c.reopen_at) open(i, round++);
            }
        }
        for (Conn& c : conns_) drop(c);
    }

    void report() const {
        std::cout << "opened " << counts_.opened << " closed_by_router " << counts_.closed_by_router
                  << " connect_failures " << counts_.connect_failures << " welcomed "
                  << counts_.welcomed << " refused " << counts_.refused << " requests "
                  << counts_.requests << " replies " << counts_.replies << "\n";
    }

  private:
    void open(std::size_t index, std::uint64_t round) {
        Conn& c = conns_[index];
        c = Conn{};
        c.fd = connectLoopback(s_.port);
        if (c.fd < 0) {
            ++counts_.connect_failures;
            return;
        }
        ++counts_.opened;
        const std::string localPass =
            s_.mode == Mode::LocalPass ? "wrong-local-pass" : s_.local_pass;
        std::string hello =
            wire::encode(wire::Hello{sessionFor(index, round), "router_flood", localPass});
        if (!sendSome(c.fd, hello)) drop(c);
        c.next_action = Clock::now() + std::chrono::milliseconds(50);
    }

    // Closes; the connection is opened again after kReopenDelay, or at once
    // by a guesser of local passwords, which expects to be closed.
    void drop(Conn& c) {
        if (c.fd >= 0) ::close(c.fd);
        c.fd = -1;
        c.reopen_at = Clock::now() + (s_.mode == Mode::LocalPass ? Clock::duration::zero()
                                                                 : Clock::duration(kReopenDelay));
    }

    static constexpr auto kReopenDelay = std::chrono::milliseconds(100);

    // Reads what is there; false when the router closed the connection.
    bool readFrom(Conn& c) {
        char buf[4096];
        const ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0) return false;
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
        c.inbox.append(buf, static_cast<std::size_t>(n));
        for (;;) {
            wire::Frame frame;
            std::size_t consumed = 0;
            std::string error;
            const wire::CutStatus st =
                wire::cutFrame(c.inbox.data(), c.inbox.size(), frame, consumed, error);
            if (st == wire::CutStatus::NeedMore) return true;
            if (st == wire::CutStatus::Error) return false;
            c.inbox.erase(0, consumed);
            if (frame.type == wire::FrameType::Welcome) {
                wire::Welcome w;
                if (wire::parse(frame, w, error) && w.status == wire::WelcomeStatus::Accepted) {
                    c.welcomed = true;
                    ++counts_.welcomed;
                } else {
                    ++counts_.refused;
                }
            } else if (frame.type == wire::FrameType::Reply) {
                ++counts_.replies;
                --c.unanswered;
            }
        }
    }

    // The mode's next step; false when sending failed.
    bool act(Conn& c, Clock::time_point now) {
        if (!c.welcomed) return true;
        c.next_action = now + std::chrono::seconds(1);
        switch (s_.mode) {
            case Mode::Idle:
            case Mode::LocalPass:
                return true;
            case Mode::Trickle:
                if (c.pending.empty()) {
                    c.pending = wire::encode(wire::FrameType::Subscribe,
                                             wire::Subscription{std::string(200, 'r')});
                }
                // Never the last byte: the frame stays unfinished.
                return c.pending.size() <= 1 || sendSome(c.fd, c.pending, 1);
            case Mode::Subscribe: {
                std::string frame =
                    wire::encode(wire::FrameType::Subscribe, wire::Subscription{"flood"});
                return sendSome(c.fd, frame);
            }
            case Mode::Guess: {
                if (c.unanswered > 0) {
                    c.next_action = now + std::chrono::milliseconds(20);
                    return true;
                }
                std::string batch;
                for (int k = 0; k < s_.guesses; ++k) {
                    batch += wire::encode(
                        wire::Request{c.next_request++, "KOLMA_SRV", "flood", 421, guessBody()});
                }
                c.unanswered = s_.guesses;
                counts_.requests += static_cast<std::uint64_t>(s_.guesses);
                return sendSome(c.fd, batch);
            }
        }
        return true;
    }

    Settings s_;
    std::vector<Conn> conns_;
    Counts counts_;
};

Mode parseMode(const std::string& text) {
    if (text == "idle") return Mode::Idle;
    if (text == "trickle") return Mode::Trickle;
    if (text == "subscribe") return Mode::Subscribe;
    if (text == "guess") return Mode::Guess;
    if (text == "localpass") return Mode::LocalPass;
    throw std::runtime_error("unknown mode " + text);
}

}  // namespace

int main(int argc, char** argv) {
    Settings s;
    try {
        po::options_description d("router_flood");
        int port = 0;
        std::string mode;
        // clang-format off
        d.add_options()
            ("port", po::value<int>(&port)->required(), "the router's port on 127.0.0.1")
            ("mode", po::value<std::string>(&mode)->required(),
             "idle, trickle, subscribe, guess or localpass")
            ("connections", po::value<std::size_t>(&s.connections)->default_value(1000), "")
            ("seconds", po::value<int>(&s.seconds)->default_value(30), "at most 600")
            ("guesses", po::value<int>(&s.guesses)->default_value(10), "per batch (guess)")
            ("local-pass", po::value<std::string>(&s.local_pass), "the right local password");
        // clang-format on
        po::variables_map vm;
        po::store(po::parse_command_line(argc, argv, d), vm);
        po::notify(vm);
        if (port <= 0 || port > 65535 || s.seconds < 1 || s.seconds > 600 || s.connections == 0 ||
            s.connections > 5000 || s.guesses < 1 || s.guesses > 100) {
            throw std::runtime_error("an option is out of range");
        }
        s.port = static_cast<std::uint16_t>(port);
        s.mode = parseMode(mode);
    } catch (const std::exception& e) {
        std::cerr << "router_flood: " << e.what() << "\n";
        return 2;
    }
    // One descriptor per connection, and some to spare.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < s.connections + 64) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, s.connections + 64);
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    struct sigaction stop {};
    stop.sa_handler = requestStop;
    ::sigaction(SIGINT, &stop, nullptr);
    ::sigaction(SIGTERM, &stop, nullptr);
    Flood flood(s);
    flood.run();
    flood.report();
    return 0;
}
