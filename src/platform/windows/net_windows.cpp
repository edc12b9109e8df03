// Windows backend: Winsock start and stop, name resolution, TCP connect and
// the ICMP echo of the IP helper.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <icmpapi.h>

#include <cstring>
#include <new>

#include "platform/fault.h"
#include "platform/platform.h"

namespace vue::platform {

bool net_start() {
    if (fault_fires(fault_point::net_start)) return false;
    WSADATA data;
    return WSAStartup(0x0202, &data) == 0;
}

void net_stop() { WSACleanup(); }

bool resolve_first(const char *host, const char *service, resolve_hints hints, resolved_address &out) {
    ADDRINFOA want;
    std::memset(&want, 0, sizeof want);
    if (hints == resolve_hints::any_stream) {
        want.ai_family = AF_UNSPEC;
        want.ai_socktype = SOCK_STREAM;
    } else {
        want.ai_family = AF_INET;
    }
    ADDRINFOA *list = nullptr;
    if (getaddrinfo(host, service, &want, &list) != 0 || list == nullptr) return false;
    const ADDRINFOA *first = list;
    const bool ok = first->ai_addrlen <= sizeof out.addr;
    if (ok) {
        out.family = first->ai_family;
        out.socktype = first->ai_socktype;
        out.protocol = first->ai_protocol;
        out.addr_len = static_cast<unsigned>(first->ai_addrlen);
        std::memcpy(out.addr, first->ai_addr, first->ai_addrlen);
    }
    freeaddrinfo(list);
    return ok;
}

connect_outcome tcp_connect(const resolved_address &address, int timeout_ms) {
    SOCKET s = socket(address.family, address.socktype, address.protocol);
    if (s == INVALID_SOCKET) return connect_outcome::no_socket;
    u_long non_blocking = 1;
    ioctlsocket(s, FIONBIO, &non_blocking);
    connect_outcome outcome = connect_outcome::failed;
    if (connect(s, reinterpret_cast<const sockaddr *>(address.addr), static_cast<int>(address.addr_len)) == 0) {
        outcome = connect_outcome::connected;
    } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
        // A failed attempt shows in the exception set; a finished one makes
        // the socket writable, and SO_ERROR says whether it succeeded.
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(s, &writable);
        FD_SET(s, &failed);
        timeval wait{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
        if (select(0, nullptr, &writable, &failed, &wait) > 0 && FD_ISSET(s, &writable)) {
            int pending = 0;
            int length = sizeof pending;
            getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&pending), &length);
            if (pending == 0) outcome = connect_outcome::connected;
        }
    }
    closesocket(s);
    return outcome;
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
    if (replies == 0) return reply;
    const auto *first = reinterpret_cast<const ICMP_ECHO_REPLY *>(buffer);
    reply.received = true;
    reply.status = first->Status;
    reply.round_trip_ms = first->RoundTripTime;
    return reply;
}

}  // namespace vue::platform
