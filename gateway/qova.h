/*
 * qova.h -- C interface of the gateway client library libqova (libqova.so.5).
 *
 * A program talks to the trading system's messaging gateway through four
 * kinds of object, created in this order and released in reverse:
 *
 *   environment (process-wide)  qova_env_open / qova_env_close
 *   connection to a router      qova_conn_*
 *   publisher of requests       qova_pub_*   (belongs to one connection)
 *   listener for replies        qova_lsn_*   (belongs to one connection)
 *
 * Connections, publishers and listeners each have a state (QOVA_STATE_*).
 * A new object is CLOSED; *_open brings it to ACTIVE; a failure of the
 * connection puts it, and its ACTIVE publishers and listeners, in ERROR, from
 * which *_close brings each back to CLOSED so that it can be opened again.
 * Closing a connection closes its publishers and listeners too; they are
 * opened again after the connection.
 *
 * Threading: the library starts no threads.  Listener callbacks run only
 * inside qova_conn_process, on the thread that called it.  An object must not
 * be used from two threads at once.
 *
 * Every function returns a qova_result_t: QOVA_OK (0) on success, otherwise
 * one of the QOVA_E_* codes below.  Destroy and close functions accept NULL
 * and may be called again on an object that is already closed.
 */
#ifndef QOVA_H
#define QOVA_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t qova_result_t; /* 0 is success */

#define QOVA_OK 0u
/* Failures.  All of them are non-zero and none of them is retried inside
 * the library: the caller decides. */
#define QOVA_E_INVALID_ARG 0x20001u /* a NULL pointer or an argument out of range */
#define QOVA_E_SETTINGS 0x20002u    /* settings text malformed, or an unknown key */
#define QOVA_E_TIMEOUT 0x20003u     /* nothing arrived within the time-out; not a failure */
#define QOVA_E_NOT_READY 0x20004u   /* environment not open, or object not ACTIVE */
#define QOVA_E_URL 0x20005u         /* URL malformed: unknown scheme or bad parameter */
#define QOVA_E_INI 0x20006u         /* ini file unreadable, malformed, or an unknown entry */
#define QOVA_E_CONNECT 0x20007u     /* router unreachable, address unusable, or time-out */
#define QOVA_E_REFUSED 0x20008u     /* router refused the session (local password, version) */
#define QOVA_E_SCHEME 0x20009u      /* scheme text not decodable, not inflatable or not valid */
#define QOVA_E_UNKNOWN_MSG 0x2000Au /* message id not described by the scheme */
#define QOVA_E_BUFFER 0x2000Bu      /* caller's buffer too small (text cut, still terminated) */
#define QOVA_E_IO 0x2000Cu          /* the connection failed while sending or receiving */
#define QOVA_E_NOMEM 0x2000Du       /* out of memory */
#define QOVA_E_STATE 0x2000Eu       /* operation not allowed in the object's current state */
#define QOVA_E_LOG 0x2000Fu         /* the log file could not be written */

#define QOVA_STATE_CLOSED 0u
#define QOVA_STATE_ERROR 1u
#define QOVA_STATE_OPENING 2u /* never lasts past the call that opens the object */
#define QOVA_STATE_ACTIVE 3u

#define QOVA_MSG_DATA 0x110u     /* a data message of the scheme */
#define QOVA_MSG_TIMEOUT 0x1001u /* no reply came to a posted request in time */

#define QOVA_KEY_ID 1u     /* qova_pub_msgnew: key points to a uint32_t message id */
#define QOVA_POST_REPLY 1u /* qova_pub_post: a reply is expected */

typedef struct qova_conn qova_conn_t;
typedef struct qova_publisher qova_publisher_t;
typedef struct qova_listener qova_listener_t;
typedef struct qova_scheme qova_scheme_t;

