// Sequential (or parallel) checks of one target through the public API,
// for side-by-side rates with other probers (bench/compare-peers.sh).
//
//   check_rate --type tcp|http --target TARGET [--count N] [--threads T] --dir DIR
//
// Each thread checks a monitor of its own, N checks per thread. Prints
// "checks_per_second <rate>" and fails when a check finds the target down.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "vantorel-uptime-engine.h"

int main(int argc, char **argv) {
    std::string type_name = "tcp", target, dir;
    long count = 10000, threads = 1;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--type") type_name = argv[i + 1];
        else if (option == "--target") target = argv[i + 1];
        else if (option == "--count") count = std::atol(argv[i + 1]);
        else if (option == "--threads") threads = std::atol(argv[i + 1]);
        else if (option == "--dir") dir = argv[i + 1];
        else {
            std::fprintf(stderr, "check_rate: unknown option %s\n", option.c_str());
            return 2;
        }
    }
    const int type = type_name == "http" ? UPTIME_MONITOR_HTTP : UPTIME_MONITOR_TCP_PORT;
    if (target.empty() || dir.empty() || count < 1 || threads < 1) {
        std::fprintf(stderr, "usage: check_rate --type tcp|http --target TARGET [--count N] [--threads T] --dir DIR\n");
        return 2;
    }
    if (uptime_engine_init(dir.c_str()) != 0) {
        std::fprintf(stderr, "check_rate: %s\n", uptime_last_error());
        return 1;
    }
    std::vector<std::string> ids;
    for (long t = 0; t < threads; ++t) {
        char id[UPTIME_ID_BUFFER_SIZE];
        if (uptime_monitor_add("rate", type, target.c_str(), 60, id) != 0) {
            std::fprintf(stderr, "check_rate: %s\n", uptime_last_error());
            return 1;
        }
        ids.emplace_back(id);
    }
    // One check each first: connections, caches and files warm up.
    for (const std::string &id : ids) uptime_check_now(id.c_str(), nullptr, nullptr);

    std::atomic<long> down{0};
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (long t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            int up = 0;
            for (long i = 0; i < count; ++i) {
                uptime_check_now(ids[static_cast<size_t>(t)].c_str(), &up, nullptr);
                if (up != 1) ++down;
            }
        });
    }
    for (std::thread &w : workers) w.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    uptime_engine_cleanup();
    if (down > 0) {
        std::fprintf(stderr, "check_rate: %ld checks found %s down\n", down.load(), target.c_str());
        return 1;
    }
    std::printf("checks_per_second %.0f\n", static_cast<double>(count * threads) / seconds);
    return 0;
}
