#include "render.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <set>

#include "terminal.h"
#include "vantorel-uptime-engine.h"

namespace cli {

namespace {

// One table cell: its text (possibly coloured) and how many columns it takes.
struct cell {
    std::string text;
    std::size_t width = 0;
    bool right = false;
};

bool is_continuation_byte(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Cuts to `columns` code points, the last one an ellipsis when anything was cut.
std::string truncate_text(std::string_view text, std::size_t columns) {
    if (display_width(text) <= columns) return std::string(text);
    if (columns == 0) return {};
    std::size_t kept = 0;
    std::size_t end = 0;
    while (end < text.size()) {
        if (!is_continuation_byte(text[end])) {
            if (kept == columns - 1) break;
            ++kept;
        }
        ++end;
    }
    return std::string(text.substr(0, end)) + "\u2026";
}

cell plain_cell(std::string text, bool right = false) {
    std::size_t width = display_width(text);
    return {std::move(text), width, right};
}

cell painted_cell(const output_style &style, const std::string &text, colour c, bool right = false) {
    return {paint(style, text, c), display_width(text), right};
}

std::string render_rows(const std::vector<std::vector<cell>> &rows, const output_style &style) {
    std::vector<std::size_t> widths;
    for (const auto &row : rows) {
        widths.resize(std::max(widths.size(), row.size()), 0);
        for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].width);
    }
    std::string out;
    for (const auto &row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            const std::size_t pad = widths[c] - row[c].width;
            const bool last = c + 1 == row.size();
            if (row[c].right) line.append(pad, ' ');
            line += row[c].text;
            if (!row[c].right && !last) line.append(pad, ' ');
            if (!last) line += "  ";
        }
        out += fit_line(line, style.width, style.colour);
        out += '\n';
    }
    return out;
}

std::string heartbeat_strip(const std::vector<heartbeat_row> &recent, std::size_t cells,
                            const output_style &style) {
    std::string strip;
    const std::size_t shown = std::min(cells, recent.size());
    if (cells > shown) strip += paint(style, std::string(cells - shown, '.'), colour::dim);
    // Runs of one kind share one colour sequence.
    std::string run;
    colour run_colour = colour::none;
    for (std::size_t i = recent.size() - shown; i < recent.size(); ++i) {
        const int status = recent[i].status;
        const char *glyph = status == UPTIME_STATUS_UP     ? "\u2587"
                            : status == UPTIME_STATUS_DOWN ? "\u2581"
                                                           : "\u2584";
        if (status_colour(status) != run_colour && !run.empty()) {
            strip += paint(style, run, run_colour);
            run.clear();
        }
        run_colour = status_colour(status);
        run += glyph;
    }
    return strip + paint(style, run, run_colour);
}

colour uptime_colour(double percent) {
    if (percent >= 99.0) return colour::green;
    if (percent >= 95.0) return colour::yellow;
    return colour::red;
}

// Colour sequences take no column: ESC [ parameters, then one final byte.
std::size_t skip_sequence(std::string_view line, std::size_t i) {
    std::size_t end = i + 2;
    while (end < line.size() && !(line[end] >= '@' && line[end] <= '~')) ++end;
    return std::min(end + 1, line.size());
}

std::size_t visible_width(std::string_view line) {
    std::size_t columns = 0;
    for (std::size_t i = 0; i < line.size();) {
        if (line[i] == '\x1b') {
            i = skip_sequence(line, i);
            continue;
        }
        if (!is_continuation_byte(line[i])) ++columns;
        ++i;
    }
    return columns;
}

}  // namespace

std::size_t display_width(std::string_view text) {
    return std::size_t(std::count_if(text.begin(), text.end(), [](char c) { return !is_continuation_byte(c); }));
}

output_style style_for_stdout() {
    output_style style;
    if (!stdout_is_terminal()) return style;
    const char *no_colour = std::getenv("NO_COLOR");
    style.colour = (no_colour == nullptr || *no_colour == '\0') && enable_terminal_sequences();
    style.width = stdout_terminal_size().columns;
    return style;
}

std::string paint(const output_style &style, std::string_view text, colour c) {
    if (!style.colour || c == colour::none) return std::string(text);
    const char *code = "";
    switch (c) {
    case colour::green: code = "\x1b[32m"; break;
    case colour::red: code = "\x1b[31m"; break;
    case colour::yellow: code = "\x1b[33m"; break;
    case colour::dim: code = "\x1b[2m"; break;
    case colour::bold: code = "\x1b[1m"; break;
    case colour::none: break;
    }
    return code + std::string(text) + "\x1b[0m";
}

