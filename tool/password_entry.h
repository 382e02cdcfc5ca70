// password_entry.h -- asking for the passwords on the terminal.
//
// Passwords never come from the command line.  The tool asks for the old
// password once and for the new one twice, with the terminal's echo switched
// off while each is typed.  Only the ECHO flag of the terminal on standard
// input is ever changed.  When standard input is not a terminal there is no
// echo to switch: terminal and signals are left alone and the words are read
// all the same, so passwords can be piped in.
#ifndef TOOL_PASSWORD_ENTRY_H
#define TOOL_PASSWORD_ENTRY_H

#include <string>

struct ParamData;

// Sets or clears ECHO on the terminal on standard input, at once (TCSANOW).
// Failures are ignored.
void echo(bool on);

// Reads one word from standard input with echo off, as formatted string
// extraction does: leading white space is skipped, the word ends before the
// next white-space character (which stays unread) or at end of input.  The
// result is empty at end of input.  Echo is switched on afterwards, even if
// it was off before, and also when the read throws.
//
// While the word is read on a terminal, SIGHUP, SIGINT, SIGQUIT, SIGTERM,
// SIGALRM, SIGUSR1, SIGUSR2, SIGABRT, SIGVTALRM, SIGPROF, SIGXCPU and SIGXFSZ
// first drop what was typed, switch echo back on and then take their usual
// effect (the process dies by that signal, as the shell expects).  SIGTSTP,
// SIGTTIN and SIGTTOU switch echo on before the process stops and off again
// when it continues, and the read goes on.  A signal that was ignored or
// handled by someone else when the read began is left alone.
std::string read_password();

// Prompts on standard output for the old password, the new password and the
// new password again, and fills `data.old_password` and `data.new_password`.
// Throws std::runtime_error("Passwords do not match.") when the two entries
// of the new password differ; there is no second attempt.  Empty entries (end
// of input) are accepted here; validation reports them later.  Words on one
// line are separate answers.  On a terminal, whatever is still queued when
// the sequence ends, on every path (three answers read, a mismatch, end of
// input, an error), is dropped without waiting for more; from a pipe or file
// nothing beyond the three words is read.
void prompt_passwords(ParamData& data);

#endif  // TOOL_PASSWORD_ENTRY_H
