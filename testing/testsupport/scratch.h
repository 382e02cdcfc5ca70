// scratch.h -- a private folder for one test, removed with everything in it.
#ifndef TESTING_TESTSUPPORT_SCRATCH_H
#define TESTING_TESTSUPPORT_SCRATCH_H

#include <string>

namespace testsupport {

// A fresh folder (mode 0700) under the temp directory (TMPDIR, else /tmp),
// removed with everything in it when the object goes away, also when an
// assertion ends the test early.  Throws std::runtime_error when it cannot
// be made.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }
    // `name` inside the folder; nothing is created.
    std::string path(const std::string& name) const { return path_ + "/" + name; }
    // Writes `content` to `name` inside the folder (replacing it) and
    // returns its path.
    std::string write(const std::string& name, const std::string& content) const;
    // The content of `name` inside the folder; empty when it cannot be read.
    std::string read(const std::string& name) const;

  private:
    std::string path_;
};

// The whole content of a file; empty when it cannot be read.
std::string readFile(const std::string& path);
// Writes `content` to `path`, replacing what was there.
void writeFile(const std::string& path, const std::string& content);

}  // namespace testsupport

#endif  // TESTING_TESTSUPPORT_SCRATCH_H
