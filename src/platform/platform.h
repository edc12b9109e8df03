// The one seam between the engine and the operating system. Everything the
// engine needs from the OS is declared here and implemented once per OS in
// src/platform/<os>/; nothing outside this folder includes an OS header.
//
// Every primitive that can fail consults the fault table (fault.h) first, so
// tests can make the Nth write, sync or rename fail on any OS without
// touching production paths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vue::platform {

// --- The engine lock -------------------------------------------------------
// A plain mutual-exclusion lock that exists for the whole life of the
// process: it needs no creation, so a failed start, a restart or a call that
// races with a stop never touches a lock that does not exist. Never taken
// recursively.
void lock_acquire();
void lock_release();

// --- Clocks ------------------------------------------------------------------
// Milliseconds of a monotonic high-resolution clock; only differences mean
// anything.
double monotonic_ms();
// Wall clock, Unix seconds.
int64_t unix_time();

// --- Randomness --------------------------------------------------------------
// Fills `out` with `size` bytes from the OS generator. False when the OS
// source is unavailable; the caller then uses its own seeded fallback.
bool random_bytes(void *out, size_t size);
// A value that differs between processes and between calls: used to seed the
// fallback generator so that two processes never draw the same sequence.
uint64_t entropy_seed();

// --- Network layer -----------------------------------------------------------
// Global set-up of the network stack before the first probe, and its
// release. net_start() may be called again after net_stop().
bool net_start();
void net_stop();

// --- Files -------------------------------------------------------------------
// Creates one directory, owner-only where the OS has modes. The result is
// deliberately not returned: an existing directory is the normal case and a
// real failure shows when a file below it cannot be written.
void make_directory(const char *path);

// Replaces the file at `path` whole with `size` bytes: the data goes to a
// temporary file in the same directory which is then renamed over `path`, so
// a crash or a full disk leaves either the old or the new file. With
// `durable`, the data (and the rename) are flushed to the disk first.
// The file is owner-only. On failure the temporary file is removed and the
// old file is untouched.
bool replace_file(const char *path, const void *data, size_t size, bool durable);

// What a read found. `missing` is the normal case of a file never written;
// `failed` means something is there that could not be read (no permission,
// a directory, an I/O error), which the caller must not mistake for absent.
enum class read_outcome { ok, missing, failed };

// Reads at most `capacity` bytes from the start of the file at `path` into
// `out`; `got` receives the number of bytes read.
read_outcome read_file_prefix(const char *path, void *out, size_t capacity, size_t &got);

// Reads a whole file.
read_outcome read_whole_file(const char *path, std::string &out);

enum class rename_outcome {
    done,
    target_exists,   // nothing was renamed: `to` is taken
    source_missing,  // nothing was renamed: `from` is not there
    failed
};
// Renames `from` to `to` in the same directory without ever replacing an
// existing `to`.
rename_outcome rename_no_replace(const char *from, const char *to);

// Removes one file; true when it is gone (also when it never existed).
bool remove_file(const char *path);

// The names in a directory, "." and ".." left out. False when it cannot be
// listed.
bool list_directory(const char *path, std::vector<std::string> &names);

// --- The storage directory lock -------------------------------------------------
// One process at a time owns a storage directory: the lock is an exclusive
// OS lock on the file at `lock_path`, which also receives the owner's
// process id as text. The OS drops the lock when its owner dies, so a crash
// never leaves a directory locked.
enum class storage_lock_outcome {
    locked,
    busy,    // another process holds it
    failed   // the lock file cannot be created or opened
};
storage_lock_outcome storage_lock_acquire(const char *lock_path);
// Releases the lock taken by storage_lock_acquire; nothing when none is held.
void storage_lock_release();

// --- Name resolution -------------------------------------------------------------
// The hint sets the probes use: any family with stream sockets (DNS and TCP
// probes), or IPv4 only (ping).
enum class resolve_hints { any_stream, ipv4_only };

// One resolved address, in the OS's own socket-address form.
struct resolved_address {
    int family = 0;
    int socktype = 0;
    int protocol = 0;
    unsigned addr_len = 0;
    alignas(8) unsigned char addr[128] = {};
};

// Resolves `host` (and `service`, which may be null) and yields the first
// address the resolver returns; the others are never used. False when the
// name does not resolve or yields nothing.
bool resolve_first(const char *host, const char *service, resolve_hints hints, resolved_address &out);

// --- TCP -----------------------------------------------------------------------------
enum class connect_outcome {
    no_socket,  // no socket could be created for the address
    connected,  // connected, at once or within the wait
    failed      // refused, unreachable, timed out, or a pending error after the wait
};
// A non-blocking connect to `address` that waits at most `timeout_ms` for it
// to complete. The socket is closed again at once; nothing is sent.
connect_outcome tcp_connect(const resolved_address &address, int timeout_ms);

// --- ICMP echo -----------------------------------------------------------------------
struct icmp_channel;
// Null when ICMP echo cannot be used at all in this process.
icmp_channel *icmp_open();
void icmp_close(icmp_channel *channel);

struct icmp_reply {
    bool received = false;         // a reply to this very request arrived in time
    uint32_t status = 0;           // 0 for an echo reply; non-zero for an error reply
    uint32_t round_trip_ms = 0;    // whole milliseconds
};
// Sends one echo request carrying `payload` to the IPv4 `address` and waits
// at most `timeout_ms` for its reply.
icmp_reply icmp_echo(icmp_channel *channel, const resolved_address &address, const void *payload, size_t size,
                     int timeout_ms);

// --- HTTP ----------------------------------------------------------------------------
// A URL split into what a request needs. Query, fragment, user name and
// password are not part of it, so they never reach the server.
struct http_url_parts {
    bool secure = false;  // https
    std::string host;
    int port = 0;         // the explicit port, else 80 or 443
    std::string path;     // "" when the URL has none
};
// False for a URL that is malformed, has a scheme other than http or https,
// or whose host (255) or path (1023 UTF-16 units) is too long.
bool http_split_url(const char *url, http_url_parts &out);

struct http_request {
    const http_url_parts *url = nullptr;
    const char *method = "GET";
    const char *content_type = nullptr;  // header added when not null
    const char *body = nullptr;
    size_t body_size = 0;
    int resolve_timeout_ms = 0;
    int connect_timeout_ms = 0;
    int send_timeout_ms = 0;
    int receive_timeout_ms = 0;
    // Certificates with an unknown issuer, another host name or outside
    // their dates are always accepted; one whose extended key usage excludes
    // server authentication only with this set.
    bool ignore_wrong_usage = false;
};
// Sends the request and waits for the status line and headers of the final
// response (redirects followed at most 10 hops, never from https to http);
// the body is not read. False when no session could be set up at all;
// otherwise true with `status` 0 when no response arrived.
bool http_exchange(const http_request &request, unsigned &status);

}  // namespace vue::platform
