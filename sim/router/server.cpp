#include "server.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <deque>
#include <map>
#include <stdexcept>

#include "base/secret.h"
#include "connection.h"
#include "request_handler.h"
#include "router_log.h"
#include "service_queue.h"
#include "wire.h"

namespace qova::router {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

// Replies kept for one absent session; the oldest goes first beyond this.
constexpr std::size_t kMaxKeptPerSession = 256;
// At most this many connections are open, so that descriptors remain for
// the ones being served.  A newcomer beyond it takes the place of the
// connection idle longest; when none is idle it is closed at once.
constexpr std::size_t kMaxConnections = 900;
// Wrong local passwords from one address are answered at most this often.
constexpr auto kLocalPassRefusalInterval = std::chrono::milliseconds(100);
// Addresses whose last refusal is past are forgotten once there are more
// than this many.
constexpr std::size_t kMaxRefusalAddresses = 1024;
constexpr auto kSweepInterval = std::chrono::seconds(1);
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);

// A reply that waits for its session to come back.
struct KeptReply {
    std::string ref;
    std::uint32_t request_id = 0;
    std::string frame;
    Clock::time_point expires;
};

struct SessionState {
    std::weak_ptr<Connection> connection;  // the latest connection that presented it
    std::deque<KeptReply> kept;            // oldest first
};

// Where a request came from, for its reply and its log line.
struct RequestOrigin {
    std::weak_ptr<Connection> connection;  // owed the reply until it is settled
    wire::SessionId session{};
    std::string line;  // "conn N: request ID SERVICE/MSG ref REF: "
    std::string ref;
    std::uint32_t request_id = 0;
};

// The 421 body and the application name, carried to a worker thread; the
// body holds passwords and is wiped however the job ends.
struct ServiceInput {
    std::string body;
    std::string app_name;
    ServiceInput(const std::string& b, const std::string& a) : body(b), app_name(a) {}
    ~ServiceInput() { base::wipe(body); }
    ServiceInput(const ServiceInput&) = delete;
    ServiceInput& operator=(const ServiceInput&) = delete;
};

tcp::endpoint resolveListen(asio::io_context& io, const RouterOptions& options) {
    error_code ec;
    const asio::ip::address address = asio::ip::make_address(options.listen_host, ec);
    if (!ec) return {address, options.listen_port};
    tcp::resolver resolver(io);
    const auto results =
        resolver.resolve(options.listen_host, std::to_string(options.listen_port),
                         tcp::resolver::passive | tcp::resolver::numeric_service, ec);
    if (ec || results.empty()) {
        throw std::runtime_error("cannot resolve the listen host " + options.listen_host + ": " +
                                 (ec ? ec.message() : "no address"));
    }
    return results.begin()->endpoint();
}

}  // namespace

struct Server::Impl final : ConnectionEvents {
    Impl(asio::io_context& io, const RouterOptions& options, AccountStore& store);

    void accept();
    // ConnectionEvents
    void sessionOpened(const std::shared_ptr<Connection>& connection) override;
    void subscribed(Connection& connection, const std::string& ref) override;
    void requested(Connection& connection, const wire::Request& request) override;
    Clock::time_point wrongLocalPass(Connection& connection) override;
    void connectionClosed(Connection& connection) override;

    // Closes the connection idle longest to make room; false when none is.
    bool evictIdlest();
    void carryOut(const RequestOrigin& origin, Decision decision);
    void settle(const RequestOrigin& origin);
    // Sends the reply to the session's connection, or keeps it.
    void deliver(const wire::SessionId& session, KeptReply reply);
    void armSweep();
    void sweep();
    void stop();

    asio::io_context& io;
    const RouterOptions& options;
    RequestHandler handler;
    tcp::acceptor acceptor;
    asio::steady_timer accept_retry;
    asio::steady_timer sweep_timer;
    bool sweeping = false;
    bool stopped = false;
    std::uint64_t next_connection = 1;
    std::uint64_t next_delay = 1;
    std::map<std::uint64_t, std::shared_ptr<Connection>> connections;
    std::map<std::uint64_t, std::shared_ptr<asio::steady_timer>> delayed;
    std::map<wire::SessionId, SessionState> sessions;
    // Per peer address: when its next refusal of a wrong local password may go.
    std::map<std::string, Clock::time_point> next_refusal;
    // Declared last: its destructor waits for the workers, whose jobs use
    // the handler.
    ServiceQueue service;
};

Server::Impl::Impl(asio::io_context& io_, const RouterOptions& options_, AccountStore& store)
    : io(io_),
      options(options_),
      handler(options_, store),
      acceptor(io_),
      accept_retry(io_),
      sweep_timer(io_),
      service(io_, ServiceQueue::defaultThreads()) {
    const tcp::endpoint endpoint = resolveListen(io, options);
    error_code ec;
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        throw std::runtime_error("cannot listen on " + endpointText(endpoint) + ": " +
                                 ec.message());
    }
}

