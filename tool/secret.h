// secret.h -- keeping passwords from outliving their use.
//
// The tool holds the user's passwords in ordinary strings.  Before such a
// string is released its bytes are overwritten, so that freed heap memory
// never keeps a password, and the process refuses to dump core, so that a
// crash never writes one to disk.
#ifndef TOOL_SECRET_H
#define TOOL_SECRET_H

#include <cstddef>
#include <string>

// Overwrites every byte the string owns (its whole capacity, not only its
// current length) with zeros that the compiler may not elide, then empties it.
void wipe(std::string& secret) noexcept;

// Overwrites `size` bytes at `data` with zeros that the compiler may not
// elide.
void wipe(void* data, std::size_t size) noexcept;

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

// Core dumps off for the rest of the process's life: the soft and hard core
// size limits go to 0 and the process becomes non-dumpable (which also keeps
// other users' debuggers out).  Failures are ignored: there is nothing better
// to do than to go on.
void disableCoreDumps() noexcept;

#endif  // TOOL_SECRET_H
