#include "core/engine_state.h"

#include <atomic>
#include <cstring>

#include "store/json_text.h"

namespace vue {

monitor_record s_monitors[MAX_MONITORS];
int s_monitor_count = 0;
char s_storage_dir[STORAGE_DIR_SIZE] = ".";
char s_webhook_url[WEBHOOK_URL_SIZE] = "";
std::atomic<const char *> s_last_error{""};
char s_monitors_json[REPORT_BUFFER_SIZE] = "";
char s_heartbeats_json[REPORT_BUFFER_SIZE] = "";
std::atomic<int> s_initialized{0};

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
