// Starts the engine on a directory and tells what each call returned, one
// line each, for the tests that run it as a user who may not write there
// (through setpriv when the tests run as root).
//
//   unprivileged_start STORAGE_DIR
//
// Prints "ready" before it calls the engine, then "init <result> <last
// error>", and once started "list <report>", "add <result>" and "save
// <result> <last error>".
#include <cstdio>

#include "vantorel-uptime-engine.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: unprivileged_start STORAGE_DIR\n");
        return 64;
    }
    std::printf("ready\n");
    const int started = uptime_engine_init(argv[1]);
    std::printf("init %d %s\n", started, uptime_last_error());
    if (started != 0) return 0;
    std::printf("list %s\n", uptime_monitors_list_json());
    char id[UPTIME_ID_BUFFER_SIZE];
    std::printf("add %d\n", uptime_monitor_add("late", 7, "t", 60, id));
    const int saved = uptime_save_state();
    std::printf("save %d %s\n", saved, uptime_last_error());
    uptime_engine_cleanup();
    return 0;
}
