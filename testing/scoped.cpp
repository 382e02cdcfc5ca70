// scoped.cpp -- see testsupport/scoped.h.
#include "testsupport/scoped.h"

#include <stdio_ext.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <stdexcept>

namespace testsupport {

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = ::getenv(name)) old_ = std::string(old);
    if (value != nullptr) {
        ::setenv(name, value, 1);
    } else {
        ::unsetenv(name);
    }
}

ScopedEnv::~ScopedEnv() {
    if (old_) {
        ::setenv(name_.c_str(), old_->c_str(), 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

namespace {

void forgetBufferedInput() {
    __fpurge(stdin);
    std::clearerr(stdin);
    std::cin.clear();
}

}  // namespace

StdinFrom::StdinFrom(const std::string& text) {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fds[1], text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    ::close(fds[1]);
    saved_ = ::dup(STDIN_FILENO);
    ::dup2(fds[0], STDIN_FILENO);
    ::close(fds[0]);
    forgetBufferedInput();
}

StdinFrom::~StdinFrom() {
    ::dup2(saved_, STDIN_FILENO);
    ::close(saved_);
    forgetBufferedInput();
}

}  // namespace testsupport
