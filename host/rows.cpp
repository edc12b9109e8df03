#include "rows.h"

#include <algorithm>
#include <charconv>
#include <mutex>
#include <utility>

#include <rapidjson/document.h>

#include "json_input.h"

#include "command.h"
#include "vantorel-uptime-engine.h"

namespace host {

namespace {

constexpr std::size_t k_min_prefix = 4;

std::string text_member(const rapidjson::Value &object, const char *name) {
    auto it = object.FindMember(name);
    if (it == object.MemberEnd() || !it->value.IsString()) return {};
    return std::string(it->value.GetString(), it->value.GetStringLength());
}

double number_member(const rapidjson::Value &object, const char *name, double fallback) {
    auto it = object.FindMember(name);
    return it != object.MemberEnd() && it->value.IsNumber() ? it->value.GetDouble() : fallback;
}

std::int64_t integer_member(const rapidjson::Value &object, const char *name, std::int64_t fallback) {
    auto it = object.FindMember(name);
    return it != object.MemberEnd() && it->value.IsInt64() ? it->value.GetInt64() : fallback;
}

int int_member(const rapidjson::Value &object, const char *name, int fallback) {
    auto it = object.FindMember(name);
    return it != object.MemberEnd() && it->value.IsInt() ? it->value.GetInt() : fallback;
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) {
    if (prefix.size() > text.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (lower(text[i]) != lower(prefix[i])) return false;
    }
    return true;
}

// One lock per report function: its text is the engine's until the next
// call of that function from any thread.
std::mutex s_list_report_lock;
std::mutex s_heartbeat_report_lock;
std::mutex s_detail_report_lock;

}  // namespace

std::string list_report() {
    std::lock_guard<std::mutex> guard(s_list_report_lock);
    return uptime_monitors_list_json();
}

std::string heartbeats_report(const std::string &id, int limit) {
    std::lock_guard<std::mutex> guard(s_heartbeat_report_lock);
    return uptime_get_heartbeats_json(id.c_str(), limit);
}

std::optional<std::string> detail_report(const std::string &id, std::string *error) {
    std::lock_guard<std::mutex> guard(s_detail_report_lock);
    const char *text = uptime_monitor_detail_json(id.c_str());
    if (text == nullptr) {
        if (error != nullptr) *error = uptime_last_error();
        return std::nullopt;
    }
    return std::string(text);
}

std::vector<monitor_row> read_monitors() {
    std::lock_guard<std::mutex> guard(s_list_report_lock);
    return parse_monitors(uptime_monitors_list_json());
}

std::vector<monitor_row> parse_monitors(const char *json) {
    std::vector<monitor_row> rows;
    if (json == nullptr) return rows;
    rapidjson::Document doc;
    if (!parse_json(json, doc) || !doc.IsArray()) return rows;
    for (const rapidjson::Value &element : doc.GetArray()) {
        if (!element.IsObject()) continue;
        monitor_row row;
        row.id = text_member(element, "id");
        row.name = text_member(element, "name");
        row.type = int_member(element, "type", 0);
        row.type_name = text_member(element, "type_name");
        row.target = text_member(element, "target");
        row.interval_sec = int_member(element, "interval_sec", 60);
        row.status = int_member(element, "status", 2);
        row.latency_ms = number_member(element, "latency_ms", 0.0);
        row.last_check = integer_member(element, "last_check", 0);
        row.uptime_90d = number_member(element, "uptime_90d", 100.0);
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<heartbeat_row> read_heartbeats(const std::string &id, int limit) {
    std::lock_guard<std::mutex> guard(s_heartbeat_report_lock);
    return parse_heartbeats(uptime_get_heartbeats_json(id.c_str(), limit));
}

std::vector<heartbeat_row> parse_heartbeats(const char *json) {
    std::vector<heartbeat_row> rows;
    if (json == nullptr) return rows;
    rapidjson::Document doc;
    if (!parse_json(json, doc) || !doc.IsArray()) return rows;
    for (const rapidjson::Value &element : doc.GetArray()) {
        if (!element.IsObject()) continue;
        rows.push_back({integer_member(element, "time", 0), int_member(element, "status", 0),
                        number_member(element, "latency_ms", 0.0)});
    }
    return rows;
}

std::vector<monitor_view> read_views(int recent) {
    std::vector<monitor_view> views;
    for (monitor_row &m : read_monitors()) {
        monitor_view view;
        view.detail = read_detail(m.id);
        view.recent = read_heartbeats(m.id, recent);
        view.monitor = std::move(m);
        views.push_back(std::move(view));
    }
    return views;
}

bool has_heartbeats(const monitor_view &view) {
    if (!view.recent.empty()) return true;
    return view.detail && (!view.detail->daily.empty() || view.detail->last_up || view.detail->down_since);
}

std::optional<detail_row> read_detail(const std::string &id) {
    std::lock_guard<std::mutex> guard(s_detail_report_lock);
    return parse_detail(uptime_monitor_detail_json(id.c_str()));
}

namespace {

std::optional<double> optional_number(const rapidjson::Value &object, const char *name) {
    auto it = object.FindMember(name);
    if (it == object.MemberEnd() || !it->value.IsNumber()) return std::nullopt;
    return it->value.GetDouble();
}

std::optional<std::int64_t> optional_integer(const rapidjson::Value &object, const char *name) {
    auto it = object.FindMember(name);
    if (it == object.MemberEnd() || !it->value.IsInt64()) return std::nullopt;
    return it->value.GetInt64();
}

}  // namespace

std::optional<detail_row> parse_detail(const char *json) {
    if (json == nullptr) return std::nullopt;
    rapidjson::Document doc;
    if (!parse_json(json, doc) || !doc.IsObject()) return std::nullopt;
    detail_row row;
    row.id = text_member(doc, "id");
    row.consecutive_failures = integer_member(doc, "consecutive_failures", 0);
    row.down_since = optional_integer(doc, "down_since");
    row.last_up = optional_integer(doc, "last_up");
    if (auto it = std::as_const(doc).FindMember("last_check"); it != std::as_const(doc).MemberEnd() && it->value.IsObject()) {
        const rapidjson::Value &c = it->value;
        last_check_row check;
        check.time = integer_member(c, "time", 0);
        check.up = int_member(c, "up", 0) == 1;
        check.reason = text_member(c, "reason");
        check.message = text_member(c, "message");
        check.address = text_member(c, "address");
        if (auto s = optional_integer(c, "http_status")) check.http_status = int(*s);
        if (auto r = optional_integer(c, "redirects")) check.redirects = int(*r);
        if (auto p = c.FindMember("phases_ms"); p != c.MemberEnd() && p->value.IsObject()) {
            check.resolve_ms = optional_number(p->value, "resolve");
            check.connect_ms = optional_number(p->value, "connect");
            check.tls_ms = optional_number(p->value, "tls");
            check.first_byte_ms = optional_number(p->value, "first_byte");
        }
        if (auto cert = c.FindMember("certificate"); cert != c.MemberEnd() && cert->value.IsObject()) {
            check.has_certificate = true;
            check.not_after = integer_member(cert->value, "not_after", 0);
            check.days_left = integer_member(cert->value, "days_left", 0);
            check.subject = text_member(cert->value, "subject");
            check.issuer = text_member(cert->value, "issuer");
        }
        row.last_check = std::move(check);
    }
    if (auto it = std::as_const(doc).FindMember("daily"); it != std::as_const(doc).MemberEnd() && it->value.IsArray()) {
        for (const rapidjson::Value &d : it->value.GetArray()) {
            if (!d.IsObject()) continue;
            row.daily.push_back({text_member(d, "day"), integer_member(d, "up", 0), integer_member(d, "total", 0)});
        }
    }
    return row;
}

// Whether the TCP probe can contact a target at all, by its own rule:
// host:port split at the last ':', or [host] and [host]:port; the port a
// number from 1 to 65535 or a service name (a letter, then letters, digits,
// '-', '_' or '.'), 80 when absent. The probe finds any other target down
// without contacting anything, for ever: a plain mistake.
bool tcp_target_is_valid(std::string_view target) {
    std::optional<std::string_view> port;
    if (!target.empty() && target.front() == '[' && target.find(']') != std::string_view::npos) {
        const std::string_view after = target.substr(target.find(']') + 1);
        if (after.empty()) return true;
        if (after.front() != ':') return false;
        port = after.substr(1);
    } else if (const std::size_t colon = target.rfind(':'); colon != std::string_view::npos) {
        port = target.substr(colon + 1);
    }
    if (!port) return true;
    const auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
    const auto is_letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (!port->empty() && std::all_of(port->begin(), port->end(), is_digit)) {
        long value = 0;  // leading zeros allowed, as the probe allows them
        for (const char c : *port) {
            value = value * 10 + (c - '0');
            if (value > 65535) return false;
        }
        return value >= 1;
    }
    return !port->empty() && is_letter(port->front()) && std::all_of(port->begin(), port->end(), [&](char c) {
        return is_letter(c) || is_digit(c) || c == '-' || c == '_' || c == '.';
    });
}

std::optional<int> parse_status(std::string_view text) {
    std::string word;
    for (char c : text) word += lower(c);
    if (word == "up") return UPTIME_STATUS_UP;
    if (word == "down") return UPTIME_STATUS_DOWN;
    if (word == "pending") return UPTIME_STATUS_PENDING;
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::string reason_phrase(const last_check_row &check) {
    const std::string &r = check.reason;
    if (r == "ok") return {};
    if (r == "invalid_target") return "invalid target";
    if (r == "resolve_failed") return "name did not resolve";
    if (r == "connect_refused") return "connection refused";
    if (r == "connect_timeout") return "connect timed out";
    if (r == "connect_failed") return "cannot connect";
    if (r == "tls_failed") return "TLS handshake failed";
    if (r == "request_failed") return "no complete response";
    if (r == "response_timeout") return "response timed out";
    if (r == "http_status") return check.http_status ? "HTTP " + std::to_string(*check.http_status) : "HTTP status";
    if (r == "too_many_redirects") return "too many redirects";
    if (r == "insecure_redirect") return "redirected from https to http";
    if (r == "icmp_timeout") return "no echo reply";
    if (r == "icmp_unavailable") return "no ICMP here; name lookup only";
    return r;  // a reason a newer engine added: its own name
}

const monitor_row *find_monitor(const std::vector<monitor_row> &monitors, std::string_view id) {
    for (const monitor_row &row : monitors) {
        if (row.id == id) return &row;
    }
    return nullptr;
}

std::optional<std::string> resolve_monitor_id(std::string_view command, std::string_view given,
                                              const std::vector<monitor_row> &monitors, int &status) {
    if (find_monitor(monitors, given) != nullptr) return std::string(given);
    if (given.size() < k_min_prefix) {
        status = usage_error(command, "id '" + std::string(given) + "' is too short: give at least " +
                                          std::to_string(k_min_prefix) + " characters");
        return std::nullopt;
    }
    std::vector<const monitor_row *> matches;
    for (const monitor_row &row : monitors) {
        if (starts_with_ignoring_case(row.id, given)) matches.push_back(&row);
    }
    if (matches.size() == 1) return matches.front()->id;
    if (matches.empty()) {
        status = command_error(command, "Monitor not found: '" + std::string(given) + "'");
        return std::nullopt;
    }
    std::string message = "ambiguous id '" + std::string(given) + "' matches " +
                          std::to_string(matches.size()) + " monitors:";
    for (const monitor_row *row : matches) message += "\n  " + row->id + "  " + row->name;
    status = command_error(command, message);
    return std::nullopt;
}

std::string type_label(int type) {
    switch (type) {
    case UPTIME_MONITOR_HTTP: return "http";
    case UPTIME_MONITOR_TCP_PORT: return "tcp";
    case UPTIME_MONITOR_DNS: return "dns";
    case UPTIME_MONITOR_PING: return "ping";
    default: return std::to_string(type);
    }
}

std::optional<int> parse_type(std::string_view text) {
    std::string name;
    for (char c : text) name += lower(c);
    if (name == "http") return UPTIME_MONITOR_HTTP;
    if (name == "tcp") return UPTIME_MONITOR_TCP_PORT;
    if (name == "dns") return UPTIME_MONITOR_DNS;
    if (name == "ping") return UPTIME_MONITOR_PING;
    // The engine stores any number but can only check these four.
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    if (value < UPTIME_MONITOR_HTTP || value > UPTIME_MONITOR_PING) return std::nullopt;
    return value;
}

}  // namespace host