void Server::Impl::accept() {
    acceptor.async_accept([this](error_code ec, tcp::socket socket) {
        if (stopped) return;
        if (ec) {
            // Most likely out of descriptors: try again shortly, not in a busy loop.
            logLine("accept failed: " + ec.message());
            accept_retry.expires_after(kAcceptRetry);
            accept_retry.async_wait([this](error_code e) {
                if (!e && !stopped) accept();
            });
            return;
        }
        if (connections.size() >= kMaxConnections && !evictIdlest()) {
            logLine("refused a connection: " + std::to_string(connections.size()) +
                    " connections open, none of them idle");
            error_code ignored;
            socket.close(ignored);
        } else {
            const std::uint64_t id = next_connection++;
            auto connection =
                std::make_shared<Connection>(std::move(socket), id, options.local_pass, *this);
            connections.emplace(id, connection);
            connection->start();
        }
        accept();
    });
}

void Server::Impl::sessionOpened(const std::shared_ptr<Connection>& connection) {
    sessions[connection->session()].connection = connection;
}

void Server::Impl::connectionClosed(Connection& connection) {
    connections.erase(connection.id());
    service.closeLane(connection.id());
    if (stopped || !connection.welcomed()) return;
    const auto it = sessions.find(connection.session());
    if (it == sessions.end()) return;
    const std::shared_ptr<Connection> current = it->second.connection.lock();
    if (current && current.get() != &connection) return;  // a newer connection took over
    it->second.connection.reset();
    if (it->second.kept.empty()) sessions.erase(it);
}

void Server::Impl::subscribed(Connection& connection, const std::string& ref) {
    const auto it = sessions.find(connection.session());
    if (it == sessions.end()) return;
    std::deque<KeptReply>& kept = it->second.kept;
    const Clock::time_point now = Clock::now();
    for (auto k = kept.begin(); k != kept.end() && connection.usable();) {
        if (k->ref != ref || k->expires <= now) {
            ++k;
            continue;
        }
        logLine(connection.name() + ": kept reply to request " + std::to_string(k->request_id) +
                " delivered on Subscribe of ref " + quoted(ref));
        connection.send(std::move(k->frame));
        k = kept.erase(k);
    }
}

bool Server::Impl::evictIdlest() {
    std::shared_ptr<Connection> idlest;  // held: closing drops the map's reference
    for (const auto& [id, connection] : connections) {
        if (connection->idle() && (!idlest || connection->idleSince() < idlest->idleSince())) {
            idlest = connection;
        }
    }
    if (!idlest) return false;
    const auto idleMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - idlest->idleSince());
    idlest->close("making room for a new connection: the longest idle of " +
                  std::to_string(connections.size()) + " (" + std::to_string(idleMs.count()) +
                  " ms)");
    return true;
}

void Server::Impl::requested(Connection& connection, const wire::Request& request) {
    connection.owe();
    RequestOrigin origin{connection.weak_from_this(), connection.session(),
                         connection.name() + ": request " + std::to_string(request.request_id) +
                             " " + quoted(request.service) + "/" + std::to_string(request.msg_id) +
                             " ref " + quoted(request.ref) + ": ",
                         request.ref, request.request_id};
    Decision decision = handler.handle(request, connection.flood(), Clock::now());
    if (decision.action != Decision::Action::Serve) {
        carryOut(origin, std::move(decision));
        return;
    }
    // The hashes run on a worker; the reply comes back here.
    auto input = std::make_shared<ServiceInput>(request.body, connection.appName());
    const std::uint64_t lane = connection.id();
    const std::size_t waiting = service.pending(lane);
    const bool queued = service.push(
        lane, [this, input] { return handler.serve(input->body, input->app_name); },
        [this, origin](Decision d) { carryOut(origin, std::move(d)); });
    if (!queued) carryOut(origin, handler.overloaded(waiting));
}

Clock::time_point Server::Impl::wrongLocalPass(Connection& connection) {
    const Clock::time_point now = Clock::now();
    if (next_refusal.size() > kMaxRefusalAddresses) {
        for (auto it = next_refusal.begin(); it != next_refusal.end();) {
            it = it->second <= now ? next_refusal.erase(it) : std::next(it);
        }
    }
    Clock::time_point& next = next_refusal[connection.peerHost()];
    const Clock::time_point at = std::max(next, now);
    next = at + kLocalPassRefusalInterval;
    if (at > now) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(at - now);
        logLine(connection.name() + ": wrong local password; refused in " +
                std::to_string(ms.count()) + " ms");
    }
    return at;
}

void Server::Impl::settle(const RequestOrigin& origin) {
    if (const std::shared_ptr<Connection> c = origin.connection.lock()) c->settle();
}

