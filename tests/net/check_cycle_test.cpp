// The check cycle end to end: recording, the status-change event, the lock
// left free during probes.
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <rapidjson/document.h>

#include "net_support.h"
#include "probes/probes.h"

namespace vue::test {
namespace {

using servers = loopback_servers;

TEST(status_change_body, ExactText) {
    EXPECT_EQ(status_change_body("id-1", "Web", 0, 1234.5678, 1718000000),
              R"({"event":"status_change","monitor_id":"id-1","name":"Web","status":0,"status_text":"DOWN",)"
              R"("latency_ms":1234.57,"timestamp":1718000000})");
    struct row {
        int status;
        double latency;
        const char *fragment;
    };
    const row rows[] = {
        {1, 0.1, R"("status":1,"status_text":"UP","latency_ms":0.10,)"},
        {0, 0.0, R"("status":0,"status_text":"DOWN","latency_ms":0.00,)"},
        {1, 5000.004, R"("latency_ms":5000.00,)"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.fragment);
        EXPECT_NE(status_change_body("i", "n", r.status, r.latency, -5).find(r.fragment), std::string::npos);
    }
    EXPECT_NE(status_change_body("i", "n", 1, 1, -5).find(R"("timestamp":-5})"), std::string::npos);
}

TEST(status_change_body, EscapesNameAndIdAndStaysWholeWhenLong) {
    EXPECT_NE(status_change_body("a\"b", "q\"\\\n\t\x01\x1f/é", 1, 1, 1)
                  .find(R"("monitor_id":"a\"b","name":"q\"\\\n\t\u0001\u001F/é")"),
              std::string::npos);
    // Control characters grow six-fold; the body must still be whole.
    const std::string name(127, '\x02');
    const std::string id(36, '\x01');
    const std::string body = status_change_body(id.c_str(), name.c_str(), 1, 1, 1);
    EXPECT_GT(body.size(), 1024u);
    rapidjson::Document doc;
    ASSERT_FALSE(doc.Parse(body.c_str()).HasParseError());
    EXPECT_EQ(std::string(doc["name"].GetString()), name);
    EXPECT_EQ(std::string(doc["monitor_id"].GetString()), id);
}

class check_cycle : public network_test {
protected:
    // A monitor whose previous status is `previous`, checked against a
    // target that answers `up`.
    std::string monitor_with_previous(int previous, const std::string &name = "svc") {
        std::string id = add(name, UPTIME_MONITOR_HTTP, servers::url("http4", "/status/200"));
        EXPECT_EQ(uptime_heartbeat_record(id.c_str(), previous, 1.0, 1000), 0);
        return id;
    }
};

TEST_F(check_cycle, RecordsTheHeartbeatAndWritesTheFile) {
    std::string id = add("svc", UPTIME_MONITOR_HTTP, servers::url("http4", "/status/204"));
    outcome o = check(id);
    ASSERT_EQ(o.up, 1);
    std::string list = uptime_get_heartbeats_json(id.c_str(), 0);
    EXPECT_NE(list.find(R"("status":1)"), std::string::npos);
    std::string dat = read_file_bytes(dat_path(id));
    ASSERT_EQ(dat.size(), kDatSize);
    EXPECT_EQ(le_i32(dat, 12), 1);  // count
    EXPECT_EQ(le_i32(dat, 16), 1);  // head
    EXPECT_EQ(static_cast<uint8_t>(dat[kDatRing + 8]), 1);
    EXPECT_FLOAT_EQ(le_f32(dat, kDatRing + 9), static_cast<float>(o.latency_ms));
}

TEST_F(check_cycle, EventOnlyOnAFlipFromAKnownStatus) {
    ASSERT_EQ(uptime_set_webhook_url(servers::url("hook", "/status/200").c_str()), 0);
    const std::string up = servers::url("http4", "/status/200");
    const std::string down = servers::url("http4", "/status/500");
    struct row {
        const char *what;
        int previous;  // -1: a new, pending monitor
        bool target_up;
        int events;
    };
    const row rows[] = {
        {"first check of a new monitor", -1, false, 0},
        {"first check of a new monitor, up", -1, true, 0},
        {"up stays up", 1, true, 0},
        {"down stays down", 0, false, 0},
        {"up goes down", 1, false, 1},
        {"down comes up", 0, true, 1},
        {"pending recorded by the host", 2, true, 0},
        {"unusual status differs from any outcome", 257, true, 1},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        std::string id = add("svc", UPTIME_MONITOR_HTTP, r.target_up ? up : down);
        if (r.previous >= 0) {
            ASSERT_EQ(uptime_heartbeat_record(id.c_str(), r.previous, 1.0, 1000), 0);
        }
        servers::mark("hook");
        outcome o = check(id);
        EXPECT_EQ(o.up, r.target_up ? 1 : 0);
        EXPECT_EQ(servers::since_mark("hook").size(), static_cast<size_t>(r.events));
    }
}

TEST_F(check_cycle, EventCarriesTheExactBody) {
    ASSERT_EQ(uptime_set_webhook_url(servers::url("hook", "/events/in").c_str()), 0);
    for (int previous : {1, 0}) {
        SCOPED_TRACE(previous);
        const int up = 1 - previous;
        std::string id = add("Name \"quoted\"", UPTIME_MONITOR_HTTP,
                             servers::url("http4", up ? "/status/200" : "/status/404"));
        ASSERT_EQ(uptime_heartbeat_record(id.c_str(), previous, 1.0, 1000), 0);
        servers::mark("hook");
        outcome o = check(id);
        ASSERT_EQ(o.up, up);
        auto events = servers::since_mark("hook");
        ASSERT_EQ(events.size(), 1u);
        const logged_request &e = events[0];
        EXPECT_EQ(e.method, "POST");
        EXPECT_EQ(e.target, "/events/in");
        EXPECT_EQ(e.header("content-type"), "application/json");
        EXPECT_EQ(e.header("user-agent"), "vantorel-uptime-engine/1.0");
        rapidjson::Document doc;
        ASSERT_FALSE(doc.Parse(e.body.c_str()).HasParseError()) << e.body;
        const int64_t timestamp = doc["timestamp"].GetInt64();
        EXPECT_EQ(e.body, status_change_body(id.c_str(), "Name \"quoted\"", up, o.latency_ms, timestamp));
        // The event's time is the heartbeat's time.
        EXPECT_NE(std::string(uptime_get_heartbeats_json(id.c_str(), 1)).find("\"time\":" + std::to_string(timestamp)),
                  std::string::npos);
    }
}

TEST_F(check_cycle, NoEventWithoutAUrlOrWithoutAScheme) {
    std::string id = monitor_with_previous(0);
    servers::mark("hook");
    EXPECT_EQ(check(id).up, 1);  // no URL set
    ASSERT_EQ(uptime_set_webhook_url(("127.0.0.1:" + std::to_string(servers::port("hook")) + "/x").c_str()), 0);
    ASSERT_EQ(uptime_heartbeat_record(id.c_str(), 0, 1.0, 1000), 0);
    EXPECT_EQ(check(id).up, 1);  // a URL without a scheme is not sent
    EXPECT_TRUE(servers::since_mark("hook").empty());
}

TEST_F(check_cycle, FailingReceiverChangesNothing) {
    for (const char *path : {"/status/500", "/silent"}) {
        SCOPED_TRACE(path);
        ASSERT_EQ(uptime_set_webhook_url(servers::url("hook", path).c_str()), 0);
        std::string id = monitor_with_previous(0);
        servers::mark("hook");
        auto begin = std::chrono::steady_clock::now();
        outcome o = check(id);
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        EXPECT_EQ(o.up, 1);
        EXPECT_EQ(servers::since_mark("hook").size(), 1u);  // one attempt, no retry
        EXPECT_STREQ(uptime_last_error(), "");
        EXPECT_LT(seconds, 10.0);  // a silent receiver costs at most its 3 s stage
        std::string list = uptime_get_heartbeats_json(id.c_str(), 1);
        EXPECT_NE(list.find(R"("status":1)"), std::string::npos);
    }
}

TEST_F(check_cycle, WebhookAcceptsUnknownIssuerExpiredAndWrongName) {
    for (const char *server : {"https_selfsigned", "https_expired", "https_wrongname"}) {
        SCOPED_TRACE(server);
        ASSERT_EQ(uptime_set_webhook_url(servers::url(server, "/hook").c_str()), 0);
        std::string id = monitor_with_previous(0);
        servers::mark(server);
        EXPECT_EQ(check(id).up, 1);
        auto requests = servers::since_mark(server);
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].method, "POST");
    }
}

