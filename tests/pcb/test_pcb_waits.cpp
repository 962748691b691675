// The blocking provisioning waits and the bus going away: slow by nature (the waits pause whole
// seconds, the connector reconnects after 10 seconds).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/logger/logger.h"
#include "src/device/status.h"
#include "src/external_conf.h"
#include "src/pcb/pcb_plugin.h"
#include "tests/pcb/bus_fixture.h"

namespace {

using pcb_test::BridgeTest;
using pcb_test::Results;
using pcb_test::to;
using namespace std::chrono_literals;


TEST_F(BridgeTest, HaidWaitKeepsWaitingWhileTheIdIsTooShort) {
    status_set(BRX_ENABLED);
    std::atomic<bool> failed{false};
    std::thread provisioner([&] {
        auto gets = [&] { return bus_->count({"get ", "ZIR.HomeAutomation.HA-ID"}); };
        if (!brx_test::wait_until(
                [&] { return gets() >= 1 && redis_->state.get("brixmoor:state") == std::string("WAITING_FOR_PROVISIONING"); },
                10s) ||
            bus_->cli({"ZIR.HomeAutomation.HA-ID=0123456789A"}) != 0 ||  // 11 characters
            !brx_test::wait_until([&] { return gets() >= 2; }, 10s) ||
            bus_->cli({"ZIR.HomeAutomation.HA-ID=0123456789AB"}) != 0)
            failed = true;
    });
    auto t0 = std::chrono::steady_clock::now();
    char *haid = ext_get_haid();
    auto elapsed = std::chrono::steady_clock::now() - t0;
    provisioner.join();
    ASSERT_FALSE(failed);
    ASSERT_NE(haid, nullptr);
    EXPECT_STREQ(haid, "0123456789AB");
    free(haid);
    // At least "", then 11 characters, then 12: pauses of 0, 1 and 2 seconds at the least.
    EXPECT_GE(bus_->count({"get ", "ZIR.HomeAutomation.HA-ID"}), 3u);
    EXPECT_GE(elapsed, 3s);
    EXPECT_EQ(redis_->state.get("brixmoor:state"), std::string("ENABLED"));
}

TEST_F(BridgeTest, ConnectionWaitSwitchesTheModeOnlyWhileWaiting) {
    const std::string status = "APService.GatewayClient.ConnectionStatus";
    const std::string mode = "APService.GatewayClient.ConnectionMode";

    // Connected at the first poll: the mode is left alone.
    ASSERT_EQ(bus_->cli({status + "=1"}), 0);
    EXPECT_EQ(wait_for_connection(), 1);
    EXPECT_EQ(bus_->count({"set ", mode}), 0u);
    EXPECT_EQ(ext_get_connection(), 1);

    ASSERT_EQ(bus_->cli({status + "=0"}), 0);
    EXPECT_EQ(ext_get_connection(), 0);
    size_t before = bus_->count({"get ", status});
    std::atomic<bool> failed{false};
    std::thread gateway([&] {
        if (!brx_test::wait_until([&] { return bus_->count({"get ", status}) >= before + 2; }, 10s) ||
            bus_->cli({status + "=1"}) != 0)
            failed = true;
    });
    EXPECT_EQ(wait_for_connection(), 1);
    gateway.join();
    ASSERT_FALSE(failed);
    // This wait's polls and mode writes in order: "on" after the first poll that found no
    // connection, "ondemand" after the one that found it (how many polls lie between depends
    // on when the connection came).
    std::vector<std::string> seq;
    size_t polls = 0;
    for (const auto &line : bus_->lines()) {
        bool poll = line.rfind("get ", 0) == 0 && line.find(status) != std::string::npos;
        if (poll && ++polls <= before) continue;
        if (poll) seq.push_back("poll");
        size_t eq = line.find(mode + "=");
        if (polls > before && line.rfind("set ", 0) == 0 && eq != std::string::npos) {
            std::string rest = line.substr(eq + mode.size() + 1);
            seq.push_back(rest.substr(0, rest.find(' ')));
        }
    }
    ASSERT_GE(seq.size(), 5u);
    std::vector<std::string> expected{"poll", "on"};
    expected.insert(expected.end(), seq.size() - 3, "poll");
    expected.push_back("ondemand");
    EXPECT_EQ(seq, expected);
}

std::string str(char *s) {
    std::string r = s ? s : "<null>";
    free(s);
    return r;
}

/* Sends custom notifications of these types about path; each is heard as one event. */
void notify(brx_test::BusStandin &bus, const std::string &path, const std::vector<int> &types) {
    for (int t : types) ASSERT_EQ(bus.cli({"-n", path, std::to_string(t), "n", "v"}), 0) << t;
}

/* The notification types among what a callback heard, in order; "object" for an object reply. */
std::vector<std::string> kinds(const Results &r) {
    std::vector<std::string> out;
    for (const auto &got : r.got) {
        size_t at = got.find("\"notification_type\":");
        out.push_back(at == std::string::npos ? "object" : got.substr(at + 20, 3));
    }
    return out;
}

// The bus goes away and comes back with the values it had: the pending call fails at once, the
// connector comes back and watches again, a call queued meanwhile is sent then, and the
// synchronous connection is made again. The observation ended with the old connection: its
// callback hears nothing more, and observing the path again gives every later event to the new
// callback alone, once.
TEST_F(BridgeTest, BusRestart) {
    Results silent, before, after, ancestor;
    ASSERT_EQ(pcb_plugin_call_async_json_args("Device.Info.silent", "{}", to(&silent)), 0);
    ASSERT_EQ(pcb_plugin_observe_object("Device.Info", to(&before)), 0);
    ASSERT_TRUE(pump_until([&] { return before.got.size() == 1 && bus_->count({"execute", "Device.Info.silent"}) == 1; }));
    EXPECT_EQ(pcb_plugin_set("APService.HomeAutomation.Text", "before"), 1);

    bus_->stop();
    ASSERT_TRUE(pump_until([&] { return silent.got.size() == 1; }, 5s));
    EXPECT_EQ(silent.got[0], "");
    EXPECT_EQ(pcb_plugin_set("APService.HomeAutomation.Text", "down"), 0);
    Results queued;
    ASSERT_EQ(pcb_plugin_call_async_json_args("Device.Info.echo", R"({"n":1})", to(&queued)), 0);

    ASSERT_NO_FATAL_FAILURE(bus_->start());
    ASSERT_TRUE(watched(2, 20s)) << bus_->journal();
    ASSERT_TRUE(pump_until([&] { return queued.got.size() == 1; }));
    EXPECT_EQ(queued.got[0], R"({"returns":"{\"n\":1}","n":"1"})");
    EXPECT_EQ(str(pcb_plugin_get_string("APService.HomeAutomation.Text")), "before");

    ASSERT_EQ(bus_->cli({"ZIR.HomeAutomation.HA-ID=AFTERRESTART"}), 0);
    EXPECT_TRUE(pump_until([&] { return redis_->conf.get("KAVPCB:homeautomation:HA-ID") == std::string("AFTERRESTART"); }));
    EXPECT_EQ(pcb_plugin_set("APService.HomeAutomation.Text", "after"), 1);

    // An observation of the parent brings an object reply of the old path: nobody hears it.
    int parent_owner = 0;
    ASSERT_EQ(pcb_plugin_observe_object("Device", to(&ancestor, &parent_owner)), 0);
    ASSERT_TRUE(pump_until([&] { return ancestor.got.size() == 1; }));
    ASSERT_NO_FATAL_FAILURE(notify(*bus_, "Device", {100}));
    ASSERT_TRUE(pump_until([&] { return ancestor.got.size() == 2; }));
    EXPECT_EQ(before.got.size(), 1u);
    pcb_plugin_drop_owner(&parent_owner);

    ASSERT_EQ(pcb_plugin_observe_object("Device.Info", to(&after)), 0);
    ASSERT_TRUE(pump_until([&] { return after.got.size() == 1; }));
    ASSERT_NO_FATAL_FAILURE(notify(*bus_, "Device.Info", {101, 102, 103}));
    ASSERT_TRUE(pump_until([&] { return after.got.size() >= 4; }));
    EXPECT_EQ(kinds(after), (std::vector<std::string>{"object", "101", "102", "103"}));
    EXPECT_EQ(kinds(before), (std::vector<std::string>{"object"}));
}

class BridgeWithoutBus : public BridgeTest {
protected:
    BridgeWithoutBus() { start_bus_ = false; }
};

// Calls and observations accepted while the bus is away wait for it, through connector passes that
// fail meanwhile, and are answered once it is there; those whose owner was dropped meanwhile
// never reach it.
TEST_F(BridgeWithoutBus, RequestsWaitForTheBus) {
    const std::string log = dir_.file("engine.log");
    logger_set_parameter("file.name", log.c_str());
    logger_set_parameter("file", "true");
    logger_set_parameter("level", "DEBUG");
    auto passes = [&] {
        std::string text = brx_test::file_exists(log) ? brx_test::read_file(log) : "";
        size_t n = 0;
        for (size_t at = text.find("PCB connector main loop exited"); at != std::string::npos;
             at = text.find("PCB connector main loop exited", at + 1))
            n++;
        return n;
    };
    int gone = 0;
    Results obs, call, dropped_obs, dropped_call;
    ASSERT_EQ(pcb_plugin_observe_object("Device.Info", to(&obs)), 0);
    ASSERT_EQ(pcb_plugin_call_async_json_args("Device.Info.echo", R"({"n":2})", to(&call)), 0);
    ASSERT_EQ(pcb_plugin_observe_object("Device.Other", to(&dropped_obs, &gone)), 0);
    ASSERT_EQ(pcb_plugin_call_async_json_args("Device.Other.echo", "{}", to(&dropped_call, &gone)), 0);
    pcb_plugin_drop_owner(&gone);
    size_t before = passes();
    ASSERT_TRUE(brx_test::wait_until([&] { return passes() > before; }, 30s));  // a failed pass

    ASSERT_NO_FATAL_FAILURE(bus_->start());
    ASSERT_TRUE(watched(1, 30s)) << bus_->journal();
    ASSERT_TRUE(pump_until([&] { return obs.got.size() == 1 && call.got.size() == 1; }));
    EXPECT_EQ(call.got[0], R"({"returns":"{\"n\":2}","n":"2"})");
    ASSERT_NO_FATAL_FAILURE(notify(*bus_, "Device.Info", {100}));
    ASSERT_TRUE(pump_until([&] { return obs.got.size() == 2; }));
    EXPECT_EQ(kinds(obs), (std::vector<std::string>{"object", "100"}));

    // The dropped ones never went out, and their path is free.
    EXPECT_EQ(bus_->count({"Device.Other"}), 0u);
    EXPECT_TRUE(dropped_obs.got.empty());
    EXPECT_TRUE(dropped_call.got.empty());
    Results again;
    ASSERT_EQ(pcb_plugin_observe_object("Device.Other", to(&again)), 0);
    EXPECT_TRUE(pump_until([&] { return again.got.size() == 1; }));
}

}  // namespace
