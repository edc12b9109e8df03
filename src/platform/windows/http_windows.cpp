// Windows backend: one synchronous WinHTTP exchange. WinHTTP's own defaults
// give the redirect rule (at most 10 hops, never from https to http, bodies
// of any framing) and a response whose body is simply never read; it takes a
// status only from a complete response head.
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <string>

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

// The system's text for a WinHTTP error, on one line.
std::string winhttp_text(DWORD error) {
    wchar_t buffer[256] = {};
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, GetModuleHandleW(L"winhttp.dll"),
                             error, 0, buffer, 256, nullptr);
    std::string text = narrow(buffer, n);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    return text.empty() ? "WinHTTP error " + std::to_string(error) : text;
}

// WinHTTP does not tell a refused connection from another failure to
// connect, nor which stage of a send timed out.
http_failure failure_of(DWORD error, bool receiving) {
    switch (error) {
        case ERROR_WINHTTP_NAME_NOT_RESOLVED: return http_failure::resolve_failed;
        case ERROR_WINHTTP_CANNOT_CONNECT: return http_failure::connect_failed;
        case ERROR_WINHTTP_TIMEOUT: return receiving ? http_failure::response_timeout : http_failure::connect_timeout;
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
    std::wstring header;
    if (request.content_type != nullptr) header = L"Content-Type: " + widen(request.content_type) + L"\r\n";
    const DWORD body_size = static_cast<DWORD>(request.body_size);
    const BOOL sent = WinHttpSendRequest(
        handle.h, header.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : header.c_str(), header.empty() ? 0 : static_cast<DWORD>(-1),
        const_cast<char *>(request.body), body_size, body_size, 0);
    if (!sent) {
        const DWORD error = GetLastError();
        out.failure = failure_of(error, false);
        out.message = winhttp_text(error);
        return out;
    }
    if (!WinHttpReceiveResponse(handle.h, nullptr)) {
        const DWORD error = GetLastError();
        out.failure = failure_of(error, true);
        out.message = winhttp_text(error);
        return out;
    }
    DWORD code = 0, size = sizeof code;
    WinHttpQueryHeaders(handle.h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                        &code, &size, WINHTTP_NO_HEADER_INDEX);
    out.failure = http_failure::none;
    out.status = code;
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
    return out;
}

}  // namespace vue::platform
