// The option table, parsing, defaults, the usage text and the error block;
// passwords come from a pipe on standard input.
#include "cmdline.h"

#include <gtest/gtest.h>
#include <testsupport/scoped.h>
#include <testsupport/scratch.h>
#include <unistd.h>

#include <stdexcept>

#include "params.h"
#include "qova_double.h"
#include "tool_texts.h"

namespace {

using tooltexts::kOptions;
using tooltexts::kPrompts;
using tooltexts::kUsage;

std::string errorBlock(const std::string& message) {
    return "Command arguments error:\n" + kOptions + " (" + message + ")\n";
}

struct Parsed {
    ParamData data;
    std::string error;  // empty when parseCmdArgs returned
    std::string out;
};

class CmdLineTest : public ::testing::Test {
  protected:
    // The option records keep the values of a parse; each test starts from
    // the built-in defaults.
    void SetUp() override {
        qova_double::reset();
        for (const CmdParamInfo& p : cmd_params) {
            saved_.push_back(p.value);
        }
    }
    void TearDown() override {
        for (std::size_t i = 0; i < saved_.size(); ++i) {
            cmd_params[i].get().value = saved_[i];
        }
    }

    Parsed parse(std::vector<std::string> args, const std::string& input = "old new new\n") {
        args.insert(args.begin(), "pwd_changer");
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        Parsed parsed;
        parsed.data.host = "left over";
        parsed.data.old_password = "left over";
        testsupport::StdinFrom in(input);
        testing::internal::CaptureStdout();
        try {
            parseCmdArgs(static_cast<int>(args.size()), argv.data(), parsed.data);
        } catch (const std::runtime_error& e) {
            parsed.error = e.what();
        }
        parsed.out = testing::internal::GetCapturedStdout();
        return parsed;
    }

