// The store as a command uses it: the engine in this process, or, when a
// running `serve` owns the store, that service's API, so that a change made
// while it runs is its change and nothing is lost. The commands do the same
// either way; the texts they read are the same reports.
#ifndef VANTOREL_UPTIME_CLI_STORE_CLIENT_H
#define VANTOREL_UPTIME_CLI_STORE_CLIENT_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "check_pool.h"
#include "command.h"
#include "engine_session.h"
#include "rows.h"

namespace cli {

using namespace host;

// What became of a change.
struct change_result {
    bool done = false;
    std::string error;         // the engine's text, or why the service could not be asked
    bool save_failed = false;  // done, but not saved (the service answered 500)
    std::string id;            // add: the new monitor
};

class store_client {
public:
    // Opens the store in inv.dir. On failure prints "<command>: <reason>"
    // and returns false.
    [[nodiscard]] bool open(const invocation &inv, store_use use);
    // A running serve owns the store: everything goes through it.
    bool served() const { return service_.has_value(); }
    const service_info &service() const { return *service_; }

    std::string list_json();
    std::vector<monitor_row> monitors();
    std::string heartbeats_json(const std::string &id, int limit);
    std::vector<heartbeat_row> heartbeats(const std::string &id, int limit);
    // Nothing, with the reason in `error`, when the monitor is not found.
    std::optional<std::string> detail_json(const std::string &id, std::string &error);
    std::optional<detail_row> detail(const std::string &id);

    change_result add(const std::string &name, int type, const std::string &target, int interval_sec);
    change_result remove(const std::string &id);
    change_result record(const std::string &id, int status, double latency_ms, std::int64_t time);
    change_result set_webhook(const std::string &url);  // "" removes it
    // A check now; any thread may ask.
    check_outcome check(const std::string &id);
    check_pool::check_function checker();

    // A command that changed the store saves it before it says so: here,
    // or (through a service) the service did before it answered.
    [[nodiscard]] bool save(const invocation &inv);
    // Saves and stops the engine now (nothing through a service).
    void close();

private:
    std::string url(const std::string &path) const;
    std::string dir_;
    engine_session engine_;
    std::optional<service_info> service_;
    std::string token_;
};

}  // namespace cli

#endif
