#include <gtest/gtest.h>
#include <password_scheme.h>
#include <qovautils/Base64.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "dump.h"
#include "scheme.h"

namespace qova::scheme {
namespace {

std::string compress(const std::string& data) {
    uLongf size = compressBound(data.size());
    std::string out(size, '\0');
    EXPECT_EQ(compress2(reinterpret_cast<Bytef*>(&out[0]), &size,
                        reinterpret_cast<const Bytef*>(data.data()), data.size(), 9),
              Z_OK);
    out.resize(size);
    return out;
}

std::string base64(const std::string& data) {
    std::string out(qovautils::Base64::encode_len(data.data(), data.size()), '\0');
    qovautils::Base64::encode(data.data(), data.size(), &out[0]);
    return out;
}

std::string schemeText(const std::string& xml) { return kPrefix + base64(compress(xml)); }

std::string wrap(const std::string& tables) { return "<scheme>" + tables + "</scheme>"; }

TEST(SchemeReader, ReadsThePasswordScheme) {
    Scheme s;
    std::string error;
    ASSERT_TRUE(readSchemeText(pwdscheme::kSchemeText, s, error)) << error;
    ASSERT_EQ(s.tables.size(), 4u);
    const Table* req = s.find(pwdscheme::kChangePasswordId);
    ASSERT_NE(req, nullptr);
    EXPECT_TRUE(req->isRequest());
    EXPECT_EQ(req->body_size, pwdscheme::kChangePasswordSize);
    EXPECT_EQ(req->fields[1].offset, pwdscheme::kNewPasswordOffset);
    struct Want {
        std::uint32_t id;
        std::size_t size;
    };
    for (const Want w :
         {Want{169, pwdscheme::kChangePasswordReplySize}, Want{99, pwdscheme::kFloodReplySize},
          Want{100, pwdscheme::kFailureReplySize}}) {
        const Table* t = s.find(w.id);
        ASSERT_NE(t, nullptr) << w.id;
        EXPECT_EQ(t->body_size, w.size) << w.id;
        EXPECT_FALSE(t->isRequest()) << w.id;
    }
    EXPECT_EQ(s.find(1), nullptr);
}

TEST(SchemeReader, Base64IsStrict) {
    std::string out, error;
    ASSERT_TRUE(decodeBase64Url("-_8=", out, error)) << error;
    EXPECT_EQ(out, "\xFB\xFF");
    ASSERT_TRUE(decodeBase64Url("QQ==", out, error));
    EXPECT_EQ(out, "A");
    for (const std::string& bad : std::vector<std::string>{
             "", "QQ", "QQ=", "+/8=", "QQ==QUJD", "Q=Q=", "QU I", "=QQQ", std::string("QU\0J", 4)})
        EXPECT_FALSE(decodeBase64Url(bad, out, error)) << bad;
}

TEST(SchemeReader, InflateIsBoundedAndComplete) {
    const std::string doc(5000, 'x');
    const std::string z = compress(doc);
    std::string out, error;
    ASSERT_TRUE(inflateZlib(z, doc.size(), out, error)) << error;
    EXPECT_EQ(out, doc);
    EXPECT_FALSE(inflateZlib(z, doc.size() - 1, out, error));  // would exceed the bound
    EXPECT_FALSE(inflateZlib(z.substr(0, z.size() - 3), 1 << 20, out, error));  // truncated
    EXPECT_FALSE(inflateZlib(z + "junk", 1 << 20, out, error));                 // trailing bytes
    EXPECT_FALSE(inflateZlib("not zlib at all", 1 << 20, out, error));
    std::string flipped = z;
    flipped[flipped.size() / 2] ^= 0x55;
    EXPECT_FALSE(inflateZlib(flipped, 1 << 20, out, error));
}

TEST(SchemeReader, ABombStopsAtTheBound) {
    // 64 MiB of zeros compress to about 64 KiB; reading must stop at 1 MiB.
    Scheme s;
    std::string error;
    EXPECT_FALSE(readSchemeText(schemeText(std::string(64u << 20, '\0')), s, error));
    EXPECT_NE(error.find("exceeds"), std::string::npos) << error;
}

TEST(SchemeReader, RejectsBadDocuments) {
    const std::vector<std::string> bad = {
        "<scheme><table name='A' msgid='1'>",                                   // not XML
        "<schema/>",                                                            // wrong root
        "<scheme version='2'/>",                                                // root attribute
        wrap("<table name='A'/>"),                                              // no msgid
        wrap("<table name='A' msgid='x'/>"),                                    // bad msgid
        wrap("<table name='A' msgid='4294967296'/>"),                           // msgid too big
        wrap("<table name='A' msgid='1'/><table name='B' msgid='1'/>"),         // duplicate id
        wrap("<table name='A' msgid='1' kind='x'/>"),                           // unknown attribute
        wrap("<table name='A' msgid='1'><field name='f' type='f8'/></table>"),  // unknown type
        wrap("<table name='A' msgid='1'><field name='f' type='c0'/></table>"),  // empty text
        wrap("<table name='A' msgid='1'><field name='f' type='c065'/></table>"),  // leading zero
        wrap("<table name='A' msgid='1'><field name='f' type='i3'/></table>"),    // odd integer
        wrap("<table name='A' msgid='1'><field name='f'/></table>"),              // no type
        wrap("<table name='A' msgid='1'><field name='f' type='i4'/>"
             "<field name='f' type='i4'/></table>"),         // duplicate field
        wrap("<table name='A' msgid='1'><thing/></table>"),  // unknown element
        wrap("<table name='A' msgid='1'>text</table>"),      // text in a table
        wrap("<other/>"),                                    // not a table
        wrap("<table name='A' msgid='1'><field name='a' type='c65535'/>"
             "<field name='b' type='c65535'/></table>"),  // too large
    };
    for (const std::string& xml : bad) {
        Scheme s;
        std::string error;
        EXPECT_FALSE(parseDocument(xml, s, error)) << xml;
        EXPECT_FALSE(readSchemeText(schemeText(xml), s, error)) << xml;
    }
}

TEST(SchemeReader, RejectsBadPrefix) {
    Scheme s;
    std::string error;
    const std::string text = pwdscheme::kSchemeText;
    EXPECT_FALSE(readSchemeText(text.substr(9), s, error));
    EXPECT_FALSE(readSchemeText("|STRING|Y" + text.substr(9), s, error));
    EXPECT_FALSE(readSchemeText("", s, error));
}

// Every single-character change of the scheme text is either refused or
// read into a scheme whose tables stay within bounds; under the sanitizers
// this also shows that no change makes the reader touch memory it must not.
TEST(SchemeReader, SurvivesEveryOneCharacterChange) {
    const std::string text = pwdscheme::kSchemeText;
    int refused = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        for (const char c : {'A', '_', '=', '*', '\0'}) {
            std::string changed = text;
            if (changed[i] == c) continue;
            changed[i] = c;
            Scheme s;
            std::string error;
            if (!readSchemeText(changed, s, error)) {
                EXPECT_FALSE(error.empty());
                ++refused;
                continue;
            }
            for (const Table& t : s.tables) EXPECT_LE(t.body_size, kMaxBodySize);
        }
    }
    EXPECT_GT(refused, 0);
}

TEST(SchemeReader, FitsChecksSizeAndTerminators) {
    Scheme s;
    std::string error;
    ASSERT_TRUE(readSchemeText(pwdscheme::kSchemeText, s, error));
    const Table& reply = *s.find(169);
    std::string body(260, '\0');
    EXPECT_TRUE(reply.fits(body));
    EXPECT_FALSE(reply.fits(body.substr(1)));
    EXPECT_FALSE(reply.fits(body + '\0'));
    std::string unterminated(4, '\0');
    unterminated += std::string(256, 'x');
    EXPECT_FALSE(reply.fits(unterminated));
}

class Dump : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(readSchemeText(pwdscheme::kSchemeText, scheme_, error)) << error;
    }
    std::string render(std::uint32_t id, const std::string& body) {
        std::string out;
        EXPECT_TRUE(dump::renderBody(*scheme_.find(id), body.data(), body.size(), out));
        return out;
    }
    static std::string i4(std::int32_t v) { return std::string(reinterpret_cast<char*>(&v), 4); }
    static std::string text(const std::string& s, std::size_t size) {
        return s + std::string(size - s.size(), '\0');
    }
    Scheme scheme_;
};

