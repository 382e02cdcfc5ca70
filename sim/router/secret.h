// secret.h -- handling of bytes that hold passwords.
#ifndef SIM_ROUTER_SECRET_H
#define SIM_ROUTER_SECRET_H

#include <string>
#include <string_view>

namespace qova::router {

// Overwrites the characters of `s` with zeros in a way the compiler may not
// drop, then empties it.
void wipe(std::string& s);

// Wipes a string when the scope ends, on every path out of it.
class WipeOnExit {
public:
    explicit WipeOnExit(std::string& s) : s_(s) {}
    ~WipeOnExit() { wipe(s_); }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

private:
    std::string& s_;
};

// Compares two secrets in time that depends on their lengths only, not on
// where they first differ.
bool equalSecrets(std::string_view a, std::string_view b);

}  // namespace qova::router

#endif  // SIM_ROUTER_SECRET_H
