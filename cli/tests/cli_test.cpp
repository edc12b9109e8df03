// vantorel-uptime end to end: the built executable in a temporary storage
// directory, checks against the loopback HTTP fixture it starts itself.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <regex>
#include <sstream>
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

    // Adds a monitor through the engine itself, for what the CLI refuses to
    // add (types other than the four). No CLI may run meanwhile.
    std::string add_through_engine(const std::string &name, int type, const std::string &target) {
        char id[UPTIME_ID_BUFFER_SIZE] = {};
        EXPECT_EQ(uptime_engine_init(dir().c_str()), 0);
        EXPECT_EQ(uptime_monitor_add(name.c_str(), type, target.c_str(), 60, id), 0) << uptime_last_error();
        uptime_engine_cleanup();
        return id;
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
    const std::vector<std::string> commands = {"add",    "delete", "list",    "show",  "check", "heartbeats",
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
        {{"frobnicate"}, "vantorel-uptime: unknown command 'frobnicate'\n", global_usage},
        {{"lst"}, "vantorel-uptime: unknown command 'lst' (did you mean 'list'?)\n", global_usage},
        {{"hearbeats", "abcd"}, "vantorel-uptime: unknown command 'hearbeats' (did you mean 'heartbeats'?)",
         global_usage},
        {{"--verison"}, "vantorel-uptime: unknown option '--verison' (did you mean '--version'?)", global_usage},
        {{"list", "--jsn"}, "list: unknown option '--jsn' (did you mean '--json'?)", "list [--json]"},
        {{"check", "--al"}, "check: unknown option '--al' (did you mean '--all'?)", "check ID..."},
        {{"--bogus", "list"}, "vantorel-uptime: unknown option '--bogus'", global_usage},
        {{"help", "frobnicate"}, "vantorel-uptime: unknown command 'frobnicate'", global_usage},
        {{"add", "Web", "http"}, "add: missing arguments", "add NAME TYPE TARGET"},
        {{"add", "Web", "smtp", "x"}, "add: TYPE must be http, tcp, dns, ping or 0 to 3, not 'smtp'", "add NAME"},
        {{"add", "Web", "12abc", "x"}, "add: TYPE must be", "add NAME"},
        {{"add", "Web", "4", "x"}, "add: TYPE must be http, tcp, dns, ping or 0 to 3, not '4'", "add NAME"},
        {{"add", "Web", "-1", "x"}, "add: TYPE must be http, tcp, dns, ping or 0 to 3, not '-1'", "add NAME"},
        {{"add", "", "http", "x"}, "add: NAME must not be empty", "add NAME"},
        {{"add", "  ", "http", "x"}, "add: NAME must not be empty", "add NAME"},
        {{"add", "Web", "http", ""}, "add: TARGET must not be empty", "add NAME"},
        {{"add", "Db", "tcp", "db:0"},
         "add: a tcp TARGET is host:port or [host]:port, the port 1 to 65535 or a service name, not 'db:0'", "add NAME"},
        {{"add", "Db", "tcp", "db:65536"}, "add: a tcp TARGET is host:port or [host]:port", "add NAME"},
        {{"add", "Db", "tcp", "db:0000080000"}, "add: a tcp TARGET is host:port or [host]:port", "add NAME"},
        {{"add", "Db", "TCP", "db:"}, "add: a tcp TARGET is host:port or [host]:port", "add NAME"},
        {{"add", "Db", "1", "db:80x"}, "add: a tcp TARGET is host:port or [host]:port", "add NAME"},
        {{"add", "Db", "tcp", "db:+80"}, "add: a tcp TARGET is host:port or [host]:port", "add NAME"},
        {{"add", "Db", "tcp", "db: 80"}, "add: a tcp TARGET is host:port or [host]:port", "add NAME"},
        {{"add", "Db", "tcp", "[::1]x"}, "add: a tcp TARGET is host:port or [host]:port", "add NAME"},
        {{"add", "Db", "tcp", "[::1]:"}, "add: a tcp TARGET is host:port or [host]:port", "add NAME"},
        {{"add", "Web", "http", "x", "--interval", "0"}, "add: --interval must be a whole number", "add NAME"},
        {{"add", "Web", "http", "x", "--interval=1.5"}, "add: --interval must be a whole number", "add NAME"},
        {{"add", "Web", "http", "x", "--interval"}, "add: option '--interval' needs a value", "add NAME"},
        {{"add", "Web", "http", "x", "extra"}, "add: too many arguments: 'extra'", "add NAME"},
        {{"delete"}, "delete: missing arguments", "delete ID"},
        {{"show"}, "show: missing arguments", "show ID"},
        {{"show", "abcd", "efgh"}, "show: too many arguments: 'efgh'", "show ID"},
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
        {{"record", "abcd", "up", "1", "-5"}, "record: UNIX_TIME must be whole seconds since 1970, not '-5'", "record ID"},
        {{"record", "abcd", "up", "1", std::to_string(unix_now() + 2 * 86400)},
         "record: UNIX_TIME is more than a day ahead of the clock", "record ID"},
        {{"record", "abcd", "up", "-1"}, "record: LATENCY_MS must be 0 or more, not '-1'", "record ID"},
        {{"record", "abcd", "down", "-0.5"}, "record: LATENCY_MS must be 0 or more", "record ID"},
        {{"record", "abcd", "upp", "1"}, "record: STATUS must be up, down, pending or a number, not 'upp'", "record ID"},
        {{"uptime"}, "uptime: missing arguments", "uptime ID"},
        {{"webhook"}, "webhook: give a URL or --clear", "webhook URL"},
        {{"webhook", "--clear", "http://127.0.0.1:1/"}, "webhook: give a URL or --clear, not both", "webhook URL"},
        {{"webhook", ""}, "webhook: URL must not be empty", "webhook URL"},
        {{"--color", "sometimes", "list"}, "vantorel-uptime: --color must be auto, always or never, not 'sometimes'",
         global_usage},
        {{"--color"}, "vantorel-uptime: option '--color' needs a value", global_usage},
        {{"list", "--color=yes"}, "list: --color must be auto, always or never, not 'yes'", "list [--json]"},
        {{"uptime", "abcd", "--all"}, "uptime: unknown option '--all'", "uptime ID"},
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
        {"Pinger", "3", "127.0.0.1", "ping"},
        {"Mystery", "", "anything", "7"},  // a type the CLI does not add; the engine keeps it
    };
    std::vector<std::string> added_ids;
    for (const added &m : monitors) {
        added_ids.push_back(m.type.empty() ? add_through_engine(m.name, 7, m.target)
                                           : add(m.name, m.type, m.target, {"--interval", "30"}));
    }

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
    EXPECT_EQ(doc[3]["type"].GetInt(), UPTIME_MONITOR_PING);
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

    // A storage directory that cannot exist, with the reason.
    write_file(scratch() + "/plain-file", "x");
    for (const std::string &bad : {scratch() + "/plain-file", scratch() + "/plain-file/below"}) {
        SCOPED_TRACE(bad);
        const run_result r = run_cli({"--dir", bad, "add", "Web", "http", "127.0.0.1"});
        EXPECT_EQ(r.status, 3);
        EXPECT_EQ(r.err, "add: cannot create the storage directory '" + bad + "': Not a directory\n");
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
}

TEST_F(CliTest, UnknownIdsInEveryCommandThatTakesOne) {
    add("Web", "http", "127.0.0.1:9");
    const std::string unknown = "00000000-0000-4000-8000-000000000000";
    const std::vector<std::vector<std::string>> commands = {
        {"delete"}, {"check"}, {"heartbeats"}, {"record", "", "up", "1"}, {"uptime"}, {"show"}};
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
        std::string reason;  // the words after the id, for a down check
    };
    const std::vector<target_case> cases = {
        {"Web ok", "http", server.url("/status/200"), true, ""},
        {"Web redirect", "http", "127.0.0.1:" + std::to_string(server.port()) + "/redirect/302/status/204", true, ""},
        {"Web error", "http", server.url("/status/500"), false, "HTTP 500"},
        {"Web closed", "http", "http://" + closed + "/", false, "connection refused"},
        {"Port open", "tcp", "127.0.0.1:" + std::to_string(server.port()), true, ""},
        {"Port closed", "tcp", closed, false, "connection refused"},
        {"Name", "dns", "localhost", true, ""},
        {"Echo", "ping", "127.0.0.1", true, ""},
        {"Unknown type", "", "127.0.0.1", false, "invalid target"},  // type 9, through the engine
    };
    std::vector<std::string> case_ids;
    for (const target_case &c : cases) {
        case_ids.push_back(c.type.empty() ? add_through_engine(c.name, 9, c.target) : add(c.name, c.type, c.target));
    }

    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        const run_result r = run({"check", case_ids[i].substr(0, 8)});
        EXPECT_EQ(r.status, cases[i].up ? 0 : 1) << r.err;
        const std::string reason = cases[i].reason.empty() ? "" : "  " + cases[i].reason;
        const std::regex line(std::string(cases[i].up ? "UP    " : "DOWN  ") + " +([0-9.]+ ms|<0.01 ms|-)  " +
                              cases[i].name + "  \\(" + case_ids[i].substr(0, 8) + "\\)" + reason + "\n");
        EXPECT_TRUE(std::regex_match(r.out, line)) << r.out;
        // The same reason, by its code, in the JSON form.
        const rapidjson::Document json = parse_json(run({"check", case_ids[i], "--json"}).out);
        ASSERT_EQ(json.Size(), 1u);
        EXPECT_STREQ(json[0]["reason"].GetString(), cases[i].up ? "ok" : cases[i].reason == "HTTP 500" ? "http_status"
                                                    : cases[i].reason == "invalid target"            ? "invalid_target"
                                                                                                     : "connect_refused");
    }

    // --all: one line per monitor, in the order the results came in.
    const run_result all = run({"check", "--all"});
    EXPECT_EQ(all.status, 1);
    ASSERT_EQ(count_lines(all.out), cases.size()) << all.out;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const std::regex line(std::string("(^|\n)") + (cases[i].up ? "UP    " : "DOWN  ") + " +[^\n]*  " +
                              cases[i].name + "  \\(" + case_ids[i].substr(0, 8) + "\\)" +
                              (cases[i].reason.empty() ? "" : "  " + cases[i].reason) + "\n");
        EXPECT_TRUE(std::regex_search(all.out, line)) << cases[i].name << " missing:\n" << all.out;
    }

    // Only up monitors, one given twice: exit 0, checked once.
    const run_result ups = run({"check", case_ids[0], case_ids[4].substr(0, 5), case_ids[0].substr(0, 4)});
    EXPECT_EQ(ups.status, 0) << ups.err;
    EXPECT_EQ(count_lines(ups.out), 2u) << ups.out;

    std::size_t status_200_requests = 0;
    for (const std::string &line : server.log_lines()) status_200_requests += contains(line, "\"path\": \"/status/200\"");
    EXPECT_EQ(status_200_requests, 4u);

    EXPECT_EQ(heartbeats(case_ids[0]).Size(), 4u);
    EXPECT_EQ(heartbeats(case_ids[2]).Size(), 3u);

    const rapidjson::Document list = parse_json(run({"list", "--json"}).out);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(list[rapidjson::SizeType(i)]["status"].GetInt(), cases[i].up ? 1 : 0);
        EXPECT_GT(list[rapidjson::SizeType(i)]["last_check"].GetInt64(), 0);
    }
    const run_result table = run({"list"});
    EXPECT_TRUE(std::regex_search(table.out, std::regex("Web ok .* UP .* 100\\.00%  \\.{16}(\u2587){4}\n")))
        << table.out;
    EXPECT_TRUE(std::regex_search(table.out, std::regex("Web error .* DOWN .* 0\\.00%  \\.{17}(\u2581){3}\n")))
        << table.out;
    // A new process does not know why: the engine keeps the last check in
    // memory, so list has no REASON column of its own.
    EXPECT_FALSE(contains(table.out, "REASON")) << table.out;
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

