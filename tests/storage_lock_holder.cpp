// A second process for the storage lock tests: starts the engine on a
// directory, says so by creating a file, and holds the directory until a
// release file appears (or 60 s pass), then stops the engine.
//
//   storage_lock_holder STORAGE_DIR READY_FILE RELEASE_FILE
//
// Exit status 0, or 2 with the engine's error text when the start fails.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "vantorel-uptime-engine.h"

int main(int argc, char **argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: storage_lock_holder STORAGE_DIR READY_FILE RELEASE_FILE\n");
        return 64;
    }
    if (uptime_engine_init(argv[1]) != 0) {
        std::fprintf(stderr, "storage_lock_holder: %s\n", uptime_last_error());
        return 2;
    }
    std::ofstream(argv[2], std::ios::binary).put('1');
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::error_code ec;
    while (!std::filesystem::exists(argv[3], ec) && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    uptime_engine_cleanup();
    return 0;
}
