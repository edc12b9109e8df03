// How the command line finds a service that owns a store. While it runs,
// `serve` keeps two files in the storage directory:
//   service.json    {"pid":1234,"url":"http://127.0.0.1:8321"}: where its
//                   API answers (a loopback address when it listens on all),
//                   written at start, removed at a clean stop
//   service.token   the token that every change through the API needs, made
//                   at the first start and kept (owner-only, 0600)
// A file left by a service that died names a process that no longer holds
// the store's lock: the lock, not the file, says who owns the store.
#ifndef VANTOREL_UPTIME_HOST_SERVICE_FILE_H
#define VANTOREL_UPTIME_HOST_SERVICE_FILE_H

#include <optional>
#include <string>

namespace host {

struct service_info {
    long pid = 0;
    std::string url;  // "http://127.0.0.1:8321", no slash at the end
};

std::string service_file_path(const std::string &dir);
std::string service_token_path(const std::string &dir);

// What service.json says; nothing when it is missing or not what serve writes.
std::optional<service_info> read_service_file(const std::string &dir);
// The token, without its line end; nothing when it cannot be read.
std::optional<std::string> read_service_token(const std::string &dir);
// The process id in the store's .lock: who holds the store (0 when unknown).
long read_lock_holder(const std::string &dir);

// The text of service.json for a service at this URL.
std::string service_file_text(long pid, const std::string &url);

}  // namespace host

#endif
