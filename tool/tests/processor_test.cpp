// The session against the scripted gateway double: set-up texts, teardown
// after a failure at every step, the loop, the request body, every reply.
#include "processor.h"

#include <gtest/gtest.h>
#include <password_scheme.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "log.h"
#include "qova_double.h"

namespace {

using qova_double::Message;
using qova_double::Step;
using Names = std::vector<std::string>;

// The publisher URL: the service, the publisher's name and the scheme text
// the gateway header carries (tested against its document there).
const std::string kPublisherUrl =
    std::string("ztmqpwd://KOLMA_SRV;name=pwd_changer;category=KOLMA_MSG;scheme=") +
    pwdscheme::kSchemeText;

ParamData defaults() {
    ParamData p;
    p.host = "127.0.0.1";
    p.port = 4001;
    p.app_name = "pwd_changer";
    p.old_password = "old-secret";
    p.new_password = "new-secret";
    return p;
}

Message reply169(std::int32_t code, const std::string& text) {
    Message m;
    m.msg_id = pwdscheme::kChangePasswordReplyId;
    m.body.assign(pwdscheme::kChangePasswordReplySize, '\0');
    std::memcpy(&m.body[0], &code, sizeof code);
    m.body.replace(pwdscheme::kReplyMessageOffset, text.size(), text);
    return m;
}

Message raw(std::uint32_t type, std::uint32_t id, std::string body) {
    Message m;
    m.type = type;
    m.msg_id = id;
    m.body = std::move(body);
    return m;
}

struct Output {
    std::string out;
    std::string err;
};

class ProcessorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        qova_double::reset();
        use_gateway_log = false;
    }
    void TearDown() override { use_gateway_log = false; }

    // Runs init and run on a fresh Processor, destroys it, and returns what
    // reached the console; `error` gets the exception's text, if any.
    Output session(const ParamData& params, std::string* error = nullptr,
                   bool* succeeded = nullptr) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        try {
            Processor processor(params);
            processor.init();
            processor.run();
            if (succeeded != nullptr) {
                *succeeded = processor.isSucceeded();
            }
        } catch (const std::runtime_error& e) {
            if (error != nullptr) {
                *error = e.what();
            }
        }
        Output o;
        o.out = testing::internal::GetCapturedStdout();
        o.err = testing::internal::GetCapturedStderr();
        return o;
    }

    const qova_double::Record& rec() { return qova_double::record(); }

    // The set-up calls (before the loop first reads the connection state).
    Names setUp() {
        const Names all = rec().names();
        const auto loop = std::find(all.begin(), all.end(), "qova_conn_getstate");
        return Names(all.begin(), loop);
    }

    // What the loop did, pass by pass: each pass begins with reading the
    // connection state, and holds the calls that act (open, close, process,
    // the request).  Reading the publisher's and the listener's state is
    // left out: the contract fixes what a pass does, not how it looks.
    // The teardown after the last pass is not included.
    std::vector<Names> passes() {
        const Names all = rec().names();
        std::size_t end = 0;  // one past the last state read
        for (std::size_t i = 0; i < all.size(); ++i) {
            if (all[i].find("_getstate") != std::string::npos) end = i + 1;
        }
        std::vector<Names> out;
        for (std::size_t i = 0; i < end; ++i) {
            if (all[i] == "qova_conn_getstate") {
                out.emplace_back();
            } else if (!out.empty() && all[i].find("_getstate") == std::string::npos) {
                out.back().push_back(all[i]);
            }
        }
        return out;
    }

    // The calls made after the last call named `after`.
    Names callsAfterLast(const std::string& after) {
        const Names all = rec().names();
        for (std::size_t i = all.size(); i-- > 0;) {
            if (all[i] == after) {
                return Names(all.begin() + static_cast<long>(i) + 1, all.end());
            }
        }
        return {};
    }
};

// ---- set-up ----------------------------------------------------------------

struct SetupCase {
    const char* label;
    std::string ini, host, local_pass;
    unsigned short port;
    std::string settings, connUrl;
};

