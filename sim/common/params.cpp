#include "params.h"

#include <algorithm>
#include <cctype>

namespace qova::text {
namespace {

bool allDigits(const std::string& s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); });
}

}  // namespace

// At most 10 digits, so the value cannot overflow 64 bits before the range
// check.
bool parseDecimal(const std::string& s, std::uint64_t min, std::uint64_t max, std::uint64_t& out) {
    if (!allDigits(s) || s.size() > 10) return false;
    std::uint64_t v = 0;
    for (char c : s) v = v * 10 + static_cast<std::uint64_t>(c - '0');
    if (v < min || v > max) return false;
    out = v;
    return true;
}

const std::string* Params::find(const std::string& key) const {
    for (const Param& p : items)
        if (p.key == key) return &p.value;
    return nullptr;
}

const std::string* Params::firstUnknown(const std::vector<std::string>& known) const {
    for (const Param& p : items)
        if (std::find(known.begin(), known.end(), p.key) == known.end()) return &p.key;
    return nullptr;
}

bool parseParams(const std::string& text, Params& out, std::string& error) {
    out.items.clear();
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find(';', pos);
        if (end == std::string::npos) end = text.size();
        const std::string pair = text.substr(pos, end - pos);
        const std::size_t index = out.items.size() + 1;
        if (pair.empty()) {
            error = "empty parameter " + std::to_string(index);
            return false;
        }
        const std::size_t eq = pair.find('=');
        if (eq == std::string::npos) {
            error = "parameter " + std::to_string(index) + " has no '='";
            return false;
        }
        if (eq == 0) {
            error = "parameter " + std::to_string(index) + " has an empty name";
            return false;
        }
        Param p{pair.substr(0, eq), pair.substr(eq + 1)};
        if (out.find(p.key)) {
            error = "parameter '" + p.key + "' given twice";
            return false;
        }
        out.items.push_back(std::move(p));
        pos = end + 1;  // past the ';' (or past the end: a trailing ';' ends here)
    }
    return true;
}

bool parseUrl(const std::string& text, Url& out, std::string& error) {
    const std::size_t sep = text.find("://");
    if (sep == std::string::npos || sep == 0) {
        error = "URL has no scheme";
        return false;
    }
    out.scheme = text.substr(0, sep);
    if (!std::all_of(out.scheme.begin(), out.scheme.end(),
                     [](unsigned char c) { return std::isalnum(c); })) {
        error = "URL scheme holds a character other than a letter or digit";
        return false;
    }
    const std::size_t start = sep + 3;
    const std::size_t semi = text.find(';', start);
    if (semi == std::string::npos) {
        out.address = text.substr(start);
        out.params.items.clear();
        return true;
    }
    out.address = text.substr(start, semi - start);
    return parseParams(text.substr(semi + 1), out.params, error);
}

bool splitHostPort(const std::string& address, HostPort& out, std::string& error) {
    std::string host;
    std::string port;
    if (!address.empty() && address[0] == '[') {
        const std::size_t close = address.find(']');
        if (close == std::string::npos || close + 1 >= address.size() ||
            address[close + 1] != ':') {
            error = "address '" + address + "' is not [HOST]:PORT";
            return false;
        }
        host = address.substr(1, close - 1);
        port = address.substr(close + 2);
    } else {
        const std::size_t colon = address.rfind(':');
        if (colon == std::string::npos) {
            error = address.empty() ? "empty address" : "address '" + address + "' has no port";
            return false;
        }
        host = address.substr(0, colon);
        port = address.substr(colon + 1);
    }
    if (host.empty()) {
        error = "address '" + address + "' has no host";
        return false;
    }
    std::uint64_t n = 0;
    if (!parseDecimal(port, 1, 65535, n)) {
        error = "address '" + address + "' has a bad port";
        return false;
    }
    out.host = std::move(host);
    out.port = std::to_string(n);
    return true;
}

bool parseMillis(const std::string& text, std::uint32_t min, std::uint32_t max,
                 std::uint32_t& out) {
    std::uint64_t v = 0;
    if (!parseDecimal(text, min, max, v)) return false;
    out = static_cast<std::uint32_t>(v);
    return true;
}

}  // namespace qova::text
