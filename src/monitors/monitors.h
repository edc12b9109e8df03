// Monitor registry and heartbeat history.
#pragma once

#include <cstdint>

#include "core/engine_state.h"

namespace vue {

// Writes a new random version-4 UUID, 36 lower-case characters and a zero,
// into `out`.
void generate_monitor_id(char out[ID_SIZE]);

// Appends one heartbeat to the record's ring, counts it in its day's bucket
// and makes it the record's current state. Caller holds the lock. Never
// fails and never allocates.
void record_heartbeat_internal(monitor_record &record, int status, double latency_ms, int64_t timestamp);

// Share of up heartbeats, in percent, over the days from `now`'s day - 90
// onwards; the whole ring when those days hold none; 100.0 with no data.
double compute_uptime_90d(const monitor_record &record, int64_t now);

// The day number of a Unix time: seconds / 86400 truncated toward zero.
constexpr int64_t day_of(int64_t timestamp) { return timestamp / 86400; }

}  // namespace vue
