// The status page: one HTML document, rendered on the server from the same
// rows as every other form, readable without JavaScript and without any
// other file. Its skeleton and style are status_page/status_page.html and
// .css, carried in the program.
#ifndef VANTOREL_UPTIME_HOST_RENDER_HTML_H
#define VANTOREL_UPTIME_HOST_RENDER_HTML_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "rows.h"

namespace host {

struct page_options {
    bool show_targets = true;   // false with serve --public
    std::int64_t now = 0;       // Unix seconds: the last of the 90 days is this one's UTC day
    std::string title = "Status";
};

// Text made safe for HTML element content and quoted attribute values.
std::string html_escape(std::string_view text);

std::string render_status_page(const std::vector<monitor_view> &monitors, const page_options &options);

}  // namespace host

#endif
