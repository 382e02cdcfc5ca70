// The settings, URL and HOST:PORT parsers.  The first byte picks one:
//   0  settings "key=value;...": what parses joins back to the same text;
//   1  URL "scheme://address;key=value;...": the same, scheme and address
//      included;
//   2  "HOST:PORT" and "[HOST]:PORT": a port from 1 to 65535 in plain
//      digits after the last ':', the host before it;
//   3  the decimal reader, against strtoll and its bounds.
#include <base/parse.h>
#include <params.h>

#include <algorithm>
#include <cstdlib>

#include "fuzz_check.h"

namespace {

using namespace qova::text;

// "key=value;key=value" from the pairs, with no trailing ';'.
std::string join(const Params& params) {
    std::string out;
    for (const Param& p : params.items) {
        FUZZ_CHECK(!p.key.empty() && p.key.find_first_of(";=") == std::string::npos);
        FUZZ_CHECK(p.value.find(';') == std::string::npos);
        FUZZ_CHECK(params.find(p.key) == &p.value);  // keys are unique
        if (!out.empty()) out += ';';
        out += p.key + "=" + p.value;
    }
    return out;
}

bool sameAsText(const std::string& joined, const std::string& text) {
    return joined == text || joined + ";" == text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::uint8_t which = in.byte() % 4;
    const std::string text = in.rest();
    std::string error;
    switch (which) {
        case 0: {
            Params params;
            if (parseParams(text, params, error)) FUZZ_CHECK(sameAsText(join(params), text));
            break;
        }
        case 1: {
            Url url;
            if (!parseUrl(text, url, error)) break;
            FUZZ_CHECK(!url.scheme.empty());
            FUZZ_CHECK(url.address.find(';') == std::string::npos);
            const std::string head = url.scheme + "://" + url.address;
            const std::string joined = join(url.params);
            FUZZ_CHECK(text == head || text == head + ";" || sameAsText(head + ";" + joined, text));
            break;
        }
        case 2: {
            base::HostPort hp;
            if (!base::parseHostPort(text, 1, hp, error)) break;
            // The port is what follows the last ':', the host what precedes
            // it, in brackets or not.
            const std::size_t colon = text.rfind(':');
            const std::string head = text.substr(0, colon);
            std::uint16_t port = 0;
            FUZZ_CHECK(base::parseDecimal<std::uint16_t>(text.substr(colon + 1), 1, 65535, port) ==
                           base::DecimalStatus::Ok &&
                       port == hp.port);
            FUZZ_CHECK(!hp.host.empty() && (head == hp.host || head == "[" + hp.host + "]"));
            break;
        }
        case 3: {
            // Plain digits with an optional '-', against strtoll.
            std::int64_t v = 0;
            const base::DecimalStatus status =
                base::parseDecimal<std::int64_t>(text, -5, 4000000000, v);
            const std::size_t digitsFrom = text.compare(0, 1, "-") == 0 ? 1 : 0;
            const bool plain = text.size() > digitsFrom && text.size() <= 18 &&
                               std::all_of(text.begin() + digitsFrom, text.end(),
                                           [](char c) { return c >= '0' && c <= '9'; });
            if (status == base::DecimalStatus::Ok) FUZZ_CHECK(v >= -5 && v <= 4000000000);
            if (plain) {
                const long long want = std::strtoll(text.c_str(), nullptr, 10);
                const bool inRange = want >= -5 && want <= 4000000000;
                FUZZ_CHECK(status ==
                           (inRange ? base::DecimalStatus::Ok : base::DecimalStatus::OutOfRange));
                if (inRange) FUZZ_CHECK(v == want);
            } else if (text.size() <= 18) {
                FUZZ_CHECK(status == base::DecimalStatus::NotANumber);
            }
            break;
        }
    }
    return 0;
}
