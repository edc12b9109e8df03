// Persistence: config.json, monitors.json and each monitor's heartbeats.dat.
// Every routine here runs with the engine lock held by its caller. A file
// that cannot be written leaves the previous one intact; a file that cannot
// be read counts as absent for the start, but is never written over: it is
// set aside first (set_aside_unreadable), so nothing a user had is lost.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/engine_state.h"
#include "store/json_text.h"

namespace vue {

// --- heartbeats.dat ------------------------------------------------------------
//
// A fixed-size image of one monitor's history, 54712 bytes, all integers
// little-endian two's complement, the float IEEE 754 single, nothing between
// fields:
//
//   offset  size   field
//   0       8      magic "VNUPTIME" (no terminator)
//   8       4      version, int32 = 1 (readers accept any)
//   12      4      count, int32 = hb_count (0..4096)   -- count before head
//   16      4      head, int32  = hb_head  (0..4095)
//   20      4      capacity, int32 = 4096 (anything else: file ignored)
//   24      53248  ring: 4096 slots of 13 bytes, slot 0 first, in storage
//                  order (newest at head - 1):
//                    +0 timestamp int64, +8 status uint8, +9 latency float32
//   53272   1440   daily counters: 90 slots of 16 bytes, slot 0 first:
//                    +0 day int64, +8 up_count uint32, +12 total_count uint32
//
// A file with another magic, a capacity other than 4096, or a head or count
// out of range is ignored whole. A short file with a good header keeps what
// it holds; the rest of the history stays zero. A latency that is not
// finite (NaN, an infinity) reads as 0.0.
constexpr size_t HEARTBEAT_FILE_SIZE = 54712;
constexpr size_t HEARTBEAT_FILE_HEADER = 24;
constexpr size_t HEARTBEAT_FILE_DAILY_OFFSET = 24 + 13 * 4096;

void encode_heartbeat_file(const monitor_record &record, unsigned char *out /* HEARTBEAT_FILE_SIZE */);
// Fills the history fields of `record` from a file image of `size` bytes.
// False when the image is not acceptable; `record` is then untouched.
bool decode_heartbeat_file(const unsigned char *image, size_t size, monitor_record &record);

// False for an id that could name a path outside the monitor's own
// directory: one holding '/', '\' or ':', and "." or "..". Such a monitor's
// history is never read from or written to disk.
bool id_is_safe_for_path(const char *id);

// A check writes its monitor's file in two steps. begin_check_write runs
// with the engine lock held and takes the image of the history, as the
// table holds it at that instant. finish_check_write runs after the engine
// lock is released and does the file work under a lock of the heartbeat
// files alone, so that other calls go on meanwhile. A write never puts an
// older history over a newer one: when two checks of one monitor finish in
// the other order, or a full save came first, the older image is dropped,
// since the file already holds every heartbeat it has. The check returns
// only once its heartbeat is in the file (or the write failed).
struct check_write {
    bool pending = false;
    char id[ID_SIZE];
    uint64_t version = 0;  // history_version of the image
};
void begin_check_write(monitor_record &record, check_write &write);
// False when the file should have been written and was not (it keeps the
// older history; the next full save writes it).
bool finish_check_write(const check_write &write);

// Writes, durably and as one batch, the heartbeats.dat of every monitor
// whose history is not in its file yet. False when any of them was not
// written.
bool save_changed_monitor_dats();
void load_monitor_dat(monitor_record &record);

// The record of which history each file holds follows the table: a new
// monitor has none in a file yet, a deleted one is forgotten (unless
// another monitor has the same id), and a start forgets everything.
void track_new_monitor_dat(const monitor_record &record);
void forget_monitor_dat(const char *id);
void forget_all_monitor_dats();

// --- config.json and monitors.json ----------------------------------------------

// Each returns false when a file it should have written was not written
// (no memory for the text, a file-system error, an unreadable file that
// could not be set aside).
bool save_config_file();
// Writes the heartbeat file of every monitor whose history changed, then
// monitors.json.
bool save_monitors_file();
// Neither load fails the start: a missing or bad file leaves its part of
// the state empty. A file that exists but was not loaded is remembered, so
// that the next save sets it aside instead of writing over it.
void load_config_file();
void load_monitors_file();

// --- Directories ---------------------------------------------------------------------

// Creates `path` one component at a time: each prefix that ends before a
// '/' or '\' (never the empty one before a leading separator), then the
// whole path. Failures are ignored; an existing directory is the usual case.
void ensure_dir(const char *path);

// --- Housekeeping -------------------------------------------------------------------

// Renames the file at `path` to "<path>.unreadable-YYYYMMDDTHHMMSSZ" (UTC
// now; "-1", "-2", ... appended when that name is taken, so an earlier one is
// never replaced). True when the file is out of the way, also when it was
// already gone.
bool set_aside_unreadable(const char *path);

// Removes the temporary files that a process killed during a save leaves
// behind, in the storage directory and in every monitor directory (also of
// monitors deleted since). Runs at start, with the storage directory locked.
void remove_leftover_temporaries();

// The pretty text of each file for the current state; false when it cannot
// be written (a text that is not UTF-8, a non-finite real).
bool render_config_json(growing_sink &sink);
bool render_monitors_json(growing_sink &sink);

}  // namespace vue
