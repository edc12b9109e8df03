// Windows backend: Winsock start and stop, name resolution, TCP connect and
// the ICMP echo of the IP helper.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <icmpapi.h>

#include <cstring>
#include <cwchar>
#include <new>
#include <string>
#include <vector>

#include "platform/fault.h"
#include "platform/platform.h"

namespace vue::platform {

bool net_start() {
    if (fault_fires(fault_point::net_start)) return false;
    WSADATA data;
    return WSAStartup(0x0202, &data) == 0;
}

void net_stop() { WSACleanup(); }

namespace {

// A system text in UTF-8 (the "A" functions would give the ANSI code page),
// on one line, without the closing full stop.
std::string system_text(const wchar_t *wide, DWORD units) {
    std::string text;
    if (units > 0) {
        const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(units), nullptr, 0, nullptr, nullptr);
        if (bytes > 0) {
            text.resize(static_cast<size_t>(bytes));
            WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(units), text.data(), bytes, nullptr, nullptr);
        }
    }
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    return text;
}

// The system's text for a Winsock error.
std::string winsock_text(int code) {
    wchar_t buffer[256] = {};
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                   static_cast<DWORD>(code), 0, buffer, 256, nullptr);
    std::string text = system_text(buffer, n);
    return text.empty() ? "socket error " + std::to_string(code) : text;
}

// The IP helper's text for an ICMP status or error (IP_REQ_TIMED_OUT,
// IP_DEST_HOST_UNREACHABLE, ...).
std::string icmp_text(DWORD code) {
    wchar_t buffer[256] = {};
    DWORD size = 256;
    std::string text;
    if (GetIpErrorString(code, buffer, &size) == NO_ERROR) text = system_text(buffer, static_cast<DWORD>(wcsnlen(buffer, 256)));
    return text.empty() ? "ICMP status " + std::to_string(code) : text;
}

}  // namespace

bool resolve_all(const char *host, const char *service, resolve_hints hints, std::vector<resolved_address> &out,
                 std::string *error) {
    out.clear();
    ADDRINFOA want;
    std::memset(&want, 0, sizeof want);
    if (hints == resolve_hints::any_stream) {
        want.ai_family = AF_UNSPEC;
        want.ai_socktype = SOCK_STREAM;
    } else {
        want.ai_family = AF_INET;
    }
    ADDRINFOA *list = nullptr;
    const int rc = getaddrinfo(host, service, &want, &list);
    if (rc != 0 || list == nullptr) {
        // getaddrinfo returns the Winsock error itself.
        if (error != nullptr) *error = rc != 0 ? winsock_text(rc) : "no address";
        return false;
    }
    for (const ADDRINFOA *entry = list; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_addrlen > sizeof(resolved_address::addr)) continue;
        resolved_address address;
        address.family = entry->ai_family;
        address.socktype = entry->ai_socktype;
        address.protocol = entry->ai_protocol;
        address.addr_len = static_cast<unsigned>(entry->ai_addrlen);
        std::memcpy(address.addr, entry->ai_addr, entry->ai_addrlen);
        out.push_back(address);
    }
    freeaddrinfo(list);
    if (out.empty() && error != nullptr) *error = "no address";
    return !out.empty();
}

std::string address_text(const resolved_address &address) {
    char text[INET6_ADDRSTRLEN] = {};
    const void *raw = nullptr;
    if (address.family == AF_INET) raw = &reinterpret_cast<const sockaddr_in *>(address.addr)->sin_addr;
    if (address.family == AF_INET6) raw = &reinterpret_cast<const sockaddr_in6 *>(address.addr)->sin6_addr;
    if (raw == nullptr || inet_ntop(address.family, raw, text, sizeof text) == nullptr) return std::string();
    return text;
}

connect_result tcp_connect(const resolved_address &address, int timeout_ms) {
    connect_result result;
    SOCKET s = socket(address.family, address.socktype, address.protocol);
    if (s == INVALID_SOCKET) {
        result.outcome = connect_outcome::no_socket;
        result.message = winsock_text(WSAGetLastError());
        return result;
    }
    u_long non_blocking = 1;
    ioctlsocket(s, FIONBIO, &non_blocking);
    int error = 0;
    if (connect(s, reinterpret_cast<const sockaddr *>(address.addr), static_cast<int>(address.addr_len)) == 0) {
        result.outcome = connect_outcome::connected;
    } else if ((error = WSAGetLastError()) == WSAEWOULDBLOCK) {
        // A failed attempt shows in the exception set; a finished one makes
        // the socket writable, and SO_ERROR says whether it succeeded.
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(s, &writable);
        FD_SET(s, &failed);
        timeval wait{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
        const int ready = select(0, nullptr, &writable, &failed, &wait);
        if (ready == 0) {
            error = WSAETIMEDOUT;
        } else if (ready < 0) {
            error = WSAGetLastError();
        } else {
            int pending = 0;
            int length = sizeof pending;
            getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&pending), &length);
            if (pending == 0 && FD_ISSET(s, &writable)) {
                result.outcome = connect_outcome::connected;
                error = 0;
            } else {
                error = pending != 0 ? pending : WSAECONNRESET;
            }
        }
    }
    closesocket(s);
    if (result.outcome != connect_outcome::connected) {
        result.outcome = error == WSAECONNREFUSED ? connect_outcome::refused
                         : error == WSAETIMEDOUT  ? connect_outcome::timed_out
                                                  : connect_outcome::failed;
        result.message = winsock_text(error);
    }
    return result;
}

struct icmp_channel {
    HANDLE handle;
};

icmp_channel *icmp_open() {
    if (fault_fires(fault_point::icmp_open)) return nullptr;
    HANDLE h = IcmpCreateFile();
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    auto *channel = new (std::nothrow) icmp_channel{h};
    if (channel == nullptr) IcmpCloseHandle(h);
    return channel;
}

void icmp_close(icmp_channel *channel) {
    if (channel == nullptr) return;
    IcmpCloseHandle(channel->handle);
    delete channel;
}

icmp_reply icmp_echo(icmp_channel *channel, const resolved_address &address, const void *payload, size_t size,
                     int timeout_ms) {
    icmp_reply reply;
    if (channel == nullptr || address.family != AF_INET || size > 32) return reply;
    const auto *ipv4 = reinterpret_cast<const sockaddr_in *>(address.addr);
    // One reply record, the echoed data and 8 bytes more.
    alignas(8) unsigned char buffer[sizeof(ICMP_ECHO_REPLY) + 32 + 8];
    DWORD replies = IcmpSendEcho(channel->handle, ipv4->sin_addr.S_un.S_addr, const_cast<void *>(payload),
                                 static_cast<WORD>(size), nullptr, buffer, sizeof buffer,
                                 static_cast<DWORD>(timeout_ms));
    if (replies == 0) {
        // A plain timeout needs no words; anything else (a request that
        // could not be sent) does.
        const DWORD error = GetLastError();
        if (error != IP_REQ_TIMED_OUT && error != 0) reply.message = icmp_text(error);
        return reply;
    }
    const auto *first = reinterpret_cast<const ICMP_ECHO_REPLY *>(buffer);
    reply.received = true;
    reply.status = first->Status;
    reply.round_trip_ms = first->RoundTripTime;
    if (reply.status != 0) reply.message = icmp_text(reply.status);
    return reply;
}

}  // namespace vue::platform
