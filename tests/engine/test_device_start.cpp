// The start of a device that is not the gateway: its id and the network id are read from Redis
// before discovery starts, the network id falling back to the local JSON store. It broadcasts, so
// it runs in the test's own network namespace.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/support/netns.h"
#include "tests/support/engine_env.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

struct StartCase {
    const char *name;
    const char *redis_network_id;  // nullptr: no key
    const char *stored_network_id; // in the local JSON store; nullptr: none
    const char *logged;            // the network id the start settles on
    const char *discovery;         // how discovery starts
};

void PrintTo(const StartCase &c, std::ostream *os) { *os << c.name; }

class NonGatewayStart : public PrivateNetnsTest, public ::testing::WithParamInterface<StartCase> {};

TEST_P(NonGatewayStart, ReadsBothIdsBeforeDiscoveryStarts) {
    const StartCase &c = GetParam();
    EngineConfig cfg;
    cfg.type = "camera";
    cfg.mac = "0200C0000302";
    cfg.redis_port = 6400;
    EngineEnv env(cfg);
    env.state().set("device:LAN:0200C0000302", "N7-5");
    if (c.redis_network_id) env.state().set("LAN:networkid", c.redis_network_id);
    if (c.stored_network_id)
        write_file(env.local_db_path(), std::string("{\"networkid\":\"") + c.stored_network_id + "\"}");
    ASSERT_TRUE(env.start());

    ASSERT_TRUE(env.wait_log(std::string("callback: g_network_id: '") + c.logged + "'")) << env.log();
    std::string log = env.log();
    size_t ctx = log.find("Creating context id N7-5, type camera");
    size_t id = log.find("callback: this_device_id: N7-5");
    size_t net = log.find("callback: g_network_id:");
    ASSERT_NE(ctx, std::string::npos) << log;
    EXPECT_LT(ctx, id);
    EXPECT_LT(id, net);
    ASSERT_TRUE(env.wait_log(c.discovery)) << env.log();
    EXPECT_LT(net, env.log().find(c.discovery));
    // Neither the gateway's status nor its enable wait on another device.
    EXPECT_EQ(env.log().find("Enter wait for"), std::string::npos);
    EXPECT_FALSE(env.state().get("brixmoor:state").has_value());
    EXPECT_EQ(env.stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    NetworkIds, NonGatewayStart,
    ::testing::Values(StartCase{"from_redis", "N7", "N-old", "N7", "find_leader"},
                      StartCase{"from_the_local_store", nullptr, "N7", "N7", "find_leader"},
                      StartCase{"none_anywhere", nullptr, nullptr, "NULL", "device_present_start"}),
    [](const ::testing::TestParamInfo<StartCase> &i) { return std::string(i.param.name); });

}  // namespace
