// Windows backend of the platform seam: the lock, clocks, random bytes and
// files. Paths arrive as UTF-8 and are converted to UTF-16 for the wide file
// calls, so storage directories with non-ASCII names work.
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>
#include <sddl.h>

#include <ctime>
#include <string>

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

long long read_file_prefix(const char *path, void *out, size_t capacity) {
    file_handle file;
    file.h = CreateFileW(wide_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file.h == INVALID_HANDLE_VALUE) return -1;
    auto *p = static_cast<char *>(out);
    size_t got = 0;
    while (got < capacity) {
        DWORD chunk = capacity - got > 0x40000000u ? 0x40000000u : static_cast<DWORD>(capacity - got);
        DWORD n = 0;
        if (!ReadFile(file.h, p + got, chunk, &n, nullptr)) return -1;
        if (n == 0) break;
        got += n;
    }
    return static_cast<long long>(got);
}

bool read_whole_file(const char *path, std::string &out) {
    file_handle file;
    file.h = CreateFileW(wide_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file.h == INVALID_HANDLE_VALUE) return false;
    out.clear();
    char buffer[65536];
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(file.h, buffer, sizeof buffer, &n, nullptr)) return false;
        if (n == 0) break;
        out.append(buffer, n);
    }
    return true;
}

}  // namespace vue::platform
