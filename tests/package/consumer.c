/* Built against an installed engine through pkg-config. */
#include <stdio.h>
#include <string.h>

#include <vantorel-uptime-engine.h>

int main(int argc, char **argv) {
    char id[UPTIME_ID_BUFFER_SIZE];
    if (argc < 2 || uptime_engine_init(argv[1]) != 0) return 1;
    if (uptime_monitor_add("pkg-config consumer", UPTIME_MONITOR_DNS, "localhost", 30, id) != 0) return 2;
    if (uptime_heartbeat_record(id, UPTIME_STATUS_UP, 1.5, 1700000000) != 0) return 3;
    if (strstr(uptime_monitors_list_json(), "pkg-config consumer") == NULL) return 4;
    uptime_engine_cleanup();
    printf("c consumer ok, engine %s\n", VANTOREL_UPTIME_ENGINE_VERSION);
    return 0;
}