TEST_F(CliTest, ShowTellsHowLongItIsDownAndDrawsTheNinetyDays) {
    const std::string id = add("Batch job", "tcp", "127.0.0.1:9");
    const std::int64_t now = unix_now(), today = now / 86400;
    // Three days ago all up, two days ago half, yesterday nothing, today
    // two failures in a row after an up.
    struct recorded {
        std::int64_t time;
        const char *status;
    };
    const std::vector<recorded> records = {
        {(today - 3) * 86400 + 100, "up"},   {(today - 2) * 86400 + 100, "up"}, {(today - 2) * 86400 + 200, "down"},
        {today * 86400 + 1, "up"},           {today * 86400 + 2, "down"},       {today * 86400 + 3, "down"},
    };
    for (const recorded &r : records) {
        if (r.time > now) GTEST_SKIP() << "the UTC day has only just begun";
        ASSERT_EQ(run({"record", id, r.status, "1", std::to_string(r.time)}).status, 0);
    }
    const run_result shown = run({"show", id.substr(0, 5)});
    EXPECT_EQ(shown.status, 0) << shown.err;
    EXPECT_TRUE(contains(shown.out, "\nid          " + id + "\n")) << shown.out;
    EXPECT_TRUE(std::regex_search(shown.out, std::regex("\nstatus +DOWN  since \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d, "
                                                        "2 failures in a row\n")))
        << shown.out;
    EXPECT_TRUE(contains(shown.out, "\nlast check  not known")) << shown.out;
    // 90 days, newest right: full, half, none, a third.
    std::smatch bar;
    ASSERT_TRUE(std::regex_search(shown.out, bar, std::regex("\ndaily +([^\n]*)\n"))) << shown.out;
    const std::string days = bar[1].str();
    EXPECT_TRUE(days.ends_with("\u2587\u2583.\u2582")) << days;
    EXPECT_EQ(std::count(days.begin(), days.end(), '.'), 87) << days;
    EXPECT_FALSE(contains(shown.out, "\x1b")) << shown.out;

    // --json: the engine's report unchanged.
    const run_result json = run({"show", id, "--json"});
    EXPECT_EQ(json.status, 0);
    EXPECT_EQ(json.out, engine_report([&] { return uptime_monitor_detail_json(id.c_str()); }) + "\n");
    const rapidjson::Document doc = parse_json(json.out);
    EXPECT_EQ(doc["consecutive_failures"].GetInt(), 2);
    EXPECT_EQ(doc["daily"].Size(), 3u);

    // A narrow terminal gets the newest days that fit (values elsewhere wrap).
    const run_result narrow = run_cli_on_terminal({"--dir", dir(), "show", id}, {"TERM=xterm", "NO_COLOR=1"}, 60, 0ms);
    EXPECT_EQ(narrow.status, 0);
    std::smatch narrow_bar;
    ASSERT_TRUE(std::regex_search(narrow.out, narrow_bar, std::regex("\ndaily +([^\r\n]*)\r?\n"))) << narrow.out;
    const std::string narrow_days = narrow_bar[1].str();
    EXPECT_TRUE(narrow_days.ends_with("\u2587\u2583.\u2582")) << narrow_days;
    EXPECT_EQ(std::count(narrow_days.begin(), narrow_days.end(), '.'), 60 - 13 - 3) << narrow_days;
    EXPECT_EQ(run({"show", "0000"}).err, "show: Monitor not found: '0000'\n");
}

