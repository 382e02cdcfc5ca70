// secret.h -- keeping passwords from outliving their use.
//
// Passwords are held in ordinary strings and buffers.  Before such memory is
// released or reused its bytes are overwritten, so that freed heap memory
// never keeps a password; secrets are compared in time that does not tell
// where they differ; and a process that holds passwords can refuse to dump
// core, so that a crash never writes one to disk.
#ifndef BASE_SECRET_H
#define BASE_SECRET_H

#include <cstddef>
#include <string>
#include <string_view>

namespace base {

// Overwrites `size` bytes at `data` with zeros in a way the compiler may not
// drop.  `data` may be null when `size` is 0.
void wipe(void* data, std::size_t size) noexcept;

// Overwrites every byte the string owns -- its whole capacity, not only its
// current length, since shorter contents leave older bytes behind -- then
// empties it.  The buffer itself is kept.
void wipe(std::string& secret) noexcept;

// Wipes the string it was given when it goes out of scope, on every path.
class WipeOnExit {
  public:
    explicit WipeOnExit(std::string& secret) : secret_(secret) {}
    ~WipeOnExit() { wipe(secret_); }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

  private:
    std::string& secret_;
};

// True when `a` and `b` hold the same bytes.  The time taken depends on the
// lengths only, not on where the contents first differ; texts of different
// lengths are unequal at once (a secret's length is not hidden).
bool equalSecrets(std::string_view a, std::string_view b) noexcept;

// Core dumps off for the rest of the process's life: the soft and hard core
// size limits go to 0 and the process becomes non-dumpable (which also keeps
// other users' debuggers out).  Failures are ignored: there is nothing better
// to do than to go on.
void disableCoreDumps() noexcept;

}  // namespace base

#endif  // BASE_SECRET_H
