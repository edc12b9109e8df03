// libFuzzer target: the heartbeat-file decoder, in memory. An accepted image
// must leave the ring in range and re-encode to exactly the bytes it came
// from, as far as the file format carries them: the version is always
// written as 1, what a short file lacks (a slot it holds only part of
// included) is zero, and a latency that is not finite reads as 0.0. The loaded history must then feed the report, the
// 90-day figure and further recording without leaving the ring.
#include <algorithm>
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
unsigned char s_image[vue::HEARTBEAT_FILE_SIZE], s_expected[vue::HEARTBEAT_FILE_SIZE];

bool in_range(const vue::monitor_record &r, int least_count) {
    return r.hb_head >= 0 && r.hb_head < vue::HEARTBEAT_CAPACITY && r.hb_count >= least_count &&
           r.hb_count <= vue::HEARTBEAT_CAPACITY;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (!vue::decode_heartbeat_file(data, size, s_record)) return 0;
    if (!in_range(s_record, 0)) std::abort();

    // What the image holds, as the format defines it.
    constexpr size_t kRing = vue::HEARTBEAT_FILE_HEADER, kDaily = vue::HEARTBEAT_FILE_DAILY_OFFSET;
    std::memset(s_expected, 0, sizeof s_expected);
    std::memcpy(s_expected, data, std::min(size, sizeof s_expected));
    s_expected[8] = 1;
    s_expected[9] = s_expected[10] = s_expected[11] = 0;
    if (size < kDaily) {
        const size_t whole = kRing + (size - kRing) / 13 * 13;
        std::memset(s_expected + whole, 0, sizeof s_expected - whole);
    } else if (size < sizeof s_expected) {
        const size_t whole = kDaily + (size - kDaily) / 16 * 16;
        std::memset(s_expected + whole, 0, sizeof s_expected - whole);
    }
    // A latency that is not finite reads as 0.0.
    for (size_t at = kRing; at + 13 <= kDaily && at + 13 <= size; at += 13) {
        const unsigned char *bits = s_expected + at + 9;
        if ((bits[3] & 0x7F) == 0x7F && (bits[2] & 0x80) != 0) std::memset(s_expected + at + 9, 0, 4);
    }
    vue::encode_heartbeat_file(s_record, s_image);
    if (std::memcmp(s_image, s_expected, sizeof s_image) != 0) std::abort();

    // A short report keeps the target fast; the limit still walks the ring
    // from any head and count.
    if (vue::build_heartbeats_report(s_record, static_cast<int>(data[size - 1] % 24) + 1) == nullptr) std::abort();
    const double percent = vue::compute_uptime_90d(s_record, 1718000000);
    if (!(percent >= 0.0 && percent <= 100.0)) std::abort();
    vue::record_heartbeat_internal(s_record, 1, 1.0, static_cast<int64_t>(data[0]) * 86400);
    if (!in_range(s_record, 1)) std::abort();
    return 0;
}
