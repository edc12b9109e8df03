// Windows backend: one synchronous WinHTTP exchange. WinHTTP's own defaults
// give the redirect rule (at most 10 hops, never from https to http, bodies
// of any framing) and a response whose body is simply never read; it takes a
// status only from a complete response head.
//
// What a report wants to know beyond the verdict comes from WinHTTP's
// status notifications (which phase was under way, its times, the address,
// the redirects, why a certificate was refused), from the request times of
// newer Windows versions (the TLS handshake) and from the server's
// certificate context; anything they do not give stays unknown.
#include <windows.h>
#include <winhttp.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace vue::platform {
namespace {

constexpr wchar_t kUserAgent[] = L"vantorel-uptime-engine/1.0";
// Unknown CA, wrong usage, wrong name, outside the dates.
constexpr DWORD kProbeSecurityFlags = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE |
                                      SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
// The same without wrong usage: a webhook receiver must hold a server certificate.
constexpr DWORD kWebhookSecurityFlags =
    SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;

std::wstring widen(const std::string &utf8) {
    int units = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    if (units <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide.data(), units);
    wide.resize(static_cast<size_t>(units - 1));
    return wide;
}

std::string narrow(const wchar_t *wide, size_t units) {
    if (units == 0) return std::string();
    int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(units), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0) WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(units), out.data(), bytes, nullptr, nullptr);
    return out;
}

// The system's text for a WinHTTP error, on one line; where the system has
// none, a short one of our own for the errors a check meets.
std::string winhttp_text(DWORD error) {
    wchar_t buffer[256] = {};
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, GetModuleHandleW(L"winhttp.dll"),
                             error, 0, buffer, 256, nullptr);
    std::string text = narrow(buffer, n);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    if (!text.empty()) return text;
    const char *known = nullptr;
    switch (error) {
        case ERROR_WINHTTP_TIMEOUT: known = "the operation timed out"; break;
        case ERROR_WINHTTP_NAME_NOT_RESOLVED: known = "the server name could not be resolved"; break;
        case ERROR_WINHTTP_CANNOT_CONNECT: known = "a connection with the server could not be established"; break;
        case ERROR_WINHTTP_CONNECTION_ERROR: known = "the connection with the server was reset or ended"; break;
        case ERROR_WINHTTP_INVALID_SERVER_RESPONSE: known = "the server response could not be parsed"; break;
        case ERROR_WINHTTP_SECURE_FAILURE: known = "the server's certificate was refused"; break;
        case ERROR_WINHTTP_SECURE_CHANNEL_ERROR: known = "the secure channel could not be set up"; break;
        case ERROR_WINHTTP_REDIRECT_FAILED: known = "the redirect failed or there were too many"; break;
        default: break;
    }
    const std::string number = "WinHTTP error " + std::to_string(error);
    return known != nullptr ? number + ": " + known : number;
}

// --- Status notifications ----------------------------------------------------

// The events of the current request of one exchange, in monotonic_ms;
// negative until they happen. A redirect starts a new request.
struct exchange_trace {
    double resolving = -1, resolved = -1, connecting = -1, connected = -1, sending = -1, sent = -1, answered = -1;
    int redirects = 0;
    std::string address;      // of the latest connection attempt
    DWORD secure_failure = 0;  // WINHTTP_CALLBACK_STATUS_FLAG_* of a refused certificate
};

// Notifications may come from WinHTTP's own threads, and in rare cases
// (a name resolution that outlived its limit) after the call that caused
// them has returned. They find their exchange here by number, never through
// a pointer that may be gone.
std::mutex s_traces_lock;
std::vector<std::pair<uint64_t, exchange_trace *>> s_traces;
uint64_t s_last_trace = 0;

