// A follower across a restart of its leader's Redis (tests/engine/leader_follower.h). Slow: the
// follower subscribes again on its 15-second reconnect tick.
#include <gtest/gtest.h>

#include <string>

#include "tests/engine/leader_follower.h"

using namespace brx_test;
using namespace leader_follower;
using namespace std::chrono_literals;

namespace {

// The driver code changes while the leader's conf Redis is back but the follower has not yet
// subscribed again there: the watch made again reads the key again and loads the new code.
TEST_F(LeaderAndFollower, ADriverChangeMadeBeforeTheFollowerSubscribesAgainIsLoaded) {
    ASSERT_TRUE(leader_state_is("device:N1-2:state:ready", "yes")) << follower->log();
    // The leader engine would end with its local Redis; the follower needs only the leader's Redis.
    ASSERT_EQ(leader->stop(), 0) << leader->log();
    leader->conf().stop();
    leader->conf().start();
    leader->conf().set("driver:camera:code",
                       "local d = {}\n"
                       "function d.init(id) db.set('device:' .. id .. ':state:version', '2') end\n"
                       "return d\n");
    EXPECT_TRUE(leader_state_is("device:N1-2:state:version", "2")) << follower->log();
    EXPECT_TRUE(follower->wait_log("driver:camera:code changed while it was not watched", 1s)) << follower->log();
}

}  // namespace
