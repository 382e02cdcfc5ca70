// api.cpp -- the exported C functions of libqova.so.5.  Each one checks its
// arguments, turns every exception into a result code (none may cross the C
// boundary), and leaves the work to the objects of objects.h.
#include <qova.h>

#include <cstring>
#include <new>
#include <stdexcept>

#include "dump.h"
#include "environment.h"
#include "objects.h"
#include "params.h"
#include "wire.h"

namespace {

template <class F>
qova_result_t guarded(F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return QOVA_E_NOMEM;
    } catch (const std::length_error&) {
        return QOVA_E_NOMEM;
    } catch (...) {
        // Only an operating-system call that should never fail (getrandom)
        // throws anything else.
        return QOVA_E_IO;
    }
}

// Parses a URL of `scheme` whose parameters must be among `known`.
qova_result_t parseUrl(const char* text, const char* scheme, const std::vector<std::string>& known,
                       qova::text::Url& url) {
    std::string error;
    if (!qova::text::parseUrl(text, url, error) || url.scheme != scheme ||
        url.params.firstUnknown(known))
        return QOVA_E_URL;
    return QOVA_OK;
}

// The settings of the *_open functions: none are defined, so the text must
// be NULL, empty, or well-formed without pairs (";" alone is not accepted).
qova_result_t checkOpenSettings(const char* settings) {
    qova::text::Params params;
    std::string error;
    if (settings && (!qova::text::parseParams(settings, params, error) || !params.items.empty()))
        return QOVA_E_SETTINGS;
    return QOVA_OK;
}

qova_result_t writeLine(qova::lib::LogLevel level, const char* line) {
    if (!line) return QOVA_E_INVALID_ARG;
    return guarded([&] { return qova::lib::writeLog(level, line); });
}

}  // namespace

