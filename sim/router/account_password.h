// account_password.h -- reading the account's current password at start.
//
// The password never comes from the command line, where `ps` shows it: it is
// the first line of a file, or one line from standard input.
#ifndef SIM_ROUTER_ACCOUNT_PASSWORD_H
#define SIM_ROUTER_ACCOUNT_PASSWORD_H

#include <string>

namespace qova::router {

// The first line of the file at `path`, without its "\n" or "\r\n".
// Throws std::runtime_error when the file cannot be read or is empty.
std::string readPasswordFile(const std::string& path);

// One line from `fd`, without its "\n" or "\r\n".  When `fd` is a terminal
// it writes `prompt` on standard error and switches echo off while reading,
// and restores the terminal on every path.  Reads byte by byte, so nothing after
// the line is consumed and no buffer but the result holds the password.
// Throws std::runtime_error on end of input before any byte, or a read error.
std::string readPasswordLine(int fd, const char* prompt = "Account password: ");

// The new password of --init-password from `fd`: one line, as
// readPasswordLine() reads it; on a terminal it is asked for twice, as it
// cannot be seen while typed, and two entries that differ throw
// std::runtime_error.
std::string readNewPassword(int fd);

// Throws std::runtime_error unless `password` could be presented in a
// request: 1 to 65 bytes, none of them NUL.
void checkAccountPassword(const std::string& password);

}  // namespace qova::router

#endif  // SIM_ROUTER_ACCOUNT_PASSWORD_H
