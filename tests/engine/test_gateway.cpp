// One gateway as a black box: the enable wait, the watchdog, the domains, the network id, and
// commands reaching the drivers of this device and of the devices behind it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/engine/engine_scripts.h"
#include "tests/support/engine_env.h"
#include "tests/support/redis_server.h"
#include "tests/support/test_support.h"

using namespace brx_test;
using namespace engine_test;
using namespace std::chrono_literals;

namespace {

const char kGatewayMac[] = "0200C0000201";
// The last line of the leader start: everything before it has been set up.
const char kLeaderReady[] = "Cannot init db_persist or persist disabled";

// ---- the enable settings ----

TEST(EnableWait, HoldsTheStartWhileASettingIsFalseAndTheMirrorWatchEntersItAgain) {
    EngineEnv env;
    env.state().set("LAN:networkid", "N1");
    env.state().set(std::string("device:LAN:") + kGatewayMac, "N1-1");
    ASSERT_EQ(env.pcb_cli({"APService.HomeAutomation.BrixmoorGlobalEnable=0"}), 0);
    // The HA-ID already adopted: the start runs no restore.
    adopt_haid(env.state(), env.conf());
    Subscriber status(env.state(), {"brixmoor:state"});
    ASSERT_TRUE(env.start());

    ASSERT_TRUE(env.wait_log("Enter wait for APService.HomeAutomation.BrixmoorGlobalEnable")) << env.log();
    EXPECT_TRUE(wait_until([&] { return env.state().get("brixmoor:state") == "DISABLED"; }, 30s));
    // Two polls later the start still waits: no own device read, no watchdog.
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(env.log().find("got this_device_id"), std::string::npos) << env.log();
    EXPECT_EQ(numsub(env.conf(), "brixmoor:watchdog:request"), 0);

    ASSERT_EQ(env.pcb_cli({"APService.HomeAutomation.BrixmoorGlobalEnable=1"}), 0);
    ASSERT_TRUE(env.wait_log(kLeaderReady, 30s)) << env.log();
    EXPECT_EQ(env.state().get("brixmoor:state"), "ENABLED");
    // Each setting disables before its first poll and enables once it reads true; the backup service
    // then waits for the HA-ID.
    std::vector<std::string> seq = {"ENABLED", "DISABLED", "ENABLED", "DISABLED", "ENABLED", "DISABLED", "ENABLED",
                                    "WAITING_FOR_PROVISIONING", "ENABLED"};
    EXPECT_TRUE(wait_until([&] { return payloads(status, "brixmoor:state") == seq; }, 30s));

    // A mirrored setting going to "0" puts the whole engine back into the wait: a watchdog
    // request stays unanswered until the setting reads true again.
    ASSERT_EQ(env.pcb_cli({"APService.HomeAutomation.BrixmoorEnable=0"}), 0);
    ASSERT_TRUE(env.wait_log_count("Enter wait for APService.HomeAutomation.BrixmoorEnable", 2)) << env.log();
    EXPECT_TRUE(wait_until([&] { return env.state().get("brixmoor:state") == "DISABLED"; }, 30s));
    env.conf().command({"PUBLISH", "brixmoor:watchdog:request", "while-disabled"});
    std::this_thread::sleep_for(1500ms);
    EXPECT_FALSE(env.conf().get("brixmoor:watchdog:reply").has_value());
    ASSERT_EQ(env.pcb_cli({"APService.HomeAutomation.BrixmoorEnable=1"}), 0);
    EXPECT_TRUE(wait_until([&] { return env.conf().get("brixmoor:watchdog:reply") == "while-disabled"; }, 30s))
        << env.log();
    EXPECT_EQ(env.state().get("brixmoor:state"), "ENABLED");

    // A mirror key set to "1" only enables; the parameter is not read again.
    size_t waits = env.count_log("Enter wait for");
    env.conf().set("KAVPCB:homeautomation:Enable", "1");
    ASSERT_TRUE(env.wait_log("kavpcb_change_cb key ZIR.HomeAutomation.Enable changed value to 1")) << env.log();
    EXPECT_EQ(env.count_log("Enter wait for"), waits);
    EXPECT_EQ(env.stop(), 0);
}

// ---- a running leader gateway with its own device ----

class Gateway : public ::testing::Test {
protected:
    void SetUp() override {
        env.state().set("LAN:networkid", "N1");
        env.state().set(std::string("device:LAN:") + kGatewayMac, "N1-1");
        env.state().set("device:N1-1:domain", "LAN");
        env.conf().set("driver:gateway:code", recording_driver());
        env.write_lan_driver(recording_default_driver("lan"));
    }
    void start() {
        ASSERT_TRUE(env.start());
        ASSERT_TRUE(env.wait_log(kLeaderReady)) << env.log();
    }
    // A device behind the gateway, with its class, driver and domain.
    void add_subdevice(const std::string &id, const std::string &driver) {
        env.state().set("landevicemap:N1-1:" + id, "1");
        env.state().set("device:" + id + ":meta:class", "light");
        env.state().set("device:" + id + ":meta:driver", driver);
        env.state().set("device:" + id + ":domain", "LAN");
    }
    bool state_is(const std::string &key, const std::string &value, std::chrono::milliseconds t = 30s) {
        return wait_until([&] { return env.state().get(key) == value; }, t);
    }
    void command(const std::string &id, const std::string &json) {
        env.state().command({"PUBLISH", "device:" + id + ":command", json});
    }

