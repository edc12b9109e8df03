// State the engine did not write itself, or could not write: numbers at the
// ends of the double range, files it cannot load (which must survive), saves
// that fail, memory that runs out, a second process on the same directory,
// leftovers of a crash, and the last-error text under racing failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "core/engine_state.h"
#include "platform/fault.h"
#include "probes/probes.h"
#include "test_support.h"

#ifndef VUE_LOCK_HOLDER
#error "VUE_LOCK_HOLDER names the storage_lock_holder program"
#endif

namespace vue::test {
namespace {

using platform::fault_arm;
using platform::fault_point;

class HostileState : public engine_test {
protected:
    // The files beside `name` in `dir` that a start set aside, oldest name
    // first, with their bytes.
    std::vector<std::pair<std::string, std::string>> set_aside(const fs::path &dir, const std::string &name) const {
        const std::regex form(std::regex_replace(name, std::regex(R"(\.)"), R"(\.)") +
                              R"(\.unreadable-\d{8}T\d{6}Z(-\d+)?)");
        std::vector<std::pair<std::string, std::string>> found;
        std::error_code ec;
        for (const auto &entry : fs::directory_iterator(dir, ec)) {
            const std::string file = utf8(entry.path().filename());
            if (!std::regex_match(file, form)) continue;
            found.emplace_back(file, entry.is_regular_file() ? read_file_bytes(entry.path()) : std::string());
        }
        std::sort(found.begin(), found.end());
        return found;
    }
};

// --- numbers ---------------------------------------------------------------------------

TEST_F(HostileState, NumbersAtTheEndsOfTheDoubleRangeInStateFiles) {
    const struct {
        const char *text;
        bool loaded;
        double latency;
    } cases[] = {
        {"1.757938347017468e-335", true, 0.0},  // once a crash inside the reader
        {"3e-325", true, 0.0},
        {"2e-324", true, 0.0},
        {"3e-324", true, 4.9406564584124654e-324},
        {"1e-400", true, 0.0},
        {"2.2250738585072011e-308", true, 2.2250738585072011e-308},
        {"1.7976931348623157e308", true, 1.7976931348623157e308},
        {"18446744073709551616", true, 18446744073709551616.0},
        {"9.9e308", false, 0.0},
        {"1e400", false, 0.0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        stop();
        fs::remove_all(storage_);
        const std::string monitors = std::string(R"([{"id":"m","last_latency_ms":)") + c.text + "}]";
        const std::string config = std::string(R"({"retry":)") + c.text + R"(,"webhook_url":"https://h/"})";
        put_file("monitors.json", monitors);
        put_file("config.json", config);
        s_webhook_url[0] = '\0';  // a stop keeps the URL in memory; this start must find its own
        start();
        if (c.loaded) {
            ASSERT_EQ(s_monitor_count, 1);
            EXPECT_EQ(s_monitors[0].last_latency_ms, c.latency);
            EXPECT_EQ(std::signbit(s_monitors[0].last_latency_ms), std::signbit(c.latency));
            EXPECT_STREQ(s_webhook_url, "https://h/");
        } else {
            // Not JSON the engine can hold: counted as empty, and kept.
            EXPECT_EQ(s_monitor_count, 0);
            EXPECT_STREQ(s_webhook_url, "");
            ASSERT_EQ(uptime_save_state(), 0);
            const auto monitors_aside = set_aside(storage_, "monitors.json");
            const auto config_aside = set_aside(storage_, "config.json");
            ASSERT_EQ(monitors_aside.size(), 1u);
            ASSERT_EQ(config_aside.size(), 1u);
            EXPECT_EQ(monitors_aside[0].second, monitors);
            EXPECT_EQ(config_aside[0].second, config);
        }
    }
}

// A host may switch LC_NUMERIC to a locale with a decimal comma; the event
// must stay JSON. Locales are named differently on every system, and a
// minimal one may have none: then there is nothing to show.
TEST_F(HostileState, EventBodyIgnoresTheHostsNumericLocale) {
    const char *previous = std::setlocale(LC_NUMERIC, nullptr);
    const std::string restore = previous != nullptr ? previous : "C";
    const char *comma = nullptr;
    for (const char *name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "German_Germany.1252", "German", "de-DE"}) {
        if (std::setlocale(LC_NUMERIC, name) != nullptr) {
            char probe[16];
            std::snprintf(probe, sizeof probe, "%.1f", 0.5);
            if (std::strcmp(probe, "0,5") == 0) {
                comma = name;
                break;
            }
        }
    }
    if (comma == nullptr) {
        std::setlocale(LC_NUMERIC, restore.c_str());
        GTEST_SKIP() << "no locale with a decimal comma is installed here";
    }
    const std::string body = status_change_body("id", "n", 0, 0.04, -1234567890123);
    std::setlocale(LC_NUMERIC, restore.c_str());
    EXPECT_EQ(body, R"({"event":"status_change","monitor_id":"id","name":"n","status":0,"status_text":"DOWN",)"
                    R"("latency_ms":0.04,"timestamp":-1234567890123})")
        << "with LC_NUMERIC " << comma;
}

// --- files that could not be loaded are set aside, never written over -----------------

TEST_F(HostileState, UnloadableStateFilesAreSetAsideBeforeTheFirstWrite) {
    const std::string good_monitors = R"([{"id":"m","name":"kept"}])";
    const struct {
        const char *label;
        const char *file;      // the bad one
        std::string bytes;     // its content; empty with as_directory
        bool as_directory;     // a directory in its place: exists, cannot be read
        std::function<void()> write;  // the first call that writes that file
    } cases[] = {
        {"monitors.json with a stray comma", "monitors.json", R"([{"id":"a"},])", false,
         [] { char id[37]; ASSERT_EQ(uptime_monitor_add("n", 0, "t", 60, id), 0); }},
        {"monitors.json whose root is an object", "monitors.json", R"({"id":"a"})", false,
         [] { ASSERT_EQ(uptime_save_state(), 0); }},
        {"monitors.json with a byte-order mark", "monitors.json", "\xEF\xBB\xBF[]", false,
         [] { ASSERT_EQ(uptime_save_state(), 0); }},
        {"monitors.json that is a directory", "monitors.json", "", true,
         [] { ASSERT_EQ(uptime_save_state(), 0); }},
        {"config.json cut short", "config.json", R"({"webhook_url":"https://h/)", false,
         [] { ASSERT_EQ(uptime_set_webhook_url("https://new/"), 0); }},
        {"config.json whose root is an array", "config.json", R"(["https://h/"])", false,
         [] { ASSERT_EQ(uptime_save_state(), 0); }},
        {"empty config.json", "config.json", "", false, [] { uptime_engine_cleanup(); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        stop();
        fs::remove_all(storage_);
        if (std::string(c.file) != "monitors.json") put_file("monitors.json", good_monitors);
        if (c.as_directory) {
            fs::create_directories(storage_ / c.file / "inner");
        } else {
            put_file(c.file, c.bytes);
        }
        start();  // never fails for a bad file
        ASSERT_TRUE(set_aside(storage_, c.file).empty());  // nothing moves until something is written
        c.write();
        const auto aside = set_aside(storage_, c.file);
        ASSERT_EQ(aside.size(), 1u);
        if (c.as_directory) {
            EXPECT_TRUE(fs::is_directory(storage_ / aside[0].first / "inner"));
        } else {
            EXPECT_TRUE(same_bytes(aside[0].second, c.bytes));
        }
        EXPECT_TRUE(fs::is_regular_file(storage_ / c.file));
        // The set-aside file is never read again, and nothing is set aside twice.
        stop();
        start();
        ASSERT_EQ(uptime_save_state(), 0);
        EXPECT_EQ(set_aside(storage_, c.file).size(), 1u);
    }
}

TEST_F(HostileState, UnloadableHeartbeatFilesAreSetAsideBeforeTheFirstWrite) {
    dat_image base;
    base.count = 1;
    base.head = 1;
    base.ring = {{0, 500, 1, 3.5f}};
    auto with = [&](auto change) {
        dat_image d = base;
        change(d);
        return make_dat(d);
    };
    std::string bad_magic = make_dat(base);
    bad_magic[0] = 'X';
    const struct {
        const char *label;
        std::string bytes;
        bool set_aside;
    } cases[] = {
        {"shorter than its header", with([](dat_image &d) { d.size = 23; }), true},
        {"empty", "", true},
        {"wrong magic", bad_magic, true},
        {"capacity 4095", with([](dat_image &d) { d.capacity = 4095; }), true},
        {"head 4096", with([](dat_image &d) { d.head = 4096; }), true},
        {"count -1", with([](dat_image &d) { d.count = -1; }), true},
        {"cut inside the ring", with([](dat_image &d) { d.size = 24 + 13; }), false},  // loaded as far as it goes
        {"as written", make_dat(base), false},
    };
    for (const auto &c : cases) {
        for (const bool by_check : {false, true}) {
            SCOPED_TRACE(std::string(c.label) + (by_check ? ", written by a check" : ", written by a save"));
            stop();
            fs::remove_all(storage_);
            put_file("monitors.json", R"([{"id":"m","type":7}])");
            put_file("data/m/heartbeats.dat", c.bytes);
            start();
            if (by_check) {
                ASSERT_EQ(uptime_check_now("m", nullptr, nullptr), 0);  // type 7: down, no probe
            } else {
                ASSERT_EQ(uptime_heartbeat_record("m", 1, 1.0, 700), 0);
                ASSERT_EQ(uptime_save_state(), 0);
            }
            const auto aside = set_aside(storage_ / "data" / "m", "heartbeats.dat");
            if (c.set_aside) {
                ASSERT_EQ(aside.size(), 1u);
                EXPECT_TRUE(same_bytes(aside[0].second, c.bytes));
            } else {
                EXPECT_TRUE(aside.empty());
            }
            EXPECT_EQ(read_file_bytes(dat_path("m")).size(), kDatSize);
        }
    }
}

TEST_F(HostileState, FileThatCannotBeSetAsideIsNeverWrittenOver) {
    const std::string bad = R"([{"id":"a"},])";
    put_file("monitors.json", bad);
    put_file("data/m/heartbeats.dat", "junk");
    start();
    fault_arm(fault_point::file_set_aside, 1, true);
    char id[37];
    ASSERT_EQ(uptime_monitor_add("n", 0, "t", 60, id), 0);  // the add itself stands
    EXPECT_EQ(file("monitors.json"), bad);
    EXPECT_EQ(uptime_save_state(), -1);
    EXPECT_STREQ(uptime_last_error(), "Failed to save state");
    EXPECT_EQ(file("monitors.json"), bad);
    EXPECT_TRUE(set_aside(storage_, "monitors.json").empty());
    // Once the rename works again, the next save sets it aside and writes.
    platform::fault_disarm_all();
    ASSERT_EQ(uptime_save_state(), 0);
    ASSERT_EQ(set_aside(storage_, "monitors.json").size(), 1u);
    EXPECT_NE(file("monitors.json").find(id), std::string::npos);
}

TEST_F(HostileState, EverySetAsideFileIsKeptEvenWithinOneSecond) {
    // Two bad files in a row, set aside as fast as the engine can: the
    // second must not replace the first, whatever the clock says.
    for (const char *bytes : {"[1,]", "[2,]", "[3,]"}) {
        stop();
        put_file("monitors.json", bytes);
        start();
        ASSERT_EQ(uptime_save_state(), 0);
    }
    std::vector<std::string> contents;
    for (const auto &[name, bytes] : set_aside(storage_, "monitors.json")) contents.push_back(bytes);
    std::sort(contents.begin(), contents.end());
    EXPECT_EQ(contents, (std::vector<std::string>{"[1,]", "[2,]", "[3,]"}));
}

// --- failed saves are reported --------------------------------------------------------

TEST_F(HostileState, SaveReportsEveryFileItCouldNotWrite) {
    start();
    const std::string id = add("a");
    ASSERT_EQ(uptime_heartbeat_record(id.c_str(), 1, 1.0, 100), 0);
    const struct {
        const char *label;
        fault_point point;
        int nth;  // a save writes config.json, then the changed heartbeat file, then monitors.json
    } cases[] = {
        {"config.json not opened", fault_point::file_open, 1},
        {"heartbeats.dat half written", fault_point::file_write, 2},
        {"monitors.json not flushed", fault_point::file_sync, 3},
        {"monitors.json not renamed", fault_point::file_rename, 3},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_EQ(uptime_heartbeat_record(id.c_str(), 1, 1.0, 200), 0);  // the heartbeat file changed
        set_last_error("");
        fault_arm(c.point, c.nth, false);
        EXPECT_EQ(uptime_save_state(), -1);
        EXPECT_STREQ(uptime_last_error(), "Failed to save state");
        platform::fault_disarm_all();
        EXPECT_EQ(uptime_save_state(), 0);
        EXPECT_FALSE(any_temporary_file(storage_));
    }
    // Add, delete and the webhook keep their results: the change stands.
    fault_arm(fault_point::file_open, 1, true);
    set_last_error("");
    const std::string second = add("b");
    EXPECT_EQ(uptime_set_webhook_url("https://h/"), 0);
    EXPECT_EQ(uptime_monitor_delete(id.c_str()), 0);
    EXPECT_STREQ(uptime_last_error(), "");
    EXPECT_EQ(uptime_save_state(), -1);
}

TEST_F(HostileState, OutOfMemoryWhileWritingTheTableKeepsTheChangeAndReportsTheSave) {
    start();
    // Targets long enough that monitors.json outgrows its fixed buffer.
    for (int i = 0; i < 120; ++i) add("m" + std::to_string(i), 1, std::string(500, 'x'));
    platform::fault_disarm_all();
    fault_arm(fault_point::text_memory, 1, true);
    set_last_error("");
    char id[37];
    ASSERT_EQ(uptime_monitor_add("late", 0, "t", 60, id), 0);
    EXPECT_STREQ(uptime_last_error(), "");
    EXPECT_EQ(s_monitor_count, 121);
    ASSERT_EQ(uptime_monitor_delete(id), 0);  // no duplicate to be had by retrying
    EXPECT_EQ(s_monitor_count, 120);
    EXPECT_EQ(uptime_save_state(), -1);
    EXPECT_STREQ(uptime_last_error(), "Failed to save state");
    platform::fault_disarm_all();
    ASSERT_EQ(uptime_save_state(), 0);
    restart();
    EXPECT_EQ(s_monitor_count, 120);
}

// --- one process per storage directory -----------------------------------------------------

TEST_F(HostileState, SecondProcessIsRefusedTheStorageDirectory) {
    const fs::path ready = root_ / "ready", release = root_ / "release";
    put_file("monitors.json", R"([{"id":"m"}])");
    // No quotes: the shells of the two systems strip them differently, and
    // neither the build tree nor the temporary directory holds a space.
    const std::string command =
        std::string(VUE_LOCK_HOLDER) + " " + utf8(storage_) + " " + utf8(ready) + " " + utf8(release);
    int holder_status = -1;
    std::thread holder([&] { holder_status = std::system(command.c_str()); });
    for (int i = 0; i < 1000 && !fs::exists(ready); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(fs::exists(ready)) << "the holder did not start: " << command;

    const auto before = list_tree(storage_);
    EXPECT_EQ(uptime_engine_init(utf8(storage_).c_str()), -1);
    EXPECT_STREQ(uptime_last_error(), "Storage directory in use by another process");
    EXPECT_EQ(list_tree(storage_), before);  // nothing read into a save, nothing written
    EXPECT_EQ(uptime_save_state(), -1);       // not started
    EXPECT_STREQ(uptime_last_error(), "Engine not initialized");

    write_file_bytes(release, "1");
    holder.join();
    EXPECT_EQ(holder_status, 0);
    start();
    EXPECT_EQ(s_monitor_count, 1);
}

TEST_F(HostileState, StorageDirectoryThatCannotBeLockedFailsTheStart) {
    const struct {
        const char *label;
        std::function<fs::path(const fs::path &)> make;  // returns the storage directory to try
    } cases[] = {
        {"a regular file", [](const fs::path &root) {
             write_file_bytes(root / "plain", "x");
             return root / "plain";
         }},
        {"a directory in place of the lock file", [](const fs::path &root) {
             fs::create_directories(root / "locked-out" / ".lock");
             return root / "locked-out";
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        const fs::path dir = c.make(root_);
        const auto before = list_tree(root_);
        EXPECT_EQ(uptime_engine_init(utf8(dir).c_str()), -1);
        EXPECT_STREQ(uptime_last_error(), "Cannot lock storage directory");
        EXPECT_EQ(list_tree(root_), before);
        char id[37];
        EXPECT_EQ(uptime_monitor_add("n", 0, "t", 60, id), -1);
        EXPECT_STREQ(uptime_last_error(), "Engine not initialized");
    }
    // The engine starts normally afterwards.
    start();
}

// --- leftovers of a crash ------------------------------------------------------------------

TEST_F(HostileState, TemporaryFilesOfAnInterruptedSaveAreRemovedAtStart) {
    put_file("monitors.json", R"([{"id":"live"}])");
    const char *leftovers[] = {"config.json.tmp", "monitors.json.tmp", "data/live/heartbeats.dat.tmp",
                               "data/deleted-long-ago/heartbeats.dat.tmp", "data/heartbeats.dat.tmp"};
    const char *kept[] = {"notes.tmp", "data/live/other.tmp", "data/live/heartbeats.dat.unreadable-20260101T000000Z",
                          "monitors.json.unreadable-20260101T000000Z"};
    for (const char *name : leftovers) put_file(name, "half a file");
    for (const char *name : kept) put_file(name, "not ours");
    start();
    for (const char *name : leftovers) EXPECT_FALSE(fs::exists(storage_ / name)) << name;
    for (const char *name : kept) EXPECT_EQ(file(name), "not ours") << name;
    EXPECT_TRUE(fs::is_directory(storage_ / "data" / "deleted-long-ago"));
}

// --- the last-error text under racing failures ------------------------------------------

TEST_F(HostileState, LastErrorIsAlwaysOneWholeText) {
    start();
    const std::string id = add();
    const std::vector<std::string> texts = {"", "Engine not initialized or null monitor_id", "Invalid latency",
                                            "Monitor not found"};
    std::atomic<bool> done{false};
    std::atomic<long> reads{0}, torn{0};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        while (!done) uptime_heartbeat_record(nullptr, 1, 1.0, 0);
    });
    threads.emplace_back([&] {
        while (!done) uptime_heartbeat_record(id.c_str(), 1, std::nan(""), 0);
    });
    threads.emplace_back([&] {
        while (!done) uptime_monitor_delete("no-such-monitor");
    });
    threads.emplace_back([&] {
        while (!done) {
            const std::string seen = uptime_last_error();
            ++reads;
            if (std::find(texts.begin(), texts.end(), seen) == texts.end()) ++torn;
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    done = true;
    for (std::thread &t : threads) t.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(torn.load(), 0);
}

}  // namespace
}  // namespace vue::test
