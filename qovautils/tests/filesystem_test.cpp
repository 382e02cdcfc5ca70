// Tests of qovautils::filesystem: readFile on every kind of file it may
// meet, plug-in names both ways, and temporary files and directories.
#include "qovautils/filesystem.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <testsupport/scoped.h>
#include <testsupport/scratch.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <string>

namespace {

namespace fs = qovautils::filesystem;
using testsupport::ScopedEnv;
using testsupport::ScratchDir;

// Owns a descriptor for the length of a test.
struct ScopedFd {
    int fd;
    explicit ScopedFd(int f) : fd(f) {}
    ~ScopedFd() {
        if (fd >= 0) ::close(fd);
    }
};

std::string allBytes(size_t size) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    return s;
}

TEST(ReadFile, RegularFiles) {
    ScratchDir dir;
    const std::string cases[] = {"",
                                 "x",
                                 "line one\r\nline two\n",
                                 std::string("a\0b\0\0", 5),
                                 allBytes(256),
                                 allBytes(1 << 20 | 7),
                                 allBytes(9 << 20 | 3)};  // large enough for huge pages
    int i = 0;
    for (const auto& contents : cases) {
        const std::string path = dir.write("f" + std::to_string(i++), contents);
        const auto [data, failed] = fs::readFile(path);
        EXPECT_FALSE(failed) << "size " << contents.size();
        EXPECT_EQ(data.size(), contents.size());
        EXPECT_TRUE(data == contents) << "size " << contents.size();
    }
}

TEST(ReadFile, FailuresGiveEmptyContentsAndTheFlag) {
    ScratchDir dir;
    ASSERT_EQ(::mkfifo(dir.path("fifo").c_str(), 0600), 0);
    // Holding the FIFO open for writing lets the read side open at once.
    ScopedFd fifoWriter(::open(dir.path("fifo").c_str(), O_RDWR | O_NONBLOCK));
    ASSERT_GE(fifoWriter.fd, 0);
    ASSERT_EQ(::write(fifoWriter.fd, "data", 4), 4);
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    ScopedFd pipeRead(pipeFds[0]), pipeWrite(pipeFds[1]);
    ASSERT_EQ(::write(pipeWrite.fd, "data", 4), 4);

    const std::pair<const char*, std::string> cases[] = {
        {"missing file", dir.path("missing")},
        {"missing directory", dir.path("no/such/file")},
        {"directory", dir.path()},
        {"root directory", "/"},
        {"FIFO", dir.path("fifo")},
        {"pipe", "/proc/self/fd/" + std::to_string(pipeRead.fd)},
        {"empty path", ""},
    };
    for (const auto& [what, path] : cases) {
        const auto [data, failed] = fs::readFile(path);
        EXPECT_TRUE(failed) << what;
        EXPECT_EQ(data, "") << what;
    }
}

TEST(ReadFile, UnreadableFileFails) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
    ScratchDir dir;
    const std::string path = dir.write("secret", "contents");
    ASSERT_EQ(::chmod(path.c_str(), 0), 0);
    const auto [data, failed] = fs::readFile(path);
    EXPECT_TRUE(failed);
    EXPECT_EQ(data, "");
}

TEST(ReadFile, FileWhoseSizeReadsAsZeroGivesNothing) {
    // /proc files report size 0 although they have contents.
    const auto [data, failed] = fs::readFile("/proc/self/status");
    EXPECT_FALSE(failed);
    EXPECT_EQ(data, "");
}

TEST(GenGuid, IsAlwaysEmpty) {
    EXPECT_EQ(fs::genGuid(), "");
    EXPECT_EQ(fs::genGuid(), "");
}

TEST(PluginNames, Expand) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "lib.so"},         {"foo", "libfoo.so"},   {"libfoo", "liblibfoo.so"},
        {"foo.so", "foo.so"},   {"foo.bar", "foo.bar"}, {"./foo", "./foo"},
        {"dir/foo", "dir/foo"}, {"a\\b", "liba\\b.so"},  // a backslash is no mark
    };
    for (const auto& [name, expected] : cases) {
        EXPECT_EQ(fs::plugin_expand(name), expected) << "\"" << name << "\"";
    }
}

TEST(PluginNames, Unexpand) {
    const std::pair<std::string, std::string> cases[] = {
        {"/usr/lib/libfoo.so", "foo"},
        {"C:\\plugins\\libfoo.so", "foo"},
        {"/opt\\mixed/dir\\libfoo.so", "foo"},
        {"C:\\mixed\\dir/libfoo.so", "foo"},
        {"libfoo.so.1", "foo.1"},
        {"calibrate", "carate"},
        {"liblibfoo.so", "libfoo"},
        {"foo.so.so", "foo.so"},
        {"lib", ""},
        {"dir/", ""},
        {"", ""},
        {"foo", "foo"},
        {"LIBFOO.SO", "LIBFOO.SO"},
    };
    for (const auto& [name, expected] : cases) {
        std::string s = name;
        fs::plugin_unexpand(s);
        EXPECT_EQ(s, expected) << "\"" << name << "\"";
    }
}

