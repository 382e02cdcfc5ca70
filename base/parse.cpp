// parse.cpp -- "HOST:PORT" addresses.
#include "base/parse.h"

namespace base {

bool parseHostPort(std::string_view text, std::uint16_t minPort, HostPort& out,
                   std::string& error) {
    const std::string quoted = "address '" + std::string(text) + "'";
    std::string_view host;
    std::string_view port;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            error = quoted + " is not [HOST]:PORT";
            return false;
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const std::size_t colon = text.rfind(':');
        if (colon == std::string_view::npos) {
            error = text.empty() ? "empty address" : quoted + " has no port";
            return false;
        }
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (host.empty()) {
        error = quoted + " has no host";
        return false;
    }
    std::uint16_t number = 0;
    switch (parseDecimal<std::uint16_t>(port, minPort, 65535, number)) {
        case DecimalStatus::Ok:
            break;
        case DecimalStatus::NotANumber:
            error = quoted + " has a port that is not a decimal number";
            return false;
        case DecimalStatus::OutOfRange:
            error = quoted + " has a port out of range (" + std::to_string(minPort) + " to 65535)";
            return false;
    }
    out.host = std::string(host);
    out.port = number;
    return true;
}

}  // namespace base
