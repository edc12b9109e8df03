// Built against an installed engine through find_package().
#include <cstdio>
#include <string>

#include <vantorel-uptime-engine.h>

int main(int argc, char **argv) {
    char id[UPTIME_ID_BUFFER_SIZE];
    if (argc < 2 || uptime_engine_init(argv[1]) != 0) return 1;
    if (uptime_monitor_add("cmake consumer", UPTIME_MONITOR_TCP_PORT, "127.0.0.1:9", 30, id) != 0) return 2;
    if (uptime_heartbeat_record(id, UPTIME_STATUS_DOWN, 2.0, 1700000000) != 0) return 3;
    if (std::string(uptime_get_heartbeats_json(id, 0)).find("\"status\":0") == std::string::npos) return 4;
    uptime_engine_cleanup();
    std::printf("c++ consumer ok, engine %s\n", VANTOREL_UPTIME_ENGINE_VERSION);
    return 0;
}
