// The status page and the metrics as the service renders them, from rows
// made here: states that a running service shows only by chance (a monitor
// still pending, a certificate, a day at 99.31 %) are fixed in the rows.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "render_html.h"
#include "render_metrics.h"
#include "rows.h"
#include "command.h"
#include "vantorel-uptime-engine.h"

// The program defines this with its table of commands; the renderers never
// call it.
int host::usage_error(std::string_view, std::string_view) {
    return host::exit_usage;
}

namespace {

using namespace host;

constexpr std::int64_t k_day = 86400;
// 2026-12-10 12:00:00 UTC.
constexpr std::int64_t k_today = 20797;
constexpr std::int64_t k_now = k_today * k_day + 12 * 3600;

monitor_view view(const std::string &id, const std::string &name, int status, const std::string &target) {
    monitor_view v;
    v.monitor.id = id;
    v.monitor.name = name;
    v.monitor.type = UPTIME_MONITOR_HTTP;
    v.monitor.type_name = "HTTP";
    v.monitor.target = target;
    v.monitor.status = status;
    if (status != UPTIME_STATUS_PENDING) {
        v.monitor.latency_ms = 250.0;
        v.monitor.last_check = k_now - 30;
        v.monitor.uptime_90d = 99.5;
        detail_row d;
        d.id = id;
        last_check_row c;
        c.time = k_now - 30;
        c.up = status == UPTIME_STATUS_UP;
        c.reason = c.up ? "ok" : "connect_refused";
        c.message = c.up ? "" : "Connection refused";
        c.address = "127.0.0.1";
        d.last_check = c;
        d.daily = {{"2026-09-11", 1, 1}, {"2026-09-12", 0, 3}, {"2026-12-09", 9931, 10000}, {"2026-12-10", 5, 5}};
        if (!c.up) {
            d.consecutive_failures = 4;
            d.down_since = k_now - 600;
        }
        v.detail = d;
        v.recent = {{k_now - 90, UPTIME_STATUS_UP, 12.0}, {k_now - 30, status, 250.0}};
        v.checks_up = 7;
        v.checks_down = 2;
    }
    return v;
}

const std::string k_tricky = "q\"b\\s\nn <i>&";

std::vector<monitor_view> sample_views() {
    std::vector<monitor_view> views = {
        view("11111111-1111-4111-8111-111111111111", k_tricky, UPTIME_STATUS_UP, "https://u:p@127.0.0.1/\"x\\"),
        view("22222222-2222-4222-8222-222222222222", "waiting", UPTIME_STATUS_PENDING, "http://127.0.0.1:1/"),
        view("33333333-3333-4333-8333-333333333333", "<script>alert(1)</script>", UPTIME_STATUS_DOWN,
             "http://127.0.0.1:2/<img src=x>"),
    };
    last_check_row &c = *views[0].detail->last_check;
    c.has_certificate = true;
    c.not_after = 1800000000;
    return views;
}

// --- Metrics ------------------------------------------------------------------------

struct sample {
    std::string name;
    std::map<std::string, std::string> labels;  // values unescaped
    std::string value;
};

// Reads the exposition text strictly: every family has HELP and TYPE before
// its samples, every label value is a quoted text with only \\ \" \n
// escapes. A failure names the line.
struct exposition {
    std::map<std::string, std::string> types;
    std::vector<sample> samples;
    std::string error;
};

exposition parse_exposition(const std::string &text) {
    exposition e;
    std::set<std::string> helped;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            e.error = "the text does not end with a line feed";
            return e;
        }
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        std::smatch m;
        if (std::regex_match(line, m, std::regex("# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) .+"))) {
            helped.insert(m[1]);
            continue;
        }
        if (std::regex_match(line, m, std::regex("# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (gauge|counter)"))) {
            if (!helped.count(m[1]) || e.types.count(m[1])) {
                e.error = "TYPE without HELP, or twice: " + line;
                return e;
            }
            e.types[m[1]] = m[2];
            continue;
        }
        sample s;
        std::size_t i = 0;
        while (i < line.size() && (std::isalnum(static_cast<unsigned char>(line[i])) || line[i] == '_' || line[i] == ':')) ++i;
        s.name = line.substr(0, i);
        if (s.name.empty() || !e.types.count(s.name)) {
            e.error = "a sample of no declared family: " + line;
            return e;
        }
        if (i < line.size() && line[i] == '{') {
            ++i;
            while (i < line.size() && line[i] != '}') {
                const std::size_t eq = line.find("=\"", i);
                if (eq == std::string::npos) {
                    e.error = "a label without a quoted value: " + line;
                    return e;
                }
                const std::string label = line.substr(i, eq - i);
                std::string value;
                std::size_t j = eq + 2;
                for (; j < line.size() && line[j] != '"'; ++j) {
                    if (line[j] != '\\') {
                        value += line[j];
                        continue;
                    }
                    const char next = j + 1 < line.size() ? line[++j] : '\0';
                    if (next == 'n') value += '\n';
                    else if (next == '\\' || next == '"') value += next;
                    else {
                        e.error = "an escape the format does not have: " + line;
                        return e;
                    }
                }
                if (j >= line.size() || s.labels.count(label)) {
                    e.error = "an unterminated or repeated label: " + line;
                    return e;
                }
                s.labels[label] = value;
                i = j + 1;
                if (i < line.size() && line[i] == ',') ++i;
            }
            ++i;
        }
        if (i >= line.size() || line[i] != ' ') {
            e.error = "no value: " + line;
            return e;
        }
        s.value = line.substr(i + 1);
        if (!std::regex_match(s.value, std::regex("[-+]?([0-9.]+(e[-+]?[0-9]+)?|Inf|NaN)"))) {
            e.error = "not a number: " + line;
            return e;
        }
        e.samples.push_back(s);
    }
    return e;
}

