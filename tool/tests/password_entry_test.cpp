// Password entry: words from a pipe in-process, and the terminal's echo
// through a pseudo-terminal with the reading side in a forked child.
#include "password_entry.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <testsupport/pty.h>
#include <testsupport/scoped.h>
#include <testsupport/wait.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <stdexcept>

#include "params.h"
#include "tool_texts.h"

namespace {

using tooltexts::kPrompts;

// ---- from a pipe ------------------------------------------------------------

struct Entered {
    std::string oldPwd, newPwd, error, out;
};

Entered enter(const std::string& input) {
    testsupport::StdinFrom in(input);
    Entered e;
    ParamData data;
    testing::internal::CaptureStdout();
    try {
        prompt_passwords(data);
    } catch (const std::runtime_error& error) {
        e.error = error.what();
    }
    e.out = testing::internal::GetCapturedStdout();
    e.oldPwd = data.old_password;
    e.newPwd = data.new_password;
    return e;
}

TEST(PromptPasswordsFromAPipe, Words) {
    struct Case {
        const char* label;
        std::string input, oldPwd, newPwd, error;
    };
    const Case cases[] = {
        {"three lines", "old\nnew\nnew\n", "old", "new", ""},
        {"no final newline", "old new new", "old", "new", ""},
        {"two words on the first line", "old new\nnew\n", "old", "new", ""},
        {"blank lines and blanks first", "\n\n  old\n\t new \n new", "old", "new", ""},
        {"ends after the old password", "old\n", "old", "", ""},
        {"nothing at all", "", "", "", ""},
        {"confirmation one longer", "old new new!\n", "old", "new", "Passwords do not match."},
        {"confirmation one shorter", "old new ne\n", "old", "new", "Passwords do not match."},
        {"ends before the confirmation", "old new\n", "old", "new", "Passwords do not match."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const Entered e = enter(c.input);
        EXPECT_EQ(e.error, c.error);
        EXPECT_EQ(e.oldPwd, c.oldPwd);
        EXPECT_EQ(e.newPwd, c.newPwd);
        EXPECT_EQ(e.out, kPrompts) << "every prompt and line end, whatever the input";
    }
}

TEST(ReadPasswordFromAPipe, LongWordsAndWhatIsLeft) {
    const std::string longWord(1000, 'w');
    testsupport::StdinFrom in(longWord + " rest");
    EXPECT_EQ(read_password(), longWord);
    EXPECT_EQ(read_password(), "rest");
    EXPECT_EQ(read_password(), "");
}

// ---- through a pseudo-terminal ----------------------------------------------------

using testsupport::eventually;
using testsupport::PtyChild;
using testsupport::Session;

std::string promptAndReport() {
    ParamData data;
    prompt_passwords(data);
    return data.old_password + "|" + data.new_password;
}

TEST(PasswordEntryOnATerminal, EchoOffWhileEachPasswordIsTypedOnAfter) {
    // A new pseudo-terminal starts with echo on; the child may already have
    // switched it off by now, so it is only checked at each prompt and after.
    PtyChild child(promptAndReport);
    const std::pair<const char*, const char*> steps[] = {
        {"Enter old password: ", "old-pw\n"},
        {"Enter new password: ", "new-pw\n"},
        {"Enter new password again: ", "new-pw\n"}};
    for (const auto& [prompt, typed] : steps) {
        SCOPED_TRACE(prompt);
        ASSERT_TRUE(child.waitForOutput(prompt));
        EXPECT_TRUE(eventually([&] { return !child.echoOn(); }));
        child.type(typed);
    }
    int status = 0;
    ASSERT_TRUE(child.wait(status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(child.report(), "old-pw|new-pw");
    EXPECT_TRUE(child.echoOn());
    EXPECT_EQ(child.output().find("old-pw"), std::string::npos) << "a password was echoed";
    EXPECT_EQ(child.output().find("new-pw"), std::string::npos) << "a password was echoed";
}

TEST(PasswordEntryOnATerminal, EchoOnAfterwardsEvenIfItWasOffBeforeAndNothingElseChanges) {
    termios before{};
    {
        int master = -1, slave = -1;
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        tcgetattr(slave, &before);
        close(master);
        close(slave);
    }
    before.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOCTL);
    before.c_cc[VINTR] = 0x07;
    PtyChild child([] { return read_password(); }, Session::Same, &before);
    ASSERT_FALSE(child.echoOn());
    child.type("secret\n");
    int status = 0;
    ASSERT_TRUE(child.wait(status));
    EXPECT_EQ(child.report(), "secret");
    const termios after = child.attributes();
    EXPECT_EQ(after.c_lflag, before.c_lflag | ECHO) << "only ECHO may change";
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_cc[VINTR], 0x07);
}

TEST(PasswordEntryOnATerminal, InputThatEndsEarly) {
    PtyChild child(promptAndReport);
    ASSERT_TRUE(child.waitForOutput("Enter old password: "));
    child.type("only-old\n\x04");  // Ctrl-D on an empty line: end of input
    int status = 0;
    ASSERT_TRUE(child.wait(status));
    EXPECT_EQ(child.report(), "only-old|");
    EXPECT_TRUE(child.echoOn());
}

TEST(PasswordEntryOnATerminal, EchoComesBackWhenTheReadThrows) {
    PtyChild child([] {
        std::cin.exceptions(std::ios::failbit);  // end of input now throws
        return read_password();
    });
    ASSERT_TRUE(eventually([&] { return !child.echoOn(); }));
    child.type("\x04");
    int status = 0;
    ASSERT_TRUE(child.wait(status));
    EXPECT_EQ(child.report().rfind("exception: ", 0), 0u);
    EXPECT_TRUE(child.echoOn());
}

TEST(PasswordEntryOnATerminal, MismatchGivesNoSecondChance) {
    PtyChild child(promptAndReport);
    ASSERT_TRUE(child.waitForOutput("Enter old password: "));
    child.type("old\nnew\nnex\n");
    int status = 0;
    ASSERT_TRUE(child.wait(status));
    EXPECT_EQ(child.report(), "exception: Passwords do not match.");
    EXPECT_TRUE(child.echoOn());
}

TEST(PasswordEntryOnATerminal, AFatalSignalRestoresEchoThenKills) {
    for (const int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2, SIGABRT,
                          SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ}) {
        SCOPED_TRACE(strsignal(sig));
        PtyChild child(promptAndReport);
        ASSERT_TRUE(child.waitForOutput("Enter old password: "));
        ASSERT_TRUE(eventually([&] { return !child.echoOn(); }));
        kill(child.pid(), sig);
        int status = 0;
        ASSERT_TRUE(child.wait(status));
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), sig);
        EXPECT_TRUE(child.echoOn());
    }
}

