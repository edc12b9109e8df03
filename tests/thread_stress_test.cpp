// Sixteen threads call every exported function but the start and the stop,
// with hostile values, for a bounded time (VUE_STRESS_SECONDS, 3 s by
// default); built under ThreadSanitizer and AddressSanitizer as well. Every
// result must be one the header documents, every last-error text one of the
// fixed texts, every report strict JSON, and afterwards the state must
// reload as it was. POSIX only (the TCP listener).
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cfloat>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "loopback_listener.h"
#include "store/json_text.h"
#include "test_support.h"

namespace vue::test {
namespace {

const std::set<std::string> kTexts = {"",
                                      "Engine not initialized",
                                      "Invalid name or target",
                                      "Maximum monitors capacity reached",
                                      "Engine not initialized or null monitor_id",
                                      "Monitor not found",
                                      "Invalid webhook URL",
                                      "Invalid latency",
                                      "Failed to save state"};

enum call_kind { k_add, k_delete, k_check, k_record, k_list, k_beats, k_percent, k_webhook, k_save, k_error, k_detail,
                 k_kinds };
const char *const kNames[k_kinds] = {"add",     "delete",  "check", "record",     "list",
                                     "heartbeats", "percent", "webhook", "save", "last_error", "detail"};

bool strict_json_array(const char *text) {
    rapidjson::Document doc;
    return json_parse_strict(text, doc) && doc.IsArray();
}

bool strict_json_object(const char *text) {
    rapidjson::Document doc;
    return json_parse_strict(text, doc) && doc.IsObject();
}

class ThreadStress : public ::testing::Test {
protected:
    void SetUp() override {
        // Saves flush every file; on a RAM file system they cost nothing and
        // the threads spend their time in the engine, not in the disk.
        const fs::path shm = "/dev/shm";
        std::error_code ec;
        if (fs::is_directory(shm, ec) && ::access(shm.c_str(), W_OK) == 0) {
            root_ = shm / ("vue-stress-" + std::to_string(::getpid()));
            fs::remove_all(root_, ec);
            fs::create_directories(root_);
        } else {
            root_ = make_unique_temp_dir("stress");
        }
        storage_ = utf8(root_ / "store");
    }
    void TearDown() override {
        uptime_engine_cleanup();
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    fs::path root_;
    std::string storage_;
};

TEST_F(ThreadStress, SixteenThreadsCallEveryFunction) {
    loopback_listener listener;
    double seconds = 3.0;
    if (const char *env = std::getenv("VUE_STRESS_SECONDS"); env != nullptr && *env != '\0') seconds = std::atof(env);
    ASSERT_EQ(uptime_engine_init(storage_.c_str()), 0) << uptime_last_error();

    const std::string up_target = "127.0.0.1:" + std::to_string(listener.port());
    const std::string refused_target = "127.0.0.1:" + std::to_string(listener.refusing_port());
    const std::string http_target = "http://127.0.0.1:" + std::to_string(listener.port()) + "/";
    const std::string hook = "http://127.0.0.1:" + std::to_string(listener.refusing_port()) + "/hook";
    const std::string long_text(10 * 1024, 'x');
    const std::array<std::string, 6> names = {"", "web", "caf\xC3\xA9 \xE2\x82\xAC", "tab\tnew\nline\x01\x1f\x7f",
                                              long_text, "\"quoted\\\""};
    const std::array<std::string, 3> bad_texts = {"caf\xE9", "\xC0\xAF", "\xED\xA0\x80"};
    const double latencies[] = {1.5,    0.0,     -0.0,    5e-324,  static_cast<double>(FLT_MAX),
                                1e300,  -1e300,  std::nan(""), std::numeric_limits<double>::infinity(),
                                -std::numeric_limits<double>::infinity(), 12.300000190734863};
    const int statuses[] = {0, 1, 2, -1, 257, INT_MIN, INT_MAX};
    const int64_t times[] = {0, -1, 1718000000, 32503680000 /* year 3000 */, INT64_MIN, INT64_MAX};

    std::mutex ids_mutex;  // the threads' shared idea of which ids exist; stale on purpose
    std::vector<std::string> ids;
    // A report's text stays valid until the next call of the same function
    // from any thread: as a host must, the threads take a lock of their own
    // around each call and the reading of its text.
    std::mutex list_mutex, beats_mutex, detail_mutex;
    std::atomic<bool> done{false};
    std::array<std::atomic<long>, k_kinds> calls{};
    std::atomic<long> surprises{0};
    std::mutex surprise_mutex;
    std::vector<std::string> surprise_texts;
    auto surprise = [&](const std::string &what) {
        if (surprises.fetch_add(1) < 20) {
            std::lock_guard<std::mutex> g(surprise_mutex);
            surprise_texts.push_back(what);
        }
    };
    auto expect_result = [&](int rc, const char *what) {
        if (rc != 0 && rc != -1) surprise(std::string(what) + " returned " + std::to_string(rc));
        const std::string text = uptime_last_error();
        if (kTexts.count(text) == 0) surprise(std::string("last error \"") + text + "\"");
    };

    auto worker = [&](unsigned seed) {
        std::mt19937 rng(seed);
        auto pick = [&rng](size_t n) { return static_cast<size_t>(rng() % n); };
        auto some_id = [&]() -> std::string {
            switch (pick(8)) {
                case 0: return "00000000-0000-4000-8000-000000000000";
                case 1: return "";
                case 2: return long_text;
                default: {
                    std::lock_guard<std::mutex> g(ids_mutex);
                    return ids.empty() ? std::string("none") : ids[pick(ids.size())];
                }
            }
        };
        while (!done.load(std::memory_order_relaxed)) {
            const size_t roll = pick(100);
            call_kind kind;
            // Adds and deletes rewrite every changed heartbeat file under the
            // engine lock; kept rare, they leave the other calls room to race.
            if (roll < 3) {
                kind = k_add;
                char id[UPTIME_ID_BUFFER_SIZE] = {};
                const size_t t = pick(8);
                const std::string &target = t < 3 ? up_target : t < 5 ? refused_target : t < 6 ? http_target : long_text;
                const int type = t < 5 ? UPTIME_MONITOR_TCP_PORT : t < 6 ? UPTIME_MONITOR_HTTP : static_cast<int>(pick(3)) == 0 ? INT_MAX : 7;
                const bool bad = pick(10) == 0;
                const char *name = bad ? (pick(2) == 0 ? nullptr : bad_texts[pick(bad_texts.size())].c_str())
                                       : names[pick(names.size())].c_str();
                const int interval = pick(4) == 0 ? INT_MIN : static_cast<int>(pick(600));
                const int rc = uptime_monitor_add(name, type, target.c_str(), interval, pick(5) == 0 ? nullptr : id);
                expect_result(rc, "add");
                if (rc == 0 && id[0] != '\0') {
                    std::lock_guard<std::mutex> g(ids_mutex);
                    ids.emplace_back(id);
                }
                if (bad && rc != -1) surprise("an add with a bad name succeeded");
            } else if (roll < 5) {
                kind = k_delete;
                const std::string id = some_id();
                expect_result(uptime_monitor_delete(pick(20) == 0 ? nullptr : id.c_str()), "delete");
            } else if (roll < 24) {
                kind = k_check;
                const std::string id = some_id();
                int up = -1;
                double latency = -1.0;
                const int rc = uptime_check_now(id.c_str(), pick(3) == 0 ? nullptr : &up,
                                                pick(3) == 0 ? nullptr : &latency);
                expect_result(rc, "check");
            } else if (roll < 50) {
                kind = k_record;
                const std::string id = some_id();
                const double latency = latencies[pick(std::size(latencies))];
                const int rc = uptime_heartbeat_record(pick(30) == 0 ? nullptr : id.c_str(),
                                                       statuses[pick(std::size(statuses))], latency,
                                                       times[pick(std::size(times))]);
                expect_result(rc, "record");
                if (rc == 0 && !(std::isfinite(latency) && std::fabs(latency) <= FLT_MAX)) {
                    surprise("a record with latency " + std::to_string(latency) + " succeeded");
                }
            } else if (roll < 62) {
                kind = k_list;
                std::lock_guard<std::mutex> g(list_mutex);
                if (!strict_json_array(uptime_monitors_list_json())) surprise("list report is not JSON");
            } else if (roll < 74) {
                kind = k_beats;
                const std::string id = some_id();
                const int limits[] = {0, -1, 1, 5, 4096, INT_MAX, INT_MIN};
                const int limit = limits[pick(std::size(limits))];
                std::lock_guard<std::mutex> g(beats_mutex);
                if (!strict_json_array(uptime_get_heartbeats_json(pick(10) == 0 ? nullptr : id.c_str(), limit))) {
                    surprise("heartbeat report is not JSON");
                }
            } else if (roll < 84) {
                kind = k_percent;
                const std::string id = some_id();
                const double p = uptime_get_percent_90d(pick(10) == 0 ? nullptr : id.c_str());
                if (!(p >= 0.0 && p <= 100.0)) surprise("percent " + std::to_string(p));
            } else if (roll < 87) {
                kind = k_webhook;
                const char *urls[] = {nullptr, "", hook.c_str(), bad_texts[0].c_str(), long_text.c_str()};
                const size_t u = pick(std::size(urls));
                const int rc = uptime_set_webhook_url(urls[u]);
                expect_result(rc, "webhook");
                if ((u == 3) != (rc == -1)) surprise("webhook URL " + std::to_string(u) + " gave " + std::to_string(rc));
            } else if (roll < 88) {
                kind = k_save;
                const int rc = uptime_save_state();
                expect_result(rc, "save");
                if (rc != 0) surprise("a save failed");
            } else if (roll < 94) {
                kind = k_detail;
                const std::string id = some_id();
                std::lock_guard<std::mutex> g(detail_mutex);
                // NULL for an id that is gone (or a null one); else one object.
                const char *text = uptime_monitor_detail_json(pick(10) == 0 ? nullptr : id.c_str());
                if (text != nullptr && !strict_json_object(text)) surprise("detail report is not JSON");
            } else {
                kind = k_error;
                const char *text = uptime_last_error();
                if (text == nullptr || kTexts.count(text) == 0) surprise("last error text torn or unknown");
            }
            calls[kind].fetch_add(1, std::memory_order_relaxed);
        }
    };

    std::vector<std::thread> threads;
    const unsigned base_seed = std::random_device{}();
    for (unsigned t = 0; t < 16; ++t) threads.emplace_back(worker, base_seed + t);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    done.store(true);
    for (std::thread &t : threads) t.join();

    long total = 0;
    std::string by_kind;
    for (int k = 0; k < k_kinds; ++k) {
        total += calls[k].load();
        by_kind += std::string(k ? ", " : "") + kNames[k] + " " + std::to_string(calls[k].load());
    }
    std::printf("thread stress: 16 threads, %.1f s, seed %u: %ld calls (%s); %ld connections to the listener\n",
                seconds, base_seed, total, by_kind.c_str(), listener.accepted());
    for (const std::string &s : surprise_texts) ADD_FAILURE() << s;
    EXPECT_EQ(surprises.load(), 0);
    for (int k = 0; k < k_kinds; ++k) EXPECT_GT(calls[k].load(), 0) << kNames[k];

    // The state reloads as it was: the list and every history.
    const std::string list_before = uptime_monitors_list_json();
    ASSERT_TRUE(strict_json_array(list_before.c_str())) << list_before;
    rapidjson::Document doc;
    ASSERT_TRUE(json_parse_strict(list_before, doc));
    std::vector<std::pair<std::string, std::string>> beats_before;
    for (const auto &m : doc.GetArray()) {
        const std::string id = m["id"].GetString();
        beats_before.emplace_back(id, uptime_get_heartbeats_json(id.c_str(), 0));
    }
    ASSERT_EQ(uptime_save_state(), 0);
    uptime_engine_cleanup();
    ASSERT_EQ(uptime_engine_init(storage_.c_str()), 0) << uptime_last_error();
    EXPECT_EQ(std::string(uptime_monitors_list_json()), list_before);
    for (const auto &[id, beats] : beats_before) {
        EXPECT_EQ(std::string(uptime_get_heartbeats_json(id.c_str(), 0)), beats) << id;
    }
    EXPECT_FALSE(any_temporary_file(root_));
    for (const std::string &name : list_tree(root_)) {
        EXPECT_EQ(name.find(".unreadable-"), std::string::npos) << name;
    }
}

}  // namespace
}  // namespace vue::test