    EngineEnv env;
};

struct WatchdogCase {
    const char *name;
    std::vector<std::string> request;  // a command on the conf Redis
    const char *reply;
};

void PrintTo(const WatchdogCase &c, std::ostream *os) { *os << c.name; }

class Watchdog : public Gateway, public ::testing::WithParamInterface<WatchdogCase> {};

TEST_P(Watchdog, EchoesOnKeyAndChannel) {
    const WatchdogCase &c = GetParam();
    start();
    // The engine subscribes from its loop, after the start: a request before that reaches nobody.
    ASSERT_TRUE(wait_until(
        [&] {
            return numsub(env.conf(), "brixmoor:watchdog:request") == 1 &&
                   numsub(env.conf(), "__keyspace@0__:brixmoor:watchdog:request") == 1;
        },
        30s));
    Subscriber replies(env.conf(), {"brixmoor:watchdog:reply"});
    env.conf().command(c.request);
    ASSERT_TRUE(replies.wait_for("brixmoor:watchdog:reply", 30s)) << env.log();
    EXPECT_EQ(payloads(replies, "brixmoor:watchdog:reply"), std::vector<std::string>{c.reply});
    EXPECT_EQ(env.conf().get("brixmoor:watchdog:reply"), c.reply);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, Watchdog,
    ::testing::Values(WatchdogCase{"published", {"PUBLISH", "brixmoor:watchdog:request", "ping-1"}, "ping-1"},
                      WatchdogCase{"written_to_the_key", {"SET", "brixmoor:watchdog:request", "ping-2"}, "ping-2"},
                      WatchdogCase{"empty_message", {"PUBLISH", "brixmoor:watchdog:request", ""}, ""}),
    [](const ::testing::TestParamInfo<WatchdogCase> &i) { return std::string(i.param.name); });

TEST_F(Gateway, CommandsReachTheDriversOfThisDeviceAndOfTheDevicesBehindIt) {
    add_subdevice("N1-2", "lamp");
    env.conf().set("driver:lamp:code", recording_driver());
    Subscriber states(env.state(), {"device:N1-1:state:power", "device:N1-2:state:power"});
    start();
    ASSERT_TRUE(state_is("device:N1-1:state:ready", "yes")) << env.log();
    ASSERT_TRUE(state_is("device:N1-2:state:ready", "yes")) << env.log();
    // LAN devices report the version of the domain's default driver.
    EXPECT_EQ(env.state().get("device:N1-2:meta:version"), "1.0.0");

    for (const std::string id : {"N1-1", "N1-2"}) {
        std::string key = "device:" + id + ":state:power";
        command(id, "{\"name\":\"on\"}");
        EXPECT_TRUE(state_is(key, "on")) << id << env.log();
        // The leader republishes the state change on the channel of the same name.
        EXPECT_TRUE(wait_until([&] { return payloads(states, key) == std::vector<std::string>{"on"}; }, 30s)) << id;
    }

    // A command leaves no MULTI open, failing or not: the next command's write goes through.
    for (const char *name : {"fail", "multi"}) {
        command("N1-2", std::string("{\"name\":\"") + name + "\"}");
        command("N1-2", "{\"name\":\"off\"}");
        EXPECT_TRUE(state_is("device:N1-2:state:power", "off")) << name << env.log();
        EXPECT_FALSE(env.state().get("device:N1-2:state:in_multi").has_value()) << name;
        command("N1-2", "{\"name\":\"on\"}");
        EXPECT_TRUE(state_is("device:N1-2:state:power", "on")) << name << env.log();
    }
    EXPECT_NE(env.log().find("lua pcall: failed with error"), std::string::npos);
    EXPECT_EQ(env.count_log("MULTI left open by driver.command - DISCARD sent"), 2u) << env.log();
    EXPECT_EQ(env.log().find("DISCARD without MULTI"), std::string::npos) << env.log();
    EXPECT_EQ(env.stop(), 0);
}

TEST_F(Gateway, StatesTheDriversWriteAtStartAreRepublished) {
    add_subdevice("N1-2", "lamp");
    add_subdevice("N1-3", "lamp");
    env.conf().set("driver:lamp:code", recording_driver());
    Subscriber states(env.state(), {"p:device:*:state:ready"});
    start();
    // Each init wrote its "ready" in the same turn as the leader's watches were made.
    for (const std::string id : {"N1-1", "N1-2", "N1-3"}) {
        std::string key = "device:" + id + ":state:ready";
        EXPECT_TRUE(wait_until([&] { return payloads(states, key) == std::vector<std::string>{"yes"}; }, 30s))
            << id << env.log();
    }
}

struct BadIdCase {
    const char *name;
    std::string id;
};

void PrintTo(const BadIdCase &c, std::ostream *os) { *os << c.name; }

class OwnId : public Gateway, public ::testing::WithParamInterface<BadIdCase> {};

// An own id that cannot stand in every key built from it is refused where it is read: nothing is
// set up or written for it, and nothing of another gateway's is reached through it.
TEST_P(OwnId, ThatDoesNotFitIsRefused) {
    const std::string &id = GetParam().id;
    env.state().set(std::string("device:LAN:") + kGatewayMac, id);
    // A device behind another gateway: a pattern built from "*" would reach it.
    env.state().set("landevicemap:N9-1:N9-2", "N9-2");
    env.state().set("device:N9-2:meta:class", "light");
    env.state().set("device:N9-2:meta:driver", "gateway");
    env.state().set("device:N9-2:domain", "LAN");
    start();
    EXPECT_TRUE(env.wait_log("WARN helpers - Refusing device id '" + id + "'")) << env.log();
    EXPECT_EQ(numsub(env.state(), "device:" + id + ":command"), 0);
    EXPECT_EQ(numsub(env.state(), "device:N9-2:command"), 0);
    Reply keys = env.state().command({"KEYS", "device:*:state:*"});
    EXPECT_TRUE(keys.elements.empty()) << keys.elements[0].str;
    EXPECT_EQ(env.stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Ids, OwnId,
    ::testing::Values(BadIdCase{"too_long", std::string(300, 'L')}, BadIdCase{"colon", "G:1"},
                      BadIdCase{"star", "*"}, BadIdCase{"question_mark", "N1-?"}, BadIdCase{"brackets", "N1-[12]"},
                      BadIdCase{"backslash", "N1\\1"}),
    [](const ::testing::TestParamInfo<BadIdCase> &i) { return std::string(i.param.name); });

TEST_F(Gateway, ADeviceBehindWhoseIdDoesNotFitIsNotSetUp) {
    env.state().set("landevicemap:N1-1:co:lon", "co:lon");
    env.state().set("landevicemap:N1-1:" + std::string(300, 'L'), "long");
    add_subdevice("N1-2", "lamp");
    env.conf().set("driver:lamp:code", recording_driver());
    start();
    ASSERT_TRUE(state_is("device:N1-2:state:ready", "yes")) << env.log();
    EXPECT_TRUE(env.wait_log("Refusing child device id of landevicemap:N1-1:co:lon")) << env.log();
    EXPECT_TRUE(env.wait_log("Refusing child device id '" + std::string(300, 'L') + "'")) << env.log();
    // Not set up under the part of its id before the colon either.
    EXPECT_EQ(numsub(env.state(), "device:co:command"), 0);
    EXPECT_FALSE(env.state().get("device:co:meta:version").has_value());
}

TEST_F(Gateway, ACommandWithoutDriverIsDroppedAndTheDriverLoadTriedAgain) {
    env.conf().command({"DEL", "driver:gateway:code"});
    start();
    command("N1-1", "{\"name\":\"on\"}");
    ASSERT_TRUE(env.wait_log("NO DRIVER LOADED - Cannot execute driver->command({\"name\":\"on\"})")) << env.log();
    command("N1-1", "{\"name\":\"on\"}");
    ASSERT_TRUE(env.wait_log_count("NO DRIVER LOADED", 2)) << env.log();
    EXPECT_FALSE(env.state().get("device:N1-1:state:power").has_value());

    env.conf().set("driver:gateway:code", recording_driver());
    ASSERT_TRUE(state_is("device:N1-1:state:ready", "yes")) << env.log();
    command("N1-1", "{\"name\":\"on\"}");
    EXPECT_TRUE(state_is("device:N1-1:state:power", "on")) << env.log();
}

TEST_F(Gateway, StartClearsStaleRecordsAndHandsAddRequestsToTheDomainDrivers) {
    env.state().set("newdevice:LAN:AA0000000001:notify", "{}");
    env.state().set("newdevice:LAN:AA0000000002:other", "x");
    env.conf().set("domain:zigbee:code", recording_default_driver("zigbee"));
    start();
    EXPECT_FALSE(env.state().get("newdevice:LAN:AA0000000001:notify").has_value());
    EXPECT_FALSE(env.state().get("newdevice:LAN:AA0000000002:other").has_value());
    // Both default drivers were initialised with this gateway's MAC and address.
    EXPECT_TRUE(state_is("test:lan:init", std::string(kGatewayMac) + " 127.0.0.1"));
    EXPECT_TRUE(state_is("test:zigbee:init", std::string(kGatewayMac) + " 127.0.0.1"));

    env.state().command({"PUBLISH", "newdevice:LAN:CC0000000001:add", "{\"class\":\"light\"}"});
    env.state().command({"PUBLISH", "newdevice:zigbee:0x1234:add", "{\"class\":\"plug\"}"});
    env.state().command({"PUBLISH", "newdevice:nowhere:DD:add", "{}"});
    EXPECT_TRUE(state_is("test:lan:add", "{\"class\":\"light\"}")) << env.log();
    EXPECT_TRUE(state_is("test:zigbee:add", "{\"class\":\"plug\"}")) << env.log();
    EXPECT_TRUE(env.wait_log("sub_ctx for domain nowhere is NULL")) << env.log();
}

class LanDriverFile : public Gateway, public ::testing::WithParamInterface<bool> {};

TEST_P(LanDriverFile, OtherDomainsAreSetUpOnlyWhenTheLanDriverLoaded) {
    bool present = GetParam();
    if (!present) env.write_lan_driver("");
    env.conf().set("domain:zigbee:code", recording_default_driver("zigbee"));
    start();
    EXPECT_EQ(env.log().find("Load default driver failed") == std::string::npos, present) << env.log();
    EXPECT_EQ(state_is("test:zigbee:init", std::string(kGatewayMac) + " 127.0.0.1", present ? 30s : 1s), present);
}

INSTANTIATE_TEST_SUITE_P(Presence, LanDriverFile, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &i) { return i.param ? "present" : "missing"; });

TEST_F(Gateway, TheNetworkIdFollowsItsKeyIntoTheLocalStore) {
    start();
    env.state().set("LAN:networkid", "N2");
    ASSERT_TRUE(env.wait_log("set network_id: 'N2'")) << env.log();
    EXPECT_TRUE(wait_until([&] { return read_file(env.local_db_path()).find("\"N2\"") != std::string::npos; }, 30s));
    // An expired id reads as none: the store forgets it.
    env.state().command({"PEXPIRE", "LAN:networkid", "50"});
    ASSERT_TRUE(env.wait_log("set network_id: 'NULL'")) << env.log();
    EXPECT_TRUE(wait_until([&] { return read_file(env.local_db_path()).find("networkid") == std::string::npos; }, 30s))
        << read_file(env.local_db_path());
}

TEST_F(Gateway, DeletingThisDeviceForgetsItAndEndsItsSubscriptions) {
    start();
    ASSERT_TRUE(state_is("device:N1-1:state:ready", "yes")) << env.log();
    ASSERT_EQ(numsub(env.state(), "device:N1-1:command"), 1);
    ASSERT_EQ(numsub(env.state(), "device:N1-1:delete"), 1);

    env.state().command({"PUBLISH", "device:N1-1:delete", "{\"id\":\"N1-1\"}"});
    ASSERT_TRUE(env.wait_log("this_device_deleted has value")) << env.log();
    // The leader also routes the deletion to the default driver of the device's domain.
    EXPECT_TRUE(state_is("test:lan:delete", "{\"id\":\"N1-1\"}")) << env.log();
    EXPECT_TRUE(state_is("device:N1-1:state:cleaned", "yes")) << env.log();
    EXPECT_TRUE(wait_until(
        [&] { return numsub(env.state(), "device:N1-1:command") == 0 && numsub(env.state(), "device:N1-1:delete") == 0; },
        30s));
    EXPECT_TRUE(wait_until([&] { return read_file(env.local_db_path()).find("networkid") == std::string::npos; }, 30s));
    EXPECT_EQ(env.stop(), 0);
}

}  // namespace
