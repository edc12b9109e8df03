// Shared scaffolding for the engine tests: a fresh storage directory per
// test, engine start/stop around it, and byte-level file helpers.
//
// ctest runs every test in its own process, several at once, and the engine
// state is process-wide; each fixture therefore owns a directory that no
// other test or process can share, and leaves no fault armed behind it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vantorel-uptime-engine.h"

namespace vue::test {

namespace fs = std::filesystem;

// A new empty directory under the system temp directory, unique to this
// process and test.
fs::path make_unique_temp_dir(std::string_view tag);

// A path as the engine takes it: UTF-8 text on every OS.
std::string utf8(const fs::path &path);

std::string read_file_bytes(const fs::path &path);
void write_file_bytes(const fs::path &path, std::string_view bytes);
// Every entry below `dir`, as sorted relative paths ("data/<id>/heartbeats.dat").
std::vector<std::string> list_tree(const fs::path &dir);
bool any_temporary_file(const fs::path &dir);

// Equality of two byte strings that reports the sizes and the first
// differing offset instead of dumping 54 KB of binary.
::testing::AssertionResult same_bytes(std::string_view actual, std::string_view expected);

// Little-endian field access into a file image.
uint32_t le_u32(std::string_view bytes, size_t offset);
int32_t le_i32(std::string_view bytes, size_t offset);
int64_t le_i64(std::string_view bytes, size_t offset);
float le_f32(std::string_view bytes, size_t offset);
void put_le32(std::string &bytes, size_t offset, uint32_t value);
void put_le64(std::string &bytes, size_t offset, uint64_t value);

// heartbeats.dat geometry, written out here rather than taken from the
// engine so a change of the format shows as a failing test.
constexpr size_t kDatSize = 54712;
constexpr size_t kDatRing = 24;
constexpr size_t kDatDaily = 24 + 13 * 4096;

struct ring_slot {
    int index;
    int64_t timestamp;
    uint8_t status;
    float latency_ms;
};
struct day_slot {
    int index;
    int64_t day;
    uint32_t up_count;
    uint32_t total_count;
};
// A hand-made heartbeats.dat; `size` truncates (or pads with zeros).
struct dat_image {
    std::string magic = "VNUPTIME";
    int32_t version = 1;
    int32_t count = 0;
    int32_t head = 0;
    int32_t capacity = 4096;
    std::vector<ring_slot> ring;
    std::vector<day_slot> daily;
    size_t size = kDatSize;
};
std::string make_dat(const dat_image &image);

// Changes the working directory for a scope; the null and empty storage
// directories mean ".".
class scoped_working_directory {
public:
    explicit scoped_working_directory(const fs::path &dir);
    ~scoped_working_directory();
    scoped_working_directory(const scoped_working_directory &) = delete;
    scoped_working_directory &operator=(const scoped_working_directory &) = delete;

private:
    fs::path previous_;
};

// Each test gets root_ (its own temp directory) and storage_ = root_/store,
// which the engine creates itself. Faults are disarmed on both sides and the
// engine is stopped at the end whatever the test did.
class engine_test : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    void start();    // asserts a successful start on storage_
    void stop() { uptime_engine_cleanup(); }
    void restart() {
        stop();
        start();
    }
    // Adds a monitor and returns its id; asserts success.
    std::string add(const std::string &name = "svc", int type = UPTIME_MONITOR_HTTP,
                    const std::string &target = "example.invalid", int interval_sec = 60);
    fs::path dat_path(const std::string &id) const { return storage_ / "data" / id / "heartbeats.dat"; }
    std::string file(const fs::path &relative) const { return read_file_bytes(storage_ / relative); }
    void put_file(const fs::path &relative, std::string_view bytes) const;

    fs::path root_;
    fs::path storage_;
};

}  // namespace vue::test
