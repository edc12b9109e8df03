// vantorel-uptime: the command-line host of the engine. This file reads the
// command line and hands over to one command; every command starts the
// engine on --dir, does its work and stops it, which saves the state.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli.h"
#include "serve.h"
#include "terminal.h"
#include "vantorel-uptime-engine.h"

namespace cli {

namespace {

constexpr std::string_view k_program = "vantorel-uptime";

struct option_entry {
    std::string_view name;
    bool takes_value;
};

struct command_entry {
    std::string_view name;
    std::string_view synopsis;  // after "vantorel-uptime [--dir DIR] "
    std::string_view help;      // what it does, its arguments and options
    std::span<const option_entry> options;
    int min_args;
    int max_args;  // -1: no limit
    int (*run)(const invocation &);
};

constexpr option_entry k_add_options[] = {{"interval", true}, {"json", false}};
constexpr option_entry k_json_option[] = {{"json", false}};
constexpr option_entry k_check_options[] = {{"all", false}, {"json", false}};
constexpr option_entry k_heartbeats_options[] = {{"limit", true}, {"json", false}};
constexpr option_entry k_webhook_options[] = {{"clear", false}, {"json", false}};
constexpr option_entry k_serve_options[] = {
    {"listen", true}, {"public", false}, {"save-interval", true}, {"verbose", false}};
constexpr option_entry k_watch_options[] = {{"once", false}, {"interval-override", true}, {"json", false}};

constexpr command_entry k_commands[] = {
    {"add", "add NAME TYPE TARGET [--interval SECONDS] [--json]",
     "Adds a monitor and prints its id. Creates the store when DIR has none.\n"
     "  TYPE     http, tcp, dns, ping (any case), or 0 to 3\n"
     "  TARGET   http: a URL (http:// is assumed when it has no scheme)\n"
     "           tcp:  host:port or [host]:port; the port 1 to 65535 or a\n"
     "                 service name (80 when absent)\n"
     "           dns:  a host name that must resolve\n"
     "           ping: a host name or IPv4 address\n"
     "  --interval SECONDS   how often watch checks it (default 60)\n"
     "  --json               print the new monitor as list --json shows it\n",
     k_add_options, 3, 3, run_add},
    {"delete", "delete ID [--json]",
     "Removes a monitor (its history stays in DIR/data/<id>/).\n"
     "  --json   print the removed monitor as list --json showed it\n",
     k_json_option, 1, 1, run_delete},
    {"list", "list [--json]",
     "Shows every monitor: status, latency, last check, 90-day uptime and the\n"
     "newest heartbeats, oldest left. A narrow terminal drops whole columns.\n"
     "  --json   print the engine's JSON array unchanged\n",
     k_json_option, 0, 0, run_list},
    {"show", "show ID [--json]",
     "Shows one monitor in detail: why its last check was up or down (the\n"
     "reason, the address, the HTTP status, the time of each phase), its\n"
     "certificate, how long it has been down, and the last 90 days as a bar.\n"
     "The last check is known only to the process that made it: a running\n"
     "serve, or watch; a store used by this command alone has none.\n"
     "  --json   print the engine's detail report unchanged\n",
     k_json_option, 1, 1, run_show},
    {"check", "check ID... | check --all [--json]",
     "Checks monitors now, several at once, and prints each verdict and\n"
     "latency as it comes in. Exit status 0 when every checked monitor is up,\n"
     "1 otherwise, 3 when there is no monitor to check.\n"
     "  --all    check every monitor\n"
     "  --json   print a JSON array, one result per line as it comes in\n",
     k_check_options, 0, -1, run_check},
    {"heartbeats", "heartbeats ID [--limit N] [--json]",
     "Shows the newest heartbeats of a monitor, oldest first.\n"
     "  --limit N   how many (default 20; 0 means all that are kept, up to 4096)\n"
     "  --json      print the engine's JSON array unchanged\n",
     k_heartbeats_options, 1, 1, run_heartbeats},
    {"record", "record ID STATUS LATENCY_MS [UNIX_TIME] [--json]",
     "Records a result measured elsewhere, as a heartbeat of the monitor.\n"
     "  STATUS      up, down, pending (any case), or a number (only 1 counts as up)\n"
     "  LATENCY_MS  milliseconds, 0 or more\n"
     "  UNIX_TIME   seconds since 1970, at most a day ahead (default: now)\n"
     "  --json      print the recorded heartbeat\n",
     k_json_option, 3, 4, run_record},
    {"uptime", "uptime ID [--json]",
     "Prints the share of up heartbeats over the last 90 days.\n"
     "  --json   print it unrounded, with the monitor\n",
     k_json_option, 1, 1, run_uptime},
    {"webhook", "webhook URL | webhook --clear [--json]",
     "Sets the URL that receives a JSON POST whenever a check flips a monitor\n"
     "between up and down, or removes it. Creates the store when DIR has none.\n"
     "  --clear   send no more events\n"
     "  --json    print whether a URL is set (never the URL: it may hold a token)\n",
     k_webhook_options, 0, 1, run_webhook},
    {"watch", "watch [--once] [--interval-override SECONDS] [--json]",
     "Checks every monitor at its interval, several at once, and keeps a live\n"
     "table on the screen; each flip between up and down is printed as a line\n"
     "with its time. Ctrl-C, SIGTERM or SIGHUP stops it: running checks\n"
     "finish, the state is saved, exit status 0. A second one ends it at once.\n"
     "While watch runs, other commands on DIR fail: the store is locked.\n"
     "  --once                        check everything once and exit\n"
     "                                (exit status as check --all)\n"
     "  --interval-override SECONDS   use this interval for every monitor\n"
     "  --json                        print a JSON array of every check result,\n"
     "                                one per line as it comes in\n",
     k_watch_options, 0, 0, run_watch},
    {"serve", "serve [--listen ADDRESS:PORT] [--public] [--save-interval SECONDS] [--verbose]",
     "Runs as a service: owns the store for as long as it runs, checks every\n"
     "monitor at its interval, and serves a status page (/), a JSON API\n"
     "(/api/v1/...) and Prometheus metrics (/metrics) over HTTP. Other\n"
     "commands on DIR go through it meanwhile. Changes through the API need\n"
     "the token in DIR/service.token. SIGTERM or SIGINT stops it (running\n"
     "checks finish, the state is saved, exit status 0); SIGHUP saves now.\n"
     "Logs go to stderr: one line per flip and per error. Linux only.\n"
     "  --listen ADDRESS:PORT     where to listen (default 127.0.0.1:8321; port 0:\n"
     "                            any free one). Beyond loopback, reads need the\n"
     "                            token too, unless --public\n"
     "  --public                  reads need no token; targets (which may hold\n"
     "                            credentials) are left out of the page, the\n"
     "                            API and the metrics\n"
     "  --save-interval SECONDS   save the state this often (default 60)\n"
     "  --verbose                 a line for every check, not only for flips\n",
     k_serve_options, 0, 0, service::run_serve},
};

const command_entry *find_command(std::string_view name) {
    for (const command_entry &entry : k_commands) {
        if (entry.name == name) return &entry;
    }
    return nullptr;
}

void print_command_usage(std::FILE *out, const command_entry &entry) {
    std::fprintf(out, "usage: %.*s [--dir DIR] %.*s\n", int(k_program.size()), k_program.data(),
                 int(entry.synopsis.size()), entry.synopsis.data());
}

void print_command_help(const command_entry &entry) {
    print_command_usage(stdout, entry);
    std::fprintf(stdout, "\n%.*s", int(entry.help.size()), entry.help.data());
    std::fputs("  --dir DIR            storage directory (default: the current directory)\n"
               "  --color WHEN         auto (default), always or never\n",
               stdout);
    if (entry.synopsis.find("ID") != std::string_view::npos) {
        std::fputs("\nID: a monitor id, or any unique prefix of it of at least 4 characters.\n", stdout);
    }
}

void print_global_usage(std::FILE *out) {
    std::fprintf(out, "usage: %.*s [--dir DIR] COMMAND [ARGS...]\n", int(k_program.size()), k_program.data());
}

void print_global_help() {
    print_global_usage(stdout);
    std::fputs(
        "\n"
        "Checks web sites, ports and hosts and keeps their history in DIR\n"
        "(default: the current directory).\n"
        "\n"
        "commands:\n",
        stdout);
    for (const command_entry &entry : k_commands) {
        std::fprintf(stdout, "  %.*s\n", int(entry.synopsis.size()), entry.synopsis.data());
    }
    std::fputs(
        "\n"
        "options (before or after the command):\n"
        "  --dir DIR       the store (default: the current directory). Only add,\n"
        "                  webhook and serve create one; other commands need\n"
        "                  monitors.json or config.json in DIR. While serve runs\n"
        "                  on DIR, the other commands go through it.\n"
        "  --color WHEN    auto (default: on a terminal, unless NO_COLOR is set or\n"
        "                  TERM is dumb), always or never\n"
        "  --json          every command but serve: one JSON document on stdout\n"
        "\n"
        "ID: a monitor id, or any unique prefix of it of at least 4 characters.\n"
        "Exit status: 0 done (check: all up), 1 a checked monitor is not up,\n"
        "2 wrong command line, 3 the command failed.\n"
        "'vantorel-uptime COMMAND --help' explains a command; --version shows the version;\n"
        "'man vantorel-uptime' has it all.\n",
        stdout);
}

int global_usage_error(std::string_view message) {
    std::fprintf(stderr, "%.*s: %.*s\n", int(k_program.size()), k_program.data(), int(message.size()),
                 message.data());
    print_global_usage(stderr);
    std::fputs("Try 'vantorel-uptime --help'.\n", stderr);
    return exit_usage;
}

// Edits (insert, delete, replace one character) that turn a into b.
std::size_t edit_distance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// " (did you mean 'list'?)" for a near miss among the known words, else "".
std::string suggestion(std::string_view given, const std::vector<std::string_view> &known) {
    std::string_view best;
    std::size_t best_distance = 3;  // a typo, not another word
    for (std::string_view word : known) {
        const std::size_t d = edit_distance(given, word);
        if (d < best_distance && d < word.size()) {
            best = word;
            best_distance = d;
        }
    }
    return best.empty() ? std::string() : " (did you mean '" + std::string(best) + "'?)";
}

std::string unknown_command(std::string_view name) {
    std::vector<std::string_view> names = {"help"};
    for (const command_entry &entry : k_commands) names.push_back(entry.name);
    return "unknown command '" + std::string(name) + "'" + suggestion(name, names);
}

std::string unknown_option(std::string_view token, const command_entry *entry) {
    std::vector<std::string> names = {"--dir", "--color", "--help"};
    if (entry != nullptr) {
        for (const option_entry &option : entry->options) names.push_back("--" + std::string(option.name));
    } else {
        names.push_back("--version");
        names.push_back("--json");
    }
    const std::vector<std::string_view> views(names.begin(), names.end());
    return "unknown option '" + std::string(token) + "'" + suggestion(token, views);
}

bool apply_colour_option(std::string_view value) {
    if (value == "auto") {
        set_colour_mode(colour_mode::automatic);
    } else if (value == "always") {
        set_colour_mode(colour_mode::always);
    } else if (value == "never") {
        set_colour_mode(colour_mode::never);
    } else {
        return false;
    }
    return true;
}

std::string colour_option_error(std::string_view value) {
    return "--color must be auto, always or never, not '" + std::string(value) + "'";
}

// "-1", "-2.5" or "-inf" is an argument (a status or a latency), not an option.
bool looks_like_number(std::string_view token) {
    double value = 0.0;
    auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), value);
    return ec == std::errc() && end == token.data() + token.size();
}

