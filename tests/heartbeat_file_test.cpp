// heartbeats.dat: the exact image written, what a start accepts from it,
// and the checks that rewrite it.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "core/engine_state.h"
#include "platform/fault.h"
#include "store/state_store.h"
#include "test_support.h"

namespace vue::test {
namespace {

using platform::fault_calls;
using platform::fault_point;

class HeartbeatFile : public engine_test {};

TEST_F(HeartbeatFile, KnownHistoryIsWrittenByteForByte) {
    start();
    std::string id = add();
    ASSERT_EQ(uptime_heartbeat_record(id.c_str(), 1, 12.5, 1718000000), 0);
    ASSERT_EQ(uptime_heartbeat_record(id.c_str(), -1, 12.3, 1718000060), 0);
    ASSERT_EQ(uptime_heartbeat_record(id.c_str(), 0, 250.0, 1718086400), 0);  // next day
    ASSERT_EQ(uptime_save_state(), 0);
    const std::string bytes = read_file_bytes(dat_path(id));
    ASSERT_EQ(bytes.size(), 54712u);

    // The layout spelled out field by field, independently of the engine.
    EXPECT_EQ(bytes.substr(0, 8), "VNUPTIME");
    EXPECT_EQ(bytes.substr(8, 16), std::string("\x01\0\0\0" "\x03\0\0\0" "\x03\0\0\0" "\x00\x10\0\0", 16));
    // Slot 0: 1718000000 = 0x66669980, status 1, 12.5f = 0x41480000.
    EXPECT_EQ(bytes.substr(24, 13), std::string("\x80\x99\x66\x66\0\0\0\0" "\x01" "\x00\x00\x48\x41", 13));
    // Slot 1: status -1 keeps its low byte 0xFF; 12.3f = 0x4144CCCD.
    EXPECT_EQ(bytes.substr(37, 13), std::string("\xBC\x99\x66\x66\0\0\0\0" "\xFF" "\xCD\xCC\x44\x41", 13));
    // Bucket 89: day 19884 = 0x4DAC, 1 up of 2; bucket 88: day 19885, 0 of 1.
    EXPECT_EQ(bytes.substr(53272 + 16 * 89, 16), std::string("\xAC\x4D\0\0\0\0\0\0" "\x01\0\0\0" "\x02\0\0\0", 16));
    EXPECT_EQ(bytes.substr(53272 + 16 * 88, 16), std::string("\xAD\x4D\0\0\0\0\0\0" "\0\0\0\0" "\x01\0\0\0", 16));

    dat_image expected;
    expected.count = 3;
    expected.head = 3;
    expected.ring = {{0, 1718000000, 1, 12.5f}, {1, 1718000060, 255, 12.3f}, {2, 1718086400, 0, 250.0f}};
    expected.daily = {{89, 19884, 1, 2}, {88, 19885, 0, 1}};
    EXPECT_TRUE(same_bytes(bytes, make_dat(expected)));
}

TEST_F(HeartbeatFile, NewMonitorHasAnEmptyImage) {
    start();
    std::string id = add();
    EXPECT_TRUE(same_bytes(read_file_bytes(dat_path(id)), make_dat(dat_image{})));
}

TEST_F(HeartbeatFile, FullRingWrapsInTheFile) {
    start();
    std::string id = add();
    for (int i = 0; i < 4097; ++i) ASSERT_EQ(uptime_heartbeat_record(id.c_str(), 1, 1.0, 1000 + i), 0);
    ASSERT_EQ(uptime_save_state(), 0);
    const std::string bytes = read_file_bytes(dat_path(id));
    EXPECT_EQ(le_i32(bytes, 12), 4096);  // count
    EXPECT_EQ(le_i32(bytes, 16), 1);     // head
    EXPECT_EQ(le_i64(bytes, kDatRing), 1000 + 4096);
    EXPECT_EQ(le_i64(bytes, kDatRing + 13), 1001);
    EXPECT_EQ(le_i64(bytes, kDatRing + 13 * 4095), 1000 + 4095);
}

TEST_F(HeartbeatFile, WhatAStartAcceptsFromHandMadeFiles) {
    const dat_image base = [] {
        dat_image d;
        d.count = 2;
        d.head = 2;
        d.ring = {{0, 500, 1, 3.5f}, {1, 600, 0, 4.5f}};
        d.daily = {{89, 0, 1, 2}};
        return d;
    }();
    auto with = [&](auto change) {
        dat_image d = base;
        change(d);
        return make_dat(d);
    };
    std::string bad_magic = make_dat(base);
    bad_magic[7] = 'F';
    const std::string beyond = make_dat(base) + "trailing";
    const struct {
        const char *label;
        std::string bytes;
        bool loaded;
        int count, head;
        const char *list;  // the heartbeat list after the start
    } cases[] = {
        {"as written", make_dat(base), true, 2, 2,
         R"([{"time":500,"status":1,"latency_ms":3.5},{"time":600,"status":0,"latency_ms":4.5}])"},
        {"version 7", with([](dat_image &d) { d.version = 7; }), true, 2, 2, nullptr},
        {"capacity 4095", with([](dat_image &d) { d.capacity = 4095; }), false, 0, 0, nullptr},
        {"magic off by one byte", bad_magic, false, 0, 0, nullptr},
        {"head 4096", with([](dat_image &d) { d.head = 4096; }), false, 0, 0, nullptr},
        {"head -1", with([](dat_image &d) { d.head = -1; }), false, 0, 0, nullptr},
        {"count 4097", with([](dat_image &d) { d.count = 4097; }), false, 0, 0, nullptr},
        {"count -1", with([](dat_image &d) { d.count = -1; }), false, 0, 0, nullptr},
        {"head 4095, count 4096", with([](dat_image &d) { d.head = 4095; d.count = 4096; }), true, 4096, 4095,
         nullptr},
        {"header only", with([](dat_image &d) { d.size = 24; }), true, 2, 2,
         R"([{"time":0,"status":0,"latency_ms":0.0},{"time":0,"status":0,"latency_ms":0.0}])"},
        {"shorter than the header", with([](dat_image &d) { d.size = 23; }), false, 0, 0, nullptr},
        {"ring cut inside slot 1", with([](dat_image &d) { d.size = 24 + 13 + 5; }), true, 2, 2,
         R"([{"time":500,"status":1,"latency_ms":3.5},{"time":0,"status":0,"latency_ms":0.0}])"},
        {"longer than the image", beyond, true, 2, 2, nullptr},
        // Once a whole empty heartbeat report: no report can show these.
        {"NaN latency", with([](dat_image &d) { d.ring[1].latency_ms = std::nanf(""); }), true, 2, 2,
         R"([{"time":500,"status":1,"latency_ms":3.5},{"time":600,"status":0,"latency_ms":0.0}])"},
        {"infinite latencies",
         with([](dat_image &d) {
             d.ring[0].latency_ms = std::numeric_limits<float>::infinity();
             d.ring[1].latency_ms = -std::numeric_limits<float>::infinity();
         }),
         true, 2, 2, R"([{"time":500,"status":1,"latency_ms":0.0},{"time":600,"status":0,"latency_ms":0.0}])"},
        {"empty file", "", false, 0, 0, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        stop();
        fs::remove_all(storage_);
        put_file("monitors.json", R"([{"id":"m"}])");
        put_file("data/m/heartbeats.dat", c.bytes);
        start();
        ASSERT_EQ(s_monitor_count, 1);
        const monitor_record &m = s_monitors[0];
        EXPECT_EQ(m.hb_count, c.count);
        EXPECT_EQ(m.hb_head, c.head);
        if (c.loaded) {
            EXPECT_EQ(int64_t{m.heartbeats[0].timestamp}, c.label == std::string("header only") ? 0 : 500);
        } else {
            // Ignored whole: nothing of the file reaches the record.
            EXPECT_EQ(int64_t{m.heartbeats[0].timestamp}, 0);
            EXPECT_EQ(m.daily[89].total_count, 0u);
            EXPECT_STREQ(uptime_get_heartbeats_json("m", 0), "[]");
        }
        if (c.list != nullptr) {
            EXPECT_STREQ(uptime_get_heartbeats_json("m", 0), c.list);
        }
        // A file the engine would not have written is replaced by the next save.
        ASSERT_EQ(uptime_save_state(), 0);
        const std::string saved = file("data/m/heartbeats.dat");
        EXPECT_EQ(saved.size(), kDatSize);
        EXPECT_EQ(le_i32(saved, 12), c.count);
        EXPECT_EQ(le_i32(saved, 16), c.head);
        EXPECT_EQ(le_i32(saved, 20), 4096);
        EXPECT_EQ(le_i32(saved, 8), 1);
    }
}

TEST_F(HeartbeatFile, LoadedBucketsAndRingFeedTheReports) {
    dat_image d;
    d.count = 3;
    d.head = 1;  // wrapped: slots 4094, 4095, 0 in that order
    d.ring = {{4094, 10, 1, 1.0f}, {4095, 20, 0, 2.0f}, {0, 30, 1, 3.0f}};
    put_file("monitors.json", R"([{"id":"m"}])");
    put_file("data/m/heartbeats.dat", make_dat(d));
    start();
    EXPECT_STREQ(uptime_get_heartbeats_json("m", 0),
                 R"([{"time":10,"status":1,"latency_ms":1.0},{"time":20,"status":0,"latency_ms":2.0},)"
                 R"({"time":30,"status":1,"latency_ms":3.0}])");
    // No bucket: the ring decides.
    EXPECT_EQ(uptime_get_percent_90d("m"), 200.0 / 3);
}

TEST_F(HeartbeatFile, EmptyIdUsesTheDataDirectoryItself) {
    dat_image d;
    d.count = 1;
    d.head = 1;
    d.ring = {{0, 77, 1, 1.0f}};
    put_file("monitors.json", R"([{"name":"anon"}])");
    put_file("data/heartbeats.dat", make_dat(d));
    start();
    EXPECT_EQ(s_monitors[0].hb_count, 1);
    ASSERT_EQ(uptime_heartbeat_record("", 1, 2.0, 88), 0);
    ASSERT_EQ(uptime_save_state(), 0);
    EXPECT_EQ(le_i32(file("data/heartbeats.dat"), 12), 2);
}

TEST_F(HeartbeatFile, LongIdIsShortenedBeforeItNamesTheFile) {
    const std::string id40 = "0123456789012345678901234567890123456789";
    dat_image d;
    d.count = 1;
    d.head = 1;
    d.ring = {{0, 77, 1, 1.0f}};
    put_file("monitors.json", "[{\"id\":\"" + id40 + "\"}]");
    put_file("data/" + id40.substr(0, 36) + "/heartbeats.dat", make_dat(d));
    start();
    EXPECT_EQ(s_monitors[0].hb_count, 1);
    ASSERT_EQ(uptime_save_state(), 0);
    EXPECT_NE(file("monitors.json").find("\"id\": \"" + id40.substr(0, 36) + "\""), std::string::npos);
}

// --- checks (the probes themselves come later; only what surrounds them) --

TEST_F(HeartbeatFile, FirstCheckOfAPendingMonitorWritesOnlyItsFile) {
    start();
    std::string other = add("other", 7);
    std::string id = add("unknown type", 7);
    const std::string other_before = read_file_bytes(dat_path(other));
    const std::string json_before = file("monitors.json");
    platform::fault_disarm_all();
    int up = -1;
    double latency = -1.0;
    ASSERT_EQ(uptime_check_now(id.c_str(), &up, &latency), 0);
    EXPECT_EQ(up, 0);
    EXPECT_EQ(latency, 0.0);
    // One file replaced, and not flushed: a check stays cheap.
    EXPECT_EQ(fault_calls(fault_point::file_open), 1);
    EXPECT_EQ(fault_calls(fault_point::file_sync), 0);
    EXPECT_TRUE(same_bytes(read_file_bytes(dat_path(other)), other_before));
    EXPECT_EQ(file("monitors.json"), json_before);

    const std::string bytes = read_file_bytes(dat_path(id));
    ASSERT_EQ(bytes.size(), kDatSize);
    EXPECT_EQ(le_i32(bytes, 8), 1);
    EXPECT_EQ(le_i32(bytes, 12), 1);
    EXPECT_EQ(le_i32(bytes, 16), 1);
    EXPECT_EQ(le_i32(bytes, 20), 4096);
    EXPECT_EQ(static_cast<unsigned char>(bytes[kDatRing + 8]), 0);
    EXPECT_EQ(le_f32(bytes, kDatRing + 9), 0.0f);
    EXPECT_EQ(le_i64(bytes, kDatRing + 13), 0);  // slot 1 untouched
    EXPECT_EQ(le_u32(bytes, kDatDaily + 16 * 89 + 12), 1u);
    EXPECT_EQ(le_u32(bytes, kDatDaily + 16 * 88 + 12), 0u);
    EXPECT_EQ(s_monitors[1].status, UPTIME_STATUS_DOWN);
    EXPECT_EQ(s_monitors[1].last_latency_ms, 0.0);
}

TEST_F(HeartbeatFile, UnknownTypesRecordDownWithoutProbing) {
    start();
    for (int type : {7, -1, 4, INT_MAX, INT_MIN}) {
        SCOPED_TRACE(type);
        std::string id = add("u", type, "anything");
        ASSERT_EQ(uptime_check_now(id.c_str(), nullptr, nullptr), 0);
        ASSERT_EQ(uptime_heartbeat_record(id.c_str(), 1, 9.0, 100), 0);
        int up = -1;
        double latency = -1.0;
        ASSERT_EQ(uptime_check_now(id.c_str(), &up, &latency), 0);
        EXPECT_EQ(up, 0);
        EXPECT_EQ(latency, 0.0);
        const monitor_record *m = find_monitor(id.c_str());
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(m->hb_count, 3);
        EXPECT_EQ(m->status, 0);
        EXPECT_EQ(m->heartbeats[2].status, 0);
        EXPECT_EQ(float{m->heartbeats[2].latency_ms}, 0.0f);
        EXPECT_EQ(le_i32(read_file_bytes(dat_path(id)), 12), 3);
    }
}

TEST_F(HeartbeatFile, CheckErrors) {
    EXPECT_EQ(uptime_check_now("x", nullptr, nullptr), -1);
    EXPECT_STREQ(uptime_last_error(), "Engine not initialized or null monitor_id");
    start();
    std::string id = add("u", 7);
    int up = 42;
    double latency = 42.0;
    EXPECT_EQ(uptime_check_now(nullptr, &up, &latency), -1);
    EXPECT_STREQ(uptime_last_error(), "Engine not initialized or null monitor_id");
    EXPECT_EQ(uptime_check_now("nope", &up, &latency), -1);
    EXPECT_STREQ(uptime_last_error(), "Monitor not found");
    EXPECT_EQ(uptime_check_now(std::string(id.size(), 'X').c_str(), &up, &latency), -1);
    // A refused check touches neither the outputs nor the monitor.
    EXPECT_EQ(up, 42);
    EXPECT_EQ(latency, 42.0);
    EXPECT_EQ(s_monitors[0].hb_count, 0);
}

}  // namespace
}  // namespace vue::test
