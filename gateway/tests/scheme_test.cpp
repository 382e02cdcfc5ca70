// The scheme text the tool hands to the gateway must decode back to the
// scheme document byte for byte: strip the prefix, URL-safe Base64, inflate.
#include <gtest/gtest.h>
#include <password_scheme.h>
#include <qovautils/Base64.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::string inflateAll(const std::vector<char>& compressed) {
    std::string out(4096, '\0');
    uLongf outLen = out.size();
    int rc = uncompress(reinterpret_cast<Bytef*>(&out[0]), &outLen,
                        reinterpret_cast<const Bytef*>(compressed.data()), compressed.size());
    EXPECT_EQ(rc, Z_OK);
    out.resize(rc == Z_OK ? outLen : 0);
    return out;
}

TEST(PasswordScheme, TextDecodesToTheDocument) {
    const std::string text = pwdscheme::kSchemeText;
    ASSERT_EQ(text.size(), 373u);
    ASSERT_EQ(text.rfind(pwdscheme::kSchemePrefix, 0), 0u);
    EXPECT_EQ(text.find(';'), std::string::npos) << "must stand last in a ';'-separated URL";

    const std::string encoded = text.substr(std::strlen(pwdscheme::kSchemePrefix));
    std::vector<char> compressed(qovautils::Base64::decode_len(encoded.data(), encoded.size()));
    ASSERT_EQ(qovautils::Base64::decode(encoded.data(), encoded.size(), compressed.data()),
              compressed.size());
    ASSERT_GE(compressed.size(), 2u);
    EXPECT_EQ(static_cast<unsigned char>(compressed[0]), 0x78);
    EXPECT_EQ(static_cast<unsigned char>(compressed[1]), 0xDA);  // level 9

    const std::string document = inflateAll(compressed);
    EXPECT_EQ(document, std::string(pwdscheme::kDocument));
    EXPECT_EQ(document.size(), 666u);
}

TEST(PasswordScheme, TextIsTheLevelNineCompressionOfTheDocument) {
    // Recompute the text from the document: the constant must be exactly
    // what the documented recipe produces, not merely something that inflates.
    const std::string doc = pwdscheme::kDocument;
    uLongf len = compressBound(doc.size());
    std::vector<char> z(len);
    ASSERT_EQ(compress2(reinterpret_cast<Bytef*>(z.data()), &len,
                        reinterpret_cast<const Bytef*>(doc.data()), doc.size(), 9),
              Z_OK);
    std::string b64(qovautils::Base64::encode_len(z.data(), len), '\0');
    qovautils::Base64::encode(z.data(), len, &b64[0]);
    EXPECT_EQ(pwdscheme::kSchemePrefix + b64, std::string(pwdscheme::kSchemeText));
}

}  // namespace
