// The two compact JSON reports handed to the host.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "core/engine_state.h"
#include "test_support.h"

namespace vue::test {
namespace {

class Reports : public engine_test {};

TEST_F(Reports, MonitorListOfAKnownState) {
    put_file("monitors.json",
             R"([{"id":"3b9f2c4e-7a1d-4e6b-9c58-0d2e4f6a8b1c","name":"Mail \"relay\"\nB","type":1,)"
             R"("target":"10.0.0.25:25","interval_sec":60,"status":1,"last_latency_ms":3.25,"last_check":1718000000,)"
             R"("created_at":5},)"
             R"({"id":"c1a7e5d3-2b4f-4a69-8e0d-5f3b7c9a1e2d","name":"Resolver","type":2,"target":"h/caf\u00e9",)"
             R"("interval_sec":300,"status":2,"last_latency_ms":0,"last_check":0,"created_at":6},)"
             R"({"id":"x","name":"n","type":4,"target":"t","interval_sec":-5,"status":257,"last_latency_ms":12.300000190734863,)"
             R"("last_check":-1,"created_at":0},)"
             R"({"id":"y","type":-1}])");
    // The first monitor's days lie long past: its ring decides, 2 up of 3.
    dat_image d;
    d.count = 3;
    d.head = 3;
    d.ring = {{0, 100, 1, 1.0f}, {1, 200, 0, 1.0f}, {2, 300, 1, 1.0f}};
    d.daily = {{89, 0, 2, 3}};
    put_file("data/3b9f2c4e-7a1d-4e6b-9c58-0d2e4f6a8b1c/heartbeats.dat", make_dat(d));
    start();
    EXPECT_STREQ(uptime_monitors_list_json(),
                 R"([{"id":"3b9f2c4e-7a1d-4e6b-9c58-0d2e4f6a8b1c","name":"Mail \"relay\"\nB","type":1,)"
                 R"("type_name":"TCP_PORT","target":"10.0.0.25:25","interval_sec":60,"status":1,"latency_ms":3.25,)"
                 R"("last_check":1718000000,"uptime_90d":66.66666666666667},)"
                 R"({"id":"c1a7e5d3-2b4f-4a69-8e0d-5f3b7c9a1e2d","name":"Resolver","type":2,"type_name":"DNS",)"
                 "\"target\":\"h/caf\xC3\xA9\","
                 R"("interval_sec":300,"status":2,"latency_ms":0.0,"last_check":0,"uptime_90d":100.0},)"
                 R"({"id":"x","name":"n","type":4,"type_name":"UNKNOWN","target":"t","interval_sec":-5,"status":257,)"
                 R"("latency_ms":12.300000190734863,"last_check":-1,"uptime_90d":100.0},)"
                 R"({"id":"y","name":"","type":-1,"type_name":"UNKNOWN","target":"","interval_sec":0,"status":0,)"
                 R"("latency_ms":0.0,"last_check":0,"uptime_90d":100.0}])");
}

TEST_F(Reports, TypeNames) {
    start();
    const struct {
        int type;
        const char *name;
    } cases[] = {{0, "HTTP"}, {1, "TCP_PORT"}, {2, "DNS"}, {3, "PING"}, {4, "UNKNOWN"}, {-1, "UNKNOWN"},
                 {INT_MAX, "UNKNOWN"}, {INT_MIN, "UNKNOWN"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.type);
        std::string id = add("n", c.type);
        const std::string list = uptime_monitors_list_json();
        const std::string expected = "\"id\":\"" + id + "\",\"name\":\"n\",\"type\":" + std::to_string(c.type) +
                                     ",\"type_name\":\"" + c.name + "\"";
        EXPECT_NE(list.find(expected), std::string::npos) << list;
    }
}

TEST_F(Reports, NewMonitorAndEmptyTable) {
    EXPECT_STREQ(uptime_monitors_list_json(), "[]");
    start();
    EXPECT_STREQ(uptime_monitors_list_json(), "[]");
    std::string id = add("fresh", 3, "10.1.2.3", 0);
    EXPECT_EQ(std::string(uptime_monitors_list_json()),
              "[{\"id\":\"" + id +
                  R"(","name":"fresh","type":3,"type_name":"PING","target":"10.1.2.3","interval_sec":60,)"
                  R"("status":2,"latency_ms":0.0,"last_check":0,"uptime_90d":100.0}])");
    stop();
    EXPECT_STREQ(uptime_monitors_list_json(), "[]");
}

