#include "base/parse.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

using base::DecimalStatus;

template <typename T>
struct DecimalCase {
    const char* text;
    DecimalStatus status;
    T value;  // when Ok
};

template <typename T>
void check(const DecimalCase<T>& c, T min, T max) {
    constexpr T kUntouched = 42;
    T out = kUntouched;
    EXPECT_EQ(base::parseDecimal<T>(c.text, min, max, out), c.status) << '"' << c.text << '"';
    EXPECT_EQ(out, c.status == DecimalStatus::Ok ? c.value : kUntouched) << '"' << c.text << '"';
}

TEST(ParseDecimal, UnsignedTakesDigitsOnlyWithinRange) {
    const DecimalCase<std::uint16_t> cases[] = {
        {"1", DecimalStatus::Ok, 1},
        {"007", DecimalStatus::Ok, 7},
        {"65535", DecimalStatus::Ok, 65535},
        {"", DecimalStatus::NotANumber, 0},
        {"x", DecimalStatus::NotANumber, 0},
        {"12x", DecimalStatus::NotANumber, 0},
        {" 1", DecimalStatus::NotANumber, 0},
        {"1 ", DecimalStatus::NotANumber, 0},
        {"-1", DecimalStatus::NotANumber, 0},
        {"-0", DecimalStatus::NotANumber, 0},
        {"+1", DecimalStatus::NotANumber, 0},
        {"0x10", DecimalStatus::NotANumber, 0},
        {"1e3", DecimalStatus::NotANumber, 0},
        {"0", DecimalStatus::OutOfRange, 0},  // below min
        {"65536", DecimalStatus::OutOfRange, 0},
        {"99999999999999999999999", DecimalStatus::OutOfRange, 0},
    };
    for (const auto& c : cases) check<std::uint16_t>(c, 1, 65535);

    constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
    check<std::uint64_t>({"18446744073709551615", DecimalStatus::Ok, kMax}, 0, kMax);
    check<std::uint64_t>({"18446744073709551616", DecimalStatus::OutOfRange, 0}, 0, kMax);
    check<std::uint64_t>({"11", DecimalStatus::OutOfRange, 0}, 0, 10);  // above max
}

TEST(ParseDecimal, SignedTakesALeadingMinusOnly) {
    constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
    constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
    const DecimalCase<std::int32_t> cases[] = {
        {"-1", DecimalStatus::Ok, -1},
        {"-0", DecimalStatus::Ok, 0},
        {"2147483647", DecimalStatus::Ok, kMax},
        {"-2147483648", DecimalStatus::Ok, kMin},
        {"2147483648", DecimalStatus::OutOfRange, 0},
        {"-2147483649", DecimalStatus::OutOfRange, 0},
        {"+1", DecimalStatus::NotANumber, 0},
        {"-", DecimalStatus::NotANumber, 0},
        {"--1", DecimalStatus::NotANumber, 0},
        {"- 1", DecimalStatus::NotANumber, 0},
        {" -1", DecimalStatus::NotANumber, 0},
    };
    for (const auto& c : cases) check<std::int32_t>(c, kMin, kMax);
}

TEST(ParseHostPort, SplitsHostAndPort) {
    struct Case {
        const char* text;
        std::uint16_t minPort;
        const char* host;
        std::uint16_t port;
    };
    const Case cases[] = {
        {"127.0.0.1:4001", 1, "127.0.0.1", 4001},
        {"localhost:1", 1, "localhost", 1},
        {"[::1]:65535", 1, "::1", 65535},
        {"::1:4001", 1, "::1", 4001},
        {"h:007", 1, "h", 7},
        {"h:0", 0, "h", 0},
    };
    for (const Case& c : cases) {
        base::HostPort hp;
        std::string error;
        ASSERT_TRUE(base::parseHostPort(c.text, c.minPort, hp, error)) << c.text << ": " << error;
        EXPECT_EQ(hp.host, c.host);
        EXPECT_EQ(hp.port, c.port);
    }
}

TEST(ParseHostPort, RefusesWithAReason) {
    struct Case {
        const char* text;
        const char* reason;
    };
    const Case cases[] = {
        {"", "empty address"},
        {"127.0.0.1", "has no port"},
        {":4001", "has no host"},
        {"[]:4001", "has no host"},
        {"[::1]", "is not [HOST]:PORT"},
        {"[::1]4001", "is not [HOST]:PORT"},
        {"[::1:4001", "is not [HOST]:PORT"},
        {"h:", "not a decimal number"},
        {"h:-1", "not a decimal number"},
        {"h:+1", "not a decimal number"},
        {"h: 1", "not a decimal number"},
        {"h:1x", "not a decimal number"},
        {"h:0", "out of range (1 to 65535)"},
        {"h:65536", "out of range"},
        {"h:99999999999", "out of range"},
    };
    for (const Case& c : cases) {
        base::HostPort hp{"untouched", 7};
        std::string error;
        EXPECT_FALSE(base::parseHostPort(c.text, 1, hp, error)) << c.text;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.text << ": " << error;
        EXPECT_EQ(hp.host, "untouched");
    }
}

}  // namespace
