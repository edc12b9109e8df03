#include "routes.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <string_view>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "json_input.h"
#include "json_output.h"
#include "render_html.h"
#include "render_metrics.h"
#include "rows.h"
#include "vantorel-uptime-engine.h"

namespace service {

using namespace host;

void check_counters::count(const std::string &id, bool up) {
    std::lock_guard<std::mutex> guard(lock_);
    auto &c = counts_[id];
    (up ? c.first : c.second) += 1;
}

std::pair<std::int64_t, std::int64_t> check_counters::of(const std::string &id) const {
    std::lock_guard<std::mutex> guard(lock_);
    const auto it = counts_.find(id);
    return it == counts_.end() ? std::pair<std::int64_t, std::int64_t>{0, 0} : it->second;
}

std::int64_t steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

namespace {

// A heartbeat more than this far ahead of the clock is a mistake, as in the
// command line's record.
constexpr std::int64_t k_max_seconds_ahead = 24 * 60 * 60;
// The newest heartbeats a row of the page shows.
constexpr int k_page_heartbeats = 30;

std::int64_t unix_now() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

http_response json_response(int status, std::string body) {
    return {status, "application/json", std::move(body) + "\n", {}};
}

http_response error_response(int status, std::string_view message) {
    return json_response(status, json_object().add("error", message).text());
}

http_response no_content() {
    return {204, "application/json", "", {}};
}

// --- Who may do what ---------------------------------------------------------------

bool equals_in_constant_time(std::string_view a, std::string_view b) {
    unsigned char differ = a.size() == b.size() ? 0 : 1;
    const std::string_view &longer = a.size() >= b.size() ? a : b;
    for (std::size_t i = 0; i < longer.size(); ++i) {
        const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
        const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
        differ |= static_cast<unsigned char>(x ^ y);
    }
    return differ == 0;
}

bool has_token(const service_context &context, const http_request &request) {
    std::string_view header = request.authorization;
    constexpr std::string_view scheme = "bearer ";
    if (header.size() <= scheme.size()) return false;
    for (std::size_t i = 0; i < scheme.size(); ++i) {
        if (char(std::tolower(static_cast<unsigned char>(header[i]))) != scheme[i]) return false;
    }
    header.remove_prefix(scheme.size());
    while (!header.empty() && header.front() == ' ') header.remove_prefix(1);
    while (!header.empty() && header.back() == ' ') header.remove_suffix(1);
    return !context.token.empty() && equals_in_constant_time(header, context.token);
}

// A Host header that names this machine by a loopback name. A page of
// another site that a browser was made to send here (its name rebound to
// 127.0.0.1) carries that site's name instead.
bool names_loopback(std::string_view host) {
    if (host.empty()) return true;  // HTTP/1.0 without Host: no browser sends that
    if (host.front() == '[') {
        const std::size_t close = host.find(']');
        return close != std::string_view::npos && host.substr(0, close + 1) == "[::1]";
    }
    const std::string name(host.substr(0, host.find(':')));
    if (name == "localhost") return true;
    in_addr address{};
    return inet_pton(AF_INET, name.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

// --- Request bodies ----------------------------------------------------------------

// Reads a JSON object; otherwise gives the 400 that says why.
std::optional<http_response> read_object(const http_request &request, rapidjson::Document &doc) {
    if (const rapidjson::ParseResult parsed = host::parse_json(request.body, doc); !parsed) {
        // The only handler failure is a number beyond the double range.
        const std::string why = parsed.Code() == rapidjson::kParseErrorTermination
                                    ? std::string("a number out of range")
                                    : rapidjson::GetParseError_En(parsed.Code());
        return error_response(400, "Invalid JSON: " + why + " (at byte " + std::to_string(parsed.Offset()) + ")");
    }
    if (!doc.IsObject()) return error_response(400, "Invalid JSON: the body must be an object");
    return std::nullopt;
}

const rapidjson::Value *member(const rapidjson::Value &object, const char *name) {
    const auto it = object.FindMember(name);
    return it == object.MemberEnd() ? nullptr : &it->value;
}

bool blank(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; });
}

std::optional<http_response> saved_or_error() {
    if (uptime_save_state() == 0) return std::nullopt;
    return error_response(500, uptime_last_error());
}

bool monitor_exists(const std::string &id) {
    const std::vector<monitor_row> monitors = read_monitors();
    return find_monitor(monitors, id) != nullptr;
}

std::vector<monitor_view> views(const service_context &context, int recent) {
    std::vector<monitor_view> all = read_views(recent);
    for (monitor_view &v : all) std::tie(v.checks_up, v.checks_down) = context.counters.of(v.monitor.id);
    return all;
}

// --- Handlers ----------------------------------------------------------------------

struct call {
    service_context &context;
    const http_request &request;
    const std::string &id;   // the {id} of the path
    bool authorized;         // carries the token
    const http_responder &later;

