// The heap limit a script sets on its own state, through the daemon's -l mode under the sanitizers.
#include <gtest/gtest.h>

#include <string>

#include "tests/scripts/script_env.h"
#include "tests/support/redis_server.h"
#include "tests/support/test_support.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

class MemLimit : public ::testing::Test, public LoadFileEnv {};

TEST_F(MemLimit, CollectgarbageSetsReadsAndHoldsTheLimit) {
    // Results and round-up, growth refused inside pcall, churn with 64 KB of room, the blocked collector.
    ProcResult r = run_process(argv(fixture_path("l_memlimit.lua")), 60s);
    EXPECT_FALSE(r.timed_out) << r.out;
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find("FAILED"), std::string::npos) << r.out;
    EXPECT_EQ(r.err.find("PANIC"), std::string::npos) << r.err;
}

TEST_F(MemLimit, AMessageLargerThanTheRoomIsRefusedAndTheStateLivesOn) {
    Process p(argv(fixture_path("l_memlimit_publish.lua")));
    ASSERT_TRUE(wait_until(
        [&] {
            return redis->state.get("lmem:ready").has_value() &&
                   redis->state.command({"PUBSUB", "NUMSUB", "lmem:big"}).elements[1].integer == 1;
        },
        20s))
        << p.out();
    redis->state.command({"PUBLISH", "lmem:big", std::string(200 * 1024, 'b')});
    ASSERT_TRUE(wait_until([&] { return p.count_output("db_subscribe_callback failed with error not enough memory") > 0; },
                           20s))
        << p.out();
    redis->state.command({"PUBLISH", "lmem:big", "done"});
    EXPECT_EQ(p.wait(20s), 0) << p.out();
    EXPECT_FALSE(redis->state.get("lmem:got").has_value());
}

}  // namespace
