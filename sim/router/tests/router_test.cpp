// End-to-end tests of qova-router over loopback TCP, each with a router of
// its own started on a free port.
#include <gtest/gtest.h>
#include <password_scheme.h>
#include <signal.h>
#include <sys/wait.h>
#include <testsupport/process.h>
#include <testsupport/scratch.h>

#include <chrono>
#include <map>
#include <thread>
#include <vector>

#include "raw_client.h"
#include "router_test_support.h"

namespace qova::router::testing {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char kOld[] = "old-secret";

// Posts `body` as request `id` and expects a 169 with `code`.
void expectChange(RawClient& client, std::uint32_t id, const std::string& body, int code,
                  const std::string& text) {
    client.post(id, body);
    const auto reply = client.reply();
    ASSERT_TRUE(reply) << "no reply to request " << id;
    EXPECT_EQ(reply->request_id, id);
    EXPECT_EQ(reply->ref, "pwd_changer");
    ASSERT_EQ(reply->msg_id, pwdscheme::kChangePasswordReplyId);
    ASSERT_EQ(reply->body.size(), pwdscheme::kChangePasswordReplySize);
    const ReplyFields f = replyFields(*reply);
    EXPECT_EQ(f.first, code) << "request " << id;
    EXPECT_EQ(f.text, text) << "request " << id;
}

// The policy and its texts are the password service's (its tests hold the
// table); here one refusal and one change show the way through the router.
TEST(Router, AnswersARefusalAndAChange) {
    RouterProcess router;
    RawClient client(router.port());
    client.open(sessionId(1));
    expectChange(client, 1, changeBody("wrong-one", "new-secret"), 1, "Wrong old password");
    expectChange(client, 2, changeBody(kOld, "new-secret"), 0, "Password changed");
    const std::string log = router.log();
    for (const char* secret : {kOld, "new-secret", "wrong-one"}) {
        EXPECT_EQ(log.find(secret), std::string::npos) << "a password in the log:\n" << log;
    }
    EXPECT_NE(log.find("code 0"), std::string::npos) << log;
}

TEST(Router, ReadsThePasswordFromAFile) {
    testsupport::ScratchDir dir;
    const std::string path = dir.write("pw", "file-secret\r\nsecond line\n");
    RouterProcess router({"--password-file", path}, "not-this-one");
    RawClient client(router.port());
    client.open(sessionId(2));
    expectChange(client, 1, changeBody("not-this-one", "x"), 1, "Wrong old password");
    expectChange(client, 2, changeBody("file-secret", "x"), 0, "Password changed");
}

TEST(Router, AnswersAClientThatStoppedSending) {
    RouterProcess router;
    RawClient client(router.port());
    client.open(sessionId(16));
    client.post(3, changeBody(kOld, "new"));
    client.shutdownSending();
    const auto reply = client.reply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(replyFields(*reply).first, 0);
    EXPECT_TRUE(client.closedWithin());
}

TEST(Router, AnswersAFloodWithReply99) {
    RouterProcess router({"--rate-limit", "3", "--penalty-ms", "250"});
    RawClient client(router.port());
    client.open(sessionId(3));
    // Five requests in well under a second: the first three are served.
    // Refusals go out at once, ahead of the service's answers.
    for (std::uint32_t id = 1; id <= 5; ++id) client.post(id, changeBody("wrong", "x"));
    std::map<std::uint32_t, wire::Reply> replies;
    for (int i = 0; i < 5; ++i) {
        auto reply = client.reply();
        ASSERT_TRUE(reply);
        replies.emplace(reply->request_id, std::move(*reply));
    }
    ASSERT_EQ(replies.size(), 5u);
    for (const auto& [id, reply] : replies) {
        const ReplyFields f = replyFields(reply);
        if (id <= 3) {
            EXPECT_EQ(reply.msg_id, pwdscheme::kChangePasswordReplyId);
            EXPECT_EQ(f.first, 1);
        } else {
            ASSERT_EQ(reply.msg_id, pwdscheme::kFloodReplyId);
            EXPECT_EQ(reply.body.size(), pwdscheme::kFloodReplySize);
            EXPECT_EQ(f.first, static_cast<int>(id));  // queue_size: requests seen this second
            EXPECT_EQ(f.second, 250);
            EXPECT_EQ(f.text, "Too many requests");
        }
    }
    // Another connection has its own count.
    RawClient other(router.port());
    other.open(sessionId(4));
    expectChange(other, 1, changeBody("wrong", "x"), 1, "Wrong old password");
}

TEST(Router, SendsForcedRepliesWithoutCheckingAnything) {
    struct Case {
        std::vector<std::string> args;
        std::uint32_t msgId;
        std::size_t size;
        int first;
        std::string text;
    };
    const Case cases[] = {
        {{"--force-reply", "169", "--force-code", "7", "--force-text", "seven"},
         169,
         260,
         7,
         "seven"},
        {{"--force-reply", "169"}, 169, 260, 0, "forced reply"},
        {{"--force-reply", "100", "--force-code", "-3", "--force-text", "store failed"},
         100,
         260,
         -3,
         "store failed"},
        {{"--force-reply", "99", "--penalty-ms", "40"}, 99, 137, 1, "forced reply"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[1]);
        RouterProcess router(c.args);
        RawClient client(router.port());
        client.open(sessionId(5));
        // Neither the password, the service nor the body size is looked at.
        client.post(9, "short", "pwd_changer", 421, "OTHER_SRV");
        const auto reply = client.reply();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->request_id, 9u);
        EXPECT_EQ(reply->msg_id, c.msgId);
        EXPECT_EQ(reply->body.size(), c.size);
        const ReplyFields f = replyFields(*reply);
        EXPECT_EQ(f.first, c.first);
        EXPECT_EQ(f.text, c.text);
    }
}

