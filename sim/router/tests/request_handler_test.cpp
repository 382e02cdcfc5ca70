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
        ++calls;
        if (failure) throw StoreError(failure);
        lastApp = appName;
        const ChangeOutcome outcome = judgeChange(verify(oldPassword), oldPassword, newPassword);
        if (outcome.code == kChanged) current = newPassword;
        return outcome;
    }
    std::string current = "cur";
    std::string lastApp;
    const char* failure = nullptr;
    int calls = 0;
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
    for (const char* failure : {"disk full", "database is locked"}) {
        store.failure = failure;
        const Decision d = handler.serve(changeBody("cur", "n"), "app");
        ASSERT_EQ(d.action, Action::Reply);
        EXPECT_EQ(d.msg_id, pwdscheme::kFailureReplyId);
        EXPECT_EQ(firstInt(d), kStoreFailure);
        EXPECT_EQ(std::string(d.body.c_str() + pwdscheme::kFailureMessageOffset),
                  std::string("Account store failed: ") + failure);
        EXPECT_EQ(store.current, "cur");
    }
    store.failure = nullptr;
    const Decision wrong = handler.serve(changeBody("bad", "n"), "app");
    EXPECT_EQ(wrong.msg_id, pwdscheme::kChangePasswordReplyId);
    EXPECT_TRUE(wrong.wrong_password);  // slows the connection down
    const Decision d = handler.serve(changeBody("cur", "n"), "the-app");
    EXPECT_EQ(d.msg_id, pwdscheme::kChangePasswordReplyId);
    EXPECT_FALSE(d.wrong_password);
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
        Action action;  // Serve, or Reply 99
    };
    const Step steps[] = {{0ms, Action::Serve},   {10ms, Action::Serve},   {20ms, Action::Reply},
                          {999ms, Action::Reply}, {1000ms, Action::Serve}, {1001ms, Action::Serve},
                          {1002ms, Action::Reply}};
    for (const Step& s : steps) {
        const Decision d = handler.handle(r, flood, t0 + s.at);
        EXPECT_EQ(d.action, s.action) << "at " << s.at.count() << " ms";
        if (d.action == Action::Reply) {
            EXPECT_EQ(d.msg_id, pwdscheme::kFloodReplyId);
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
        EXPECT_EQ(free.handle(r, window, t0).action, Action::Serve);
    }
    EXPECT_EQ(store.calls, 0);  // deciding never waits for the store
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
