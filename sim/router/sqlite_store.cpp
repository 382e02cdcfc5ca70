#include "sqlite_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "base/secret.h"
#include "router_log.h"

namespace qova::router {
namespace {

// PRAGMA application_id of our databases ("QRT1"), so that the router never
// takes another program's database for its own.
constexpr int kApplicationId = 0x51525431;
constexpr int kSchemaVersion = 1;
constexpr char kInitApp[] = "qova-router --init-password";
constexpr std::uint32_t kInitBusyMs = 5000;
// The application name comes from the client, up to a frame's size; the
// audit trail keeps its first bytes only, so that no client can make a row
// large.
constexpr std::size_t kMaxAuditedAppName = 255;

constexpr char kSchema[] =
    "CREATE TABLE IF NOT EXISTS account("
    " id INTEGER PRIMARY KEY CHECK (id = 1),"
    " hash TEXT NOT NULL,"
    " changed_at TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS audit("
    " id INTEGER PRIMARY KEY,"
    " at TEXT NOT NULL,"
    " app_name TEXT NOT NULL,"
    " outcome INTEGER NOT NULL);";

// UTC with milliseconds, e.g. 2026-12-08T09:58:00.311Z.
#define QOVA_NOW "strftime('%Y-%m-%dT%H:%M:%fZ', 'now')"
constexpr char kLoadHash[] = "SELECT hash FROM account WHERE id = 1";
constexpr char kUpdateHash[] =
    "UPDATE account SET hash = ?1, changed_at = " QOVA_NOW " WHERE id = 1";
constexpr char kSetHash[] =
    "INSERT OR REPLACE INTO account(id, hash, changed_at) VALUES(1, ?1, " QOVA_NOW ")";
constexpr char kAddAudit[] =
    "INSERT INTO audit(at, app_name, outcome) VALUES(" QOVA_NOW ", ?1, ?2)";
constexpr char kReadAudit[] = "SELECT at, app_name, outcome FROM audit ORDER BY id";
#undef QOVA_NOW

struct DbCloser {
    void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
struct StatementFinalizer {
    void operator()(sqlite3_stmt* s) const noexcept { sqlite3_finalize(s); }
};
using StatementPtr = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// One use of a prepared statement: resets it and clears its bindings on
// every path out, so that it holds no lock and keeps no copy of a value.
class StatementUse {
  public:
    explicit StatementUse(sqlite3_stmt* s) : s_(s) {}
    ~StatementUse() {
        sqlite3_reset(s_);
        sqlite3_clear_bindings(s_);
    }
    StatementUse(const StatementUse&) = delete;
    StatementUse& operator=(const StatementUse&) = delete;

  private:
    sqlite3_stmt* s_;
};

std::string columnText(sqlite3_stmt* s, int column) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, column));
    return text ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(s, column)))
                : std::string();
}

}  // namespace

class SqliteAccountStore::Database {
  public:
    // Throws std::runtime_error with SQLite's reason when it cannot open.
    Database(const std::string& path, int flags, std::uint32_t busyMs) {
        sqlite3* raw = nullptr;
        const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
        handle_.reset(raw);  // owned before anything can throw
        if (rc != SQLITE_OK) {
            throw std::runtime_error(raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc));
        }
        sqlite3_extended_result_codes(raw, 1);
        sqlite3_busy_timeout(raw, static_cast<int>(busyMs));
        // No statement of ours writes the schema; refuse anything that
        // could damage the file through it.
        sqlite3_db_config(raw, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    }

    sqlite3* get() const { return handle_.get(); }

    [[noreturn]] void fail(const std::string& what) const {
        throw StoreError(what + ": " + sqlite3_errmsg(get()));
    }

    void exec(const char* sql, const char* what) {
        if (sqlite3_exec(get(), sql, nullptr, nullptr, nullptr) != SQLITE_OK) fail(what);
    }

