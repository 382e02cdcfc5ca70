#include "server.h"

#include <string.h>  // explicit_bzero (glibc)

#include <array>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <stdexcept>

#include "request_handler.h"
#include "router_log.h"
#include "secret.h"
#include "wire.h"

namespace qova::router {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

constexpr std::size_t kReadChunk = 4096;
// A peer that leaves this much of our output unread is dropped rather than
// buffered without end.
constexpr std::size_t kMaxQueuedBytes = 1 << 20;
// Replies kept for one absent session; the oldest goes first beyond this.
constexpr std::size_t kMaxKeptPerSession = 256;
// Beyond this many open connections new ones are closed at once, so that
// descriptors remain for the ones being served.
constexpr std::size_t kMaxConnections = 900;
constexpr auto kHelloTimeout = std::chrono::seconds(10);
constexpr auto kFlushTimeout = std::chrono::seconds(2);
constexpr auto kSweepInterval = std::chrono::seconds(1);
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);

std::string hex(const wire::SessionId& id) {
    std::string out;
    char buf[3];
    for (std::uint8_t b : id) {
        std::snprintf(buf, sizeof buf, "%02x", b);
        out += buf;
    }
    return out;
}

std::string endpointText(const tcp::endpoint& ep) {
    const std::string host = ep.address().to_string();
    const std::string port = std::to_string(ep.port());
    return ep.address().is_v6() ? "[" + host + "]:" + port : host + ":" + port;
}

class Connection;

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

}  // namespace

struct Server::Impl {
    Impl(asio::io_context& io, const RouterOptions& options, AccountStore& store);

    void accept();
    // Events from connections.
    void sessionOpened(const std::shared_ptr<Connection>& connection);
    void connectionClosed(Connection& connection);
    void subscribed(Connection& connection, const std::string& ref);
    void carryOut(Connection& connection, const wire::Request& request, Decision decision);
    // Sends `frame` to the session's connection, or keeps it.
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

namespace {

class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(Server::Impl& server, tcp::socket socket, std::uint64_t id)
        : server_(server), socket_(std::move(socket)), timer_(server.io), id_(id) {
        error_code ec;
        const tcp::endpoint peer = socket_.remote_endpoint(ec);
        peer_ = ec ? "an unknown address" : endpointText(peer);
        socket_.set_option(tcp::no_delay(true), ec);
        // Reserved once so that frames, which may hold passwords, are not
        // left behind in buffers freed by a reallocation.
        inbox_.reserve(2 * kReadChunk);
    }

    void start() {
        logLine(name() + " from " + peer_ + " opened");
        auto self = shared_from_this();
        timer_.expires_after(kHelloTimeout);
        timer_.async_wait([this, self](error_code ec) {
            if (!ec && !welcomed_) close("no Hello within 10 s");
        });
        readMore();
    }

    void send(std::string frame) {
        if (closed_) return;
        queued_ += frame.size();
        if (queued_ > kMaxQueuedBytes) {
            close("the peer does not read what it is sent");
            return;
        }
        outbox_.push_back(std::move(frame));
        if (!writing_) writeNext();
    }

    // Closes at once; pending reads, writes and timers end as cancelled.
    void close(const std::string& reason) {
        if (closed_) return;
        closed_ = true;
        logLine(name() + " closed: " + reason);
        error_code ec;
        timer_.cancel();
        socket_.shutdown(tcp::socket::shutdown_both, ec);
        socket_.close(ec);
        wipe(inbox_);
        // The outbox stays: a write in flight may still refer to its front.
        server_.connectionClosed(*this);
    }

    bool usable() const { return !closed_ && !closing_; }
    bool welcomed() const { return welcomed_; }
    const wire::SessionId& session() const { return session_; }
    std::uint64_t id() const { return id_; }
    std::string name() const { return "conn " + std::to_string(id_); }

private:
    void readMore() {
        auto self = shared_from_this();
        socket_.async_read_some(asio::buffer(chunk_), [this, self](error_code ec, std::size_t n) {
            onRead(ec, n);
        });
    }

