// vantorel-uptime serve: owns the store for its whole life (the engine's
// lock), checks every monitor on the shared scheduler, and answers the API,
// the status page and the metrics over HTTP. Logs go to stderr, one line per
// flip and per error, for the journal.
//
// Threads: the main thread drives the scheduler, saves, and takes the
// signals (blocked in every thread, taken with sigtimedwait); the
// scheduler's pool probes; the HTTP library's threads run the handlers.
#include "serve.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <systemd/sd-daemon.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>

#include "engine_session.h"
#include "http_server.h"
#include "render_text.h"
#include "routes.h"
#include "rows.h"
#include "scheduler.h"
#include "service_file.h"
#include "vantorel-uptime-engine.h"

namespace service {

using namespace host;

namespace {

using steady = std::chrono::steady_clock;

// Running checks get this long to finish at a stop; systemd's stop timeout
// in the units is longer.
constexpr auto k_stop_wait = std::chrono::seconds(20);
constexpr auto k_tick = std::chrono::milliseconds(200);

struct listen_address {
    sockaddr_storage storage{};
    socklen_t length = 0;
    std::string text;          // as given
    std::string connect_host;  // what a client on this machine connects to
    bool loopback = false;
};

// "127.0.0.1:8321", "[::1]:8321", "0.0.0.0:8321", "[::]:8321" or
// "localhost:8321"; the port 0 to 65535 (0: any free one).
std::optional<listen_address> parse_listen(const std::string &text) {
    std::string host, port;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') return std::nullopt;
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const std::size_t colon = text.rfind(':');
        if (colon == std::string::npos || text.find(':') != colon) return std::nullopt;
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    unsigned port_number = 0;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), port_number);
    if (port.empty() || ec != std::errc() || end != port.data() + port.size() || port_number > 65535) return std::nullopt;
    listen_address a;
    a.text = text;
    if (host == "localhost") host = "127.0.0.1";
    auto *v4 = reinterpret_cast<sockaddr_in *>(&a.storage);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&a.storage);
    if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(std::uint16_t(port_number));
        a.length = sizeof(sockaddr_in);
        a.loopback = (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
        a.connect_host = v4->sin_addr.s_addr == htonl(INADDR_ANY) ? "127.0.0.1" : host;
    } else if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(std::uint16_t(port_number));
        a.length = sizeof(sockaddr_in6);
        a.loopback = IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr);
        a.connect_host = IN6_IS_ADDR_UNSPECIFIED(&v6->sin6_addr) ? "[::1]" : "[" + host + "]";
    } else {
        return std::nullopt;
    }
    return a;
}

void log_line(const std::string &line) {
    std::fprintf(stderr, "%s\n", line.c_str());
}

// The token every change needs: made once, at the first start, from the
// system's random source, and kept owner-only in the store.
std::optional<std::string> load_or_make_token(const std::string &dir, std::string &error) {
    if (std::optional<std::string> token = read_service_token(dir)) {
        // A token others can read lets them change the store: a copy made
        // with loose permissions is made owner-only again.
        const std::string path = service_token_path(dir);
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 && (st.st_mode & 077) != 0) {
            if (::chmod(path.c_str(), 0600) != 0) {
                error = "cannot make " + path + " owner-only: " + std::strerror(errno);
                return std::nullopt;
            }
            log_line("made " + path + " owner-only (it was readable by others)");
        }
        return token;
    }
    unsigned char bytes[32];
    if (getrandom(bytes, sizeof bytes, 0) != ssize_t(sizeof bytes)) {
        error = std::string("no random bytes for the token: ") + std::strerror(errno);
        return std::nullopt;
    }
    std::string token;
    static const char k_hex[] = "0123456789abcdef";
    for (unsigned char b : bytes) {
        token += k_hex[b >> 4];
        token += k_hex[b & 15];
    }
    const std::string path = service_token_path(dir);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    const std::string line = token + "\n";
    const bool written = ::write(fd, line.data(), line.size()) == ssize_t(line.size()) && ::fsync(fd) == 0;
    ::close(fd);
    if (!written) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        ::unlink(path.c_str());
        return std::nullopt;
    }
    return token;
}

