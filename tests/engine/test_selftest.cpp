// A leader gateway as a black box: the self-test schedule settings from the gateway.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tests/engine/selftest_env.h"

using namespace brx_test;
using namespace selftest_test;
using namespace std::chrono_literals;

namespace {

// The schedule settings come from the gateway; each rule that cannot be planned is named.
TEST_F(Selftest, ScheduleSettingsFromTheGateway) {
    const char *definition = R"([{"active":true,"days":[1,3],"time":"2:30","period":-1},)"
                             R"({"active":false},)"
                             R"({"active":true,"time":"2:30"},)"
                             R"({"active":true,"days":[1],"time":""},)"
                             R"({"days":[1],"time":"1:00"},)"
                             R"({"active":true,"days":[2],"time":"3:15","period":"60"},)"
                             R"({"active":true,"days":[2],"time":"3:15","period":60},)"
                             R"({"active":0,"days":[4],"time":"4:00"}])";
    ASSERT_EQ(env.pcb_cli({"APService.HomeAutomation.BrixmoorSelfTestGlobalEnable=1"}), 0);
    ASSERT_EQ(env.pcb_cli({std::string("APService.HomeAutomation.BrixmoorSelfTestSchedule=") + definition}), 0);
    start();
    // Read at start into the mirror and the state keys.
    EXPECT_EQ(env.conf().get("KAVPCB:aphomeautomation:BrixmoorSelfTestGlobalEnable"), "1");
    EXPECT_EQ(env.conf().get("KAVPCB:aphomeautomation:BrixmoorSelfTestSchedule"), definition);
    EXPECT_EQ(env.state().get("selftest:schedule_active"), "1");
    EXPECT_EQ(env.state().get("selftest:schedule_definition"), definition);

    ASSERT_TRUE(env.wait_log("Scheduler is enabled")) << env.log();
    const char *warnings[] = {
        "Corrupted \"period\" key in rule 0",
        "Missing or corrupted \"day\" key in rule 2",
        "Missing \"time\" key in rule 3",
        "No \"active\" key in rule 4",
        "Corrupted \"period\" key in rule 5",
    };
    for (const char *w : warnings) EXPECT_TRUE(env.wait_log(w, 10s)) << w << "\n" << env.log();
    for (const char *quiet : {"rule 1", "rule 6", "rule 7"}) EXPECT_EQ(env.count_log(quiet), 0u) << quiet;
    // Planned: rule 6 in a window of 60 minutes, rule 7 with a fixed offset; nothing of the others.
    EXPECT_TRUE(env.wait_log("Received day: 2 & time: 0", 10s)) << env.log();
    EXPECT_TRUE(env.wait_log("(rand/period 60)", 10s)) << env.log();
    EXPECT_TRUE(env.wait_log("Received day: 4 & time: 04:", 10s)) << env.log();
    for (const char *unplanned : {"Received day: 1", "Received day: 3"}) EXPECT_EQ(env.count_log(unplanned), 0u);

    // Off through the gateway, then through the state key; an empty or broken definition.
    ASSERT_EQ(env.pcb_cli({"APService.HomeAutomation.BrixmoorSelfTestGlobalEnable=0"}), 0);
    ASSERT_TRUE(env.wait_log("Selftest global enable changed to 0")) << env.log();
    EXPECT_TRUE(env.wait_log("Scheduler is disabled")) << env.log();
    EXPECT_TRUE(wait_until([&] { return env.state().get("selftest:schedule_active") == "0"; }, 10s));
    size_t enabled = env.count_log("Scheduler is enabled");
    env.state().set("selftest:schedule_active", "yes");
    ASSERT_TRUE(env.wait_log_count("Scheduler is enabled", enabled + 1)) << env.log();
    env.state().set("selftest:schedule_definition", "");
    EXPECT_TRUE(env.wait_log("Empty scheduler config")) << env.log();
    ASSERT_EQ(env.pcb_cli({"APService.HomeAutomation.BrixmoorSelfTestSchedule=[{"}), 0);
    EXPECT_TRUE(env.wait_log("Selftest schedule changed to [{")) << env.log();
    EXPECT_TRUE(env.wait_log("Invalid scheduler config")) << env.log();
    env.state().set("selftest:schedule_active", "");
    EXPECT_TRUE(env.wait_log_count("Scheduler is disabled", 2)) << env.log();
}

// A rule of more than 7 x 8 days is named and skipped; a definition past 1 MiB is refused whole
// (no tree is made of it) and nothing is planned, though it would be valid JSON.
TEST_F(Selftest, OversizedDefinitionsAreNotPlanned) {
    std::string days57;
    for (int i = 0; i < 57; i++) days57 += std::string(i ? "," : "") + "1";
    const std::string definition =
        R"([{"active":true,"days":[)" + days57 + R"(],"time":"1:00"},{"active":true,"days":[5],"time":"5:00"}])";
    ASSERT_EQ(env.pcb_cli({"APService.HomeAutomation.BrixmoorSelfTestGlobalEnable=1"}), 0);
    ASSERT_EQ(env.pcb_cli({"APService.HomeAutomation.BrixmoorSelfTestSchedule=" + definition}), 0);
    start();
    ASSERT_TRUE(env.wait_log("Missing or corrupted \"day\" key in rule 0")) << env.log();
    EXPECT_TRUE(env.wait_log("Received day: 5 & time: 05:", 10s)) << env.log();
    EXPECT_EQ(env.count_log("Received day: 1"), 0u);

    const size_t planned = env.count_log("Received day: 5 & time: 05:");
    std::string padded = definition;
    padded.insert(1, 1024 * 1024, ' ');
    env.state().set("selftest:schedule_definition", padded);
    ASSERT_TRUE(env.wait_log("Invalid scheduler config")) << env.log().substr(0, 20000);
    env.state().set("selftest:schedule_active", "yes");
    ASSERT_TRUE(env.wait_log_count("Invalid scheduler config", 2)) << env.log().substr(0, 20000);
    EXPECT_EQ(env.count_log("Received day: 5 & time: 05:"), planned);
}

}  // namespace
