// Why a check came out as it did: one loopback case per reason, with what
// the detail report says about it (status, redirects, address, phases,
// certificate), read back through the public report.
#include <cmath>
#include <cctype>
#include <fstream>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "net_support.h"
#include "platform/fault.h"
#include "platform/platform.h"

namespace vue::test {
namespace {

using servers = loopback_servers;

// The Windows HTTP layer cannot tell a refused connection from another
// failure to connect, and tells fewer phases; the build says which it is.
constexpr bool kWindows = VUE_TEST_WINDOWS != 0;

enum phase_bits : unsigned { resolve = 1, connect = 2, tls = 4, first_byte = 8 };
constexpr const char *kPhaseNames[] = {"resolve", "connect", "tls", "first_byte"};

enum class cert { none, selfsigned, expired, issued };

struct reason_case {
    const char *name;  // of the test
    int type;
    // "{server}" stands for that loopback server's port.
    std::string target;
    int up;
    const char *reason;
    const char *windows_reason = nullptr;  // where Windows itself says otherwise
    int http_status = -1;                  // -1: null
    int redirects = -1;                    // -1: null
    bool address = true;                   // "127.0.0.1", else null
    unsigned phases = 0;                   // present (HTTP: on Linux); the others null everywhere
    unsigned maybe = 0;                    // may be present or null
    cert certificate = cert::none;
    const char *message = "";              // part of the message on Linux ("" for ok: empty)
    const char *wine = nullptr;            // why wine cannot run the case
    bool nginx = false;                    // needs nginx
    bool private_network = false;          // looks up a name that does not exist
};

std::string expand(std::string target) {
    for (size_t open = target.find('{'); open != std::string::npos; open = target.find('{')) {
        const size_t close = target.find('}', open);
        const std::string port = std::to_string(servers::port(target.substr(open + 1, close - open - 1)));
        target.replace(open, close - open + 1, port);
    }
    return target;
}

// The report's last_check, read back.
struct observed {
    bool present = false;
    int64_t time = 0;
    int up = -1;
    std::string reason, message, address;
    bool has_address = false;
    int http_status = -1, redirects = -1;
    double phases[4] = {-1, -1, -1, -1};
    bool has_certificate = false;
    int64_t not_after = 0, days_left = 0;
    std::string subject, issuer;
};

observed read_last_check(const std::string &id) {
    observed o;
    const char *text = uptime_monitor_detail_json(id.c_str());
    EXPECT_NE(text, nullptr) << uptime_last_error();
    if (text == nullptr) return o;
    rapidjson::Document doc;
    EXPECT_FALSE(doc.Parse(text).HasParseError()) << text;
    if (!doc.IsObject() || !doc["last_check"].IsObject()) return o;
    const rapidjson::Value &c = doc["last_check"];
    o.present = true;
    o.time = c["time"].GetInt64();
    o.up = c["up"].GetInt();
    o.reason = c["reason"].GetString();
    o.message = c["message"].GetString();
    o.has_address = c["address"].IsString();
    if (o.has_address) o.address = c["address"].GetString();
    if (!c["http_status"].IsNull()) o.http_status = c["http_status"].GetInt();
    if (!c["redirects"].IsNull()) o.redirects = c["redirects"].GetInt();
    for (int i = 0; i < 4; ++i) {
        const rapidjson::Value &p = c["phases_ms"][kPhaseNames[i]];
        if (!p.IsNull()) o.phases[i] = p.GetDouble();
    }
    o.has_certificate = c["certificate"].IsObject();
    if (o.has_certificate) {
        const rapidjson::Value &k = c["certificate"];
        o.not_after = k["not_after"].GetInt64();
        o.days_left = k["days_left"].GetInt64();
        o.subject = k["subject"].GetString();
        o.issuer = k["issuer"].GetString();
    }
    return o;
}

std::string lower(std::string text) {
    for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

int64_t floor_days(int64_t seconds) { return static_cast<int64_t>(std::floor(static_cast<double>(seconds) / 86400.0)); }

class check_detail : public network_test {
protected:
    void run_case(const reason_case &c) {
        const std::string id = add("detail", c.type, expand(c.target));
        outcome o = check(id);
        const observed d = read_last_check(id);
        ASSERT_TRUE(d.present);
        // The report and the verdict agree; the verdict is the probe's own.
        EXPECT_EQ(o.up, c.up);
        EXPECT_EQ(d.up, o.up);
        const char *reason = kWindows && c.windows_reason != nullptr ? c.windows_reason : c.reason;
        EXPECT_EQ(d.reason, reason) << d.message;
        if (std::string(reason) == "ok") {
            EXPECT_EQ(d.message, "");
        } else {
            EXPECT_FALSE(d.message.empty());
            if (!kWindows) {
                EXPECT_NE(lower(d.message).find(c.message), std::string::npos) << d.message;
            }
        }
        EXPECT_EQ(d.http_status, c.http_status);
        EXPECT_EQ(d.redirects, c.redirects);
        if (c.address) {
            EXPECT_EQ(d.address, "127.0.0.1");
        } else {
            EXPECT_FALSE(d.has_address) << d.address;
        }
        // The socket probes time their phases themselves on every platform;
        // the Windows HTTP layer tells what it tells.
        const bool phases_told = !(kWindows && c.type == UPTIME_MONITOR_HTTP);
        double sum = 0;
        for (unsigned i = 0; i < 4; ++i) {
            SCOPED_TRACE(kPhaseNames[i]);
            const unsigned bit = 1u << i;
            if ((c.phases & bit) != 0 && phases_told) {
                EXPECT_GE(d.phases[i], 0.0);
            } else if (((c.phases | c.maybe) & bit) == 0) {
                EXPECT_EQ(d.phases[i], -1.0);  // null: does not apply
            }
            if (d.phases[i] >= 0) sum += d.phases[i];
        }
        // Phases are parts of the measured span, in the same unit (a probe
        // that failed before it measured has a latency of 0 but may still
        // tell how long its lookup took).
        if (o.latency_ms > 0) {
            EXPECT_LE(sum, o.latency_ms + 1.0);
        }
        check_certificate(c.certificate, d);
    }

    static void check_certificate(cert expected, const observed &d) {
        if (expected == cert::none) {
            EXPECT_FALSE(d.has_certificate) << d.subject;
            return;
        }
        ASSERT_TRUE(d.has_certificate);
        EXPECT_EQ(d.days_left, floor_days(d.not_after - d.time));
        switch (expected) {
            case cert::selfsigned:
                EXPECT_EQ(d.subject, "CN=localhost");
                EXPECT_EQ(d.issuer, "CN=localhost");
                // Made for ten years at the start of the run.
                EXPECT_GT(d.days_left, 3640);
                EXPECT_LE(d.days_left, 3650);
                break;
            case cert::expired:
                EXPECT_EQ(d.not_after, 1609459200);  // 2021-01-01 00:00:00 UTC
                EXPECT_LT(d.days_left, 0);
                EXPECT_EQ(d.subject, "CN=localhost");
                EXPECT_EQ(d.issuer, "CN=localhost");
                break;
            case cert::issued:
                EXPECT_EQ(d.not_after, 4102444800);  // 2100-01-01 00:00:00 UTC
                EXPECT_EQ(d.subject, "CN=localhost,OU=Pr\xC3\xBC" "fungen,O=Vantorel\\, Test");
                EXPECT_EQ(d.issuer, "CN=Vantorel Test CA,O=Vantorel Test");
                break;
            case cert::none: break;
        }
    }
};

constexpr unsigned kFresh = resolve | connect | first_byte;  // a request over a new plain connection

const reason_case kReasonCases[] = {
    {.name = "http_200", .type = UPTIME_MONITOR_HTTP, .target = "http://127.0.0.1:{http4}/status/200", .up = 1,
     .reason = "ok", .http_status = 200, .redirects = 0, .phases = connect | first_byte, .maybe = resolve},
    {.name = "http_redirect_followed", .type = UPTIME_MONITOR_HTTP,
     .target = "http://127.0.0.1:{http4}/redirect/302/status/204", .up = 1, .reason = "ok", .http_status = 204,
     .redirects = 1, .phases = first_byte, .maybe = resolve | connect},
    {.name = "http_404", .type = UPTIME_MONITOR_HTTP, .target = "http://127.0.0.1:{http4}/status/404", .up = 0,
     .reason = "http_status", .http_status = 404, .redirects = 0, .phases = connect | first_byte, .maybe = resolve,
     .message = "http 404 not found"},
    {.name = "http_500", .type = UPTIME_MONITOR_HTTP, .target = "http://127.0.0.1:{http4}/status/500", .up = 0,
     .reason = "http_status", .http_status = 500, .redirects = 0, .phases = connect | first_byte, .maybe = resolve,
     .message = "http 500"},
    {.name = "redirect_loop", .type = UPTIME_MONITOR_HTTP, .target = "http://127.0.0.1:{http4}/loop", .up = 0,
     .reason = "too_many_redirects", .redirects = 10, .maybe = kFresh, .message = "more than 10 redirects"},
    {.name = "refused_port_http", .type = UPTIME_MONITOR_HTTP, .target = "http://127.0.0.1:{closed}/", .up = 0,
     .reason = "connect_refused", .windows_reason = "connect_failed", .redirects = 0, .maybe = resolve | connect,
     .message = "refused"},
    {.name = "refused_port_tcp", .type = UPTIME_MONITOR_TCP_PORT, .target = "127.0.0.1:{closed}", .up = 0,
     .reason = "connect_refused", .phases = resolve | connect, .message = "refused"},
    {.name = "unanswered_port_tcp", .type = UPTIME_MONITOR_TCP_PORT, .target = "127.0.0.1:{unanswered}", .up = 0,
     .reason = "connect_timeout", .phases = resolve | connect, .message = "timed out"},
    {.name = "unanswered_port_http", .type = UPTIME_MONITOR_HTTP, .target = "http://127.0.0.1:{unanswered}/",
     .up = 0, .reason = "connect_timeout", .redirects = 0, .maybe = resolve, .message = "timed out"},
    {.name = "silent_server", .type = UPTIME_MONITOR_HTTP, .target = "http://127.0.0.1:{http4}/silent", .up = 0,
     .reason = "response_timeout", .redirects = 0, .phases = connect, .maybe = resolve,
     .message = "no response head"},
    {.name = "head_cut_off", .type = UPTIME_MONITOR_HTTP, .target = "http://127.0.0.1:{http4}/cut/mid-header",
     .up = 0, .reason = "request_failed", .redirects = 0, .phases = connect, .maybe = resolve | first_byte,
     .message = "closed before the response head was complete",
     .wine = "its WinHTTP takes the status of a head that the connection's close cut off"},
    {.name = "closed_without_an_answer", .type = UPTIME_MONITOR_HTTP, .target = "http://127.0.0.1:{http4}/cut/nothing",
     .up = 0, .reason = "request_failed", .redirects = 0, .phases = connect, .maybe = resolve | first_byte,
     .message = "empty reply"},
    {.name = "tls_to_a_plain_server", .type = UPTIME_MONITOR_HTTP, .target = "https://127.0.0.1:{http4}/", .up = 0,
     .reason = "tls_failed", .redirects = 0, .maybe = resolve | connect, .message = "ssl"},
    {.name = "self_signed_certificate", .type = UPTIME_MONITOR_HTTP,
     .target = "https://127.0.0.1:{https_selfsigned}/status/200", .up = 1, .reason = "ok", .http_status = 200,
     .redirects = 0, .phases = connect | tls | first_byte, .maybe = resolve, .certificate = cert::selfsigned},
    {.name = "expired_certificate", .type = UPTIME_MONITOR_HTTP,
     .target = "https://127.0.0.1:{https_expired}/status/200", .up = 1, .reason = "ok", .http_status = 200,
     .redirects = 0, .phases = connect | tls | first_byte, .maybe = resolve, .certificate = cert::expired},
    {.name = "issued_certificate_down", .type = UPTIME_MONITOR_HTTP,
     .target = "https://127.0.0.1:{https_issued}/status/503", .up = 0, .reason = "http_status", .http_status = 503,
     .redirects = 0, .phases = connect | tls | first_byte, .maybe = resolve, .certificate = cert::issued,
     .message = "http 503"},
    {.name = "https_to_http", .type = UPTIME_MONITOR_HTTP,
     .target = "https://127.0.0.1:{https_selfsigned}/to/http/{http4}/status/500", .up = 1,
     .reason = "insecure_redirect", .http_status = 302, .redirects = 0, .phases = connect | tls | first_byte,
     .maybe = resolve, .certificate = cert::selfsigned, .message = "https to http",
     .wine = "its WinHTTP follows a redirect from https to http, which Windows refuses by default"},
    {.name = "unusable_url", .type = UPTIME_MONITOR_HTTP, .target = "http://" + std::string(300, 'h') + "/", .up = 0,
     .reason = "invalid_target", .address = false, .message = "not a usable"},
    {.name = "tcp_port_out_of_range", .type = UPTIME_MONITOR_TCP_PORT, .target = "127.0.0.1:0", .up = 0,
     .reason = "invalid_target", .address = false, .message = "port"},
    {.name = "name_resolves", .type = UPTIME_MONITOR_DNS, .target = "127.0.0.1", .up = 1, .reason = "ok",
     .phases = resolve},
    {.name = "unknown_name_http", .type = UPTIME_MONITOR_HTTP, .target = "http://no-such-host.invalid/", .up = 0,
     .reason = "resolve_failed", .redirects = 0, .address = false, .maybe = resolve, .private_network = true},
    {.name = "unknown_name_tcp", .type = UPTIME_MONITOR_TCP_PORT, .target = "no-such-host.invalid:80", .up = 0,
     .reason = "resolve_failed", .address = false, .phases = resolve, .private_network = true},
    {.name = "unknown_name_dns", .type = UPTIME_MONITOR_DNS, .target = "no-such-host.invalid", .up = 0,
     .reason = "resolve_failed", .address = false, .phases = resolve, .private_network = true},
    {.name = "nginx_404", .type = UPTIME_MONITOR_HTTP, .target = "http://127.0.0.1:{nginx}/missing", .up = 0,
     .reason = "http_status", .http_status = 404, .redirects = 0, .phases = connect | first_byte, .maybe = resolve,
     .message = "http 404 not found", .nginx = true},
    {.name = "nginx_redirect_loop", .type = UPTIME_MONITOR_HTTP, .target = "http://127.0.0.1:{nginx}/loop", .up = 0,
     .reason = "too_many_redirects", .redirects = 10, .maybe = kFresh, .message = "more than 10 redirects",
     .nginx = true},
    {.name = "nginx_tls", .type = UPTIME_MONITOR_HTTP, .target = "https://127.0.0.1:{nginx_tls}/ok", .up = 1,
     .reason = "ok", .http_status = 200, .redirects = 0, .phases = connect | tls | first_byte, .maybe = resolve,
     .certificate = cert::selfsigned, .nginx = true},
    {.name = "nginx_https_to_http", .type = UPTIME_MONITOR_HTTP, .target = "https://127.0.0.1:{nginx_tls}/to-http/ok",
     .up = 1, .reason = "insecure_redirect", .http_status = 302, .redirects = 0,
     .phases = connect | tls | first_byte, .maybe = resolve, .certificate = cert::selfsigned,
     .message = "https to http",
     .wine = "its WinHTTP follows a redirect from https to http, which Windows refuses by default", .nginx = true},
};

class reason_table : public check_detail, public ::testing::WithParamInterface<reason_case> {};

TEST_P(reason_table, ReportSaysWhy) {
    const reason_case &c = GetParam();
    if (c.wine != nullptr) SKIP_UNDER_WINE(c.wine);
    if (c.nginx) REQUIRE_NGINX();
    if (c.private_network) REQUIRE_PRIVATE_NETWORK();
    run_case(c);
}

INSTANTIATE_TEST_SUITE_P(reasons, reason_table, ::testing::ValuesIn(kReasonCases),
                         [](const ::testing::TestParamInfo<reason_case> &info) { return std::string(info.param.name); });

class ping_detail : public check_detail {
protected:
    static bool icmp_available() {
        platform::icmp_channel *channel = platform::icmp_open();
        platform::icmp_close(channel);
        return channel != nullptr;
    }
};

TEST_F(ping_detail, EchoAnswered) {
    if (!icmp_available()) GTEST_SKIP() << "ICMP echo is not available to this process (no ping socket, no raw socket)";
    run_case({.name = "loopback", .type = UPTIME_MONITOR_PING, .target = "127.0.0.1", .up = 1, .reason = "ok",
              .phases = resolve});
}

TEST_F(ping_detail, WithoutIcmpTheLookupDecidesAndSaysSo) {
    platform::fault_arm(platform::fault_point::icmp_open, 1, true);
    // An address that was never pinged reads as up: the reason is the hint.
    run_case({.name = "address literal", .type = UPTIME_MONITOR_PING, .target = "127.0.0.1", .up = 1,
              .reason = "icmp_unavailable", .phases = resolve, .message = "the name resolved"});
}

TEST_F(ping_detail, WithoutIcmpAFailedLookupIsStillTheHint) {
    REQUIRE_PRIVATE_NETWORK();
    platform::fault_arm(platform::fault_point::icmp_open, 1, true);
    run_case({.name = "unknown name", .type = UPTIME_MONITOR_PING, .target = "no-such-host.invalid", .up = 0,
              .reason = "icmp_unavailable", .address = false, .phases = resolve, .message = "lookup ran instead"});
}

// Makes the private namespace's loopback ignore echo requests for a scope.
class echo_ignored {
public:
    echo_ignored() {
        before_ = read();
        if (before_.empty()) return;
        write("1");
        ok_ = read() == "1";  // a write the kernel refused shows only here
    }
    ~echo_ignored() {
        if (ok_) write(before_);
    }
    echo_ignored(const echo_ignored &) = delete;
    echo_ignored &operator=(const echo_ignored &) = delete;
    bool ok() const { return ok_; }

private:
    static constexpr const char *kSetting = "/proc/sys/net/ipv4/icmp_echo_ignore_all";
    static std::string read() {
        std::ifstream in(kSetting);
        std::string value;
        in >> value;
        return value;
    }
    // Binary: a "\r" (text mode on Windows) would make the kernel refuse it.
    static void write(const std::string &value) {
        std::ofstream out(kSetting, std::ios::binary);
        out << value;
    }
    std::string before_;
    bool ok_ = false;
};

TEST_F(ping_detail, NoEchoReply) {
    // Only inside the private namespace: the machine's own setting is never
    // touched.
    REQUIRE_PRIVATE_NETWORK();
    if (!icmp_available()) GTEST_SKIP() << "ICMP echo is not available to this process";
    echo_ignored ignored;
    if (!ignored.ok()) GTEST_SKIP() << "cannot make loopback ignore echo requests here";
    run_case({.name = "ignored echo", .type = UPTIME_MONITOR_PING, .target = "127.0.0.1", .up = 0,
              .reason = "icmp_timeout", .phases = resolve, .message = "no echo reply"});
}

TEST_F(check_detail, RecordedHeartbeatsLeaveTheCheckAlone) {
    const std::string id = add("svc", UPTIME_MONITOR_HTTP, servers::url("https_issued", "/status/404"));
    check(id);
    const observed before = read_last_check(id);
    ASSERT_EQ(before.reason, "http_status");
    ASSERT_EQ(uptime_heartbeat_record(id.c_str(), 1, 1.0, before.time + 60), 0);
    const observed after = read_last_check(id);
    EXPECT_EQ(after.time, before.time);
    EXPECT_EQ(after.up, 0);
    EXPECT_EQ(after.reason, "http_status");
    EXPECT_EQ(after.http_status, 404);
    EXPECT_EQ(after.subject, before.subject);
    // The ring sees the recorded heartbeat.
    const std::string text = uptime_monitor_detail_json(id.c_str());
    EXPECT_NE(text.find("\"consecutive_failures\":0,\"down_since\":null,\"last_up\":" + std::to_string(before.time + 60)),
              std::string::npos)
        << text;
}

}  // namespace
}  // namespace vue::test