TEST(Router, NoReplyAnswersNothingAndKeepsTheConnection) {
    RouterProcess router({"--no-reply"});
    RawClient client(router.port());
    client.open(sessionId(6));
    client.post(1, changeBody(kOld, "new"));
    EXPECT_FALSE(client.reply(300ms));
    client.post(2, changeBody(kOld, "new"));
    EXPECT_FALSE(client.closedWithin(300ms));
    EXPECT_NE(router.log().find("not answered"), std::string::npos);
}

TEST(Router, DelaysRepliesByTheGivenTime) {
    RouterProcess router({"--reply-delay-ms", "300"});
    RawClient client(router.port());
    client.open(sessionId(7));
    const Clock::time_point sent = Clock::now();
    expectChange(client, 1, changeBody(kOld, "new"), 0, "Password changed");
    EXPECT_GE(Clock::now() - sent, 300ms);
}

TEST(Router, CloseOnRequestClosesWithoutReply) {
    RouterProcess router({"--close-on-request"});
    RawClient client(router.port());
    client.open(sessionId(8));
    client.post(1, changeBody(kOld, "new"));
    EXPECT_TRUE(client.closedWithin());
}

TEST(Router, RefusesAWrongLocalPassword) {
    RouterProcess router({"--local-pass", "lp"});
    struct Case {
        std::string pass;
        wire::WelcomeStatus status;
    };
    for (const Case& c :
         {Case{"nope", wire::WelcomeStatus::BadLocalPass},
          Case{"", wire::WelcomeStatus::BadLocalPass}, Case{"lp", wire::WelcomeStatus::Accepted}}) {
        SCOPED_TRACE(c.pass);
        RawClient client(router.port());
        EXPECT_EQ(client.hello(sessionId(9), c.pass).status, c.status);
        if (c.status != wire::WelcomeStatus::Accepted) {
            EXPECT_TRUE(client.closedWithin());
        } else {
            client.sendBytes(
                wire::encode(wire::FrameType::Subscribe, wire::Subscription{"pwd_changer"}));
            expectChange(client, 1, changeBody("wrong", "x"), 1, "Wrong old password");
        }
    }
    EXPECT_EQ(router.log().find("nope"), std::string::npos);
}

std::string frameBytes(std::uint32_t length, std::uint8_t version, std::uint8_t type,
                       const std::string& payload) {
    std::string out;
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(length >> shift));
    out.push_back(static_cast<char>(version));
    out.push_back(static_cast<char>(type));
    return out + payload;
}

