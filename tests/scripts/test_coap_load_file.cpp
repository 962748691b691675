// The daemon's -l mode with the coap module: a script file talks to a CoAP server on loopback.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "tests/scripts/script_env.h"
#include "tests/support/coap_peer.h"
#include "tests/support/redis_server.h"
#include "tests/support/test_support.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

TEST(CoapLoadFile, ArgumentRulesArgPassingAndACancelInsideTheThirdNotification) {
    LoadFileEnv env;
    RedisPair &redis = *env.redis;
    CoapServer server;
    ASSERT_TRUE(server.put("/temp", "21.5"));
    redis.state.set("lcoap:base", server.uri(""));
    Process p(env.argv(fixture_path("l_coap.lua")));
    ASSERT_TRUE(wait_until([&] { return redis.state.get("lcoap:cancelled").has_value() || !p.running(); }, 30s))
        << p.out();
    ASSERT_TRUE(p.running()) << "exit " << p.wait(1s) << "\n" << p.out();
    EXPECT_EQ(redis.state.get("lcoap:cancelled"), "3");
    ASSERT_TRUE(wait_until([&] { return server.count({"GET", "Observe:1", "Uri-Path:time"}) == 1; }, 30s))
        << server.log();
    // Silence after the cancel: a fourth call would have ended the process with 21.
    std::this_thread::sleep_for(2500ms);
    ASSERT_TRUE(p.running()) << "exit " << p.wait(1s) << "\n" << p.out();
    redis.state.command({"PUBLISH", "lcoap:done", "0"});
    EXPECT_EQ(p.wait(10s), 0) << p.out();
    EXPECT_NE(p.out().find("handle_coap_request - missing uri"), std::string::npos);
}

}  // namespace
