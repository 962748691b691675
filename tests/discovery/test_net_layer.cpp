// The UDP endpoint and the generic listeners, in a network namespace of the test's own: loopback
// plus a veth pair (192.0.2.1) whose default route carries the broadcasts.

#include <arpa/inet.h>
#include <dirent.h>
#include <event2/event.h>
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/logger/logger.h"
#include "src/net_layer.h"
#include "tests/discovery/lan_support.h"

using brx_test::Datagram;
using brx_test::UdpSocket;

namespace {

struct Received {
    int listener;
    uint32_t ip;
    uint16_t port;
    std::string text;
};

std::vector<Received> g_received;

void record(uint32_t ip, uint16_t port, const char *buffer, size_t length, void *arg) {
    // The NUL after the bytes is part of the contract.
    EXPECT_EQ(buffer[length], '\0');
    g_received.push_back({(int)(intptr_t)arg, ip, port, std::string(buffer, length)});
}

uint32_t addr(const char *dotted) {
    struct in_addr a;
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

int open_fd_count() {
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (d && readdir(d)) n++;
    if (d) closedir(d);
    return n;
}

class NetLayer : public brx_test::PrivateNetnsTest {
protected:
    void SetUp() override {
        brx_test::PrivateNetnsTest::SetUp();
        if (IsSkipped()) return;
        std::string why;
        ASSERT_TRUE(brx_test::add_broadcast_route(&why)) << why;
        base_ = event_base_new();
        g_received.clear();
    }
    void TearDown() override {
        network_layer_destroy();
        if (base_) event_base_free(base_);
    }

    // Runs the loop until n datagrams reached the callbacks (or a few seconds passed).
    bool pump_until(size_t n) {
        return brx_test::wait_until(
            [&] {
                event_base_loop(base_, EVLOOP_NONBLOCK);
                return g_received.size() >= n;
            },
            std::chrono::seconds(5));
    }
    // Runs the loop for a moment, for datagrams that must not arrive.
    void pump_for(std::chrono::milliseconds ms) {
        brx_test::wait_until(
            [&] {
                event_base_loop(base_, EVLOOP_NONBLOCK);
                return false;
            },
            ms);
    }

    struct event_base *base_ = nullptr;
};

TEST_F(NetLayer, ReceivedDatagramsArriveAsTextWithTheirSource) {
    ASSERT_EQ(network_layer_init(base_, record, (void *)7), NETWORK_OK);
    UdpSocket sender("127.0.0.1", 0);
    ASSERT_TRUE(sender.ok());
    struct Case {
        size_t sent;
        size_t delivered;
        bool inner_nul;
    } cases[] = {{1, 1, false}, {2048, 2048, false}, {3000, 2048, false}, {5, 5, true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.sent);
        g_received.clear();
        std::string payload;
        for (size_t i = 0; i < c.sent; i++) payload += (char)('a' + i % 26);
        if (c.inner_nul) payload[2] = '\0';
        ASSERT_TRUE(sender.send_to("127.0.0.1", NETWORK_DISCOVERY_PORT, payload));
        ASSERT_TRUE(pump_until(1));
        // Every byte arrives, NULs among them, and a NUL follows them.
        EXPECT_EQ(g_received[0].text, payload.substr(0, c.delivered));
        EXPECT_EQ(g_received[0].ip, addr("127.0.0.1"));
        EXPECT_EQ(g_received[0].port, sender.port());
        EXPECT_EQ(g_received[0].listener, 7);
    }
}

TEST_F(NetLayer, UnicastLeavesFromAnEphemeralPortBroadcastFromTheDiscoveryPort) {
    UdpSocket peer("127.0.0.1", 0);
    UdpSocket bcast("0.0.0.0", NETWORK_DISCOVERY_PORT, true);
    ASSERT_TRUE(peer.ok() && bcast.ok());
    ASSERT_EQ(network_layer_init(base_, record, nullptr), NETWORK_OK);

    EXPECT_EQ(network_send_to_host(addr("127.0.0.1"), peer.port(), "uni", 3), NETWORK_OK);
    auto d = peer.recv(std::chrono::seconds(3));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->text, "uni");
    EXPECT_NE(d->src_port, NETWORK_DISCOVERY_PORT);

    EXPECT_EQ(network_send_broadcast("bc", 2), NETWORK_OK);
    d = bcast.recv(std::chrono::seconds(3));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->text, "bc");
    EXPECT_EQ(d->src_port, NETWORK_DISCOVERY_PORT);
    EXPECT_EQ(d->src_ip, "192.0.2.1");

    // A peer whose address is unknown is reached by broadcast, on the discovery port.
    EXPECT_EQ(network_send_to_host(0, 5555, "zero", 4), NETWORK_OK);
    d = bcast.recv(std::chrono::seconds(3));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->text, "zero");
    EXPECT_EQ(d->src_port, NETWORK_DISCOVERY_PORT);
    EXPECT_FALSE(peer.recv(std::chrono::milliseconds(200)));
}