TEST_F(ProcessorTest, SettingsTextAndUrls) {
    const SetupCase cases[] = {
        {"defaults", "", "127.0.0.1", "", 4001, "log=null;subsystems=mq,mqpwd,replclient",
         "zttcp://127.0.0.1:4001;app_name=pwd_changer;"},
        {"ini", "/etc/q.ini", "127.0.0.1", "", 4001,
         "ini=/etc/q.ini;subsystems=mq,mqpwd,replclient",
         "zttcp://127.0.0.1:4001;app_name=pwd_changer;"},
        {"port 0", "", "127.0.0.1", "", 0, "log=null;subsystems=mq,mqpwd,replclient",
         "zttcp://127.0.0.1;app_name=pwd_changer;"},
        {"empty host", "", "", "", 4001, "log=null;subsystems=mq,mqpwd,replclient",
         "zttcp://;app_name=pwd_changer;"},
        {"local pass", "", "gw.example", "l0cal", 65535, "log=null;subsystems=mq,mqpwd,replclient",
         "zttcp://gw.example:65535;app_name=pwd_changer;local_pass=l0cal"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        qova_double::reset();
        ParamData p = defaults();
        p.ini = c.ini;
        p.host = c.host;
        p.port = c.port;
        p.local_pass = c.local_pass;
        {
            Processor processor(p);
            processor.init();
            EXPECT_EQ(use_gateway_log, !c.ini.empty());
        }
        EXPECT_FALSE(use_gateway_log);
        EXPECT_EQ(rec().first("qova_env_open")->args, Names{c.settings});
        EXPECT_EQ(rec().first("qova_conn_new")->args, Names{c.connUrl});
        const auto* pub = rec().first("qova_pub_new");
        ASSERT_NE(pub, nullptr);
        EXPECT_EQ(pub->args.at(1), kPublisherUrl);
        const auto* lsn = rec().first("qova_lsn_new");
        ASSERT_NE(lsn, nullptr);
        EXPECT_EQ(lsn->args.at(1), "ztmqpwdreply://;ref=pwd_changer;format=ztbinfmt");
        EXPECT_EQ(lsn->args.at(2), "ptr") << "the Processor is the callback's user data";
        // Set-up opens nothing on the network.
        EXPECT_EQ(rec().count("qova_conn_open"), 0u);
    }
}

struct FailureCase {
    const char* operation;
    qova_result_t result;
    const char* message;
    Names teardown;  // calls after the failing one
};

TEST_F(ProcessorTest, SetupFailureReleasesWhatExists) {
    const FailureCase cases[] = {
        {"qova_env_open",
         0xFFFFFFFFu,
         "Error of qova_env_open, code: 4294967295",
         {"qova_env_close"}},
        {"qova_conn_new", QOVA_E_URL, "Error of qova_conn_new, code: 131077", {"qova_env_close"}},
        {"qova_pub_new",
         QOVA_E_SCHEME,
         "Error of qova_pub_new, code: 131081",
         {"qova_conn_close", "qova_conn_destroy", "qova_env_close"}},
        {"qova_lsn_new",
         QOVA_E_URL,
         "Error of qova_lsn_new, code: 131077",
         {"qova_conn_close", "qova_pub_destroy", "qova_conn_destroy", "qova_env_close"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.operation);
        qova_double::reset();
        qova_double::script().results[c.operation] = {c.result};
        std::string error;
        const Output o = session(defaults(), &error);
        EXPECT_EQ(error, c.message);
        EXPECT_EQ(o.err, std::string(c.message) + "\n") << "logged once as Error";
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(callsAfterLast(c.operation), c.teardown);
        EXPECT_EQ(rec().count("qova_env_close"), 1u);
        EXPECT_EQ(rec().live_objects, 0);
        EXPECT_FALSE(use_gateway_log);
    }
}

TEST_F(ProcessorTest, TeardownOrderAfterACompleteRun) {
    qova_double::script().steps = {Step::deliver(reply169(0, "Password changed"))};
    bool ok = false;
    session(defaults(), nullptr, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(callsAfterLast("qova_lsn_getstate"),
              (Names{"qova_conn_close", "qova_lsn_destroy", "qova_pub_destroy", "qova_conn_destroy",
                     "qova_env_close"}));
    EXPECT_EQ(rec().live_objects, 0);
}

TEST_F(ProcessorTest, TeardownWithoutInitStillClosesTheEnvironment) {
    { Processor processor(defaults()); }
    EXPECT_EQ(rec().names(), Names{"qova_env_close"});
}

// ---- the loop ----------------------------------------------------------------

TEST_F(ProcessorTest, BringsUpOneStepPerPassAndPostsOnce) {
    qova_double::script().steps = {Step::deliver(reply169(0, "Password changed"))};
    session(defaults());
    EXPECT_EQ(setUp(), (Names{"qova_env_open", "qova_conn_new", "qova_pub_new", "qova_lsn_new"}));
    const std::vector<Names> expected = {
        {"qova_conn_open"},                      // connection closed -> open
        {"qova_conn_process", "qova_pub_open"},  // publisher closed -> open
        {"qova_conn_process", "qova_lsn_open"},  // listener closed -> open
        {"qova_conn_process", "qova_pub_msgnew", "qova_pub_post", "qova_pub_msgfree"},  // request
        {"qova_conn_process"},  // the reply arrives; the pass ends, nothing is sent
    };
    EXPECT_EQ(passes(), expected);
    const auto* process = rec().first("qova_conn_process");
    EXPECT_EQ(process->args, (Names{"1", "null"}));
    EXPECT_EQ(rec().first("qova_conn_open")->args.at(1), "null");
    EXPECT_EQ(rec().first("qova_pub_open")->args.at(1), "");
    EXPECT_EQ(rec().first("qova_lsn_open")->args.at(1), "");
    EXPECT_EQ(rec().first("qova_pub_msgnew")->args, (Names{"ptr", "1", "421"}));
    EXPECT_EQ(rec().first("qova_pub_post")->args.at(2), "1");
}

TEST_F(ProcessorTest, ManyQuietPassesStillOneRequest) {
    auto& steps = qova_double::script().steps;
    for (int i = 0; i < 200; ++i) {
        steps.push_back(Step::returns(QOVA_E_TIMEOUT));
    }
    steps.push_back(Step::deliver(reply169(0, "ok")));
    bool ok = false;
    session(defaults(), nullptr, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(rec().count("qova_pub_post"), 1u);
    EXPECT_GE(rec().count("qova_conn_process"), 203u);
}

TEST_F(ProcessorTest, LostConnectionIsReopenedWithoutASecondRequest) {
    qova_double::script().steps = {Step::loseConnection(), Step::returns(QOVA_E_TIMEOUT),
                                   Step::returns(QOVA_E_TIMEOUT),
                                   Step::deliver(reply169(0, "Password changed"))};
    bool ok = false;
    session(defaults(), nullptr, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(rec().count("qova_conn_open"), 2u);
    EXPECT_EQ(rec().count("qova_pub_open"), 2u);
    EXPECT_EQ(rec().count("qova_lsn_open"), 2u);
    EXPECT_EQ(rec().count("qova_pub_post"), 1u);
    EXPECT_EQ(rec().count("qova_pub_msgnew"), 1u);
    // The error states were met with a close (besides the one at teardown).
    EXPECT_EQ(rec().count("qova_conn_close"), 2u);
    EXPECT_EQ(rec().count("qova_pub_close"), 1u);
}

TEST_F(ProcessorTest, ErrorStatesAreClosedAndOtherStatesPolled) {
    auto& states = qova_double::script().states;
    states["qova_conn_getstate"] = {QOVA_STATE_ERROR, QOVA_STATE_OPENING, QOVA_STATE_OPENING};
    states["qova_pub_getstate"] = {QOVA_STATE_ERROR, QOVA_STATE_OPENING};
    states["qova_lsn_getstate"] = {QOVA_STATE_ERROR, QOVA_STATE_OPENING};
    qova_double::script().steps = {Step::deliver(reply169(0, "ok"))};
    session(defaults());
    const std::vector<Names> expected = {
        {"qova_conn_close"},  // connection in error -> close
        {},                   // opening: nothing, not even processing
        {},
        {"qova_conn_open"},                       // closed -> open
        {"qova_conn_process", "qova_pub_close"},  // publisher in error -> close
        {"qova_conn_process"},                    // opening: nothing
        {"qova_conn_process", "qova_pub_open"},   // closed -> open
        {"qova_conn_process", "qova_lsn_close"},  // listener in error -> close
        {"qova_conn_process"},                    // opening: nothing
        {"qova_conn_process", "qova_lsn_open"},   // closed -> open
        {"qova_conn_process", "qova_pub_msgnew", "qova_pub_post", "qova_pub_msgfree"},
        {"qova_conn_process"},
    };
    EXPECT_EQ(passes(), expected);
}

TEST_F(ProcessorTest, LoopFailuresCarryTheOperationsMessage) {
    struct Case {
        const char* operation;
        std::map<std::string, std::deque<std::uint32_t>> states;
    };
    const Case cases[] = {
        {"qova_conn_getstate", {}},
        {"qova_conn_open", {}},
        {"qova_conn_close", {{"qova_conn_getstate", {QOVA_STATE_ERROR}}}},
        {"qova_conn_process", {}},
        {"qova_pub_getstate", {}},
        {"qova_pub_open", {}},
        {"qova_pub_close", {{"qova_pub_getstate", {QOVA_STATE_ERROR}}}},
        {"qova_lsn_getstate", {}},
        {"qova_lsn_open", {}},
        {"qova_lsn_close", {{"qova_lsn_getstate", {QOVA_STATE_ERROR}}}},
        {"qova_pub_msgnew", {}},
        {"qova_pub_post", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.operation);
        qova_double::reset();
        qova_double::script().results[c.operation] = {0xFFFFFFFFu};
        qova_double::script().states = c.states;
        std::string error;
        const Output o = session(defaults(), &error);
        const std::string message = std::string("Error of ") + c.operation + ", code: 4294967295";
        EXPECT_EQ(error, message);
        EXPECT_EQ(o.err, message + "\n");
        EXPECT_EQ(rec().count("qova_env_close"), 1u);
        EXPECT_EQ(rec().live_objects, 0) << "a message not freed after a failed post?";
    }
}

TEST_F(ProcessorTest, ProcessTimeoutIsNoFailureButOtherResultsAre) {
    qova_double::script().steps = {Step::returns(QOVA_E_TIMEOUT), Step::returns(QOVA_E_IO)};
    std::string error;
    session(defaults(), &error);
    EXPECT_EQ(error, "Error of qova_conn_process, code: 131084");
    EXPECT_EQ(rec().count("qova_pub_post"), 1u);
}

// ---- the request ------------------------------------------------------------------

TEST_F(ProcessorTest, RequestBodyHoldsBothPasswordsNulTerminated) {
    const std::string longest(65, 'o');
    const std::string other = std::string(64, 'n') + "N";
    const std::pair<std::string, std::string> cases[] = {
        {"old-secret", "new-secret"}, {longest, other}, {"a", longest}};
    for (const auto& [oldPwd, newPwd] : cases) {
        qova_double::reset();
        qova_double::script().steps = {Step::deliver(reply169(0, "ok"))};
        ParamData p = defaults();
        p.old_password = oldPwd;
        p.new_password = newPwd;
        session(p);
        ASSERT_EQ(rec().posted_bodies.size(), 1u);
        const std::string& body = rec().posted_bodies[0];
        ASSERT_EQ(body.size(), 132u);
        std::string expected(132, '\0');
        expected.replace(0, oldPwd.size(), oldPwd);
        expected.replace(66, newPwd.size(), newPwd);
        EXPECT_EQ(body, expected);
        EXPECT_EQ(body[65], '\0');
        EXPECT_EQ(body[131], '\0');
        EXPECT_EQ(rec().freed_bodies, std::vector<std::string>{std::string(132, '\0')})
            << "the tool wipes the body itself before the message is freed";
    }
}

TEST_F(ProcessorTest, ARequestBodyTooSmallIsRefusedNotOverrun) {
    qova_double::script().msg_body_size = 100;
    std::string error;
    session(defaults(), &error);
    EXPECT_EQ(error, "Error of qova_pub_msgnew: request body of 100 bytes, 132 needed");
    EXPECT_EQ(rec().count("qova_pub_post"), 0u);
    EXPECT_EQ(rec().live_objects, 0);
}

// ---- replies --------------------------------------------------------------------------

struct ReplyCase {
    const char* label;
    Message message;
    bool succeeded;
    std::string out;
    std::string err;
};

TEST_F(ProcessorTest, EveryReplyKindItsLinesAndVerdict) {
    Message shortReply = raw(QOVA_MSG_DATA, 169, std::string("\0\0", 2));
    Message nullReply = raw(QOVA_MSG_DATA, 169, "");
    nullReply.null_body = true;
    std::string noNul(4, '\0');
    noNul += "abcdef";  // a 10-byte body whose text has no NUL
    std::string longText(300, 'm');
    Message fullText = reply169(3, "");
    fullText.body.replace(4, 256, longText.substr(0, 256));  // no NUL in the whole field
    const std::string dumped = "KOLMA_MSG100 code=7 message=store failed";

    const ReplyCase cases[] = {
        {"169 success", reply169(0, "Password changed"), true,
         "Successful results; Result code: 0; message: Password changed\n", ""},
        {"169 wrong old", reply169(1, "Wrong old password"), false, "",
         "Unsuccessful results; Result code: 1; message: Wrong old password\n"},
        {"169 code -1", reply169(-1, "boom"), false, "",
         "Unsuccessful results; Result code: 4294967295; message: boom\n"},
        {"169 percent", reply169(0, "100% done %s %1% %%"), true,
         "Successful results; Result code: 0; message: 100% done %s %1% %%\n", ""},
        {"169 text without NUL stops at 255", fullText, false, "",
         "Unsuccessful results; Result code: 3; message: " + std::string(255, 'm') + "\n"},
        {"169 text stops at the body's end", raw(QOVA_MSG_DATA, 169, noNul), true,
         "Successful results; Result code: 0; message: abcdef\n", ""},
        {"169 only a code", raw(QOVA_MSG_DATA, 169, std::string(4, '\0')), true,
         "Successful results; Result code: 0; message: \n", ""},
        {"169 too short for a code", shortReply, false, dumped + "\n", "Unsuccessful result\n"},
        {"169 without body", nullReply, false, dumped + "\n", "Unsuccessful result\n"},
        {"99 flood", raw(QOVA_MSG_DATA, 99, std::string(137, '\0')), false, dumped + "\n",
         "Unsuccessful result\n"},
        {"100 failure", raw(QOVA_MSG_DATA, 100, std::string(260, '\0')), false, dumped + "\n",
         "Unsuccessful result\n"},
        {"unknown id", raw(QOVA_MSG_DATA, 7, "xyz"), false, dumped + "\n", "Unsuccessful result\n"},
        {"time-out notice", raw(QOVA_MSG_TIMEOUT, 0, ""), false, "",
         "Unsuccessful result, has gotten timeout msg\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        qova_double::reset();
        qova_double::script().steps = {Step::deliver(c.message)};
        bool ok = !c.succeeded;
        std::string error;
        const Output o = session(defaults(), &error, &ok);
        EXPECT_EQ(error, "");
        EXPECT_EQ(ok, c.succeeded);
        EXPECT_EQ(o.out, c.out);
        EXPECT_EQ(o.err, c.err);
        const bool dumps = c.out == dumped + "\n";
        EXPECT_EQ(rec().count("qova_msg_dump"), dumps ? 1u : 0u);
        if (dumps) {
            EXPECT_EQ(rec().first("qova_pub_getscheme")->args, Names{"ptr"});
            EXPECT_EQ(rec().first("qova_msg_dump")->args, (Names{"ptr", "ptr", "1024"}));
        }
    }
}

TEST_F(ProcessorTest, OtherMessageTypesKeepTheLoopGoingButClearTheVerdict) {
    Processor processor(defaults());
    Message success = reply169(0, "ok");
    qova_msg_t good{QOVA_MSG_DATA, 169, success.body.data(), success.body.size()};
    qova_msg_t odd{0x999, 0, nullptr, 0};
    testing::internal::CaptureStdout();
    processor.processClientMessage(&good);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(processor.isSucceeded());
    EXPECT_FALSE(processor.isRunning());

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    Processor::clientMessageCallback(nullptr, nullptr, &odd, &processor);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(processor.isSucceeded());

    Processor running(defaults());
    running.processClientMessage(&odd);
    EXPECT_TRUE(running.isRunning());
    EXPECT_FALSE(running.isSucceeded());
}

TEST_F(ProcessorTest, AFailureWhileHandlingAReplyEndsTheRunUnsuccessfully) {
    qova_double::script().dump_throws = true;
    qova_double::script().steps = {Step::deliver(raw(QOVA_MSG_DATA, 100, std::string(260, 0)))};
    bool ok = true;
    std::string error;
    const Output o = session(defaults(), &error, &ok);
    EXPECT_EQ(error, "") << "nothing may unwind through the library";
    EXPECT_FALSE(ok);
    EXPECT_EQ(o.err, "Unsuccessful result, the reply could not be handled\n");
    EXPECT_EQ(rec().live_objects, 0);
}

TEST_F(ProcessorTest, DumpWithoutNulIsCutAtTheBuffer) {
    qova_double::script().dump_without_nul = true;
    qova_double::script().steps = {Step::deliver(raw(QOVA_MSG_DATA, 100, std::string(260, 0)))};
    const Output o = session(defaults());
    EXPECT_EQ(o.out, std::string(1024, 'x') + "\n");
    EXPECT_EQ(o.err, "Unsuccessful result\n");
}

TEST_F(ProcessorTest, WithAnIniFileTheLinesGoToTheGatewayLog) {
    ParamData p = defaults();
    p.ini = "/some/qova.ini";
    qova_double::script().steps = {Step::deliver(reply169(0, "50% off"))};
    const Output o = session(p);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(rec().info_lines, Names{"Successful results; Result code: 0; message: 50% off"});

    qova_double::reset();
    qova_double::script().steps = {Step::deliver(raw(QOVA_MSG_DATA, 99, std::string(137, 0)))};
    const Output o2 = session(p);
    EXPECT_EQ(o2.out + o2.err, "");
    EXPECT_EQ(rec().info_lines, Names{"KOLMA_MSG100 code=7 message=store failed"});
    EXPECT_EQ(rec().error_lines, Names{"Unsuccessful result"});

    // A failure goes to the gateway's error log once (main prints it again).
    qova_double::reset();
    qova_double::script().results["qova_conn_open"] = {QOVA_E_CONNECT};
    std::string error;
    const Output o3 = session(p, &error);
    EXPECT_EQ(o3.out + o3.err, "");
    EXPECT_EQ(rec().error_lines, Names{"Error of qova_conn_open, code: 131079"});
    EXPECT_EQ(error, "Error of qova_conn_open, code: 131079");
}

TEST_F(ProcessorTest, AnEnvironmentThatFailsToOpenLogsToTheConsoleEvenWithAnIni) {
    ParamData p = defaults();
    p.ini = "/some/qova.ini";
    qova_double::script().results["qova_env_open"] = {QOVA_E_INI};
    std::string error;
    const Output o = session(p, &error);
    EXPECT_EQ(o.err, "Error of qova_env_open, code: 131078\n");
    EXPECT_TRUE(rec().error_lines.empty());
}

}  // namespace
