// connection.h -- one client connection of qova-router: reading the byte
// stream and cutting it into frames, the Hello handshake, writing replies,
// and the limits that keep one peer from holding the router's memory.
//
// The connection knows nothing of sessions kept across reconnects or of what
// a request means: it reports each event to its ConnectionEvents (the
// server), which decides and calls send() or close() back.  A malformed
// frame or an unexpected message closes the connection, and so does a frame
// that, once begun, does not arrive whole within kFrameTimeout.
//
// A wrong local password in the Hello is not refused at once: the server
// names the moment the refusal may go out (so that one address learns of at
// most about ten wrong guesses a second), and the connection reads nothing
// more and holds the refusal until then, without blocking anything else.
//
// For making room when the router is full, a connection tells how long it
// has been idle: since it opened, or since the last reply it was owed went
// out.  Frames other than requests (Subscribe, Unsubscribe) do not count.
#ifndef SIM_ROUTER_CONNECTION_H
#define SIM_ROUTER_CONNECTION_H

#include <array>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "request_handler.h"
#include "wire.h"

namespace qova::router {

class Connection;

// What a connection reports to its owner.  Every call happens on the
// io_context's thread, from inside a handler of the connection; the owner may
// call send() and close() on the connection from inside it.
class ConnectionEvents {
  public:
    // The Hello was accepted; connection->session() is now known.
    virtual void sessionOpened(const std::shared_ptr<Connection>& connection) = 0;
    // A Subscribe frame for `ref` arrived.
    virtual void subscribed(Connection& connection, const std::string& ref) = 0;
    // A well-formed Request arrived on a welcomed connection.  Its body is
    // wiped when this returns.
    virtual void requested(Connection& connection, const wire::Request& request) = 0;
    // The Hello carried a wrong local password; returns when its refusal
    // may be sent.
    virtual Clock::time_point wrongLocalPass(Connection& connection) = 0;
    // The connection has closed; nothing more will be reported for it.
    virtual void connectionClosed(Connection& connection) = 0;

  protected:
    ~ConnectionEvents() = default;
};

// "HOST:PORT", or "[HOST]:PORT" for IPv6.
std::string endpointText(const boost::asio::ip::tcp::endpoint& endpoint);
// A session id as 32 lower-case hex digits, for log lines.
std::string sessionText(const wire::SessionId& session);

class Connection : public std::enable_shared_from_this<Connection> {
  public:
    // A peer that leaves this much of our output unread is dropped rather
    // than buffered without end.
    static constexpr std::size_t kMaxQueuedBytes = 1 << 20;
    // How long a frame may take to arrive once its first byte has.
    static constexpr auto kFrameTimeout = std::chrono::seconds(5);

    // `localPass`, when set, is what every Hello must carry.  `localPass`
    // and `events` must outlive the connection.
    Connection(boost::asio::ip::tcp::socket socket, std::uint64_t id,
               const std::optional<std::string>& localPass, ConnectionEvents& events);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Logs the opening, arms the Hello time-out and starts reading.  The
    // connection must be owned by a shared_ptr.
    void start();

    // Queues one whole frame.  Closes the connection instead when more than
    // kMaxQueuedBytes would wait unwritten.  Does nothing once closed.
    void send(std::string frame);

    // Closes at once and reports connectionClosed; pending reads, writes and
    // timers end as cancelled.  Safe to call twice.
    void close(const std::string& reason);

    // Neither closed nor closing after a flush: frames may still be sent.
    bool usable() const { return !closed_ && !closing_; }
    bool welcomed() const { return welcomed_; }
    // The peer has sent all it will (perhaps closed for good); the
    // connection stays to send what it is still owed.
    bool peerDone() const { return peer_done_; }
    // The session id of the Hello; meaningful once welcomed.
    const wire::SessionId& session() const { return session_; }
    // The application name of the Hello; the account store's audit trail
    // records it.
    const std::string& appName() const { return app_name_; }
    // The flood-control window of this connection's requests.
    FloodWindow& flood() { return flood_; }
    // The peer's address without the port; wrong local passwords are
    // counted per address.
    const std::string& peerHost() const { return peer_host_; }

    // A request is in flight: a reply is owed until settle() is called once
    // for it.
    void owe() { ++owed_; }
    void settle();
    // No reply owed; since when.
    bool idle() const { return owed_ == 0; }
    Clock::time_point idleSince() const { return idle_since_; }
    std::uint64_t id() const { return id_; }
    std::string name() const { return "conn " + std::to_string(id_); }

  private:
    static constexpr std::size_t kReadChunk = 4096;

    void readMore();
    void onRead(boost::system::error_code ec, std::size_t n);
    void consumeInbox();
    void handleFrame(const wire::Frame& frame);
    void handleHello(const wire::Frame& frame);
    void refuse(wire::WelcomeStatus status, const std::string& text, const std::string& reason);
    void refuseAt(Clock::time_point when, const std::string& reason);
    void watchFrame(bool newFrame);
    void closeAfterFlush(std::string reason);
    void writeNext();

    boost::asio::ip::tcp::socket socket_;
    // The Hello time-out, then the held-back refusal of a wrong local
    // password, then the flush time-out of closeAfterFlush.
    boost::asio::steady_timer timer_;
    boost::asio::steady_timer frame_timer_;  // kFrameTimeout of a frame begun
    bool frame_begun_ = false;
    std::uint64_t id_;
    const std::optional<std::string>& local_pass_;
    ConnectionEvents& events_;
    std::string peer_;
    std::string peer_host_;
    std::array<char, kReadChunk> chunk_{};
    std::string inbox_;  // bytes received and not yet cut into frames
    std::deque<std::string> outbox_;
    std::size_t queued_ = 0;  // bytes in outbox_
    bool writing_ = false;
    bool welcomed_ = false;
    bool closing_ = false;  // closeAfterFlush: the last writes are going out; nothing more is read
    bool closed_ = false;
    bool peer_done_ = false;  // the peer sent all it will; close once nothing is owed
    std::string close_reason_;
    wire::SessionId session_{};
    std::string app_name_;
    FloodWindow flood_;
    std::size_t owed_ = 0;  // replies owed: requests answered neither yet nor by a close
    Clock::time_point idle_since_ = Clock::now();
};

}  // namespace qova::router

#endif  // SIM_ROUTER_CONNECTION_H
