// vantorel-uptime serve end to end: the built program on a store of its
// own, on a free loopback port, spoken to over plain sockets. Monitors point
// at the service's own port (up) or at a loopback port nobody listens on
// (down), so no other server is needed.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "service_test_support.h"

namespace {

using cli_test::read_file;
using cli_test::run_cli;
using cli_test::wait_until;
using service_test::send_raw;
using service_test::http_reply;
using service_test::json_string;
using service_test::request;
using service_test::served_store;

std::string replaced(std::string text, const std::string &marker, const std::string &value) {
    for (std::size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + value.size())) {
        text.replace(at, marker.size(), value);
    }
    return text;
}

std::string count_text(std::size_t n, const std::string &text, const std::string &what) {
    std::size_t found = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++found;
    return std::to_string(found) + (found == n ? "" : " (wanted " + std::to_string(n) + ")");
}

std::size_t occurrences(const std::string &text, const std::string &what) {
    std::size_t found = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++found;
    return found;
}

class ServeTest : public ::testing::Test {
protected:
    void start(const std::vector<std::string> &options = {}, int file_limit_kib = 0) {
        std::string why;
        ASSERT_TRUE(service.start(options, why, file_limit_kib)) << why;
        token = service.token();
        ASSERT_EQ(token.size(), 64u) << "the token: '" << token << "'";
    }
    // A monitor added through the API; its id.
    std::string add(const std::string &name, const std::string &type, const std::string &target, int interval = 3600) {
        const http_reply r =
            request(service.port(), "POST", "/api/v1/monitors",
                    "{\"name\":\"" + name + "\",\"type\":\"" + type + "\",\"target\":\"" + target +
                        "\",\"interval_sec\":" + std::to_string(interval) + "}",
                    token);
        EXPECT_EQ(r.status, 201) << r.raw;
        return json_string(r.body, "id");
    }
    // A TCP target that is up: the service's own port.
    std::string own_port() const { return "127.0.0.1:" + std::to_string(service.port()); }

    served_store service;
    std::string token;
};

// --- The API, request by request ------------------------------------------------------

struct api_case {
    const char *what;
    const char *method;
    const char *path;  // {id}: the monitor the test added; {other}: an id that is no monitor
    const char *body;
    const char *auth;  // "token", "wrong" or "" (none)
    int status;
    const char *body_has;  // "" when any body will do
};

