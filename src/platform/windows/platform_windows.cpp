// Windows backend of the platform seam: the lock, clocks, random bytes and
// files. Paths arrive as UTF-8 and are converted to UTF-16 for the wide file
// calls, so storage directories with non-ASCII names work.
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>
#include <sddl.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "platform/fault.h"
#include "platform/platform.h"

namespace vue::platform {
namespace {

// A critical section initialised on first use and deleted when the library
// unloads: it exists for every start, restart and stop in between, and is
// never initialised twice.
struct engine_lock_holder {
    CRITICAL_SECTION section;
    engine_lock_holder() { InitializeCriticalSection(&section); }
    ~engine_lock_holder() { DeleteCriticalSection(&section); }
};
CRITICAL_SECTION &engine_lock() {
    static engine_lock_holder holder;
    return holder.section;
}
// Made at load time, before any thread of the host can call in.
[[maybe_unused]] const bool s_lock_ready = (engine_lock(), true);

// Owner-only access for what the engine creates: config.json may hold a
// webhook URL with a secret token. A protected DACL that grants full access
// to the user running the process alone, inherited by files and
// subdirectories.
SECURITY_ATTRIBUTES *owner_only() {
    static SECURITY_ATTRIBUTES attributes = [] {
        SECURITY_ATTRIBUTES a{};
        a.nLength = sizeof a;
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return a;
        alignas(8) unsigned char buffer[512];
        DWORD size = 0;
        wchar_t *sid_text = nullptr;
        if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
            ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(buffer)->User.Sid, &sid_text)) {
            const std::wstring sddl = std::wstring(L"D:P(A;OICI;FA;;;") + sid_text + L")";
            PSECURITY_DESCRIPTOR descriptor = nullptr;
            if (ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                                     nullptr)) {
                a.lpSecurityDescriptor = descriptor;  // kept for the life of the process
            }
            LocalFree(sid_text);
        }
        CloseHandle(token);
        return a;
    }();
    return attributes.lpSecurityDescriptor != nullptr ? &attributes : nullptr;
}

std::wstring widen(const char *utf8) {
    int units = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    if (units <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide.data(), units);
    wide.resize(static_cast<size_t>(units - 1));
    return wide;
}

// The wide form of a storage path. A storage directory may hold 511 bytes,
// beyond the classic 260-character limit of the file calls, so long paths
// are made absolute and given the extended-length prefix.
std::wstring wide_path(const char *utf8) {
    std::wstring wide = widen(utf8);
    if (wide.size() < 240 || wide.rfind(L"\\\\?\\", 0) == 0) return wide;
    DWORD units = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (units == 0) return wide;
    std::wstring full(units, L'\0');
    units = GetFullPathNameW(wide.c_str(), units, full.data(), nullptr);
    full.resize(units);
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

struct file_handle {
    HANDLE h = INVALID_HANDLE_VALUE;
    ~file_handle() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    bool close() {
        bool ok = h == INVALID_HANDLE_VALUE || CloseHandle(h) != 0;
        h = INVALID_HANDLE_VALUE;
        return ok;
    }
};

bool write_all(HANDLE h, const char *data, size_t size) {
    while (size > 0) {
        DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
        if (fault_fires(fault_point::file_write)) {
            // A disk that fills up mid-file: half the bytes land, then it fails.
            DWORD half = chunk / 2, done = 0;
            if (half > 0) WriteFile(h, data, half, &done, nullptr);
            SetLastError(ERROR_DISK_FULL);
            return false;
        }
        DWORD done = 0;
        if (!WriteFile(h, data, chunk, &done, nullptr)) return false;
        data += done;
        size -= done;
    }
    return true;
}

}  // namespace

