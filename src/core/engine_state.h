// The engine's whole state: one static table of monitors and the texts and
// flags around it. Nothing here is allocated; `uptime_engine_init` resets it
// and every other call reads or changes it under the engine lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/check_detail.h"
#include "platform/platform.h"

namespace vue {

constexpr int MAX_MONITORS = 128;
constexpr int HEARTBEAT_CAPACITY = 4096;
constexpr int DAILY_BUCKETS = 90;

constexpr int MONITOR_HTTP = 0;
constexpr int MONITOR_TCP_PORT = 1;
constexpr int MONITOR_DNS = 2;
constexpr int MONITOR_PING = 3;

constexpr int STATUS_DOWN = 0;
constexpr int STATUS_UP = 1;
constexpr int STATUS_PENDING = 2;

constexpr size_t ID_SIZE = 37;
constexpr size_t NAME_SIZE = 128;
constexpr size_t TARGET_SIZE = 512;
constexpr size_t STORAGE_DIR_SIZE = 512;
constexpr size_t WEBHOOK_URL_SIZE = 1024;
constexpr size_t PATH_SIZE = 2048;
constexpr size_t REPORT_BUFFER_SIZE = 524288;
// The detail report of one monitor is a few KiB at most (90 days, texts of
// at most 255 bytes, escaped); larger ones would go on in a heap buffer.
constexpr size_t DETAIL_REPORT_BUFFER_SIZE = 16384;

// One heartbeat. Packed to 13 bytes because the ring is the file image.
#pragma pack(push, 1)
struct heartbeat_entry {
    int64_t timestamp;   // Unix seconds
    uint8_t status;      // low 8 bits of the recorded status
    float latency_ms;    // single precision
};
#pragma pack(pop)
static_assert(sizeof(heartbeat_entry) == 13, "heartbeat_entry must stay packed");

// One day's counters. A bucket with total_count 0 is empty whatever else it
// holds, and never matches a day.
struct daily_bucket {
    int64_t day;           // Unix seconds / 86400, truncated toward zero
    uint32_t up_count;     // heartbeats of that day whose status was exactly 1
    uint32_t total_count;  // all heartbeats of that day
};
static_assert(sizeof(daily_bucket) == 16, "daily_bucket is 16 bytes");

// One slot of the monitor table. Records move between slots when an earlier
// one is deleted, so only `id` identifies a monitor across lock holds.
struct monitor_record {
    char id[ID_SIZE];            // 36 characters; "" only when loaded without one
    char name[NAME_SIZE];        // display name, whole UTF-8 characters
    int32_t type;                // MONITOR_*; any other value is kept as given
    char target[TARGET_SIZE];    // what is probed
    int32_t interval_sec;        // for the host's scheduler; never used here
    int32_t status;              // current status, the whole recorded value
    double last_latency_ms;      // latency of the last heartbeat
    int64_t last_check;          // time of the last heartbeat; 0 = never
    int64_t created_at;          // Unix seconds
    int32_t hb_head;             // next ring slot to write; always 0..4095
    int32_t hb_count;            // valid ring entries; always 0..4096
    heartbeat_entry heartbeats[HEARTBEAT_CAPACITY];  // newest at hb_head - 1
    daily_bucket daily[DAILY_BUCKETS];               // in no particular order
    // Changes with every change of the ring or the counters, to a number
    // from one engine-wide counter: the heartbeat file that holds this
    // version is current, and a full save skips it.
    uint64_t history_version;
    // True while heartbeats.dat exists but could not be loaded (unreadable,
    // too short, wrong magic, capacity, head or count): it is set aside
    // before anything is written in its place.
    bool dat_unreadable;
    // The last check the engine itself made of this monitor since start;
    // heartbeats the host records leave it alone. Memory only.
    check_detail last_detail;
};

extern monitor_record s_monitors[MAX_MONITORS];
extern int s_monitor_count;  // slots 0 .. s_monitor_count - 1 are in use, no gaps
extern char s_storage_dir[STORAGE_DIR_SIZE];
extern char s_webhook_url[WEBHOOK_URL_SIZE];  // "" = no webhook
// The text of the last failure. Always one of the fixed texts of msg (or
// ""), published whole as one pointer, so a reader in another thread never
// sees a text half replaced.
extern std::atomic<const char *> s_last_error;
extern char s_monitors_json[REPORT_BUFFER_SIZE];
extern char s_heartbeats_json[REPORT_BUFFER_SIZE];
extern char s_detail_json[DETAIL_REPORT_BUFFER_SIZE];
// 1 while started. Read without the lock at every entry, hence atomic.
extern std::atomic<int> s_initialized;

// Holds the engine lock for a scope.
class engine_lock {
public:
    engine_lock() { platform::lock_acquire(); }
    ~engine_lock() { platform::lock_release(); }
    engine_lock(const engine_lock &) = delete;
    engine_lock &operator=(const engine_lock &) = delete;
};

// The first record whose id equals `id` exactly, or null. Caller holds the
// lock; the pointer is valid only until it releases it.
monitor_record *find_monitor(const char *id);

// Replaces the last-error text. `message` must have static storage (one of
// the texts of msg): readers keep the pointer.
void set_last_error(const char *message);

// Copies `source` into `dest` (capacity `dest_size`, always terminated),
// cut at a whole UTF-8 character when longer than dest_size - 1 bytes.
void copy_bounded(char *dest, size_t dest_size, std::string_view source);

// A new history version (see monitor_record). Caller holds the lock.
uint64_t next_history_version();

inline bool started() { return s_initialized.load(std::memory_order_acquire) != 0; }

// The fixed last-error texts.
namespace msg {
inline constexpr const char *kNetStartFailed = "WSAStartup failed";
inline constexpr const char *kNotInitialized = "Engine not initialized";
inline constexpr const char *kInvalidNameOrTarget = "Invalid name or target";
inline constexpr const char *kCapacityReached = "Maximum monitors capacity reached";
inline constexpr const char *kNotInitializedOrNullId = "Engine not initialized or null monitor_id";
inline constexpr const char *kMonitorNotFound = "Monitor not found";
inline constexpr const char *kInvalidWebhookUrl = "Invalid webhook URL";
inline constexpr const char *kInvalidLatency = "Invalid latency";
inline constexpr const char *kSaveFailed = "Failed to save state";
inline constexpr const char *kStorageInUse = "Storage directory in use by another process";
inline constexpr const char *kCannotLockStorage = "Cannot lock storage directory";
}  // namespace msg

}  // namespace vue