TEST_F(check_cycle, WebhookRefusesACertificateNotForServers) {
    SKIP_UNDER_WINE("its WinHTTP does not check a certificate's extended key usage");
    ASSERT_EQ(uptime_set_webhook_url(servers::url("https_clientonly", "/hook").c_str()), 0);
    std::string id = monitor_with_previous(0);
    servers::mark("https_clientonly");
    EXPECT_EQ(check(id).up, 1);
    EXPECT_TRUE(servers::since_mark("https_clientonly").empty());
}

TEST_F(check_cycle, UnknownTypesRecordDownWithoutProbing) {
    for (int type : {7, -1}) {
        SCOPED_TRACE(type);
        std::string id = add("odd", type, servers::url("http4", "/status/200"));
        servers::mark("http4");
        outcome o = check(id);
        EXPECT_EQ(o.up, 0);
        EXPECT_EQ(o.latency_ms, 0.0);
        EXPECT_TRUE(servers::since_mark("http4").empty());
        EXPECT_TRUE(std::filesystem::exists(dat_path(id)));
    }
}

TEST_F(check_cycle, LookupFailuresLeaveOutputsAlone) {
    int up = 42;
    double latency = 42.0;
    EXPECT_EQ(uptime_check_now("no-such-id", &up, &latency), -1);
    EXPECT_STREQ(uptime_last_error(), "Monitor not found");
    EXPECT_EQ(up, 42);
    EXPECT_EQ(latency, 42.0);
    EXPECT_EQ(uptime_check_now(nullptr, &up, &latency), -1);
    EXPECT_STREQ(uptime_last_error(), "Engine not initialized or null monitor_id");
    std::string id = add("svc", UPTIME_MONITOR_HTTP, servers::url("http4", "/status/200"));
    EXPECT_EQ(uptime_check_now(id.c_str(), nullptr, nullptr), 0);  // outputs are optional
    EXPECT_STREQ(uptime_last_error(), "Engine not initialized or null monitor_id");  // success clears nothing
    stop();
    EXPECT_EQ(uptime_check_now(id.c_str(), &up, &latency), -1);
    EXPECT_STREQ(uptime_last_error(), "Engine not initialized or null monitor_id");
}