TEST_F(NetLayer, ListenersShareAPortAndStopInTheOrderTheyStarted) {
    const uint16_t port = 4711;
    UdpSocket sender("0.0.0.0", 0, false, true);
    ASSERT_TRUE(sender.ok());
    // The listeners that hear one broadcast to the port, in order of their ids.
    auto who_hears = [&](size_t expected) {
        g_received.clear();
        EXPECT_TRUE(sender.send_to("255.255.255.255", port, "hello"));
        EXPECT_TRUE(pump_until(expected));
        pump_for(std::chrono::milliseconds(100));
        std::vector<int> ids;
        for (const Received &r : g_received) {
            EXPECT_EQ(r.text, "hello");
            EXPECT_EQ(r.ip, addr("192.0.2.1"));
            EXPECT_EQ(r.port, sender.port());
            ids.push_back(r.listener);
        }
        std::sort(ids.begin(), ids.end());
        return ids;
    };

    ASSERT_EQ(network_start_udp_broadcast_listener(base_, port, record, (void *)1), 0);
    ASSERT_EQ(network_start_udp_broadcast_listener(base_, port, record, (void *)2), 0);
    EXPECT_EQ(who_hears(2), (std::vector<int>{1, 2}));

    EXPECT_EQ(network_stop_udp_broadcast_listener(4712), 0);  // none there: nothing changes
    EXPECT_EQ(network_stop_udp_broadcast_listener(port), 0);
    EXPECT_EQ(who_hears(1), (std::vector<int>{2}));

    EXPECT_EQ(network_stop_udp_broadcast_listener(port), 0);
    EXPECT_EQ(network_stop_udp_broadcast_listener(port), 0);
    ASSERT_EQ(network_start_udp_broadcast_listener(base_, port, record, (void *)3), 0);
    EXPECT_EQ(who_hears(1), (std::vector<int>{3}));
    network_stop_udp_broadcast_listener(port);

    // By argument: the listener started later goes, the first one stays.
    ASSERT_EQ(network_start_udp_broadcast_listener(base_, port, record, (void *)4), 0);
    ASSERT_EQ(network_start_udp_broadcast_listener(base_, port, record, (void *)5), 0);
    EXPECT_EQ(network_stop_udp_broadcast_listener_with_arg(port, (void *)5), 0);
    EXPECT_EQ(network_stop_udp_broadcast_listener_with_arg(port, (void *)5), -1);
    EXPECT_EQ(network_stop_udp_broadcast_listener_with_arg(4712, (void *)4), -1);
    EXPECT_EQ(who_hears(1), (std::vector<int>{4}));
    EXPECT_EQ(network_stop_udp_broadcast_listener_with_arg(port, (void *)4), 0);
}

TEST_F(NetLayer, AFailedStartLeavesNothingOpen) {
    const int fds = open_fd_count();
    {
        UdpSocket blocker("0.0.0.0", NETWORK_DISCOVERY_PORT);  // without SO_REUSEADDR: bind must fail
        ASSERT_TRUE(blocker.ok());
        UdpSocket blocker2("0.0.0.0", 4711);
        ASSERT_TRUE(blocker2.ok());
        EXPECT_EQ(network_layer_init(base_, record, nullptr), NETWORK_E_NO_STARTED);
        EXPECT_EQ(network_start_udp_broadcast_listener(base_, 4711, record, nullptr), -1);
        EXPECT_EQ(open_fd_count(), fds + 2);
        EXPECT_EQ(network_send_broadcast("x", 1), NETWORK_E_NO_INIT);
        EXPECT_EQ(network_send_to_host(addr("127.0.0.1"), 9, "x", 1), NETWORK_E_NO_INIT);
        EXPECT_EQ(network_stop_udp_broadcast_listener(4711), 0);
    }
    ASSERT_EQ(network_layer_init(base_, record, nullptr), NETWORK_OK);
    // At most one endpoint: a second start is refused and the first keeps working.
    EXPECT_EQ(network_layer_init(base_, record, nullptr), NETWORK_E_NO_STARTED);
    UdpSocket sender("127.0.0.1", 0);
    ASSERT_TRUE(sender.send_to("127.0.0.1", NETWORK_DISCOVERY_PORT, "still"));
    ASSERT_TRUE(pump_until(1));
    EXPECT_EQ(g_received[0].text, "still");
    network_layer_destroy();
    network_layer_destroy();
    EXPECT_EQ(open_fd_count(), fds + 1);
}

TEST_F(NetLayer, AFailedSendIsLoggedButNotReported) {
    brx_test::TempDir dir;
    std::string log = dir.file("log");
    logger_set_parameter("file.name", log.c_str());
    logger_set_parameter("file", "true");
    logger_set_parameter("level", "WARN");
    ASSERT_EQ(network_layer_init(base_, record, nullptr), NETWORK_OK);

    // The unicast socket may not broadcast (EACCES); without a route a broadcast cannot leave.
    EXPECT_EQ(network_send_to_host(addr("255.255.255.255"), 4002, "hello", 5), NETWORK_OK);
    ASSERT_TRUE(brx_test::run_ok({"ip", "route", "del", "default"}));
    EXPECT_EQ(network_send_broadcast("bye", 3), NETWORK_OK);

    std::string text = brx_test::read_file(log);
    EXPECT_NE(text.find("Error send_bytes (errno 13) buffer 'hello',\nlength 5 (written -1)\n socket unicast"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Error send_bytes (errno 101) buffer 'bye',\nlength 3 (written -1)\n socket multicast/broadcast"),
              std::string::npos)
        << text;
}

}  // namespace
