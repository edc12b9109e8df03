// The one-shot commands: each starts the engine, does one thing and stops
// it again (engine_session), which saves the state.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>

#include "check_pool.h"
#include "cli.h"
#include "engine_session.h"
#include "render.h"
#include "terminal.h"
#include "vantorel-uptime-engine.h"

namespace cli {

namespace {

template <typename Number>
std::optional<Number> parse_number(std::string_view text) {
    Number value{};
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::int64_t unix_now() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void print(const std::string &text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

// Resolves the command's first argument; nothing when it was reported.
std::optional<std::string> resolve_first_argument(const invocation &inv, const std::vector<monitor_row> &monitors,
                                                  int &status) {
    return resolve_monitor_id(inv.command, inv.args.at(0), monitors, status);
}

// Reads a whole-number option of at least `minimum` into `value`, which
// keeps its default when the option is absent. A bad value prints the
// command's usage, sets `error` to the exit status and returns false.
bool read_int_option(const invocation &inv, const char *name, int minimum, const char *rule, int &value, int &error) {
    const std::string *text = inv.value(name);
    if (text == nullptr) return true;
    const std::optional<int> parsed = parse_number<int>(*text);
    if (!parsed || *parsed < minimum) {
        error = usage_error(inv.command, std::string("--") + name + " must be " + rule + ", not '" + *text + "'");
        return false;
    }
    value = *parsed;
    return true;
}

}  // namespace

int run_add(const invocation &inv) {
    const std::optional<int> type = parse_type(inv.args[1]);
    if (!type) return usage_error(inv.command, "TYPE must be http, tcp, dns, ping or a number, not '" + inv.args[1] + "'");
    int interval = 60, error = exit_ok;
    if (!read_int_option(inv, "interval", 1, "a whole number of seconds, at least 1", interval, error)) return error;
    engine_session engine;
    if (!engine.start(inv)) return exit_failed;
    char id[UPTIME_ID_BUFFER_SIZE] = {};
    if (uptime_monitor_add(inv.args[0].c_str(), *type, inv.args[2].c_str(), interval, id) != 0) {
        return command_error(inv.command, uptime_last_error());
    }
    std::printf("%s\n", id);
    return exit_ok;
}

int run_delete(const invocation &inv) {
    engine_session engine;
    if (!engine.start(inv)) return exit_failed;
    const std::vector<monitor_row> monitors = read_monitors();
    int status = exit_ok;
    const std::optional<std::string> id = resolve_first_argument(inv, monitors, status);
    if (!id) return status;
    const std::string name = find_monitor(monitors, *id)->name;
    if (uptime_monitor_delete(id->c_str()) != 0) return command_error(inv.command, uptime_last_error());
    std::printf("deleted %s  %s\n", id->c_str(), name.c_str());
    return exit_ok;
}

int run_list(const invocation &inv) {
    engine_session engine;
    if (!engine.start(inv)) return exit_failed;
    if (inv.has("json")) {
        std::printf("%s\n", uptime_monitors_list_json());
        return exit_ok;
    }
    const std::vector<monitor_row> monitors = read_monitors();
    std::vector<std::vector<heartbeat_row>> recent;
    for (const monitor_row &m : monitors) recent.push_back(read_heartbeats(m.id, k_strip_cells));
    print(render_monitor_table(monitors, recent, style_for_stdout()));
    return exit_ok;
}

int run_check(const invocation &inv) {
    const bool all = inv.has("all");
    if (all && !inv.args.empty()) return usage_error(inv.command, "give monitor ids or --all, not both");
    if (!all && inv.args.empty()) return usage_error(inv.command, "give monitor ids or --all");
    engine_session engine;
    if (!engine.start(inv)) return exit_failed;
    const std::vector<monitor_row> monitors = read_monitors();

    std::vector<const monitor_row *> chosen;
    if (all) {
        for (const monitor_row &m : monitors) chosen.push_back(&m);
    } else {
        for (const std::string &given : inv.args) {
            int status = exit_ok;
            const std::optional<std::string> id = resolve_monitor_id(inv.command, given, monitors, status);
            if (!id) return status;
            const monitor_row *m = find_monitor(monitors, *id);
            if (std::find(chosen.begin(), chosen.end(), m) == chosen.end()) chosen.push_back(m);
        }
    }
    if (chosen.empty()) {
        std::printf("no monitors\n");
        return exit_ok;
    }

    const output_style style = style_for_stdout();
    const std::size_t id_length = short_id_length(monitors);
    catch_stop_signals();
    check_pool pool(std::min(chosen.size(), k_max_check_threads));
    for (std::size_t i = 0; i < chosen.size(); ++i) pool.submit(i, chosen[i]->id);

    // Lines come out in the order asked for, each as soon as it and those
    // before it are known.
    std::vector<std::optional<check_outcome>> outcomes(chosen.size());
    std::size_t printed = 0, finished = 0;
    bool all_up = true, failed = false;
    while (finished < chosen.size() && !stop_requested()) {
        for (check_outcome &outcome : pool.collect(std::chrono::milliseconds(200))) {
            outcomes[outcome.index] = std::move(outcome);
            ++finished;
        }
        for (; printed < chosen.size() && outcomes[printed]; ++printed) {
            const check_outcome &o = *outcomes[printed];
            if (o.result != 0) {
                command_error(inv.command, o.error + " (" + chosen[printed]->id + ")");
                failed = true;
                continue;
            }
            all_up = all_up && o.up == 1;
            print(render_check_line(*chosen[printed], o.up == 1, o.latency_ms, id_length, style));
        }
        std::fflush(stdout);
    }
    pool.shut_down();
    if (printed < chosen.size()) {
        std::fprintf(stderr, "%s: interrupted; %zu of %zu monitors not checked\n", inv.command.c_str(),
                     chosen.size() - printed, chosen.size());
        all_up = false;
    }
    if (failed) return exit_failed;
    return all_up ? exit_ok : exit_not_all_up;
}

int run_heartbeats(const invocation &inv) {
    int limit = 20, error = exit_ok;
    if (!read_int_option(inv, "limit", 0, "a whole number, 0 or more", limit, error)) return error;
    engine_session engine;
    if (!engine.start(inv)) return exit_failed;
    int status = exit_ok;
    const std::optional<std::string> id = resolve_first_argument(inv, read_monitors(), status);
    if (!id) return status;
    // The engine lists everything for a limit below 1, which is what 0 means here.
    if (inv.has("json")) {
        std::printf("%s\n", uptime_get_heartbeats_json(id->c_str(), limit));
        return exit_ok;
    }
    print(render_heartbeat_table(read_heartbeats(*id, limit), style_for_stdout()));
    return exit_ok;
}

int run_record(const invocation &inv) {
    std::optional<int> status_value;
    const std::string &status_text = inv.args[1];
    if (status_text == "up") {
        status_value = UPTIME_STATUS_UP;
    } else if (status_text == "down") {
        status_value = UPTIME_STATUS_DOWN;
    } else if (status_text == "pending") {
        status_value = UPTIME_STATUS_PENDING;
    } else {
        status_value = parse_number<int>(status_text);
    }
    if (!status_value) {
        return usage_error(inv.command, "STATUS must be up, down, pending or a number, not '" + status_text + "'");
    }
    // Range (NaN, infinity, beyond single precision) is the engine's to judge.
    const std::optional<double> latency = parse_number<double>(inv.args[2]);
    if (!latency) return usage_error(inv.command, "LATENCY_MS must be a number, not '" + inv.args[2] + "'");
    std::int64_t when = unix_now();
    if (inv.args.size() > 3) {
        const std::optional<std::int64_t> parsed = parse_number<std::int64_t>(inv.args[3]);
        if (!parsed) return usage_error(inv.command, "UNIX_TIME must be whole seconds, not '" + inv.args[3] + "'");
        when = *parsed;
    }
    engine_session engine;
    if (!engine.start(inv)) return exit_failed;
    const std::vector<monitor_row> monitors = read_monitors();
    int status = exit_ok;
    const std::optional<std::string> id = resolve_first_argument(inv, monitors, status);
    if (!id) return status;
    if (uptime_heartbeat_record(id->c_str(), *status_value, *latency, when) != 0) {
        return command_error(inv.command, uptime_last_error());
    }
    std::printf("recorded %s, %s, at %s  %s\n", status_word(*status_value).c_str(), format_latency(*latency).c_str(),
                format_local_time(when, false).c_str(), find_monitor(monitors, *id)->name.c_str());
    return exit_ok;
}

int run_uptime(const invocation &inv) {
    engine_session engine;
    if (!engine.start(inv)) return exit_failed;
    int status = exit_ok;
    const std::optional<std::string> id = resolve_first_argument(inv, read_monitors(), status);
    if (!id) return status;
    std::printf("%s\n", format_percent(uptime_get_percent_90d(id->c_str())).c_str());
    return exit_ok;
}

int run_webhook(const invocation &inv) {
    const bool clear = inv.has("clear");
    if (clear && !inv.args.empty()) return usage_error(inv.command, "give a URL or --clear, not both");
    if (!clear && inv.args.empty()) return usage_error(inv.command, "give a URL or --clear");
    engine_session engine;
    if (!engine.start(inv)) return exit_failed;
    const char *url = clear ? "" : inv.args[0].c_str();
    if (uptime_set_webhook_url(url) != 0) return command_error(inv.command, uptime_last_error());
    // The URL may carry a token, so it is not echoed.
    std::fputs(*url == '\0' ? "webhook cleared\n" : "webhook set\n", stdout);
    return exit_ok;
}

}  // namespace cli