TEST_F(ServeTest, EveryEndpointAnswersWithTheFittingStatus) {
    start();
    const std::string id = add("own port", "tcp", own_port());
    ASSERT_FALSE(id.empty());
    const std::string other = "00000000-0000-4000-8000-000000000000";

    const api_case cases[] = {
        {"health", "GET", "/healthz", "", "", 200, "ok"},
        {"page", "GET", "/", "", "", 200, "data-monitor-id=\"{id}\""},
        {"metrics", "GET", "/metrics", "", "", 200, "vantorel_uptime_build_info{version=\""},
        {"list", "GET", "/api/v1/monitors", "", "", 200, "\"id\":\"{id}\""},
        {"detail", "GET", "/api/v1/monitors/{id}", "", "", 200, "\"daily\":"},
        {"heartbeats", "GET", "/api/v1/monitors/{id}/heartbeats?limit=5", "", "", 200, "["},
        {"heartbeats: limit not a number", "GET", "/api/v1/monitors/{id}/heartbeats?limit=ten", "", "", 400,
         "\"error\":\"limit must be"},
        {"check now", "POST", "/api/v1/monitors/{id}/check", "", "token", 200, "\"up\":true"},
        {"record", "POST", "/api/v1/monitors/{id}/heartbeats", "{\"status\":\"down\",\"latency_ms\":12.5,\"time\":1700000000}",
         "token", 201, "\"time\":1700000000"},
        {"record: the engine's text", "POST", "/api/v1/monitors/{id}/heartbeats", "{\"status\":\"up\",\"latency_ms\":1e39}",
         "token", 400, "{\"error\":\"Invalid latency\"}"},
        {"record: status", "POST", "/api/v1/monitors/{id}/heartbeats", "{\"status\":\"sideways\",\"latency_ms\":1}",
         "token", 400, "\"error\":\"status must be"},
        {"webhook", "PUT", "/api/v1/webhook", "{\"url\":\"http://127.0.0.1:9/hook\"}", "token", 204, ""},
        {"webhook: not a text", "PUT", "/api/v1/webhook", "{\"url\":5}", "token", 400, "\"error\":\"url must be"},
        // RapidJSON's own full-precision reading of this number crashed the service.
        {"record: a subnormal number", "POST", "/api/v1/monitors/{id}/heartbeats",
         "{\"status\":\"up\",\"latency_ms\":1.757938347017468e-335}", "token", 201, "\"latency_ms\":0.0"},
        {"record: a number beyond the double range", "POST", "/api/v1/monitors/{id}/heartbeats",
         "{\"status\":\"up\",\"latency_ms\":1e400}", "token", 400, "\"error\":\"Invalid JSON: "},
        {"add: bad JSON", "POST", "/api/v1/monitors", "{\"name\":", "token", 400, "\"error\":\"Invalid JSON: "},
        {"add: not an object", "POST", "/api/v1/monitors", "[1,2]", "token", 400, "\"error\":\"Invalid JSON: the body must be an object\""},
        {"add: not UTF-8", "POST", "/api/v1/monitors", "{\"name\":\"\xff\",\"type\":\"tcp\",\"target\":\"127.0.0.1:1\"}",
         "token", 400, "\"error\":\"Invalid JSON: "},
        {"add: empty body", "POST", "/api/v1/monitors", "", "token", 400, "\"error\":\"Invalid JSON: "},
        {"add: no target", "POST", "/api/v1/monitors", "{\"name\":\"a\",\"type\":\"tcp\"}", "token", 400,
         "\"error\":\"target must be"},
        {"add: unknown type", "POST", "/api/v1/monitors", "{\"name\":\"a\",\"type\":\"smtp\",\"target\":\"x\"}", "token", 400,
         "\"error\":\"type must be"},
        {"add: tcp port out of range", "POST", "/api/v1/monitors", "{\"name\":\"a\",\"type\":\"tcp\",\"target\":\"127.0.0.1:99999\"}",
         "token", 400, "\"error\":\"a tcp target is"},
        {"add: interval", "POST", "/api/v1/monitors",
         "{\"name\":\"a\",\"type\":\"tcp\",\"target\":\"127.0.0.1:1\",\"interval_sec\":0}", "token", 400,
         "\"error\":\"interval_sec must be"},
        // Every change needs the token, whoever asks.
        {"add without token", "POST", "/api/v1/monitors", "{\"name\":\"a\",\"type\":\"tcp\",\"target\":\"127.0.0.1:1\"}", "",
         401, "\"error\":\"This needs Authorization: Bearer <token>"},
        {"add, wrong token", "POST", "/api/v1/monitors", "{\"name\":\"a\",\"type\":\"tcp\",\"target\":\"127.0.0.1:1\"}",
         "wrong", 401, "{\"error\":\"Wrong token\"}"},
        {"delete without token", "DELETE", "/api/v1/monitors/{id}", "", "", 401, "\"error\""},
        {"check without token", "POST", "/api/v1/monitors/{id}/check", "", "", 401, "\"error\""},
        {"record without token", "POST", "/api/v1/monitors/{id}/heartbeats", "{\"status\":\"up\",\"latency_ms\":1}", "", 401,
         "\"error\""},
        {"webhook without token", "PUT", "/api/v1/webhook", "{\"url\":null}", "", 401, "\"error\""},
        // Unknown ids.
        {"detail of nothing", "GET", "/api/v1/monitors/{other}", "", "", 404, "{\"error\":\"Monitor not found\"}"},
        {"heartbeats of nothing", "GET", "/api/v1/monitors/{other}/heartbeats", "", "", 404, "{\"error\":\"Monitor not found\"}"},
        {"check of nothing", "POST", "/api/v1/monitors/{other}/check", "", "token", 404, "{\"error\":\"Monitor not found\"}"},
        {"record on nothing", "POST", "/api/v1/monitors/{other}/heartbeats", "{\"status\":\"up\",\"latency_ms\":1}", "token",
         404, "{\"error\":\"Monitor not found\"}"},
        {"delete of nothing", "DELETE", "/api/v1/monitors/{other}", "", "token", 404, "{\"error\":\"Monitor not found\"}"},
        {"no such path", "GET", "/api/v1/nothing", "", "", 404, "\"error\":\"Not found: /api/v1/nothing\""},
        {"a path too deep", "GET", "/api/v1/monitors/{id}/heartbeats/1", "", "", 404, "\"error\""},
        // Wrong methods.
        {"PATCH the list", "PATCH", "/api/v1/monitors", "", "token", 405, "allowed: GET, HEAD, POST"},
        {"DELETE the health", "DELETE", "/healthz", "", "token", 405, "\"error\":\"Method DELETE not allowed here"},
        {"GET the webhook", "GET", "/api/v1/webhook", "", "token", 405, "allowed: PUT"},
        {"PUT a monitor", "PUT", "/api/v1/monitors/{id}", "{}", "token", 405, "allowed: GET, HEAD, DELETE"},
        // And at the end it goes.
        {"delete", "DELETE", "/api/v1/monitors/{id}", "", "token", 204, ""},
        {"detail once deleted", "GET", "/api/v1/monitors/{id}", "", "", 404, "{\"error\":\"Monitor not found\"}"},
        {"webhook removed", "PUT", "/api/v1/webhook", "{\"url\":null}", "token", 204, ""},
    };
    for (const api_case &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = replaced(replaced(c.path, "{id}", id), "{other}", other);
        const std::string auth = std::string(c.auth) == "token" ? token : std::string(c.auth) == "wrong" ? std::string(64, 'f') : "";
        http_reply r = request(service.port(), c.method, path, c.body, auth);
        EXPECT_EQ(r.status, c.status) << r.raw;
        EXPECT_NE(r.body.find(replaced(c.body_has, "{id}", id)), std::string::npos) << r.raw;
        if (c.status >= 400) {
            EXPECT_EQ(r.headers["content-type"], "application/json") << r.raw;
            EXPECT_EQ(r.body.rfind("{\"error\":\"", 0), 0u) << r.raw;
        }
        if (c.status == 401) {
            EXPECT_EQ(r.headers["www-authenticate"].rfind("Bearer", 0), 0u) << r.raw;
        }
        if (c.status == 405) {
            EXPECT_FALSE(r.headers["allow"].empty()) << r.raw;
        }
        if (c.status == 204) {
            EXPECT_TRUE(r.body.empty()) << r.raw;
        }
    }
    EXPECT_EQ(service.stop(SIGTERM), 0) << service.log();
}

