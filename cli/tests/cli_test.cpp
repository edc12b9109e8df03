// vantorel-uptime end to end: the built executable in a temporary storage
// directory, checks against the loopback HTTP fixture it starts itself.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <rapidjson/document.h>

#include "cli_test_support.h"
#include "vantorel-uptime-engine.h"

namespace cli_test {
namespace {

using namespace std::chrono_literals;

const std::regex k_uuid("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}\n");

std::string joined(const std::vector<std::string> &args) {
    std::string text;
    for (const std::string &a : args) text += (text.empty() ? "" : " ") + a;
    return text;
}

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

std::size_t count_lines(const std::string &text) {
    return std::size_t(std::count(text.begin(), text.end(), '\n'));
}

rapidjson::Document parse_json(const std::string &text) {
    rapidjson::Document doc;
    doc.Parse(text.c_str());
    EXPECT_FALSE(doc.HasParseError()) << text;
    return doc;
}

std::int64_t unix_now() {
    return std::int64_t(std::time(nullptr));
}

class CliTest : public ::testing::Test {
protected:
    std::string dir() const { return scratch_.path() + "/state"; }
    const std::string &scratch() const { return scratch_.path(); }

    run_result run(std::vector<std::string> args, const env_changes &env = {}) {
        args.insert(args.begin(), {"--dir", dir()});
        return run_cli(args, env);
    }

    // Adds a monitor and returns its id.
    std::string add(const std::string &name, const std::string &type, const std::string &target,
                    std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"add", name, type, target};
        args.insert(args.end(), extra.begin(), extra.end());
        const run_result r = run(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(std::regex_match(r.out, k_uuid)) << r.out;
        return r.out.substr(0, r.out.size() > 0 ? r.out.size() - 1 : 0);
    }

    std::vector<std::string> ids() {
        std::vector<std::string> result;
        const rapidjson::Document doc = parse_json(run({"list", "--json"}).out);
        for (const auto &m : doc.GetArray()) result.emplace_back(m["id"].GetString());
        return result;
    }

    rapidjson::Document heartbeats(const std::string &id) {
        return parse_json(run({"heartbeats", id, "--limit", "0", "--json"}).out);
    }

    // What the engine itself reports on the saved state, for comparing with
    // what the CLI passes through. Runs after the CLI process has ended.
    std::string engine_report(const std::function<const char *()> &report) {
        EXPECT_EQ(uptime_engine_init(dir().c_str()), 0);
        std::string text = report();
        uptime_engine_cleanup();
        return text;
    }

private:
    temp_dir scratch_;
};

// --- Command line -------------------------------------------------------------------

TEST_F(CliTest, HelpForEveryCommandWithoutTouchingTheStorage) {
    const std::vector<std::string> commands = {"add",    "delete", "list",    "check", "heartbeats",
                                               "record", "uptime", "webhook", "watch"};
    const run_result global = run({"--help"});
    EXPECT_EQ(global.status, 0);
    EXPECT_TRUE(contains(global.out, "usage: vantorel-uptime [--dir DIR] COMMAND")) << global.out;
    for (const std::string &command : commands) {
        SCOPED_TRACE(command);
        EXPECT_TRUE(contains(global.out, "\n  " + command + " ")) << global.out;
        for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
                 {command, "--help"}, {command, "-h"}, {"help", command}, {command, "x", "--help"}}) {
            SCOPED_TRACE(joined(args));
            const run_result r = run(args);
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.out.rfind("usage: vantorel-uptime [--dir DIR] " + command, 0), 0u) << r.out;
            EXPECT_TRUE(r.err.empty()) << r.err;
        }
    }
    const run_result version = run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("vantorel-uptime ") + VANTOREL_UPTIME_ENGINE_VERSION + "\n");
    EXPECT_FALSE(std::filesystem::exists(dir())) << "help must not start the engine";
}

