// The two JSON reports. Each is written straight into its own static buffer;
// a report that outgrows the buffer continues in a heap buffer that the
// report keeps, so the text is never cut. Either way it stays valid until
// the next call of the same function.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "core/calendar.h"
#include "core/check_detail.h"
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
growing_sink s_detail_sink(s_detail_json, sizeof s_detail_json);

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

namespace {

// Rounds toward negative infinity, so that an expired certificate has
// negative days left from its first second on.
int64_t floor_div(int64_t a, int64_t b) {
    const int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// "YYYY-MM-DD" for the years 0000..9999; other years in full, with a
// minus sign before the year 0.
void write_day(compact_json_writer &w, int64_t day_number) {
    const utc_time t = utc_date_of_day(day_number);
    char text[48];
    std::snprintf(text, sizeof text, "%s%04lld-%02d-%02d", t.year < 0 ? "-" : "",
                  static_cast<long long>(t.year < 0 ? -t.year : t.year), t.month, t.day);
    w.string(text);
}

void write_phase(compact_json_writer &w, const char *key, double ms) {
    w.key(key);
    if (ms >= 0.0) {
        w.real(ms);
    } else {
        w.null_value();
    }
}

void write_last_check(compact_json_writer &w, const check_detail &d) {
    if (!d.present) {
        w.null_value();
        return;
    }
    w.begin_object();
    w.key("time");
    w.integer(d.time);
    w.key("up");
    w.integer(d.up);
    w.key("reason");
    w.string(check_reason_name(d.reason));
    w.key("message");
    w.string(d.message);
    w.key("address");
    if (d.address[0] != '\0') {
        w.string(d.address);
    } else {
        w.null_value();
    }
    w.key("http_status");
    if (d.has_http_status) {
        w.integer(d.http_status);
    } else {
        w.null_value();
    }
    w.key("redirects");
    if (d.has_redirects) {
        w.integer(d.redirects);
    } else {
        w.null_value();
    }
    w.key("phases_ms");
    w.begin_object();
    write_phase(w, "resolve", d.resolve_ms);
    write_phase(w, "connect", d.connect_ms);
    write_phase(w, "tls", d.tls_ms);
    write_phase(w, "first_byte", d.first_byte_ms);
    w.end_object();
    w.key("certificate");
    if (d.has_certificate) {
        w.begin_object();
        w.key("not_after");
        w.integer(d.cert_not_after);
        w.key("days_left");
        w.integer(floor_div(d.cert_not_after - d.time, 86400));
        w.key("subject");
        w.string(d.cert_subject);
        w.key("issuer");
        w.string(d.cert_issuer);
        w.end_object();
    } else {
        w.null_value();
    }
    w.end_object();
}

}  // namespace

const char *build_detail_report(const monitor_record &m) {
    s_detail_sink.reset();
    compact_json_writer w(s_detail_sink);
    w.begin_object();
    w.key("id");
    w.string(m.id);
    w.key("last_check");
    write_last_check(w, m.last_detail);

    // The newest heartbeats in the order they were recorded, whatever their
    // timestamps: the run of failures since the last up one.
    int failures = 0;
    bool has_down_since = false, has_last_up = false;
    int64_t down_since = 0, last_up = 0;
    for (int k = 0; k < m.hb_count; ++k) {
        const heartbeat_entry &e = m.heartbeats[((m.hb_head - 1 - k) % HEARTBEAT_CAPACITY + HEARTBEAT_CAPACITY) %
                                                HEARTBEAT_CAPACITY];
        const int64_t timestamp = e.timestamp;
        if (e.status == STATUS_UP) {
            has_last_up = true;
            last_up = timestamp;
            break;
        }
        ++failures;
        has_down_since = true;
        down_since = timestamp;
    }
    w.key("consecutive_failures");
    w.integer(failures);
    w.key("down_since");
    if (has_down_since) {
        w.integer(down_since);
    } else {
        w.null_value();
    }
    w.key("last_up");
    if (has_last_up) {
        w.integer(last_up);
    } else {
        w.null_value();
    }

    // The buckets lie in no order; list the used ones by day, oldest first
    // (insertion sort: stable, and at most 90 of them).
    int order[DAILY_BUCKETS];
    int used = 0;
    for (int i = 0; i < DAILY_BUCKETS; ++i) {
        if (m.daily[i].total_count == 0) continue;
        int at = used++;
        while (at > 0 && m.daily[order[at - 1]].day > m.daily[i].day) {
            order[at] = order[at - 1];
            --at;
        }
        order[at] = i;
    }
    w.key("daily");
    w.begin_array();
    for (int k = 0; k < used; ++k) {
        const daily_bucket &b = m.daily[order[k]];
        w.begin_object();
        w.key("day");
        write_day(w, b.day);
        w.key("up");
        w.integer(b.up_count);
        w.key("total");
        w.integer(b.total_count);
        w.end_object();
    }
    w.end_array();
    w.end_object();
    if (!w.ok()) return nullptr;
    return s_detail_sink.c_str();
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

extern "C" UPTIME_API const char *uptime_monitor_detail_json(const char *monitor_id) {
    if (!started() || monitor_id == nullptr) {
        set_last_error(msg::kNotInitializedOrNullId);
        return nullptr;
    }
    return guarded<const char *>(nullptr, [&]() -> const char * {
        engine_lock lock;
        const monitor_record *m = find_monitor(monitor_id);
        if (m == nullptr) {
            set_last_error(msg::kMonitorNotFound);
            return nullptr;
        }
        return build_detail_report(*m);
    });
}
