#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "base/parse.h"
#include "base/secret.h"
#include "environment.h"
#include "objects.h"

using qova::lib::Clock;
namespace wire = qova::wire;

namespace {

// Bytes read per recv(); a frame is at most wire::kMaxFrameSize.
constexpr std::size_t kReadChunk = 16 * 1024;

wire::SessionId randomSessionId() {
    wire::SessionId id{};
    std::size_t got = 0;
    while (got < id.size()) {
        const ssize_t n = ::getrandom(id.data() + got, id.size() - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error("getrandom failed");
        got += static_cast<std::size_t>(n);
    }
    return id;
}

}  // namespace

qova_publisher::OwnedMessage::~OwnedMessage() { base::wipe(body); }

qova_conn::qova_conn(std::string address, std::string app_name, std::string local_pass,
                     std::uint32_t reply_timeout_ms, std::uint32_t connect_timeout_ms)
    : address_(std::move(address)),
      app_name_(std::move(app_name)),
      local_pass_(std::move(local_pass)),
      reply_timeout_ms_(reply_timeout_ms),
      connect_timeout_ms_(connect_timeout_ms),
      session_(randomSessionId()) {}

qova_conn::~qova_conn() {
    close();
    for (qova_publisher* pub : publishers_) pub->conn = nullptr;
    for (qova_listener* lsn : listeners_) lsn->conn = nullptr;
    base::wipe(local_pass_);
}

void qova_conn::detach(qova_publisher* pub) {
    publishers_.erase(std::remove(publishers_.begin(), publishers_.end(), pub), publishers_.end());
}

void qova_conn::detach(qova_listener* lsn) {
    listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), lsn), listeners_.end());
}

void qova_conn::dropSocket(bool lost) {
    socket_.reset();
    ++generation_;
    in_.clear();
    base::wipe(out_);
    // A loss leaves the open publishers and listeners in ERROR, so that a
    // caller that looks at their states after the connection's (as
    // pwd_changer's loop does) closes them rather than opening them again on
    // a connection that is gone.  Closing the connection closes them all.
    const auto next = [lost](std::uint32_t state) {
        return lost && state == QOVA_STATE_ACTIVE ? QOVA_STATE_ERROR : QOVA_STATE_CLOSED;
    };
    for (qova_publisher* pub : publishers_) pub->state = next(pub->state);
    for (qova_listener* lsn : listeners_) lsn->state = next(lsn->state);
}

void qova_conn::close() {
    dropSocket(false);
    state_ = QOVA_STATE_CLOSED;
}

void qova_conn::fail(const std::string& why) {
    qova::lib::writeLog(qova::lib::LogLevel::Error,
                        "qova: connection to " + address_ + " lost: " + why);
    dropSocket(true);
    state_ = QOVA_STATE_ERROR;
}

qova_result_t qova_conn::refuseOpen(qova_result_t code, const std::string& why) {
    qova::lib::writeLog(qova::lib::LogLevel::Error, "qova: cannot open " + address_ + ": " + why);
    dropSocket(false);
    state_ = QOVA_STATE_CLOSED;
    return code;
}

qova_result_t qova_conn::open() {
    if (state_ != QOVA_STATE_CLOSED) return QOVA_E_STATE;
    if (app_name_.empty()) return refuseOpen(QOVA_E_URL, "the application name is empty");
    base::HostPort hp;
    std::string error;
    if (!base::parseHostPort(address_, 1, hp, error)) return refuseOpen(QOVA_E_CONNECT, error);

    state_ = QOVA_STATE_OPENING;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(connect_timeout_ms_);
    qova::lib::Fd fd = qova::lib::connectTcp(hp.host, std::to_string(hp.port), deadline, error);
    if (!fd.valid()) return refuseOpen(QOVA_E_CONNECT, error);
    dropSocket(false);
    socket_ = std::move(fd);

    wire::Hello hello{session_, app_name_, local_pass_};
    std::string frame = wire::encode(hello);
    base::wipe(hello.local_pass);
    if (!queueFrame(std::move(frame), error)) return refuseOpen(QOVA_E_CONNECT, error);
    return handshake(deadline);
}

