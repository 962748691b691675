// A leader gateway as a black box under a faked wall clock: the household schedule fires at its
// minute, once, also when the clock goes back while it waits.
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
#include "tests/engine/faked_clock.h"
#include "tests/support/engine_env.h"
#include "tests/support/redis_server.h"
#include "tests/support/test_support.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

using engine_test::device_command;
using engine_test::faketime_library;
using engine_test::FakedClock;

void seed_gateway(EngineEnv &env) {
    env.state().set("LAN:networkid", "N1");
    env.state().set("device:LAN:0200C0000201", "N1-1");
}

class ScheduleEngine : public ::testing::Test {
protected:
    void SetUp() override {
        lib = faketime_library();
        if (lib.empty()) GTEST_SKIP() << "libfaketime is not installed";
    }
    std::unique_ptr<EngineEnv> start(const FakedClock &clock, const std::string &first_value,
                                     unsigned memory_cap_mb = 0) {
        EngineConfig config;
        config.daemon_env = clock.daemon_env(lib);
        config.daemon_limits.memory_mb = memory_cap_mb;
        auto env = std::make_unique<EngineEnv>(config);
        seed_gateway(*env);
        env->state().set("schedule", first_value);
        EXPECT_TRUE(env->start());
        EXPECT_TRUE(env->wait_log(engine_test::leader_ready())) << env->log();
        return env;
    }
    std::string lib;
};

// The first value of "schedule" does not parse: the key is watched all the same and the next value
// counts. The schedule fires once, at its minute, without a sender.
TEST_F(ScheduleEngine, TheScheduleFiresAtItsMinuteAfterABadFirstValue) {
    FakedClock clock;
    auto env = start(clock, "[{\"active\":true");
    EXPECT_TRUE(env->wait_log("scheduler_conf_parse fialed")) << env->log();
    ASSERT_TRUE(wait_until([&] { return numsub(env->state(), "__keyspace@0__:schedule") == 1; }, 10s)) << env->log();

    Subscriber lamp(env->state(), {"device:N1-5:command"});
    clock.aim(8);
    env->state().set("schedule", clock.schedule(device_command("N1-5", "on")));
    ASSERT_TRUE(env->wait_log("scheduler (key schedule) is set with value")) << env->log();
    ASSERT_LT(time(nullptr), clock.fire_real - 1) << "the daemon planned too late for its minute";

    std::string payload;
    ASSERT_TRUE(lamp.wait_for("device:N1-5:command", 25s, &payload)) << env->log();
    EXPECT_GE(time(nullptr), clock.fire_real - 1);
    EXPECT_NE(payload.find("\"sender_id\":\tnull"), std::string::npos) << payload;
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(lamp.count("device:N1-5:command"), 1u);
    EXPECT_EQ(numsub(env->state(), "__keyspace@0__:schedule"), 1);
}

// Stored values that would make the engine hold far more than their size: a rule of half a
// million days with 1 KB of actions (an entry per day) and a 32 MB days array (a tree of millions of
// nodes). With its memory capped the engine takes neither, and the next valid schedule fires.
TEST_F(ScheduleEngine, OversizedSchedulesAreRefusedAndTheNextValidOneFires) {
    FakedClock clock;
    auto env = start(clock, "[]", 400);
    std::string actions = "[";
    for (int i = 0; actions.size() < 1000; i++)
        actions += std::string(i ? "," : "") + device_command("N1-" + std::to_string(i + 6), "on");
    actions += "]";
    std::string days;
    days.reserve(1000100);
    for (int i = 0; days.size() < 1000000; i++) days += std::string(i ? "," : "") + std::to_string(i % 7);
    env->state().set("schedule", R"([{"active":true,"days":[)" + days + R"(],"time":"1:1","actions":)" + actions + "}]");
    // An engine ended by its cap ends the wait too.
    const auto logged = [&](const char *text) {
        return wait_until([&] { return env->count_log(text) > 0 || !env->running(); }, 60s) && env->running();
    };
    ASSERT_TRUE(logged("No day element or day element failed")) << env->log().substr(0, 20000);

    std::string huge = "[{\"active\":true,\"days\":[0";
    huge.reserve(32u << 20);
    while (huge.size() < (32u << 20)) huge += ",0";
    env->state().set("schedule", huge + R"(],"time":"1:1","actions":[]}])");
    ASSERT_TRUE(logged("Schedule value passes 1048576 bytes, no schedule runs")) << env->log().substr(0, 20000);

    Subscriber lamp(env->state(), {"device:N1-5:command"});
    clock.aim(8);
    env->state().set("schedule", clock.schedule(device_command("N1-5", "on")));
    ASSERT_TRUE(wait_until([&] { return env->count_log("scheduler (key schedule) is set with value") >= 3; }, 20s))
        << env->log().substr(0, 20000);
    ASSERT_TRUE(lamp.wait_for("device:N1-5:command", 25s)) << env->log().substr(0, 20000);
    EXPECT_EQ(env->stop(), 0);
}

// The wall clock goes back 5 s while the timer waits: the timer wakes before the instant and waits
// for the rest; the schedule fires once, at its wall-clock minute.
TEST_F(ScheduleEngine, AClockSetBackDelaysTheFiringToItsWallTime) {
    FakedClock clock;
    auto env = start(clock, "[]");
    Subscriber lamp(env->state(), {"device:N1-5:command"});
    clock.aim(8);
    // The clock may move only once the daemon has read it for the plan: the plan's line, not the
    // value's, which comes before the plan.
    const size_t plans = env->count_log("Current day: ");
    env->state().set("schedule", clock.schedule(device_command("N1-5", "on")));
    ASSERT_TRUE(env->wait_log_count("Current day: ", plans + 1)) << env->log();
    clock.set_offset(clock.fire_fake - clock.fire_real - 5);
    ASSERT_LT(time(nullptr), clock.fire_real - 1) << "the daemon planned too late for its minute";

    ASSERT_TRUE(lamp.wait_for("device:N1-5:command", 30s)) << env->log();
    EXPECT_GE(time(nullptr), clock.fire_real + 4);
    EXPECT_NE(env->log().find("s early, waiting for the rest"), std::string::npos) << env->log();
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(lamp.count("device:N1-5:command"), 1u);
}

}  // namespace