TEST_F(Reports, HeartbeatListOfAKnownHistory) {
    start();
    std::string id = add();
    ASSERT_EQ(uptime_heartbeat_record(id.c_str(), 1, 12.5, 1718000000), 0);
    ASSERT_EQ(uptime_heartbeat_record(id.c_str(), 0, 250.0, 1718000060), 0);
    ASSERT_EQ(uptime_heartbeat_record(id.c_str(), 1, 12.3, 1718000120), 0);
    ASSERT_EQ(uptime_heartbeat_record(id.c_str(), 256, 0.0, -5), 0);
    ASSERT_EQ(uptime_heartbeat_record(id.c_str(), -1, -0.5, INT64_MIN), 0);
    EXPECT_STREQ(uptime_get_heartbeats_json(id.c_str(), 0),
                 R"([{"time":1718000000,"status":1,"latency_ms":12.5},)"
                 R"({"time":1718000060,"status":0,"latency_ms":250.0},)"
                 R"({"time":1718000120,"status":1,"latency_ms":12.300000190734863},)"
                 R"({"time":-5,"status":0,"latency_ms":0.0},)"
                 R"({"time":-9223372036854775808,"status":255,"latency_ms":-0.5}])");
}

TEST_F(Reports, HeartbeatListLimit) {
    start();
    std::string id = add();
    for (int64_t t : {100, 200, 300}) ASSERT_EQ(uptime_heartbeat_record(id.c_str(), 1, 1.0, t), 0);
    const std::string all = R"([{"time":100,"status":1,"latency_ms":1.0},{"time":200,"status":1,"latency_ms":1.0},)"
                            R"({"time":300,"status":1,"latency_ms":1.0}])";
    const struct {
        int limit;
        std::string text;
    } cases[] = {
        {0, all},
        {-1, all},
        {INT32_MIN, all},
        {4, all},
        {3, all},
        {1, R"([{"time":300,"status":1,"latency_ms":1.0}])"},
        {2, R"([{"time":200,"status":1,"latency_ms":1.0},{"time":300,"status":1,"latency_ms":1.0}])"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.limit);
        EXPECT_EQ(std::string(uptime_get_heartbeats_json(id.c_str(), c.limit)), c.text);
    }
}

TEST_F(Reports, HeartbeatListKeepsRecordingOrderAndWraps) {
    start();
    std::string id = add();
    ASSERT_EQ(uptime_heartbeat_record(id.c_str(), 1, 1.0, 300), 0);
    ASSERT_EQ(uptime_heartbeat_record(id.c_str(), 1, 1.0, 100), 0);
    EXPECT_STREQ(uptime_get_heartbeats_json(id.c_str(), 0),
                 R"([{"time":300,"status":1,"latency_ms":1.0},{"time":100,"status":1,"latency_ms":1.0}])");

    std::string many = add();
    for (int i = 1; i <= 5000; ++i) ASSERT_EQ(uptime_heartbeat_record(many.c_str(), 1, 1.0, i), 0);
    const std::string list = uptime_get_heartbeats_json(many.c_str(), 0);
    EXPECT_EQ(list.rfind(R"([{"time":905,"status":1,"latency_ms":1.0},{"time":906,)", 0), 0u);
    const std::string tail = R"({"time":5000,"status":1,"latency_ms":1.0}])";
    ASSERT_GE(list.size(), tail.size());
    EXPECT_EQ(list.substr(list.size() - tail.size()), tail);
    size_t objects = 0;
    for (size_t at = list.find("{\"time\""); at != std::string::npos; at = list.find("{\"time\"", at + 1)) ++objects;
    EXPECT_EQ(objects, 4096u);
    EXPECT_EQ(std::string(uptime_get_heartbeats_json(many.c_str(), 1)),
              R"([{"time":5000,"status":1,"latency_ms":1.0}])");
}

TEST_F(Reports, EmptyAnswersLeaveTheBufferAlone) {
    start();
    std::string id = add();
    std::string quiet = add();
    ASSERT_EQ(uptime_heartbeat_record(id.c_str(), 1, 1.0, 100), 0);
    const char *report = uptime_get_heartbeats_json(id.c_str(), 0);
    const std::string text = report;
    EXPECT_EQ(report, s_heartbeats_json);
    const char *const probes[] = {"nope", nullptr, quiet.c_str()};
    for (const char *probe : probes) {
        SCOPED_TRACE(probe == nullptr ? "null" : probe);
        const char *empty = uptime_get_heartbeats_json(probe, 0);
        EXPECT_STREQ(empty, "[]");
        EXPECT_NE(empty, s_heartbeats_json);
        EXPECT_EQ(std::string(s_heartbeats_json), text);
    }
    // The other report has its own buffer.
    uptime_monitors_list_json();
    EXPECT_EQ(std::string(report), text);
    stop();
    EXPECT_STREQ(uptime_get_heartbeats_json(id.c_str(), 0), "[]");
    EXPECT_EQ(std::string(s_heartbeats_json), text);
}

TEST_F(Reports, AfterADeleteTheOthersKeepTheirOrder) {
    start();
    std::string a = add("a"), b = add("b"), c = add("c");
    ASSERT_EQ(uptime_monitor_delete(a.c_str()), 0);
    const std::string list = uptime_monitors_list_json();
    EXPECT_EQ(list.find(a), std::string::npos);
    EXPECT_LT(list.find(b), list.find(c));
    EXPECT_EQ(list.find("{\"id\":\"" + b), 1u);
}

}  // namespace
}  // namespace vue::test
