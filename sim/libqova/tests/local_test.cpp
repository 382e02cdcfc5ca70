// Tests of libqova that need no router: environment, settings, ini, log,
// URLs, schemes, messages, dump, argument checks, and a fake server that
// misbehaves on purpose.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <testsupport/scoped.h>
#include <testsupport/scratch.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "wire.h"

namespace qova::test {
namespace {

using namespace std::chrono_literals;

using testsupport::readFile;
using testsupport::ScopedEnv;
using testsupport::ScratchDir;

TEST(Environment, SettingsTexts) {
    ScratchDir dir;
    const std::string good = dir.write("good.ini", "[session]\nreply_timeout_ms=100\n");
    struct Case {
        std::string settings;
        qova_result_t rc;
    };
    const std::vector<Case> cases = {
        {"log=null;subsystems=mq,mqpwd,replclient", QOVA_OK},
        {"log=null", QOVA_OK},
        {"", QOVA_OK},
        {"ini=" + good + ";subsystems=mq", QOVA_OK},
        {"log=file", QOVA_E_SETTINGS},
        {"log=null;ini=" + good, QOVA_E_SETTINGS},
        {"colour=blue", QOVA_E_SETTINGS},
        {"log=null;;", QOVA_E_SETTINGS},
        {"lognull", QOVA_E_SETTINGS},
        {"subsystems=mq,,x", QOVA_E_SETTINGS},
        {"log=null;log=null", QOVA_E_SETTINGS},
        {"ini=" + dir.path("missing.ini"), QOVA_E_INI},
        {"ini=", QOVA_E_INI},
        {"ini=" + dir.write("bad.ini", "[session\n"), QOVA_E_INI},
        {"ini=" + dir.write("key.ini", "[session]\ntimeout=5\n"), QOVA_E_INI},
        {"ini=" + dir.write("sect.ini", "[other]\na=1\n"), QOVA_E_INI},
        {"ini=" + dir.write("range.ini", "[session]\nreply_timeout_ms=0\n"), QOVA_E_INI},
        {"ini=" + dir.write("log.ini", "[log]\nfile=" + dir.path("no/such/dir.log") + "\n"),
         QOVA_E_LOG},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(qova_env_open(c.settings.c_str()), c.rc) << c.settings;
        qova_env_close();
    }
}

TEST(Environment, OpenTwiceAndCloseAnyTime) {
    EXPECT_EQ(qova_env_close(), QOVA_OK);  // never opened
    ASSERT_EQ(qova_env_open("log=null;"), QOVA_OK);
    EXPECT_EQ(qova_env_open("log=null;"), QOVA_E_STATE);
    EXPECT_EQ(qova_env_close(), QOVA_OK);
    EXPECT_EQ(qova_env_close(), QOVA_OK);
    qova_conn_t* conn = nullptr;
    EXPECT_EQ(qova_conn_new("zttcp://127.0.0.1:1;app_name=x;", &conn), QOVA_E_NOT_READY);
    EXPECT_EQ(conn, nullptr);
}

TEST(Environment, BadTimeoutVariableFailsOpen) {
    for (const char* bad : {"0", "abc", "-5", "86400001"}) {
        ScopedEnv timeout("QOVA_REPLY_TIMEOUT_MS", bad);
        EXPECT_EQ(qova_env_open("log=null"), QOVA_E_SETTINGS) << bad;
        qova_env_close();
    }
    ScopedEnv timeout("QOVA_REPLY_TIMEOUT_MS", "");  // empty: as if unset
    EXPECT_EQ(qova_env_open("log=null"), QOVA_OK);
    qova_env_close();
}

// The ini file is opened without blocking and must be a regular file of at
// most 1 MiB, checked on the open file; the line on standard error says why.
TEST(Environment, TheIniFileIsASmallRegularFile) {
    ScratchDir dir;
    const std::string fifo = dir.path("fifo.ini");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string edge = dir.write("edge.ini", "");
    ASSERT_EQ(::truncate(edge.c_str(), 1024 * 1024), 0);
    const std::string large = dir.write("large.ini", "");
    ASSERT_EQ(::truncate(large.c_str(), 1024 * 1024 + 1), 0);
    const std::pair<std::string, std::string> cases[] = {
        {"/dev/zero", "not a regular file"},
        {fifo, "not a regular file"},
        {dir.path(), "not a regular file"},
        {large, "larger than 1048576 bytes"},
        {edge, "line 1"},  // read to the end: 1 MiB of NUL bytes is no INI
    };
    for (const auto& [path, why] : cases) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(qova_env_open(("ini=" + path).c_str()), QOVA_E_INI) << path;
        const std::string said = testing::internal::GetCapturedStderr();
        qova_env_close();
        EXPECT_NE(said.find(why), std::string::npos) << said;
    }
}

TEST(Log, LinesGoToTheIniLogWithStampAndLevel) {
    ScratchDir dir;
    const std::string log = dir.path("qova.log");
    const std::string ini = dir.write("q.ini", "[log]\nfile = " + log + "\n");
    EXPECT_EQ(qova_log_info("before open"), QOVA_OK);
    {
        Env env("ini=" + ini + ";subsystems=mq");
        ASSERT_EQ(env.rc, QOVA_OK);
        EXPECT_EQ(qova_log_info("50% done %s %n"), QOVA_OK);
        EXPECT_EQ(qova_log_error("failed: 100%"), QOVA_OK);
        EXPECT_EQ(qova_log_info(nullptr), QOVA_E_INVALID_ARG);
    }
    EXPECT_EQ(qova_log_info("after close"), QOVA_OK);
    const std::string text = readFile(log);
    // Each line: a time stamp shaped as the mask, then the level and the text.
    const std::string mask = "0000-00-00 00:00:00.000 ";
    const auto stamped = [&](const std::string& line) {
        std::string shape = line.substr(0, mask.size());
        for (char& c : shape)
            if (c >= '0' && c <= '9') c = '0';
        return shape == mask ? line.substr(mask.size()) : "unstamped: " + line;
    };
    const std::size_t nl = text.find('\n');
    ASSERT_NE(nl, std::string::npos) << text;
    EXPECT_EQ(stamped(text.substr(0, nl + 1)), "INFO  50% done %s %n\n");
    EXPECT_EQ(stamped(text.substr(nl + 1)), "ERROR failed: 100%\n");
}

TEST(Log, LogNullWritesNothing) {
    Env env("log=null");
    ASSERT_EQ(env.rc, QOVA_OK);
    testing::internal::CaptureStderr();
    EXPECT_EQ(qova_log_error("hidden"), QOVA_OK);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// A log file that fails while written (here a full disk) is reported once
// on standard error, which then receives the lines instead.
TEST(Log, ALogFileThatFailsIsReportedOnceAndTheLinesGoToStandardError) {
    ScratchDir dir;
    Env env("ini=" + dir.write("q.ini", "[log]\nfile = /dev/full\n"));
    ASSERT_EQ(env.rc, QOVA_OK);
    testing::internal::CaptureStderr();
    EXPECT_EQ(qova_log_info("first"), QOVA_E_LOG);
    EXPECT_EQ(qova_log_error("second"), QOVA_OK);
    const std::string said = testing::internal::GetCapturedStderr();
    const std::regex want(
        "[-0-9]{10} [:.0-9]{12} ERROR qova: cannot write the log file '/dev/full': No space left "
        "on device; log lines go to standard error from now on\n"
        "[-0-9]{10} [:.0-9]{12} INFO  first\n"
        "[-0-9]{10} [:.0-9]{12} ERROR second\n");
    EXPECT_TRUE(std::regex_match(said, want)) << said;
}

TEST(Urls, ConnectionUrls) {
    Env env;
    struct Case {
        std::string url;
        qova_result_t rc;
    };
    const std::vector<Case> cases = {
        {"zttcp://127.0.0.1:4001;app_name=pwd_changer;", QOVA_OK},
        {"zttcp://;app_name=pwd_changer;", QOVA_OK},  // empty address: fails at open
        {"zttcp://h:1;app_name=;", QOVA_OK},          // empty name: fails at open
        {"zttcp://h:1;app_name=a;local_pass=p", QOVA_OK},
        {"zttcp://h:x;app_name=a;", QOVA_OK},  // bad port: fails at open
        {"tcp://h:1;app_name=a;", QOVA_E_URL},
        {"zttcp://h:1;", QOVA_E_URL},  // no app_name
        {"zttcp://h:1;app_name=a;colour=red", QOVA_E_URL},
        {"zttcp://h:1;app_name", QOVA_E_URL},
        {"zttcp://h:1;app_name=a;;", QOVA_E_URL},
        {"zttcp://h:1;app_name=a;app_name=b", QOVA_E_URL},
        // a Hello frame carries at most 65510 bytes of name and local password
        {"zttcp://h:1;app_name=" + std::string(65510, 'a') + ";", QOVA_OK},
        {"zttcp://h:1;app_name=" + std::string(65511, 'a') + ";", QOVA_E_URL},
        {"zttcp://h:1;app_name=" + std::string(70000, 'a') + ";", QOVA_E_URL},
        {"zttcp://h:1;app_name=a;local_pass=" + std::string(65510, 'p'), QOVA_E_URL},
        {"h:1;app_name=a", QOVA_E_URL},
        {"", QOVA_E_URL},
    };
    for (const Case& c : cases) {
        qova_conn_t* conn = nullptr;
        EXPECT_EQ(qova_conn_new(c.url.c_str(), &conn), c.rc) << c.url;
        EXPECT_EQ(conn != nullptr, c.rc == QOVA_OK) << c.url;
        qova_conn_destroy(conn);
    }
}

TEST(Urls, PublisherAndListenerUrls) {
    Env env;
    Session s("127.0.0.1:1");
    ASSERT_EQ(s.created, QOVA_OK);
    const std::string scheme = std::string("scheme=") + pwdscheme::kSchemeText;
    struct Case {
        std::string url;
        qova_result_t rc;
    };
    const std::vector<Case> pubs = {
        {"ztmqpwd://KOLMA_SRV;name=p;category=C;" + scheme, QOVA_OK},
        {"ztmqpwd://KOLMA_SRV;name=p;" + scheme, QOVA_OK},
        {"ztmqpwd://;name=p;" + scheme, QOVA_E_URL},       // no service
        {"ztmqpwd://S;" + scheme, QOVA_E_URL},             // no name
        {"ztmqpwd://S;name=;" + scheme, QOVA_E_URL},       // empty name
        {"ztmqpwd://S;name=p", QOVA_E_URL},                // no scheme
        {"ztmqpwd://S;name=p;x=1;" + scheme, QOVA_E_URL},  // unknown parameter
        {"zttcp://S;name=p;" + scheme, QOVA_E_URL},        // wrong kind
        // Corrupt schemes.
        {"ztmqpwd://S;name=p;scheme=eNqFkl1", QOVA_E_SCHEME},                    // no prefix
        {"ztmqpwd://S;name=p;scheme=|STRING|X*NqF", QOVA_E_SCHEME},              // bad Base64
        {"ztmqpwd://S;name=p;scheme=|STRING|XQUJDRA==", QOVA_E_SCHEME},          // not zlib
        {"ztmqpwd://S;name=p;scheme=|STRING|XeNqzsbfjAgADGADe", QOVA_E_SCHEME},  // short
    };
    for (const Case& c : pubs) {
        qova_publisher_t* pub = nullptr;
        EXPECT_EQ(qova_pub_new(s.conn, c.url.c_str(), &pub), c.rc) << c.url.substr(0, 60);
        EXPECT_EQ(pub != nullptr, c.rc == QOVA_OK);
        qova_pub_destroy(pub);
    }
    const std::vector<Case> lsns = {
        {"ztmqpwdreply://;ref=r;format=ztbinfmt", QOVA_OK},
        {"ztmqpwdreply://;ref=r", QOVA_OK},
        {"ztmqpwdreply://;ref=r;format=json", QOVA_E_URL},
        {"ztmqpwdreply://;format=ztbinfmt", QOVA_E_URL},
        {"ztmqpwdreply://;ref=;", QOVA_E_URL},
        {"ztmqpwdreply://host;ref=r", QOVA_E_URL},
        {"ztmqpwd://;ref=r", QOVA_E_URL},
    };
    for (const Case& c : lsns) {
        qova_listener_t* lsn = nullptr;
        EXPECT_EQ(qova_lsn_new(
                      s.conn, c.url.c_str(),
                      [](qova_conn_t*, qova_listener_t*, qova_msg_t*, void*) -> qova_result_t {
                          return 0;
                      },
                      nullptr, &lsn),
                  c.rc)
            << c.url;
        qova_lsn_destroy(lsn);
    }
}

TEST(Urls, CorruptSchemeDocuments) {
    Env env;
    Session s("127.0.0.1:1");
    for (const std::string xml : {"<scheme><table name='A' msgid='1'>",
                                  "<scheme><table name='A' msgid='1'>"
                                  "<field name='f' type='x9'/></table></scheme>"}) {
        const std::string url = "ztmqpwd://S;name=p;scheme=" + schemeTextOf(xml);
        qova_publisher_t* pub = nullptr;
        EXPECT_EQ(qova_pub_new(s.conn, url.c_str(), &pub), QOVA_E_SCHEME) << xml;
        EXPECT_EQ(pub, nullptr);
    }
}

TEST(Messages, NewFreeAndPostChecks) {
    Env env;
    Session s("127.0.0.1:1");
    ASSERT_EQ(s.created, QOVA_OK);
    qova_msg_t* msg = nullptr;
    std::uint32_t id = 421;
    ASSERT_EQ(qova_pub_msgnew(s.pub, QOVA_KEY_ID, &id, &msg), QOVA_OK);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->type, QOVA_MSG_DATA);
    EXPECT_EQ(msg->msg_id, 421u);
    ASSERT_EQ(msg->body_size, 132u);
    const std::string zero(132, '\0');
    EXPECT_EQ(std::string(static_cast<char*>(msg->body), 132), zero);
    EXPECT_EQ(qova_pub_post(s.pub, msg, QOVA_POST_REPLY), QOVA_E_NOT_READY);  // not open

    id = 422;
    qova_msg_t* other = nullptr;
    EXPECT_EQ(qova_pub_msgnew(s.pub, QOVA_KEY_ID, &id, &other), QOVA_E_UNKNOWN_MSG);
    EXPECT_EQ(qova_pub_msgnew(s.pub, 2, &id, &other), QOVA_E_INVALID_ARG);
    EXPECT_EQ(qova_pub_msgnew(s.pub, QOVA_KEY_ID, nullptr, &other), QOVA_E_INVALID_ARG);
    EXPECT_EQ(other, nullptr);

    qova_msg_t foreign{QOVA_MSG_DATA, 421, nullptr, 0};
    EXPECT_EQ(qova_pub_msgfree(s.pub, &foreign), QOVA_E_INVALID_ARG);
    EXPECT_EQ(qova_pub_msgfree(s.pub, msg), QOVA_OK);
    EXPECT_EQ(qova_pub_msgfree(s.pub, msg), QOVA_E_INVALID_ARG);  // already freed
    EXPECT_EQ(qova_pub_msgfree(s.pub, nullptr), QOVA_OK);
    // A message left unfreed is released with its publisher (ASan checks).
    id = 421;
    ASSERT_EQ(qova_pub_msgnew(s.pub, QOVA_KEY_ID, &id, &msg), QOVA_OK);
}

TEST(Dump, BufferRules) {
    Env env;
    Session s("127.0.0.1:1");
    qova_scheme_t* scheme = nullptr;
    ASSERT_EQ(qova_pub_getscheme(s.pub, &scheme), QOVA_OK);
    std::string body(260, '\0');
    const std::int32_t code = 7;
    std::memcpy(&body[0], &code, 4);
    std::memcpy(&body[4], "store failed", 12);
    qova_msg_t msg{QOVA_MSG_DATA, 100, &body[0], body.size()};
    const std::string full = "KOLMA_MSG100 code=7 message=store failed";

    char buf[64];
    std::size_t size = sizeof buf;
    EXPECT_EQ(qova_msg_dump(&msg, scheme, buf, &size), QOVA_OK);
    EXPECT_EQ(std::string(buf), full);
    EXPECT_EQ(size, full.size());

    std::memset(buf, '#', sizeof buf);
    size = 10;
    EXPECT_EQ(qova_msg_dump(&msg, scheme, buf, &size), QOVA_E_BUFFER);
    EXPECT_EQ(std::string(buf), full.substr(0, 9));
    EXPECT_EQ(size, 9u);
    EXPECT_EQ(buf[10], '#');

    size = 0;
    EXPECT_EQ(qova_msg_dump(&msg, scheme, buf, &size), QOVA_E_BUFFER);
    EXPECT_EQ(qova_msg_dump(&msg, scheme, buf, nullptr), QOVA_E_INVALID_ARG);

    struct Case {
        qova_msg_t msg;
        const qova_scheme_t* scheme;
        qova_result_t rc;
        std::string text;
    };
    std::string request(132, '\0');
    std::memcpy(&request[0], "old-secret", 10);
    std::memcpy(&request[66], "new-secret", 10);
    const std::vector<Case> cases = {
        {{QOVA_MSG_DATA, 421, &request[0], 132}, scheme, QOVA_OK, "ChangePassword"},
        {{QOVA_MSG_TIMEOUT, 0, nullptr, 0}, scheme, QOVA_OK, "QOVA_MSG_TIMEOUT"},
        {{QOVA_MSG_DATA, 5, &body[0], 260}, scheme, QOVA_E_UNKNOWN_MSG, "msg_id=5"},
        {{QOVA_MSG_DATA, 100, &body[0], 260}, nullptr, QOVA_E_INVALID_ARG, "msg_id=100"},
        {{QOVA_MSG_DATA, 100, &body[0], 3},
         scheme,
         QOVA_E_INVALID_ARG,
         "KOLMA_MSG100 (body of 3 bytes, too short)"},
        {{77, 0, nullptr, 0}, scheme, QOVA_E_INVALID_ARG, ""},
    };
    for (const Case& c : cases) {
        size = sizeof buf;
        EXPECT_EQ(qova_msg_dump(&c.msg, c.scheme, buf, &size), c.rc) << c.text;
        EXPECT_EQ(std::string(buf), c.text);
    }
    size = sizeof buf;
    EXPECT_EQ(qova_msg_dump(nullptr, scheme, buf, &size), QOVA_E_INVALID_ARG);
    EXPECT_STREQ(buf, "");
}

TEST(Handles, NullSafeAndIdempotent) {
    EXPECT_EQ(qova_conn_destroy(nullptr), QOVA_OK);
    EXPECT_EQ(qova_conn_close(nullptr), QOVA_OK);
    EXPECT_EQ(qova_pub_destroy(nullptr), QOVA_OK);
    EXPECT_EQ(qova_pub_close(nullptr), QOVA_OK);
    EXPECT_EQ(qova_lsn_destroy(nullptr), QOVA_OK);
    EXPECT_EQ(qova_lsn_close(nullptr), QOVA_OK);
    std::uint32_t state = 0;
    EXPECT_EQ(qova_conn_getstate(nullptr, &state), QOVA_E_INVALID_ARG);
    EXPECT_EQ(qova_conn_open(nullptr, nullptr), QOVA_E_INVALID_ARG);
    EXPECT_EQ(qova_conn_process(nullptr, 1, nullptr), QOVA_E_INVALID_ARG);
    EXPECT_EQ(qova_conn_new(nullptr, nullptr), QOVA_E_INVALID_ARG);

    Env env;
    Session s("127.0.0.1:1");
    EXPECT_EQ(qova_conn_close(s.conn), QOVA_OK);
    EXPECT_EQ(qova_conn_close(s.conn), QOVA_OK);
    EXPECT_EQ(qova_lsn_close(s.lsn), QOVA_OK);
    EXPECT_EQ(qova_pub_close(s.pub), QOVA_OK);
    EXPECT_EQ(qova_conn_process(s.conn, 1, nullptr), QOVA_E_STATE);
    int reserved = 0;
    EXPECT_EQ(qova_conn_process(s.conn, 1, &reserved), QOVA_E_INVALID_ARG);
    EXPECT_EQ(qova_conn_open(s.conn, "colour=red"), QOVA_E_SETTINGS);
    EXPECT_EQ(qova_lsn_open(s.lsn, "x"), QOVA_E_SETTINGS);
    EXPECT_EQ(qova_lsn_open(s.lsn, nullptr), QOVA_E_NOT_READY);

    // The connection goes first; its publisher and listener stay safe to use.
    qova_conn_destroy(s.conn);
    s.conn = nullptr;
    EXPECT_EQ(qova_pub_open(s.pub, nullptr), QOVA_E_STATE);
    EXPECT_EQ(qova_lsn_open(s.lsn, nullptr), QOVA_E_STATE);
    EXPECT_EQ(s.postChange("a", "b"), QOVA_E_STATE);
}

// A server that answers the library's Hello with scripted bytes, on a
// thread of the test, and then keeps the socket open until stopped.
class FakeServer {
  public:
    explicit FakeServer(std::string script) : script_(std::move(script)) {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (listen_ < 0 || ::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) ||
            ::listen(listen_, 4) ||
            ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len))
            throw std::runtime_error("fake server cannot listen");
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeServer() {
        stop_ = true;
        ::shutdown(listen_, SHUT_RDWR);
        thread_.join();
        ::close(listen_);
    }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

