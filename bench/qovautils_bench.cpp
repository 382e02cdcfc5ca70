// qovautils_bench -- throughput of the qovautils codecs and file reading,
// each beside a baseline measured in the same run:
//   memcpy of the same size                     (every operation)
//   a plain scalar Base64 codec of the same     (Base64::encode / decode)
//     alphabet: three bytes to four characters through the 64-character
//     table, decoding through one 256-entry table
//   read(2) into a freshly allocated buffer     (filesystem::readFile)
// After the usual table it prints the ratios that the library is held to.
// Run it on a Release (-O2) build; docs/benchmarks.md has the command.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <qovautils/Base64.h>
#include <qovautils/StringUtils.h>
#include <qovautils/filesystem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using qovautils::Base64;

constexpr size_t kKiB = 1024;
constexpr size_t kMiB = 1024 * kKiB;
constexpr size_t kFileSize = 64 * kMiB;

std::string randomBytes(size_t n) {
    std::mt19937_64 rng(42);
    std::string s(n, '\0');
    for (size_t i = 0; i + 8 <= n; i += 8) {
        const auto v = rng();
        std::memcpy(&s[i], &v, 8);
    }
    for (size_t i = n - n % 8; i < n; ++i) s[i] = static_cast<char>(rng());
    return s;
}

std::string encoded(const std::string& bytes) {
    std::string text(Base64::encode_len(bytes.data(), bytes.size()), '\0');
    Base64::encode(bytes.data(), bytes.size(), &text[0]);
    return text;
}

// ---- The plain scalar codec, the baseline for Base64 ----

const char kPlainAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

size_t plainEncode(const char* input, size_t length, char* output) {
    const auto* in = reinterpret_cast<const unsigned char*>(input);
    char* out = output;
    size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        const unsigned v = unsigned{in[i]} << 16 | unsigned{in[i + 1]} << 8 | in[i + 2];
        *out++ = kPlainAlphabet[(v >> 18) & 63];
        *out++ = kPlainAlphabet[(v >> 12) & 63];
        *out++ = kPlainAlphabet[(v >> 6) & 63];
        *out++ = kPlainAlphabet[v & 63];
    }
    if (i < length) {
        const bool two = length - i == 2;
        const unsigned v = unsigned{in[i]} << 16 | (two ? unsigned{in[i + 1]} << 8 : 0u);
        *out++ = kPlainAlphabet[(v >> 18) & 63];
        *out++ = kPlainAlphabet[(v >> 12) & 63];
        *out++ = two ? kPlainAlphabet[(v >> 6) & 63] : '=';
        *out++ = '=';
    }
    return static_cast<size_t>(out - output);
}

struct PlainDecodeTable {
    unsigned char value[256] = {};
    PlainDecodeTable() {
        for (int i = 0; i < 64; ++i) value[static_cast<unsigned char>(kPlainAlphabet[i])] = i;
    }
};
const PlainDecodeTable kPlainDecode;

size_t plainDecode(const char* input, size_t length, char* output) {
    if (length % 4 != 0) return 0;
    const size_t n = Base64::decode_len(input, length);
    const auto* in = reinterpret_cast<const unsigned char*>(input);
    const auto group = [in](size_t i) {
        return unsigned{kPlainDecode.value[in[i]]} << 18 |
               unsigned{kPlainDecode.value[in[i + 1]]} << 12 |
               unsigned{kPlainDecode.value[in[i + 2]]} << 6 | kPlainDecode.value[in[i + 3]];
    };
    size_t i = 0;
    size_t j = 0;
    for (; j + 3 <= n; i += 4) {
        const unsigned v = group(i);
        output[j++] = static_cast<char>(v >> 16);
        output[j++] = static_cast<char>(v >> 8);
        output[j++] = static_cast<char>(v);
    }
    if (j < n) {  // a last group that padding cut short
        const unsigned v = group(i);
        output[j++] = static_cast<char>(v >> 16);
        if (j < n) output[j++] = static_cast<char>(v >> 8);
    }
    return n;
}

// ---- Base64 ----

void BM_Memcpy(benchmark::State& state) {
    const std::string src = randomBytes(static_cast<size_t>(state.range(0)));
    std::vector<char> dst(src.size());
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), src.size());
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * src.size()));
}

