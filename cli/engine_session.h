// The CLI's view of the engine: starting and stopping it around a command,
// and the engine's JSON reports read into rows.
#ifndef VANTOREL_UPTIME_CLI_ENGINE_SESSION_H
#define VANTOREL_UPTIME_CLI_ENGINE_SESSION_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli.h"

namespace cli {

// One element of uptime_monitors_list_json().
struct monitor_row {
    std::string id;
    std::string name;
    int type = 0;
    std::string type_name;
    std::string target;
    int interval_sec = 60;
    int status = 2;
    double latency_ms = 0.0;
    std::int64_t last_check = 0;  // Unix seconds; 0: never checked
    double uptime_90d = 100.0;
};

// One element of uptime_get_heartbeats_json().
struct heartbeat_row {
    std::int64_t time = 0;
    int status = 0;
    double latency_ms = 0.0;
};

// What a command needs of the storage directory. A store is a directory
// that holds monitors.json or config.json, which every add and webhook
// leaves behind. Only those two commands create one: any other command on a
// directory without a store fails, so that a mistyped --dir is not taken for
// an empty store (and nothing is created there).
enum class store_use { existing, create };

// Starts the engine for one command and stops it (saving everything) when
// it goes out of scope. Anything that calls the engine from other threads
// must have joined them before this is destroyed: the engine must not stop
// while a check runs.
class engine_session {
public:
    engine_session() = default;
    engine_session(const engine_session &) = delete;
    engine_session &operator=(const engine_session &) = delete;
    ~engine_session();

    // Starts on inv.dir. On failure prints "<command>: <reason>" and returns false.
    [[nodiscard]] bool start(const invocation &inv, store_use use);
    // Writes the whole state now. A command that changed the store calls
    // this before it reports success; on failure it prints
    // "<command>: <reason>" and returns false.
    [[nodiscard]] bool save(const invocation &inv);
    // Saves and stops now rather than at the end of the scope.
    void stop();

private:
    bool started_ = false;
};

// The storage directory as the user gave it, "." when empty.
std::string storage_dir(const invocation &inv);

// The reports copied out at once: the engine's text is only valid until the
// next call of the same report function.
std::vector<monitor_row> read_monitors();
std::vector<heartbeat_row> read_heartbeats(const std::string &id, int limit);

// Finds the monitor a user means by an id or a unique prefix of at least
// 4 characters (case does not matter). Otherwise prints why on stderr,
// prefixed by the command, stores the exit status and returns nothing.
std::optional<std::string> resolve_monitor_id(std::string_view command, std::string_view given,
                                              const std::vector<monitor_row> &monitors, int &status);

const monitor_row *find_monitor(const std::vector<monitor_row> &monitors, std::string_view id);

// "http", "tcp", "dns", "ping", or the number of any other type.
std::string type_label(int type);
// The four types by name (any case) or number (0 to 3); nothing otherwise.
std::optional<int> parse_type(std::string_view text);

}  // namespace cli

#endif