  private:
    std::vector<std::string> saved_;
};

TEST_F(CmdLineTest, DefaultsThenThePrompts) {
    const Parsed p = parse({});
    ASSERT_EQ(p.error, "");
    EXPECT_EQ(p.data.ini, "");
    EXPECT_EQ(p.data.host, "127.0.0.1");
    EXPECT_EQ(p.data.port, 4001);
    EXPECT_EQ(p.data.app_name, "pwd_changer");
    EXPECT_EQ(p.data.local_pass, "");
    EXPECT_EQ(p.data.old_password, "old");
    EXPECT_EQ(p.data.new_password, "new");
    EXPECT_EQ(p.out, kPrompts);
    EXPECT_TRUE(qova_double::record().calls.empty()) << "no gateway call without help";
}

TEST_F(CmdLineTest, EachOption) {
    testsupport::ScratchDir dir;
    const std::string ini = dir.write("q.ini", "[session]\n");
    struct Case {
        std::vector<std::string> args;
        std::string ParamData::*field;
        std::string expected;
    };
    const Case cases[] = {
        {{"--host", "gw.example"}, &ParamData::host, "gw.example"},
        {{"--host=10.0.0.1"}, &ParamData::host, "10.0.0.1"},
        {{"--ho", "abbrev"}, &ParamData::host, "abbrev"},
        {{"--app_name", "teller"}, &ParamData::app_name, "teller"},
        {{"--local_pass", "gw-pass"}, &ParamData::local_pass, "gw-pass"},
        {{"--ini", ini}, &ParamData::ini, ini},
        {{"-i", ini}, &ParamData::ini, ini},
        {{"-i" + ini}, &ParamData::ini, ini},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        const Parsed p = parse(c.args);
        ASSERT_EQ(p.error, "");
        EXPECT_EQ(p.data.*c.field, c.expected);
        EXPECT_EQ(p.out, kPrompts);
    }
    EXPECT_EQ(dir.read("q.ini"), "[session]\n") << "the ini file is not touched";
}

TEST_F(CmdLineTest, TheGivenHostStaysInItsRecordTheLocalPasswordDoesNot) {
    parse({"--host", "given"});
    EXPECT_EQ(cmd_params[1].get().value, "given");
    const Parsed p = parse({"--local_pass", "gw-pass"});
    EXPECT_EQ(p.data.local_pass, "gw-pass");
    EXPECT_EQ(cmd_params[4].get().value, "") << "a copy of the local password was kept";
}

TEST_F(CmdLineTest, AnIniFileOfAtMostOneMebibyte) {
    testsupport::ScratchDir dir;
    for (const long long size : {kMaxIniFileSize, kMaxIniFileSize + 1}) {
        SCOPED_TRACE(size);
        const std::string ini = dir.write("q.ini", "");
        ASSERT_EQ(truncate(ini.c_str(), size), 0);
        const Parsed p = parse({"--ini", ini});
        EXPECT_EQ(p.error, size > kMaxIniFileSize ? errorBlock("File too large: " + ini) : "");
    }
}

TEST_F(CmdLineTest, Ports) {
    struct Case {
        const char* text;
        unsigned short port;  // when valid
        bool valid;
    };
    const Case cases[] = {{"5000", 5000, true},    {"0", 0, true},    {"65535", 65535, true},
                          {"4001abc", 4001, true}, {" 77", 77, true}, {"70000", 0, false},
                          {"65536", 0, false},     {"abc", 0, false}, {"-1", 0, false},
                          {"-0", 0, false},        {"", 0, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const Parsed p = parse({"--port", c.text});
        if (c.valid) {
            ASSERT_EQ(p.error, "");
            EXPECT_EQ(p.data.port, c.port);
        } else {
            EXPECT_EQ(p.error, errorBlock("invalid port"));
            EXPECT_EQ(p.out, "") << "a bad port is reported before any prompt";
        }
    }
}

TEST_F(CmdLineTest, OptionErrorsGiveTheErrorBlock) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{"--foo", "1"}, "unrecognised option '--foo'"},
        {{"-x"}, "unrecognised option '-x'"},
        // the library's own placeholders in what was typed (found by fuzzing:
        // the message never finished)
        {{"--x%canonical_option%"}, "unrecognised option '--x%canonical_option%'"},
        {{"--h=%original_token%"},
         "option '--h=%original_token%' is ambiguous and matches '--help', and '--host'"},
        {{"--x%option%="},
         "the argument for option '--x%option%' should follow immediately after the equal sign"},
        {{"--host"}, "the required argument for option '--host' is missing"},
        {{"--help"}, "the required argument for option '--help' is missing"},
        {{"--host", "a", "--host", "b"}, "option '--host' cannot be specified more than once"},
        {{"--ini", "/no/such/file"}, "File not found: /no/such/file"},
        {{"--ini", ""}, "File not found: "},
        {{"--ini="},
         "the argument for option '--ini' should follow immediately after the equal sign"},
        {{"--port", "-1"}, "invalid port"},
        {{"--port=-1"}, "invalid port"},
        // check order: parse errors, help, ini file, port
        {{"--help", "x", "--foo", "1"}, "unrecognised option '--foo'"},
        {{"--port", "abc", "--ini", "/no/such/file"}, "File not found: /no/such/file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const Parsed p = parse(c.args);
        EXPECT_EQ(p.error, errorBlock(c.message));
        EXPECT_EQ(p.out, "");
    }
}

TEST_F(CmdLineTest, HelpWithAValuePrintsUsageAndAsksNothing) {
    const std::vector<std::vector<std::string>> cases = {{"-h", "1"},
                                                         {"--help=yes"},
                                                         {"--help", "x", "--ini", "/no/such/file"},
                                                         {"--port", "abc", "-h", "1"}};
    for (const auto& args : cases) {
        SCOPED_TRACE(args[0]);
        qova_double::reset();
        const Parsed p = parse(args);
        EXPECT_EQ(p.error, "");
        EXPECT_EQ(p.out, kUsage);
        EXPECT_EQ(qova_double::record().info_lines, std::vector<std::string>{kUsage});
        EXPECT_TRUE(p.data.old_password.empty() && p.data.new_password.empty() &&
                    p.data.host.empty() && p.data.ini.empty());
        EXPECT_EQ(p.data.port, 0);
    }
}

TEST_F(CmdLineTest, MismatchPassesThroughWithoutTheBlock) {
    const Parsed p = parse({}, "old new neW\n");
    EXPECT_EQ(p.error, "Passwords do not match.");
    EXPECT_EQ(p.out, kPrompts);
}

}  // namespace