    StatementPtr prepare(const char* sql, const char* what = "cannot read the schema") {
        sqlite3_stmt* raw = nullptr;
        const int rc = sqlite3_prepare_v3(get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
        StatementPtr s(raw);
        if (rc != SQLITE_OK) fail(what);
        return s;
    }

    // The first column of the first row of `sql` (a pragma) as text.
    std::string queryText(const char* sql, const char* what) {
        StatementPtr s = prepare(sql, what);
        const int rc = sqlite3_step(s.get());
        if (rc == SQLITE_ROW) return columnText(s.get(), 0);
        if (rc == SQLITE_DONE) return {};
        fail(what);
    }

    // journal_mode=WAL is kept in the file; synchronous=FULL is per
    // connection and makes each commit reach the disk before it returns.
    void makeDurable() {
        const std::string mode = queryText("PRAGMA journal_mode=WAL", "cannot read the database");
        if (mode != "wal")
            throw StoreError("cannot switch the database to WAL mode (" + mode + ")");
        exec("PRAGMA synchronous=FULL", "cannot set synchronous writes");
    }

    // Throws unless the file is an intact database of this router.
    void checkOurs() {
        const std::string appId = queryText("PRAGMA application_id", "cannot read the database");
        if (appId != std::to_string(kApplicationId)) {
            throw StoreError("it is not an account database of qova-router");
        }
        const std::string version = queryText("PRAGMA user_version", "cannot read the database");
        if (version != std::to_string(kSchemaVersion)) {
            throw StoreError("its schema version is " + version + "; this router knows " +
                             std::to_string(kSchemaVersion));
        }
        std::string check = queryText("PRAGMA quick_check", "the integrity check failed");
        if (check != "ok") {
            // Its report spans lines; the message is one.
            std::replace(check.begin(), check.end(), '\n', ' ');
            throw StoreError("it is damaged: " + check);
        }
    }

    // Whether the account row exists.
    bool holdsAccount() {
        sqlite3_stmt* s = load.get();
        StatementUse use(s);
        const int rc = sqlite3_step(s);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) fail("cannot read the account");
        return rc == SQLITE_ROW;
    }

    // The account's hash; StoreError when there is none.
    std::string loadHash() {
        sqlite3_stmt* s = load.get();
        StatementUse use(s);
        const int rc = sqlite3_step(s);
        if (rc == SQLITE_ROW) return columnText(s, 0);
        if (rc == SQLITE_DONE) throw StoreError("the database holds no account");
        fail("cannot read the account");
    }

    void step(sqlite3_stmt* s, const char* what) {
        StatementUse use(s);
        if (sqlite3_step(s) != SQLITE_DONE) fail(what);
    }

    void bindText(sqlite3_stmt* s, int index, std::string_view text) {
        if (sqlite3_bind_text(s, index, text.data(), static_cast<int>(text.size()),
                              SQLITE_TRANSIENT) != SQLITE_OK) {
            fail("cannot bind a value");
        }
    }

    void prepareAll() {
        load = prepare(kLoadHash);
        update = prepare(kUpdateHash);
        audit = prepare(kAddAudit);
    }

  private:
    std::unique_ptr<sqlite3, DbCloser> handle_;  // declared first: outlives the statements

  public:
    StatementPtr load;
    StatementPtr update;
    StatementPtr audit;
};

namespace {

// One transaction; rolled back unless commit() succeeded.
class Transaction {
  public:
    Transaction(SqliteAccountStore::Database& db, const char* begin) : db_(db) {
        db_.exec(begin, "cannot begin a transaction");
    }
    ~Transaction() {
        // After a failed COMMIT SQLite may already have rolled back; the
        // error of a second rollback means nothing then.
        if (!committed_) sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    void commit() {
        db_.exec("COMMIT", "cannot commit");
        committed_ = true;
    }

  private:
    SqliteAccountStore::Database& db_;
    bool committed_ = false;
};

void addAudit(SqliteAccountStore::Database& db, std::string_view appName, std::int32_t outcome) {
    sqlite3_stmt* s = db.audit.get();
    db.bindText(s, 1, appName.substr(0, kMaxAuditedAppName));
    sqlite3_bind_int(s, 2, outcome);
    db.step(s, "cannot write the audit trail");
}

constexpr char kHoldsAnAccount[] =
    "it already holds an account; give --force to replace its password";

[[noreturn]] void throwCannotInitialize(const std::string& path, const std::runtime_error& e) {
    throw std::runtime_error("cannot initialise the account database " + path + ": " + e.what());
}

// Removes a database file we created, with the files SQLite keeps beside it.
void removeDatabase(const std::string& path) {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        ::unlink((path + suffix).c_str());
    }
}

}  // namespace

SqliteAccountStore::SqliteAccountStore(const std::string& path, const StoreSettings& settings)
    : settings_(settings) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            throw std::runtime_error("the account database " + path +
                                     " does not exist; create it with --db " + path +
                                     " --init-password");
        }
        throw std::runtime_error("cannot use the account database " + path + ": " +
                                 std::strerror(errno));
    }
    try {
        if (!S_ISREG(st.st_mode)) throw StoreError("it is not a regular file");
        if (st.st_size == 0) throw StoreError("it is empty");
        db_ = std::make_unique<Database>(
            path, settings.read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE,
            settings.busy_ms);
        if (!settings.read_only) db_->makeDurable();
        db_->checkOurs();
        db_->prepareAll();
        if (!isPasswordHash(db_->loadHash())) throw StoreError("the account's hash is damaged");
    } catch (const std::runtime_error& e) {
        throw std::runtime_error("cannot use the account database " + path + ": " + e.what());
    }
}