TEST_F(ServeTest, AddAnswersWithTheNewIdAndChecksItAtOnce) {
    start();
    http_reply r = request(service.port(), "POST", "/api/v1/monitors",
                                 "{\"name\":\"fresh\",\"type\":1,\"target\":\"" + own_port() + "\",\"interval_sec\":3600}", token);
    ASSERT_EQ(r.status, 201) << r.raw;
    const std::string id = json_string(r.body, "id");
    EXPECT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}"))) << id;
    EXPECT_EQ(r.headers["location"], "/api/v1/monitors/" + id);
    // The scheduler takes it at once, not an hour from now.
    EXPECT_TRUE(wait_until(
        [&] { return request(service.port(), "GET", "/api/v1/monitors/" + id + "/heartbeats").body.find("\"status\":1") != std::string::npos; },
        std::chrono::seconds(20)))
        << service.log();
    EXPECT_EQ(service.stop(SIGTERM), 0) << service.log();
}

TEST_F(ServeTest, The129thMonitorIsRefusedWith409) {
    start();
    for (int i = 1; i <= 128; ++i) {
        SCOPED_TRACE(i);
        ASSERT_FALSE(add("m" + std::to_string(i), "tcp", "127.0.0.1:" + std::to_string(cli_test::closed_loopback_port())).empty());
    }
    const http_reply r = request(service.port(), "POST", "/api/v1/monitors",
                                 "{\"name\":\"one more\",\"type\":\"tcp\",\"target\":\"127.0.0.1:1\"}", token);
    EXPECT_EQ(r.status, 409) << r.raw;
    EXPECT_EQ(r.body, "{\"error\":\"Maximum monitors capacity reached\"}\n");
    EXPECT_EQ(occurrences(request(service.port(), "GET", "/api/v1/monitors").body, "\"id\":"), 128u);
    EXPECT_EQ(service.stop(SIGTERM), 0) << service.log();
}

