// main.cpp -- pwd_changer: changes the user's password through the gateway.
//
// Phases, each at most once and in this order: parse the command line and
// read the passwords, build the session, set it up, validate the passwords,
// run the session, tear it down.  Every failure reaches the one handler
// below after the session has been torn down, and is printed on standard
// error.  Exit status 0 only when the service accepted the new password,
// whether or not the output could be written.
#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <stdexcept>
#include <string>

#include "base/secret.h"
#include "cmdline.h"
#include "params.h"
#include "processor.h"

int main(int argc, char** argv) {
    // Before the first prompt: a crash must not write the passwords to disk,
    // and standard input keeps no buffered copy of what was typed.
    base::disableCoreDumps();
    std::setvbuf(stdin, nullptr, _IONBF, 0);
    // A reader that went away (`pwd_changer | head -1`) must not kill the
    // run half-way, after the service may have made the change: output that
    // cannot be written is lost, and the status still tells the outcome.
    std::signal(SIGPIPE, SIG_IGN);

    ParamData data;
    struct WipeRecord {
        ParamData& data;
        ~WipeRecord() { wipeSecrets(data); }
    } wipeRecord{data};

    try {
        parseCmdArgs(argc, argv, data);
        bool succeeded = false;
        {
            Processor processor(data);
            processor.init();
            std::string error;
            if (!baseArgsChecks(data, error)) {
                std::string text = "Arguments error";
                if (!error.empty()) {
                    text += ": " + error;
                }
                throw std::runtime_error(text);
            }
            processor.run();
            succeeded = processor.isSucceeded();
        }
        return succeeded ? 0 : -1;
    } catch (const std::exception& e) {
        std::cerr << e.what() << std::endl;
    } catch (...) {
        std::cerr << "Unknown exception" << std::endl;
    }
    return -1;
}
