// net.h -- loopback ports for tests.
#ifndef TESTING_TESTSUPPORT_NET_H
#define TESTING_TESTSUPPORT_NET_H

#include <cstdint>

namespace testsupport {

// A TCP port on 127.0.0.1 on which nothing listens: bound, then released,
// so it stays free unless another process takes it meanwhile.  Throws
// std::runtime_error when no port can be bound.
std::uint16_t freeLoopbackPort();

}  // namespace testsupport

#endif  // TESTING_TESTSUPPORT_NET_H
