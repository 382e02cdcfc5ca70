// qova_double.cpp -- the scripted gateway double (see qova_double.h).
#include "qova_double.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

struct qova_conn {
    std::uint32_t state = QOVA_STATE_CLOSED;
};
struct qova_publisher {
    qova_conn* conn = nullptr;
    std::uint32_t state = QOVA_STATE_CLOSED;
};
struct qova_listener {
    qova_conn* conn = nullptr;
    std::uint32_t state = QOVA_STATE_CLOSED;
    qova_callback_t callback = nullptr;
    void* user_data = nullptr;
};
struct qova_scheme {
    int unused = 0;
};

namespace qova_double {
namespace {

Script g_script;
Record g_record;
qova_scheme g_scheme;
// The last publisher and listener created: a lost connection closes them.
qova_publisher* g_publisher = nullptr;
qova_listener* g_listener = nullptr;

std::string hex(const void* p) { return p == nullptr ? "null" : "ptr"; }

// Records the call; returns the scripted result for it (0 when none).
qova_result_t enter(const char* name, std::vector<std::string> args = {}) {
    g_record.calls.push_back(Call{name, std::move(args)});
    auto found = g_script.results.find(name);
    if (found == g_script.results.end() || found->second.empty()) {
        return QOVA_OK;
    }
    const qova_result_t result = found->second.front();
    found->second.pop_front();
    return result;
}

qova_result_t reportState(const char* name, std::uint32_t simulated, std::uint32_t* out) {
    if (const qova_result_t r = enter(name); r != QOVA_OK) {
        return r;
    }
    if (g_record.calls.size() > g_script.max_calls) {
        g_record.runaway = true;
        return QOVA_E_IO;
    }
    auto& queue = g_script.states[name];
    if (!queue.empty()) {
        simulated = queue.front();
        queue.pop_front();
    }
    *out = simulated;
    return QOVA_OK;
}

template <class Object>
qova_result_t openObject(const char* name, Object* object, const char* settings) {
    if (const qova_result_t r = enter(name, {hex(object), settings ? settings : "null"});
        r != QOVA_OK) {
        return r;
    }
    object->state = QOVA_STATE_ACTIVE;
    return QOVA_OK;
}

template <class Object>
qova_result_t closeObject(const char* name, Object* object) {
    if (const qova_result_t r = enter(name, {hex(object)}); r != QOVA_OK) {
        return r;
    }
    object->state = QOVA_STATE_CLOSED;
    return QOVA_OK;
}

// `latest` forgets the object when it is the one a lost connection affects.
template <class Object>
qova_result_t destroyObject(const char* name, Object* object, Object** latest) {
    const qova_result_t r = enter(name, {hex(object)});
    if (object != nullptr) {
        if (latest != nullptr && *latest == object) {
            *latest = nullptr;
        }
        delete object;
        --g_record.live_objects;
    }
    return r;
}

void deliver(qova_conn* conn, const Message& m) {
    if (g_listener == nullptr || g_listener->callback == nullptr) {
        return;
    }
    qova_msg_t msg{};
    msg.type = m.type;
    msg.msg_id = m.msg_id;
    msg.body_size = m.null_body ? 0 : m.body.size();
    // Exactly the bytes delivered: reading past them is a heap overflow that
    // the sanitizer build reports.
    void* body = nullptr;
    if (!m.null_body && !m.body.empty()) {
        body = std::malloc(m.body.size());
        std::memcpy(body, m.body.data(), m.body.size());
    }
    msg.body = body;
    g_listener->callback(conn, g_listener, &msg, g_listener->user_data);
    std::free(body);
}

}  // namespace

Script& script() { return g_script; }
const Record& record() { return g_record; }

void reset() {
    g_script = Script();
    g_record = Record();
    g_publisher = nullptr;
    g_listener = nullptr;
}

std::vector<std::string> Record::names() const {
    std::vector<std::string> out;
    for (const auto& c : calls) {
        out.push_back(c.name);
    }
    return out;
}

std::size_t Record::count(const std::string& name) const {
    std::size_t n = 0;
    for (const auto& c : calls) {
        n += c.name == name ? 1 : 0;
    }
    return n;
}

const Call* Record::first(const std::string& name) const {
    for (const auto& c : calls) {
        if (c.name == name) {
            return &c;
        }
    }
    return nullptr;
}

}  // namespace qova_double