typedef struct qova_msg {
    uint32_t type;    /* QOVA_MSG_... */
    uint32_t msg_id;  /* data messages: the scheme's msgid; otherwise 0 */
    void* body;       /* laid out as the scheme describes; may be NULL when body_size is 0 */
    size_t body_size; /* bytes at body */
} qova_msg_t;

/* A listener's callback.  `msg` and its body belong to the library and are
 * valid only during the call.  The return value is ignored today; return 0. */
typedef qova_result_t (*qova_callback_t)(qova_conn_t* conn, qova_listener_t* listener,
                                         qova_msg_t* msg, void* user_data);

/* ---- environment -------------------------------------------------------
 * qova_env_open: `settings` is "key=value" pairs separated by ';' (an empty
 * trailing pair is allowed).  Keys: "ini=PATH" (read the ini file: log file
 * and reply time-out) or "log=null" (no log), and "subsystems=a,b,...".
 * Returns QOVA_E_SETTINGS for a malformed text or unknown key, QOVA_E_INI for
 * an unreadable or malformed ini file, QOVA_E_LOG when the log file it names
 * cannot be opened, QOVA_E_STATE when already open.  The environment variable
 * QOVA_REPLY_TIMEOUT_MS overrides the ini file's reply time-out.
 * qova_env_close: releases the environment; safe at any time, also when
 * qova_env_open failed or was never called.  Close connections first. */
qova_result_t qova_env_open(const char* settings);
qova_result_t qova_env_close(void);

/* ---- connection --------------------------------------------------------
 * qova_conn_new: `url` is "zttcp://HOST:PORT;app_name=NAME;[local_pass=PASS]".
 * Checks the syntax only (QOVA_E_URL); an empty address or name is accepted
 * here and fails at open.  Needs an open environment (QOVA_E_NOT_READY).
 * On success *conn is a new CLOSED connection owned by the caller.
 * qova_conn_destroy: closes if needed and frees the connection.  Its
 * publishers and listeners must be destroyed first.
 * qova_conn_open: CLOSED -> ACTIVE.  Connects over TCP and introduces the
 * session within a bounded time; on failure returns QOVA_E_CONNECT or
 * QOVA_E_REFUSED (QOVA_E_URL for an empty application name) and stays
 * CLOSED.  QOVA_E_STATE when not CLOSED.  `settings` may be NULL or empty.
 * qova_conn_close: any state -> CLOSED; its publishers and listeners close.
 * qova_conn_getstate: stores the state in *state.
 * qova_conn_process: waits at most `timeout_ms` milliseconds for input,
 * delivers every complete message to its listener's callback and fires due
 * reply time-outs.  It waits only while something is owed (a posted request
 * awaits its reply or time-out notice, or output is pending); otherwise it
 * reads what is there and returns at once.  Returns QOVA_OK when it handled
 * something, QOVA_E_TIMEOUT when nothing came.  A lost connection sets the
 * state ERROR (also for its ACTIVE publishers and listeners) and returns
 * QOVA_OK.  QOVA_E_STATE at once when the connection is not ACTIVE or the
 * call comes from inside a callback.  `reserved` must be NULL. */
qova_result_t qova_conn_new(const char* url, qova_conn_t** conn);
qova_result_t qova_conn_destroy(qova_conn_t* conn);
qova_result_t qova_conn_open(qova_conn_t* conn, const char* settings);
qova_result_t qova_conn_close(qova_conn_t* conn);
qova_result_t qova_conn_getstate(qova_conn_t* conn, uint32_t* state);
qova_result_t qova_conn_process(qova_conn_t* conn, uint32_t timeout_ms, void* reserved);