class trace_registration {
public:
    explicit trace_registration(exchange_trace &trace) {
        std::lock_guard<std::mutex> guard(s_traces_lock);
        id_ = ++s_last_trace;
        s_traces.emplace_back(id_, &trace);
    }
    // After this no notification reaches the trace any more.
    ~trace_registration() {
        std::lock_guard<std::mutex> guard(s_traces_lock);
        s_traces.erase(std::remove_if(s_traces.begin(), s_traces.end(), [&](const auto &e) { return e.first == id_; }),
                       s_traces.end());
    }
    trace_registration(const trace_registration &) = delete;
    trace_registration &operator=(const trace_registration &) = delete;
    DWORD_PTR context() const { return static_cast<DWORD_PTR>(id_); }

private:
    uint64_t id_ = 0;
};

void CALLBACK on_status(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length) {
    const double now = monotonic_ms();
    std::lock_guard<std::mutex> guard(s_traces_lock);
    auto found = std::find_if(s_traces.begin(), s_traces.end(),
                              [&](const auto &e) { return e.first == static_cast<uint64_t>(context); });
    if (found == s_traces.end()) return;
    exchange_trace &t = *found->second;
    switch (status) {
        case WINHTTP_CALLBACK_STATUS_RESOLVING_NAME:
            t.resolving = now;
            t.resolved = t.connecting = t.connected = -1;
            break;
        case WINHTTP_CALLBACK_STATUS_NAME_RESOLVED: t.resolved = now; break;
        case WINHTTP_CALLBACK_STATUS_CONNECTING_TO_SERVER:
        case WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER:
            if (status == WINHTTP_CALLBACK_STATUS_CONNECTING_TO_SERVER) {
                t.connecting = now;
                t.connected = -1;
            } else {
                t.connected = now;
            }
            // The address as text, IPv6 possibly in brackets.
            if (info != nullptr) {
                const auto *text = static_cast<const wchar_t *>(info);
                std::string address = narrow(text, wcsnlen(text, length > 0 ? length : 64));
                address.erase(std::remove(address.begin(), address.end(), '['), address.end());
                address.erase(std::remove(address.begin(), address.end(), ']'), address.end());
                if (!address.empty()) t.address = address;
            }
            break;
        case WINHTTP_CALLBACK_STATUS_SENDING_REQUEST:
            t.sending = now;
            t.sent = t.answered = -1;
            break;
        case WINHTTP_CALLBACK_STATUS_REQUEST_SENT: t.sent = now; break;
        case WINHTTP_CALLBACK_STATUS_RESPONSE_RECEIVED:
            if (t.answered < 0 && t.sent >= 0) t.answered = now;
            break;
        case WINHTTP_CALLBACK_STATUS_REDIRECT:
            ++t.redirects;
            // The next request may reuse the connection: then it has no
            // resolution and no connect of its own.
            t.resolving = t.resolved = t.connecting = t.connected = t.sending = t.sent = t.answered = -1;
            break;
        case WINHTTP_CALLBACK_STATUS_SECURE_FAILURE:
            if (info != nullptr && length >= sizeof(DWORD)) t.secure_failure = *static_cast<const DWORD *>(info);
            break;
        default: break;
    }
}

constexpr DWORD kTracedNotifications = WINHTTP_CALLBACK_FLAG_RESOLVE_NAME | WINHTTP_CALLBACK_FLAG_CONNECT_TO_SERVER |
                                       WINHTTP_CALLBACK_FLAG_SEND_REQUEST | WINHTTP_CALLBACK_FLAG_RECEIVE_RESPONSE |
                                       WINHTTP_CALLBACK_FLAG_REDIRECT | WINHTTP_CALLBACK_FLAG_SECURE_FAILURE;

std::string secure_failure_text(DWORD flags) {
    std::string text;
    const auto add = [&](DWORD flag, const char *what) {
        if ((flags & flag) == 0) return;
        if (!text.empty()) text += ", ";
        text += what;
    };
    add(WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED, "revocation could not be checked");
    add(WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT, "invalid certificate");
    add(WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED, "certificate revoked");
    add(WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA, "unknown issuer");
    add(WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID, "certificate for another name");
    add(WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID, "certificate outside its dates");
    add(WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE, "certificate not for server authentication");
    add(WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR, "secure channel error");
    return text.empty() ? text : "TLS failed: " + text;
}