TEST_F(CliTest, UsageErrorsExitTwoWithTheCommandsUsage) {
    struct usage_case {
        std::vector<std::string> args;
        std::string message;  // on stderr, after "<command>: "
        std::string usage;    // the usage line printed with it
    };
    const std::string global_usage = "usage: vantorel-uptime [--dir DIR] COMMAND";
    const std::vector<usage_case> cases = {
        {{}, "vantorel-uptime: missing command", global_usage},
        {{"frobnicate"}, "vantorel-uptime: unknown command 'frobnicate'", global_usage},
        {{"--bogus", "list"}, "vantorel-uptime: unknown option '--bogus'", global_usage},
        {{"help", "frobnicate"}, "vantorel-uptime: unknown command 'frobnicate'", global_usage},
        {{"add", "Web", "http"}, "add: missing arguments", "add NAME TYPE TARGET"},
        {{"add", "Web", "smtp", "x"}, "add: TYPE must be http, tcp, dns, ping or a number, not 'smtp'", "add NAME"},
        {{"add", "Web", "12abc", "x"}, "add: TYPE must be", "add NAME"},
        {{"add", "Web", "http", "x", "--interval", "0"}, "add: --interval must be a whole number", "add NAME"},
        {{"add", "Web", "http", "x", "--interval=1.5"}, "add: --interval must be a whole number", "add NAME"},
        {{"add", "Web", "http", "x", "--interval"}, "add: option '--interval' needs a value", "add NAME"},
        {{"add", "Web", "http", "x", "extra"}, "add: too many arguments: 'extra'", "add NAME"},
        {{"delete"}, "delete: missing arguments", "delete ID"},
        {{"list", "--limit", "3"}, "list: unknown option '--limit'", "list [--json]"},
        {{"list", "-x"}, "list: unknown option '-x'", "list [--json]"},
        {{"list", "extra"}, "list: too many arguments: 'extra'", "list [--json]"},
        {{"check"}, "check: give monitor ids or --all", "check ID... | check --all"},
        {{"check", "--all", "abcd"}, "check: give monitor ids or --all, not both", "check ID..."},
        {{"heartbeats", "abcd", "--limit", "-1"}, "heartbeats: --limit must be a whole number", "heartbeats ID"},
        {{"heartbeats", "abcd", "--limit", "ten"}, "heartbeats: --limit must be a whole number", "heartbeats ID"},
        {{"record", "abcd", "maybe", "1"}, "record: STATUS must be up, down, pending or a number", "record ID"},
        {{"record", "abcd", "up", "fast"}, "record: LATENCY_MS must be a number, not 'fast'", "record ID"},
        {{"record", "abcd", "up", "1", "yesterday"}, "record: UNIX_TIME must be whole seconds", "record ID"},
        {{"uptime"}, "uptime: missing arguments", "uptime ID"},
        {{"webhook"}, "webhook: give a URL or --clear", "webhook URL"},
        {{"webhook", "--clear", "http://127.0.0.1:1/"}, "webhook: give a URL or --clear, not both", "webhook URL"},
        {{"watch", "--interval-override", "0"}, "watch: --interval-override must be a whole number", "watch [--once]"},
        {{"watch", "--once=yes"}, "watch: option '--once' takes no value", "watch [--once]"},
        {{"watch", "now"}, "watch: too many arguments: 'now'", "watch [--once]"},
    };
    for (const usage_case &c : cases) {
        SCOPED_TRACE(joined(c.args));
        const run_result r = run(c.args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err.rfind(c.message, 0), 0u) << r.err;
        EXPECT_TRUE(contains(r.err, c.usage)) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
}

// --- Monitors ---------------------------------------------------------------------

TEST_F(CliTest, AddListAndDeleteWithTablesAndUnchangedJson) {
    struct added {
        std::string name, type, target, shown_type;
    };
    const std::vector<added> monitors = {
        {"Web front", "http", "http://127.0.0.1:9/health", "http"},
        {"Database", "TCP", "127.0.0.1:5432", "tcp"},
        {"Resolver", "dns", "localhost", "dns"},
        {"Pinger", "ping", "127.0.0.1", "ping"},
        {"Mystery", "7", "anything", "7"},
    };
    std::vector<std::string> added_ids;
    for (const added &m : monitors) added_ids.push_back(add(m.name, m.type, m.target, {"--interval", "30"}));

    const run_result table = run({"list"});
    EXPECT_EQ(table.status, 0);
    EXPECT_EQ(count_lines(table.out), monitors.size() + 1) << table.out;
    EXPECT_TRUE(std::regex_search(table.out, std::regex("^ID +NAME +TYPE +TARGET +STATUS +LATENCY +LAST CHECK +"
                                                        "UPTIME 90D +HEARTBEATS\n")))
        << table.out;
    for (std::size_t i = 0; i < monitors.size(); ++i) {
        SCOPED_TRACE(monitors[i].name);
        const std::regex row(added_ids[i].substr(0, 8) + " +" + monitors[i].name + " +" + monitors[i].shown_type +
                             " +" + monitors[i].target + " +PENDING +- +never +- +\\.{20}\n");
        EXPECT_TRUE(std::regex_search(table.out, row)) << table.out;
    }
    EXPECT_FALSE(contains(table.out, "\x1b")) << "no colour outside a terminal";
    EXPECT_EQ(run_cli({"list", "--dir", dir()}).out, table.out) << "--dir after the command";

    const run_result json = run({"list", "--json"});
    EXPECT_EQ(json.status, 0);
    EXPECT_EQ(json.out, engine_report(uptime_monitors_list_json) + "\n");
    const rapidjson::Document doc = parse_json(json.out);
    ASSERT_EQ(doc.Size(), monitors.size());
    EXPECT_EQ(doc[1]["type"].GetInt(), UPTIME_MONITOR_TCP_PORT);
    EXPECT_EQ(doc[4]["type"].GetInt(), 7);
    EXPECT_EQ(doc[0]["interval_sec"].GetInt(), 30);

    const run_result deleted = run({"delete", added_ids[1].substr(0, 6)});
    EXPECT_EQ(deleted.status, 0) << deleted.err;
    EXPECT_EQ(deleted.out, "deleted " + added_ids[1] + "  Database\n");
    std::vector<std::string> left = ids();
    EXPECT_EQ(left.size(), monitors.size() - 1);
    EXPECT_EQ(std::count(left.begin(), left.end(), added_ids[1]), 0);

    const run_result again = run({"delete", added_ids[1]});
    EXPECT_EQ(again.status, 3);
    EXPECT_EQ(again.err, "delete: Monitor not found: '" + added_ids[1] + "'\n");

    for (const std::string &id : left) EXPECT_EQ(run({"delete", id}).status, 0);
    EXPECT_EQ(run({"list"}).out, "no monitors\n");
    EXPECT_EQ(run({"list", "--json"}).out, "[]\n");
}

TEST_F(CliTest, EngineRefusalsExitThreeWithTheEnginesText) {
    // A name that is not UTF-8 is refused by the engine, not by the CLI.
    const run_result bad_name = run({"add", "caf\xe9", "http", "127.0.0.1"});
    EXPECT_EQ(bad_name.status, 3);
    EXPECT_EQ(bad_name.err, "add: Invalid name or target\n");

    const std::string id = add("Web", "http", "127.0.0.1:9");
    for (const char *latency : {"nan", "inf", "-inf", "1e39"}) {
        SCOPED_TRACE(latency);
        const run_result r = run({"record", id, "up", latency});
        EXPECT_EQ(r.status, 3);
        EXPECT_EQ(r.err, "record: Invalid latency\n");
    }
    const run_result bad_url = run({"webhook", "http://127.0.0.1/\xff"});
    EXPECT_EQ(bad_url.status, 3);
    EXPECT_EQ(bad_url.err, "webhook: Invalid webhook URL\n");

    // A storage directory that cannot exist.
    write_file(scratch() + "/plain-file", "x");
    const run_result r = run_cli({"--dir", scratch() + "/plain-file", "list"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "list: Cannot lock storage directory\n");
}

TEST_F(CliTest, UnknownIdsInEveryCommandThatTakesOne) {
    add("Web", "http", "127.0.0.1:9");
    const std::string unknown = "00000000-0000-4000-8000-000000000000";
    const std::vector<std::vector<std::string>> commands = {
        {"delete"}, {"check"}, {"heartbeats"}, {"record", "", "up", "1"}, {"uptime"}};
    for (std::vector<std::string> args : commands) {
        for (const std::string &given : {unknown, std::string("0000")}) {
            args.resize(1);
            args.push_back(given);
            if (args[0] == "record") args.insert(args.end(), {"up", "1"});
            SCOPED_TRACE(joined(args));
            const run_result r = run(args);
            EXPECT_EQ(r.status, 3);
            EXPECT_EQ(r.err, args[0] + ": Monitor not found: '" + given + "'\n");
            EXPECT_TRUE(r.out.empty()) << r.out;
        }
    }
}

TEST_F(CliTest, IdPrefixesOfAtLeastFourCharacters) {
    // Ids chosen to share prefixes; the engine loads whatever monitors.json holds.
    std::filesystem::create_directories(dir());
    write_file(dir() + "/monitors.json", R"([
      {"id": "abcd1111-0000-4000-8000-000000000001", "name": "One", "type": 0, "target": "127.0.0.1:9", "interval_sec": 60, "status": 2},
      {"id": "abcd2222-0000-4000-8000-000000000002", "name": "Two", "type": 0, "target": "127.0.0.1:9", "interval_sec": 60, "status": 2},
      {"id": "ffff0000-0000-4000-8000-000000000003", "name": "Three", "type": 0, "target": "127.0.0.1:9", "interval_sec": 60, "status": 2}
    ])");
    struct prefix_case {
        std::string given;
        int status;
        std::string resolved_name;  // for status 0: printed by record
        std::string error;          // otherwise: stderr starts with it
    };
    const std::vector<prefix_case> cases = {
        {"abcd1", 0, "One", ""},
        {"ABCD2222", 0, "Two", ""},
        {"ffff", 0, "Three", ""},
        {"ffff0000-0000-4000-8000-000000000003", 0, "Three", ""},
        {"abcd", 3, "", "record: ambiguous id 'abcd' matches 2 monitors:\n"
                        "  abcd1111-0000-4000-8000-000000000001  One\n"
                        "  abcd2222-0000-4000-8000-000000000002  Two\n"},
        {"abc", 2, "", "record: id 'abc' is too short: give at least 4 characters\n"},
        {"f", 2, "", "record: id 'f' is too short"},
        {"abcd3", 3, "", "record: Monitor not found: 'abcd3'\n"},
    };
    for (const prefix_case &c : cases) {
        SCOPED_TRACE(c.given);
        const run_result r = run({"record", c.given, "up", "5", std::to_string(unix_now())});
        EXPECT_EQ(r.status, c.status) << r.err;
        if (c.status == 0) {
            EXPECT_TRUE(r.out.starts_with("recorded UP, 5.0 ms, at ")) << r.out;
            EXPECT_TRUE(r.out.ends_with("  " + c.resolved_name + "\n")) << r.out;
        } else {
            EXPECT_EQ(r.err.rfind(c.error, 0), 0u) << r.err;
        }
    }
    EXPECT_EQ(heartbeats("abcd1111").Size(), 1u);
    EXPECT_EQ(heartbeats("abcd2222").Size(), 1u);
    EXPECT_EQ(heartbeats("ffff0000").Size(), 2u);
}

// --- Checks ----------------------------------------------------------------------

TEST_F(CliTest, CheckAgainstLoopbackTargetsUpAndDown) {
    http_fixture server(scratch());
    const std::string closed = "127.0.0.1:" + std::to_string(closed_loopback_port());
    struct target_case {
        std::string name, type, target;
        bool up;
    };
    const std::vector<target_case> cases = {
        {"Web ok", "http", server.url("/status/200"), true},
        {"Web redirect", "http", "127.0.0.1:" + std::to_string(server.port()) + "/redirect/302/status/204", true},
        {"Web error", "http", server.url("/status/500"), false},
        {"Web closed", "http", "http://" + closed + "/", false},
        {"Port open", "tcp", "127.0.0.1:" + std::to_string(server.port()), true},
        {"Port closed", "tcp", closed, false},
        {"Name", "dns", "localhost", true},
        {"Echo", "ping", "127.0.0.1", true},
        {"Unknown type", "9", "127.0.0.1", false},
    };
    std::vector<std::string> case_ids;
    for (const target_case &c : cases) case_ids.push_back(add(c.name, c.type, c.target));

    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        const run_result r = run({"check", case_ids[i].substr(0, 8)});
        EXPECT_EQ(r.status, cases[i].up ? 0 : 1) << r.err;
        const std::regex line(std::string(cases[i].up ? "UP    " : "DOWN  ") + " +([0-9.]+ ms|<0.01 ms|-)  " +
                              cases[i].name + "  \\(" + case_ids[i].substr(0, 8) + "\\)\n");
        EXPECT_TRUE(std::regex_match(r.out, line)) << r.out;
    }

    // --all: one line per monitor, in the monitors' order.
    const run_result all = run({"check", "--all"});
    EXPECT_EQ(all.status, 1);
    ASSERT_EQ(count_lines(all.out), cases.size()) << all.out;
    std::size_t position = 0;
    for (const target_case &c : cases) {
        position = all.out.find("  " + c.name + "  (", position);
        EXPECT_NE(position, std::string::npos) << c.name << " missing or out of order:\n" << all.out;
    }

    // Only up monitors, one given twice: exit 0, checked once.
    const run_result ups = run({"check", case_ids[0], case_ids[4].substr(0, 5), case_ids[0].substr(0, 4)});
    EXPECT_EQ(ups.status, 0) << ups.err;
    EXPECT_EQ(count_lines(ups.out), 2u) << ups.out;

    std::size_t status_200_requests = 0;
    for (const std::string &line : server.log_lines()) status_200_requests += contains(line, "\"path\": \"/status/200\"");
    EXPECT_EQ(status_200_requests, 3u);

    EXPECT_EQ(heartbeats(case_ids[0]).Size(), 3u);
    EXPECT_EQ(heartbeats(case_ids[2]).Size(), 2u);

    const rapidjson::Document list = parse_json(run({"list", "--json"}).out);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(list[rapidjson::SizeType(i)]["status"].GetInt(), cases[i].up ? 1 : 0);
        EXPECT_GT(list[rapidjson::SizeType(i)]["last_check"].GetInt64(), 0);
    }
    const run_result table = run({"list"});
    EXPECT_TRUE(std::regex_search(table.out, std::regex("Web ok .* UP .* 100\\.00%  \\.{17}(\u2587){3}\n")))
        << table.out;
    EXPECT_TRUE(std::regex_search(table.out, std::regex("Web error .* DOWN .* 0\\.00%  \\.{18}(\u2581){2}\n")))
        << table.out;
}

