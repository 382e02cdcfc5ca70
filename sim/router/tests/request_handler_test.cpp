#include <gtest/gtest.h>

#include <cstring>

#include <password_scheme.h>

#include "raw_client.h"
#include "request_handler.h"

namespace qova::router {
namespace {

using testing::changeBody;
using Action = Decision::Action;
using namespace std::chrono_literals;

// A store that fails on demand, to check reply 100 and that nothing changes.
class FailingStore : public AccountStore {
public:
    bool verify(std::string_view password) override {
        if (failVerify) throw StoreError("database is locked");
        return password == current;
    }
    void replace(std::string_view password) override {
        if (failReplace) throw StoreError("disk full");
        current = password;
    }
    std::string current = "cur";
    bool failVerify = false;
    bool failReplace = false;
};

wire::Request request(const std::string& body, std::uint32_t msgId = 421,
                      const std::string& service = "KOLMA_SRV") {
    return wire::Request{1, service, "pwd_changer", msgId, body};
}

std::int32_t firstInt(const Decision& d) {
    std::int32_t v = 0;
    std::memcpy(&v, d.body.data(), sizeof v);
    return v;
}

TEST(RequestHandler, AnswersAStoreFailureWith100AndChangesNothing) {
    RouterOptions options;
    FailingStore store;
    RequestHandler handler(options, store);
    FloodWindow flood;
    store.failReplace = true;
    Decision d = handler.handle(request(changeBody("cur", "n")), flood, Clock::now());
    ASSERT_EQ(d.action, Action::Reply);
    EXPECT_EQ(d.msg_id, pwdscheme::kFailureReplyId);
    EXPECT_EQ(firstInt(d), kStoreFailure);
    EXPECT_STREQ(d.body.c_str() + pwdscheme::kFailureMessageOffset,
                 "Account store failed: disk full");
    EXPECT_EQ(store.current, "cur");

    store.failReplace = false;
    store.failVerify = true;
    d = handler.handle(request(changeBody("cur", "n")), flood, Clock::now());
    EXPECT_EQ(d.msg_id, pwdscheme::kFailureReplyId);
    EXPECT_EQ(store.current, "cur");
}

TEST(RequestHandler, LimitsRequestsPerSecond) {
    RouterOptions options;
    options.rate_limit = 2;
    options.penalty_ms = 500;
    FailingStore store;
    RequestHandler handler(options, store);
    FloodWindow flood;
    const Clock::time_point t0 = Clock::now();
    const wire::Request r = request(changeBody("bad", "n"));
    struct Step {
        std::chrono::milliseconds at;
        std::uint32_t msgId;
    };
    const Step steps[] = {{0ms, 169}, {10ms, 169}, {20ms, 99}, {999ms, 99},
                          {1000ms, 169}, {1001ms, 169}, {1002ms, 99}};
    for (const Step& s : steps) {
        const Decision d = handler.handle(r, flood, t0 + s.at);
        EXPECT_EQ(d.msg_id, s.msgId) << "at " << s.at.count() << " ms";
        if (d.msg_id == pwdscheme::kFloodReplyId) {
            std::int32_t penalty = 0;
            std::memcpy(&penalty, d.body.data() + pwdscheme::kFloodPenaltyOffset, 4);
            EXPECT_EQ(penalty, 500);
        }
    }
    RouterOptions unlimited;
    unlimited.rate_limit = 0;
    RequestHandler free(unlimited, store);
    FloodWindow window;
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(free.handle(r, window, t0).msg_id, pwdscheme::kChangePasswordReplyId);
    }
}

TEST(RequestHandler, FaultOptionsComeFirst) {
    FailingStore store;
    FloodWindow flood;
    const wire::Request garbage = request("x", 7, "NOPE");
    RouterOptions closing;
    closing.close_on_request = true;
    closing.no_reply = true;
    EXPECT_EQ(RequestHandler(closing, store).handle(garbage, flood, Clock::now()).action,
              Action::Close);
    RouterOptions silent;
    silent.no_reply = true;
    silent.force_reply = ForcedReply::Change;
    EXPECT_EQ(RequestHandler(silent, store).handle(garbage, flood, Clock::now()).action,
              Action::Drop);
    RouterOptions forced;
    forced.force_reply = ForcedReply::Failure;
    forced.force_code = 42;
    forced.rate_limit = 1;
    RequestHandler handler(forced, store);
    for (int i = 0; i < 3; ++i) {  // no flood control either
        const Decision d = handler.handle(garbage, flood, Clock::now());
        ASSERT_EQ(d.action, Action::Reply);
        EXPECT_EQ(d.msg_id, pwdscheme::kFailureReplyId);
        EXPECT_EQ(firstInt(d), 42);
    }
    EXPECT_EQ(store.current, "cur");
}

}  // namespace
}  // namespace qova::router
