// pty.h -- a forked child on a pseudo-terminal, for tests of terminal
// handling (echo, signals typed at the keyboard).
#ifndef TESTING_TESTSUPPORT_PTY_H
#define TESTING_TESTSUPPORT_PTY_H

#include <sys/types.h>
#include <termios.h>

#include <functional>
#include <string>

namespace testsupport {

enum class Session { Same, NewWithControllingTerminal };

// A forked child whose standard input and output are the slave side of a
// pseudo-terminal (standard error stays the test's); it runs `body` and
// writes the returned text (or "exception: " and the text of one) to a
// pipe that report() reads, then exits with status 0.  `body` may exec
// instead.  The parent keeps the slave open too,
// so the terminal's attributes can be read whatever the child does.
// Session::Same puts the child in its own process group of our session (so
// a stop signal really stops it); NewWithControllingTerminal makes the pty
// its controlling terminal (so Ctrl-C typed at the master interrupts it).
// Every wait has a time-out of 10 s; a child still alive at destruction is
// killed.
class PtyChild {
  public:
    explicit PtyChild(std::function<std::string()> body, Session session = Session::Same,
                      const termios* initial = nullptr);
    ~PtyChild();
    PtyChild(const PtyChild&) = delete;
    PtyChild& operator=(const PtyChild&) = delete;

    bool echoOn() const;
    termios attributes() const;
    // Reads the child's output until it holds `text` (false after 10 s).
    bool waitForOutput(const std::string& text);
    // Reads what the child has written until nothing more comes for a
    // moment, and returns all its output so far.
    const std::string& drain();
    // Types `text` at the terminal.
    void type(const std::string& text);
    // waitFor() on the child; WUNTRACED in `options` also reports a stop.
    bool wait(int& status, int options = 0);
    // What `body` returned; waits for the child to close the pipe.
    std::string report();
    pid_t pid() const { return pid_; }
    const std::string& output() const { return output_; }

  private:
    // Reads once from the master if something comes within `ms`.
    bool readSome(int ms);

    int master_ = -1;
    int slave_ = -1;
    int result_ = -1;
    pid_t pid_ = -1;
    bool reaped_ = false;
    std::string output_;
};

}  // namespace testsupport

#endif  // TESTING_TESTSUPPORT_PTY_H