TEST_F(CliTest, RecordHeartbeatsAndUptime) {
    const std::string id = add("Batch job", "tcp", "127.0.0.1:9");
    const std::int64_t now = unix_now();
    struct recorded {
        std::string status;
        std::string latency;
        int status_code;
        double latency_ms;
    };
    const std::vector<recorded> records = {
        {"up", "12.5", 1, 12.5}, {"down", "0", 0, 0.0}, {"1", "3", 1, 3.0}, {"up", "7.25", 1, 7.25}};
    for (std::size_t i = 0; i < records.size(); ++i) {
        const run_result r = run({"record", id.substr(0, 4), records[i].status, records[i].latency,
                                  std::to_string(now - 40 + std::int64_t(i) * 10)});
        EXPECT_EQ(r.status, 0) << r.err;
    }
    EXPECT_EQ(run({"uptime", id.substr(0, 4)}).out, "75.00%\n");

    const rapidjson::Document all = heartbeats(id);
    ASSERT_EQ(all.Size(), records.size());
    for (rapidjson::SizeType i = 0; i < all.Size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(all[i]["time"].GetInt64(), now - 40 + std::int64_t(i) * 10);
        EXPECT_EQ(all[i]["status"].GetInt(), records[i].status_code);
        EXPECT_DOUBLE_EQ(all[i]["latency_ms"].GetDouble(), records[i].latency_ms);
    }

    const run_result limited = run({"heartbeats", id, "--limit", "2", "--json"});
    EXPECT_EQ(limited.out, engine_report([&] { return uptime_get_heartbeats_json(id.c_str(), 2); }) + "\n");
    EXPECT_EQ(parse_json(limited.out).Size(), 2u);

    // A negative status is a number, not an option; the time defaults to
    // now. The history keeps the status's low 8 bits, the monitor all of it.
    EXPECT_EQ(run({"record", id, "-1", "2"}).status, 0);
    const rapidjson::Document latest = parse_json(run({"heartbeats", id, "--limit=1", "--json"}).out);
    ASSERT_EQ(latest.Size(), 1u);
    EXPECT_EQ(latest[0]["status"].GetInt(), 255);
    EXPECT_EQ(parse_json(run({"list", "--json"}).out)[0]["status"].GetInt(), -1);
    EXPECT_TRUE(contains(run({"list"}).out, "  DOWN (-1)  ")) << run({"list"}).out;
    EXPECT_NEAR(double(latest[0]["time"].GetInt64()), double(unix_now()), 60.0);

    const run_result table = run({"heartbeats", id});
    EXPECT_EQ(table.status, 0);
    EXPECT_EQ(count_lines(table.out), records.size() + 2) << table.out;
    EXPECT_TRUE(std::regex_search(table.out, std::regex("^TIME +STATUS +LATENCY\n"))) << table.out;
    EXPECT_TRUE(std::regex_search(table.out, std::regex("\n\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d  UP +12\\.5 ms\n")))
        << table.out;
    EXPECT_TRUE(std::regex_search(table.out, std::regex("  DOWN +-\n"))) << table.out;
    EXPECT_TRUE(std::regex_search(table.out, std::regex("  DOWN \\(255\\) +2\\.0 ms\n$"))) << table.out;

    const std::string fresh = add("Fresh", "tcp", "127.0.0.1:9");
    EXPECT_EQ(run({"heartbeats", fresh}).out, "no heartbeats\n");
    EXPECT_EQ(run({"heartbeats", fresh, "--json"}).out, "[]\n");
}

