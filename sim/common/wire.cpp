#include "wire.h"

#include <algorithm>
#include <utility>

namespace qova::wire {
namespace {

constexpr std::size_t kMaxString = 0xFFFF;  // a string's length is a u16

class Writer {
  public:
    explicit Writer(FrameType type) {
        // Enough for every frame of the password scheme, so that building
        // one does not reallocate byte by byte (and leave copies of a
        // password behind in freed buffers).
        out_.reserve(512);
        out_.assign(kLengthFieldSize, '\0');
        u8(kVersion);
        u8(static_cast<std::uint8_t>(type));
    }

    void u8(std::uint8_t v) { out_.push_back(static_cast<char>(v)); }
    void u16(std::uint16_t v) {
        u8(static_cast<std::uint8_t>(v >> 8));
        u8(static_cast<std::uint8_t>(v));
    }
    void u32(std::uint32_t v) {
        u16(static_cast<std::uint16_t>(v >> 16));
        u16(static_cast<std::uint16_t>(v));
    }
    // Strings longer than a u16 can hold are cut; no caller sends one (URL
    // parameters and refs are short), and the frame stays well-formed.
    void str(const std::string& s) {
        const std::size_t n = std::min<std::size_t>(s.size(), kMaxString);
        u16(static_cast<std::uint16_t>(n));
        out_.append(s, 0, n);
    }
    void blob(const std::string& s) {
        u32(static_cast<std::uint32_t>(s.size()));
        out_.append(s);
    }
    void bytes(const std::uint8_t* p, std::size_t n) {
        out_.append(reinterpret_cast<const char*>(p), n);
    }

    std::string finish() {
        const std::uint32_t len = static_cast<std::uint32_t>(out_.size() - kLengthFieldSize);
        for (std::size_t i = 0; i < kLengthFieldSize; ++i) {
            out_[i] = static_cast<char>(len >> (8 * (kLengthFieldSize - 1 - i)));
        }
        return std::move(out_);
    }

  private:
    std::string out_;
};

class Reader {
  public:
    explicit Reader(const std::string& payload) : data_(payload) {}

    bool u8(std::uint8_t& v) {
        if (!need(1)) return false;
        v = static_cast<std::uint8_t>(data_[pos_++]);
        return true;
    }
    bool u16(std::uint16_t& v) {
        std::uint8_t a = 0, b = 0;
        if (!u8(a) || !u8(b)) return false;
        v = static_cast<std::uint16_t>(a << 8 | b);
        return true;
    }
    bool u32(std::uint32_t& v) {
        std::uint16_t a = 0, b = 0;
        if (!u16(a) || !u16(b)) return false;
        v = static_cast<std::uint32_t>(a) << 16 | b;
        return true;
    }
    bool str(std::string& s) {
        std::uint16_t n = 0;
        return u16(n) && take(n, s);
    }
    bool blob(std::string& s) {
        std::uint32_t n = 0;
        return u32(n) && take(n, s);
    }
    bool bytes(std::uint8_t* p, std::size_t n) {
        if (!need(n)) return false;
        for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<std::uint8_t>(data_[pos_ + i]);
        pos_ += n;
        return true;
    }
    // True when the whole payload was used; trailing bytes are an error.
    bool done(std::string& error) const {
        if (failed_) {
            error = "payload too short";
            return false;
        }
        if (pos_ != data_.size()) {
            error = "unexpected bytes after the payload";
            return false;
        }
        return true;
    }

  private:
    bool need(std::size_t n) {
        if (failed_ || data_.size() - pos_ < n) failed_ = true;
        return !failed_;
    }
    bool take(std::size_t n, std::string& s) {
        if (!need(n)) return false;
        s.assign(data_, pos_, n);
        pos_ += n;
        return true;
    }