// Finishes sending Hello and waits for the router's Welcome, both before
// `deadline`.  Bytes after the Welcome stay in in_ for qova_conn_process.
qova_result_t qova_conn::handshake(Clock::time_point deadline) {
    char buf[kReadChunk];
    for (;;) {
        wire::Frame frame;
        std::size_t used = 0;
        std::string error;
        const wire::CutStatus cut = wire::cutFrame(in_.data(), in_.size(), frame, used, error);
        if (cut == wire::CutStatus::Error)
            return refuseOpen(QOVA_E_CONNECT, "the router sent a malformed frame: " + error);
        if (cut == wire::CutStatus::Frame) {
            in_.erase(0, used);
            wire::Welcome welcome;
            if (!wire::parse(frame, welcome, error))
                return refuseOpen(QOVA_E_CONNECT, "no valid welcome from the router: " + error);
            if (welcome.status != wire::WelcomeStatus::Accepted)
                return refuseOpen(QOVA_E_REFUSED,
                                  "the router refused the session: " + welcome.text);
            state_ = QOVA_STATE_ACTIVE;
            return QOVA_OK;
        }
        pollfd p{socket_.get(), static_cast<short>(POLLIN | (out_.empty() ? 0 : POLLOUT)), 0};
        const int rc = ::poll(&p, 1, qova::lib::millisUntil(deadline));
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) return refuseOpen(QOVA_E_CONNECT, "no welcome from the router in time");
        if ((p.revents & POLLOUT) && !flush(error)) return refuseOpen(QOVA_E_CONNECT, error);
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = ::recv(socket_.get(), buf, sizeof buf, 0);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) return refuseOpen(QOVA_E_CONNECT, "the router closed the connection");
            in_.append(buf, static_cast<std::size_t>(n));
        }
    }
}

// Appends `frame` to the output and sends what the socket takes now.
bool qova_conn::queueFrame(std::string frame, std::string& error) {
    out_ += frame;
    base::wipe(frame);
    return flush(error);
}

bool qova_conn::flush(std::string& error) {
    if (out_.empty()) return true;
    const long sent = qova::lib::sendSome(socket_.get(), out_, error);
    if (sent < 0) return false;
    if (static_cast<std::size_t>(sent) == out_.size()) {
        base::wipe(out_);
    } else if (sent > 0) {
        std::string rest = out_.substr(static_cast<std::size_t>(sent));
        base::wipe(out_);
        out_ = std::move(rest);
    }
    return true;
}

qova_result_t qova_conn::subscribe(const std::string& ref, bool on) {
    if (state_ != QOVA_STATE_ACTIVE) return QOVA_E_NOT_READY;
    const wire::FrameType type = on ? wire::FrameType::Subscribe : wire::FrameType::Unsubscribe;
    std::string error;
    if (!queueFrame(wire::encode(type, wire::Subscription{ref}), error)) {
        fail(error);
        return QOVA_E_IO;
    }
    return QOVA_OK;
}

qova_result_t qova_conn::post(qova_publisher& pub, const qova_msg_t& msg, bool expect_reply) {
    if (state_ != QOVA_STATE_ACTIVE) return QOVA_E_NOT_READY;
    wire::Request request;
    request.request_id = ++next_request_id_;
    request.service = pub.service;
    request.ref = pub.name;
    request.msg_id = msg.msg_id;
    request.body.assign(static_cast<const char*>(msg.body), msg.body_size);
    std::string frame = wire::encode(request);
    base::wipe(request.body);
    std::string error;
    if (!queueFrame(std::move(frame), error)) {
        fail(error);
        return QOVA_E_IO;
    }
    if (expect_reply) {
        pending_[request.request_id] = Pending{
            pub.name, Clock::now() + std::chrono::milliseconds(reply_timeout_ms_), pub.scheme};
    }
    return QOVA_OK;
}

qova_listener* qova_conn::activeListener(const std::string& ref) const {
    for (qova_listener* lsn : listeners_)
        if (lsn->state == QOVA_STATE_ACTIVE && lsn->ref == ref) return lsn;
    return nullptr;
}

// Turns every pending request whose deadline has passed into a held notice.
bool qova_conn::fireDue() {
    const Clock::time_point now = Clock::now();
    bool fired = false;
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (it->second.deadline <= now) {
            held_.push_back(Held{std::move(it->second.ref), QOVA_MSG_TIMEOUT, 0, {}});
            it = pending_.erase(it);
            fired = true;
        } else {
            ++it;
        }
    }
    return fired;
}

// Hands every held message whose listener is ACTIVE to its callback, oldest
// first.  A callback may close or destroy anything; listeners are looked up
// again for each message, and nothing touched after a callback is assumed
// to have survived it.
bool qova_conn::deliverHeld() {
    bool delivered = false;
    for (std::size_t i = 0; i < held_.size();) {
        qova_listener* lsn = activeListener(held_[i].ref);
        if (!lsn) {
            ++i;
            continue;
        }
        Held item = std::move(held_[i]);
        held_.erase(held_.begin() + static_cast<std::ptrdiff_t>(i));
        qova_msg_t msg{item.type, item.msg_id, item.body.empty() ? nullptr : &item.body[0],
                       item.body.size()};
        delivered = true;
        try {
            lsn->callback(this, lsn, &msg, lsn->user_data);
        } catch (...) {
            // A C++ callback that throws must not unwind through C frames.
        }
    }
    return delivered;
}

