// Tests of StringUtils::cp1251ToUtf8: exact UTF-8 without padding, the
// worst-case sizes that a budget of twice the input would refuse, and the
// all-or-nothing result for the one byte CP1251 leaves undefined.
#include <gtest/gtest.h>

#include <string>

#include "qovautils/StringUtils.h"

namespace {

std::string convert(std::string input) {
    const std::string before = input;
    std::string out = qovautils::StringUtils::cp1251ToUtf8(&input[0], input.size());
    EXPECT_EQ(input, before) << "the input was modified";
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

}  // namespace
