// The client's 20-second time-out: a silent peer ends in 504, an established observation never does,
// a DTLS handshake that never finishes ends in the DTLS failure.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

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

// One server's library answers a handshake it cannot finish with an alert, the other drops what it
// cannot decrypt and lets the client's own time-out end the request: either way the DTLS failure.
TEST_F(CoapClientTest, AWrongKeyOrIdentityEndsInTheDtlsFailureWithEitherServer) {
    CoapServer openssl("127.0.0.1", 0, "secretkey", "openssl", "user");
    CoapServer gnutls("127.0.0.1", 0, "secretkey", "gnutls", "user");
    struct Case {
        const CoapServer *server;
        const char *user;
        const char *key;
        const char *result;
    } cases[] = {
        {&openssl, "user", "wrongkey", "-1|0|"},
        {&openssl, "stranger", "secretkey", "-1|0|"},
        {&gnutls, "stranger", "secretkey", "-1|0|"},
        {&openssl, "user", "secretkey", "404|9|Not Found"},
    };
    std::vector<std::unique_ptr<ResultPipe>> pipes;
    for (const Case &c : cases) {
        pipes.push_back(std::make_unique<ResultPipe>());
        ASSERT_EQ(start(*pipes.back(), c.server->uri("/none", true), COAP_GET, "", false, c.key, c.user), 0);
    }
    for (size_t i = 0; i < pipes.size(); i++) {
        SCOPED_TRACE(std::string(cases[i].user) + "/" + cases[i].key);
        EXPECT_EQ(pipes[i]->next(30s), cases[i].result) << log();
    }
    ASSERT_TRUE(all_ended(30s));
    for (auto &p : pipes) EXPECT_EQ(p->next(50ms), std::nullopt);
    EXPECT_FALSE(log_has("DTLS error received for unknown context"));
}

}  // namespace
