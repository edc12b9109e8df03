// The TCP, DNS and ping probes against loopback.
#include <string>

#include "net_support.h"
#include "platform/fault.h"
#include "platform/platform.h"
#include "probes/probes.h"

namespace vue::test {
namespace {

using servers = loopback_servers;

TEST(tcp_target, SplitsAtTheLastColon) {
    struct row {
        std::string target, host, port;
    };
    const row rows[] = {
        {"host:8080", "host", "8080"},
        {"host", "host", "80"},
        {"::1", ":", "1"},
        {"[::1]:443", "[::1]", "443"},
        {"a:b:c", "a:b", "c"},
        {"host:", "host", ""},
        {":8080", "", "8080"},
        {"host:" + std::string(20, '9'), "host", std::string(15, '9')},
        {std::string(300, 'h') + ":1", std::string(255, 'h'), "1"},
        {std::string(300, 'h'), std::string(255, 'h'), "80"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.target.substr(0, 30));
        std::string host, port;
        split_host_port(r.target.c_str(), host, port);
        EXPECT_EQ(host, r.host);
        EXPECT_EQ(port, r.port);
    }
}

class tcp_probe : public network_test {};

TEST_F(tcp_probe, ListeningPortIsUp) {
    for (const std::string &target : {"127.0.0.1:" + std::to_string(servers::port("http4")),
                                     "localhost:" + std::to_string(servers::port("http4")),
                                     "::1:" + std::to_string(servers::port("http6"))}) {
        SCOPED_TRACE(target);
        outcome o = check_target(UPTIME_MONITOR_TCP_PORT, target);
        EXPECT_EQ(o.up, 1);
        EXPECT_GT(o.latency_ms, 0.0);
    }
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
