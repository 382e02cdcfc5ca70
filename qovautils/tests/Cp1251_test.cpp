// Tests of StringUtils::cp1251ToUtf8: exact UTF-8 without padding, the
// worst-case sizes that a budget of twice the input would refuse, the
// all-or-nothing result for the one byte CP1251 leaves undefined, and the
// same results as glibc's iconv for every byte and for random texts.
#include <gtest/gtest.h>
#include <iconv.h>

#include <memory>
#include <random>
#include <string>
#include <type_traits>

#include "qovautils/StringUtils.h"

namespace {

std::string convert(std::string input) {
    const std::string before = input;
    std::string out = qovautils::StringUtils::cp1251ToUtf8(&input[0], input.size());
    EXPECT_EQ(input, before) << "the input was modified";
    return out;
}

// The reference: glibc's converter, all or nothing like the contract.
std::string viaIconv(std::string input) {
    struct Closer {
        void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
    };
    const iconv_t raw = iconv_open("UTF-8", "CP1251");
    if (raw == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv_open failed");
    const std::unique_ptr<std::remove_pointer_t<iconv_t>, Closer> cd(raw);
    std::string out(input.size() * 4, '\0');
    char* in = &input[0];
    size_t inLeft = input.size();
    char* to = &out[0];
    size_t outLeft = out.size();
    if (iconv(cd.get(), &in, &inLeft, &to, &outLeft) == static_cast<size_t>(-1)) return "";
    out.resize(out.size() - outLeft);
    return out;
}

std::string repeat(const std::string& s, int times) {
    std::string r;
    for (int i = 0; i < times; ++i) r += s;
    return r;
}

TEST(Cp1251ToUtf8, ConvertsExactly) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"a", "a"},
        {"abc", "abc"},                                    // no NUL padding
        {std::string("a\0b", 3), std::string("a\0b", 3)},  // NUL is a character too
        {"\xC0", "\xD0\x90"},                              // U+0410, alone
        {std::string("\xC0") + 'a', std::string("\xD0\x90") + 'a'},
        {"\xCF\xF0\xE8\xE2\xE5\xF2", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"},  // Privet
        {"\xA8\xB8", "\xD0\x81\xD1\x91"},                                                  // Yo, yo
        {"\x88", "\xE2\x82\xAC"},                  // euro sign: three bytes
        {"\xB9", "\xE2\x84\x96"},                  // numero sign
        {"\x96\x97", "\xE2\x80\x93\xE2\x80\x94"},  // en and em dash
        {"\xFF", "\xD1\x8F"},
    };
    for (const auto& [input, expected] : cases) {
        const std::string out = convert(input);
        EXPECT_EQ(out, expected) << "input of " << input.size() << " bytes";
        EXPECT_EQ(out.size(), expected.size());
    }
}

TEST(Cp1251ToUtf8, FitsTheWorstCase) {
    // Every character taking three bytes, and a long all-Cyrillic text.
    EXPECT_EQ(convert(repeat("\x88", 1000)), repeat("\xE2\x82\xAC", 1000));
    EXPECT_EQ(convert(repeat("\xC0\xE0", 5000)), repeat("\xD0\x90\xD0\xB0", 5000));

    // Every byte that CP1251 defines, in one text.
    std::string all;
    for (int b = 1; b < 256; ++b) {
        if (b != 0x98) all += static_cast<char>(b);
    }
    std::string joined;
    for (char c : all) joined += convert(std::string(1, c));
    const std::string out = convert(all);
    EXPECT_EQ(out, joined);
    EXPECT_GT(out.size(), all.size());
}

TEST(Cp1251ToUtf8, UndefinedByteGivesNothing) {
    for (const std::string input : {"\x98", "abc\x98", "\x98xyz", "\xC0\xC1\x98\xC2"}) {
        EXPECT_EQ(convert(input), "");
    }
}

TEST(Cp1251ToUtf8, AgreesWithIconvOnEveryByte) {
    for (int b = 0; b < 256; ++b) {
        const std::string input(1, static_cast<char>(b));
        EXPECT_EQ(convert(input), viaIconv(input)) << "byte " << b;
    }
}

// Texts of every length up to 300 from ASCII only to no ASCII at all, so
// that non-ASCII bytes fall at every place of the eight-byte ASCII runs;
// one text in ten holds the undefined byte somewhere.
TEST(Cp1251ToUtf8, AgreesWithIconvOnRandomTexts) {
    std::mt19937 rng(1251);
    std::uniform_int_distribution<int> ascii(0, 0x7F);
    std::uniform_int_distribution<int> high(0x80, 0xFE);  // 0xFF stands in for 0x98
    std::uniform_int_distribution<int> percent(0, 99);
    for (int highPercent : {0, 5, 30, 70, 100}) {
        for (size_t n = 0; n <= 300; ++n) {
            std::string text(n, '\0');
            for (char& c : text) {
                const int b = percent(rng) < highPercent ? high(rng) : ascii(rng);
                c = static_cast<char>(b == 0x98 ? 0xFF : b);
            }
            if (n > 0 && percent(rng) < 10) text[rng() % n] = '\x98';
            ASSERT_EQ(convert(text), viaIconv(text)) << n << " bytes, " << highPercent << "% high";
        }
    }
}

}  // namespace
