// The two JSON reports. Each is written straight into its own static buffer;
// a report that outgrows the buffer continues in a heap buffer that the
// report keeps, so the text is never cut. Either way it stays valid until
// the next call of the same function.
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/engine_state.h"
#include "core/export.h"
#include "monitors/monitors.h"
#include "platform/platform.h"
#include "store/json_text.h"

namespace vue {
namespace {

constexpr const char kEmptyReport[] = "[]";

growing_sink s_monitors_sink(s_monitors_json, sizeof s_monitors_json);
growing_sink s_heartbeats_sink(s_heartbeats_json, sizeof s_heartbeats_json);

const char *type_name(int32_t type) {
    switch (static_cast<uint32_t>(type)) {
        case MONITOR_HTTP: return "HTTP";
        case MONITOR_TCP_PORT: return "TCP_PORT";
        case MONITOR_DNS: return "DNS";
        case MONITOR_PING: return "PING";
        default: return "UNKNOWN";
    }
}

// A failed write leaves "[]" in the fixed buffer, as the host expects.
const char *finish(growing_sink &sink, bool ok) {
    if (ok) return sink.c_str();
    sink.reset();
    sink.append(kEmptyReport);
    return sink.c_str();
}

}  // namespace

const char *build_monitors_report() {
    s_monitors_sink.reset();
    compact_json_writer w(s_monitors_sink);
    w.begin_array();
    for (int i = 0; i < s_monitor_count; ++i) {
        const monitor_record &m = s_monitors[i];
        w.begin_object();
        w.key("id");
        w.string(m.id);
        w.key("name");
        w.string(m.name);
        w.key("type");
        w.integer(m.type);
        w.key("type_name");
        w.string(type_name(m.type));
        w.key("target");
        w.string(m.target);
        w.key("interval_sec");
        w.integer(m.interval_sec);
        w.key("status");
        w.integer(m.status);
        w.key("latency_ms");
        w.real(m.last_latency_ms);
        w.key("last_check");
        w.integer(m.last_check);
        w.key("uptime_90d");
        w.real(compute_uptime_90d(m, platform::unix_time()));
        w.end_object();
    }
    w.end_array();
    return finish(s_monitors_sink, w.ok());
}

// This report holds numbers only, so it is laid out here directly, entry by
// entry, with the same forms the JSON layer writes; the general writer's
// bookkeeping per value would cost more than the numbers themselves.
const char *build_heartbeats_report(const monitor_record &m, int limit) {
    const int n = (limit < 1 || limit > m.hb_count) ? m.hb_count : limit;
    s_heartbeats_sink.reset();
    s_heartbeats_sink.append("[");
    // The longest entry: 20 digits of time, 3 of status, a real of at most
    // kRealTextMax, and the fixed text around them.
    constexpr size_t kEntryMax = 64 + 20 + 3 + kRealTextMax;
    for (int k = m.hb_count - n; k < m.hb_count; ++k) {
        // hb_count - k places before the head; + 2 * capacity keeps it positive.
        const heartbeat_entry &e = m.heartbeats[(m.hb_head + k - m.hb_count + 2 * HEARTBEAT_CAPACITY) % HEARTBEAT_CAPACITY];
        s_heartbeats_sink.reserve(kEntryMax);
        char *const start = s_heartbeats_sink.write_position();
        char *p = start;
        auto put = [&p](std::string_view text) {
            std::memcpy(p, text.data(), text.size());
            p += text.size();
        };
        put(k == m.hb_count - n ? "{\"time\":" : ",{\"time\":");
        p = std::to_chars(p, start + kEntryMax, int64_t{e.timestamp}).ptr;
        put(",\"status\":");
        p = std::to_chars(p, start + kEntryMax, unsigned{e.status}).ptr;
        put(",\"latency_ms\":");
        const size_t real = format_json_real(static_cast<double>(e.latency_ms), p);
        if (real == 0) return finish(s_heartbeats_sink, false);  // NaN or infinite: JSON cannot hold it
        p += real;
        put("}");
        s_heartbeats_sink.advance(static_cast<size_t>(p - start));
    }
    s_heartbeats_sink.append("]");
    return finish(s_heartbeats_sink, true);
}

}  // namespace vue

using namespace vue;

extern "C" UPTIME_API const char *uptime_monitors_list_json(void) {
    if (!started()) return kEmptyReport;
    return guarded<const char *>(kEmptyReport, [] {
        engine_lock lock;
        return build_monitors_report();
    });
}

extern "C" UPTIME_API const char *uptime_get_heartbeats_json(const char *monitor_id, int limit) {
    if (!started() || monitor_id == nullptr) return kEmptyReport;
    return guarded<const char *>(kEmptyReport, [&] {
        engine_lock lock;
        const monitor_record *m = find_monitor(monitor_id);
        if (m == nullptr || m->hb_count == 0) return kEmptyReport;
        return build_heartbeats_report(*m, limit);
    });
}
