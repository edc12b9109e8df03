// libFuzzer target: the heartbeat-file decoder, in memory. An accepted image
// must leave the ring in range and hold exactly what the file carries, as
// the format defines it: every whole ring slot and daily counter the file
// holds, zeros for what a short file lacks, and 0.0 for a latency that is
// not finite. The loaded history must then feed the report, the 90-day
// figure and further recording without leaving the ring. The comparison
// reads the record field by field, which is cheaper than re-encoding it
// (the file targets go through the encoder as well).
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "monitors/monitors.h"
#include "store/state_store.h"

namespace vue {
// The heartbeat report's builder (src/reports/reports.cpp), called here
// without the exported function's lookup.
const char *build_heartbeats_report(const monitor_record &m, int limit);
}  // namespace vue

namespace {

vue::monitor_record s_record;
const vue::monitor_record s_zero{};

__attribute__((no_sanitize("coverage"))) uint64_t le(const uint8_t *p, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
    return v;
}

bool in_range(const vue::monitor_record &r, int least_count) {
    return r.hb_head >= 0 && r.hb_head < vue::HEARTBEAT_CAPACITY && r.hb_count >= least_count &&
           r.hb_count <= vue::HEARTBEAT_CAPACITY;
}

// The oracle. Its comparisons would only feed the fuzzer's coverage with
// noise and cost half of each run, so they are not instrumented.
__attribute__((no_sanitize("coverage"))) void expect_file_held(const uint8_t *data, size_t size) {
    if (s_record.hb_count != static_cast<int32_t>(le(data + 12, 4)) ||
        s_record.hb_head != static_cast<int32_t>(le(data + 16, 4))) {
        std::abort();
    }
    constexpr size_t kRing = vue::HEARTBEAT_FILE_HEADER, kDaily = vue::HEARTBEAT_FILE_DAILY_OFFSET;
    const size_t slots = std::min<size_t>((size - kRing) / 13, vue::HEARTBEAT_CAPACITY);
    for (size_t i = 0; i < slots; ++i) {
        const uint8_t *p = data + kRing + 13 * i;
        const vue::heartbeat_entry &e = s_record.heartbeats[i];
        float latency;
        const auto bits = static_cast<uint32_t>(le(p + 9, 4));
        std::memcpy(&latency, &bits, sizeof latency);
        if (!std::isfinite(latency)) latency = 0.0f;
        const float held = e.latency_ms;
        if (e.timestamp != static_cast<int64_t>(le(p, 8)) || e.status != p[8] ||
            std::memcmp(&held, &latency, sizeof held) != 0) {
            std::abort();
        }
    }
    if (std::memcmp(s_record.heartbeats + slots, s_zero.heartbeats + slots,
                    sizeof(vue::heartbeat_entry) * (vue::HEARTBEAT_CAPACITY - slots)) != 0) {
        std::abort();
    }
    const size_t days = size > kDaily ? std::min<size_t>((size - kDaily) / 16, vue::DAILY_BUCKETS) : 0;
    for (size_t i = 0; i < days; ++i) {
        const uint8_t *p = data + kDaily + 16 * i;
        const vue::daily_bucket &b = s_record.daily[i];
        if (b.day != static_cast<int64_t>(le(p, 8)) || b.up_count != le(p + 8, 4) || b.total_count != le(p + 12, 4)) {
            std::abort();
        }
    }
    if (std::memcmp(s_record.daily + days, s_zero.daily + days,
                    sizeof(vue::daily_bucket) * (vue::DAILY_BUCKETS - days)) != 0) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (!vue::decode_heartbeat_file(data, size, s_record)) return 0;
    if (!in_range(s_record, 0)) std::abort();
    expect_file_held(data, size);

    // A short report keeps the target fast; the limit still walks the ring
    // from any head and count.
    if (vue::build_heartbeats_report(s_record, static_cast<int>(data[size - 1] % 24) + 1) == nullptr) std::abort();
    const double percent = vue::compute_uptime_90d(s_record, 1718000000);
    if (!(percent >= 0.0 && percent <= 100.0)) std::abort();
    vue::record_heartbeat_internal(s_record, 1, 1.0, static_cast<int64_t>(data[0]) * 86400);
    if (!in_range(s_record, 1)) std::abort();
    return 0;
}
