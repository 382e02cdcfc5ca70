// scoped.h -- process-wide state changed for one scope: an environment
// variable, and standard input.
#ifndef TESTING_TESTSUPPORT_SCOPED_H
#define TESTING_TESTSUPPORT_SCOPED_H

#include <optional>
#include <string>

namespace testsupport {

// Sets (or, with a null `value`, unsets) an environment variable for the
// life of the object, then restores the value it had before.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    std::optional<std::string> old_;
};

// Standard input (descriptor 0, stdin and std::cin) reads `text` and then
// end of input for the life of the object; the previous standard input
// comes back afterwards with all stream state and buffered input
// forgotten.  `text` must fit in a pipe (64 KiB).
class StdinFrom {
  public:
    explicit StdinFrom(const std::string& text);
    ~StdinFrom();
    StdinFrom(const StdinFrom&) = delete;
    StdinFrom& operator=(const StdinFrom&) = delete;

  private:
    int saved_ = -1;
};

}  // namespace testsupport

#endif  // TESTING_TESTSUPPORT_SCOPED_H
