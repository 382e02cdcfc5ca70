#include "params.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ini.h"

namespace qova::text {
namespace {

TEST(Params, AcceptedTexts) {
    struct Case {
        std::string text;
        std::vector<std::pair<std::string, std::string>> want;
    };
    const std::vector<Case> cases = {
        {"", {}},
        {"log=null", {{"log", "null"}}},
        {"log=null;subsystems=mq,mqpwd,replclient",
         {{"log", "null"}, {"subsystems", "mq,mqpwd,replclient"}}},
        {"a=1;", {{"a", "1"}}},                                   // trailing empty pair
        {"a=;b=x", {{"a", ""}, {"b", "x"}}},                      // empty value
        {"scheme=|STRING|XeN==", {{"scheme", "|STRING|XeN=="}}},  // '=' inside a value
        {"k= spaced ", {{"k", " spaced "}}},                      // nothing is trimmed
    };
    for (const Case& c : cases) {
        Params p;
        std::string error;
        ASSERT_TRUE(parseParams(c.text, p, error)) << c.text << ": " << error;
        ASSERT_EQ(p.items.size(), c.want.size()) << c.text;
        for (std::size_t i = 0; i < c.want.size(); ++i) {
            EXPECT_EQ(p.items[i].key, c.want[i].first) << c.text;
            EXPECT_EQ(p.items[i].value, c.want[i].second) << c.text;
        }
    }
}

TEST(Params, RejectedTexts) {
    for (const std::string text : {";", "a=1;;b=2", "novalue", "=x", "a=1;a=2", "a=1;;"}) {
        Params p;
        std::string error;
        EXPECT_FALSE(parseParams(text, p, error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

TEST(Params, ErrorsNeverQuoteValues) {
    Params p;
    std::string error;
    ASSERT_FALSE(parseParams("local_pass=hunter2;broken", p, error));
    EXPECT_EQ(error.find("hunter2"), std::string::npos) << error;
}

TEST(Params, FindAndUnknown) {
    Params p;
    std::string error;
    ASSERT_TRUE(parseParams("ini=/x;subsystems=a", p, error));
    ASSERT_NE(p.find("ini"), nullptr);
    EXPECT_EQ(*p.find("ini"), "/x");
    EXPECT_EQ(p.find("log"), nullptr);
    EXPECT_EQ(p.firstUnknown({"ini", "subsystems"}), nullptr);
    ASSERT_NE(p.firstUnknown({"ini"}), nullptr);
    EXPECT_EQ(*p.firstUnknown({"ini"}), "subsystems");
}

TEST(Url, SplitsSchemeAddressAndParameters) {
    struct Case {
        std::string text, scheme, address;
        std::size_t params;
    };
    const std::vector<Case> cases = {
        {"zttcp://127.0.0.1:4001;app_name=pwd_changer;", "zttcp", "127.0.0.1:4001", 1},
        {"zttcp://;app_name=x;local_pass=p", "zttcp", "", 2},
        {"ztmqpwdreply://;ref=pwd_changer;format=ztbinfmt", "ztmqpwdreply", "", 2},
        {"zttcp://host:1", "zttcp", "host:1", 0},
    };
    for (const Case& c : cases) {
        Url url;
        std::string error;
        ASSERT_TRUE(parseUrl(c.text, url, error)) << c.text << ": " << error;
        EXPECT_EQ(url.scheme, c.scheme);
        EXPECT_EQ(url.address, c.address);
        EXPECT_EQ(url.params.items.size(), c.params);
    }
    for (const std::string bad :
         {"", "zttcp:/x", "://x", "zt tcp://x", "zttcp://x;app_name", "zttcp://x;;a=1"}) {
        Url url;
        std::string error;
        EXPECT_FALSE(parseUrl(bad, url, error)) << bad;
    }
}

TEST(Ini, ReadsEveryEntry) {
    IniSettings ini;
    std::string error;
    ASSERT_TRUE(
        parseIni("; comment\n[log]\nfile = /tmp/q.log\n[session]\n"
                 "reply_timeout_ms = 250\nconnect_timeout_ms=900\n",
                 ini, error))
        << error;
    EXPECT_EQ(ini.log_file, "/tmp/q.log");
    EXPECT_EQ(ini.reply_timeout_ms, 250u);
    EXPECT_EQ(ini.connect_timeout_ms, 900u);

    ASSERT_TRUE(parseIni("", ini, error));
    EXPECT_FALSE(ini.log_file || ini.reply_timeout_ms || ini.connect_timeout_ms);
}

TEST(Ini, RejectsMistakes) {
    const std::vector<std::string> bad = {
        "[logs]\nfile=/x\n",                       // unknown section
        "[log]\npath=/x\n",                        // unknown key
        "[session]\nreply_timeout=5\n",            // unknown key
        "[session]\nreply_timeout_ms=0\n",         // out of range
        "[session]\nreply_timeout_ms=86400001\n",  // out of range
        "[session]\nconnect_timeout_ms=5s\n",      // not a number
        "[log]\nfile=\n",                          // empty path
        "file=/x\n",                               // outside a section
        "[log\nfile=/x\n",                         // not INI
        "[log]\nfile=/a\nfile=/b\n",               // duplicate key
    };
    for (const std::string& text : bad) {
        IniSettings ini;
        std::string error;
        EXPECT_FALSE(parseIni(text, ini, error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

}  // namespace
}  // namespace qova::text
