#include <algorithm>
#include <bit>
#include <cmath>
#include <mutex>
#include <shared_mutex>
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
    uint64_t version;        // 0: nothing the table holds is known to be in the file
    uint64_t spare_version;  // what heartbeats.dat.spare holds; 0: unknown, or no spare
    bool has_directory;      // data/<id>/ was found or made in this run
};
std::mutex s_dat_table_lock;
dat_file s_dat_files[MAX_MONITORS];
int s_dat_file_count = 0;

// Whoever writes a heartbeat file holds its write lock across the file
// work, one lock per share of the ids, so that checks of different monitors
// write side by side while two writers of one file never meet; and holds
// s_dat_save_lock shared meanwhile. A full save holds s_dat_save_lock
// alone, which keeps every other writer out. Order: the engine lock,
// s_dat_save_lock, a write lock, the table lock; never the other way round.
constexpr size_t kWriteLocks = 64;
std::mutex s_dat_write_locks[kWriteLocks];
std::shared_mutex s_dat_save_lock;

std::mutex &write_lock_of(const char *id) {
    uint32_t hash = 2166136261u;  // FNV-1a
    for (const char *p = id; *p != '\0'; ++p) hash = (hash ^ static_cast<unsigned char>(*p)) * 16777619u;
    return s_dat_write_locks[hash % kWriteLocks];
}

// The locks of one writer of one file.
struct file_writer_locks {
    std::shared_lock<std::shared_mutex> beside_others;
    std::lock_guard<std::mutex> this_file;
    explicit file_writer_locks(const char *id) : beside_others(s_dat_save_lock), this_file(write_lock_of(id)) {}
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
        file->spare_version = 0;
        file->has_directory = false;
    }
    return file;
}