    // Targets (and what may repeat them: addresses, messages) are shown
    // unless --public hides them from whoever has no token.
    bool show_targets() const { return !context.public_mode || authorized; }
};

using handler = std::optional<http_response> (*)(const call &);

std::optional<http_response> status_page(const call &c) {
    page_options options;
    options.show_targets = !c.context.public_mode;
    options.now = unix_now();
    http_response r{200, "text/html; charset=utf-8",
                    render_status_page(views(c.context, k_page_heartbeats), options), {}};
    // The page needs nothing from anywhere: no other origin may be loaded,
    // and it may not be framed.
    r.headers.emplace_back("Content-Security-Policy",
                           "default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'; "
                           "base-uri 'none'; form-action 'none'; frame-ancestors 'none'");
    r.headers.emplace_back("Referrer-Policy", "no-referrer");
    return r;
}

std::optional<http_response> health(const call &c) {
    const bool alive = steady_ms() - c.context.loop_alive_ms.load() < 5000;
    return http_response{alive ? 200 : 503, "text/plain; charset=utf-8", alive ? "ok\n" : "scheduler stalled\n", {}};
}

std::optional<http_response> metrics(const call &c) {
    metrics_options options;
    options.show_targets = !c.context.public_mode;
    options.version = VANTOREL_UPTIME_ENGINE_VERSION;
    return http_response{200, std::string(k_metrics_content_type), render_metrics(views(c.context, 1), options), {}};
}

std::optional<http_response> list_monitors(const call &c) {
    if (c.show_targets()) return json_response(200, list_report());
    std::string out = "[";
    for (const monitor_row &m : read_monitors()) {
        if (out.size() > 1) out += ',';
        json_object o;
        o.add("id", m.id).add("name", m.name).add("type", m.type).add("type_name", m.type_name);
        o.add("interval_sec", m.interval_sec).add("status", m.status).add("latency_ms", m.latency_ms);
        o.add("last_check", m.last_check).add("uptime_90d", m.uptime_90d);
        out += o.text();
    }
    return json_response(200, out + "]");
}

std::optional<http_response> get_monitor(const call &c) {
    std::string error;
    const std::optional<std::string> text = detail_report(c.id, &error);
    if (!text) return error_response(404, error);
    if (c.show_targets()) return json_response(200, *text);
    rapidjson::Document doc;
    host::parse_json(*text, doc);
    if (auto *last = doc.IsObject() ? member(doc, "last_check") : nullptr; last != nullptr && last->IsObject()) {
        // The address and the system's words may name what the target names.
        doc["last_check"].RemoveMember("address");
        doc["last_check"].RemoveMember("message");
    }
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    doc.Accept(writer);
    return json_response(200, buffer.GetString());
}

std::optional<http_response> list_heartbeats(const call &c) {
    int limit = 0;  // all that are kept
    if (const auto it = c.request.query.find("limit"); it != c.request.query.end()) {
        const std::string &text = it->second;
        char *end = nullptr;
        const long value = std::strtol(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || value < 0 || value > 1000000) {
            return error_response(400, "limit must be a whole number, 0 or more, not '" + text + "'");
        }
        limit = int(value);
    }
    if (!monitor_exists(c.id)) return error_response(404, "Monitor not found");
    return json_response(200, heartbeats_report(c.id, limit));
}

std::optional<http_response> add_monitor(const call &c) {
    rapidjson::Document doc;
    if (auto bad = read_object(c.request, doc)) return bad;
    const rapidjson::Value *name = member(doc, "name"), *type = member(doc, "type"), *target = member(doc, "target"),
                           *interval = member(doc, "interval_sec");
    if (name == nullptr || !name->IsString() || blank(name->GetString())) {
        return error_response(400, "name must be a text that is not empty");
    }
    if (target == nullptr || !target->IsString() || blank(target->GetString())) {
        return error_response(400, "target must be a text that is not empty");
    }
    std::optional<int> type_code;
    if (type != nullptr && type->IsString()) type_code = parse_type(type->GetString());
    if (type != nullptr && type->IsInt() && type->GetInt() >= UPTIME_MONITOR_HTTP && type->GetInt() <= UPTIME_MONITOR_PING) {
        type_code = type->GetInt();
    }
    if (!type_code) return error_response(400, "type must be http, tcp, dns, ping or 0 to 3");
    if (*type_code == UPTIME_MONITOR_TCP_PORT && !tcp_target_is_valid(target->GetString())) {
        return error_response(400, "a tcp target is host:port or [host]:port, the port 1 to 65535 or a service name");
    }
    int interval_sec = 60;
    if (interval != nullptr) {
        if (!interval->IsInt() || interval->GetInt() < 1) {
            return error_response(400, "interval_sec must be a whole number of seconds, at least 1");
        }
        interval_sec = interval->GetInt();
    }
    std::lock_guard<std::mutex> guard(c.context.change_lock);
    char id[UPTIME_ID_BUFFER_SIZE] = {};
    if (uptime_monitor_add(name->GetString(), *type_code, target->GetString(), interval_sec, id) != 0) {
        const std::string error = uptime_last_error();
        return error_response(error == "Maximum monitors capacity reached" ? 409 : 400, error);
    }
    // Checked at once, then at its interval.
    c.context.checks->set_monitors(read_monitors());
    if (uptime_save_state() != 0) {
        // The monitor is there: adding it again would make a second one.
        return json_response(500, json_object().add("error", uptime_last_error()).add("id", id).text());
    }
    http_response r = json_response(201, json_object().add("id", id).text());
    r.headers.emplace_back("Location", std::string("/api/v1/monitors/") + id);
    return r;
}

std::optional<http_response> delete_monitor(const call &c) {
    std::lock_guard<std::mutex> guard(c.context.change_lock);
    if (uptime_monitor_delete(c.id.c_str()) != 0) return error_response(404, uptime_last_error());
    c.context.checks->remove(c.id);
    if (auto failed = saved_or_error()) return failed;
    return no_content();
}

std::optional<http_response> check_monitor(const call &c) {
    if (!monitor_exists(c.id)) return error_response(404, "Monitor not found");
    const http_responder later = c.later;
    // Through the scheduler: never beside a check of the same monitor.
    host::scheduler *checks = c.context.checks;
    c.context.checks->check_now(c.id, [later, checks](const check_outcome &o) {
        if (o.result != 0) {
            // Deleted between the look and the check: the slot check_now
            // made for it must not keep checking a monitor that is gone.
            if (o.error == "Monitor not found") checks->remove(o.id);
            later(error_response(o.error == "stopping" ? 503 : 404, o.error == "stopping" ? "The service is stopping" : o.error));
            return;
        }
        // Nobody else checks this monitor before the detail is read.
        std::string reason;
        if (const std::optional<std::string> text = detail_report(o.id, nullptr)) {
            if (const std::optional<detail_row> d = parse_detail(text->c_str()); d && d->last_check) {
                reason = d->last_check->reason;
            }
        }
        later(json_response(200, json_object()
                                     .add("up", o.up == 1)
                                     .add("latency_ms", o.latency_ms)
                                     .add("time", o.finished_at)
                                     .add("reason", reason)
                                     .text()));
    });
    return std::nullopt;
}

std::optional<http_response> record_heartbeat(const call &c) {
    rapidjson::Document doc;
    if (auto bad = read_object(c.request, doc)) return bad;
    const rapidjson::Value *status = member(doc, "status"), *latency = member(doc, "latency_ms"),
                           *time = member(doc, "time");
    std::optional<int> status_code;
    if (status != nullptr && status->IsString()) status_code = parse_status(status->GetString());
    if (status != nullptr && status->IsInt()) status_code = status->GetInt();
    if (!status_code) return error_response(400, "status must be up, down, pending or a whole number");
    if (latency == nullptr || !latency->IsNumber()) return error_response(400, "latency_ms must be a number");
    const double latency_ms = latency->GetDouble();
    if (latency_ms < 0.0) return error_response(400, "latency_ms must be 0 or more");
    const std::int64_t now = unix_now();
    std::int64_t when = now;
    if (time != nullptr) {
        if (!time->IsInt64() || time->GetInt64() < 0) return error_response(400, "time must be whole seconds since 1970");
        if (time->GetInt64() > now + k_max_seconds_ahead) return error_response(400, "time is more than a day ahead of the clock");
        when = time->GetInt64();
    }
    std::lock_guard<std::mutex> guard(c.context.change_lock);
    if (uptime_heartbeat_record(c.id.c_str(), *status_code, latency_ms, when) != 0) {
        const std::string error = uptime_last_error();
        return error_response(error == "Monitor not found" ? 404 : 400, error);
    }
    if (auto failed = saved_or_error()) return failed;
    return json_response(201, json_object()
                                  .add("id", c.id)
                                  .add("time", when)
                                  .add("status", *status_code)
                                  .add("latency_ms", latency_ms)
                                  .text());
}

std::optional<http_response> set_webhook(const call &c) {
    rapidjson::Document doc;
    if (auto bad = read_object(c.request, doc)) return bad;
    const rapidjson::Value *url = member(doc, "url");
    if (url == nullptr || !(url->IsString() || url->IsNull())) {
        return error_response(400, "url must be a text, or null to remove the webhook");
    }
    std::lock_guard<std::mutex> guard(c.context.change_lock);
    if (uptime_set_webhook_url(url->IsNull() ? "" : url->GetString()) != 0) {
        return error_response(400, uptime_last_error());
    }
    if (auto failed = saved_or_error()) return failed;
    return no_content();
}

enum class access { read, change };

struct route {
    std::string_view method;
    std::string_view pattern;  // "{id}" stands for one path segment
    access needs;
    handler run;
};

constexpr route k_routes[] = {
    {"GET", "/", access::read, status_page},
    {"GET", "/healthz", access::read, health},
    {"GET", "/metrics", access::read, metrics},
    {"GET", "/api/v1/monitors", access::read, list_monitors},
    {"POST", "/api/v1/monitors", access::change, add_monitor},
    {"GET", "/api/v1/monitors/{id}", access::read, get_monitor},
    {"DELETE", "/api/v1/monitors/{id}", access::change, delete_monitor},
    {"GET", "/api/v1/monitors/{id}/heartbeats", access::read, list_heartbeats},
    {"POST", "/api/v1/monitors/{id}/heartbeats", access::change, record_heartbeat},
    {"POST", "/api/v1/monitors/{id}/check", access::change, check_monitor},
    {"PUT", "/api/v1/webhook", access::change, set_webhook},
};

// Whether a path matches a pattern; the {id} segment goes to `id`.
bool matches(std::string_view pattern, std::string_view path, std::string &id) {
    while (!pattern.empty() || !path.empty()) {
        if (pattern.empty() || path.empty() || pattern.front() != '/' || path.front() != '/') return false;
        pattern.remove_prefix(1);
        path.remove_prefix(1);
        const std::string_view want = pattern.substr(0, pattern.find('/'));
        const std::string_view got = path.substr(0, path.find('/'));
        if (want == "{id}") {
            if (got.empty()) return false;
            id = got;
        } else if (want != got) {
            return false;
        }
        pattern.remove_prefix(want.size());
        path.remove_prefix(got.size());
    }
    return true;
}

}  // namespace

std::optional<http_response> route_request(service_context &context, const http_request &request,
                                           const http_responder &later) {
    std::string allowed;
    for (const route &r : k_routes) {
        std::string id;
        if (!matches(r.pattern, request.path, id)) continue;
        if (r.method != request.method) {
            allowed += (allowed.empty() ? "" : ", ") + std::string(r.method);
            if (r.method == "GET") allowed += ", HEAD";
            continue;
        }
        const bool authorized = has_token(context, request);
        const bool may_read = authorized || context.public_mode || (request.from_loopback && names_loopback(request.host));
        if ((r.needs == access::change && !authorized) || (r.needs == access::read && !may_read)) {
            http_response refused = error_response(
                401, request.authorization.empty() ? "This needs Authorization: Bearer <token> (the token is in "
                                                     "service.token in the store)"
                                                   : "Wrong token");
            refused.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"vantorel-uptime\"");
            return refused;
        }
        return r.run(call{context, request, id, authorized, later});
    }
    if (!allowed.empty()) {
        http_response r = error_response(405, "Method " + request.method + " not allowed here; allowed: " + allowed);
        r.headers.emplace_back("Allow", allowed);
        return r;
    }
    return error_response(404, "Not found: " + request.path);
}

}  // namespace service
