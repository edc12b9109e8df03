#include "core/engine_state.h"

#include <atomic>
#include <cstring>

#include "store/json_text.h"

namespace vue {

monitor_record s_monitors[MAX_MONITORS];
int s_monitor_count = 0;
char s_storage_dir[STORAGE_DIR_SIZE] = ".";
char s_webhook_url[WEBHOOK_URL_SIZE] = "";
char s_last_error[LAST_ERROR_SIZE] = "";
char s_monitors_json[REPORT_BUFFER_SIZE] = "";
char s_heartbeats_json[REPORT_BUFFER_SIZE] = "";
std::atomic<int> s_initialized{0};

namespace {
// Failures outside the engine lock may set the text from several threads at
// once; this keeps each text whole. Readers get the buffer itself, as ever.
std::atomic_flag s_last_error_busy = ATOMIC_FLAG_INIT;
}  // namespace

monitor_record *find_monitor(const char *id) {
    for (int i = 0; i < s_monitor_count; ++i) {
        if (std::strcmp(s_monitors[i].id, id) == 0) return &s_monitors[i];
    }
    return nullptr;
}

void set_last_error(const char *message) {
    while (s_last_error_busy.test_and_set(std::memory_order_acquire)) {
    }
    copy_bounded(s_last_error, sizeof s_last_error, message);
    s_last_error_busy.clear(std::memory_order_release);
}

void copy_bounded(char *dest, size_t dest_size, std::string_view source) {
    size_t n = utf8_cut_length(source, dest_size - 1);
    std::memcpy(dest, source.data(), n);
    dest[n] = '\0';
}

}  // namespace vue
