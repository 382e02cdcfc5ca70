#include "router_options.h"

#include <gtest/gtest.h>

#include <regex>

namespace qova::router {
namespace {

RouterOptions parse(std::vector<std::string> args) { return parseRouterOptions(args); }

TEST(RouterOptions, DefaultsMatchTheUsage) {
    const RouterOptions o = parse({});
    EXPECT_EQ(o.listen_host, "127.0.0.1");
    EXPECT_EQ(o.listen_port, 4001);
    EXPECT_FALSE(o.local_pass);
    EXPECT_FALSE(o.password_file);
    EXPECT_EQ(o.rate_limit, 10u);
    EXPECT_EQ(o.penalty_ms, 1000u);
    EXPECT_EQ(o.keep_ms, 30000u);
    EXPECT_EQ(o.reply_delay_ms, 0u);
    EXPECT_FALSE(o.no_reply || o.close_on_request || o.help || o.version || o.audit);
    EXPECT_EQ(o.force_reply, ForcedReply::None);
    EXPECT_EQ(o.force_text, "forced reply");
    EXPECT_FALSE(o.db || o.init_password || o.force || o.db_read_only);
    EXPECT_EQ(o.hash_cost, HashCost::Interactive);
    EXPECT_EQ(o.db_busy_ms, 2000u);
}

TEST(RouterOptions, ReadsEveryOption) {
    const RouterOptions o =
        parse({"--listen",         "[::1]:0",    "--local-pass", "",
               "--password-file",  "/p",         "--rate-limit", "0",
               "--penalty-ms",     "2147483647", "--keep-ms",    "5",
               "--reply-delay-ms", "7",          "--no-reply",   "--close-on-request",
               "--force-reply",    "99",         "--force-text", "t"});
    EXPECT_EQ(o.listen_host, "::1");
    EXPECT_EQ(o.listen_port, 0);
    EXPECT_EQ(o.local_pass, "");
    EXPECT_EQ(o.password_file, "/p");
    EXPECT_EQ(o.rate_limit, 0u);
    EXPECT_EQ(o.penalty_ms, 2147483647u);
    EXPECT_EQ(o.keep_ms, 5u);
    EXPECT_EQ(o.reply_delay_ms, 7u);
    EXPECT_TRUE(o.no_reply && o.close_on_request);
    EXPECT_EQ(o.force_reply, ForcedReply::Flood);
    EXPECT_EQ(o.force_text, "t");
    EXPECT_EQ(parse({"--force-reply", "100", "--force-code", "-2147483648"}).force_code,
              -2147483647 - 1);
    EXPECT_EQ(parse({"--force-reply", "169", "--force-code", "2147483647"}).force_code, 2147483647);
    EXPECT_TRUE(parse({"--help"}).help);
    EXPECT_TRUE(parse({"--version"}).version);
    EXPECT_TRUE(parse({"--db", "a.db", "--audit"}).audit);
    EXPECT_EQ(parse({"--local-pass-file", "/lp"}).local_pass_file, "/lp");

    const RouterOptions db =
        parse({"--db", "a.db", "--hash-cost", "min", "--db-busy-ms", "0", "--db-read-only"});
    EXPECT_EQ(db.db, "a.db");
    EXPECT_EQ(db.hash_cost, HashCost::Min);
    EXPECT_EQ(db.db_busy_ms, 0u);
    EXPECT_TRUE(db.db_read_only);
    const RouterOptions init = parse({"--db", "a.db", "--init-password", "--force",
                                      "--password-file", "/p", "--hash-cost", "moderate"});
    EXPECT_TRUE(init.init_password && init.force);
    EXPECT_EQ(init.password_file, "/p");
    EXPECT_EQ(init.hash_cost, HashCost::Moderate);
}

TEST(RouterOptions, RefusesBadCommandLines) {
    const std::vector<std::vector<std::string>> bad = {
        {"--bogus"},
        {"stray"},
        {"--list", "127.0.0.1:1"},  // no abbreviations
        {"--listen"},
        {"--listen", "127.0.0.1"},
        {"--listen", "127.0.0.1:65536"},  // the number rules themselves: base/tests
        {"--listen", "1:2", "--listen", "1:3"},
        {"--rate-limit", "12x"},
        {"--rate-limit", "4294967296"},
        {"--penalty-ms", "2147483648"},
        {"--password-file", ""},
        {"--local-pass-file", ""},
        {"--local-pass", "x", "--local-pass-file", "/lp"},
        {"--force-reply", "42"},
        {"--force-code", "1"},
        {"--force-text", "t"},
        {"--force-reply", "169", "--force-code", "2147483648"},
        {"--force-reply", "99", "--force-text", std::string(129, 't')},
        {"--force-reply", "169", "--force-text", std::string(256, 't')},
        {"--db", ""},
        {"--init-password"},  // every database option needs --db
        {"--force"},
        {"--hash-cost", "min"},
        {"--db-busy-ms", "10"},
        {"--db-read-only"},
        {"--db", "a", "--hash-cost", "cheap"},
        {"--db", "a", "--hash-cost", ""},
        {"--db", "a", "--db-busy-ms", "2147483648"},
        {"--db", "a", "--force"},  // --force only with --init-password
        {"--audit"},
        {"--db", "a", "--init-password", "--db-read-only"},
        {"--db", "a", "--init-password", "--audit"},
        {"--db", "a", "--password-file", "/p"},  // the database holds the password
    };
    for (const auto& args : bad) {
        std::string shown;
        for (const auto& a : args) shown += a.substr(0, 20) + " ";
        EXPECT_THROW(parse(args), UsageError) << shown;
    }
    EXPECT_NO_THROW(parse({"--force-reply", "99", "--force-text", std::string(128, 't')}));
    EXPECT_NO_THROW(parse({"--force-reply", "100", "--force-text", std::string(255, 't')}));
}

TEST(RouterOptions, HelpFitsEightyColumnsAndNamesEveryOption) {
    const std::string help = usageText();
    std::size_t start = 0;
    for (std::size_t end; (end = help.find('\n', start)) != std::string::npos; start = end + 1) {
        EXPECT_LE(end - start, 80u) << help.substr(start, end - start);
    }
    for (const char* option : {"--listen", "--db", "--init-password", "--audit", "--version"}) {
        EXPECT_NE(help.find(option), std::string::npos) << option;
    }
    EXPECT_TRUE(
        std::regex_match(versionText(), std::regex("qova-router [0-9]+\\.[0-9]+\\.[0-9]+\n")))
        << versionText();
}

}  // namespace
}  // namespace qova::router