enum class parse_outcome { run, help, usage_error };

// Reads the command's arguments; a usage error has been reported when the
// result is usage_error.
parse_outcome parse_command_arguments(const command_entry &entry, std::span<char *const> tokens,
                                      invocation &inv) {
    bool options_ended = false;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        std::string_view token = tokens[i];
        if (options_ended || token.size() < 2 || token[0] != '-' || looks_like_number(token)) {
            inv.args.emplace_back(token);
            continue;
        }
        if (token == "--") {
            options_ended = true;
            continue;
        }
        if (token == "-h" || token == "--help") return parse_outcome::help;
        if (token.substr(0, 2) != "--") {
            usage_error(entry.name, unknown_option(token, &entry));
            return parse_outcome::usage_error;
        }
        std::string_view name = token.substr(2);
        std::optional<std::string_view> inline_value;
        if (std::size_t eq = name.find('='); eq != std::string_view::npos) {
            inline_value = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        bool takes_value = false;
        bool known = false;
        if (name == "dir" || name == "color") {
            known = takes_value = true;
        }
        for (const option_entry &option : entry.options) {
            if (option.name == name) {
                known = true;
                takes_value = option.takes_value;
            }
        }
        if (!known) {
            usage_error(entry.name, unknown_option("--" + std::string(name), &entry));
            return parse_outcome::usage_error;
        }
        std::string value;
        if (takes_value) {
            if (inline_value) {
                value = *inline_value;
            } else if (i + 1 < tokens.size()) {
                value = tokens[++i];
            } else {
                usage_error(entry.name, "option '--" + std::string(name) + "' needs a value");
                return parse_outcome::usage_error;
            }
        } else if (inline_value) {
            usage_error(entry.name, "option '--" + std::string(name) + "' takes no value");
            return parse_outcome::usage_error;
        }
        if (name == "dir") {
            inv.dir = value;
        } else if (name == "color") {
            if (!apply_colour_option(value)) {
                usage_error(entry.name, colour_option_error(value));
                return parse_outcome::usage_error;
            }
        } else {
            inv.options[std::string(name)] = value;
        }
    }
    const int count = int(inv.args.size());
    if (count < entry.min_args) {
        usage_error(entry.name, "missing arguments");
        return parse_outcome::usage_error;
    }
    if (entry.max_args >= 0 && count > entry.max_args) {
        usage_error(entry.name, "too many arguments: '" + inv.args[std::size_t(entry.max_args)] + "'");
        return parse_outcome::usage_error;
    }
    return parse_outcome::run;
}

