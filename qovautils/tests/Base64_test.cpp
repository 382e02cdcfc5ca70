// Tests of qovautils::Base64: exact encodings, bad input, buffers filled to
// the returned length and no further, the decoding table's life cycle, and
// decoding on several threads once the table is built.
#include "qovautils/Base64.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../src/Base64_internal.h"

namespace {

using qovautils::Base64;
using Path = qovautils::detail::Base64Path;

constexpr char kCanary = '\x5A';
constexpr size_t kSlack = 8;

// A bit-at-a-time encoder, independent of the table-driven one.
std::string referenceEncode(const std::string& bytes) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (unsigned char c : bytes) {
        bits = (bits << 8) | c;
        count += 8;
        while (count >= 6) {
            count -= 6;
            out += alphabet[(bits >> count) & 63];
        }
    }
    if (count > 0) out += alphabet[(bits << (6 - count)) & 63];
    while (out.size() % 4 != 0) out += '=';
    return out;
}

// Encodes into a buffer with canary bytes behind the expected end and checks
// that the codec wrote exactly the returned number of characters.
std::string encode(const std::string& bytes) {
    const size_t expected = Base64::encode_len(bytes.data(), bytes.size());
    std::vector<char> buffer(expected + kSlack, kCanary);
    const size_t n = Base64::encode(bytes.data(), bytes.size(), buffer.data());
    EXPECT_EQ(n, expected);
    for (size_t i = expected; i < buffer.size(); ++i) {
        EXPECT_EQ(buffer[i], kCanary) << "encode wrote past its length at " << i;
    }
    return std::string(buffer.data(), n);
}

std::string decode(const std::string& text) {
    const size_t expected = Base64::decode_len(text.data(), text.size());
    std::vector<char> buffer(expected + kSlack, kCanary);
    const size_t n = Base64::decode(text.data(), text.size(), buffer.data());
    if (text.size() % 4 == 0) {
        EXPECT_EQ(n, expected);
    }
    for (size_t i = n; i < buffer.size(); ++i) {
        EXPECT_EQ(buffer[i], kCanary) << "decode wrote past its length at " << i;
    }
    return std::string(buffer.data(), n);
}

std::string randomBytes(std::mt19937& rng, size_t n) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(byte(rng));
    return s;
}

struct CodecCase {
    std::string bytes;
    std::string text;
};

const CodecCase kCodecCases[] = {
    {"", ""},
    {"A", "QQ=="},
    {"AB", "QUI="},
    {"ABC", "QUJD"},
    {"ABCD", "QUJDRA=="},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
    {"\xFB\xFF", "-_8="},  // the two characters that differ from standard Base64
    {"\xFB\xFF\xBF", "-_-_"},
    {std::string("\0\0\0", 3), "AAAA"},
    {"\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF",
     "_____________________w=="},
    {"The quick brown fox jumps over the lazy dog",
     "VGhlIHF1aWNrIGJyb3duIGZveCBqdW1wcyBvdmVyIHRoZSBsYXp5IGRvZw=="},
};

TEST(Base64, EncodesTheKnownTexts) {
    for (const auto& c : kCodecCases) {
        EXPECT_EQ(encode(c.bytes), c.text) << "bytes: " << c.bytes;
    }
}

TEST(Base64, DecodesTheKnownTexts) {
    for (const auto& c : kCodecCases) {
        EXPECT_EQ(decode(c.text), c.bytes) << "text: " << c.text;
    }
}

TEST(Base64, EncodeLen) {
    const std::pair<size_t, size_t> cases[] = {
        {0, 0}, {1, 4},  {2, 4},       {3, 4},
        {4, 8}, {7, 12}, {1000, 1336}, {(size_t{1} << 52) + 1, (size_t{1} << 52) / 3 * 4 + 4}};
    for (const auto& [length, expected] : cases) {
        EXPECT_EQ(Base64::encode_len(nullptr, length), expected) << "length " << length;
    }
}

TEST(Base64, DecodeLen) {
    const std::pair<const char*, size_t> cases[] = {
        {"", 0},
        {"Q", 0},
        {"QUJD", 3},
        {"QUI=", 2},
        {"QQ==", 1},
        {"QUJDQQ==", 4},
        {"ab=c", 2},  // a '=' second to last counts alone
        {"QUJDQ", 3},
        {"====", 1},
        // Never wraps below zero for short texts that end in '='.
        {"a=", 0},
        {"==", 0},
        {"ab=", 0},
        {"a==", 0},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(Base64::decode_len(text, std::strlen(text)), expected) << "text: " << text;
    }
}

TEST(Base64, RejectsLengthsThatAreNotMultiplesOfFour) {
    for (const char* text : {"QQ", "QUJDQ", "Q", "QUJ", "QUJDQUJ", "a=", "ab="}) {
        std::vector<char> buffer(16, kCanary);
        EXPECT_EQ(Base64::decode(text, std::strlen(text), buffer.data()), 0u) << text;
        EXPECT_EQ(buffer, std::vector<char>(16, kCanary)) << text << ": wrote output";
    }
}

