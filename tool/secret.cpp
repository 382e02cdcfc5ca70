// secret.cpp -- wiping passwords and switching core dumps off.
#include "secret.h"

#include <sys/prctl.h>
#include <sys/resource.h>

#include <cstring>

void wipe(std::string& secret) noexcept {
    // Growing to the capacity never reallocates, and it makes every byte that
    // ever held a character part of the string, so it can be cleared lawfully.
    secret.resize(secret.capacity());
    explicit_bzero(secret.data(), secret.size());
    secret.clear();
}

void wipe(void* data, std::size_t size) noexcept { explicit_bzero(data, size); }

void disableCoreDumps() noexcept {
    const rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}