std::vector<sample> of(const exposition &e, const std::string &name, const std::string &id = "") {
    std::vector<sample> found;
    for (const sample &s : e.samples) {
        if (s.name == name && (id.empty() || s.labels.at("id") == id)) found.push_back(s);
    }
    return found;
}

TEST(MetricsText, NamesTypesAndLabelsFollowTheFormat) {
    const std::vector<monitor_view> views = sample_views();
    const exposition e = parse_exposition(render_metrics(views, {true, "1.2.3"}));
    ASSERT_EQ(e.error, "");
    const std::map<std::string, std::string> wanted = {
        {"vantorel_uptime_build_info", "gauge"},
        {"vantorel_uptime_monitor_up", "gauge"},
        {"vantorel_uptime_monitor_latency_seconds", "gauge"},
        {"vantorel_uptime_monitor_uptime_ratio", "gauge"},
        {"vantorel_uptime_monitor_last_check_timestamp_seconds", "gauge"},
        {"vantorel_uptime_monitor_certificate_expiry_timestamp_seconds", "gauge"},
        {"vantorel_uptime_checks_total", "counter"},
    };
    for (const auto &[name, type] : wanted) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(e.types.count(name));
        EXPECT_EQ(e.types.at(name), type);
    }
    for (const auto &[name, type] : e.types) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(std::regex_match(name, std::regex("vantorel_uptime_[a-z0-9_]+")));
        EXPECT_EQ(type == "counter", name.size() > 6 && name.substr(name.size() - 6) == "_total");
    }
    ASSERT_EQ(of(e, "vantorel_uptime_build_info").size(), 1u);
    EXPECT_EQ(of(e, "vantorel_uptime_build_info")[0].labels.at("version"), "1.2.3");

    // The label values come back whole through the escapes.
    const std::string up_id = views[0].monitor.id;
    const std::vector<sample> up = of(e, "vantorel_uptime_monitor_up", up_id);
    ASSERT_EQ(up.size(), 1u);
    EXPECT_EQ(up[0].labels.at("name"), k_tricky);
    EXPECT_EQ(up[0].labels.at("target"), views[0].monitor.target);
    EXPECT_EQ(up[0].labels.at("type"), "http");
    EXPECT_EQ(up[0].value, "1");
    EXPECT_EQ(of(e, "vantorel_uptime_monitor_up", views[2].monitor.id).at(0).value, "0");
    EXPECT_EQ(of(e, "vantorel_uptime_monitor_latency_seconds", up_id).at(0).value, "0.25");
    EXPECT_EQ(of(e, "vantorel_uptime_monitor_uptime_ratio", up_id).at(0).value, "0.995");
    EXPECT_EQ(of(e, "vantorel_uptime_monitor_last_check_timestamp_seconds", up_id).at(0).value, std::to_string(k_now - 30));
    EXPECT_EQ(of(e, "vantorel_uptime_monitor_certificate_expiry_timestamp_seconds", up_id).at(0).value, "1800000000");
    EXPECT_EQ(of(e, "vantorel_uptime_monitor_certificate_expiry_timestamp_seconds").size(), 1u);
    std::map<std::string, std::string> checks;
    for (const sample &s : of(e, "vantorel_uptime_checks_total", up_id)) checks[s.labels.at("result")] = s.value;
    EXPECT_EQ(checks, (std::map<std::string, std::string>{{"up", "7"}, {"down", "2"}}));

    // A pending monitor has no up sample, no latency and no check time.
    const std::string pending = views[1].monitor.id;
    for (const char *name : {"vantorel_uptime_monitor_up", "vantorel_uptime_monitor_latency_seconds",
                             "vantorel_uptime_monitor_last_check_timestamp_seconds"}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(of(e, name, pending).empty());
    }
}

