// End-to-end tests of libqova against a real qova-router on loopback.
#include <gtest/gtest.h>
#include <testsupport/net.h>
#include <testsupport/router.h>
#include <testsupport/scoped.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace qova::test {
namespace {

using namespace std::chrono_literals;
using testsupport::RouterProcess;
using testsupport::ScopedEnv;

// The service's policy is tested where it lives; one change and one
// refusal show that the request and its reply cross the library intact.
TEST(Router, ChangePasswordOutcomes) {
    struct Case {
        const char* what;
        std::string old_pwd, new_pwd;
        std::int32_t code;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"success", "old-secret", "new-secret", 0, "Password changed"},
        {"wrong old", "not-it", "new-secret", 1, "Wrong old password"},
    };
    Env env;
    ASSERT_EQ(env.rc, QOVA_OK);
    for (const Case& c : cases) {
        RouterProcess router;
        Session s(router.address());
        ASSERT_EQ(s.openAll(), QOVA_OK) << c.what;
        ASSERT_EQ(s.postChange(c.old_pwd, c.new_pwd), QOVA_OK) << c.what;
        ASSERT_TRUE(s.waitFor(1, 5s)) << c.what << "\n" << router.log();
        const Received& r = s.received[0];
        EXPECT_EQ(r.type, QOVA_MSG_DATA) << c.what;
        EXPECT_EQ(r.msg_id, pwdscheme::kChangePasswordReplyId) << c.what;
        EXPECT_EQ(r.body.size(), pwdscheme::kChangePasswordReplySize) << c.what;
        EXPECT_EQ(r.code(), c.code) << c.what;
        EXPECT_EQ(r.message(), c.message) << c.what;
        // The library must not leak the password into the router's log either.
        EXPECT_EQ(router.log().find("new-secret"), std::string::npos) << c.what;
    }
}

TEST(Router, ForcedRepliesRenderThroughDump) {
    struct Case {
        std::vector<std::string> args;
        std::uint32_t msg_id;
        std::string dump;
    };
    const std::vector<Case> cases = {
        {{"--force-reply", "99"},
         pwdscheme::kFloodReplyId,
         "KOLMA_MSG99 queue_size=1 penalty_remain=1000 message=forced reply"},
        {{"--force-reply", "100", "--force-code", "7", "--force-text", "store failed"},
         pwdscheme::kFailureReplyId,
         "KOLMA_MSG100 code=7 message=store failed"},
        {{"--force-reply", "169", "--force-code", "-1", "--force-text", "100% wrong"},
         pwdscheme::kChangePasswordReplyId,
         "ChangePasswordReply Code=-1 Message=100% wrong"},
    };
    Env env;
    for (const Case& c : cases) {
        RouterProcess router(c.args);
        Session s(router.address());
        ASSERT_EQ(s.openAll(), QOVA_OK);
        ASSERT_EQ(s.postChange("old-secret", "new-secret"), QOVA_OK);
        ASSERT_TRUE(s.waitFor(1, 5s)) << router.log();
        EXPECT_EQ(s.received[0].msg_id, c.msg_id);
        EXPECT_EQ(dumpText(s, s.received[0]), c.dump);
    }
}

TEST(Router, SilentRouterGivesExactlyOneTimeoutNotice) {
    ScopedEnv timeout("QOVA_REPLY_TIMEOUT_MS", "300");
    Env env;
    RouterProcess router({"--no-reply"});
    Session s(router.address());
    ASSERT_EQ(s.openAll(), QOVA_OK);
    EXPECT_EQ(qova_conn_process(s.conn, 20, nullptr), QOVA_E_TIMEOUT);  // nothing to do
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(s.postChange("old-secret", "new-secret"), QOVA_OK);
    ASSERT_TRUE(s.waitFor(1, 5s));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 300ms);
    EXPECT_LT(took, 3s);
    s.turnFor(500ms);
    ASSERT_EQ(s.received.size(), 1u);
    EXPECT_EQ(s.received[0].type, QOVA_MSG_TIMEOUT);
    EXPECT_EQ(s.received[0].msg_id, 0u);
    EXPECT_TRUE(s.received[0].body.empty());
}