int run_main(int argc, char **argv) {
    std::span<char *const> tokens(argv + 1, argc > 0 ? std::size_t(argc - 1) : 0);
    invocation inv;
    std::size_t i = 0;
    for (; i < tokens.size(); ++i) {
        std::string_view token = tokens[i];
        if (token == "-h" || token == "--help") {
            print_global_help();
            return exit_ok;
        }
        if (token == "--version") {
            std::printf("vantorel-uptime %s\n", VANTOREL_UPTIME_ENGINE_VERSION);
            return exit_ok;
        }
        if (token == "--json") {
            // Every command has a --json form, so it may come first too.
            inv.options["json"] = "";
        } else if (token == "--dir") {
            if (i + 1 >= tokens.size()) return global_usage_error("option '--dir' needs a value");
            inv.dir = tokens[++i];
        } else if (token.starts_with("--dir=")) {
            inv.dir = token.substr(6);
        } else if (token == "--color" || token.starts_with("--color=")) {
            std::string_view value;
            if (token == "--color") {
                if (i + 1 >= tokens.size()) return global_usage_error("option '--color' needs a value");
                value = tokens[++i];
            } else {
                value = token.substr(8);
            }
            if (!apply_colour_option(value)) return global_usage_error(colour_option_error(value));
        } else if (token.starts_with("-")) {
            return global_usage_error(unknown_option(token, nullptr));
        } else {
            break;
        }
    }
    if (i == tokens.size()) return global_usage_error("missing command");
    std::string_view name = tokens[i++];
    if (name == "help") {
        if (i == tokens.size()) {
            print_global_help();
            return exit_ok;
        }
        const command_entry *entry = find_command(tokens[i]);
        if (entry == nullptr) return global_usage_error(unknown_command(tokens[i]));
        print_command_help(*entry);
        return exit_ok;
    }
    const command_entry *entry = find_command(name);
    if (entry == nullptr) return global_usage_error(unknown_command(name));
    inv.command = entry->name;
    switch (parse_command_arguments(*entry, tokens.subspan(i), inv)) {
    case parse_outcome::help:
        print_command_help(*entry);
        return exit_ok;
    case parse_outcome::usage_error:
        return exit_usage;
    case parse_outcome::run:
        break;
    }
    ignore_broken_pipe();
    return entry->run(inv);
}

}  // namespace

}  // namespace cli

int host::usage_error(std::string_view command, std::string_view message) {
    std::fprintf(stderr, "%.*s: %.*s\n", int(command.size()), command.data(), int(message.size()),
                 message.data());
    if (const cli::command_entry *entry = cli::find_command(command)) {
        cli::print_command_usage(stderr, *entry);
        std::fprintf(stderr, "Try 'vantorel-uptime %.*s --help'.\n", int(command.size()), command.data());
    }
    return host::exit_usage;
}

int main(int argc, char **argv) {
    try {
        int status = cli::run_main(argc, argv);
        if ((std::fflush(stdout) != 0 || std::ferror(stdout)) && status == cli::exit_ok) {
            // A reader that went away (`| head -1`) needs no message.
            if (errno != EPIPE) std::fprintf(stderr, "vantorel-uptime: cannot write the output: %s\n", std::strerror(errno));
            status = cli::exit_failed;
        }
        return status;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "vantorel-uptime: %s\n", e.what());
        return cli::exit_failed;
    }
}
