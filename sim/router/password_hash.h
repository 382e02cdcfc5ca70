// password_hash.h -- the account's password as an Argon2id hash (libsodium).
//
// The hash string carries its own salt and cost, so a hash made at one cost
// is still verified after the router is started with another.
#ifndef SIM_ROUTER_PASSWORD_HASH_H
#define SIM_ROUTER_PASSWORD_HASH_H

#include <optional>
#include <string>
#include <string_view>

namespace qova::router {

// The library's cost levels of time and memory for new hashes: min (the
// smallest it allows; for tests), interactive (about 64 MiB; the default)
// and moderate (about 256 MiB).
enum class HashCost { Min, Interactive, Moderate };

// "min", "interactive" or "moderate"; nullopt for anything else.
std::optional<HashCost> parseHashCost(std::string_view text);
const char* hashCostName(HashCost cost);

// An Argon2id hash of `password` with a fresh random salt, in the
// library's text form "$argon2id$v=19$m=...,t=...,p=1$SALT$HASH".  Throws
// std::runtime_error when the library cannot start or has no memory for it.
std::string hashPassword(std::string_view password, HashCost cost);

// True when `password` matches `hash`; false as well for a malformed hash.
bool matchesHash(const std::string& hash, std::string_view password);

// True when `hash` is a well-formed Argon2id hash string.
bool isPasswordHash(const std::string& hash);

}  // namespace qova::router

#endif  // SIM_ROUTER_PASSWORD_HASH_H
