/* Built as an MSVC host would be: compiled for the MSVC ABI and linked by an
 * MSVC-compatible linker (clang --target=x86_64-pc-windows-msvc, lld-link)
 * against vantorel-uptime-engine.lib alone. It has no C runtime, so the
 * import library is all that connects it to the DLL; its exit status says
 * how far it got. */
#include <vantorel-uptime-engine.h>

/* The compiler marks programs that use floating point with this symbol,
 * which the C runtime would otherwise provide. */
int _fltused = 0;

static int contains(const char *text, const char *part) {
    for (; *text != '\0'; ++text) {
        const char *a = text, *b = part;
        while (*b != '\0' && *a == *b) ++a, ++b;
        if (*b == '\0') return 1;
    }
    return 0;
}

static int run(void) {
    char id[UPTIME_ID_BUFFER_SIZE];
    if (uptime_engine_init("msvc-consumer-state") != 0) return 10;
    if (uptime_monitor_add("msvc consumer", UPTIME_MONITOR_DNS, "localhost", 30, id) != 0) return 11;
    if (uptime_heartbeat_record(id, UPTIME_STATUS_DOWN, 2.5, 1700000000) != 0) return 12;
    if (!contains(uptime_monitors_list_json(), "\"name\":\"msvc consumer\"")) return 13;
    if (!contains(uptime_get_heartbeats_json(id, 0), "\"latency_ms\":2.5")) return 14;
    if (uptime_get_percent_90d(id) != 0.0) return 15;
    if (uptime_monitor_delete("no such monitor") != -1 || !contains(uptime_last_error(), "Monitor not found")) return 16;
    uptime_engine_cleanup();
    return 0;
}

/* The entry point, in place of the C runtime's: its return value is the
 * process's exit status. */
int __stdcall consumer_entry(void) {
    return run();
}
