#include "raw_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <password_scheme.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace qova::router::testing {
namespace {

using Clock = std::chrono::steady_clock;

std::int32_t intAt(const std::string& body, std::size_t offset) {
    std::int32_t v = 0;
    if (offset + sizeof v <= body.size()) std::memcpy(&v, body.data() + offset, sizeof v);
    return v;
}

std::string textAt(const std::string& body, std::size_t offset) {
    if (offset >= body.size()) return {};
    const std::string field = body.substr(offset);
    return field.substr(0, field.find('\0'));
}

}  // namespace

std::string changeBody(const std::string& oldPassword, const std::string& newPassword) {
    std::string body(pwdscheme::kChangePasswordSize, '\0');
    body.replace(pwdscheme::kOldPasswordOffset, oldPassword.size(), oldPassword);
    body.replace(pwdscheme::kNewPasswordOffset, newPassword.size(), newPassword);
    body.resize(pwdscheme::kChangePasswordSize);
    return body;
}

wire::SessionId sessionId(std::uint8_t seed) {
    wire::SessionId id{};
    for (std::size_t i = 0; i < id.size(); ++i) id[i] = static_cast<std::uint8_t>(seed + i * 7);
    return id;
}

ReplyFields replyFields(const wire::Reply& reply) {
    ReplyFields f;
    f.first = intAt(reply.body, 0);
    if (reply.msg_id == pwdscheme::kFloodReplyId) {
        f.second = intAt(reply.body, pwdscheme::kFloodPenaltyOffset);
        f.text = textAt(reply.body, pwdscheme::kFloodMessageOffset);
    } else {
        f.text = textAt(reply.body, pwdscheme::kReplyMessageOffset);
    }
    return f;
}

RawClient::RawClient(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        const int err = errno;
        ::close(fd_);
        throw std::runtime_error(std::string("connect: ") + std::strerror(err));
    }
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

RawClient::~RawClient() { ::close(fd_); }

void RawClient::sendBytes(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw std::runtime_error(std::string("send: ") + std::strerror(errno));
        done += static_cast<std::size_t>(n);
    }
}

void RawClient::shutdownSending() { ::shutdown(fd_, SHUT_WR); }

RawClient::Read RawClient::read(wire::Frame& frame, std::chrono::milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        std::size_t consumed = 0;
        std::string error;
        const wire::CutStatus status =
            wire::cutFrame(inbox_.data(), inbox_.size(), frame, consumed, error);
        if (status == wire::CutStatus::Error) throw std::runtime_error("bad frame: " + error);
        if (status == wire::CutStatus::Frame) {
            inbox_.erase(0, consumed);
            return Read::Frame;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return Read::Timeout;
        pollfd p{fd_, POLLIN, 0};
        const int n = ::poll(&p, 1, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) continue;
        char buf[4096];
        const ssize_t r = ::recv(fd_, buf, sizeof buf, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return Read::Closed;
        inbox_.append(buf, static_cast<std::size_t>(r));
    }
}

wire::Welcome RawClient::hello(const wire::SessionId& session, const std::string& localPass,
                               const std::string& appName) {
    sendBytes(wire::encode(wire::Hello{session, appName, localPass}));
    wire::Frame frame;
    if (read(frame) != Read::Frame) throw std::runtime_error("no Welcome");
    wire::Welcome welcome;
    std::string error;
    if (!wire::parse(frame, welcome, error)) throw std::runtime_error("not a Welcome: " + error);
    return welcome;
}

void RawClient::open(const wire::SessionId& session, const std::string& ref) {
    if (hello(session).status != wire::WelcomeStatus::Accepted) {
        throw std::runtime_error("Hello refused");
    }
    sendBytes(wire::encode(wire::FrameType::Subscribe, wire::Subscription{ref}));
}

void RawClient::post(std::uint32_t requestId, const std::string& body, const std::string& ref,
                     std::uint32_t msgId, const std::string& service) {
    sendBytes(wire::encode(wire::Request{requestId, service, ref, msgId, body}));
}

std::optional<wire::Reply> RawClient::reply(std::chrono::milliseconds timeout) {
    wire::Frame frame;
    if (read(frame, timeout) != Read::Frame) return std::nullopt;
    wire::Reply reply;
    std::string error;
    if (!wire::parse(frame, reply, error)) throw std::runtime_error("not a Reply: " + error);
    return reply;
}

bool RawClient::closedWithin(std::chrono::milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    wire::Frame frame;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        const Read r = read(frame, std::max(left, std::chrono::milliseconds(0)));
        if (r == Read::Closed) return true;
        if (r == Read::Timeout) return false;
    }
}

}  // namespace qova::router::testing
