// A running leader whose wall clock jumps an hour (faketime moves only the daemon's wall clock;
// its timers stay on the monotonic clock): the next clock check sees the jump and re-plans, the
// one after it is quiet again.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <thread>

#include "tests/engine/engine_scripts.h"
#include "tests/engine/faked_clock.h"
#include "tests/support/engine_env.h"
#include "tests/support/test_support.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

const char kJump[] = "Time was probably changed (diff ";

TEST(ClockJump, AnHourForwardIsSeenByTheNextCheckAndReplansTheSchedules) {
    const std::string lib = engine_test::faketime_library();
    if (lib.empty()) GTEST_SKIP() << "faketime is not installed";
    engine_test::FakedClock clock;
    EngineConfig config;
    config.daemon_env = clock.daemon_env(lib);
    EngineEnv env(config);
    env.state().set("LAN:networkid", "N1");
    env.state().set("device:LAN:0200C0000201", "N1-1");
    env.state().set("device:N1-1:domain", "LAN");
    env.conf().set("driver:gateway:code", engine_test::recording_driver());
    ASSERT_TRUE(env.start());
    ASSERT_TRUE(env.wait_log("Setup time checker")) << env.log();
    EXPECT_EQ(env.count_log(kJump), 0u);

    clock.set_offset(3600);
    ASSERT_TRUE(env.wait_log(kJump, 40s)) << env.log();
    const std::string log = env.log();
    const size_t at = log.find(kJump);
    const int diff = atoi(log.c_str() + at + sizeof kJump - 1);
    // An hour and at most one period of the check.
    EXPECT_GT(diff, 3600) << log.substr(at, 80);
    EXPECT_LE(diff, 3600 + 17) << log.substr(at, 80);
    EXPECT_TRUE(env.wait_log("reload_device_ctx_scheduler for device N1-1", 5s)) << env.log();
    // The schedule read again (there is none): once at the start, once after the jump.
    EXPECT_TRUE(env.wait_log_count("scheduler_conf is NULL", 2, 5s)) << env.log();

    // The next check measures from the jumped clock: nothing more.
    std::this_thread::sleep_for(17s);
    EXPECT_EQ(env.count_log(kJump), 1u) << env.log();
    EXPECT_TRUE(env.running());
    EXPECT_EQ(env.stop(), 0);
}

}  // namespace
