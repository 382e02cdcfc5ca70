// log.h -- where the tool's log lines go.
//
// Every line of the tool passes through log_message, which routes it by its
// severity: Debug and Info to standard output, Error to standard error, or,
// while use_gateway_log is set (a session opened with an ini file), to the
// gateway library's information and error logs.  Lines of any other severity
// are dropped.
#ifndef TOOL_LOG_H
#define TOOL_LOG_H

#include <string>

// The numbers matter: the result line of a reply is logged with the severity
// Error minus the success flag, which gives Info for a successful change.
enum class LogMode : int { Debug = 0, Info = 1, Error = 2 };

// True from the successful opening of the gateway environment with an ini
// file until the session's teardown begins.  Only log_message reads it.
extern bool use_gateway_log;

// On the console the line goes out in one piece with a newline and is
// flushed; to the gateway log it goes as written, without a newline, and a
// '%' in it stays an ordinary character.
void log_message(LogMode mode, std::string text);

#endif  // TOOL_LOG_H
