// The one-shot commands: each opens the store (the engine here, or the
// service that owns it: store_client), does one thing and closes it again.
// A command that changes the store saves it and
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
#include "store_client.h"
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
std::string last_reason(store_client &store, const std::string &id, std::string &phrase) {
    const std::optional<detail_row> detail = store.detail(id);
    if (!detail || !detail->last_check) return {};
    phrase = reason_phrase(*detail->last_check);
    return detail->last_check->reason;
}

// Whether a change that was made is saved; says so when it is not.
bool saved(const invocation &inv, store_client &store, const change_result &change) {
    if (!store.served()) return store.save(inv);
    if (!change.save_failed) return true;
    command_error(inv.command, change.error + " in '" + storage_dir(inv) + "' (by the service at " + store.service().url + ")");
    return false;
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
    store_client store;
    if (!store.open(inv, store_use::create)) return exit_failed;
    const change_result added = store.add(name, *type, target, interval);
    if (!added.done) {
        std::string message = added.error;
        if (message == "Maximum monitors capacity reached") {
            message += " (" + std::to_string(UPTIME_MAX_MONITORS) + " monitors)";
        }
        return command_error(inv.command, message);
    }
    const std::string id = added.id;
    if (!saved(inv, store, added)) {
        // Part of it may be on disk: adding it again could make a second one.
        std::fprintf(stderr, "%s: the monitor %s may be saved in part; see 'vantorel-uptime list' before adding it again\n",
                     inv.command.c_str(), id.c_str());
        return exit_failed;
    }
    if (inv.has("json")) {
        const std::vector<monitor_row> monitors = store.monitors();
        if (const monitor_row *m = find_monitor(monitors, id)) print_line(monitor_json(*m));
    } else {
        print_line(id);
    }
    return exit_ok;
}

int run_delete(const invocation &inv) {
    store_client store;
    if (!store.open(inv, store_use::existing)) return exit_failed;
    const std::vector<monitor_row> monitors = store.monitors();
    int status = exit_ok;
    const std::optional<std::string> id = resolve_first_argument(inv, monitors, status);
    if (!id) return status;
    const monitor_row removed = *find_monitor(monitors, *id);
    const change_result deleted = store.remove(*id);
    if (!deleted.done) return command_error(inv.command, deleted.error);
    if (!saved(inv, store, deleted)) return exit_failed;
    if (inv.has("json")) {
        print_line(monitor_json(removed));
    } else {
        print_line("deleted " + removed.id + "  " + removed.name);
    }
    return exit_ok;
}

int run_list(const invocation &inv) {
    store_client store;
    if (!store.open(inv, store_use::existing)) return exit_failed;
    if (inv.has("json")) {
        print_line(store.list_json());
        return exit_ok;
    }
    const std::vector<monitor_row> monitors = store.monitors();
    std::vector<std::vector<heartbeat_row>> recent;
    std::vector<std::string> reasons;
    for (const monitor_row &m : monitors) {
        recent.push_back(store.heartbeats(m.id, k_strip_cells));
        reasons.push_back(down_reason(m, store.detail(m.id)));
    }
    print(render_monitor_table(monitors, recent, style_for_stdout(), 0, reasons));
    return exit_ok;
}

int run_show(const invocation &inv) {
    store_client store;
    if (!store.open(inv, store_use::existing)) return exit_failed;
    const std::vector<monitor_row> monitors = store.monitors();
    int status = exit_ok;
    const std::optional<std::string> id = resolve_first_argument(inv, monitors, status);
    if (!id) return status;
    std::string error;
    const std::optional<std::string> text = store.detail_json(*id, error);
    if (!text) return command_error(inv.command, error);
    if (inv.has("json")) {
        print_line(*text);
        return exit_ok;
    }
    const std::optional<detail_row> detail = parse_detail(text->c_str());
    if (!detail) return command_error(inv.command, "the detail report cannot be read");
    print(render_detail(*find_monitor(monitors, *id), *detail, style_for_stdout(), unix_now()));
    return exit_ok;
}

int run_check(const invocation &inv) {
    const bool all = inv.has("all"), json = inv.has("json");
    if (all && !inv.args.empty()) return usage_error(inv.command, "give monitor ids or --all, not both");
    if (!all && inv.args.empty()) return usage_error(inv.command, "give monitor ids or --all");
    store_client store;
    if (!store.open(inv, store_use::existing)) return exit_failed;
    const std::vector<monitor_row> monitors = store.monitors();

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
    check_pool pool(std::min(chosen.size(), k_max_check_threads), store.checker());
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
            const std::string reason = o.result == 0 ? last_reason(store, m.id, phrase) : std::string();
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
    if (!store.save(inv) || failed) return exit_failed;
    return all_up ? exit_ok : exit_not_all_up;
}

int run_heartbeats(const invocation &inv) {
    int limit = 20, error = exit_ok;
    if (!read_int_option(inv, "limit", 0, "a whole number, 0 or more", limit, error)) return error;
    store_client store;
    if (!store.open(inv, store_use::existing)) return exit_failed;
    int status = exit_ok;
    const std::optional<std::string> id = resolve_first_argument(inv, store.monitors(), status);
    if (!id) return status;
    // The engine lists everything for a limit below 1, which is what 0 means here.
    if (inv.has("json")) {
        print_line(store.heartbeats_json(*id, limit));
        return exit_ok;
    }
    print(render_heartbeat_table(store.heartbeats(*id, limit), style_for_stdout()));
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
    store_client store;
    if (!store.open(inv, store_use::existing)) return exit_failed;
    const std::vector<monitor_row> monitors = store.monitors();
    int status = exit_ok;
    const std::optional<std::string> id = resolve_first_argument(inv, monitors, status);
    if (!id) return status;
    const change_result recorded = store.record(*id, *status_value, *latency, when);
    if (!recorded.done) return command_error(inv.command, recorded.error);
    if (!saved(inv, store, recorded)) return exit_failed;
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
    store_client store;
    if (!store.open(inv, store_use::existing)) return exit_failed;
    const std::vector<monitor_row> monitors = store.monitors();
    int status = exit_ok;
    const std::optional<std::string> id = resolve_first_argument(inv, monitors, status);
    if (!id) return status;
    // The list's figure is uptime_get_percent_90d's, also through a service.
    const double percent = find_monitor(monitors, *id)->uptime_90d;
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
    store_client store;
    if (!store.open(inv, store_use::create)) return exit_failed;
    const char *url = clear ? "" : inv.args[0].c_str();
    const change_result set = store.set_webhook(url);
    if (!set.done) return command_error(inv.command, set.error);
    if (!saved(inv, store, set)) return exit_failed;
    // The URL may carry a token, so it is not echoed.
    if (inv.has("json")) {
        print_line(json_object().add("webhook_url_set", !clear).text());
    } else {
        print_line(clear ? "webhook cleared" : "webhook set");
    }
    return exit_ok;
}

}  // namespace cli
