// Log routing, the one failure-reporting operation, validation of the
// parameter record and the wiping of passwords.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "log.h"
#include "params.h"
#include "processor.h"
#include "qova_double.h"
#include "secret.h"
#include "test_support.h"

namespace {

using Lines = std::vector<std::string>;

struct Routed {
    std::string out, err;
    Lines info, error;
};

Routed route(LogMode mode, const std::string& text, bool gateway) {
    qova_double::reset();
    use_gateway_log = gateway;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    log_message(mode, text);
    Routed r;
    r.out = testing::internal::GetCapturedStdout();
    r.err = testing::internal::GetCapturedStderr();
    r.info = qova_double::record().info_lines;
    r.error = qova_double::record().error_lines;
    use_gateway_log = false;
    return r;
}

TEST(LogMessage, RoutesBySeverityAndFlag) {
    const std::string text = "50% of %s %1% done";
    struct Case {
        LogMode mode;
        bool gateway;
        std::string out, err;
        Lines info, error;
    };
    const Case cases[] = {
        {LogMode::Debug, false, text + "\n", "", {}, {}},
        {LogMode::Info, false, text + "\n", "", {}, {}},
        {LogMode::Error, false, "", text + "\n", {}, {}},
        {LogMode::Debug, true, "", "", {text}, {}},
        {LogMode::Info, true, "", "", {text}, {}},
        {LogMode::Error, true, "", "", {}, {text}},
        {static_cast<LogMode>(3), false, "", "", {}, {}},
        {static_cast<LogMode>(-1), true, "", "", {}, {}},
        {static_cast<LogMode>(7), true, "", "", {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "mode " << static_cast<int>(c.mode) << " gateway " << c.gateway);
        const Routed r = route(c.mode, text, c.gateway);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.info, c.info);
        EXPECT_EQ(r.error, c.error);
    }
}

TEST(LogAndThrow, LogsOneErrorLineThenThrowsTheSameText) {
    use_gateway_log = false;
    testing::internal::CaptureStderr();
    try {
        Processor::logAndThrowRuntimeError("Error of qova_conn_open, code: 7");
        ADD_FAILURE() << "did not throw";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Error of qova_conn_open, code: 7");
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error of qova_conn_open, code: 7\n");
}

TEST(BaseArgsChecks, PasswordRules) {
    const std::string s65(65, 'a'), s66(66, 'b'), s70(70, 'c');
    std::string cyrillic;
    for (int i = 0; i < 33; ++i) {
        cyrillic += "\xD0\x96";  // 33 two-byte characters: 66 bytes
    }
    struct Case {
        std::string oldPwd, newPwd, error;
    };
    const Case cases[] = {
        {s65, "x", ""},
        {"x", s65, ""},
        {s66, "x", "Old password must be 65 chars or less"},
        {"x", s66, "New password must be 65 chars or less"},
        {"", "", "Incorrect arguments: empty old password"},
        {s70, "", "Incorrect arguments: empty new password"},
        {s66, s66, "Old password must be 65 chars or less"},
        {cyrillic, "x", "Old password must be 65 chars or less"},
        {"", "x", "Incorrect arguments: empty old password"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        ParamData p;
        p.old_password = c.oldPwd;
        p.new_password = c.newPwd;
        std::string error = "left over from before";
        testing::internal::CaptureStderr();
        const bool ok = baseArgsChecks(p, error);
        const std::string logged = testing::internal::GetCapturedStderr();
        EXPECT_EQ(ok, c.error.empty());
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(logged, c.error.empty() ? "" : c.error + "\n");
    }
}

TEST(Wipe, ClearsEveryByteTheStringOwned) {
    for (const std::size_t length : {std::size_t{5}, std::size_t{15}, std::size_t{100}}) {
        std::string secret(length, 's');
        const std::size_t capacity = secret.capacity();
        const char* storage = secret.data();
        wipe(secret);
        EXPECT_TRUE(secret.empty());
        EXPECT_EQ(secret.data(), storage) << "the buffer must be cleared, not swapped away";
        for (std::size_t i = 0; i < capacity; ++i) {
            ASSERT_EQ(storage[i], '\0') << "byte " << i << " of " << length;
        }
    }
    ParamData p;
    p.old_password = std::string(40, 'o');
    p.new_password = std::string(40, 'n');
    p.local_pass = std::string(40, 'l');
    p.host = "kept";
    wipeSecrets(p);
    EXPECT_TRUE(p.old_password.empty() && p.new_password.empty() && p.local_pass.empty());
    EXPECT_EQ(p.host, "kept");
}

TEST(DisableCoreDumps, LimitZeroAndNotDumpable) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        disableCoreDumps();
        rlimit limit{};
        getrlimit(RLIMIT_CORE, &limit);
        const bool ok =
            limit.rlim_cur == 0 && limit.rlim_max == 0 && prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) == 0;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_TRUE(testsupport::waitFor(child, status, 10000));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
