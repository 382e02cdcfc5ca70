// log.cpp -- routing of the tool's log lines.
#include "log.h"

#include <qova.h>

#include <iostream>

bool use_gateway_log = false;

void log_message(LogMode mode, std::string text) {
    if (mode != LogMode::Debug && mode != LogMode::Info && mode != LogMode::Error) {
        return;  // no severity of ours: the line is dropped
    }
    const bool error = mode == LogMode::Error;
    if (use_gateway_log) {
        (error ? qova_log_error : qova_log_info)(text.c_str());
        return;
    }
    text += '\n';
    (error ? std::cerr : std::cout) << text << std::flush;
}
