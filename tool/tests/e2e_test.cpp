// The real pwd_changer against a real qova-router on a free loopback port:
// passwords through a pipe, exit status and output lines checked, every
// process under a time-out.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "router_process.h"
#include "test_support.h"

namespace {

using qova::testing::AccountDatabase;
using qova::testing::RouterProcess;
using testsupport::run;
using testsupport::RunResult;

using testsupport::kOptions;
using testsupport::kPrompts;
using testsupport::kUsage;

RunResult tool(const RouterProcess& router, const std::string& input,
               std::vector<std::string> extra = {}, std::vector<std::string> env = {}) {
    std::vector<std::string> argv = {PWD_CHANGER_PATH, "--host", "127.0.0.1", "--port",
                                     std::to_string(router.port())};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return run(argv, input, env);
}

std::uint16_t unusedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

TEST(EndToEnd, ASuccessfulChangeIsKeptAcrossARouterRestart) {
    AccountDatabase db("old-secret");
    RunResult first;
    {
        RouterProcess router(db.routerArgs());
        first = tool(router, "old-secret new-secret new-secret\n");
        ASSERT_TRUE(first.finished);
        EXPECT_EQ(first.exitCode(), 0) << first.err;
        EXPECT_EQ(first.out,
                  kPrompts + "Successful results; Result code: 0; message: Password changed\n");
        EXPECT_EQ(first.err, "");
        EXPECT_EQ(router.stop(), 0);
    }

    // The database now holds the new password: a router started afresh on
    // it refuses the old one and takes the new one.
    RouterProcess restarted(db.routerArgs());
    const RunResult again = tool(restarted, "old-secret other other\n");
    EXPECT_EQ(again.exitCode(), 255);
    EXPECT_EQ(again.err, "Unsuccessful results; Result code: 1; message: Wrong old password\n");

    const RunResult withNew = tool(restarted, "new-secret third third\n");
    EXPECT_EQ(withNew.exitCode(), 0) << withNew.err;

    for (const std::string secret : {"old-secret", "new-secret", "other", "third"}) {
        EXPECT_EQ(restarted.log().find(secret), std::string::npos) << secret;
        EXPECT_EQ((first.out + first.err + again.out + again.err).find(secret), std::string::npos)
            << secret;
    }
}

TEST(EndToEnd, TheServicesVerdicts) {
    RouterProcess router({}, "old-secret");
    struct Case {
        std::string input, err;
    };
    const Case cases[] = {
        {"wrong new new\n", "Unsuccessful results; Result code: 1; message: Wrong old password\n"},
        {"old-secret old-secret old-secret\n",
         "Unsuccessful results; Result code: 4; message: New password must differ from the old "
         "one\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        const RunResult r = tool(router, c.input);
        EXPECT_EQ(r.exitCode(), 255);
        EXPECT_EQ(r.out, kPrompts);
        EXPECT_EQ(r.err, c.err);
    }
}

TEST(EndToEnd, ForcedReplies) {
    struct Case {
        std::vector<std::string> routerArgs;
        int exit;
        std::string outContains, err;
    };
    const Case cases[] = {
        {{"--force-reply", "99"}, 255, "KOLMA_MSG99 ", "Unsuccessful result\n"},
        {{"--force-reply", "100", "--force-code", "7", "--force-text", "store failed"},
         255,
         "KOLMA_MSG100 code=7 message=store failed\n",
         "Unsuccessful result\n"},
        {{"--force-reply", "169", "--force-code", "5", "--force-text", "50% %s done"},
         255,
         "",
         "Unsuccessful results; Result code: 5; message: 50% %s done\n"},
        {{"--force-reply", "169", "--force-code", "0"},
         0,
         "Successful results; Result code: 0; message: forced reply\n",
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.routerArgs[1]);
        RouterProcess router(c.routerArgs);
        const RunResult r = tool(router, "a b b\n");
        EXPECT_EQ(r.exitCode(), c.exit);
        EXPECT_NE(r.out.find(c.outContains), std::string::npos) << r.out;
        EXPECT_EQ(r.out.rfind(kPrompts, 0), 0u);
        EXPECT_EQ(r.err, c.err);
    }
}

TEST(EndToEnd, ASilentRouterEndsInTheTimeOutNotice) {
    RouterProcess router({"--no-reply"});
    const RunResult r = tool(router, "old-secret new new\n", {}, {"QOVA_REPLY_TIMEOUT_MS=300"});
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode(), 255);
    EXPECT_EQ(r.err, "Unsuccessful result, has gotten timeout msg\n");
}

// The router drops the connection when the request arrives and never
// answers: the session reconnects, does not post again, and ends with the
// library's time-out notice.
TEST(EndToEnd, ALostConnectionIsReopenedWithoutASecondRequest) {
    RouterProcess router({"--close-on-request"});
    const RunResult r = tool(router, "old-secret n n\n", {}, {"QOVA_REPLY_TIMEOUT_MS=500"});
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode(), 255);
    EXPECT_EQ(r.err, "Unsuccessful result, has gotten timeout msg\n");
    const std::string log = router.log();
    EXPECT_NE(log.find("request 1 "), std::string::npos) << log;
    EXPECT_EQ(log.find("request 2 "), std::string::npos) << "the request went out twice";
}

