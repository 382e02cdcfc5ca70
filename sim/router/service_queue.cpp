#include "service_queue.h"

#include <algorithm>
#include <boost/asio/post.hpp>
#include <thread>

namespace qova::router {

namespace asio = boost::asio;
using SteadyClock = std::chrono::steady_clock;

ServiceQueue::ServiceQueue(asio::io_context& io, std::size_t threads)
    : io_(io), threads_(std::max<std::size_t>(threads, 1)), pool_(threads_), wake_(io) {}

ServiceQueue::~ServiceQueue() { stop(); }

std::size_t ServiceQueue::defaultThreads() {
    return std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, 8);
}

bool ServiceQueue::push(std::uint64_t id, Job job, Done done) {
    if (!*alive_) return false;
    Lane& lane = lanes_[id];
    const bool firstOfNewcomer = lane.failures == 0 && lane.waiting.empty() && !lane.running;
    if ((waiting_ >= kMaxWaitingJobs && !firstOfNewcomer) ||
        (lane.failures > 0 && lane.waiting.size() >= kMaxWaitingPerFailedLane)) {
        forgetIfDone(id);
        return false;
    }
    lane.waiting.push_back({std::move(job), std::move(done)});
    ++waiting_;
    if (lane.waiting.size() == 1 && !lane.running) turns_.push_back(id);
    pump();
    return true;
}

void ServiceQueue::closeLane(std::uint64_t id) {
    const auto it = lanes_.find(id);
    if (it == lanes_.end()) return;
    it->second.closed = true;
    forgetIfDone(id);
}

std::size_t ServiceQueue::pending(std::uint64_t id) const {
    const auto it = lanes_.find(id);
    if (it == lanes_.end()) return 0;
    return it->second.waiting.size() + (it->second.running ? 1 : 0);
}

// Starts jobs while workers are free.  Lanes that have never failed go
// first, in turn; then, in turn, those that have failed and whose penalty is
// over.  A lane whose job has run goes to the back of the turns.
void ServiceQueue::pump() {
    while (running_ < threads_ && !turns_.empty()) {
        const SteadyClock::time_point now = SteadyClock::now();
        auto next = std::find_if(turns_.begin(), turns_.end(),
                                 [this](std::uint64_t id) { return lanes_.at(id).failures == 0; });
        if (next == turns_.end()) {
            next = std::find_if(turns_.begin(), turns_.end(), [this, now](std::uint64_t id) {
                return lanes_.at(id).not_before <= now;
            });
        }
        if (next == turns_.end()) {
            // Every lane waits out a penalty: wake up for the first to end.
            SteadyClock::time_point first = SteadyClock::time_point::max();
            for (const std::uint64_t id : turns_) first = std::min(first, lanes_.at(id).not_before);
            wake_.expires_at(first);
            wake_.async_wait([this, alive = alive_](boost::system::error_code ec) {
                if (!ec && *alive) pump();
            });
            return;
        }
        const std::uint64_t id = *next;
        turns_.erase(next);
        start(id, lanes_.at(id));
    }
}

void ServiceQueue::start(std::uint64_t id, Lane& lane) {
    Task task = std::move(lane.waiting.front());
    lane.waiting.pop_front();
    --waiting_;
    lane.running = true;
    ++running_;
    asio::post(pool_, [this, id, job = std::move(task.job), done = std::move(task.done),
                       alive = alive_]() mutable {
        Decision decision = job();
        job = nullptr;  // its inputs go here, on the worker
        asio::post(io_, [this, id, decision = std::move(decision), done = std::move(done),
                         alive = std::move(alive)]() mutable {
            if (!*alive) return;  // stopped: the queue may be gone
            finished(id, decision.wrong_password);
            done(std::move(decision));
            pump();
        });
    });
}

void ServiceQueue::finished(std::uint64_t id, bool wrongPassword) {
    --running_;
    Lane& lane = lanes_.at(id);
    lane.running = false;
    if (wrongPassword) {
        ++lane.failures;
        const unsigned doublings = std::min(lane.failures - 1, 16u);
        const auto penalty =
            std::min<SteadyClock::duration>(kFirstPenalty * (1u << doublings), kMaxPenalty);
        lane.not_before = SteadyClock::now() + penalty;
    }
    if (!lane.waiting.empty()) {
        turns_.push_back(id);
    } else {
        forgetIfDone(id);
    }
}

void ServiceQueue::forgetIfDone(std::uint64_t id) {
    const auto it = lanes_.find(id);
    if (it != lanes_.end() && it->second.closed && it->second.waiting.empty() &&
        !it->second.running) {
        lanes_.erase(it);
    }
}

void ServiceQueue::stop() {
    if (!*alive_) return;
    *alive_ = false;
    wake_.cancel();
    lanes_.clear();
    turns_.clear();
    waiting_ = 0;
    running_ = 0;
    pool_.stop();  // jobs not yet started on a worker are dropped
    pool_.join();
}

}  // namespace qova::router
