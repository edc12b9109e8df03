// The one-shot commands: each starts the engine, does one thing and stops
// it again (engine_session). A command that changes the store saves it and
// checks the save before it reports success.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>

#include "check_pool.h"
#include "cli.h"
#include "engine_session.h"
#include "json_output.h"
#include "render_text.h"
#include "rows.h"
#include "terminal.h"
#include "vantorel-uptime-engine.h"

namespace cli {

namespace {

// A heartbeat more than this far ahead of the clock is a typing mistake.
constexpr std::int64_t k_max_seconds_ahead = 24 * 60 * 60;

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

void print_line(const std::string &text) {
    print(text);
    print("\n");
}

bool blank(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; });
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

std::string check_result_json(const monitor_row &m, const check_outcome &o, const std::string &reason) {
    json_object result;
    result.add("id", m.id).add("name", m.name);
    if (o.result != 0) return result.add("checked", false).add("error", o.error).text();
    return result.add("checked", true)
        .add("up", o.up == 1)
        .add("latency_ms", o.latency_ms)
        .add("time", o.finished_at)
        .add("reason", reason)
        .text();
}

// The reason code of the check that just ended for this monitor; "" when
// the engine has none.
std::string last_reason(const std::string &id, std::string &phrase) {
    const std::optional<detail_row> detail = read_detail(id);
    if (!detail || !detail->last_check) return {};
    phrase = reason_phrase(*detail->last_check);
    return detail->last_check->reason;
}

}  // namespace

int run_add(const invocation &inv) {
    const std::string &name = inv.args[0], &target = inv.args[2];
    const std::optional<int> type = parse_type(inv.args[1]);
    if (!type) return usage_error(inv.command, "TYPE must be http, tcp, dns, ping or 0 to 3, not '" + inv.args[1] + "'");
    if (blank(name)) return usage_error(inv.command, "NAME must not be empty");
    if (blank(target)) return usage_error(inv.command, "TARGET must not be empty");
    if (*type == UPTIME_MONITOR_TCP_PORT && !tcp_target_is_valid(target)) {
        return usage_error(inv.command, "a tcp TARGET is host:port or [host]:port, the port 1 to 65535 or a service "
                                        "name, not '" + target + "'");
    }
    int interval = 60, error = exit_ok;
    if (!read_int_option(inv, "interval", 1, "a whole number of seconds, at least 1", interval, error)) return error;
    engine_session engine;
    if (!engine.start(inv, store_use::create)) return exit_failed;
    char id[UPTIME_ID_BUFFER_SIZE] = {};
    if (uptime_monitor_add(name.c_str(), *type, target.c_str(), interval, id) != 0) {
        std::string message = uptime_last_error();
        if (message == "Maximum monitors capacity reached") {
            message += " (" + std::to_string(UPTIME_MAX_MONITORS) + " monitors)";
        }
        return command_error(inv.command, message);
    }
    if (!engine.save(inv)) {
        // Part of it may be on disk: adding it again could make a second one.
        std::fprintf(stderr, "%s: the monitor %s may be saved in part; see 'vantorel-uptime list' before adding it again\n",
                     inv.command.c_str(), id);
        return exit_failed;
    }
    if (inv.has("json")) {
        const std::vector<monitor_row> monitors = read_monitors();
        if (const monitor_row *m = find_monitor(monitors, id)) print_line(monitor_json(*m));
    } else {
        print_line(id);
    }
    return exit_ok;
}

int run_delete(const invocation &inv) {
    engine_session engine;
    if (!engine.start(inv, store_use::existing)) return exit_failed;
    const std::vector<monitor_row> monitors = read_monitors();
    int status = exit_ok;
    const std::optional<std::string> id = resolve_first_argument(inv, monitors, status);
    if (!id) return status;
    const monitor_row removed = *find_monitor(monitors, *id);
    if (uptime_monitor_delete(id->c_str()) != 0) return command_error(inv.command, uptime_last_error());
    if (!engine.save(inv)) return exit_failed;
    if (inv.has("json")) {
        print_line(monitor_json(removed));
    } else {
        print_line("deleted " + removed.id + "  " + removed.name);
    }
    return exit_ok;
}

int run_list(const invocation &inv) {
    engine_session engine;
    if (!engine.start(inv, store_use::existing)) return exit_failed;
    if (inv.has("json")) {
        print_line(uptime_monitors_list_json());
        return exit_ok;
    }
    const std::vector<monitor_row> monitors = read_monitors();
    std::vector<std::vector<heartbeat_row>> recent;
    std::vector<std::string> reasons;
    for (const monitor_row &m : monitors) {
        recent.push_back(read_heartbeats(m.id, k_strip_cells));
        reasons.push_back(down_reason(m, read_detail(m.id)));
    }
    print(render_monitor_table(monitors, recent, style_for_stdout(), 0, reasons));
    return exit_ok;
}

