// Linux backend of the platform seam.
#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include <algorithm>

#include "platform/fault.h"
#include "platform/platform.h"

namespace vue::platform {
namespace {

// Statically initialised, so it exists before the first start and after the
// last stop.
pthread_mutex_t s_engine_lock = PTHREAD_MUTEX_INITIALIZER;

// Writes all of `size` bytes at `offset`, retrying short writes and
// interrupts; the file_write fault stores half, then fails.
bool pwrite_all(int fd, const char *data, size_t size, off_t offset) {
    while (size > 0) {
        size_t chunk = size;
        if (fault_fires(fault_point::file_write)) {
            chunk = size / 2;
            if (chunk > 0 && ::pwrite(fd, data, chunk, offset) < 0) return false;
            errno = ENOSPC;
            return false;
        }
        ssize_t n = ::pwrite(fd, data, chunk, offset);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        offset += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// The directory part of `path` ("." when it has none), for syncing a rename.
std::string parent_directory(const char *path) {
    const char *slash = std::strrchr(path, '/');
    if (slash == nullptr) return ".";
    if (slash == path) return "/";
    return std::string(path, static_cast<size_t>(slash - path));
}

}  // namespace

void lock_acquire() { pthread_mutex_lock(&s_engine_lock); }
void lock_release() { pthread_mutex_unlock(&s_engine_lock); }

double monotonic_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

int64_t unix_time() { return static_cast<int64_t>(::time(nullptr)); }

bool random_bytes(void *out, size_t size) {
    if (fault_fires(fault_point::random_source)) return false;
    auto *p = static_cast<unsigned char *>(out);
    while (size > 0) {
        ssize_t n = ::getrandom(p, size, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

uint64_t entropy_seed() {
    struct timespec rt, mono;
    clock_gettime(CLOCK_REALTIME, &rt);
    clock_gettime(CLOCK_MONOTONIC, &mono);
    uint64_t seed = static_cast<uint64_t>(rt.tv_sec) * 1000000007ull + static_cast<uint64_t>(rt.tv_nsec);
    seed ^= (static_cast<uint64_t>(::getpid()) << 32) ^ static_cast<uint64_t>(mono.tv_nsec);
    seed ^= reinterpret_cast<uintptr_t>(&seed);  // address-space randomisation differs per process
    return seed;
}

void make_directory(const char *path) { ::mkdir(path, 0700); }

bool replace_file(const char *path, const void *data, size_t size, bool durable) {
    std::string temp = std::string(path) + ".tmp";
    // A stale temporary file from a crash, or a link planted in its place,
    // is removed rather than followed.
    ::unlink(temp.c_str());
    int fd = -1;
    if (!fault_fires(fault_point::file_open)) {
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    }
    if (fd < 0) return false;

    bool ok = pwrite_all(fd, static_cast<const char *>(data), size, 0);
    if (ok && durable) ok = !fault_fires(fault_point::file_sync) && ::fsync(fd) == 0;
    if (::close(fd) != 0) ok = false;
    if (ok) ok = !fault_fires(fault_point::file_rename) && ::rename(temp.c_str(), path) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    if (durable) {
        // The rename itself lives in the directory; without this a power cut
        // can bring the old file back.
        int dir = ::open(parent_directory(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
    }
    return true;
}

namespace {

int open_spare(const char *spare_path) {
    if (fault_fires(fault_point::file_open)) {
        errno = EIO;
        return -1;
    }
    // A link planted in the spare's place is not followed.
    return ::open(spare_path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
}

// The spare takes the file's place in one step; the file, the spare's.
bool swap_spare_in(const char *path, const char *spare_path) {
    if (fault_fires(fault_point::file_rename)) return false;
    if (::renameat2(AT_FDCWD, spare_path, AT_FDCWD, path, RENAME_EXCHANGE) == 0) return true;
    // No file yet (a new monitor), or a file system that cannot exchange:
    // a plain rename is as atomic, it only uses the spare up.
    if (errno != ENOENT && errno != EINVAL && errno != ENOSYS) return false;
    return ::rename(spare_path, path) == 0;
}

// Flushes the file system that holds `path`: every file and directory
// change made before, ours and any other process's, is on the disk when it
// returns. One call replaces a flush per file and per directory.
bool flush_file_system(const char *path) {
    int fd = ::open(parent_directory(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::syncfs(fd) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

write_outcome swap_in_file(const char *path, const char *spare_path, const void *data, size_t size) {
    int fd = open_spare(spare_path);
    if (fd < 0) return errno == ENOENT ? write_outcome::no_directory : write_outcome::failed;
    bool ok = pwrite_all(fd, static_cast<const char *>(data), size, 0);
    // A spare longer than the data would make the file longer.
    struct stat st;
    if (ok && ::fstat(fd, &st) == 0 && static_cast<size_t>(st.st_size) != size) ok = ::ftruncate(fd, static_cast<off_t>(size)) == 0;
    if (::close(fd) != 0) ok = false;
    return ok && swap_spare_in(path, spare_path) ? write_outcome::done : write_outcome::failed;
}

write_outcome stage_swap(const char *, const char *spare_path, const void *data, size_t size) {
    int fd = open_spare(spare_path);
    if (fd < 0) return errno == ENOENT ? write_outcome::no_directory : write_outcome::failed;
    // What the spare holds now, to write only the pages that differ: a
    // page that is not written is not flushed either.
    thread_local std::vector<char> present;
    present.resize(size + 1);
    size_t got = 0;
    while (got < present.size()) {
        ssize_t n = ::pread(fd, present.data() + got, present.size() - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    const auto *bytes = static_cast<const char *>(data);
    bool ok = true;
    constexpr size_t kPage = 4096;
    for (size_t at = 0; ok && at < size; at += kPage) {
        const size_t length = std::min(kPage, size - at);
        if (got >= at + length && std::memcmp(present.data() + at, bytes + at, length) == 0) continue;
        ok = pwrite_all(fd, bytes + at, length, static_cast<off_t>(at));
    }
    if (ok && got > size) ok = ::ftruncate(fd, static_cast<off_t>(size)) == 0;
    if (::close(fd) != 0) ok = false;
    return ok ? write_outcome::done : write_outcome::failed;
}

void commit_swaps(std::vector<staged_swap> &batch) {
    for (staged_swap &item : batch) item.ok = false;
    if (batch.empty()) return;
    // Every spare is on the disk before any takes its file's place: a swap
    // that reached the disk without its data would leave old bytes behind
    // the new name after a power cut.
    if (fault_fires(fault_point::file_sync) || !flush_file_system(batch.front().path.c_str())) return;
    for (staged_swap &item : batch) item.ok = swap_spare_in(item.path.c_str(), item.spare_path.c_str());
    if (!flush_file_system(batch.front().path.c_str())) {
        for (staged_swap &item : batch) item.ok = false;
    }
}

namespace {

// Opens `path` for reading; `missing` only for a name that does not exist.
read_outcome open_for_reading(const char *path, int &fd) {
    fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) return read_outcome::ok;
    return errno == ENOENT ? read_outcome::missing : read_outcome::failed;
}

}  // namespace

read_outcome read_file_prefix(const char *path, void *out, size_t capacity, size_t &got) {
    got = 0;
    int fd;
    if (read_outcome opened = open_for_reading(path, fd); opened != read_outcome::ok) return opened;
    auto *p = static_cast<char *>(out);
    while (got < capacity) {
        ssize_t n = ::read(fd, p + got, capacity - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            return read_outcome::failed;
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    return read_outcome::ok;
}

read_outcome read_whole_file(const char *path, std::string &out) {
    out.clear();
    int fd;
    if (read_outcome opened = open_for_reading(path, fd); opened != read_outcome::ok) return opened;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            return read_outcome::failed;
        }
        if (n == 0) break;
        out.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return read_outcome::ok;
}

rename_outcome rename_no_replace(const char *from, const char *to) {
    if (fault_fires(fault_point::file_set_aside)) return rename_outcome::failed;
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return rename_outcome::done;
    if (errno == EEXIST) return rename_outcome::target_exists;
    if (errno == ENOENT) return rename_outcome::source_missing;
    if (errno != EINVAL && errno != ENOSYS) return rename_outcome::failed;
    // A file system without the no-replace flag: a hard link cannot replace
    // anything either.
    if (::link(from, to) == 0) {
        ::unlink(from);
        return rename_outcome::done;
    }
    if (errno == EEXIST) return rename_outcome::target_exists;
    if (errno == ENOENT) return rename_outcome::source_missing;
    return rename_outcome::failed;
}

bool remove_file(const char *path) { return ::unlink(path) == 0 || errno == ENOENT; }

bool list_directory(const char *path, std::vector<std::string> &names) {
    names.clear();
    DIR *dir = ::opendir(path);
    if (dir == nullptr) return false;
    while (const struct dirent *entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    return true;
}

namespace {
int s_storage_lock_fd = -1;  // held from a start to its stop
}  // namespace

storage_lock_outcome storage_lock_acquire(const char *lock_path) {
    storage_lock_release();
    int fd = ::open(lock_path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return storage_lock_outcome::failed;
    // An open-file-description lock belongs to this descriptor alone, so no
    // other open of the file in this process (a library the host also loads)
    // can drop it by closing its own descriptor, as a POSIX record lock would.
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_SETLK, &whole) != 0) {
        const bool busy = errno == EAGAIN || errno == EACCES;
        ::close(fd);
        return busy ? storage_lock_outcome::busy : storage_lock_outcome::failed;
    }
    char pid[32];
    int n = std::snprintf(pid, sizeof pid, "%ld\n", static_cast<long>(::getpid()));
    // The id is for people looking at the directory; the lock itself is
    // what counts, so a failed write does not undo it.
    if (::ftruncate(fd, 0) == 0 && n > 0) {
        [[maybe_unused]] ssize_t written = ::pwrite(fd, pid, static_cast<size_t>(n), 0);
    }
    s_storage_lock_fd = fd;
    return storage_lock_outcome::locked;
}

void storage_lock_release() {
    if (s_storage_lock_fd < 0) return;
    ::close(s_storage_lock_fd);
    s_storage_lock_fd = -1;
}

}  // namespace vue::platform
