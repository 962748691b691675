// A leader gateway and a follower camera in two network namespaces of the test's own, joined by
// a veth pair; the follower's Redis pair replicates the leader's. The follower finds the leader by
// discovery and works against the leader's Redis from then on.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/discovery/lan_support.h"
#include "tests/engine/engine_scripts.h"
#include "tests/support/engine_env.h"
#include "tests/support/redis_server.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

const char kLeaderIp[] = "192.0.2.1";
const char kFollowerIp[] = "192.0.2.2";
const int kLeaderPort = 6400;
// The follower's own port differs: it must use the one the leader announces.
const int kFollowerPort = 6410;
const char kFollowerMac[] = "0200C0000302";

// Connections that the follower holds open to this Redis.
size_t follower_clients(RedisServer &r) {
    std::string list = r.command({"CLIENT", "LIST"}).str;
    std::string addr = std::string("addr=") + kFollowerIp + ":";
    size_t n = 0;
    for (size_t pos = list.find(addr); pos != std::string::npos; pos = list.find(addr, pos + 1)) n++;
    return n;
}

class LeaderAndFollower : public PrivateNetnsTest {
protected:
    void SetUp() override {
        PrivateNetnsTest::SetUp();
        if (IsSkipped()) return;
        peer = std::make_unique<PeerNamespace>(kLeaderIp, kFollowerIp);
        if (!peer->error().empty()) GTEST_SKIP() << peer->error();

        EngineConfig lc;
        lc.ipv4 = kLeaderIp;
        lc.redis_port = kLeaderPort;
        lc.redis_bind = std::string(kLeaderIp) + " 127.0.0.1";
        leader = std::make_unique<EngineEnv>(lc);
        leader->state().set("LAN:networkid", "N1");
        leader->state().set("device:LAN:0200C0000201", "N1-1");
        leader->state().set(std::string("device:LAN:") + kFollowerMac, "N1-2");
        leader->conf().set("driver:gateway:code", engine_test::recording_driver());
        leader->conf().set("driver:camera:code", engine_test::recording_driver());

        EngineConfig fc;
        fc.type = "camera";
        fc.mac = kFollowerMac;
        fc.ipv4 = kFollowerIp;
        fc.redis_port = kFollowerPort;
        fc.netns_pid = peer->pid();
        follower = std::make_unique<EngineEnv>(fc);
        follower->state().command({"REPLICAOF", kLeaderIp, std::to_string(kLeaderPort)});
        follower->conf().command({"REPLICAOF", kLeaderIp, std::to_string(kLeaderPort + 1)});
        ASSERT_TRUE(wait_until(
            [&] {
                return follower->state().get(std::string("device:LAN:") + kFollowerMac) == "N1-2" &&
                       follower->conf().get("driver:camera:code").has_value();
            },
            60s))
            << "the follower's Redis pair does not replicate the leader's";

        ASSERT_TRUE(leader->start());
        ASSERT_TRUE(leader->wait_log("Cannot init db_persist or persist disabled")) << leader->log();
        calls = std::make_unique<Subscriber>(leader->state(),
                                             std::vector<std::string>{"test:driver:calls", "test:driver:init"});
        ASSERT_TRUE(follower->start());
    }
    void TearDown() override {
        calls.reset();
        follower.reset();
        leader.reset();
        peer.reset();
    }
    bool leader_state_is(const std::string &key, const std::string &value) {
        return wait_until([&] { return leader->state().get(key) == value; }, 60s);
    }
    size_t inits() { return payloads(*calls, "test:driver:init").size(); }

    std::unique_ptr<PeerNamespace> peer;
    std::unique_ptr<EngineEnv> leader;
    std::unique_ptr<EngineEnv> follower;
    std::unique_ptr<Subscriber> calls;
};

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
