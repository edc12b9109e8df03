#include "terminal.h"

#include <csignal>

#include <sys/ioctl.h>
#include <unistd.h>

namespace cli {

namespace {

volatile std::sig_atomic_t s_stop_signal = 0;

extern "C" void record_stop_signal(int signal_number) {
    s_stop_signal = signal_number;
}

}  // namespace

bool stdout_is_terminal() {
    return isatty(STDOUT_FILENO) == 1;
}

terminal_size stdout_terminal_size() {
    terminal_size size;
    struct winsize ws {};
    if (isatty(STDOUT_FILENO) == 1 && ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0) {
        size.columns = ws.ws_col;
        size.rows = ws.ws_row;
    }
    return size;
}

bool enable_terminal_sequences() {
    return true;
}

void catch_stop_signals() {
    struct sigaction action {};
    action.sa_handler = record_stop_signal;
    sigemptyset(&action.sa_mask);
    // SA_RESETHAND: the second Ctrl-C is not caught, see terminal.h.
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

bool stop_requested() {
    return s_stop_signal != 0;
}

void ignore_broken_pipe() {
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace cli
