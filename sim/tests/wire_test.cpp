#include "wire.h"

#include <gtest/gtest.h>

#include <string>

namespace qova::wire {
namespace {

// Cuts exactly one frame from `bytes` and expects nothing left over.
Frame cutOne(const std::string& bytes) {
    Frame frame;
    std::size_t consumed = 0;
    std::string error;
    EXPECT_EQ(cutFrame(bytes.data(), bytes.size(), frame, consumed, error), CutStatus::Frame)
        << error;
    EXPECT_EQ(consumed, bytes.size());
    return frame;
}

TEST(Wire, RoundTripsEveryFrameType) {
    Hello hello;
    hello.session[0] = 7;
    hello.session[15] = 255;
    hello.app_name = "pwd_changer";
    hello.local_pass = std::string("p\0q", 3);
    Hello h2;
    std::string error;
    ASSERT_TRUE(parse(cutOne(encode(hello)), h2, error)) << error;
    EXPECT_EQ(h2.session, hello.session);
    EXPECT_EQ(h2.app_name, hello.app_name);
    EXPECT_EQ(h2.local_pass, hello.local_pass);

    Welcome w2;
    ASSERT_TRUE(parse(cutOne(encode(Welcome{WelcomeStatus::BadLocalPass, "no"})), w2, error));
    EXPECT_EQ(w2.status, WelcomeStatus::BadLocalPass);
    EXPECT_EQ(w2.text, "no");

    Subscription s2;
    const Frame unsub = cutOne(encode(FrameType::Unsubscribe, Subscription{"ref"}));
    EXPECT_EQ(unsub.type, FrameType::Unsubscribe);
    ASSERT_TRUE(parse(unsub, s2, error));
    EXPECT_EQ(s2.ref, "ref");

    Request req{0xDEADBEEF, "KOLMA_SRV", "pwd_changer", 421, std::string(132, '\0')};
    Request r2;
    ASSERT_TRUE(parse(cutOne(encode(req)), r2, error)) << error;
    EXPECT_EQ(r2.request_id, req.request_id);
    EXPECT_EQ(r2.service, req.service);
    EXPECT_EQ(r2.ref, req.ref);
    EXPECT_EQ(r2.msg_id, 421u);
    EXPECT_EQ(r2.body, req.body);

    Reply rep{1, "pwd_changer", 169, "body"};
    Reply p2;
    ASSERT_TRUE(parse(cutOne(encode(rep)), p2, error)) << error;
    EXPECT_EQ(p2.request_id, 1u);
    EXPECT_EQ(p2.body, "body");
}

TEST(Wire, NeedsMoreUntilTheWholeFrameArrived) {
    const std::string bytes = encode(Reply{1, "r", 169, std::string(260, 'x')});
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        Frame frame;
        std::size_t consumed = 0;
        std::string error;
        ASSERT_EQ(cutFrame(bytes.data(), n, frame, consumed, error), CutStatus::NeedMore) << n;
    }
}

TEST(Wire, RejectsBadHeaders) {
    struct Case {
        const char* name;
        std::string bytes;
    };
    const Case cases[] = {
        {"length below the header", std::string("\0\0\0\1\1\1", 6)},
        {"length above the bound", std::string("\0\1\0\0\1\1", 6)},
        {"huge length", std::string("\xFF\xFF\xFF\xFF\1\1", 6)},
        {"wrong version", std::string("\0\0\0\2\2\1", 6)},
        {"type zero", std::string("\0\0\0\2\1\0", 6)},
        {"type past the last", std::string("\0\0\0\2\1\7", 6)},
    };
    for (const Case& c : cases) {
        Frame frame;
        std::size_t consumed = 0;
        std::string error;
        EXPECT_EQ(cutFrame(c.bytes.data(), c.bytes.size(), frame, consumed, error),
                  CutStatus::Error)
            << c.name;
        EXPECT_FALSE(error.empty()) << c.name;
    }
}

TEST(Wire, RejectsBadPayloads) {
    std::string error;
    // A string length that points past the payload.
    Frame f{FrameType::Subscribe, std::string("\0\5ab", 4)};
    Subscription s;
    EXPECT_FALSE(parse(f, s, error));
    // Bytes left over after the last field.
    f.payload = std::string("\0\1ab", 4);
    EXPECT_FALSE(parse(f, s, error));
    // A body length of 4 GiB in a short request.
    Frame r{FrameType::Request, std::string("\0\0\0\1\0\0\0\0\0\0\1\xA5\xFF\xFF\xFF\xFF", 16)};
    Request req;
    EXPECT_FALSE(parse(r, req, error));
    // The right payload under the wrong type.
    Frame wrong = cutOne(encode(Reply{1, "r", 169, "b"}));
    EXPECT_FALSE(parse(wrong, req, error));
    // An unknown welcome status.
    Frame w{FrameType::Welcome, std::string("\x09\0\0", 3)};
    Welcome welcome;
    EXPECT_FALSE(parse(w, welcome, error));
}

TEST(Wire, CutsConsecutiveFramesOneByOne) {
    const std::string a = encode(FrameType::Subscribe, Subscription{"a"});
    const std::string b = encode(Reply{9, "b", 99, "x"});
    const std::string stream = a + b;
    Frame frame;
    std::size_t consumed = 0;
    std::string error;
    ASSERT_EQ(cutFrame(stream.data(), stream.size(), frame, consumed, error), CutStatus::Frame);
    EXPECT_EQ(consumed, a.size());
    ASSERT_EQ(cutFrame(stream.data() + consumed, stream.size() - consumed, frame, consumed, error),
              CutStatus::Frame);
    EXPECT_EQ(frame.type, FrameType::Reply);
}

}  // namespace
}  // namespace qova::wire