TEST(Router, PostWithoutReplyFlagExpectsNothing) {
    ScopedEnv timeout("QOVA_REPLY_TIMEOUT_MS", "200");
    Env env;
    RouterProcess router;
    Session s(router.address());
    ASSERT_EQ(s.openAll(), QOVA_OK);
    ASSERT_EQ(s.postChange("old-secret", "new-secret", 0), QOVA_OK);
    s.turnFor(600ms);
    EXPECT_TRUE(s.received.empty());  // neither the reply nor a notice
    EXPECT_EQ(s.postChange("old-secret", "x", 2), QOVA_E_INVALID_ARG);
}

// Drives the session as pwd_changer's loop does, one step per pass:
// connection first (CLOSED -> open, ERROR -> close, ACTIVE -> process), then
// the publisher, then the listener (CLOSED -> open, ERROR -> close).  Any
// failing call ends the run, as it ends the tool.  True when `count`
// messages arrived before `limit`.
bool runLikeTheTool(Session& s, std::size_t count, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (s.received.size() < count && std::chrono::steady_clock::now() < end) {
        switch (s.connState()) {
            case QOVA_STATE_CLOSED:
                if (qova_conn_open(s.conn, nullptr) != QOVA_OK) return false;
                continue;
            case QOVA_STATE_ERROR:
                if (qova_conn_close(s.conn) != QOVA_OK) return false;
                continue;
            case QOVA_STATE_ACTIVE:
                break;
            default:
                continue;
        }
        const qova_result_t rc = qova_conn_process(s.conn, 1, nullptr);
        if (rc != QOVA_OK && rc != QOVA_E_TIMEOUT) return false;
        switch (s.pubState()) {
            case QOVA_STATE_CLOSED:
                if (qova_pub_open(s.pub, "") != QOVA_OK) return false;
                continue;
            case QOVA_STATE_ERROR:
                if (qova_pub_close(s.pub) != QOVA_OK) return false;
                continue;
            case QOVA_STATE_ACTIVE:
                break;
            default:
                continue;
        }
        switch (s.lsnState()) {
            case QOVA_STATE_CLOSED:
                if (qova_lsn_open(s.lsn, "") != QOVA_OK) return false;
                break;
            case QOVA_STATE_ERROR:
                if (qova_lsn_close(s.lsn) != QOVA_OK) return false;
                break;
            default:
                break;
        }
    }
    return s.received.size() >= count;
}

TEST(Router, DroppedConnectionStillEndsInOneNotice) {
    ScopedEnv timeout("QOVA_REPLY_TIMEOUT_MS", "400");
    Env env;
    RouterProcess router({"--close-on-request"});
    Session s(router.address());
    ASSERT_EQ(s.openAll(), QOVA_OK);
    ASSERT_EQ(s.postChange("old-secret", "new-secret"), QOVA_OK);
    // The router drops the connection; the tool's loop closes and reopens
    // everything, never posting again.
    ASSERT_TRUE(runLikeTheTool(s, 1, 5s)) << "a call failed on the way back";
    EXPECT_EQ(s.received[0].type, QOVA_MSG_TIMEOUT);
    EXPECT_FALSE(runLikeTheTool(s, 2, 800ms));
    EXPECT_EQ(s.received.size(), 1u);  // and nothing more
}

