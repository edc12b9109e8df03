#include <cstdio>
#include <cstring>
#include <string_view>

#include "core/engine_state.h"
#include "core/export.h"
#include "core/utf8.h"
#include "platform/platform.h"
#include "store/state_store.h"

using namespace vue;

extern "C" UPTIME_API int uptime_engine_init(const char *storage_dir) {
    if (started()) return 0;
    return guarded(-1, [&] {
        engine_lock lock;
        if (!platform::net_start()) {
            set_last_error(msg::kNetStartFailed);
            return -1;
        }
        char dir[STORAGE_DIR_SIZE];
        copy_bounded(dir, sizeof dir, storage_dir != nullptr && storage_dir[0] != '\0' ? storage_dir : ".");
        ensure_dir(dir);
        // Two processes on one directory would each save over the other's
        // changes; the second one is refused before it reads or writes
        // anything.
        char lock_path[PATH_SIZE];
        std::snprintf(lock_path, sizeof lock_path, "%s/.lock", dir);
        switch (platform::storage_lock_acquire(lock_path)) {
            case platform::storage_lock_outcome::locked: break;
            case platform::storage_lock_outcome::busy:
                platform::net_stop();
                set_last_error(msg::kStorageInUse);
                return -1;
            case platform::storage_lock_outcome::failed:
                platform::net_stop();
                set_last_error(msg::kCannotLockStorage);
                return -1;
        }
        copy_bounded(s_storage_dir, sizeof s_storage_dir, dir);
        char data_dir[PATH_SIZE];
        std::snprintf(data_dir, sizeof data_dir, "%s/data", s_storage_dir);
        ensure_dir(data_dir);
        remove_leftover_temporaries();

        s_monitor_count = 0;
        std::memset(s_monitors, 0, sizeof s_monitors);
        forget_all_monitor_dats();
        set_last_error("");
        s_monitors_json[0] = '\0';
        s_heartbeats_json[0] = '\0';
        s_detail_json[0] = '\0';

        // A file that cannot be read, or memory that runs out while reading
        // it, leaves that part of the state empty; it never fails the start.
        load_config_file();
        load_monitors_file();
        s_initialized.store(1, std::memory_order_release);
        return 0;
    });
}

extern "C" UPTIME_API void uptime_engine_cleanup(void) {
    if (!started()) return;
    guarded(0, [] {
        {
            engine_lock lock;
            save_config_file();
            save_monitors_file();
            s_initialized.store(0, std::memory_order_release);
            platform::storage_lock_release();
        }
        platform::net_stop();
        return 0;
    });
}

extern "C" UPTIME_API int uptime_set_webhook_url(const char *url) {
    if (!started()) {
        set_last_error(msg::kNotInitialized);
        return -1;
    }
    // A URL that is not UTF-8 could never be written to config.json, nor
    // sent; refuse it and keep the one in force.
    if (url != nullptr && !utf8_is_valid(url)) {
        set_last_error(msg::kInvalidWebhookUrl);
        return -1;
    }
    return guarded(-1, [&] {
        engine_lock lock;
        copy_bounded(s_webhook_url, sizeof s_webhook_url, url != nullptr ? url : "");
        // The URL is in force whether or not config.json could be written; a
        // host that must know calls uptime_save_state.
        save_config_file();
        return 0;
    });
}

extern "C" UPTIME_API int uptime_save_state(void) {
    if (!started()) {
        set_last_error(msg::kNotInitialized);
        return -1;
    }
    return guarded(-1, [] {
        engine_lock lock;
        // Both are attempted even when the first fails: each file written is
        // one less to lose.
        const bool config_saved = save_config_file();
        const bool monitors_saved = save_monitors_file();
        if (config_saved && monitors_saved) return 0;
        set_last_error(msg::kSaveFailed);
        return -1;
    });
}

extern "C" UPTIME_API const char *uptime_last_error(void) { return s_last_error.load(std::memory_order_acquire); }
