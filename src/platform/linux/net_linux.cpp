// Linux backend: name resolution, TCP connect and ICMP echo.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "platform/fault.h"
#include "platform/platform.h"

namespace vue::platform {

namespace {

bool copy_address(const struct addrinfo &entry, resolved_address &out) {
    if (entry.ai_addrlen > sizeof out.addr) return false;
    out.family = entry.ai_family;
    out.socktype = entry.ai_socktype;
    out.protocol = entry.ai_protocol;
    out.addr_len = static_cast<unsigned>(entry.ai_addrlen);
    std::memcpy(out.addr, entry.ai_addr, entry.ai_addrlen);
    return true;
}

std::string error_text(int error) {
    char buffer[128];
    // The GNU strerror_r returns its text, which need not be in `buffer`.
    return ::strerror_r(error, buffer, sizeof buffer);
}

}  // namespace

bool resolve_all(const char *host, const char *service, resolve_hints hints, std::vector<resolved_address> &out,
                 std::string *error) {
    out.clear();
    struct addrinfo want;
    std::memset(&want, 0, sizeof want);
    if (hints == resolve_hints::any_stream) {
        want.ai_family = AF_UNSPEC;
        want.ai_socktype = SOCK_STREAM;
    } else {
        want.ai_family = AF_INET;
    }
    struct addrinfo *list = nullptr;
    const int rc = ::getaddrinfo(host, service, &want, &list);
    if (rc != 0 || list == nullptr) {
        if (error != nullptr) {
            // EAI_SYSTEM keeps its reason in errno; gai_strerror is a fixed
            // table, safe in any thread.
            *error = rc == EAI_SYSTEM ? error_text(errno) : rc != 0 ? ::gai_strerror(rc) : "no address";
        }
        return false;
    }
    for (const struct addrinfo *entry = list; entry != nullptr; entry = entry->ai_next) {
        resolved_address address;
        if (copy_address(*entry, address)) out.push_back(address);
    }
    ::freeaddrinfo(list);
    if (out.empty() && error != nullptr) *error = "no address";
    return !out.empty();
}

std::string address_text(const resolved_address &address) {
    char text[INET6_ADDRSTRLEN] = {};
    const void *raw = nullptr;
    if (address.family == AF_INET) raw = &reinterpret_cast<const sockaddr_in *>(address.addr)->sin_addr;
    if (address.family == AF_INET6) raw = &reinterpret_cast<const sockaddr_in6 *>(address.addr)->sin6_addr;
    if (raw == nullptr || ::inet_ntop(address.family, raw, text, sizeof text) == nullptr) return std::string();
    return text;
}

connect_result tcp_connect(const resolved_address &address, int timeout_ms) {
    connect_result result;
    int fd = ::socket(address.family, address.socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, address.protocol);
    if (fd < 0) {
        result.outcome = connect_outcome::no_socket;
        result.message = error_text(errno);
        return result;
    }
    int error = 0;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(address.addr), address.addr_len) == 0) {
        result.outcome = connect_outcome::connected;
    } else if (errno != EINPROGRESS) {
        error = errno;
    } else {
        // Writable means the attempt has finished, one way or the other;
        // SO_ERROR says which.
        struct pollfd p = {fd, POLLOUT, 0};
        const double deadline = monotonic_ms() + timeout_ms;
        int ready;
        for (;;) {
            int left = static_cast<int>(deadline - monotonic_ms());
            ready = ::poll(&p, 1, left > 0 ? left : 0);
            if (ready < 0 && errno == EINTR) continue;
            break;
        }
        if (ready == 0) {
            error = ETIMEDOUT;
        } else if (ready < 0) {
            error = errno;
        } else {
            int pending = 0;
            socklen_t len = sizeof pending;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &len) != 0) pending = errno;
            if (pending == 0 && (p.revents & POLLOUT) != 0) {
                result.outcome = connect_outcome::connected;
            } else {
                error = pending != 0 ? pending : ECONNRESET;
            }
        }
    }
    ::close(fd);
    if (result.outcome != connect_outcome::connected) {
        result.outcome = error == ECONNREFUSED ? connect_outcome::refused
                         : error == ETIMEDOUT  ? connect_outcome::timed_out
                                               : connect_outcome::failed;
        result.message = error_text(error);
    }
    return result;
}

