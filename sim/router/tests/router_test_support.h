// router_test_support.h -- what the router's end-to-end tests add to the
// shared test support: a router that must stop cleanly, and a run of the
// router to its exit.
#ifndef SIM_ROUTER_TESTS_ROUTER_TEST_SUPPORT_H
#define SIM_ROUTER_TESTS_ROUTER_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <testsupport/process.h>
#include <testsupport/router.h>

#include <string>
#include <vector>

namespace qova::router::testing {

// A router that must end cleanly: status 0 on SIGTERM and no sanitizer
// report in its log, whatever the test did to it (checked on destruction).
class RouterProcess : public testsupport::RouterProcess {
  public:
    using testsupport::RouterProcess::RouterProcess;
    ~RouterProcess() {
        const int status = stop();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
        const std::string text = log();
        EXPECT_EQ(text.find("Sanitizer"), std::string::npos) << text;
        EXPECT_EQ(text.find("runtime error"), std::string::npos) << text;
    }
};

// Runs qova-router with `args` and `input` on standard input until it
// exits (20 s at most).
inline testsupport::RunResult runRouter(std::vector<std::string> args, const std::string& input) {
    args.insert(args.begin(), testsupport::routerPath());
    return testsupport::run(args, input);
}

}  // namespace qova::router::testing

#endif  // SIM_ROUTER_TESTS_ROUTER_TEST_SUPPORT_H
