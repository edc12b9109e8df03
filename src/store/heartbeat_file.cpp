#include <algorithm>
#include <bit>
#include <cmath>
#include <mutex>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/engine_state.h"
#include "platform/platform.h"
#include "store/state_store.h"

namespace vue {
namespace {

constexpr char kMagic[8] = {'V', 'N', 'U', 'P', 'T', 'I', 'M', 'E'};
constexpr int32_t kVersion = 1;

// The file is little-endian whatever the host. On a little-endian host the
// packed ring and the buckets are already the file's bytes and are copied
// whole; elsewhere they are built and read byte by byte.
constexpr bool kHostIsFileOrder = std::endian::native == std::endian::little;
static_assert(sizeof(heartbeat_entry) * HEARTBEAT_CAPACITY == HEARTBEAT_FILE_DAILY_OFFSET - HEARTBEAT_FILE_HEADER);
static_assert(sizeof(daily_bucket) * DAILY_BUCKETS == HEARTBEAT_FILE_SIZE - HEARTBEAT_FILE_DAILY_OFFSET);

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

// Serialisation for full saves and the reads of a start share these
// buffers, under the engine lock. A check encodes into a buffer of its own
// thread, since it writes after releasing the engine lock.
unsigned char s_image[HEARTBEAT_FILE_SIZE];
unsigned char s_disk_image[HEARTBEAT_FILE_SIZE + 1];
thread_local unsigned char t_check_image[HEARTBEAT_FILE_SIZE];

// Which version of a monitor's history each heartbeat file holds (see
// monitor_record::history_version): one entry per id of the table, made when
// the monitor is loaded or added, dropped when it is deleted. Guarded by
// s_dat_table_lock, held for memory work only.
struct dat_file {
    char id[ID_SIZE];
    uint64_t version;  // 0: nothing the table holds is known to be in the file
    bool has_directory;  // data/<id>/ was found or made in this run
};
std::mutex s_dat_table_lock;
dat_file s_dat_files[MAX_MONITORS];
int s_dat_file_count = 0;

// Whoever writes a heartbeat file holds its write lock across the file
// work, one lock per share of the ids, so that checks of different monitors
// write side by side while two writers of one file never meet. A full save
// holds them all. Order: the engine lock, then write locks (in index
// order), then the table lock; never the other way round.
constexpr size_t kWriteLocks = 64;
std::mutex s_dat_write_locks[kWriteLocks];

std::mutex &write_lock_of(const char *id) {
    uint32_t hash = 2166136261u;  // FNV-1a
    for (const char *p = id; *p != '\0'; ++p) hash = (hash ^ static_cast<unsigned char>(*p)) * 16777619u;
    return s_dat_write_locks[hash % kWriteLocks];
}

struct all_write_locks {
    all_write_locks() {
        for (std::mutex &m : s_dat_write_locks) m.lock();
    }
    ~all_write_locks() {
        for (size_t i = kWriteLocks; i-- > 0;) s_dat_write_locks[i].unlock();
    }
    all_write_locks(const all_write_locks &) = delete;
    all_write_locks &operator=(const all_write_locks &) = delete;
};

dat_file *find_dat_file(const char *id) {
    for (int i = 0; i < s_dat_file_count; ++i) {
        if (std::strcmp(s_dat_files[i].id, id) == 0) return &s_dat_files[i];
    }
    return nullptr;
}

dat_file *track_dat_file(const char *id) {
    dat_file *file = find_dat_file(id);
    if (file == nullptr) {
        if (s_dat_file_count >= MAX_MONITORS) return nullptr;  // cannot happen: one entry per id of the table
        file = &s_dat_files[s_dat_file_count++];
        copy_bounded(file->id, sizeof file->id, id);
        file->version = 0;
        file->has_directory = false;
    }
    return file;
}

// The file now holds this version of the history. Table lock held.
void dat_file_written(const char *id, uint64_t version) {
    if (dat_file *file = track_dat_file(id)) {
        file->version = version;
        file->has_directory = true;
    }
}

bool has_directory(const char *id) {
    std::lock_guard<std::mutex> table(s_dat_table_lock);
    const dat_file *file = find_dat_file(id);
    return file != nullptr && file->has_directory;
}

struct dat_paths {
    char dir[PATH_SIZE];
    char file[PATH_SIZE];
    char spare[PATH_SIZE];  // see platform::swap_in_file
};

void format_dat_paths(const char *id, dat_paths &paths) {
    std::snprintf(paths.dir, sizeof paths.dir, "%s/data/%s", s_storage_dir, id);
    std::snprintf(paths.file, sizeof paths.file, "%s/data/%s/heartbeats.dat", s_storage_dir, id);
    std::snprintf(paths.spare, sizeof paths.spare, "%s/data/%s/heartbeats.dat.spare", s_storage_dir, id);
}

// Moves an unreadable file out of the way before its first write. Engine
// lock held. False when it could not: then the file must not be written.
bool set_aside_before_write(monitor_record &record, const char *file) {
    if (!record.dat_unreadable) return true;
    if (!set_aside_unreadable(file)) return false;
    // Monitors that share this id (only a hand-edited monitors.json makes
    // them) loaded the same file.
    for (int i = 0; i < s_monitor_count; ++i) {
        if (std::strcmp(s_monitors[i].id, record.id) == 0) s_monitors[i].dat_unreadable = false;
    }
    return true;
}

// Writes one file, making the monitor's directory first when it is not
// known to exist (a new monitor), and when the write finds it missing
// (removed since). A check of a known monitor asks the file system nothing
// else.
template <typename Write>
platform::write_outcome write_making_directory(bool directory_known, const dat_paths &paths, Write write) {
    if (!directory_known) ensure_dir(paths.dir);
    platform::write_outcome outcome = write();
    if (outcome == platform::write_outcome::no_directory) {
        ensure_dir(paths.dir);
        outcome = write();
    }
    return outcome;
}

}  // namespace

void encode_heartbeat_file(const monitor_record &record, unsigned char *out) {
    std::memcpy(out, kMagic, sizeof kMagic);
    put_u32(out + 8, static_cast<uint32_t>(kVersion));
    put_u32(out + 12, static_cast<uint32_t>(record.hb_count));
    put_u32(out + 16, static_cast<uint32_t>(record.hb_head));
    put_u32(out + 20, static_cast<uint32_t>(HEARTBEAT_CAPACITY));
    if constexpr (kHostIsFileOrder) {
        std::memcpy(out + HEARTBEAT_FILE_HEADER, record.heartbeats, sizeof record.heartbeats);
        std::memcpy(out + HEARTBEAT_FILE_DAILY_OFFSET, record.daily, sizeof record.daily);
        return;
    }
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
    size_t day_slots = size > HEARTBEAT_FILE_DAILY_OFFSET ? (size - HEARTBEAT_FILE_DAILY_OFFSET) / 16 : 0;
    if (day_slots > DAILY_BUCKETS) day_slots = DAILY_BUCKETS;
    if (kHostIsFileOrder) {
        std::memcpy(record.heartbeats, image + HEARTBEAT_FILE_HEADER, ring_slots * sizeof(heartbeat_entry));
        std::memcpy(record.daily, image + HEARTBEAT_FILE_DAILY_OFFSET, day_slots * sizeof(daily_bucket));
    } else {
        const unsigned char *p = image + HEARTBEAT_FILE_HEADER;
        for (size_t i = 0; i < ring_slots; ++i, p += 13) {
            heartbeat_entry &e = record.heartbeats[i];
            e.timestamp = static_cast<int64_t>(get_u64(p));
            e.status = p[8];
            e.latency_ms = bits_float(get_u32(p + 9));
        }
        p = image + HEARTBEAT_FILE_DAILY_OFFSET;
        for (size_t i = 0; i < day_slots; ++i, p += 16) {
            daily_bucket &b = record.daily[i];
            b.day = static_cast<int64_t>(get_u64(p));
            b.up_count = get_u32(p + 8);
            b.total_count = get_u32(p + 12);
        }
    }
    // No report can show a latency that is not finite, and one such slot
    // would empty the monitor's whole heartbeat report. Only a damaged or
    // hand-made file holds one; it reads as 0.0, the latency of a probe that
    // measured nothing.
    for (size_t i = 0; i < ring_slots; ++i) {
        if (!std::isfinite(record.heartbeats[i].latency_ms)) record.heartbeats[i].latency_ms = 0.0f;
    }
    return true;
}

bool id_is_safe_for_path(const char *id) {
    if (std::strcmp(id, ".") == 0 || std::strcmp(id, "..") == 0) return false;
    return std::strpbrk(id, "/\\:") == nullptr;
}

void begin_check_write(monitor_record &record, check_write &write) {
    write.pending = false;
    if (!id_is_safe_for_path(record.id)) return;
    dat_paths paths;
    format_dat_paths(record.id, paths);
    if (record.dat_unreadable) {
        // Once per run at most: the file is set aside and written here, with
        // the engine lock held, like a full save would.
        std::lock_guard<std::mutex> writing(write_lock_of(record.id));
        if (!set_aside_before_write(record, paths.file)) return;
        encode_heartbeat_file(record, s_image);
        const auto outcome = write_making_directory(has_directory(record.id), paths, [&] {
            return platform::swap_in_file(paths.file, paths.spare, s_image, sizeof s_image);
        });
        if (outcome == platform::write_outcome::done) {
            std::lock_guard<std::mutex> table(s_dat_table_lock);
            dat_file_written(record.id, record.history_version);
        }
        return;
    }
    encode_heartbeat_file(record, t_check_image);
    copy_bounded(write.id, sizeof write.id, record.id);
    write.version = record.history_version;
    write.pending = true;
}

bool finish_check_write(const check_write &write) {
    if (!write.pending) return true;
    std::lock_guard<std::mutex> writing(write_lock_of(write.id));
    bool directory_known = false;
    {
        std::lock_guard<std::mutex> table(s_dat_table_lock);
        const dat_file *file = find_dat_file(write.id);
        // Deleted meanwhile; or a later check, or a full save, has already
        // put a newer history in place, which holds this heartbeat too.
        if (file == nullptr || file->version >= write.version) return true;
        directory_known = file->has_directory;
    }
    dat_paths paths;
    format_dat_paths(write.id, paths);
    const auto outcome = write_making_directory(directory_known, paths, [&] {
        return platform::swap_in_file(paths.file, paths.spare, t_check_image, sizeof t_check_image);
    });
    if (outcome != platform::write_outcome::done) return false;
    std::lock_guard<std::mutex> table(s_dat_table_lock);
    if (find_dat_file(write.id) != nullptr) dat_file_written(write.id, write.version);
    return true;
}

bool save_changed_monitor_dats() {
    // No check may write meanwhile; the engine lock keeps the table still.
    all_write_locks writing;
    std::lock_guard<std::mutex> table(s_dat_table_lock);
    bool ok = true;
    std::vector<platform::staged_swap> batch;
    std::vector<int> slots;
    for (int i = 0; i < s_monitor_count; ++i) {
        if (!id_is_safe_for_path(s_monitors[i].id)) continue;
        const dat_file *file = find_dat_file(s_monitors[i].id);
        if (file != nullptr && file->version == s_monitors[i].history_version) continue;
        // Of monitors that share an id, and so a file, the last one in the
        // table is written, as a rewrite in table order would leave it.
        int last = i;
        for (int j = i + 1; j < s_monitor_count; ++j) {
            if (std::strcmp(s_monitors[j].id, s_monitors[i].id) == 0) last = j;
        }
        if (std::find(slots.begin(), slots.end(), last) != slots.end()) continue;  // staged already
        monitor_record &record = s_monitors[last];
        dat_paths paths;
        format_dat_paths(record.id, paths);
        if (!set_aside_before_write(record, paths.file)) {
            ok = false;
            continue;
        }
        encode_heartbeat_file(record, s_image);
        const dat_file *known = find_dat_file(record.id);
        const auto outcome = write_making_directory(known != nullptr && known->has_directory, paths, [&] {
            return platform::stage_swap(paths.file, paths.spare, s_image, sizeof s_image);
        });
        if (outcome != platform::write_outcome::done) {
            ok = false;
            continue;
        }
        batch.push_back({paths.file, paths.spare, false});
        slots.push_back(last);
    }
    platform::commit_swaps(batch);
    for (size_t k = 0; k < batch.size(); ++k) {
        if (batch[k].ok) {
            dat_file_written(s_monitors[slots[k]].id, s_monitors[slots[k]].history_version);
        } else {
            ok = false;
        }
    }
    return ok;
}

void track_new_monitor_dat(const monitor_record &record) {
    std::lock_guard<std::mutex> table(s_dat_table_lock);
    track_dat_file(record.id);
}

void forget_monitor_dat(const char *id) {
    if (find_monitor(id) != nullptr) return;  // another monitor still has this id
    std::lock_guard<std::mutex> table(s_dat_table_lock);
    dat_file *file = find_dat_file(id);
    if (file == nullptr) return;
    *file = s_dat_files[--s_dat_file_count];
}

void forget_all_monitor_dats() {
    std::lock_guard<std::mutex> table(s_dat_table_lock);
    s_dat_file_count = 0;
}

void load_monitor_dat(monitor_record &record) {
    record.history_version = next_history_version();
    record.dat_unreadable = false;
    if (!id_is_safe_for_path(record.id)) return;
    // Until proven equal to what a save would write, the file needs writing.
    uint64_t in_file = 0;
    bool found = false;
    dat_paths paths;
    format_dat_paths(record.id, paths);
    size_t size = 0;
    switch (platform::read_file_prefix(paths.file, s_disk_image, sizeof s_disk_image, size)) {
        case platform::read_outcome::missing: break;  // no check yet
        case platform::read_outcome::failed:
            record.dat_unreadable = true;
            found = true;
            break;
        case platform::read_outcome::ok:
            found = true;
            if (!decode_heartbeat_file(s_disk_image, size, record)) {
                record.dat_unreadable = true;
            } else if (size == HEARTBEAT_FILE_SIZE) {
                encode_heartbeat_file(record, s_image);
                if (std::memcmp(s_image, s_disk_image, HEARTBEAT_FILE_SIZE) == 0) in_file = record.history_version;
            }
            break;
    }
    std::lock_guard<std::mutex> table(s_dat_table_lock);
    if (dat_file *file = track_dat_file(record.id)) {
        file->version = in_file;
        file->has_directory = file->has_directory || found;
    }
}

}  // namespace vue