void Server::Impl::carryOut(const RequestOrigin& origin, Decision decision) {
    if (stopped) return;
    switch (decision.action) {
        case Decision::Action::Close:
            logLine(origin.line + "refused: " + decision.summary);
            settle(origin);
            if (const std::shared_ptr<Connection> c = origin.connection.lock()) {
                c->close(decision.summary);
            }
            return;
        case Decision::Action::Drop:
        case Decision::Action::Serve:  // never handed here
            logLine(origin.line + decision.summary);
            settle(origin);
            return;
        case Decision::Action::Reply:
            break;
    }
    KeptReply reply{origin.ref,
                    origin.request_id,
                    wire::encode(wire::Reply{origin.request_id, origin.ref, decision.msg_id,
                                             std::move(decision.body)}),
                    {}};
    if (options.reply_delay_ms == 0) {
        logLine(origin.line + decision.summary);
        deliver(origin.session, std::move(reply));
        settle(origin);
        return;
    }
    logLine(origin.line + decision.summary + " in " + std::to_string(options.reply_delay_ms) +
            " ms");
    const std::uint64_t id = next_delay++;
    auto timer =
        std::make_shared<asio::steady_timer>(io, std::chrono::milliseconds(options.reply_delay_ms));
    delayed.emplace(id, timer);
    timer->async_wait([this, id, timer, origin, reply = std::move(reply)](error_code ec) mutable {
        delayed.erase(id);
        if (ec || stopped) return;
        deliver(origin.session, std::move(reply));
        settle(origin);
    });
}

void Server::Impl::deliver(const wire::SessionId& session, KeptReply reply) {
    SessionState& state = sessions[session];
    const std::shared_ptr<Connection> c = state.connection.lock();
    if (c && c->usable() && !c->peerDone()) {
        c->send(std::move(reply.frame));
        return;
    }
    const bool sentToo = c && c->usable();
    if (sentToo) {
        // A peer that stopped sending may only have shut down its sending
        // side, or may have closed for good: the reply goes out and is kept
        // as well, should the session come back for it.
        c->send(reply.frame);
    }
    if (state.kept.size() >= kMaxKeptPerSession) {
        logLine("session " + sessionText(session) + ": dropped the kept reply to request " +
                std::to_string(state.kept.front().request_id) + " to make room");
        state.kept.pop_front();
    }
    logLine("session " + sessionText(session) +
            (sentToo ? ": its peer stopped sending" : ": no connection") + "; reply to request " +
            std::to_string(reply.request_id) + " kept for " + std::to_string(options.keep_ms) +
            " ms");
    reply.expires = Clock::now() + std::chrono::milliseconds(options.keep_ms);
    state.kept.push_back(std::move(reply));
    if (!sweeping) armSweep();
}

void Server::Impl::armSweep() {
    sweeping = true;
    sweep_timer.expires_after(kSweepInterval);
    sweep_timer.async_wait([this](error_code ec) {
        sweeping = false;
        if (!ec && !stopped) sweep();
    });
}

// Drops kept replies whose time is up, and sessions with nothing left.
void Server::Impl::sweep() {
    const Clock::time_point now = Clock::now();
    bool anyLeft = false;
    for (auto it = sessions.begin(); it != sessions.end();) {
        std::deque<KeptReply>& kept = it->second.kept;
        for (auto k = kept.begin(); k != kept.end();) {
            if (k->expires > now) {
                ++k;
                continue;
            }
            logLine("session " + sessionText(it->first) + ": kept reply to request " +
                    std::to_string(k->request_id) + " expired unclaimed");
            k = kept.erase(k);
        }
        anyLeft = anyLeft || !kept.empty();
        if (kept.empty() && it->second.connection.expired()) {
            it = sessions.erase(it);
        } else {
            ++it;
        }
    }
    if (anyLeft) armSweep();
}

void Server::Impl::stop() {
    if (stopped) return;
    stopped = true;
    service.stop();
    error_code ec;
    acceptor.close(ec);
    accept_retry.cancel();
    sweep_timer.cancel();
    for (auto& [id, timer] : delayed) timer->cancel();
    delayed.clear();
    const auto open = std::move(connections);
    connections.clear();
    for (const auto& [id, connection] : open) connection->close("the router is stopping");
    sessions.clear();
}

Server::Server(asio::io_context& io, const RouterOptions& options, AccountStore& store)
    : impl_(std::make_unique<Impl>(io, options, store)) {}

Server::~Server() { impl_->stop(); }

std::string Server::address() const {
    error_code ec;
    const tcp::endpoint ep = impl_->acceptor.local_endpoint(ec);
    return ec ? "(closed)" : endpointText(ep);
}

void Server::start() { impl_->accept(); }

void Server::stop() { impl_->stop(); }

}  // namespace qova::router
