// Text for people: the monitor table with its heartbeat strip, the
// heartbeat table, check results, flip lines and one monitor in detail. The
// other forms are json_output.h's, render_html.h's and render_metrics.h's.
#ifndef VANTOREL_UPTIME_CLI_RENDER_H
#define VANTOREL_UPTIME_CLI_RENDER_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rows.h"

namespace host {

// How many heartbeats the strip shows when the width allows.
constexpr int k_strip_cells = 20;

struct output_style {
    bool colour = false;
    int width = 0;  // columns to fit tables into; 0: no limit (not a terminal)
};

enum class colour { none, green, red, yellow, dim, bold };
std::string paint(const output_style &style, std::string_view text, colour c);

// "UP", "DOWN", "PENDING"; any other value only counts as down: "DOWN (7)".
std::string status_word(int status);
colour status_colour(int status);
// "-" for a probe that measured nothing (0.0).
std::string format_latency(double latency_ms);
// Local time; "never" for 0. Short form: the time only when it is today.
std::string format_local_time(std::int64_t unix_seconds, bool short_form);
// Cut, not rounded, to two decimals: 99.999 % must not show as 100.00 %.
std::string format_percent(double percent);

// The shortest prefix length, at least 8, that tells all these ids apart.
std::size_t short_id_length(const std::vector<monitor_row> &monitors);

// The monitor table. recent[i]: the newest heartbeats of monitors[i], oldest
// first (may be empty). reasons[i]: why monitors[i] is down, "" when not
// known or not down; the REASON column is shown only when one is known.
// max_rows > 0 cuts the table to that many lines, header included. At a
// limited width whole columns are left out, always in the same order
// (cli/README.md); a value is never cut.
std::string render_monitor_table(const std::vector<monitor_row> &monitors,
                                 const std::vector<std::vector<heartbeat_row>> &recent,
                                 const output_style &style, int max_rows = 0,
                                 const std::vector<std::string> &reasons = {});

// What the REASON column shows for a monitor: the phrase of its last check
// when the monitor is down and that check is known, else "".
std::string down_reason(const monitor_row &monitor, const std::optional<detail_row> &detail);

// The UTC date "YYYY-MM-DD" of a day number (Unix seconds / 86400), and back.
std::string utc_date(std::int64_t day);
std::optional<std::int64_t> utc_day_number(const std::string &date);

// The daily counters as one character per day, the `cells` days up to
// `today` (a day number), newest right: the bar's height is the day's share
// of up heartbeats, full only for a day without a failure; '.' for no data.
std::string daily_bar(const std::vector<daily_row> &daily, std::int64_t today, std::size_t cells,
                      const output_style &style);

// One monitor in detail (show): what list shows, why its last check was up
// or down, its certificate and the 90 daily counters as a bar, newest right.
std::string render_detail(const monitor_row &monitor, const detail_row &detail, const output_style &style,
                          std::int64_t now);

std::string render_heartbeat_table(const std::vector<heartbeat_row> &heartbeats, const output_style &style);

// One line per checked monitor: verdict, latency, name, id, and the reason
// when the check gave one ("connection refused").
std::string render_check_line(const monitor_row &monitor, bool up, double latency_ms, std::size_t id_length,
                              const output_style &style, const std::string &reason = {});

// "2024-06-10 14:03:25  UP -> DOWN  Web front  (87dfb322)"
std::string render_flip_line(const monitor_row &monitor, int from_status, int to_status, std::int64_t when,
                             std::size_t id_length, const output_style &style);

// Columns a text without colour sequences takes on the screen: one per
// character.
std::size_t display_width(std::string_view text);

// How many screen lines a text of lines takes at a width (0: no limit), long
// lines wrapping. watch moves the cursor back over exactly that many.
int screen_lines(std::string_view text, int width);

}  // namespace host

#endif