// WinHTTP does not tell a refused connection from another failure to
// connect. Which stage timed out comes from the notifications where there
// are any, else from the call that failed.
// Some WinHTTP implementations pass the socket's own WSAETIMEDOUT through
// instead of ERROR_WINHTTP_TIMEOUT.
constexpr DWORD kSocketTimedOut = 10060;

http_failure failure_of(DWORD error, bool in_receive, const exchange_trace *trace, bool secure, std::string &why) {
    if (error == ERROR_WINHTTP_TIMEOUT || error == kSocketTimedOut) {
        enum class phase { unknown, resolving, connecting, sending_tls, sending, receiving } at = phase::unknown;
        if (trace != nullptr) {
            if (trace->resolving >= 0 && trace->resolved < 0) {
                at = phase::resolving;
            } else if (trace->connecting >= 0 && trace->connected < 0) {
                at = phase::connecting;
            } else if (trace->connected >= 0 && trace->sending < 0) {
                at = secure ? phase::sending_tls : phase::sending;
            } else if (trace->sending >= 0 && trace->sent < 0) {
                at = phase::sending;
            } else if (trace->sent >= 0) {
                at = phase::receiving;
            }
        }
        if (at == phase::unknown) at = in_receive ? phase::receiving : phase::connecting;
        switch (at) {
            case phase::resolving: why = "name resolution timed out"; return http_failure::resolve_failed;
            case phase::connecting: why = "connection timed out"; return http_failure::connect_timeout;
            case phase::sending_tls: why = "TLS handshake timed out"; return http_failure::tls_failed;
            case phase::sending: why = "sending the request timed out"; return http_failure::request_failed;
            default: why = "no response head within the receive limit"; return http_failure::response_timeout;
        }
    }
    switch (error) {
        case ERROR_WINHTTP_NAME_NOT_RESOLVED: return http_failure::resolve_failed;
        case ERROR_WINHTTP_CANNOT_CONNECT: return http_failure::connect_failed;
        case ERROR_WINHTTP_SECURE_FAILURE:
        case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
        case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
        case ERROR_WINHTTP_SECURE_INVALID_CA:
        case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
        case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
        case ERROR_WINHTTP_SECURE_INVALID_CERT:
        case ERROR_WINHTTP_SECURE_CERT_REVOKED:
        case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
        case ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED: return http_failure::tls_failed;
        case ERROR_WINHTTP_REDIRECT_FAILED: return http_failure::too_many_redirects;
        default: return http_failure::request_failed;
    }
}

struct winhttp_handle {
    HINTERNET h = nullptr;
    ~winhttp_handle() {
        if (h != nullptr) WinHttpCloseHandle(h);
    }
};

// --- The server's certificate ------------------------------------------------------

// Short names as the other platforms print them; others by their number.
const char *attribute_name(const char *oid) {
    static const std::pair<const char *, const char *> names[] = {
        {"2.5.4.3", "CN"},        {"2.5.4.4", "SN"},           {"2.5.4.5", "serialNumber"},
        {"2.5.4.6", "C"},         {"2.5.4.7", "L"},            {"2.5.4.8", "ST"},
        {"2.5.4.9", "street"},    {"2.5.4.10", "O"},           {"2.5.4.11", "OU"},
        {"2.5.4.12", "title"},    {"2.5.4.15", "businessCategory"}, {"2.5.4.17", "postalCode"},
        {"2.5.4.42", "GN"},       {"2.5.4.43", "initials"},    {"2.5.4.44", "generationQualifier"},
        {"2.5.4.46", "dnQualifier"}, {"2.5.4.65", "pseudonym"}, {"2.5.4.97", "organizationIdentifier"},
        {"0.9.2342.19200300.100.1.1", "UID"}, {"0.9.2342.19200300.100.1.25", "DC"},
        {"1.2.840.113549.1.9.1", "emailAddress"},
    };
    for (const auto &[number, name] : names) {
        if (std::strcmp(number, oid) == 0) return name;
    }
    return oid;
}