  private:
    void serve() {
        const int fd = ::accept(listen_, nullptr, nullptr);
        if (fd < 0) return;
        char buf[4096];
        ::recv(fd, buf, sizeof buf, 0);  // the Hello, whatever it holds
        ::send(fd, script_.data(), script_.size(), MSG_NOSIGNAL);
        while (!stop_) std::this_thread::sleep_for(5ms);
        ::close(fd);
    }
    std::string script_;
    int listen_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

std::string welcome() { return wire::encode(wire::Welcome{wire::WelcomeStatus::Accepted, ""}); }

std::string rawFrame(std::uint32_t length, std::uint8_t version, std::uint8_t type,
                     const std::string& payload) {
    std::string f;
    for (int i = 3; i >= 0; --i) f += static_cast<char>(length >> (8 * i));
    f += static_cast<char>(version);
    f += static_cast<char>(type);
    return f + payload;
}

TEST(FakeServer, GarbageInsteadOfWelcomeFailsOpen) {
    ScratchDir dir;
    Env env("ini=" + dir.write("q.ini", "[session]\nconnect_timeout_ms=500\n"));
    ASSERT_EQ(env.rc, QOVA_OK);
    const std::vector<std::string> scripts = {
        "HTTP/1.1 200 OK\r\n\r\n",
        rawFrame(2, 9, 2, ""),                        // bad version
        rawFrame(0xFFFFFF, 1, 2, ""),                 // huge length
        wire::encode(wire::Reply{1, "r", 169, "x"}),  // not a Welcome
        rawFrame(3, 1, 2, "\x07"),                    // short Welcome
        "",                                           // silence
    };
    for (const std::string& script : scripts) {
        FakeServer server(script);
        Session s(server.address());
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(qova_conn_open(s.conn, nullptr), QOVA_E_CONNECT) << script.size();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);  // the ini's 500 ms bound
        EXPECT_EQ(s.connState(), QOVA_STATE_CLOSED);
    }
}

