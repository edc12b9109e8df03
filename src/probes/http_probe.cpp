// The HTTP(S) probe and the status-change webhook: the rules of both, above
// the platform's one HTTP exchange.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/engine_state.h"
#include "platform/platform.h"
#include "probes/probes.h"

namespace vue {
namespace {

constexpr int kProbeResolveMs = 3000, kProbeConnectMs = 3000, kProbeSendMs = 5000, kProbeReceiveMs = 5000;
constexpr int kWebhookStageMs = 3000;

// `prefix` in lower case.
bool starts_with_nocase(const char *text, const char *prefix) {
    for (; *prefix != '\0'; ++text, ++prefix) {
        const char c = *text >= 'A' && *text <= 'Z' ? static_cast<char>(*text + ('a' - 'A')) : *text;
        if (c != *prefix) return false;
    }
    return true;
}

// JSON string contents: quotation mark, reverse solidus and control bytes
// escaped; every other byte, UTF-8 included, passes unchanged.
void append_json_escaped(std::string &out, const char *text) {
    for (const char *p = text; *p != '\0'; ++p) {
        auto c = static_cast<unsigned char>(*p);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u%04X", c);
                    out += escape;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
}

// The URL as it goes to the HTTP layer: without its fragment, which never
// reaches a server, and with the "/" that a query needs when the URL has no
// path ("http://host?x" asks for "/?x"), so that no HTTP layer drops either.
std::string request_url(const std::string &url) {
    std::string out = url.substr(0, url.find('#'));
    const size_t scheme_end = out.find("://");
    if (scheme_end == std::string::npos) return out;
    const size_t authority_end = out.find_first_of("/?", scheme_end + 3);
    if (authority_end != std::string::npos && out[authority_end] == '?') out.insert(authority_end, "/");
    return out;
}

void append_number(std::string &out, int64_t value) {
    char digits[24];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, static_cast<size_t>(end - digits));
}

}  // namespace

std::string http_probe_url(const char *target) {
    // "HTTP://host/" is as much a scheme as "http://host/": the scheme is
    // compared without regard to case and written in lower case. Anything
    // else is taken as a host and gets "http://" in front.
    const size_t length = std::strlen(target);
    size_t scheme = 0;
    if (starts_with_nocase(target, "http://")) scheme = 4;
    if (starts_with_nocase(target, "https://")) scheme = 5;
    std::string url;
    if (scheme != 0) {
        url.assign(target, std::min(length, WEBHOOK_URL_SIZE - 1));
        for (size_t i = 0; i < scheme; ++i) url[i] = static_cast<char>(url[i] | 0x20);
    } else {
        url = "http://";
        url += target;
        if (url.size() > WEBHOOK_URL_SIZE - 1) url.resize(WEBHOOK_URL_SIZE - 1);
    }
    return url;
}

namespace {

check_reason reason_of(platform::http_failure failure) {
    switch (failure) {
        case platform::http_failure::none: return check_reason::ok;
        case platform::http_failure::no_session: return check_reason::request_failed;
        case platform::http_failure::resolve_failed: return check_reason::resolve_failed;
        case platform::http_failure::connect_refused: return check_reason::connect_refused;
        case platform::http_failure::connect_timeout: return check_reason::connect_timeout;
        case platform::http_failure::connect_failed: return check_reason::connect_failed;
        case platform::http_failure::tls_failed: return check_reason::tls_failed;
        case platform::http_failure::request_failed: return check_reason::request_failed;
        case platform::http_failure::response_timeout: return check_reason::response_timeout;
        case platform::http_failure::too_many_redirects: return check_reason::too_many_redirects;
    }
    return check_reason::request_failed;
}

// Everything the exchange told, whatever its verdict.
void describe_exchange(const platform::http_result &exchange, check_detail &d) {
    set_detail_text(d.address, exchange.address);
    d.resolve_ms = exchange.resolve_ms;
    d.connect_ms = exchange.connect_ms;
    d.tls_ms = exchange.tls_ms;
    d.first_byte_ms = exchange.first_byte_ms;
    d.has_redirects = exchange.redirects_known;
    d.redirects = exchange.redirects;
    if (exchange.failure == platform::http_failure::none) {
        d.has_http_status = true;
        d.http_status = static_cast<int32_t>(exchange.status);
    }
    if (exchange.certificate.present) {
        d.has_certificate = true;
        d.cert_not_after = exchange.certificate.not_after;
        set_detail_text(d.cert_subject, exchange.certificate.subject);
        set_detail_text(d.cert_issuer, exchange.certificate.issuer);
    }
    d.reason = reason_of(exchange.failure);
    if (exchange.failure == platform::http_failure::none) {
        if (exchange.insecure_redirect) {
            d.reason = check_reason::insecure_redirect;
            set_detail_text(d.message, std::string_view("redirect from https to http not followed"));
        } else if (exchange.status < 200 || exchange.status > 399) {
            d.reason = check_reason::http_status;
            std::string text = "HTTP " + std::to_string(exchange.status);
            if (!exchange.status_text.empty()) text += " " + exchange.status_text;
            set_detail_text(d.message, text);
        }
        return;
    }
    if (!exchange.message.empty()) {
        set_detail_text(d.message, exchange.message);
    } else if (exchange.failure == platform::http_failure::no_session) {
        set_detail_text(d.message, std::string_view("the HTTP layer could not be set up"));
    }
}

}  // namespace

void check_http(const char *target, probe_result &result) {
    const std::string url = request_url(http_probe_url(target));
    platform::http_url_parts parts;
    if (!platform::http_split_url(url.c_str(), parts)) {
        result.detail.reason = check_reason::invalid_target;
        set_detail_text(result.detail.message, std::string_view("not a usable http or https URL"));
        return;
    }

    platform::http_request request;
    request.url = &parts;
    request.method = "GET";
    request.resolve_timeout_ms = kProbeResolveMs;
    request.connect_timeout_ms = kProbeConnectMs;
    request.send_timeout_ms = kProbeSendMs;
    request.receive_timeout_ms = kProbeReceiveMs;
    request.ignore_wrong_usage = true;

    const double start = platform::monotonic_ms();
    const platform::http_result exchange = platform::http_exchange(request);
    const double end = platform::monotonic_ms();
    describe_exchange(exchange, result.detail);
    if (exchange.failure == platform::http_failure::no_session) return;
    result.latency_ms = measured_latency(start, end);
    // Only a complete response head counts; a redirect refused from https
    // to http is itself that response.
    const bool answered = exchange.failure == platform::http_failure::none;
    result.up = answered && exchange.status >= 200 && exchange.status <= 399 ? 1 : 0;
}

std::string status_change_body(const char *monitor_id, const char *name, int status, double latency_ms,
                               int64_t timestamp) {
    std::string body = "{\"event\":\"status_change\",\"monitor_id\":\"";
    append_json_escaped(body, monitor_id);
    body += "\",\"name\":\"";
    append_json_escaped(body, name);
    body += "\",\"status\":";
    append_number(body, status);
    body += ",\"status_text\":\"";
    body += status == 1 ? "UP" : "DOWN";
    body += "\",\"latency_ms\":";
    // Two decimals, rounded from the exact binary value, and always a '.':
    // the host's LC_NUMERIC must not turn the event into invalid JSON.
    char latency[400];
    auto [end, ec] = std::to_chars(latency, latency + sizeof latency, latency_ms, std::chars_format::fixed, 2);
    body.append(latency, ec == std::errc() ? static_cast<size_t>(end - latency) : 0);
    body += ",\"timestamp\":";
    append_number(body, timestamp);
    body += "}";
    return body;
}

void send_webhook(const char *url, const char *monitor_id, const char *name, int status, double latency_ms,
                  int64_t timestamp) {
    const std::string body = status_change_body(monitor_id, name, status, latency_ms, timestamp);
    if (url[0] == '\0') return;
    // Unlike a probe target, the URL is used as given: without a scheme it
    // does not split and nothing is sent.
    platform::http_url_parts parts;
    if (!platform::http_split_url(request_url(url).c_str(), parts)) return;

    platform::http_request request;
    request.url = &parts;
    request.method = "POST";
    request.content_type = "application/json";
    request.body = body.data();
    request.body_size = body.size();
    request.resolve_timeout_ms = kWebhookStageMs;
    request.connect_timeout_ms = kWebhookStageMs;
    request.send_timeout_ms = kWebhookStageMs;
    request.receive_timeout_ms = kWebhookStageMs;
    request.ignore_wrong_usage = false;  // a certificate that is not for servers is refused here
    platform::http_exchange(request);  // delivery is one attempt; its outcome changes nothing
}

}  // namespace vue