namespace {

// Writes the whole of `data` into the spare, which is created when missing
// and cut to the data's size; `flush` makes it durable.
write_outcome write_spare(const char *spare_path, const void *data, size_t size, bool flush) {
    file_handle file;
    if (!fault_fires(fault_point::file_open)) {
        file.h = CreateFileW(wide_path(spare_path).c_str(), GENERIC_WRITE, 0, owner_only(), OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file.h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PATH_NOT_FOUND) return write_outcome::no_directory;
    }
    if (file.h == INVALID_HANDLE_VALUE) return write_outcome::failed;
    bool ok = write_all(file.h, static_cast<const char *>(data), size) && SetEndOfFile(file.h) != 0;
    if (ok && flush) ok = !fault_fires(fault_point::file_sync) && FlushFileBuffers(file.h) != 0;
    return file.close() && ok ? write_outcome::done : write_outcome::failed;
}

// Windows has no exchange of two names; a replacing move is atomic too, and
// only uses the spare up, so the next write makes a new one.
bool move_spare_in(const char *path, const char *spare_path, bool durable) {
    if (fault_fires(fault_point::file_rename)) return false;
    const DWORD flags = MOVEFILE_REPLACE_EXISTING | (durable ? MOVEFILE_WRITE_THROUGH : 0);
    return MoveFileExW(wide_path(spare_path).c_str(), wide_path(path).c_str(), flags) != 0;
}

}  // namespace

write_outcome swap_in_file(const char *path, const char *spare_path, const void *data, size_t size) {
    const write_outcome written = write_spare(spare_path, data, size, false);
    if (written != write_outcome::done) return written;
    return move_spare_in(path, spare_path, false) ? write_outcome::done : write_outcome::failed;
}

write_outcome stage_swap(const char *, const char *spare_path, const void *data, size_t size) {
    return write_spare(spare_path, data, size, true);
}

void commit_swaps(std::vector<staged_swap> &batch) {
    for (staged_swap &item : batch) item.ok = move_spare_in(item.path.c_str(), item.spare_path.c_str(), true);
}

void lock_acquire() { EnterCriticalSection(&engine_lock()); }
void lock_release() { LeaveCriticalSection(&engine_lock()); }

double monotonic_ms() {
    // The frequency is fixed at boot; racing first readers store the same value.
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / frequency;
}

int64_t unix_time() { return static_cast<int64_t>(_time64(nullptr)); }

bool random_bytes(void *out, size_t size) {
    if (fault_fires(fault_point::random_source)) return false;
    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) return false;
    const BOOL ok = CryptGenRandom(provider, static_cast<DWORD>(size), static_cast<BYTE *>(out));
    CryptReleaseContext(provider, 0);
    return ok != 0;
}

uint64_t entropy_seed() {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    uint64_t seed = static_cast<uint64_t>(counter.QuadPart) * 1000000007ull;
    seed ^= (static_cast<uint64_t>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime);
    seed ^= static_cast<uint64_t>(GetCurrentProcessId()) << 32 ^ GetCurrentThreadId();
    seed ^= reinterpret_cast<uintptr_t>(&seed);
    return seed;
}

void make_directory(const char *path) { CreateDirectoryW(wide_path(path).c_str(), owner_only()); }

bool replace_file(const char *path, const void *data, size_t size, bool durable) {
    const std::wstring target = wide_path(path);
    if (target.empty()) return false;
    const std::wstring temp = target + L".tmp";
    file_handle file;
    if (!fault_fires(fault_point::file_open)) {
        file.h = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, owner_only(), CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                             nullptr);
    }
    if (file.h == INVALID_HANDLE_VALUE) return false;
    bool ok = write_all(file.h, static_cast<const char *>(data), size);
    if (ok && durable) ok = !fault_fires(fault_point::file_sync) && FlushFileBuffers(file.h) != 0;
    if (!file.close()) ok = false;
    if (ok) {
        ok = !fault_fires(fault_point::file_rename) &&
             MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    }
    if (!ok) DeleteFileW(temp.c_str());
    return ok;
}

namespace {

read_outcome open_for_reading(const char *path, file_handle &file) {
    file.h = CreateFileW(wide_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file.h != INVALID_HANDLE_VALUE) return read_outcome::ok;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? read_outcome::missing
                                                                          : read_outcome::failed;
}

}  // namespace