TEST(FakeServer, MalformedFramesAfterWelcomeSetError) {
    Env env;
    std::string shortReply(10, 'x');  // a 169 must be 260 bytes
    std::string unterminated(4, '\0');
    unterminated += std::string(256, 'm');  // Message without its NUL
    const std::vector<std::string> scripts = {
        rawFrame(2, 2, 6, ""),                          // bad version
        rawFrame(2, 1, 42, ""),                         // unknown type
        rawFrame(1, 1, 6, ""),                          // length below the header
        rawFrame(6, 1, 6, std::string("\0\0\0\1", 4)),  // reply cut short
        wire::encode(wire::Welcome{wire::WelcomeStatus::Accepted, "again"}),
        wire::encode(wire::Reply{1, "pwd_changer", 169, shortReply}),
        wire::encode(wire::Reply{1, "pwd_changer", 169, unterminated}),
        wire::encode(
            wire::Reply{1, "another_ref", 169, std::string(260, '\0')}),  // not its request's ref
        std::string(300, '\xFF'),
    };
    for (const std::string& script : scripts) {
        FakeServer server(welcome() + script);
        Session s(server.address());
        ASSERT_EQ(s.openAll(), QOVA_OK);
        ASSERT_EQ(s.postChange("a", "b"), QOVA_OK);
        const auto end = std::chrono::steady_clock::now() + 3s;
        while (s.connState() == QOVA_STATE_ACTIVE && std::chrono::steady_clock::now() < end)
            qova_conn_process(s.conn, 10, nullptr);
        EXPECT_EQ(s.connState(), QOVA_STATE_ERROR) << script.size();
        EXPECT_TRUE(s.received.empty());
    }
}

