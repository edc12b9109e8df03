// The engine started on a storage directory for the life of a command (or
// of the service), with the checks a command makes before it starts it.
#ifndef VANTOREL_UPTIME_HOST_ENGINE_SESSION_H
#define VANTOREL_UPTIME_HOST_ENGINE_SESSION_H

#include <optional>
#include <string>

#include "command.h"
#include "service_file.h"

namespace host {

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

    // Starts on inv.dir. On failure prints "<command>: <reason>" and returns
    // false; but when `served` is given and a running serve owns the store,
    // prints nothing, sets *served and returns false.
    [[nodiscard]] bool start(const invocation &inv, store_use use, bool *served = nullptr);
    // Writes the whole state now. A command that changed the store calls
    // this before it reports success; on failure it prints
    // "<command>: <reason>" and returns false.
    [[nodiscard]] bool save(const invocation &inv);
    // Saves and stops now rather than at the end of the scope.
    void stop();

private:
    bool started_ = false;
};

// The service that owns the store in dir, if one does: its file names the
// process that holds the store's lock.
std::optional<service_info> serving_service(const std::string &dir);

// The storage directory as the user gave it, "." when empty.
std::string storage_dir(const invocation &inv);

}  // namespace host

#endif
