#include "json_output.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace host {

std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04X", unsigned(static_cast<unsigned char>(c)));
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

std::string json_number(double value) {
    // JSON has no NaN or infinity; nothing the CLI prints holds one.
    if (!std::isfinite(value)) return "null";
    char digits[400];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed);
    std::string text = ec == std::errc() ? std::string(digits, end) : std::to_string(value);
    if (text.find('.') == std::string::npos) text += ".0";
    return text;
}

void json_object::key(std::string_view name) {
    if (!members_.empty()) members_ += ',';
    members_ += json_string(name);
    members_ += ':';
}

json_object &json_object::add(std::string_view name, std::string_view text) {
    key(name);
    members_ += json_string(text);
    return *this;
}

json_object &json_object::add(std::string_view name, double number) {
    key(name);
    members_ += json_number(number);
    return *this;
}

json_object &json_object::add(std::string_view name, std::int64_t number) {
    key(name);
    members_ += std::to_string(number);
    return *this;
}

json_object &json_object::add(std::string_view name, bool value) {
    key(name);
    members_ += value ? "true" : "false";
    return *this;
}

json_object &json_object::add_raw(std::string_view name, std::string_view json) {
    key(name);
    members_ += json;
    return *this;
}

std::string monitor_json(const monitor_row &m) {
    return json_object()
        .add("id", m.id)
        .add("name", m.name)
        .add("type", m.type)
        .add("type_name", m.type_name)
        .add("target", m.target)
        .add("interval_sec", m.interval_sec)
        .add("status", m.status)
        .add("latency_ms", m.latency_ms)
        .add("last_check", m.last_check)
        .add("uptime_90d", m.uptime_90d)
        .text();
}

void json_array_stream::open() {
    if (opened_) return;
    opened_ = true;
    std::fputs("[", stdout);
    std::fflush(stdout);
}

void json_array_stream::element(const std::string &json) {
    open();
    std::fputs(empty_ ? "\n" : ",\n", stdout);
    std::fputs(json.c_str(), stdout);
    std::fflush(stdout);
    empty_ = false;
}

void json_array_stream::close() {
    open();
    std::fputs(empty_ ? "]\n" : "\n]\n", stdout);
    std::fflush(stdout);
}

}  // namespace host
