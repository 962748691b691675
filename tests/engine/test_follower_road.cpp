// A camera follower's whole road through its leader gateway, in two network namespaces of the
// test's own (tests/engine/leader_follower.h): heard, registered with the application server,
// set up, driven and kept alive through the leader, deleted, and heard anew. Slow: the follower's
// Redis pair replicates the leader's, and the alive expiry takes 70 seconds.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/engine/leader_follower.h"
#include "tests/support/test_support.h"

using namespace brx_test;
using namespace leader_follower;
using namespace std::chrono_literals;

namespace {

const std::string kId = "42-2";

// A string member of a JSON object ("" when absent).
std::string member(const std::string &json, const char *name) {
    cJSON *root = cJSON_Parse(json.c_str());
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(root, name);
    std::string out = cJSON_IsString(item) ? item->valuestring : "";
    cJSON_Delete(root);
    return out;
}
const std::string kNotify = std::string("newdevice:LAN:") + kFollowerMac + ":notify";

// Unlike LeaderAndFollower, the camera is not registered yet: the leader (network id 42) learns
// of it from its PRESENT datagrams. Its Redis pair becomes a replica of the leader's once it is
// registered, as the platform makes it: a replica from the start would hand it the network id, and
// a device with a network id asks for the leader instead of announcing itself.
class FollowerRoad : public LeaderFollowerPair {
protected:
    void SetUp() override {
        make_pair();
        if (IsSkipped()) return;
        leader->state().set("LAN:networkid", "42");
        leader->state().set("deviceid", "1");
        leader->state().set("device:LAN:0200C0000201", "42-1");
        leader->state().set("device:42-1:meta:class", "gateway");
        leader->conf().set("driver:gateway:code", engine_test::recording_driver());
        leader->conf().set("driver:camera:code", engine_test::recording_driver());
        leader->write_lan_driver(read_file(source_path("conf/scripts/lan_default.lua")));
        leader->appserver().set_rules(R"({"POST /app/device": {"body": "{\"status\":\"SUCCESS\",\"token\":\"T-1\"}"}})");

        sub = std::make_unique<Subscriber>(leader->state(), std::vector<std::string>{"p:newdevice:*"});
        ASSERT_TRUE(leader->start());
        ASSERT_TRUE(leader->wait_log("Setup time checker")) << leader->log();
        ASSERT_TRUE(follower->start());
    }
    void TearDown() override {
        sub.reset();
        LeaderFollowerPair::TearDown();
    }
    std::vector<std::string> notices() { return payloads(*sub, kNotify); }
    // Requests the leader's server peer got for devices (the backup's left out).
    std::vector<LoggedRequest> device_requests() {
        std::vector<LoggedRequest> out;
        for (const LoggedRequest &r : leader->appserver().requests())
            if (r.target.find("/hm/") == std::string::npos) out.push_back(r);
        return out;
    }

    // From the first PRESENT to the follower set up through the leader, its driver's init done.
    void register_follower() {
        ASSERT_TRUE(wait_until([&] { return !notices().empty(); }, 60s)) << leader->log() << follower->log();
        const std::string record = notices()[0];
        EXPECT_EQ(member(record, "ipaddress"), kFollowerIp) << record;
        EXPECT_EQ(member(record, "class"), "camera") << record;
        EXPECT_EQ(member(record, "address"), kFollowerMac) << record;

        leader->state().command({"PUBLISH", std::string("newdevice:LAN:") + kFollowerMac + ":add",
                                 std::string("{\"name\":\"Porch\",\"domain\":\"LAN\",\"address\":\"") + kFollowerMac +
                                     "\",\"requestid\":\"R-1\",\"sessionid\":\"S-1\"}"});
        ASSERT_TRUE(leader_state_is(std::string("device:LAN:") + kFollowerMac, kId)) << leader->log();
        follower->state().command({"REPLICAOF", kLeaderIp, std::to_string(kLeaderPort)});
        follower->conf().command({"REPLICAOF", kLeaderIp, std::to_string(kLeaderPort + 1)});
        ASSERT_EQ(device_requests().size(), 1u);
        EXPECT_EQ(device_requests()[0].method, "POST");
        EXPECT_EQ(device_requests()[0].target, "/app/device");
        EXPECT_EQ(device_requests()[0].header("Cookie"), "JSESSIONID=S-1");
        EXPECT_EQ(leader->state().get("device:" + kId + ":driver:token"), "T-1");
        EXPECT_TRUE(wait_until([&] { return notices().back() == "{}"; }, 30s));

        // The IAMLEADER that follows sets it up: driver code from the leader's conf Redis, its init
        // writing into the leader's state Redis.
        const std::string elected = std::string("Leader elected: ") + kLeaderIp + ":" + std::to_string(kLeaderPort);
        ASSERT_TRUE(follower->wait_log(elected, 60s)) << follower->log();
        ASSERT_TRUE(follower->wait_log("got g_device_id: " + kId, 60s)) << follower->log();
        ASSERT_TRUE(leader_state_is("device:" + kId + ":state:ready", "yes")) << follower->log();
        ASSERT_TRUE(wait_until(
            [&] { return follower->state().get(std::string("device:LAN:") + kFollowerMac) == kId; }, 60s))
            << "the follower's Redis pair does not replicate the leader's";
    }

