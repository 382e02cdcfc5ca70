#include "router_options.h"

#include <password_scheme.h>

#include <boost/program_options.hpp>
#include <limits>
#include <sstream>

#include "base/parse.h"

namespace qova::router {
namespace po = boost::program_options;
namespace {

po::options_description describeOptions() {
    // 80 columns: the help must fit a terminal of the usual width.
    po::options_description d("Options", 80, 40);
    // clang-format off
    d.add_options()
        ("listen", po::value<std::string>()->value_name("HOST:PORT"),
         "address to listen on (default 127.0.0.1:4001); port 0 picks a free port")
        ("local-pass", po::value<std::string>()->value_name("PASS"),
         "every connection must present this local password")
        ("local-pass-file", po::value<std::string>()->value_name("PATH"),
         "the local password is the first line of PATH (kept out of the process list)")
        ("password-file", po::value<std::string>()->value_name("PATH"),
         "the account's password is the first line of PATH; without it one line is "
         "read from standard input (echo off on a terminal)")
        ("rate-limit", po::value<std::string>()->value_name("N"),
         "more than N requests within one second on one connection get reply 99 "
         "(default 10; 0 = no limit)")
        ("penalty-ms", po::value<std::string>()->value_name("N"),
         "the penalty that reply 99 reports (default 1000)")
        ("keep-ms", po::value<std::string>()->value_name("N"),
         "how long a reply for a lost connection is kept (default 30000)")
        ("reply-delay-ms", po::value<std::string>()->value_name("N"),
         "delay every reply by N ms (default 0)")
        ("no-reply", po::bool_switch(), "never reply")
        ("close-on-request", po::bool_switch(), "close the connection when a request arrives")
        ("force-reply", po::value<std::string>()->value_name("KIND"),
         "answer every request with KIND (169, 99 or 100) without checking anything")
        ("force-code", po::value<std::string>()->value_name("N"),
         "the Code of a forced 169, or the code of a forced 100 (default 0)")
        ("force-text", po::value<std::string>()->value_name("TEXT"),
         "the text of a forced reply (default \"forced reply\")")
        ("db", po::value<std::string>()->value_name("PATH"),
         "keep the account in this SQLite database, its password hashed (Argon2id); the "
         "password is then read only with --init-password")
        ("init-password", po::bool_switch(),
         "create the database given by --db, set the account's password (read as without "
         "--db) and exit")
        ("force", po::bool_switch(),
         "with --init-password: replace the password of an account the database already holds")
        ("hash-cost", po::value<std::string>()->value_name("KIND"),
         "cost of new password hashes: interactive (default), moderate or min (for tests)")
        ("db-busy-ms", po::value<std::string>()->value_name("N"),
         "how long a change waits for a database lock held elsewhere before it fails with "
         "reply 100 (default 2000)")
        ("db-read-only", po::bool_switch(),
         "open the database read-only, so that every change fails with reply 100 (for tests)")
        ("audit", po::bool_switch(),
         "print the audit trail of --db (time, application name, outcome), oldest first, "
         "and exit; the database is opened read-only")
        ("help", po::bool_switch(), "print this help and exit")
        ("version", po::bool_switch(), "print the version and exit");
    // clang-format on
    return d;
}

// A number by the rules of base/parse.h (digits only, a leading '-' only for
// a signed T), within [min, max].
template <typename T>
T parseNumber(const std::string& option, const std::string& text, T min, T max) {
    T value{};
    switch (base::parseDecimal<T>(text, min, max, value)) {
        case base::DecimalStatus::Ok:
            return value;
        case base::DecimalStatus::NotANumber:
            throw UsageError("--" + option + " needs a number, got \"" + text + "\"");
        case base::DecimalStatus::OutOfRange:
            break;
    }
    throw UsageError("--" + option + " is out of range (" + std::to_string(min) + " to " +
                     std::to_string(max) + "): " + text);
}

std::uint32_t parseMillis(const std::string& option, const std::string& text) {
    // Reply 99 carries the penalty as a signed 4-byte integer, and every
    // duration is used as milliseconds of a steady clock.
    return parseNumber<std::uint32_t>(option, text, 0, std::numeric_limits<std::int32_t>::max());
}

// Port 0 asks the system for a free port.
void parseListen(const std::string& text, RouterOptions& out) {
    base::HostPort hp;
    std::string error;
    if (!base::parseHostPort(text, 0, hp, error)) {
        throw UsageError("--listen needs HOST:PORT: " + error);
    }
    out.listen_host = std::move(hp.host);
    out.listen_port = hp.port;
}

void parseDatabaseOptions(const po::variables_map& vm, RouterOptions& o) {
    o.init_password = vm["init-password"].as<bool>();
    o.force = vm["force"].as<bool>();
    o.db_read_only = vm["db-read-only"].as<bool>();
    o.audit = vm["audit"].as<bool>();
    if (vm.count("db")) {
        o.db = vm["db"].as<std::string>();
        if (o.db->empty()) throw UsageError("--db needs a path");
    }
    if (vm.count("hash-cost")) {
        const std::string& v = vm["hash-cost"].as<std::string>();
        const std::optional<HashCost> cost = parseHashCost(v);
        if (!cost) {
            throw UsageError("--hash-cost needs min, interactive or moderate, got \"" + v + "\"");
        }
        o.hash_cost = *cost;
    }
    if (vm.count("db-busy-ms")) {
        o.db_busy_ms = parseMillis("db-busy-ms", vm["db-busy-ms"].as<std::string>());
    }
    if (!o.db) {
        for (const char* name :
             {"init-password", "force", "hash-cost", "db-busy-ms", "db-read-only", "audit"}) {
            if (vm.count(name) && !vm[name].defaulted()) {
                throw UsageError(std::string("--") + name + " needs --db");
            }
        }
        return;
    }
    if (o.force && !o.init_password) throw UsageError("--force needs --init-password");
    if (o.init_password && (o.db_read_only || o.audit)) {
        throw UsageError(std::string(o.audit ? "--audit" : "--db-read-only") +
                         " cannot be given with --init-password");
    }
    if (o.password_file && !o.init_password) {
        throw UsageError(
            "--password-file needs --init-password when --db is given: the database holds the "
            "password");
    }
}

}  // namespace

RouterOptions parseRouterOptions(const std::vector<std::string>& args) {
    const po::options_description desc = describeOptions();
    po::variables_map vm;
    try {
        // No guessing of abbreviated names: "--list" is a mistake, not --listen.
        const int style =
            po::command_line_style::default_style & ~po::command_line_style::allow_guessing;
        // An empty positional description makes any stray argument an error.
        const po::positional_options_description noPositionals;
        po::store(po::command_line_parser(args)
                      .options(desc)
                      .positional(noPositionals)
                      .style(style)
                      .run(),
                  vm);
        po::notify(vm);
    } catch (const po::error& e) {
        throw UsageError(e.what());
    }

    RouterOptions o;
    const auto text = [&vm](const char* name) -> const std::string* {
        return vm.count(name) ? &vm[name].as<std::string>() : nullptr;
    };
    o.help = vm["help"].as<bool>();
    o.version = vm["version"].as<bool>();
    o.no_reply = vm["no-reply"].as<bool>();
    o.close_on_request = vm["close-on-request"].as<bool>();
    if (const std::string* v = text("listen")) parseListen(*v, o);
    if (const std::string* v = text("local-pass")) o.local_pass = *v;
    if (const std::string* v = text("local-pass-file")) {
        if (o.local_pass) throw UsageError("--local-pass and --local-pass-file exclude each other");
        if (v->empty()) throw UsageError("--local-pass-file needs a path");
        o.local_pass_file = *v;
    }
    if (const std::string* v = text("password-file")) {
        if (v->empty()) throw UsageError("--password-file needs a path");
        o.password_file = *v;
    }
    if (const std::string* v = text("rate-limit")) {
        o.rate_limit = parseNumber<std::uint32_t>("rate-limit", *v, 0,
                                                  std::numeric_limits<std::uint32_t>::max());
    }
    if (const std::string* v = text("penalty-ms")) o.penalty_ms = parseMillis("penalty-ms", *v);
    if (const std::string* v = text("keep-ms")) o.keep_ms = parseMillis("keep-ms", *v);
    if (const std::string* v = text("reply-delay-ms")) {
        o.reply_delay_ms = parseMillis("reply-delay-ms", *v);
    }

    std::size_t textMax = pwdscheme::kReplyMessageMaxLength;
    if (const std::string* v = text("force-reply")) {
        if (*v == "169") {
            o.force_reply = ForcedReply::Change;
        } else if (*v == "99") {
            o.force_reply = ForcedReply::Flood;
            textMax = pwdscheme::kFloodMessageMaxLength;
        } else if (*v == "100") {
            o.force_reply = ForcedReply::Failure;
        } else {
            throw UsageError("--force-reply needs 169, 99 or 100, got \"" + *v + "\"");
        }
    }
    const std::string* code = text("force-code");
    const std::string* forcedText = text("force-text");
    if ((code || forcedText) && o.force_reply == ForcedReply::None) {
        throw UsageError(std::string(code ? "--force-code" : "--force-text") +
                         " needs --force-reply");
    }
    if (code) {
        o.force_code =
            parseNumber<std::int32_t>("force-code", *code, std::numeric_limits<std::int32_t>::min(),
                                      std::numeric_limits<std::int32_t>::max());
    }
    if (forcedText) o.force_text = *forcedText;
    parseDatabaseOptions(vm, o);
    if (o.force_text.size() > textMax) {
        throw UsageError("--force-text is longer than the reply's " + std::to_string(textMax) +
                         "-byte field");
    }
    return o;
}

std::string usageText() {
    std::ostringstream out;
    out << "Usage: qova-router [OPTION]...\n"
           "       qova-router --db PATH --init-password [--force] [--hash-cost KIND]\n"
           "       qova-router --db PATH --audit\n"
           "The local stand-in for the gateway router and its password service KOLMA_SRV.\n"
           "It serves one account, kept in the database of --db or read at start.\n\n"
        << describeOptions();
    return out.str();
}

std::string versionText() { return "qova-router " QOVA_ROUTER_VERSION "\n"; }

}  // namespace qova::router
