// Adding and deleting monitors, identifiers and lookups.
#include <gtest/gtest.h>


#include <algorithm>
#include <cctype>
#include <climits>
#include <set>
#include <string>

#include "core/engine_state.h"
#include "monitors/monitors.h"
#include "platform/fault.h"
#include "platform/platform.h"
#include "test_support.h"

namespace vue::test {
namespace {

using platform::fault_arm;
using platform::fault_point;

class Registry : public engine_test {};

void expect_v4_uuid(const std::string &id) {
    ASSERT_EQ(id.size(), 36u) << id;
    for (size_t i = 0; i < id.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            EXPECT_EQ(id[i], '-') << id;
        } else {
            EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(id[i])) &&
                        !std::isupper(static_cast<unsigned char>(id[i])))
                << id;
        }
    }
    EXPECT_EQ(id[14], '4') << id;
    EXPECT_NE(std::string("89ab").find(id[19]), std::string::npos) << id;
}

// A monitors.json of `n` minimal monitors with made-up ids.
std::string monitors_json_of(int n) {
    std::string text = "[";
    for (int i = 0; i < n; ++i) {
        char id[40];
        std::snprintf(id, sizeof id, "00000000-0000-4000-8000-%012d", i);
        text += std::string(i ? "," : "") + "{\"id\":\"" + id + "\",\"name\":\"m" + std::to_string(i) + "\"}";
    }
    return text + "]";
}

TEST_F(Registry, NewMonitorDefaults) {
    start();
    const int64_t before = platform::unix_time();
    std::string id = add("web", UPTIME_MONITOR_HTTP, "https://example.invalid/", 30);
    const int64_t after = platform::unix_time();
    expect_v4_uuid(id);
    ASSERT_EQ(s_monitor_count, 1);
    const monitor_record &m = s_monitors[0];
    EXPECT_EQ(std::string(m.id), id);
    EXPECT_STREQ(m.name, "web");
    EXPECT_EQ(m.type, UPTIME_MONITOR_HTTP);
    EXPECT_STREQ(m.target, "https://example.invalid/");
    EXPECT_EQ(m.interval_sec, 30);
    EXPECT_EQ(m.status, UPTIME_STATUS_PENDING);
    EXPECT_EQ(m.last_latency_ms, 0.0);
    EXPECT_EQ(m.last_check, 0);
    EXPECT_GE(m.created_at, before);
    EXPECT_LE(m.created_at, after);
    EXPECT_EQ(m.hb_count, 0);
    EXPECT_EQ(m.hb_head, 0);
    EXPECT_EQ(uptime_get_percent_90d(id.c_str()), 100.0);
    EXPECT_STREQ(uptime_get_heartbeats_json(id.c_str(), 0), "[]");
    // The add wrote both files before returning.
    EXPECT_NE(file("monitors.json").find(id), std::string::npos);
    EXPECT_EQ(read_file_bytes(dat_path(id)).size(), kDatSize);
}

TEST_F(Registry, FieldsAreStoredAsGiven) {
    start();
    const struct {
        const char *label;
        std::string name;
        int type;
        std::string target;
        int interval;
        std::string stored_name;
        std::string stored_target;
        int stored_interval;
    } cases[] = {
        {"long texts", std::string(200, 'n'), 0, std::string(600, 't'), 60, std::string(127, 'n'),
         std::string(511, 't'), 60},
        {"empty texts", "", 1, "", 60, "", "", 60},
        {"interval 0", "a", 2, "b", 0, "a", "b", 60},
        {"interval -5", "a", 3, "b", -5, "a", "b", 60},
        {"interval 1", "a", 3, "b", 1, "a", "b", 1},
        {"interval max", "a", 3, "b", INT_MAX, "a", "b", INT_MAX},
        {"type 7", "a", 7, "b", 10, "a", "b", 10},
        {"type -1", "a", -1, "b", 10, "a", "b", 10},
        {"type 4", "a", 4, "b", 10, "a", "b", 10},
        {"type INT_MAX", "a", INT_MAX, "b", 10, "a", "b", 10},
        {"type INT_MIN", "a", INT_MIN, "b", 10, "a", "b", 10},
        {"interval INT_MIN", "a", 1, "b", INT_MIN, "a", "b", 60},
        {"10 KB texts", std::string(10240, 'n'), 0, std::string(10240, 't'), 60, std::string(127, 'n'),
         std::string(511, 't'), 60},
        {"control characters", "\x01\t\n\x1f\x7f", 0, "\r\x1b[0m", 60, "\x01\t\n\x1f\x7f", "\r\x1b[0m", 60},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        std::string id = add(c.name, c.type, c.target, c.interval);
        monitor_record *m = find_monitor(id.c_str());
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(std::string(m->name), c.stored_name);
        EXPECT_EQ(m->type, c.type);
        EXPECT_EQ(std::string(m->target), c.stored_target);
        EXPECT_EQ(m->interval_sec, c.stored_interval);
    }
}

