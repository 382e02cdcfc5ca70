// test_support.h -- scratch files, standard input from a pipe, child
// processes with a hang time-out: shared by the tool's tests.
#ifndef TOOL_TESTS_TEST_SUPPORT_H
#define TOOL_TESTS_TEST_SUPPORT_H

#include <sys/types.h>
#include <termios.h>

#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// What the tool prints: the prompts with their line ends, the options
// description as the option library lays it out, and the usage text.
extern const std::string kPrompts;
extern const std::string kOptions;
extern const std::string kUsage;

// A file under the temp directory with the given content; removed with the
// object.
class TempFile {
  public:
    explicit TempFile(const std::string& content = "");
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& path() const { return path_; }
    std::string read() const;

  private:
    std::string path_;
};

// Standard input (fd 0, stdin and std::cin) reads `text` and then end of
// input for the life of the object; the previous standard input comes back
// afterwards with all stream state and buffered input forgotten.
class StdinFrom {
  public:
    explicit StdinFrom(const std::string& text);
    ~StdinFrom();
    StdinFrom(const StdinFrom&) = delete;
    StdinFrom& operator=(const StdinFrom&) = delete;

  private:
    int saved_ = -1;
};

// waitpid with a deadline.  Returns true and the status when the child
// changed state in time; otherwise kills it (SIGKILL), reaps it and returns
// false.  `options` as for waitpid (for example WUNTRACED).
bool waitFor(pid_t pid, int& status, int timeoutMs, int options = 0);

struct RunResult {
    bool finished = false;  // false: killed after the time-out
    int status = 0;         // wait status
    std::string out;
    std::string err;
    int exitCode() const;  // -1 unless it exited normally
};

// Runs `argv` with `input` on its standard input (then end of input),
// collecting standard output and standard error; extra environment entries
// "NAME=value" are added to ours.  Killed after `timeoutMs`.
RunResult run(const std::vector<std::string>& argv, const std::string& input,
              const std::vector<std::string>& env = {}, int timeoutMs = 20000);

// Polls `condition` every few milliseconds for up to 10 s.
bool eventually(const std::function<bool()>& condition);

enum class Session { Same, NewWithControllingTerminal };

// A forked child whose standard input and output are the slave side of a
// pseudo-terminal; it runs `body` and writes the returned text (or
// "exception: " and the text of one) to a pipe that report() reads.  The
// parent keeps the slave open too, so the terminal's attributes can be read
// whatever the child does.  Session::Same puts the child in its own process
// group of our session (so a stop signal really stops it);
// NewWithControllingTerminal makes the pty its controlling terminal (so
// Ctrl-C typed at the master interrupts it).  Every wait has a time-out; a
// child still alive at destruction is killed.
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
    void type(const std::string& text);
    // waitFor() on the child; WUNTRACED in `options` also reports a stop.
    bool wait(int& status, int options = 0);
    std::string report();
    pid_t pid() const { return pid_; }
    const std::string& output() const { return output_; }

  private:
    int master_ = -1;
    int slave_ = -1;
    int result_ = -1;
    pid_t pid_ = -1;
    bool reaped_ = false;
    std::string output_;
};

}  // namespace testsupport

#endif  // TOOL_TESTS_TEST_SUPPORT_H
