// The check cycle's probes and the status-change event.
#pragma once

#include <cstdint>
#include <string>

namespace vue {

// The outcome of one probe. Every probe starts from 0 / 0.0.
struct probe_result {
    int up = 0;               // 1 when the target answered as required, else 0
    double latency_ms = 0.0;  // 0.0 when the probe failed before measuring
};

// The latency of a measured span: end - start, or 0.1 when the clock did not
// move, so a measured latency is never 0.
double measured_latency(double start_ms, double end_ms);

void check_http(const char *target, probe_result &result);
void check_tcp_port(const char *target, probe_result &result);
void check_dns(const char *target, probe_result &result);
void check_ping(const char *target, probe_result &result);

// The URL a probe of `target` requests: the target itself when it starts
// with a lower-case "http://" or "https://", else "http://" + target; at
// most 1023 bytes.
std::string http_probe_url(const char *target);

// Splits a TCP target at its last ':' into host (at most 255 bytes) and port
// (at most 15 bytes; "80" when there is no colon).
void split_host_port(const char *target, std::string &host, std::string &port);

// The exact event body, one line of JSON; id and name escaped, latency with
// two decimals. Never cut, however long the escaped texts grow.
std::string status_change_body(const char *monitor_id, const char *name, int status, double latency_ms,
                               int64_t timestamp);

// Posts the "status_change" event. Blocks until delivered or failed; never
// reports anything.
void send_webhook(const char *url, const char *monitor_id, const char *name, int status, double latency_ms,
                  int64_t timestamp);

}  // namespace vue
