// cmdline.cpp -- option table, parsing, defaults and the usage text.
#include "cmdline.h"

#include <qova.h>

#include <algorithm>
#include <boost/program_options.hpp>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "base/secret.h"
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

// The option library's message for `e`, an error of parsing `argv`.  The
// library fills its templates by replacing each placeholder ("%option%",
// "%canonical_option%" and the like) until none is left, and an option it
// does not know goes in as typed, so an argument such as "--x%option%" would
// keep the message growing for ever.  Such an error is made again from the
// same arguments with each '%' turned into a byte that none of them holds,
// and that byte becomes '%' again in the text.
std::string optionErrorText(const po::error& e, int argc, char** argv,
                            const po::options_description& description) {
    const auto* named = dynamic_cast<const po::error_with_option_name*>(&e);
    // The option as the library names it; what the user typed shows here.
    if (named == nullptr || named->get_option_name().find('%') == std::string::npos) {
        return e.what();
    }
    std::vector<std::string> args(argv, argv + argc);
    char marker = '\x01';
    while (marker < '\x1f' && std::any_of(args.begin(), args.end(), [&](const std::string& a) {
               return a.find(marker) != std::string::npos;
           })) {
        ++marker;
    }
    std::vector<char*> safe;
    for (std::string& a : args) {
        std::replace(a.begin(), a.end(), '%', marker);
        safe.push_back(&a[0]);
    }
    std::string text = "unrecognised option '" + named->get_option_name() + "'";
    try {
        po::variables_map ignored;
        po::store(po::parse_command_line(argc, safe.data(), description), ignored);
    } catch (const po::error& again) {
        text = again.what();
        std::replace(text.begin(), text.end(), marker, '%');
    }
    // The arguments may hold the local gateway password.
    for (std::string& a : args) {
        base::wipe(a);
    }
    return text;
}

// The local gateway password is a secret like the user's: once the record
// holds it, the copies that the option library and the option record keep
// are wiped, on every way out of the parser.
class WipeGivenSecret {
  public:
    WipeGivenSecret(CmdParamInfo& param, po::parsed_options& parsed, po::variables_map& options)
        : param_(param), parsed_(parsed), options_(options) {}
    ~WipeGivenSecret() {
        bool given = false;
        for (po::option& option : parsed_.options) {
            if (option.string_key == param_.name) {
                given = true;
                for (std::string& value : option.value) {
                    base::wipe(value);
                }
                for (std::string& token : option.original_tokens) {
                    base::wipe(token);
                }
            }
        }
        const auto found = options_.find(param_.name);
        if (found != options_.end()) {
            if (auto* value = boost::any_cast<std::string>(&found->second.value())) {
                base::wipe(*value);
            }
        }
        if (given) {
            base::wipe(param_.value);  // the default is empty: nothing else is lost
        }
    }
    WipeGivenSecret(const WipeGivenSecret&) = delete;
    WipeGivenSecret& operator=(const WipeGivenSecret&) = delete;

  private:
    CmdParamInfo& param_;
    po::parsed_options& parsed_;
    po::variables_map& options_;
};

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
    wipeSecrets(data);
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
        po::parsed_options parsed = po::parse_command_line(argc, argv, description);
        const WipeGivenSecret wipeLocalPass(local_pass_param, parsed, options);
        po::store(parsed, options);
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
            switch (check_ini_file(data.ini)) {
                case IniFileStatus::NotFound:
                    throw po::error("File not found: " + data.ini);
                case IniFileStatus::NotRegular:
                    throw po::error("Not a regular file: " + data.ini);
                case IniFileStatus::TooLarge:
                    throw po::error("File too large: " + data.ini);
                case IniFileStatus::Usable:
                    break;
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
    } catch (const po::error& e) {
        std::ostringstream text;
        text << "Command arguments error:" << std::endl
             << description << " (" << optionErrorText(e, argc, argv, description) << ")"
             << std::endl;
        throw std::runtime_error(text.str());
    }
}
