// The bus bridge against the bus stand-in and a real conf Redis: mirroring, the engine's own
// writes, function calls and observations.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "src/pcb/pcb_plugin.h"
#include "tests/pcb/bus_fixture.h"

namespace {

using pcb_test::BridgeTest;
using pcb_test::Results;
using pcb_test::to;


std::string str(char *s) {
    std::string r = s ? s : "<null>";
    free(s);
    return r;
}

/* The "returns" member of a result, parsed; "" when absent. */
std::string returns_of(const std::string &result) {
    cJSON *j = cJSON_Parse(result.c_str());
    const char *r = cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(j, "returns"));
    std::string out = r ? r : "";
    cJSON_Delete(j);
    return out;
}

TEST_F(BridgeTest, MirrorsEveryChangeOfTheWatchedObjects) {
    // Values are mirrored on change only: nothing at start.
    EXPECT_TRUE(redis_->conf.command({"KEYS", "KAVPCB:*"}).elements.empty());

    // The bus sends an empty old or new value without text: such a change is mirrored all the same.
    struct Case {
        const char *param, *value, *key, *mirrored;
    } cases[] = {
        {"ZIR.HomeAutomation.HA-ID", "0123456789AB", "KAVPCB:homeautomation:HA-ID", "0123456789AB"},  // from ""
        {"ZIR.HomeAutomation.Enable", "false", "KAVPCB:homeautomation:Enable", "0"},
        // a child object's parameter goes under its own name
        {"ZIR.HomeAutomation.Sub.Level", "7", "KAVPCB:homeautomation:Level", "7"},
        {"APService.GatewayClient.ConnectionStatus", "1", "KAVPCB:gdclient:ConnectionStatus", "1"},
        {"APService.HomeAutomation.Text", "a|b||c", "KAVPCB:aphomeautomation:Text", "a|b||c"},
        {"APService.HomeAutomation.Text", "", "KAVPCB:aphomeautomation:Text", ""},
        {"APService.HomeAutomation.Text", "again", "KAVPCB:aphomeautomation:Text", "again"},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(bus_->cli({std::string(c.param) + "=" + c.value}), 0) << c.param;
        EXPECT_TRUE(pump_until([&] { return redis_->conf.get(c.key) == std::optional<std::string>(c.mirrored); }))
            << c.param << " = '" << c.value << "' -> " << redis_->conf.get(c.key).value_or("<nil>");
    }

    // Objects outside the watched ones are not mirrored; a later watched change proves they were seen.
    ASSERT_EQ(bus_->cli({"Device.Info.Name=elsewhere"}), 0);
    ASSERT_EQ(bus_->cli({"APService.Top=elsewhere"}), 0);
    ASSERT_EQ(bus_->cli({"ZIR.HomeAutomation.Enable=1"}), 0);
    ASSERT_TRUE(pump_until([&] { return redis_->conf.get("KAVPCB:homeautomation:Enable") == std::string("1"); }));
    EXPECT_TRUE(redis_->conf.command({"KEYS", "KAVPCB:*:Name"}).elements.empty());
    EXPECT_TRUE(redis_->conf.command({"KEYS", "KAVPCB:*:Top"}).elements.empty());
}

TEST_F(BridgeTest, OwnWritesComeBackThroughTheMirror) {
    EXPECT_EQ(pcb_plugin_set("APService.HomeAutomation.BrixmoorScriptsVersion", "1.2.3"), 1);
    EXPECT_TRUE(pump_until([&] {
        return redis_->conf.get("KAVPCB:aphomeautomation:BrixmoorScriptsVersion") == std::string("1.2.3");
    }));
    std::string out;
    EXPECT_EQ(bus_->cli({"-l", "APService.HomeAutomation.BrixmoorScriptsVersion?"}, &out), 0);
    EXPECT_EQ(out, "1.2.3\n");

    // Writes the bus refuses.
    EXPECT_EQ(pcb_plugin_set("ZIR.HomeAutomation.Enable", "maybe"), 0);
    EXPECT_EQ(pcb_plugin_set("APService.HomeAutomation.NoSuchParam", "x"), 0);
    EXPECT_EQ(pcb_plugin_set("nodot", "x"), 0);
}

