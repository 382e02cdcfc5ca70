// The settings, URL and HOST:PORT parsers.  The first byte picks one:
//   0  settings "key=value;...": what parses joins back to the same text;
//   1  URL "scheme://address;key=value;...": the same, scheme and address
//      included;
//   2  "HOST:PORT" and "[HOST]:PORT": a port from 1 to 65535 in plain
//      digits, a host that the address holds;
//   3  the decimal reader, against its bounds.
#include <params.h>

#include <algorithm>

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
            HostPort hp;
            if (!splitHostPort(text, hp, error)) break;
            FUZZ_CHECK(!hp.host.empty() && text.find(hp.host) != std::string::npos);
            std::uint64_t port = 0;
            FUZZ_CHECK(parseDecimal(hp.port, 1, 65535, port) && hp.port == std::to_string(port));
            // The port is what follows the last ':' of the text.
            const std::string tail = text.substr(text.rfind(':') + 1);
            FUZZ_CHECK(parseDecimal(tail, 1, 65535, port) && std::to_string(port) == hp.port);
            break;
        }
        case 3: {
            std::uint64_t v = 0;
            const bool ok = parseDecimal(text, 10, 4000000000, v);
            const bool digits =
                !text.empty() && text.size() <= 10 &&
                std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
            if (ok) FUZZ_CHECK(digits && v >= 10 && v <= 4000000000);
            if (digits)
                FUZZ_CHECK(ok == (std::stoull(text) >= 10 && std::stoull(text) <= 4000000000));
            break;
        }
    }
    return 0;
}
