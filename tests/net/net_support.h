// Access to the loopback servers that run_network_tests.sh starts around
// this binary, and to what they logged.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "test_support.h"

namespace vue::test {

struct logged_request {
    std::string method;
    std::string target;  // the request-target exactly as received
    std::string path;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
    std::string header(const std::string &name) const;        // "" when absent
    bool has_header(const std::string &name) const;
};

class loopback_servers {
public:
    // Port of a named server ("http4", "http6", "hook", "https_selfsigned",
    // "https_expired", "https_wrongname", "https_clientonly", "https_issued",
    // "closed" (nothing listens), "unanswered" (connection attempts are never
    // answered), and "nginx", "nginx_tls" when nginx is installed), or 0.
    static int port(const std::string &name);
    // "http://127.0.0.1:PORT" + path (https:// for the https_* servers and
    // nginx_tls, http://[::1]:PORT for http6).
    static std::string url(const std::string &name, const std::string &path);
    // Requests logged by a server since the last mark() of it.
    static void mark(const std::string &name);
    static std::vector<logged_request> since_mark(const std::string &name);
    static bool available();
    // True inside a private network namespace where only loopback exists, so
    // a lookup of an unknown name cannot reach a real name server.
    static bool private_network();
    // True where the runner put its own /etc/hosts in place: localhost is
    // ::1 and 127.0.0.1, and "dual-stack.test" names both.
    static bool test_hosts();
    // True where the runner hid the system's trust store (/etc/ssl/certs).
    static bool no_trust_store();
};

#define REQUIRE_SERVERS()                                                                 \
    do {                                                                                  \
        if (!::vue::test::loopback_servers::available())                                  \
            GTEST_SKIP() << "needs the loopback servers: run through run_network_tests.sh"; \
    } while (0)

#define REQUIRE_PRIVATE_NETWORK()                                                                          \
    do {                                                                                                   \
        if (!::vue::test::loopback_servers::private_network())                                              \
            GTEST_SKIP() << "looks up a name that does not exist, which would reach the configured name "    \
                            "server: runs only in the private network namespace (root, unshare --net)";      \
    } while (0)

#define REQUIRE_NGINX()                                                                                \
    do {                                                                                               \
        if (::vue::test::loopback_servers::port("nginx") == 0)                                          \
            GTEST_SKIP() << "needs nginx (Debian package nginx-light, installed by scripts/setup.sh)";  \
    } while (0)

// Where wine's implementation of a Windows call falls short of Windows
// itself, the case says so and skips; run_network_tests.sh sets
// VUE_UNDER_WINE when it runs the suite under wine.
#define SKIP_UNDER_WINE(why)                                        \
    do {                                                            \
        if (std::getenv("VUE_UNDER_WINE") != nullptr)               \
            GTEST_SKIP() << "wine falls short of Windows here: " << why; \
    } while (0)

// engine_test with the servers required and the engine started.
class network_test : public engine_test {
protected:
    void SetUp() override {
        engine_test::SetUp();
        REQUIRE_SERVERS();
        start();
        // The URL outlives a stop and start in one process; each test sets
        // its own.
        ASSERT_EQ(uptime_set_webhook_url(nullptr), 0);
    }
    struct outcome {
        int up = -1;
        double latency_ms = -1.0;
    };
    // Adds a monitor and checks it once.
    outcome check_target(int type, const std::string &target);
    outcome check(const std::string &id);
};

}  // namespace vue::test
