// config.json and monitors.json: the exact bytes written for a known state,
// and what a start takes from hand-written files.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "core/engine_state.h"
#include "test_support.h"

namespace vue::test {
namespace {

class StateFiles : public engine_test {};

const char kKnownMonitors[] =
    R"([{"id":"3b9f2c4e-7a1d-4e6b-9c58-0d2e4f6a8b1c","name":"Mail \"relay\"\n\u0001","type":1,)"
    R"("target":"10.0.0.25:25","interval_sec":60,"status":1,"last_latency_ms":3.25,)"
    R"("last_check":1718000000,"created_at":1717990000},)"
    R"({"created_at":-5,"last_check":4102444800,"last_latency_ms":12.300000190734863,"status":2,)"
    R"("interval_sec":-5,"target":"https://h/caf\u00e9/\u2028","type":-1,"name":"","id":"c1a7e5d3-2b4f-4a69-8e0d-5f3b7c9a1e2d"}])";

const char kKnownMonitorsPretty[] =
    "[\n"
    "    {\n"
    "        \"id\": \"3b9f2c4e-7a1d-4e6b-9c58-0d2e4f6a8b1c\",\n"
    "        \"name\": \"Mail \\\"relay\\\"\\n\\u0001\",\n"
    "        \"type\": 1,\n"
    "        \"target\": \"10.0.0.25:25\",\n"
    "        \"interval_sec\": 60,\n"
    "        \"status\": 1,\n"
    "        \"last_latency_ms\": 3.25,\n"
    "        \"last_check\": 1718000000,\n"
    "        \"created_at\": 1717990000\n"
    "    },\n"
    "    {\n"
    "        \"id\": \"c1a7e5d3-2b4f-4a69-8e0d-5f3b7c9a1e2d\",\n"
    "        \"name\": \"\",\n"
    "        \"type\": -1,\n"
    "        \"target\": \"https://h/caf\xC3\xA9/\xE2\x80\xA8\",\n"
    "        \"interval_sec\": -5,\n"
    "        \"status\": 2,\n"
    "        \"last_latency_ms\": 12.300000190734863,\n"
    "        \"last_check\": 4102444800,\n"
    "        \"created_at\": -5\n"
    "    }\n"
    "]";

TEST_F(StateFiles, KnownStateIsWrittenByteForByte) {
    put_file("monitors.json", kKnownMonitors);
    put_file("config.json", R"({"webhook_url":"https://hooks.example/t?k=1&x=\/y"})");
    start();
    ASSERT_EQ(s_monitor_count, 2);
    ASSERT_EQ(uptime_save_state(), 0);
    EXPECT_EQ(file("monitors.json"), kKnownMonitorsPretty);
    EXPECT_EQ(file("config.json"), "{\n    \"webhook_url\": \"https://hooks.example/t?k=1&x=/y\"\n}");
    // What was written reads back to the same bytes.
    restart();
    EXPECT_EQ(file("monitors.json"), kKnownMonitorsPretty);
}

TEST_F(StateFiles, EmptyTableWritesAnEmptyArray) {
    start();
    EXPECT_EQ(s_monitor_count, 0);
    ASSERT_EQ(uptime_save_state(), 0);
    EXPECT_EQ(file("monitors.json"), "[]");
    EXPECT_EQ(file("config.json"), "{\n    \"webhook_url\": \"\"\n}");
}

std::string objects(int n) {
    std::string text = "[";
    for (int i = 0; i < n; ++i) text += std::string(i ? "," : "") + "{\"id\":\"m" + std::to_string(i) + "\"}";
    return text + "]";
}

TEST_F(StateFiles, LoadingMonitorsFromHandWrittenFiles) {
    const std::string id40 = "0123456789012345678901234567890123456789";
    const struct {
        const char *label;
        std::string text;  // "" = no file at all
        int count;
        std::function<void()> check;
    } cases[] = {
        {"no file", "", 0, [] {}},
        {"object root", R"({"id":"x","name":"y"})", 0, [] {}},
        {"empty array", "[]", 0, [] {}},
        {"unreadable: BOM", "\xEF\xBB\xBF[{\"id\":\"a\"}]", 0, [] {}},
        {"unreadable: trailing comma", R"([{"id":"a"},])", 0, [] {}},
        {"unreadable: invalid UTF-8", "[{\"id\":\"a\",\"name\":\"\xE9\"}]", 0, [] {}},
        {"non-object elements skipped", R"([1,"s",[],{"id":"a","extra":1},null,true,{"id":"b"}])", 2,
         [] {
             EXPECT_STREQ(s_monitors[0].id, "a");
             EXPECT_STREQ(s_monitors[1].id, "b");
         }},
        {"130 objects", objects(130), 128, [] { EXPECT_STREQ(s_monitors[127].id, "m127"); }},
        {"missing id", R"([{"name":"anon"}])", 1,
         [] {
             EXPECT_STREQ(s_monitors[0].id, "");
             EXPECT_STREQ(s_monitors[0].name, "anon");
         }},
        {"long id", "[{\"id\":\"" + id40 + "\"}]", 1,
         [&] { EXPECT_EQ(std::string(s_monitors[0].id), id40.substr(0, 36)); }},
        {"type as real, latency as integer", R"([{"id":"a","type":1.0,"last_latency_ms":12,"interval_sec":-5}])", 1,
         [] {
             EXPECT_EQ(s_monitors[0].type, 0);
             EXPECT_EQ(s_monitors[0].last_latency_ms, 12.0);
             EXPECT_EQ(s_monitors[0].interval_sec, -5);
         }},
        {"low 32 bits",
         R"([{"id":"a","interval_sec":4294967356,"type":4294967297,"status":-4294967295}])", 1,
         [] {
             EXPECT_EQ(s_monitors[0].interval_sec, 60);
             EXPECT_EQ(s_monitors[0].type, 1);
             EXPECT_EQ(s_monitors[0].status, 1);
         }},
        {"64-bit times",
         R"([{"id":"a","last_check":4102444800,"created_at":9223372036854775807},{"id":"b","last_check":18446744073709551615}])",
         2,
         [] {
             EXPECT_EQ(s_monitors[0].last_check, 4102444800);
             EXPECT_EQ(s_monitors[0].created_at, INT64_MAX);
             EXPECT_EQ(s_monitors[1].last_check, -1);
         }},
        {"duplicate keys", R"([{"id":"a","name":"first","name":"second","id":"b"}])", 1,
         [] {
             EXPECT_STREQ(s_monitors[0].id, "a");
             EXPECT_STREQ(s_monitors[0].name, "first");
         }},
        {"wrong member types",
         R"([{"id":7,"name":5,"target":[],"type":"1","status":true,"interval_sec":1.5,"last_latency_ms":"x","last_check":1.0,"created_at":null}])",
         1,
         [] {
             const monitor_record &m = s_monitors[0];
             EXPECT_STREQ(m.id, "");
             EXPECT_STREQ(m.name, "");
             EXPECT_STREQ(m.target, "");
             EXPECT_EQ(m.type, 0);
             EXPECT_EQ(m.status, 0);
             EXPECT_EQ(m.interval_sec, 0);
             EXPECT_EQ(m.last_latency_ms, 0.0);
             EXPECT_EQ(m.last_check, 0);
             EXPECT_EQ(m.created_at, 0);
         }},
        {"long texts cut at whole characters",
         "[{\"id\":\"a\",\"name\":\"" + std::string(126, 'n') + "\xC3\xA9\",\"target\":\"" + std::string(510, 't') +
             "\xE2\x82\xAC\"}]",
         1,
         [] {
             EXPECT_EQ(std::string(s_monitors[0].name), std::string(126, 'n'));
             EXPECT_EQ(std::string(s_monitors[0].target), std::string(510, 't'));
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        stop();
        fs::remove_all(storage_);
        if (!c.text.empty()) put_file("monitors.json", c.text);
        start();
        ASSERT_EQ(s_monitor_count, c.count);
        c.check();
        // Whatever was loaded is what the next save writes, and nothing
        // else: a bad root or skipped elements are gone.
        ASSERT_EQ(uptime_save_state(), 0);
        const std::string saved = file("monitors.json");
        size_t objects_written = 0;
        for (size_t at = saved.find("\n    {"); at != std::string::npos; at = saved.find("\n    {", at + 1)) {
            ++objects_written;
        }
        EXPECT_EQ(objects_written, static_cast<size_t>(c.count));
        if (c.count == 0) {
            EXPECT_EQ(saved, "[]");
        }
        EXPECT_EQ(saved.find("extra"), std::string::npos);
    }
}

TEST_F(StateFiles, MonitorWithoutIdIsWrittenBackWithAnEmptyId) {
    put_file("monitors.json", R"([{"name":"anon"}])");
    start();
    ASSERT_EQ(uptime_save_state(), 0);
    EXPECT_NE(file("monitors.json").find("\"id\": \"\",\n        \"name\": \"anon\""), std::string::npos);
}

TEST_F(StateFiles, LoadingTheWebhookUrl) {
    const struct {
        const char *label;
        std::string text;    // "" = no file
        std::string before;  // URL in force when the engine starts
        std::string after;
    } cases[] = {
        {"no file", "", "kept", "kept"},
        {"plain", R"({"webhook_url":"https://h/x"})", "", "https://h/x"},
        {"not a string", R"({"webhook_url":5})", "kept", "kept"},
        {"another member first", R"({"other":1,"webhook_url":"u"})", "", "u"},
        {"first duplicate wins", R"({"webhook_url":"one","webhook_url":"two"})", "", "one"},
        {"first duplicate not a string", R"({"webhook_url":null,"webhook_url":"two"})", "kept", "kept"},
        {"empty string", R"({"webhook_url":""})", "kept", ""},
        {"byte-order mark", "\xEF\xBB\xBF{\"webhook_url\":\"u\"}", "", ""},
        {"array root", R"([{"webhook_url":"u"}])", "kept", "kept"},
        {"comment", R"({"webhook_url":"u"} // x)", "kept", "kept"},
        {"long", "{\"webhook_url\":\"" + std::string(2000, 'w') + "\"}", "", std::string(1023, 'w')},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        stop();
        fs::remove_all(storage_);
        if (!c.text.empty()) put_file("config.json", c.text);
        copy_bounded(s_webhook_url, sizeof s_webhook_url, c.before);
        start();
        EXPECT_EQ(std::string(s_webhook_url), c.after);
    }
}

TEST_F(StateFiles, UnwritableDocumentLeavesThePreviousFileButStillWritesHistory) {
    start();
    std::string id = add("good");
    const std::string json_before = file("monitors.json");
    // Only a damaged table can hold such a name; the API refuses one.
    std::strcpy(s_monitors[0].name, "bad \xE9");
    ASSERT_EQ(uptime_heartbeat_record(id.c_str(), 1, 1.0, 100), 0);
    // The save says so: the monitors' file could not be written.
    ASSERT_EQ(uptime_save_state(), -1);
    EXPECT_STREQ(uptime_last_error(), "Failed to save state");
    EXPECT_EQ(file("monitors.json"), json_before);
    EXPECT_EQ(le_i32(read_file_bytes(dat_path(id)), 12), 1);
    EXPECT_FALSE(any_temporary_file(storage_));
}

TEST_F(StateFiles, StatusReachesMonitorsJsonOnlyWithAFullSave) {
    start();
    std::string id = add();
    ASSERT_EQ(uptime_heartbeat_record(id.c_str(), 0, 7.5, 1718000000), 0);
    EXPECT_NE(file("monitors.json").find("\"status\": 2,"), std::string::npos);
    ASSERT_EQ(uptime_save_state(), 0);
    const std::string saved = file("monitors.json");
    EXPECT_NE(saved.find("\"status\": 0,"), std::string::npos);
    EXPECT_NE(saved.find("\"last_latency_ms\": 7.5,"), std::string::npos);
    EXPECT_NE(saved.find("\"last_check\": 1718000000,"), std::string::npos);
}

}  // namespace
}  // namespace vue::test
