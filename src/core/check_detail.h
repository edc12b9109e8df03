// Why the last check of a monitor came out as it did. Kept in memory only,
// inside the monitor's record (so it moves with it when an earlier monitor
// is deleted); it never reaches a file, so a start begins without one.
// Fixed-size texts, because the record is copied and moved as plain bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vue {

// The closed set of reasons. The numbers are internal; hosts see the names
// (check_reason_name), which are part of the public contract.
enum class check_reason : int32_t {
    ok,                  // up
    invalid_target,      // nothing could be contacted: bad URL or port, unknown monitor type
    resolve_failed,      // the name did not resolve
    connect_refused,     // the host answered that nothing listens there
    connect_timeout,     // no connection within the limit
    connect_failed,      // any other failure to connect
    tls_failed,          // the TLS handshake failed
    request_failed,      // sending, or the response ended or was too large before its head was whole
    response_timeout,    // no complete response head within the limit
    http_status,         // a final status outside 200..399
    too_many_redirects,  // still a redirect after ten
    insecure_redirect,   // https redirected to http; the redirect itself was judged
    icmp_timeout,        // no successful echo reply
    icmp_unavailable,    // no ICMP here; the name lookup ran instead
};

const char *check_reason_name(check_reason reason);

constexpr size_t DETAIL_TEXT_SIZE = 256;     // message, subject, issuer: 255 bytes and a zero
constexpr size_t DETAIL_ADDRESS_SIZE = 64;   // a numeric IPv4 or IPv6 address

// Every member is valid as all zero bytes, which is "no check yet".
struct check_detail {
    bool present;                       // false until the engine's first check since start
    int64_t time;                       // the check's heartbeat time, Unix seconds
    int32_t up;                         // the check's outcome, 1 or 0
    check_reason reason;
    char message[DETAIL_TEXT_SIZE];     // one line of valid UTF-8; "" for ok
    char address[DETAIL_ADDRESS_SIZE];  // "" when unknown
    bool has_http_status;
    int32_t http_status;
    bool has_redirects;
    int32_t redirects;
    // Milliseconds; negative where the phase does not apply or is not known.
    double resolve_ms;
    double connect_ms;
    double tls_ms;
    double first_byte_ms;
    bool has_certificate;
    int64_t cert_not_after;             // Unix seconds
    char cert_subject[DETAIL_TEXT_SIZE];
    char cert_issuer[DETAIL_TEXT_SIZE];
};

// A detail with nothing known yet: no status, no redirects, no phases.
check_detail empty_check_detail();

// Copies `text` into a detail text field: one line (control characters
// become spaces), bytes that are not UTF-8 become '?', and a text longer
// than the field is cut at a whole character. Texts from servers and OS
// layers end up in JSON, which needs all of this.
void set_detail_text(char *dest, size_t dest_size, const char *text, size_t length);
template <size_t N, typename Text>
void set_detail_text(char (&dest)[N], const Text &text) {
    set_detail_text(dest, N, text.data(), text.size());
}

}  // namespace vue