TEST(Router, ReplyKeptWhileClosedArrivesAfterReopen) {
    ScopedEnv timeout("QOVA_REPLY_TIMEOUT_MS", "5000");
    Env env;
    RouterProcess router({"--reply-delay-ms", "300"});
    Session s(router.address());
    ASSERT_EQ(s.openAll(), QOVA_OK);
    ASSERT_EQ(s.postChange("old-secret", "new-secret"), QOVA_OK);
    qova_conn_close(s.conn);  // gone before the router answers
    std::this_thread::sleep_for(600ms);
    ASSERT_TRUE(runLikeTheTool(s, 1, 4s)) << router.log();
    EXPECT_EQ(s.received[0].type, QOVA_MSG_DATA);
    EXPECT_EQ(s.received[0].code(), 0);
    EXPECT_FALSE(runLikeTheTool(s, 2, 800ms));
    EXPECT_EQ(s.received.size(), 1u);
}

TEST(Router, LateReplyAfterTimeoutIsDropped) {
    ScopedEnv timeout("QOVA_REPLY_TIMEOUT_MS", "200");
    Env env;
    RouterProcess router({"--reply-delay-ms", "600"});
    Session s(router.address());
    ASSERT_EQ(s.openAll(), QOVA_OK);
    ASSERT_EQ(s.postChange("old-secret", "new-secret"), QOVA_OK);
    ASSERT_TRUE(s.waitFor(1, 3s));
    s.turnFor(1s);
    ASSERT_EQ(s.received.size(), 1u);
    EXPECT_EQ(s.received[0].type, QOVA_MSG_TIMEOUT);
    EXPECT_EQ(s.connState(), QOVA_STATE_ACTIVE);
}

TEST(Router, ReplyWaitsForAnActiveListener) {
    Env env;
    RouterProcess router;
    Session s(router.address());
    ASSERT_EQ(s.openAll(), QOVA_OK);
    ASSERT_EQ(qova_lsn_close(s.lsn), QOVA_OK);
    ASSERT_EQ(s.postChange("old-secret", "new-secret"), QOVA_OK);
    s.turnFor(500ms);
    EXPECT_TRUE(s.received.empty());
    ASSERT_EQ(qova_lsn_open(s.lsn, nullptr), QOVA_OK);
    ASSERT_TRUE(s.waitFor(1, 2s));
    EXPECT_EQ(s.received[0].code(), 0);
}

TEST(Router, UnreachableRouterFailsOpen) {
    Env env;
    const std::string port = std::to_string(testsupport::freeLoopbackPort());
    struct Case {
        std::string address;
        qova_result_t rc;
    };
    for (const Case& c :
         std::vector<Case>{{"127.0.0.1:" + port, QOVA_E_CONNECT},
                           {"", QOVA_E_CONNECT},
                           {"127.0.0.1", QOVA_E_CONNECT},
                           {"127.0.0.1:0", QOVA_E_CONNECT},
                           {"127.0.0.1:http", QOVA_E_CONNECT},
                           // A 64-byte label cannot be put in a DNS query, so the name fails
                           // to resolve without a packet leaving the host.
                           {std::string(64, 'h') + ".invalid:4001", QOVA_E_CONNECT}}) {
        Session s(c.address);
        ASSERT_EQ(s.created, QOVA_OK) << c.address;
        EXPECT_EQ(qova_conn_open(s.conn, nullptr), c.rc) << c.address;
        EXPECT_EQ(s.connState(), QOVA_STATE_CLOSED) << c.address;
        EXPECT_EQ(qova_pub_open(s.pub, ""), QOVA_E_NOT_READY);
        EXPECT_EQ(s.postChange("a", "b"), QOVA_E_NOT_READY);
    }
}

TEST(Router, EmptyApplicationNameFailsOpen) {
    Env env;
    RouterProcess router;
    qova_conn_t* conn = nullptr;
    const std::string url = "zttcp://" + router.address() + ";app_name=;";
    ASSERT_EQ(qova_conn_new(url.c_str(), &conn), QOVA_OK);
    EXPECT_EQ(qova_conn_open(conn, nullptr), QOVA_E_URL);
    std::uint32_t state = 99;
    qova_conn_getstate(conn, &state);
    EXPECT_EQ(state, QOVA_STATE_CLOSED);
    qova_conn_destroy(conn);
}

