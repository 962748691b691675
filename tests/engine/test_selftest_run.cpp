// A leader gateway as a black box: a self-test run on request and the drivers' reports of its
// 30-second window.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <time.h>

#include <chrono>
#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "tests/engine/selftest_env.h"

using namespace brx_test;
using namespace selftest_test;
using namespace std::chrono_literals;

namespace {

// "YYYY-MM-DDTHH:MM:SSZ"
bool is_time(const cJSON *obj) {
    const char *t = cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(obj, "time"));
    const std::string shape = "dddd-dd-ddTdd:dd:ddZ";
    if (!t || strlen(t) != shape.size()) return false;
    for (size_t i = 0; i < shape.size(); i++)
        if (shape[i] == 'd' ? !isdigit((unsigned char)t[i]) : t[i] != shape[i]) return false;
    return true;
}

// Seconds of the day at which the first log line containing text was written; -1 when none.
double logged_at(const std::string &log, const std::string &text) {
    size_t at = log.find(text);
    if (at == std::string::npos) return -1;
    size_t line = log.rfind('\n', at);
    line = line == std::string::npos ? 0 : line + 1;
    int h = 0, m = 0;
    double sec = 0;
    if (sscanf(log.c_str() + line, "%*d-%*d-%*d %d:%d:%lf", &h, &m, &sec) != 3) return -1;
    return h * 3600 + m * 60 + sec;
}

TEST_F(Selftest, ARunCollectsTheReportsOfItsWindow) {
    start();
    EXPECT_EQ(param(kEnable), "0");

    publish("selftest:run", "x");
    ASSERT_TRUE(env.wait_log("Selftest started")) << env.log();
    EXPECT_TRUE(wait_until([&] { return param(kEnable) == "1"; }, 10s));
    ASSERT_TRUE(env.wait_log("Received selftest report: N1-1 {}")) << env.log();
    EXPECT_TRUE(env.wait_log("Cannot execute selftest for device N1-2 - driver not loaded")) << env.log();
    publish("selftest:store_report", "from outside");
    publish("selftest:run", "again");
    publish("selftest:bogus", "");
    ASSERT_TRUE(env.wait_log("Unknown command bogus for selftest")) << env.log();
    EXPECT_EQ(env.count_log("Selftest in progress - cannot start another one"), 1u) << env.log();

    ASSERT_TRUE(env.wait_log("Selftest stopped", 45s)) << env.log();
    double window = logged_at(env.log(), "Selftest stopped") - logged_at(env.log(), "Selftest started");
    if (window < 0) window += 24 * 3600;
    EXPECT_NEAR(window, 30.0, 0.5);
    EXPECT_TRUE(wait_until([&] { return param(kEnable) == "0"; }, 10s));
    ASSERT_TRUE(wait_until([&] { return env.state().get("selftest:results").has_value(); }, 10s));
    std::string results = *env.state().get("selftest:results");
    EXPECT_EQ(param(kResults), results);
    EXPECT_NE(results.find("\n\t\"reports\":\t["), std::string::npos) << results;  // formatted

    cJSON *doc = cJSON_Parse(results.c_str());
    ASSERT_NE(doc, nullptr) << results;
    EXPECT_TRUE(is_time(doc)) << results;
    const cJSON *reports = cJSON_GetObjectItemCaseSensitive(doc, "reports");
    ASSERT_EQ(cJSON_GetArraySize(reports), 2) << results;
    const char *expected[] = {"N1-1 {}", "from outside"};
    for (int i = 0; i < 2; i++) {
        const cJSON *r = cJSON_GetArrayItem(reports, i);
        EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(r, "report")), expected[i]);
        EXPECT_TRUE(is_time(r)) << results;
    }
    cJSON_Delete(doc);

    // A report after the window stays out of what was written.
    publish("selftest:store_report", "late");
    ASSERT_TRUE(env.wait_log("Received selftest report: late")) << env.log();
    EXPECT_EQ(env.state().get("selftest:results"), results);
    EXPECT_EQ(param(kResults), results);

    // The gateway asks for a run; the run's own "1" that comes back starts nothing more.
    ASSERT_EQ(env.pcb_cli({std::string(kEnable) + "=1"}), 0);
    ASSERT_TRUE(env.wait_log_count("Selftest started", 2)) << env.log();
    ASSERT_TRUE(env.wait_log_count("Received selftest report: N1-1 {}", 2)) << env.log();
    EXPECT_EQ(env.count_log("Selftest in progress - cannot start another one"), 1u) << env.log();
    EXPECT_EQ(env.stop(), 0);
}

// A rule of the gateway's schedule with a window of 0 minutes starts a run at its minute.
TEST_F(Selftest, AScheduledRuleStartsARun) {
    time_t target = time(nullptr) + 60;
    struct tm tm;
    localtime_r(&target, &tm);
    if (tm.tm_sec > 45) {
        target += 60;
        localtime_r(&target, &tm);
    }
    std::string rule = "[{\"active\":true,\"days\":[" + std::to_string(tm.tm_wday) + "],\"time\":\"" +
                       std::to_string(tm.tm_hour) + ":" + std::to_string(tm.tm_min) + "\",\"period\":0}]";
    ASSERT_EQ(env.pcb_cli({"APService.HomeAutomation.BrixmoorSelfTestGlobalEnable=1"}), 0);
    ASSERT_EQ(env.pcb_cli({"APService.HomeAutomation.BrixmoorSelfTestSchedule=" + rule}), 0);
    start();
    ASSERT_TRUE(env.wait_log("Scheduler is enabled")) << env.log();
    EXPECT_EQ(env.count_log("Selftest started"), 0u);
    ASSERT_TRUE(env.wait_log("Selftest started", 150s)) << rule << "\n" << env.log();
    EXPECT_GE(time(nullptr), target - (target % 60) - 1);  // not before its minute
    EXPECT_TRUE(env.wait_log("Received selftest report: N1-1 {}")) << env.log();
    EXPECT_EQ(env.count_log("Selftest started"), 1u) << env.log();
    EXPECT_EQ(env.stop(), 0);
}

}  // namespace