using namespace qova_double;

extern "C" {

qova_result_t qova_env_open(const char* settings) {
    return enter("qova_env_open", {settings ? settings : "null"});
}

qova_result_t qova_env_close(void) { return enter("qova_env_close"); }

qova_result_t qova_conn_new(const char* url, qova_conn_t** conn) {
    if (const qova_result_t r = enter("qova_conn_new", {url ? url : "null"}); r != QOVA_OK) {
        return r;
    }
    *conn = new qova_conn;
    ++g_record.live_objects;
    return QOVA_OK;
}

qova_result_t qova_conn_destroy(qova_conn_t* conn) {
    return destroyObject<qova_conn>("qova_conn_destroy", conn, nullptr);
}

qova_result_t qova_conn_open(qova_conn_t* conn, const char* settings) {
    return openObject("qova_conn_open", conn, settings);
}

qova_result_t qova_conn_close(qova_conn_t* conn) {
    if (const qova_result_t r = enter("qova_conn_close", {hex(conn)}); r != QOVA_OK) {
        return r;
    }
    conn->state = QOVA_STATE_CLOSED;
    if (g_publisher != nullptr) {
        g_publisher->state = QOVA_STATE_CLOSED;
    }
    if (g_listener != nullptr) {
        g_listener->state = QOVA_STATE_CLOSED;
    }
    return QOVA_OK;
}

qova_result_t qova_conn_getstate(qova_conn_t* conn, uint32_t* state) {
    return reportState("qova_conn_getstate", conn->state, state);
}

qova_result_t qova_conn_process(qova_conn_t* conn, uint32_t timeout_ms, void* reserved) {
    if (const qova_result_t r =
            enter("qova_conn_process", {std::to_string(timeout_ms), hex(reserved)});
        r != QOVA_OK) {
        return r;
    }
    if (g_script.steps.empty() ||
        (!g_script.steps.front().before_post && g_record.posted_bodies.empty())) {
        return QOVA_E_TIMEOUT;
    }
    const Step step = g_script.steps.front();
    g_script.steps.pop_front();
    switch (step.kind) {
        case Step::Kind::Deliver:
            deliver(conn, step.message);
            return QOVA_OK;
        case Step::Kind::LoseConnection:
            // The failure puts the connection and what belongs to it in
            // ERROR; closing the connection closes the others too.
            conn->state = QOVA_STATE_ERROR;
            if (g_publisher != nullptr) {
                g_publisher->state = QOVA_STATE_ERROR;
            }
            if (g_listener != nullptr) {
                g_listener->state = QOVA_STATE_ERROR;
            }
            return QOVA_OK;
        case Step::Kind::Return:
            return step.result;
    }
    return QOVA_OK;
}

qova_result_t qova_pub_new(qova_conn_t* conn, const char* url, qova_publisher_t** pub) {
    if (const qova_result_t r = enter("qova_pub_new", {hex(conn), url ? url : "null"});
        r != QOVA_OK) {
        return r;
    }
    *pub = new qova_publisher{conn, QOVA_STATE_CLOSED};
    g_publisher = *pub;
    ++g_record.live_objects;
    return QOVA_OK;
}

qova_result_t qova_pub_destroy(qova_publisher_t* pub) {
    return destroyObject("qova_pub_destroy", pub, &g_publisher);
}

qova_result_t qova_pub_open(qova_publisher_t* pub, const char* settings) {
    return openObject("qova_pub_open", pub, settings);
}

qova_result_t qova_pub_close(qova_publisher_t* pub) { return closeObject("qova_pub_close", pub); }

qova_result_t qova_pub_getstate(qova_publisher_t* pub, uint32_t* state) {
    return reportState("qova_pub_getstate", pub->state, state);
}

qova_result_t qova_pub_msgnew(qova_publisher_t* pub, uint32_t key_kind, const void* key,
                              qova_msg_t** msg) {
    const std::uint32_t id = key ? *static_cast<const std::uint32_t*>(key) : 0;
    if (const qova_result_t r =
            enter("qova_pub_msgnew", {hex(pub), std::to_string(key_kind), std::to_string(id)});
        r != QOVA_OK) {
        return r;
    }
    auto* m = new qova_msg_t{};
    m->type = QOVA_MSG_DATA;
    m->msg_id = id;
    m->body_size = g_script.msg_body_size;
    // Garbage, not zeros: the tool must clear the body itself.
    m->body = std::malloc(m->body_size == 0 ? 1 : m->body_size);
    std::memset(m->body, 0xAA, m->body_size);
    *msg = m;
    ++g_record.live_objects;
    return QOVA_OK;
}

qova_result_t qova_pub_post(qova_publisher_t* pub, qova_msg_t* msg, uint32_t flags) {
    if (const qova_result_t r = enter("qova_pub_post", {hex(pub), hex(msg), std::to_string(flags)});
        r != QOVA_OK) {
        return r;
    }
    g_record.posted_bodies.emplace_back(static_cast<const char*>(msg->body), msg->body_size);
    return QOVA_OK;
}

qova_result_t qova_pub_msgfree(qova_publisher_t* pub, qova_msg_t* msg) {
    const qova_result_t r = enter("qova_pub_msgfree", {hex(pub), hex(msg)});
    if (msg != nullptr) {
        g_record.freed_bodies.emplace_back(static_cast<const char*>(msg->body), msg->body_size);
        std::free(msg->body);
        delete msg;
        --g_record.live_objects;
    }
    return r;
}

qova_result_t qova_pub_getscheme(qova_publisher_t* pub, qova_scheme_t** scheme) {
    if (const qova_result_t r = enter("qova_pub_getscheme", {hex(pub)}); r != QOVA_OK) {
        return r;
    }
    *scheme = &g_scheme;
    return QOVA_OK;
}

qova_result_t qova_lsn_new(qova_conn_t* conn, const char* url, qova_callback_t callback,
                           void* user_data, qova_listener_t** listener) {
    if (const qova_result_t r =
            enter("qova_lsn_new", {hex(conn), url ? url : "null", hex(user_data)});
        r != QOVA_OK) {
        return r;
    }
    *listener = new qova_listener{conn, QOVA_STATE_CLOSED, callback, user_data};
    g_listener = *listener;
    ++g_record.live_objects;
    return QOVA_OK;
}

qova_result_t qova_lsn_destroy(qova_listener_t* listener) {
    return destroyObject("qova_lsn_destroy", listener, &g_listener);
}

qova_result_t qova_lsn_open(qova_listener_t* listener, const char* settings) {
    return openObject("qova_lsn_open", listener, settings);
}

qova_result_t qova_lsn_close(qova_listener_t* listener) {
    return closeObject("qova_lsn_close", listener);
}

qova_result_t qova_lsn_getstate(qova_listener_t* listener, uint32_t* state) {
    return reportState("qova_lsn_getstate", listener->state, state);
}

qova_result_t qova_msg_dump(const qova_msg_t* msg, const qova_scheme_t* scheme, char* buffer,
                            size_t* size) {
    const qova_result_t r = enter("qova_msg_dump", {hex(msg), hex(scheme), std::to_string(*size)});
    if (g_script.dump_throws) {
        throw std::runtime_error("dump exploded");
    }
    if (g_script.dump_without_nul) {
        std::memset(buffer, 'x', *size);
        return r;
    }
    const std::size_t n = std::min(g_script.dump_text.size(), *size - 1);
    std::memcpy(buffer, g_script.dump_text.data(), n);
    buffer[n] = '\0';
    *size = n;
    return r;
}

qova_result_t qova_log_info(const char* line) {
    g_record.info_lines.emplace_back(line);
    return enter("qova_log_info", {line});
}

qova_result_t qova_log_error(const char* line) {
    g_record.error_lines.emplace_back(line);
    return enter("qova_log_error", {line});
}

}  // extern "C"
