// The monitors in the Prometheus text exposition format (version 0.0.4):
// names with the project's prefix, base units in the names, one gauge or
// counter family per metric, label values escaped as the format asks.
#ifndef VANTOREL_UPTIME_HOST_RENDER_METRICS_H
#define VANTOREL_UPTIME_HOST_RENDER_METRICS_H

#include <string>
#include <string_view>
#include <vector>

#include "rows.h"

namespace host {

// The Content-Type of what render_metrics() writes.
constexpr std::string_view k_metrics_content_type = "text/plain; version=0.0.4; charset=utf-8";

struct metrics_options {
    bool show_targets = true;  // the target label; false with serve --public
    std::string version;       // of vantorel_uptime_build_info
};

// A label value in the exposition format: \ " and line feed escaped.
std::string metric_label_escape(std::string_view text);

std::string render_metrics(const std::vector<monitor_view> &monitors, const metrics_options &options);

}  // namespace host

#endif
