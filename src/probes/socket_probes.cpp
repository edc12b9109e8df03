// The TCP, DNS and ping probes: target rules and timing, above the
// platform's resolver, connect and echo.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

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

tcp_target split_tcp_target(const char *target) {
    tcp_target out;
    const char *host_begin = target;
    size_t host_size;
    const char *port_text = nullptr;  // null: no port given
    const char *close = target[0] == '[' ? std::strchr(target, ']') : nullptr;
    if (close != nullptr) {
        // "[::1]:8080", "[127.0.0.1]": the brackets only delimit the host.
        host_begin = target + 1;
        host_size = static_cast<size_t>(close - host_begin);
        if (close[1] == ':') {
            port_text = close + 2;
        } else if (close[1] != '\0') {
            return out;  // something other than a port after the brackets
        }
    } else if (const char *colon = std::strrchr(target, ':'); colon != nullptr) {
        // At the last colon, so "::1" is host ":" and port "1".
        host_size = static_cast<size_t>(colon - target);
        port_text = colon + 1;
    } else {
        host_size = std::strlen(target);
    }
    out.host.assign(host_begin, std::min(host_size, kHostMax));
    if (port_text == nullptr) {
        out.port = "80";
        out.valid = true;
        return out;
    }
    const std::string port(port_text);
    if (!port.empty() && std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        // A number is taken only within 1..65535: the resolver would wrap
        // anything larger (83616 becomes 18080) and 0 names no port.
        unsigned long value = 0;
        for (char c : port) {
            value = value * 10 + static_cast<unsigned long>(c - '0');
            if (value > 65535) return out;
        }
        if (value == 0) return out;
        out.port = std::to_string(value);
        out.valid = true;
        return out;
    }
    // Otherwise a service name such as "https" or "postgresql": a letter, then
    // letters, digits, '-', '_' or '.'. Signs, blanks and the like are refused
    // here because the resolver would read "-1" or " 80" as numbers.
    const auto is_name_char = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
               c == '.';
    };
    const bool letter_first = (port[0] >= 'a' && port[0] <= 'z') || (port[0] >= 'A' && port[0] <= 'Z');
    if (port.empty() || !letter_first || !std::all_of(port.begin(), port.end(), is_name_char)) return out;
    out.port.assign(port, 0, kPortMax);
    out.valid = true;
    return out;
}

void check_tcp_port(const char *target, probe_result &result) {
    check_detail &d = result.detail;
    const tcp_target split = split_tcp_target(target);
    if (!split.valid) {
        d.reason = check_reason::invalid_target;
        set_detail_text(d.message, std::string_view("not host:port with a port of 1..65535 or a service name"));
        return;
    }
    // The measurement includes the name resolution.
    const double start = platform::monotonic_ms();
    std::vector<platform::resolved_address> addresses;
    std::string error;
    const bool resolved =
        platform::resolve_all(split.host.c_str(), split.port.c_str(), platform::resolve_hints::any_stream, addresses, &error);
    // Each address in the resolver's order, all within the one connect wait:
    // "localhost" may list ::1 before 127.0.0.1 while the service listens on
    // one of them only.
    const double connect_start = platform::monotonic_ms();
    d.resolve_ms = connect_start - start;
    if (!resolved) {
        d.reason = check_reason::resolve_failed;
        set_detail_text(d.message, error);
        return;
    }
    bool attempted = false;
    bool connected = false;
    bool out_of_time = false;
    platform::connect_result last;
    for (const platform::resolved_address &address : addresses) {
        const int left = kConnectWaitMs - static_cast<int>(platform::monotonic_ms() - connect_start);
        if (left <= 0) {
            out_of_time = true;
            break;
        }
        last = platform::tcp_connect(address, left);
        if (last.outcome == platform::connect_outcome::no_socket) continue;
        attempted = true;
        set_detail_text(d.address, platform::address_text(address));
        if (last.outcome == platform::connect_outcome::connected) {
            connected = true;
            break;
        }
    }
    const double end = platform::monotonic_ms();
    if (!attempted) {
        // No address of a family this host can use.
        d.reason = check_reason::connect_failed;
        set_detail_text(d.message, last.message);
        return;
    }
    d.connect_ms = end - connect_start;
    result.up = connected ? 1 : 0;
    result.latency_ms = measured_latency(start, end);
    if (connected) return;
    // The last address tried tells why; a wait used up before every
    // address was tried is a timeout whatever the others said.
    if (out_of_time || last.outcome == platform::connect_outcome::timed_out) {
        d.reason = check_reason::connect_timeout;
    } else if (last.outcome == platform::connect_outcome::refused) {
        d.reason = check_reason::connect_refused;
    } else {
        d.reason = check_reason::connect_failed;
    }
    set_detail_text(d.message, out_of_time ? std::string("no connection within 3 s") : last.message);
}

