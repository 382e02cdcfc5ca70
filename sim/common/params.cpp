#include "params.h"

#include <algorithm>
#include <cctype>

namespace qova::text {

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

}  // namespace qova::text
