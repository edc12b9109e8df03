// The detail report of one monitor: its refusals, the run of failures read
// from the ring, the daily counters, and the last check kept in memory. The
// reasons of real probes are in the network suite.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <rapidjson/document.h>

#include "core/check_detail.h"
#include "platform/platform.h"
#include "test_support.h"

namespace vue::test {
namespace {

class DetailReport : public engine_test {
protected:
    std::string detail(const std::string &id) {
        const char *text = uptime_monitor_detail_json(id.c_str());
        EXPECT_NE(text, nullptr) << uptime_last_error();
        return text != nullptr ? text : "";
    }
    // The members after "last_check", as text.
    std::string tail(const std::string &id) {
        const std::string text = detail(id);
        const size_t at = text.find(",\"consecutive_failures\"");
        return at == std::string::npos ? text : text.substr(at);
    }
    // The "last_check" member's value, as text.
    std::string last_check(const std::string &id) {
        const std::string text = detail(id);
        const std::string key = "\"last_check\":";
        const size_t from = text.find(key);
        const size_t to = text.find(",\"consecutive_failures\"");
        if (from == std::string::npos || to == std::string::npos) return text;
        return text.substr(from + key.size(), to - from - key.size());
    }
};

TEST_F(DetailReport, RefusesWithTheFixedTexts) {
    EXPECT_EQ(uptime_monitor_detail_json("anything"), nullptr);
    EXPECT_STREQ(uptime_last_error(), "Engine not initialized or null monitor_id");
    start();
    const std::string id = add();
    EXPECT_EQ(uptime_monitor_detail_json(nullptr), nullptr);
    EXPECT_STREQ(uptime_last_error(), "Engine not initialized or null monitor_id");
    std::string upper = id;
    for (char &c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const std::string &unknown : {std::string("no-such-id"), std::string(""), upper}) {
        SCOPED_TRACE(unknown);
        EXPECT_EQ(uptime_monitor_detail_json(unknown.c_str()), nullptr);
        EXPECT_STREQ(uptime_last_error(), "Monitor not found");
    }
    EXPECT_NE(uptime_monitor_detail_json(id.c_str()), nullptr);
    EXPECT_STREQ(uptime_last_error(), "Monitor not found");  // a success clears nothing
    stop();
    EXPECT_EQ(uptime_monitor_detail_json(id.c_str()), nullptr);
    EXPECT_STREQ(uptime_last_error(), "Engine not initialized or null monitor_id");
}

TEST_F(DetailReport, NewMonitorHasNothingYet) {
    start();
    const std::string id = add();
    EXPECT_EQ(detail(id), "{\"id\":\"" + id +
                              R"(","last_check":null,"consecutive_failures":0,"down_since":null,"last_up":null,)"
                              R"("daily":[]})");
}

TEST_F(DetailReport, RunOfFailuresFollowsTheRingOrder) {
    struct beat {
        int status;
        int64_t time;
    };
    struct row {
        const char *what;
        std::vector<beat> beats;
        const char *expected;
    };
    const row rows[] = {
        {"up", {{1, 100}}, R"("consecutive_failures":0,"down_since":null,"last_up":100)"},
        {"down twice after up", {{1, 100}, {0, 200}, {0, 300}},
         R"("consecutive_failures":2,"down_since":200,"last_up":100)"},
        {"never up: since the oldest held", {{0, 100}, {0, 200}},
         R"("consecutive_failures":2,"down_since":100,"last_up":null)"},
        {"pending is not up", {{1, 100}, {2, 200}}, R"("consecutive_failures":1,"down_since":200,"last_up":100)"},
        {"any status but 1 fails", {{1, 100}, {-1, 150}, {7, 200}},
         R"("consecutive_failures":2,"down_since":150,"last_up":100)"},
        {"257 keeps 1 in the ring: up there", {{0, 100}, {257, 200}},
         R"("consecutive_failures":0,"down_since":null,"last_up":200)"},
        {"up again", {{0, 100}, {0, 200}, {1, 300}}, R"("consecutive_failures":0,"down_since":null,"last_up":300)"},
        // Recorded order decides, not the timestamps.
        {"late heartbeat with an earlier time", {{1, 500}, {0, 100}, {0, 50}},
         R"("consecutive_failures":2,"down_since":100,"last_up":500)"},
        {"up recorded last with the oldest time", {{0, 900}, {1, 10}},
         R"("consecutive_failures":0,"down_since":null,"last_up":10)"},
    };
    start();
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        const std::string id = add();
        for (const beat &b : r.beats) ASSERT_EQ(uptime_heartbeat_record(id.c_str(), b.status, 1.0, b.time), 0);
        EXPECT_NE(tail(id).find(r.expected), std::string::npos) << tail(id);
    }
}

