// The dump renderer.  The input describes a table (how many fields, of which
// types, a request or not), which goes through the scheme's XML reader, and
// then a body of arbitrary bytes to render with it.  The line must hold no
// control byte, and a request must show nothing but its name.  The rest of
// the body also goes through copyTerminated into a buffer of a fuzzed size.
#include <dump.h>

#include <cstring>
#include <vector>

#include "fuzz_check.h"

namespace {

using namespace qova;

std::string fieldType(fuzz::Input& in) {
    switch (in.byte() % 5) {
        case 0:
            return "c" + std::to_string(1 + in.byte());
        case 1:
            return "i1";
        case 2:
            return "i2";
        case 3:
            return "i4";
        default:
            return "i8";
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const int fields = in.byte() % 8;
    const bool request = in.byte() % 2 == 1;
    std::string xml = "<scheme><table name='T' msgid='1'>";
    for (int i = 0; i < fields; ++i)
        xml += "<field name='f" + std::to_string(i) + "' type='" + fieldType(in) + "'/>";
    if (request) xml += "<extra name='request' value='1'/>";
    xml += "</table></scheme>";
    scheme::Scheme s;
    std::string error;
    FUZZ_CHECK(scheme::parseDocument(xml, s, error) && s.tables.size() == 1);
    const scheme::Table& table = s.tables[0];

    const std::size_t bufferSize = in.byte();
    const std::string body = in.rest();
    std::string line;
    const bool ok = dump::renderBody(table, body.data(), body.size(), line);
    FUZZ_CHECK(ok == (request || body.size() >= table.body_size));
    FUZZ_CHECK(line.compare(0, 1, "T") == 0);
    if (request) FUZZ_CHECK(line == "T");
    for (unsigned char c : line) FUZZ_CHECK(c >= 0x20 && c != 0x7F);

    std::vector<char> buffer(bufferSize + 1, 'x');
    std::size_t n = bufferSize;
    const bool whole = dump::copyTerminated(body, buffer.data(), &n);
    if (bufferSize == 0) {
        FUZZ_CHECK(whole == body.empty() && buffer[0] == 'x');
    } else {
        FUZZ_CHECK(n < bufferSize && buffer[n] == '\0' && buffer[bufferSize] == 'x');
        FUZZ_CHECK(std::memcmp(buffer.data(), body.data(), n) == 0);
        FUZZ_CHECK(whole == (n == body.size()));
    }
    return 0;
}
