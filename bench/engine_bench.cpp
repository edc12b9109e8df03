// Speed and allocation figures of the hot paths. Run:
//   build/bench/engine_bench [--benchmark_filter=...]
// "allocs" counts operator new calls per iteration in this process.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "vantorel-uptime-engine.h"

namespace {

std::atomic<long> g_allocations{0};

namespace fs = std::filesystem;

fs::path fresh_dir(const char *tag) {
    fs::path dir = fs::temp_directory_path() /
                   ("vue-bench-" + std::string(tag) + "-" + std::to_string(std::rand()) + std::to_string(std::rand()));
    fs::remove_all(dir);
    return dir;
}

struct engine_scope {
    fs::path dir;
    explicit engine_scope(const char *tag) : dir(fresh_dir(tag)) {
        uptime_set_webhook_url(nullptr);
        uptime_engine_init(dir.string().c_str());
    }
    ~engine_scope() {
        uptime_engine_cleanup();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

std::vector<std::string> add_monitors(int n) {
    std::vector<std::string> ids;
    char id[UPTIME_ID_BUFFER_SIZE];
    for (int i = 0; i < n; ++i) {
        std::string name = "monitor " + std::to_string(i);
        uptime_monitor_add(name.c_str(), UPTIME_MONITOR_HTTP, "https://service.internal/health", 60, id);
        ids.emplace_back(id);
    }
    return ids;
}

void fill_history(const std::string &id, int beats) {
    for (int i = 0; i < beats; ++i) uptime_heartbeat_record(id.c_str(), i % 7 != 0, 12.5 + i % 100, 1800000000 + i * 60);
}

void BM_HeartbeatRecord(benchmark::State &state) {
    engine_scope engine("record");
    std::string id = add_monitors(1)[0];
    int64_t t = 1800000000;
    long before = g_allocations.load();
    for (auto _ : state) benchmark::DoNotOptimize(uptime_heartbeat_record(id.c_str(), 1, 12.5, t += 30));
    state.counters["allocs"] = benchmark::Counter(static_cast<double>(g_allocations.load() - before),
                                                  benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_HeartbeatRecord);

// An add and a delete in a table of 127 monitors with full histories: each
// writes monitors.json and only the heartbeat files that changed.
void BM_AddDeleteIn127(benchmark::State &state) {
    engine_scope engine("adddel");
    for (const std::string &id : add_monitors(127)) fill_history(id, 200);
    uptime_save_state();
    char id[UPTIME_ID_BUFFER_SIZE];
    for (auto _ : state) {
        uptime_monitor_add("extra", UPTIME_MONITOR_TCP_PORT, "db.internal:5432", 30, id);
        uptime_monitor_delete(id);
    }
}
BENCHMARK(BM_AddDeleteIn127)->Unit(benchmark::kMillisecond);

// A save after one heartbeat on each of 128 monitors: every file is written.
void BM_SaveStateAllChanged(benchmark::State &state) {
    engine_scope engine("saveall");
    std::vector<std::string> ids = add_monitors(128);
    int64_t t = 1800000000;
    for (auto _ : state) {
        state.PauseTiming();
        for (const std::string &id : ids) uptime_heartbeat_record(id.c_str(), 1, 3.0, ++t);
        state.ResumeTiming();
        uptime_save_state();
    }
}
BENCHMARK(BM_SaveStateAllChanged)->Unit(benchmark::kMillisecond);

void BM_MonitorsListJson(benchmark::State &state) {
    engine_scope engine("list");
    for (const std::string &id : add_monitors(128)) fill_history(id, 50);
    for (auto _ : state) benchmark::DoNotOptimize(uptime_monitors_list_json());
}
BENCHMARK(BM_MonitorsListJson)->Unit(benchmark::kMicrosecond);

void BM_HeartbeatsJson4096(benchmark::State &state) {
    engine_scope engine("beats");
    std::string id = add_monitors(1)[0];
    fill_history(id, 5000);
    for (auto _ : state) benchmark::DoNotOptimize(uptime_get_heartbeats_json(id.c_str(), 0));
}
BENCHMARK(BM_HeartbeatsJson4096)->Unit(benchmark::kMicrosecond);

// The cycle without a probe (an unknown type): two lock holds, the
// recording and the monitor's heartbeat file.
void BM_CheckCycleWithoutProbe(benchmark::State &state) {
    engine_scope engine("cycle");
    char id[UPTIME_ID_BUFFER_SIZE];
    uptime_monitor_add("noop", 99, "", 60, id);
    int up;
    double latency;
    for (auto _ : state) benchmark::DoNotOptimize(uptime_check_now(id, &up, &latency));
}
BENCHMARK(BM_CheckCycleWithoutProbe)->Unit(benchmark::kMicrosecond);

}  // namespace

void *operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void *p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }

BENCHMARK_MAIN();
