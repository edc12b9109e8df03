#include "core/check_detail.h"

#include <cstring>
#include <string>
#include <string_view>

#include "core/utf8.h"

namespace vue {

const char *check_reason_name(check_reason reason) {
    switch (reason) {
        case check_reason::ok: return "ok";
        case check_reason::invalid_target: return "invalid_target";
        case check_reason::resolve_failed: return "resolve_failed";
        case check_reason::connect_refused: return "connect_refused";
        case check_reason::connect_timeout: return "connect_timeout";
        case check_reason::connect_failed: return "connect_failed";
        case check_reason::tls_failed: return "tls_failed";
        case check_reason::request_failed: return "request_failed";
        case check_reason::response_timeout: return "response_timeout";
        case check_reason::http_status: return "http_status";
        case check_reason::too_many_redirects: return "too_many_redirects";
        case check_reason::insecure_redirect: return "insecure_redirect";
        case check_reason::icmp_timeout: return "icmp_timeout";
        case check_reason::icmp_unavailable: return "icmp_unavailable";
    }
    return "request_failed";  // unreachable: every value is named above
}

check_detail empty_check_detail() {
    check_detail d;
    std::memset(&d, 0, sizeof d);
    d.reason = check_reason::ok;
    d.resolve_ms = d.connect_ms = d.tls_ms = d.first_byte_ms = -1.0;
    return d;
}

void set_detail_text(char *dest, size_t dest_size, const char *text, size_t length) {
    std::string clean;
    clean.reserve(length < dest_size ? length : dest_size);
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    const unsigned char *end = p + length;
    // Far more input than fits is never looked at.
    while (p < end && clean.size() < dest_size) {
        const unsigned char c = *p;
        if (c < 0x20 || c == 0x7F) {
            if (!clean.empty() && clean.back() != ' ') clean += ' ';
            ++p;
            continue;
        }
        if (c < 0x80) {
            clean += static_cast<char>(c);
            ++p;
            continue;
        }
        const size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        const size_t left = static_cast<size_t>(end - p);
        if (need > 1 && need <= left && utf8_is_valid(std::string_view(reinterpret_cast<const char *>(p), need))) {
            clean.append(reinterpret_cast<const char *>(p), need);
            p += need;
        } else {
            clean += '?';
            ++p;
        }
    }
    size_t n = utf8_cut_length(clean, dest_size - 1);
    while (n > 0 && clean[n - 1] == ' ') --n;
    std::memcpy(dest, clean.data(), n);
    dest[n] = '\0';
}

}  // namespace vue
