// Tests of qovautils::StringUtils formatting, parameter lists, number
// conversion and the OS version string, and of qovautils::str_to_ul.
#include "qovautils/StringUtils.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <climits>
#include <cstring>
#include <string>

namespace {

using qovautils::StringUtils;

std::string callVformat(const char* pattern, ...) {
    va_list args;
    va_start(args, pattern);
    std::string s = StringUtils::vformat(pattern, args);
    va_end(args);
    return s;
}

TEST(StringUtilsFormat, FormatsLikePrintf) {
    EXPECT_EQ(StringUtils::format("%d-%s", 5, "x"), "5-x");
    EXPECT_EQ(StringUtils::format("%s", ""), "");
    EXPECT_EQ(StringUtils::format("%05.1f|%x|%%", 3.14159, 255u), "003.1|ff|%");
    EXPECT_EQ(callVformat("%s=%ld", "n", 12L), "n=12");
    // A NUL that the format itself produces ends the text.
    EXPECT_EQ(StringUtils::format("ab%cde", 0), "ab");
}

TEST(StringUtilsFormat, CutsOutputAt16383Characters) {
    std::string text;
    for (int i = 0; text.size() < 20000; ++i) text += std::to_string(i) + ',';
    text.resize(20000);
    const std::pair<size_t, size_t> cases[] = {
        {16382, 16382}, {16383, 16383}, {16384, 16383}, {20000, 16383}};
    for (const auto& [length, expected] : cases) {
        const std::string input = text.substr(0, length);
        EXPECT_EQ(StringUtils::format("%s", input.c_str()), text.substr(0, expected))
            << "input length " << length;
        EXPECT_EQ(callVformat("%s", input.c_str()), text.substr(0, expected));
    }
}

TEST(StringUtilsFormat, Int2Str) {
    const std::pair<int, const char*> cases[] = {
        {0, "0"}, {-1, "-1"}, {42, "42"}, {INT_MIN, "-2147483648"}, {INT_MAX, "2147483647"}};
    for (const auto& [number, text] : cases) EXPECT_EQ(StringUtils::int2str(number), text);
}

TEST(StringUtilsAppendParamStr, JoinsItemsWithSemicolons) {
    struct Case {
        const char* list;
        const char* item;
        const char* expected;
    };
    const Case cases[] = {{nullptr, "a", "a"},
                          {"a", "b", "a;b"},
                          {"", "b", ";b"},
                          {"a", "", "a;"},
                          {nullptr, "", ""}};
    for (const auto& c : cases) {
        char* list = nullptr;
        if (c.list != nullptr) {
            list = new char[std::strlen(c.list) + 1];
            std::strcpy(list, c.list);
        }
        // The old array is released by the call; ASan reports a leak or a
        // double release if it is not, or twice.
        char* joined = StringUtils::appendParamStr(list, c.item);
        ASSERT_NE(joined, nullptr);
        EXPECT_STREQ(joined, c.expected);
        delete[] joined;
    }
}

TEST(StringUtilsAppendParamStr, BuildsAListOneItemAtATime) {
    char* list = nullptr;
    for (const char* item : {"first", "second", "third"}) {
        list = StringUtils::appendParamStr(list, item);
    }
    EXPECT_STREQ(list, "first;second;third");
    delete[] list;
}

TEST(StringUtilsAppendParamStr, NullItemGivesNullAndLeavesTheList) {
    char* list = StringUtils::appendParamStr(nullptr, "keep");
    EXPECT_EQ(StringUtils::appendParamStr(list, nullptr), nullptr);
    EXPECT_STREQ(list, "keep");  // still owned by us, still intact
    delete[] list;
    EXPECT_EQ(StringUtils::appendParamStr(nullptr, nullptr), nullptr);
}

struct ParseCase {
    const char* digits;
    int radix;
    int status;
    unsigned int number;  // meaningful when status is 0
};

constexpr unsigned int kUntouched = 0xDEADBEEF;

void checkParse(int (*parse)(unsigned int&, const char*, int), const char* name,
                const ParseCase& c) {
    unsigned int number = kUntouched;
    EXPECT_EQ(parse(number, c.digits, c.radix), c.status)
        << name << "(\"" << c.digits << "\", " << c.radix << ")";
    EXPECT_EQ(number, c.status == 0 ? c.number : kUntouched)
        << name << "(\"" << c.digits << "\", " << c.radix << ")";
}

// Texts on which both parsers agree.
const ParseCase kCommonCases[] = {
    {"0", 10, 0, 0},
    {"12", 10, 0, 12},
    {" 12", 10, 0, 12},  // leading blanks are skipped
    {"+7", 10, 0, 7},
    {"-0", 10, 0, 0},
    {"4294967295", 10, 0, 4294967295u},
    {"4294967296", 10, 1, 0},
    {"99999999999999999999999", 10, 1, 0},  // overflow of the converter
    {"99999999999x", 10, 1, 0},             // range is tested before syntax
    {"-1", 10, 1, 0},
    {"-4294967295", 10, 1, 0},
    {"", 10, 2, 0},
    {"x", 10, 2, 0},
    {"  ", 10, 2, 0},
    {"12abc", 10, 2, 0},
    {"12 ", 10, 2, 0},
    {"0x10", 16, 0, 16},
    {"0x10", 0, 0, 16},
    {"0x10", 10, 2, 0},
    {"010", 0, 0, 8},
    {"ff", 16, 0, 255},
    {"z", 36, 0, 35},
    {"101", 2, 0, 5},
    {"12", 2, 2, 0},
    {"12", 1, 2, 0},  // a radix the converter refuses
    {"12", 37, 2, 0},
    {"", 1, 2, 0},
};

TEST(StringUtilsParse, Str2Int) {
    for (const auto& c : kCommonCases) checkParse(&StringUtils::str2int, "str2int", c);
    // The one kind of text where the parsers differ: a '-' with a magnitude
    // in 2^64 - 2^32 + 1 .. 2^64 - 1.
    checkParse(&StringUtils::str2int, "str2int", {"-18446744073709551615", 10, 1, 0});
    checkParse(&StringUtils::str2int, "str2int", {"-18446744069414584321", 10, 1, 0});
}

TEST(StringUtilsParse, Str2Uint32) {
    for (const auto& c : kCommonCases) checkParse(&StringUtils::str2uint32, "str2uint32", c);
    const ParseCase unsignedCases[] = {
        {"-18446744073709551615", 10, 0, 1}, {"-18446744069414584321", 10, 0, 4294967295u},
        {"-18446744069414584320", 10, 1, 0}, {"18446744073709551615", 10, 1, 0},
        {"18446744073709551616", 10, 1, 0},
    };
    for (const auto& c : unsignedCases) checkParse(&StringUtils::str2uint32, "str2uint32", c);
}

TEST(StringUtilsParse, NullTextIsNotANumber) {
    unsigned int number = kUntouched;
    EXPECT_EQ(StringUtils::str2int(number, nullptr, 10), 2);
    EXPECT_EQ(StringUtils::str2uint32(number, nullptr, 10), 2);
    EXPECT_EQ(number, kUntouched);
}

TEST(StrToUl, FollowsThePrefixes) {
    const std::pair<const char*, unsigned long> cases[] = {
        {"0b101", 5}, {"0B11", 3},
        {"0b102", 2},  // stops at '2'
        {"0b", 0},    {"0b1", 1},
        {"0x1F", 31}, {"017", 15},
        {"42", 42},   {"abc", 0},
        {"", 0},      {"12abc", 12},
        {" 9", 9},    {"99999999999999999999999", ULONG_MAX},
    };
    for (const auto& [digits, expected] : cases) {
        EXPECT_EQ(qovautils::str_to_ul(digits), expected) << "\"" << digits << "\"";
    }
}

TEST(StringUtilsOsVersion, IsTheFourUnameFieldsJoinedByBlanks) {
    struct utsname info;
    ASSERT_EQ(uname(&info), 0);
    const std::string expected =
        std::string(info.sysname) + ' ' + info.release + ' ' + info.version + ' ' + info.machine;
    const std::string version = StringUtils::getOsVersion();
    EXPECT_EQ(version, expected);
    EXPECT_EQ(version.rfind("Linux ", 0), 0u);
    EXPECT_EQ(version.substr(version.size() - std::strlen(info.machine)), info.machine);
}

}  // namespace