read_outcome read_file_prefix(const char *path, void *out, size_t capacity, size_t &got) {
    got = 0;
    file_handle file;
    if (read_outcome opened = open_for_reading(path, file); opened != read_outcome::ok) return opened;
    auto *p = static_cast<char *>(out);
    while (got < capacity) {
        DWORD chunk = capacity - got > 0x40000000u ? 0x40000000u : static_cast<DWORD>(capacity - got);
        DWORD n = 0;
        if (!ReadFile(file.h, p + got, chunk, &n, nullptr)) return read_outcome::failed;
        if (n == 0) break;
        got += n;
    }
    return read_outcome::ok;
}

read_outcome read_whole_file(const char *path, std::string &out) {
    out.clear();
    file_handle file;
    if (read_outcome opened = open_for_reading(path, file); opened != read_outcome::ok) return opened;
    char buffer[65536];
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(file.h, buffer, sizeof buffer, &n, nullptr)) return read_outcome::failed;
        if (n == 0) break;
        out.append(buffer, n);
    }
    return read_outcome::ok;
}

rename_outcome rename_no_replace(const char *from, const char *to) {
    if (fault_fires(fault_point::file_set_aside)) return rename_outcome::failed;
    // Without MOVEFILE_REPLACE_EXISTING an existing target is never replaced.
    if (MoveFileExW(wide_path(from).c_str(), wide_path(to).c_str(), MOVEFILE_WRITE_THROUGH)) {
        return rename_outcome::done;
    }
    switch (GetLastError()) {
        case ERROR_ALREADY_EXISTS:
        case ERROR_FILE_EXISTS: return rename_outcome::target_exists;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND: return rename_outcome::source_missing;
        default: return rename_outcome::failed;
    }
}

bool remove_file(const char *path) {
    if (DeleteFileW(wide_path(path).c_str())) return true;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool list_directory(const char *path, std::vector<std::string> &names) {
    names.clear();
    std::wstring pattern = wide_path(path);
    if (pattern.empty()) return false;
    pattern += L"\\*";
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        int bytes = WideCharToMultiByte(CP_UTF8, 0, name.c_str(), static_cast<int>(name.size()), nullptr, 0,
                                        nullptr, nullptr);
        std::string utf8(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
        if (bytes > 0) {
            WideCharToMultiByte(CP_UTF8, 0, name.c_str(), static_cast<int>(name.size()), utf8.data(), bytes,
                                nullptr, nullptr);
        }
        names.push_back(std::move(utf8));
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return true;
}

namespace {
HANDLE s_storage_lock = INVALID_HANDLE_VALUE;  // held from a start to its stop
// The locked byte lies far beyond the process id text, so others can still
// read the id while the lock is held.
constexpr DWORD kLockOffsetHigh = 1;
}  // namespace

storage_lock_outcome storage_lock_acquire(const char *lock_path) {
    storage_lock_release();
    HANDLE h = CreateFileW(wide_path(lock_path).c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, owner_only(), OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return storage_lock_outcome::failed;
    OVERLAPPED at{};
    at.OffsetHigh = kLockOffsetHigh;
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        const bool busy = GetLastError() == ERROR_LOCK_VIOLATION;
        CloseHandle(h);
        return busy ? storage_lock_outcome::busy : storage_lock_outcome::failed;
    }
    char pid[32];
    const int n = std::snprintf(pid, sizeof pid, "%lu\r\n", static_cast<unsigned long>(GetCurrentProcessId()));
    DWORD done = 0;
    SetFilePointer(h, 0, nullptr, FILE_BEGIN);
    if (n > 0 && WriteFile(h, pid, static_cast<DWORD>(n), &done, nullptr)) SetEndOfFile(h);
    s_storage_lock = h;
    return storage_lock_outcome::locked;
}

void storage_lock_release() {
    if (s_storage_lock == INVALID_HANDLE_VALUE) return;
    OVERLAPPED at{};
    at.OffsetHigh = kLockOffsetHigh;
    UnlockFileEx(s_storage_lock, 0, 1, 0, &at);
    CloseHandle(s_storage_lock);
    s_storage_lock = INVALID_HANDLE_VALUE;
}

}  // namespace vue::platform