// RFC 2253 escaping of an attribute value: the special characters with a
// backslash, a leading '#' or space and a trailing space too, control
// characters as \XX.
std::string escaped_value(const std::string &value) {
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
        const auto c = static_cast<unsigned char>(value[i]);
        const bool special = c == ',' || c == '+' || c == '"' || c == '\\' || c == '<' || c == '>' || c == ';' ||
                             (i == 0 && (c == '#' || c == ' ')) || (i + 1 == value.size() && c == ' ');
        if (c < 0x20 || c == 0x7F) {
            static const char hex[] = "0123456789ABCDEF";
            out += '\\';
            out += hex[c >> 4];
            out += hex[c & 0x0F];
        } else {
            if (special) out += '\\';
            out += static_cast<char>(c);
        }
    }
    return out;
}

// "CN=example.org,O=Example": most specific attribute (the last encoded)
// first, as the other platforms write it.
std::string one_line_name(const CERT_NAME_BLOB &blob) {
    CERT_NAME_INFO *info = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_NAME, blob.pbData, blob.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr,
                             &info, &size) ||
        info == nullptr) {
        return std::string();
    }
    std::string out;
    for (DWORD r = info->cRDN; r-- > 0;) {
        const CERT_RDN &rdn = info->rgRDN[r];
        for (DWORD a = rdn.cRDNAttr; a-- > 0;) {
            const CERT_RDN_ATTR &attribute = rdn.rgRDNAttr[a];
            if (!out.empty()) out += a + 1 == rdn.cRDNAttr ? ',' : '+';
            out += attribute_name(attribute.pszObjId);
            out += '=';
            const DWORD units = CertRDNValueToStrW(attribute.dwValueType, const_cast<CERT_RDN_VALUE_BLOB *>(&attribute.Value),
                                                   nullptr, 0);
            if (units > 1) {
                std::wstring value(units, L'\0');
                CertRDNValueToStrW(attribute.dwValueType, const_cast<CERT_RDN_VALUE_BLOB *>(&attribute.Value),
                                   value.data(), units);
                out += escaped_value(narrow(value.c_str(), wcsnlen(value.c_str(), units)));
            }
        }
    }
    LocalFree(info);
    return out;
}

int64_t unix_seconds(const FILETIME &time) {
    const uint64_t ticks = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    // 100 ns ticks since 1601-01-01.
    return (static_cast<int64_t>(ticks) - INT64_C(116444736000000000)) / 10000000;
}

// The certificate of the request's connection, accepted or not; none for a
// plain connection.
peer_certificate certificate_of(HINTERNET request) {
    peer_certificate out;
    PCCERT_CONTEXT context = nullptr;
    DWORD size = sizeof context;
    if (!WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &context, &size) || context == nullptr ||
        context->pCertInfo == nullptr) {
        if (context != nullptr) CertFreeCertificateContext(context);
        return out;
    }
    out.present = true;
    out.not_after = unix_seconds(context->pCertInfo->NotAfter);
    out.subject = one_line_name(context->pCertInfo->Subject);
    out.issuer = one_line_name(context->pCertInfo->Issuer);
    CertFreeCertificateContext(context);
    return out;
}

// The phases of the request's connection from the request times that newer
// Windows versions keep (performance-counter readings); each negative where
// they are not kept.
struct request_phases {
    double resolve_ms = -1.0, connect_ms = -1.0, tls_ms = -1.0;
};
request_phases phases_from_request_times(HINTERNET request) {
    request_phases out;
    WINHTTP_REQUEST_TIMES times;
    std::memset(&times, 0, sizeof times);
    times.cTimes = WinHttpRequestTimeLast;
    DWORD size = sizeof times;
    if (!WinHttpQueryOption(request, WINHTTP_OPTION_REQUEST_TIMES, &times, &size)) return out;
    LARGE_INTEGER frequency;
    if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0) return out;
    const auto span = [&](ULONGLONG begin, ULONGLONG end) {
        if (begin == 0 || end == 0 || end < begin) return -1.0;
        return static_cast<double>(end - begin) * 1000.0 / static_cast<double>(frequency.QuadPart);
    };
    const ULONGLONG *t = times.rgullTimes;
    out.resolve_ms = span(t[WinHttpNameResolutionStart], t[WinHttpNameResolutionEnd]);
    out.connect_ms = span(t[WinHttpConnectionEstablishmentStart], t[WinHttpConnectionEstablishmentEnd]);
    ULONGLONG handshake_end = 0;
    for (int leg : {WinHttpTlsHandshakeClientLeg1End, WinHttpTlsHandshakeClientLeg2End, WinHttpTlsHandshakeClientLeg3End}) {
        if (t[leg] != 0) handshake_end = t[leg];
    }
    out.tls_ms = span(t[WinHttpTlsHandshakeClientLeg1Start], handshake_end);
    return out;
}

}  // namespace

