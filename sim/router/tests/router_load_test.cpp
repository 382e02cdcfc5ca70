// qova-router under hostile load: hashes that must not stall the I/O
// thread, a full router that makes room, frames that never finish, guessed
// local passwords, and no core file.  These check the mechanisms; the times
// they buy are measured by bench/router_flood_bench.sh.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <testsupport/scratch.h>

#include <algorithm>
#include <memory>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "raw_client.h"
#include "router_test_support.h"

namespace qova::router::testing {
namespace {

// The Welcome in the next frame; nullopt when none came within `timeout`
// or the connection closed first.
std::optional<wire::Welcome> welcome(RawClient& client, std::chrono::milliseconds timeout) {
    wire::Frame frame;
    if (client.read(frame, timeout) != RawClient::Read::Frame) return std::nullopt;
    wire::Welcome w;
    std::string error;
    if (frame.type != wire::FrameType::Welcome || !wire::parse(frame, w, error))
        return std::nullopt;
    return w;
}

TEST(RouterUnderLoad, AnswersAHelloWhileHashesRun) {
    // A database at the default hash cost, where each check of a password
    // takes a noticeable time.
    testsupport::ScratchDir dir;
    const std::string db = dir.path("account.db");
    const testsupport::RunResult init = runRouter({"--db", db, "--init-password"}, "old-secret\n");
    ASSERT_EQ(init.exitCode(), 0) << init.err;
    RouterProcess router({"--db", db});

    // Four connections post two wrong guesses each (more would mostly wait
    // out the penalties of wrong guesses).
    constexpr int kGuessers = 4;
    constexpr int kGuesses = 2;
    std::vector<std::unique_ptr<RawClient>> guessers;
    for (int g = 0; g < kGuessers; ++g) {
        guessers.push_back(std::make_unique<RawClient>(router.port()));
        guessers.back()->open(sessionId(static_cast<std::uint8_t>(20 + g)));
        for (int i = 1; i <= kGuesses; ++i) {
            guessers.back()->post(static_cast<std::uint32_t>(i), changeBody("wrong", "x"));
        }
    }
    // A newcomer is welcomed while most of the guesses are still being checked.
    RawClient newcomer(router.port());
    EXPECT_EQ(newcomer.hello(sessionId(30)).status, wire::WelcomeStatus::Accepted);
    std::vector<int> answered(kGuessers, 0);
    for (int g = 0; g < kGuessers; ++g) {
        while (guessers[g]->reply(20ms)) ++answered[g];
    }
    EXPECT_LT(std::accumulate(answered.begin(), answered.end(), 0), kGuessers * kGuesses);
    // Every guess is answered in the end.
    for (int g = 0; g < kGuessers; ++g) {
        for (; answered[g] < kGuesses; ++answered[g]) {
            const auto reply = guessers[g]->reply(30s);
            ASSERT_TRUE(reply) << "guesser " << g;
            EXPECT_EQ(replyFields(*reply).first, 1);
        }
    }
}

TEST(RouterUnderLoad, AFullRouterClosesTheLongestIdleConnectionForANewcomer) {
    // Replies are held for a minute, so a connection that posts stays busy.
    RouterProcess router({"--reply-delay-ms", "60000"});
    RawClient busy(router.port());  // the oldest, but owed a reply
    busy.open(sessionId(1));
    busy.post(1, changeBody("wrong", "x"));
    RawClient subscriber(router.port());  // idle longest, however often it subscribes
    subscriber.open(sessionId(2));
    std::vector<std::unique_ptr<RawClient>> others;
    for (int i = 0; i < 898; ++i) {  // 900 open in all
        others.push_back(std::make_unique<RawClient>(router.port()));
        ASSERT_EQ(others.back()->hello(sessionId(3)).status, wire::WelcomeStatus::Accepted) << i;
    }
    subscriber.sendBytes(wire::encode(wire::FrameType::Subscribe, wire::Subscription{"again"}));

    RawClient first(router.port());
    EXPECT_EQ(first.hello(sessionId(4)).status, wire::WelcomeStatus::Accepted);
    EXPECT_TRUE(subscriber.closedWithin(5s));
    RawClient second(router.port());
    EXPECT_EQ(second.hello(sessionId(5)).status, wire::WelcomeStatus::Accepted);
    EXPECT_TRUE(others.front()->closedWithin(5s));  // the next longest idle
    EXPECT_FALSE(busy.closedWithin(200ms));
    EXPECT_FALSE(others.back()->closedWithin(200ms));
    EXPECT_NE(router.log().find("making room for a new connection"), std::string::npos);
}

TEST(RouterUnderLoad, CutsAFrameThatNeverFinishes) {
    RouterProcess router;
    RawClient client(router.port());
    client.open(sessionId(6));
    const std::string frame =
        wire::encode(wire::FrameType::Subscribe, wire::Subscription{"never-finished"});
    client.sendBytes(frame.substr(0, frame.size() - 1));
    EXPECT_TRUE(client.closedWithin(15s));
    EXPECT_NE(router.log().find("a frame did not arrive whole"), std::string::npos) << router.log();
}

TEST(RouterUnderLoad, HoldsBackWrongLocalPasswordsWithoutBlockingOthers) {
    testsupport::ScratchDir dir;
    const std::string file = dir.write("local-pass", "lp-secret\r\nnot this line\n");
    RouterProcess router({"--local-pass-file", file});
    EXPECT_EQ(testsupport::readFile("/proc/" + std::to_string(router.pid()) + "/cmdline")
                  .find("lp-secret"),
              std::string::npos);

    constexpr int kGuesses = 20;  // answered at about ten a second: 2 s in all
    std::vector<std::unique_ptr<RawClient>> guesses;
    for (int i = 0; i < kGuesses; ++i) {
        guesses.push_back(std::make_unique<RawClient>(router.port()));
        guesses.back()->sendBytes(wire::encode(wire::Hello{
            sessionId(static_cast<std::uint8_t>(40 + i)), "guess", "guess-" + std::to_string(i)}));
    }
    // The right local password is welcomed at once, while refusals wait.
    RawClient right(router.port());
    EXPECT_EQ(right.hello(sessionId(7), "lp-secret").status, wire::WelcomeStatus::Accepted);
    std::vector<std::optional<wire::Welcome>> answers;
    for (auto& g : guesses) answers.push_back(welcome(*g, 5ms));
    EXPECT_LT(std::count_if(answers.begin(), answers.end(), [](const auto& a) { return a; }),
              kGuesses);
    for (int i = 0; i < kGuesses; ++i) {
        if (!answers[i]) answers[i] = welcome(*guesses[i], 10s);
        ASSERT_TRUE(answers[i]) << "no refusal for guess " << i;
        EXPECT_EQ(answers[i]->status, wire::WelcomeStatus::BadLocalPass);
    }
    for (auto& g : guesses) EXPECT_TRUE(g->closedWithin(5s));
    EXPECT_NE(router.log().find("wrong local password; refused in"), std::string::npos);
}

TEST(RouterUnderLoad, DumpsNoCore) {
    RouterProcess router;
    rlimit core{RLIM_INFINITY, RLIM_INFINITY};
    ASSERT_EQ(::prlimit(router.pid(), RLIMIT_CORE, nullptr, &core), 0);
    EXPECT_EQ(core.rlim_cur, 0u);
    EXPECT_EQ(core.rlim_max, 0u);
}

}  // namespace
}  // namespace qova::router::testing
