#include "engine_session.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <system_error>

#include <rapidjson/document.h>

#include "vantorel-uptime-engine.h"

namespace cli {

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

}  // namespace

engine_session::~engine_session() {
    stop();
}

void engine_session::stop() {
    if (started_) uptime_engine_cleanup();
    started_ = false;
}

bool engine_session::start(const invocation &inv) {
    const std::string dir = inv.dir.empty() ? "." : inv.dir;
    if (uptime_engine_init(dir.c_str()) != 0) {
        command_error(inv.command, uptime_last_error());
        return false;
    }
    started_ = true;
    // The engine never reports file errors, so without this a mistyped or
    // unwritable --dir would accept every command and keep nothing.
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec)) {
        command_error(inv.command, "cannot create the storage directory '" + dir + "'");
        return false;
    }
    return true;
}

std::vector<monitor_row> read_monitors() {
    std::vector<monitor_row> rows;
    rapidjson::Document doc;
    doc.Parse(uptime_monitors_list_json());
    if (doc.HasParseError() || !doc.IsArray()) return rows;
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
    std::vector<heartbeat_row> rows;
    rapidjson::Document doc;
    doc.Parse(uptime_get_heartbeats_json(id.c_str(), limit));
    if (doc.HasParseError() || !doc.IsArray()) return rows;
    for (const rapidjson::Value &element : doc.GetArray()) {
        if (!element.IsObject()) continue;
        rows.push_back({integer_member(element, "time", 0), int_member(element, "status", 0),
                        number_member(element, "latency_ms", 0.0)});
    }
    return rows;
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
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

}  // namespace cli
