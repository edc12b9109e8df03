// HTTP verdicts on the exact bytes a server sends: redirects with bodies of
// every framing, responses cut off inside their head, heads near the size
// limit; then the same redirect rules against nginx, and HTTPS without a
// trust store.
#include <filesystem>
#include <string>
#include <vector>

#include "net_support.h"

namespace vue::test {
namespace {

using servers = loopback_servers;

class http_wire : public network_test {
protected:
    struct verdict {
        std::string path;
        int up;
        size_t requests;  // requests the server logged for the check
    };
    // Checks each row against `server` and compares the verdict and the
    // number of requests it took.
    void check_rows(const std::string &server, const std::vector<verdict> &rows) {
        for (const verdict &r : rows) {
            SCOPED_TRACE(server + r.path);
            servers::mark(server);
            outcome o = check_target(UPTIME_MONITOR_HTTP, servers::url(server, r.path));
            EXPECT_EQ(o.up, r.up);
            EXPECT_GT(o.latency_ms, 0.0);
            EXPECT_EQ(servers::since_mark(server).size(), r.requests);
        }
    }
};

TEST_F(http_wire, RedirectsWithABodyOfEveryFramingAreFollowed) {
    // Each redirect answers with a body, framed by length, in chunks, by the
    // connection's close, or promised long and stalled; the target decides.
    std::vector<verdict> rows;
    for (const char *status : {"301", "302", "303", "307", "308"}) {
        for (const char *framing : {"cl", "chunked", "close", "stall", "empty"}) {
            const std::string head = std::string("/wire/") + status + "/" + framing;
            rows.push_back({head + "/rel/status/500", 0, 2});
            rows.push_back({head + "/rel/status/204", 1, 2});
        }
    }
    check_rows("http4", rows);
}

TEST_F(http_wire, LocationRelativeOrAbsolute) {
    const std::string p = std::to_string(servers::port("http4"));
    check_rows("http4", {
                            {"/wire/302/cl/dot/status/500", 0, 2},  // "../../../../../status/500"
                            {"/wire/302/cl/dot/status/200", 1, 2},
                            {"/wire/301/chunked/abs/http/" + p + "/status/503", 0, 2},
                            {"/wire/301/chunked/abs/http/" + p + "/status/200", 1, 2},
                            // Chains of redirects with bodies.
                            {"/wire/302/cl/rel/wire/307/chunked/rel/wire/308/close/rel/status/404", 0, 4},
                            {"/wire/302/cl/rel/wire/307/chunked/rel/wire/308/close/rel/status/200", 1, 4},
                        });
}

TEST_F(http_wire, RedirectWithoutLocationIsItselfTheAnswer) {
    check_rows("http4", {{"/wire/302/cl/none", 1, 1}, {"/wire/301/chunked/none", 1, 1}});
}

TEST_F(http_wire, LoopWithBodiesEndsDownAfterTenRedirects) {
    check_rows("http4", {{"/wireloop/cl", 0, 11}, {"/wireloop/chunked", 0, 11}, {"/wireloop/close", 0, 11}});
}

TEST_F(http_wire, UpgradeToHttpsIsFetched) {
    const std::string https = std::to_string(servers::port("https_selfsigned"));
    for (const char *framing : {"cl", "chunked", "close"}) {
        SCOPED_TRACE(framing);
        servers::mark("https_selfsigned");
        const std::string path = std::string("/wire/301/") + framing + "/abs/https/" + https + "/status/500";
        EXPECT_EQ(check_target(UPTIME_MONITOR_HTTP, servers::url("http4", path)).up, 0);
        EXPECT_EQ(servers::since_mark("https_selfsigned").size(), 1u);
    }
}

TEST_F(http_wire, NoDowngradeFromHttpsEvenWithABody) {
    SKIP_UNDER_WINE("its WinHTTP follows a redirect from https to http, which Windows refuses by default");
    const std::string plain = std::to_string(servers::port("http4"));
    servers::mark("http4");
    check_rows("https_selfsigned", {{"/wire/302/cl/abs/http/" + plain + "/status/500", 1, 1},
                                    {"/wire/302/chunked/abs/http/" + plain + "/status/500", 1, 1}});
    EXPECT_TRUE(servers::since_mark("http4").empty());
}

TEST_F(http_wire, ResponseCutOffInsideItsHeadIsDown) {
    check_rows("http4", {
                            {"/cut/nothing", 0, 1},
                            {"/cut/partial-status", 0, 1},
                            {"/cut/status-line", 0, 1},
                            {"/cut/mid-header", 0, 1},
                            {"/cut/no-blank-line", 0, 1},
                            {"/cut/redirect", 0, 1},  // not followed: its head never ended
                            // A whole head with a body delimited by the close answers.
                            {"/cut/whole-head", 1, 1},
                            {"/cut/whole-head-1.0", 1, 1},
                        });
}

TEST_F(http_wire, HeadThatNeverEndsTimesOut) {
    outcome o = check_target(UPTIME_MONITOR_HTTP, servers::url("http4", "/cut/stalled-head"));
    EXPECT_EQ(o.up, 0);
    EXPECT_GE(o.latency_ms, 4800.0);
    EXPECT_LT(o.latency_ms, 8000.0);
}

TEST_F(http_wire, HeadOverOneHundredKiBIsDown) {
    check_rows("http4", {{"/bighead/60000", 1, 1}, {"/bighead/90000", 1, 1}, {"/bighead/2000000", 0, 1}});
}

TEST_F(http_wire, HeadLimitIsExact) {
    SKIP_UNDER_WINE("its WinHTTP sets its own header limit, counted its own way");
    check_rows("http4", {{"/bighead/102400", 1, 1}, {"/bighead/102401", 0, 1}, {"/bighead/110000", 0, 1}});
}

TEST_F(http_wire, WebhookFollowsRedirectsWithBodies) {
    // 301, 302 and 303 turn the POST into a GET without body; 307 and 308
    // post the event again.
    struct row {
        const char *status;
        const char *method;
        bool body;
    };
    const row rows[] = {{"301", "GET", false}, {"302", "GET", false}, {"303", "GET", false},
                        {"307", "POST", true}, {"308", "POST", true}};
    for (const row &r : rows) {
        SCOPED_TRACE(r.status);
        ASSERT_EQ(uptime_set_webhook_url(servers::url("hook", std::string("/wire/") + r.status + "/chunked/rel/events/in").c_str()), 0);
        std::string id = add("svc", UPTIME_MONITOR_HTTP, servers::url("http4", "/status/200"));
        ASSERT_EQ(uptime_heartbeat_record(id.c_str(), 0, 1.0, 1000), 0);
        servers::mark("hook");
        EXPECT_EQ(check(id).up, 1);
        auto requests = servers::since_mark("hook");
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests[0].method, "POST");
        EXPECT_EQ(requests[1].path, "/events/in");
        EXPECT_EQ(requests[1].method, r.method);
        EXPECT_EQ(!requests[1].body.empty(), r.body);
        if (r.body) {
            EXPECT_EQ(requests[1].body, requests[0].body);
        }
    }
}

TEST_F(http_wire, WebhookSendsItsQueryAndASchemeInAnyCase) {
    struct row {
        std::string server, url, expected_target;
    };
    const std::string hook = std::to_string(servers::port("hook"));
    const std::string tls = std::to_string(servers::port("https_selfsigned"));
    const row rows[] = {
        {"hook", "http://127.0.0.1:" + hook + "/notify?token=s3cret&x=1#frag", "/notify?token=s3cret&x=1"},
        {"hook", "HTTP://127.0.0.1:" + hook + "/upper?token=a b", "/upper?token=a%20b"},
        {"https_selfsigned", "HTTPS://127.0.0.1:" + tls + "/tls?token=t", "/tls?token=t"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.url);
        ASSERT_EQ(uptime_set_webhook_url(r.url.c_str()), 0);
        std::string id = add("svc", UPTIME_MONITOR_HTTP, servers::url("http4", "/status/200"));
        ASSERT_EQ(uptime_heartbeat_record(id.c_str(), 0, 1.0, 1000), 0);
        servers::mark(r.server);
        EXPECT_EQ(check(id).up, 1);
        auto requests = servers::since_mark(r.server);
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].method, "POST");
        EXPECT_EQ(requests[0].target, r.expected_target);
    }
}