bool qova_conn::handleFrame(const wire::Frame& frame) {
    std::string error;
    wire::Reply reply;
    if (frame.type != wire::FrameType::Reply) {
        fail(std::string("unexpected ") + wire::frameTypeName(frame.type) + " frame");
        return false;
    }
    if (!wire::parse(frame, reply, error)) {
        fail("malformed reply: " + error);
        return false;
    }
    const auto it = pending_.find(reply.request_id);
    // Replies to requests that timed out, or that expected none, are dropped:
    // each request ends exactly once.
    if (it == pending_.end()) return true;
    // A reply names the ref its request was posted for; one that names
    // another is no answer to this request, whatever its code says.
    if (reply.ref != it->second.ref) {
        fail("reply to request " + std::to_string(reply.request_id) + " carries another ref");
        return false;
    }
    const qova::scheme::Table* table = it->second.scheme->scheme.find(reply.msg_id);
    if (table && !table->fits(reply.body)) {
        // The request stays pending and ends in a notice if nothing better
        // comes after the reconnect.
        fail("reply " + std::to_string(reply.msg_id) + " does not match its scheme");
        return false;
    }
    held_.push_back(
        Held{std::move(it->second.ref), QOVA_MSG_DATA, reply.msg_id, std::move(reply.body)});
    pending_.erase(it);
    return true;
}

void qova_conn::readInput() {
    char buf[kReadChunk];
    std::string lost;
    for (;;) {
        const ssize_t n = ::recv(socket_.get(), buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (n == 0) {
            lost = "the router closed the connection";
            break;
        }
        if (n < 0) {
            lost = std::string("recv: ") + std::strerror(errno);
            break;
        }
        in_.append(buf, static_cast<std::size_t>(n));
        // A short read emptied the socket; asking again would only cost a
        // system call that says EAGAIN (poll reports anything newer).
        if (static_cast<std::size_t>(n) < sizeof buf || in_.size() >= wire::kMaxFrameSize) break;
    }
    // Frames that arrived before the close are still answers.
    const std::uint64_t generation = generation_;
    handleBuffered();
    if (!lost.empty() && generation == generation_ && state_ == QOVA_STATE_ACTIVE) fail(lost);
}

void qova_conn::handleBuffered() {
    const std::uint64_t generation = generation_;
    std::size_t start = 0;
    for (;;) {
        wire::Frame frame;
        std::size_t used = 0;
        std::string error;
        const wire::CutStatus cut =
            wire::cutFrame(in_.data() + start, in_.size() - start, frame, used, error);
        if (cut == wire::CutStatus::NeedMore) break;
        if (cut == wire::CutStatus::Error) return fail("malformed frame: " + error);
        start += used;
        if (!handleFrame(frame)) return;
        deliverHeld();
        if (generation != generation_) return;  // a callback closed the connection
    }
    in_.erase(0, start);
}

int qova_conn::nextWaitMillis(std::uint32_t timeout_ms) const {
    const Clock::time_point limit = Clock::now() + std::chrono::milliseconds(timeout_ms);
    Clock::time_point until = limit;
    for (const auto& [id, p] : pending_) until = std::min(until, p.deadline);
    return qova::lib::millisUntil(until);
}

qova_result_t qova_conn::process(std::uint32_t timeout_ms) {
    if (processing_ || state_ != QOVA_STATE_ACTIVE) return QOVA_E_STATE;
    struct Guard {
        bool& flag;
        explicit Guard(bool& f) : flag(f) { flag = true; }
        ~Guard() { flag = false; }
    } guard(processing_);

    bool handled = fireDue();
    handled = deliverHeld() || handled;
    if (state_ == QOVA_STATE_ACTIVE && !in_.empty()) {
        // Frames that came together with the router's Welcome.
        const std::size_t before = in_.size();
        handleBuffered();
        handled = handled || in_.size() != before;
    }
    if (state_ != QOVA_STATE_ACTIVE) return QOVA_OK;

    // Waiting only makes sense while something is owed: a reply or time-out
    // notice to a posted request, or bytes still to send.  Otherwise nothing
    // can arrive (the router speaks only in answer to requests), so look once
    // without blocking: a caller bringing its objects up pass by pass must
    // not sleep through its own time-out in every pass.
    const bool owed = !pending_.empty() || !out_.empty();
    pollfd p{socket_.get(), static_cast<short>(POLLIN | (out_.empty() ? 0 : POLLOUT)), 0};
    const int rc = ::poll(&p, 1, handled || !owed ? 0 : nextWaitMillis(timeout_ms));
    if (rc < 0 && errno != EINTR) {
        fail(std::string("poll: ") + std::strerror(errno));
        return QOVA_OK;
    }
    if (rc > 0) {
        std::string error;
        if ((p.revents & POLLOUT) && !flush(error)) {
            fail(error);
            return QOVA_OK;
        }
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            readInput();
            handled = true;
        }
    }
    if (state_ == QOVA_STATE_ACTIVE) {
        handled = fireDue() || handled;
        handled = deliverHeld() || handled;
    }
    return handled ? QOVA_OK : QOVA_E_TIMEOUT;
}