void check_dns(const char *target, probe_result &result) {
    check_detail &d = result.detail;
    // The whole target is the name: nothing (scheme, port, path) is removed.
    platform::resolved_address address;
    std::string error;
    const double start = platform::monotonic_ms();
    const bool resolved =
        platform::resolve_first(target, nullptr, platform::resolve_hints::any_stream, address, &error);
    const double end = platform::monotonic_ms();
    d.resolve_ms = end - start;
    if (!resolved) {
        result.up = 0;
        result.latency_ms = 0.0;
        d.reason = check_reason::resolve_failed;
        set_detail_text(d.message, error);
        return;
    }
    result.up = 1;
    result.latency_ms = measured_latency(start, end);
    d.reason = check_reason::ok;
    set_detail_text(d.address, platform::address_text(address));
}

void check_ping(const char *target, probe_result &result) {
    check_detail &d = result.detail;
    platform::icmp_channel *channel = platform::icmp_open();
    if (channel == nullptr) {
        check_dns(target, result);
        // Whatever the lookup gave: a host must be able to tell that no
        // echo was sent, since an address literal always "resolves".
        const std::string lookup = d.reason == check_reason::ok ? std::string("the name resolved") : d.message;
        d.reason = check_reason::icmp_unavailable;
        set_detail_text(d.message, "ICMP echo is not available here; the name lookup ran instead: " + lookup);
        return;
    }
    platform::resolved_address address;
    std::string error;
    const double start = platform::monotonic_ms();
    const bool resolved = platform::resolve_first(target, nullptr, platform::resolve_hints::ipv4_only, address, &error);
    d.resolve_ms = platform::monotonic_ms() - start;
    if (!resolved) {
        platform::icmp_close(channel);
        d.reason = check_reason::resolve_failed;
        set_detail_text(d.message, error);
        return;
    }
    set_detail_text(d.address, platform::address_text(address));
    const platform::icmp_reply reply =
        platform::icmp_echo(channel, address, kEchoPayload, sizeof kEchoPayload, kEchoTimeoutMs);
    platform::icmp_close(channel);
    if (!reply.received || reply.status != 0) {
        d.reason = check_reason::icmp_timeout;
        std::string why = reply.message;
        if (why.empty()) {
            why = reply.received ? "error reply, ICMP status " + std::to_string(reply.status)
                                 : std::string("no echo reply within 3 s");
        }
        set_detail_text(d.message, why);
        return;
    }
    result.up = 1;
    // The echo's own round trip, in whole milliseconds; never 0.
    result.latency_ms = reply.round_trip_ms > 0 ? static_cast<double>(reply.round_trip_ms) : 0.1;
    d.reason = check_reason::ok;
}

void describe_unknown_type(int type, probe_result &result) {
    result.detail.reason = check_reason::invalid_target;
    set_detail_text(result.detail.message, "unknown monitor type " + std::to_string(type) + "; nothing was probed");
}

}  // namespace vue