TEST_F(check_cycle, MonitorDeletedDuringItsProbe) {
    ASSERT_EQ(uptime_set_webhook_url(servers::url("hook", "/status/200").c_str()), 0);
    std::string id = add("slow", UPTIME_MONITOR_HTTP, servers::url("http4", "/slow/1500/status/500"));
    ASSERT_EQ(uptime_heartbeat_record(id.c_str(), 1, 1.0, 1000), 0);
    std::error_code ec;
    std::filesystem::remove(dat_path(id), ec);
    servers::mark("hook");

    outcome o;
    std::thread checker([&] { o = check(id); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // The lock is free during the probe, so the delete does not wait for it.
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(uptime_monitor_delete(id.c_str()), 0);
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    checker.join();

    EXPECT_LT(waited, 1.0);
    EXPECT_EQ(o.up, 0);  // outputs written
    EXPECT_GT(o.latency_ms, 1000.0);
    EXPECT_FALSE(std::filesystem::exists(dat_path(id)));  // no file for a monitor that is gone
    EXPECT_STREQ(uptime_get_heartbeats_json(id.c_str(), 0), "[]");
    EXPECT_EQ(servers::since_mark("hook").size(), 1u);  // the flip is still announced
}

TEST_F(check_cycle, ConcurrentChecksDoNotWaitForEachOther) {
    // 32 checks of targets that take a second each: with the lock free
    // during probes they overlap; serialised they would take 32 s.
    constexpr int kMonitors = 32;
    std::vector<std::string> ids;
    for (int i = 0; i < kMonitors; ++i) ids.push_back(add("m" + std::to_string(i), UPTIME_MONITOR_HTTP,
                                                           servers::url("http4", "/slow/1000/status/200")));
    std::vector<outcome> results(kMonitors);
    auto begin = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int i = 0; i < kMonitors; ++i) {
        threads.emplace_back([&, i] {
            EXPECT_EQ(uptime_check_now(ids[i].c_str(), &results[i].up, &results[i].latency_ms), 0);
            // Other calls keep working while probes are under way.
            EXPECT_NE(uptime_monitors_list_json(), nullptr);
        });
    }
    for (std::thread &t : threads) t.join();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    for (int i = 0; i < kMonitors; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(results[i].up, 1);
        EXPECT_GE(results[i].latency_ms, 1000.0);
    }
    EXPECT_LT(seconds, 16.0);
}

}  // namespace
}  // namespace vue::test