int run_show(const invocation &inv) {
    engine_session engine;
    if (!engine.start(inv, store_use::existing)) return exit_failed;
    const std::vector<monitor_row> monitors = read_monitors();
    int status = exit_ok;
    const std::optional<std::string> id = resolve_first_argument(inv, monitors, status);
    if (!id) return status;
    if (inv.has("json")) {
        const char *text = uptime_monitor_detail_json(id->c_str());
        if (text == nullptr) return command_error(inv.command, uptime_last_error());
        print_line(text);
        return exit_ok;
    }
    const std::optional<detail_row> detail = read_detail(*id);
    if (!detail) return command_error(inv.command, uptime_last_error());
    print(render_detail(*find_monitor(monitors, *id), *detail, style_for_stdout(), unix_now()));
    return exit_ok;
}

int run_check(const invocation &inv) {
    const bool all = inv.has("all"), json = inv.has("json");
    if (all && !inv.args.empty()) return usage_error(inv.command, "give monitor ids or --all, not both");
    if (!all && inv.args.empty()) return usage_error(inv.command, "give monitor ids or --all");
    engine_session engine;
    if (!engine.start(inv, store_use::existing)) return exit_failed;
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
    // Nothing checked is not "all up": `check --all || alert` must fire on
    // a store that lost its monitors, as watch --once does.
    if (chosen.empty()) {
        return command_error(inv.command, "no monitors in '" + storage_dir(inv) + "'; add one with 'vantorel-uptime add'");
    }

    const output_style style = style_for_stdout();
    const std::size_t id_length = short_id_length(monitors);
    catch_stop_signals();
    check_pool pool(std::min(chosen.size(), k_max_check_threads));
    for (std::size_t i = 0; i < chosen.size(); ++i) pool.submit(i, chosen[i]->id);

    // Each result is printed as it comes in, so a silent target holds up
    // only its own line.
    json_array_stream stream;
    if (json) stream.open();
    std::vector<bool> done(chosen.size(), false);
    std::size_t finished = 0;
    bool all_up = true, failed = false;
    auto show = [&](std::vector<check_outcome> outcomes) {
        for (const check_outcome &o : outcomes) {
            const monitor_row &m = *chosen[o.index];
            done[o.index] = true;
            ++finished;
            // Nobody else checks this monitor meanwhile: the detail is of
            // this check.
            std::string phrase;
            const std::string reason = o.result == 0 ? last_reason(m.id, phrase) : std::string();
            if (json) {
                stream.element(check_result_json(m, o, reason));
            } else if (o.result != 0) {
                command_error(inv.command, o.error + " (" + m.id + ")");
            } else {
                print(render_check_line(m, o.up == 1, o.latency_ms, id_length, style, phrase));
            }
            failed = failed || o.result != 0;
            all_up = all_up && o.result == 0 && o.up == 1;
        }
        std::fflush(stdout);
    };
    while (finished < chosen.size() && !stop_requested()) show(pool.collect(std::chrono::milliseconds(200)));
    if (finished < chosen.size()) {
        // Interrupted: the checks that are running finish and count (the
        // engine records them either way); the others never start.
        if (const std::size_t running = pool.running(); running > 0) {
            std::fprintf(stderr, "%s: stopping: waiting for %zu running check%s\n", inv.command.c_str(), running,
                         running == 1 ? "" : "s");
        }
        pool.shut_down();
        show(pool.collect(std::chrono::milliseconds(0)));
    }
    pool.shut_down();
    if (finished < chosen.size()) {
        std::fprintf(stderr, "%s: interrupted; %zu of %zu monitors not checked:\n", inv.command.c_str(),
                     chosen.size() - finished, chosen.size());
        for (std::size_t i = 0; i < chosen.size(); ++i) {
            if (done[i]) continue;
            std::fprintf(stderr, "  %s  (%s)\n", chosen[i]->name.c_str(), chosen[i]->id.substr(0, id_length).c_str());
            if (json) {
                stream.element(json_object()
                                   .add("id", chosen[i]->id)
                                   .add("name", chosen[i]->name)
                                   .add("checked", false)
                                   .add("error", "interrupted")
                                   .text());
            }
        }
        all_up = false;
    }
    if (json) stream.close();
    if (!engine.save(inv) || failed) return exit_failed;
    return all_up ? exit_ok : exit_not_all_up;
}

