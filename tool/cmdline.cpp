// cmdline.cpp -- option table, parsing, defaults and the usage text.
#include "cmdline.h"

#include <fcntl.h>
#include <qova.h>
#include <sys/stat.h>
#include <unistd.h>

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

IniFileStatus check_ini_file(std::string const& path) {
    // The type first, from the path: only a regular file is ever opened, as
    // opening a device can have effects of its own.
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        return IniFileStatus::NotFound;
    }
    if (!S_ISREG(info.st_mode)) {
        return IniFileStatus::NotRegular;
    }
    // Then readable, and type and size once more on the open file: the path
    // may have changed meanwhile, and O_NONBLOCK keeps a FIFO put there from
    // blocking the open.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return IniFileStatus::NotFound;
    }
    const bool known = fstat(fd, &info) == 0;
    close(fd);
    if (!known) {
        return IniFileStatus::NotFound;
    }
    if (!S_ISREG(info.st_mode)) {
        return IniFileStatus::NotRegular;
    }
    return info.st_size > kMaxIniFileSize ? IniFileStatus::TooLarge : IniFileStatus::Usable;
}

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
             << description << " (" << e.what() << ")" << std::endl;
        throw std::runtime_error(text.str());
    }
}
