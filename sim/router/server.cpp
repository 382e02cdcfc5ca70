#include "server.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <deque>
#include <map>
#include <stdexcept>

#include "connection.h"
#include "request_handler.h"
#include "router_log.h"
#include "wire.h"

namespace qova::router {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

// Replies kept for one absent session; the oldest goes first beyond this.
constexpr std::size_t kMaxKeptPerSession = 256;
// Beyond this many open connections new ones are closed at once, so that
// descriptors remain for the ones being served.
constexpr std::size_t kMaxConnections = 900;
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
    void connectionClosed(Connection& connection) override;

    void carryOut(Connection& connection, const wire::Request& request, Decision decision);
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
};

Server::Impl::Impl(asio::io_context& io_, const RouterOptions& options_, AccountStore& store)
    : io(io_),
      options(options_),
      handler(options_, store),
      acceptor(io_),
      accept_retry(io_),
      sweep_timer(io_) {
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
        if (connections.size() >= kMaxConnections) {
            logLine("refused a connection: " + std::to_string(connections.size()) +
                    " connections open");
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

void Server::Impl::requested(Connection& connection, const wire::Request& request) {
    carryOut(connection, request,
             handler.handle(request, connection.appName(), connection.flood(), Clock::now()));
}

void Server::Impl::carryOut(Connection& connection, const wire::Request& request,
                            Decision decision) {
    std::string line = connection.name() + ": request " + std::to_string(request.request_id) + " " +
                       quoted(request.service) + "/" + std::to_string(request.msg_id) + " ref " +
                       quoted(request.ref) + ": ";
    switch (decision.action) {
        case Decision::Action::Close:
            logLine(line + "refused: " + decision.summary);
            connection.close(decision.summary);
            return;
        case Decision::Action::Drop:
            logLine(line + decision.summary);
            return;
        case Decision::Action::Reply:
            break;
    }
    KeptReply reply{request.ref,
                    request.request_id,
                    wire::encode(wire::Reply{request.request_id, request.ref, decision.msg_id,
                                             std::move(decision.body)}),
                    {}};
    if (options.reply_delay_ms == 0) {
        logLine(line + decision.summary);
        deliver(connection.session(), std::move(reply));
        return;
    }
    logLine(line + decision.summary + " in " + std::to_string(options.reply_delay_ms) + " ms");
    const std::uint64_t id = next_delay++;
    auto timer =
        std::make_shared<asio::steady_timer>(io, std::chrono::milliseconds(options.reply_delay_ms));
    delayed.emplace(id, timer);
    timer->async_wait([this, id, timer, session = connection.session(),
                       reply = std::move(reply)](error_code ec) mutable {
        delayed.erase(id);
        if (!ec && !stopped) deliver(session, std::move(reply));
    });
}

void Server::Impl::deliver(const wire::SessionId& session, KeptReply reply) {
    SessionState& state = sessions[session];
    if (const std::shared_ptr<Connection> c = state.connection.lock(); c && c->usable()) {
        c->send(std::move(reply.frame));
        return;
    }
    if (state.kept.size() >= kMaxKeptPerSession) {
        logLine("session " + sessionText(session) + ": dropped the kept reply to request " +
                std::to_string(state.kept.front().request_id) + " to make room");
        state.kept.pop_front();
    }
    logLine("session " + sessionText(session) + ": no connection; reply to request " +
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