TEST_F(CliTest, WatchShowsWhyAMonitorIsDown) {
    http_fixture server(scratch());
    add("Web error", "http", server.url("/status/503"));
    add("Closed", "tcp", "127.0.0.1:" + std::to_string(closed_loopback_port()));
    add("Web ok", "http", server.url("/status/200"));
    const run_result once = run({"watch", "--once"});
    EXPECT_EQ(once.status, 1) << once.err;
    EXPECT_TRUE(std::regex_search(once.out, std::regex("HEARTBEATS +REASON\n"))) << once.out;
    EXPECT_TRUE(std::regex_search(once.out, std::regex("Web error .* DOWN .*\u2581  HTTP 503\n"))) << once.out;
    EXPECT_TRUE(std::regex_search(once.out, std::regex("Closed .* DOWN .*\u2581  connection refused\n"))) << once.out;
    EXPECT_TRUE(std::regex_search(once.out, std::regex("Web ok .* UP .*\u2587\n"))) << once.out;
    const run_result json = run({"watch", "--once", "--json"});
    EXPECT_TRUE(contains(json.out, "\"reason\":\"http_status\",\"flip\":false")) << json.out;
    EXPECT_TRUE(contains(json.out, "\"reason\":\"connect_refused\",\"flip\":false")) << json.out;
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

    // A store without monitors: nothing checked is not "all up".
    const std::string empty_store = scratch() + "/empty";
    EXPECT_EQ(run_cli({"--dir", empty_store, "webhook", "--clear"}).status, 0);
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"watch", "--once"}, {"check", "--all"}, {"watch", "--once", "--json"}, {"check", "--all", "--json"}}) {
        SCOPED_TRACE(joined(args));
        std::vector<std::string> full = {"--dir", empty_store};
        full.insert(full.end(), args.begin(), args.end());
        const run_result empty = run_cli(full);
        EXPECT_EQ(empty.status, 3);
        EXPECT_EQ(empty.err, args[0] + ": no monitors in '" + empty_store + "'; add one with 'vantorel-uptime add'\n");
        EXPECT_TRUE(empty.out.empty()) << empty.out;
    }
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
        std::vector<std::string> option;  // --color, before or after the command
        bool coloured;
    };
    const std::vector<colour_case> cases = {
        {"terminal", true, {"NO_COLOR", "TERM=xterm"}, {}, true},
        {"terminal, NO_COLOR=1", true, {"NO_COLOR=1", "TERM=xterm"}, {}, false},
        {"terminal, NO_COLOR empty", true, {"NO_COLOR=", "TERM=xterm"}, {}, true},
        {"terminal, TERM=dumb", true, {"NO_COLOR", "TERM=dumb"}, {}, false},
        {"terminal, no TERM", true, {"NO_COLOR", "TERM"}, {}, true},
        {"terminal, --color=auto", true, {"NO_COLOR", "TERM=xterm"}, {"--color=auto"}, true},
        {"terminal, --color never", true, {"NO_COLOR", "TERM=xterm"}, {"--color", "never"}, false},
        {"terminal, TERM=dumb, --color=always", true, {"NO_COLOR", "TERM=dumb"}, {"--color=always"}, true},
        {"terminal, NO_COLOR=1, --color=always", true, {"NO_COLOR=1", "TERM=xterm"}, {"--color=always"}, true},
        {"pipe", false, {"NO_COLOR", "TERM=xterm"}, {}, false},
        {"pipe, --color=always", false, {"NO_COLOR", "TERM=xterm"}, {"--color=always"}, true},
    };
    for (const colour_case &c : cases) {
        SCOPED_TRACE(c.label);
        for (const std::vector<std::string> &command : std::vector<std::vector<std::string>>{{"list"}, {"heartbeats", id}}) {
            for (bool option_first : {true, false}) {
                std::vector<std::string> args = {"--dir", dir()};
                if (option_first) args.insert(args.end(), c.option.begin(), c.option.end());
                args.insert(args.end(), command.begin(), command.end());
                if (!option_first) args.insert(args.end(), c.option.begin(), c.option.end());
                SCOPED_TRACE(joined(args));
                const run_result r = c.terminal ? run_cli_on_terminal(args, c.env, 200, 0ms) : run_cli(args, c.env);
                EXPECT_EQ(r.status, 0);
                EXPECT_EQ(contains(r.out, "\x1b[31mDOWN\x1b[0m"), c.coloured) << r.out;
                EXPECT_EQ(contains(r.out, "\x1b"), c.coloured) << r.out;
                if (c.option.empty()) break;
            }
        }
    }
}

