#include "render_text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <set>

#include "vantorel-uptime-engine.h"

namespace host {

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

cell plain_cell(std::string text, bool right = false) {
    std::size_t width = display_width(text);
    return {std::move(text), width, right};
}

cell painted_cell(const output_style &style, const std::string &text, colour c, bool right = false) {
    return {paint(style, text, c), display_width(text), right};
}

std::string render_rows(const std::vector<std::vector<cell>> &rows) {
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
        // An empty last cell (a REASON that is not known) leaves no blanks.
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out += line;
        out += '\n';
    }
    return out;
}

// A table's columns: each has a header and one cell per row. Columns can be
// left out whole to fit a width.
struct column {
    cell header;
    std::vector<cell> cells;
    bool shown = true;

    std::size_t width() const {
        std::size_t w = header.width;
        for (const cell &c : cells) w = std::max(w, c.width);
        return w;
    }
};

std::size_t table_width(const std::vector<column> &columns) {
    std::size_t total = 0, shown = 0;
    for (const column &c : columns) {
        if (!c.shown) continue;
        total += c.width();
        ++shown;
    }
    return shown == 0 ? 0 : total + 2 * (shown - 1);
}

std::string render_columns(const std::vector<column> &columns, std::size_t row_count,
                           const std::string &trailer = {}) {
    std::vector<std::vector<cell>> rows(row_count + 1);
    for (const column &c : columns) {
        if (!c.shown) continue;
        rows[0].push_back(c.header);
        for (std::size_t r = 0; r < row_count; ++r) rows[r + 1].push_back(c.cells[r]);
    }
    return render_rows(rows) + trailer;
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

int screen_lines(std::string_view text, int width) {
    int lines = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        const std::size_t columns = visible_width(text.substr(start, end - start));
        lines += width > 0 && columns > 0 ? int((columns + std::size_t(width) - 1) / std::size_t(width)) : 1;
        start = end + 1;
    }
    return lines;
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
                                 const output_style &style, int max_rows,
                                 const std::vector<std::string> &reasons) {
    if (monitors.empty()) return "no monitors\n";
    const std::size_t id_length = short_id_length(monitors);

    std::size_t rows = monitors.size();
    std::string trailer;
    if (max_rows > 0 && rows + 1 > std::size_t(max_rows)) {
        // Room for the header, the rows that fit and the line that says how
        // many did not.
        rows = max_rows > 2 ? std::size_t(max_rows) - 2 : 0;
        trailer = "... " + std::to_string(monitors.size() - rows) + " more\n";
    }

    enum { id_col, name_col, type_col, target_col, status_col, latency_col, checked_col, uptime_col, strip_col,
           reason_col };
    const auto heading = [&](const char *text, bool right = false) {
        return painted_cell(style, text, colour::bold, right);
    };
    std::vector<column> columns = {
        {heading("ID"), {}},          {heading("NAME"), {}},           {heading("TYPE"), {}},
        {heading("TARGET"), {}},      {heading("STATUS"), {}},         {heading("LATENCY", true), {}},
        {heading("LAST CHECK"), {}},  {heading("UPTIME 90D", true), {}}, {heading("HEARTBEATS"), {}},
        {heading("REASON"), {}},
    };
    const std::vector<heartbeat_row> none;
    const auto beats_of = [&](std::size_t i) -> const std::vector<heartbeat_row> & {
        return i < recent.size() ? recent[i] : none;
    };
    for (std::size_t i = 0; i < rows; ++i) {
        const monitor_row &m = monitors[i];
        const std::vector<heartbeat_row> &beats = beats_of(i);
        columns[id_col].cells.push_back(plain_cell(m.id.substr(0, id_length)));
        columns[name_col].cells.push_back(plain_cell(m.name));
        columns[type_col].cells.push_back(plain_cell(type_label(m.type)));
        columns[target_col].cells.push_back(plain_cell(m.target));
        columns[status_col].cells.push_back(painted_cell(style, status_word(m.status), status_colour(m.status)));
        columns[latency_col].cells.push_back(plain_cell(format_latency(m.latency_ms), true));
        columns[checked_col].cells.push_back(plain_cell(format_local_time(m.last_check, true)));
        // The engine reports 100 % for a monitor without heartbeats; that is no news.
        columns[uptime_col].cells.push_back(
            beats.empty() ? plain_cell("-", true)
                          : painted_cell(style, format_percent(m.uptime_90d), uptime_colour(m.uptime_90d), true));
        columns[strip_col].cells.push_back({heartbeat_strip(beats, k_strip_cells, style), k_strip_cells, false});
        const std::string reason = i < reasons.size() ? reasons[i] : std::string();
        columns[reason_col].cells.push_back(painted_cell(style, reason, colour::red));
    }
    // Only a process that checked (watch, or a running service) knows why:
    // the engine keeps the last check in memory. No column of blanks.
    columns[reason_col].shown =
        std::any_of(columns[reason_col].cells.begin(), columns[reason_col].cells.end(),
                    [](const cell &c) { return c.width > 0; });

    // Fitting a width: columns go whole, in this order, until the table
    // fits; NAME and STATUS always stay. A line too long even then wraps.
    // Before LAST CHECK goes, the strip shows fewer heartbeats (not fewer
    // than its heading is wide).
    const std::size_t width = style.width > 0 ? std::size_t(style.width) : 0;
    const auto fits = [&] { return width == 0 || table_width(columns) <= width; };
    const auto drop = [&](int index) {
        if (!fits()) columns[std::size_t(index)].shown = false;
    };
    drop(target_col);
    drop(type_col);
    const auto set_strip_cells = [&](std::size_t cells) {
        for (std::size_t i = 0; i < rows; ++i) {
            columns[strip_col].cells[i] = {heartbeat_strip(beats_of(i), cells, style), cells, false};
        }
    };
    const std::size_t full_strip = k_strip_cells, least_strip = columns[strip_col].header.width;
    std::size_t strip_cells = full_strip;
    if (!fits()) {
        const std::size_t excess = table_width(columns) - width;
        strip_cells = full_strip > excess + least_strip ? full_strip - excess : least_strip;
        set_strip_cells(strip_cells);
    }
    for (int index : {checked_col, strip_col, reason_col, uptime_col, latency_col, id_col}) drop(index);
    // Room that dropping LAST CHECK left goes back to the strip.
    if (columns[strip_col].shown && strip_cells < full_strip && table_width(columns) < width) {
        set_strip_cells(std::min(full_strip, strip_cells + (width - table_width(columns))));
    }
    return render_columns(columns, rows, trailer);
}

