// test_util.h -- scratch space and environment guards for the qovautils tests.
#ifndef QOVAUTILS_TESTS_TEST_UTIL_H
#define QOVAUTILS_TESTS_TEST_UTIL_H

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>

namespace qovautils_test {

// A fresh directory under /tmp, removed with everything in it when the
// object goes out of scope, also when an assertion ends the test early.
class ScopedTempDir {
  public:
    ScopedTempDir() {
        std::string name = "/tmp/qovautils-test-XXXXXX";
        if (::mkdtemp(&name[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = name;
    }
    ~ScopedTempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScopedTempDir(const ScopedTempDir&) = delete;
    ScopedTempDir& operator=(const ScopedTempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

    // Writes `contents` to a file in the directory and returns its path.
    std::string write(const std::string& name, const std::string& contents) const {
        const std::string p = file(name);
        std::ofstream(p, std::ios::binary) << contents;
        return p;
    }

  private:
    std::string path_;
};

// Sets or unsets an environment variable for one scope and restores the
// value it had before.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = ::getenv(name)) old_ = std::string(old);
        if (value != nullptr) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (old_) {
            ::setenv(name_.c_str(), old_->c_str(), 1);
        } else {
            ::unsetenv(name_.c_str());
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    std::optional<std::string> old_;
};

}  // namespace qovautils_test

#endif  // QOVAUTILS_TESTS_TEST_UTIL_H
