// The check cycle's probes and the status-change event.
#pragma once

#include <cstdint>
#include <string>

#include "core/check_detail.h"

namespace vue {

// The outcome of one probe. Every probe starts from 0 / 0.0. The detail
// says why; it never changes the verdict or the latency, which follow their
// own rules.
struct probe_result {
    int up = 0;               // 1 when the target answered as required, else 0
    double latency_ms = 0.0;  // 0.0 when the probe failed before measuring
    // Filled by the probe: reason, message, address, status, redirects,
    // phases, certificate. The check cycle adds the time and the outcome.
    check_detail detail = empty_check_detail();
};

// What a check of a monitor of an unknown type reports: nothing probed.
void describe_unknown_type(int type, probe_result &result);

// The latency of a measured span: end - start, or 0.1 when the clock did not
// move, so a measured latency is never 0.
double measured_latency(double start_ms, double end_ms);

void check_http(const char *target, probe_result &result);
void check_tcp_port(const char *target, probe_result &result);
void check_dns(const char *target, probe_result &result);
void check_ping(const char *target, probe_result &result);

// The URL a probe of `target` requests: the target itself when it starts
// with "http://" or "https://" in any case (the scheme then written in lower
// case), else "http://" + target; at most 1023 bytes.
std::string http_probe_url(const char *target);

// A TCP target's host and port. The host is the text before the last ':'
// (at most 255 bytes), or the text inside leading brackets ("[::1]:8080",
// "[127.0.0.1]"); the port is "80" when none is given. `valid` is false, and
// nothing is to be contacted, when the port is a number outside 1..65535,
// empty, or neither a number nor a service name (a letter, then letters,
// digits, '-', '_' or '.'; at most 15 bytes are kept), or when something
// other than ":port" follows the brackets.
struct tcp_target {
    bool valid = false;
    std::string host;
    std::string port;  // decimal without leading zeros, or a service name
};
tcp_target split_tcp_target(const char *target);

// The exact event body, one line of JSON; id and name escaped, latency with
// two decimals. Never cut, however long the escaped texts grow.
std::string status_change_body(const char *monitor_id, const char *name, int status, double latency_ms,
                               int64_t timestamp);

// Posts the "status_change" event. Blocks until delivered or failed; never
// reports anything.
void send_webhook(const char *url, const char *monitor_id, const char *name, int status, double latency_ms,
                  int64_t timestamp);

}  // namespace vue