TEST_F(Registry, NullOutIdStillAdds) {
    start();
    ASSERT_EQ(uptime_monitor_add("quiet", 0, "t", 60, nullptr), 0);
    ASSERT_EQ(s_monitor_count, 1);
    std::string id = s_monitors[0].id;
    expect_v4_uuid(id);
    EXPECT_NE(std::string(uptime_monitors_list_json()).find("\"id\":\"" + id + "\""), std::string::npos);
}

TEST_F(Registry, TableFullRefusesTheNextAddAndChangesNothing) {
    put_file("monitors.json", monitors_json_of(UPTIME_MAX_MONITORS));
    start();
    ASSERT_EQ(s_monitor_count, UPTIME_MAX_MONITORS);
    ASSERT_EQ(uptime_save_state(), 0);
    const std::string json_before = file("monitors.json");
    const auto tree_before = list_tree(storage_);

    char id[UPTIME_ID_BUFFER_SIZE] = "untouched";
    EXPECT_EQ(uptime_monitor_add("extra", 0, "t", 60, id), -1);
    EXPECT_STREQ(uptime_last_error(), "Maximum monitors capacity reached");
    EXPECT_STREQ(id, "untouched");
    EXPECT_EQ(s_monitor_count, UPTIME_MAX_MONITORS);
    EXPECT_EQ(file("monitors.json"), json_before);
    EXPECT_EQ(list_tree(storage_), tree_before);

    ASSERT_EQ(uptime_monitor_delete(s_monitors[5].id), 0);
    std::string added = add("extra");
    EXPECT_EQ(s_monitor_count, UPTIME_MAX_MONITORS);
    EXPECT_EQ(std::string(s_monitors[UPTIME_MAX_MONITORS - 1].id), added);
}

TEST_F(Registry, IdentifiersAreVersion4AndDistinct) {
    start();
    std::set<std::string> seen;
    for (int i = 0; i < 64; ++i) {
        std::string id = add();
        expect_v4_uuid(id);
        EXPECT_TRUE(seen.insert(id).second) << id;
    }
    for (int i = 0; i < 2000; ++i) {
        char id[ID_SIZE];
        generate_monitor_id(id);
        EXPECT_TRUE(seen.insert(id).second) << id;
    }
}

TEST_F(Registry, FallbackIdentifiersAreWellFormedAndDistinct) {
    fault_arm(fault_point::random_source, 1, true);
    std::set<std::string> seen;
    for (int i = 0; i < 2000; ++i) {
        char id[ID_SIZE];
        generate_monitor_id(id);
        expect_v4_uuid(id);
        EXPECT_TRUE(seen.insert(id).second) << id;
    }
    EXPECT_GE(platform::fault_calls(fault_point::random_source), 2000);
}


