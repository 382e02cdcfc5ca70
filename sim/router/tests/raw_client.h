// raw_client.h -- a blocking TCP client that speaks the wire frames, for
// driving qova-router in tests without libqova.
#ifndef SIM_ROUTER_TESTS_RAW_CLIENT_H
#define SIM_ROUTER_TESTS_RAW_CLIENT_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "wire.h"

namespace qova::router::testing {

using namespace std::chrono_literals;

// A 421 body: the two passwords, each in its 66-byte field.  A password of
// 66 bytes fills its field with no NUL.
std::string changeBody(const std::string& oldPassword, const std::string& newPassword);

wire::SessionId sessionId(std::uint8_t seed);

struct ReplyFields {
    std::int32_t first = 0;   // Code / queue_size / code
    std::int32_t second = 0;  // penalty_remain of 99; 0 otherwise
    std::string text;         // Message / message, up to its NUL
};
// Reads the fields of a 169, 99 or 100 body.
ReplyFields replyFields(const wire::Reply& reply);

class RawClient {
  public:
    // Connects to 127.0.0.1:`port`; throws std::runtime_error on failure.
    explicit RawClient(std::uint16_t port);
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    void sendBytes(const std::string& bytes);
    // Shuts down the sending side only; replies can still be read.
    void shutdownSending();

    enum class Read { Frame, Closed, Timeout };
    // Waits for the next whole frame.  Closed: the router closed the
    // connection (or reset it) before a whole frame came.
    Read read(wire::Frame& frame, std::chrono::milliseconds timeout = 5s);

    // Hello, then its Welcome (throws when none comes).
    wire::Welcome hello(const wire::SessionId& session, const std::string& localPass = "",
                        const std::string& appName = "raw_client");
    // Hello accepted and Subscribe `ref`.
    void open(const wire::SessionId& session, const std::string& ref = "pwd_changer");
    void post(std::uint32_t requestId, const std::string& body,
              const std::string& ref = "pwd_changer", std::uint32_t msgId = 421,
              const std::string& service = "KOLMA_SRV");
    // The next frame, which must be a Reply; nullopt when none came in `timeout`.
    std::optional<wire::Reply> reply(std::chrono::milliseconds timeout = 5s);
    // True when the router closes the connection within `timeout`; frames
    // that come first are skipped.
    bool closedWithin(std::chrono::milliseconds timeout = 5s);

  private:
    int fd_ = -1;
    std::string inbox_;
};

}  // namespace qova::router::testing

#endif  // SIM_ROUTER_TESTS_RAW_CLIENT_H
