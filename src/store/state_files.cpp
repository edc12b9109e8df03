#include <cstdio>
#include <cstring>
#include <string_view>

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

bool read_json_file(const char *file_name, rapidjson::Document &doc) {
    char path[PATH_SIZE];
    format_root_path(path, file_name);
    std::string text;
    if (!platform::read_whole_file(path, text)) return false;
    return json_parse_strict(text, doc);
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

void save_config_file() {
    if (!render_config_json(s_file_sink)) return;
    char path[PATH_SIZE];
    format_root_path(path, "config.json");
    platform::replace_file(path, s_file_sink.c_str(), s_file_sink.size(), true);
}

void save_monitors_file() {
    // Heartbeat files first, so monitors.json never names a monitor whose
    // history is older than the file says.
    for (int i = 0; i < s_monitor_count; ++i) {
        if (s_monitors[i].dat_changed) save_monitor_dat(s_monitors[i], true);
    }
    if (!render_monitors_json(s_file_sink)) return;
    char path[PATH_SIZE];
    format_root_path(path, "monitors.json");
    platform::replace_file(path, s_file_sink.c_str(), s_file_sink.size(), true);
}

void load_config_file() {
    rapidjson::Document doc;
    if (!read_json_file("config.json", doc)) return;
    // Only the first "webhook_url" counts, and only when it is a string.
    const rapidjson::Value *url = find_member(doc, "webhook_url");
    get_text(url, s_webhook_url, sizeof s_webhook_url);
}

void load_monitors_file() {
    rapidjson::Document doc;
    if (!read_json_file("monitors.json", doc)) return;
    if (!doc.IsArray()) return;
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
}

}  // namespace vue
