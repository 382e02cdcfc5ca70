// The worker pool of the password service and its fair queue, driven
// directly with jobs that answer at once (or wait for one another).
#include "service_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qova::router {
namespace {

using namespace std::chrono_literals;

ServiceQueue::Job answer(bool wrongPassword) {
    return [wrongPassword] {
        Decision d;
        d.wrong_password = wrongPassword;
        return d;
    };
}

// Runs the io_context until `order` holds `count` entries (at most 10 s).
void runUntil(boost::asio::io_context& io, const std::vector<std::string>& order,
              std::size_t count) {
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (order.size() < count && std::chrono::steady_clock::now() < end) {
        io.run_for(10ms);
        io.restart();
    }
    ASSERT_EQ(order.size(), count);
}

TEST(ServiceQueue, TakesConnectionsInTurnAndHoldsBackWrongGuessers) {
    boost::asio::io_context io;
    ServiceQueue queue(io, 1);
    std::vector<std::string> order;
    const auto note = [&order](std::string name) {
        return [&order, name](Decision) { order.push_back(name); };
    };
    // Connection 1 queues five requests before connection 2 queues one: the
    // newcomer goes second, not sixth.
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(queue.push(1, answer(false), note("a" + std::to_string(i))));
    }
    ASSERT_TRUE(queue.push(2, answer(false), note("b0")));
    EXPECT_EQ(queue.pending(1), 5u);
    EXPECT_EQ(queue.pending(), 6u);
    runUntil(io, order, 6);
    EXPECT_EQ(order, (std::vector<std::string>{"a0", "b0", "a1", "a2", "a3", "a4"}));

    // Connection 3 guesses wrong: those that connection 4, which has not
    // failed, queues later go first, and its next request waits at least
    // the first penalty.
    order.clear();
    std::chrono::steady_clock::time_point failedAt, retriedAt;
    ASSERT_TRUE(queue.push(3, answer(true), [&](Decision) {
        failedAt = std::chrono::steady_clock::now();
        order.push_back("c0");
    }));
    ASSERT_TRUE(queue.push(3, answer(false), [&](Decision) {
        retriedAt = std::chrono::steady_clock::now();
        order.push_back("c1");
    }));
    runUntil(io, order, 1);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(queue.push(4, answer(false), note("d" + std::to_string(i))));
    }
    runUntil(io, order, 5);
    EXPECT_GE(retriedAt - failedAt, ServiceQueue::kFirstPenalty);
    EXPECT_EQ(order, (std::vector<std::string>{"c0", "d0", "d1", "d2", "c1"}));

    // A connection that has failed may keep only so many waiting; one that
    // has not is never refused.
    std::size_t accepted = 0;
    for (std::size_t i = 0; i < ServiceQueue::kMaxWaitingPerFailedLane + 10; ++i) {
        accepted += queue.push(3, answer(false), [](Decision) {}) ? 1 : 0;
    }
    EXPECT_EQ(accepted, ServiceQueue::kMaxWaitingPerFailedLane + 1);  // the first runs at once
    for (std::size_t i = 0; i < ServiceQueue::kMaxWaitingPerFailedLane + 10; ++i) {
        EXPECT_TRUE(queue.push(5, answer(false), [](Decision) {}));
    }
}

TEST(ServiceQueue, BoundsWhatWaitsButAlwaysTakesANewcomersRequest) {
    boost::asio::io_context io;
    ServiceQueue queue(io, 1);
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
    // One job holds the only worker until the end of the test.
    ASSERT_TRUE(queue.push(
        9,
        [&] {
            std::unique_lock<std::mutex> lock(mutex);
            released.wait_for(lock, 10s, [&] { return release; });
            return Decision{};
        },
        [](Decision) {}));
    for (std::size_t i = 0; i < ServiceQueue::kMaxWaitingJobs; ++i) {
        ASSERT_TRUE(queue.push(1, answer(false), [](Decision) {})) << i;
    }
    EXPECT_FALSE(queue.push(1, answer(false), [](Decision) {}));
    EXPECT_TRUE(queue.push(2, answer(false), [](Decision) {}));  // its only one
    EXPECT_FALSE(queue.push(2, answer(false), [](Decision) {}));
    {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
    }
    released.notify_all();
}

TEST(ServiceQueue, RunsConnectionsInParallelButOneJobOfEachAtATime) {
    boost::asio::io_context io;
    ServiceQueue queue(io, 2);
    std::mutex mutex;
    std::condition_variable changed;
    int running = 0;
    int mostAtOnce = 0;
    std::atomic<int> laneOneAtOnce{0};
    std::atomic<bool> laneOneOverlapped{false};
    // Each job waits (at most 5 s) until another job runs beside it.
    const auto job = [&](bool laneOne) {
        return [&, laneOne] {
            if (laneOne && laneOneAtOnce.fetch_add(1) > 0) laneOneOverlapped = true;
            std::unique_lock<std::mutex> lock(mutex);
            ++running;
            mostAtOnce = std::max(mostAtOnce, running);
            changed.notify_all();
            changed.wait_for(lock, 5s, [&] { return running >= 2; });
            changed.wait_for(lock, 50ms);
            --running;
            if (laneOne) laneOneAtOnce.fetch_sub(1);
            return Decision{};
        };
    };
    std::vector<std::string> order;
    ASSERT_TRUE(queue.push(1, job(true), [&](Decision) { order.push_back("a0"); }));
    ASSERT_TRUE(queue.push(1, job(true), [&](Decision) { order.push_back("a1"); }));
    ASSERT_TRUE(queue.push(2, job(false), [&](Decision) { order.push_back("b0"); }));
    ASSERT_TRUE(queue.push(3, job(false), [&](Decision) { order.push_back("c0"); }));
    runUntil(io, order, 4);
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(mostAtOnce, 2);  // two workers, two connections at once
    EXPECT_FALSE(laneOneOverlapped);
}

TEST(ServiceQueue, StopWaitsForRunningJobsAndRunsNoMoreCompletions) {
    boost::asio::io_context io;
    std::atomic<int> started{0};
    std::atomic<int> ran{0};
    int completed = 0;
    {
        ServiceQueue queue(io, 1);
        const auto slow = [&started, &ran] {
            ++started;
            std::this_thread::sleep_for(50ms);
            ++ran;
            return Decision{};
        };
        ASSERT_TRUE(queue.push(1, slow, [&](Decision) { ++completed; }));
        ASSERT_TRUE(queue.push(2, slow, [&](Decision) { ++completed; }));
        for (int i = 0; i < 500 && started.load() == 0; ++i) std::this_thread::sleep_for(10ms);
        ASSERT_EQ(started.load(), 1);
        queue.stop();
        EXPECT_EQ(ran.load(), 1);  // the running job finished; the waiting one was dropped
        EXPECT_FALSE(queue.push(3, slow, [&](Decision) { ++completed; }));
    }
    io.run_for(100ms);  // the first job's completion, posted before the stop, does nothing
    EXPECT_EQ(completed, 0);
    EXPECT_EQ(ran.load(), 1);
}

}  // namespace
}  // namespace qova::router
