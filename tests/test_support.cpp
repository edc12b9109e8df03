#include "test_support.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include "core/engine_state.h"
#include "platform/fault.h"

namespace vue::test {

fs::path make_unique_temp_dir(std::string_view tag) {
    // The random part keeps parallel processes apart; the tag only helps a
    // human find the directory of a failed test.
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::ostringstream name;
        name << "vue-" << tag << "-" << std::hex << rd() << rd();
        fs::path dir = fs::temp_directory_path() / name.str();
        if (fs::create_directory(dir)) return dir;
    }
    throw std::runtime_error("cannot create a temporary directory");
}

std::string utf8(const fs::path &path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::string read_file_bytes(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::string();
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file_bytes(const fs::path &path, std::string_view bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::vector<std::string> list_tree(const fs::path &dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        names.push_back(fs::relative(it->path(), dir).generic_string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool any_temporary_file(const fs::path &dir) {
    for (const std::string &name : list_tree(dir)) {
        if (name.size() >= 4 && name.compare(name.size() - 4, 4, ".tmp") == 0) return true;
    }
    return false;
}

::testing::AssertionResult same_bytes(std::string_view actual, std::string_view expected) {
    if (actual == expected) return ::testing::AssertionSuccess();
    size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
    auto result = ::testing::AssertionFailure();
    result << "sizes " << actual.size() << " and " << expected.size() << ", first difference at offset " << at;
    if (at < actual.size() && at < expected.size()) {
        result << " (0x" << std::hex << (static_cast<unsigned>(actual[at]) & 0xFF) << " instead of 0x"
               << (static_cast<unsigned>(expected[at]) & 0xFF) << ")";
    }
    return result;
}

uint32_t le_u32(std::string_view bytes, size_t offset) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[offset + i])) << (8 * i);
    return v;
}
int32_t le_i32(std::string_view bytes, size_t offset) { return static_cast<int32_t>(le_u32(bytes, offset)); }
int64_t le_i64(std::string_view bytes, size_t offset) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= static_cast<uint64_t>(static_cast<unsigned char>(bytes[offset + i])) << (8 * i);
    return static_cast<int64_t>(v);
}
float le_f32(std::string_view bytes, size_t offset) {
    uint32_t bits = le_u32(bytes, offset);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}
void put_le32(std::string &bytes, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<char>(value >> (8 * i));
}
void put_le64(std::string &bytes, size_t offset, uint64_t value) {
    for (int i = 0; i < 8; ++i) bytes[offset + i] = static_cast<char>(value >> (8 * i));
}

std::string make_dat(const dat_image &image) {
    std::string bytes(kDatSize, '\0');
    std::memcpy(bytes.data(), image.magic.data(), std::min<size_t>(8, image.magic.size()));
    put_le32(bytes, 8, static_cast<uint32_t>(image.version));
    put_le32(bytes, 12, static_cast<uint32_t>(image.count));
    put_le32(bytes, 16, static_cast<uint32_t>(image.head));
    put_le32(bytes, 20, static_cast<uint32_t>(image.capacity));
    for (const ring_slot &s : image.ring) {
        size_t at = kDatRing + 13 * static_cast<size_t>(s.index);
        put_le64(bytes, at, static_cast<uint64_t>(s.timestamp));
        bytes[at + 8] = static_cast<char>(s.status);
        uint32_t bits;
        std::memcpy(&bits, &s.latency_ms, sizeof bits);
        put_le32(bytes, at + 9, bits);
    }
    for (const day_slot &d : image.daily) {
        size_t at = kDatDaily + 16 * static_cast<size_t>(d.index);
        put_le64(bytes, at, static_cast<uint64_t>(d.day));
        put_le32(bytes, at + 8, d.up_count);
        put_le32(bytes, at + 12, d.total_count);
    }
    bytes.resize(image.size, '\0');
    return bytes;
}

scoped_working_directory::scoped_working_directory(const fs::path &dir) : previous_(fs::current_path()) {
    fs::current_path(dir);
}
scoped_working_directory::~scoped_working_directory() {
    std::error_code ec;
    fs::current_path(previous_, ec);
}

void engine_test::SetUp() {
    platform::fault_disarm_all();
    uptime_engine_cleanup();
    // A stop keeps the webhook URL for the next start in the process; each
    // test starts as a fresh process would, whatever ran before it.
    s_webhook_url[0] = '\0';
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string tag = info != nullptr ? info->name() : "test";
    for (char &c : tag) {
        if (c == '/') c = '_';
    }
    root_ = make_unique_temp_dir(tag.substr(0, 40));
    storage_ = root_ / "store";
}

void engine_test::TearDown() {
    platform::fault_disarm_all();
    uptime_engine_cleanup();
    std::error_code ec;
    // A directory made read-only by a test must not survive it.
    fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(root_, ec);
}

void engine_test::start() { ASSERT_EQ(uptime_engine_init(utf8(storage_).c_str()), 0) << uptime_last_error(); }

std::string engine_test::add(const std::string &name, int type, const std::string &target, int interval_sec) {
    char id[UPTIME_ID_BUFFER_SIZE] = {};
    EXPECT_EQ(uptime_monitor_add(name.c_str(), type, target.c_str(), interval_sec, id), 0) << uptime_last_error();
    return id;
}

void engine_test::put_file(const fs::path &relative, std::string_view bytes) const {
    write_file_bytes(storage_ / relative, bytes);
}

}  // namespace vue::test
