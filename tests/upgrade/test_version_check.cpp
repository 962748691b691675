// The version check in the test process: a real Redis pair (a gateway's), a real loop, the bus
// stand-in naming the application-server peer.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>

#include <chrono>
#include <string>
#include <vector>

#include "src/device_cfg.h"
#include "src/upgrade.h"
#include "tests/scripts/script_env.h"
#include "tests/support/appserver_peer.h"
#include "tests/support/bus_standin.h"
#include "tests/support/redis_server.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

struct DelayCase {
    int hour, minute, draw6, draw60, configured;
    long long minutes;
};

TEST(UpgradeDelay, DailyPlanAndConfiguredMinutes) {
    const DelayCase cases[] = {
        {23, 40, 0, 0, 0, 60},                        // 00:40: the minutes past the hour are not subtracted
        {0, 0, 0, 0, 0, 24 * 60},                     // just after midnight: the next night
        {12, 30, 5, 59, 0, (12 + 5) * 60 + 59},       // the latest of the night
        {12, 30, 6 + 2, 60 + 7, 0, (12 + 2) * 60 + 7}, // draws are taken modulo 6 and 60
        {3, 0, 0, 0, 30, 30},                         // configured: that many minutes
        {23, 40, 0, 0, -5, 60},                       // negative: the daily plan
        {3, 0, 0, 0, INT_MAX, INT_MAX},
    };
    for (const auto &c : cases) {
        upgrade_delay_t d = upgrade_next_delay(c.hour, c.minute, c.draw6, c.draw60, c.configured);
        EXPECT_EQ(d.minutes, c.minutes) << c.hour << ":" << c.minute << " cfg " << c.configured;
        EXPECT_EQ(d.daily, c.configured <= 0);
    }
    // The timer gets seconds: far beyond what an int holds.
    EXPECT_EQ(upgrade_next_delay(0, 0, 0, 0, INT_MAX).minutes * 60, 60LL * INT_MAX);
}

class VersionCheck : public ::testing::Test {
protected:
    void SetUp() override {
        bus.start();
        bus.use_in_this_process();
        ASSERT_EQ(bus.cli({"APService.HomeAutomation.ApplicationServer=" + peer.url("/app")}), 0);
        upgrade_setup_redis_instance(env.ri_conf, env.ri_state);
        cfg_set_mac_str("0200C0000201");
    }
    void TearDown() override { global_upgrade_cleanup(); }

    void reply(int code, const char *body) {
        global_upgrade_conf_received(code, nullptr, body, body ? strlen(body) : 0, nullptr);
    }
    std::string get(const std::string &key) { return env.state().get(key).value_or("(none)"); }
    size_t schedules() { return env.log_count("schedule_next_version_check - delay from cfg"); }
    // A registered device of a kind, at a version.
    void device(const std::string &id, const std::string &kind, const std::string &version) {
        env.state().set("device:" + id + ":meta:version", version);
        env.state().set("device:" + id + ":meta:classname:" + kind, "x");
    }
    void init() {
        global_upgrade_init(env.base);
        ASSERT_EQ(db_wait_subscribed(env.ri_state), 0);
    }

    ScriptEnv env{true};
    TempDir bus_dir;
    BusStandin bus{bus_dir.path()};
    AppServerPeer peer;
};

const char kA[] = R"({"class":"light","model":"M1","vendor":"Acme","domain":"ZB","version":"3","url":"a.bin","signature":"s","md5":"m"})";
const char kC[] = R"({"class":"cam","model":"C1","vendor":"Acme","domain":"LAN","version":"5"})";

struct ReplyCase {
    const char *name;
    int code;
    std::string body;
    const char *warn;
    bool rescheduled;
    std::vector<std::string> stored;  // kinds with both keys
};

