#include <charconv>
#include <cstdio>
#include <string>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "core/calendar.h"
#include "core/engine_state.h"
#include "platform/platform.h"
#include "store/json_text.h"
#include "store/state_store.h"

namespace vue {
namespace {

// Both files are rendered into this buffer under the engine lock; a table
// of long names outgrows it into the sink's own heap buffer.
char s_file_text[64 * 1024];
growing_sink s_file_sink(s_file_text, sizeof s_file_text);

void format_root_path(char (&path)[PATH_SIZE], const char *file_name) {
    std::snprintf(path, sizeof path, "%s/%s", s_storage_dir, file_name);
}

// Set when the file exists but was not loaded at the last start; the next
// write sets it aside first.
bool s_config_unloaded = false;
bool s_monitors_unloaded = false;

// What a start found in a state file.
enum class json_file { loaded, missing, unloaded };

json_file read_json_file(const char *file_name, rapidjson::Document &doc) {
    char path[PATH_SIZE];
    format_root_path(path, file_name);
    std::string text;
    switch (platform::read_whole_file(path, text)) {
        case platform::read_outcome::missing: return json_file::missing;
        case platform::read_outcome::failed: return json_file::unloaded;
        case platform::read_outcome::ok: break;
    }
    return json_parse_strict(text, doc) ? json_file::loaded : json_file::unloaded;
}

// Writes one of the two root files from the text in s_file_sink, setting an
// unloaded file aside first.
bool write_root_file(const char *file_name, bool &unloaded) {
    char path[PATH_SIZE];
    format_root_path(path, file_name);
    if (unloaded) {
        if (!set_aside_unreadable(path)) return false;
        unloaded = false;
    }
    return platform::replace_file(path, s_file_sink.c_str(), s_file_sink.size(), true);
}

// Integer members keep only their low 32 bits, as the fields are 32-bit.
bool get_low32(const rapidjson::Value *v, int32_t &out) {
    if (v == nullptr) return false;
    uint64_t bits;
    if (v->IsInt64()) {
        bits = static_cast<uint64_t>(v->GetInt64());
    } else if (v->IsUint64()) {
        bits = v->GetUint64();
    } else {
        return false;
    }
    out = static_cast<int32_t>(static_cast<uint32_t>(bits & 0xFFFFFFFFu));
    return true;
}

bool get_int64(const rapidjson::Value *v, int64_t &out) {
    if (v == nullptr) return false;
    if (v->IsInt64()) {
        out = v->GetInt64();
    } else if (v->IsUint64()) {
        out = static_cast<int64_t>(v->GetUint64());
    } else {
        return false;
    }
    return true;
}

void get_text(const rapidjson::Value *v, char *dest, size_t dest_size) {
    if (v == nullptr || !v->IsString()) return;
    copy_bounded(dest, dest_size, std::string_view(v->GetString(), v->GetStringLength()));
}

}  // namespace

bool render_config_json(growing_sink &sink) {
    sink.reset();
    pretty_json_writer w(sink);
    w.begin_object();
    w.key("webhook_url");
    w.string(s_webhook_url);
    w.end_object();
    return w.ok();
}

bool render_monitors_json(growing_sink &sink) {
    sink.reset();
    pretty_json_writer w(sink);
    w.begin_array();
    for (int i = 0; i < s_monitor_count; ++i) {
        const monitor_record &m = s_monitors[i];
        w.begin_object();
        w.key("id");
        w.string(m.id);
        w.key("name");
        w.string(m.name);
        w.key("type");
        w.integer(m.type);
        w.key("target");
        w.string(m.target);
        w.key("interval_sec");
        w.integer(m.interval_sec);
        w.key("status");
        w.integer(m.status);
        w.key("last_latency_ms");
        w.real(m.last_latency_ms);
        w.key("last_check");
        w.integer(m.last_check);
        w.key("created_at");
        w.integer(m.created_at);
        w.end_object();
    }
    w.end_array();
    return w.ok();
}

bool save_config_file() {
    try {
        if (!render_config_json(s_file_sink)) return false;
        return write_root_file("config.json", s_config_unloaded);
    } catch (const std::bad_alloc &) {
        return false;
    }
}

bool save_monitors_file() {
    try {
        // Heartbeat files first, so monitors.json never names a monitor whose
        // history is older than the file says.
        const bool dats_saved = save_changed_monitor_dats();
        if (!render_monitors_json(s_file_sink)) return false;
        return write_root_file("monitors.json", s_monitors_unloaded) && dats_saved;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

void load_config_file() {
    s_config_unloaded = false;
    try {
        rapidjson::Document doc;
        json_file found = read_json_file("config.json", doc);
        if (found == json_file::loaded && !doc.IsObject()) found = json_file::unloaded;
        if (found != json_file::loaded) {
            s_config_unloaded = found == json_file::unloaded;
            return;
        }
        // Only the first "webhook_url" counts, and only when it is a string.
        const rapidjson::Value *url = find_member(doc, "webhook_url");
        get_text(url, s_webhook_url, sizeof s_webhook_url);
    } catch (const std::bad_alloc &) {
        s_config_unloaded = true;
    }
}

void load_monitors_file() {
    s_monitors_unloaded = false;
    try {
        rapidjson::Document doc;
        json_file found = read_json_file("monitors.json", doc);
        if (found == json_file::loaded && !doc.IsArray()) found = json_file::unloaded;
        if (found != json_file::loaded) {
            s_monitors_unloaded = found == json_file::unloaded;
            return;
        }
        for (const rapidjson::Value &element : doc.GetArray()) {
            if (s_monitor_count >= MAX_MONITORS) break;
            if (!element.IsObject()) continue;
            monitor_record &m = s_monitors[s_monitor_count];
            std::memset(&m, 0, sizeof m);
            get_text(find_member(element, "id"), m.id, sizeof m.id);
            get_text(find_member(element, "name"), m.name, sizeof m.name);
            get_low32(find_member(element, "type"), m.type);
            get_text(find_member(element, "target"), m.target, sizeof m.target);
            get_low32(find_member(element, "interval_sec"), m.interval_sec);
            get_low32(find_member(element, "status"), m.status);
            if (const rapidjson::Value *v = find_member(element, "last_latency_ms"); v != nullptr && v->IsNumber()) {
                m.last_latency_ms = v->GetDouble();
            }
            get_int64(find_member(element, "last_check"), m.last_check);
            get_int64(find_member(element, "created_at"), m.created_at);
            load_monitor_dat(m);
            ++s_monitor_count;
        }
    } catch (const std::bad_alloc &) {
        // Part of the table may be missing: the file must not be written
        // over with what little was read.
        s_monitors_unloaded = true;
    }
}

// "YYYYMMDDTHHMMSSZ", digits written without the C library's locale.
static void format_utc_stamp(int64_t unix_seconds, char (&out)[24]) {
    const utc_time t = utc_time_of(unix_seconds);
    char *p = out;
    auto put = [&p, &out](int64_t value, int width) {
        char digits[24];
        auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
        for (auto n = end - digits; n < width; ++n) *p++ = '0';
        for (const char *d = digits; d < end && p < out + sizeof out - 2; ++d) *p++ = *d;
    };
    put(t.year, 4);
    put(t.month, 2);
    put(t.day, 2);
    *p++ = 'T';
    put(t.hour, 2);
    put(t.minute, 2);
    put(t.second, 2);
    *p++ = 'Z';
    *p = '\0';
}

bool set_aside_unreadable(const char *path) {
    char stamp[24];
    format_utc_stamp(platform::unix_time(), stamp);
    for (int attempt = 0; attempt < 100; ++attempt) {
        char aside[PATH_SIZE + 64];
        if (attempt == 0) {
            std::snprintf(aside, sizeof aside, "%s.unreadable-%s", path, stamp);
        } else {
            std::snprintf(aside, sizeof aside, "%s.unreadable-%s-%s", path, stamp,
                          std::to_string(attempt).c_str());
        }
        switch (platform::rename_no_replace(path, aside)) {
            case platform::rename_outcome::done:
            case platform::rename_outcome::source_missing: return true;
            case platform::rename_outcome::target_exists: continue;
            case platform::rename_outcome::failed: return false;
        }
    }
    return false;
}

void remove_leftover_temporaries() {
    char path[PATH_SIZE];
    for (const char *name : {"config.json.tmp", "monitors.json.tmp", "data/heartbeats.dat.tmp"}) {
        format_root_path(path, name);
        platform::remove_file(path);
    }
    std::vector<std::string> entries;
    char data_dir[PATH_SIZE];
    format_root_path(data_dir, "data");
    if (!platform::list_directory(data_dir, entries)) return;
    for (const std::string &entry : entries) {
        const std::string leftover = std::string(data_dir) + "/" + entry + "/heartbeats.dat.tmp";
        platform::remove_file(leftover.c_str());
    }
}

}  // namespace vue
