// cmdline.h -- the option table and the parsing of the command line.
#ifndef TOOL_CMDLINE_H
#define TOOL_CMDLINE_H

#include <functional>
#include <string>
#include <vector>

struct ParamData;

// One command-line option.  `value` holds the default as text (empty: no
// default); parsing also stores the value given on the command line there.
struct CmdParamInfo {
    std::string name;        // long name, and the key in the parsed options
    std::string short_name;  // one letter, or empty
    std::string description;
    std::string value;
};

// The option records in declaration order, which is also the order of the
// help lines: ini (-i), host, port, app_name, local_pass, help (-h).  Every
// option takes exactly one value, help included.
extern std::vector<std::reference_wrapper<CmdParamInfo>> cmd_params;

// The largest ini file the tool hands to the gateway library.
inline constexpr long long kMaxIniFileSize = 1024 * 1024;

enum class IniFileStatus { Usable, NotFound, NotRegular, TooLarge };

// Whether `path` may be handed to the gateway library as its ini file: it
// must exist and open for reading (else NotFound), and name a regular file
// (NotRegular: a directory, a device, a FIFO) of at most kMaxIniFileSize
// bytes (TooLarge).  Only a regular file is opened, without blocking, and
// closed at once; nothing is read.  Defined in file_check.cpp, apart from the
// parser.
IniFileStatus check_ini_file(std::string const& path);

// Decimal text to a port number with stream rules: leading white space is
// skipped and the number ends at the first non-digit.  False when no digit
// can be read, when the value exceeds 65535, or when the text is negative
// (plain stream extraction would wrap "-1" to 65535).  `out` is written even
// on failure.
bool string_to_uint16(unsigned short& out, std::string const& text);

// Fills `data` from the options and their defaults, then prompts for the
// passwords.  With the help option it prints the usage text (standard output
// and the gateway's information log) and returns with `data` empty.  Every
// option problem (unknown or repeated option, missing value, ini file not
// found, not a regular file or too large, invalid port) is thrown as one std::runtime_error
// beginning "Command arguments error:" and listing the options; "Passwords do not match." passes
// through unchanged.  Checks run in this order: parse errors, help, ini file, port, passwords.
void parseCmdArgs(int argc, char** argv, ParamData& data);

#endif  // TOOL_CMDLINE_H
