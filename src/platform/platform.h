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

// --- Files replaced again and again -------------------------------------------------
// A heartbeat file is rewritten by every check. Replacing it through a new
// temporary file makes the file system allocate blocks and, on a replacing
// rename, force the data out, every time. Instead each such file has a
// spare beside it (its content never matters): the new bytes are written
// into the spare in place, over blocks it already has, and then the spare
// and the file trade places in one atomic step. A crash at any instant
// leaves the file with its old or its new bytes, and the spare keeps its
// blocks for the next time. The spare is created when missing.

enum class write_outcome {
    done,
    no_directory,   // the directory of the file does not exist; nothing changed
    spare_missing,  // only some blocks were given and there is no spare to put them in; nothing changed
    failed          // the file keeps its old bytes
};

// The unit of a partial rewrite of a spare: swap_in_file takes the blocks of
// kSwapBlockSize bytes (the last one shorter) whose bytes differ from what
// the spare holds, so a few changed bytes cost one block of writing, not the
// whole file.
constexpr size_t kSwapBlockSize = 4096;
constexpr uint32_t kAllSwapBlocks = 0xFFFFFFFFu;

// Replaces `path` with `size` bytes (at most 32 blocks) by way of
// `spare_path`, without flushing anything. Block i of `data` is written
// into the spare when bit i of `blocks` is set; the other blocks must be
// what the spare holds already, and are not even read from `data`.
// `spare_kept` tells whether a spare is left for the next time, holding
// the file's previous bytes (false where the platform can only move the
// spare over the file).
write_outcome swap_in_file(const char *path, const char *spare_path, const void *data, size_t size, uint32_t blocks,
                           bool &spare_kept);

// True while a swap leaves the file's previous bytes in the spare, so that a
// later swap_in_file may give only the blocks that changed since then.
bool spares_survive_swaps();

// A durable batch: every file's new bytes reach the disk before any file
// is swapped, and the swaps reach it before commit_swaps returns; the batch
// costs a few flushes in all, not two per file.
struct staged_swap {
    std::string path;
    std::string spare_path;
    bool ok = false;  // after commit_swaps: swapped in and flushed
};
// Writes the new bytes of one file of the batch into its spare; only what
// differs from the spare's present content is written, so unchanged pages
// cost no disk write.
write_outcome stage_swap(const char *path, const char *spare_path, const void *data, size_t size);
// Flushes every staged spare, swaps each in and flushes the swaps; sets
// `ok` of each entry.
void commit_swaps(std::vector<staged_swap> &batch);

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

// The size of the file at `path` in bytes; -1 when there is none or it
// cannot be examined.
long long file_size(const char *path);

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

// Resolves `host` (and `service`, which may be null) into every address the
// resolver returns, in its order. False when the name does not resolve or
// yields nothing; `error`, when not null, then receives the resolver's
// reason ("Name or service not known").
bool resolve_all(const char *host, const char *service, resolve_hints hints, std::vector<resolved_address> &out,
                 std::string *error = nullptr);

// The first address of resolve_all; the others are never used.
inline bool resolve_first(const char *host, const char *service, resolve_hints hints, resolved_address &out,
                          std::string *error = nullptr) {
    std::vector<resolved_address> all;
    if (!resolve_all(host, service, hints, all, error)) return false;
    out = all.front();
    return true;
}

// The numeric text of an address without its port: "127.0.0.1", "::1".
std::string address_text(const resolved_address &address);

// --- TCP -----------------------------------------------------------------------------
enum class connect_outcome {
    no_socket,  // no socket could be created for the address (its family is not available)
    connected,  // connected, at once or within the wait
    refused,    // the host answered that nothing listens there
    timed_out,  // no answer within the wait
    failed      // any other failure: unreachable, a pending error after the wait
};
struct connect_result {
    connect_outcome outcome = connect_outcome::failed;
    std::string message;  // the OS's reason for a failure, "" when connected
};
// A non-blocking connect to `address` that waits at most `timeout_ms` for it
// to complete. The socket is closed again at once; nothing is sent. A
// target with several addresses is tried one address at a time by the
// caller, which shares one wait among them.
connect_result tcp_connect(const resolved_address &address, int timeout_ms);

// --- ICMP echo -----------------------------------------------------------------------
struct icmp_channel;
// Null when ICMP echo cannot be used at all in this process.
icmp_channel *icmp_open();
void icmp_close(icmp_channel *channel);