TEST_F(Dump, RendersEachReply) {
    EXPECT_EQ(render(100, i4(7) + text("store failed", 256)),
              "KOLMA_MSG100 code=7 message=store failed");
    EXPECT_EQ(render(99, i4(11) + i4(1000) + text("Too many requests", 129)),
              "KOLMA_MSG99 queue_size=11 penalty_remain=1000 message=Too many requests");
    EXPECT_EQ(render(169, i4(-1) + text("50% off\n", 256)),
              "ChangePasswordReply Code=-1 Message=50% off\\x0A");
}

TEST_F(Dump, NeverRendersRequestFields) {
    const std::string body = text("old-secret", 66) + text("new-secret", 66);
    EXPECT_EQ(render(421, body), "ChangePassword");
}

TEST_F(Dump, RefusesShortBodiesAndStopsTextsAtTheField) {
    std::string out;
    const std::string shortBody = i4(1);
    EXPECT_FALSE(dump::renderBody(*scheme_.find(100), shortBody.data(), shortBody.size(), out));
    EXPECT_FALSE(dump::renderBody(*scheme_.find(100), nullptr, 260, out));
    // A text without NUL ends at its field's end, not at the next field.
    EXPECT_EQ(render(99, i4(1) + i4(2) + std::string(129, 'm')),
              "KOLMA_MSG99 queue_size=1 penalty_remain=2 message=" + std::string(129, 'm'));
}

}  // namespace
}  // namespace qova::scheme
