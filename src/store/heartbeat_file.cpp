#include <cstdio>
#include <cstring>

#include "core/engine_state.h"
#include "core/lifecycle.h"
#include "platform/platform.h"
#include "store/state_store.h"

namespace vue {
namespace {

constexpr char kMagic[8] = {'V', 'N', 'U', 'P', 'T', 'I', 'M', 'E'};
constexpr int32_t kVersion = 1;

// The image is built and read byte by byte in little-endian order so that
// the file is the same whatever the host's byte order.
void put_u32(unsigned char *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void put_u64(unsigned char *p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
uint32_t get_u32(const unsigned char *p) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(p[i]) << (8 * i);
    return v;
}
uint64_t get_u64(const unsigned char *p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
    return v;
}
uint32_t float_bits(float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}
float bits_float(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// Serialisation and the file read share one buffer; both run under the
// engine lock.
unsigned char s_image[HEARTBEAT_FILE_SIZE];
unsigned char s_disk_image[HEARTBEAT_FILE_SIZE + 1];

void format_dat_paths(const char *id, char (&dir)[PATH_SIZE], char (&file)[PATH_SIZE]) {
    std::snprintf(dir, sizeof dir, "%s/data/%s", s_storage_dir, id);
    std::snprintf(file, sizeof file, "%s/data/%s/heartbeats.dat", s_storage_dir, id);
}

}  // namespace

void encode_heartbeat_file(const monitor_record &record, unsigned char *out) {
    std::memcpy(out, kMagic, sizeof kMagic);
    put_u32(out + 8, static_cast<uint32_t>(kVersion));
    put_u32(out + 12, static_cast<uint32_t>(record.hb_count));
    put_u32(out + 16, static_cast<uint32_t>(record.hb_head));
    put_u32(out + 20, static_cast<uint32_t>(HEARTBEAT_CAPACITY));
    unsigned char *p = out + HEARTBEAT_FILE_HEADER;
    for (const heartbeat_entry &e : record.heartbeats) {
        put_u64(p, static_cast<uint64_t>(e.timestamp));
        p[8] = e.status;
        put_u32(p + 9, float_bits(e.latency_ms));
        p += 13;
    }
    for (const daily_bucket &b : record.daily) {
        put_u64(p, static_cast<uint64_t>(b.day));
        put_u32(p + 8, b.up_count);
        put_u32(p + 12, b.total_count);
        p += 16;
    }
}

bool decode_heartbeat_file(const unsigned char *image, size_t size, monitor_record &record) {
    if (size < HEARTBEAT_FILE_HEADER || std::memcmp(image, kMagic, sizeof kMagic) != 0) return false;
    auto count = static_cast<int32_t>(get_u32(image + 12));
    auto head = static_cast<int32_t>(get_u32(image + 16));
    auto capacity = static_cast<int32_t>(get_u32(image + 20));
    // The version is not looked at. A head or count out of range would send
    // later recording and reading outside the ring.
    if (capacity != HEARTBEAT_CAPACITY) return false;
    if (head < 0 || head >= HEARTBEAT_CAPACITY || count < 0 || count > HEARTBEAT_CAPACITY) return false;

    record.hb_count = count;
    record.hb_head = head;
    std::memset(record.heartbeats, 0, sizeof record.heartbeats);
    std::memset(record.daily, 0, sizeof record.daily);
    // Only whole slots are taken; what a short file lacks stays zero.
    size_t ring_slots = (size - HEARTBEAT_FILE_HEADER) / 13;
    if (ring_slots > HEARTBEAT_CAPACITY) ring_slots = HEARTBEAT_CAPACITY;
    const unsigned char *p = image + HEARTBEAT_FILE_HEADER;
    for (size_t i = 0; i < ring_slots; ++i, p += 13) {
        heartbeat_entry &e = record.heartbeats[i];
        e.timestamp = static_cast<int64_t>(get_u64(p));
        e.status = p[8];
        e.latency_ms = bits_float(get_u32(p + 9));
    }
    if (size > HEARTBEAT_FILE_DAILY_OFFSET) {
        size_t day_slots = (size - HEARTBEAT_FILE_DAILY_OFFSET) / 16;
        if (day_slots > DAILY_BUCKETS) day_slots = DAILY_BUCKETS;
        p = image + HEARTBEAT_FILE_DAILY_OFFSET;
        for (size_t i = 0; i < day_slots; ++i, p += 16) {
            daily_bucket &b = record.daily[i];
            b.day = static_cast<int64_t>(get_u64(p));
            b.up_count = get_u32(p + 8);
            b.total_count = get_u32(p + 12);
        }
    }
    return true;
}

bool id_is_safe_for_path(const char *id) {
    if (std::strcmp(id, ".") == 0 || std::strcmp(id, "..") == 0) return false;
    return std::strpbrk(id, "/\\:") == nullptr;
}

bool save_monitor_dat(monitor_record &record, bool durable) {
    if (!id_is_safe_for_path(record.id)) return true;
    char dir[PATH_SIZE], file[PATH_SIZE];
    format_dat_paths(record.id, dir, file);
    ensure_dir(dir);
    if (record.dat_unreadable) {
        if (!set_aside_unreadable(file)) return false;
        // Monitors that share this id (only a hand-edited monitors.json makes
        // them) loaded the same file.
        for (int i = 0; i < s_monitor_count; ++i) {
            if (std::strcmp(s_monitors[i].id, record.id) == 0) s_monitors[i].dat_unreadable = false;
        }
        record.dat_unreadable = false;
    }
    encode_heartbeat_file(record, s_image);
    if (!platform::replace_file(file, s_image, sizeof s_image, durable)) return false;
    // Monitors that share this id share this file too, which now holds this
    // record's history.
    for (int i = 0; i < s_monitor_count; ++i) {
        if (&s_monitors[i] != &record && std::strcmp(s_monitors[i].id, record.id) == 0) {
            s_monitors[i].dat_changed = true;
        }
    }
    record.dat_changed = false;
    return true;
}

void load_monitor_dat(monitor_record &record) {
    // Until proven equal to what a save would write, the file needs writing.
    record.dat_changed = true;
    record.dat_unreadable = false;
    if (!id_is_safe_for_path(record.id)) return;
    char dir[PATH_SIZE], file[PATH_SIZE];
    format_dat_paths(record.id, dir, file);
    size_t size = 0;
    switch (platform::read_file_prefix(file, s_disk_image, sizeof s_disk_image, size)) {
        case platform::read_outcome::missing: return;  // no check yet
        case platform::read_outcome::failed: record.dat_unreadable = true; return;
        case platform::read_outcome::ok: break;
    }
    if (!decode_heartbeat_file(s_disk_image, size, record)) {
        record.dat_unreadable = true;
        return;
    }
    if (size == HEARTBEAT_FILE_SIZE) {
        encode_heartbeat_file(record, s_image);
        record.dat_changed = std::memcmp(s_image, s_disk_image, HEARTBEAT_FILE_SIZE) != 0;
    }
}

}  // namespace vue