// The file now holds this version of the history, and the spare what the
// file held before when the swap kept it. Table lock held.
void dat_file_written(const char *id, uint64_t version, bool spare_kept) {
    if (dat_file *file = track_dat_file(id)) {
        file->spare_version = spare_kept ? file->version : 0;
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

// Which blocks of the file (platform::kSwapBlockSize bytes each) the
// history's parts occupy: the header, a ring slot, the daily counters.
constexpr uint32_t block_bit(size_t offset) { return 1u << (offset / platform::kSwapBlockSize); }
constexpr uint32_t kHeaderBlocks = block_bit(0) | block_bit(HEARTBEAT_FILE_HEADER - 1);
constexpr uint32_t kDailyBlocks = block_bit(HEARTBEAT_FILE_DAILY_OFFSET) | block_bit(HEARTBEAT_FILE_SIZE - 1);
static_assert(HEARTBEAT_FILE_SIZE <= 32 * platform::kSwapBlockSize, "a block mask has 32 bits");

uint32_t ring_slot_blocks(int slot) {
    const size_t at = HEARTBEAT_FILE_HEADER + sizeof(heartbeat_entry) * static_cast<size_t>(slot);
    return block_bit(at) | block_bit(at + sizeof(heartbeat_entry) - 1);
}

// Writes into `out` (a whole image's room) the bytes of the blocks in
// `blocks` of the record's image; other blocks of `out` are left as they
// are.
void encode_heartbeat_blocks(const monitor_record &record, uint32_t blocks, unsigned char *out);

// From now on the next check write covers the whole file, and then a
// partial write again: after a load, an add, a full save, or any write that
// was not the ordered sequence a partial write relies on. `in_file` is the
// version the file now holds (0: unknown).
void restart_block_tracking(monitor_record &record, uint64_t in_file) {
    record.dat_blocks_previous = platform::kAllSwapBlocks;
    record.dat_blocks_changed = 0;
    record.dat_versions_begun[0] = in_file;
    record.dat_versions_begun[1] = 0;
}

}  // namespace

void note_heartbeat_written(monitor_record &record, int ring_slot) {
    record.dat_blocks_changed |= kHeaderBlocks | ring_slot_blocks(ring_slot) | kDailyBlocks;
}

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

namespace {

void encode_heartbeat_blocks(const monitor_record &record, uint32_t blocks, unsigned char *out) {
    if (!kHostIsFileOrder || blocks == platform::kAllSwapBlocks) {
        encode_heartbeat_file(record, out);
        return;
    }
    // The image is the header, then the ring's bytes and the counters' bytes
    // as they lie in the record; each wanted block is copied from there.
    unsigned char header[HEARTBEAT_FILE_HEADER];
    std::memcpy(header, kMagic, sizeof kMagic);
    put_u32(header + 8, static_cast<uint32_t>(kVersion));
    put_u32(header + 12, static_cast<uint32_t>(record.hb_count));
    put_u32(header + 16, static_cast<uint32_t>(record.hb_head));
    put_u32(header + 20, static_cast<uint32_t>(HEARTBEAT_CAPACITY));
    const struct {
        size_t from, to;
        const unsigned char *bytes;
    } parts[] = {
        {0, HEARTBEAT_FILE_HEADER, header},
        {HEARTBEAT_FILE_HEADER, HEARTBEAT_FILE_DAILY_OFFSET, reinterpret_cast<const unsigned char *>(record.heartbeats)},
        {HEARTBEAT_FILE_DAILY_OFFSET, HEARTBEAT_FILE_SIZE, reinterpret_cast<const unsigned char *>(record.daily)},
    };
    for (size_t block = 0; block * platform::kSwapBlockSize < HEARTBEAT_FILE_SIZE; ++block) {
        if ((blocks & (1u << block)) == 0) continue;
        const size_t from = block * platform::kSwapBlockSize;
        const size_t to = std::min(from + platform::kSwapBlockSize, HEARTBEAT_FILE_SIZE);
        for (const auto &part : parts) {
            const size_t a = std::max(from, part.from), b = std::min(to, part.to);
            if (a < b) std::memcpy(out + a, part.bytes + (a - part.from), b - a);
        }
    }
}

}  // namespace

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

// Writes the record's whole file now, with the engine lock held: the first
// write over an unreadable file, and a check write that found the spare
// not as it expected.
bool write_whole_dat_now(monitor_record &record) {
    dat_paths paths;
    format_dat_paths(record.id, paths);
    file_writer_locks writing(record.id);
    if (!set_aside_before_write(record, paths.file)) return false;
    encode_heartbeat_file(record, s_image);
    bool kept = false;
    const auto outcome = write_making_directory(has_directory(record.id), paths, [&] {
        return platform::swap_in_file(paths.file, paths.spare, s_image, sizeof s_image, platform::kAllSwapBlocks, kept);
    });
    std::lock_guard<std::mutex> table(s_dat_table_lock);
    if (outcome != platform::write_outcome::done) {
        if (dat_file *file = find_dat_file(record.id)) file->spare_version = 0;
        restart_block_tracking(record, 0);
        return false;
    }
    dat_file_written(record.id, record.history_version, kept);
    restart_block_tracking(record, record.history_version);
    return true;
}

void begin_check_write(monitor_record &record, check_write &write) {
    write.pending = false;
    if (!id_is_safe_for_path(record.id)) return;
    if (record.dat_unreadable) {
        // Once per run at most: the file is set aside and written here, with
        // the engine lock held, like a full save would.
        write_whole_dat_now(record);
        return;
    }
    // The spare holds, when every write went in order, the history as the
    // check before the last one began to write it: the blocks that changed
    // since then are all that must be written. Which they are is known only
    // here, under the engine lock; the write itself comes after.
    uint32_t blocks = record.dat_blocks_previous | record.dat_blocks_changed;
    const uint64_t spare_version = record.dat_versions_begun[1];
    if (spare_version == 0 || !platform::spares_survive_swaps()) blocks = platform::kAllSwapBlocks;
    encode_heartbeat_blocks(record, blocks, t_check_image);
    record.dat_blocks_previous = record.dat_blocks_changed;
    record.dat_blocks_changed = 0;
    record.dat_versions_begun[1] = record.dat_versions_begun[0];
    record.dat_versions_begun[0] = record.history_version;
    copy_bounded(write.id, sizeof write.id, record.id);
    write.version = record.history_version;
    write.blocks = blocks;
    write.spare_version = spare_version;
    write.pending = true;
}

bool finish_check_write(const check_write &write) {
    if (!write.pending) return true;
    {
        file_writer_locks writing(write.id);
        bool directory_known = false;
        bool in_order = false;
        {
            std::lock_guard<std::mutex> table(s_dat_table_lock);
            dat_file *file = find_dat_file(write.id);
            // Deleted meanwhile; or a later check, or a full save, has already
            // put a newer history in place, which holds this heartbeat too.
            if (file == nullptr || file->version >= write.version) return true;
            directory_known = file->has_directory;
            // Some blocks alone fit only the spare they were chosen for.
            in_order = write.blocks == platform::kAllSwapBlocks || file->spare_version == write.spare_version;
            if (in_order) file->spare_version = 0;  // unknown while it is being written
        }
        if (in_order) {
            dat_paths paths;
            format_dat_paths(write.id, paths);
            bool kept = false;
            const auto outcome = write_making_directory(directory_known, paths, [&] {
                return platform::swap_in_file(paths.file, paths.spare, t_check_image, sizeof t_check_image,
                                              write.blocks, kept);
            });
            std::lock_guard<std::mutex> table(s_dat_table_lock);
            if (outcome == platform::write_outcome::done) {
                if (find_dat_file(write.id) != nullptr) dat_file_written(write.id, write.version, kept);
                return true;
            }
            if (outcome != platform::write_outcome::spare_missing) return false;
        }
    }
    // Out of order (two checks of one monitor at once, or a write that
    // failed before): the whole file is written from the table, the slow
    // way, under the engine lock. Rare, so the lock may wait for the disk.
    engine_lock lock;
    monitor_record *record = find_monitor(write.id);
    if (record == nullptr) return true;
    return write_whole_dat_now(*record);
}

bool save_changed_monitor_dats() {
    // No check may write meanwhile; the engine lock keeps the table still.
    std::unique_lock<std::shared_mutex> writing(s_dat_save_lock);
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
            if (dat_file *entry = find_dat_file(record.id)) entry->spare_version = 0;
            restart_block_tracking(record, 0);
            ok = false;
            continue;
        }
        batch.push_back({paths.file, paths.spare, false});
        slots.push_back(last);
    }
    platform::commit_swaps(batch);
    for (size_t k = 0; k < batch.size(); ++k) {
        monitor_record &record = s_monitors[slots[k]];
        if (batch[k].ok) {
            // What the spare holds after a batch is not followed; the next
            // check writes the whole file once.
            dat_file_written(record.id, record.history_version, false);
            restart_block_tracking(record, record.history_version);
        } else {
            if (dat_file *file = find_dat_file(record.id)) file->spare_version = 0;
            restart_block_tracking(record, 0);
            ok = false;
        }
    }
    return ok;
}

void track_new_monitor_dat(monitor_record &record) {
    restart_block_tracking(record, 0);
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
    restart_block_tracking(record, in_file);
    // A spare left by an earlier run is used again, but only one of the
    // image's exact size: one a crash left shorter is made whole by the
    // first write, one grown longer would make the file longer.
    if (found && platform::file_size(paths.spare) > static_cast<long long>(HEARTBEAT_FILE_SIZE)) {
        platform::remove_file(paths.spare);
    }
    std::lock_guard<std::mutex> table(s_dat_table_lock);
    if (dat_file *file = track_dat_file(record.id)) {
        file->version = in_file;
        file->spare_version = 0;
        file->has_directory = file->has_directory || found;
    }
}

}  // namespace vue