extern "C" {

qova_result_t qova_env_open(const char* settings) {
    return guarded([&] { return qova::lib::openEnvironment(settings); });
}

qova_result_t qova_env_close(void) {
    qova::lib::closeEnvironment();
    return QOVA_OK;
}

qova_result_t qova_conn_new(const char* url, qova_conn_t** conn) {
    if (!url || !conn) return QOVA_E_INVALID_ARG;
    *conn = nullptr;
    return guarded([&] {
        const qova::lib::Environment* env = qova::lib::environment();
        if (!env) return QOVA_E_NOT_READY;
        qova::text::Url parsed;
        if (const qova_result_t rc = parseUrl(url, "zttcp", {"app_name", "local_pass"}, parsed))
            return rc;
        const std::string* app_name = parsed.params.find("app_name");
        if (!app_name) return QOVA_E_URL;
        const std::string* local_pass = parsed.params.find("local_pass");
        // Both travel in the Hello frame; cut, they would name another
        // application or present another password.
        if (!qova::wire::helloFits(app_name->size(), local_pass ? local_pass->size() : 0))
            return QOVA_E_URL;
        *conn = new qova_conn(parsed.address, *app_name, local_pass ? *local_pass : std::string(),
                              env->reply_timeout_ms, env->connect_timeout_ms);
        return QOVA_OK;
    });
}

qova_result_t qova_conn_destroy(qova_conn_t* conn) {
    if (!conn) return QOVA_OK;
    if (conn->processing()) return QOVA_E_STATE;
    delete conn;
    return QOVA_OK;
}

qova_result_t qova_conn_open(qova_conn_t* conn, const char* settings) {
    if (!conn) return QOVA_E_INVALID_ARG;
    if (const qova_result_t rc = checkOpenSettings(settings)) return rc;
    const qova_result_t rc = guarded([&] { return conn->open(); });
    // An exception (out of memory) must not leave OPENING behind.
    if (conn->state() == QOVA_STATE_OPENING) conn->close();
    return rc;
}

qova_result_t qova_conn_close(qova_conn_t* conn) {
    if (conn) conn->close();
    return QOVA_OK;
}

qova_result_t qova_conn_getstate(qova_conn_t* conn, uint32_t* state) {
    if (!conn || !state) return QOVA_E_INVALID_ARG;
    *state = conn->state();
    return QOVA_OK;
}

qova_result_t qova_conn_process(qova_conn_t* conn, uint32_t timeout_ms, void* reserved) {
    if (!conn || reserved) return QOVA_E_INVALID_ARG;
    return guarded([&] { return conn->process(timeout_ms); });
}

qova_result_t qova_pub_new(qova_conn_t* conn, const char* url, qova_publisher_t** pub) {
    if (!conn || !url || !pub) return QOVA_E_INVALID_ARG;
    *pub = nullptr;
    return guarded([&] {
        qova::text::Url parsed;
        if (const qova_result_t rc =
                parseUrl(url, "ztmqpwd", {"name", "category", "scheme"}, parsed))
            return rc;
        const std::string* name = parsed.params.find("name");
        const std::string* text = parsed.params.find("scheme");
        if (parsed.address.empty() || !name || name->empty() || !text) return QOVA_E_URL;
        auto scheme = std::make_shared<qova_scheme>();
        std::string error;
        if (!qova::scheme::readSchemeText(*text, scheme->scheme, error)) {
            qova::lib::writeLog(qova::lib::LogLevel::Error, "qova: bad scheme: " + error);
            return QOVA_E_SCHEME;
        }
        auto made = std::make_unique<qova_publisher>();
        made->conn = conn;
        made->service = parsed.address;
        made->name = *name;
        const std::string* category = parsed.params.find("category");
        made->category = category ? *category : std::string();
        made->scheme = std::move(scheme);
        conn->attach(made.get());
        *pub = made.release();
        return QOVA_OK;
    });
}

qova_result_t qova_pub_destroy(qova_publisher_t* pub) {
    if (!pub) return QOVA_OK;
    if (pub->conn) pub->conn->detach(pub);
    delete pub;
    return QOVA_OK;
}

qova_result_t qova_pub_open(qova_publisher_t* pub, const char* settings) {
    if (!pub) return QOVA_E_INVALID_ARG;
    if (const qova_result_t rc = checkOpenSettings(settings)) return rc;
    if (!pub->conn || pub->state != QOVA_STATE_CLOSED) return QOVA_E_STATE;
    if (pub->conn->state() != QOVA_STATE_ACTIVE) return QOVA_E_NOT_READY;
    pub->state = QOVA_STATE_ACTIVE;
    return QOVA_OK;
}

qova_result_t qova_pub_close(qova_publisher_t* pub) {
    if (pub) pub->state = QOVA_STATE_CLOSED;
    return QOVA_OK;
}

qova_result_t qova_pub_getstate(qova_publisher_t* pub, uint32_t* state) {
    if (!pub || !state) return QOVA_E_INVALID_ARG;
    *state = pub->state;
    return QOVA_OK;
}

qova_result_t qova_pub_msgnew(qova_publisher_t* pub, uint32_t key_kind, const void* key,
                              qova_msg_t** msg) {
    if (!pub || !key || !msg || key_kind != QOVA_KEY_ID) return QOVA_E_INVALID_ARG;
    *msg = nullptr;
    return guarded([&] {
        std::uint32_t id = 0;
        std::memcpy(&id, key, sizeof id);
        const qova::scheme::Table* table = pub->scheme->scheme.find(id);
        if (!table) return QOVA_E_UNKNOWN_MSG;
        auto owned = std::make_unique<qova_publisher::OwnedMessage>();
        owned->body.assign(table->body_size, '\0');
        owned->msg = qova_msg_t{QOVA_MSG_DATA, id, owned->body.empty() ? nullptr : &owned->body[0],
                                owned->body.size()};
        qova_msg_t* out = &owned->msg;
        pub->messages.emplace(out, std::move(owned));
        *msg = out;
        return QOVA_OK;
    });
}

qova_result_t qova_pub_post(qova_publisher_t* pub, qova_msg_t* msg, uint32_t flags) {
    if (!pub || !msg || (flags & ~QOVA_POST_REPLY) != 0) return QOVA_E_INVALID_ARG;
    if (!pub->conn) return QOVA_E_STATE;
    if (pub->state != QOVA_STATE_ACTIVE) return QOVA_E_NOT_READY;
    if (msg->type != QOVA_MSG_DATA) return QOVA_E_INVALID_ARG;
    const qova::scheme::Table* table = pub->scheme->scheme.find(msg->msg_id);
    if (!table) return QOVA_E_UNKNOWN_MSG;
    if (msg->body_size != table->body_size || (!msg->body && msg->body_size > 0))
        return QOVA_E_INVALID_ARG;
    return guarded([&] { return pub->conn->post(*pub, *msg, (flags & QOVA_POST_REPLY) != 0); });
}

qova_result_t qova_pub_msgfree(qova_publisher_t* pub, qova_msg_t* msg) {
    if (!msg) return QOVA_OK;
    if (!pub) return QOVA_E_INVALID_ARG;
    const auto it = pub->messages.find(msg);
    if (it == pub->messages.end()) return QOVA_E_INVALID_ARG;
    pub->messages.erase(it);
    return QOVA_OK;
}

qova_result_t qova_pub_getscheme(qova_publisher_t* pub, qova_scheme_t** scheme) {
    if (!pub || !scheme) return QOVA_E_INVALID_ARG;
    // Handed out as non-const by the interface; the library never changes it.
    *scheme = const_cast<qova_scheme*>(pub->scheme.get());
    return QOVA_OK;
}

qova_result_t qova_lsn_new(qova_conn_t* conn, const char* url, qova_callback_t callback,
                           void* user_data, qova_listener_t** listener) {
    if (!conn || !url || !callback || !listener) return QOVA_E_INVALID_ARG;
    *listener = nullptr;
    return guarded([&] {
        qova::text::Url parsed;
        if (const qova_result_t rc = parseUrl(url, "ztmqpwdreply", {"ref", "format"}, parsed))
            return rc;
        const std::string* ref = parsed.params.find("ref");
        const std::string* format = parsed.params.find("format");
        if (!parsed.address.empty() || !ref || ref->empty() || (format && *format != "ztbinfmt"))
            return QOVA_E_URL;
        auto made = std::make_unique<qova_listener>();
        made->conn = conn;
        made->ref = *ref;
        made->callback = callback;
        made->user_data = user_data;
        conn->attach(made.get());
        *listener = made.release();
        return QOVA_OK;
    });
}

qova_result_t qova_lsn_destroy(qova_listener_t* listener) {
    if (!listener) return QOVA_OK;
    qova_lsn_close(listener);
    if (listener->conn) listener->conn->detach(listener);
    delete listener;
    return QOVA_OK;
}

qova_result_t qova_lsn_open(qova_listener_t* listener, const char* settings) {
    if (!listener) return QOVA_E_INVALID_ARG;
    if (const qova_result_t rc = checkOpenSettings(settings)) return rc;
    if (!listener->conn || listener->state != QOVA_STATE_CLOSED) return QOVA_E_STATE;
    return guarded([&] {
        const qova_result_t rc = listener->conn->subscribe(listener->ref, true);
        if (rc == QOVA_OK) listener->state = QOVA_STATE_ACTIVE;
        return rc;
    });
}

qova_result_t qova_lsn_close(qova_listener_t* listener) {
    if (!listener) return QOVA_OK;
    if (listener->state == QOVA_STATE_ACTIVE && listener->conn) {
        listener->state = QOVA_STATE_CLOSED;
        // A failed Unsubscribe marks the connection lost, which the caller
        // sees in its state; the listener is closed either way.
        guarded([&] { return listener->conn->subscribe(listener->ref, false); });
    }
    listener->state = QOVA_STATE_CLOSED;
    return QOVA_OK;
}

qova_result_t qova_lsn_getstate(qova_listener_t* listener, uint32_t* state) {
    if (!listener || !state) return QOVA_E_INVALID_ARG;
    *state = listener->state;
    return QOVA_OK;
}

qova_result_t qova_msg_dump(const qova_msg_t* msg, const qova_scheme_t* scheme, char* buffer,
                            size_t* size) {
    if (!buffer || !size) return QOVA_E_INVALID_ARG;
    if (*size == 0) return QOVA_E_BUFFER;
    buffer[0] = '\0';
    return guarded([&] {
        std::string text;
        qova_result_t rc = QOVA_OK;
        if (!msg) {
            rc = QOVA_E_INVALID_ARG;
        } else if (msg->type == QOVA_MSG_TIMEOUT) {
            text = "QOVA_MSG_TIMEOUT";
        } else if (msg->type != QOVA_MSG_DATA) {
            rc = QOVA_E_INVALID_ARG;
        } else if (const qova::scheme::Table* table =
                       scheme ? scheme->scheme.find(msg->msg_id) : nullptr) {
            if (!qova::dump::renderBody(*table, msg->body, msg->body_size, text)) {
                text = table->name + " (body of " + std::to_string(msg->body_size) +
                       " bytes, too short)";
                rc = QOVA_E_INVALID_ARG;
            }
        } else {
            text = "msg_id=" + std::to_string(msg->msg_id);
            rc = scheme ? QOVA_E_UNKNOWN_MSG : QOVA_E_INVALID_ARG;
        }
        if (!qova::dump::copyTerminated(text, buffer, size) && rc == QOVA_OK) rc = QOVA_E_BUFFER;
        return rc;
    });
}

qova_result_t qova_log_info(const char* line) { return writeLine(qova::lib::LogLevel::Info, line); }

qova_result_t qova_log_error(const char* line) {
    return writeLine(qova::lib::LogLevel::Error, line);
}

}  // extern "C"