// --- ICMP echo --------------------------------------------------------------------------

struct icmp_channel {
    int fd;
    bool raw;  // a raw socket sees every ICMP packet and the IP header
};

namespace {

std::atomic<uint16_t> s_echo_sequence{0};

uint16_t internet_checksum(const unsigned char *data, size_t size) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < size; i += 2) sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
    if (size % 2 != 0) sum += static_cast<uint32_t>(data[size - 1] << 8);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

}  // namespace

icmp_channel *icmp_open() {
    if (fault_fires(fault_point::icmp_open)) return nullptr;
    // An unprivileged ping socket where the system allows one; a raw socket
    // where the process has the privilege.
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    bool raw = false;
    if (fd < 0) {
        fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        raw = true;
    }
    if (fd < 0) return nullptr;
    return new (std::nothrow) icmp_channel{fd, raw};
}

void icmp_close(icmp_channel *channel) {
    if (channel == nullptr) return;
    ::close(channel->fd);
    delete channel;
}

icmp_reply icmp_echo(icmp_channel *channel, const resolved_address &address, const void *payload, size_t size,
                     int timeout_ms) {
    icmp_reply reply;
    if (channel == nullptr || address.family != AF_INET || size > 1024) return reply;

    unsigned char packet[8 + 1024];
    const uint16_t sequence = s_echo_sequence.fetch_add(1);
    // A ping socket gets its identifier from the kernel, which also filters
    // replies by it; a raw socket must tell its own replies apart.
    const uint16_t identifier = static_cast<uint16_t>(::getpid() ^ (sequence << 3));
    packet[0] = ICMP_ECHO;
    packet[1] = 0;
    packet[2] = packet[3] = 0;
    packet[4] = static_cast<unsigned char>(identifier >> 8);
    packet[5] = static_cast<unsigned char>(identifier);
    packet[6] = static_cast<unsigned char>(sequence >> 8);
    packet[7] = static_cast<unsigned char>(sequence);
    std::memcpy(packet + 8, payload, size);
    const uint16_t sum = internet_checksum(packet, 8 + size);
    packet[2] = static_cast<unsigned char>(sum >> 8);
    packet[3] = static_cast<unsigned char>(sum);

    const double sent_at = monotonic_ms();
    if (::sendto(channel->fd, packet, 8 + size, 0, reinterpret_cast<const sockaddr *>(address.addr),
                 address.addr_len) < 0) {
        reply.message = error_text(errno);
        return reply;
    }
    const double deadline = sent_at + timeout_ms;
    for (;;) {
        int left = static_cast<int>(deadline - monotonic_ms());
        if (left <= 0) return reply;
        struct pollfd p = {channel->fd, POLLIN, 0};
        int ready = ::poll(&p, 1, left);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return reply;
        unsigned char in[2048];
        ssize_t n = ::recv(channel->fd, in, sizeof in, 0);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return reply;
        }
        const unsigned char *icmp = in;
        size_t length = static_cast<size_t>(n);
        if (channel->raw) {
            if (length < 20) continue;
            size_t header = static_cast<size_t>(in[0] & 0x0F) * 4;
            if (length < header + 8) continue;
            icmp = in + header;
            length -= header;
        }
        if (length < 8) continue;
        const uint16_t got_sequence = static_cast<uint16_t>(icmp[6] << 8 | icmp[7]);
        const uint16_t got_identifier = static_cast<uint16_t>(icmp[4] << 8 | icmp[5]);
        if (icmp[0] == ICMP_ECHOREPLY) {
            if (got_sequence != sequence || (channel->raw && got_identifier != identifier)) continue;
            reply.received = true;
            reply.status = 0;
            double rtt = monotonic_ms() - sent_at;
            reply.round_trip_ms = rtt > 0 ? static_cast<uint32_t>(rtt) : 0;
            return reply;
        }
        // Anything else (our own request on loopback, other hosts' traffic)
        // is not an answer to this request.
    }
}

}  // namespace vue::platform