// service.json, replaced whole (written beside it, then renamed over it).
bool write_service_file(const std::string &dir, const std::string &url, std::string &error) {
    const std::string path = service_file_path(dir), temporary = path + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    const std::string text = service_file_text(long(::getpid()), url);
    const bool written = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    ::close(fd);
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        error = std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

// The flips and errors of finished checks, for the log; counts them.
class outcome_log {
public:
    outcome_log(service_context &context, bool verbose) : context_(context), verbose_(verbose) { refresh(); }

    void take(const check_outcome &o) {
        if (names_.find(o.id) == names_.end()) refresh();
        const std::string who = names_[o.id] + "  (" + o.id.substr(0, 8) + ")";
        if (o.result != 0) {
            if (o.error != "stopping") log_line("check failed: " + o.error + "  " + who);
            return;
        }
        const bool up = o.up == 1;
        context_.counters.count(o.id, up);
        int &before = status_[o.id];
        const int now = up ? UPTIME_STATUS_UP : UPTIME_STATUS_DOWN;
        const bool flip = (before == UPTIME_STATUS_UP || before == UPTIME_STATUS_DOWN) && before != now;
        if (flip || verbose_) {
            std::string why;
            if (const std::optional<detail_row> d = read_detail(o.id); d && d->last_check) why = reason_phrase(*d->last_check);
            std::string line = flip ? status_word(before) + " -> " + status_word(now) : "check " + status_word(now);
            line += "  " + who + "  " + format_latency(o.latency_ms);
            if (!why.empty()) line += "  " + why;
            log_line(line);
        }
        before = now;
    }

private:
    void refresh() {
        for (const monitor_row &m : read_monitors()) {
            names_[m.id] = m.name;
            status_.try_emplace(m.id, m.status);
        }
    }

    service_context &context_;
    bool verbose_;
    std::map<std::string, std::string> names_;
    std::map<std::string, int> status_;
};

bool read_seconds_option(const invocation &inv, const char *name, int &value, int &status) {
    const std::string *text = inv.value(name);
    if (text == nullptr) return true;
    int parsed = 0;
    const auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), parsed);
    if (text->empty() || ec != std::errc() || end != text->data() + text->size() || parsed < 1) {
        status = usage_error(inv.command, std::string("--") + name + " must be a whole number of seconds, at least 1, not '" +
                                              *text + "'");
        return false;
    }
    value = parsed;
    return true;
}

}  // namespace

