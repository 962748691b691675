// A leader gateway as a black box: if/then rules run on the gateway's own device, on a virtual
// sub-device and on an app shared by two devices.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/engine/engine_scripts.h"
#include "tests/support/engine_env.h"
#include "tests/support/redis_server.h"
#include "tests/support/test_support.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

using engine_test::device_command;

void seed_gateway(EngineEnv &env) {
    env.state().set("LAN:networkid", "N1");
    env.state().set("device:LAN:0200C0000201", "N1-1");
}

class RulesEngine : public ::testing::Test {
protected:
    void SetUp() override {
        seed_gateway(env);
        // Two lights behind the gateway, in the virtual domain, with one app.
        for (const char *id : {"0-8", "0-9"}) {
            const std::string d = std::string("device:") + id;
            env.state().set("landevicemap:N1-1:" + std::string(id), "1");
            env.state().set(d + ":meta:class", "light");
            env.state().set(d + ":meta:driver", "vlight");
            env.state().set(d + ":domain", "VIRTUAL");
            env.state().set(d + ":app", "7");
        }
        env.conf().set("driver:vlight:code", "return {init = function() end, command = function() end,\n"
                                             "  get_version = function() return '1' end, cleanup = function() end}\n");
        env.state().set("device:N1-1:ifttt",
                        R"([{"enabled":true,"if":"pressed","then":[)" + device_command("N1-5", "on") + "]}]");
        env.state().set("device:0-8:ifttt",
                        R"([{"enabled":true,"if":"pressed","then":[)" + device_command("N1-6", "on") + "]}]");
        env.state().set("app:light:7:ifttt",
                        R"([{"enabled":true,"if":"dusk","then":[)" + device_command("N1-7", "on") + "]}]");
        ASSERT_TRUE(env.start());
        ASSERT_TRUE(env.wait_log(engine_test::leader_ready())) << env.log();
        for (const char *channel : {"device:N1-1:event", "device:0-8:event", "app:light:7:event"})
            ASSERT_TRUE(wait_until([&] { return numsub(env.state(), channel) == 1; }, 30s)) << channel << env.log();
    }
    EngineEnv env;
};

TEST_F(RulesEngine, EventsRunTheRulesOfTheirDeviceOrApp) {
    Subscriber sub(env.state(), {"p:device:N1-*:command"});
    env.state().command({"PUBLISH", "device:N1-1:event", "pressed"});
    env.state().command({"PUBLISH", "device:0-8:event", "pressed"});
    env.state().command({"PUBLISH", "app:light:7:event", "dusk"});
    std::string gw, sub8, app;
    ASSERT_TRUE(sub.wait_for("device:N1-5:command", 10s, &gw)) << env.log();
    ASSERT_TRUE(sub.wait_for("device:N1-6:command", 10s, &sub8)) << env.log();
    ASSERT_TRUE(sub.wait_for("device:N1-7:command", 10s, &app)) << env.log();
    EXPECT_NE(gw.find("\"sender_id\":\t\"N1-1\""), std::string::npos) << gw;
    EXPECT_NE(sub8.find("\"sender_id\":\t\"0-8\""), std::string::npos) << sub8;
    EXPECT_NE(app.find("\"sender_id\":\t\"light\""), std::string::npos) << app;

    // One device leaves the shared app: the other keeps its rules and the subscription.
    env.state().set("device:0-9:app", "8");
    ASSERT_TRUE(wait_until([&] { return numsub(env.state(), "app:light:8:event") == 1; }, 10s)) << env.log();
    EXPECT_EQ(numsub(env.state(), "app:light:7:event"), 1);
    env.state().command({"PUBLISH", "app:light:7:event", "dusk"});
    ASSERT_TRUE(wait_until([&] { return sub.count("device:N1-7:command") >= 2; }, 10s)) << env.log();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(sub.count("device:N1-7:command"), 2u);
}

}  // namespace
