// The tool's command-line parser with argv built from the input: arguments
// are the input's NUL-separated pieces after the program name.  The password
// prompts, the ini file check and the gateway log are replaced here (the
// parser's library pulls none of them in once they are defined), and the
// option records get their built-in defaults back before every run, as at
// the start of a process.
//
// Every run either returns (with the usage text: an empty record; otherwise
// a record with the prompted passwords) or throws std::runtime_error with
// the error block; anything else escaping the parser is a finding.
#include <qova.h>

#include <iostream>
#include <stdexcept>
#include <vector>

#include "cmdline.h"
#include "fuzz_check.h"
#include "params.h"

// No file is ever looked at: an ini path is usable when it starts with "ok",
// and otherwise its first letter decides.
IniFileStatus check_ini_file(std::string const& path) {
    if (path.compare(0, 2, "ok") == 0) return IniFileStatus::Usable;
    switch (path.empty() ? 'n' : path[0]) {
        case 'd':
            return IniFileStatus::NotRegular;
        case 'b':
            return IniFileStatus::TooLarge;
        default:
            return IniFileStatus::NotFound;
    }
}

void prompt_passwords(ParamData& data) {
    data.old_password = "old";
    data.new_password = "new";
}

extern "C" qova_result_t qova_log_info(const char*) { return 0; }
extern "C" qova_result_t qova_log_error(const char*) { return 0; }

namespace {

std::vector<std::string> defaults;

bool endsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    for (const CmdParamInfo& p : cmd_params) defaults.push_back(p.value);
    // The usage text would go to standard output on every run.
    std::cout.setstate(std::ios::badbit);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    for (std::size_t i = 0; i < defaults.size(); ++i) cmd_params[i].get().value = defaults[i];

    fuzz::Input in(data, size);
    std::vector<std::string> args{"pwd_changer"};
    while (!in.empty() && args.size() < 16) args.push_back(in.until('\0'));
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);

    ParamData record;
    record.host = "left over";
    try {
        parseCmdArgs(static_cast<int>(args.size()), argv.data(), record);
    } catch (const std::runtime_error& e) {
        const std::string text = e.what();
        FUZZ_CHECK(text.compare(0, 25, "Command arguments error:\n") == 0);
        FUZZ_CHECK(endsWith(text, ")\n"));
        return 0;
    }
    if (record.old_password.empty()) {
        // The usage text: nothing else was looked at.
        FUZZ_CHECK(record.host.empty() && record.port == 0 && record.new_password.empty());
    } else {
        FUZZ_CHECK(record.new_password == "new");
        FUZZ_CHECK(record.ini.empty() || check_ini_file(record.ini) == IniFileStatus::Usable);
    }
    return 0;
}