TEST(Base64, PaddingAndForeignCharactersCountAsZeroBits) {
    const std::pair<std::string, std::string> cases[] = {
        {"QQ==QUJD", std::string("A\0\0ABC", 6)},  // inner padding is not an error
        {"QU+D", decode("QUAD")},                  // '+', '/' and bytes past the
        {"QU/D", decode("QUAD")},                  // alphabet decode like 'A'
        {std::string("QU\xFF") + 'D', decode("QUAD")},
        {std::string("QU\0D", 4), decode("QUAD")},
        {"ab=c", decode("abAc").substr(0, 2)},
    };
    for (const auto& [text, bytes] : cases) {
        EXPECT_EQ(decode(text), bytes) << "text: " << text;
    }
}

TEST(Base64, RoundTripsEveryLengthUpTo300AndSomeLongOnesOnTheScalarPathToo) {
    std::mt19937 rng(20261208);
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
    for (size_t n : {4095, 4096, 4097, 65536, 65537, 65538}) lengths.push_back(n);
    for (size_t n : lengths) {
        const std::string bytes = randomBytes(rng, n);
        const std::string text = encode(bytes);
        ASSERT_EQ(text, referenceEncode(bytes)) << "length " << n;
        ASSERT_EQ(decode(text), bytes) << "length " << n;

        // The scalar path, the reference of the SIMD ones, whichever path
        // the processor gives the public interface.
        std::string scalar(text.size(), '\0');
        qovautils::detail::base64_encode(Path::kScalar, bytes.data(), n, &scalar[0]);
        ASSERT_EQ(scalar, text) << "length " << n;
        std::string back(n, '\0');
        qovautils::detail::base64_decode(Path::kScalar, text.data(), text.size(), &back[0]);
        ASSERT_EQ(back, bytes) << "length " << n;
    }
}

TEST(Base64, DecodingTableLifeCycle) {
    Base64::base64_cleanup();
    EXPECT_EQ(Base64::decoding_table, nullptr);
    EXPECT_EQ(decode("QUJD"), "ABC");  // builds the table on first use
    ASSERT_NE(Base64::decoding_table, nullptr);
    for (int c = 0; c < 256; ++c) {
        const auto* at = static_cast<const char*>(std::memchr(Base64::encoding_table, c, 64));
        EXPECT_EQ(Base64::decoding_table[c], at != nullptr ? at - Base64::encoding_table : 0)
            << "byte " << c;
    }

    Base64::base64_cleanup();
    EXPECT_EQ(Base64::decoding_table, nullptr);
    Base64::base64_cleanup();  // a second release does nothing
    EXPECT_EQ(Base64::decoding_table, nullptr);
    EXPECT_EQ(decode("QUI="), "AB");  // rebuilt
    EXPECT_NE(Base64::decoding_table, nullptr);

    Base64::build_decoding_table();  // replaces (and releases) the installed table
    Base64::build_decoding_table();
    EXPECT_EQ(Base64::decoding_table['_'], 63);
    Base64::base64_cleanup();
}

TEST(Base64, DecodeWritesNothingWhenTheTableCannotBeAllocated) {
    Base64::base64_cleanup();
    const auto realAlloc = qovautils::detail::base64_table_alloc;
    qovautils::detail::base64_table_alloc = [](size_t) -> void* { return nullptr; };
    std::vector<char> buffer(8, kCanary);
    const size_t n = Base64::decode("QUJD", 4, buffer.data());
    qovautils::detail::base64_table_alloc = realAlloc;

    EXPECT_EQ(n, 0u);
    EXPECT_EQ(buffer, std::vector<char>(8, kCanary));
    EXPECT_EQ(Base64::decoding_table, nullptr);
    EXPECT_EQ(decode("QUJD"), "ABC");  // works again once memory is there
    Base64::base64_cleanup();
}

TEST(Base64, EncodesAndDecodesOnManyThreadsOnceTheTableIsBuilt) {
    Base64::build_decoding_table();
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (size_t t = 0; t < failures.size(); ++t) {
        threads.emplace_back([t, &failures] {
            std::mt19937 rng(static_cast<unsigned>(t));
            for (int i = 0; i < 300; ++i) {
                const std::string bytes = randomBytes(rng, static_cast<size_t>(i) * 7);
                std::string text(Base64::encode_len(bytes.data(), bytes.size()), '\0');
                Base64::encode(bytes.data(), bytes.size(), &text[0]);
                std::string back(Base64::decode_len(text.data(), text.size()), '\0');
                const size_t n = Base64::decode(text.data(), text.size(), &back[0]);
                if (n != bytes.size() || back != bytes || text != referenceEncode(bytes)) {
                    ++failures[t];
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    Base64::base64_cleanup();
    EXPECT_EQ(failures, std::vector<int>(failures.size(), 0));
}

}  // namespace
