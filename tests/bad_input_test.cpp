// Hostile arguments of the kinds the other suites do not cover: ids of the
// wrong length or shape, timestamps at the ends of their range, texts full
// of control characters or 10 KB long, outputs of a check left null, and
// storage paths that cannot be a directory.
#include <gtest/gtest.h>

#include <cctype>
#include <climits>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/engine_state.h"
#include "store/json_text.h"
#include "test_support.h"

namespace vue::test {
namespace {

class BadInput : public engine_test {
protected:
    std::map<std::string, std::string> snapshot() const {
        std::map<std::string, std::string> files;
        for (const std::string &name : list_tree(storage_)) {
            if (fs::is_regular_file(storage_ / name)) files[name] = read_file_bytes(storage_ / name);
        }
        return files;
    }
};

TEST_F(BadInput, IdsOfTheWrongShapeFindNothingAndChangeNothing) {
    start();
    const std::string id = add("real", 7);
    ASSERT_EQ(uptime_heartbeat_record(id.c_str(), 1, 1.0, 100), 0);
    ASSERT_EQ(uptime_save_state(), 0);
    std::string upper = id;
    for (char &c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::vector<std::pair<const char *, std::string>> ids = {
        {"empty", ""},
        {"one character short", id.substr(0, 35)},
        {"one character long", id + "0"},
        {"upper case", upper},
        {"with a newline", id + "\n"},
        {"with a trailing separator", id + "/"},
        {"through the parent", "../" + id},
        {"a path", "data/" + id},
        {"dot", "."},
        {"dot dot", ".."},
        {"backslash", "\\"},
        {"drive-like", "c:" + id.substr(2)},
        {"10 KB", std::string(10 * 1024, 'a')},
        {"not UTF-8", "\xFF\xFE" + id.substr(2)},
        {"control characters", "\x01\x02\x1f\x7f"},
    };
    const std::string list = uptime_monitors_list_json();
    const auto files = snapshot();
    for (const auto &[label, bad] : ids) {
        SCOPED_TRACE(label);
        EXPECT_EQ(uptime_heartbeat_record(bad.c_str(), 1, 1.0, 200), -1);
        EXPECT_STREQ(uptime_last_error(), "Monitor not found");
        int up = 42;
        EXPECT_EQ(uptime_check_now(bad.c_str(), &up, nullptr), -1);
        EXPECT_STREQ(uptime_last_error(), "Monitor not found");
        EXPECT_EQ(up, 42);
        EXPECT_EQ(uptime_monitor_delete(bad.c_str()), -1);
        EXPECT_STREQ(uptime_last_error(), "Monitor not found");
        EXPECT_EQ(uptime_get_percent_90d(bad.c_str()), 100.0);
        EXPECT_STREQ(uptime_get_heartbeats_json(bad.c_str(), 0), "[]");
    }
    EXPECT_EQ(std::string(uptime_monitors_list_json()), list);
    EXPECT_EQ(s_monitors[0].hb_count, 1);
    EXPECT_TRUE(snapshot() == files);
}

TEST_F(BadInput, TimestampsAreKeptAsGivenAcrossARestart) {
    start();
    const std::string id = add("times", 7);
    const struct {
        const char *label;
        int64_t timestamp;
    } cases[] = {
        {"zero", 0},
        {"one before the epoch", -1},
        {"year 1", -62135596800},
        {"year 3000", 32503680000},
        {"smallest", INT64_MIN},
        {"largest", INT64_MAX},
        {"now-ish", 1718000000},
    };
    std::string expected = "[";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_EQ(uptime_heartbeat_record(id.c_str(), 1, 2.5, c.timestamp), 0);
        expected += std::string(expected.size() > 1 ? "," : "") + R"({"time":)" + std::to_string(c.timestamp) +
                    R"(,"status":1,"latency_ms":2.5})";
        const double percent = uptime_get_percent_90d(id.c_str());
        EXPECT_GE(percent, 0.0);
        EXPECT_LE(percent, 100.0);
    }
    expected += "]";
    EXPECT_EQ(std::string(uptime_get_heartbeats_json(id.c_str(), 0)), expected);
    const std::string list = uptime_monitors_list_json();
    EXPECT_NE(list.find(R"("last_check":1718000000)"), std::string::npos) << list;
    restart();
    EXPECT_EQ(std::string(uptime_get_heartbeats_json(id.c_str(), 0)), expected);
    EXPECT_EQ(std::string(uptime_monitors_list_json()), list);
}

TEST_F(BadInput, ControlCharactersAndLongTextsSurviveASaveAndARestart) {
    std::string controls;
    for (int c = 1; c < 32; ++c) controls += static_cast<char>(c);
    controls += "\x7f\"\\/";
    const std::string long_text(10 * 1024, 'L');
    start();
    const struct {
        const char *label;
        std::string name, target;
    } cases[] = {
        {"control characters", controls, controls},
        {"10 KB", long_text, long_text},
        {"10 KB of two-byte characters", [] { std::string s; for (int i = 0; i < 5120; ++i) s += "\xC3\xA9"; return s; }(),
         "t"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        char id[UPTIME_ID_BUFFER_SIZE];
        ASSERT_EQ(uptime_monitor_add(c.name.c_str(), 7, c.target.c_str(), 60, id), 0);
        ASSERT_EQ(uptime_heartbeat_record(id, 1, 1.0, 100), 0);
    }
    ASSERT_EQ(uptime_set_webhook_url((controls + long_text).c_str()), 0);
    EXPECT_EQ(std::string(s_webhook_url), (controls + long_text).substr(0, 1023));
    const std::string list = uptime_monitors_list_json();
    rapidjson::Document doc;
    ASSERT_TRUE(json_parse_strict(list, doc)) << list;
    ASSERT_EQ(doc.Size(), std::size(cases));
    EXPECT_EQ(std::string(doc[0]["name"].GetString(), doc[0]["name"].GetStringLength()), controls);
    EXPECT_EQ(std::string(doc[1]["target"].GetString()), long_text.substr(0, 511));
    ASSERT_EQ(uptime_save_state(), 0);
    ASSERT_TRUE(json_parse_strict(file("monitors.json"), doc));
    ASSERT_TRUE(json_parse_strict(file("config.json"), doc));
    stop();
    s_webhook_url[0] = '\0';  // must come back from config.json
    start();
    EXPECT_EQ(std::string(uptime_monitors_list_json()), list);
    EXPECT_EQ(std::string(s_webhook_url), (controls + long_text).substr(0, 1023));
}

TEST_F(BadInput, EitherOutputOfACheckMayBeNull) {
    start();
    const std::string id = add("quiet", 7);  // down, without a probe
    int up = 42;
    double latency = 42.0;
    const struct {
        const char *label;
        int *up;
        double *latency;
    } cases[] = {
        {"both", &up, &latency},
        {"no status", nullptr, &latency},
        {"no latency", &up, nullptr},
        {"neither", nullptr, nullptr},
    };
    int recorded = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        up = 42;
        latency = 42.0;
        ASSERT_EQ(uptime_check_now(id.c_str(), c.up, c.latency), 0);
        EXPECT_EQ(up, c.up != nullptr ? 0 : 42);
        EXPECT_EQ(latency, c.latency != nullptr ? 0.0 : 42.0);
        EXPECT_EQ(s_monitors[0].hb_count, ++recorded);
    }
}

TEST_F(BadInput, StoragePathsThatCannotBeADirectory) {
    const struct {
        const char *label;
        std::function<std::string(const fs::path &)> make;
    } cases[] = {
        {"a 10 KB name", [](const fs::path &root) { return utf8(root / std::string(10 * 1024, 'n')); }},
        {"below a regular file", [](const fs::path &root) {
             write_file_bytes(root / "plain", "x");
             return utf8(root / "plain" / "store");
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        const std::string dir = c.make(root_);
        const auto before = list_tree(root_);
        EXPECT_EQ(uptime_engine_init(dir.c_str()), -1);
        EXPECT_STREQ(uptime_last_error(), "Cannot lock storage directory");
        EXPECT_EQ(list_tree(root_), before);
        EXPECT_STREQ(uptime_monitors_list_json(), "[]");
    }
    // A 10 KB path of short names is cut to 511 bytes and works.
    std::string dir = utf8(root_);
    while (dir.size() < 10 * 1024) dir += "/" + std::string(60, 'd');
    ASSERT_EQ(uptime_engine_init(dir.c_str()), 0) << uptime_last_error();
    EXPECT_EQ(std::string(s_storage_dir), dir.substr(0, 511));
    add();
    ASSERT_EQ(uptime_save_state(), 0);
    EXPECT_TRUE(fs::is_regular_file(fs::path(dir.substr(0, 511)) / "monitors.json"));
}

}  // namespace
}  // namespace vue::test
