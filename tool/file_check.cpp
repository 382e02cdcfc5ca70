// file_check.cpp -- check_ini_file, in a file of its own so that a program
// that drives the parser without touching the file system (the command-line
// fuzz target) can link its own in place of this one.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cmdline.h"

IniFileStatus check_ini_file(std::string const& path) {
    // The type first, from the path: only a regular file is ever opened, as
    // opening a device can have effects of its own.
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        return IniFileStatus::NotFound;
    }
    if (!S_ISREG(info.st_mode)) {
        return IniFileStatus::NotRegular;
    }
    // Then readable, and type and size once more on the open file: the path
    // may have changed meanwhile, and O_NONBLOCK keeps a FIFO put there from
    // blocking the open.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return IniFileStatus::NotFound;
    }
    const bool known = fstat(fd, &info) == 0;
    close(fd);
    if (!known) {
        return IniFileStatus::NotFound;
    }
    if (!S_ISREG(info.st_mode)) {
        return IniFileStatus::NotRegular;
    }
    return info.st_size > kMaxIniFileSize ? IniFileStatus::TooLarge : IniFileStatus::Usable;
}
