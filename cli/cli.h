// The commands of vantorel-uptime, as its table of commands (main.cpp) runs
// them.
#ifndef VANTOREL_UPTIME_CLI_H
#define VANTOREL_UPTIME_CLI_H

#include "command.h"
#include "render_text.h"

namespace cli {

using namespace host;

// --color: auto colours a terminal unless NO_COLOR is set (not empty) or
// TERM is "dumb"; always and never do what they say.
enum class colour_mode { automatic, always, never };
void set_colour_mode(colour_mode mode);

// Colours as --color says; fitted to the terminal's width.
output_style style_for_stdout();

// True when standard output is a terminal that follows cursor movements, so
// that watch can redraw its table in place (not with TERM=dumb).
bool stdout_takes_cursor_moves();

int run_add(const invocation &inv);
int run_delete(const invocation &inv);
int run_list(const invocation &inv);
int run_show(const invocation &inv);
int run_check(const invocation &inv);
int run_heartbeats(const invocation &inv);
int run_record(const invocation &inv);
int run_uptime(const invocation &inv);
int run_webhook(const invocation &inv);
int run_watch(const invocation &inv);

}  // namespace cli

#endif
