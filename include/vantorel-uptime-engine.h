/*
 * vantorel-uptime-engine: an embeddable uptime-monitoring engine.
 *
 * This header is the whole contract between the engine and its host. The
 * engine is a shared library (libvantorel-uptime-engine.so.1 on Linux,
 * vantorel-uptime-engine.dll on Windows) that exports exactly the twelve
 * functions declared below, the extensions declared after them (see
 * "Extensions") and nothing else.
 *
 * Model
 * -----
 * All state is process-wide: a table of at most 128 monitors, each with a
 * ring of its last 4096 heartbeats and 90 per-day counters, one storage
 * directory, one webhook URL and one last-error text. The engine starts no
 * thread and keeps no timer; every call runs in the caller's thread and
 * scheduling checks is the host's business.
 *
 * Storage directory layout:
 *   config.json                 the webhook URL
 *   monitors.json               the monitors and their last results
 *   data/<id>/heartbeats.dat    each monitor's history, 54712 bytes
 *   data/<id>/heartbeats.dat.spare
 *                               the file a check writes and then swaps with
 *                               heartbeats.dat; what it holds never matters
 *   .lock                       held by the process that has the engine
 *                               started on the directory; holds its id
 * Files are replaced atomically (written beside the old one, then renamed
 * over it or swapped with it), so a crash at any instant leaves each file
 * whole, old or new; directories are created owner-only (0700) and files
 * owner-only (0600) where the platform has such modes. One process at a
 * time may have the engine started on a directory.
 *
 * A state file that exists but cannot be loaded (unreadable, not JSON, the
 * wrong root type; a heartbeat file shorter than its header or with a wrong
 * magic, capacity, head or count) counts as empty at start, and is never
 * written over: before the engine first writes in its place it renames it
 * to "<name>.unreadable-YYYYMMDDTHHMMSSZ" (UTC; "-1", "-2", ... appended
 * when that name is taken). Temporary files that a process killed during a
 * save left behind are removed at start.
 *
 * Results and errors
 * ------------------
 * Operations return 0 on success and -1 on failure. A failure leaves one of
 * the fixed texts listed with each function for uptime_last_error(); a
 * success never clears it (only a successful start does). A state file that
 * cannot be written leaves the previous one intact; uptime_save_state() is
 * the call that reports it. A probe that finds its target down is an
 * outcome, not an error.
 *
 * Threads
 * -------
 * Any thread may call any function. Calls are serialised by one internal
 * lock that is never held across network work. uptime_engine_init() and
 * uptime_engine_cleanup() must not run while another call is in progress
 * (the started flag is read without the lock).
 *
 * Text
 * ----
 * All texts are zero-terminated UTF-8. Texts the engine returns belong to
 * the engine; the host never frees or changes them.
 */
#ifndef VANTOREL_UPTIME_ENGINE_H
#define VANTOREL_UPTIME_ENGINE_H

#include <stdint.h>

#define VANTOREL_UPTIME_ENGINE_VERSION_MAJOR 1
#define VANTOREL_UPTIME_ENGINE_VERSION_MINOR 1
#define VANTOREL_UPTIME_ENGINE_VERSION_PATCH 0
#define VANTOREL_UPTIME_ENGINE_VERSION "1.1.0"

/*
 * UPTIME_API marks the exported functions. Define UPTIME_STATIC when linking
 * the static library on Windows so that no dllimport is applied.
 */
#if defined(_WIN32) || defined(__CYGWIN__)
#  if defined(UPTIME_BUILDING_LIBRARY)
#    define UPTIME_API __declspec(dllexport)
#  elif defined(UPTIME_STATIC)
#    define UPTIME_API
#  else
#    define UPTIME_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__) || defined(__clang__)
#  define UPTIME_API __attribute__((visibility("default")))
#else
#  define UPTIME_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Monitor types (the `type` argument of uptime_monitor_add). Any other value
 * is stored and reported as "UNKNOWN"; a check of it records a down
 * heartbeat with latency 0 without probing anything. */
