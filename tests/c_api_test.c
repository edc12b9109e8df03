/* The public header as a C99 host sees it, against the shared library: one
 * round of every kind of call. Exits non-zero on the first surprise. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "vantorel-uptime-engine.h"

static int failures = 0;

#define CHECK(cond)                                                      \
    do {                                                                 \
        if (!(cond)) {                                                   \
            fprintf(stderr, "%s:%d: check failed: %s (last error: %s)\n", \
                    __FILE__, __LINE__, #cond, uptime_last_error());     \
            ++failures;                                                  \
        }                                                                \
    } while (0)

int main(int argc, char **argv) {
    char id[UPTIME_ID_BUFFER_SIZE];
    char expected[256];
    const char *list;
    int64_t when = INT64_C(1718000000);

    if (argc < 2) {
        fprintf(stderr, "usage: %s <storage directory>\n", argv[0]);
        return 2;
    }
    /* A fresh process: nothing has failed yet. */
    CHECK(uptime_last_error() != NULL && uptime_last_error()[0] == '\0');
    CHECK(strcmp(uptime_monitors_list_json(), "[]") == 0);

    CHECK(uptime_engine_init(argv[1]) == 0);
    /* The directory may hold monitors of an earlier run; start from none. */
    for (;;) {
        const char *text = uptime_monitors_list_json();
        const char *at = strstr(text, "\"id\":\"");
        char old[UPTIME_ID_BUFFER_SIZE];
        if (at == NULL) break;
        memcpy(old, at + 6, 36);
        old[36] = '\0';
        if (uptime_monitor_delete(old) != 0) break;
    }
    CHECK(strcmp(uptime_monitors_list_json(), "[]") == 0);

    memset(id, 0, sizeof id);
    CHECK(uptime_monitor_add("c host", UPTIME_MONITOR_DNS, "localhost", 30, id) == 0);
    CHECK(strlen(id) == 36 && id[14] == '4');
    CHECK(uptime_heartbeat_record(id, UPTIME_STATUS_UP, 12.5, when) == 0);

    CHECK(strcmp(uptime_get_heartbeats_json(id, 0), "[{\"time\":1718000000,\"status\":1,\"latency_ms\":12.5}]") == 0);
    list = uptime_monitors_list_json();
    sprintf(expected,
            "[{\"id\":\"%s\",\"name\":\"c host\",\"type\":2,\"type_name\":\"DNS\",\"target\":\"localhost\","
            "\"interval_sec\":30,\"status\":1,\"latency_ms\":12.5,\"last_check\":1718000000,\"uptime_90d\":100.0}]",
            id);
    CHECK(strcmp(list, expected) == 0);
    CHECK(uptime_get_percent_90d(id) == 100.0);
    /* The extension: no check made yet, one recorded heartbeat. */
    sprintf(expected,
            "{\"id\":\"%s\",\"last_check\":null,\"consecutive_failures\":0,\"down_since\":null,"
            "\"last_up\":1718000000,\"daily\":[{\"day\":\"2024-06-10\",\"up\":1,\"total\":1}]}",
            id);
    CHECK(uptime_monitor_detail_json(id) != NULL && strcmp(uptime_monitor_detail_json(id), expected) == 0);
    CHECK(uptime_monitor_detail_json("not-an-id") == NULL);
    CHECK(strcmp(uptime_last_error(), "Monitor not found") == 0);

    CHECK(uptime_monitor_delete("not-an-id") == -1);
    CHECK(strcmp(uptime_last_error(), "Monitor not found") == 0);
    CHECK(uptime_save_state() == 0);
    CHECK(uptime_set_webhook_url(NULL) == 0);

    uptime_engine_cleanup();
    CHECK(strcmp(uptime_monitors_list_json(), "[]") == 0);
    CHECK(uptime_save_state() == -1);
    CHECK(strcmp(uptime_last_error(), "Engine not initialized") == 0);
    return failures == 0 ? 0 : 1;
}
