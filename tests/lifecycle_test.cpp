// Starting, stopping and restarting the engine, the last-error text and
// directory creation.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>

#include "core/engine_state.h"
#include "store/state_store.h"
#include "platform/fault.h"
#include "test_support.h"

namespace vue::test {
namespace {

using platform::fault_arm;
using platform::fault_point;

class Lifecycle : public engine_test {};

TEST_F(Lifecycle, NullOrEmptyDirectoryMeansTheWorkingDirectory) {
    const char *const dirs[] = {nullptr, ""};
    for (const char *dir : dirs) {
        SCOPED_TRACE(dir == nullptr ? "null" : "empty");
        fs::path cwd = make_unique_temp_dir("cwd");
        {
            scoped_working_directory in(cwd);
            ASSERT_EQ(uptime_engine_init(dir), 0);
            EXPECT_STREQ(s_storage_dir, ".");
            EXPECT_TRUE(fs::is_directory(cwd / "data"));
            add("here");
            uptime_engine_cleanup();
        }
        EXPECT_NE(read_file_bytes(cwd / "monitors.json").find("\"name\": \"here\""), std::string::npos);
        EXPECT_TRUE(fs::is_regular_file(cwd / "config.json"));
        fs::remove_all(cwd);
    }
}

TEST_F(Lifecycle, LongDirectoryIsCutTo511Bytes) {
    std::string dir = root_.string();
    while (dir.size() < 600) dir += "/" + std::string(60, 'd');
    dir.resize(600);
    ASSERT_EQ(uptime_engine_init(dir.c_str()), 0);
    const std::string used = dir.substr(0, 511);
    EXPECT_EQ(std::string(s_storage_dir), used);
    EXPECT_TRUE(fs::is_directory(fs::path(used) / "data"));
    ASSERT_EQ(uptime_save_state(), 0);
    EXPECT_EQ(read_file_bytes(fs::path(used) / "monitors.json"), "[]");
    EXPECT_FALSE(fs::exists(dir));
}

TEST_F(Lifecycle, SecondStartKeepsTheFirstDirectoryAndTheLastError) {
    start();
    add("first");
    ASSERT_EQ(uptime_monitor_delete("no-such-id"), -1);
    fs::path other = root_ / "other";
    EXPECT_EQ(uptime_engine_init(utf8(other).c_str()), 0);
    EXPECT_STREQ(uptime_last_error(), "Monitor not found");
    EXPECT_FALSE(fs::exists(other));
    add("second");
    // Nothing was reloaded: both monitors are in the table, written to the
    // first directory.
    EXPECT_EQ(s_monitor_count, 2);
    EXPECT_NE(file("monitors.json").find("\"second\""), std::string::npos);
}

TEST_F(Lifecycle, StopWithoutStartAndStopTwiceDoNothing) {
    uptime_engine_cleanup();
    EXPECT_FALSE(fs::exists(storage_));
    start();
    std::string id = add();
    stop();
    const std::string saved = file("monitors.json");
    fs::remove(storage_ / "monitors.json");
    stop();
    EXPECT_FALSE(fs::exists(storage_ / "monitors.json"));
    EXPECT_EQ(uptime_save_state(), -1);
    EXPECT_STREQ(uptime_last_error(), "Engine not initialized");
    EXPECT_STREQ(uptime_monitors_list_json(), "[]");
    EXPECT_STREQ(uptime_get_heartbeats_json(id.c_str(), 0), "[]");
    EXPECT_EQ(uptime_get_percent_90d(id.c_str()), 100.0);
    EXPECT_FALSE(saved.empty());
}

// Storage paths are UTF-8 text on every OS; a name outside ASCII must reach
// the file system as the same name.
TEST_F(Lifecycle, NonAsciiStorageDirectory) {
    const fs::path dir = root_ / fs::path(u8"donn\u00e9es \u20ac \u65e5\u672c");
    ASSERT_EQ(uptime_engine_init(utf8(dir).c_str()), 0);
    char id[UPTIME_ID_BUFFER_SIZE];
    ASSERT_EQ(uptime_monitor_add("n", UPTIME_MONITOR_DNS, "localhost", 60, id), 0);
    ASSERT_EQ(uptime_heartbeat_record(id, 1, 1.0, 100), 0);
    stop();
    EXPECT_TRUE(fs::is_regular_file(dir / "monitors.json"));
    EXPECT_TRUE(fs::is_regular_file(dir / "data" / id / "heartbeats.dat"));
    ASSERT_EQ(uptime_engine_init(utf8(dir).c_str()), 0);
    EXPECT_STREQ(uptime_get_heartbeats_json(id, 0), R"([{"time":100,"status":1,"latency_ms":1.0}])");
}

TEST_F(Lifecycle, StopStartReloadsEverything) {
    start();
    ASSERT_EQ(uptime_set_webhook_url("https://hooks.example/x"), 0);
    std::string a = add("a", UPTIME_MONITOR_DNS, "a.example", 30);
    std::string b = add("b", UPTIME_MONITOR_PING, "b.example", 45);
    ASSERT_EQ(uptime_heartbeat_record(b.c_str(), 1, 12.5, 1718000000), 0);
    ASSERT_EQ(uptime_heartbeat_record(b.c_str(), 0, 250.0, 1718000060), 0);
    const std::string list_before = uptime_monitors_list_json();
    const std::string beats_before = uptime_get_heartbeats_json(b.c_str(), 0);

    stop();
    std::memset(s_webhook_url, 0, sizeof s_webhook_url);  // must come back from config.json
    start();
    EXPECT_STREQ(s_webhook_url, "https://hooks.example/x");
    EXPECT_EQ(uptime_monitors_list_json(), list_before);
    EXPECT_EQ(uptime_get_heartbeats_json(b.c_str(), 0), beats_before);
    EXPECT_STREQ(uptime_get_heartbeats_json(a.c_str(), 0), "[]");
}

TEST_F(Lifecycle, RestartInAnotherDirectoryKeepsTheWebhookUrl) {
    start();
    ASSERT_EQ(uptime_set_webhook_url("https://hooks.example/keep"), 0);
    add("old");
    stop();
    fs::path other = root_ / "other";
    ASSERT_EQ(uptime_engine_init(utf8(other).c_str()), 0);
    EXPECT_STREQ(uptime_monitors_list_json(), "[]");
    ASSERT_EQ(uptime_save_state(), 0);
    EXPECT_EQ(read_file_bytes(other / "config.json"), "{\n    \"webhook_url\": \"https://hooks.example/keep\"\n}");
}

TEST_F(Lifecycle, FailedStartLeavesTheEngineStoppedAndCanBeRetried) {
    start();
    add("kept");
    stop();
    const std::string dir_before = s_storage_dir;

    fault_arm(fault_point::net_start, 1, false);
    fs::path other = root_ / "never";
    EXPECT_EQ(uptime_engine_init(utf8(other).c_str()), -1);
    EXPECT_STREQ(uptime_last_error(), "WSAStartup failed");
    EXPECT_EQ(std::string(s_storage_dir), dir_before);
    EXPECT_FALSE(fs::exists(other));
    EXPECT_EQ(uptime_save_state(), -1);
    EXPECT_STREQ(uptime_last_error(), "Engine not initialized");
    EXPECT_STREQ(uptime_monitors_list_json(), "[]");

    // The lock outlives a failed start: the next start takes it normally.
    start();
    EXPECT_STREQ(uptime_last_error(), "");
    EXPECT_NE(std::string(uptime_monitors_list_json()).find("\"kept\""), std::string::npos);
}

TEST_F(Lifecycle, ManyStartStopCyclesWithFailuresBetween) {
    for (int i = 0; i < 20; ++i) {
        SCOPED_TRACE(i);
        if (i % 3 == 0) {
            fault_arm(fault_point::net_start, 1, false);
            EXPECT_EQ(uptime_engine_init(utf8(storage_).c_str()), -1);
        }
        start();
        add("m" + std::to_string(i));
        stop();
    }
    start();
    EXPECT_EQ(s_monitor_count, 20);
}

TEST_F(Lifecycle, WebhookUrlIsStoredCutAndEmptiedByNull) {
    start();
    ASSERT_EQ(uptime_set_webhook_url(std::string(2000, 'u').c_str()), 0);
    EXPECT_EQ(std::string(s_webhook_url), std::string(1023, 'u'));
    EXPECT_EQ(file("config.json"), "{\n    \"webhook_url\": \"" + std::string(1023, 'u') + "\"\n}");
    ASSERT_EQ(uptime_set_webhook_url(nullptr), 0);
    EXPECT_STREQ(s_webhook_url, "");
    EXPECT_EQ(file("config.json"), "{\n    \"webhook_url\": \"\"\n}");
}

TEST_F(Lifecycle, StartEmptiesTheLastErrorAndTheReportBuffers) {
    start();
    std::string id = add();
    ASSERT_EQ(uptime_heartbeat_record(id.c_str(), 1, 1.0, 100), 0);
    uptime_monitors_list_json();
    uptime_get_heartbeats_json(id.c_str(), 0);
    ASSERT_EQ(uptime_monitor_delete("missing"), -1);
    stop();
    start();
    EXPECT_STREQ(uptime_last_error(), "");
    EXPECT_STREQ(s_monitors_json, "");
    EXPECT_STREQ(s_heartbeats_json, "");
}

// Every failure text, and that no later success clears it.
TEST_F(Lifecycle, EveryLastErrorMessageSurvivesLaterSuccesses) {
    const struct {
        const char *name;
        bool started;
        std::function<int()> call;
        const char *message;
    } cases[] = {
        {"add stopped", false, [] { return uptime_monitor_add("n", 0, "t", 1, nullptr); }, "Engine not initialized"},
        {"webhook stopped", false, [] { return uptime_set_webhook_url("u"); }, "Engine not initialized"},
        {"save stopped", false, [] { return uptime_save_state(); }, "Engine not initialized"},
        {"delete stopped", false, [] { return uptime_monitor_delete("x"); },
         "Engine not initialized or null monitor_id"},
        {"record stopped", false, [] { return uptime_heartbeat_record("x", 1, 1.0, 1); },
         "Engine not initialized or null monitor_id"},
        {"check stopped", false, [] { return uptime_check_now("x", nullptr, nullptr); },
         "Engine not initialized or null monitor_id"},
        {"add null name", true, [] { return uptime_monitor_add(nullptr, 0, "t", 1, nullptr); },
         "Invalid name or target"},
        {"add null target", true, [] { return uptime_monitor_add("n", 0, nullptr, 1, nullptr); },
         "Invalid name or target"},
        {"add bad name", true, [] { return uptime_monitor_add("\xE9", 0, "t", 1, nullptr); },
         "Invalid name or target"},
        {"add bad target", true, [] { return uptime_monitor_add("n", 0, "t\xC3", 1, nullptr); },
         "Invalid name or target"},
        {"delete null", true, [] { return uptime_monitor_delete(nullptr); },
         "Engine not initialized or null monitor_id"},
        {"record null", true, [] { return uptime_heartbeat_record(nullptr, 1, 1.0, 1); },
         "Engine not initialized or null monitor_id"},
        {"check null", true, [] { return uptime_check_now(nullptr, nullptr, nullptr); },
         "Engine not initialized or null monitor_id"},
        {"delete unknown", true, [] { return uptime_monitor_delete("nope"); }, "Monitor not found"},
        {"record unknown", true, [] { return uptime_heartbeat_record("nope", 1, 1.0, 1); }, "Monitor not found"},
        {"check unknown", true, [] { return uptime_check_now("nope", nullptr, nullptr); }, "Monitor not found"},
        {"record NaN", true, [] { return uptime_heartbeat_record("nope", 1, std::nan(""), 1); }, "Invalid latency"},
        {"webhook bad", true, [] { return uptime_set_webhook_url("http://\xFF"); }, "Invalid webhook URL"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.started) {
            start();
        } else {
            stop();
        }
        EXPECT_EQ(c.call(), -1);
        EXPECT_STREQ(uptime_last_error(), c.message);
        if (!c.started) {
            // What succeeds while stopped leaves the text alone; only a
            // fresh start empties it.
            uptime_engine_cleanup();
            uptime_monitors_list_json();
            uptime_get_percent_90d("x");
            EXPECT_STREQ(uptime_last_error(), c.message);
            continue;
        }
        // Successes of every kind leave the text alone. An unknown type
        // keeps the check off the network.
        std::string id = add("svc", 7);
        EXPECT_EQ(uptime_heartbeat_record(id.c_str(), 1, 2.0, 3), 0);
        EXPECT_EQ(uptime_set_webhook_url(""), 0);
        EXPECT_EQ(uptime_save_state(), 0);
        uptime_get_percent_90d(id.c_str());
        uptime_get_percent_90d(nullptr);
        uptime_monitors_list_json();
        uptime_get_heartbeats_json("nope", 0);
        EXPECT_EQ(uptime_check_now(id.c_str(), nullptr, nullptr), 0);
        EXPECT_EQ(uptime_monitor_delete(id.c_str()), 0);
        EXPECT_STREQ(uptime_last_error(), c.message);
        EXPECT_EQ(uptime_engine_init(utf8(storage_).c_str()), 0);  // already started: not a fresh start
        EXPECT_STREQ(uptime_last_error(), c.message);
    }
}

// --- ensure_dir -------------------------------------------------------------

class EnsureDir : public engine_test {};

TEST_F(EnsureDir, CreatesEveryComponentOfARelativePath) {
    scoped_working_directory in(root_);
    ensure_dir("a/b/c");
    EXPECT_TRUE(fs::is_directory(root_ / "a"));
    EXPECT_TRUE(fs::is_directory(root_ / "a/b"));
    EXPECT_TRUE(fs::is_directory(root_ / "a/b/c"));
}

TEST_F(EnsureDir, CreatesEveryComponentOfAnAbsolutePath) {
    fs::path target = root_ / "x" / "y" / "z";
    ensure_dir(utf8(target).c_str());
    EXPECT_TRUE(fs::is_directory(target));
    // An existing path is the normal case.
    ensure_dir(utf8(target).c_str());
    EXPECT_TRUE(fs::is_directory(target));
}

TEST_F(EnsureDir, StorageDirectoryWithATrailingSeparatorWorks) {
    std::string dir = storage_.string() + "/";
    ASSERT_EQ(uptime_engine_init(dir.c_str()), 0);
    std::string id = add();
    EXPECT_TRUE(fs::is_directory(storage_ / "data"));
    EXPECT_TRUE(fs::is_regular_file(dat_path(id)));
    EXPECT_TRUE(fs::is_regular_file(storage_ / "monitors.json"));
}

}  // namespace
}  // namespace vue::test
