// filesystem.cpp -- whole-file reading, plug-in library names, temporary
// files and directories.
#include "qovautils/filesystem.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace qovautils {
namespace filesystem {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

const char kLibPrefix[] = "lib";
const char kLibSuffix[] = ".so";
const char kPlaceholders[] = "XXXXXX";
constexpr size_t kPlaceholderCount = sizeof kPlaceholders - 1;

// The characters glibc's mkstemp/mkdtemp put in place of the placeholders.
const char kNameChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

// The directory for temporary objects when the caller names none: $TEMPDIR
// as it stands, even when empty (then names start at the root), else /tmp.
// Read afresh on every call.
std::string get_temp_dir() {
    const char* dir = std::getenv("TEMPDIR");
    return dir != nullptr ? std::string(dir) : std::string("/tmp");
}

// dir + "/" + prefix + "XXXXXX" + suffix; an empty `dir` means get_temp_dir().
// The slash is added even when `dir` already ends with one.
// Returns false, creating nothing, for a template with a NUL byte inside:
// the platform would see a shorter name than the one handed back.
bool makeTemplate(const std::string& prefix, const std::string& suffix, const std::string& dir,
                  std::string& name) {
    name = (dir.empty() ? get_temp_dir() : dir) + "/" + prefix + kPlaceholders + suffix;
    return name.find('\0') == std::string::npos;
}

// mkdtemp with a suffix, which the platform routine does not take: put six
// random characters at the placeholders and try mkdir, again on a name that
// exists, as often as glibc itself tries.
bool makeDirWithSuffix(std::string& name, size_t suffixLength) {
    const size_t at = name.size() - suffixLength - kPlaceholderCount;
    for (int attempt = 0; attempt < TMP_MAX; ++attempt) {
        for (size_t i = 0; i < kPlaceholderCount; ++i) {
            name[at + i] = kNameChars[arc4random_uniform(sizeof kNameChars - 1)];
        }
        if (::mkdir(name.c_str(), 0700) == 0) return true;
        if (errno != EEXIST) return false;
    }
    return false;
}

// A string's storage is zero-filled when it is sized, which faults in every
// page before the read fills it again.  For large files, asking for huge
// pages makes that 512 times fewer faults: reading 64 MiB then takes 55-70%
// of the time of a plain read(2) into fresh 4 KiB pages, instead of 112%
// (docs/benchmarks.md).
// Only the whole 2 MiB blocks inside the buffer are advised; the advice is a
// hint and its failure changes nothing.
void adviseHugePages(char* data, size_t size) {
#ifdef MADV_HUGEPAGE
    constexpr std::uintptr_t kHugePage = std::uintptr_t{1} << 21;
    constexpr size_t kWorthIt = 4 * kHugePage;
    if (size < kWorthIt) return;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t last = (begin + size) & ~(kHugePage - 1);
    if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)data;
    (void)size;
#endif
}

}  // namespace

std::pair<std::string, bool> readFile(const std::string& path) {
    std::pair<std::string, bool> failed(std::string(), true);
    const FileHandle file(std::fopen(path.c_str(), "rbe"));
    if (!file) return failed;

    // A directory opens for reading, and its end position can read as
    // 2^31 - 1 or 2^63 - 1 bytes: refuse it before allocating anything.
    struct stat info;
    if (::fstat(::fileno(file.get()), &info) == 0 && S_ISDIR(info.st_mode)) return failed;

    std::fseek(file.get(), 0, SEEK_END);
    const long size = std::ftell(file.get());  // -1 for pipes and other streams
    if (size < 0) return failed;
    std::fseek(file.get(), 0, SEEK_SET);

    std::string contents;
    contents.reserve(static_cast<size_t>(size));  // the one allocation
    adviseHugePages(contents.data(), contents.capacity());
    contents.resize(static_cast<size_t>(size));
    if (size != 0 && std::fread(&contents[0], 1, contents.size(), file.get()) != contents.size()) {
        return failed;
    }
    return {std::move(contents), false};
}

std::string genGuid() { return std::string(); }

std::string plugin_expand(const std::string& name) {
    if (name.find_first_of("./") != std::string::npos) return name;
    return kLibPrefix + name + kLibSuffix;
}

void plugin_unexpand(std::string& name) {
    const size_t separator = name.find_last_of("/\\");
    if (separator != std::string::npos) name.erase(0, separator + 1);
    const size_t prefix = name.find(kLibPrefix);
    if (prefix != std::string::npos) name.erase(prefix, sizeof kLibPrefix - 1);
    const size_t suffix = name.find(kLibSuffix);
    if (suffix != std::string::npos) name.erase(suffix, sizeof kLibSuffix - 1);
}

std::string mkstemp(const std::string& prefix, const std::string& suffix, const std::string& dir) {
    // std::string's buffer is writable and NUL-terminated: the platform
    // routine fills the placeholders in place.
    std::string name;
    if (!makeTemplate(prefix, suffix, dir, name) || suffix.size() > INT_MAX) return std::string();
    const int fd = suffix.empty() ? ::mkstemp(&name[0])
                                  : ::mkstemps(&name[0], static_cast<int>(suffix.size()));
    if (fd < 0) return std::string();
    ::close(fd);
    return name;
}

std::string mkdtemp(const std::string& prefix, const std::string& suffix, const std::string& dir) {
    std::string name;
    if (!makeTemplate(prefix, suffix, dir, name)) return std::string();
    if (suffix.empty()) return ::mkdtemp(&name[0]) != nullptr ? name : std::string();
    return makeDirWithSuffix(name, suffix.size()) ? name : std::string();
}

}  // namespace filesystem
}  // namespace qovautils
