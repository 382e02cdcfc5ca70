// spawn.h -- the one fork of the test support library (internal).
#ifndef TESTING_SPAWN_H
#define TESTING_SPAWN_H

#include <sys/types.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace testsupport::detail {

// Pointers into `args` with the NULL that execv() needs.
std::vector<char*> argvOf(std::vector<std::string>& args);

// Forks a child with `in`, `out` and `err` as its descriptors 0, 1 and 2
// (-1: /dev/null) that gets `deathSignal` should the calling thread end
// first, and calls `body` in it; the child exits with what `body` returns
// (126 when it throws).  A `body` that execs must have built everything it
// needs before the call.  Returns the child's pid; throws
// std::runtime_error when fork fails.
template <typename Body>
pid_t spawn(Body&& body, int in, int out, int err, int deathSignal);

// Non-template core of spawn(): forks and prepares the child; returns 0 in
// the child, the pid in the parent.
pid_t forkChild(int in, int out, int err, int deathSignal);

template <typename Body>
pid_t spawn(Body&& body, int in, int out, int err, int deathSignal) {
    const pid_t pid = forkChild(in, out, err, deathSignal);
    if (pid != 0) return pid;
    int status = 126;
    try {
        status = body();
    } catch (...) {
    }
    ::_exit(status);
}

}  // namespace testsupport::detail

#endif  // TESTING_SPAWN_H
