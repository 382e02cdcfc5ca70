// tool_texts.h -- what the tool prints, as its tests expect it: the prompts
// with their line ends, the options description as the option library lays
// it out, and the usage text.
#ifndef TOOL_TESTS_TOOL_TEXTS_H
#define TOOL_TESTS_TOOL_TEXTS_H

#include <string>

namespace tooltexts {

inline const std::string kPrompts =
    "Enter old password: \nEnter new password: \nEnter new password again: \n";
inline const std::string kOptions =
    "Options:\n"
    "  -i [ --ini ] arg      Path to ini file\n"
    "  --host arg            Host\n"
    "  --port arg            Port\n"
    "  --app_name arg        Application name\n"
    "  --local_pass arg      Password for connection \n"
    "  -h [ --help ] arg     Print help message\n";
inline const std::string kUsage = "Command arguments usage:\n" + kOptions + "\n";

}  // namespace tooltexts

#endif  // TOOL_TESTS_TOOL_TEXTS_H
