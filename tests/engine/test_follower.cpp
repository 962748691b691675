// A follower camera working against its leader gateway's Redis (tests/engine/leader_follower.h).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/engine/leader_follower.h"

using namespace brx_test;
using namespace leader_follower;
using namespace std::chrono_literals;

namespace {

TEST_F(LeaderAndFollower, TheFollowerLoadsItsDriverFromTheLeaderAndServesCommandsThroughIt) {
    std::string elected = std::string("Leader elected: ") + kLeaderIp + ":" + std::to_string(kLeaderPort);
    ASSERT_TRUE(follower->wait_log(elected, 60s)) << follower->log();
    // The driver code comes from the leader's conf Redis; its writes land in the leader's state Redis.
    ASSERT_TRUE(leader_state_is("device:N1-2:state:ready", "yes")) << follower->log();
    leader->state().command({"PUBLISH", "device:N1-2:command", "{\"name\":\"on\"}"});
    EXPECT_TRUE(leader_state_is("device:N1-2:state:power", "on")) << follower->log();
    // The follower's alive datagrams reach the leader.
    EXPECT_TRUE(leader_state_is("device:N1-2:state:online", "true")) << leader->log();
    EXPECT_EQ(follower->stop(), 0) << follower->log();
    EXPECT_EQ(leader->stop(), 0) << leader->log();
}

TEST_F(LeaderAndFollower, RepeatedLeaderAnnouncementsSetTheFollowerUpAgainWithoutStacking) {
    ASSERT_TRUE(leader_state_is("device:N1-2:state:ready", "yes")) << follower->log();
    ASSERT_TRUE(wait_until([&] { return numsub(leader->state(), "device:N1-2:command") == 1; }, 30s));
    size_t state_clients = follower_clients(leader->state());
    size_t conf_clients = follower_clients(leader->conf());
    size_t before = inits();

    // A presence burst makes the leader answer several times.
    UdpSocket sock(kLeaderIp, 0);
    ASSERT_TRUE(sock.ok());
    std::string iamleader = std::string("{\"packet_type\":2,\"network_id\":\"N1\",\"device_id\":\"N1-1\",\"leader_ip\":\"") +
                            kLeaderIp + "\",\"leader_redis_port\":" + std::to_string(kLeaderPort) + "}";
    size_t setups = follower->count_log("got g_device_id: N1-2");
    for (int i = 0; i < 3; i++) ASSERT_TRUE(sock.send_to(kFollowerIp, 4002, iamleader));
    // Each announcement runs the set-up again, which reloads the driver.
    ASSERT_TRUE(follower->wait_log_count("got g_device_id: N1-2", setups + 3, 60s)) << follower->log();
    ASSERT_TRUE(wait_until([&] { return inits() > before; }, 60s)) << follower->log();

    auto settles_at_one = [&](RedisServer &r, const std::string &channel) {
        return wait_until([&] { return numsub(r, channel) == 1; }, 30s);
    };
    EXPECT_TRUE(settles_at_one(leader->state(), "device:N1-2:command"));
    EXPECT_TRUE(settles_at_one(leader->state(), "device:N1-2:delete"));
    EXPECT_TRUE(settles_at_one(leader->conf(), "__keyspace@0__:driver:camera:code"));
    EXPECT_EQ(follower_clients(leader->state()), state_clients);
    EXPECT_EQ(follower_clients(leader->conf()), conf_clients);

    // One message, one call: a duplicate of the first would arrive before the second.
    leader->state().command({"PUBLISH", "device:N1-2:command", "{\"name\":\"c1\"}"});
    leader->state().command({"PUBLISH", "device:N1-2:command", "{\"name\":\"c2\"}"});
    ASSERT_TRUE(wait_until([&] { return payloads(*calls, "test:driver:calls").size() >= 2; }, 60s)) << follower->log();
    EXPECT_EQ(payloads(*calls, "test:driver:calls"), (std::vector<std::string>{"N1-2:c1", "N1-2:c2"}));
}

}  // namespace
