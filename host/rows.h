// The rows both front ends read from the engine's reports: monitors,
// heartbeats and the detail of a monitor, parsed from the reports' JSON
// (read from the engine, or from the service's API, which serves the same
// texts). The renderers (tables, JSON, HTML, metrics) are all fed from these.
#ifndef VANTOREL_UPTIME_HOST_ROWS_H
#define VANTOREL_UPTIME_HOST_ROWS_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// One element of uptime_monitors_list_json().
struct monitor_row {
    std::string id;
    std::string name;
    int type = 0;
    std::string type_name;
    std::string target;
    int interval_sec = 60;
    int status = 2;
    double latency_ms = 0.0;
    std::int64_t last_check = 0;  // Unix seconds; 0: never checked
    double uptime_90d = 100.0;
};

// One element of uptime_get_heartbeats_json().
struct heartbeat_row {
    std::int64_t time = 0;
    int status = 0;
    double latency_ms = 0.0;
};

// The last check of uptime_monitor_detail_json(): why it was up or down.
struct last_check_row {
    std::int64_t time = 0;
    bool up = false;
    std::string reason;   // "ok", "connect_refused", ... (the header's closed set)
    std::string message;  // the OS's, TLS library's or HTTP layer's words; "" for ok
    std::string address;  // "" when none
    std::optional<int> http_status;
    std::optional<int> redirects;
    std::optional<double> resolve_ms, connect_ms, tls_ms, first_byte_ms;
    bool has_certificate = false;
    std::int64_t not_after = 0;
    std::int64_t days_left = 0;
    std::string subject, issuer;
};

// One non-empty daily counter: day is the UTC date "YYYY-MM-DD".
struct daily_row {
    std::string day;
    std::int64_t up = 0;
    std::int64_t total = 0;
};

// uptime_monitor_detail_json() of one monitor.
struct detail_row {
    std::string id;
    std::optional<last_check_row> last_check;  // none before the engine's first check
    std::int64_t consecutive_failures = 0;
    std::optional<std::int64_t> down_since, last_up;
    std::vector<daily_row> daily;  // oldest first
};

// One monitor with everything the page and the metrics show of it.
struct monitor_view {
    monitor_row monitor;
    std::optional<detail_row> detail;
    std::vector<heartbeat_row> recent;  // the newest heartbeats, oldest first
    // Checks this process made of it since it started (serve counts them).
    std::int64_t checks_up = 0;
    std::int64_t checks_down = 0;
};

// Every monitor with its detail and its `recent` newest heartbeats.
std::vector<monitor_view> read_views(int recent);

// Whether a monitor holds any heartbeat: the engine reports 100 % for one
// that has none, which is no news.
bool has_heartbeats(const monitor_view &view);

// The reports copied out at once: the engine's text is only valid until the
// next call of the same report function, so each read holds a lock of ours
// for that function while it copies; threads of this process may read at
// the same time.
std::vector<monitor_row> read_monitors();
// The reports' texts themselves, copied under the same locks.
std::string list_report();
std::string heartbeats_report(const std::string &id, int limit);
// Nothing, with the engine's error text in *error (may be null), when the
// engine refuses.
std::optional<std::string> detail_report(const std::string &id, std::string *error);
std::vector<heartbeat_row> read_heartbeats(const std::string &id, int limit);
// Nothing when the monitor is not found.
std::optional<detail_row> read_detail(const std::string &id);
// The reports' texts read into rows; empty (or nothing) when the text is not
// what the engine writes.
std::vector<monitor_row> parse_monitors(const char *json);
std::vector<heartbeat_row> parse_heartbeats(const char *json);
std::optional<detail_row> parse_detail(const char *json);

// Whether the TCP probe can contact a target at all, by its own rule: the
// probe finds any other target down without contacting anything, for ever,
// so both front ends refuse it as a plain mistake.
bool tcp_target_is_valid(std::string_view target);
// A heartbeat's status: up, down, pending (any case) or a whole number.
std::optional<int> parse_status(std::string_view text);

// The reason of a last check in a few words for people: "connection
// refused", "HTTP 503"; "" for "ok". The same words on every platform (the
// message beside it is the OS's own).
std::string reason_phrase(const last_check_row &check);

// Finds the monitor a user means by an id or a unique prefix of at least
// 4 characters (case does not matter). Otherwise prints why on stderr,
// prefixed by the command, stores the exit status and returns nothing.
std::optional<std::string> resolve_monitor_id(std::string_view command, std::string_view given,
                                              const std::vector<monitor_row> &monitors, int &status);

const monitor_row *find_monitor(const std::vector<monitor_row> &monitors, std::string_view id);

// "http", "tcp", "dns", "ping", or the number of any other type.
std::string type_label(int type);
// The four types by name (any case) or number (0 to 3); nothing otherwise.
std::optional<int> parse_type(std::string_view text);

}  // namespace host

#endif