std::string render_heartbeat_table(const std::vector<heartbeat_row> &heartbeats, const output_style &style) {
    if (heartbeats.empty()) return "no heartbeats\n";
    std::vector<column> columns = {{painted_cell(style, "TIME", colour::bold), {}},
                                   {painted_cell(style, "STATUS", colour::bold), {}},
                                   {painted_cell(style, "LATENCY", colour::bold, true), {}}};
    for (const heartbeat_row &h : heartbeats) {
        columns[0].cells.push_back(plain_cell(format_local_time(h.time, false)));
        columns[1].cells.push_back(painted_cell(style, status_word(h.status), status_colour(h.status)));
        columns[2].cells.push_back(plain_cell(format_latency(h.latency_ms), true));
    }
    if (style.width > 0 && table_width(columns) > std::size_t(style.width)) columns[2].shown = false;
    return render_columns(columns, heartbeats.size());
}

std::string render_check_line(const monitor_row &monitor, bool up, double latency_ms, std::size_t id_length,
                              const output_style &style, const std::string &reason) {
    const int status = up ? UPTIME_STATUS_UP : UPTIME_STATUS_DOWN;
    std::string word = status_word(status);
    std::string latency = format_latency(latency_ms);
    std::string line = paint(style, word, status_colour(status)) + std::string(6 - word.size(), ' ');
    line += std::string(latency.size() < 10 ? 10 - latency.size() : 0, ' ') + latency + "  ";
    line += monitor.name + "  (" + monitor.id.substr(0, id_length) + ")";
    if (!reason.empty()) line += "  " + paint(style, reason, up ? colour::yellow : colour::red);
    return line + "\n";
}