TEST_F(Registry, DeleteKeepsTheOrderOfTheOthersEverywhere) {
    start();
    std::string a = add("a"), b = add("b"), c = add("c");
    ASSERT_EQ(uptime_monitor_delete(b.c_str()), 0);
    ASSERT_EQ(s_monitor_count, 2);
    EXPECT_EQ(std::string(s_monitors[0].id), a);
    EXPECT_EQ(std::string(s_monitors[1].id), c);
    const std::string json = file("monitors.json");
    EXPECT_LT(json.find(a), json.find(c));
    EXPECT_EQ(json.find(b), std::string::npos);
    const std::string list = uptime_monitors_list_json();
    EXPECT_LT(list.find(a), list.find(c));
    EXPECT_EQ(list.find(b), std::string::npos);

    // Slot 0 goes: the survivor moves down and is still found.
    ASSERT_EQ(uptime_heartbeat_record(c.c_str(), 1, 5.0, 100), 0);
    ASSERT_EQ(uptime_monitor_delete(a.c_str()), 0);
    ASSERT_NE(find_monitor(c.c_str()), nullptr);
    EXPECT_EQ(find_monitor(c.c_str()), &s_monitors[0]);
    EXPECT_EQ(s_monitors[0].hb_count, 1);
}

TEST_F(Registry, DeleteTheOnlyMonitorAndDeleteTwice) {
    start();
    std::string id = add();
    std::string upper = id;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char ch) { return std::toupper(ch); });
    EXPECT_EQ(uptime_monitor_delete(upper.c_str()), -1);
    EXPECT_STREQ(uptime_last_error(), "Monitor not found");
    ASSERT_EQ(uptime_monitor_delete(id.c_str()), 0);
    EXPECT_EQ(s_monitor_count, 0);
    EXPECT_EQ(file("monitors.json"), "[]");
    EXPECT_STREQ(uptime_monitors_list_json(), "[]");
    EXPECT_EQ(uptime_monitor_delete(id.c_str()), -1);
    EXPECT_STREQ(uptime_last_error(), "Monitor not found");
}

TEST_F(Registry, DeletedMonitorLeavesItsFileAndStaysGone) {
    start();
    std::string keep = add("keep"), gone = add("gone");
    ASSERT_EQ(uptime_heartbeat_record(gone.c_str(), 1, 1.0, 100), 0);
    ASSERT_EQ(uptime_save_state(), 0);
    const std::string dat = read_file_bytes(dat_path(gone));
    ASSERT_EQ(uptime_monitor_delete(gone.c_str()), 0);
    restart();
    EXPECT_TRUE(same_bytes(read_file_bytes(dat_path(gone)), dat));
    ASSERT_EQ(s_monitor_count, 1);
    EXPECT_EQ(std::string(s_monitors[0].id), keep);
    EXPECT_EQ(find_monitor(gone.c_str()), nullptr);
}

TEST_F(Registry, LookupIsExactAndFindsTheLowerSlotFirst) {
    put_file("monitors.json", R"([{"id":"dup","name":"first"},{"id":"dup","name":"second"},{"name":"no id"}])");
    start();
    ASSERT_EQ(s_monitor_count, 3);
    EXPECT_EQ(find_monitor("dup"), &s_monitors[0]);
    EXPECT_EQ(find_monitor("DUP"), nullptr);
    EXPECT_EQ(find_monitor("du"), nullptr);
    // Only a monitor loaded without an id answers to the empty id.
    EXPECT_EQ(find_monitor(""), &s_monitors[2]);
    ASSERT_EQ(uptime_heartbeat_record("dup", 1, 1.0, 100), 0);
    EXPECT_EQ(s_monitors[0].hb_count, 1);
    EXPECT_EQ(s_monitors[1].hb_count, 0);
    ASSERT_EQ(uptime_monitor_delete("dup"), 0);
    EXPECT_STREQ(s_monitors[0].name, "second");
}

TEST_F(Registry, EmptyIdFindsNothingInATableOfAddedMonitors) {
    start();
    add();
    EXPECT_EQ(uptime_monitor_delete(""), -1);
    EXPECT_STREQ(uptime_last_error(), "Monitor not found");
}

}  // namespace
}  // namespace vue::test
