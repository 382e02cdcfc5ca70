// password_entry.cpp -- terminal echo, password reading and the prompts.
#include "password_entry.h"

#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <iostream>
#include <locale>
#include <stdexcept>

#include "base/secret.h"
#include "params.h"

// Async-signal-safe: the signal handlers below call it too.
void echo(bool on) {
    termios attributes{};
    // Without a terminal there is nothing to change; the attributes are only
    // written back when they could be read, so garbage never reaches the tty.
    if (tcgetattr(STDIN_FILENO, &attributes) != 0) {
        return;
    }
    if (on) {
        attributes.c_lflag |= ECHO;
    } else {
        attributes.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    }
    tcsetattr(STDIN_FILENO, TCSANOW, &attributes);
}

namespace {

// Signals whose default action ends the process: echo comes back first.
// SIGPIPE is not among them: the tool ignores it (see main.cpp).
constexpr std::array<int, 12> kFatalSignals = {SIGHUP,    SIGINT,  SIGQUIT, SIGTERM,
                                               SIGALRM,   SIGUSR1, SIGUSR2, SIGABRT,
                                               SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ};
// Signals whose default action stops the process: echo is on while it is
// stopped and off again when it continues.
constexpr std::array<int, 3> kStopSignals = {SIGTSTP, SIGTTIN, SIGTTOU};

// Echo back on, then die by the same signal: the default disposition is put
// back and the signal raised again; it stays blocked until this handler
// returns and then ends the process, so the parent sees death by the signal.
// Whatever was typed of the password is dropped from the terminal's queue
// first, so that it never reaches the program that reads the terminal next.
extern "C" void echoOnAndDie(int signal) {
    const int savedErrno = errno;
    tcflush(STDIN_FILENO, TCIFLUSH);
    echo(true);
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    raise(signal);
    errno = savedErrno;
}

// Ctrl-Z, or a read or terminal change from the background: echo on, stop
// as the default action would, and on SIGCONT switch echo off again and let
// the interrupted read go on (SA_RESTART).  The other signals of ours stay
// blocked meanwhile, so the terminal calls here never stop the process
// themselves (a blocked SIGTTOU lets a background process change the tty).
extern "C" void echoOnAndStop(int signal) {
    const int savedErrno = errno;
    echo(true);
    struct sigaction fallback {};
    struct sigaction ours {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, &ours);
    raise(signal);  // pending: blocked while this handler runs
    sigset_t stop;
    sigset_t previous;
    sigemptyset(&stop);
    sigaddset(&stop, signal);
    sigprocmask(SIG_UNBLOCK, &stop, &previous);  // the process stops here until SIGCONT
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    sigaction(signal, &ours, nullptr);
    echo(false);
    errno = savedErrno;
}

// Echo off for the life of the object, with the handlers above in place of
// the default dispositions; echo on again and the dispositions back on every
// way out, exceptions included.  A signal that is ignored or already handled
// by someone else is left alone.
class EchoOffWhileReading {
  public:
    EchoOffWhileReading() {
        // Without a terminal there is no echo to guard (passwords piped in).
        if (isatty(STDIN_FILENO) == 0) {
            return;
        }
        active_ = true;
        for (int signal : kFatalSignals) {
            take(signal, echoOnAndDie);
        }
        for (int signal : kStopSignals) {
            take(signal, echoOnAndStop);
        }
        echo(false);
    }
    ~EchoOffWhileReading() {
        if (!active_) {
            return;
        }
        echo(true);
        for (std::size_t i = 0; i < count_; ++i) {
            sigaction(saved_[i].signal, &saved_[i].previous, nullptr);
        }
    }
    EchoOffWhileReading(const EchoOffWhileReading&) = delete;
    EchoOffWhileReading& operator=(const EchoOffWhileReading&) = delete;

  private:
    struct Saved {
        int signal;
        struct sigaction previous;
    };

