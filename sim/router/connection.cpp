#include "connection.h"

#include <boost/asio/write.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "base/secret.h"
#include "router_log.h"

namespace qova::router {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

constexpr auto kHelloTimeout = std::chrono::seconds(10);
constexpr auto kFlushTimeout = std::chrono::seconds(2);

}  // namespace

std::string endpointText(const tcp::endpoint& endpoint) {
    const std::string host = endpoint.address().to_string();
    const std::string port = std::to_string(endpoint.port());
    return endpoint.address().is_v6() ? "[" + host + "]:" + port : host + ":" + port;
}

std::string sessionText(const wire::SessionId& session) {
    std::string out;
    char buf[3];
    for (std::uint8_t b : session) {
        std::snprintf(buf, sizeof buf, "%02x", b);
        out += buf;
    }
    return out;
}

Connection::Connection(tcp::socket socket, std::uint64_t id,
                       const std::optional<std::string>& localPass, ConnectionEvents& events)
    : socket_(std::move(socket)),
      timer_(socket_.get_executor()),
      frame_timer_(socket_.get_executor()),
      id_(id),
      local_pass_(localPass),
      events_(events) {
    error_code ec;
    const tcp::endpoint peer = socket_.remote_endpoint(ec);
    peer_ = ec ? "an unknown address" : endpointText(peer);
    peer_host_ = ec ? peer_ : peer.address().to_string();
    socket_.set_option(tcp::no_delay(true), ec);
    // Reserved once so that frames, which may hold passwords, are not left
    // behind in buffers freed by a reallocation.
    inbox_.reserve(2 * kReadChunk);
}

void Connection::start() {
    logLine(name() + " from " + peer_ + " opened");
    auto self = shared_from_this();
    timer_.expires_after(kHelloTimeout);
    timer_.async_wait([this, self](error_code ec) {
        if (!ec && !welcomed_) close("no Hello within 10 s");
    });
    readMore();
}

void Connection::send(std::string frame) {
    if (closed_) return;
    queued_ += frame.size();
    if (queued_ > kMaxQueuedBytes) {
        close("the peer does not read what it is sent");
        return;
    }
    outbox_.push_back(std::move(frame));
    if (!writing_) writeNext();
}

void Connection::close(const std::string& reason) {
    if (closed_) return;
    closed_ = true;
    logLine(name() + " closed: " + reason);
    error_code ec;
    timer_.cancel();
    frame_timer_.cancel();
    socket_.shutdown(tcp::socket::shutdown_both, ec);
    socket_.close(ec);
    base::wipe(inbox_);
    // The outbox stays: a write in flight may still refer to its front.
    events_.connectionClosed(*this);
}

void Connection::settle() {
    if (owed_ == 0 || --owed_ > 0) return;
    idle_since_ = Clock::now();
    if (peer_done_) closeAfterFlush("closed by the peer");
}

void Connection::readMore() {
    auto self = shared_from_this();
    socket_.async_read_some(asio::buffer(chunk_),
                            [this, self](error_code ec, std::size_t n) { onRead(ec, n); });
}

