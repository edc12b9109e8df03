#include "render_html.h"

#include <cmath>
#include <cstdio>
#include <map>

#include "render_text.h"
#include "vantorel-uptime-engine.h"

namespace host {

// status_page/status_page.html and .css, made into sources at build time.
extern const std::string_view k_status_page_html;
extern const std::string_view k_status_page_css;

namespace {

// The newest heartbeats a row shows.
constexpr std::size_t k_page_heartbeats = 30;
constexpr std::int64_t k_page_days = 90;

std::string utc_time(std::int64_t unix_seconds) {
    const std::int64_t day = unix_seconds >= 0 ? unix_seconds / 86400 : -((-unix_seconds + 86399) / 86400);
    const std::int64_t second = unix_seconds - day * 86400;
    char text[32];
    std::snprintf(text, sizeof text, " %02d:%02d:%02d", int(second / 3600), int(second / 60 % 60), int(second % 60));
    return utc_date(day) + text;
}

const char *status_class(int status) {
    switch (status) {
    case UPTIME_STATUS_UP: return "up";
    case UPTIME_STATUS_PENDING: return "pending";
    default: return "down";
    }
}

void replace(std::string &page, std::string_view marker, const std::string &text) {
    const std::size_t at = page.find(marker);
    if (at != std::string::npos) page.replace(at, marker.size(), text);
}

std::string day_bars(const monitor_view &view, std::int64_t today) {
    std::map<std::int64_t, const daily_row *> by_day;
    if (view.detail) {
        for (const daily_row &d : view.detail->daily) {
            if (const std::optional<std::int64_t> n = utc_day_number(d.day)) by_day[*n] = &d;
        }
    }
    std::int64_t up = 0, total = 0;
    std::string bars;
    for (std::int64_t day = today - k_page_days + 1; day <= today; ++day) {
        const auto it = by_day.find(day);
        if (it == by_day.end() || it->second->total <= 0) {
            bars += "<span class=\"day\" title=\"" + utc_date(day) + ": no data\"></span>";
            continue;
        }
        const daily_row &d = *it->second;
        up += d.up;
        total += d.total;
        const double percent = 100.0 * double(d.up) / double(d.total);
        const char *kind = d.up == d.total ? "up" : percent >= 95.0 ? "partial" : "down";
        bars += std::string("<span class=\"day ") + kind + "\" title=\"" + utc_date(day) + ": " +
                format_percent(percent) + " up\"></span>";
    }
    const std::string label = total == 0 ? "no data" : format_percent(100.0 * double(up) / double(total)) + " up";
    return "<div class=\"days\" role=\"img\" aria-label=\"Last 90 days: " + label + "\">" + bars + "</div>";
}

std::string heartbeat_ticks(const monitor_view &view) {
    std::string ticks;
    const std::size_t first = view.recent.size() > k_page_heartbeats ? view.recent.size() - k_page_heartbeats : 0;
    for (std::size_t i = first; i < view.recent.size(); ++i) {
        const heartbeat_row &h = view.recent[i];
        const char *kind = h.status == UPTIME_STATUS_UP ? "up" : h.status == UPTIME_STATUS_DOWN ? "down" : "other";
        ticks += std::string("<span class=\"beat ") + kind + "\" title=\"" + utc_time(h.time) + ": " +
                 html_escape(status_word(h.status)) + ", " + format_latency(h.latency_ms) + "\"></span>";
    }
    if (ticks.empty()) return "<p class=\"label\">No heartbeats yet.</p>";
    return "<p class=\"label\">Newest heartbeats</p><div class=\"beats\">" + ticks + "</div>";
}

std::string monitor_article(const monitor_view &view, const page_options &options, std::int64_t today) {
    const monitor_row &m = view.monitor;
    std::string out = std::string("<article class=\"monitor ") + status_class(m.status) + "\" data-monitor-id=\"" +
                      html_escape(m.id) + "\">\n";
    out += "<div class=\"heading\"><h2 class=\"name\">" + html_escape(m.name) + "</h2>";
    out += "<span class=\"status\">" + html_escape(status_word(m.status)) + "</span></div>\n";
    out += "<dl class=\"facts\">";
    out += "<div><dt>Type </dt><dd>" + html_escape(type_label(m.type)) + "</dd></div>";
    out += "<div><dt>Latency </dt><dd>" + html_escape(m.status == UPTIME_STATUS_PENDING ? "-" : format_latency(m.latency_ms)) +
           "</dd></div>";
    out += "<div><dt>90-day uptime </dt><dd>" + (has_heartbeats(view) ? format_percent(m.uptime_90d) : std::string("-")) +
           "</dd></div>";
    if (m.last_check != 0) out += "<div><dt>Last check </dt><dd>" + utc_time(m.last_check) + "</dd></div>";
    out += "</dl>\n";
    if (options.show_targets) out += "<p class=\"target\">" + html_escape(m.target) + "</p>\n";
    if (m.status != UPTIME_STATUS_UP && m.status != UPTIME_STATUS_PENDING && view.detail) {
        std::string why;
        if (view.detail->last_check && !view.detail->last_check->up) why = reason_phrase(*view.detail->last_check);
        if (view.detail->down_since) {
            why += std::string(why.empty() ? "Down" : ", down") + " since " + utc_time(*view.detail->down_since);
        }
        if (!why.empty()) out += "<p class=\"reason\">" + html_escape(why) + "</p>\n";
    }
    out += day_bars(view, today) + "\n";
    out += heartbeat_ticks(view) + "\n";
    return out + "</article>\n";
}

}  // namespace

std::string html_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string render_status_page(const std::vector<monitor_view> &monitors, const page_options &options) {
    const std::int64_t today = options.now >= 0 ? options.now / 86400 : -((-options.now + 86399) / 86400);
    std::size_t up = 0, down = 0, pending = 0;
    std::string articles;
    for (const monitor_view &view : monitors) {
        const int status = view.monitor.status;
        (status == UPTIME_STATUS_UP ? up : status == UPTIME_STATUS_PENDING ? pending : down) += 1;
        articles += monitor_article(view, options, today);
    }
    if (monitors.empty()) articles = "<p class=\"empty\">No monitors yet.</p>\n";
    std::string summary = std::to_string(monitors.size()) + (monitors.size() == 1 ? " monitor" : " monitors") + ": " +
                          std::to_string(up) + " up, " + std::to_string(down) + " down";
    if (pending > 0) summary += ", " + std::to_string(pending) + " pending";
    std::string page(k_status_page_html);
    replace(page, "{{STYLE}}", std::string(k_status_page_css));
    // The title twice: the document's and the heading.
    replace(page, "{{TITLE}}", html_escape(options.title));
    replace(page, "{{TITLE}}", html_escape(options.title));
    replace(page, "{{SUMMARY}}", html_escape(summary));
    replace(page, "{{UPDATED}}", utc_time(options.now));
    replace(page, "{{MONITORS}}", articles);
    return page;
}

}  // namespace host
