// Speed and allocation figures of the hot paths. Run:
//   build/bench/engine_bench [--benchmark_filter=...]
// "allocs" counts operator new calls per iteration in this process.
#include <benchmark/benchmark.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "probes/probes.h"
#include "vantorel-uptime-engine.h"

namespace {

std::atomic<long> g_allocations{0};

namespace fs = std::filesystem;

// Benchmarks that touch files run where VUE_BENCH_DIR says (default: the
// system's temporary directory): the figures that matter are those of a
// real disk file system, which /tmp may not be.
fs::path fresh_dir(const char *tag) {
    const char *base = std::getenv("VUE_BENCH_DIR");
    fs::path dir = (base != nullptr && *base != '\0' ? fs::path(base) : fs::temp_directory_path()) /
                   ("vue-bench-" + std::string(tag) + "-" + std::to_string(std::random_device{}()) +
                    std::to_string(std::random_device{}()));
    std::error_code ec;
    fs::remove_all(dir, ec);
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

// A start on a directory of 128 monitors whose rings and daily counters are
// full: every heartbeat file is read, checked and compared with what a save
// would write.
void BM_InitWith128FullHistories(benchmark::State &state) {
    const fs::path dir = fresh_dir("init");
    uptime_engine_init(dir.string().c_str());
    for (const std::string &id : add_monitors(128)) {
        for (int i = 0; i < 4096; ++i) {
            uptime_heartbeat_record(id.c_str(), i % 9 != 0, 10.0 + i % 50, 1800000000 + int64_t{i} * 86400 / 40);
        }
    }
    uptime_engine_cleanup();
    for (auto _ : state) {
        uptime_engine_init(dir.string().c_str());
        state.PauseTiming();
        uptime_engine_cleanup();
        state.ResumeTiming();
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
}
BENCHMARK(BM_InitWith128FullHistories)->Unit(benchmark::kMillisecond);

// A loopback TCP listener that accepts and closes, as fast a target as a
// check can have; its port, or 0.
class loopback_listener {
public:
    loopback_listener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            ::listen(fd_, 1024) != 0 || ::getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
            return;
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] {
            for (;;) {
                int client = ::accept(fd_, nullptr, nullptr);
                if (client < 0) return;
                ::close(client);
            }
        });
    }
    ~loopback_listener() {
        ::shutdown(fd_, SHUT_RDWR);
        ::close(fd_);
        if (thread_.joinable()) thread_.join();
    }
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
    std::thread thread_;
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

// What the engine adds to a check: the same TCP probe timed alone and
// inside uptime_check_now, alternately in one run, so both see the same
// target and the same machine. engine_added_us is the difference of the
// medians: the lookups, the recording and the heartbeat file.
void BM_TcpCheckEngineAdded(benchmark::State &state) {
    loopback_listener target;
    engine_scope engine("tcpcheck");
    const std::string where = "127.0.0.1:" + std::to_string(target.port());
    char id[UPTIME_ID_BUFFER_SIZE];
    uptime_monitor_add("tcp", UPTIME_MONITOR_TCP_PORT, where.c_str(), 60, id);
    std::vector<double> probe_us, check_us;
    using clock = std::chrono::steady_clock;
    for (auto _ : state) {
        auto t0 = clock::now();
        vue::probe_result alone;
        vue::check_tcp_port(where.c_str(), alone);
        auto t1 = clock::now();
        int up = 0;
        uptime_check_now(id, &up, nullptr);
        auto t2 = clock::now();
        probe_us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        check_us.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
        if (up != 1 || alone.up != 1) state.SkipWithError("the loopback target is not up");
    }
    state.counters["probe_us"] = median(probe_us);
    state.counters["check_us"] = median(check_us);
    state.counters["engine_added_us"] = median(check_us) - median(probe_us);
}
BENCHMARK(BM_TcpCheckEngineAdded)->Unit(benchmark::kMicrosecond);

// Checks of one monitor per thread against one fast loopback target:
// items_per_second of the 32-thread run against the 1-thread run shows what
// the engine lock costs when many hosts' threads check at once.
loopback_listener *g_shared_target = nullptr;
std::vector<std::string> g_thread_monitors;
engine_scope *g_threads_engine = nullptr;

void BM_ParallelTcpChecks(benchmark::State &state) {
    if (state.thread_index() == 0) {
        g_shared_target = new loopback_listener;
        g_threads_engine = new engine_scope("parallel");
        g_thread_monitors.clear();
        const std::string where = "127.0.0.1:" + std::to_string(g_shared_target->port());
        char id[UPTIME_ID_BUFFER_SIZE];
        for (int i = 0; i < state.threads(); ++i) {
            uptime_monitor_add("tcp", UPTIME_MONITOR_TCP_PORT, where.c_str(), 60, id);
            g_thread_monitors.emplace_back(id);
        }
    }
    // Google Benchmark starts every thread's loop together, after the setup above.
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            uptime_check_now(g_thread_monitors[static_cast<size_t>(state.thread_index())].c_str(), nullptr, nullptr));
    }
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) {
        delete g_threads_engine;
        delete g_shared_target;
    }
}
BENCHMARK(BM_ParallelTcpChecks)->Threads(1)->Threads(2)->Threads(4)->Threads(32)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

void *operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void *p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }

BENCHMARK_MAIN();
