// secret.cpp -- wiping and comparing secrets, switching core dumps off.
#include "base/secret.h"

#include <sodium.h>
#include <sys/prctl.h>
#include <sys/resource.h>

namespace base {

void wipe(void* data, std::size_t size) noexcept {
    if (size > 0) sodium_memzero(data, size);
}

void wipe(std::string& secret) noexcept {
    // Growing to the capacity never reallocates, and it makes every byte that
    // ever held a character part of the string, so it can be cleared lawfully.
    secret.resize(secret.capacity());
    wipe(secret.data(), secret.size());
    secret.clear();
}

bool equalSecrets(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    return a.empty() || sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

void disableCoreDumps() noexcept {
    const rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

}  // namespace base