    void onRead(error_code ec, std::size_t n) {
        if (n > 0) {
            if (usable()) inbox_.append(chunk_.data(), n);
            ::explicit_bzero(chunk_.data(), n);
        }
        if (!usable()) return;
        if (ec == asio::error::eof) {
            // A peer that only shut down its sending side still gets the
            // replies already on their way.
            closeAfterFlush("closed by the peer");
            return;
        }
        if (ec) {
            close("read failed: " + ec.message());
            return;
        }
        consumeInbox();
        if (usable()) readMore();
    }

    // Handles every whole frame in the inbox and keeps the rest.
    void consumeInbox() {
        std::size_t used = 0;
        while (usable()) {
            const char* data = inbox_.data() + used;
            const std::size_t size = inbox_.size() - used;
            if (!welcomed_ && size >= wire::kHeaderSize &&
                static_cast<std::uint8_t>(data[wire::kLengthFieldSize]) != wire::kVersion) {
                const std::string v = std::to_string(static_cast<std::uint8_t>(data[4]));
                refuse(wire::WelcomeStatus::BadVersion,
                       "unsupported protocol version " + v + "; this router speaks version " +
                           std::to_string(wire::kVersion),
                       "unsupported protocol version " + v);
                break;
            }
            wire::Frame frame;
            std::size_t consumed = 0;
            std::string error;
            const wire::CutStatus status = wire::cutFrame(data, size, frame, consumed, error);
            if (status == wire::CutStatus::NeedMore) break;
            if (status == wire::CutStatus::Error) {
                close("malformed frame: " + error);
                break;
            }
            used += consumed;
            handleFrame(frame);
            wipe(frame.payload);
        }
        if (!usable()) {
            wipe(inbox_);
            return;
        }
        const std::size_t left = inbox_.size() - used;
        std::memmove(inbox_.data(), inbox_.data() + used, left);
        ::explicit_bzero(inbox_.data() + left, used);
        inbox_.resize(left);
    }

    void handleFrame(const wire::Frame& frame) {
        std::string error;
        if (!welcomed_) {
            if (frame.type != wire::FrameType::Hello) {
                close(std::string("expected Hello first, got ") + wire::frameTypeName(frame.type));
                return;
            }
            handleHello(frame);
            return;
        }
        switch (frame.type) {
            case wire::FrameType::Subscribe:
            case wire::FrameType::Unsubscribe: {
                wire::Subscription s;
                if (!wire::parse(frame, s, error)) {
                    close(std::string("malformed ") + wire::frameTypeName(frame.type) + ": " + error);
                } else if (frame.type == wire::FrameType::Subscribe) {
                    server_.subscribed(*this, s.ref);
                }
                return;
            }
            case wire::FrameType::Request: {
                wire::Request request;
                if (!wire::parse(frame, request, error)) {
                    wipe(request.body);
                    close("malformed Request: " + error);
                    return;
                }
                Decision decision =
                    server_.handler.handle(request, app_name_, flood_, Clock::now());
                wipe(request.body);
                server_.carryOut(*this, request, std::move(decision));
                return;
            }
            case wire::FrameType::Hello:
                close("a second Hello on one connection");
                return;
            case wire::FrameType::Welcome:
            case wire::FrameType::Reply:
                close(std::string("unexpected ") + wire::frameTypeName(frame.type) +
                      " frame from a client");
                return;
        }
    }

