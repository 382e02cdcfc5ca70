// qova-fault-proxy: a TCP proxy on loopback that spoils the traffic between
// pwd_changer (libqova) and qova-router, for the fault soak
// (scripts/soak.sh).  See docs/fault-soak.md.
//
//   qova-fault-proxy --target 127.0.0.1:PORT [--listen 127.0.0.1:0]
//                    [--mode MODE] [--seed N] [--delay-ms N] [--stall-ms N]
//
// Each accepted connection gets its own upstream connection to the target
// and one fault, MODE, or with "mix" (the default) one drawn at random:
//   pass   bytes go through untouched
//   delay  every chunk waits a random 1 to --delay-ms ms (default 300)
//   slice  every byte goes on its own, 1 ms apart
//   stall  in one direction, after a random number of bytes (0 to 299),
//          nothing moves for a random --stall-ms / 2 to --stall-ms ms
//          (default 4000)
//   cut    in one direction, after a random number of bytes (1 to 299),
//          both connections are closed: mid-frame, mostly mid-request
// When either side closes, the other is closed at once and bytes still held
// are dropped (the proxy keeps reading while it holds bytes back, so it
// notices at once): nothing reaches the router after the client is gone.  Both addresses must be
// loopback addresses; the proxy never talks to anything else.  It prints "listening on HOST:PORT"
// on standard output, one line per connection on standard error, and stops on SIGINT or SIGTERM
// with a count of the faults it applied.
#include <algorithm>
#include <array>
#include <boost/asio.hpp>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <string>

namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;
using std::chrono::milliseconds;

enum class Fault { Pass, Delay, Slice, Stall, Cut };
const char* const kFaultNames[] = {"pass", "delay", "slice", "stall", "cut"};
constexpr int kFaults = 5;

struct Config {
    tcp::endpoint listen{asio::ip::address_v4::loopback(), 0};
    tcp::endpoint target;
    int mode = -1;  // a Fault, or -1: mix
    unsigned seed = std::random_device{}();
    int delay_ms = 300;
    int stall_ms = 4000;
};

// Two sockets and the bytes between them.  One Pipe per direction.
class Link : public std::enable_shared_from_this<Link> {
  public:
    Link(tcp::socket client, std::uint64_t id, Fault fault, std::mt19937& rng, const Config& cfg)
        : client_(std::move(client)), server_(client_.get_executor()), id_(id), fault_(fault) {
        pipes_[0].from = &client_;
        pipes_[0].to = &server_;
        pipes_[1].from = &server_;
        pipes_[1].to = &client_;
        const int dir = std::uniform_int_distribution<int>(0, 1)(rng);
        for (Pipe& p : pipes_)
            p.timer = std::make_unique<asio::steady_timer>(client_.get_executor());
        if (fault == Fault::Stall || fault == Fault::Cut) {
            Pipe& p = pipes_[dir];
            p.trigger = std::uniform_int_distribution<std::size_t>(fault == Fault::Cut, 299)(rng);
            p.armed = true;
        }
        delay_ = milliseconds(std::uniform_int_distribution<int>(1, cfg.delay_ms)(rng));
        stall_ =
            milliseconds(std::uniform_int_distribution<int>(cfg.stall_ms / 2, cfg.stall_ms)(rng));
        std::cerr << "conn " << id_ << ": " << kFaultNames[static_cast<int>(fault)];
        if (fault == Fault::Stall || fault == Fault::Cut)
            std::cerr << (dir == 0 ? " to the router" : " to the client") << " after "
                      << pipes_[dir].trigger << " bytes";
        if (fault == Fault::Delay) std::cerr << " " << delay_.count() << " ms";
        if (fault == Fault::Stall) std::cerr << " for " << stall_.count() << " ms";
        std::cerr << std::endl;
    }

    void start(const tcp::endpoint& target) {
        auto self = shared_from_this();
        server_.async_connect(target, [this, self](error_code ec) {
            if (ec) return close("cannot reach the target: " + ec.message());
            error_code ignored;
            server_.set_option(tcp::no_delay(true), ignored);
            client_.set_option(tcp::no_delay(true), ignored);
            for (Pipe& p : pipes_) read(p);
        });
    }

