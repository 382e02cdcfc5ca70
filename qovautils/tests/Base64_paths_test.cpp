// Tests of the SIMD paths of qovautils::Base64 against the scalar path:
// the same bytes and lengths for every input length up to 4 KiB and for
// every byte value at every position of a block, no byte read past the
// input (it ends at an inaccessible page) and none written past the output
// (canary bytes).  Paths this processor lacks are skipped.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "../src/Base64_internal.h"
#include "qovautils/Base64.h"

namespace {

using qovautils::Base64;
using qovautils::detail::Base64Path;

constexpr size_t kMaxLength = 4096;
constexpr char kCanary = '\x5A';
constexpr size_t kSlack = 64;

// Memory whose last usable byte lies just before a page that may not be
// touched: data placed at the end makes any read past it fault.
class GuardedInput {
  public:
    explicit GuardedInput(size_t capacity) {
        const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
        usable_ = (capacity + page - 1) / page * page;
        size_ = usable_ + page;
        void* p =
            ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::runtime_error("mmap failed");
        base_ = static_cast<char*>(p);
        if (::mprotect(base_ + usable_, page, PROT_NONE) != 0) {
            ::munmap(base_, size_);
            throw std::runtime_error("mprotect failed");
        }
    }
    ~GuardedInput() { ::munmap(base_, size_); }
    GuardedInput(const GuardedInput&) = delete;
    GuardedInput& operator=(const GuardedInput&) = delete;

    // Copies `data` to end at the guard page and returns where it starts.
    const char* place(const std::string& data) {
        char* at = base_ + usable_ - data.size();
        std::memcpy(at, data.data(), data.size());
        return at;
    }

  private:
    char* base_ = nullptr;
    size_t usable_ = 0;
    size_t size_ = 0;
};

using Codec = size_t (*)(Base64Path, const char*, size_t, char*);

// Runs `codec` through `path` on `input`, which ends at a guard page, into a
// buffer of `room` bytes followed by canaries; checks the returned length
// and the canaries and returns the output.
std::string run(Codec codec, Base64Path path, GuardedInput& guarded, const std::string& input,
                size_t room) {
    std::vector<char> out(room + kSlack, kCanary);
    const size_t n = codec(path, guarded.place(input), input.size(), out.data());
    EXPECT_LE(n, room);
    for (size_t i = n; i < out.size(); ++i) {
        if (out[i] != kCanary) {
            ADD_FAILURE() << "wrote past the output at " << i << " of " << n;
            break;
        }
    }
    return std::string(out.data(), n);
}

std::string encodeWith(Base64Path path, GuardedInput& guarded, const std::string& bytes) {
    const size_t room = Base64::encode_len(bytes.data(), bytes.size());
    const std::string text = run(qovautils::detail::base64_encode, path, guarded, bytes, room);
    EXPECT_EQ(text.size(), room);
    return text;
}

std::string decodeWith(Base64Path path, GuardedInput& guarded, const std::string& text) {
    const size_t room = Base64::decode_len(text.data(), text.size());
    return run(qovautils::detail::base64_decode, path, guarded, text, room);
}

std::string randomText(std::mt19937& rng, size_t n, int foreignPercent) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> percent(0, 99);
    std::string s(n, '\0');
    for (char& c : s) {
        c = percent(rng) < foreignPercent ? static_cast<char>(byte(rng))
                                          : Base64::encoding_table[byte(rng) & 63];
    }
    return s;
}

class Base64Simd : public testing::TestWithParam<Base64Path> {
  protected:
    void SetUp() override {
        if (!qovautils::detail::base64_path_supported(GetParam())) {
            GTEST_SKIP() << "this processor cannot run the "
                         << qovautils::detail::base64_path_name(GetParam()) << " path";
        }
    }
    const Base64Path path_ = GetParam();
    GuardedInput guarded_{2 * kMaxLength};
};

TEST_P(Base64Simd, EncodesAndDecodesLikeScalarAtEveryLength) {
    std::mt19937 rng(4096);
    std::uniform_int_distribution<int> byte(0, 255);
    for (size_t n = 0; n <= kMaxLength; ++n) {
        std::string bytes(n, '\0');
        for (char& c : bytes) c = static_cast<char>(byte(rng));
        const std::string text = encodeWith(path_, guarded_, bytes);
        ASSERT_EQ(text, encodeWith(Base64Path::kScalar, guarded_, bytes)) << "length " << n;
        ASSERT_EQ(decodeWith(path_, guarded_, text), bytes) << "length " << n;
    }
}

// Text with '=' and bytes outside the alphabet anywhere, of every length
// (most of them not a multiple of 4).
TEST_P(Base64Simd, DecodesAnyTextLikeScalarAtEveryLength) {
    std::mt19937 rng(1024);
    for (int foreign : {0, 3, 50}) {
        for (size_t n = 0; n <= kMaxLength; ++n) {
            const std::string text = randomText(rng, n, foreign);
            ASSERT_EQ(decodeWith(path_, guarded_, text),
                      decodeWith(Base64Path::kScalar, guarded_, text))
                << "length " << n << ", " << foreign << "% foreign bytes";
        }
    }
}

TEST_P(Base64Simd, EveryByteAtEveryPositionOfABlock) {
    // More than the widest step of each SIMD loop (two 48-byte steps of the
    // encoder, one 256-character step of the decoder) and a tail.
    std::mt19937 rng(256);
    const struct {
        std::string (*op)(Base64Path, GuardedInput&, const std::string&);
        std::string input;
    } cases[] = {{encodeWith, randomText(rng, 2 * 48 + 5, 100)},
                 {decodeWith, randomText(rng, 256 + 8, 0)}};
    for (auto c : cases) {
        for (size_t at = 0; at < c.input.size(); ++at) {
            const char keep = c.input[at];
            for (int b = 0; b < 256; ++b) {
                c.input[at] = static_cast<char>(b);
                ASSERT_EQ(c.op(path_, guarded_, c.input),
                          c.op(Base64Path::kScalar, guarded_, c.input))
                    << (c.op == encodeWith ? "encoding" : "decoding") << " byte " << b << " at "
                    << at;
            }
            c.input[at] = keep;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Simd, Base64Simd,
                         testing::Values(Base64Path::kAvx2, Base64Path::kAvx512Vbmi),
                         [](const testing::TestParamInfo<Base64Path>& info) {
                             return std::string(qovautils::detail::base64_path_name(info.param));
                         });

}  // namespace
