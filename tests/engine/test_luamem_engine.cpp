// The memory profiler in the whole daemon: a "LAN" default driver that keeps growing is rebuilt at
// its limit, and the gateway's summary counts the reloads.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "tests/support/engine_env.h"
#include "tests/support/redis_server.h"
#include "tests/support/test_support.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

const char kGatewayMac[] = "0200C0000201";

// Every message on "lan:grow" keeps 20 KB more (a string of its own); init says so each time it runs.
const char kGrowingLanDriver[] =
    "local d = {}\n"
    "local kept = {}\n"
    "function d.init(mac, ip)\n"
    "  log.info('growing LAN driver init')\n"
    "  db.subscribe('lan:grow', function(msg) kept[#kept + 1] = string.rep(msg, 20000) .. #kept end)\n"
    "end\n"
    "function d.add(request) end\n"
    "function d.delete(request) end\n"
    "function d.command(command) end\n"
    "function d.get_version() return '1.0.0' end\n"
    "function d.cleanup() end\n"
    "return d\n";

TEST(ProfilerEngine, AGrowingLanDefaultDriverIsRebuiltAndTheReloadsAreCounted) {
    EngineEnv env;
    // The profiler on, with a limit for the "LAN" default driver.
    ASSERT_EQ(env.pcb_cli({"APService.HomeAutomation.BrixmoorMemoryProfilerEnable=1"}), 0);
    ASSERT_EQ(env.pcb_cli({R"(APService.HomeAutomation.BrixmoorMemoryProfilerConfig={"limits":[{"driver":"luamem:limit:LAN","limit":"300000"}]})"}),
              0);
    env.write_lan_driver(kGrowingLanDriver);
    env.state().set("LAN:networkid", "N1");
    env.state().set(std::string("device:LAN:") + kGatewayMac, "N1-1");
    adopt_haid(env.state(), env.conf());
    ASSERT_TRUE(env.start());
    ASSERT_TRUE(env.wait_log("Limit set: luamem:limit:LAN = 300000")) << env.log();
    ASSERT_TRUE(env.wait_log("growing LAN driver init")) << env.log();

    // 20 KB a message: the limit is reached within some 15 messages, twice within 40.
    for (int i = 0; i < 40 && env.count_log("growing LAN driver init") < 3; i++) {
        ASSERT_TRUE(wait_until([&] { return numsub(env.state(), "lan:grow") == 1; }, 20s)) << env.log();
        env.state().command({"PUBLISH", "lan:grow", "x"});
        std::this_thread::sleep_for(50ms);  // pacing: one message per callback
    }
    ASSERT_TRUE(env.wait_log_count("growing LAN driver init", 3, 20s)) << env.log();
    EXPECT_GE(env.count_log("luamem_replace old L="), 2u);

    const std::string summary = env.param("APService.HomeAutomation.BrixmoorMemoryProfilerSummary");
    ASSERT_NE(summary, "<unreadable>");
    EXPECT_NE(summary.find("\"driver\":\t\"luamem:limit:LAN\""), std::string::npos) << summary;
    EXPECT_NE(summary.find("\"reloads\":\t2"), std::string::npos) << summary;

    ASSERT_TRUE(wait_until([&] { return env.state().command({"PUBSUB", "NUMPAT"}).integer >= 2; }, 20s));
    env.state().command({"PUBLISH", "luamem:print", "s"});
    ASSERT_TRUE(env.wait_log("LUA memory usage per context (in BYTES) with setting s")) << env.log();
    ASSERT_TRUE(wait_until([&] { return env.count_log(", LAN default, ") >= 1; }, 10s)) << env.log();
    EXPECT_EQ(env.count_log(", LAN default, "), 1u) << env.log();
    EXPECT_EQ(env.stop(), 0);
}

}  // namespace
