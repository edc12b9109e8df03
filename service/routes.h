// The service's API, status page and metrics: one table of routes and thin
// handlers that read the request, call the engine (or the scheduler) and
// render. Everything they share is in a service_context.
#ifndef VANTOREL_UPTIME_SERVICE_ROUTES_H
#define VANTOREL_UPTIME_SERVICE_ROUTES_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "http_server.h"
#include "scheduler.h"

namespace service {

// Checks made by this process, by monitor: the metrics' counters.
class check_counters {
public:
    void count(const std::string &id, bool up);
    std::pair<std::int64_t, std::int64_t> of(const std::string &id) const;  // up, down

private:
    mutable std::mutex lock_;
    std::map<std::string, std::pair<std::int64_t, std::int64_t>> counts_;
};

struct service_context {
    std::string dir;    // the store
    std::string token;  // what Authorization: Bearer must carry for a change
    // --public: reads are open to every client and targets (which may hold
    // credentials) are left out of the page, the API and the metrics.
    bool public_mode = false;
    host::scheduler *checks = nullptr;
    check_counters counters;
    // The scheduler's loop marks each turn; /healthz says ok while it turns.
    std::atomic<std::int64_t> loop_alive_ms{0};
    // One change at a time: the engine's last-error text is process-wide,
    // and each change is saved before it is answered.
    std::mutex change_lock;
};

// The milliseconds of a steady clock, for loop_alive_ms.
std::int64_t steady_ms();

// Answers one request by the route table.
std::optional<http_response> route_request(service_context &context, const http_request &request,
                                           const http_responder &later);

}  // namespace service

#endif