std::string status_word(int status) {
    switch (status) {
    case UPTIME_STATUS_UP: return "UP";
    case UPTIME_STATUS_DOWN: return "DOWN";
    case UPTIME_STATUS_PENDING: return "PENDING";
    default: return "DOWN (" + std::to_string(status) + ")";
    }
}

colour status_colour(int status) {
    switch (status) {
    case UPTIME_STATUS_UP: return colour::green;
    case UPTIME_STATUS_PENDING: return colour::yellow;
    default: return colour::red;
    }
}

std::string format_latency(double latency_ms) {
    if (latency_ms == 0.0 || !std::isfinite(latency_ms)) return "-";
    const double magnitude = std::fabs(latency_ms);
    if (magnitude < 0.01) return "<0.01 ms";
    char text[64];
    std::snprintf(text, sizeof text, magnitude < 1.0 ? "%.2f ms" : magnitude < 100.0 ? "%.1f ms" : "%.0f ms",
                  latency_ms);
    return text;
}

std::string format_local_time(std::int64_t unix_seconds, bool short_form) {
    if (unix_seconds == 0) return "never";
    // std::localtime shares one buffer; output is built from several threads' results.
    static std::mutex s_localtime_lock;
    std::lock_guard<std::mutex> guard(s_localtime_lock);
    const std::time_t now = std::time(nullptr);
    std::tm today = *std::localtime(&now);
    const std::time_t t = static_cast<std::time_t>(unix_seconds);
    const std::tm *when = std::localtime(&t);
    if (when == nullptr) return std::to_string(unix_seconds);
    const bool is_today =
        when->tm_year == today.tm_year && when->tm_mon == today.tm_mon && when->tm_mday == today.tm_mday;
    const char *format = !short_form ? "%Y-%m-%d %H:%M:%S" : is_today ? "%H:%M:%S" : "%Y-%m-%d %H:%M";
    char text[64];
    if (std::strftime(text, sizeof text, format, when) == 0) return std::to_string(unix_seconds);
    return text;
}

std::string format_percent(double percent) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f%%", std::floor(percent * 100.0 + 1e-7) / 100.0);
    return text;
}

std::size_t short_id_length(const std::vector<monitor_row> &monitors) {
    for (std::size_t length = 8; length < UPTIME_ID_BUFFER_SIZE - 1; ++length) {
        std::set<std::string> seen;
        bool distinct = true;
        for (const monitor_row &m : monitors) distinct = distinct && seen.insert(m.id.substr(0, length)).second;
        if (distinct) return length;
    }
    return UPTIME_ID_BUFFER_SIZE - 1;
}