/*
 * UPTIME_MONITOR_HTTP, target: a URL; "http://" is put in front when it does
 *   not start with http:// or https:// (in any case). The GET carries the
 *   path and query, never the fragment; a space or backslash is sent as %20
 *   or %5C. Up when a complete response head arrives whose final status is
 *   200..399. Redirects (301, 302, 303, 307, 308) are followed to their
 *   Location whatever body they carry, at most 10 hops (the eleventh
 *   redirect is down), never from https to http (such a redirect is itself
 *   judged). A response cut off inside its head, or a head larger than
 *   100 KiB, is down. Certificate faults (unknown issuer, name, dates, usage)
 *   are ignored and no trust store is needed.
 * UPTIME_MONITOR_TCP_PORT, target: host:port split at the last ':', or
 *   [host]:port with the brackets removed; port 80 when absent. A numeric
 *   port outside 1..65535, an empty port, or one with a sign, blank or other
 *   stray characters is down with latency 0 and nothing is contacted; a port
 *   starting with a letter is a service name. Every resolved address is
 *   tried in order within one 3 s connect limit.
 */
#define UPTIME_MONITOR_HTTP 0     /* target: URL (see above) */
#define UPTIME_MONITOR_TCP_PORT 1 /* target: host:port or [host]:port (see above) */
#define UPTIME_MONITOR_DNS 2      /* target: host name to resolve */
#define UPTIME_MONITOR_PING 3     /* target: host name or IPv4 address to ping */

/* Status codes. Only 1 counts as up anywhere in the engine. */
#define UPTIME_STATUS_DOWN 0
#define UPTIME_STATUS_UP 1
#define UPTIME_STATUS_PENDING 2 /* every new monitor; no check produces it */

/* Limits. */
#define UPTIME_MAX_MONITORS 128
#define UPTIME_ID_BUFFER_SIZE 37 /* 36 characters and the terminating zero */

/*
 * uptime_engine_init - start the engine on a storage directory.
 *
 * storage_dir: may be null or empty, which means "." (the working
 *   directory). Longer than 511 bytes: its first 511 bytes are used, cut at a
 *   whole UTF-8 character. The directory and its "data" subdirectory are
 *   created when missing.
 * Takes the storage directory's lock (the file .lock in it) for as long as
 * the engine stays started, removes the temporary files of an interrupted
 * save, and loads config.json, monitors.json and every monitor's
 * heartbeats.dat. A missing or malformed file counts as empty (see the top
 * of this header); loading never fails the start.
 * Returns 0 when started, also when the engine already was (then nothing
 * changes and storage_dir is ignored); -1 when the network layer cannot be
 * started or the directory cannot be locked. A refused start reads and
 * writes no state file.
 * Errors: "WSAStartup failed", "Storage directory in use by another
 *   process" (another process has the engine started on it; a process that
 *   dies releases it), "Cannot lock storage directory" (the lock file
 *   cannot be created or opened: a directory that cannot be created or
 *   written, a path that is a file).
 * A successful start empties the last-error text. Must not run while any
 * other call into the engine is in progress.
 */
UPTIME_API int uptime_engine_init(const char *storage_dir);

/*
 * uptime_engine_cleanup - save everything and stop the engine.
 *
 * Writes config.json, monitors.json and every heartbeat file that changed,
 * releases the storage directory, then stops. Does nothing when the engine
 * is not started. A later uptime_engine_init() starts over and reloads. Must
 * not run while any other call (a check in particular) is in progress. A
 * host that must know whether everything reached the disk calls
 * uptime_save_state() first.
 */
UPTIME_API void uptime_engine_cleanup(void);

/*
 * uptime_set_webhook_url - set the URL that receives status-change events.
 *
 * url: may be null; null or "" means no webhook. Longer than 1023 bytes: its
 *   first 1023 bytes are kept, cut at a whole UTF-8 character. The URL is
 *   saved in config.json at once. Events are POSTed to its path and query
 *   (never the fragment); the scheme (http or https, in any case) is
 *   required. Redirects are followed as for HTTP monitors (301, 302 and 303
 *   as a GET without body). An HTTPS receiver's certificate may have an
 *   unknown issuer, another name or be outside its dates, but must not
 *   exclude server authentication; no trust store is needed.
 * Returns 0 once the URL is in force, also when config.json could not be
 * written (uptime_save_state() reports that), or -1 with the previous URL
 * kept.
 * Errors: "Engine not initialized", "Invalid webhook URL" (not valid UTF-8).
 */