void Connection::onRead(error_code ec, std::size_t n) {
    if (n > 0) {
        if (usable()) inbox_.append(chunk_.data(), n);
        base::wipe(chunk_.data(), n);
    }
    if (!usable()) return;
    if (ec == asio::error::eof) {
        // A peer that only shut down its sending side still gets the
        // replies already on their way, and those it is still owed.
        frame_timer_.cancel();
        if (owed_ > 0) {
            peer_done_ = true;
            return;
        }
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
void Connection::consumeInbox() {
    std::size_t used = 0;
    bool anyFrame = false;
    while (usable()) {
        const char* data = inbox_.data() + used;
        const std::size_t size = inbox_.size() - used;
        // A client of another protocol version is told so in a Welcome
        // before it is dropped; later frames are judged by cutFrame alone.
        if (!welcomed_ && size >= wire::kHeaderSize &&
            static_cast<std::uint8_t>(data[wire::kVersionOffset]) != wire::kVersion) {
            const std::string v =
                std::to_string(static_cast<std::uint8_t>(data[wire::kVersionOffset]));
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
        anyFrame = true;
        handleFrame(frame);
        base::wipe(frame.payload);
    }
    if (!usable()) {
        base::wipe(inbox_);
        return;
    }
    const std::size_t left = inbox_.size() - used;
    std::memmove(inbox_.data(), inbox_.data() + used, left);
    base::wipe(inbox_.data() + left, used);
    inbox_.resize(left);
    watchFrame(anyFrame);
}

// Arms kFrameTimeout when a frame has begun and is not whole yet; a frame
// that follows a whole one in the same read begins a new time-out.
void Connection::watchFrame(bool newFrame) {
    if (inbox_.empty()) {
        frame_begun_ = false;
        frame_timer_.cancel();
        return;
    }
    if (frame_begun_ && !newFrame) return;
    frame_begun_ = true;
    auto self = shared_from_this();
    frame_timer_.expires_after(kFrameTimeout);
    frame_timer_.async_wait([this, self](error_code ec) {
        if (!ec && usable()) {
            close("a frame did not arrive whole within " +
                  std::to_string(std::chrono::seconds(kFrameTimeout).count()) + " s");
        }
    });
}

void Connection::handleFrame(const wire::Frame& frame) {
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
                events_.subscribed(*this, s.ref);
            }
            return;
        }
        case wire::FrameType::Request: {
            wire::Request request;
            const base::WipeOnExit wipeBody(request.body);
            if (!wire::parse(frame, request, error)) {
                close("malformed Request: " + error);
                return;
            }
            events_.requested(*this, request);
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

void Connection::handleHello(const wire::Frame& frame) {
    wire::Hello hello;
    std::string error;
    const bool ok = wire::parse(frame, hello, error);
    const bool passOk = !local_pass_ || base::equalSecrets(hello.local_pass, *local_pass_);
    base::wipe(hello.local_pass);
    if (!ok) {
        close("malformed Hello: " + error);
        return;
    }
    if (!passOk) {
        refuseAt(events_.wrongLocalPass(*this),
                 "wrong local password from app " + quoted(hello.app_name));
        return;
    }
    welcomed_ = true;
    session_ = hello.session;
    app_name_ = hello.app_name;
    timer_.cancel();
    logLine(name() + ": session " + sessionText(session_) + " app " + quoted(hello.app_name) +
            " welcomed");
    send(wire::encode(wire::Welcome{wire::WelcomeStatus::Accepted, "welcome"}));
    events_.sessionOpened(shared_from_this());
}

// Sends a refusing Welcome and closes once it is written.
void Connection::refuse(wire::WelcomeStatus status, const std::string& text,
                        const std::string& reason) {
    send(wire::encode(wire::Welcome{status, text}));
    closeAfterFlush("refused: " + reason);
}

// Holds back the refusal of a wrong local password until `when`, reading
// nothing more meanwhile.
void Connection::refuseAt(Clock::time_point when, const std::string& reason) {
    if (when <= Clock::now()) {
        refuse(wire::WelcomeStatus::BadLocalPass, "wrong local password", reason);
        return;
    }
    closing_ = true;
    frame_timer_.cancel();
    close_reason_ = reason;
    auto self = shared_from_this();
    timer_.expires_at(when);
    timer_.async_wait([this, self](error_code ec) {
        if (ec || closed_) return;
        closing_ = false;
        refuse(wire::WelcomeStatus::BadLocalPass, "wrong local password", close_reason_);
    });
}

// Reads nothing more and closes once everything queued is written, or after
// kFlushTimeout should the peer not read it.
void Connection::closeAfterFlush(std::string reason) {
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

void Connection::writeNext() {
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

}  // namespace qova::router