    void take(int signal, void (*handler)(int)) {
        struct sigaction current {};
        if (sigaction(signal, nullptr, &current) != 0 || (current.sa_flags & SA_SIGINFO) != 0 ||
            current.sa_handler != SIG_DFL) {
            return;
        }
        struct sigaction ours {};
        ours.sa_handler = handler;
        ours.sa_flags = SA_RESTART;
        // One handler at a time: a second signal waits until the first is done.
        sigemptyset(&ours.sa_mask);
        for (int other : kFatalSignals) {
            sigaddset(&ours.sa_mask, other);
        }
        for (int other : kStopSignals) {
            sigaddset(&ours.sa_mask, other);
        }
        if (sigaction(signal, &ours, &saved_[count_].previous) == 0) {
            saved_[count_].signal = signal;
            ++count_;
        }
    }

    std::array<Saved, kFatalSignals.size() + kStopSignals.size()> saved_{};
    std::size_t count_ = 0;
    bool active_ = false;
};

// On a terminal, drops whatever is still queued in its input when the
// object goes, on every way out: the rest of a line the prompts did not use
// (a passphrase with blanks, a mistyped extra word) must not reach the
// program that reads the terminal next, typically the shell.  Only what was
// already typed goes; nothing waits for more.  A pipe or file is left as it
// is: what follows the three words belongs to whoever reads on.
class DropTypeAhead {
  public:
    DropTypeAhead() = default;
    ~DropTypeAhead() {
        if (isatty(STDIN_FILENO) != 0) {
            tcflush(STDIN_FILENO, TCIFLUSH);
        }
    }
    DropTypeAhead(const DropTypeAhead&) = delete;
    DropTypeAhead& operator=(const DropTypeAhead&) = delete;
};

// Room for the longest valid password on the heap from the start: the word
// then never sits in a string's inline buffer, whose bytes a move would leave
// behind, and never reallocates unless it is longer than any valid password.
constexpr std::size_t kWordReserve = 2 * kMaxPasswordLength;

void appendSecret(std::string& word, char c) {
    if (word.size() == word.capacity()) {
        std::string bigger;
        bigger.reserve(2 * word.capacity());
        bigger.append(word);
        base::wipe(word);
        word.swap(bigger);
    }
    word.push_back(c);
}

// Formatted extraction of one word, done here so that the characters go
// straight into a buffer of ours that can be wiped, not through the
// library's own temporary buffer.  Same rules as operator>>: the sentry
// flushes the tied standard output (the prompt) and skips white space.
std::string readWord(std::istream& in) {
    std::string word;
    word.reserve(kWordReserve);
    const std::istream::sentry ready(in);
    if (!ready) {
        return word;
    }
    const auto& types = std::use_facet<std::ctype<char>>(in.getloc());
    std::streambuf* source = in.rdbuf();
    auto c = source->sgetc();
    while (!std::istream::traits_type::eq_int_type(c, std::istream::traits_type::eof()) &&
           !types.is(std::ctype_base::space, std::istream::traits_type::to_char_type(c))) {
        appendSecret(word, std::istream::traits_type::to_char_type(c));
        c = source->snextc();
    }
    if (std::istream::traits_type::eq_int_type(c, std::istream::traits_type::eof())) {
        in.setstate(std::ios_base::eofbit);
    }
    if (word.empty()) {
        in.setstate(std::ios_base::failbit);
    }
    return word;
}

void endLine() { std::cout << std::endl; }

}  // namespace

std::string read_password() {
    const EchoOffWhileReading echoOff;
    return readWord(std::cin);
}

void prompt_passwords(ParamData& data) {
    // Standard input is unbuffered (main.cpp): what the prompts did not use
    // is still in the terminal's queue, not in a buffer of the standard
    // library, so dropping the queue drops all of it.
    const DropTypeAhead dropTypeAhead;
    std::cout << "Enter old password: ";
    data.old_password = read_password();
    // Enter was not echoed: move the cursor on ourselves.
    endLine();
    std::cout << "Enter new password: ";
    data.new_password = read_password();
    endLine();
    std::cout << "Enter new password again: ";
    std::string confirmation = read_password();
    const base::WipeOnExit wipeConfirmation(confirmation);
    endLine();
    if (confirmation != data.new_password) {
        throw std::runtime_error("Passwords do not match.");
    }
}
