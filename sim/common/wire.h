// wire.h -- the frames that libqova and qova-router exchange over TCP.
//
// Every frame is
//
//   u32 length   bytes that follow this field (big-endian), 2 .. kMaxFrameSize - 4
//   u8  version  kVersion
//   u8  type     FrameType
//   ... payload  laid out per type, integers big-endian, strings as u16 length
//                plus bytes, bodies as u32 length plus bytes
//
// Decoding is pure: it works on bytes already received, checks every length
// against what is left before using it, and never reads past the buffer.  A
// frame that fails any check is an error and the peer closes the connection.
// docs/wire-protocol.md describes the frames for people.
#ifndef SIM_COMMON_WIRE_H
#define SIM_COMMON_WIRE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace qova::wire {

inline constexpr std::uint8_t kVersion = 1;
inline constexpr std::size_t kLengthFieldSize = 4;
// Where the version and the type stand in a frame, after the length field.
inline constexpr std::size_t kVersionOffset = kLengthFieldSize;
inline constexpr std::size_t kTypeOffset = kVersionOffset + 1;
inline constexpr std::size_t kHeaderSize = kTypeOffset + 1;
// The largest frame, header included.  A body of the password scheme is at
// most 260 bytes; the bound leaves room for other schemes and stops a peer
// from making us buffer without end.
inline constexpr std::size_t kMaxFrameSize = 64 * 1024;
inline constexpr std::size_t kSessionIdSize = 16;

enum class FrameType : std::uint8_t {
    Hello = 1,        // client -> router: introduces the session
    Welcome = 2,      // router -> client: accepts or refuses it
    Subscribe = 3,    // client -> router: a listener with this ref is open
    Unsubscribe = 4,  // client -> router: that listener closed
    Request = 5,      // client -> router: a posted message for a service
    Reply = 6,        // router -> client: the answer to one request
};

using SessionId = std::array<std::uint8_t, kSessionIdSize>;

// The identity a connection object keeps across its reconnects, with the
// application name and the local password from its URL.
struct Hello {
    SessionId session{};
    std::string app_name;
    std::string local_pass;
};

enum class WelcomeStatus : std::uint8_t { Accepted = 0, BadLocalPass = 1, BadVersion = 2 };

struct Welcome {
    WelcomeStatus status = WelcomeStatus::Accepted;
    std::string text;
};

// Subscribe and Unsubscribe carry the same payload.
struct Subscription {
    std::string ref;
};

struct Request {
    std::uint32_t request_id = 0;  // unique per session, chosen by the client
    std::string service;           // for example "KOLMA_SRV"
    std::string ref;               // the publisher's name: replies go to this ref
    std::uint32_t msg_id = 0;
    std::string body;
};

struct Reply {
    std::uint32_t request_id = 0;
    std::string ref;
    std::uint32_t msg_id = 0;
    std::string body;
};

// One frame cut from the byte stream, its payload not yet interpreted.
struct Frame {
    FrameType type = FrameType::Hello;
    std::string payload;
};

// True when a Hello with an application name and a local password of these
// sizes fits in one frame, neither string cut.
bool helloFits(std::size_t app_name_size, std::size_t local_pass_size);

// Whole frames, header included, ready to send.
std::string encode(const Hello& hello);
std::string encode(const Welcome& welcome);
std::string encode(FrameType subscribeOrUnsubscribe, const Subscription& subscription);
std::string encode(const Request& request);
std::string encode(const Reply& reply);

enum class CutStatus { Frame, NeedMore, Error };

// Looks at the start of `data`.  Frame: `frame` is filled and `consumed`
// tells how many bytes it took.  NeedMore: the frame is not complete yet.
// Error: the header is invalid (bad length, version or type); `error` says
// why and the stream cannot be resynchronised.
[[nodiscard]] CutStatus cutFrame(const char* data, std::size_t size, Frame& frame,
                                 std::size_t& consumed, std::string& error);

// Payload parsers.  Each returns false with a reason in `error` when the
// payload is short, has bytes left over, or a length points past its end.
[[nodiscard]] bool parse(const Frame& frame, Hello& out, std::string& error);
[[nodiscard]] bool parse(const Frame& frame, Welcome& out, std::string& error);
[[nodiscard]] bool parse(const Frame& frame, Subscription& out, std::string& error);
[[nodiscard]] bool parse(const Frame& frame, Request& out, std::string& error);
[[nodiscard]] bool parse(const Frame& frame, Reply& out, std::string& error);

const char* frameTypeName(FrameType type);

}  // namespace qova::wire

#endif  // SIM_COMMON_WIRE_H
