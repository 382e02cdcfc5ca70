// wait.h -- waiting for a condition with a time limit instead of sleeping
// a fixed time.
#ifndef TESTING_TESTSUPPORT_WAIT_H
#define TESTING_TESTSUPPORT_WAIT_H

#include <chrono>
#include <functional>

namespace testsupport {

using namespace std::chrono_literals;

// Polls `condition` every few milliseconds until it holds (true) or
// `limit` has passed (false).
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s);

}  // namespace testsupport

#endif  // TESTING_TESTSUPPORT_WAIT_H