TEST(MetricsText, PublicLeavesOutTheTargetLabel) {
    const std::string text = render_metrics(sample_views(), {false, "1.2.3"});
    const exposition e = parse_exposition(text);
    ASSERT_EQ(e.error, "");
    ASSERT_FALSE(e.samples.empty());
    for (const sample &s : e.samples) EXPECT_FALSE(s.labels.count("target")) << s.name;
    EXPECT_EQ(text.find("u:p@"), std::string::npos);
}

TEST(MetricsText, AnEmptyStoreStillDeclaresEveryFamily) {
    const exposition e = parse_exposition(render_metrics({}, {true, "1.2.3"}));
    ASSERT_EQ(e.error, "");
    EXPECT_TRUE(e.types.count("vantorel_uptime_monitor_up"));
    EXPECT_EQ(of(e, "vantorel_uptime_monitor_up").size(), 0u);
}

// --- The status page -------------------------------------------------------------------

std::string article_of(const std::string &html, const std::string &id) {
    const std::size_t at = html.find("data-monitor-id=\"" + id + "\"");
    if (at == std::string::npos) return {};
    return html.substr(at, html.find("</article>", at) - at);
}

TEST(StatusPage, EveryStoreTextIsEscaped) {
    const std::vector<monitor_view> views = sample_views();
    const std::string html = render_status_page(views, {true, k_now, "Status"});
    for (const char *raw : {"<script>alert", "<img", "<i>", "q\"b"}) {
        SCOPED_TRACE(raw);
        EXPECT_EQ(html.find(raw), std::string::npos);
    }
    EXPECT_NE(html.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
    EXPECT_NE(html.find("q&quot;b\\s\nn &lt;i&gt;&amp;"), std::string::npos);
    EXPECT_NE(html.find("http://127.0.0.1:2/&lt;img src=x&gt;"), std::string::npos);
    // The page's own script is the only one.
    std::size_t scripts = 0;
    for (std::size_t at = html.find("<script"); at != std::string::npos; at = html.find("<script", at + 1)) ++scripts;
    EXPECT_EQ(scripts, 1u);
}

TEST(StatusPage, OneRowPerMonitorWithStatusInWordsAndNinetyDays) {
    const std::vector<monitor_view> views = sample_views();
    const std::string html = render_status_page(views, {true, k_now, "Status"});
    struct row_case {
        std::size_t index;
        const char *status_word;
        const char *css_class;
        std::vector<std::string> has;
    } cases[] = {
        {0, "UP", "monitor up", {"2026-12-09: 99.31% up", "2026-12-10: 100.00% up", "2026-09-12: 0.00% up", "250 ms"}},
        {1, "PENDING", "monitor pending", {"2026-12-09: no data", "No heartbeats yet."}},
        {2, "DOWN", "monitor down", {"connection refused", "down since"}},
    };
    std::size_t rows = 0;
    for (std::size_t at = html.find("<article"); at != std::string::npos; at = html.find("<article", at + 1)) ++rows;
    EXPECT_EQ(rows, views.size());
    for (const row_case &c : cases) {
        const monitor_view &v = views[c.index];
        SCOPED_TRACE(v.monitor.name);
        const std::string article = article_of(html, v.monitor.id);
        ASSERT_FALSE(article.empty());
        const std::size_t open = html.rfind("<article", html.find("data-monitor-id=\"" + v.monitor.id));
        EXPECT_EQ(html.compare(open, 17 + std::string(c.css_class).size(), "<article class=\"" + std::string(c.css_class) + "\""),
                  0);
        EXPECT_NE(article.find("<span class=\"status\">" + std::string(c.status_word) + "</span>"), std::string::npos);
        for (const std::string &text : c.has) EXPECT_NE(article.find(text), std::string::npos) << text;
        // 90 bars, oldest first, each with its day and what it holds; the
        // day before the 90 is not among them.
        const std::regex bar("<span class=\"day[a-z ]*\" title=\"(\\d{4}-\\d{2}-\\d{2}): (no data|\\d+\\.\\d\\d% up)\"></span>");
        std::vector<std::string> days;
        for (auto it = std::sregex_iterator(article.begin(), article.end(), bar); it != std::sregex_iterator(); ++it) {
            days.push_back((*it)[1]);
        }
        ASSERT_EQ(days.size(), 90u);
        EXPECT_EQ(days.front(), "2026-09-12");
        EXPECT_EQ(days.back(), "2026-12-10");
        EXPECT_EQ(article.find("2026-09-11"), std::string::npos);
    }
}

TEST(StatusPage, PublicLeavesOutTheTargets) {
    const std::vector<monitor_view> views = sample_views();
    page_options options{false, k_now, "Status"};
    const std::string html = render_status_page(views, options);
    EXPECT_EQ(html.find("127.0.0.1"), std::string::npos);
    EXPECT_EQ(html.find("class=\"target\""), std::string::npos);
    EXPECT_NE(html.find("data-monitor-id"), std::string::npos);
}

}  // namespace
