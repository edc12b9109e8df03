#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>

#include "core/engine_state.h"
#include "core/export.h"
#include "monitors/monitors.h"
#include "platform/platform.h"

namespace vue {

void record_heartbeat_internal(monitor_record &record, int status, double latency_ms, int64_t timestamp) {
    heartbeat_entry &entry = record.heartbeats[record.hb_head];
    entry.timestamp = timestamp;
    entry.status = static_cast<uint8_t>(status & 0xFF);
    entry.latency_ms = static_cast<float>(latency_ms);
    record.hb_head = (record.hb_head + 1) % HEARTBEAT_CAPACITY;
    if (record.hb_count < HEARTBEAT_CAPACITY) ++record.hb_count;

    // Find today's bucket, or the one a new day takes: an empty bucket
    // counts as day 0, so the last empty one wins over non-negative days,
    // and once all are used the smallest day (lowest index on ties) goes.
    const int64_t today = day_of(timestamp);
    int match = -1;
    int candidate = 0;
    int64_t oldest = std::numeric_limits<int64_t>::max();
    for (int i = 0; i < DAILY_BUCKETS; ++i) {
        const daily_bucket &b = record.daily[i];
        if (b.total_count != 0 && b.day == today) {
            match = i;
            break;
        }
        if (b.total_count == 0) {
            candidate = i;
            oldest = 0;
        } else if (b.day < oldest) {
            candidate = i;
            oldest = b.day;
        }
    }
    const uint32_t up = status == STATUS_UP ? 1u : 0u;
    if (match >= 0) {
        record.daily[match].total_count += 1;
        record.daily[match].up_count += up;
    } else {
        record.daily[candidate] = daily_bucket{today, up, 1u};
    }

    record.status = status;
    record.last_check = timestamp;
    record.last_latency_ms = latency_ms;
    record.history_version = next_history_version();
}

double compute_uptime_90d(const monitor_record &record, int64_t now) {
    const int64_t cutoff = day_of(now) - 90;
    uint64_t up = 0, total = 0;
    for (const daily_bucket &b : record.daily) {
        if (b.total_count != 0 && b.day >= cutoff) {
            total += b.total_count;
            up += b.up_count;
        }
    }
    if (total == 0) {
        // No day in the window: every heartbeat still in the ring counts,
        // however old.
        if (record.hb_count < 1) return 100.0;
        for (int k = 0; k < record.hb_count; ++k) {
            int index = ((record.hb_head - 1 - k) % HEARTBEAT_CAPACITY + HEARTBEAT_CAPACITY) % HEARTBEAT_CAPACITY;
            if (record.heartbeats[index].status == 1) ++up;
        }
        total = static_cast<uint64_t>(record.hb_count);
    }
    // Multiply before dividing: one of three gives 33.333333333333336.
    double percent = static_cast<double>(up) * 100.0 / static_cast<double>(total);
    return percent > 100.0 ? 100.0 : percent;
}

}  // namespace vue

using namespace vue;

extern "C" UPTIME_API int uptime_heartbeat_record(const char *monitor_id, int status, double latency_ms,
                                                  int64_t timestamp) {
    if (!started() || monitor_id == nullptr) {
        set_last_error(msg::kNotInitializedOrNullId);
        return -1;
    }
    // A latency the ring's single precision cannot hold, or that JSON
    // cannot hold, would make every report and save of this monitor fail.
    if (!std::isfinite(latency_ms) || std::fabs(latency_ms) > static_cast<double>(FLT_MAX)) {
        set_last_error(msg::kInvalidLatency);
        return -1;
    }
    engine_lock lock;
    monitor_record *m = find_monitor(monitor_id);
    if (m == nullptr) {
        set_last_error(msg::kMonitorNotFound);
        return -1;
    }
    record_heartbeat_internal(*m, status, latency_ms, timestamp);
    return 0;
}

extern "C" UPTIME_API double uptime_get_percent_90d(const char *monitor_id) {
    if (!started() || monitor_id == nullptr) return 100.0;
    engine_lock lock;
    const monitor_record *m = find_monitor(monitor_id);
    if (m == nullptr) return 100.0;
    return compute_uptime_90d(*m, platform::unix_time());
}