UPTIME_API int uptime_set_webhook_url(const char *url);

/*
 * uptime_save_state - write config.json, monitors.json and the heartbeat
 * files now. Status, latency and last-check time of the monitors reach
 * monitors.json only through this call, an add, a delete or the stop.
 * Every file is attempted, and flushed to the disk before the call returns.
 * Returns 0 when every file that had to be written was written; -1 when the
 * engine is not started, or when any file could not be written (the disk
 * is full or read-only, no memory for its text, or an unreadable file in
 * its place could not be set aside): what was written stays written and
 * the rest is attempted again by the next save.
 * Errors: "Engine not initialized", "Failed to save state".
 */
UPTIME_API int uptime_save_state(void);

/*
 * uptime_last_error - the text of the last failure.
 *
 * Returns a zero-terminated text owned by the engine, never null; "" before
 * any failure and after each successful start. It is always one of the
 * fixed texts listed with the functions, whole, and stays valid for the
 * life of the process, even while other threads fail at the same time. The
 * text is process-wide: a failure in one thread replaces the message of
 * another. No lock is taken.
 */
UPTIME_API const char *uptime_last_error(void);

/*
 * uptime_monitor_add - add a monitor.
 *
 * name, target: must not be null and must be valid UTF-8; "" is accepted.
 *   Longer texts are cut at a whole UTF-8 character to 127 (name) and 511
 *   (target) bytes.
 * type: one of the UPTIME_MONITOR_* codes; not validated.
 * interval_sec: stored for the host's scheduler; 60 when below 1.
 * out_id: may be null; otherwise room for UPTIME_ID_BUFFER_SIZE (37) bytes
 *   that receive the new identifier, a random version-4 UUID in lower case.
 * The new monitor is pending (status 2). monitors.json and the new
 * monitor's heartbeat file are written before the call returns.
 * Returns 0 once the monitor is in the table, also when a file could not be
 * written (uptime_save_state() reports that; retrying the add would make a
 * second monitor), or -1 with nothing added.
 * Errors: "Engine not initialized", "Invalid name or target",
 *   "Maximum monitors capacity reached".
 */
UPTIME_API int uptime_monitor_add(const char *name, int type, const char *target,
                                  int interval_sec, char *out_id);

/*
 * uptime_monitor_delete - remove a monitor.
 *
 * monitor_id: exact, case-sensitive identifier; must not be null.
 * monitors.json is written before the call returns. The monitor's
 * data/<id>/ directory is left on disk.
 * Returns 0 once the monitor is gone from the table, also when
 * monitors.json could not be written (uptime_save_state() reports that), or
 * -1.
 * Errors: "Engine not initialized or null monitor_id", "Monitor not found".
 */
UPTIME_API int uptime_monitor_delete(const char *monitor_id);

/*
 * uptime_heartbeat_record - record an outcome the host measured itself.
 *
 * monitor_id: must not be null.
 * status: any value; only 1 counts as up. The history keeps its low 8 bits,
 *   the monitor's current status the whole value.
 * latency_ms: milliseconds; must be finite and within single precision
 *   (|latency_ms| <= 3.4028234663852886e38).
 * timestamp: Unix seconds, taken as given.
 * Writes no file: the heartbeat reaches heartbeats.dat with the monitor's
 * next check or the next full save.
 * Returns 0, or -1 with nothing recorded.
 * Errors: "Engine not initialized or null monitor_id", "Monitor not found",
 *   "Invalid latency".
 */
UPTIME_API int uptime_heartbeat_record(const char *monitor_id, int status, double latency_ms,
                                       int64_t timestamp);

/*
 * uptime_get_percent_90d - share of up heartbeats over the last 90 days.
 *
 * monitor_id: may be null.
 * Returns a percentage from 0.0 to 100.0, computed from the daily counters
 * of the days from today-90 to today (and later), or from the whole
 * heartbeat ring when none of them holds a heartbeat. Returns 100.0 for a
 * monitor without heartbeats, when the engine is not started, for a null
 * id and for an unknown id. Never sets the last-error text.
 */
UPTIME_API double uptime_get_percent_90d(const char *monitor_id);