int run_serve(const invocation &inv) {
    const std::string listen_text = inv.value("listen") != nullptr ? *inv.value("listen") : "127.0.0.1:8321";
    const std::optional<listen_address> listen = parse_listen(listen_text);
    if (!listen) {
        return usage_error(inv.command, "--listen must be ADDRESS:PORT with a numeric address (such as 127.0.0.1:8321 "
                                        "or [::1]:8321) or localhost, not '" + listen_text + "'");
    }
    int save_every = 60, status = exit_ok;
    if (!read_seconds_option(inv, "save-interval", save_every, status)) return status;
    const bool verbose = inv.has("verbose"), public_mode = inv.has("public");
    const std::string dir = storage_dir(inv);

    // Every thread started from here on inherits the blocked signals; only
    // the main loop takes them.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&signals, s);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    engine_session engine;
    if (!engine.start(inv, store_use::create)) return exit_failed;
    // The store exists from the first start on, even without monitors.
    if (!engine.save(inv)) return exit_failed;
    std::string error;
    const std::optional<std::string> token = load_or_make_token(dir, error);
    if (!token) return command_error(inv.command, error);

    scheduler checks(scheduler_options{});
    checks.set_monitors(read_monitors());
    service_context context;
    context.dir = dir;
    context.token = *token;
    context.public_mode = public_mode;
    context.checks = &checks;
    context.loop_alive_ms = steady_ms();

    http_server server;
    if (!server.start(reinterpret_cast<const sockaddr *>(&listen->storage), listen->length, http_limits{},
                      [&context](const http_request &request, const http_responder &later) {
                          return route_request(context, request, later);
                      },
                      error)) {
        return command_error(inv.command, "cannot listen on " + listen->text + ": " + error);
    }
    const std::string url = "http://" + listen->connect_host + ":" + std::to_string(server.port());
    if (!write_service_file(dir, url, error)) {
        server.stop();
        return command_error(inv.command, "cannot write " + service_file_path(dir) + ": " + error);
    }
    if (!listen->loopback) {
        log_line("warning: listening on " + listen->text + ", beyond this machine: every change needs the token, "
                 "and so does every read unless --public" + std::string(public_mode ? " (given: targets are hidden)" : ""));
    }
    const std::size_t count = checks.size();
    log_line("serving " + dir + " at " + url + " (" + std::to_string(count) + (count == 1 ? " monitor)" : " monitors)"));
    sd_notify(0, "READY=1");

    outcome_log outcomes(context, verbose);
    steady::time_point last_save = steady::now();
    bool saves_failing = false;
    const auto save_now = [&](const char *why) {
        const bool saved = uptime_save_state() == 0;
        if (!saved && !saves_failing) {
            log_line(std::string("error: ") + uptime_last_error() + " in '" + dir + "' (" + why + "); trying again");
        } else if (saved && saves_failing) {
            log_line("saving works again");
        } else if (saved && std::string_view(why) == "SIGHUP") {
            log_line("saved (SIGHUP)");
        }
        saves_failing = !saved;
        last_save = steady::now();
    };
    for (;;) {
        for (const check_outcome &o : checks.poll(k_tick)) outcomes.take(o);
        context.loop_alive_ms = steady_ms();
        if (steady::now() - last_save >= std::chrono::seconds(save_every)) save_now("periodic save");
        const timespec no_wait{0, 0};
        const int taken = sigtimedwait(&signals, nullptr, &no_wait);
        if (taken == SIGHUP) save_now("SIGHUP");
        if (taken == SIGTERM || taken == SIGINT) {
            log_line(std::string("stopping (") + (taken == SIGTERM ? "SIGTERM" : "SIGINT") + ")");
            break;
        }
    }

    sd_notify(0, "STOPPING=1");
    server.stop_accepting();
    checks.stop_starting();
    const steady::time_point stop_began = steady::now();
    if (const std::size_t running = checks.running(); running > 0) {
        log_line("waiting for " + std::to_string(running) + " running check" + (running == 1 ? "" : "s"));
    }
    while (checks.running() > 0 && steady::now() - stop_began < k_stop_wait) {
        for (const check_outcome &o : checks.poll(std::chrono::milliseconds(100))) outcomes.take(o);
    }
    if (const std::size_t running = checks.running(); running > 0) {
        // The engine must not stop while a check runs: save what is there
        // and end without waiting for them.
        log_line(std::to_string(running) + " checks still running after " + std::to_string(k_stop_wait.count()) +
                 " s; their results are not kept");
        ::unlink(service_file_path(dir).c_str());
        const bool saved = uptime_save_state() == 0;
        log_line(saved ? "stopped; state saved in " + dir : std::string("error: ") + uptime_last_error() + " in '" + dir + "'");
        std::fflush(nullptr);
        std::_Exit(saved ? exit_ok : exit_failed);
    }
    checks.shut_down();
    for (const check_outcome &o : checks.poll(std::chrono::milliseconds(0))) outcomes.take(o);
    server.stop();
    ::unlink(service_file_path(dir).c_str());
    if (!engine.save(inv)) return exit_failed;
    engine.stop();
    log_line("stopped; state saved in " + dir);
    return exit_ok;
}

}  // namespace service
