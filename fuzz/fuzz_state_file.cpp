// libFuzzer target: one state file through the public API. The input is
// written as config.json, monitors.json or a monitor's heartbeats.dat
// (VUE_FUZZ_FILE 0, 1 or 2) in an otherwise valid storage directory; then
// start, every report, one record, a save, the stop, and a second start on
// what the engine wrote. Nothing may crash; every report must be strict
// JSON; the start and the saves must succeed; the second start must find
// what the first one left (nothing more set aside, the same monitors and
// histories).
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "store/json_text.h"
#include "vantorel-uptime-engine.h"

#ifndef VUE_FUZZ_FILE
#error "VUE_FUZZ_FILE: 0 config.json, 1 monitors.json, 2 heartbeats.dat"
#endif

namespace fs = std::filesystem;

namespace {

fs::path s_storage;

[[noreturn]] void fault(const char *what, const std::string &detail = "") {
    std::fprintf(stderr, "fuzz_state_file: %s %s (last error: %s)\n", what, detail.c_str(), uptime_last_error());
    std::abort();
}

void write_file(const fs::path &path, std::string_view bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

int set_aside_count() {
    int n = 0;
    for (const auto &entry : fs::recursive_directory_iterator(s_storage)) {
        if (entry.path().filename().string().find(".unreadable-") != std::string::npos) ++n;
    }
    return n;
}

// The list without "uptime_90d": monitors that share an id share one
// history file, so after a restart each shows the history written last.
std::string list_without_uptime(std::string list) {
    for (size_t at; (at = list.find(",\"uptime_90d\":")) != std::string::npos;) {
        list.erase(at, list.find('}', at) - at);
    }
    return list;
}

std::vector<std::string> ids_of(const char *list) {
    rapidjson::Document doc;
    if (!vue::json_parse_strict(list, doc) || !doc.IsArray()) fault("list report is not a JSON array:", list);
    std::vector<std::string> ids;
    for (const auto &m : doc.GetArray()) ids.emplace_back(m["id"].GetString(), m["id"].GetStringLength());
    return ids;
}

// The number of heartbeats a start takes from a heartbeat file: its count
// when the header is acceptable, else none.
rapidjson::SizeType loaded_count(std::string_view file) {
    if (file.size() < 24 || file.compare(0, 8, "VNUPTIME") != 0) return 0;
    auto field = [&file](size_t at) {
        uint32_t v = 0;
        for (size_t i = 0; i < 4; ++i) v |= static_cast<uint32_t>(static_cast<unsigned char>(file[at + i])) << (8 * i);
        return static_cast<int32_t>(v);
    };
    const int32_t count = field(12), head = field(16), capacity = field(20);
    if (capacity != 4096 || head < 0 || head >= 4096 || count < 0 || count > 4096) return 0;
    return static_cast<rapidjson::SizeType>(count);
}

// Only such ids name a history file (the others live in memory alone).
bool persisted(const std::string &id) {
    return id != "." && id != ".." && id.find_first_of("/\\:") == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Saves flush every file: a RAM file system keeps the runs fast.
    const fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    s_storage = base / ("vue-fuzz-" + std::to_string(::getpid()));
    std::atexit([] {
        std::error_code ec;
        fs::remove_all(s_storage, ec);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    fs::remove_all(s_storage);
    const std::string monitor = R"([{"id":"m","name":"n","type":7,"target":"t","interval_sec":60}])";
    switch (VUE_FUZZ_FILE) {
        case 0:
            write_file(s_storage / "config.json", input);
            write_file(s_storage / "monitors.json", monitor);
            break;
        case 1: write_file(s_storage / "monitors.json", input); break;
        default:
            write_file(s_storage / "monitors.json", monitor);
            write_file(s_storage / "data" / "m" / "heartbeats.dat", input);
            break;
    }
    const std::string dir = s_storage.string();
    if (uptime_engine_init(dir.c_str()) != 0) fault("start failed");
    const std::vector<std::string> ids = ids_of(uptime_monitors_list_json());
    const std::set<std::string> unique(ids.begin(), ids.end());
    std::vector<std::string> histories;
    for (const std::string &id : ids) {
        // The newest 64 stand for the history: writing and reading a whole
        // ring of 4096 costs more than all the rest of a run.
        const char *beats = uptime_get_heartbeats_json(id.c_str(), 64);
        rapidjson::Document doc;
        if (!vue::json_parse_strict(beats, doc) || !doc.IsArray()) fault("heartbeat report is not a JSON array:", beats);
        // Every heartbeat an accepted file holds is reported.
        if (VUE_FUZZ_FILE == 2 && id == "m" && doc.Size() != std::min<rapidjson::SizeType>(loaded_count(input), 64)) {
            fault("the heartbeat report lists another number of heartbeats than the file holds:", beats);
        }
        const double percent = uptime_get_percent_90d(id.c_str());
        if (!(percent >= 0.0 && percent <= 100.0)) fault("percent out of range");
        // The detail report reads the same history, every day bucket
        // included, whatever a file put there.
        const char *detail = uptime_monitor_detail_json(id.c_str());
        if (detail == nullptr) fault("no detail report for a listed monitor");
        if (!vue::json_parse_strict(detail, doc) || !doc.IsObject()) fault("detail report is not a JSON object:", detail);
    }
    if (!ids.empty() && uptime_heartbeat_record(ids[0].c_str(), 1, 1.5, 1718000000) != 0) fault("record failed");
    const std::string list = list_without_uptime(uptime_monitors_list_json());
    for (const std::string &id : ids) histories.emplace_back(uptime_get_heartbeats_json(id.c_str(), 64));
    if (uptime_save_state() != 0) fault("save failed");
    const int aside = set_aside_count();
    uptime_engine_cleanup();

    if (uptime_engine_init(dir.c_str()) != 0) fault("second start failed");
    const std::string list_again = list_without_uptime(uptime_monitors_list_json());
    if (list_again != list) fault("the monitors did not reload as saved:", list + " / " + list_again);
    for (size_t i = 0; i < ids.size(); ++i) {
        if (unique.size() != ids.size() || !persisted(ids[i])) break;
        const std::string beats = uptime_get_heartbeats_json(ids[i].c_str(), 64);
        if (beats != histories[i]) fault("a history did not reload as saved:", histories[i] + " / " + beats);
    }
    if (uptime_save_state() != 0) fault("second save failed");
    if (set_aside_count() != aside) fault("the engine could not read a file it wrote itself");
    uptime_engine_cleanup();
    return 0;
}