TEST_F(CliTest, WatchOnATerminalRedrawsInPlaceAndFitsTheWidth) {
    http_fixture server(scratch());
    add("A monitor with a rather long name", "http", server.url("/status/200/" + std::string(80, 'x')));
    const run_result r =
        run_cli_on_terminal({"--dir", dir(), "watch", "--interval-override", "1"}, {"TERM=xterm"}, 80, 2500ms);
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

// --- The store -----------------------------------------------------------------------

std::vector<std::string> entries(const std::string &path) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(path, ec)) {
        names.push_back(entry.path().lexically_relative(path).string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(CliTest, CommandsOtherThanAddAndWebhookNeedAStoreAndCreateNothing) {
    // Directories that hold no store: a mistyped --dir must not look like
    // an empty store, and nothing may appear there.
    std::filesystem::create_directories(scratch() + "/empty");
    std::filesystem::create_directories(scratch() + "/only-data/data");
    write_file(scratch() + "/plain-file", "x");
    struct place_case {
        std::string dir;
        std::string reason;  // after "no store in 'DIR'"
    };
    const std::string no_files = " (no monitors.json or config.json); 'vantorel-uptime add' creates one";
    const std::vector<place_case> places = {
        {scratch() + "/missing", ": No such file or directory"},
        {scratch() + "/missing/deeper", ": No such file or directory"},
        {scratch() + "/plain-file", ": Not a directory"},
        {scratch() + "/plain-file/below", ": Not a directory"},
        {scratch() + "/empty", no_files},
        {scratch() + "/only-data", no_files},
    };
    const std::vector<std::vector<std::string>> commands = {
        {"list"},          {"list", "--json"},           {"check", "--all"}, {"check", "abcd"},
        {"heartbeats", "abcd"}, {"uptime", "abcd"},     {"record", "abcd", "up", "1"},
        {"delete", "abcd"}, {"watch", "--once"},        {"watch"},          {"watch", "--json"},
        {"show", "abcd"},
    };
    const std::vector<std::string> before = entries(scratch());
    for (const place_case &place : places) {
        for (const std::vector<std::string> &command : commands) {
            std::vector<std::string> args = {"--dir", place.dir};
            args.insert(args.end(), command.begin(), command.end());
            SCOPED_TRACE(joined(args));
            const run_result r = run_cli(args);
            EXPECT_EQ(r.status, 3);
            EXPECT_EQ(r.err, command[0] + ": no store in '" + place.dir + "'" + place.reason + "\n");
            EXPECT_TRUE(r.out.empty()) << r.out;
        }
    }
    EXPECT_EQ(entries(scratch()), before) << "a command without a store created something";

    // add and webhook make one, missing parents included, owner-only.
    struct creating_case {
        std::vector<std::string> command;
        std::string out;  // a regular expression
    };
    const std::vector<creating_case> creating = {
        {{"add", "Web", "http", "127.0.0.1:9"}, "[0-9a-f-]{36}\n"},
        {{"webhook", "http://127.0.0.1:9/hook"}, "webhook set\n"},
        {{"webhook", "--clear"}, "webhook cleared\n"},
    };
    int n = 0;
    for (const creating_case &c : creating) {
        const std::string store = scratch() + "/new-" + std::to_string(++n) + "/a/b";
        std::vector<std::string> args = {"--dir", store};
        args.insert(args.end(), c.command.begin(), c.command.end());
        SCOPED_TRACE(joined(args));
        const run_result r = run_cli(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(std::regex_match(r.out, std::regex(c.out))) << r.out;
        EXPECT_TRUE(std::filesystem::exists(store + "/monitors.json"));
        EXPECT_TRUE(std::filesystem::exists(store + "/config.json"));
        for (const std::string &made : {store, scratch() + "/new-" + std::to_string(n)}) {
            EXPECT_EQ(std::filesystem::status(made).permissions() & std::filesystem::perms::all,
                      std::filesystem::perms::owner_all)
                << made;
        }
        const run_result list = run_cli({"--dir", store, "list"});
        EXPECT_EQ(list.status, 0) << list.err;
        EXPECT_EQ(count_lines(list.out), c.command[0] == "add" ? 2u : 1u) << list.out;
    }
}

TEST_F(CliTest, ChangesThatCannotBeSavedFailWithExitThree) {
    // Files limited to 1 KiB: every heartbeat file (54712 bytes) and a
    // monitors.json of these long names fail to be written, as on a full
    // disk, which even root meets.
    const std::string long_name = std::string(120, 'n');
    std::vector<std::string> ids;
    for (int i = 0; i < 4; ++i) ids.push_back(add(long_name + std::to_string(i), "dns", "localhost"));
    struct save_case {
        std::vector<std::string> args;
    };
    const std::vector<save_case> cases = {
        {{"add", "Another", "dns", "localhost"}},
        {{"add", "Another", "dns", "localhost", "--json"}},
        {{"record", ids[0], "up", "1"}},
        {{"record", ids[0], "down", "0", "--json"}},
        {{"check", ids[1]}},
        {{"check", "--all", "--json"}},
        {{"webhook", "http://127.0.0.1:9/" + std::string(1000, 'w')}},
        {{"watch", "--once"}},
        {{"delete", ids[3]}},
    };
    for (const save_case &c : cases) {
        std::vector<std::string> args = {"--dir", dir()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(joined(c.args));
        const run_result r = run_cli_with_file_limit(args, 1);
        EXPECT_EQ(r.status, 3) << r.out;
        EXPECT_TRUE(r.err.starts_with(c.args[0] + ": Failed to save state in '" + dir() + "'\n")) << r.err;
        if (c.args[0] == "add") {
            EXPECT_TRUE(std::regex_search(r.err, std::regex("\nadd: the monitor [0-9a-f-]{36} may be saved in part; "
                                                            "see 'vantorel-uptime list' before adding it again\n$")))
                << r.err;
        }
        // No success may be claimed: no id, no "recorded", no "deleted".
        if (c.args[0] != "check" && c.args[0] != "watch") {
            EXPECT_TRUE(r.out.empty()) << r.out;
        }
    }
    // Reading needs no write: the same limit does not fail it.
    const run_result read = run_cli_with_file_limit({"--dir", dir(), "uptime", ids[0]}, 1);
    EXPECT_EQ(read.status, 0) << read.err;
    // Output that cannot be written is a failure too, and says why.
    const run_result list = run_cli_with_file_limit({"--dir", dir(), "list"}, 1);
    EXPECT_EQ(list.status, 3);
    EXPECT_EQ(list.err, "vantorel-uptime: cannot write the output: File too large\n");
}

TEST_F(CliTest, CommandsRefuseAStoreThatWatchHolds) {
    add("Resolver", "dns", "localhost");
    background_cli watch({"--dir", dir(), "watch", "--interval-override", "1"}, scratch());
    ASSERT_TRUE(wait_until([&] { return contains(watch.out(), "HEARTBEATS\n"); }, 15s)) << watch.err();
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"list"}, {"add", "Web", "http", "127.0.0.1:9"}, {"watch", "--once"}}) {
        SCOPED_TRACE(joined(args));
        const run_result r = run(args);
        EXPECT_EQ(r.status, 3);
        EXPECT_EQ(r.err, args[0] + ": Storage directory in use by another process: '" + dir() +
                             "' (is 'vantorel-uptime watch' running on it?)\n");
    }
    watch.send(SIGTERM);
    EXPECT_EQ(watch.wait(30s), 0) << watch.err();
    EXPECT_EQ(run({"list"}).status, 0);
}

TEST_F(CliTest, AddSaysTheMonitorLimit) {
    for (int i = 0; i < UPTIME_MAX_MONITORS; ++i) {
        ASSERT_EQ(add_through_engine("m" + std::to_string(i), UPTIME_MONITOR_DNS, "localhost").size(), 36u);
    }
    const run_result r = run({"add", "One too many", "dns", "localhost"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "add: Maximum monitors capacity reached (128 monitors)\n");
    EXPECT_TRUE(r.out.empty()) << r.out;
}

TEST_F(CliTest, AddTakesEveryTcpTargetTheProbeCanContact) {
    for (const std::string &target : {std::string("db"), std::string("db:5432"), std::string("db:1"),
                                      std::string("db:65535"), std::string("db:0000080"), std::string("db:postgresql"),
                                      std::string("db:https"), std::string("[::1]"), std::string("[::1]:8080"),
                                      std::string("::1"), std::string("[127.0.0.1]:22")}) {
        SCOPED_TRACE(target);
        add("Db", "tcp", target);
    }
    EXPECT_EQ(ids().size(), 11u);
}

TEST_F(CliTest, StatusWordsInAnyCase) {
    const std::string id = add("Batch", "dns", "localhost");
    struct word_case {
        std::string word;
        int status;
    };
    const std::vector<word_case> cases = {{"up", 1},     {"UP", 1},      {"Up", 1},      {"down", 0},
                                          {"DOWN", 0},   {"dOwN", 0},    {"pending", 2}, {"PENDING", 2}};
    for (const word_case &c : cases) {
        SCOPED_TRACE(c.word);
        const run_result r = run({"record", id, c.word, "1"});
        EXPECT_EQ(r.status, 0) << r.err;
        const rapidjson::Document latest = parse_json(run({"heartbeats", id, "--limit", "1", "--json"}).out);
        ASSERT_EQ(latest.Size(), 1u);
        EXPECT_EQ(latest[0]["status"].GetInt(), c.status);
    }
}

// --- Signals and streaming ----------------------------------------------------------

TEST_F(CliTest, WatchStopsAndSavesOnEachStopSignal) {
    const std::string id = add("Resolver", "dns", "localhost");
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal_number);
        EXPECT_EQ(run({"record", id, "down", "0"}).status, 0);
        background_cli watch({"--dir", dir(), "watch", "--interval-override", "1"}, scratch());
        ASSERT_TRUE(wait_until([&] { return contains(watch.out(), "HEARTBEATS\n"); }, 15s)) << watch.err();
        watch.send(signal_number);
        EXPECT_EQ(watch.wait(30s), 0) << watch.err();
        EXPECT_TRUE(watch.out().ends_with("stopped; state saved in " + dir() + "\n")) << watch.out();
        // The status the checks found reached monitors.json.
        EXPECT_EQ(parse_json(run({"list", "--json"}).out)[0]["status"].GetInt(), UPTIME_STATUS_UP);
    }
}

