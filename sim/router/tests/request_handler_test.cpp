#include "request_handler.h"

#include <gtest/gtest.h>
#include <password_scheme.h>

#include <cstring>

#include "raw_client.h"

namespace qova::router {
namespace {

using testing::changeBody;
using Action = Decision::Action;
using namespace std::chrono_literals;

// A store that fails on demand, to check reply 100 and that nothing changes.
class FailingStore : public AccountStore {
  public:
    bool verify(std::string_view password) override { return password == current; }
    ChangeOutcome change(std::string_view oldPassword, std::string_view newPassword,
                         std::string_view appName) override {
        if (failure) throw StoreError(failure);
        lastApp = appName;
        const ChangeOutcome outcome = judgeChange(verify(oldPassword), oldPassword, newPassword);
        if (outcome.code == kChanged) current = newPassword;
        return outcome;
    }
    std::string current = "cur";
    std::string lastApp;
    const char* failure = nullptr;
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
    for (const char* failure : {"disk full", "database is locked"}) {
        store.failure = failure;
        const Decision d =
            handler.handle(request(changeBody("cur", "n")), "app", flood, Clock::now());
        ASSERT_EQ(d.action, Action::Reply);
        EXPECT_EQ(d.msg_id, pwdscheme::kFailureReplyId);
        EXPECT_EQ(firstInt(d), kStoreFailure);
        EXPECT_EQ(std::string(d.body.c_str() + pwdscheme::kFailureMessageOffset),
                  std::string("Account store failed: ") + failure);
        EXPECT_EQ(store.current, "cur");
    }
    store.failure = nullptr;
    const Decision d =
        handler.handle(request(changeBody("cur", "n")), "the-app", flood, Clock::now());
    EXPECT_EQ(d.msg_id, pwdscheme::kChangePasswordReplyId);
    EXPECT_EQ(store.current, "n");
    EXPECT_EQ(store.lastApp, "the-app");  // the store hears who asked
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
    const Step steps[] = {{0ms, 169},    {10ms, 169},   {20ms, 99},  {999ms, 99},
                          {1000ms, 169}, {1001ms, 169}, {1002ms, 99}};
    for (const Step& s : steps) {
        const Decision d = handler.handle(r, "app", flood, t0 + s.at);
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
        EXPECT_EQ(free.handle(r, "app", window, t0).msg_id, pwdscheme::kChangePasswordReplyId);
    }
}

TEST(RequestHandler, FaultOptionsComeFirst) {
    FailingStore store;
    FloodWindow flood;
    const wire::Request garbage = request("x", 7, "NOPE");
    RouterOptions closing;
    closing.close_on_request = true;
    closing.no_reply = true;
    EXPECT_EQ(RequestHandler(closing, store).handle(garbage, "app", flood, Clock::now()).action,
              Action::Close);
    RouterOptions silent;
    silent.no_reply = true;
    silent.force_reply = ForcedReply::Change;
    EXPECT_EQ(RequestHandler(silent, store).handle(garbage, "app", flood, Clock::now()).action,
              Action::Drop);
    RouterOptions forced;
    forced.force_reply = ForcedReply::Failure;
    forced.force_code = 42;
    forced.rate_limit = 1;
    RequestHandler handler(forced, store);
    for (int i = 0; i < 3; ++i) {  // no flood control either
        const Decision d = handler.handle(garbage, "app", flood, Clock::now());
        ASSERT_EQ(d.action, Action::Reply);
        EXPECT_EQ(d.msg_id, pwdscheme::kFailureReplyId);
        EXPECT_EQ(firstInt(d), 42);
    }
    EXPECT_EQ(store.current, "cur");
}

}  // namespace
}  // namespace qova::router