TEST_F(http_wire, HttpsNeedsNoTrustStore) {
    if (!servers::no_trust_store())
        GTEST_SKIP() << "needs the system's trust store hidden (root, private namespaces)";
    ASSERT_TRUE(std::filesystem::is_empty("/etc/ssl/certs"));
    for (const char *server : {"https_selfsigned", "https_expired", "https_wrongname", "https_clientonly"}) {
        SCOPED_TRACE(server);
        EXPECT_EQ(check_target(UPTIME_MONITOR_HTTP, servers::url(server, "/status/200")).up, 1);
        EXPECT_EQ(check_target(UPTIME_MONITOR_HTTP, servers::url(server, "/status/500")).up, 0);
    }
    ASSERT_EQ(uptime_set_webhook_url(servers::url("https_selfsigned", "/hook").c_str()), 0);
    std::string id = add("svc", UPTIME_MONITOR_HTTP, servers::url("http4", "/status/200"));
    ASSERT_EQ(uptime_heartbeat_record(id.c_str(), 0, 1.0, 1000), 0);
    servers::mark("https_selfsigned");
    EXPECT_EQ(check(id).up, 1);
    EXPECT_EQ(servers::since_mark("https_selfsigned").size(), 1u);
}

// The same rules against nginx, whose every redirect carries an HTML body.
class http_nginx : public http_wire {
protected:
    void SetUp() override {
        http_wire::SetUp();
        if (IsSkipped()) return;
        REQUIRE_NGINX();
    }
};

TEST_F(http_nginx, RedirectsAreFollowed) {
    std::vector<verdict> rows = {{"/ok", 1, 1}, {"/down", 0, 1}, {"/missing", 0, 1}};
    for (const char *status : {"301", "302", "303", "307", "308"}) {
        rows.push_back({std::string("/") + status + "/down", 0, 2});
        rows.push_back({std::string("/") + status + "/ok", 1, 2});
    }
    rows.push_back({"/relative/down", 0, 2});
    rows.push_back({"/relative/ok", 1, 2});
    rows.push_back({"/302/302/303/down", 0, 4});
    rows.push_back({"/loop", 0, 11});
    rows.push_back({"/to-https/down", 0, 2});
    rows.push_back({"/to-https/ok", 1, 2});
    check_rows("nginx", rows);
}

TEST_F(http_nginx, NoDowngradeFromHttps) {
    SKIP_UNDER_WINE("its WinHTTP follows a redirect from https to http, which Windows refuses by default");
    check_rows("nginx_tls", {{"/ok", 1, 1}, {"/down", 0, 1}, {"/to-http/down", 1, 1}, {"/301/down", 0, 2}});
}

}  // namespace
}  // namespace vue::test