std::string render_monitor_table(const std::vector<monitor_row> &monitors,
                                 const std::vector<std::vector<heartbeat_row>> &recent,
                                 const output_style &style, int max_rows) {
    if (monitors.empty()) return "no monitors\n";
    const std::size_t id_length = short_id_length(monitors);

    // On a terminal the table must fit one screen width, or a redraw in place
    // would move the wrong number of lines: narrow the target first, then
    // the name, then the strip, before fit_line cuts whatever is left.
    std::size_t name_width = 4, target_width = 6;
    for (const monitor_row &m : monitors) {
        name_width = std::max(name_width, display_width(m.name));
        target_width = std::max(target_width, display_width(m.target));
    }
    std::size_t strip_cells = k_strip_cells;
    if (style.width > 0) {
        // The other columns as wide as their widest text, and 8 gaps of 2.
        std::size_t type_width = 4, status_width = 6, latency_width = 7, checked_width = 10;
        for (const monitor_row &m : monitors) {
            type_width = std::max(type_width, type_label(m.type).size());
            status_width = std::max(status_width, status_word(m.status).size());
            latency_width = std::max(latency_width, display_width(format_latency(m.latency_ms)));
            checked_width = std::max(checked_width, format_local_time(m.last_check, true).size());
        }
        const std::size_t fixed = id_length + type_width + status_width + latency_width + checked_width + 10 + 16;
        const std::size_t available = std::size_t(style.width) > fixed ? std::size_t(style.width) - fixed : 0;
        auto shrink = [available](std::size_t &width, std::size_t minimum, std::size_t others) {
            if (width + others <= available) return;
            const std::size_t room = available > others ? available - others : 0;
            width = std::max(minimum, std::min(width, room));
        };
        shrink(target_width, 12, name_width + strip_cells);
        shrink(strip_cells, 10, name_width + target_width);
        shrink(name_width, 8, target_width + strip_cells);
        shrink(strip_cells, 5, name_width + target_width);
    }

    std::vector<std::vector<cell>> rows;
    rows.push_back({painted_cell(style, "ID", colour::bold), painted_cell(style, "NAME", colour::bold),
                    painted_cell(style, "TYPE", colour::bold), painted_cell(style, "TARGET", colour::bold),
                    painted_cell(style, "STATUS", colour::bold),
                    painted_cell(style, "LATENCY", colour::bold, true),
                    painted_cell(style, "LAST CHECK", colour::bold),
                    painted_cell(style, "UPTIME 90D", colour::bold, true),
                    painted_cell(style, "HEARTBEATS", colour::bold)});
    for (std::size_t i = 0; i < monitors.size(); ++i) {
        if (max_rows > 0 && rows.size() + 1 >= std::size_t(max_rows) && i + 1 < monitors.size()) {
            rows.push_back({plain_cell("... " + std::to_string(monitors.size() - i) + " more")});
            break;
        }
        const monitor_row &m = monitors[i];
        const std::vector<heartbeat_row> none;
        const std::vector<heartbeat_row> &beats = i < recent.size() ? recent[i] : none;
        // The engine reports 100 % for a monitor without heartbeats; that is no news.
        cell uptime = beats.empty() ? plain_cell("-", true)
                                    : painted_cell(style, format_percent(m.uptime_90d), uptime_colour(m.uptime_90d), true);
        rows.push_back({plain_cell(m.id.substr(0, id_length)), plain_cell(truncate_text(m.name, name_width)),
                        plain_cell(type_label(m.type)), plain_cell(truncate_text(m.target, target_width)),
                        painted_cell(style, status_word(m.status), status_colour(m.status)),
                        plain_cell(format_latency(m.latency_ms), true),
                        plain_cell(format_local_time(m.last_check, true)), std::move(uptime),
                        {heartbeat_strip(beats, strip_cells, style), strip_cells, false}});
    }
    return render_rows(rows, style);
}

std::string render_heartbeat_table(const std::vector<heartbeat_row> &heartbeats, const output_style &style) {
    if (heartbeats.empty()) return "no heartbeats\n";
    std::vector<std::vector<cell>> rows;
    rows.push_back({painted_cell(style, "TIME", colour::bold), painted_cell(style, "STATUS", colour::bold),
                    painted_cell(style, "LATENCY", colour::bold, true)});
    for (const heartbeat_row &h : heartbeats) {
        rows.push_back({plain_cell(format_local_time(h.time, false)),
                        painted_cell(style, status_word(h.status), status_colour(h.status)),
                        plain_cell(format_latency(h.latency_ms), true)});
    }
    return render_rows(rows, style);
}

std::string render_check_line(const monitor_row &monitor, bool up, double latency_ms, std::size_t id_length,
                              const output_style &style) {
    const int status = up ? UPTIME_STATUS_UP : UPTIME_STATUS_DOWN;
    std::string word = status_word(status);
    std::string latency = format_latency(latency_ms);
    std::string line = paint(style, word, status_colour(status)) + std::string(6 - word.size(), ' ');
    line += std::string(latency.size() < 10 ? 10 - latency.size() : 0, ' ') + latency + "  ";
    line += monitor.name + "  (" + monitor.id.substr(0, id_length) + ")";
    return fit_line(line, style.width, style.colour) + "\n";
}

std::string render_flip_line(const monitor_row &monitor, int from_status, int to_status, std::int64_t when,
                             std::size_t id_length, const output_style &style) {
    std::string line = format_local_time(when, false) + "  " +
                       paint(style, status_word(from_status), status_colour(from_status)) + " -> " +
                       paint(style, status_word(to_status), status_colour(to_status)) + "  " + monitor.name +
                       "  (" + monitor.id.substr(0, id_length) + ")";
    return fit_line(line, style.width, style.colour) + "\n";
}

std::string fit_line(std::string_view line, int width, bool colour) {
    if (width <= 0 || visible_width(line) <= std::size_t(width)) return std::string(line);
    std::string out;
    std::size_t columns = 0;
    for (std::size_t i = 0; i < line.size();) {
        if (line[i] == '\x1b') {
            const std::size_t end = skip_sequence(line, i);
            out.append(line.substr(i, end - i));
            i = end;
            continue;
        }
        if (!is_continuation_byte(line[i])) {
            if (columns == std::size_t(width)) break;
            ++columns;
        }
        out += line[i++];
    }
    if (colour) out += "\x1b[0m";
    return out;
}

}  // namespace cli