TEST(PluginNames, UnexpandUndoesExpandForBareNames) {
    for (const std::string name : {"", "foo", "libfoo", "a_b-c", "calib"}) {
        std::string s = fs::plugin_expand(name);
        fs::plugin_unexpand(s);
        EXPECT_EQ(s, name);
    }
}

// mkstemp and mkdtemp share their rules; each test runs for both.
struct TempKind {
    const char* name;
    std::function<std::string(const std::string&, const std::string&, const std::string&)> make;
    mode_t type;
};
void PrintTo(const TempKind& kind, std::ostream* os) { *os << kind.name; }

class TempObject : public ::testing::TestWithParam<TempKind> {
  protected:
    std::string make(const std::string& prefix, const std::string& suffix, const std::string& dir) {
        return GetParam().make(prefix, suffix, dir);
    }

    // The object exists with the right type, and `path` is `templ` with only
    // the six placeholders replaced, by characters of the platform's set.
    void expectMadeFrom(const std::string& templ, const std::string& path) {
        ASSERT_EQ(path.size(), templ.size()) << path << " vs " << templ;
        const size_t at = templ.rfind("XXXXXX");
        ASSERT_NE(at, std::string::npos);
        EXPECT_EQ(path.substr(0, at), templ.substr(0, at));
        EXPECT_EQ(path.substr(at + 6), templ.substr(at + 6));
        for (char c : path.substr(at, 6))
            EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << path;
        struct stat info;
        ASSERT_EQ(::lstat(path.c_str(), &info), 0) << path;
        EXPECT_EQ(info.st_mode & S_IFMT, GetParam().type) << path;
        EXPECT_EQ(info.st_mode & 0777, GetParam().type == S_IFDIR ? 0700u : 0600u) << path;
        if (GetParam().type == S_IFREG) {
            EXPECT_EQ(info.st_size, 0) << path;
        }
    }
};

TEST_P(TempObject, InTheGivenDirectory) {
    ScratchDir dir;
    const std::pair<std::string, std::string> cases[] = {
        {"pre-", ""}, {"", ""}, {"pre-", ".txt"}, {"", ".d"}, {"a b", "-post fix"}};
    for (const auto& [prefix, suffix] : cases) {
        const std::string path = make(prefix, suffix, dir.path());
        expectMadeFrom(dir.path() + "/" + prefix + "XXXXXX" + suffix, path);
    }
}

TEST_P(TempObject, DirectoryWithATrailingSlashGivesTwoSlashes) {
    ScratchDir dir;
    const std::string path = make("p", "", dir.path() + "/");
    expectMadeFrom(dir.path() + "//pXXXXXX", path);
}

TEST_P(TempObject, DefaultDirectoryIsTempdirOrTmp) {
    ScratchDir dir;
    {
        ScopedEnv env("TEMPDIR", dir.path().c_str());
        expectMadeFrom(dir.path() + "/qXXXXXX.s", make("q", ".s", ""));
    }
    {
        ScopedEnv env("TEMPDIR", nullptr);
        ScopedEnv tmpdir("TMPDIR", dir.path().c_str());  // not consulted
        const std::string path = make("qovautils-default-", "", "");
        expectMadeFrom("/tmp/qovautils-default-XXXXXX", path);
        ::remove(path.c_str());
    }
}

TEST_P(TempObject, EmptyTempdirMeansTheRootDirectory) {
    ScopedEnv env("TEMPDIR", "");
    const std::string path = make("qovautils-root-", "", "");
    if (::access("/", W_OK) != 0) {
        EXPECT_EQ(path, "");
        return;
    }
    expectMadeFrom("/qovautils-root-XXXXXX", path);
    ::remove(path.c_str());
}

TEST_P(TempObject, MissingDirectoryCreatesNothing) {
    ScratchDir dir;
    for (const char* suffix : {"", ".x"}) {
        EXPECT_EQ(make("p", suffix, dir.path("missing")), "");
        EXPECT_EQ(make("p", suffix, dir.path("missing/deeper")), "");
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_P(TempObject, NulInsideTheNameCreatesNothing) {
    ScratchDir dir;
    for (const char* suffix : {"", ".x"}) {
        EXPECT_EQ(make(std::string("XXXXXX\0", 7), suffix, dir.path()), "");
        EXPECT_EQ(make("p", std::string(".\0x", 3), dir.path()), "");
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_P(TempObject, EveryCallMakesANewObject) {
    ScratchDir dir;
    for (const char* suffix : {"", ".suffix"}) {
        std::set<std::string> paths;
        for (int i = 0; i < 50; ++i) {
            const std::string path = make("u", suffix, dir.path());
            ASSERT_NE(path, "");
            EXPECT_TRUE(paths.insert(path).second) << "returned twice: " << path;
        }
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                            std::filesystem::directory_iterator()),
              100);
}

INSTANTIATE_TEST_SUITE_P(FileAndDirectory, TempObject,
                         ::testing::Values(TempKind{"mkstemp", fs::mkstemp, S_IFREG},
                                           TempKind{"mkdtemp", fs::mkdtemp, S_IFDIR}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