    const std::string& data_;
    std::size_t pos_ = 0;
    bool failed_ = false;
};

bool expectType(const Frame& frame, FrameType want, std::string& error) {
    if (frame.type == want) return true;
    error = std::string("expected a ") + frameTypeName(want) + " frame, got " +
            frameTypeName(frame.type);
    return false;
}

bool isKnownType(std::uint8_t t) {
    return t >= static_cast<std::uint8_t>(FrameType::Hello) &&
           t <= static_cast<std::uint8_t>(FrameType::Reply);
}

}  // namespace

bool helloFits(std::size_t app_name_size, std::size_t local_pass_size) {
    constexpr std::size_t kFixed = kHeaderSize + kSessionIdSize + 2 * sizeof(std::uint16_t);
    return app_name_size <= kMaxString && local_pass_size <= kMaxString &&
           kFixed + app_name_size + local_pass_size <= kMaxFrameSize;
}

std::string encode(const Hello& hello) {
    Writer w(FrameType::Hello);
    w.bytes(hello.session.data(), hello.session.size());
    w.str(hello.app_name);
    w.str(hello.local_pass);
    return w.finish();
}

std::string encode(const Welcome& welcome) {
    Writer w(FrameType::Welcome);
    w.u8(static_cast<std::uint8_t>(welcome.status));
    w.str(welcome.text);
    return w.finish();
}

std::string encode(FrameType subscribeOrUnsubscribe, const Subscription& subscription) {
    Writer w(subscribeOrUnsubscribe);
    w.str(subscription.ref);
    return w.finish();
}

std::string encode(const Request& request) {
    Writer w(FrameType::Request);
    w.u32(request.request_id);
    w.str(request.service);
    w.str(request.ref);
    w.u32(request.msg_id);
    w.blob(request.body);
    return w.finish();
}

std::string encode(const Reply& reply) {
    Writer w(FrameType::Reply);
    w.u32(reply.request_id);
    w.str(reply.ref);
    w.u32(reply.msg_id);
    w.blob(reply.body);
    return w.finish();
}

CutStatus cutFrame(const char* data, std::size_t size, Frame& frame, std::size_t& consumed,
                   std::string& error) {
    if (size < kLengthFieldSize) return CutStatus::NeedMore;
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    const std::uint32_t len = static_cast<std::uint32_t>(p[0]) << 24 |
                              static_cast<std::uint32_t>(p[1]) << 16 |
                              static_cast<std::uint32_t>(p[2]) << 8 | p[3];
    if (len < kHeaderSize - kLengthFieldSize || len > kMaxFrameSize - kLengthFieldSize) {
        error = "frame length " + std::to_string(len) + " out of bounds";
        return CutStatus::Error;
    }
    // The header can be judged before the payload has arrived, so a bad
    // version or type is refused without waiting for up to 64 KiB.
    if (size >= kHeaderSize) {
        if (p[kVersionOffset] != kVersion) {
            error = "unsupported protocol version " + std::to_string(p[kVersionOffset]);
            return CutStatus::Error;
        }
        if (!isKnownType(p[kTypeOffset])) {
            error = "unknown frame type " + std::to_string(p[kTypeOffset]);
            return CutStatus::Error;
        }
    }
    if (size - kLengthFieldSize < len) return CutStatus::NeedMore;
    frame.type = static_cast<FrameType>(p[kTypeOffset]);
    frame.payload.assign(data + kHeaderSize, len - (kHeaderSize - kLengthFieldSize));
    consumed = kLengthFieldSize + len;
    return CutStatus::Frame;
}

bool parse(const Frame& frame, Hello& out, std::string& error) {
    if (!expectType(frame, FrameType::Hello, error)) return false;
    Reader r(frame.payload);
    r.bytes(out.session.data(), out.session.size()) && r.str(out.app_name) && r.str(out.local_pass);
    return r.done(error);
}

bool parse(const Frame& frame, Welcome& out, std::string& error) {
    if (!expectType(frame, FrameType::Welcome, error)) return false;
    Reader r(frame.payload);
    std::uint8_t status = 0;
    r.u8(status) && r.str(out.text);
    if (!r.done(error)) return false;
    if (status > static_cast<std::uint8_t>(WelcomeStatus::BadVersion)) {
        error = "unknown welcome status " + std::to_string(status);
        return false;
    }
    out.status = static_cast<WelcomeStatus>(status);
    return true;
}

bool parse(const Frame& frame, Subscription& out, std::string& error) {
    if (frame.type != FrameType::Subscribe && frame.type != FrameType::Unsubscribe) {
        error = std::string("expected a subscription frame, got ") + frameTypeName(frame.type);
        return false;
    }
    Reader r(frame.payload);
    r.str(out.ref);
    return r.done(error);
}

bool parse(const Frame& frame, Request& out, std::string& error) {
    if (!expectType(frame, FrameType::Request, error)) return false;
    Reader r(frame.payload);
    r.u32(out.request_id) && r.str(out.service) && r.str(out.ref) && r.u32(out.msg_id) &&
        r.blob(out.body);
    return r.done(error);
}

bool parse(const Frame& frame, Reply& out, std::string& error) {
    if (!expectType(frame, FrameType::Reply, error)) return false;
    Reader r(frame.payload);
    r.u32(out.request_id) && r.str(out.ref) && r.u32(out.msg_id) && r.blob(out.body);
    return r.done(error);
}

const char* frameTypeName(FrameType type) {
    switch (type) {
        case FrameType::Hello:
            return "Hello";
        case FrameType::Welcome:
            return "Welcome";
        case FrameType::Subscribe:
            return "Subscribe";
        case FrameType::Unsubscribe:
            return "Unsubscribe";
        case FrameType::Request:
            return "Request";
        case FrameType::Reply:
            return "Reply";
    }
    return "unknown";
}

}  // namespace qova::wire