TEST(EndToEnd, NoRouterGivesTheOpenFailureTwice) {
    const RunResult r =
        run({PWD_CHANGER_PATH, "--host", "127.0.0.1", "--port", std::to_string(unusedPort())},
            "a b b\n");
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode(), 255);
    const std::string prefix = "Error of qova_conn_open, code: ";
    ASSERT_EQ(r.err.rfind(prefix, 0), 0u) << r.err;
    const std::string line = r.err.substr(0, r.err.find('\n') + 1);
    EXPECT_GT(std::stoul(line.substr(prefix.size())), 0ul);
    EXPECT_EQ(r.err, line + line) << "logged where it arose, then printed by main";
}

TEST(EndToEnd, AWrongLocalPasswordIsRefused) {
    RouterProcess router({"--local-pass", "gw-pass"});
    const RunResult good = tool(router, "old-secret n n\n", {"--local_pass", "gw-pass"});
    EXPECT_EQ(good.exitCode(), 0) << good.err;
    const RunResult bad = tool(router, "n m m\n", {"--local_pass", "nope"});
    EXPECT_EQ(bad.exitCode(), 255);
    EXPECT_EQ(bad.err.rfind("Error of qova_conn_open, code: 131080\n", 0), 0u) << bad.err;
}

TEST(EndToEnd, WithAnIniTheResultGoesToTheGatewayLog) {
    RouterProcess router({}, "old-secret");
    testsupport::TempFile log;
    testsupport::TempFile ini("[log]\nfile = " + log.path() + "\n");
    const RunResult r = tool(router, "old-secret new-secret new-secret\n", {"--ini", ini.path()});
    EXPECT_EQ(r.exitCode(), 0) << r.err;
    EXPECT_EQ(r.out, kPrompts) << "the result line goes to the log, not to the console";
    EXPECT_EQ(r.err, "");
    const std::string written = log.read();
    EXPECT_NE(written.find("INFO  Successful results; Result code: 0; message: Password changed"),
              std::string::npos)
        << written;
    EXPECT_EQ(written.find("secret"), std::string::npos);
}

TEST(EndToEnd, ArgumentErrorsComeAfterTheSetUp) {
    RouterProcess router;
    struct Case {
        std::vector<std::string> extra;
        std::string input, out, err;
    };
    const std::string longPwd(66, 'p');
    const Case cases[] = {
        {{"--help", "x"},
         "",
         kUsage,
         "Incorrect arguments: empty old password\n"
         "Arguments error: Incorrect arguments: empty old password\n"},
        {{},
         longPwd + " n n\n",
         kPrompts,
         "Old password must be 65 chars or less\n"
         "Arguments error: Old password must be 65 chars or less\n"},
        {{}, "a b c\n", kPrompts, "Passwords do not match.\n"},
        {{"--port", "-1"},
         "",
         "",
         "Command arguments error:\n" + kOptions +
             " (option '--port' cannot be specified more than once)\n\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.err);
        const RunResult r = tool(router, c.input, c.extra);
        EXPECT_EQ(r.exitCode(), 255);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.err.find(longPwd), std::string::npos);
    }
}

TEST(EndToEnd, ASetUpFailureMasksTheArgumentError) {
    testsupport::TempFile ini("[nonsense]\nkey = 1\n");
    const RunResult r = run({PWD_CHANGER_PATH, "--ini", ini.path()}, "\n");
    EXPECT_EQ(r.exitCode(), 255);
    EXPECT_EQ(r.out, kPrompts);
    // The library may explain the fault in a line of its own first.
    const std::string twice =
        "Error of qova_env_open, code: 131078\nError of qova_env_open, code: 131078\n";
    ASSERT_GE(r.err.size(), twice.size());
    EXPECT_EQ(r.err.substr(r.err.size() - twice.size()), twice) << r.err;
    EXPECT_EQ(r.err.find("Arguments error"), std::string::npos);
}

TEST(EndToEnd, ANegativePortIsInvalid) {
    const RunResult r = run({PWD_CHANGER_PATH, "--port", "-1"}, "a b b\n");
    EXPECT_EQ(r.exitCode(), 255);
    EXPECT_EQ(r.out, "") << "no prompt after a bad port";
    EXPECT_EQ(r.err, "Command arguments error:\n" + kOptions + " (invalid port)\n\n");
}

TEST(EndToEnd, AtThePromptCoreDumpsAreOffAndCtrlCRestoresEcho) {
    testsupport::PtyChild child(
        [] {
            execl(PWD_CHANGER_PATH, PWD_CHANGER_PATH, "--port", "1", static_cast<char*>(nullptr));
            return std::string("exec failed");
        },
        testsupport::Session::NewWithControllingTerminal);
    ASSERT_TRUE(child.waitForOutput("Enter old password: "));
    ASSERT_TRUE(testsupport::eventually([&] { return !child.echoOn(); }));
    std::ifstream limits("/proc/" + std::to_string(child.pid()) + "/limits");
    std::string line;
    bool checked = false;
    while (std::getline(limits, line)) {
        if (line.rfind("Max core file size", 0) == 0) {
            std::istringstream fields(line.substr(18));
            std::string soft, hard;
            fields >> soft >> hard;
            EXPECT_EQ(soft, "0");
            EXPECT_EQ(hard, "0");
            checked = true;
        }
    }
    EXPECT_TRUE(checked);
    child.type("typed\x03");
    int status = 0;
    ASSERT_TRUE(child.wait(status));
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGINT);
    EXPECT_TRUE(child.echoOn());
}

}  // namespace