TEST(Router, LocalPasswordIsChecked) {
    Env env;
    RouterProcess router({"--local-pass", "letmein"});
    {
        Session wrong(router.address(), "local_pass=nope");
        EXPECT_EQ(qova_conn_open(wrong.conn, nullptr), QOVA_E_REFUSED);
        EXPECT_EQ(wrong.connState(), QOVA_STATE_CLOSED);
        Session none(router.address());
        EXPECT_EQ(qova_conn_open(none.conn, nullptr), QOVA_E_REFUSED);
    }
    Session right(router.address(), "local_pass=letmein");
    ASSERT_EQ(right.openAll(), QOVA_OK);
    ASSERT_EQ(right.postChange("old-secret", "new-secret"), QOVA_OK);
    ASSERT_TRUE(right.waitFor(1, 5s));
    EXPECT_EQ(right.received[0].code(), 0);
}

TEST(Router, LostConnectionPutsEverythingInError) {
    Env env;
    RouterProcess router;
    Session s(router.address());
    ASSERT_EQ(s.openAll(), QOVA_OK);
    router.stop();
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (s.connState() == QOVA_STATE_ACTIVE && std::chrono::steady_clock::now() < end)
        EXPECT_NE(qova_conn_process(s.conn, 50, nullptr), QOVA_E_IO);
    EXPECT_EQ(s.connState(), QOVA_STATE_ERROR);
    EXPECT_EQ(s.pubState(), QOVA_STATE_ERROR);
    EXPECT_EQ(s.lsnState(), QOVA_STATE_ERROR);
    EXPECT_EQ(qova_conn_process(s.conn, 1, nullptr), QOVA_E_STATE);
    EXPECT_EQ(qova_conn_open(s.conn, nullptr), QOVA_E_STATE);  // close first
    EXPECT_EQ(qova_pub_open(s.pub, nullptr), QOVA_E_STATE);
    EXPECT_EQ(qova_conn_close(s.conn), QOVA_OK);
    EXPECT_EQ(s.connState(), QOVA_STATE_CLOSED);
    EXPECT_EQ(s.pubState(), QOVA_STATE_CLOSED);
    EXPECT_EQ(s.lsnState(), QOVA_STATE_CLOSED);
    EXPECT_EQ(qova_conn_open(s.conn, nullptr), QOVA_E_CONNECT);
}

// Several connections of one environment, each with a request in flight:
// every reply reaches the session that asked, once.  (That exactly one of
// many changes wins is the account store's rule, tested there.)
TEST(Router, EachConnectionGetsItsOwnReply) {
    Env env;
    RouterProcess router({"--rate-limit", "0", "--reply-delay-ms", "100"});
    const std::vector<std::string> oldPasswords = {"wrong-1", "old-secret", "wrong-2"};
    std::vector<std::unique_ptr<Session>> clients;
    for (const std::string& old : oldPasswords) {
        clients.push_back(std::make_unique<Session>(router.address()));
        ASSERT_EQ(clients.back()->openAll(), QOVA_OK);
        ASSERT_EQ(clients.back()->postChange(old, "new-secret"), QOVA_OK);
    }
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < end) {
        std::size_t done = 0;
        for (auto& c : clients) {
            qova_conn_process(c->conn, 1, nullptr);
            done += c->received.size();
        }
        if (done >= clients.size()) break;
    }
    for (auto& c : clients) c->turnFor(200ms);  // nothing more may come
    for (std::size_t i = 0; i < clients.size(); ++i) {
        SCOPED_TRACE(oldPasswords[i]);
        ASSERT_EQ(clients[i]->received.size(), 1u);
        EXPECT_EQ(clients[i]->received[0].code(), i == 1 ? 0 : 1);
    }
}

}  // namespace
}  // namespace qova::test
