// Log routing, the one failure-reporting operation, validation of the
// parameter record and the wiping of passwords.
#include <gtest/gtest.h>

#include <stdexcept>

#include "log.h"
#include "params.h"
#include "processor.h"
#include "qova_double.h"

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
    const std::string nul("nulpre\0suffix", 13);
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
        // a NUL would cut the password in the request; checked after the lengths
        {nul, "x", "Old password must not contain a NUL byte"},
        {"x", nul, "New password must not contain a NUL byte"},
        {nul, nul, "Old password must not contain a NUL byte"},
        {nul, s66, "New password must be 65 chars or less"},
        {std::string(1, '\0'), "x", "Old password must not contain a NUL byte"},
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

TEST(WipeSecrets, ClearsThePasswordsAndTheLocalPasswordOnly) {
    ParamData p;
    p.old_password = std::string(40, 'o');
    p.new_password = std::string(40, 'n');
    p.local_pass = std::string(40, 'l');
    p.host = "kept";
    wipeSecrets(p);
    EXPECT_TRUE(p.old_password.empty() && p.new_password.empty() && p.local_pass.empty());
    EXPECT_EQ(p.host, "kept");
}

}  // namespace
