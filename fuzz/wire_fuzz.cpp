// The frame decoder: cuts frames from an arbitrary byte stream as a
// connection does, parses each payload by its type, and checks that a frame
// that parses encodes back to exactly the bytes it was cut from.
#include <wire.h>

#include <string>
#include <type_traits>

#include "fuzz_check.h"

namespace {

using namespace qova::wire;

// The encoding of `frame`'s payload read as an M, or empty when it does not
// parse.
template <typename M>
std::string reencodeAs(const Frame& frame) {
    M m;
    std::string error;
    if (!parse(frame, m, error)) return std::string();
    if constexpr (std::is_same_v<M, Subscription>) {
        return encode(frame.type, m);
    } else {
        return encode(m);
    }
}

// The encoding of a parsed frame, or empty when its payload does not parse.
std::string reencode(const Frame& frame) {
    switch (frame.type) {
        case FrameType::Hello:
            return reencodeAs<Hello>(frame);
        case FrameType::Welcome:
            return reencodeAs<Welcome>(frame);
        case FrameType::Subscribe:
        case FrameType::Unsubscribe:
            return reencodeAs<Subscription>(frame);
        case FrameType::Request:
            return reencodeAs<Request>(frame);
        case FrameType::Reply:
            return reencodeAs<Reply>(frame);
    }
    FUZZ_CHECK(!"cutFrame gave a frame of an unknown type");
    return std::string();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* p = reinterpret_cast<const char*>(data);
    std::size_t used = 0;
    while (used < size) {
        Frame frame;
        std::size_t consumed = 0;
        std::string error;
        const CutStatus status = cutFrame(p + used, size - used, frame, consumed, error);
        if (status != CutStatus::Frame) {
            FUZZ_CHECK((status == CutStatus::Error) == !error.empty());
            break;
        }
        FUZZ_CHECK(consumed >= kHeaderSize && consumed <= kMaxFrameSize);
        FUZZ_CHECK(consumed <= size - used);
        FUZZ_CHECK(frame.payload.size() == consumed - kHeaderSize);
        const std::string again = reencode(frame);
        if (!again.empty()) FUZZ_CHECK(again == std::string(p + used, consumed));
        used += consumed;
    }
    return 0;
}
