// The real pwd_changer against a real qova-router on a free loopback port:
// passwords through a pipe, exit status and output lines checked, every
// process under a time-out.  What the session, the parser and the library
// do is tested where each lives; here one change, one refusal, the time-out
// and the lost connection show the wiring, with what only the program as a
// whole fixes: the order of its phases, its texts on the console and its
// exit status.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <testsupport/net.h>
#include <testsupport/process.h>
#include <testsupport/pty.h>
#include <testsupport/router.h>
#include <testsupport/scratch.h>
#include <testsupport/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "tool_texts.h"

namespace {

using testsupport::RouterProcess;
using testsupport::run;
using testsupport::RunResult;

using tooltexts::kOptions;
using tooltexts::kPrompts;
using tooltexts::kUsage;

RunResult tool(const RouterProcess& router, const std::string& input,
               std::vector<std::string> extra = {}, std::vector<std::string> env = {}) {
    std::vector<std::string> argv = {PWD_CHANGER_PATH, "--host", "127.0.0.1", "--port",
                                     std::to_string(router.port())};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return run(argv, input, env);
}

TEST(EndToEnd, TheServicesVerdicts) {
    RouterProcess router({}, "old-secret");
    struct Case {
        std::string input;
        int exit;
        std::string out, err;
    };
    const Case cases[] = {
        {"wrong-one new-secret new-secret\n", 255, kPrompts,
         "Unsuccessful results; Result code: 1; message: Wrong old password\n"},
        {"old-secret new-secret new-secret\n", 0,
         kPrompts + "Successful results; Result code: 0; message: Password changed\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        const RunResult r = tool(router, c.input);
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.exitCode(), c.exit);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        for (const char* secret : {"wrong-one", "old-secret", "new-secret"}) {
            EXPECT_EQ((r.out + r.err).find(secret), std::string::npos) << secret;
        }
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
    const RunResult r = run({PWD_CHANGER_PATH, "--host", "127.0.0.1", "--port",
                             std::to_string(testsupport::freeLoopbackPort())},
                            "a b b\n");
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode(), 255);
    const std::string prefix = "Error of qova_conn_open, code: ";
    ASSERT_EQ(r.err.rfind(prefix, 0), 0u) << r.err;
    const std::string line = r.err.substr(0, r.err.find('\n') + 1);
    EXPECT_GT(std::stoul(line.substr(prefix.size())), 0ul);
    EXPECT_EQ(r.err, line + line) << "logged where it arose, then printed by main";
}

TEST(EndToEnd, WithAnIniTheResultGoesToTheGatewayLog) {
    RouterProcess router({}, "old-secret");
    testsupport::ScratchDir dir;
    const std::string ini = dir.write("q.ini", "[log]\nfile = " + dir.path("qova.log") + "\n");
    const RunResult r = tool(router, "old-secret new-secret new-secret\n", {"--ini", ini});
    EXPECT_EQ(r.exitCode(), 0) << r.err;
    EXPECT_EQ(r.out, kPrompts) << "the result line goes to the log, not to the console";
    EXPECT_EQ(r.err, "");
    const std::string written = dir.read("qova.log");
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
    const std::string nul("nulpre\0suffix", 13);  // the request would cut it at the NUL
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
        {{},
         "old-secret " + nul + " " + nul + "\n",
         kPrompts,
         "New password must not contain a NUL byte\n"
         "Arguments error: New password must not contain a NUL byte\n"},
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
    EXPECT_EQ(router.log().find(" request "), std::string::npos) << "a request was posted";
}

TEST(EndToEnd, ASetUpFailureMasksTheArgumentError) {
    testsupport::ScratchDir dir;
    const RunResult r =
        run({PWD_CHANGER_PATH, "--ini", dir.write("q.ini", "[nonsense]\nkey = 1\n")}, "\n");
    EXPECT_EQ(r.exitCode(), 255);
    EXPECT_EQ(r.out, kPrompts);
    // The library may explain the fault in a line of its own first.
    const std::string twice =
        "Error of qova_env_open, code: 131078\nError of qova_env_open, code: 131078\n";
    ASSERT_GE(r.err.size(), twice.size());
    EXPECT_EQ(r.err.substr(r.err.size() - twice.size()), twice) << r.err;
    EXPECT_EQ(r.err.find("Arguments error"), std::string::npos);
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

// --ini must name a regular file of at most 1 MiB.  It is looked at before
// the first prompt and without blocking: a FIFO without a writer, a device
// that never ends, a directory and a large file each end the run at once.
TEST(EndToEnd, AnIniThatIsNoSmallRegularFileEndsTheRunBeforeAnyPrompt) {
    RouterProcess router;
    testsupport::ScratchDir dir;
    const std::string fifo = dir.path("fifo.ini");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string large = dir.write("large.ini", "");
    ASSERT_EQ(truncate(large.c_str(), 1024 * 1024 + 1), 0);
    const std::pair<std::string, std::string> cases[] = {
        {"/dev/zero", "Not a regular file: /dev/zero"},
        {fifo, "Not a regular file: " + fifo},
        {dir.path(), "Not a regular file: " + dir.path()},
        {large, "File too large: " + large},
    };
    for (const auto& [path, message] : cases) {
        SCOPED_TRACE(path);
        const RunResult r = tool(router, "old-secret n n\n", {"--ini", path});
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.exitCode(), 255);
        EXPECT_EQ(r.out, "") << "no prompt";
        EXPECT_EQ(r.err, "Command arguments error:\n" + kOptions + " (" + message + ")\n\n");
    }
    EXPECT_EQ(router.log().find("welcomed"), std::string::npos) << "a session was opened";
}

// The output's reader is gone before the first prompt: the run goes on, the
// change is made, and the status says so (no death by SIGPIPE).
TEST(EndToEnd, AnOutputNobodyReadsDoesNotDecideTheStatus) {
    RouterProcess router({}, "old-secret");
    const std::string port = std::to_string(router.port());
    const RunResult r = testsupport::runInChild([&port] {
        int input[2], output[2];
        if (pipe(input) != 0 || pipe(output) != 0) return 125;
        const char text[] = "old-secret new-secret new-secret\n";
        if (write(input[1], text, sizeof text - 1) != static_cast<ssize_t>(sizeof text - 1))
            return 125;
        close(input[1]);
        close(output[0]);  // nobody reads: every write to standard output fails
        dup2(input[0], STDIN_FILENO);
        dup2(output[1], STDOUT_FILENO);
        signal(SIGPIPE, SIG_DFL);  // as a shell starts a pipeline's programs
        execl(PWD_CHANGER_PATH, PWD_CHANGER_PATH, "--port", port.c_str(),
              static_cast<char*>(nullptr));
        return 127;
    });
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode(), 0) << "wait status " << r.status;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(router.log().find("reply 169 code 0"), std::string::npos) << router.log();
}

}  // namespace
