// The faults the engine was mended of, each shown not to come back, and the
// rule that a full save rewrites only the heartbeat files that changed.
#include <gtest/gtest.h>


#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "core/engine_state.h"
#include "platform/fault.h"
#include "store/json_text.h"
#include "store/state_store.h"
#include "test_support.h"

namespace vue::test {
namespace {

using platform::fault_arm;
using platform::fault_calls;
using platform::fault_point;

class MendedFaults : public engine_test {
protected:
    // Every file below storage_ with its bytes; a heartbeat file's spare is
    // left out, since what it holds never matters.
    std::map<std::string, std::string> snapshot() const {
        std::map<std::string, std::string> files;
        for (const std::string &name : list_tree(storage_)) {
            if (name.ends_with("heartbeats.dat.spare")) continue;
            if (fs::is_regular_file(storage_ / name)) files[name] = read_file_bytes(storage_ / name);
        }
        return files;
    }

    // The files on disk must be what rewriting every one of them would give.
    // A check writes its heartbeat file only; the JSON files wait for the
    // next full save.
    void expect_files_match_full_rewrite(bool json_too = true) {
        SCOPED_TRACE("files against a full rewrite");
        // Rewriting all goes in table order, so of monitors sharing an id
        // the last one's history ends up in their one file.
        std::map<std::string, std::string> expected;
        std::vector<unsigned char> image(HEARTBEAT_FILE_SIZE);
        for (int i = 0; i < s_monitor_count; ++i) {
            encode_heartbeat_file(s_monitors[i], image.data());
            expected[s_monitors[i].id].assign(reinterpret_cast<const char *>(image.data()), image.size());
        }
        for (const auto &[id, bytes] : expected) {
            EXPECT_TRUE(same_bytes(read_file_bytes(dat_path(id)), bytes)) << "monitor " << id;
        }
        if (!json_too) return;
        char fixed[64];
        growing_sink sink(fixed, sizeof fixed);
        ASSERT_TRUE(render_monitors_json(sink));
        EXPECT_EQ(file("monitors.json"), std::string(sink.c_str(), sink.size()));
        ASSERT_TRUE(render_config_json(sink));
        EXPECT_EQ(file("config.json"), std::string(sink.c_str(), sink.size()));
    }
};

// --- 1. atomic replacement ----------------------------------------------------

const fault_point kDurableFaults[] = {fault_point::file_open, fault_point::file_write, fault_point::file_sync,
                                      fault_point::file_rename};

const char *point_name(fault_point p) {
    switch (p) {
        case fault_point::file_open: return "open";
        case fault_point::file_write: return "write";
        case fault_point::file_sync: return "sync";
        case fault_point::file_rename: return "rename";
        default: return "other";
    }
}

TEST_F(MendedFaults, InterruptedSaveLeavesThePreviousFileWhole) {
    // Each change replaces exactly one file, so the armed fault hits it.
    const struct {
        const char *label;
        std::function<void()> change;
        const char *file;
        int nth;  // the replace that fails; a save writes config.json first
    } cases[] = {
        {"monitors.json by a delete", [] { ASSERT_EQ(uptime_monitor_delete("other"), 0); }, "monitors.json", 1},
        {"config.json by the webhook", [] { ASSERT_EQ(uptime_set_webhook_url("https://new/"), 0); }, "config.json", 1},
        {"heartbeats.dat by a save",
         [] {
             ASSERT_EQ(uptime_heartbeat_record("keep", 0, 2.0, 500), 0);
             ASSERT_EQ(uptime_save_state(), -1);
             EXPECT_STREQ(uptime_last_error(), "Failed to save state");
         },
         "data/keep/heartbeats.dat", 2},
    };
    for (const auto &c : cases) {
        for (fault_point point : kDurableFaults) {
            SCOPED_TRACE(std::string(c.label) + ", failing " + point_name(point));
            stop();
            fs::remove_all(storage_);
            put_file("monitors.json", R"([{"id":"keep","name":"k"},{"id":"other","name":"o"}])");
            put_file("config.json", R"({"webhook_url":"https://old/"})");
            start();
            ASSERT_EQ(uptime_heartbeat_record("keep", 1, 1.0, 400), 0);
            ASSERT_EQ(uptime_save_state(), 0);
            const auto before = snapshot();

            fault_arm(point, c.nth, false);
            c.change();
            // For the save, config.json and monitors.json come after the
            // heartbeat file and are rewritten with the bytes they had.
            EXPECT_TRUE(same_bytes(file(c.file), before.at(c.file)));
            EXPECT_FALSE(any_temporary_file(storage_));
            EXPECT_EQ(snapshot().size(), before.size());
        }
    }
}

TEST_F(MendedFaults, FullDiskDuringAnAddChangesNoFileAndTheNextSaveCatchesUp) {
    start();
    std::string first = add("first");
    const auto before = snapshot();
    fault_arm(fault_point::file_write, 1, true);
    std::string second = add("second");  // the add itself succeeds
    EXPECT_TRUE(snapshot() == before);
    EXPECT_FALSE(any_temporary_file(storage_));
    platform::fault_disarm_all();
    ASSERT_EQ(uptime_save_state(), 0);
    EXPECT_TRUE(fs::is_regular_file(dat_path(second)));
    expect_files_match_full_rewrite();
}

TEST_F(MendedFaults, DurableWritesAreFlushedAndCheckWritesAreNot) {
    start();
    std::string id = add("a", 7);
    platform::fault_disarm_all();
    add("b");
    EXPECT_EQ(fault_calls(fault_point::file_sync), 2);  // the new heartbeat file and monitors.json
    platform::fault_disarm_all();
    ASSERT_EQ(uptime_set_webhook_url("https://h/"), 0);
    EXPECT_EQ(fault_calls(fault_point::file_sync), 1);
    platform::fault_disarm_all();
    ASSERT_EQ(uptime_check_now(id.c_str(), nullptr, nullptr), 0);
    EXPECT_EQ(fault_calls(fault_point::file_open), 1);
    EXPECT_EQ(fault_calls(fault_point::file_sync), 0);
    // A check whose write fails leaves the old file and no temporary one.
    const std::string before = read_file_bytes(dat_path(id));
    fault_arm(fault_point::file_rename, 1, false);
    ASSERT_EQ(uptime_check_now(id.c_str(), nullptr, nullptr), 0);
    EXPECT_TRUE(same_bytes(read_file_bytes(dat_path(id)), before));
    EXPECT_FALSE(any_temporary_file(storage_));
    // The history it could not write is written by the next save.
    platform::fault_disarm_all();
    ASSERT_EQ(uptime_save_state(), 0);
    EXPECT_EQ(le_i32(read_file_bytes(dat_path(id)), 12), 2);
}

// --- 2. bounded copies keep whole characters -------------------------------------

TEST_F(MendedFaults, BoundedCopiesNeverSplitACharacter) {
    start();
    const std::string e2 = "\xC3\xA9", e3 = "\xE2\x82\xAC", e4 = "\xF0\x9F\x98\x80";
    const struct {
        const char *label;
        std::string name, target;
        size_t name_len, target_len;
    } cases[] = {
        {"ascii exact", std::string(200, 'n'), std::string(600, 't'), 127, 511},
        {"2-byte across", std::string(126, 'n') + e2, std::string(510, 't') + e2, 126, 510},
        {"2-byte fits", std::string(125, 'n') + e2 + "x", std::string(509, 't') + e2 + "x", 127, 511},
        {"3-byte across", std::string(125, 'n') + e3, std::string(509, 't') + e3, 125, 509},
        {"4-byte across", std::string(124, 'n') + e4, std::string(508, 't') + e4, 124, 508},
        {"all multi-byte", [&] { std::string s; for (int i = 0; i < 50; ++i) s += e3; return s; }(),
         [&] { std::string s; for (int i = 0; i < 200; ++i) s += e4; return s; }(), 126, 508},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        std::string id = add(c.name, 0, c.target);
        const monitor_record *m = find_monitor(id.c_str());
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(std::string(m->name), c.name.substr(0, c.name_len));
        EXPECT_EQ(std::string(m->target), c.target.substr(0, c.target_len));
    }
    // Every monitor is still listed and saved.
    EXPECT_NE(std::string(uptime_monitors_list_json()), "[]");
    const std::string saved = file("monitors.json");
    rapidjson::Document doc;
    ASSERT_TRUE(json_parse_strict(saved, doc));
    EXPECT_EQ(doc.Size(), std::size(cases));

    ASSERT_EQ(uptime_set_webhook_url((std::string(1022, 'u') + e2).c_str()), 0);
    EXPECT_EQ(std::string(s_webhook_url), std::string(1022, 'u'));
    EXPECT_EQ(file("config.json"), "{\n    \"webhook_url\": \"" + std::string(1022, 'u') + "\"\n}");
}

TEST_F(MendedFaults, LongStorageDirectoryIsCutAtAWholeCharacter) {
    std::string dir = root_.string();
    while (dir.size() < 505) dir += "/" + std::string(50, 'd');
    dir.resize(505);
    dir += "/\xE2\x82\xAC\xE2\x82\xAC";  // 505 + 1 + 6 = 512: the cut at 511 splits the second char
    ASSERT_EQ(uptime_engine_init(dir.c_str()), 0);
    EXPECT_EQ(std::string(s_storage_dir), dir.substr(0, 509));
    // The directory works: what is saved there comes back after a restart.
    char id[ID_SIZE];
    ASSERT_EQ(uptime_monitor_add("deep", UPTIME_MONITOR_DNS, "localhost", 60, id), 0);
    ASSERT_EQ(uptime_heartbeat_record(id, 1, 2.0, 100), 0);
    stop();
    ASSERT_EQ(uptime_engine_init(dir.substr(0, 509).c_str()), 0);
    EXPECT_NE(std::string(uptime_monitors_list_json()).find(id), std::string::npos);
    EXPECT_STREQ(uptime_get_heartbeats_json(id, 0), R"([{"time":100,"status":1,"latency_ms":2.0}])");
}

// --- 3. text that is not UTF-8 is refused ---------------------------------------

TEST_F(MendedFaults, InvalidUtf8IsRefusedAtTheDoor) {
    start();
    ASSERT_EQ(uptime_set_webhook_url("https://good/"), 0);
    add("ok");
    const auto before = snapshot();
    const struct {
        const char *name;
        const char *target;
    } adds[] = {{"caf\xE9", "t"}, {"n", "\xC0\xAF"}, {"n", "\xED\xA0\x80"}, {"\x80", "t"}, {"n", "x\xF4\x90\x80\x80"}};
    for (const auto &a : adds) {
        SCOPED_TRACE(::testing::PrintToString(std::string(a.name) + " / " + a.target));
        EXPECT_EQ(uptime_monitor_add(a.name, 0, a.target, 60, nullptr), -1);
        EXPECT_STREQ(uptime_last_error(), "Invalid name or target");
    }
    EXPECT_EQ(s_monitor_count, 1);
    EXPECT_EQ(uptime_set_webhook_url("https://bad/\xFF"), -1);
    EXPECT_STREQ(uptime_last_error(), "Invalid webhook URL");
    EXPECT_STREQ(s_webhook_url, "https://good/");
    EXPECT_TRUE(snapshot() == before);
    EXPECT_NE(std::string(uptime_monitors_list_json()), "[]");
}

// --- 4. a latency JSON or the ring cannot hold is refused ----------------------------

TEST_F(MendedFaults, RefusedLatencyLeavesReportsAndSavesWorking) {
    start();
    std::string id = add();
    ASSERT_EQ(uptime_heartbeat_record(id.c_str(), 1, 2.0, 100), 0);
    EXPECT_EQ(uptime_heartbeat_record(id.c_str(), 1, std::nan(""), 200), -1);
    EXPECT_EQ(uptime_heartbeat_record(id.c_str(), 1, 1e39, 300), -1);
    EXPECT_STREQ(uptime_get_heartbeats_json(id.c_str(), 0), R"([{"time":100,"status":1,"latency_ms":2.0}])");
    EXPECT_NE(std::string(uptime_monitors_list_json()), "[]");
    ASSERT_EQ(uptime_save_state(), 0);
    EXPECT_NE(file("monitors.json").find("\"last_latency_ms\": 2.0,"), std::string::npos);
}

// --- 5. an id loaded from the file never names a path ---------------------------

TEST_F(MendedFaults, UnsafeIdsNeverReachTheFileSystem) {
    dat_image trap;
    trap.count = 1;
    trap.head = 1;
    trap.ring = {{0, 4242, 1, 1.0f}};
    const std::string trap_bytes = make_dat(trap);
    const struct {
        const char *id_json;
        const char *id;
        const char *trap_file;  // where the id would read from, relative to root_
    } cases[] = {
        {R"(..)", "..", "store/heartbeats.dat"},
        {R"(.)", ".", "store/data/heartbeats.dat"},
        {R"(../../x)", "../../x", "x/heartbeats.dat"},
        {R"(a/b)", "a/b", "store/data/a/b/heartbeats.dat"},
        {R"(a\\b)", "a\\b", "store/data/a\\b/heartbeats.dat"},
        {R"(c:d)", "c:d", "store/data/c:d/heartbeats.dat"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.id);
        // Where "c:d" names a drive-relative path (Windows), no trap file can
        // be planted under that name; the refusal is the same code either way.
        if (fs::path(c.id).has_root_name()) continue;
        stop();
        fs::remove_all(storage_);
        fs::remove_all(root_ / "x");
        put_file("monitors.json", std::string(R"([{"id":")") + c.id_json + R"(","name":"n","type":7}])");
        write_file_bytes(root_ / c.trap_file, trap_bytes);
        start();
        const auto tree_before = list_tree(root_);
        ASSERT_EQ(s_monitor_count, 1);
        EXPECT_EQ(s_monitors[0].hb_count, 0);
        EXPECT_STREQ(uptime_get_heartbeats_json(c.id, 0), "[]");
        // Its history lives on in memory.
        ASSERT_EQ(uptime_heartbeat_record(c.id, 1, 3.0, 100), 0);
        ASSERT_EQ(uptime_check_now(c.id, nullptr, nullptr), 0);
        EXPECT_EQ(s_monitors[0].hb_count, 2);
        ASSERT_EQ(uptime_save_state(), 0);
        stop();
        EXPECT_TRUE(same_bytes(read_file_bytes(root_ / c.trap_file), trap_bytes));
        // Only the two JSON files may have appeared.
        auto tree_after = list_tree(root_);
        std::erase(tree_after, "store/config.json");
        EXPECT_EQ(tree_after, tree_before);
        EXPECT_FALSE(any_temporary_file(root_));
    }
}

// --- 7. reports are never cut ---------------------------------------------------

TEST_F(MendedFaults, LargestPossibleMonitorListIsWholeJson) {
    // Names and targets made only of control characters, six bytes each in
    // the report: the longest list a full table can give.
    std::string name, target;
    for (int i = 0; i < 127; ++i) name += "\\u001f";
    for (int i = 0; i < 511; ++i) target += "\\u001f";
    std::string text = "[";
    for (int i = 0; i < 128; ++i) {
        char id[40];
        std::snprintf(id, sizeof id, "00000000-0000-4000-8000-%012d", i);
        text += std::string(i ? "," : "") + R"({"id":")" + id + R"(","name":")" + name + R"(","target":")" + target +
                R"(","type":-2147483648,"interval_sec":-2147483648,"status":-2147483648,)"
                R"("last_latency_ms":-2.2250738585072014e-308,"last_check":-9223372036854775808})";
    }
    text += "]";
    put_file("monitors.json", text);
    start();
    ASSERT_EQ(s_monitor_count, 128);
    const std::string list = uptime_monitors_list_json();
    EXPECT_GT(list.size(), 500000u);
    rapidjson::Document doc;
    ASSERT_TRUE(json_parse_strict(list, doc));
    ASSERT_TRUE(doc.IsArray());
    EXPECT_EQ(doc.Size(), 128u);
    EXPECT_EQ(list.substr(list.size() - 2), "}]");
}

// --- 9. owner-only files and directories ------------------------------------------


// --- 10. the lock outlives every start and stop ------------------------------------

TEST_F(MendedFaults, CallsRacingWithStopAndStartNeverCrash) {
    start();
    std::string id = add();
    std::atomic<bool> done{false};
    std::vector<std::thread> callers;
    for (int t = 0; t < 3; ++t) {
        callers.emplace_back([&] {
            while (!done.load()) {
                uptime_heartbeat_record(id.c_str(), 1, 1.0, 100);
                uptime_get_heartbeats_json(id.c_str(), 5);
                uptime_monitors_list_json();
                uptime_get_percent_90d(id.c_str());
            }
        });
    }
    for (int i = 0; i < 30; ++i) {
        stop();
        if (i % 5 == 0) {
            fault_arm(fault_point::net_start, 1, false);
            EXPECT_EQ(uptime_engine_init(utf8(storage_).c_str()), -1);
        }
        start();
    }
    done.store(true);
    for (std::thread &t : callers) t.join();
    EXPECT_NE(find_monitor(id.c_str()), nullptr);
}

// --- the changed mark: a save writes only what changed --------------------------

TEST_F(MendedFaults, SavesRewriteOnlyChangedHeartbeatFiles) {
    start();
    std::vector<std::string> ids;
    for (int i = 0; i < 40; ++i) ids.push_back(add("m" + std::to_string(i), 7));
    ASSERT_EQ(uptime_heartbeat_record(ids[3].c_str(), 1, 1.0, 100), 0);
    stop();
    start();  // every file matches what was loaded: nothing is marked
    expect_files_match_full_rewrite();

    const struct {
        const char *label;
        std::function<void()> step;
        int replaced;  // files replaced, JSON files included
        bool full_save = true;
    } steps[] = {
        {"add", [&] { ids.push_back(add("new", 7)); }, 2},
        {"delete", [&] { ASSERT_EQ(uptime_monitor_delete(ids[10].c_str()), 0); }, 1},
        {"save unchanged", [] { ASSERT_EQ(uptime_save_state(), 0); }, 2},
        {"record then save",
         [&] {
             ASSERT_EQ(uptime_heartbeat_record(ids[5].c_str(), 0, 2.0, 200), 0);
             ASSERT_EQ(uptime_heartbeat_record(ids[6].c_str(), 1, 2.0, 200), 0);
             ASSERT_EQ(uptime_save_state(), 0);
         },
         4},
        {"check", [&] { ASSERT_EQ(uptime_check_now(ids[7].c_str(), nullptr, nullptr), 0); }, 1, false},
        {"save after check", [] { ASSERT_EQ(uptime_save_state(), 0); }, 2},
        {"delete the first", [&] { ASSERT_EQ(uptime_monitor_delete(ids[0].c_str()), 0); }, 1},
        {"stop", [this] { stop(); }, 2},
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(s.label);
        platform::fault_disarm_all();
        s.step();
        EXPECT_EQ(fault_calls(fault_point::file_open), s.replaced);
        expect_files_match_full_rewrite(s.full_save);
    }
}

TEST_F(MendedFaults, FilesThatDidNotMatchAtLoadAreRewrittenByTheFirstSave) {
    dat_image good;
    good.count = 1;
    good.head = 1;
    good.ring = {{0, 5, 1, 1.0f}};
    good.daily = {{89, 0, 1, 1}};
    dat_image short_file = good;
    short_file.size = 100;
    std::string bad_magic = make_dat(good);
    bad_magic[0] = 'X';
    put_file("monitors.json", R"([{"id":"good"},{"id":"missing"},{"id":"short"},{"id":"bad"},{"id":"long"}])");
    put_file("data/good/heartbeats.dat", make_dat(good));
    put_file("data/short/heartbeats.dat", make_dat(short_file));
    put_file("data/bad/heartbeats.dat", bad_magic);
    put_file("data/long/heartbeats.dat", make_dat(good) + "x");
    start();
    platform::fault_disarm_all();
    ASSERT_EQ(uptime_save_state(), 0);
    EXPECT_EQ(fault_calls(fault_point::file_open), 2 + 4);
    expect_files_match_full_rewrite();
    platform::fault_disarm_all();
    ASSERT_EQ(uptime_save_state(), 0);
    EXPECT_EQ(fault_calls(fault_point::file_open), 2);
}

TEST_F(MendedFaults, FailedHeartbeatWriteStaysMarkedForTheNextSave) {
    start();
    add("a");
    fault_arm(fault_point::file_write, 1, false);  // the new monitor's file, written first
    std::string id = add("b");
    EXPECT_FALSE(fs::exists(dat_path(id)));
    EXPECT_NE(file("monitors.json").find(id), std::string::npos);
    platform::fault_disarm_all();
    ASSERT_EQ(uptime_save_state(), 0);
    EXPECT_EQ(fault_calls(fault_point::file_open), 3);
    expect_files_match_full_rewrite();
}

TEST_F(MendedFaults, MonitorsSharingAnIdShareOneFileConsistently) {
    put_file("monitors.json", R"([{"id":"dup","name":"first"},{"id":"dup","name":"second"}])");
    start();
    ASSERT_EQ(uptime_heartbeat_record("dup", 1, 1.0, 100), 0);  // reaches the first only
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(uptime_save_state(), 0);
        // Rewriting all in table order leaves the second one's history.
        expect_files_match_full_rewrite();
    }
}

}  // namespace
}  // namespace vue::test
