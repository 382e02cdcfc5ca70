#include "router_log.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace qova::router {

void logLine(const std::string& text) {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const long millis =
        static_cast<long>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char stamp[32];
    const std::size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(stamp + n, sizeof stamp - n, ".%03ld", millis);

    const std::string line = std::string(stamp) + " qova-router: " + text + "\n";
    // One write per line keeps lines whole; a failing standard error is
    // not worth stopping the router for.
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t w = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;
        done += static_cast<std::size_t>(w);
    }
}

std::string quoted(std::string_view text, std::size_t maxShown) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size() && i < maxShown; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            out.push_back(static_cast<char>(c));
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    if (text.size() > maxShown) out += "...";
    out.push_back('"');
    return out;
}

}  // namespace qova::router
