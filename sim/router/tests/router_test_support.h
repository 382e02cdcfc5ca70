// router_test_support.h -- helpers of the router's end-to-end tests: a
// router that must stop cleanly, a run of the router to its exit, and a
// scratch directory.
#ifndef SIM_ROUTER_TESTS_ROUTER_TEST_SUPPORT_H
#define SIM_ROUTER_TESTS_ROUTER_TEST_SUPPORT_H

#include <cstdint>
#include <string>

#include "router_process.h"

namespace qova::router::testing {

// A router that must end cleanly: status 0 on SIGTERM and no sanitizer
// report in its log, whatever the test did to it (checked on destruction).
class RouterProcess : public qova::testing::RouterProcess {
  public:
    using qova::testing::RouterProcess::RouterProcess;
    ~RouterProcess();
};

// Runs qova-router with `args` (split by the shell) and `input` on standard
// input until it exits; returns its exit status (-1 when it did not exit
// normally) and puts its standard error in `log`.
int runToExit(const std::string& args, const std::string& input, std::string& log);

// Twenty clients, announcing the applications "client-0" to "client-19",
// post the same change from `oldPassword` to `newPassword` at once; expects
// exactly one to get code 0 and the others code 1.
void expectOneOfTwentyChanges(std::uint16_t port, const std::string& oldPassword,
                              const std::string& newPassword);

// A private temp directory, removed with everything in it on destruction.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

  private:
    std::string dir_;
};

// The whole content of a file; empty when it cannot be read.
std::string readFile(const std::string& path);

}  // namespace qova::router::testing

#endif  // SIM_ROUTER_TESTS_ROUTER_TEST_SUPPORT_H
