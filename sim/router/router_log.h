// router_log.h -- the router's log: one line per event on standard error.
#ifndef SIM_ROUTER_ROUTER_LOG_H
#define SIM_ROUTER_ROUTER_LOG_H

#include <cstddef>
#include <string>
#include <string_view>

namespace qova::router {

// Writes "YYYY-MM-DD HH:MM:SS.mmm qova-router: TEXT" and a line feed to
// standard error in one write.  Callers never pass passwords.
void logLine(const std::string& text);

// `text` in double quotes for a log line, cut after `maxShown` bytes ("..."
// marks the cut), with '"', '\\' and bytes outside printable ASCII escaped as
// \xHH, so that a peer's text can neither break the line nor forge another.
std::string quoted(std::string_view text, std::size_t maxShown = 64);

}  // namespace qova::router

#endif  // SIM_ROUTER_ROUTER_LOG_H