  private:
    // Bytes held in one direction beyond which the link is dropped.
    static constexpr std::size_t kMaxHeld = 1 << 20;

    // One direction.  Reading never stops, so that a side that closes is
    // noticed at once, even while its bytes are held back; writing takes
    // the held chunks in order, spoiled by the link's fault.
    struct Pipe {
        tcp::socket* from = nullptr;
        tcp::socket* to = nullptr;
        std::unique_ptr<asio::steady_timer> timer;
        std::array<char, 4096> buffer{};
        std::deque<std::string> chunks;
        std::size_t held = 0;       // bytes in chunks
        std::size_t pos = 0;        // of the front chunk, already forwarded
        bool delayed = false;       // the front chunk has waited its delay
        bool busy = false;          // a write or a wait is in flight
        std::size_t forwarded = 0;  // bytes written so far
        std::size_t trigger = 0;    // stall or cut once this many went through
        bool armed = false;
    };

    void read(Pipe& p) {
        auto self = shared_from_this();
        p.from->async_read_some(
            asio::buffer(p.buffer), [this, self, &p](error_code ec, std::size_t n) {
                if (closed_) return;
                if (ec) return close(ec == asio::error::eof ? "closed" : ec.message());
                p.chunks.emplace_back(p.buffer.data(), n);
                p.held += n;
                if (p.held > kMaxHeld) return close("too much held back");
                pump(p);
                read(p);
            });
    }

    // Runs pump(p) after `wait`; `then` runs first.
    template <typename Then>
    void wait(Pipe& p, milliseconds duration, Then then) {
        auto self = shared_from_this();
        p.busy = true;
        p.timer->expires_after(duration);
        p.timer->async_wait([this, self, &p, then](error_code ec) {
            if (ec || closed_) return;
            p.busy = false;
            then();
            pump(p);
        });
    }

    // Writes the next piece of what is held, unless a write or wait runs.
    void pump(Pipe& p) {
        if (closed_ || p.busy || p.chunks.empty()) return;
        if (fault_ == Fault::Delay && !p.delayed)
            return wait(p, delay_, [&p] { p.delayed = true; });
        std::size_t n = p.chunks.front().size() - p.pos;
        if (fault_ == Fault::Slice) n = 1;
        if (p.armed) {
            if (p.forwarded == p.trigger) {
                if (fault_ == Fault::Cut)
                    return close("cut after " + std::to_string(p.forwarded) + " bytes");
                return wait(p, stall_, [&p] { p.armed = false; });
            }
            n = std::min(n, p.trigger - p.forwarded);
        }
        auto self = shared_from_this();
        p.busy = true;
        asio::async_write(*p.to, asio::buffer(p.chunks.front().data() + p.pos, n),
                          [this, self, &p](error_code ec, std::size_t written) {
                              if (closed_) return;
                              if (ec) return close(ec.message());
                              p.busy = false;
                              p.pos += written;
                              p.forwarded += written;
                              p.held -= written;
                              if (p.pos == p.chunks.front().size()) {
                                  p.chunks.pop_front();
                                  p.pos = 0;
                                  p.delayed = false;
                              }
                              if (fault_ == Fault::Slice) return wait(p, milliseconds(1), [] {});
                              pump(p);
                          });
    }

    void close(const std::string& why) {
        if (closed_) return;
        closed_ = true;
        std::cerr << "conn " << id_ << " closed: " << why << std::endl;
        error_code ignored;
        for (Pipe& p : pipes_) p.timer->cancel();
        client_.close(ignored);
        server_.close(ignored);
    }

    tcp::socket client_;
    tcp::socket server_;
    std::uint64_t id_;
    Fault fault_;
    milliseconds delay_{0};
    milliseconds stall_{0};
    Pipe pipes_[2];
    bool closed_ = false;
};

class Proxy {
  public:
    Proxy(asio::io_context& io, const Config& cfg)
        : cfg_(cfg), acceptor_(io, cfg.listen), rng_(cfg.seed) {}