TEST_F(CliTest, WebhookSetAndClear) {
    http_fixture server(scratch());
    const std::string id = add("Web", "http", server.url("/status/200"));
    auto events = [&] {
        std::size_t n = 0;
        for (const std::string &line : server.log_lines()) n += contains(line, "status_change") && contains(line, id);
        return n;
    };
    const run_result set = run({"webhook", server.url("/status/204")});
    EXPECT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(set.out, "webhook set\n");

    // Pending to up posts nothing; down to up does.
    EXPECT_EQ(run({"check", id}).status, 0);
    EXPECT_EQ(events(), 0u);
    EXPECT_EQ(run({"record", id, "down", "0"}).status, 0);
    EXPECT_EQ(run({"check", id}).status, 0);
    EXPECT_EQ(events(), 1u);

    const run_result cleared = run({"webhook", "--clear"});
    EXPECT_EQ(cleared.status, 0) << cleared.err;
    EXPECT_EQ(cleared.out, "webhook cleared\n");
    EXPECT_EQ(run({"record", id, "down", "0"}).status, 0);
    EXPECT_EQ(run({"check", id}).status, 0);
    EXPECT_EQ(events(), 1u);
}

// --- watch -----------------------------------------------------------------------

TEST_F(CliTest, WatchOnceChecksEverythingAndExitsLikeCheckAll) {
    http_fixture server(scratch());
    add("Web ok", "http", server.url("/status/200"));
    add("Port open", "tcp", "127.0.0.1:" + std::to_string(server.port()));

    const run_result all_up = run({"watch", "--once"});
    EXPECT_EQ(all_up.status, 0) << all_up.err;
    EXPECT_TRUE(std::regex_search(all_up.out, std::regex("^watch: 2 monitors in .*\nID +NAME"))) << all_up.out;
    EXPECT_TRUE(std::regex_search(all_up.out, std::regex("Web ok .* UP .*\n"))) << all_up.out;
    EXPECT_TRUE(std::regex_search(all_up.out, std::regex("Port open .* UP .*\n"))) << all_up.out;
    EXPECT_FALSE(contains(all_up.out, "\x1b"));

    const std::string broken = add("Web error", "http", server.url("/status/503"));
    const run_result one_down = run({"watch", "--once"});
    EXPECT_EQ(one_down.status, 1) << one_down.err;
    EXPECT_TRUE(std::regex_search(one_down.out, std::regex("Web error .* DOWN .*\n"))) << one_down.out;
    EXPECT_EQ(heartbeats(broken).Size(), 1u);

    EXPECT_EQ(run({"delete", broken}).status, 0);
    EXPECT_EQ(run({"watch", "--once"}).status, 0);

    const run_result empty = run_cli({"--dir", scratch() + "/empty", "watch", "--once"});
    EXPECT_EQ(empty.status, 3);
    EXPECT_TRUE(empty.err.starts_with("watch: no monitors in ")) << empty.err;
}