    void handleHello(const wire::Frame& frame) {
        wire::Hello hello;
        std::string error;
        const bool ok = wire::parse(frame, hello, error);
        const bool passOk = !server_.options.local_pass ||
                            equalSecrets(hello.local_pass, *server_.options.local_pass);
        wipe(hello.local_pass);
        if (!ok) {
            close("malformed Hello: " + error);
            return;
        }
        if (!passOk) {
            refuse(wire::WelcomeStatus::BadLocalPass, "wrong local password",
                   "wrong local password from app " + quoted(hello.app_name));
            return;
        }
        welcomed_ = true;
        session_ = hello.session;
        app_name_ = hello.app_name;
        timer_.cancel();
        logLine(name() + ": session " + hex(session_) + " app " + quoted(hello.app_name) +
                " welcomed");
        send(wire::encode(wire::Welcome{wire::WelcomeStatus::Accepted, "welcome"}));
        server_.sessionOpened(shared_from_this());
    }

    // Sends a refusing Welcome and closes once it is written.
    void refuse(wire::WelcomeStatus status, const std::string& text, const std::string& reason) {
        send(wire::encode(wire::Welcome{status, text}));
        closeAfterFlush("refused: " + reason);
    }

    // Reads nothing more and closes once everything queued is written, or
    // after kFlushTimeout should the peer not read it.
    void closeAfterFlush(std::string reason) {
        if (closed_) return;
        if (!writing_) {
            close(reason);
            return;
        }
        closing_ = true;
        close_reason_ = std::move(reason);
        auto self = shared_from_this();
        timer_.expires_after(kFlushTimeout);
        timer_.async_wait([this, self](error_code ec) {
            if (!ec) close(close_reason_ + " (what was sent last was not read in time)");
        });
    }

    void writeNext() {
        writing_ = true;
        auto self = shared_from_this();
        asio::async_write(socket_, asio::buffer(outbox_.front()),
                          [this, self](error_code ec, std::size_t) {
                              writing_ = false;
                              if (closed_) return;
                              if (ec) {
                                  close("write failed: " + ec.message());
                                  return;
                              }
                              queued_ -= outbox_.front().size();
                              outbox_.pop_front();
                              if (!outbox_.empty()) {
                                  writeNext();
                              } else if (closing_) {
                                  close(close_reason_);
                              }
                          });
    }

    Server::Impl& server_;
    tcp::socket socket_;
    asio::steady_timer timer_;  // the Hello time-out, then the flush time-out of closeAfterFlush
    std::uint64_t id_;
    std::string peer_;
    std::array<char, kReadChunk> chunk_{};
    std::string inbox_;  // bytes received and not yet cut into frames
    std::deque<std::string> outbox_;
    std::size_t queued_ = 0;  // bytes in outbox_
    bool writing_ = false;
    bool welcomed_ = false;
    bool closing_ = false;  // closeAfterFlush: the last writes are going out; nothing more is read
    bool closed_ = false;
    std::string close_reason_;
    wire::SessionId session_{};
    std::string app_name_;  // from the Hello; the account store's audit trail records it
    FloodWindow flood_;
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

Server::Impl::Impl(asio::io_context& io_, const RouterOptions& options_, AccountStore& store)
    : io(io_), options(options_), handler(options_, store), acceptor(io_), accept_retry(io_),
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
            auto connection = std::make_shared<Connection>(*this, std::move(socket), id);
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

void Server::Impl::carryOut(Connection& connection, const wire::Request& request,
                            Decision decision) {
    std::string line = connection.name() + ": request " + std::to_string(request.request_id) +
                       " " + quoted(request.service) + "/" + std::to_string(request.msg_id) +
                       " ref " + quoted(request.ref) + ": ";
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
    KeptReply reply{request.ref, request.request_id,
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
    auto timer = std::make_shared<asio::steady_timer>(
        io, std::chrono::milliseconds(options.reply_delay_ms));
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
        logLine("session " + hex(session) + ": dropped the kept reply to request " +
                std::to_string(state.kept.front().request_id) + " to make room");
        state.kept.pop_front();
    }
    logLine("session " + hex(session) + ": no connection; reply to request " +
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
            logLine("session " + hex(it->first) + ": kept reply to request " +
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