TEST_F(BridgeTest, SynchronousReads) {
    EXPECT_EQ(str(pcb_plugin_get_string("APService.HomeAutomation.Text")), "plain");
    EXPECT_EQ(str(pcb_plugin_get_string("Device.Info.Uptime")), "42");
    EXPECT_EQ(str(pcb_plugin_get_string("APService.HomeAutomation.BrixmoorScriptsVersion")), "<null>");  // empty
    EXPECT_EQ(str(pcb_plugin_get_string("APService.HomeAutomation.NoSuchParam")), "<null>");
    EXPECT_EQ(str(pcb_plugin_get_string("nodot")), "<null>");
    EXPECT_EQ(pcb_plugin_get_bool("ZIR.HomeAutomation.Enable"), 1);
    EXPECT_EQ(pcb_plugin_get_bool("APService.GatewayClient.ConnectionStatus"), 0);
    EXPECT_EQ(pcb_plugin_get_bool("APService.HomeAutomation.Text"), 0);
    ASSERT_EQ(pcb_plugin_set("APService.HomeAutomation.Text", "true"), 1);
    EXPECT_EQ(pcb_plugin_get_bool("APService.HomeAutomation.Text"), 0);  // only "1" is true
}

TEST_F(BridgeTest, FunctionCallKeepsArgumentTypes) {
    Results r;
    ASSERT_EQ(pcb_plugin_call_async_json_args(
                  "Device.Info.echo",
                  R"({"Enable":true,"Count":3,"Ratio":2.7,"Name":"x","Skip":null,"List":[1],"Obj":{}})", to(&r)),
              0);
    ASSERT_TRUE(pump_until([&] { return r.got.size() == 1; }));
    // Booleans stay booleans, numbers become int32 (integer part), strings stay strings; the rest is skipped.
    EXPECT_EQ(r.got[0], R"({"returns":"{\"Enable\":true,\"Count\":3,\"Ratio\":2,\"Name\":\"x\"}",)"
                        R"("Enable":"1","Count":"3","Ratio":"2","Name":"x"})");

    // Arguments that are not JSON: the call is made without arguments.
    ASSERT_EQ(pcb_plugin_call_async_json_args("Device.Info.echo", "not json", to(&r)), 0);
    ASSERT_TRUE(pump_until([&] { return r.got.size() == 2; }));
    EXPECT_EQ(r.got[1], R"({"returns":"{}"})");
}

TEST_F(BridgeTest, FailedCallsAnswerWithAnEmptyResult) {
    Results r;
    for (const char *f : {"Device.Info.fail", "Device.Info.nosuch", "No.Such.echo"})
        ASSERT_EQ(pcb_plugin_call_async_json_args(f, "{}", to(&r)), 0) << f;
    ASSERT_TRUE(pump_until([&] { return r.got.size() == 3; }));
    EXPECT_EQ(r.got, (std::vector<std::string>{"", "", ""}));

    // Each failure freed its slot: more calls than there are slots all get answered.
    Results more;
    for (int i = 0; i < 30; i++) {
        ASSERT_EQ(pcb_plugin_call_async_json_args("Device.Info.fail", "{}", to(&more)), 0) << i;
        ASSERT_TRUE(pump_until([&] { return more.got.size() == (size_t)i + 1; })) << i;
    }
}

