// The client's 20-second time-out: a silent peer ends in 504, an established observation never does.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tests/coap/client_env.h"
#include "tests/support/coap_peer.h"
#include "tests/support/redis_server.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

TEST_F(CoapClientTest, APortNobodyListensOnEndsInTheQuietTimeOut) {
    const int port = free_udp_port();
    ResultPipe pipe;
    const auto begin = std::chrono::steady_clock::now();
    ASSERT_EQ(start(pipe, "coap://127.0.0.1:" + std::to_string(port) + "/x"), 0);
    EXPECT_EQ(pipe.next(60s), "504|0|") << log();
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 19s);
    EXPECT_TRUE(log_has("Timeout in handling coap request on ctx"));
}

TEST_F(CoapClientTest, AnObservationSetUpByASeparateResponseOutlivesTheTimeOut) {
    CoapPeer peer("separate_observe");
    ResultPipe pipe;
    const auto begin = std::chrono::steady_clock::now();
    ASSERT_EQ(start(pipe, peer.uri("/obs"), COAP_GET, "", true), 0);
    EXPECT_EQ(pipe.next(), "205|2|n0") << log();
    std::string last;
    while (std::chrono::steady_clock::now() - begin < 24s) {
        auto m = pipe.next(10s);
        ASSERT_TRUE(m) << "no notification after " << last << "\n" << log();
        ASSERT_EQ(m->substr(0, 4), "205|") << *m;
        last = *m;
    }
    coap_cancel_request(&pipe);
    EXPECT_TRUE(peer.wait_for("DEREGISTER", 30s)) << log();
}

}  // namespace