TEST_F(CliTest, CheckPrintsEachResultAsItComesAndKeepsThemWhenInterrupted) {
    http_fixture server(scratch());
    // One fast monitor, then more silent ones than checks run at once: the
    // last silent one cannot start before a running check ends (5 s).
    const std::string fast = add("Fast", "tcp", "127.0.0.1:" + std::to_string(server.port()));
    std::vector<std::string> silent;
    for (int i = 0; i < 33; ++i) {
        silent.push_back(add_through_engine("Silent " + std::to_string(i), UPTIME_MONITOR_HTTP, server.url("/silent")));
    }
    for (const bool json : {false, true}) {
        SCOPED_TRACE(json ? "--json" : "text");
        std::vector<std::string> args = {"--dir", dir(), "check", "--all"};
        if (json) args.push_back("--json");
        background_cli check(args, scratch());
        // The fast result is out while the silent ones still run.
        const std::string fast_result = json ? "\"name\":\"Fast\",\"checked\":true,\"up\":true" : "  Fast  (";
        ASSERT_TRUE(wait_until([&] { return contains(check.out(), fast_result); }, 4s)) << check.out();
        check.send(SIGINT);
        EXPECT_EQ(check.wait(30s), 1) << check.err();
        const std::string out = check.out(), err = check.err();
        // Those that were running finished and are shown; the one that never
        // started is named as not checked.
        EXPECT_TRUE(contains(err, "check: stopping: waiting for 32 running checks\n")) << err;
        EXPECT_TRUE(contains(err, "check: interrupted; 1 of 34 monitors not checked:\n  Silent 32  (")) << err;
        if (json) {
            const rapidjson::Document doc = parse_json(out);
            ASSERT_TRUE(doc.IsArray());
            ASSERT_EQ(doc.Size(), 34u);
            std::size_t down = 0, not_checked = 0;
            for (const auto &element : doc.GetArray()) {
                if (!element["checked"].GetBool()) {
                    ++not_checked;
                    EXPECT_STREQ(element["name"].GetString(), "Silent 32");
                    EXPECT_STREQ(element["error"].GetString(), "interrupted");
                } else {
                    down += !element["up"].GetBool();
                }
            }
            EXPECT_EQ(down, 32u);
            EXPECT_EQ(not_checked, 1u);
        } else {
            EXPECT_EQ(count_lines(out), 33u) << out;
            EXPECT_TRUE(out.starts_with("UP ")) << out;
        }
    }
    EXPECT_EQ(heartbeats(fast).Size(), 2u);
    EXPECT_EQ(heartbeats(silent[0]).Size(), 2u);
    EXPECT_EQ(heartbeats(silent[32]).Size(), 0u);
}

