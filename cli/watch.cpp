// watch: the host's scheduler (host/scheduler.h, which serve uses too) on
// the terminal. The main thread drives the scheduler and draws; the
// scheduler's threads only probe.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "scheduler.h"
#include "cli.h"
#include "engine_session.h"
#include "rows.h"
#include "json_output.h"
#include "terminal.h"
#include "vantorel-uptime-engine.h"

namespace cli {

namespace {

using steady = std::chrono::steady_clock;

// A crash must not lose more than this of the monitors' current status;
// heartbeats are on disk after every check anyway.
constexpr auto k_save_every = std::chrono::seconds(60);
// How often the loop looks at the stop flag and the clock on the screen.
constexpr auto k_tick = std::chrono::milliseconds(200);
constexpr auto k_redraw_at_most_every = std::chrono::milliseconds(250);

std::int64_t unix_now() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// What watch shows. On a terminal the table is drawn below the lines
// printed so far and redrawn in place (cursor up, clear to the end of the
// screen); flips and notes go above it and scroll away like a log. Other
// output only ever appends: the table once every monitor has a result and
// again at the stop, and the flips as they happen. With --json nothing of
// this is printed: the results go out as a JSON array, notes to stderr.
class watch_screen {
public:
    watch_screen(const invocation &inv, bool live, bool json) : dir_(storage_dir(inv)), live_(live), json_(json) {}

    bool live() const { return live_; }

    // Lines that must stay on the screen: flips, notes. With --json, notes
    // go to stderr at once and flips are left to the JSON.
    void add_line(std::string line, bool flip = false) {
        if (!json_) {
            pending_lines_ += std::move(line);
        } else if (!flip) {
            std::fputs(line.c_str(), stderr);
        }
    }

    void draw(const std::vector<monitor_row> &monitors, bool final_draw) {
        if (json_) return;
        output_style style = style_for_stdout();
        std::string out;
        if (live_ && drawn_lines_ > 0) out += "\x1b[" + std::to_string(drawn_lines_) + "A\r\x1b[J";
        out += pending_lines_;
        pending_lines_.clear();
        std::string table = render_table(monitors, style, final_draw);
        // Lines longer than the screen wrap; the cursor must go back over
        // every screen line the table took.
        drawn_lines_ = screen_lines(table, style.width);
        out += table;
        write(out);
    }

    // Outside a terminal: appends what add_line collected, no table.
    void flush_lines() {
        write(pending_lines_);
        pending_lines_.clear();
    }

    // A line after the output: on stdout, or on stderr with --json.
    void final_line(const std::string &line) {
        std::fputs(line.c_str(), json_ ? stderr : stdout);
    }

private:
    std::string render_table(const std::vector<monitor_row> &monitors, const output_style &style, bool final_draw) {
        std::vector<std::vector<heartbeat_row>> recent;
        std::vector<std::string> reasons;
        for (const monitor_row &m : monitors) {
            recent.push_back(read_heartbeats(m.id, k_strip_cells));
            reasons.push_back(down_reason(m, read_detail(m.id)));
        }
        // "watch: 5 monitors in DIR, 2026-12-09 23:22:00 (Ctrl-C stops)": at
        // a narrow width the hint goes first, then the directory, then the
        // time; none is cut.
        std::string count = "watch: " + std::to_string(monitors.size()) + (monitors.size() == 1 ? " monitor" : " monitors");
        std::string place = " in " + dir_;
        std::string time = ", " + format_local_time(unix_now(), false);
        std::string hint = final_draw || !live_ ? "" : " (Ctrl-C stops)";
        const auto fits = [&] {
            return style.width <= 0 ||
                   display_width(count + place + time + hint) <= std::size_t(style.width);
        };
        for (std::string *part : {&hint, &place, &time}) {
            if (!fits()) part->clear();
        }
        const std::string heading = count + place + time + hint + "\n";
        int max_rows = 0;
        if (live_) {
            // The heading and one line for the cursor: more than the screen
            // holds could not be moved back over.
            const int rows = stdout_terminal_size().rows - screen_lines(heading, style.width) - 1;
            max_rows = std::max(rows, 2);
        }
        return heading + render_monitor_table(monitors, recent, style, max_rows, reasons);
    }

    void write(const std::string &text) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }

    std::string dir_;
    bool live_;
    bool json_;
    int drawn_lines_ = 0;
    std::string pending_lines_;
};

}  // namespace