TEST(Router, AMalformedFrameClosesOnlyItsConnection) {
    RouterProcess router;
    RawClient bystander(router.port());
    bystander.open(sessionId(10));
    const std::string goodRequest =
        wire::encode(wire::Request{1, "KOLMA_SRV", "r", 421, changeBody("a", "b")});
    std::string truncated = goodRequest;  // body blob says 132 bytes, only 100 follow
    truncated.resize(truncated.size() - 32);
    truncated[3] = static_cast<char>(truncated[3] - 32);
    struct Case {
        const char* name;
        bool afterHello;
        std::string bytes;
        const char* reason;  // what the router's log gives as the reason
    };
    const Case cases[] = {
        {"length 0", true, frameBytes(0, 1, 5, ""), "frame length 0 out of bounds"},
        {"length 1", true, frameBytes(1, 1, 5, ""), "frame length 1 out of bounds"},
        {"length past the bound", true, frameBytes(70000, 1, 5, ""), "length 70000 out of bounds"},
        {"bad version", true, frameBytes(2, 9, 5, ""), "unsupported protocol version 9"},
        {"unknown type", true, frameBytes(2, 1, 42, ""), "unknown frame type 42"},
        {"truncated payload", true, truncated, "malformed Request: payload too short"},
        {"wrong body size", true,
         wire::encode(wire::Request{1, "KOLMA_SRV", "r", 421, std::string(131, 'a')}),
         "body of 131 bytes"},
        {"unknown service", true,
         wire::encode(wire::Request{1, "NOPE_SRV", "r", 421, changeBody("a", "b")}),
         "unknown service \"NOPE_SRV\""},
        {"unknown message id", true,
         wire::encode(wire::Request{1, "KOLMA_SRV", "r", 169, changeBody("a", "b")}),
         "unknown message id 169"},
        {"garbage", true, "\xff\xfe\xfd\xfc garbage garbage", "length 4294901244 out of bounds"},
        {"garbage first", false, "GET / HTTP/1.0\r\n\r\n", "unsupported protocol version 47"},
        {"request before Hello", false, goodRequest, "expected Hello first, got Request"},
        {"second Hello", true, wire::encode(wire::Hello{sessionId(1), "x", ""}), "a second Hello"},
        {"reply from a client", true, wire::encode(wire::Reply{1, "r", 169, ""}),
         "unexpected Reply frame"},
        {"short Subscribe", true,
         frameBytes(4, 1, 3,
                    std::string("\0\x09"
                                "ab",
                                4)),
         "malformed Subscribe: payload too short"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawClient client(router.port());
        if (c.afterHello) client.open(sessionId(11));
        client.sendBytes(c.bytes);
        EXPECT_TRUE(client.closedWithin());
    }
    const std::string log = router.log();
    for (const Case& c : cases) EXPECT_NE(log.find(c.reason), std::string::npos) << c.name;
    // The router still serves the connection that behaved.
    expectChange(bystander, 1, changeBody("wrong", "x"), 1, "Wrong old password");
    EXPECT_EQ(::kill(router.pid(), 0), 0);
}

TEST(Router, KeepsAReplyForItsSessionOnly) {
    RouterProcess router({"--reply-delay-ms", "200"});
    {
        RawClient client(router.port());
        client.open(sessionId(12));
        client.post(77, changeBody(kOld, "new"));
    }  // gone before the reply is ready
    std::this_thread::sleep_for(400ms);

    RawClient stranger(router.port());  // same ref, another session
    stranger.open(sessionId(13));
    EXPECT_FALSE(stranger.reply(300ms));

    RawClient back(router.port());
    back.open(sessionId(12));
    const auto reply = back.reply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->request_id, 77u);
    EXPECT_EQ(replyFields(*reply).first, 0);
    EXPECT_FALSE(back.reply(200ms));  // delivered once only
}

TEST(Router, DropsAKeptReplyAfterKeepMs) {
    RouterProcess router({"--reply-delay-ms", "100", "--keep-ms", "200"});
    {
        RawClient client(router.port());
        client.open(sessionId(14));
        client.post(5, changeBody(kOld, "new"));
    }
    std::this_thread::sleep_for(600ms);
    RawClient back(router.port());
    back.open(sessionId(14));
    EXPECT_FALSE(back.reply(300ms));
}

TEST(Router, StopsWithStatusZeroOnSigtermAndSigint) {
    for (const int signal : {SIGTERM, SIGINT}) {
        RouterProcess router;
        RawClient client(router.port());  // an open connection does not hold it up
        client.open(sessionId(15));
        ASSERT_EQ(::kill(router.pid(), signal), 0);
        int status = 0;
        ASSERT_TRUE(testsupport::waitFor(router.pid(), status, 5s)) << "signal " << signal;
        ASSERT_TRUE(WIFEXITED(status)) << "signal " << signal;
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_TRUE(client.closedWithin());
    }
    RouterProcess router;
    const int status = router.stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(Router, RefusesToStartOnBadInput) {
    struct Case {
        std::vector<std::string> args;
        std::string input;
        int status;
        std::string message;
    };
    const std::vector<std::string> anyPort{"--listen", "127.0.0.1:0"};
    const Case cases[] = {
        {{"--bogus"}, "pw\n", 2, "unrecognised option"},
        {{"--listen", "nohost"}, "pw\n", 2, "--listen needs HOST:PORT"},
        {{"--listen", "127.0.0.1:65536"}, "pw\n", 2, "out of range"},
        {{"--rate-limit", "5x"}, "pw\n", 2, "needs a number"},
        {{"--force-code", "3"}, "pw\n", 2, "needs --force-reply"},
        {anyPort, "", 1, "no account password"},
        {anyPort, "\n", 1, "password is empty"},
        {anyPort, std::string(66, 'p') + "\n", 1, "longer than 65"},
        {{"--listen", "127.0.0.1:0", "--password-file", "/nonexistent/pw"}, "", 1, "cannot open"},
        {{"--listen", "203.0.113.1:4001"}, "pw\n", 1, "cannot listen"},
        // A 64-byte label cannot be put in a DNS query: no packet leaves the host.
        {{"--listen", std::string(64, 'h') + ".invalid:4001"}, "pw\n", 1, "cannot resolve"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        const testsupport::RunResult r = runRouter(c.args, c.input);
        EXPECT_EQ(r.exitCode(), c.status);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
}

TEST(Router, RefusesAnAddressInUse) {
    RouterProcess first;
    const testsupport::RunResult r = runRouter({"--listen", first.address()}, "pw\n");
    EXPECT_EQ(r.exitCode(), 1);
    EXPECT_NE(r.err.find("cannot listen on " + first.address()), std::string::npos) << r.err;
}

}  // namespace
}  // namespace qova::router::testing
