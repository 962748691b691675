// The leader's clock check in the test process, on an injected clock: which differences between two
// checks count as a jump of the wall clock, and what a jump re-plans. The real jump of a running
// leader's clock is in tests/engine/test_clock_jump.cpp.
#include <event2/event.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <memory>
#include <string>

#include "src/device/context.h"
#include "src/device/engine.h"
#include "src/scheduler.h"
#include "tests/scripts/script_env.h"

using namespace brx_test;

namespace {

time_t fake_now = 0;
time_t fake_clock() { return fake_now; }

class LeaderClock : public ::testing::Test {
protected:
    void SetUp() override {
        env = std::make_unique<ScriptEnv>(true);
        g_main_base = env->base;
        redis_instance_state = env->ri_state;
        redis_instance_conf = env->ri_conf;
        g_scheduler = scheduler_create();
        leader_set_clock(fake_clock);
    }
    void TearDown() override {
        leader_stop();
        leader_set_clock(nullptr);
        scheduler_destroy(g_scheduler);
        g_scheduler = nullptr;
        env.reset();
        g_main_base = nullptr;
        redis_instance_state = nullptr;
        redis_instance_conf = nullptr;
    }
    // The clock check's start at t, then one check `step` seconds later.
    void start_at(time_t t) {
        fake_now = t;
        time_checker_start();
    }
    void check_after(long step) {
        fake_now += step;
        time_checker_cb();
    }
    size_t jumps() { return env->log_count("Time was probably changed (diff "); }
    size_t reloads(const std::string &id) { return env->log_count("reload_device_ctx_scheduler for device " + id); }
    int pending() { return event_base_get_num_events(env->base, EVENT_BASE_COUNT_ADDED); }

    std::unique_ptr<ScriptEnv> env;
};

struct StepCase {
    long step;    // seconds between two checks, by the wall clock
    bool reload;  // seen as a jump
};

TEST_F(LeaderClock, OnlyDifferencesOutsideThirteenToSeventeenSecondsReplan) {
    Zone utc("UTC");
    ASSERT_NE(create_device_context("N1-2", "camera", nullptr, "LAN"), nullptr);
    ASSERT_NE(create_device_context("N1-3", "switch", nullptr, "LAN"), nullptr);
    const StepCase cases[] = {
        {15, false}, {13, false}, {17, false}, {12, true}, {18, true}, {3615, true}, {-3, true}, {0, true},
        {-3585, true},
    };
    start_at(1700000000);
    for (const StepCase &c : cases) {
        SCOPED_TRACE("step " + std::to_string(c.step));
        const size_t before = jumps(), before_ctx = reloads("N1-2");
        check_after(c.step);
        EXPECT_EQ(jumps(), before + (c.reload ? 1 : 0)) << env->log();
        const std::string line =
            "Time was probably changed (diff " + std::to_string(c.step) + "), reload scheduler config";
        EXPECT_EQ(env->log_has(line), c.reload);
        // Every device context is walked on a jump, and only then.
        EXPECT_EQ(reloads("N1-2"), before_ctx + (c.reload ? 1 : 0));
        EXPECT_EQ(reloads("N1-3"), reloads("N1-2"));
    }
}

// Each check is measured from the one before it, not from the start: after a jump the next
// ordinary period is quiet again.
TEST_F(LeaderClock, EachCheckBecomesTheNextOnesReference) {
    Zone utc("UTC");
    start_at(1700000000);
    check_after(3615);
    check_after(15);
    check_after(16);
    EXPECT_EQ(jumps(), 1u) << env->log();
}

// Local time across a daylight-saving change moves by an hour while the clock moved 15 s.
TEST_F(LeaderClock, ADaylightSavingChangeIsNoJump) {
    Zone berlin("Europe/Berlin");
    start_at(1679792400 - 10);  // 01:59:50 CET, the last seconds before summer time
    check_after(15);            // 03:00:05 CEST
    leader_set_clock(fake_clock);  // the next start takes a new reference
    start_at(1698541200 - 5);  // 02:59:55 CEST, the last seconds of summer time
    check_after(15);           // 02:00:10 CET
    EXPECT_EQ(jumps(), 0u) << env->log();
}

TEST_F(LeaderClock, ASecondStartAddsNoSecondTimerAndKeepsTheReference) {
    Zone utc("UTC");
    const int before = pending();
    start_at(1700000000);
    EXPECT_EQ(pending(), before + 1);
    // A later leader start: no second clock, and the reference stays the last check's.
    start_at(1700000000 + 3600);
    EXPECT_EQ(pending(), before + 1);
    fake_now = 1700000000 + 15;
    time_checker_cb();
    EXPECT_EQ(jumps(), 0u) << env->log();
    EXPECT_EQ(env->log_count("Setup time checker"), 2u);
    leader_stop();
    EXPECT_EQ(pending(), before);
    leader_stop();
}

// The household schedule is read again on a jump (and only then): one written while no watch saw
// it is loaded and planned.
TEST_F(LeaderClock, AJumpReadsTheScheduleAgain) {
    Zone utc("UTC");
    const std::string schedule =
        R"([{"active":true,"days":[1,3],"time":"7:30","actions":[{"target":"device","id":"N1-5","name":"on"}]}])";
    env->state().set("schedule", schedule);
    start_at(1700000000);
    check_after(15);
    env->pump(std::chrono::milliseconds(200));
    EXPECT_FALSE(env->log_has("scheduler_conf: "));
    EXPECT_EQ(scheduler_is_started(g_scheduler), 0);
    check_after(3615);
    EXPECT_TRUE(env->pump_until([&] { return env->log_has("scheduler_conf: " + schedule); })) << env->log();
    EXPECT_EQ(scheduler_is_started(g_scheduler), 1);
}

// A jump re-plans a device scheduler that was planned; one that its script filled but never
// started stays idle, and one without entries is left alone.
TEST_F(LeaderClock, AJumpReplansOnlyTheDeviceSchedulersThatWerePlanned) {
    Zone utc("UTC");
    device_ctx_t *filled = create_device_context("N1-2", "camera", nullptr, "LAN");
    device_ctx_t *started = create_device_context("N1-3", "switch", nullptr, "LAN");
    device_ctx_t *empty = create_device_context("N1-4", "switch", nullptr, "LAN");
    ASSERT_TRUE(filled && started && empty);
    for (device_ctx_t *ctx : {filled, started})
        ASSERT_EQ(scheduler_add_day_entry(ctx->scheduler_ctx, 1, "10:00", "on"), 0);
    ASSERT_EQ(scheduler_start(started->scheduler_ctx), 0);
    ASSERT_EQ(scheduler_is_started(started->scheduler_ctx), 1);

    start_at(1700000000);
    check_after(3615);
    EXPECT_EQ(jumps(), 1u);
    for (const char *id : {"N1-2", "N1-3", "N1-4"}) EXPECT_EQ(reloads(id), 1u) << id;
    EXPECT_EQ(scheduler_is_started(started->scheduler_ctx), 1);
    EXPECT_EQ(scheduler_is_started(filled->scheduler_ctx), 0);
    EXPECT_EQ(scheduler_is_started(empty->scheduler_ctx), 0);
}

}  // namespace
