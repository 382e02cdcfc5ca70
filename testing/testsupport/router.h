// router.h -- qova-router as a child process of a test, and account
// databases for it to serve.
//
// Every test that needs a router starts its own on a free loopback port, so
// tests run in parallel without sharing state.  One thread: construct, use
// and destroy a RouterProcess on the same thread.
#ifndef TESTING_TESTSUPPORT_ROUTER_H
#define TESTING_TESTSUPPORT_ROUTER_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "testsupport/scratch.h"

namespace testsupport {

// The path of the qova-router binary of this build.
const char* routerPath();

// Starts qova-router on 127.0.0.1 with a free port (--listen 127.0.0.1:0) plus `args`, writes
// `password` and "\n" to its standard input (the account's current password) unless `args`
// holds --password-file, waits at most 10 s for its "listening on HOST:PORT" line on standard
// output, and throws std::runtime_error when it does not come (the text then holds the router's
// standard error).  Standard error goes to a file in a scratch folder that log() reads.  The
// router gets SIGTERM should the thread that started it end first, so a crashed test leaves no
// router behind.
class RouterProcess {
  public:
    explicit RouterProcess(std::vector<std::string> args = {}, std::string password = "old-secret");
    ~RouterProcess();  // stop() if still running
    RouterProcess(const RouterProcess&) = delete;
    RouterProcess& operator=(const RouterProcess&) = delete;

    std::uint16_t port() const { return port_; }
    std::string address() const;  // "127.0.0.1:PORT"
    std::string log() const;      // its standard error so far
    pid_t pid() const { return pid_; }
    // SIGTERM, wait up to 5 s (then SIGKILL); returns the wait status.  A
    // second call returns the same status without signalling again.
    int stop();

  private:
    ScratchDir dir_;  // holds the log
    pid_t pid_ = -1;
    int status_ = 0;
    bool running_ = false;
    int stdout_fd_ = -1;  // read end of the router's standard output
    std::string host_;
    std::uint16_t port_ = 0;
};

// Creates the account database at `path` holding `password`, as
// `qova-router --db PATH --init-password --hash-cost min` does (it runs
// exactly that, the password on its standard input).  Throws
// std::runtime_error, with the router's standard error, when it fails.
void initAccountDatabase(const std::string& path, const std::string& password);

// A scratch account database for one test: a scratch folder with a
// database made by initAccountDatabase(); both are removed on destruction.
// Routers started with routerArgs() serve it, one after another, so a test
// can check that a change survives a restart.
class AccountDatabase {
  public:
    explicit AccountDatabase(const std::string& password = "old-secret");
    AccountDatabase(const AccountDatabase&) = delete;
    AccountDatabase& operator=(const AccountDatabase&) = delete;

    std::string path() const { return dir_.path("account.db"); }
    // {"--db", path(), "--hash-cost", "min"}: for RouterProcess.
    std::vector<std::string> routerArgs() const;

  private:
    ScratchDir dir_;
};

}  // namespace testsupport

#endif  // TESTING_TESTSUPPORT_ROUTER_H
