// The frame decoder: cuts frames from an arbitrary byte stream as a
// connection does, parses each payload by its type, and checks that a frame
// that parses encodes back to exactly the bytes it was cut from.
#include <wire.h>

#include "fuzz_check.h"

namespace {

using namespace qova::wire;

// The encoding of a parsed frame, or empty when its payload does not parse.
std::string reencode(const Frame& frame) {
    std::string error;
    switch (frame.type) {
        case FrameType::Hello: {
            Hello m;
            return parse(frame, m, error) ? encode(m) : std::string();
        }
        case FrameType::Welcome: {
            Welcome m;
            return parse(frame, m, error) ? encode(m) : std::string();
        }
        case FrameType::Subscribe:
        case FrameType::Unsubscribe: {
            Subscription m;
            return parse(frame, m, error) ? encode(frame.type, m) : std::string();
        }
        case FrameType::Request: {
            Request m;
            return parse(frame, m, error) ? encode(m) : std::string();
        }
        case FrameType::Reply: {
            Reply m;
            return parse(frame, m, error) ? encode(m) : std::string();
        }
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
