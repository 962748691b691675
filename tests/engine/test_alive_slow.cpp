// Alive tracking on a leader gateway, in real time: registered devices of tracked classes go
// "false" 70 s after their last sign of life. The test and the daemon share a network namespace of
// the test's own.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "tests/support/engine_env.h"
#include "tests/support/netns.h"
#include "tests/support/redis_server.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

class AliveSlow : public PrivateNetnsTest {};

void registered(EngineEnv &env, const std::string &id, const std::string &cls, bool named = true) {
    env.state().set("device:" + id + ":domain", "LAN");
    env.state().set("device:" + id + ":meta:class", cls);
    env.state().set("device:" + id + ":meta:classname:" + cls + ":LAN:Acme:X2", cls);
    if (named) env.state().set("device:" + id + ":meta:name", "n");
    env.state().set("device:" + id + ":state:online", "true");
}

TEST_F(AliveSlow, TrackedDevicesGoFalseSeventySecondsAfterTheirLastSignOfLife) {
    EngineEnv env;
    env.state().set("LAN:networkid", "N1");
    env.state().set("device:LAN:0200C0000201", "N1-1");
    registered(env, "N1-2", "switch");         // watched from the leader start only
    registered(env, "N1-3", "camera");         // renewed by a client's "true"
    registered(env, "N1-4", "switch", false);  // deleted: no name left
    registered(env, "N1-5", "light");          // not tracked in "LAN"
    registered(env, "N1-6", "switch");         // renewed by its ALIVE datagram
    auto online = [&](const std::string &id) { return env.state().get("device:" + id + ":state:online"); };

    ASSERT_TRUE(env.start());
    ASSERT_TRUE(env.wait_log("Cannot init db_persist or persist disabled")) << env.log();
    const auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(env.wait_log("start_alive_timer - start alive timer for id N1-2"));
    EXPECT_TRUE(env.wait_log("Class light (LAN) NOT allowed for alive"));

    std::this_thread::sleep_for(30s);
    const auto renewed = std::chrono::steady_clock::now();
    env.state().set("device:N1-3:state:online", "true");
    UdpSocket sock("127.0.0.1", 0);
    ASSERT_TRUE(sock.send_to("127.0.0.1", 4002, "{\"packet_type\":3,\"network_id\":\"N1\",\"device_id\":\"N1-6\"}"));

    ASSERT_TRUE(wait_until([&] { return online("N1-2") == "false"; }, 120s)) << env.log();
    EXPECT_GE(std::chrono::steady_clock::now() - started, 69s);
    EXPECT_TRUE(wait_until([&] { return !online("N1-4").has_value(); }, 30s)) << env.log();

    // Ten seconds later the renewed devices are still on: their one watch moved.
    std::this_thread::sleep_for(10s);
    EXPECT_EQ(online("N1-3"), "true");
    EXPECT_EQ(online("N1-6"), "true");

    ASSERT_TRUE(wait_until([&] { return online("N1-3") == "false" && online("N1-6") == "false"; }, 120s)) << env.log();
    EXPECT_GE(std::chrono::steady_clock::now() - renewed, 69s);
    EXPECT_EQ(online("N1-5"), "true");
    EXPECT_EQ(env.count_log("alive callback for device_id N1-3 - setting false"), 1u);
    EXPECT_EQ(env.stop(), 0);
}

}  // namespace
