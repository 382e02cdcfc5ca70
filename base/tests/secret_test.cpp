#include "base/secret.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>

namespace {

TEST(Wipe, ClearsTheWholeCapacityAndKeepsTheBuffer) {
    struct Case {
        std::size_t filled;  // bytes written once
        std::size_t kept;    // what the string holds when it is wiped
    };
    // Short strings live inside the object, longer ones on the heap; a
    // shrunk string still owns the bytes of its longer past.
    for (const Case c : {Case{5, 5}, Case{15, 15}, Case{100, 100}, Case{100, 3}, Case{100, 0}}) {
        SCOPED_TRACE(std::to_string(c.filled) + " bytes, " + std::to_string(c.kept) + " kept");
        std::string secret(c.filled, 's');
        secret.resize(c.kept);
        const std::size_t capacity = secret.capacity();
        ASSERT_GE(capacity, c.filled);
        const char* storage = secret.data();
        base::wipe(secret);
        EXPECT_TRUE(secret.empty());
        EXPECT_EQ(secret.capacity(), capacity);
        ASSERT_EQ(secret.data(), storage) << "the buffer must be cleared, not swapped away";
        for (std::size_t i = 0; i < capacity; ++i) ASSERT_EQ(storage[i], '\0') << "byte " << i;
    }
}

TEST(Wipe, ClearsExactlyTheBytesOfARawBuffer) {
    std::array<char, 8> buffer;
    buffer.fill('s');
    base::wipe(buffer.data() + 1, 6);
    EXPECT_EQ(std::string(buffer.data(), buffer.size()), std::string("s\0\0\0\0\0\0s", 8));
    base::wipe(nullptr, 0);  // nothing to clear is not an error
}

TEST(WipeOnExit, WipesOnLeavingTheScope) {
    std::string secret(40, 's');
    const char* storage = secret.data();
    { const base::WipeOnExit guard(secret); }
    EXPECT_TRUE(secret.empty());
    EXPECT_EQ(storage[0], '\0');
}

TEST(EqualSecrets, ComparesEveryByte) {
    using namespace std::string_view_literals;
    struct Case {
        std::string_view a, b;
        bool equal;
    };
    const Case cases[] = {
        {""sv, ""sv, true},         {"pw"sv, "pw"sv, true},  {"pw"sv, "pW"sv, false},
        {"pw"sv, "pw1"sv, false},   {""sv, "p"sv, false},    {"x\0a"sv, "x\0b"sv, false},
        {"x\0a"sv, "x\0a"sv, true}, {"ab"sv, "ba"sv, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(base::equalSecrets(c.a, c.b), c.equal) << c.a << " / " << c.b;
        EXPECT_EQ(base::equalSecrets(c.b, c.a), c.equal) << c.b << " / " << c.a;
    }
}

TEST(DisableCoreDumps, LimitZeroAndNotDumpable) {
    // In a child, so that this test process stays dumpable.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        base::disableCoreDumps();
        rlimit limit{};
        getrlimit(RLIMIT_CORE, &limit);
        const bool ok =
            limit.rlim_cur == 0 && limit.rlim_max == 0 && prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) == 0;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