TEST_F(DetailReport, RunOfFailuresOverTheWholeRing) {
    start();
    // 4095 failures, one up, then five: the ring holds 4090 + 1 + 5.
    const std::string some = add();
    for (int i = 0; i < 4095; ++i) ASSERT_EQ(uptime_heartbeat_record(some.c_str(), 0, 1.0, i), 0);
    ASSERT_EQ(uptime_heartbeat_record(some.c_str(), 1, 1.0, 5000), 0);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(uptime_heartbeat_record(some.c_str(), 0, 1.0, 6000 + i), 0);
    EXPECT_NE(tail(some).find(R"("consecutive_failures":5,"down_since":6000,"last_up":5000)"), std::string::npos);
    // More failures than the ring holds: it counts what it holds, since the
    // oldest of them.
    const std::string all = add();
    for (int i = 0; i < 5000; ++i) ASSERT_EQ(uptime_heartbeat_record(all.c_str(), 0, 1.0, i), 0);
    EXPECT_NE(tail(all).find(R"("consecutive_failures":4096,"down_since":904,"last_up":null)"), std::string::npos);
}

TEST_F(DetailReport, DailyCountersOldestFirstAcrossADayBoundary) {
    constexpr int64_t kDay = 20708;  // 2026-09-12
    constexpr int64_t kMidnight = kDay * 86400;
    start();
    const std::string id = add();
    const std::pair<int, int64_t> beats[] = {
        {1, kMidnight},            // 2026-09-12 00:00:00
        {0, kMidnight + 86399},    // 23:59:59, the same day
        {1, kMidnight + 86400},    // the next day
        {1, kMidnight - 1},        // the day before, recorded last
        {1, 11016 * 86400 + 5},    // 2000-02-29
        {0, -1},                   // day 0: the day number is truncated toward zero
        {1, -86400},               // day -1
    };
    for (const auto &[status, time] : beats) ASSERT_EQ(uptime_heartbeat_record(id.c_str(), status, 1.0, time), 0);
    const std::string text = tail(id);
    EXPECT_NE(text.find(R"("daily":[{"day":"1969-12-31","up":1,"total":1},{"day":"1970-01-01","up":0,"total":1},)"
                        R"({"day":"2000-02-29","up":1,"total":1},{"day":"2026-09-11","up":1,"total":1},)"
                        R"({"day":"2026-09-12","up":1,"total":2},{"day":"2026-09-13","up":1,"total":1}]})"),
              std::string::npos)
        << text;
}

TEST_F(DetailReport, DailyCountersAfterTheNinetyBucketsTurnOver) {
    constexpr int64_t kFirst = 20708;  // 2026-09-12
    start();
    const std::string id = add();
    // 95 days, one heartbeat each, the last one with three (two up).
    for (int64_t d = 0; d < 95; ++d) {
        ASSERT_EQ(uptime_heartbeat_record(id.c_str(), d % 2 == 0 ? 1 : 0, 1.0, (kFirst + d) * 86400 + 60), 0);
    }
    ASSERT_EQ(uptime_heartbeat_record(id.c_str(), 1, 1.0, (kFirst + 94) * 86400 + 120), 0);
    ASSERT_EQ(uptime_heartbeat_record(id.c_str(), 0, 1.0, (kFirst + 94) * 86400 + 180), 0);

    rapidjson::Document doc;
    const std::string text = detail(id);
    ASSERT_FALSE(doc.Parse(text.c_str()).HasParseError()) << text;
    const rapidjson::Value &daily = doc["daily"];
    ASSERT_TRUE(daily.IsArray());
    ASSERT_EQ(daily.Size(), 90u);  // the five oldest days gave way
    // Oldest first, one day after the other: 2026-09-17 (day 5) to 2026-12-15 (day 94).
    EXPECT_STREQ(daily[0]["day"].GetString(), "2026-09-17");
    EXPECT_STREQ(daily[89]["day"].GetString(), "2026-12-15");
    for (rapidjson::SizeType k = 0; k + 1 < 89; ++k) {
        SCOPED_TRACE(k);
        EXPECT_LT(std::string(daily[k]["day"].GetString()), std::string(daily[k + 1]["day"].GetString()));
        EXPECT_EQ(daily[k]["total"].GetInt(), 1);
        EXPECT_EQ(daily[k]["up"].GetInt(), (k + 5) % 2 == 0 ? 1 : 0);
    }
    EXPECT_EQ(daily[89]["up"].GetInt(), 2);
    EXPECT_EQ(daily[89]["total"].GetInt(), 3);
}

