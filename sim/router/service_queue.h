// service_queue.h -- the worker threads of the password service and the fair
// queue in front of them.
//
// Checking a password against its Argon2id hash takes about 140 ms at the
// default cost, and the I/O thread must never wait for that.  Requests for
// the password service wait in one queue per connection (a lane); the queue
// starts them on a small pool of worker threads, at most one job per lane at
// a time and taking the lanes in turn, so that one connection's backlog of
// guesses never runs ahead of another connection's single request.  A lane
// whose job answered "wrong old password" is slowed down: lanes that have
// never failed go before it, and its next job waits kFirstPenalty after its
// first failure, twice as long after each further one, up to kMaxPenalty.  A
// lane that has never failed is never held back and never refused.
//
// Threads: this is the router's one place with threads.  Everything in this
// class runs on the io_context's thread except the Job functions, which run
// on a worker.  A job owns its inputs and may touch only what is safe from
// any thread (the account store locks itself); its Decision is handed back to
// the io_context's thread, where the Done function runs.  The queue's own
// state (lanes, turns, counters) is touched only on the io_context's thread
// and needs no lock.
#ifndef SIM_ROUTER_SERVICE_QUEUE_H
#define SIM_ROUTER_SERVICE_QUEUE_H

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>

#include "request_handler.h"

namespace qova::router {

class ServiceQueue {
  public:
    using Job = std::function<Decision()>;       // runs on a worker
    using Done = std::function<void(Decision)>;  // runs on the io_context's thread

    static constexpr auto kFirstPenalty = std::chrono::milliseconds(250);
    static constexpr auto kMaxPenalty = std::chrono::seconds(8);
    // A lane that has failed holds at most this many waiting jobs; the
    // queue as a whole at most kMaxWaitingJobs (beyond which only a lane's
    // first job is taken, so a newcomer's single request always is), so
    // that connections that post and leave cannot make it grow without end.
    static constexpr std::size_t kMaxWaitingPerFailedLane = 32;
    static constexpr std::size_t kMaxWaitingJobs = 4096;

    // `threads` workers (at least 1).  `io` must outlive the queue.
    ServiceQueue(boost::asio::io_context& io, std::size_t threads);
    ~ServiceQueue();
    ServiceQueue(const ServiceQueue&) = delete;
    ServiceQueue& operator=(const ServiceQueue&) = delete;

    // One worker per core, at least 1 and at most 8 (each hash at the
    // default cost takes 64 MiB).
    static std::size_t defaultThreads();

    // Queues `job` on `lane`; `done` gets its Decision later.  Returns false,
    // and queues nothing, when the lane has failed before and already holds
    // kMaxWaitingPerFailedLane waiting jobs, or when kMaxWaitingJobs wait in
    // all and this is not the only job of a lane that has never failed.
    [[nodiscard]] bool push(std::uint64_t lane, Job job, Done done);

    // The lane's connection has gone: its waiting jobs still run in turn,
    // and the lane is forgotten once they have.
    void closeLane(std::uint64_t lane);

    // Jobs waiting or running, on `lane` and in all.
    std::size_t pending(std::uint64_t lane) const;
    std::size_t pending() const { return waiting_ + running_; }

    // Drops the waiting jobs and waits for the running ones; no Done runs
    // after this.  Safe to call twice.
    void stop();

  private:
    struct Task {
        Job job;
        Done done;
    };
    struct Lane {
        std::deque<Task> waiting;
        bool running = false;
        bool closed = false;
        unsigned failures = 0;
        std::chrono::steady_clock::time_point not_before{};
    };

    void pump();
    void start(std::uint64_t id, Lane& lane);
    void finished(std::uint64_t id, bool wrongPassword);
    void forgetIfDone(std::uint64_t id);

    boost::asio::io_context& io_;
    const std::size_t threads_;
    boost::asio::thread_pool pool_;
    boost::asio::steady_timer wake_;  // for the first lane whose penalty ends
    // False once stopped; completions posted by workers check it before
    // touching the queue, which may be gone by then.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    std::map<std::uint64_t, Lane> lanes_;
    std::deque<std::uint64_t> turns_;  // lanes with a waiting job and none running, in turn
    std::size_t waiting_ = 0;
    std::size_t running_ = 0;
};

}  // namespace qova::router

#endif  // SIM_ROUTER_SERVICE_QUEUE_H
