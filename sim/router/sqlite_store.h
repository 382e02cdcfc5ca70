// sqlite_store.h -- the account kept in a SQLite database, its password as
// an Argon2id hash, with an audit trail of every change request.
//
// The database is in WAL mode with synchronous=FULL: a change that was
// answered with code 0 has reached the disk, and a router killed at any
// moment restarts to either the old password or the new one.  A change is
// one transaction (BEGIN IMMEDIATE ... COMMIT): verify the old password,
// apply the policy, write the new hash and the audit row together.
//
// Threads: the store is called from the password service's workers, several
// at once.  Its one SQLite connection is used under mutex_ only.  The slow
// part of a change, the Argon2id hashes, runs outside the lock against the
// hash as it was read; the transaction then reads the hash again under the
// lock and, should another change have replaced it meanwhile, verifies the
// old password once more against the new one.  So wrong guesses are checked
// in parallel while of several changes from the same old password exactly
// one succeeds.
//
// Tables: account (one row, id 1: hash, changed_at) and audit (id, at,
// app_name, outcome): `at` is UTC ("2026-12-08T09:58:00.311Z"), `app_name`
// the first 255 bytes of the name the client announced, `outcome` the Code
// of reply 169.  Neither ever holds a password; the audit table
// holds no hash either.
#ifndef SIM_ROUTER_SQLITE_STORE_H
#define SIM_ROUTER_SQLITE_STORE_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "password_hash.h"
#include "password_service.h"

namespace qova::router {

struct StoreSettings {
    HashCost cost = HashCost::Interactive;  // for the hashes of new passwords
    // How long a change waits for a lock another process holds before it
    // fails with reply 100.
    std::uint32_t busy_ms = 2000;
    // Opens the database read-only: every change then fails with reply 100.
    // A fault to test with, since file modes do not stop root.
    bool read_only = false;
};

struct AuditEntry {
    std::string at;
    std::string app_name;
    std::int32_t outcome = 0;
};

// One line of `qova-router --audit`: the time, the application name quoted
// (as the log quotes a client's text, but whole) and the outcome, e.g.
// 2026-12-08T09:58:00.311Z "pwd_changer" 0
std::string auditLine(const AuditEntry& entry);

class SqliteAccountStore : public AccountStore {
  public:
    // Opens the database at `path`, which must exist and hold an account:
    // checks that it is a database of this router, that SQLite finds it
    // intact (quick_check), and that the account's hash is well formed.
    // Throws std::runtime_error, with a message meant for the user, when it
    // is missing, damaged, of another program or without an account.
    SqliteAccountStore(const std::string& path, const StoreSettings& settings);
    ~SqliteAccountStore() override;
    SqliteAccountStore(const SqliteAccountStore&) = delete;
    SqliteAccountStore& operator=(const SqliteAccountStore&) = delete;

    // Creates the database at `path` (mode 0600), or opens an existing one
    // of this router, and sets the account's password to `password`, with
    // an audit row from "qova-router --init-password".  Refuses, and
    // changes nothing, when the file exists but is no database of this
    // router, or already holds an account and `replace` is false.  Throws
    // std::runtime_error with a message meant for the user.
    static void initialize(const std::string& path, std::string_view password, HashCost cost,
                           bool replace);

    // The refusals of initialize() that do not depend on the password, made
    // without writing anything, so that --init-password refuses before it
    // asks for a password.  initialize() checks again in its transaction.
    static void checkInitializable(const std::string& path, bool replace);

    // Both throw StoreError when the database cannot be read or written.
    bool verify(std::string_view password) override;
    ChangeOutcome change(std::string_view oldPassword, std::string_view newPassword,
                         std::string_view appName) override;

    // The audit trail, oldest first.  Throws StoreError.
    std::vector<AuditEntry> auditTrail();

    class Database;  // the connection and its statements, in sqlite_store.cpp

  private:
    // The account's hash, read under the lock.
    std::string loadHash();

    std::mutex mutex_;  // guards db_: one thread at a time uses the connection
    std::unique_ptr<Database> db_;
    StoreSettings settings_;
};

}  // namespace qova::router

#endif  // SIM_ROUTER_SQLITE_STORE_H
