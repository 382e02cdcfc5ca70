// qovautils_bench -- throughput of the qovautils codecs and file reading,
// each beside a baseline measured in the same run:
//   memcpy of the same size                     (every operation)
//   a plain scalar Base64 codec of the same     (each Base64 path, forced:
//     alphabet: three bytes to four characters    scalar, avx2, avx512vbmi)
//     through the 64-character table, decoding
//     through one 256-entry table
//   glibc's iconv, one call per text            (cp1251ToUtf8)
//   read(2) into a freshly allocated buffer     (filesystem::readFile)
// After the usual table it prints the ratios that the library is held to.
// Run it on a Release (-O2) build; docs/benchmarks.md has the command.
//
// `qovautils_bench --write-base64-text=FILE` writes the 1 MiB decode input
// to FILE and exits: bench/base64_node.sh times Node.js on the same text.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <iconv.h>
#include <qovautils/Base64.h>
#include <qovautils/StringUtils.h>
#include <qovautils/filesystem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "../qovautils/src/Base64_internal.h"

namespace {

using qovautils::Base64;
using qovautils::detail::Base64Path;

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
    if (std::string(text.data(), text.size()) != encoded(bytes))
        state.SkipWithError("wrong result");
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

template <Base64Path Path>
size_t encodeVia(const char* input, size_t length, char* output) {
    return qovautils::detail::base64_encode(Path, input, length, output);
}
template <Base64Path Path>
size_t decodeVia(const char* input, size_t length, char* output) {
    return qovautils::detail::base64_decode(Path, input, length, output);
}

// A forced path on a processor without it would time the fallback instead.
template <Base64Path Path, void (*Bench)(benchmark::State&)>
void BM_Path(benchmark::State& state) {
    if (!qovautils::detail::base64_path_supported(Path)) {
        state.SkipWithError("this processor cannot run this path");
        return;
    }
    Bench(state);
}

#define BASE64_PATH_BENCHMARKS(path, name)                                                       \
    BENCHMARK(BM_Path<path, BM_Encode<encodeVia<path>>>)->Name("Base64Encode/" name)->Arg(kMiB); \
    BENCHMARK(BM_Path<path, BM_Decode<decodeVia<path>>>)->Name("Base64Decode/" name)->Arg(kMiB)

BENCHMARK(BM_Memcpy)->Arg(kMiB);
BENCHMARK(BM_Encode<plainEncode>)->Name("PlainEncode")->Arg(kMiB);
BENCHMARK(BM_Decode<plainDecode>)->Name("PlainDecode")->Arg(kMiB);
BASE64_PATH_BENCHMARKS(Base64Path::kScalar, "scalar");
BASE64_PATH_BENCHMARKS(Base64Path::kAvx2, "avx2");
BASE64_PATH_BENCHMARKS(Base64Path::kAvx512Vbmi, "avx512vbmi");

// ---- CP1251 to UTF-8: 1 MiB of Russian text, random sentences of common
// words (capitals, "ё", digits, commas, dashes and «quotes» included),
// converted from UTF-8 once at start ----

const char* const kWords[] = {
    "и",       "в",      "не",       "на",      "что",       "он",        "с",       "как",
    "это",     "по",     "но",       "они",     "к",         "у",         "ещё",     "всё",
    "из",      "за",     "так",      "уже",     "если",      "год",       "время",   "человек",
    "дело",    "жизнь",  "день",     "рука",    "работа",    "слово",     "место",   "вопрос",
    "лицо",    "глаз",   "сторона",  "страна",  "мир",       "случай",    "голова",  "ребёнок",
    "система", "вода",   "говорить", "знать",   "стать",     "видеть",    "хотеть",  "идти",
    "должен",  "новый",  "большой",  "русский", "последний", "хороший",   "главный", "самолёт",
    "пароль",  "сервер", "клиент",   "счёт",    "сообщение", "изменение", "учётная"};

// UTF-8 to CP1251 through iconv; the words above all have a form there.
std::string toCp1251(std::string utf8) {
    const iconv_t cd = iconv_open("CP1251", "UTF-8");
    std::string out(utf8.size(), '\0');
    char* in = &utf8[0];
    size_t inLeft = utf8.size();
    char* to = &out[0];
    size_t outLeft = out.size();
    const size_t rc = iconv(cd, &in, &inLeft, &to, &outLeft);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1)) std::abort();
    out.resize(out.size() - outLeft);
    return out;
}

