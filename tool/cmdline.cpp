// cmdline.cpp -- option table, parsing, defaults and the usage text.
#include "cmdline.h"

#include <qova.h>

#include <boost/program_options.hpp>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "params.h"
#include "password_entry.h"

namespace po = boost::program_options;

namespace {

CmdParamInfo ini_param{"ini", "i", "Path to ini file", ""};
CmdParamInfo host_param{"host", "", "Host", "127.0.0.1"};
CmdParamInfo port_param{"port", "", "Port", "4001"};
CmdParamInfo app_name_param{"app_name", "", "Application name", "pwd_changer"};
CmdParamInfo local_pass_param{"local_pass", "", "Password for connection ", ""};
CmdParamInfo help_param{"help", "h", "Print help message", ""};

const std::string invalid = "invalid";

// The given value, or else the record's default.
std::string valueOrDefault(const po::variables_map& options, const CmdParamInfo& param) {
    const auto found = options.find(param.name);
    return found != options.end() ? found->second.as<std::string>() : param.value;
}

// The option library's message for `e`.  The library fills its templates
// by replacing each placeholder ("%canonical_option%" and the like) until
// none is left, so an unknown or ambiguous option that holds one itself, such
// as "--x%canonical_option%", would keep the message growing for ever.  Such
// an option goes in as a marker without '%', and in its own place afterwards.
std::string optionErrorText(po::error& e) {
    auto* named = dynamic_cast<po::error_with_option_name*>(&e);
    // Only an option name the library did not know comes from the user: it
    // is the whole argument as typed.
    const std::string typed = named != nullptr ? named->get_option_name() : std::string();
    if (typed.find('%') == std::string::npos) return e.what();
    const std::string marker = "\x01";
    named->set_original_token(marker);
    std::string text = e.what();
    for (std::size_t at = text.find(marker); at != std::string::npos;
         at = text.find(marker, at + typed.size())) {
        text.replace(at, marker.size(), typed);
    }
    return text;
}

}  // namespace

std::vector<std::reference_wrapper<CmdParamInfo>> cmd_params = {
    ini_param, host_param, port_param, app_name_param, local_pass_param, help_param};

bool string_to_uint16(unsigned short& out, std::string const& text) {
    std::istringstream in(text);
    in >> std::dec >> std::ws;
    const bool negative = in.peek() == '-';
    in >> out;
    return !in.fail() && !in.bad() && !negative;
}

void parseCmdArgs(int argc, char** argv, ParamData& data) {
    wipePasswords(data);
    data = ParamData();

    po::options_description description("Options", 80, 40);
    for (CmdParamInfo& param : cmd_params) {
        const std::string name =
            param.short_name.empty() ? param.name : param.name + "," + param.short_name;
        description.add_options()(name.c_str(), po::value<std::string>(&param.value),
                                  param.description.c_str());
    }

    try {
        po::variables_map options;
        po::store(po::parse_command_line(argc, argv, description), options);
        po::notify(options);

        if (options.count(help_param.name) != 0) {
            std::ostringstream usage;
            usage << "Command arguments usage:" << std::endl << description << std::endl;
            const std::string text = usage.str();
            qova_log_info(text.c_str());
            std::cout << text << std::flush;
            return;
        }

        if (options.count(ini_param.name) != 0) {
            data.ini = options[ini_param.name].as<std::string>();
            if (!is_file_exist(data.ini)) {
                throw po::error("File not found: " + data.ini);
            }
        }

        data.host = valueOrDefault(options, host_param);

        if (options.count(port_param.name) != 0) {
            if (!string_to_uint16(data.port, options[port_param.name].as<std::string>())) {
                throw po::error(invalid + " " + port_param.name);
            }
        } else if (!string_to_uint16(data.port, port_param.value)) {
            throw po::error(invalid + " default value in " + port_param.name);
        }

        data.app_name = valueOrDefault(options, app_name_param);
        data.local_pass = valueOrDefault(options, local_pass_param);

        prompt_passwords(data);
    } catch (po::error& e) {
        std::ostringstream text;
        text << "Command arguments error:" << std::endl
             << description << " (" << optionErrorText(e) << ")" << std::endl;
        throw std::runtime_error(text.str());
    }
}
