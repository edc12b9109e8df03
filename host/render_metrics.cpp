#include "render_metrics.h"

#include <charconv>
#include <cmath>

#include "render_text.h"
#include "vantorel-uptime-engine.h"

namespace host {

namespace {

std::string number(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    char text[64];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    return ec == std::errc() ? std::string(text, end) : std::to_string(value);
}

class exposition {
public:
    explicit exposition(const metrics_options &options) : options_(options) {}

    void family(std::string_view name, std::string_view type, std::string_view help) {
        out_ += "# HELP ";
        out_ += name;
        out_ += ' ';
        out_ += help;
        out_ += "\n# TYPE ";
        out_ += name;
        out_ += ' ';
        out_ += type;
        out_ += '\n';
    }

    // One sample of a monitor, with its labels and any extra ones.
    void sample(std::string_view name, const monitor_row &m, const std::string &value, std::string_view extra = {}) {
        out_ += name;
        out_ += "{id=\"" + metric_label_escape(m.id) + "\",name=\"" + metric_label_escape(m.name) + "\",type=\"" +
                metric_label_escape(type_label(m.type)) + "\"";
        if (options_.show_targets) out_ += ",target=\"" + metric_label_escape(m.target) + "\"";
        out_ += extra;
        out_ += "} " + value + "\n";
    }

    void plain(std::string_view line) {
        out_ += line;
        out_ += '\n';
    }

    std::string text() && { return std::move(out_); }

private:
    const metrics_options &options_;
    std::string out_;
};

}  // namespace

std::string metric_label_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        case '\n': out += "\\n"; break;
        default: out += c;
        }
    }
    return out;
}

std::string render_metrics(const std::vector<monitor_view> &monitors, const metrics_options &options) {
    exposition e(options);
    e.family("vantorel_uptime_build_info", "gauge", "The version of vantorel-uptime that serves these metrics.");
    e.plain("vantorel_uptime_build_info{version=\"" + metric_label_escape(options.version) + "\"} 1");
    e.family("vantorel_uptime_monitors", "gauge", "Monitors in the store.");
    e.plain("vantorel_uptime_monitors " + std::to_string(monitors.size()));

    e.family("vantorel_uptime_monitor_up", "gauge",
             "Whether the monitor's last result was up (1) or down (0); no sample while it is pending.");
    for (const monitor_view &v : monitors) {
        if (v.monitor.status == UPTIME_STATUS_PENDING) continue;
        e.sample("vantorel_uptime_monitor_up", v.monitor, v.monitor.status == UPTIME_STATUS_UP ? "1" : "0");
    }
    e.family("vantorel_uptime_monitor_latency_seconds", "gauge",
             "Latency of the monitor's last result, in seconds (0 when the check failed before it measured anything).");
    for (const monitor_view &v : monitors) {
        if (v.monitor.status == UPTIME_STATUS_PENDING) continue;
        e.sample("vantorel_uptime_monitor_latency_seconds", v.monitor, number(v.monitor.latency_ms / 1000.0));
    }
    e.family("vantorel_uptime_monitor_uptime_ratio", "gauge",
             "Share of up heartbeats over the last 90 days, from 0 to 1; no sample without heartbeats.");
    for (const monitor_view &v : monitors) {
        if (!has_heartbeats(v)) continue;
        e.sample("vantorel_uptime_monitor_uptime_ratio", v.monitor, number(v.monitor.uptime_90d / 100.0));
    }
    e.family("vantorel_uptime_monitor_last_check_timestamp_seconds", "gauge",
             "When the monitor was last checked, in Unix seconds; no sample before its first check.");
    for (const monitor_view &v : monitors) {
        if (v.monitor.last_check == 0) continue;
        e.sample("vantorel_uptime_monitor_last_check_timestamp_seconds", v.monitor, std::to_string(v.monitor.last_check));
    }
    e.family("vantorel_uptime_monitor_consecutive_failures", "gauge",
             "Failures recorded since the monitor's newest up heartbeat.");
    for (const monitor_view &v : monitors) {
        if (!v.detail) continue;
        e.sample("vantorel_uptime_monitor_consecutive_failures", v.monitor, std::to_string(v.detail->consecutive_failures));
    }
    e.family("vantorel_uptime_monitor_certificate_expiry_timestamp_seconds", "gauge",
             "When the HTTPS certificate the last check saw expires, in Unix seconds.");
    for (const monitor_view &v : monitors) {
        if (!v.detail || !v.detail->last_check || !v.detail->last_check->has_certificate) continue;
        e.sample("vantorel_uptime_monitor_certificate_expiry_timestamp_seconds", v.monitor,
                 std::to_string(v.detail->last_check->not_after));
    }
    e.family("vantorel_uptime_checks_total", "counter", "Checks this process made, by result.");
    for (const monitor_view &v : monitors) {
        e.sample("vantorel_uptime_checks_total", v.monitor, std::to_string(v.checks_up), ",result=\"up\"");
        e.sample("vantorel_uptime_checks_total", v.monitor, std::to_string(v.checks_down), ",result=\"down\"");
    }
    return std::move(e).text();
}

}  // namespace host