TEST_F(CliTest, WatchStoppedBySigtermWaitsForChecksAndSavesLoadableState) {
    http_fixture server(scratch());
    // The silent target holds its check for the engine's 5 s receive limit:
    // the others must go on being checked meanwhile, and the stop must wait
    // for it before the engine saves.
    const std::string silent = add("Silent", "http", server.url("/silent"));
    const std::string fast = add("Fast", "tcp", "127.0.0.1:" + std::to_string(server.port()));

    background_cli watch({"--dir", dir(), "watch", "--interval-override", "1"}, scratch());
    ASSERT_TRUE(wait_until([&] { return server.log_lines().size() >= 1; }, 10s)) << watch.err();
    std::this_thread::sleep_for(3s);
    watch.send(SIGTERM);
    EXPECT_EQ(watch.wait(30s), 0) << watch.err();
    const std::string out = watch.out();
    EXPECT_TRUE(contains(out, "stopping: waiting for 1 running check\n")) << out;
    EXPECT_TRUE(out.ends_with("stopped; state saved in " + dir() + "\n")) << out;
    EXPECT_TRUE(watch.err().empty()) << watch.err();

    // A new process loads what watch saved: statuses reach monitors.json
    // only through the engine's stop.
    const rapidjson::Document list = parse_json(run({"list", "--json"}).out);
    ASSERT_EQ(list.Size(), 2u);
    EXPECT_EQ(list[0]["status"].GetInt(), 0);
    EXPECT_EQ(list[1]["status"].GetInt(), 1);
    EXPECT_GT(list[1]["last_check"].GetInt64(), 0);
    EXPECT_EQ(heartbeats(silent).Size(), 1u);
    EXPECT_GE(heartbeats(fast).Size(), 2u) << "the silent target held up the others";
}