int run_watch(const invocation &inv) {
    std::optional<std::chrono::seconds> interval_override;
    if (const std::string *text = inv.value("interval-override")) {
        int seconds = 0;
        auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), seconds);
        if (text->empty() || ec != std::errc() || end != text->data() + text->size() || seconds < 1) {
            return usage_error(inv.command,
                               "--interval-override must be a whole number of seconds, at least 1, not '" + *text + "'");
        }
        interval_override = std::chrono::seconds(seconds);
    }
    const bool once = inv.has("once"), json = inv.has("json");

    engine_session engine;
    bool served = false;
    if (!engine.start(inv, store_use::existing, &served)) {
        if (served) {
            // Two schedulers on one store would check everything twice.
            const std::optional<service_info> service = serving_service(storage_dir(inv));
            return command_error(inv.command,
                                 "the store '" + storage_dir(inv) + "' is served by 'vantorel-uptime serve' (process " +
                                     std::to_string(service ? service->pid : 0) + "), which checks its monitors itself; "
                                     "its status page is " + (service ? service->url : std::string("?")) + "/");
        }
        return exit_failed;
    }
    std::vector<monitor_row> monitors = read_monitors();
    if (monitors.empty()) {
        return command_error(inv.command, "no monitors in '" + storage_dir(inv) + "'; add one with 'vantorel-uptime add'");
    }
    const std::size_t id_length = short_id_length(monitors);

    // The status each monitor had, for telling flips.
    std::map<std::string, int> status_of;
    for (const monitor_row &m : monitors) status_of[m.id] = m.status;
    scheduler_options options;
    options.threads = std::min(monitors.size(), k_max_check_threads);
    options.interval_override = interval_override;
    options.once = once;
    scheduler checks(options);
    checks.set_monitors(monitors);
    const steady::time_point start = steady::now();

    // On a terminal --once still shows only its result: nothing to redraw.
    watch_screen screen(inv, !once && !json && stdout_takes_cursor_moves(), json);
    json_array_stream stream;
    if (json) stream.open();
    catch_stop_signals();

    bool all_up = true, failed = false, dirty = true, saves_failing = false;
    steady::time_point last_draw{}, last_save = start;

    // Applies finished checks: a flip line for each change between up and
    // down (as the engine's webhook: not from pending), a red line for an
    // engine error. Both go above the table, on the screen.
    auto apply = [&](std::vector<check_outcome> outcomes) {
        for (check_outcome &o : outcomes) {
            dirty = true;
            const monitor_row *m = find_monitor(monitors, o.id);
            if (o.result != 0) {
                failed = true;
                const std::string text = inv.command + ": " + o.error + " (" + o.id + ")";
                screen.add_line(paint(style_for_stdout(), text, colour::red) + "\n");
                if (json && m != nullptr) {
                    stream.element(json_object()
                                       .add("id", m->id)
                                       .add("name", m->name)
                                       .add("checked", false)
                                       .add("error", o.error)
                                       .text());
                }
                continue;
            }
            const int now_status = o.up == 1 ? UPTIME_STATUS_UP : UPTIME_STATUS_DOWN;
            all_up = all_up && now_status == UPTIME_STATUS_UP;
            int &status = status_of[o.id];
            const bool was_decided = status == UPTIME_STATUS_UP || status == UPTIME_STATUS_DOWN;
            const bool flip = was_decided && status != now_status;
            if (flip && m != nullptr) {
                screen.add_line(render_flip_line(*m, status, now_status, o.finished_at, id_length,
                                                 style_for_stdout()),
                                true);
            }
            if (json && m != nullptr) {
                const std::optional<detail_row> detail = read_detail(m->id);
                const std::string reason = detail && detail->last_check ? detail->last_check->reason : "";
                stream.element(json_object()
                                   .add("id", m->id)
                                   .add("name", m->name)
                                   .add("checked", true)
                                   .add("up", now_status == UPTIME_STATUS_UP)
                                   .add("latency_ms", o.latency_ms)
                                   .add("time", o.finished_at)
                                   .add("reason", reason)
                                   .add("flip", flip)
                                   .text());
            }
            status = now_status;
        }
    };

    while (!stop_requested()) {
        apply(checks.poll(k_tick));
        const steady::time_point now = steady::now();
        if (dirty) monitors = read_monitors();

        if (once) {
            screen.flush_lines();
            if (checks.never_checked() == 0) break;
            continue;
        }
        if (screen.live()) {
            if ((dirty && now - last_draw >= k_redraw_at_most_every) || now - last_draw >= std::chrono::seconds(1)) {
                screen.draw(monitors, false);
                last_draw = now;
                dirty = false;
            }
        } else {
            screen.flush_lines();
            if (dirty && checks.never_checked() == 0 && last_draw == steady::time_point{}) {
                screen.draw(monitors, false);
                last_draw = now;
            }
            dirty = false;
        }
        if (now - last_save >= k_save_every) {
            // Said once when saving starts to fail, and again when it works.
            const bool saved = uptime_save_state() == 0;
            if (saved == saves_failing) {
                const std::string text = saved ? inv.command + ": saving works again"
                                               : inv.command + ": " + uptime_last_error() + " in '" +
                                                     storage_dir(inv) + "'; still trying every minute";
                screen.add_line((saved ? text : paint(style_for_stdout(), text, colour::red)) + "\n");
                saves_failing = !saved;
            }
            last_save = now;
        }
        // A reader that went away cannot be shown anything again.
        if (std::ferror(stdout)) break;
    }

    const bool interrupted = stop_requested();
    checks.stop_starting();
    if (const std::size_t running = checks.running(); running > 0) {
        screen.add_line("stopping: waiting for " + std::to_string(running) + " running check" +
                        (running == 1 ? "" : "s") + "\n");
        if (screen.live()) {
            screen.draw(monitors, false);
        } else {
            screen.flush_lines();
        }
    }
    // The engine must not stop while a check runs: join first.
    checks.shut_down();
    apply(checks.poll(std::chrono::milliseconds(0)));
    monitors = read_monitors();
    screen.draw(monitors, true);
    if (json) stream.close();
    const bool saved = engine.save(inv);
    engine.stop();

    if (once) {
        if (const std::size_t left = checks.never_checked(); interrupted && left > 0) {
            std::fprintf(stderr, "%s: interrupted; %zu of %zu monitors not checked\n", inv.command.c_str(), left,
                         checks.size());
            all_up = false;
        }
        if (failed || !saved) return exit_failed;
        return all_up ? exit_ok : exit_not_all_up;
    }
    if (!saved) return exit_failed;
    screen.final_line("stopped; state saved in " + storage_dir(inv) + "\n");
    return exit_ok;
}

}  // namespace cli