std::string down_reason(const monitor_row &monitor, const std::optional<detail_row> &detail) {
    if (monitor.status == UPTIME_STATUS_UP || monitor.status == UPTIME_STATUS_PENDING) return {};
    if (!detail || !detail->last_check || detail->last_check->up) return {};
    return reason_phrase(*detail->last_check);
}

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + std::int64_t(doe) - 719468;
}

std::optional<std::int64_t> day_number(const std::string &date) {
    int y = 0;
    unsigned m = 0, d = 0;
    if (std::sscanf(date.c_str(), "%d-%u-%u", &y, &m, &d) != 3 || m < 1 || m > 12 || d < 1 || d > 31) {
        return std::nullopt;
    }
    return days_from_civil(y, m, d);
}

}  // namespace

std::string utc_date(std::int64_t day) {
    const std::int64_t z = day + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t m = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t y = yoe + era * 400 + (m <= 2);
    char text[96];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld", static_cast<long long>(y), static_cast<long long>(m),
                  static_cast<long long>(d));
    return text;
}

std::optional<std::int64_t> utc_day_number(const std::string &date) {
    return day_number(date);
}

namespace {

std::string phase(const char *name, const std::optional<double> &ms) {
    return std::string(name) + " " + (ms ? format_latency(*ms == 0.0 ? 0.001 : *ms) : "-");
}

}  // namespace

std::string daily_bar(const std::vector<daily_row> &daily, std::int64_t today, std::size_t cells,
                      const output_style &style) {
    std::string bar;
    static const char *const k_levels[] = {"\u2581", "\u2582", "\u2583", "\u2584",
                                           "\u2585", "\u2586", "\u2587"};
    for (std::int64_t day = today - std::int64_t(cells) + 1; day <= today; ++day) {
        const daily_row *found = nullptr;
        for (const daily_row &d : daily) {
            if (day_number(d.day) == day) found = &d;
        }
        if (found == nullptr || found->total <= 0) {
            bar += paint(style, ".", colour::dim);
            continue;
        }
        const double ratio = double(found->up) / double(found->total);
        // The full bar only for a day without a failure; every other day
        // at most one level lower, so a bad minute is visible.
        const std::size_t level = found->up == found->total ? 6 : std::size_t(std::floor(ratio * 5.999));
        bar += paint(style, k_levels[level], ratio >= 1.0 ? colour::green : ratio >= 0.95 ? colour::yellow : colour::red);
    }
    return bar;
}