TEST_F(CliTest, WatchPrintsEachFlipWithItsTime) {
    http_fixture server(scratch());
    add("Flapping", "tcp", "127.0.0.1:" + std::to_string(server.port()));
    add("Steady", "dns", "localhost");

    background_cli watch({"--dir", dir(), "watch", "--interval-override", "1"}, scratch());
    // Outside a terminal the table is appended once every monitor has a result.
    ASSERT_TRUE(wait_until([&] { return contains(watch.out(), "HEARTBEATS\n"); }, 15s)) << watch.out();
    server.stop();
    const std::regex down("\n\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d  UP -> DOWN  Flapping  \\([0-9a-f]{8}\\)\n");
    EXPECT_TRUE(wait_until([&] { return std::regex_search(watch.out(), down); }, 15s)) << watch.out();
    server.start_again();
    const std::regex up("\n\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d  DOWN -> UP  Flapping  \\([0-9a-f]{8}\\)\n");
    EXPECT_TRUE(wait_until([&] { return std::regex_search(watch.out(), up); }, 15s)) << watch.out();
    watch.send(SIGINT);
    EXPECT_EQ(watch.wait(30s), 0) << watch.err();
    EXPECT_FALSE(contains(watch.out(), "Steady  (")) << "a monitor that never flipped got a flip line";
}