/*
 * uptime_check_now - probe one monitor now, in the caller's thread.
 *
 * monitor_id: must not be null.
 * out_up: may be null; receives 1 (up) or 0 (down).
 * out_latency_ms: may be null; receives the latency in milliseconds (0.0
 *   when the probe failed before it measured anything).
 * The outcome is recorded as a heartbeat and the monitor's heartbeat file
 * rewritten. When the status flips between up and down (not from pending)
 * and a webhook URL is set, the "status_change" event is posted before the
 * call returns. The internal lock is not held during the probe or the post.
 * Returns 0 whatever the probe's outcome, or -1.
 * Errors: "Engine not initialized or null monitor_id", "Monitor not found".
 */
UPTIME_API int uptime_check_now(const char *monitor_id, int *out_up, double *out_latency_ms);

/*
 * uptime_monitors_list_json - every monitor as one compact JSON array.
 *
 * Each element: {"id","name","type","type_name","target","interval_sec",
 * "status","latency_ms","last_check","uptime_90d"} in that order.
 * Returns text owned by the engine: "[]" when not started or when the
 * report cannot be written. The text stays valid until the next call of
 * this function from any thread. Never sets the last-error text.
 */
UPTIME_API const char *uptime_monitors_list_json(void);

/*
 * uptime_get_heartbeats_json - the newest heartbeats of one monitor, oldest
 * first, as one compact JSON array of {"time","status","latency_ms"}.
 *
 * monitor_id: may be null.
 * limit: how many of the newest to list; below 1 or above the number held
 *   lists all of them (at most 4096).
 * Returns text owned by the engine: "[]" when not started, for a null or
 * unknown id, or when the monitor has no heartbeat. The text stays valid
 * until the next call of this function from any thread. Never sets the
 * last-error text.
 */
UPTIME_API const char *uptime_get_heartbeats_json(const char *monitor_id, int limit);

/* ==========================================================================
 * Extensions
 * --------------------------------------------------------------------------
 * The functions below extend the twelve above, which keep their signatures
 * and behaviour; the same rules for threads, text and errors hold.
 * ========================================================================== */

