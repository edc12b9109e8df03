// The TCP, DNS and ping probes: target rules and timing, above the
// platform's resolver, connect and echo.
#include <cstring>
#include <string>

#include "platform/fault.h"
#include "platform/platform.h"
#include "probes/probes.h"

namespace vue {
namespace {

constexpr int kConnectWaitMs = 3000;
constexpr int kEchoTimeoutMs = 3000;
constexpr size_t kHostMax = 255;
constexpr size_t kPortMax = 15;

// 27 characters and 5 zero bytes: all 32 are sent.
constexpr unsigned char kEchoPayload[32] = {'v', 'a', 'n', 't', 'o', 'r', 'e', 'l', '-', 'u', 'p',
                                            't', 'i', 'm', 'e', '-', 'e', 'n', 'g', 'i', 'n', 'e',
                                            '-', 'p', 'i', 'n', 'g', 0,   0,   0,   0,   0};

}  // namespace

void split_host_port(const char *target, std::string &host, std::string &port) {
    // At the last colon, so "::1" is host ":" and port "1", and a bracketed
    // address keeps its brackets.
    const char *colon = std::strrchr(target, ':');
    if (colon == nullptr) {
        host.assign(target, std::min(std::strlen(target), kHostMax));
        port = "80";
        return;
    }
    host.assign(target, std::min(static_cast<size_t>(colon - target), kHostMax));
    port.assign(colon + 1, std::min(std::strlen(colon + 1), kPortMax));
}

void check_tcp_port(const char *target, probe_result &result) {
    std::string host, port;
    split_host_port(target, host, port);
    // The measurement includes the name resolution.
    const double start = platform::monotonic_ms();
    platform::resolved_address address;
    if (!platform::resolve_first(host.c_str(), port.c_str(), platform::resolve_hints::any_stream, address)) return;
    const platform::connect_outcome outcome = platform::tcp_connect(address, kConnectWaitMs);
    const double end = platform::monotonic_ms();
    if (outcome == platform::connect_outcome::no_socket) return;
    result.up = outcome == platform::connect_outcome::connected ? 1 : 0;
    result.latency_ms = measured_latency(start, end);
}

void check_dns(const char *target, probe_result &result) {
    // The whole target is the name: nothing (scheme, port, path) is removed.
    platform::resolved_address address;
    const double start = platform::monotonic_ms();
    const bool resolved = platform::resolve_first(target, nullptr, platform::resolve_hints::any_stream, address);
    const double end = platform::monotonic_ms();
    if (!resolved) {
        result.up = 0;
        result.latency_ms = 0.0;
        return;
    }
    result.up = 1;
    result.latency_ms = measured_latency(start, end);
}

void check_ping(const char *target, probe_result &result) {
    platform::icmp_channel *channel = platform::icmp_open();
    if (channel == nullptr) {
        check_dns(target, result);
        return;
    }
    platform::resolved_address address;
    if (!platform::resolve_first(target, nullptr, platform::resolve_hints::ipv4_only, address)) {
        platform::icmp_close(channel);
        return;
    }
    const platform::icmp_reply reply =
        platform::icmp_echo(channel, address, kEchoPayload, sizeof kEchoPayload, kEchoTimeoutMs);
    platform::icmp_close(channel);
    if (!reply.received || reply.status != 0) return;
    result.up = 1;
    // The echo's own round trip, in whole milliseconds; never 0.
    result.latency_ms = reply.round_trip_ms > 0 ? static_cast<double>(reply.round_trip_ms) : 0.1;
}

}  // namespace vue
