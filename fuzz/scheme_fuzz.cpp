// The scheme reader.  The first byte picks the stage:
//   0  the scheme text as a whole (prefix, Base64, zlib, XML);
//   1  the XML document, checked against the same document sent the whole
//      road (compressed, encoded, prefixed): both must agree;
//   2  the Base64 stage: what decodes must survive encoding and decoding
//      again (the text itself may differ in the unused low bits);
//   3  the zlib stage, with a small limit that must hold.
#include <qovautils/Base64.h>
#include <scheme.h>
#include <zlib.h>

#include "fuzz_check.h"

namespace {

using namespace qova::scheme;

// What every successfully read scheme must satisfy.
void checkScheme(const Scheme& s) {
    for (std::size_t i = 0; i < s.tables.size(); ++i) {
        const Table& t = s.tables[i];
        FUZZ_CHECK(s.find(t.msg_id) == &t);
        std::size_t offset = 0;
        for (const Field& f : t.fields) {
            FUZZ_CHECK(f.offset == offset);
            FUZZ_CHECK(f.kind == FieldKind::Text
                           ? f.size >= 2 && f.size <= 65536
                           : f.size == 1 || f.size == 2 || f.size == 4 || f.size == 8);
            offset += f.size;
        }
        FUZZ_CHECK(offset == t.body_size && t.body_size <= kMaxBodySize);
    }
}

std::string schemeTextOf(const std::string& xml) {
    uLongf packedSize = compressBound(static_cast<uLong>(xml.size()));
    std::string packed(packedSize, '\0');
    FUZZ_CHECK(compress(reinterpret_cast<Bytef*>(&packed[0]), &packedSize,
                        reinterpret_cast<const Bytef*>(xml.data()),
                        static_cast<uLong>(xml.size())) == Z_OK);
    packed.resize(packedSize);
    std::string text(qovautils::Base64::encode_len(packed.data(), packed.size()), '\0');
    qovautils::Base64::encode(packed.data(), packed.size(), &text[0]);
    return kPrefix + text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::uint8_t stage = in.byte() % 4;
    const std::string text = in.rest();
    std::string error;
    switch (stage) {
        case 0: {
            Scheme s;
            if (readSchemeText(text, s, error)) checkScheme(s);
            break;
        }
        case 1: {
            if (text.size() > kMaxDocumentSize) break;
            Scheme direct;
            Scheme road;
            std::string roadError;
            const bool ok = parseDocument(text, direct, error);
            FUZZ_CHECK(readSchemeText(schemeTextOf(text), road, roadError) == ok);
            if (ok) {
                checkScheme(direct);
                FUZZ_CHECK(road.tables.size() == direct.tables.size());
            } else {
                FUZZ_CHECK(roadError == error);
            }
            break;
        }
        case 2: {
            std::string bytes;
            if (decodeBase64Url(text, bytes, error)) {
                std::string again(qovautils::Base64::encode_len(bytes.data(), bytes.size()), '\0');
                qovautils::Base64::encode(bytes.data(), bytes.size(), &again[0]);
                FUZZ_CHECK(again.size() == text.size());
                std::string back;
                FUZZ_CHECK(decodeBase64Url(again, back, error) && back == bytes);
            }
            break;
        }
        case 3: {
            constexpr std::size_t kLimit = 4096;
            std::string out;
            if (inflateZlib(text, kLimit, out, error)) FUZZ_CHECK(out.size() <= kLimit);
            break;
        }
    }
    return 0;
}
