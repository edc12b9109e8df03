#include "engine_session.h"

#include <chrono>
#include <filesystem>
#include <optional>
#include <system_error>
#include <vector>

#include "service_file.h"
#include "vantorel-uptime-engine.h"

namespace host {

namespace {

std::filesystem::path utf8_path(const std::string &text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

// The system's text for an error number, as the file-system calls give it.
std::string error_text(std::errc error) {
    return std::make_error_code(error).message();
}

// Why dir holds no store: "" when it holds one, otherwise the text after
// "no store in 'DIR'".
std::string why_no_store(const std::string &dir) {
    const std::filesystem::path path = utf8_path(dir);
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(path, ec);
    if (!std::filesystem::exists(status)) {
        return ": " + (ec ? ec.message() : error_text(std::errc::no_such_file_or_directory));
    }
    if (!std::filesystem::is_directory(status)) return ": " + error_text(std::errc::not_a_directory);
    for (const char *file : {"monitors.json", "config.json"}) {
        if (std::filesystem::exists(path / file, ec)) return {};
        if (ec) return ": " + ec.message();
    }
    return " (no monitors.json or config.json); 'vantorel-uptime add' creates one";
}

// Creates the storage directory and any missing parent owner-only, as the
// engine would, so that a failure can be told with its reason; "" when it
// exists now.
std::string create_storage_directory(const std::string &dir) {
    std::filesystem::path path = utf8_path(dir);
    std::vector<std::filesystem::path> missing;
    std::error_code ec;
    for (std::filesystem::path p = path; !p.empty(); p = p.parent_path()) {
        const std::filesystem::file_status status = std::filesystem::status(p, ec);
        if (std::filesystem::exists(status)) {
            if (!std::filesystem::is_directory(status)) return error_text(std::errc::not_a_directory);
            break;
        }
        if (ec && ec != std::errc::no_such_file_or_directory) return ec.message();
        missing.push_back(p);
        if (p == p.parent_path()) break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (!std::filesystem::create_directory(*it, ec) && ec) return ec.message();
        std::filesystem::permissions(*it, std::filesystem::perms::owner_all, ec);
    }
    return {};
}

// Why nothing can be written in dir, found by trying: "" when a new entry
// can be made there (the reason, if any, is then not one we can tell).
std::string why_not_writable(const std::string &dir) {
    const std::filesystem::path path = utf8_path(dir);
    std::error_code ec;
    if (!std::filesystem::is_directory(path, ec)) {
        return ec ? ec.message() : error_text(std::errc::not_a_directory);
    }
    const std::filesystem::path probe =
        path / (".vantorel-uptime-probe-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    if (!std::filesystem::create_directory(probe, ec)) return ec ? ec.message() : std::string();
    std::filesystem::remove(probe, ec);
    return {};
}

}  // namespace

engine_session::~engine_session() {
    stop();
}

void engine_session::stop() {
    if (started_) uptime_engine_cleanup();
    started_ = false;
}

std::string storage_dir(const invocation &inv) {
    return inv.dir.empty() ? "." : inv.dir;
}

std::optional<service_info> serving_service(const std::string &dir) {
    std::optional<service_info> service = read_service_file(dir);
    if (service && service->pid == read_lock_holder(dir)) return service;
    return std::nullopt;
}

bool engine_session::start(const invocation &inv, store_use use, bool *served) {
    const std::string dir = storage_dir(inv);
    if (use == store_use::existing) {
        if (const std::string missing = why_no_store(dir); !missing.empty()) {
            command_error(inv.command, "no store in '" + dir + "'" + missing);
            return false;
        }
    } else if (const std::string reason = create_storage_directory(dir); !reason.empty()) {
        command_error(inv.command, "cannot create the storage directory '" + dir + "': " + reason);
        return false;
    }
    if (uptime_engine_init(dir.c_str()) != 0) {
        const std::string error = uptime_last_error();
        std::string message = error + ": '" + dir + "'";
        if (error == "Storage directory in use by another process") {
            const std::optional<service_info> service = serving_service(dir);
            if (service && served != nullptr) {
                *served = true;
                return false;
            }
            if (service) {
                message += " (served by 'vantorel-uptime serve', process " + std::to_string(service->pid) + ", at " +
                           service->url + ")";
            } else {
                message += " (is 'vantorel-uptime watch' running on it?)";
            }
        } else if (const std::string reason = why_not_writable(dir); !reason.empty()) {
            message += ": " + reason;
        }
        command_error(inv.command, message);
        return false;
    }
    started_ = true;
    return true;
}

bool engine_session::save(const invocation &inv) {
    if (uptime_save_state() == 0) return true;
    const std::string dir = storage_dir(inv);
    std::string message = std::string(uptime_last_error()) + " in '" + dir + "'";
    if (const std::string reason = why_not_writable(dir); !reason.empty()) message += ": " + reason;
    command_error(inv.command, message);
    return false;
}

}  // namespace host
