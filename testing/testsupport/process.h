// process.h -- running a program (or a function in a forked child) under a
// time limit, and waiting for a child with a deadline.
#ifndef TESTING_TESTSUPPORT_PROCESS_H
#define TESTING_TESTSUPPORT_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

using namespace std::chrono_literals;

struct RunResult {
    bool finished = false;  // false: killed after the time limit
    int status = 0;         // wait status
    std::string out;        // all it wrote to standard output
    std::string err;        // all it wrote to standard error
    // The exit status when it finished by exiting; -1 otherwise.
    int exitCode() const;
};

// Runs the program `argv[0]` (a path; no PATH search) with `argv`, feeding
// `input` to its standard input and then end of input, and collects its
// standard output and standard error until it ends.  `env` entries
// "NAME=value" are added to this process's environment for the child.
// Past `limit` the child is killed (SIGKILL) and reaped, and `finished` is
// false.  The child also gets SIGKILL should the calling thread end first.
// Throws std::runtime_error when the child cannot be started; a program
// that cannot be executed exits with status 127.
RunResult run(const std::vector<std::string>& argv, const std::string& input = "",
              const std::vector<std::string>& env = {}, std::chrono::milliseconds limit = 20s);

// The same for a function: runs `body` in a forked child, whose exit status
// is what `body` returns (a throwing `body` exits with 126).  For checks of
// process-wide state (resource limits, signals) that must not touch the
// test process.
RunResult runInChild(const std::function<int()>& body, std::chrono::milliseconds limit = 10s);

// waitpid with a deadline.  True, with `status` set, when the child changed
// state in time (WUNTRACED in `options` also reports a stop); otherwise the
// child is killed (SIGKILL) and reaped, `status` tells how it ended, and
// the result is false.
bool waitFor(pid_t pid, int& status, std::chrono::milliseconds limit, int options = 0);

}  // namespace testsupport

#endif  // TESTING_TESTSUPPORT_PROCESS_H
