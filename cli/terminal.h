// The CLI's only contact with the operating system beyond standard C++:
// terminal detection and the stop signals. terminal_posix.cpp implements it
// for POSIX systems; another system gets its own terminal_<os>.cpp, chosen
// by cli/CMakeLists.txt, and nothing else in cli/ changes.
#ifndef VANTOREL_UPTIME_CLI_TERMINAL_H
#define VANTOREL_UPTIME_CLI_TERMINAL_H

namespace cli {

struct terminal_size {
    int columns = 0;  // 0 when unknown
    int rows = 0;     // 0 when unknown
};

// True when standard output is an interactive terminal.
bool stdout_is_terminal();

// The size of the terminal behind standard output; zeros when it is not a
// terminal or the size cannot be read.
terminal_size stdout_terminal_size();

// Makes the terminal interpret ANSI colour and cursor sequences. Call once
// before writing any; returns false when it cannot, and then the caller
// writes plain text.
bool enable_terminal_sequences();

// From now on SIGINT (Ctrl-C), SIGTERM and SIGHUP (the terminal or the ssh
// session closed) only raise a flag that stop_requested() reads, so the
// caller can finish running checks and save. The first signal restores the
// default action: a second one ends the process at once, for a user who
// does not want to wait. On Windows Ctrl-C, Ctrl-Break and closing the
// console do the same.
void catch_stop_signals();
bool stop_requested();

// A reader that went away (`vantorel-uptime list | head -1`) must not kill
// the process before the engine saves; writes fail instead and the caller
// sees ferror(stdout).
void ignore_broken_pipe();

}  // namespace cli

#endif
