// The --json forms of the commands. list and heartbeats print the engine's
// own text unchanged; the others print objects built here, whose monitor
// members repeat the engine's names and order.
#ifndef VANTOREL_UPTIME_CLI_JSON_OUTPUT_H
#define VANTOREL_UPTIME_CLI_JSON_OUTPUT_H

#include <cstdint>
#include <string>
#include <string_view>

#include "rows.h"

namespace host {

// A compact JSON object built member by member.
class json_object {
public:
    json_object &add(std::string_view key, std::string_view text);
    json_object &add(std::string_view key, const char *text) { return add(key, std::string_view(text)); }
    json_object &add(std::string_view key, double number);
    json_object &add(std::string_view key, std::int64_t number);
    json_object &add(std::string_view key, int number) { return add(key, std::int64_t(number)); }
    json_object &add(std::string_view key, bool value);
    // A value that is already JSON text.
    json_object &add_raw(std::string_view key, std::string_view json);
    std::string text() const { return "{" + members_ + "}"; }

private:
    void key(std::string_view key);
    std::string members_;
};

// A JSON string: quotes and the escapes JSON needs.
std::string json_string(std::string_view text);
// The shortest digits that read back as the same double, in plain notation,
// a whole number with ".0", as the engine writes its reals.
std::string json_number(double value);

// One monitor as an element of uptime_monitors_list_json().
std::string monitor_json(const monitor_row &monitor);

// An array printed element by element as results come in, one per line, so a
// reader can follow it line by line; still one JSON document once closed.
class json_array_stream {
public:
    void open();
    void element(const std::string &json);
    void close();

private:
    bool opened_ = false;
    bool empty_ = true;
};

}  // namespace host

#endif
