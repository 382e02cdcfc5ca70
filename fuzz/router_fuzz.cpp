// qova-router's handling of the byte stream of one connection, in process:
// a Server with an account in memory listens on a loopback port, and each
// input is sent on a new connection, whose sending side is then shut.  What
// the router sends back must cut into well-formed Welcome and Reply frames.
// The client reads until the router closes or has sent nothing for a moment,
// then resets the connection: replies the router holds back (it slows down a
// connection that guesses wrong, up to seconds) are not waited for.  Bit 0
// of the first byte puts a valid Hello in front of the rest, so that most
// inputs reach the frames that follow the handshake.
#include <password_service.h>
#include <router_options.h>
#include <server.h>
#include <wire.h>

#include <array>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <thread>

#include "fuzz_check.h"

namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

struct Router {
    Router() : store("fuzz-secret"), server(io, options(), store) { server.start(); }

    static const qova::router::RouterOptions& options() {
        static qova::router::RouterOptions o = [] {
            qova::router::RouterOptions r;
            r.listen_port = 0;
            return r;
        }();
        return o;
    }

    asio::io_context io;
    qova::router::MemoryAccountStore store;
    qova::router::Server server;
};

Router* router = nullptr;

// Reads what the router sends on `client` until it closes the connection
// (true: an orderly close) or sends nothing for kQuiet (or kMaxWait in all).
bool readUntilQuiet(tcp::socket& client, std::string& got) {
    using Clock = std::chrono::steady_clock;
    constexpr auto kQuiet = std::chrono::milliseconds(50);
    constexpr auto kMaxWait = std::chrono::seconds(1);
    std::array<char, 4096> chunk{};
    bool reading = true;
    bool closed = false;
    Clock::time_point last = Clock::now();
    std::function<void()> readMore = [&] {
        client.async_read_some(asio::buffer(chunk), [&](error_code ec, std::size_t n) {
            got.append(chunk.data(), n);
            last = Clock::now();
            if (ec) {
                reading = false;
                closed = ec == asio::error::eof;
                return;
            }
            readMore();
        });
    };
    readMore();
    const Clock::time_point start = Clock::now();
    while (reading && Clock::now() - last < kQuiet && Clock::now() - start < kMaxWait) {
        router->io.run_one_for(std::chrono::milliseconds(10));
    }
    // The read's handler refers to this frame: it must have run before the
    // frame is gone.
    error_code ec;
    client.cancel(ec);
    while (reading) router->io.run_one();
    router->io.restart();
    return closed;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::signal(SIGPIPE, SIG_IGN);  // a write to a connection the router closed
    router = new Router;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    std::string stream;
    if (in.byte() & 1) {
        qova::wire::Hello hello;
        hello.app_name = "fuzz";
        stream = qova::wire::encode(hello);
    }
    stream += in.rest();

    const std::string address = router->server.address();
    const std::size_t colon = address.rfind(':');
    const tcp::endpoint endpoint(
        asio::ip::make_address(address.substr(0, colon)),
        static_cast<unsigned short>(std::stoul(address.substr(colon + 1))));
    tcp::socket client(router->io);
    error_code ec;
    // The host may run short of ports for a moment under a fast campaign;
    // a router that stopped accepting fails all the same.
    for (int attempt = 0; attempt < 20; ++attempt) {
        client.close(ec);
        if (!client.connect(endpoint, ec)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (ec) std::fprintf(stderr, "cannot connect to the router: %s\n", ec.message().c_str());
    FUZZ_CHECK(!ec);
    asio::write(client, asio::buffer(stream), ec);  // the router may have closed already
    client.shutdown(tcp::socket::shutdown_send, ec);

    std::string got;
    const bool clean = readUntilQuiet(client, got);
    // Closed with a reset: no TIME_WAIT is left behind for each input.
    client.set_option(asio::socket_base::linger(true, 0), ec);
    client.close(ec);

    std::size_t used = 0;
    while (used < got.size()) {
        qova::wire::Frame frame;
        std::size_t consumed = 0;
        std::string error;
        const auto status =
            qova::wire::cutFrame(got.data() + used, got.size() - used, frame, consumed, error);
        // The end may be cut when the client stopped reading or the router
        // reset the connection; never after an orderly close.
        if (status == qova::wire::CutStatus::NeedMore && !clean) break;
        FUZZ_CHECK(status == qova::wire::CutStatus::Frame);
        qova::wire::Welcome welcome;
        qova::wire::Reply reply;
        FUZZ_CHECK(qova::wire::parse(frame, welcome, error) ||
                   qova::wire::parse(frame, reply, error));
        used += consumed;
    }
    return 0;
}