std::string russianText(size_t n) {
    std::vector<std::string> words;
    for (const char* w : kWords) words.push_back(toCp1251(w));
    const std::string dash = toCp1251(" — ");
    const std::string open = toCp1251("«");
    const std::string close = toCp1251("»");
    std::mt19937 rng(1251);
    std::string s;
    while (s.size() < n) {
        const int length = 4 + static_cast<int>(rng() % 11);
        for (int i = 0; i < length; ++i) {
            std::string w = words[rng() % words.size()];
            if (i == 0) {  // capital: а-я are 0xE0-0xFF, А-Я 0xC0-0xDF; ё 0xB8, Ё 0xA8
                auto& c = reinterpret_cast<unsigned char&>(w[0]);
                c = c >= 0xE0 ? c - 0x20 : c == 0xB8 ? 0xA8 : c;
            }
            const unsigned r = rng() % 40;
            if (r == 0) w = open + w + close;
            if (r == 1) w = std::to_string(rng() % 3000);
            s += w;
            if (i + 1 < length) s += r < 5 ? ", " : r == 5 ? dash : " ";
        }
        s += rng() % 6 == 0 ? ".\n" : ". ";
    }
    s.resize(n);
    return s;
}

// The same contract through glibc's converter: one descriptor per call, one
// call, the exact text or nothing.
std::string iconvCp1251ToUtf8(char* input, size_t length) {
    const iconv_t cd = iconv_open("UTF-8", "CP1251");
    if (cd == reinterpret_cast<iconv_t>(-1) || length == 0) return std::string();
    std::string result(length * 3, '\0');
    char* in = input;
    size_t inLeft = length;
    char* out = &result[0];
    size_t outLeft = result.size();
    const bool ok = iconv(cd, &in, &inLeft, &out, &outLeft) != static_cast<size_t>(-1);
    iconv_close(cd);
    if (!ok) return std::string();
    result.resize(result.size() - outLeft);
    return result;
}

template <std::string (*Convert)(char*, size_t)>
void BM_Cp1251(benchmark::State& state) {
    std::string text = russianText(static_cast<size_t>(state.range(0)));
    const std::string expected = iconvCp1251ToUtf8(&text[0], text.size());
    for (auto _ : state) {
        std::string out = Convert(&text[0], text.size());
        if (out.size() != expected.size()) state.SkipWithError("conversion failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Cp1251<qovautils::StringUtils::cp1251ToUtf8>)->Name("Cp1251ToUtf8")->Arg(kMiB);
BENCHMARK(BM_Cp1251<iconvCp1251ToUtf8>)->Name("Cp1251Iconv")->Arg(kMiB);

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
            {"Base64Encode/scalar/1048576", "PlainEncode/1048576", "target >= 2.00"},
            {"Base64Decode/scalar/1048576", "PlainDecode/1048576", "target >= 1.15"},
            {"Base64Encode/avx2/1048576", "PlainEncode/1048576", "target >= 4.00"},
            {"Base64Decode/avx2/1048576", "PlainDecode/1048576", "target >= 3.00"},
            {"Base64Encode/avx512vbmi/1048576", "PlainEncode/1048576", "target >= 5.00"},
            {"Base64Decode/avx512vbmi/1048576", "PlainDecode/1048576", "target >= 4.00"},
            {"PlainEncode/1048576", "BM_Memcpy/1048576", ""},
            {"PlainDecode/1048576", "BM_Memcpy/1048576", ""},
            {"Base64Encode/scalar/1048576", "BM_Memcpy/1048576", ""},
            {"Base64Decode/scalar/1048576", "BM_Memcpy/1048576", ""},
            {"Base64Encode/avx2/1048576", "BM_Memcpy/1048576", ""},
            {"Base64Decode/avx2/1048576", "BM_Memcpy/1048576", ""},
            {"Base64Encode/avx512vbmi/1048576", "BM_Memcpy/1048576", ""},
            {"Base64Decode/avx512vbmi/1048576", "BM_Memcpy/1048576", ""},
            {"Cp1251ToUtf8/1048576", "Cp1251Iconv/1048576", "target >= 8.00"},
            {"Cp1251ToUtf8/1048576", "BM_Memcpy/1048576", ""},
            {"PlainRead/67108864", "ReadFile/67108864",
             "target <= 1.15 (readFile time / read(2) time)"},
            {"ReadFile/67108864", "BM_Memcpy/67108864", ""},
        };
        for (const auto& p : pairs) {
            const auto a = rate_.find(p[0]);
            const auto b = rate_.find(p[1]);
            if (a == rate_.end() || b == rate_.end() || b->second == 0) continue;
            std::printf("  %-31s / %-19s %7.3f  %s\n", p[0], p[1], a->second / b->second, p[2]);
        }
    }

  private:
    std::map<std::string, double> rate_;
};

}  // namespace

int main(int argc, char** argv) {
    const std::string writeText = "--write-base64-text=";
    if (argc == 2 && std::string(argv[1]).compare(0, writeText.size(), writeText) == 0) {
        const std::string text = encoded(randomBytes(kMiB));
        std::ofstream file(argv[1] + writeText.size(), std::ios::binary);
        file << text;
        return file.flush() ? 0 : 1;
    }

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
