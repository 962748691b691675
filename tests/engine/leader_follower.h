#ifndef BRX_TESTS_ENGINE_LEADER_FOLLOWER_H
#define BRX_TESTS_ENGINE_LEADER_FOLLOWER_H

// A leader gateway and a follower camera in two network namespaces of the test's own, joined by
// a veth pair; the follower's Redis pair replicates the leader's. The follower finds the leader by
// discovery and works against the leader's Redis from then on.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/netns.h"
#include "tests/engine/engine_scripts.h"
#include "tests/support/engine_env.h"
#include "tests/support/redis_server.h"

namespace leader_follower {

using namespace brx_test;
using namespace std::chrono_literals;

inline const char kLeaderIp[] = "192.0.2.1";
inline const char kFollowerIp[] = "192.0.2.2";
inline const int kLeaderPort = 6400;
// The follower's own port differs: it must use the one the leader announces.
inline const int kFollowerPort = 6410;
inline const char kFollowerMac[] = "0200C0000302";

// Connections that the follower holds open to this Redis.
inline size_t follower_clients(RedisServer &r) {
    std::string list = r.command({"CLIENT", "LIST"}).str;
    std::string addr = std::string("addr=") + kFollowerIp + ":";
    size_t n = 0;
    for (size_t pos = list.find(addr); pos != std::string::npos; pos = list.find(addr, pos + 1)) n++;
    return n;
}

// The leader gateway's and the follower camera's configurations, each in its namespace.
inline EngineConfig leader_config() {
    EngineConfig c;
    c.ipv4 = kLeaderIp;
    c.redis_port = kLeaderPort;
    c.redis_bind = std::string(kLeaderIp) + " 127.0.0.1";
    return c;
}
inline EngineConfig follower_config(pid_t netns_pid) {
    EngineConfig c;
    c.type = "camera";
    c.mac = kFollowerMac;
    c.ipv4 = kFollowerIp;
    c.redis_port = kFollowerPort;
    c.netns_pid = netns_pid;
    return c;
}

// The two namespaces and the two engines' environments; each fixture seeds and starts them.
class LeaderFollowerPair : public PrivateNetnsTest {
protected:
    // Makes the namespaces and both environments; the test is skipped when it cannot.
    void make_pair() {
        PrivateNetnsTest::SetUp();
        if (IsSkipped()) return;
        peer = std::make_unique<PeerNamespace>(kLeaderIp, kFollowerIp);
        if (!peer->error().empty()) GTEST_SKIP() << peer->error();
        leader = std::make_unique<EngineEnv>(leader_config());
        follower = std::make_unique<EngineEnv>(follower_config(peer->pid()));
    }
    void TearDown() override {
        follower.reset();
        leader.reset();
        peer.reset();
    }
    bool leader_state_is(const std::string &key, const std::string &value, std::chrono::milliseconds t = 60s) {
        return wait_until([&] { return leader->state().get(key) == value; }, t);
    }

    std::unique_ptr<PeerNamespace> peer;
    std::unique_ptr<EngineEnv> leader;
    std::unique_ptr<EngineEnv> follower;
};

class LeaderAndFollower : public LeaderFollowerPair {
protected:
    void SetUp() override {
        make_pair();
        if (IsSkipped()) return;
        leader->state().set("LAN:networkid", "N1");
        leader->state().set("device:LAN:0200C0000201", "N1-1");
        leader->state().set(std::string("device:LAN:") + kFollowerMac, "N1-2");
        // Registered: the leader tracks the alive datagrams of registered devices only.
        leader->state().set("device:N1-2:domain", "LAN");
        leader->state().set("device:N1-2:meta:class", "camera");
        leader->conf().set("driver:gateway:code", engine_test::recording_driver());
        leader->conf().set("driver:camera:code", engine_test::recording_driver());

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
        ASSERT_TRUE(leader->wait_log(engine_test::leader_ready())) << leader->log();
        calls = std::make_unique<Subscriber>(leader->state(),
                                             std::vector<std::string>{"test:driver:calls", "test:driver:init"});
        ASSERT_TRUE(follower->start());
    }
    void TearDown() override {
        calls.reset();
        LeaderFollowerPair::TearDown();
    }
    size_t inits() { return payloads(*calls, "test:driver:init").size(); }

    std::unique_ptr<Subscriber> calls;
};

}  // namespace leader_follower

#endif
