// objects.h -- the objects behind the handles of qova.h.
//
// A connection owns its socket, the requests that still await a reply and
// the replies and notices that await a listener.  Publishers and listeners
// point to their connection, which keeps a list of them; destroying the
// connection first detaches them (their calls then fail with QOVA_E_STATE),
// so no pointer dangles whatever order the caller destroys things in.
//
// The reply guarantee lives here.  Every request posted with QOVA_POST_REPLY
// gets an entry in `pending_` with its deadline.  The entry ends exactly once:
// when the reply arrives (the reply is delivered), or when the deadline
// passes (a QOVA_MSG_TIMEOUT notice is delivered and a later reply is
// dropped).  Entries outlive closing and reopening the socket, because the
// router keeps replies for a session across reconnects.  Replies and notices
// wait in `held_` until a listener with their ref is ACTIVE and
// qova_conn_process runs.
#ifndef SIM_LIBQOVA_OBJECTS_H
#define SIM_LIBQOVA_OBJECTS_H

#include <qova.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fd.h"
#include "scheme.h"
#include "wire.h"

struct qova_scheme {
    qova::scheme::Scheme scheme;
};

struct qova_listener {
    qova_conn* conn = nullptr;  // null once the connection was destroyed
    std::string ref;
    qova_callback_t callback = nullptr;
    void* user_data = nullptr;
    std::uint32_t state = QOVA_STATE_CLOSED;
};

struct qova_publisher {
    // A message handed out by qova_pub_msgnew; the body is wiped when freed.
    struct OwnedMessage {
        qova_msg_t msg{};
        std::string body;
        ~OwnedMessage();
    };

    qova_conn* conn = nullptr;  // null once the connection was destroyed
    std::string service;
    std::string name;
    std::string category;
    std::shared_ptr<const qova_scheme> scheme;
    std::uint32_t state = QOVA_STATE_CLOSED;
    std::map<const qova_msg_t*, std::unique_ptr<OwnedMessage>> messages;
};

struct qova_conn {
  public:
    qova_conn(std::string address, std::string app_name, std::string local_pass,
              std::uint32_t reply_timeout_ms, std::uint32_t connect_timeout_ms);
    ~qova_conn();
    qova_conn(const qova_conn&) = delete;
    qova_conn& operator=(const qova_conn&) = delete;

    std::uint32_t state() const { return state_; }
    bool processing() const { return processing_; }

    qova_result_t open();
    void close();
    qova_result_t process(std::uint32_t timeout_ms);

    void attach(qova_publisher* pub) { publishers_.push_back(pub); }
    void attach(qova_listener* lsn) { listeners_.push_back(lsn); }
    void detach(qova_publisher* pub);
    void detach(qova_listener* lsn);

    // Sends Subscribe or Unsubscribe for a listener's ref.
    qova_result_t subscribe(const std::string& ref, bool on);
    // Sends `msg` for `pub`; with `expect_reply` registers the reply guarantee.
    qova_result_t post(qova_publisher& pub, const qova_msg_t& msg, bool expect_reply);

  private:
    struct Pending {
        std::string ref;
        qova::lib::Clock::time_point deadline;
        std::shared_ptr<const qova_scheme> scheme;
    };
    struct Held {
        std::string ref;
        std::uint32_t type = QOVA_MSG_DATA;
        std::uint32_t msg_id = 0;
        std::string body;
    };

    // Marks the connection lost: logs `why`, closes the socket, state ERROR
    // for it and for its open publishers and listeners.
    void fail(const std::string& why);
    // Closes the socket; publishers and listeners go to CLOSED, or to ERROR
    // (the ACTIVE ones) when the connection was `lost`.
    void dropSocket(bool lost);
    // Ends a failed open: logs `why`, closes the socket, state CLOSED.
    qova_result_t refuseOpen(qova_result_t code, const std::string& why);
    // Queue and send; false with the reason in `error` when sending failed.
    bool queueFrame(std::string frame, std::string& error);
    bool flush(std::string& error);
    qova_result_t handshake(qova::lib::Clock::time_point deadline);
    // Reads what has arrived and handles every complete frame.
    void readInput();
    void handleBuffered();
    // False when the connection failed (then it is already marked lost).
    bool handleFrame(const qova::wire::Frame& frame);
    bool fireDue();
    bool deliverHeld();
    qova_listener* activeListener(const std::string& ref) const;
    int nextWaitMillis(std::uint32_t timeout_ms) const;

    const std::string address_;
    const std::string app_name_;
    std::string local_pass_;  // wiped on destruction
    const std::uint32_t reply_timeout_ms_;
    const std::uint32_t connect_timeout_ms_;
    qova::wire::SessionId session_{};

    std::uint32_t state_ = QOVA_STATE_CLOSED;
    qova::lib::Fd socket_;
    std::uint64_t generation_ = 0;  // counts sockets, to notice a close inside a callback
    std::string in_;
    std::string out_;
    bool processing_ = false;

    std::uint32_t next_request_id_ = 0;
    std::map<std::uint32_t, Pending> pending_;
    std::deque<Held> held_;

    std::vector<qova_publisher*> publishers_;
    std::vector<qova_listener*> listeners_;
};

#endif  // SIM_LIBQOVA_OBJECTS_H