/* ---- publisher ---------------------------------------------------------
 * qova_pub_new: `url` is "ztmqpwd://SERVICE;name=NAME;category=CAT;scheme=S"
 * where S is "|STRING|X" and the URL-safe Base64 of a zlib stream of the XML
 * scheme document.  Returns QOVA_E_URL or QOVA_E_SCHEME on a fault in either.
 * The publisher is CLOSED, belongs to `conn` and is owned by the caller.
 * qova_pub_open: CLOSED -> ACTIVE; needs an ACTIVE connection.
 * qova_pub_msgnew: with QOVA_KEY_ID, `key` points to a uint32_t message id;
 * *msg gets a zeroed body of the size the scheme gives for it
 * (QOVA_E_UNKNOWN_MSG otherwise).  Free it with qova_pub_msgfree.
 * qova_pub_post: sends the message to the service; with QOVA_POST_REPLY the
 * publisher's listener (same name as its "ref") later receives exactly one
 * reply or exactly one QOVA_MSG_TIMEOUT notice, also across a lost and
 * reopened connection; with flags 0 no reply is expected.  Needs ACTIVE.
 * The message stays the caller's.
 * qova_pub_msgfree: wipes the body (it may hold secrets) and frees it.
 * qova_pub_getscheme: *scheme points to the parsed scheme, owned by the
 * publisher and valid until it is destroyed. */
qova_result_t qova_pub_new(qova_conn_t* conn, const char* url, qova_publisher_t** pub);
qova_result_t qova_pub_destroy(qova_publisher_t* pub);
qova_result_t qova_pub_open(qova_publisher_t* pub, const char* settings);
qova_result_t qova_pub_close(qova_publisher_t* pub);
qova_result_t qova_pub_getstate(qova_publisher_t* pub, uint32_t* state);
qova_result_t qova_pub_msgnew(qova_publisher_t* pub, uint32_t key_kind, const void* key,
                              qova_msg_t** msg);
qova_result_t qova_pub_post(qova_publisher_t* pub, qova_msg_t* msg, uint32_t flags);
qova_result_t qova_pub_msgfree(qova_publisher_t* pub, qova_msg_t* msg);
qova_result_t qova_pub_getscheme(qova_publisher_t* pub, qova_scheme_t** scheme);

/* ---- listener ----------------------------------------------------------
 * qova_lsn_new: `url` is "ztmqpwdreply://;ref=REF;format=ztbinfmt".  Replies
 * to what a publisher named REF on the same connection posted are handed to
 * `callback` with `user_data`.  The listener is CLOSED and owned by the
 * caller.  qova_lsn_open: CLOSED -> ACTIVE; needs an ACTIVE connection.
 * Replies and notices that come while no listener with their ref is ACTIVE
 * wait and are delivered by the first qova_conn_process after one opens. */
qova_result_t qova_lsn_new(qova_conn_t* conn, const char* url, qova_callback_t callback,
                           void* user_data, qova_listener_t** listener);
qova_result_t qova_lsn_destroy(qova_listener_t* listener);
qova_result_t qova_lsn_open(qova_listener_t* listener, const char* settings);
qova_result_t qova_lsn_close(qova_listener_t* listener);
qova_result_t qova_lsn_getstate(qova_listener_t* listener, uint32_t* state);

/* ---- messages ----------------------------------------------------------
 * qova_msg_dump: renders a data message as one line, "TABLE field=value ...",
 * from the scheme.  *size is the buffer's size on entry and the text's length
 * (without the NUL) on return.  The text is always NUL-terminated and never
 * longer than the buffer; QOVA_E_BUFFER when it had to be cut.  Requests are
 * never rendered field by field (they may hold passwords). */
qova_result_t qova_msg_dump(const qova_msg_t* msg, const qova_scheme_t* scheme, char* buffer,
                            size_t* size);

/* ---- log ---------------------------------------------------------------
 * The finished line is written as it stands ('%' is an ordinary character),
 * with a time stamp and its level, to the log the ini file names.  Without an
 * open environment, or with "log=null", nothing is written and QOVA_OK is
 * returned. */
qova_result_t qova_log_info(const char* line);
qova_result_t qova_log_error(const char* line);

#ifdef __cplusplus
}
#endif

#endif /* QOVA_H */