TEST_F(VersionCheck, RepliesAreStoredUpToTheFirstIncompleteElement) {
    const ReplyCase cases[] = {
        {"a_then_b_without_vendor_then_c", 200,
         std::string(R"({"status":"SUCCESS","versions":[)") + kA +
             R"(,{"class":"x","model":"y","domain":"z","version":"1"},)" + kC + "]}",
         "No vendor element or vendor element failed", false, {"light:ZB:Acme:M1"}},
        {"element_not_an_object", 200, std::string(R"({"status":"SUCCESS","versions":[7,)") + kC + "]}",
         "No class element or class element failed", false, {}},
        {"version_not_text", 200,
         R"({"status":"SUCCESS","versions":[{"class":"a","model":"b","vendor":"c","domain":"d","version":2}]})",
         "No version element or version element failed", false, {}},
        {"not_success", 200, R"({"status":"FAILED","versions":[]})",
         R"(Got success failure from server (body {"status":"FAILED","versions":[]}))", true, {}},
        {"not_json", 200, "<html>", "Error in parsing body JSON from server", true, {}},
        {"no_versions", 200, R"({"status":"SUCCESS"})", "Error in parsing versions JSON from server", true, {}},
        {"server_error", 500, R"({"status":"SUCCESS","versions":[]})", "No or invalid response from server", true,
         {}},
        {"no_body", 200, "", "No or invalid response from server", true, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        env.state().command({"FLUSHALL"});
        const size_t warns = env.log_count(c.warn), before = schedules();
        reply(c.code, c.body.empty() ? nullptr : c.body.c_str());
        EXPECT_EQ(env.log_count(c.warn), warns + 1) << env.log();
        EXPECT_EQ(schedules(), before + (c.rescheduled ? 1 : 0));
        Reply keys = env.state().command({"KEYS", "upgrade:device:*"});
        EXPECT_EQ(keys.elements.size(), 2 * c.stored.size());
        for (const auto &kind : c.stored) {
            EXPECT_EQ(get("upgrade:device:" + kind + ":conf"), kA);
            EXPECT_EQ(get("upgrade:device:" + kind + ":version"), "3");
        }
    }
}

struct CompareCase {
    const char *current, *offered, *automatic;
    const char *state;  // "(none)": not written
};

TEST_F(VersionCheck, OnlyALeadingIntegerBelowTheOfferMarksTheDevice) {
    const CompareCase cases[] = {
        {"2", "10", nullptr, "start"},   {"1.9", "1.10", nullptr, "(none)"}, {"10", "2", nullptr, "(none)"},
        {"3", "3.5", nullptr, "(none)"}, {"beta", "1", nullptr, "start"},    {"2", "10", "off", "available"},
        {"2", "10", "OFF", "start"},     {"2", "10", "", "start"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.current) + " -> " + c.offered + " auto " + (c.automatic ? c.automatic : "unset"));
        env.state().command({"FLUSHALL"});
        if (c.automatic) env.state().set("conf:upgrade:auto", c.automatic);
        global_upgrade_device_notify(c.current, c.offered, "N1-4");
        EXPECT_EQ(get("device:N1-4:state:upgrade"), c.state);
    }
    global_upgrade_device_notify(nullptr, "2", "N1-4");
    EXPECT_EQ(env.log_count("global_upgrade_device_notify param(s) null"), 1u);
}

// Offers reach exactly the devices of their kind: stored ones at the start, new ones when stored,
// and devices registered later at their registration. Glob characters in a server's kind match
// only themselves.
TEST_F(VersionCheck, AnOfferMarksTheDevicesOfItsKindAndNoOther) {
    env.state().set("upgrade:device:light:ZB:Acme:M1:version", "3");
    device("N1-2", "light:ZB:Acme:M1", "2");
    device("N1-3", "light:ZB:Acme:M2", "1");
    device("N1-4", "light:ZB:Acme:M1", "3");
    init();
    EXPECT_EQ(get("device:N1-2:state:upgrade"), "start");
    EXPECT_EQ(get("device:N1-3:state:upgrade"), "(none)");
    EXPECT_EQ(get("device:N1-4:state:upgrade"), "(none)");

    // A server kind "M*" would match every model as a pattern.
    device("N1-5", "light:ZB:Acme:M*", "1");
    reply(200, R"({"status":"SUCCESS","versions":[{"class":"light","model":"M*","vendor":"Acme","domain":"ZB","version":"2"}]})");
    ASSERT_TRUE(env.pump_until([&] { return get("device:N1-5:state:upgrade") == "start"; })) << env.log();
    env.pump(100ms);
    EXPECT_EQ(get("device:N1-3:state:upgrade"), "(none)");

    // Registered after the offer: compared at registration.
    device("N1-6", "light:ZB:Acme:M1", "1");
    ASSERT_TRUE(env.pump_until([&] { return get("device:N1-6:state:upgrade") == "start"; })) << env.log();

    // Storing the same offer again compares again.
    env.state().set("device:N1-2:state:upgrade", "");
    env.state().set("upgrade:device:light:ZB:Acme:M1:version", "3");
    ASSERT_TRUE(env.pump_until([&] { return get("device:N1-2:state:upgrade") == "start"; })) << env.log();

    // Keys that name no kind are skipped.
    env.state().set("upgrade:device:light:version", "9");
    env.state().set("device:N1-9:meta:classname:light", "x");
    env.state().set("upgrade:device:light:ZB:Acme:M1:version", "");
    ASSERT_TRUE(env.pump_until([&] { return env.log_has("global_upgrade_device_conf_changed strlen(value) == 0"); }))
        << env.log();
    EXPECT_TRUE(env.log_has("Upgrade config key upgrade:device:light:version names no kind, skipped")) << env.log();
    EXPECT_EQ(get("device:N1-9:state:upgrade"), "(none)");
}

