#include "password_service.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <password_scheme.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <testsupport/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "account_password.h"
#include "raw_client.h"

namespace qova::router {
namespace {

using testing::changeBody;

TEST(PasswordService, ChecksInOrderAndChangesOnlyWhenAllPass) {
    const std::string p65(65, 'a');
    const std::string p66(66, 'b');
    const std::string wrongOld = "Wrong old password";
    const std::string changed = "Password changed";
    struct Case {
        std::string account, oldPassword, newPassword;
        std::int32_t code;
        std::string text;   // of reply 169
        std::string after;  // the account's password afterwards
    };
    const Case cases[] = {
        {"cur", "bad", "", kWrongOldPassword, wrongOld, "cur"},  // the old password comes first
        {"cur", "bad", p66, kWrongOldPassword, wrongOld, "cur"},
        {"cur", "cur", "", kNewPasswordEmpty, "New password is empty", "cur"},
        {"cur", "cur", p66, kNewPasswordTooLong, "New password is too long", "cur"},
        {"cur", "cur", "cur", kNewPasswordSameAsOld, "New password must differ from the old one",
         "cur"},
        {"cur", "cur", p65, kChanged, changed, p65},  // 65 bytes is the longest allowed
        {p65, p65, "n", kChanged, changed, "n"},
        {p65, p66, "n", kWrongOldPassword, wrongOld, p65},  // a field with no NUL is 66 bytes
        {"cur", "CUR", "n", kWrongOldPassword, wrongOld, "cur"},
        {"cur", "cu", "n", kWrongOldPassword, wrongOld, "cur"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.oldPassword.substr(0, 8) + " -> " + c.newPassword.substr(0, 8));
        MemoryAccountStore store(c.account);
        const ChangeOutcome outcome =
            changePassword(store, changeBody(c.oldPassword, c.newPassword), "app");
        EXPECT_EQ(outcome.code, c.code);
        EXPECT_EQ(outcome.message, c.text);
        EXPECT_TRUE(store.verify(c.after));
        // After a change the old password no longer works.
        if (c.after != c.account) {
            EXPECT_FALSE(store.verify(c.account));
        }
    }
}

TEST(PasswordService, ReadsAFieldUpToItsFirstNul) {
    std::string body = changeBody("abc", "def");
    body[10] = 'X';  // bytes after the NUL do not count
    EXPECT_EQ(passwordField(body, pwdscheme::kOldPasswordOffset), "abc");
    EXPECT_EQ(passwordField(body, pwdscheme::kNewPasswordOffset), "def");
    const std::string full = changeBody(std::string(66, 'o'), std::string(66, 'n'));
    EXPECT_EQ(passwordField(full, pwdscheme::kOldPasswordOffset), std::string(66, 'o'));
    EXPECT_EQ(passwordField(full, pwdscheme::kNewPasswordOffset), std::string(66, 'n'));
}

std::int32_t intAt(const std::string& body, std::size_t offset) {
    std::int32_t v = 0;
    std::memcpy(&v, body.data() + offset, sizeof v);
    return v;
}

TEST(PasswordService, LaysOutReplyBodies) {
    const std::string r169 = changeReplyBody(-2, "hello");
    ASSERT_EQ(r169.size(), pwdscheme::kChangePasswordReplySize);
    EXPECT_EQ(intAt(r169, pwdscheme::kReplyCodeOffset), -2);
    EXPECT_EQ(r169.substr(4, 6), std::string("hello\0", 6));
    EXPECT_EQ(r169.find_first_not_of('\0', 9), std::string::npos);  // zero after the text

    const std::string r99 = floodReplyBody(11, 1000, std::string(200, 'm'));
    ASSERT_EQ(r99.size(), pwdscheme::kFloodReplySize);
    EXPECT_EQ(intAt(r99, pwdscheme::kFloodQueueSizeOffset), 11);
    EXPECT_EQ(intAt(r99, pwdscheme::kFloodPenaltyOffset), 1000);
    EXPECT_EQ(r99.substr(8, 128), std::string(128, 'm'));  // cut to the field
    EXPECT_EQ(r99.back(), '\0');

    const std::string r100 = failureReplyBody(kStoreFailure, std::string(300, 'f'));
    ASSERT_EQ(r100.size(), pwdscheme::kFailureReplySize);
    EXPECT_EQ(intAt(r100, pwdscheme::kFailureCodeOffset), 1);
    EXPECT_EQ(r100.substr(4, 255), std::string(255, 'f'));
    EXPECT_EQ(r100.back(), '\0');
}

TEST(AccountPassword, ReadsOneLineFromAPipeAndNoMore) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const std::string input = "first\r\nsecond\n";
    ASSERT_EQ(::write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    ::close(fds[1]);
    EXPECT_EQ(readPasswordLine(fds[0]), "first");
    EXPECT_EQ(readPasswordLine(fds[0]), "second");               // the first read left it unread
    EXPECT_THROW(readPasswordLine(fds[0]), std::runtime_error);  // end of input
    ::close(fds[0]);
}

bool echoOn(int fd) {
    termios t{};
    return ::tcgetattr(fd, &t) == 0 && (t.c_lflag & ECHO) != 0;
}

TEST(AccountPassword, SwitchesEchoOffOnATerminalAndBackOn) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    ASSERT_TRUE(echoOn(slave));

    std::string got;
    std::string failure;
    std::thread reader([&] {
        try {
            got = readPasswordLine(slave);
        } catch (const std::exception& e) {
            failure = e.what();
        }
    });
    // Type the line only once echo is off, as a person would after the prompt.
    EXPECT_TRUE(testsupport::eventually([&] { return !echoOn(slave); }, std::chrono::seconds(5)));
    const bool typed = ::write(master, "typed-secret\n", 13) == 13;
    if (!typed) ::close(master);  // hangs the terminal up, which ends the read
    reader.join();
    if (!typed) ::close(slave);
    ASSERT_TRUE(typed);
    EXPECT_EQ(failure, "");
    EXPECT_EQ(got, "typed-secret");
    EXPECT_TRUE(echoOn(slave));

    // Nothing was echoed back to the terminal.
    std::string echoed;
    pollfd p{master, POLLIN, 0};
    while (::poll(&p, 1, 50) > 0) {
        char buf[64];
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n <= 0) break;
        echoed.append(buf, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(echoed.find("typed-secret"), std::string::npos) << echoed;
    ::close(slave);
    ::close(master);
}

TEST(AccountPassword, AcceptsOneTo65BytesWithoutNul) {
    EXPECT_THROW(checkAccountPassword(""), std::runtime_error);
    EXPECT_NO_THROW(checkAccountPassword("x"));
    EXPECT_NO_THROW(checkAccountPassword(std::string(65, 'x')));
    EXPECT_THROW(checkAccountPassword(std::string(66, 'x')), std::runtime_error);
    EXPECT_THROW(checkAccountPassword(std::string("nulpre\0suffix", 13)), std::runtime_error);
}

}  // namespace
}  // namespace qova::router