// Random bytes after the Welcome, some behind a plausible frame header: the
// library either waits for the rest (ACTIVE) or gives up the connection
// (ERROR); it never delivers anything and never crashes.
TEST(FakeServer, RandomBytesNeverCrash) {
    Env env;
    std::mt19937 random(20261208);
    for (int round = 0; round < 30; ++round) {
        std::string script(1 + random() % 400, '\0');
        for (char& c : script) c = static_cast<char>(random());
        if (round % 2 == 0)
            script = rawFrame(static_cast<std::uint32_t>(script.size() + 2), 1,
                              static_cast<std::uint8_t>(1 + random() % 6), script);
        FakeServer server(welcome() + script);
        Session s(server.address());
        ASSERT_EQ(s.openAll(), QOVA_OK) << round;
        ASSERT_EQ(s.postChange("a", "b"), QOVA_OK);
        s.turnFor(30ms);
        const std::uint32_t state = s.connState();
        EXPECT_TRUE(state == QOVA_STATE_ACTIVE || state == QOVA_STATE_ERROR) << round;
        EXPECT_TRUE(s.received.empty()) << round;
    }
}

TEST(FakeServer, ReplyWithUnknownRequestIdIsDropped) {
    Env env;
    std::string body(260, '\0');
    FakeServer server(welcome() + wire::encode(wire::Reply{77, "pwd_changer", 169, body}));
    Session s(server.address());
    ASSERT_EQ(s.openAll(), QOVA_OK);
    s.turnFor(300ms);
    EXPECT_TRUE(s.received.empty());
    EXPECT_EQ(s.connState(), QOVA_STATE_ACTIVE);
}

}  // namespace
}  // namespace qova::test
