// Recording heartbeats into the ring and the daily buckets, and the 90-day
// figure computed from them.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include "core/engine_state.h"
#include "monitors/monitors.h"
#include "platform/fault.h"
#include "platform/platform.h"
#include "store/json_text.h"
#include "test_support.h"

namespace vue::test {
namespace {

// A zeroed record, as an add leaves it; 54 KB, so not on the stack.
std::unique_ptr<monitor_record> fresh_record() {
    auto r = std::make_unique<monitor_record>();
    std::memset(r.get(), 0, sizeof *r);
    return r;
}

// Ring fields are packed, hence misaligned: the tests copy them out
// (int64_t{...}, float{...}) because gtest takes its arguments by reference.

constexpr int64_t kDay = 86400;
constexpr int64_t kBaseDay = 19876;  // an ordinary day after the epoch

// The index of the bucket holding `day`, or -1.
int bucket_of(const monitor_record &r, int64_t day) {
    for (int i = 0; i < DAILY_BUCKETS; ++i) {
        if (r.daily[i].total_count != 0 && r.daily[i].day == day) return i;
    }
    return -1;
}

std::string real_text(double v) {
    char out[kRealTextMax];
    return std::string(out, format_json_real(v, out));
}

TEST(HeartbeatRing, WrapsAfter4096) {
    auto r = fresh_record();
    for (int i = 0; i < HEARTBEAT_CAPACITY; ++i) record_heartbeat_internal(*r, 1, 1.0, 1000 + i);
    EXPECT_EQ(r->hb_head, 0);
    EXPECT_EQ(r->hb_count, 4096);
    record_heartbeat_internal(*r, 0, 2.0, 999999);
    EXPECT_EQ(r->hb_head, 1);
    EXPECT_EQ(r->hb_count, 4096);
    EXPECT_EQ(int64_t{r->heartbeats[0].timestamp}, 999999);
    EXPECT_EQ(r->heartbeats[0].status, 0);
    EXPECT_EQ(int64_t{r->heartbeats[1].timestamp}, 1001);
}

TEST(HeartbeatRing, EntryAndCurrentStateKeepDifferentWidths) {
    const struct {
        int status;
        double latency;
        uint8_t ring_status;
        uint32_t up_count;
    } cases[] = {
        {1, 123.456789, 1, 1},
        {0, 0.0, 0, 0},
        {2, 5.0, 2, 0},
        {257, 12.3, 1, 0},   // only the whole value 1 is up
        {-1, -7.25, 255, 0},
        {256, 1e-30, 0, 0},
        {INT32_MIN, FLT_MAX, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.status);
        auto r = fresh_record();
        record_heartbeat_internal(*r, c.status, c.latency, 1718000000);
        EXPECT_EQ(r->heartbeats[0].status, c.ring_status);
        EXPECT_EQ(float{r->heartbeats[0].latency_ms}, static_cast<float>(c.latency));
        EXPECT_EQ(int64_t{r->heartbeats[0].timestamp}, 1718000000);
        EXPECT_EQ(r->status, c.status);
        EXPECT_EQ(r->last_latency_ms, c.latency);  // the double, unchanged
        EXPECT_EQ(r->last_check, 1718000000);
        EXPECT_EQ(r->daily[89].total_count, 1u);
        EXPECT_EQ(r->daily[89].up_count, c.up_count);
    }
}

TEST(HeartbeatDays, DayNumberTruncatesTowardZero) {
    const struct {
        int64_t a, b;
        bool same_bucket;
    } cases[] = {
        {0, 86400, false},
        {86399, 86400, false},
        {86400, 86401, true},
        {0, 86399, true},
        {-1, 0, true},             // -1 / 86400 is day 0
        {-86399, 1, true},
        {kBaseDay * kDay, kBaseDay * kDay + kDay - 1, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.a) + " / " + std::to_string(c.b));
        auto r = fresh_record();
        record_heartbeat_internal(*r, 1, 1.0, c.a);
        record_heartbeat_internal(*r, 1, 1.0, c.b);
        int used = 0;
        for (const daily_bucket &b : r->daily) used += b.total_count != 0;
        EXPECT_EQ(used, c.same_bucket ? 1 : 2);
    }
    EXPECT_EQ(day_of(-86400), -1);
    EXPECT_EQ(day_of(-86401), -1);
    EXPECT_EQ(day_of(-1), 0);
}

TEST(HeartbeatDays, NewDaysFillFromTheTopThenReplaceTheOldest) {
    auto r = fresh_record();
    record_heartbeat_internal(*r, 1, 1.0, kBaseDay * kDay);
    record_heartbeat_internal(*r, 0, 1.0, kBaseDay * kDay + 10);
    EXPECT_EQ(bucket_of(*r, kBaseDay), 89);
    EXPECT_EQ(r->daily[89].total_count, 2u);
    EXPECT_EQ(r->daily[89].up_count, 1u);
    record_heartbeat_internal(*r, 1, 1.0, (kBaseDay + 1) * kDay);
    EXPECT_EQ(bucket_of(*r, kBaseDay + 1), 88);
    for (int d = 2; d < 90; ++d) record_heartbeat_internal(*r, 1, 1.0, (kBaseDay + d) * kDay);
    EXPECT_EQ(bucket_of(*r, kBaseDay + 89), 0);
    // Full: the oldest day goes, bucket by bucket.
    record_heartbeat_internal(*r, 1, 1.0, (kBaseDay + 90) * kDay);
    EXPECT_EQ(bucket_of(*r, kBaseDay + 90), 89);
    EXPECT_EQ(bucket_of(*r, kBaseDay), -1);
    record_heartbeat_internal(*r, 1, 1.0, (kBaseDay + 91) * kDay);
    EXPECT_EQ(bucket_of(*r, kBaseDay + 91), 88);
    // A future day gets a bucket like any other.
    record_heartbeat_internal(*r, 1, 1.0, (kBaseDay + 100000) * kDay);
    EXPECT_EQ(bucket_of(*r, kBaseDay + 100000), 87);
    EXPECT_EQ(bucket_of(*r, kBaseDay + 2), -1);
    // A day older than all held still evicts the smallest day held.
    record_heartbeat_internal(*r, 1, 1.0, (kBaseDay - 500) * kDay);
    EXPECT_EQ(bucket_of(*r, kBaseDay - 500), 86);
    EXPECT_EQ(bucket_of(*r, kBaseDay + 3), -1);
}

TEST(HeartbeatDays, TiesAndNegativeDaysInLoadedBuckets) {
    // All 90 used, two holding the same smallest day: the lower index goes.
    auto r = fresh_record();
    for (int i = 0; i < DAILY_BUCKETS; ++i) r->daily[i] = daily_bucket{kBaseDay + 100 + i, 1, 1};
    r->daily[30] = daily_bucket{kBaseDay, 1, 1};
    r->daily[70] = daily_bucket{kBaseDay, 1, 1};
    record_heartbeat_internal(*r, 1, 1.0, (kBaseDay + 5) * kDay);
    EXPECT_EQ(bucket_of(*r, kBaseDay + 5), 30);
    EXPECT_EQ(r->daily[70].day, kBaseDay);

    // With several buckets holding today, the lowest index counts it.
    r = fresh_record();
    r->daily[10] = daily_bucket{kBaseDay, 0, 1};
    r->daily[20] = daily_bucket{kBaseDay, 0, 1};
    record_heartbeat_internal(*r, 1, 1.0, kBaseDay * kDay);
    EXPECT_EQ(r->daily[10].total_count, 2u);
    EXPECT_EQ(r->daily[20].total_count, 1u);

    // An empty bucket counts as day 0 against later ones: the smallest
    // negative day behind the last empty bucket is replaced in preference
    // to it, while one before it is not.
    r = fresh_record();
    r->daily[50] = daily_bucket{-100, 1, 1};
    r->daily[88] = daily_bucket{-7, 1, 1};
    r->daily[89] = daily_bucket{-3, 1, 1};
    record_heartbeat_internal(*r, 1, 1.0, kBaseDay * kDay);
    EXPECT_EQ(bucket_of(*r, kBaseDay), 88);
    EXPECT_EQ(bucket_of(*r, -100), 50);
    EXPECT_EQ(bucket_of(*r, -3), 89);

    // A bucket with total 0 is empty whatever its day says.
    r = fresh_record();
    r->daily[89] = daily_bucket{kBaseDay, 5, 0};
    record_heartbeat_internal(*r, 1, 1.0, kBaseDay * kDay);
    EXPECT_EQ(r->daily[89].total_count, 1u);
    EXPECT_EQ(r->daily[89].up_count, 1u);
}

// --- the 90-day figure ---------------------------------------------------------

constexpr int64_t kNow = kBaseDay * kDay + 43200;  // noon of kBaseDay

TEST(Uptime90d, FromTheDailyBuckets) {
    const struct {
        const char *label;
        std::vector<int> statuses;  // all recorded today
        const char *percent;
    } cases[] = {
        {"no heartbeat", {}, "100.0"},
        {"up down up", {1, 0, 1}, "66.66666666666667"},
        {"one of three", {1, 0, 0}, "33.333333333333336"},
        {"all down", {0, 0}, "0.0"},
        {"257 is down", {257, 1}, "50.0"},
        {"2 is down", {2, 1, 1, 1}, "75.0"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        auto r = fresh_record();
        for (int s : c.statuses) record_heartbeat_internal(*r, s, 1.0, kNow);
        EXPECT_EQ(real_text(compute_uptime_90d(*r, kNow)), c.percent);
    }
    auto r = fresh_record();
    for (int i = 0; i < 1000; ++i) record_heartbeat_internal(*r, i == 0 ? 0 : 1, 1.0, kNow);
    EXPECT_EQ(real_text(compute_uptime_90d(*r, kNow)), "99.9");
}

TEST(Uptime90d, WindowIsTodayMinus90Onwards) {
    const struct {
        int64_t day;
        bool counts;
    } cases[] = {
        {kBaseDay - 90, true},
        {kBaseDay - 91, false},
        {kBaseDay, true},
        {kBaseDay + 400, true},  // a future day counts while its bucket exists
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.day - kBaseDay);
        auto r = fresh_record();
        r->daily[0] = daily_bucket{c.day, 1, 4};
        // One ring entry, up: the fallback would say 100.0.
        r->heartbeats[0] = heartbeat_entry{c.day * kDay, 1, 1.0f};
        r->hb_head = 1;
        r->hb_count = 1;
        EXPECT_EQ(compute_uptime_90d(*r, kNow), c.counts ? 25.0 : 100.0);
    }
}

TEST(Uptime90d, RingFallbackCountsEveryEntryHoweverOld) {
    auto r = fresh_record();
    const int64_t old = (kBaseDay - 100) * kDay;
    for (int s : {1, 0, 1, 1}) record_heartbeat_internal(*r, s, 1.0, old);
    EXPECT_EQ(real_text(compute_uptime_90d(*r, kNow)), "75.0");

    // 257 was down in its bucket but its ring byte is 1.
    r = fresh_record();
    for (int s : {257, 0, 1}) record_heartbeat_internal(*r, s, 1.0, old);
    EXPECT_EQ(real_text(compute_uptime_90d(*r, kNow)), "66.66666666666667");
    r = fresh_record();
    for (int s : {257, 0, 1}) record_heartbeat_internal(*r, s, 1.0, kNow);
    EXPECT_EQ(real_text(compute_uptime_90d(*r, kNow)), "33.333333333333336");

    // Wrapped ring: only the 4096 held entries count.
    r = fresh_record();
    for (int i = 0; i < 5000; ++i) record_heartbeat_internal(*r, i < 904 + 1024 ? 0 : 1, 1.0, old);
    EXPECT_EQ(compute_uptime_90d(*r, kNow), 75.0);
}

TEST(Uptime90d, LoadedCountsAboveTotalAreCapped) {
    auto r = fresh_record();
    r->daily[3] = daily_bucket{kBaseDay, 9, 3};
    EXPECT_EQ(compute_uptime_90d(*r, kNow), 100.0);
    // Sums do not overflow 32 bits.
    r = fresh_record();
    for (int i = 0; i < DAILY_BUCKETS; ++i) r->daily[i] = daily_bucket{kBaseDay - i, 0xFFFFFFFFu, 0xFFFFFFFFu};
    EXPECT_EQ(compute_uptime_90d(*r, kNow), 100.0);
    r->daily[0].up_count = 0;
    EXPECT_GT(compute_uptime_90d(*r, kNow), 98.0);
}

// --- through the exported functions -----------------------------------------

class HeartbeatApi : public engine_test {};

TEST_F(HeartbeatApi, RecordWritesNoFile) {
    start();
    std::string id = add();
    const std::string dat = read_file_bytes(dat_path(id));
    const std::string json = file("monitors.json");
    platform::fault_disarm_all();
    ASSERT_EQ(uptime_heartbeat_record(id.c_str(), 1, 3.5, 1718000000), 0);
    EXPECT_EQ(platform::fault_calls(platform::fault_point::file_open), 0);
    EXPECT_TRUE(same_bytes(read_file_bytes(dat_path(id)), dat));
    EXPECT_EQ(file("monitors.json"), json);
    // The next full save carries it.
    ASSERT_EQ(uptime_save_state(), 0);
    const std::string saved = read_file_bytes(dat_path(id));
    EXPECT_EQ(le_i32(saved, 12), 1);
    EXPECT_EQ(le_i64(saved, kDatRing), 1718000000);
}

TEST_F(HeartbeatApi, LatencyMustFitSinglePrecision) {
    start();
    std::string id = add();
    const double refused[] = {std::nan(""), std::numeric_limits<double>::infinity(),
                              -std::numeric_limits<double>::infinity(), 3.5e38, -3.5e38,
                              std::nextafter(static_cast<double>(FLT_MAX), 1e300), 1e300};
    for (double latency : refused) {
        SCOPED_TRACE(latency);
        EXPECT_EQ(uptime_heartbeat_record(id.c_str(), 1, latency, 100), -1);
        EXPECT_STREQ(uptime_last_error(), "Invalid latency");
        EXPECT_EQ(s_monitors[0].hb_count, 0);
        EXPECT_EQ(s_monitors[0].status, UPTIME_STATUS_PENDING);
    }
    for (double latency : {static_cast<double>(FLT_MAX), -static_cast<double>(FLT_MAX), 0.0, -0.0, 5e-324}) {
        SCOPED_TRACE(latency);
        EXPECT_EQ(uptime_heartbeat_record(id.c_str(), 1, latency, 100), 0);
    }
    EXPECT_EQ(s_monitors[0].hb_count, 5);
    // Every accepted latency can be written.
    EXPECT_NE(std::string(uptime_get_heartbeats_json(id.c_str(), 0)), "[]");
    EXPECT_NE(std::string(uptime_monitors_list_json()), "[]");
}

TEST_F(HeartbeatApi, PercentThroughTheApi) {
    start();
    std::string id = add();
    const int64_t now = platform::unix_time();
    for (int s : {1, 0, 1}) ASSERT_EQ(uptime_heartbeat_record(id.c_str(), s, 1.0, now), 0);
    EXPECT_EQ(real_text(uptime_get_percent_90d(id.c_str())), "66.66666666666667");

    ASSERT_EQ(uptime_monitor_delete("missing"), -1);
    EXPECT_EQ(uptime_get_percent_90d(nullptr), 100.0);
    EXPECT_EQ(uptime_get_percent_90d("missing"), 100.0);
    EXPECT_EQ(uptime_get_percent_90d(""), 100.0);
    stop();
    EXPECT_EQ(uptime_get_percent_90d(id.c_str()), 100.0);
    EXPECT_STREQ(uptime_last_error(), "Monitor not found");
}

}  // namespace
}  // namespace vue::test