/*
 * uptime_monitor_detail_json - why a monitor is up or down: the last check
 * in detail, the current run of failures and the 90 daily counters.
 *
 * monitor_id: must not be null.
 * Returns one compact JSON object, members in this order:
 *
 *   {"id":"...",
 *    "last_check":null | {"time":1765360000,"up":0,"reason":"connect_refused",
 *        "message":"Connection refused","address":"127.0.0.1",
 *        "http_status":null,"redirects":0,
 *        "phases_ms":{"resolve":0.02,"connect":0.11,"tls":null,"first_byte":null},
 *        "certificate":null | {"not_after":1767225600,"days_left":21,
 *                              "subject":"CN=example.org,O=Example",
 *                              "issuer":"CN=Example CA,O=Example"}},
 *    "consecutive_failures":3,"down_since":1765359000 | null,
 *    "last_up":1765358940 | null,
 *    "daily":[{"day":"2026-09-12","up":1430,"total":1440}, ...]}
 *
 * last_check: the last check that uptime_check_now() made of this monitor
 *   since the engine started; null before the first one. It is kept in
 *   memory only: null again after a restart. Heartbeats recorded with
 *   uptime_heartbeat_record() do not change it, so it may be older than the
 *   monitor's last heartbeat.
 *   time        the check's heartbeat time (Unix seconds)
 *   up          the check's outcome, 1 or 0, as uptime_check_now() gave it
 *   reason      one of the texts below
 *   message     one line of human text, at most 255 bytes: the OS's, the
 *               TLS library's or the HTTP layer's own reason where there is
 *               one (its wording differs between platforms); "" for "ok"
 *   address     the numeric address connected to (HTTP: of the last
 *               request; TCP: the last address tried) or pinged; for DNS
 *               the first address the name resolved to; null when none
 *   http_status HTTP only: the final response's status; null when no
 *               complete response head arrived, and for the other types
 *   redirects   HTTP only: redirects followed; null for the other types,
 *               for a URL that could not be used, and where the platform
 *               does not count them
 *   phases_ms   milliseconds; each null where the phase does not apply or
 *               the platform does not tell. resolve: the name resolution
 *               (TCP, DNS and ping: also when it failed); connect: HTTP the
 *               TCP connect, TCP every connect attempt together; tls: the
 *               HTTPS handshake; first_byte: HTTP, from the request sent to
 *               the first byte of the response. HTTP phases are those of the
 *               last request of a redirect chain.
 *   certificate HTTPS only: the leaf certificate the server presented in
 *               the last TLS handshake of the check (of the final request),
 *               whether or not it was accepted; null for plain HTTP, the
 *               other types, or when no certificate was seen. not_after in
 *               Unix seconds; days_left the whole days from the check's
 *               time to not_after, rounded down (negative once expired);
 *               subject and issuer one-line distinguished names, most
 *               specific attribute first ("CN=example.org,O=Example"),
 *               special characters escaped with '\', at most 255 bytes.
 * reason, the closed set (new texts would be added only in a new version):
 *   "ok"                 the check was up.
 *   "invalid_target"     nothing was contacted: an HTTP target that is not a
 *                        usable http or https URL, a TCP target whose port is
 *                        not 1..65535 or a service name, or a monitor type
 *                        the engine does not know.
 *   "resolve_failed"     the host name did not resolve (HTTP also: not within
 *                        3 s); ping: it has no IPv4 address.
 *   "connect_refused"    the host answered that nothing listens on the port
 *                        (on Windows the HTTP layer reports this as
 *                        "connect_failed").
 *   "connect_timeout"    no connection within the limit (3 s).
 *   "connect_failed"     any other failure to connect (unreachable network
 *                        or host, no usable address family).
 *   "tls_failed"         the TLS handshake failed (also a handshake that did
 *                        not finish within the 5 s send limit).
 *   "request_failed"     the request could not be sent, or the connection
 *                        ended (or the head grew past 100 KiB) before the
 *                        response head was complete.
 *   "response_timeout"   no complete response head within 5 s.
 *   "http_status"        a final status outside 200..399, in http_status.
 *   "too_many_redirects" still a redirect after ten redirects.
 *   "insecure_redirect"  an https URL redirected to http: the redirect was
 *                        not followed and was itself judged, so the check is
 *                        up (its status is a 3xx) but never reached the
 *                        content.
 *   "icmp_timeout"       ping: no successful echo reply within 3 s (no
 *                        reply, an error reply such as an unreachable host,
 *                        or a request that could not be sent).
 *   "icmp_unavailable"   ping: ICMP echo cannot be used in this process, so
 *                        the name lookup ran instead and its result is the
 *                        outcome, up or down: an address that was never
 *                        pinged reads as up. The message says what the lookup
 *                        gave.
 * consecutive_failures, down_since, last_up: read from the heartbeat ring
 *   (the last 4096 heartbeats, the ones the host recorded included), newest
 *   first in the order they were recorded, not sorted by their timestamps.
 *   A heartbeat whose status is not 1 (0, 2 or any other value) is a
 *   failure; the ring keeps the low 8 bits of a status, so one recorded as
 *   257 reads as 1 there. consecutive_failures counts the failures
 *   recorded since the newest up heartbeat (all those held when none is
 *   up; 0 when the newest is up or there is none); down_since is the time
 *   of the first of them (of the oldest heartbeat held when the ring holds
 *   no up one), null when the newest heartbeat is up or there is none;
 *   last_up is the time of the newest up heartbeat, null when the ring
 *   holds none.
 * daily: every daily counter that holds a heartbeat (at most 90), oldest
 *   day first; day is the UTC date "YYYY-MM-DD" (a year outside 0..9999 in
 *   full, a negative one with '-'), up the heartbeats of that day whose
 *   status was 1, total all of them.
 * Windows: phases come from WinHTTP's notifications (resolve, connect for
 *   plain http, first_byte once a response head was taken) and, from
 *   Windows 10 1903 on, from its request times (resolve, connect, tls);
 *   the redirects from its notifications; a refused HTTP connection reads
 *   "connect_failed".
 *
 * Returns text owned by the engine, never cut, valid until the next call
 * of this function from any thread; or NULL.
 * Errors: "Engine not initialized or null monitor_id", "Monitor not found".
 */
UPTIME_API const char *uptime_monitor_detail_json(const char *monitor_id);

#ifdef __cplusplus
}
#endif

#endif /* VANTOREL_UPTIME_ENGINE_H */