int run_heartbeats(const invocation &inv) {
    int limit = 20, error = exit_ok;
    if (!read_int_option(inv, "limit", 0, "a whole number, 0 or more", limit, error)) return error;
    engine_session engine;
    if (!engine.start(inv, store_use::existing)) return exit_failed;
    int status = exit_ok;
    const std::optional<std::string> id = resolve_first_argument(inv, read_monitors(), status);
    if (!id) return status;
    // The engine lists everything for a limit below 1, which is what 0 means here.
    if (inv.has("json")) {
        print_line(uptime_get_heartbeats_json(id->c_str(), limit));
        return exit_ok;
    }
    print(render_heartbeat_table(read_heartbeats(*id, limit), style_for_stdout()));
    return exit_ok;
}

int run_record(const invocation &inv) {
    const std::string &status_text = inv.args[1];
    const std::optional<int> status_value = parse_status(status_text);
    if (!status_value) {
        return usage_error(inv.command, "STATUS must be up, down, pending or a number, not '" + status_text + "'");
    }
    // NaN, infinity and values beyond single precision are the engine's to
    // refuse; a negative time taken is plainly a mistake.
    const std::optional<double> latency = parse_number<double>(inv.args[2]);
    if (!latency) return usage_error(inv.command, "LATENCY_MS must be a number, not '" + inv.args[2] + "'");
    if (std::isfinite(*latency) && *latency < 0.0) {
        return usage_error(inv.command, "LATENCY_MS must be 0 or more, not '" + inv.args[2] + "'");
    }
    const std::int64_t now = unix_now();
    std::int64_t when = now;
    if (inv.args.size() > 3) {
        const std::optional<std::int64_t> parsed = parse_number<std::int64_t>(inv.args[3]);
        if (!parsed || *parsed < 0) {
            return usage_error(inv.command, "UNIX_TIME must be whole seconds since 1970, not '" + inv.args[3] + "'");
        }
        if (*parsed > now + k_max_seconds_ahead) {
            return usage_error(inv.command, "UNIX_TIME is more than a day ahead of the clock: '" + inv.args[3] + "'");
        }
        when = *parsed;
    }
    engine_session engine;
    if (!engine.start(inv, store_use::existing)) return exit_failed;
    const std::vector<monitor_row> monitors = read_monitors();
    int status = exit_ok;
    const std::optional<std::string> id = resolve_first_argument(inv, monitors, status);
    if (!id) return status;
    if (uptime_heartbeat_record(id->c_str(), *status_value, *latency, when) != 0) {
        return command_error(inv.command, uptime_last_error());
    }
    if (!engine.save(inv)) return exit_failed;
    const monitor_row &m = *find_monitor(monitors, *id);
    if (inv.has("json")) {
        print_line(json_object()
                       .add("id", m.id)
                       .add("name", m.name)
                       .add("time", when)
                       .add("status", *status_value)
                       .add("latency_ms", *latency)
                       .text());
    } else {
        print_line("recorded " + status_word(*status_value) + ", " + format_latency(*latency) + ", at " +
                   format_local_time(when, false) + "  " + m.name);
    }
    return exit_ok;
}

int run_uptime(const invocation &inv) {
    engine_session engine;
    if (!engine.start(inv, store_use::existing)) return exit_failed;
    const std::vector<monitor_row> monitors = read_monitors();
    int status = exit_ok;
    const std::optional<std::string> id = resolve_first_argument(inv, monitors, status);
    if (!id) return status;
    const double percent = uptime_get_percent_90d(id->c_str());
    if (inv.has("json")) {
        const monitor_row &m = *find_monitor(monitors, *id);
        print_line(json_object().add("id", m.id).add("name", m.name).add("uptime_90d", percent).text());
    } else {
        print_line(format_percent(percent));
    }
    return exit_ok;
}

int run_webhook(const invocation &inv) {
    const bool clear = inv.has("clear");
    if (clear && !inv.args.empty()) return usage_error(inv.command, "give a URL or --clear, not both");
    if (!clear && inv.args.empty()) return usage_error(inv.command, "give a URL or --clear");
    if (!clear && blank(inv.args[0])) return usage_error(inv.command, "URL must not be empty; --clear removes it");
    engine_session engine;
    if (!engine.start(inv, store_use::create)) return exit_failed;
    const char *url = clear ? "" : inv.args[0].c_str();
    if (uptime_set_webhook_url(url) != 0) return command_error(inv.command, uptime_last_error());
    if (!engine.save(inv)) return exit_failed;
    // The URL may carry a token, so it is not echoed.
    if (inv.has("json")) {
        print_line(json_object().add("webhook_url_set", !clear).text());
    } else {
        print_line(clear ? "webhook cleared" : "webhook set");
    }
    return exit_ok;
}

}  // namespace cli
