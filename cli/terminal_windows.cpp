// Windows implementation of terminal.h: the console API and a console
// control handler in place of POSIX signals.
#include <windows.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <io.h>

#include "terminal.h"

namespace cli {
namespace {

std::atomic<bool> s_stop{false};

HANDLE console_output() { return GetStdHandle(STD_OUTPUT_HANDLE); }

// Ctrl-C, Ctrl-Break and closing the console ask for a stop; a second one
// falls through to the default handler, which ends the process.
BOOL WINAPI on_console_event(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            if (s_stop.exchange(true)) return FALSE;
            return TRUE;
        case CTRL_CLOSE_EVENT:
            // Windows ends the process as soon as this handler returns (or
            // after about 5 s): hold it while the main thread saves and
            // exits, which ends this thread too.
            s_stop.store(true);
            Sleep(10000);
            return TRUE;
        default:
            return FALSE;
    }
}

void on_terminate(int) {
    if (s_stop.exchange(true)) std::_Exit(1);
    std::signal(SIGTERM, on_terminate);
}

}  // namespace

bool stdout_is_terminal() { return _isatty(_fileno(stdout)) != 0; }

terminal_size stdout_terminal_size() {
    terminal_size size;
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (stdout_is_terminal() && GetConsoleScreenBufferInfo(console_output(), &info)) {
        size.columns = info.srWindow.Right - info.srWindow.Left + 1;
        size.rows = info.srWindow.Bottom - info.srWindow.Top + 1;
    }
    return size;
}

bool enable_terminal_sequences() {
    HANDLE out = console_output();
    DWORD mode = 0;
    if (!GetConsoleMode(out, &mode)) return false;
    return SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

void catch_stop_signals() {
    SetConsoleCtrlHandler(on_console_event, TRUE);
    std::signal(SIGTERM, on_terminate);
}

bool stop_requested() { return s_stop.load(); }

void ignore_broken_pipe() {}  // a closed pipe makes writes fail here; there is no signal

}  // namespace cli