// A forced check asks the server a second later, HA-ID and version percent-encoded, and the regular
// plan goes on; a second init neither doubles the watches nor the timer.
TEST_F(VersionCheck, AForcedCheckAsksTheServerASecondLater) {
    env.state().set("device:LAN:0200C0000201", "N1-1");
    env.state().set("device:N1-1:meta:version", "1.0 rc&x=1");
    env.conf().set("KAVPCB:homeautomation:HA-ID", "0200C0000201-HA/#");
    peer.set_rules(R"({"GET /app/hm/versions/02:00:C0:00:02:01": {"body": "{\"status\":\"SUCCESS\",\"versions\":[]}"}})");
    init();
    init();
    EXPECT_EQ(env.state().command({"PUBSUB", "NUMSUB", "upgrade:force:check"}).elements[1].integer, 1);
    EXPECT_EQ(env.state().command({"PUBSUB", "NUMPAT"}).integer, 2);

    const size_t before = schedules();
    const auto sent = std::chrono::steady_clock::now();
    env.state().command({"PUBLISH", "upgrade:force:check", "x"});
    ASSERT_TRUE(env.pump_until([&] { return peer.request_count() == 1; }, 10s)) << env.log();
    EXPECT_GE(std::chrono::steady_clock::now() - sent, 900ms);
    EXPECT_EQ(peer.requests()[0].target,
              "/app/hm/versions/02:00:C0:00:02:01?haid=0200C0000201-HA%2F%23&current=1.0%20rc%26x%3D1");
    ASSERT_TRUE(env.pump_until([&] { return env.log_has("global_upgrade_conf_received body"); })) << env.log();
    EXPECT_EQ(schedules(), before + 1);  // armed when sent; a processed reply keeps it
    env.pump(1500ms);
    EXPECT_EQ(peer.request_count(), 1u);

    global_upgrade_cleanup();
    env.pump(100ms);
    EXPECT_EQ(env.state().command({"PUBSUB", "NUMSUB", "upgrade:force:check"}).elements[1].integer, 0);
    EXPECT_EQ(env.state().command({"PUBSUB", "NUMPAT"}).integer, 0);
}

// Without this device's id or without a server nothing is asked, and the next check is planned.
TEST_F(VersionCheck, WithoutIdOrServerNothingIsAsked) {
    init();
    env.state().command({"PUBLISH", "upgrade:force:check", "x"});
    ASSERT_TRUE(env.pump_until([&] { return env.log_has("Cannot get device id for 0200C0000201!"); }, 10s))
        << env.log();
    env.state().set("device:LAN:0200C0000201", "N1-1");
    ASSERT_EQ(bus.cli({"APService.HomeAutomation.ApplicationServer="}), 0);
    const size_t before = schedules();
    env.state().command({"PUBLISH", "upgrade:force:check", "x"});
    ASSERT_TRUE(env.pump_until([&] { return schedules() == before + 1; }, 10s)) << env.log();
    env.pump(200ms);
    EXPECT_EQ(peer.request_count(), 0u);
}

}  // namespace