TEST(PasswordEntryOnATerminal, CtrlCAtTheTerminal) {
    PtyChild child(promptAndReport, Session::NewWithControllingTerminal);
    ASSERT_TRUE(child.waitForOutput("Enter old password: "));
    ASSERT_TRUE(eventually([&] { return !child.echoOn(); }));
    child.type("half-typ\x03");
    int status = 0;
    ASSERT_TRUE(child.wait(status));
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGINT);
    EXPECT_TRUE(child.echoOn());
}

TEST(PasswordEntryOnATerminal, AnIgnoredSignalStaysIgnored) {
    PtyChild child([] {
        signal(SIGINT, SIG_IGN);
        return promptAndReport();
    });
    ASSERT_TRUE(child.waitForOutput("Enter old password: "));
    ASSERT_TRUE(eventually([&] { return !child.echoOn(); }));
    kill(child.pid(), SIGINT);
    child.type("a\nb\nb\n");
    int status = 0;
    ASSERT_TRUE(child.wait(status));
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(child.report(), "a|b");
}

TEST(PasswordEntryOnATerminal, StopShowsEchoContinueHidesItAndTheReadGoesOn) {
    for (const int sig : {SIGTSTP, SIGTTIN, SIGTTOU}) {
        SCOPED_TRACE(strsignal(sig));
        PtyChild child(promptAndReport);
        ASSERT_TRUE(child.waitForOutput("Enter old password: "));
        child.type("old\n");
        ASSERT_TRUE(child.waitForOutput("Enter new password: "));
        ASSERT_TRUE(eventually([&] { return !child.echoOn(); }));
        kill(child.pid(), sig);
        int status = 0;
        ASSERT_TRUE(child.wait(status, WUNTRACED));
        ASSERT_TRUE(WIFSTOPPED(status));
        EXPECT_TRUE(child.echoOn()) << "echo must be on while the job is stopped";
        kill(child.pid(), SIGCONT);
        EXPECT_TRUE(eventually([&] { return !child.echoOn(); })) << "echo off again after SIGCONT";
        child.type("new\nnew\n");
        ASSERT_TRUE(child.wait(status));
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_EQ(child.report(), "old|new");
        EXPECT_TRUE(child.echoOn());
    }
}

// What the prompts did not use is dropped from the terminal's queue when
// they end, however they end: the program that reads the terminal next (the
// shell) gets only what is typed after that.
TEST(PasswordEntryOnATerminal, WhatThePromptsDidNotUseNeverReachesTheNextReader) {
    struct Case {
        const char* label;
        std::string firstLine, secondLine, outcome;
    };
    const Case cases[] = {
        {"a passphrase with blanks", "old\n", "correct horse battery staple\n",
         "Passwords do not match."},
        {"three words and more on one line", "old new new extra words\n", "", "old|new"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        PtyChild child([] {
            std::setvbuf(stdin, nullptr, _IONBF, 0);  // as main() reads it
            std::string outcome;
            try {
                outcome = promptAndReport();
            } catch (const std::runtime_error& e) {
                outcome = e.what();
            }
            std::cout << "read on: " << std::flush;
            char line[64];
            const ssize_t n = read(STDIN_FILENO, line, sizeof line);
            return outcome + " / " + std::string(line, n > 0 ? static_cast<std::size_t>(n) : 0);
        });
        ASSERT_TRUE(child.waitForOutput("Enter old password: "));
        child.type(c.firstLine);
        if (!c.secondLine.empty()) {
            ASSERT_TRUE(child.waitForOutput("Enter new password: "));
            child.type(c.secondLine);
        }
        ASSERT_TRUE(child.waitForOutput("read on: "));
        child.type("next\n");
        int status = 0;
        ASSERT_TRUE(child.wait(status));
        EXPECT_EQ(child.report(), c.outcome + " / next\n");
    }
}

}  // namespace
