// The one seam between the engine and the operating system. Everything the
// engine needs from the OS is declared here and implemented once per OS in
// src/platform/<os>/; nothing outside this folder includes an OS header.
//
// Every primitive that can fail consults the fault table (fault.h) first, so
// tests can make the Nth write, sync or rename fail on any OS without
// touching production paths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vue::platform {

// --- The engine lock -------------------------------------------------------
// A plain mutual-exclusion lock that exists for the whole life of the
// process: it needs no creation, so a failed start, a restart or a call that
// races with a stop never touches a lock that does not exist. Never taken
// recursively.
void lock_acquire();
void lock_release();

// --- Clocks ------------------------------------------------------------------
// Milliseconds of a monotonic high-resolution clock; only differences mean
// anything.
double monotonic_ms();
// Wall clock, Unix seconds.
int64_t unix_time();

// --- Randomness --------------------------------------------------------------
// Fills `out` with `size` bytes from the OS generator. False when the OS
// source is unavailable; the caller then uses its own seeded fallback.
bool random_bytes(void *out, size_t size);
// A value that differs between processes and between calls: used to seed the
// fallback generator so that two processes never draw the same sequence.
uint64_t entropy_seed();

// --- Network layer -----------------------------------------------------------
// Global set-up of the network stack before the first probe, and its
// release. net_start() may be called again after net_stop().
bool net_start();
void net_stop();

// --- Files -------------------------------------------------------------------
// Creates one directory, owner-only where the OS has modes. The result is
// deliberately not returned: an existing directory is the normal case and a
// real failure shows when a file below it cannot be written.
void make_directory(const char *path);

// Replaces the file at `path` whole with `size` bytes: the data goes to a
// temporary file in the same directory which is then renamed over `path`, so
// a crash or a full disk leaves either the old or the new file. With
// `durable`, the data (and the rename) are flushed to the disk first.
// The file is owner-only. On failure the temporary file is removed and the
// old file is untouched.
bool replace_file(const char *path, const void *data, size_t size, bool durable);

// Reads at most `capacity` bytes from the start of the file at `path` into
// `out`. Returns the number of bytes read, or -1 when the file cannot be
// opened or read.
long long read_file_prefix(const char *path, void *out, size_t capacity);

// Reads a whole file. False when it cannot be opened or read.
bool read_whole_file(const char *path, std::string &out);

}  // namespace vue::platform