template <size_t (*Encode)(const char*, size_t, char*)>
void BM_Encode(benchmark::State& state) {
    const std::string bytes = randomBytes(static_cast<size_t>(state.range(0)));
    std::vector<char> text(Base64::encode_len(bytes.data(), bytes.size()));
    for (auto _ : state) {
        benchmark::DoNotOptimize(Encode(bytes.data(), bytes.size(), text.data()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

// Throughput counts decoded bytes, so encode and decode figures compare.
template <size_t (*Decode)(const char*, size_t, char*)>
void BM_Decode(benchmark::State& state) {
    const std::string bytes = randomBytes(static_cast<size_t>(state.range(0)));
    const std::string text = encoded(bytes);
    std::vector<char> out(bytes.size());
    Base64::build_decoding_table();
    for (auto _ : state) {
        benchmark::DoNotOptimize(Decode(text.data(), text.size(), out.data()));
        benchmark::ClobberMemory();
    }
    if (std::memcmp(out.data(), bytes.data(), bytes.size()) != 0)
        state.SkipWithError("wrong result");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

BENCHMARK(BM_Memcpy)->Arg(64 * kKiB)->Arg(kMiB);
BENCHMARK(BM_Encode<Base64::encode>)->Name("Base64Encode")->Arg(64 * kKiB)->Arg(kMiB);
BENCHMARK(BM_Encode<plainEncode>)->Name("PlainEncode")->Arg(64 * kKiB)->Arg(kMiB);
BENCHMARK(BM_Decode<Base64::decode>)->Name("Base64Decode")->Arg(64 * kKiB)->Arg(kMiB);
BENCHMARK(BM_Decode<plainDecode>)->Name("PlainDecode")->Arg(64 * kKiB)->Arg(kMiB);

// ---- CP1251 to UTF-8: 1 MiB of Cyrillic words with ASCII blanks, digits
// and punctuation, about two thirds Cyrillic ----

std::string mixedCp1251(size_t n) {
    std::mt19937 rng(7);
    std::string s;
    while (s.size() < n) {
        const int word = 2 + static_cast<int>(rng() % 9);
        for (int i = 0; i < word; ++i) s += static_cast<char>(0xC0 + rng() % 64);  // А..я
        s += (rng() % 5 == 0) ? ", 2026 " : " ";
    }
    s.resize(n);
    return s;
}

void BM_Cp1251ToUtf8(benchmark::State& state) {
    std::string text = mixedCp1251(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        std::string out = qovautils::StringUtils::cp1251ToUtf8(&text[0], text.size());
        if (out.empty()) state.SkipWithError("conversion failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Cp1251ToUtf8)->Arg(kMiB);

// ---- readFile against read(2), on one 64 MiB file ----

std::string gFile;  // path of the benchmark file, made in main

void BM_ReadFile(benchmark::State& state) {
    for (auto _ : state) {
        auto result = qovautils::filesystem::readFile(gFile);
        if (result.second || result.first.size() != kFileSize)
            state.SkipWithError("readFile failed");
        benchmark::DoNotOptimize(result.first.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

void BM_PlainRead(benchmark::State& state) {
    for (auto _ : state) {
        const int fd = ::open(gFile.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat info;
        if (fd < 0 || ::fstat(fd, &info) != 0) {
            state.SkipWithError("open failed");
            break;
        }
        const auto size = static_cast<size_t>(info.st_size);
        std::unique_ptr<char[]> buffer(new char[size]);
        size_t done = 0;
        while (done < size) {
            const ssize_t got = ::read(fd, buffer.get() + done, size - done);
            if (got <= 0) break;
            done += static_cast<size_t>(got);
        }
        ::close(fd);
        if (done != size) state.SkipWithError("short read");
        benchmark::DoNotOptimize(buffer.get());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}
BENCHMARK(BM_ReadFile)->Name("ReadFile")->Arg(kFileSize)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainRead)->Name("PlainRead")->Arg(kFileSize)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memcpy)->Arg(kFileSize)->Unit(benchmark::kMillisecond);

// Console output plus, at the end, the ratios between each operation and its
// baseline (median of the repetitions when there are several).
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type == Run::RT_Iteration || median) {
                const auto it = run.counters.find("bytes_per_second");
                if (it != run.counters.end()) rate_[run.run_name.str()] = it->second.value;
            }
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nRatios (throughput of the first over the second):\n");
        const char* pairs[][3] = {
            {"Base64Encode/65536", "PlainEncode/65536", ""},
            {"Base64Encode/1048576", "PlainEncode/1048576", "target >= 2.00"},
            {"Base64Decode/65536", "PlainDecode/65536", ""},
            {"Base64Decode/1048576", "PlainDecode/1048576", "target >= 1.15"},
            {"Base64Encode/1048576", "BM_Memcpy/1048576", ""},
            {"Base64Decode/1048576", "BM_Memcpy/1048576", ""},
            {"BM_Cp1251ToUtf8/1048576", "BM_Memcpy/1048576", ""},
            {"PlainRead/67108864", "ReadFile/67108864",
             "target <= 1.15 (readFile time / read(2) time)"},
            {"ReadFile/67108864", "BM_Memcpy/67108864", ""},
        };
        for (const auto& p : pairs) {
            const auto a = rate_.find(p[0]);
            const auto b = rate_.find(p[1]);
            if (a == rate_.end() || b == rate_.end() || b->second == 0) continue;
            std::printf("  %-24s / %-22s %7.3f  %s\n", p[0], p[1], a->second / b->second, p[2]);
        }
    }

  private:
    std::map<std::string, double> rate_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    gFile = qovautils::filesystem::mkstemp("qovautils-bench-", ".bin", "");
    if (gFile.empty()) {
        std::fprintf(stderr, "cannot create the benchmark file\n");
        return 1;
    }
    const std::string contents = randomBytes(kFileSize);
    if (std::FILE* f = std::fopen(gFile.c_str(), "wb")) {
        const bool ok = std::fwrite(contents.data(), 1, contents.size(), f) == contents.size();
        if (std::fclose(f) != 0 || !ok) gFile.clear();
    }

    RatioReporter reporter;
    if (!gFile.empty()) benchmark::RunSpecifiedBenchmarks(&reporter);
    std::remove(gFile.c_str());
    benchmark::Shutdown();
    return gFile.empty() ? 1 : 0;
}
