// Ports that only a network namespace of the test's own makes safe to fix or to narrow: Uri-Port
// goes out only off the scheme's default port (there the default ports belong to the test's servers
// alone), and requests keep local ports of their own (there the ephemeral range can be one port).
#include <gtest/gtest.h>

#include <string>

#include "tests/coap/client_env.h"
#include "tests/support/netns.h"
#include "tests/support/coap_peer.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

TEST_F(CoapClientTest, OnlyAPortOffTheSchemesDefaultIsSent) {
    std::string why;
    if (!enter_private_netns(&why)) GTEST_SKIP() << why;
    CoapServer a("127.0.0.1", 5683);      // coap 5683, coaps 5684
    CoapServer b("127.0.0.2", 5684, "");  // coap 5684
    CoapServer c("127.0.0.3", 5682);      // coaps 5683
    struct Case {
        std::string uri;
        const CoapServer *server;
        std::string port_option;  // empty: none
    } cases[] = {
        {"coap://127.0.0.1/p1", &a, ""},
        {"coap://127.0.0.1:5683/p2", &a, ""},
        {"coaps://127.0.0.1/p3", &a, ""},
        {"coap://127.0.0.2:5684/p4", &b, "Uri-Port:5684"},
        {"coaps://127.0.0.3:5683/p5", &c, "Uri-Port:5683"},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.uri);
        const std::string path = "Uri-Path:" + k.uri.substr(k.uri.rfind('/') + 1);
        ResultPipe pipe;
        ASSERT_EQ(start(pipe, k.uri), 0);
        EXPECT_EQ(pipe.next(), "404|9|Not Found") << log();
        EXPECT_EQ(k.server->count({"c:GET", path}), 1u) << k.server->log();
        EXPECT_EQ(k.server->count({"c:GET", path, "Uri-Port"}), k.port_option.empty() ? 0u : 1u);
        if (!k.port_option.empty()) {
            EXPECT_EQ(k.server->count({"c:GET", path, k.port_option}), 1u);
        }
    }
}

// Two requests to one server on one local port share both ends, and one socket gets both answers:
// with a single ephemeral port, a second request to the server in flight must fail to start while
// the first one still gets its answer, and start once the first has ended.
TEST_F(CoapClientTest, RequestsInFlightNeverShareALocalPort) {
    std::string why;
    if (!enter_private_netns(&why)) GTEST_SKIP() << why;
    // Peers and the stored value first: they take ports of the usual range.
    CoapPeer peer("late");
    CoapServer server;
    ASSERT_TRUE(server.put("/temp", "21.5"));
    const std::string range = "/proc/sys/net/ipv4/ip_local_port_range";
    write_file(range, "15000 15000");
    ASSERT_EQ(read_file(range), "15000\t15000\n");
    struct Case {
        const char *name;
        std::string first;  // stays in flight until its answer, or its cancel when observing
        bool observe;
        std::string first_answer;
        std::string second;
        int refused;
        std::string second_answer;
    } cases[] = {
        {"plain", peer.uri("/first"), false, "205|4|late", peer.uri("/second"), -1, "205|4|late"},
        {"secure", server.uri("/time", true), true, "205|", server.uri("/temp", true), 1, "205|4|21.5"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ResultPipe first, second;
        ASSERT_EQ(start(first, c.first, COAP_GET, "", c.observe), 0);
        ASSERT_EQ(start(second, c.second), c.refused) << log();
        EXPECT_EQ(coap_request_count(), 1);
        EXPECT_EQ(first.next().value_or("none").substr(0, c.first_answer.size()), c.first_answer) << log();
        if (c.observe) coap_cancel_request(&first);
        ASSERT_TRUE(all_ended(30s));
        EXPECT_TRUE(second.next(50ms) == std::nullopt);
        ASSERT_EQ(start(second, c.second), 0);
        EXPECT_EQ(second.next(), c.second_answer) << log();
        ASSERT_TRUE(all_ended(20s));
    }
}

}  // namespace