// --- Terminal output -----------------------------------------------------------------

TEST_F(CliTest, ColoursOnlyOnATerminalAndNeverWithNoColor) {
    const std::string id = add("Web", "http", "127.0.0.1:9");
    EXPECT_EQ(run({"record", id, "up", "4"}).status, 0);
    EXPECT_EQ(run({"record", id, "down", "0"}).status, 0);
    struct colour_case {
        std::string label;
        bool terminal;
        env_changes env;
        bool coloured;
    };
    const std::vector<colour_case> cases = {
        {"terminal", true, {"NO_COLOR"}, true},
        {"terminal, NO_COLOR=1", true, {"NO_COLOR=1"}, false},
        {"terminal, NO_COLOR empty", true, {"NO_COLOR="}, true},
        {"pipe", false, {"NO_COLOR"}, false},
    };
    for (const colour_case &c : cases) {
        SCOPED_TRACE(c.label);
        for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
                 {"--dir", dir(), "list"}, {"--dir", dir(), "heartbeats", id}}) {
            const run_result r = c.terminal ? run_cli_on_terminal(args, c.env, 200, 0ms) : run_cli(args, c.env);
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(contains(r.out, "\x1b[31mDOWN\x1b[0m"), c.coloured) << r.out;
            EXPECT_EQ(contains(r.out, "\x1b"), c.coloured) << r.out;
        }
    }
}

TEST_F(CliTest, WatchOnATerminalRedrawsInPlaceAndFitsTheWidth) {
    http_fixture server(scratch());
    add("A monitor with a rather long name", "http", server.url("/status/200/" + std::string(80, 'x')));
    const run_result r = run_cli_on_terminal({"--dir", dir(), "watch", "--interval-override", "1"}, {}, 80, 2500ms);
    EXPECT_EQ(r.status, 0) << r.out;
    // Heading and two table lines, moved over and redrawn.
    EXPECT_TRUE(contains(r.out, "\x1b[3A\r\x1b[J")) << r.out;
    EXPECT_TRUE(contains(r.out, "stopped; state saved in ")) << r.out;
    // No line may wrap, or the next redraw would start in the wrong place.
    std::string plain = std::regex_replace(r.out, std::regex("\x1b\\[[0-9;?]*[A-Za-z]"), "");
    std::size_t start = 0;
    for (std::size_t end; (end = plain.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = plain.substr(start, end - start);
        std::erase(line, '\r');
        std::size_t columns = 0;
        for (char ch : line) columns += (static_cast<unsigned char>(ch) & 0xC0) != 0x80;
        EXPECT_LE(columns, 80u) << line;
    }
}

}  // namespace
}  // namespace cli_test
