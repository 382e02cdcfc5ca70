#include "secret.h"

#include <string.h>  // explicit_bzero (glibc)

namespace qova::router {

void wipe(std::string& s) {
    if (!s.empty()) ::explicit_bzero(s.data(), s.size());
    s.clear();
}

bool equalSecrets(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return diff == 0;
}

}  // namespace qova::router
