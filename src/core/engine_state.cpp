#include "core/engine_state.h"

#include <atomic>
#include <cstring>

#include "core/utf8.h"

namespace vue {

monitor_record s_monitors[MAX_MONITORS];
int s_monitor_count = 0;
char s_storage_dir[STORAGE_DIR_SIZE] = ".";
char s_webhook_url[WEBHOOK_URL_SIZE] = "";
std::atomic<const char *> s_last_error{""};
char s_monitors_json[REPORT_BUFFER_SIZE] = "";
char s_heartbeats_json[REPORT_BUFFER_SIZE] = "";
char s_detail_json[DETAIL_REPORT_BUFFER_SIZE] = "";
std::atomic<int> s_initialized{0};

namespace {
uint64_t s_history_versions = 0;  // only ever grows, so a version is never reused
}  // namespace

uint64_t next_history_version() { return ++s_history_versions; }

monitor_record *find_monitor(const char *id) {
    for (int i = 0; i < s_monitor_count; ++i) {
        if (std::strcmp(s_monitors[i].id, id) == 0) return &s_monitors[i];
    }
    return nullptr;
}

void set_last_error(const char *message) { s_last_error.store(message, std::memory_order_release); }

void copy_bounded(char *dest, size_t dest_size, std::string_view source) {
    size_t n = utf8_cut_length(source, dest_size - 1);
    std::memcpy(dest, source.data(), n);
    dest[n] = '\0';
}

}  // namespace vue
