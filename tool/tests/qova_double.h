// qova_double.h -- a scripted stand-in for the gateway library in unit tests.
//
// Implements every function of qova.h.  Each call is recorded with its
// arguments; results, states and delivered messages are played back from a
// script.  Without a script the double behaves like a healthy gateway:
// every call succeeds, open makes an object ACTIVE, close makes it CLOSED,
// and qova_conn_process reports QOVA_E_TIMEOUT (nothing came).
#ifndef TOOL_TESTS_QOVA_DOUBLE_H
#define TOOL_TESTS_QOVA_DOUBLE_H

#include <qova.h>

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace qova_double {

struct Message {
    std::uint32_t type = QOVA_MSG_DATA;
    std::uint32_t msg_id = 0;
    std::string body;  // delivered in a heap block of exactly this size
    bool null_body = false;
};

// What one qova_conn_process call does.  Steps wait for the request to be
// posted unless `before_post` is set; until then process reports nothing.
struct Step {
    enum class Kind { Deliver, LoseConnection, Return };
    Kind kind = Kind::Deliver;
    Message message;
    qova_result_t result = QOVA_OK;  // Kind::Return
    bool before_post = false;

    static Step deliver(Message m, bool beforePost = false) {
        return Step{Kind::Deliver, std::move(m), QOVA_OK, beforePost};
    }
    static Step loseConnection(bool beforePost = false) {
        return Step{Kind::LoseConnection, {}, QOVA_OK, beforePost};
    }
    static Step returns(qova_result_t r, bool beforePost = false) {
        return Step{Kind::Return, {}, r, beforePost};
    }
};

struct Script {
    // Per function name ("qova_conn_open"): results to return, first first.
    // A non-zero result skips the call's effect.  Empty queue: success.
    std::map<std::string, std::deque<qova_result_t>> results;
    // Per getstate function: states to report before the simulated one.
    std::map<std::string, std::deque<std::uint32_t>> states;
    std::deque<Step> steps;
    std::string dump_text = "KOLMA_MSG100 code=7 message=store failed";
    bool dump_without_nul = false;  // fill the whole buffer, no NUL
    bool dump_throws = false;       // a C++ exception out of qova_msg_dump
    std::size_t msg_body_size = 132;
    // A loop that never ends fails the test instead of hanging it: past this
    // many calls every getstate fails with QOVA_E_IO.
    std::size_t max_calls = 20000;
};

struct Call {
    std::string name;
    std::vector<std::string> args;
};

struct Record {
    std::vector<Call> calls;
    std::vector<std::string> posted_bodies;
    std::vector<std::string> freed_bodies;  // as they were when freed
    std::vector<std::string> info_lines;
    std::vector<std::string> error_lines;
    int live_objects = 0;  // connections, publishers, listeners, messages
    bool runaway = false;

    // Names of the calls in order, optionally only those in `only`.
    std::vector<std::string> names() const;
    std::size_t count(const std::string& name) const;
    const Call* first(const std::string& name) const;
};

Script& script();
const Record& record();
// Forgets the script, the record and the simulated objects' states.
void reset();

}  // namespace qova_double

#endif  // TOOL_TESTS_QOVA_DOUBLE_H