std::string render_detail(const monitor_row &m, const detail_row &detail, const output_style &style,
                          std::int64_t now) {
    std::vector<std::vector<cell>> rows;
    const auto row = [&](const std::string &key, cell value) {
        rows.push_back({painted_cell(style, key, colour::bold), std::move(value)});
    };
    row("name", plain_cell(m.name));
    row("id", plain_cell(m.id));
    row("type", plain_cell(type_label(m.type)));
    row("target", plain_cell(m.target));
    row("interval", plain_cell(std::to_string(m.interval_sec) + " s"));
    std::string status = status_word(m.status);
    cell status_cell = painted_cell(style, status, status_colour(m.status));
    if (detail.down_since && m.status != UPTIME_STATUS_UP) {
        const std::string since = "  since " + format_local_time(*detail.down_since, false) + ", " +
                                  std::to_string(detail.consecutive_failures) + " failure" +
                                  (detail.consecutive_failures == 1 ? "" : "s") + " in a row";
        status_cell.text += since;
        status_cell.width += display_width(since);
    }
    row("status", status_cell);
    row("last up", plain_cell(detail.last_up ? format_local_time(*detail.last_up, false) : "never"));
    row("latency", plain_cell(format_latency(m.latency_ms)));
    const bool has_beats = !detail.daily.empty() || detail.last_up || detail.down_since;
    row("uptime 90d", has_beats ? painted_cell(style, format_percent(m.uptime_90d), uptime_colour(m.uptime_90d))
                                : plain_cell("-"));
    if (!detail.last_check) {
        row("last check", plain_cell("not known: the engine keeps it while it runs (watch, serve)"));
    } else {
        const last_check_row &c = *detail.last_check;
        const int verdict = c.up ? UPTIME_STATUS_UP : UPTIME_STATUS_DOWN;
        std::string text = format_local_time(c.time, false) + "  ";
        cell check_cell = plain_cell(text);
        const std::string word = status_word(verdict);
        check_cell.text += paint(style, word, status_colour(verdict));
        check_cell.width += display_width(word);
        const std::string phrase = reason_phrase(c);
        if (!phrase.empty()) {
            check_cell.text += "  " + paint(style, phrase, c.up ? colour::yellow : colour::red);
            check_cell.width += 2 + display_width(phrase);
        }
        row("last check", check_cell);
        row("  reason", plain_cell(c.reason));
        if (!c.message.empty()) row("  message", plain_cell(c.message));
        row("  address", plain_cell(c.address.empty() ? "-" : c.address));
        if (c.http_status || c.redirects) {
            std::string http = c.http_status ? "status " + std::to_string(*c.http_status) : "no status";
            if (c.redirects) http += ", " + std::to_string(*c.redirects) + " redirect" + (*c.redirects == 1 ? "" : "s");
            row("  http", plain_cell(http));
        }
        row("  phases", plain_cell(phase("resolve", c.resolve_ms) + ", " + phase("connect", c.connect_ms) + ", " +
                                   phase("tls", c.tls_ms) + ", " + phase("first byte", c.first_byte_ms)));
        if (c.has_certificate) {
            row("certificate", plain_cell(c.subject));
            row("  issuer", plain_cell(c.issuer));
            const std::string left = c.days_left < 0 ? "expired " + std::to_string(-c.days_left) + " days ago"
                                                     : std::to_string(c.days_left) + " days left";
            row("  expires", painted_cell(style, format_local_time(c.not_after, false) + " (" + left + ")",
                                          c.days_left < 14 ? colour::red : colour::none));
        }
    }
    // The 90 days end today (UTC); a narrow terminal shows the newest that fit.
    const std::int64_t today = now >= 0 ? now / 86400 : -((-now + 86399) / 86400);
    const std::size_t key_width = 13;
    std::size_t cells = 90;
    if (style.width > 0 && std::size_t(style.width) < key_width + cells) {
        cells = std::size_t(style.width) > key_width + 10 ? std::size_t(style.width) - key_width : 10;
    }
    row("daily", {daily_bar(detail.daily, today, cells, style), cells, false});
    row("", plain_cell(utc_date(today - std::int64_t(cells) + 1) + " to " + utc_date(today) + " (UTC), newest right"));
    return render_rows(rows);
}

std::string render_flip_line(const monitor_row &monitor, int from_status, int to_status, std::int64_t when,
                             std::size_t id_length, const output_style &style) {
    std::string line = format_local_time(when, false) + "  " +
                       paint(style, status_word(from_status), status_colour(from_status)) + " -> " +
                       paint(style, status_word(to_status), status_colour(to_status)) + "  " + monitor.name +
                       "  (" + monitor.id.substr(0, id_length) + ")";
    return line + "\n";
}

}  // namespace host
