// How the command line's output looks on this terminal: --color, NO_COLOR,
// TERM and the width, through terminal.h.
#include <cstdlib>
#include <string_view>

#include "cli.h"
#include "render_text.h"
#include "terminal.h"

namespace cli {

namespace {
colour_mode s_colour_mode = colour_mode::automatic;

bool terminal_is_dumb() {
    const char *term = std::getenv("TERM");
    return term != nullptr && std::string_view(term) == "dumb";
}
}  // namespace

void set_colour_mode(colour_mode mode) {
    s_colour_mode = mode;
}

output_style style_for_stdout() {
    output_style style;
    const bool terminal = stdout_is_terminal();
    if (terminal) style.width = stdout_terminal_size().columns;
    switch (s_colour_mode) {
    case colour_mode::never: break;
    case colour_mode::always:
        // Where the console cannot be switched to sequences, they are
        // written all the same: the user asked for them.
        if (terminal) enable_terminal_sequences();
        style.colour = true;
        break;
    case colour_mode::automatic: {
        const char *no_colour = std::getenv("NO_COLOR");
        style.colour = terminal && (no_colour == nullptr || *no_colour == '\0') && !terminal_is_dumb() &&
                       enable_terminal_sequences();
        break;
    }
    }
    return style;
}

bool stdout_takes_cursor_moves() {
    return stdout_is_terminal() && !terminal_is_dumb() && enable_terminal_sequences();
}

}  // namespace cli