bool http_split_url(const char *url, http_url_parts &out) {
    const std::wstring wide = widen(url);
    if (wide.empty()) return false;
    wchar_t host[256] = {};
    wchar_t path[1024] = {};
    // The query (with the fragment behind it) comes in a buffer of its own.
    wchar_t extra[1024] = {};
    URL_COMPONENTS parts;
    std::memset(&parts, 0, sizeof parts);
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = 255;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = 1023;
    parts.lpszExtraInfo = extra;
    parts.dwExtraInfoLength = 1023;
    if (!WinHttpCrackUrl(wide.c_str(), 0, 0, &parts)) return false;
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) return false;
    out.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    out.host = narrow(host, parts.dwHostNameLength);
    out.port = parts.nPort;
    std::string target = narrow(path, parts.dwUrlPathLength);
    if (target.empty() || target[0] != '/') target.insert(0, "/");
    // The query is sent; the fragment never is.
    std::string query = narrow(extra, parts.dwExtraInfoLength);
    query.erase(std::min(query.find('#'), query.size()));
    target += query;
    // A space or backslash goes out percent-encoded, whatever the HTTP
    // layer of this Windows version would do with it.
    out.target.clear();
    for (char c : target) {
        if (c == ' ') {
            out.target += "%20";
        } else if (c == '\\') {
            out.target += "%5C";
        } else {
            out.target += c;
        }
    }
    return true;
}