    std::unique_ptr<Subscriber> sub;
};

TEST_F(FollowerRoad, IsRegisteredDrivenKeptAliveAndDeletedThroughTheLeader) {
    register_follower();
    if (HasFatalFailure()) return;

    // Its alive datagrams put a "false" written on the leader right again.
    ASSERT_TRUE(leader_state_is("device:" + kId + ":state:online", "true")) << leader->log();
    leader->state().set("device:" + kId + ":state:online", "false");
    EXPECT_TRUE(leader_state_is("device:" + kId + ":state:online", "true", 20s)) << leader->log();

    leader->state().command({"PUBLISH", "device:" + kId + ":command", "{\"name\":\"on\"}"});
    EXPECT_TRUE(leader_state_is("device:" + kId + ":state:power", "on")) << follower->log();

    // Deleted on the leader: its keys go, the server is told, the follower forgets its network id
    // and announces itself anew.
    const size_t before = notices().size();
    leader->state().command({"PUBLISH", "device:" + kId + ":delete", "{\"id\":\"" + kId + "\",\"sessionid\":\"S-1\"}"});
    // The follower's driver clean-up, run when it learns of its deletion, may write its "cleaned"
    // mark after the leader deleted the keys: every other key goes.
    auto left = [&] {
        std::vector<std::string> keys;
        for (const Reply &k : leader->state().command({"KEYS", "device:" + kId + ":*"}).elements)
            if (k.str != "device:" + kId + ":state:cleaned") keys.push_back(k.str);
        return keys;
    };
    EXPECT_TRUE(wait_until([&] { return left().empty(); }, 30s)) << ::testing::PrintToString(left());
    EXPECT_FALSE(leader->state().get(std::string("device:LAN:") + kFollowerMac).has_value());
    EXPECT_TRUE(wait_until([&] { return device_requests().size() == 2; }, 30s)) << leader->log();
    if (device_requests().size() == 2) {
        EXPECT_EQ(device_requests()[1].method, "DELETE");
        EXPECT_EQ(device_requests()[1].header("Cookie"), "JSESSIONID=S-1");
    }
    ASSERT_TRUE(follower->wait_log("this_device_deleted has value", 30s)) << follower->log();
    EXPECT_TRUE(wait_until(
        [&] { return read_file(follower->local_db_path()).find("networkid") == std::string::npos; }, 10s))
        << read_file(follower->local_db_path());
    EXPECT_TRUE(wait_until([&] { return notices().size() > before && notices().back() != "{}"; }, 20s))
        << leader->log();
    EXPECT_TRUE(follower->running());
    EXPECT_TRUE(leader->running());
}

// Stopped, it goes "false" 70 seconds after its last sign of life; started again, it comes back
// with the network id it stored and is "true" again.
TEST_F(FollowerRoad, StoppedItGoesOfflineAndRestartedWithItsNetworkIdItComesBack) {
    register_follower();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(leader_state_is("device:" + kId + ":state:online", "true")) << leader->log();
    ASSERT_TRUE(wait_until([&] { return read_file(follower->local_db_path()).find("42") != std::string::npos; }, 10s))
        << read_file(follower->local_db_path());

    ASSERT_EQ(follower->stop(), 0) << follower->log();
    EXPECT_FALSE(leader_state_is("device:" + kId + ":state:online", "false", 60s));
    EXPECT_TRUE(leader_state_is("device:" + kId + ":state:online", "false", 30s)) << leader->log();

    const size_t records = notices().size();
    ASSERT_TRUE(follower->start());
    EXPECT_TRUE(leader_state_is("device:" + kId + ":state:online", "true")) << follower->log();
    // Registered and with its network id, it asked for the leader instead of announcing itself.
    EXPECT_EQ(notices().size(), records);
    EXPECT_FALSE(leader->state().get(kNotify).has_value());
}

}  // namespace
