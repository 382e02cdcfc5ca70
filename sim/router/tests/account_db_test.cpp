// Tests of the account database: the store itself, and qova-router started
// with --db over loopback TCP.  Every hash is made at the minimum cost.
#include <gtest/gtest.h>
#include <password_scheme.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <testsupport/pty.h>
#include <testsupport/scratch.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "raw_client.h"
#include "router_test_support.h"
#include "sqlite_store.h"

namespace qova::router::testing {
namespace {

using testsupport::readFile;
using testsupport::ScratchDir;
using testsupport::writeFile;

constexpr char kOld[] = "old-secret";
constexpr char kNew[] = "new-secret";

StoreSettings minCost() {
    StoreSettings s;
    s.cost = HashCost::Min;
    return s;
}

// Creates the database at `path` through the router's own --init-password.
void initDatabase(const std::string& path, const std::string& password = kOld) {
    ASSERT_NO_THROW(testsupport::initAccountDatabase(path, password));
}

std::vector<std::string> dbArgs(const std::string& path, std::vector<std::string> more = {}) {
    std::vector<std::string> args{"--db", path, "--hash-cost", "min", "--rate-limit", "0"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// Posts a change and returns the reply's message id and first field.
std::pair<std::uint32_t, int> post(RawClient& client, std::uint32_t id, const std::string& from,
                                   const std::string& to) {
    client.post(id, changeBody(from, to));
    const auto reply = client.reply();
    if (!reply) return {0, -1};
    return {reply->msg_id, replyFields(*reply).first};
}

// Neither a password nor a hash in the router's log, the audit table or
// (for the passwords) the bytes of the database and its WAL.
void expectNoSecrets(const std::string& log, const std::string& db,
                     const std::vector<std::string>& passwords) {
    EXPECT_EQ(log.find("$argon2"), std::string::npos) << log;
    const std::string files = readFile(db) + readFile(db + "-wal");
    EXPECT_NE(files.find("$argon2id$"), std::string::npos);  // the hash is where it belongs
    SqliteAccountStore store(db, minCost());
    const std::vector<AuditEntry> audit = store.auditTrail();
    for (const AuditEntry& e : audit) {
        EXPECT_EQ(e.app_name.find("$argon2"), std::string::npos);
        EXPECT_EQ(e.at.find("$argon2"), std::string::npos);
    }
    for (const std::string& p : passwords) {
        SCOPED_TRACE(p);
        EXPECT_EQ(log.find(p), std::string::npos) << log;
        EXPECT_EQ(files.find(p), std::string::npos);
        for (const AuditEntry& e : audit) {
            EXPECT_EQ(e.app_name.find(p), std::string::npos);
            EXPECT_EQ(e.at.find(p), std::string::npos);
        }
    }
}

TEST(SqliteStore, ChecksThePolicyAgainstTheHashAndAuditsEveryRequest) {
    ScratchDir dir;
    const std::string db = dir.path("account.db");
    SqliteAccountStore::initialize(db, "cur", HashCost::Min, false);
    SqliteAccountStore store(db, minCost());
    struct Case {
        std::string oldPassword, newPassword;
        std::int32_t code;
        std::string after;
    };
    // The policy itself is the password service's (its tests hold the
    // table); here: the store checks the old password against the hash,
    // applies the policy after a match, writes only what it allows, and the
    // old password stops working.
    const Case cases[] = {
        {"cu", "n", kWrongOldPassword, "cur"},
        {"cur", "cur", kNewPasswordSameAsOld, "cur"},
        {"cur", std::string(65, 'x'), kChanged, std::string(65, 'x')},
        {"cur", "again", kWrongOldPassword, std::string(65, 'x')},
        {std::string(65, 'x'), "n", kChanged, "n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.oldPassword.substr(0, 8) + " -> " + c.newPassword.substr(0, 8));
        EXPECT_EQ(
            store.change(c.oldPassword, c.newPassword, "app-" + c.newPassword.substr(0, 3)).code,
            c.code);
        EXPECT_TRUE(store.verify(c.after));
    }
    // A client's long application name is cut in the audit trail.
    EXPECT_EQ(store.change("bad", "x", std::string(1000, 'a')).code, kWrongOldPassword);
    std::vector<AuditEntry> audit = store.auditTrail();
    ASSERT_EQ(audit.size(), std::size(cases) + 2);
    EXPECT_EQ(audit.back().app_name, std::string(255, 'a'));
    audit.pop_back();
    EXPECT_EQ(audit[0].app_name, "qova-router --init-password");
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(audit[i + 1].outcome, cases[i].code);
        EXPECT_EQ(audit[i + 1].app_name, "app-" + cases[i].newPassword.substr(0, 3));
        EXPECT_EQ(audit[i + 1].at.size(), 24u) << audit[i + 1].at;  // 2026-12-08T09:58:00.311Z
    }
}

TEST(AccountStores, ChangesFromSeveralThreadsAtOnceLeaveOneSuccess) {
    // The password service calls the store from its worker threads: of
    // eight changes from the same old password exactly one succeeds, each
    // to a new password of its own, and the account holds the winner's.
    ScratchDir dir;
    const std::string db = dir.path("account.db");
    SqliteAccountStore::initialize(db, kOld, HashCost::Min, false);
    SqliteAccountStore sqlite(db, minCost());
    MemoryAccountStore memory(kOld);
    for (AccountStore* store :
         {static_cast<AccountStore*>(&sqlite), static_cast<AccountStore*>(&memory)}) {
        constexpr int kThreads = 8;
        std::vector<std::int32_t> codes(kThreads, -1);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&codes, store, t] {
                codes[t] = store->change(kOld, "new-" + std::to_string(t), "app").code;
            });
        }
        for (std::thread& t : threads) t.join();
        const auto winner = std::find(codes.begin(), codes.end(), kChanged);
        ASSERT_NE(winner, codes.end());
        EXPECT_EQ(std::count(codes.begin(), codes.end(), kChanged), 1);
        EXPECT_EQ(std::count(codes.begin(), codes.end(), kWrongOldPassword), kThreads - 1);
        EXPECT_TRUE(store->verify("new-" + std::to_string(winner - codes.begin())));
    }
    EXPECT_EQ(sqlite.auditTrail().size(), 9u);  // --init-password and the eight
}

TEST(SqliteStore, KeepsAnArgon2idHashMadeAtTheChosenCost) {
    EXPECT_EQ(hashPassword("pw", HashCost::Min).rfind("$argon2id$v=19$m=8,t=1,", 0), 0u);
    const std::string interactive = hashPassword("pw", HashCost::Interactive);
    EXPECT_EQ(interactive.rfind("$argon2id$v=19$m=65536,t=2,", 0), 0u) << interactive;
    EXPECT_TRUE(matchesHash(interactive, "pw"));
    EXPECT_FALSE(matchesHash(interactive, "pW"));
    EXPECT_NE(hashPassword("pw", HashCost::Min), hashPassword("pw", HashCost::Min));  // salted
    for (const std::string& bad :
         {std::string(), std::string("pw"), std::string("$argon2i$v=19$m=8,t=1,p=1$AAAA$AAAA"),
          std::string(200, '$')}) {
        EXPECT_FALSE(isPasswordHash(bad)) << bad;
        EXPECT_FALSE(matchesHash(bad, "pw"));
    }
}

TEST(AccountDatabase, InitPasswordRefusesToOverwriteUnlessForced) {
    ScratchDir dir;
    const std::string db = dir.path("account.db");
    const std::vector<std::string> init{"--db", db, "--init-password", "--hash-cost", "min"};
    std::vector<std::string> forced = init;
    forced.push_back("--force");
    testsupport::RunResult r = runRouter(init, "\n");
    EXPECT_EQ(r.exitCode(), 1);
    EXPECT_NE(r.err.find("password is empty"), std::string::npos) << r.err;
    EXPECT_NE(::access(db.c_str(), F_OK), 0);  // nothing created

    r = runRouter(init, "first\nrest\n");
    EXPECT_EQ(r.exitCode(), 0) << r.err;
    struct stat st {};
    ASSERT_EQ(::stat(db.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    r = runRouter(init, "second\n");
    EXPECT_EQ(r.exitCode(), 1);
    EXPECT_NE(r.err.find("already holds an account; give --force"), std::string::npos) << r.err;
    EXPECT_TRUE(SqliteAccountStore(db, minCost()).verify("first"));

    r = runRouter(forced, "second\n");
    EXPECT_EQ(r.exitCode(), 0) << r.err;
    SqliteAccountStore store(db, minCost());
    EXPECT_TRUE(store.verify("second"));
    EXPECT_FALSE(store.verify("first"));
    EXPECT_EQ(store.auditTrail().size(), 2u);
}

// Runs `qova-router ARGS` on a new pseudo-terminal (its controlling
// terminal, standard error included), answers each prompt of `dialogue`
// with its line, and returns the exit status (-1 when it did not exit
// normally) with all the terminal showed.
struct TerminalRun {
    int status = -1;
    std::string screen;
};
TerminalRun runOnTerminal(std::vector<std::string> args,
                          const std::vector<std::pair<std::string, std::string>>& dialogue) {
    args.insert(args.begin(), testsupport::routerPath());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    testsupport::PtyChild child(
        [&] {
            ::dup2(STDOUT_FILENO, STDERR_FILENO);  // the prompts
            ::execv(argv[0], argv.data());
            return std::string("exec failed");
        },
        testsupport::Session::NewWithControllingTerminal);
    for (const auto& [prompt, line] : dialogue) {
        if (!child.waitForOutput(prompt)) break;
        child.type(line + "\n");
    }
    TerminalRun run;
    int status = 0;
    if (child.wait(status) && WIFEXITED(status)) run.status = WEXITSTATUS(status);
    run.screen = child.drain();
    return run;
}

TEST(AccountDatabase, InitPasswordOnATerminalAsksTwiceWithoutEcho) {
    ScratchDir dir;
    const std::string db = dir.path("account.db");
    const std::vector<std::string> args{"--db", db, "--init-password", "--hash-cost", "min"};
    const std::string first = "New account password: ", second = "Repeat the new password: ";

    TerminalRun differ = runOnTerminal(args, {{first, "typed-one"}, {second, "typed-two"}});
    EXPECT_EQ(differ.status, 1) << differ.screen;
    EXPECT_NE(differ.screen.find("differ; nothing was changed"), std::string::npos)
        << differ.screen;
    EXPECT_NE(::access(db.c_str(), F_OK), 0);

    TerminalRun same = runOnTerminal(args, {{first, "typed-one"}, {second, "typed-one"}});
    EXPECT_EQ(same.status, 0) << same.screen;
    EXPECT_NE(same.screen.find(second), std::string::npos) << same.screen;
    EXPECT_EQ((same.screen + differ.screen).find("typed-"), std::string::npos) << "echoed";
    EXPECT_TRUE(SqliteAccountStore(db, minCost()).verify("typed-one"));
}

TEST(AccountDatabase, InitPasswordRefusesBeforeAskingForAnything) {
    ScratchDir dir;
    const std::string held = dir.path("held.db"), foreign = dir.path("foreign.db");
    initDatabase(held);
    writeFile(foreign, std::string(4096, 'x'));
    const std::pair<std::string, const char*> cases[] = {
        {held, "already holds an account; give --force"},
        {foreign, "file is not a database"},
    };
    for (const auto& [db, message] : cases) {
        TerminalRun run = runOnTerminal({"--db", db, "--init-password", "--hash-cost", "min"}, {});
        EXPECT_EQ(run.status, 1) << run.screen;
        EXPECT_NE(run.screen.find(message), std::string::npos) << run.screen;
        EXPECT_EQ(run.screen.find("password: "), std::string::npos) << "asked: " << run.screen;
    }
    EXPECT_TRUE(SqliteAccountStore(held, minCost()).verify(kOld));
}

TEST(AccountDatabase, AuditPrintsTheTrailOldestFirst) {
    ScratchDir dir;
    const std::string db = dir.path("account.db");
    initDatabase(db);
    {
        SqliteAccountStore store(db, minCost());
        EXPECT_EQ(store.change("wrong", kNew, "desk \"7\"\n").code, kWrongOldPassword);
        EXPECT_EQ(store.change(kOld, kNew, std::string(300, 'a')).code, kChanged);
    }
    const std::vector<AuditEntry> trail = SqliteAccountStore(db, minCost()).auditTrail();
    ASSERT_EQ(trail.size(), 3u);
    const std::string expected = trail[0].at + " \"qova-router --init-password\" 0\n" +
                                 trail[1].at + " \"desk \\x227\\x22\\x0A\" 1\n" + trail[2].at +
                                 " \"" + std::string(255, 'a') + "\" 0\n";
    const testsupport::RunResult r = runRouter({"--db", db, "--audit"}, "");
    EXPECT_EQ(r.exitCode(), 0) << r.err;
    EXPECT_EQ(r.out, expected);
}

TEST(AccountDatabase, ABadDatabaseOptionStopsWithStatus2) {
    const testsupport::RunResult r = runRouter({"--db", "x.db", "--hash-cost", "cheap"}, "pw\n");
    EXPECT_EQ(r.exitCode(), 2);
    EXPECT_NE(r.err.find("--hash-cost needs min, interactive or moderate"), std::string::npos)
        << r.err;
}

void sqlExec(const std::string& db, const char* sql) {
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &raw), SQLITE_OK);
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> handle(raw, sqlite3_close);
    ASSERT_EQ(sqlite3_exec(raw, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(raw);
}

TEST(AccountDatabase, StartingOnAMissingOrDamagedDatabaseFailsCleanly) {
    ScratchDir dir;
    struct Case {
        const char* name;
        void (*prepare)(const std::string& db);
        const char* message;
    };
    const Case cases[] = {
        {"missing", [](const std::string&) {}, "does not exist; create it with --db"},
        {"empty", [](const std::string& db) { writeFile(db, ""); }, "it is empty"},
        {"garbage", [](const std::string& db) { writeFile(db, std::string(8192, 'g')); },
         "file is not a database"},
        {"another program's", [](const std::string& db) { sqlExec(db, "CREATE TABLE t(x)"); },
         "not an account database of qova-router"},
        {"damaged page",
         [](const std::string& db) {
             initDatabase(db);
             std::string bytes = readFile(db);
             ASSERT_GT(bytes.size(), 8192u);
             for (std::size_t i = 4096 + 8; i < 8192; ++i) bytes[i] = static_cast<char>(i * 7);
             writeFile(db, bytes);
         },
         "it is damaged: "},
        {"damaged hash",
         [](const std::string& db) {
             initDatabase(db);
             sqlExec(db, "UPDATE account SET hash = 'plain-text'");
         },
         "the account's hash is damaged"},
        {"no account",
         [](const std::string& db) {
             initDatabase(db);
             sqlExec(db, "DELETE FROM account");
         },
         "holds no account"},
        {"a directory", [](const std::string& db) { ::mkdir(db.c_str(), 0700); },
         "not a regular file"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string db = dir.path("case" + std::to_string(n++) + ".db");
        c.prepare(db);
        const testsupport::RunResult r = runRouter({"--listen", "127.0.0.1:0", "--db", db}, "");
        EXPECT_EQ(r.exitCode(), 1);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ((r.out + r.err).find("listening"), std::string::npos) << r.out << r.err;
        EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
    }
}

TEST(AccountDatabase, AChangeSurvivesARestartAndTheOldPasswordStopsWorking) {
    ScratchDir dir;
    const std::string db = dir.path("account.db");
    initDatabase(db);
    struct Step {
        std::string from, to;
        int code;
    };
    // Two lives of the router on the same database.
    const std::vector<std::vector<Step>> lives = {
        {{"wrong", kNew, 1}, {kOld, kNew, 0}},
        {{kOld, "third-secret", 1}, {kNew, kNew, 4}, {kNew, "third-secret", 0}},
    };
    std::string logs;
    for (std::size_t life = 0; life < lives.size(); ++life) {
        RouterProcess router(dbArgs(db));
        RawClient client(router.port());
        client.open(sessionId(static_cast<std::uint8_t>(life)));
        std::uint32_t id = 1;
        for (const Step& step : lives[life]) {
            SCOPED_TRACE("life " + std::to_string(life) + " request " + std::to_string(id));
            EXPECT_EQ(post(client, id++, step.from, step.to), std::make_pair(169u, step.code));
        }
        logs += router.log();
    }
    SqliteAccountStore store(db, minCost());
    EXPECT_TRUE(store.verify("third-secret"));
    EXPECT_FALSE(store.verify(kNew));
    EXPECT_FALSE(store.verify(kOld));
    std::vector<std::int32_t> outcomes;
    for (const AuditEntry& e : store.auditTrail()) outcomes.push_back(e.outcome);
    EXPECT_EQ(outcomes, (std::vector<std::int32_t>{0, 1, 0, 1, 4, 0}));
    expectNoSecrets(logs, db, {kOld, kNew, "third-secret", "wrong"});
}

// Twenty clients, announcing the applications "client-0" to "client-19",
// post the same change from `oldPassword` to `newPassword` at once; expects
// exactly one to get code 0 and the others code 1.
void expectOneOfTwentyChanges(std::uint16_t port, const std::string& oldPassword,
                              const std::string& newPassword) {
    std::vector<std::unique_ptr<RawClient>> clients;
    for (std::uint8_t i = 0; i < 20; ++i) {
        clients.push_back(std::make_unique<RawClient>(port));
        RawClient& c = *clients.back();
        ASSERT_EQ(c.hello(sessionId(static_cast<std::uint8_t>(100 + i)), "",
                          "client-" + std::to_string(i))
                      .status,
                  wire::WelcomeStatus::Accepted);
        c.sendBytes(wire::encode(wire::FrameType::Subscribe, wire::Subscription{"pwd_changer"}));
    }
    for (auto& c : clients) c->post(1, changeBody(oldPassword, newPassword));
    int changed = 0, wrongOld = 0;
    for (auto& c : clients) {
        const auto reply = c->reply();
        ASSERT_TRUE(reply);
        const int code = replyFields(*reply).first;
        changed += code == 0;
        wrongOld += code == 1;
    }
    EXPECT_EQ(changed, 1);
    EXPECT_EQ(wrongOld, 19);
}

TEST(AccountDatabase, TwentyClientsChangingAtOnceLeaveOneSuccessAndTwentyAuditRows) {
    ScratchDir dir;
    const std::string db = dir.path("account.db");
    initDatabase(db);
    std::string log;
    {
        RouterProcess router(dbArgs(db));
        expectOneOfTwentyChanges(router.port(), kOld, kNew);
        log = router.log();
    }
    SqliteAccountStore store(db, minCost());
    std::vector<AuditEntry> audit = store.auditTrail();
    ASSERT_EQ(audit.size(), 21u);
    audit.erase(audit.begin());  // the row of --init-password
    int successes = 0;
    std::set<std::string> apps;
    for (const AuditEntry& e : audit) {
        successes += e.outcome == 0;
        apps.insert(e.app_name);
    }
    EXPECT_EQ(successes, 1);
    EXPECT_EQ(apps.size(), 20u);
    EXPECT_TRUE(store.verify(kNew));
    expectNoSecrets(log, db, {kOld, kNew});
}

// Lowers the file-size limit of a running process: any write of it past
// `bytes` into a file then fails, as on a full disk, and root is no exception.
void limitFileSize(pid_t pid, rlim_t bytes) {
    rlimit old{};
    ASSERT_EQ(::prlimit(pid, RLIMIT_FSIZE, nullptr, &old), 0);
    const rlimit lowered{bytes, old.rlim_max};
    ASSERT_EQ(::prlimit(pid, RLIMIT_FSIZE, &lowered, nullptr), 0);
}

TEST(AccountDatabase, AStoreFailureGivesReply100AndLeavesTheAccountUnchanged) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        const char* reason;  // in the text of reply 100
    };
    const Case cases[] = {
        {"read-only", {"--db-read-only"}, "readonly database"},
        {"locked past the wait", {"--db-busy-ms", "100"}, "database is locked"},
        // The file cannot grow, as on a full disk; SQLite reports the
        // failed write as an I/O error.
        {"disk full", {}, "disk I/O error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        const std::string db = dir.path("account.db");
        initDatabase(db);
        std::string log;
        {
            RouterProcess router(dbArgs(db, c.args));
            // Another process holds the write lock for the whole exchange.
            sqlite3* raw = nullptr;
            std::unique_ptr<sqlite3, int (*)(sqlite3*)> locker(nullptr, sqlite3_close);
            if (std::string(c.name) == "locked past the wait") {
                ASSERT_EQ(sqlite3_open(db.c_str(), &raw), SQLITE_OK);
                locker.reset(raw);
                ASSERT_EQ(sqlite3_exec(raw, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr),
                          SQLITE_OK);
            }
            if (std::string(c.name) == "disk full") limitFileSize(router.pid(), 4096);
            RawClient client(router.port());
            client.open(sessionId(3));
            client.post(1, changeBody(kOld, kNew));
            const auto reply = client.reply();
            ASSERT_TRUE(reply);
            EXPECT_EQ(reply->msg_id, pwdscheme::kFailureReplyId);
            const ReplyFields f = replyFields(*reply);
            EXPECT_EQ(f.first, kStoreFailure);
            EXPECT_EQ(f.text.rfind("Account store failed: ", 0), 0u) << f.text;
            EXPECT_NE(f.text.find(c.reason), std::string::npos) << f.text;
            // A wrong old password is refused as before, without writing.
            if (std::string(c.name) != "locked past the wait") {
                EXPECT_EQ(post(client, 2, "wrong", kNew).first, pwdscheme::kFailureReplyId);
            }
            log = router.log();
        }
        SqliteAccountStore store(db, minCost());
        EXPECT_TRUE(store.verify(kOld));
        EXPECT_FALSE(store.verify(kNew));
        EXPECT_EQ(store.auditTrail().size(), 1u);
        EXPECT_NE(log.find("reply 100 code 1"), std::string::npos) << log;
        expectNoSecrets(log, db, {kOld, kNew});
    }
}

TEST(AccountDatabase, KilledAtAnyMomentKeepsEitherTheOldOrTheNewPassword) {
    ScratchDir dir;
    const std::string db = dir.path("account.db");
    const std::string a = "password-a", b = "password-b";
    initDatabase(db, a);
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> delayUs(0, 30000);
    constexpr int kRounds = 60;
    constexpr std::uint32_t kInFlight = 8;
    std::size_t audited = 1;
    int changedRounds = 0;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        bool aHolds = false;
        {
            SqliteAccountStore store(db, minCost());  // the restart: recovery and checks
            aHolds = store.verify(a);
            ASSERT_NE(aHolds, store.verify(b)) << "exactly one of the two must match";
            const std::size_t rows = store.auditTrail().size();
            changedRounds += rows > audited;
            audited = rows;
        }
        testsupport::RouterProcess router(dbArgs(db));  // killed: no clean exit to check
        RawClient client(router.port());
        client.open(sessionId(static_cast<std::uint8_t>(round)));
        // Changes back and forth, all posted at once, so that the router
        // is in the middle of one when the signal comes.
        for (std::uint32_t i = 0; i < kInFlight; ++i) {
            const bool fromA = aHolds == (i % 2 == 0);
            client.post(i + 1, changeBody(fromA ? a : b, fromA ? b : a));
        }
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs(random)));
        ASSERT_EQ(::kill(router.pid(), SIGKILL), 0);
        const int status = router.stop();
        EXPECT_TRUE(WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) == 0));
    }
    SqliteAccountStore store(db, minCost());
    EXPECT_NE(store.verify(a), store.verify(b));
    // The kills did land while changes were being written.
    EXPECT_GT(changedRounds, 0);
    RouterProcess last(dbArgs(db));  // and the router starts on what is left
}

}  // namespace
}  // namespace qova::router::testing
