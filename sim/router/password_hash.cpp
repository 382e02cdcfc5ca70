#include "password_hash.h"

#include <sodium.h>

#include <algorithm>
#include <array>
#include <stdexcept>

namespace qova::router {
namespace {

// crypto_pwhash_str() makes hashes of the library's default algorithm.
static_assert(crypto_pwhash_ALG_DEFAULT == crypto_pwhash_ALG_ARGON2ID13,
              "the account's password must be hashed with Argon2id");

constexpr std::string_view kArgon2idPrefix = "$argon2id$";

struct Limits {
    unsigned long long ops;
    std::size_t mem;
};

Limits limitsOf(HashCost cost) {
    switch (cost) {
        case HashCost::Min:
            return {crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN};
        case HashCost::Moderate:
            return {crypto_pwhash_OPSLIMIT_MODERATE, crypto_pwhash_MEMLIMIT_MODERATE};
        case HashCost::Interactive:
            break;
    }
    return {crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE};
}

// sodium_init() once per process; later calls return 1 and are cheap, but
// the static makes the "once" explicit.
void startSodium() {
    static const int started = sodium_init();
    if (started < 0) throw std::runtime_error("libsodium could not be initialised");
}

// The library's functions take a hash as an array of STRBYTES chars; a
// shorter std::string is copied into one so they never read past its end.
using HashBuffer = std::array<char, crypto_pwhash_STRBYTES>;

bool fillHashBuffer(const std::string& hash, HashBuffer& buffer) {
    if (hash.size() >= buffer.size()) return false;  // no hash of the library's
    buffer.fill('\0');
    std::copy(hash.begin(), hash.end(), buffer.begin());
    return true;
}

}  // namespace

std::optional<HashCost> parseHashCost(std::string_view text) {
    if (text == "min") return HashCost::Min;
    if (text == "interactive") return HashCost::Interactive;
    if (text == "moderate") return HashCost::Moderate;
    return std::nullopt;
}

const char* hashCostName(HashCost cost) {
    switch (cost) {
        case HashCost::Min:
            return "min";
        case HashCost::Moderate:
            return "moderate";
        case HashCost::Interactive:
            break;
    }
    return "interactive";
}

std::string hashPassword(std::string_view password, HashCost cost) {
    startSodium();
    const Limits limits = limitsOf(cost);
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(out, password.data(), password.size(), limits.ops, limits.mem) != 0) {
        throw std::runtime_error(std::string("cannot hash the password at cost ") +
                                 hashCostName(cost) + ": out of memory");
    }
    return std::string(out);
}

bool matchesHash(const std::string& hash, std::string_view password) {
    startSodium();
    HashBuffer buffer;
    if (!fillHashBuffer(hash, buffer)) return false;
    return crypto_pwhash_str_verify(buffer.data(), password.data(), password.size()) == 0;
}

bool isPasswordHash(const std::string& hash) {
    startSodium();
    HashBuffer buffer;
    if (!fillHashBuffer(hash, buffer) ||
        hash.compare(0, kArgon2idPrefix.size(), kArgon2idPrefix) != 0) {
        return false;
    }
    // -1 means the string is no valid hash; 0 and 1 say whether its cost
    // differs from the one given, which does not matter here.
    return crypto_pwhash_str_needs_rehash(buffer.data(), crypto_pwhash_OPSLIMIT_MIN,
                                          crypto_pwhash_MEMLIMIT_MIN) != -1;
}

}  // namespace qova::router