TEST_F(DetailReport, LastCheckIsTheEnginesOwnAndLivesInMemoryOnly) {
    start();
    const std::string id = add("odd", 7, "anything");
    EXPECT_EQ(last_check(id), "null");
    const int64_t before = platform::unix_time();
    ASSERT_EQ(uptime_check_now(id.c_str(), nullptr, nullptr), 0);
    const int64_t after = platform::unix_time();

    rapidjson::Document doc;
    const std::string text = detail(id);
    ASSERT_FALSE(doc.Parse(text.c_str()).HasParseError()) << text;
    const int64_t time = doc["last_check"]["time"].GetInt64();
    EXPECT_GE(time, before);
    EXPECT_LE(time, after);
    const std::string expected =
        "{\"time\":" + std::to_string(time) +
        R"(,"up":0,"reason":"invalid_target","message":"unknown monitor type 7; nothing was probed",)"
        R"("address":null,"http_status":null,"redirects":null,)"
        R"("phases_ms":{"resolve":null,"connect":null,"tls":null,"first_byte":null},"certificate":null})";
    EXPECT_EQ(last_check(id), expected);
    // The heartbeat it recorded is the one the ring reports.
    EXPECT_NE(tail(id).find("\"consecutive_failures\":1,\"down_since\":" + std::to_string(time)), std::string::npos);

    // A heartbeat the host records changes the ring's figures, not the check.
    ASSERT_EQ(uptime_heartbeat_record(id.c_str(), 1, 2.0, time + 10), 0);
    EXPECT_EQ(last_check(id), expected);
    EXPECT_NE(tail(id).find("\"consecutive_failures\":0,\"down_since\":null,\"last_up\":" + std::to_string(time + 10)),
              std::string::npos);

    // A restart keeps the history, but not the check.
    restart();
    EXPECT_EQ(last_check(id), "null");
    EXPECT_NE(tail(id).find("\"last_up\":" + std::to_string(time + 10)), std::string::npos);
}

TEST_F(DetailReport, TargetsThatCannotBeProbedAreInvalid) {
    struct row {
        int type;
        const char *target;
        const char *message;
    };
    const row rows[] = {
        {UPTIME_MONITOR_TCP_PORT, "127.0.0.1:0", "not host:port with a port of 1..65535 or a service name"},
        {UPTIME_MONITOR_TCP_PORT, "127.0.0.1:65536", "not host:port with a port of 1..65535 or a service name"},
        {UPTIME_MONITOR_TCP_PORT, "[::1]x", "not host:port with a port of 1..65535 or a service name"},
        {-1, "127.0.0.1", "unknown monitor type -1; nothing was probed"},
    };
    start();
    for (const row &r : rows) {
        SCOPED_TRACE(r.target);
        const std::string id = add("bad", r.type, r.target);
        int up = -1;
        double latency = -1;
        ASSERT_EQ(uptime_check_now(id.c_str(), &up, &latency), 0);
        EXPECT_EQ(up, 0);
        EXPECT_EQ(latency, 0.0);
        const std::string text = last_check(id);
        EXPECT_NE(text.find(std::string(R"("up":0,"reason":"invalid_target","message":")") + r.message + "\""),
                  std::string::npos)
            << text;
        EXPECT_NE(text.find(R"("phases_ms":{"resolve":null,"connect":null,"tls":null,"first_byte":null})"),
                  std::string::npos);
    }
}

TEST_F(DetailReport, LastCheckMovesWithItsMonitor) {
    start();
    const std::string first = add("first", 9, "x");
    const std::string second = add("second", 8, "x");
    const std::string third = add("third", 7, "x");
    for (const std::string &id : {first, second, third}) ASSERT_EQ(uptime_check_now(id.c_str(), nullptr, nullptr), 0);
    ASSERT_EQ(uptime_monitor_delete(first.c_str()), 0);
    EXPECT_NE(last_check(second).find("unknown monitor type 8"), std::string::npos);
    EXPECT_NE(last_check(third).find("unknown monitor type 7"), std::string::npos);
    // The slot the move left behind holds nothing for a new monitor.
    const std::string fresh = add("fresh", 7, "x");
    EXPECT_EQ(last_check(fresh), "null");
}

TEST(DetailText, OneLineOfValidUtf8CutAtAWholeCharacter) {
    struct row {
        const char *what;
        std::string input;
        std::string expected;
    };
    const std::string long_ascii(300, 'a');
    std::string long_utf8(253, 'b');
    long_utf8 += "\xC3\xA9\xC3\xA9";  // é é: only the first fits in 255 bytes
    const row rows[] = {
        {"plain", "Connection refused", "Connection refused"},
        {"line breaks and tabs become single spaces", "line one\r\nline two\ttab", "line one line two tab"},
        {"trailing line break dropped", "No such host is known.\r\n", "No such host is known."},
        {"UTF-8 kept", "Pr\xC3\xBC" "fung \xE2\x82\xAC", "Pr\xC3\xBC" "fung \xE2\x82\xAC"},
        {"stray and truncated bytes replaced", "a\xE9" "b\xC3", "a?b?"},
        {"encoded surrogate replaced", "x\xED\xA0\x80y", "x???y"},
        {"cut at the bound", long_ascii, std::string(255, 'a')},
        {"cut before a split character", long_utf8, std::string(253, 'b') + "\xC3\xA9"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        char field[DETAIL_TEXT_SIZE];
        std::memset(field, 'Z', sizeof field);
        set_detail_text(field, r.input);
        EXPECT_EQ(std::string(field), r.expected);
    }
}

}  // namespace
}  // namespace vue::test