http_result http_exchange(const http_request &request) {
    http_result out;
    winhttp_handle session, connection, handle;
    session.h = WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                            WINHTTP_NO_PROXY_BYPASS, 0);
    if (session.h == nullptr) return out;
    WinHttpSetTimeouts(session.h, request.resolve_timeout_ms, request.connect_timeout_ms, request.send_timeout_ms,
                       request.receive_timeout_ms);
    // The receive limit also bounds the wait for the whole header block,
    // which otherwise has a default of its own far beyond it.
    DWORD header_wait = static_cast<DWORD>(request.receive_timeout_ms);
    WinHttpSetOption(session.h, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &header_wait, sizeof header_wait);
    // The same head limit as on every platform, rather than the layer's own 64 KiB.
    DWORD head_limit = static_cast<DWORD>(kMaxResponseHeadBytes);
    WinHttpSetOption(session.h, WINHTTP_OPTION_MAX_RESPONSE_HEADER_SIZE, &head_limit, sizeof head_limit);
    const std::wstring host = widen(request.url->host);
    connection.h = WinHttpConnect(session.h, host.c_str(), static_cast<INTERNET_PORT>(request.url->port), 0);
    if (connection.h == nullptr) return out;
    const std::wstring method = widen(request.method);
    const std::wstring target = widen(request.url->target);
    handle.h = WinHttpOpenRequest(connection.h, method.c_str(), target.c_str(), nullptr, WINHTTP_NO_REFERER,
                                  WINHTTP_DEFAULT_ACCEPT_TYPES, request.url->secure ? WINHTTP_FLAG_SECURE : 0);
    if (handle.h == nullptr) return out;
    if (request.url->secure) {
        DWORD flags = request.ignore_wrong_usage ? kProbeSecurityFlags : kWebhookSecurityFlags;
        WinHttpSetOption(handle.h, WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags);
    }

    exchange_trace trace;
    trace_registration registration(trace);
    const bool traced =
        WinHttpSetStatusCallback(handle.h, on_status, kTracedNotifications, 0) != WINHTTP_INVALID_STATUS_CALLBACK;
    // Once the exchange is over the trace is read without the notifications'
    // lock: none can reach it after the registration is gone.
    const auto finish = [&](http_result &result) {
        if (traced) WinHttpSetStatusCallback(handle.h, nullptr, 0, 0);
        {
            std::lock_guard<std::mutex> guard(s_traces_lock);
            result.redirects = trace.redirects;
            result.address = trace.address;
            if (trace.resolving >= 0 && trace.resolved >= trace.resolving) result.resolve_ms = trace.resolved - trace.resolving;
            // Over TLS some implementations notify the connection only once
            // the handshake is done too, so its time is taken from the
            // notifications for plain connections alone.
            if (!request.url->secure && trace.connecting >= 0 && trace.connected >= trace.connecting)
                result.connect_ms = trace.connected - trace.connecting;
            // Only a response that was taken vouches for its first byte:
            // some implementations notify a "response" for a read that
            // timed out.
            if (result.failure == http_failure::none && trace.sent >= 0 && trace.answered >= trace.sent)
                result.first_byte_ms = trace.answered - trace.sent;
        }
        result.redirects_known = traced;
        result.certificate = certificate_of(handle.h);
        // Where the request times are kept, they are exact.
        const request_phases exact = phases_from_request_times(handle.h);
        if (exact.resolve_ms >= 0) result.resolve_ms = exact.resolve_ms;
        if (exact.connect_ms >= 0) result.connect_ms = exact.connect_ms;
        if (exact.tls_ms >= 0) result.tls_ms = exact.tls_ms;
        return result;
    };
    const auto failed = [&](bool receiving) {
        const DWORD error = GetLastError();
        std::string why;
        DWORD secure_failure = 0;
        {
            std::lock_guard<std::mutex> guard(s_traces_lock);
            out.failure = failure_of(error, receiving, traced ? &trace : nullptr, request.url->secure, why);
            secure_failure = trace.secure_failure;
        }
        if (why.empty() && out.failure == http_failure::tls_failed) why = secure_failure_text(secure_failure);
        out.message = why.empty() ? winhttp_text(error) : why;
        return finish(out);
    };

    std::wstring header;
    if (request.content_type != nullptr) header = L"Content-Type: " + widen(request.content_type) + L"\r\n";
    const DWORD body_size = static_cast<DWORD>(request.body_size);
    const BOOL sent = WinHttpSendRequest(
        handle.h, header.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : header.c_str(), header.empty() ? 0 : static_cast<DWORD>(-1),
        const_cast<char *>(request.body), body_size, body_size, registration.context());
    if (!sent) return failed(false);
    if (!WinHttpReceiveResponse(handle.h, nullptr)) return failed(true);
    DWORD code = 0, size = sizeof code;
    WinHttpQueryHeaders(handle.h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                        &code, &size, WINHTTP_NO_HEADER_INDEX);
    out.failure = http_failure::none;
    out.status = code;
    wchar_t phrase[128] = {};
    DWORD phrase_size = sizeof phrase - sizeof(wchar_t);
    if (WinHttpQueryHeaders(handle.h, WINHTTP_QUERY_STATUS_TEXT, WINHTTP_HEADER_NAME_BY_INDEX, phrase, &phrase_size,
                            WINHTTP_NO_HEADER_INDEX)) {
        out.status_text = narrow(phrase, phrase_size / sizeof(wchar_t));
    }
    // The layer follows redirects itself; one it did not follow from https
    // is a redirect down to http.
    if (request.url->secure && code >= 300 && code <= 399) {
        wchar_t location[16] = {};
        DWORD location_size = sizeof location;
        if (WinHttpQueryHeaders(handle.h, WINHTTP_QUERY_LOCATION, WINHTTP_HEADER_NAME_BY_INDEX, location,
                                &location_size, WINHTTP_NO_HEADER_INDEX) ||
            GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
            out.insecure_redirect = _wcsnicmp(location, L"http:", 5) == 0;
        }
    }
    return finish(out);
}

}  // namespace vue::platform