// --- JSON ---------------------------------------------------------------------------

TEST_F(CliTest, EveryCommandHasAJsonFormOfOneDocument) {
    http_fixture server(scratch());
    const std::string up_url = server.url("/status/200");
    struct json_case {
        std::vector<std::string> args;
        int status;
        std::string member;  // a member every object (or the object) has
        std::string expected;  // a compact fragment the output holds
    };
    const run_result added = run({"add", "Web", "http", up_url, "--interval", "30", "--json"});
    ASSERT_EQ(added.status, 0) << added.err;
    const rapidjson::Document added_doc = parse_json(added.out);
    const std::string id = added_doc["id"].GetString();
    // The new monitor exactly as the engine lists it.
    EXPECT_EQ(added.out, engine_report(uptime_monitors_list_json).substr(1, added.out.size() - 1) + "\n");

    const std::vector<json_case> cases = {
        {{"list", "--json"}, 0, "id", "\"interval_sec\":30"},
        {{"check", id, "--json"}, 0, "checked", "\"name\":\"Web\",\"checked\":true,\"up\":true,\"latency_ms\":"},
        {{"check", "--all", "--json"}, 0, "up", "\"up\":true"},
        {{"record", id.substr(0, 4), "DOWN", "12.5", "1700000000", "--json"}, 0, "time",
         "{\"id\":\"" + id + "\",\"name\":\"Web\",\"time\":1700000000,\"status\":0,\"latency_ms\":12.5}"},
        {{"heartbeats", id, "--limit", "2", "--json"}, 0, "status", "\"status\":0,\"latency_ms\":12.5"},
        {{"show", id, "--json"}, 0, "daily", "\"consecutive_failures\":1,"},
        {{"uptime", id, "--json"}, 0, "uptime_90d", "{\"id\":\"" + id + "\",\"name\":\"Web\",\"uptime_90d\":"},
        {{"webhook", server.url("/status/204"), "--json"}, 0, "webhook_url_set", "{\"webhook_url_set\":true}"},
        {{"webhook", "--clear", "--json"}, 0, "webhook_url_set", "{\"webhook_url_set\":false}"},
        {{"watch", "--once", "--json"}, 0, "flip", "\"checked\":true,\"up\":true"},
        {{"delete", id, "--json"}, 0, "type_name", "{\"id\":\"" + id + "\",\"name\":\"Web\",\"type\":0,\"type_name\":\"HTTP\""},
        {{"list", "--json"}, 0, "", "[]"},
        {{"--json", "list"}, 0, "", "[]"},
    };
    for (const json_case &c : cases) {
        SCOPED_TRACE(joined(c.args));
        const run_result r = run(c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_TRUE(r.err.empty()) << r.err;
        // One document: the strict reader refuses anything after it.
        rapidjson::Document doc;
        doc.Parse(r.out.c_str());
        ASSERT_FALSE(doc.HasParseError()) << r.out;
        ASSERT_TRUE(doc.IsObject() || doc.IsArray()) << r.out;
        if (!c.member.empty()) {
            if (doc.IsArray()) {
                ASSERT_GT(doc.Size(), 0u) << r.out;
                for (const auto &element : doc.GetArray()) EXPECT_TRUE(element.HasMember(c.member.c_str())) << r.out;
            } else {
                EXPECT_TRUE(doc.HasMember(c.member.c_str())) << r.out;
            }
        }
        EXPECT_TRUE(contains(r.out, c.expected)) << r.out;
        EXPECT_TRUE(r.out.ends_with("\n")) << r.out;
    }
    // A failure prints nothing on stdout, whatever the form.
    const run_result refused = run({"record", "ffff", "up", "1", "--json"});
    EXPECT_EQ(refused.status, 3);
    EXPECT_TRUE(refused.out.empty()) << refused.out;
}

TEST_F(CliTest, WatchJsonStreamsEveryResultWithItsFlips) {
    http_fixture server(scratch());
    add("Flapping", "tcp", "127.0.0.1:" + std::to_string(server.port()));
    background_cli watch({"--dir", dir(), "watch", "--interval-override", "1", "--json"}, scratch());
    ASSERT_TRUE(wait_until([&] { return contains(watch.out(), "\"up\":true"); }, 15s)) << watch.out();
    server.stop();
    ASSERT_TRUE(wait_until([&] { return contains(watch.out(), "\"up\":false,"); }, 15s)) << watch.out();
    watch.send(SIGINT);
    EXPECT_EQ(watch.wait(30s), 0) << watch.err();
    const std::string out = watch.out();
    const rapidjson::Document doc = parse_json(out);
    ASSERT_TRUE(doc.IsArray());
    std::size_t flips = 0;
    bool previous_up = true;
    for (const auto &element : doc.GetArray()) {
        const bool up = element["up"].GetBool();
        EXPECT_EQ(element["flip"].GetBool(), up != previous_up && &element != &doc[0]) << out;
        flips += element["flip"].GetBool();
        previous_up = up;
    }
    EXPECT_EQ(flips, 1u) << out;
    // One element per line, so a reader can follow it line by line.
    EXPECT_EQ(count_lines(out), doc.Size() + 2) << out;
    // Notes go to stderr, so stdout stays one document.
    EXPECT_TRUE(watch.err().ends_with("stopped; state saved in " + dir() + "\n")) << watch.err();
}

// --- Narrow and dumb terminals ----------------------------------------------------------

TEST_F(CliTest, NarrowTerminalsDropWholeColumnsNeverCutAValue) {
    const std::string web = add("Web front", "http", "http://127.0.0.1:9/a/rather/long/health/path");
    const std::string db = add("Database", "tcp", "127.0.0.1:5432");
    EXPECT_EQ(run({"record", web, "up", "12.5"}).status, 0);
    EXPECT_EQ(run({"record", db, "down", "0"}).status, 0);
    const std::string all = "ID NAME TYPE TARGET STATUS LATENCY LAST_CHECK UPTIME_90D HEARTBEATS";
    struct width_case {
        int columns;
        std::string header;  // the columns left, "LAST CHECK" written LAST_CHECK
        std::size_t slots;   // of the heartbeat strip, when shown
    };
    // 134 columns hold everything: ID 8, NAME 9, TYPE 4, TARGET 44, STATUS 6,
    // LATENCY 7, LAST CHECK 10, UPTIME 90D 10, a strip of 20, 8 gaps of 2.
    const std::vector<width_case> cases = {
        {200, all, 20},
        {134, all, 20},
        {133, "ID NAME TYPE STATUS LATENCY LAST_CHECK UPTIME_90D HEARTBEATS", 20},
        {88, "ID NAME TYPE STATUS LATENCY LAST_CHECK UPTIME_90D HEARTBEATS", 20},
        {87, "ID NAME STATUS LATENCY LAST_CHECK UPTIME_90D HEARTBEATS", 20},
        {81, "ID NAME STATUS LATENCY LAST_CHECK UPTIME_90D HEARTBEATS", 19},
        {72, "ID NAME STATUS LATENCY LAST_CHECK UPTIME_90D HEARTBEATS", 10},
        {71, "ID NAME STATUS LATENCY UPTIME_90D HEARTBEATS", 20},
        {65, "ID NAME STATUS LATENCY UPTIME_90D HEARTBEATS", 15},
        {60, "ID NAME STATUS LATENCY UPTIME_90D HEARTBEATS", 10},
        {59, "ID NAME STATUS LATENCY UPTIME_90D", 0},
        {48, "ID NAME STATUS LATENCY UPTIME_90D", 0},
        {47, "ID NAME STATUS LATENCY", 0},
        {36, "ID NAME STATUS LATENCY", 0},
        {35, "ID NAME STATUS", 0},
        {27, "ID NAME STATUS", 0},
        {26, "NAME STATUS", 0},
        {12, "NAME STATUS", 0},
    };
    for (const width_case &c : cases) {
        SCOPED_TRACE(c.columns);
        const run_result r = run_cli_on_terminal({"--dir", dir(), "list"}, {"TERM=xterm", "NO_COLOR=1"}, c.columns, 0ms);
        EXPECT_EQ(r.status, 0);
        std::string text = std::regex_replace(r.out, std::regex("\r"), "");
        const std::string header = text.substr(0, text.find('\n'));
        std::string words = std::regex_replace(header, std::regex("LAST CHECK"), "LAST_CHECK");
        words = std::regex_replace(words, std::regex("UPTIME 90D"), "UPTIME_90D");
        words = std::regex_replace(words, std::regex(" +"), " ");
        EXPECT_EQ(words, c.header) << text;
        // Every value shown is shown whole.
        for (const std::string &value : {std::string("Web front"), std::string("Database"), std::string("UP"),
                                         std::string("DOWN")}) {
            EXPECT_TRUE(contains(text, value)) << text;
        }
        if (contains(c.header, "TARGET")) {
            EXPECT_TRUE(contains(text, "/a/rather/long/health/path")) << text;
        }
        if (contains(c.header, "LATENCY")) {
            EXPECT_TRUE(contains(text, "12.5 ms")) << text;
        }
        if (contains(c.header, "ID")) {
            EXPECT_TRUE(contains(text, web.substr(0, 8))) << text;
        }
        if (contains(c.header, "HEARTBEATS")) {
            // The strip narrows before LAST CHECK goes, to no fewer than
            // 10 slots, and takes what room is left.
            std::smatch match;
            ASSERT_TRUE(std::regex_search(text, match, std::regex("  (\\.+)\u2587\n"))) << text;
            EXPECT_EQ(std::size_t(match[1].length()) + 1, c.slots) << text;
        }
        if (c.columns >= 17) {
            std::istringstream lines(text);
            for (std::string line; std::getline(lines, line);) {
                std::size_t columns = 0;
                for (char ch : line) columns += (static_cast<unsigned char>(ch) & 0xC0) != 0x80;
                EXPECT_LE(columns, std::size_t(c.columns)) << line;
            }
        }
    }
}

TEST_F(CliTest, WatchOnADumbTerminalOnlyAppends) {
    add("Resolver", "dns", "localhost");
    const run_result r = run_cli_on_terminal({"--dir", dir(), "watch", "--interval-override", "1"},
                                             {"TERM=dumb", "NO_COLOR"}, 100, 2500ms);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(contains(r.out, "\x1b")) << r.out;
    EXPECT_TRUE(contains(r.out, "stopped; state saved in ")) << r.out;
}

}  // namespace
}  // namespace cli_test
