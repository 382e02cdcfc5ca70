// qova-router: the local stand-in for the gateway router and its password
// service KOLMA_SRV.  See docs/router.md.
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <csignal>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "account_password.h"
#include "base/secret.h"
#include "password_service.h"
#include "router_log.h"
#include "router_options.h"
#include "server.h"
#include "sqlite_store.h"

namespace {

using namespace qova::router;

// The account's password from --password-file or standard input, checked;
// a new one (--init-password) is asked for twice on a terminal.
std::string readAccountPassword(const RouterOptions& options) {
    std::string password = options.password_file   ? readPasswordFile(*options.password_file)
                           : options.init_password ? readNewPassword(STDIN_FILENO)
                                                   : readPasswordLine(STDIN_FILENO);
    try {
        checkAccountPassword(password);
    } catch (...) {
        base::wipe(password);
        throw;
    }
    return password;
}

// The local password of --local-pass-file: the first line of the file.
std::string readLocalPass(const std::string& path) {
    try {
        return readPasswordFile(path);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(std::string("cannot read the local password: ") + e.what());
    }
}

// Serves `store` until SIGINT or SIGTERM.
void serve(const RouterOptions& options, AccountStore& store) {
    boost::asio::io_context io;
    Server server(io, options, store);
    boost::asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&server](const boost::system::error_code& ec, int signal) {
        if (ec) return;
        logLine(signal == SIGINT ? "stopping on SIGINT" : "stopping on SIGTERM");
        server.stop();
    });
    server.start();
    const std::string address = server.address();
    std::cout << "listening on " << address << std::endl;
    logLine("listening on " + address);
    io.run();
    logLine("stopped");
}

}  // namespace

int main(int argc, char** argv) {
    // The account's password, and the local one, live in this process: no
    // core file may ever hold them.
    base::disableCoreDumps();
    // A peer or a parent that goes away must not kill the router mid-write,
    // nor must a file-size limit: a write past it fails (reply 100) instead.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);

    RouterOptions options;
    try {
        options = parseRouterOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& e) {
        std::cerr << "qova-router: " << e.what() << "\nTry 'qova-router --help'.\n";
        return 2;
    }
    if (options.help) {
        std::cout << usageText();
        return 0;
    }
    if (options.version) {
        std::cout << versionText();
        return 0;
    }

    try {
        if (options.db && options.audit) {
            StoreSettings settings;
            settings.read_only = true;  // looking never writes
            SqliteAccountStore store(*options.db, settings);
            for (const AuditEntry& entry : store.auditTrail()) {
                std::cout << auditLine(entry) << '\n';
            }
            if (!std::cout.flush()) {
                std::cerr << "qova-router: cannot write the audit trail\n";
                return 1;
            }
            return 0;
        }
        if (options.local_pass_file) options.local_pass = readLocalPass(*options.local_pass_file);
        if (options.db && options.init_password) {
            // Refused before the password is asked for: nobody types it twice
            // for nothing.
            SqliteAccountStore::checkInitializable(*options.db, options.force);
            std::string password = readAccountPassword(options);
            base::WipeOnExit wipePassword(password);
            SqliteAccountStore::initialize(*options.db, password, options.hash_cost, options.force);
            logLine("the account database " + *options.db + " holds the new password (hash cost " +
                    hashCostName(options.hash_cost) + ")");
            return 0;
        }
        std::unique_ptr<AccountStore> store;
        if (options.db) {
            StoreSettings settings;
            settings.cost = options.hash_cost;
            settings.busy_ms = options.db_busy_ms;
            settings.read_only = options.db_read_only;
            store = std::make_unique<SqliteAccountStore>(*options.db, settings);
            logLine("account database " + *options.db +
                    (options.db_read_only ? " (read-only)" : ""));
        } else {
            std::string password = readAccountPassword(options);
            base::WipeOnExit wipePassword(password);
            store = std::make_unique<MemoryAccountStore>(password);
        }
        serve(options, *store);
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "qova-router: " << e.what() << "\n";
        return 1;
    }
}
