#include "ini.h"

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <sstream>

#include "base/parse.h"

namespace qova::text {
namespace {

namespace pt = boost::property_tree;

bool readMillis(const pt::ptree& entry, const std::string& name, std::uint32_t max,
                std::optional<std::uint32_t>& out, std::string& error) {
    std::uint32_t v = 0;
    if (!entry.empty() ||
        base::parseDecimal<std::uint32_t>(entry.data(), 1, max, v) != base::DecimalStatus::Ok) {
        error = "session." + name + " must be a number from 1 to " + std::to_string(max);
        return false;
    }
    out = v;
    return true;
}

bool readLog(const pt::ptree& section, IniSettings& out, std::string& error) {
    for (const auto& [key, entry] : section) {
        if (key != "file") {
            error = "unknown key log." + key;
            return false;
        }
        if (!entry.empty() || entry.data().empty()) {
            error = "log.file must name a file";
            return false;
        }
        out.log_file = entry.data();
    }
    return true;
}

bool readSession(const pt::ptree& section, IniSettings& out, std::string& error) {
    for (const auto& [key, entry] : section) {
        if (key == "reply_timeout_ms") {
            if (!readMillis(entry, key, kMaxReplyTimeoutMs, out.reply_timeout_ms, error))
                return false;
        } else if (key == "connect_timeout_ms") {
            if (!readMillis(entry, key, kMaxConnectTimeoutMs, out.connect_timeout_ms, error))
                return false;
        } else {
            error = "unknown key session." + key;
            return false;
        }
    }
    return true;
}

}  // namespace

bool parseIni(const std::string& text, IniSettings& out, std::string& error) {
    pt::ptree tree;
    try {
        std::istringstream in(text);
        pt::read_ini(in, tree);
    } catch (const pt::ini_parser_error& e) {
        error = "line " + std::to_string(e.line()) + ": " + e.message();
        return false;
    }
    out = IniSettings{};
    for (const auto& [name, section] : tree) {
        // A key outside any section is a leaf at the top of the tree.
        if (section.empty() && !section.data().empty()) {
            error = "key '" + name + "' outside a section";
            return false;
        }
        if (name == "log") {
            if (!readLog(section, out, error)) return false;
        } else if (name == "session") {
            if (!readSession(section, out, error)) return false;
        } else {
            error = "unknown section [" + name + "]";
            return false;
        }
    }
    return true;
}

}  // namespace qova::text
