// A leader gateway as a black box: the household schedule fires at its minute of a faked wall
// clock, and if/then rules run on the gateway's own device, on a virtual sub-device and on an app
// shared by two devices.
#include <glob.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/engine_env.h"
#include "tests/support/redis_server.h"
#include "tests/support/test_support.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

const char kLeaderReady[] = "Cannot init db_persist or persist disabled";

std::string cmd(const std::string &id, const std::string &name) {
    return R"({"target":"device","id":")" + id + R"(","name":")" + name + R"("})";
}

std::string faketime_library() {
    glob_t g;
    std::string found;
    if (glob("/usr/lib/*/faketime/libfaketime.so.1", 0, nullptr, &g) == 0 && g.gl_pathc > 0) found = g.gl_pathv[0];
    globfree(&g);
    return found;
}

void seed_gateway(EngineEnv &env) {
    env.state().set("LAN:networkid", "N1");
    env.state().set("device:LAN:0200C0000201", "N1-1");
}

// The daemon's wall clock runs ahead of the real one so that its next full minute comes lead
// seconds from now; the monotonic clock (libevent's timers) stays real. The first value of
// "schedule" does not parse: the key is watched all the same and the next value counts.
TEST(ScheduleEngine, TheScheduleFiresAtItsMinuteAfterABadFirstValue) {
    const std::string lib = faketime_library();
    if (lib.empty()) GTEST_SKIP() << "libfaketime is not installed";
    const int lead = 12;
    const time_t real_now = time(nullptr);
    const time_t fire_fake = ((real_now + lead) / 60 + 1) * 60;
    const time_t fire_real = real_now + lead;
    struct tm tm;
    gmtime_r(&fire_fake, &tm);

    EngineConfig config;
    const char *asan = getenv("ASAN_OPTIONS");
    config.daemon_env = {
        {"LD_PRELOAD", lib},
        {"FAKETIME", "+" + std::to_string(fire_fake - fire_real)},
        {"DONT_FAKE_MONOTONIC", "1"},
        {"TZ", "UTC0"},
        // The preloaded clock comes before the sanitizer's runtime.
        {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"},
    };
    EngineEnv env(config);
    seed_gateway(env);
    env.state().set("schedule", "[{\"active\":true");
    ASSERT_TRUE(env.start());
    ASSERT_TRUE(env.wait_log(kLeaderReady)) << env.log();
    EXPECT_TRUE(env.wait_log("scheduler_conf_parse fialed")) << env.log();
    ASSERT_TRUE(wait_until([&] { return numsub(env.state(), "__keyspace@0__:schedule") == 1; }, 10s)) << env.log();

    Subscriber lamp(env.state(), {"device:N1-5:command"});
    const std::string rule = R"([{"active":true,"days":[)" + std::to_string(tm.tm_wday) + R"(],"time":")" +
                             std::to_string(tm.tm_hour) + ":" + std::to_string(tm.tm_min) + R"(","actions":[)" +
                             cmd("N1-5", "on") + "]}]";
    env.state().set("schedule", rule);
    ASSERT_TRUE(env.wait_log("scheduler (key schedule) is set with value")) << env.log();

    std::string payload;
    ASSERT_TRUE(lamp.wait_for("device:N1-5:command", std::chrono::seconds(lead + 15), &payload)) << env.log();
    EXPECT_GE(time(nullptr), fire_real - 1);
    EXPECT_NE(payload.find("\"sender_id\":\tnull"), std::string::npos) << payload;
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(lamp.count("device:N1-5:command"), 1u);
    EXPECT_EQ(numsub(env.state(), "__keyspace@0__:schedule"), 1);
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
                        R"([{"enabled":true,"if":"pressed","then":[)" + cmd("N1-5", "on") + "]}]");
        env.state().set("device:0-8:ifttt", R"([{"enabled":true,"if":"pressed","then":[)" + cmd("N1-6", "on") + "]}]");
        env.state().set("app:light:7:ifttt", R"([{"enabled":true,"if":"dusk","then":[)" + cmd("N1-7", "on") + "]}]");
        ASSERT_TRUE(env.start());
        ASSERT_TRUE(env.wait_log(kLeaderReady)) << env.log();
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
