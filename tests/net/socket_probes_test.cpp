// The TCP, DNS and ping probes against loopback.
#include <string>

#include "net_support.h"
#include "platform/fault.h"
#include "platform/platform.h"
#include "probes/probes.h"

namespace vue::test {
namespace {

using servers = loopback_servers;

TEST(tcp_target, HostAndPort) {
    struct row {
        std::string target, host, port;
    };
    const row rows[] = {
        {"host:8080", "host", "8080"},
        {"host", "host", "80"},
        {"::1", ":", "1"},  // split at the last colon
        {"::1:8080", "::1", "8080"},
        {"a:b:c", "a:b", "c"},
        {":8080", "", "8080"},
        // Brackets only delimit the host, whatever its family.
        {"[::1]:443", "::1", "443"},
        {"[127.0.0.1]:80", "127.0.0.1", "80"},
        {"[::1]", "::1", "80"},
        {"[fe80::1%lo]:22", "fe80::1%lo", "22"},
        {"host:1", "host", "1"},
        {"host:65535", "host", "65535"},
        {"host:00080", "host", "80"},
        // Service names go to the resolver as they are.
        {"host:https", "host", "https"},
        {"host:kerberos_master", "host", "kerberos_master"},
        {"host:x" + std::string(20, 'y'), "host", "x" + std::string(14, 'y')},
        {std::string(300, 'h') + ":1", std::string(255, 'h'), "1"},
        {std::string(300, 'h'), std::string(255, 'h'), "80"},
        {"[" + std::string(300, 'h') + "]:1", std::string(255, 'h'), "1"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.target.substr(0, 30));
        const tcp_target t = split_tcp_target(r.target.c_str());
        EXPECT_TRUE(t.valid);
        EXPECT_EQ(t.host, r.host);
        EXPECT_EQ(t.port, r.port);
    }
}

TEST(tcp_target, PortsThatNameNoPortAreRefused) {
    // Each of these would reach the resolver as a number it wraps or
    // misreads ("83616" is 18080, "-1" is 65535, " 80" is 80).
    for (const char *target : {"host:0", "host:65536", "host:83616", "host:99999999999999999999", "host:-1",
                               "host:+80", "host: 80", "host:80 ", "host:0x50", "host:80x", "host:", "host:-http",
                               "host:ht tp", "[::1]x", "[::1]8080", "[::1]:", "[::1]:0", "[::1]:65536"}) {
        SCOPED_TRACE(target);
        EXPECT_FALSE(split_tcp_target(target).valid);
    }
}

class tcp_probe : public network_test {};

TEST_F(tcp_probe, ListeningPortIsUp) {
    const std::string p4 = std::to_string(servers::port("http4")), p6 = std::to_string(servers::port("http6"));
    // "localhost" may list ::1 first (the stock hosts file does) while this
    // server listens on 127.0.0.1 only: every address is tried in turn.
    for (const std::string &target : {"127.0.0.1:" + p4, "localhost:" + p4, "::1:" + p6, "[::1]:" + p6,
                                      "[127.0.0.1]:" + p4, "[localhost]:" + p4}) {
        SCOPED_TRACE(target);
        outcome o = check_target(UPTIME_MONITOR_TCP_PORT, target);
        EXPECT_EQ(o.up, 1);
        EXPECT_GT(o.latency_ms, 0.0);
    }
}

TEST_F(tcp_probe, EveryResolvedAddressIsTried) {
    if (!servers::test_hosts()) GTEST_SKIP() << "needs the runner's own /etc/hosts (root, private namespaces)";
    // dual-stack.test is ::1 and 127.0.0.1; each server listens on one of
    // them, so whichever order the resolver gives, one of the two checks
    // succeeds only through the second address.
    ASSERT_NE(servers::port("http4"), servers::port("http6"));
    for (const char *server : {"http4", "http6"}) {
        SCOPED_TRACE(server);
        outcome o = check_target(UPTIME_MONITOR_TCP_PORT, "dual-stack.test:" + std::to_string(servers::port(server)));
        EXPECT_EQ(o.up, 1);
        EXPECT_GT(o.latency_ms, 0.0);
    }
    // And when no address answers, all of them were refused quickly.
    outcome o = check_target(UPTIME_MONITOR_TCP_PORT, "dual-stack.test:" + std::to_string(servers::port("closed")));
    EXPECT_EQ(o.up, 0);
    EXPECT_GT(o.latency_ms, 0.0);
    EXPECT_LT(o.latency_ms, 3000.0);
}

TEST_F(tcp_probe, PortThatWouldWrapIsNotContacted) {
    // Read modulo 65536 these would connect to the listening server.
    const int p = servers::port("http4");
    for (const std::string &port : {std::to_string(p + 65536), std::to_string(p + 3 * 65536),
                                    "-" + std::to_string(65536 - p), "+" + std::to_string(p), " " + std::to_string(p),
                                    std::string("0"), std::string("")}) {
        SCOPED_TRACE(port);
        servers::mark("http4");
        outcome o = check_target(UPTIME_MONITOR_TCP_PORT, "127.0.0.1:" + port);
        EXPECT_EQ(o.up, 0);
        EXPECT_EQ(o.latency_ms, 0.0);
    }
}

TEST_F(tcp_probe, ServiceNamesStillResolve) {
    // "http" is port 80 in every services file: whether something listens
    // there or not, a connection was attempted and measured.
    outcome o = check_target(UPTIME_MONITOR_TCP_PORT, "127.0.0.1:http");
    EXPECT_GT(o.latency_ms, 0.0);
    // A name no services file has is down without a measurement.
    EXPECT_EQ(check_target(UPTIME_MONITOR_TCP_PORT, "127.0.0.1:no-such-service").latency_ms, 0.0);
}

TEST_F(tcp_probe, ClosedPortIsDownWithTheRefusalMeasured) {
    outcome o = check_target(UPTIME_MONITOR_TCP_PORT, "127.0.0.1:" + std::to_string(servers::port("closed")));
    EXPECT_EQ(o.up, 0);
    EXPECT_GT(o.latency_ms, 0.0);
    EXPECT_LT(o.latency_ms, 3000.0);
}

TEST_F(tcp_probe, UnresolvableTargetsAreDownWithoutLatency) {
    // The port goes to the resolver as a service name.
    const std::string rows[] = {"127.0.0.1:no-such-service"};
    for (const std::string &target : rows) {
        SCOPED_TRACE(target);
        outcome o = check_target(UPTIME_MONITOR_TCP_PORT, target);
        EXPECT_EQ(o.up, 0);
        EXPECT_EQ(o.latency_ms, 0.0);
    }
}

TEST_F(tcp_probe, UnknownNameIsDownWithoutLatency) {
    REQUIRE_PRIVATE_NETWORK();
    outcome o = check_target(UPTIME_MONITOR_TCP_PORT, "no-such-host.invalid:80");
    EXPECT_EQ(o.up, 0);
    EXPECT_EQ(o.latency_ms, 0.0);
}

class dns_probe : public network_test {};

TEST_F(dns_probe, ResolvableNameIsUpWithAFlooredLatency) {
    for (const char *target : {"localhost", "127.0.0.1", "::1"}) {
        SCOPED_TRACE(target);
        outcome o = check_target(UPTIME_MONITOR_DNS, target);
        EXPECT_EQ(o.up, 1);
        EXPECT_GT(o.latency_ms, 0.0);  // the resolution's own time; 0.1 only when the clock did not move
    }
}

TEST_F(dns_probe, TargetIsPassedWhole) {
    REQUIRE_PRIVATE_NETWORK();
    for (const char *target : {"http://localhost/", "localhost:80", "no-such-host.invalid"}) {
        SCOPED_TRACE(target);
        outcome o = check_target(UPTIME_MONITOR_DNS, target);
        EXPECT_EQ(o.up, 0);
        EXPECT_EQ(o.latency_ms, 0.0);
    }
}

class ping_probe : public network_test {
protected:
    static bool icmp_available() {
        platform::icmp_channel *channel = platform::icmp_open();
        platform::icmp_close(channel);
        return channel != nullptr;
    }
};

TEST_F(ping_probe, LoopbackAnswers) {
    if (!icmp_available()) GTEST_SKIP() << "ICMP echo is not available to this process (no ping socket, no raw socket)";
    outcome o = check_target(UPTIME_MONITOR_PING, "127.0.0.1");
    EXPECT_EQ(o.up, 1);
    // Whole milliseconds, with 0 reported as 0.1.
    EXPECT_GE(o.latency_ms, 0.1);
    EXPECT_TRUE(o.latency_ms == 0.1 || o.latency_ms == static_cast<double>(static_cast<long>(o.latency_ms)));
}

TEST_F(ping_probe, FallsBackToTheDnsProbeWithoutIcmp) {
    platform::fault_arm(platform::fault_point::icmp_open, 1, true);
    outcome o = check_target(UPTIME_MONITOR_PING, "localhost");
    EXPECT_EQ(o.up, 1);
    EXPECT_GT(o.latency_ms, 0.0);
    EXPECT_GE(platform::fault_calls(platform::fault_point::icmp_open), 1);
}

TEST_F(ping_probe, Ipv6OnlyTargetIsDown) {
    REQUIRE_PRIVATE_NETWORK();  // an IPv4 lookup of "::1" may ask the name server
    if (!icmp_available()) GTEST_SKIP() << "ICMP echo is not available to this process";
    outcome o = check_target(UPTIME_MONITOR_PING, "::1");
    EXPECT_EQ(o.up, 0);
    EXPECT_EQ(o.latency_ms, 0.0);
}

}  // namespace
}  // namespace vue::test
