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
        {"ZIR.HomeAutomation.HA-ID", "0123456789AB", "KAVPCB:homeautomation:HA-ID", "0123456789AB"},  // from 
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

// Failures, and a reply that carries no result at all, answer the caller with "" and free its slot.
TEST_F(BridgeTest, FailedCallsAnswerWithAnEmptyResult) {
    const char *functions[] = {"Device.Info.fail", "Device.Info.nosuch", "No.Such.echo", "Device.Info.empty"};
    Results r;
    for (const char *f : functions) ASSERT_EQ(pcb_plugin_call_async_json_args(f, "{}", to(&r)), 0) << f;
    ASSERT_TRUE(pump_until([&] { return r.got.size() == 4; }));
    EXPECT_EQ(r.got, (std::vector<std::string>{"", "", "", ""}));

    // Each one freed its slot: more calls than there are slots all get answered.
    for (const char *f : {"Device.Info.fail", "Device.Info.empty"}) {
        Results more;
        for (int i = 0; i < 30; i++) {
            ASSERT_EQ(pcb_plugin_call_async_json_args(f, "{}", to(&more)), 0) << f << " " << i;
            ASSERT_TRUE(pump_until([&] { return more.got.size() == (size_t)i + 1; })) << f << " " << i;
        }
    }
}

// Calls the bus never answers hold their slots until their owner goes: then every slot is free at
// once, the bus is told to end the calls, and a new call goes out after that.
TEST_F(BridgeTest, DroppingAnOwnerFreesTheSlotsOfItsUnansweredCalls) {
    int script = 0, next_script = 0;  // two owners
    Results never, later;
    int accepted = 0;
    for (int i = 0; i < 40; i++) {
        custom_data_t *d = to(&never, &script);
        if (pcb_plugin_call_async_json_args("Device.Info.silent", "{}", d) == 0)
            accepted++;
        else
            free(d);
    }
    EXPECT_EQ(accepted, 26);  // one slot per index
    ASSERT_TRUE(pump_until([&] { return bus_->count({"execute", "Device.Info.silent"}) == 26; }));

    pcb_plugin_drop_owner(&script);
    ASSERT_EQ(pcb_plugin_call_async_json_args("Device.Info.silent", "{}", to(&later, &next_script)), 0);
    ASSERT_TRUE(pump_until([&] { return bus_->count({"execute", "Device.Info.silent"}) == 27; }));
    size_t cancels = 0, executes = 0;
    for (const auto &line : bus_->lines()) {
        if (line.rfind("cancel ", 0) == 0) cancels++;
        if (line.rfind("execute ", 0) == 0 && ++executes == 27) break;
    }
    EXPECT_EQ(cancels, 26u);  // all before the new call

    // The new owner has all the slots but the one it holds.
    for (int i = 0; i < 25; i++)
        ASSERT_EQ(pcb_plugin_call_async_json_args("Device.Info.silent", "{}", to(&later, &next_script)), 0) << i;
    custom_data_t *refused = to(&later, &next_script);
    EXPECT_EQ(pcb_plugin_call_async_json_args("Device.Info.silent", "{}", refused), -1);
    free(refused);
    ASSERT_TRUE(pump_until([&] { return bus_->count({"execute", "Device.Info.silent"}) == 52; }));
    pcb_plugin_drop_owner(&next_script);
    ASSERT_TRUE(pump_until([&] { return bus_->count({"cancel "}) == 52; }));
    EXPECT_TRUE(never.got.empty());
    EXPECT_TRUE(later.got.empty());
}

// A dropped call that the bus would still answer: the answer never reaches its owner, and a new
// call that takes its index gets its own result, not the end of the dropped one.
TEST_F(BridgeTest, ADroppedCallsIndexServesTheNextCallerAlone) {
    int gone = 0, live = 0;
    Results dropped, fresh;
    auto call = [&](Results *r, const void *owner, int delay_ms, const std::string &tag) {
        std::string args = R"({"delay_ms":)" + std::to_string(delay_ms) + R"(,"tag":")" + tag + R"("})";
        return pcb_plugin_call_async_json_args("Device.Info.delayed", args.c_str(), to(r, owner));
    };
    for (int i = 0; i < 3; i++) ASSERT_EQ(call(&dropped, &gone, 600, "d" + std::to_string(i)), 0);
    ASSERT_TRUE(pump_until([&] { return bus_->count({"execute", "Device.Info.delayed"}) == 3; }));
    pcb_plugin_drop_owner(&gone);

    ASSERT_EQ(call(&fresh, &live, 20, "f0"), 0);
    ASSERT_TRUE(pump_until([&] { return fresh.got.size() == 1; }));
    EXPECT_NE(returns_of(fresh.got[0]).find(R"("tag":"f0")"), std::string::npos) << fresh.got[0];
    // Outlasts the dropped calls: none of them is answered to anybody.
    ASSERT_EQ(call(&fresh, &live, 900, "f1"), 0);
    ASSERT_TRUE(pump_until([&] { return fresh.got.size() == 2; }));
    EXPECT_NE(returns_of(fresh.got[1]).find(R"("tag":"f1")"), std::string::npos) << fresh.got[1];
    EXPECT_TRUE(dropped.got.empty());
    EXPECT_EQ(bus_->count({"cancel "}), 3u);
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

// An observation whose owner is dropped ends on the bus, and its path can be observed again at once:
// the new callback gets its own object reply and every event after it, once; the old one nothing.
TEST_F(BridgeTest, ADroppedObservationEndsAndItsPathCanBeObservedAgain) {
    int closed = 0, reloaded = 0;
    Results first, second;
    ASSERT_EQ(pcb_plugin_observe_object("Device.Info", to(&first, &closed)), 0);
    ASSERT_TRUE(pump_until([&] { return first.got.size() == 1; }));
    pcb_plugin_drop_owner(&closed);

    ASSERT_EQ(pcb_plugin_observe_object("Device.Info", to(&second, &reloaded)), 0);
    ASSERT_TRUE(pump_until([&] { return second.got.size() == 1; }));
    EXPECT_NE(second.got[0].find("\"Name\""), std::string::npos) << second.got[0];
    EXPECT_EQ(bus_->count({"cancel "}), 1u);
    for (const char *type : {"100", "101", "102"}) ASSERT_EQ(bus_->cli({"-n", "Device.Info", type, "n", "v"}), 0);
    ASSERT_TRUE(pump_until([&] { return second.got.size() >= 4; }));
    ASSERT_EQ(second.got.size(), 4u);
    for (int i = 0; i < 3; i++)
        EXPECT_NE(second.got[1 + i].find("\"notification_type\":10" + std::to_string(i)), std::string::npos)
            << second.got[1 + i];
    EXPECT_EQ(first.got.size(), 1u);
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
