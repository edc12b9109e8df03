// Makes the seed corpus of the fuzz targets (fuzz/corpus/) with the engine
// itself, through the public API: the files a few sessions leave behind,
// one of them with a ring that wrapped and daily counters that all turned
// over, and monitors.json as the engine writes it back after loading
// numbers at the ends of the double and integer ranges. The JSON targets
// also get hand-written seeds (named hand-*) with those numbers in places
// the engine never writes itself. fuzz/make_corpus.sh runs it.
//
//   make_seed_corpus OUTPUT_DIR
#include <cfloat>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "vantorel-uptime-engine.h"

namespace fs = std::filesystem;

namespace {

void must(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "make_seed_corpus: %s failed: %s\n", what, uptime_last_error());
        std::exit(1);
    }
}

void write_file(const fs::path &path, const std::string &bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string add(const char *name, int type, const char *target, int interval) {
    char id[UPTIME_ID_BUFFER_SIZE];
    must(uptime_monitor_add(name, type, target, interval, id) == 0, "add");
    return id;
}

const char *const kEdgeNumbers[] = {
    "1.757938347017468e-335", "3e-325", "2e-324", "3e-324", "1e-400", "4.9406564584124654e-324",
    "2.2250738585072011e-308", "2.2250738585072014e-308", "1.7976931348623157e308", "9.9e308", "1e400",
    "-0.0", "-0", "18446744073709551616", "18446744073709551615", "-9223372036854775809",
    "9223372036854775807", "9007199254740993", "4294967296", "-2147483649", "1e-7", "1e21", "0.1e1"};

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seed_corpus OUTPUT_DIR\n");
        return 64;
    }
    const fs::path out = argv[1];
    const fs::path work = fs::temp_directory_path() / "vue-seed-corpus";
    fs::remove_all(work);

    // A session with one monitor of each type, texts that need escapes, and
    // heartbeats at awkward times and latencies.
    must(uptime_engine_init(work.string().c_str()) == 0, "start");
    must(uptime_set_webhook_url("https://hooks.example/notify?token=abc&x=%20#frag") == 0, "webhook");
    const std::string web = add("web \xE2\x82\xAC \"quoted\" \\ tab\t", UPTIME_MONITOR_HTTP, "https://example.com/health", 30);
    add("tcp", UPTIME_MONITOR_TCP_PORT, "[::1]:8080", 60);
    add("dns \xF0\x9F\x98\x80", UPTIME_MONITOR_DNS, "example.org", 300);
    add("ping", UPTIME_MONITOR_PING, "192.0.2.1", 1);
    const std::string quiet = add("", 7, "", INT_MAX);
    const int64_t times[] = {1718000000, 1718000060, 0, -1, 32503680000 /* year 3000 */, INT64_MIN, INT64_MAX};
    const double latencies[] = {12.5, 0.0, -0.0, 5e-324, FLT_MAX, 0.1, 3000.25};
    for (size_t i = 0; i < std::size(times); ++i) {
        must(uptime_heartbeat_record(web.c_str(), static_cast<int>(i % 3), latencies[i], times[i]) == 0, "record");
    }
    must(uptime_heartbeat_record(web.c_str(), INT_MIN, 1.0, 1718000120) == 0, "record");
    uptime_engine_cleanup();
    write_file(out / "config" / "engine-session.json", [&] {
        std::ifstream in(work / "config.json", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }());
    fs::create_directories(out / "monitors");
    fs::copy_file(work / "monitors.json", out / "monitors" / "engine-session.json", fs::copy_options::overwrite_existing);
    fs::create_directories(out / "heartbeats");
    fs::copy_file(work / "data" / web / "heartbeats.dat", out / "heartbeats" / "engine-few.dat",
                  fs::copy_options::overwrite_existing);
    fs::copy_file(work / "data" / quiet / "heartbeats.dat", out / "heartbeats" / "engine-empty.dat",
                  fs::copy_options::overwrite_existing);

    // A ring that wrapped, over more days than there are daily counters.
    must(uptime_engine_init(work.string().c_str()) == 0, "start");
    for (int i = 0; i < 5000; ++i) {
        must(uptime_heartbeat_record(quiet.c_str(), i % 7 == 0 ? 0 : 1, 1.0 + i, 1718000000 + 2000LL * i) == 0,
             "record");
    }
    uptime_engine_cleanup();
    fs::copy_file(work / "data" / quiet / "heartbeats.dat", out / "heartbeats" / "engine-wrapped.dat",
                  fs::copy_options::overwrite_existing);

    // monitors.json as the engine writes it back after loading numbers at
    // the ends of the ranges.
    std::string edge = "[";
    for (size_t i = 0; i < std::size(kEdgeNumbers); ++i) {
        const std::string n = kEdgeNumbers[i];
        // Numbers the engine cannot hold (1e400, 9.9e308) would make the
        // whole file unreadable; they are left to the hand-written seeds.
        if (n == "1e400" || n == "9.9e308") continue;
        edge += std::string(edge.size() > 1 ? "," : "") + R"({"id":"e)" + std::to_string(i) + R"(","last_latency_ms":)" +
                n + R"(,"last_check":)" + (n.find_first_of(".e") == std::string::npos ? n : "0") + R"(,"type":)" +
                (n.find_first_of(".e") == std::string::npos ? n : "1") + "}";
    }
    edge += "]";
    fs::remove_all(work);
    write_file(work / "monitors.json", edge);
    must(uptime_engine_init(work.string().c_str()) == 0, "start");
    must(uptime_save_state() == 0, "save");
    uptime_engine_cleanup();
    fs::copy_file(work / "monitors.json", out / "monitors" / "engine-edge-numbers.json",
                  fs::copy_options::overwrite_existing);
    fs::remove_all(work);

    // Hand-written: each edge number alone, in a monitor and in config.json.
    for (size_t i = 0; i < std::size(kEdgeNumbers); ++i) {
        const std::string n = kEdgeNumbers[i], tag = std::to_string(i);
        write_file(out / "json" / ("hand-number-" + tag + ".json"), "[" + n + "]");
        write_file(out / "monitors" / ("hand-latency-" + tag + ".json"),
                   R"([{"id":"m","last_latency_ms":)" + n + "}]");
        write_file(out / "config" / ("hand-member-" + tag + ".json"),
                   R"({"retry":)" + n + R"(,"webhook_url":"https://h/"})");
    }
    std::printf("make_seed_corpus: seeds written to %s\n", out.string().c_str());
    return 0;
}
