// Uri-Port goes out only off the scheme's default port. The default ports are fixed, so the test
// runs in a network namespace of its own, where they belong to its servers alone.
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

}  // namespace