struct icmp_reply {
    bool received = false;         // a reply to this very request arrived in time
    uint32_t status = 0;           // 0 for an echo reply; non-zero for an error reply
    uint32_t round_trip_ms = 0;    // whole milliseconds
    // Why no echo reply came, where the OS says more than "no reply in
    // time": a request that could not be sent, an error reply. "" otherwise.
    std::string message;
};
// Sends one echo request carrying `payload` to the IPv4 `address` and waits
// at most `timeout_ms` for its reply.
icmp_reply icmp_echo(icmp_channel *channel, const resolved_address &address, const void *payload, size_t size,
                     int timeout_ms);

// --- HTTP ----------------------------------------------------------------------------
// A URL split into what a request needs. The fragment, user name and
// password are not part of it, so they never reach the server.
struct http_url_parts {
    bool secure = false;  // https
    std::string host;     // an IPv6 literal keeps its brackets
    int port = 0;         // the explicit port, else 80 or 443
    // The request-target: the path ("/" when the URL has none) and the
    // query with its "?" when the URL has one. A space or backslash in
    // them is sent percent-encoded (%20, %5C).
    std::string target;
};
// False for a URL that is malformed, has a scheme other than http or https
// (compared without regard to case), or whose host (255) or path or query
// (1023 UTF-16 units each) is too long.
bool http_split_url(const char *url, http_url_parts &out);

// Response heads (status line and header lines) longer than this are not
// taken: the exchange fails as if no response had arrived.
constexpr size_t kMaxResponseHeadBytes = 100 * 1024;

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
    // server authentication only with this set. No trust store is ever
    // loaded: the policy does not need one.
    bool ignore_wrong_usage = false;
};

// What went wrong when no final response was taken. The phase that failed
// is told apart so that a report can say why a check was down.
enum class http_failure {
    none,                // a complete response head arrived; `status` is the final one
    no_session,          // the HTTP layer could not be set up at all: nothing was sent or measured
    resolve_failed,      // the host name did not resolve (or not within its stage)
    connect_refused,     // every address refused the connection
    connect_timeout,     // no connection within the connect stage
    connect_failed,      // any other connection failure (unreachable, ...)
    tls_failed,          // the TLS handshake failed or the certificate was refused
    request_failed,      // sending failed, or the response ended, or grew past the head
                         // limit, before its head was complete
    response_timeout,    // no complete response head within the receive stage
    too_many_redirects,  // the eleventh response was still a redirect to follow
};

// The server's leaf certificate as the TLS layer saw it, whether or not the
// policy accepted it.
struct peer_certificate {
    bool present = false;
    int64_t not_after = 0;  // Unix seconds
    // One-line distinguished names, most specific first, attributes by
    // their short names, special characters escaped with '\':
    // "CN=example.org,O=Example".
    std::string subject;
    std::string issuer;
};

struct http_result {
    http_failure failure = http_failure::no_session;
    unsigned status = 0;             // the final response's status; 0 unless failure is none
    std::string status_text;         // its reason phrase ("Not Found"), as the server sent it
    int redirects = 0;               // redirects followed
    bool insecure_redirect = false;  // the final response redirects from https to http, not followed
    std::string message;             // the HTTP, TLS or OS layer's reason for a failure; "" when none
    std::string address;             // numeric address of the last connection (or attempt); "" when unknown
    bool redirects_known = true;     // false where the platform cannot count the redirects followed
    // Phases of the last request in milliseconds; negative where they do not
    // apply or the platform does not tell.
    double resolve_ms = -1.0;
    double connect_ms = -1.0;
    double tls_ms = -1.0;
    double first_byte_ms = -1.0;  // from the request sent to the first byte of the response
    // The leaf certificate of the last TLS handshake of the exchange (its
    // final https hop); not present for plain http, or where the handshake
    // got no certificate or the platform does not tell.
    peer_certificate certificate;
};

// Sends the request and waits for the status line and headers of the final
// response; the body is never read. Redirects (301, 302, 303, 307, 308 with a
// Location) are followed at most 10 hops, whatever their body, and never
// from https to http: such a redirect is itself the final response. 301, 302
// and 303 turn a POST into a GET without body.
http_result http_exchange(const http_request &request);

}  // namespace vue::platform
