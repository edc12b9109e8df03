/* A small host: starts the engine in a directory, adds a few monitors,
 * records heartbeats it "measured" itself and prints both reports. Run it
 * twice on the same directory to see the state come back. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "vantorel-uptime-engine.h"

static int add(const char *name, int type, const char *target, char *id) {
    if (uptime_monitor_add(name, type, target, 60, id) != 0) {
        fprintf(stderr, "add %s: %s\n", name, uptime_last_error());
        return -1;
    }
    return 0;
}

int main(int argc, char **argv) {
    const char *dir = argc > 1 ? argv[1] : "uptime-example-data";
    char web[UPTIME_ID_BUFFER_SIZE], db[UPTIME_ID_BUFFER_SIZE], dns[UPTIME_ID_BUFFER_SIZE];
    int64_t now = (int64_t)time(NULL);
    int i;

    if (uptime_engine_init(dir) != 0) {
        fprintf(stderr, "start: %s\n", uptime_last_error());
        return 1;
    }
    printf("storage directory: %s\n", dir);

    if (add("Web front", UPTIME_MONITOR_HTTP, "http://127.0.0.1:8080/health", web) != 0 ||
        add("Database", UPTIME_MONITOR_TCP_PORT, "127.0.0.1:5432", db) != 0 ||
        add("Resolver", UPTIME_MONITOR_DNS, "localhost", dns) != 0) {
        uptime_engine_cleanup();
        return 1;
    }

    /* Ten minutes of outcomes at one-minute intervals, as a host that does
     * its own probing would report them. */
    for (i = 0; i < 10; ++i) {
        int64_t t = now - (9 - i) * 60;
        uptime_heartbeat_record(web, UPTIME_STATUS_UP, 20.0 + i, t);
        uptime_heartbeat_record(db, i == 4 ? UPTIME_STATUS_DOWN : UPTIME_STATUS_UP, 1.5, t);
    }
    uptime_heartbeat_record(dns, UPTIME_STATUS_UP, 0.25, now);

    printf("\nmonitors:\n%s\n", uptime_monitors_list_json());
    printf("\nlast 3 heartbeats of Database (90-day uptime %.2f%%):\n%s\n", uptime_get_percent_90d(db),
           uptime_get_heartbeats_json(db, 3));

    uptime_engine_cleanup();
    printf("\nstate saved in %s (config.json, monitors.json, data/<id>/heartbeats.dat)\n", dir);
    return 0;
}
