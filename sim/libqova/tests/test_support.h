// test_support.h -- owners and helpers for the libqova tests: an environment
// that closes itself, and a session (connection, publisher, listener) that
// records every message its listener receives.
#ifndef SIM_LIBQOVA_TESTS_TEST_SUPPORT_H
#define SIM_LIBQOVA_TESTS_TEST_SUPPORT_H

#include <password_scheme.h>
#include <qova.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace qova::test {

inline const std::string kPublisherUrl =
    std::string("ztmqpwd://KOLMA_SRV;name=pwd_changer;category=KOLMA_MSG;scheme=") +
    pwdscheme::kSchemeText;
inline const std::string kListenerUrl = "ztmqpwdreply://;ref=pwd_changer;format=ztbinfmt";

// Opens the environment with `settings`; closes it when it goes away.
class Env {
  public:
    explicit Env(const std::string& settings = "log=null;") : rc(qova_env_open(settings.c_str())) {}
    ~Env() { qova_env_close(); }
    Env(const Env&) = delete;
    Env& operator=(const Env&) = delete;
    const qova_result_t rc;
};

struct Received {
    std::uint32_t type;
    std::uint32_t msg_id;
    std::string body;

    std::int32_t code() const;    // a 169's Code
    std::string message() const;  // a 169's Message
};

// A connection to `address` with its publisher and listener, created at
// once and destroyed in the order the tool uses.
class Session {
  public:
    explicit Session(const std::string& address, const std::string& extra = "");
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Opens connection, publisher and listener; QOVA_OK or the first failure.
    qova_result_t openAll();
    // Builds and posts a 421 with the two passwords (each a full field).
    qova_result_t postChange(const std::string& old_pwd, const std::string& new_pwd,
                             std::uint32_t flags = QOVA_POST_REPLY);
    // Turns the connection until `count` messages arrived or `limit` passed.
    bool waitFor(std::size_t count, std::chrono::milliseconds limit);
    // Turns the connection for `duration`, whatever comes.
    void turnFor(std::chrono::milliseconds duration);
    std::uint32_t connState() const;
    std::uint32_t pubState() const;
    std::uint32_t lsnState() const;

    qova_conn_t* conn = nullptr;
    qova_publisher_t* pub = nullptr;
    qova_listener_t* lsn = nullptr;
    std::vector<Received> received;
    qova_result_t created = QOVA_OK;  // the first failure while creating
};

// The dump of `msg` through the session's scheme.
std::string dumpText(Session& s, const Received& msg);

// The scheme text of an XML document, as a publisher URL carries it.
std::string schemeTextOf(const std::string& xml);

}  // namespace qova::test

#endif  // SIM_LIBQOVA_TESTS_TEST_SUPPORT_H