SqliteAccountStore::~SqliteAccountStore() = default;

void SqliteAccountStore::initialize(const std::string& path, std::string_view password,
                                    HashCost cost, bool replace) {
    struct stat st {};
    bool created = false;
    if (::stat(path.c_str(), &st) != 0) {
        // Created here rather than by SQLite so that the file, and the WAL
        // files SQLite gives the same mode, are private to the owner.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            throw std::runtime_error("cannot create the account database " + path + ": " +
                                     std::strerror(errno));
        }
        ::close(fd);
        created = true;
    }
    try {
        const bool fresh = created || (S_ISREG(st.st_mode) && st.st_size == 0);
        Database db(path, SQLITE_OPEN_READWRITE, kInitBusyMs);
        if (!fresh) db.checkOurs();
        db.makeDurable();
        Transaction tx(db, "BEGIN IMMEDIATE");
        db.exec(kSchema, "cannot create the tables");
        db.exec(("PRAGMA application_id=" + std::to_string(kApplicationId)).c_str(),
                "cannot mark the database");
        db.exec(("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str(),
                "cannot mark the database");
        db.prepareAll();
        if (!fresh && !replace && db.holdsAccount()) throw StoreError(kHoldsAnAccount);
        std::string hash = hashPassword(password, cost);
        base::WipeOnExit wipeHash(hash);
        StatementPtr set = db.prepare(kSetHash);
        db.bindText(set.get(), 1, hash);
        db.step(set.get(), "cannot write the account");
        addAudit(db, kInitApp, kChanged);
        tx.commit();
    } catch (const std::runtime_error& e) {
        if (created) removeDatabase(path);
        throwCannotInitialize(path, e);
    }
}

void SqliteAccountStore::checkInitializable(const std::string& path, bool replace) {
    struct stat st {};
    // Whatever initialize() would create or fill is fine; it reports the
    // errors of a path it cannot use.
    if (::stat(path.c_str(), &st) != 0 || (S_ISREG(st.st_mode) && st.st_size == 0)) return;
    try {
        Database db(path, SQLITE_OPEN_READONLY, kInitBusyMs);
        db.checkOurs();
        if (replace) return;
        db.prepareAll();
        if (db.holdsAccount()) throw StoreError(kHoldsAnAccount);
    } catch (const std::runtime_error& e) {
        throwCannotInitialize(path, e);
    }
}

std::string SqliteAccountStore::loadHash() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return db_->loadHash();
}

bool SqliteAccountStore::verify(std::string_view password) {
    return matchesHash(loadHash(), password);
}

ChangeOutcome SqliteAccountStore::change(std::string_view oldPassword, std::string_view newPassword,
                                         std::string_view appName) {
    // The hashes first, without the lock, against the hash as it stands.
    const std::string seen = loadHash();
    bool oldMatches = matchesHash(seen, oldPassword);
    std::string hash;
    base::WipeOnExit wipeHash(hash);
    if (judgeChange(oldMatches, oldPassword, newPassword).code == kChanged) {
        hash = hashPassword(newPassword, settings_.cost);
    }

    const std::lock_guard<std::mutex> lock(mutex_);
    // IMMEDIATE takes the write lock before the hash is read again, so that
    // no other writer can change it between the check and the write.
    Transaction tx(*db_, "BEGIN IMMEDIATE");
    const std::string current = db_->loadHash();
    if (current != seen) oldMatches = matchesHash(current, oldPassword);  // changed meanwhile
    const ChangeOutcome outcome = judgeChange(oldMatches, oldPassword, newPassword);
    if (outcome.code == kChanged) {
        if (hash.empty()) hash = hashPassword(newPassword, settings_.cost);
        sqlite3_stmt* s = db_->update.get();
        db_->bindText(s, 1, hash);
        db_->step(s, "cannot write the new password");
        if (sqlite3_changes(db_->get()) != 1) throw StoreError("the account vanished");
    }
    addAudit(*db_, appName, outcome.code);
    tx.commit();
    return outcome;
}

std::string auditLine(const AuditEntry& entry) {
    return entry.at + " " + quoted(entry.app_name, kMaxAuditedAppName) + " " +
           std::to_string(entry.outcome);
}

std::vector<AuditEntry> SqliteAccountStore::auditTrail() {
    const std::lock_guard<std::mutex> lock(mutex_);
    StatementPtr s = db_->prepare(kReadAudit);
    std::vector<AuditEntry> out;
    int rc = 0;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
        out.push_back(
            {columnText(s.get(), 0), columnText(s.get(), 1), sqlite3_column_int(s.get(), 2)});
    }
    if (rc != SQLITE_DONE) db_->fail("cannot read the audit trail");
    return out;
}

}  // namespace qova::router