    void accept() {
        acceptor_.async_accept([this](error_code ec, tcp::socket socket) {
            if (ec == asio::error::operation_aborted) return;
            if (!ec) {
                const int f = cfg_.mode >= 0
                                  ? cfg_.mode
                                  : std::uniform_int_distribution<int>(0, kFaults - 1)(rng_);
                ++counts_[f];
                std::make_shared<Link>(std::move(socket), ++next_id_, static_cast<Fault>(f), rng_,
                                       cfg_)
                    ->start(cfg_.target);
            }
            accept();
        });
    }
    void stop() {
        error_code ignored;
        acceptor_.close(ignored);
    }
    tcp::endpoint endpoint() const { return acceptor_.local_endpoint(); }
    std::string summary() const {
        std::string s = "connections " + std::to_string(next_id_);
        for (int f = 0; f < kFaults; ++f)
            s += std::string(", ") + kFaultNames[f] + " " + std::to_string(counts_[f]);
        return s;
    }

  private:
    const Config& cfg_;
    tcp::acceptor acceptor_;
    std::mt19937 rng_;
    std::uint64_t next_id_ = 0;
    std::uint64_t counts_[kFaults] = {};
};

[[noreturn]] void usage(const std::string& problem) {
    std::cerr << "qova-fault-proxy: " << problem << "\n"
              << "usage: qova-fault-proxy --target 127.0.0.1:PORT [--listen 127.0.0.1:PORT]\n"
                 "         [--mode pass|delay|slice|stall|cut|mix] [--seed N] [--delay-ms N] "
                 "[--stall-ms N]\n";
    std::exit(2);
}

// A loopback address literal with a port: "127.0.0.1:4001" or "[::1]:4001".
tcp::endpoint loopbackEndpoint(const std::string& text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) usage("'" + text + "' is not HOST:PORT");
    std::string host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    error_code ec;
    const asio::ip::address address = asio::ip::make_address(host, ec);
    if (ec || !address.is_loopback()) usage("'" + text + "' is not a loopback address");
    const std::string port = text.substr(colon + 1);
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos || std::stoul(port) > 65535)
        usage("'" + text + "' has a bad port");
    return tcp::endpoint(address, static_cast<unsigned short>(std::stoul(port)));
}

int number(const std::string& text) {
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        usage("'" + text + "' is not a number");
    return std::stoi(text);
}

Config parseArgs(int argc, char** argv) {
    Config cfg;
    bool haveTarget = false;
    for (int i = 1; i < argc; i += 2) {
        const std::string opt = argv[i];
        if (i + 1 >= argc) usage(opt + " needs a value");
        const std::string value = argv[i + 1];
        if (opt == "--listen") {
            cfg.listen = loopbackEndpoint(value);
        } else if (opt == "--target") {
            cfg.target = loopbackEndpoint(value);
            haveTarget = true;
        } else if (opt == "--mode") {
            cfg.mode = -2;
            for (int f = 0; f < kFaults; ++f)
                if (value == kFaultNames[f]) cfg.mode = f;
            if (value == "mix") cfg.mode = -1;
            if (cfg.mode == -2) usage("unknown mode '" + value + "'");
        } else if (opt == "--seed") {
            cfg.seed = static_cast<unsigned>(number(value));
        } else if (opt == "--delay-ms") {
            cfg.delay_ms = std::max(1, number(value));
        } else if (opt == "--stall-ms") {
            cfg.stall_ms = std::max(2, number(value));
        } else {
            usage("unknown option " + opt);
        }
    }
    if (!haveTarget) usage("--target is required");
    return cfg;
}

}  // namespace

int main(int argc, char** argv) {
    const Config cfg = parseArgs(argc, argv);
    asio::io_context io;
    Proxy proxy(io, cfg);
    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](const error_code& ec, int) {
        if (ec) return;
        proxy.stop();
        io.stop();
    });
    proxy.accept();
    const tcp::endpoint ep = proxy.endpoint();
    std::cout << "listening on "
              << (ep.address().is_v6() ? "[" + ep.address().to_string() + "]"
                                       : ep.address().to_string())
              << ":" << ep.port() << std::endl;
    io.run();
    std::cerr << "qova-fault-proxy: " << proxy.summary() << std::endl;
    return 0;
}
