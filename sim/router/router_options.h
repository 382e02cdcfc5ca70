// router_options.h -- the command line of qova-router.
#ifndef SIM_ROUTER_ROUTER_OPTIONS_H
#define SIM_ROUTER_ROUTER_OPTIONS_H

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "password_hash.h"

namespace qova::router {

// The reply that --force-reply sends to every request.
enum class ForcedReply { None, Change, Flood, Failure };  // none, 169, 99, 100

struct RouterOptions {
    std::string listen_host = "127.0.0.1";
    std::uint16_t listen_port = 4001;       // 0 picks a free port
    std::optional<std::string> local_pass;  // every Hello must carry it
    // --local-pass-file: main() reads local_pass from its first line.  Not
    // with --local-pass (UsageError).
    std::optional<std::string> local_pass_file;
    std::optional<std::string> password_file;
    std::uint32_t rate_limit = 10;  // requests per second per connection; 0 = no limit
    std::uint32_t penalty_ms = 1000;
    std::uint32_t keep_ms = 30000;
    std::uint32_t reply_delay_ms = 0;
    bool no_reply = false;
    bool close_on_request = false;
    ForcedReply force_reply = ForcedReply::None;
    std::int32_t force_code = 0;
    std::string force_text = "forced reply";
    // The account database; without it the password is kept in memory.
    std::optional<std::string> db;
    bool init_password = false;  // create the database, set the password, exit
    bool force = false;          // --init-password may replace an existing account
    HashCost hash_cost = HashCost::Interactive;
    std::uint32_t db_busy_ms = 2000;
    bool db_read_only = false;  // fault injection: every change fails with reply 100
    bool audit = false;         // print the audit trail of --db and exit
    bool help = false;
    bool version = false;
};

// A command line that cannot be used; the text is meant for the user.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Parses the arguments that follow the program name.  Numbers are plain
// decimal digits (a sign only for --force-code) within their range.
// Throws UsageError for an unknown option, a missing or malformed value, an
// option given twice, a stray argument, --force-code or --force-text without
// --force-reply, a forced text longer than its reply's field, a database
// option without --db, --force without --init-password, --db-read-only or
// --audit with --init-password, and --password-file with --db but without
// --init-password (the database holds the password then).
RouterOptions parseRouterOptions(const std::vector<std::string>& args);

// The --help text; no line is longer than 80 columns.
std::string usageText();

// The --version text: "qova-router VERSION" and a line feed.
std::string versionText();

}  // namespace qova::router

#endif  // SIM_ROUTER_ROUTER_OPTIONS_H
