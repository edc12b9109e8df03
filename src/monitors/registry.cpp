#include <cstring>

#include "core/engine_state.h"
#include "core/utf8.h"
#include "core/export.h"
#include "monitors/monitors.h"
#include "platform/platform.h"
#include "store/state_store.h"

namespace vue {
namespace {

constexpr char hex[] = "0123456789abcdef";

// Used only when the OS generator fails. Fresh entropy (clock, process id,
// address space) is folded into the state before every identifier, not only
// the first: a process forked after a draw would otherwise repeat its
// parent's identifiers. splitmix64; runs under the engine lock.
uint64_t s_fallback_state = 0;

uint64_t fallback_next() {
    uint64_t z = (s_fallback_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

void draw_random_bytes(unsigned char (&bytes)[16]) {
    if (platform::random_bytes(bytes, sizeof bytes)) return;
    s_fallback_state ^= platform::entropy_seed();
    uint64_t a = fallback_next(), b = fallback_next();
    std::memcpy(bytes, &a, 8);
    std::memcpy(bytes + 8, &b, 8);
}

}  // namespace

void generate_monitor_id(char out[ID_SIZE]) {
    unsigned char bytes[16];
    draw_random_bytes(bytes);
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    char *p = out;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) *p++ = '-';
        *p++ = hex[bytes[i] >> 4];
        *p++ = hex[bytes[i] & 0x0F];
    }
    *p = '\0';
}

}  // namespace vue

using namespace vue;

extern "C" UPTIME_API int uptime_monitor_add(const char *name, int type, const char *target, int interval_sec,
                                             char *out_id) {
    if (!started()) {
        set_last_error(msg::kNotInitialized);
        return -1;
    }
    // Text that is not UTF-8 could never be written to monitors.json or to
    // a report.
    if (name == nullptr || target == nullptr || !utf8_is_valid(name) || !utf8_is_valid(target)) {
        set_last_error(msg::kInvalidNameOrTarget);
        return -1;
    }
    return guarded(-1, [&] {
        engine_lock lock;
        if (s_monitor_count >= MAX_MONITORS) {
            set_last_error(msg::kCapacityReached);
            return -1;
        }
        monitor_record &m = s_monitors[s_monitor_count];
        std::memset(&m, 0, sizeof m);
        // Two monitors with one id would share one data/<id>/ directory.
        do {
            generate_monitor_id(m.id);
        } while (find_monitor(m.id) != nullptr);
        copy_bounded(m.name, sizeof m.name, name);
        m.type = type;
        copy_bounded(m.target, sizeof m.target, target);
        m.interval_sec = interval_sec > 0 ? interval_sec : 60;
        m.status = STATUS_PENDING;
        m.last_latency_ms = 0.0;
        m.last_check = 0;
        m.created_at = platform::unix_time();
        m.history_version = next_history_version();
        track_new_monitor_dat(m);  // no file yet
        if (out_id != nullptr) std::memcpy(out_id, m.id, ID_SIZE);
        ++s_monitor_count;
        save_monitors_file();
        return 0;
    });
}

extern "C" UPTIME_API int uptime_monitor_delete(const char *monitor_id) {
    if (!started() || monitor_id == nullptr) {
        set_last_error(msg::kNotInitializedOrNullId);
        return -1;
    }
    return guarded(-1, [&] {
        engine_lock lock;
        monitor_record *m = find_monitor(monitor_id);
        if (m == nullptr) {
            set_last_error(msg::kMonitorNotFound);
            return -1;
        }
        char id[ID_SIZE];
        std::memcpy(id, m->id, sizeof id);
        auto k = static_cast<int>(m - s_monitors);
        if (k < s_monitor_count - 1) {
            std::memmove(&s_monitors[k], &s_monitors[k + 1],
                         sizeof(monitor_record) * static_cast<size_t>(s_monitor_count - 1 - k));
        }
        --s_monitor_count;
        forget_monitor_dat(id);
        save_monitors_file();
        return 0;
    });
}
