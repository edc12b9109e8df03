// Windows backend: one synchronous WinHTTP exchange. WinHTTP's own defaults
// give the redirect rule (at most 10 hops, never from https to http) and a
// response whose body is simply never read.
#include <windows.h>
#include <winhttp.h>

#include <cstring>
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
    // Query and fragment are split off into a buffer of their own and
    // dropped, so the request carries the path alone whatever the HTTP
    // layer would otherwise leave in the path.
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
    out.path = narrow(path, parts.dwUrlPathLength);
    return true;
}

bool http_exchange(const http_request &request, unsigned &status) {
    status = 0;
    winhttp_handle session, connection, handle;
    session.h = WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                            WINHTTP_NO_PROXY_BYPASS, 0);
    if (session.h == nullptr) return false;
    WinHttpSetTimeouts(session.h, request.resolve_timeout_ms, request.connect_timeout_ms, request.send_timeout_ms,
                       request.receive_timeout_ms);
    // The receive limit also bounds the wait for the whole header block,
    // which otherwise has a default of its own far beyond it.
    DWORD header_wait = static_cast<DWORD>(request.receive_timeout_ms);
    WinHttpSetOption(session.h, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &header_wait, sizeof header_wait);
    const std::wstring host = widen(request.url->host);
    connection.h = WinHttpConnect(session.h, host.c_str(), static_cast<INTERNET_PORT>(request.url->port), 0);
    if (connection.h == nullptr) return false;
    const std::wstring method = widen(request.method);
    const std::wstring path = request.url->path.empty() ? std::wstring(L"/") : widen(request.url->path);
    handle.h = WinHttpOpenRequest(connection.h, method.c_str(), path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                  WINHTTP_DEFAULT_ACCEPT_TYPES, request.url->secure ? WINHTTP_FLAG_SECURE : 0);
    if (handle.h == nullptr) return false;
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
    if (sent && WinHttpReceiveResponse(handle.h, nullptr)) {
        DWORD code = 0, size = sizeof code;
        WinHttpQueryHeaders(handle.h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                            &code, &size, WINHTTP_NO_HEADER_INDEX);
        status = code;
    }
    return true;
}

}  // namespace vue::platform
