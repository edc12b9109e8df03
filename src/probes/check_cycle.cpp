// uptime_check_now: snapshot under the lock, probe without it, record under
// it again. The lock is never held across network work, so a slow target
// delays nobody but its own caller.
#include <cstring>

#include "core/engine_state.h"
#include "core/export.h"
#include "monitors/monitors.h"
#include "platform/platform.h"
#include "probes/probes.h"
#include "store/state_store.h"

namespace vue {

double measured_latency(double start_ms, double end_ms) {
    double span = end_ms - start_ms;
    return span > 0.0 ? span : 0.1;
}

}  // namespace vue

using namespace vue;

extern "C" UPTIME_API int uptime_check_now(const char *monitor_id, int *out_up, double *out_latency_ms) {
    if (!started() || monitor_id == nullptr) {
        set_last_error(msg::kNotInitializedOrNullId);
        return -1;
    }
    return guarded(-1, [&] {
        int type;
        int previous_status;
        char target[TARGET_SIZE];
        char name[NAME_SIZE];
        {
            engine_lock lock;
            const monitor_record *m = find_monitor(monitor_id);
            if (m == nullptr) {
                set_last_error(msg::kMonitorNotFound);
                return -1;
            }
            type = m->type;
            previous_status = m->status;
            std::memcpy(target, m->target, sizeof target);
            std::memcpy(name, m->name, sizeof name);
        }

        probe_result result;
        switch (type) {
            case MONITOR_HTTP: check_http(target, result); break;
            case MONITOR_TCP_PORT: check_tcp_port(target, result); break;
            case MONITOR_DNS: check_dns(target, result); break;
            case MONITOR_PING: check_ping(target, result); break;
            default: describe_unknown_type(type, result); break;  // down, unprobed
        }
        if (out_up != nullptr) *out_up = result.up;
        if (out_latency_ms != nullptr) *out_latency_ms = result.latency_ms;
        const int64_t now = platform::unix_time();
        // Complete before the lock, so that the locked phase only copies it.
        result.detail.present = true;
        result.detail.time = now;
        result.detail.up = result.up;

        bool notify = false;
        char url[WEBHOOK_URL_SIZE];
        check_write write;
        {
            // Memory work only: the heartbeat, the detail of the check, the
            // image of the history and the webhook decision. The file is
            // written after the release (see check_write).
            engine_lock lock;
            // The table may have changed while the lock was free: a delete
            // moves later records, so look the monitor up again.
            if (monitor_record *m = find_monitor(monitor_id); m != nullptr) {
                record_heartbeat_internal(*m, result.up, result.latency_ms, now);
                m->last_detail = result.detail;
                begin_check_write(*m, write);
            }
            if (previous_status != STATUS_PENDING && result.up != previous_status && s_webhook_url[0] != '\0') {
                notify = true;
                std::memcpy(url, s_webhook_url, sizeof url);
            }
        }
        finish_check_write(write);
        if (notify) send_webhook(url, monitor_id, name, result.up, result.latency_ms, now);
        return 0;
    });
}