TEST_F(ServeTest, BodiesOverSixtyFourKiBAreRefusedWith413) {
    start();
    // Exactly 64 KiB is still read: a monitor padded with spaces.
    std::string at_limit = "{\"name\":\"padded\",\"type\":\"tcp\",\"target\":\"127.0.0.1:1\"}";
    at_limit.insert(at_limit.size() - 1, std::string(64 * 1024 - at_limit.size(), ' '));
    ASSERT_EQ(at_limit.size(), 64u * 1024);
    const std::string over(64 * 1024 + 1, ' ');
    std::string chunked;
    for (int i = 0; i < 40; ++i) chunked += "800\r\n" + std::string(0x800, ' ') + "\r\n";  // 80 KiB
    chunked += "0\r\n\r\n";
    const std::string head = "POST /api/v1/monitors HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nAuthorization: Bearer " +
                             token + "\r\n";
    struct body_case {
        const char *what;
        std::string bytes;
        int status;
    } cases[] = {
        {"64 KiB", head + "Content-Length: 65536\r\n\r\n" + at_limit, 201},
        {"a byte more", head + "Content-Length: 65537\r\n\r\n" + over, 413},
        {"declared, not sent", head + "Content-Length: 1048576\r\n\r\n", 413},
        {"chunked, 80 KiB", head + "Transfer-Encoding: chunked\r\n\r\n" + chunked, 413},
        {"over the limit without the token", "POST /api/v1/monitors HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                                             "Content-Length: 65537\r\n\r\n" + over, 413},
    };
    for (const body_case &c : cases) {
        SCOPED_TRACE(c.what);
        const http_reply r = send_raw(service.port(), c.bytes);
        EXPECT_EQ(r.status, c.status) << r.raw.substr(0, 300);
        if (c.status == 413) {
            EXPECT_EQ(r.body, "{\"error\":\"Request body larger than 64 KiB\"}\n");
        }
    }
    EXPECT_EQ(request(service.port(), "GET", "/healthz").body, "ok\n");
    EXPECT_EQ(service.stop(SIGTERM), 0) << service.log();
}

TEST_F(ServeTest, AChangeThatCannotBeSavedIsAnswered500) {
    // Files are limited to 16 KiB: config.json and monitors.json fit, a
    // monitor's heartbeat file does not, so every save after an add fails,
    // for root as for anyone.
    start({}, 16);
    const http_reply added = request(service.port(), "POST", "/api/v1/monitors",
                                     "{\"name\":\"unsaved\",\"type\":\"tcp\",\"target\":\"127.0.0.1:1\"}", token);
    EXPECT_EQ(added.status, 500) << added.raw;
    EXPECT_EQ(json_string(added.body, "error"), "Failed to save state") << added.raw;
    // The monitor is there (adding it again would make a second one): the
    // answer says which it is.
    const std::string id = json_string(added.body, "id");
    ASSERT_FALSE(id.empty()) << added.raw;
    EXPECT_EQ(request(service.port(), "GET", "/api/v1/monitors/" + id).status, 200);

    const http_reply recorded = request(service.port(), "POST", "/api/v1/monitors/" + id + "/heartbeats",
                                        "{\"status\":\"up\",\"latency_ms\":1}", token);
    EXPECT_EQ(recorded.status, 500) << recorded.raw;
    EXPECT_EQ(recorded.body, "{\"error\":\"Failed to save state\"}\n");
    // The command line says so too, and fails.
    const cli_test::run_result r = run_cli({"--dir", service.dir(), "record", id, "up", "3"});
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    EXPECT_NE(r.err.find("Failed to save state"), std::string::npos) << r.err;
    // It keeps serving, and says in its log that saves fail.
    EXPECT_EQ(request(service.port(), "GET", "/healthz").body, "ok\n");
    service.send(SIGHUP);
    EXPECT_TRUE(wait_until([&] { return service.log().find("error: Failed to save state") != std::string::npos; },
                           std::chrono::seconds(20)))
        << service.log();
    // A stop that cannot save says so in its exit status.
    EXPECT_EQ(service.stop(SIGTERM), 3) << service.log();
}

TEST_F(ServeTest, PublicHidesTargetsFromThePageTheApiAndTheMetrics) {
    const std::string secret = "s3cr3t-pass";
    const std::string target = "http://user:" + secret + "@127.0.0.1:1/";
    ASSERT_EQ(run_cli({"--dir", service.dir(), "add", "private", "http", target}).status, 0);
    start({"--public"});
    const std::string id = request(service.port(), "GET", "/api/v1/monitors").body.substr(8, 36);
    // Whoever asks, from wherever (a Host that is no loopback name too).
    const std::vector<std::string> foreign = {"Host: status.example.org"};
    for (const char *path : {"/", "/metrics", "/api/v1/monitors"}) {
        SCOPED_TRACE(path);
        const http_reply r = request(service.port(), "GET", path, "", "", foreign);
        EXPECT_EQ(r.status, 200) << r.raw;
        EXPECT_EQ(r.body.find(secret), std::string::npos) << r.body;
        EXPECT_NE(r.body.find("private"), std::string::npos) << r.body;
    }
    const http_reply detail = request(service.port(), "GET", "/api/v1/monitors/" + id);
    EXPECT_EQ(detail.status, 200) << detail.raw;
    EXPECT_EQ(detail.body.find(secret), std::string::npos) << detail.body;
    EXPECT_EQ(request(service.port(), "GET", "/metrics").body.find("target=\""), std::string::npos);
    // The token still shows it to its holder.
    EXPECT_NE(request(service.port(), "GET", "/api/v1/monitors", "", token).body.find(secret), std::string::npos);
    EXPECT_EQ(service.stop(SIGTERM), 0) << service.log();
}

TEST_F(ServeTest, WithoutPublicReadsAreForLoopbackNamesOnly) {
    ASSERT_EQ(run_cli({"--dir", service.dir(), "add", "shown", "tcp", "127.0.0.1:1"}).status, 0);
    start();
    struct host_case {
        const char *host;
        int status;
    } cases[] = {{"127.0.0.1", 200}, {"localhost:8321", 200}, {"[::1]:8321", 200},
                 // A page elsewhere whose name was made to point here.
                 {"rebound.example.org", 401}, {"127.0.0.1.example.org", 401}};
    for (const host_case &c : cases) {
        SCOPED_TRACE(c.host);
        const http_reply r = send_raw(service.port(), std::string("GET /api/v1/monitors HTTP/1.1\r\nHost: ") + c.host +
                                                          "\r\nConnection: close\r\n\r\n");
        EXPECT_EQ(r.status, c.status) << r.raw;
        if (c.status == 200) {
            EXPECT_NE(r.body.find("127.0.0.1:1"), std::string::npos) << r.body;
        }
    }
    EXPECT_EQ(send_raw(service.port(), "GET /api/v1/monitors HTTP/1.1\r\nHost: rebound.example.org\r\nConnection: close\r\n"
                                       "Authorization: Bearer " + token + "\r\n\r\n")
                  .status,
              200);
    EXPECT_EQ(service.stop(SIGTERM), 0) << service.log();
}

// --- Malformed and hostile requests -----------------------------------------------------

struct malformed_case {
    const char *what;
    std::string bytes;
    int status;  // what the first answer must be; 0: a client error or no answer at all
};

TEST_F(ServeTest, MalformedRequestsAreRefusedAndTheServiceKeepsServing) {
    start();
    const std::string host = "Host: 127.0.0.1\r\n";
    const std::string post = "POST /api/v1/monitors HTTP/1.1\r\n" + host;
    std::string many_headers;
    for (int i = 0; i < 3000; ++i) many_headers += "X-H" + std::to_string(i) + ": v\r\n";
    const malformed_case cases[] = {
        {"not HTTP", "HELLO THERE\r\n\r\n", 400},
        {"no path", "GET\r\n\r\n", 0},
        {"no version", "GET /healthz\r\n" + host + "\r\n", 400},
        {"version from the future", "GET /healthz HTTP/9.9\r\n" + host + "\r\n", 505},
        {"method of 5 KiB", std::string(5000, 'G') + " / HTTP/1.1\r\n" + host + "\r\n", 405},
        {"path of 64 KiB", "GET /" + std::string(64 * 1024, 'a') + " HTTP/1.1\r\n" + host + "\r\n", 414},
        {"header of 100 KiB", "GET / HTTP/1.1\r\n" + host + "X-Big: " + std::string(100 * 1024, 'b') + "\r\n\r\n", 431},
        {"3000 headers", "GET / HTTP/1.1\r\n" + host + many_headers + "\r\n", 431},
        {"header without colon", "GET / HTTP/1.1\r\n" + host + "NoColonHere\r\n\r\n", 400},
        {"NUL in the path", std::string("GET /heal\0thz HTTP/1.1\r\n", 25) + host + "\r\n", 404},
        {"NUL bytes only", std::string(4096, '\0'), 0},
        {"absurd Content-Length", post + "Content-Length: 99999999999999999999999999\r\n\r\n{}", 413},
        {"negative Content-Length", post + "Content-Length: -1\r\n\r\n{}", 400},
        {"two Content-Lengths", post + "Content-Length: 2\r\nContent-Length: 40\r\n\r\n{}", 400},
        {"length beside chunks", post + "Content-Length: 4\r\nTransfer-Encoding: chunked\r\n\r\n2\r\n{}\r\n0\r\n\r\n", 400},
        {"chunk size not hex", post + "Transfer-Encoding: chunked\r\n\r\nZZ\r\n{}\r\n0\r\n\r\n", 400},
        {"chunk size overflows", post + "Transfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFFFFFFFF\r\n{}\r\n0\r\n\r\n", 0},
        {"chunk longer than said", post + "Transfer-Encoding: chunked\r\n\r\n2\r\n{\"name\":1}\r\n0\r\n\r\n", 400},
        {"unknown transfer coding", post + "Transfer-Encoding: gzip\r\n\r\nxx", 0},
        {"head cut off, then closed", "GET /api/v1/monitors HTTP/1.1\r\nHost: 127.0", 0},
        {"body cut off, then closed", post + "Content-Length: 100\r\n\r\n{\"name\":", 0},
        {"chunked body cut off, then closed", post + "Transfer-Encoding: chunked\r\n\r\n10\r\n{\"na", 0},
        {"a TLS handshake", std::string("\x16\x03\x01\x00\xa5\x01\x00\x00\xa1\x03\x03", 11) + std::string(160, '\x01'), 0},
        {"a header line folded with a bare CR", "GET /healthz HTTP/1.1\r\n" + host +
                                                     "X-A: b\r\n\rDELETE /api/v1/monitors/x HTTP/1.1\r\n\r\n", 400},
        {"path escapes the root", "GET /../../../etc/passwd HTTP/1.1\r\n" + host + "\r\n", 404},
        {"percent-encoded NUL", "GET /api/v1/monitors/%00 HTTP/1.1\r\n" + host + "\r\n", 404},
        // Read leniently, as the format allows, and answered.
        {"bare line feeds", "GET /healthz HTTP/1.1\n" + std::string("Host: 127.0.0.1\n\n"), 200},
        {"NUL in a header value", "GET /healthz HTTP/1.1\r\n" + host + std::string("X-A: a\0b\r\n\r\n", 12), 200},
        {"garbage after a request", "GET /healthz HTTP/1.1\r\n" + host + "\r\n\x01\x02garbage \xff\xfe\r\n\r\n", 200},
        {"pipelined garbage", "GET /healthz HTTP/1.1\r\n" + host + "\r\nGET /healthz HTTP/1.1\r\n" + host +
                                  "\r\nBREW /pot HTCPCP/1.0\r\n\r\n", 200},
    };
    for (const malformed_case &c : cases) {
        SCOPED_TRACE(c.what);
        // The client says nothing more after its bytes: an answer comes, or
        // the connection is closed, at once.
        const http_reply r = send_raw(service.port(), c.bytes, true);
        if (c.status != 0) {
            EXPECT_EQ(r.status, c.status) << r.raw.substr(0, 400);
        } else if (r.status != 0) {
            EXPECT_TRUE(r.status >= 400 && r.status < 500) << r.raw.substr(0, 400);
        }
        // Nothing of the store answers a bad request.
        EXPECT_EQ(r.raw.find("\"interval_sec\""), std::string::npos) << r.raw.substr(0, 400);
        const http_reply after = request(service.port(), "GET", "/healthz");
        EXPECT_EQ(after.status, 200) << after.raw << service.log();
        EXPECT_EQ(after.body, "ok\n");
    }
    // Both pipelined requests before the garbage were answered.
    EXPECT_EQ(occurrences(send_raw(service.port(), cases[std::size(cases) - 1].bytes, true).raw, "HTTP/1.1 200 OK"), 2u);
    // No change went through without the token.
    EXPECT_EQ(request(service.port(), "GET", "/api/v1/monitors").body, "[]\n");
    EXPECT_EQ(service.stop(SIGTERM), 0) << service.log();
}

TEST_F(ServeTest, ClientsThatStallDoNotHoldUpOthers) {
    start();
    // Many connections each with half a request head, then silence: more
    // than the server's threads, fewer than its per-client limit.
    std::vector<int> stalled;
    for (int i = 0; i < 32; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(std::uint16_t(service.port()));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
        const std::string part = i % 2 == 0 ? "GET /metrics HTTP/1.1\r\nHost: 12"
                                            : "POST /api/v1/monitors HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 50\r\n\r\n{";
        ASSERT_EQ(::send(fd, part.data(), part.size(), MSG_NOSIGNAL), ssize_t(part.size()));
        stalled.push_back(fd);
    }
    for (const char *path : {"/healthz", "/", "/metrics", "/api/v1/monitors"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(request(service.port(), "GET", path).status, 200);
    }
    for (int fd : stalled) ::close(fd);
    EXPECT_EQ(request(service.port(), "GET", "/healthz").body, "ok\n");
    EXPECT_EQ(service.stop(SIGTERM), 0) << service.log();
}

TEST_F(ServeTest, ChecksAskedForAtOnceAreEachAnswered) {
    start();
    const std::string id = add("own port", "tcp", own_port());
    // Checks of one monitor never overlap: those asked for while one runs
    // wait for the next, and every request gets its answer, while reads
    // go on beside them.
    std::vector<std::thread> clients;
    std::vector<http_reply> replies(16);
    for (std::size_t i = 0; i < replies.size(); ++i) {
        clients.emplace_back([&, i] {
            replies[i] = i % 4 == 3 ? request(service.port(), "GET", "/metrics")
                                    : request(service.port(), "POST", "/api/v1/monitors/" + id + "/check", "", token);
        });
    }
    for (std::thread &t : clients) t.join();
    for (std::size_t i = 0; i < replies.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(replies[i].status, 200) << replies[i].raw;
        if (i % 4 != 3) {
            EXPECT_NE(replies[i].body.find("\"up\":true"), std::string::npos) << replies[i].raw;
        }
    }
    EXPECT_EQ(service.stop(SIGTERM), 0) << service.log();
}

// --- The store while it serves -----------------------------------------------------------

TEST_F(ServeTest, TheTokenIsMadeAtTheFirstStartOwnerOnlyAndKept) {
    start();
    struct stat st {};
    ASSERT_EQ(::stat((service.dir() + "/service.token").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_TRUE(std::regex_match(token, std::regex("[0-9a-f]{64}"))) << token;
    ASSERT_EQ(::stat((service.dir() + "/service.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u);
    EXPECT_EQ(service.stop(SIGTERM), 0) << service.log();
    // A clean stop takes service.json away; the token stays for the next start.
    EXPECT_NE(::stat((service.dir() + "/service.json").c_str(), &st), 0);
    const std::string first = token;
    // Kept at the next start, and made owner-only again if it was loosened.
    ASSERT_EQ(::chmod((service.dir() + "/service.token").c_str(), 0644), 0);
    std::string why;
    ASSERT_TRUE(service.start({}, why)) << why;
    EXPECT_EQ(service.token(), first);
    ASSERT_EQ(::stat((service.dir() + "/service.token").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_NE(service.log().find("owner-only"), std::string::npos) << service.log();
    EXPECT_EQ(service.stop(SIGTERM), 0) << service.log();
}

TEST_F(ServeTest, TheCommandLineGoesThroughTheServiceAndTheStoreKeepsEveryChange) {
    const cli_test::run_result existing = run_cli({"--dir", service.dir(), "add", "doomed", "tcp", "127.0.0.1:1", "--json"});
    ASSERT_EQ(existing.status, 0) << existing.err;
    const std::string doomed = json_string(existing.out, "id");
    ASSERT_FALSE(doomed.empty()) << existing.out;
    start({"--save-interval", "3600"});

    struct cli_case {
        const char *what;
        std::vector<std::string> args;
        int status;
        const char *out_has;
    };
    const cli_case cases[] = {
        {"add", {"add", "kept", "tcp", own_port(), "--interval", "3600"}, 0, ""},
        {"record", {"record", doomed, "down", "42.5", "1700000000"}, 0, "recorded DOWN"},
        {"webhook", {"webhook", "http://127.0.0.1:9/events"}, 0, "webhook set"},
        {"delete", {"delete", doomed}, 0, "deleted "},
        {"list", {"list"}, 0, "kept"},
        {"check", {"check", "--all"}, 0, "UP"},
    };
    for (const cli_case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args = {"--dir", service.dir()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const cli_test::run_result r = run_cli(args);
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        EXPECT_NE(r.out.find(c.out_has), std::string::npos) << r.out;
    }
    // The service has them all, at once.
    const std::string listed = request(service.port(), "GET", "/api/v1/monitors").body;
    EXPECT_NE(listed.find("\"name\":\"kept\""), std::string::npos) << listed;
    EXPECT_EQ(listed.find(doomed), std::string::npos) << listed;

    // watch on a store the service owns says so, and fails.
    const cli_test::run_result watch = run_cli({"--dir", service.dir(), "watch", "--once"});
    EXPECT_EQ(watch.status, 3) << watch.out << watch.err;
    EXPECT_NE(watch.err.find("is served by 'vantorel-uptime serve'"), std::string::npos) << watch.err;

    EXPECT_EQ(service.stop(SIGTERM), 0) << service.log();
    // Without the service, the engine here reads what it kept.
    const cli_test::run_result after = run_cli({"--dir", service.dir(), "list", "--json"});
    ASSERT_EQ(after.status, 0) << after.err;
    EXPECT_NE(after.out.find("\"name\":\"kept\""), std::string::npos) << after.out;
    EXPECT_EQ(after.out.find(doomed), std::string::npos) << after.out;
    EXPECT_NE(read_file(service.dir() + "/config.json").find("http://127.0.0.1:9/events"), std::string::npos);
    const std::string kept = after.out.substr(after.out.find("\"id\":\"") + 6, 36);
    const cli_test::run_result beats = run_cli({"--dir", service.dir(), "heartbeats", kept, "--json"});
    EXPECT_NE(beats.out.find("\"status\":1"), std::string::npos) << beats.out;
    // The recorded heartbeat went with its monitor; the monitor's files
    // stay on disk, as a delete leaves them.
    EXPECT_EQ(run_cli({"--dir", service.dir(), "show", doomed}).status, 3);
}

TEST_F(ServeTest, SighupSavesAtOnceAndTheServiceGoesOn) {
    const cli_test::run_result existing = run_cli({"--dir", service.dir(), "add", "checked", "tcp", "127.0.0.1:1", "--json"});
    ASSERT_EQ(existing.status, 0) << existing.err;
    const std::string id = json_string(existing.out, "id");
    start({"--save-interval", "3600"});
    const std::string monitors_file = service.dir() + "/monitors.json";
    const auto last_check_on_disk = [&] {
        const std::string text = read_file(monitors_file);
        const std::size_t at = text.find("\"last_check\":");
        return at == std::string::npos ? std::string() : text.substr(at + 13, text.find_first_of(",\n}", at + 13) - at - 13);
    };
    ASSERT_EQ(last_check_on_disk(), " 0") << read_file(monitors_file);
    // The scheduler checks it (refused: down); the engine has it, the file not yet.
    ASSERT_TRUE(wait_until(
        [&] { return request(service.port(), "GET", "/api/v1/monitors").body.find("\"status\":0") != std::string::npos; },
        std::chrono::seconds(20)))
        << service.log();
    EXPECT_EQ(last_check_on_disk(), " 0");
    service.send(SIGHUP);
    EXPECT_TRUE(wait_until([&] { return last_check_on_disk() != " 0"; }, std::chrono::seconds(20)))
        << read_file(monitors_file) << service.log();
    EXPECT_NE(service.log().find("saved (SIGHUP)"), std::string::npos) << service.log();
    // Still serving, still owning the store.
    EXPECT_EQ(request(service.port(), "GET", "/healthz").body, "ok\n");
    EXPECT_EQ(request(service.port(), "GET", "/api/v1/monitors/" + id).status, 200);
    EXPECT_EQ(service.stop(SIGTERM), 0) << service.log();
    EXPECT_NE(service.log().find("stopped; state saved in"), std::string::npos) << service.log();
}

TEST_F(ServeTest, SigintStopsAsSigtermDoes) {
    start();
    EXPECT_EQ(service.stop(SIGINT), 0) << service.log();
    EXPECT_NE(service.log().find("stopping (SIGINT)"), std::string::npos) << service.log();
}

// --- The page and the metrics, with texts from the store -------------------------------

TEST_F(ServeTest, ThePageEscapesStoreTextsAndHasARowWith90BarsPerMonitor) {
    const std::vector<std::string> names = {"<script>alert(1)</script>", "Tom & \"Jerry\" 'quoted'", "plain"};
    start();
    std::vector<std::string> ids;
    for (const std::string &name : names) {
        std::string escaped;  // as a JSON string
        for (char c : name) {
            if (c == '"' || c == '\\') escaped += '\\';
            escaped += c;
        }
        ids.push_back(add(escaped, "http", "http://127.0.0.1:1/<b>"));
    }
    http_reply page = request(service.port(), "GET", "/");
    ASSERT_EQ(page.status, 200);
    EXPECT_EQ(page.headers["content-type"], "text/html; charset=utf-8");
    EXPECT_NE(page.headers["content-security-policy"].find("default-src 'none'"), std::string::npos);
    const std::string &html = page.body;
    EXPECT_EQ(html.find("<script>alert"), std::string::npos);
    EXPECT_EQ(html.find("<b>"), std::string::npos);
    EXPECT_NE(html.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
    EXPECT_NE(html.find("Tom &amp; &quot;Jerry&quot; &#39;quoted&#39;"), std::string::npos);
    EXPECT_NE(html.find("http://127.0.0.1:1/&lt;b&gt;"), std::string::npos);
    EXPECT_EQ(count_text(3, html, "data-monitor-id=\""), "3");
    for (const std::string &id : ids) {
        SCOPED_TRACE(id);
        const std::size_t row = html.find("data-monitor-id=\"" + id + "\"");
        ASSERT_NE(row, std::string::npos);
        const std::string article = html.substr(row, html.find("</article>", row) - row);
        EXPECT_EQ(count_text(90, article, "<span class=\"day"), "90");
        const std::regex bar_title("title=\"\\d{4}-\\d{2}-\\d{2}: (no data|\\d+\\.\\d\\d% up)\"");
        EXPECT_EQ(std::distance(std::sregex_iterator(article.begin(), article.end(), bar_title), std::sregex_iterator()), 90);
    }
    EXPECT_EQ(service.stop(SIGTERM), 0) << service.log();
}

}  // namespace