// Calls of one function answered out of order: each result goes to its own caller, also for a
// call that took the slot of one that finished.
TEST_F(BridgeTest, ResultsReachTheirOwnCaller) {
    Results r[4];
    auto call = [&](int i, int delay_ms) {
        std::string args = R"({"delay_ms":)" + std::to_string(delay_ms) + R"(,"tag":"t)" + std::to_string(i) + R"("})";
        ASSERT_EQ(pcb_plugin_call_async_json_args("Device.Info.delayed", args.c_str(), to(&r[i])), 0);
    };
    call(0, 600);
    call(1, 20);
    call(2, 1500);
    ASSERT_TRUE(pump_until([&] { return r[1].got.size() == 1; }));
    call(3, 20);  // answered before call 2
    ASSERT_TRUE(pump_until([&] { return r[0].got.size() + r[2].got.size() + r[3].got.size() == 3; }));
    for (int i = 0; i < 4; i++) {
        ASSERT_EQ(r[i].got.size(), 1u) << i;
        EXPECT_NE(returns_of(r[i].got[0]).find("\"tag\":\"t" + std::to_string(i) + "\""), std::string::npos)
            << i << ": " << r[i].got[0];
    }
}

TEST_F(BridgeTest, ObservationDeliversObjectRepliesAndCustomNotifications) {
    Results obs;
    ASSERT_EQ(pcb_plugin_observe_object("Device.Info", to(&obs)), 0);
    ASSERT_TRUE(pump_until([&] { return obs.got.size() == 1; }));
    cJSON *j = cJSON_Parse(obs.got[0].c_str());
    ASSERT_NE(j, nullptr) << obs.got[0];
    char *flat = cJSON_PrintUnformatted(j);
    // the double parameter has no JSON form and is left out
    EXPECT_STREQ(flat, R"({"Name":"box","Uptime":42,"Up":true})");
    free(flat);
    cJSON_Delete(j);

    // The same path once more is refused; the first observation keeps working.
    custom_data_t *again = to(&obs);
    EXPECT_EQ(pcb_plugin_observe_object("Device.Info", again), -1);
    free(again);

    ASSERT_EQ(bus_->cli({"-n", "Device.Info", "100", "alert", "a", "b"}), 0);
    ASSERT_TRUE(pump_until([&] { return obs.got.size() == 2; }));
    EXPECT_EQ(obs.got[1], R"({"notification_type":100,"notification_name":"alert","notification_data":["\"a\"","\"b\""]})");

    // None of these reaches the script: a notification without parameters, one of a child
    // object, a value change. The last notification shows that they all went by.
    ASSERT_EQ(bus_->cli({"-n", "Device.Info", "101"}), 0);
    ASSERT_EQ(bus_->cli({"-n", "Device.Info.Sub", "100", "child", "v"}), 0);
    ASSERT_EQ(bus_->cli({"Device.Info.Name=renamed"}), 0);
    ASSERT_EQ(bus_->cli({"-n", "Device.Info", "102", "last", "v"}), 0);
    ASSERT_TRUE(pump_until([&] { return obs.got.size() >= 3; }));
    ASSERT_EQ(obs.got.size(), 3u);
    EXPECT_NE(obs.got[2].find("\"notification_type\":102"), std::string::npos) << obs.got[2];
}

// An object reply that matches two observations by prefix still reaches its callback once.
TEST_F(BridgeTest, OverlappingObservationsDeliverOnce) {
    Results sub, info, other;
    ASSERT_EQ(pcb_plugin_observe_object("Device.Info.Sub", to(&sub)), 0);
    ASSERT_TRUE(pump_until([&] { return sub.got.size() == 1; }));
    ASSERT_EQ(pcb_plugin_observe_object("Device.Info", to(&info)), 0);
    ASSERT_TRUE(pump_until([&] { return info.got.size() == 1; }));
    // Observations queued together go out newest first: this one is asked for afterwards.
    ASSERT_EQ(pcb_plugin_observe_object("Device.Other", to(&other)), 0);
    ASSERT_TRUE(pump_until([&] { return other.got.size() == 1; }));
    EXPECT_EQ(info.got.size(), 1u);
    EXPECT_EQ(sub.got.size(), 2u);  // its own reply and the one inside Device.Info's subtree
}

}  // namespace
