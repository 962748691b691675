// The blocking provisioning waits and the bus going away: slow by nature (the waits pause whole
// seconds, the connector reconnects after 10 seconds).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

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

// The bus goes away and comes back: the pending call fails at once, the connector comes back
// and watches again, a call queued meanwhile is sent then, and the synchronous connection is
// made again.
TEST_F(BridgeTest, BusRestart) {
    Results silent, obs;
    ASSERT_EQ(pcb_plugin_call_async_json_args("Device.Info.silent", "{}", to(&silent)), 0);
    ASSERT_EQ(pcb_plugin_observe_object("Device.Info", to(&obs)), 0);
    ASSERT_TRUE(pump_until([&] { return obs.got.size() == 1 && bus_->count({"execute", "Device.Info.silent"}) == 1; }));
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

    ASSERT_EQ(bus_->cli({"ZIR.HomeAutomation.HA-ID=AFTERRESTART"}), 0);
    EXPECT_TRUE(pump_until([&] { return redis_->conf.get("KAVPCB:homeautomation:HA-ID") == std::string("AFTERRESTART"); }));
    EXPECT_EQ(pcb_plugin_set("APService.HomeAutomation.Text", "after"), 1);

    // The observation ended with the old connection; observing the path again is accepted.
    custom_data_t *again = to(&obs);
    EXPECT_EQ(pcb_plugin_observe_object("Device.Info", again), 0);
    EXPECT_TRUE(pump_until([&] { return obs.got.size() == 2; }));
}

class BridgeWithoutBus : public BridgeTest {
protected:
    BridgeWithoutBus() { start_bus_ = false; }
};

// An observation asked for while the bus is away waits for a connection; a connector pass that
// fails meanwhile drops it (and must not leave it queued for a later pass to send).
TEST_F(BridgeWithoutBus, ObservationQueuedWhileDisconnectedIsDropped) {
    std::this_thread::sleep_for(2s);  // the first pass has failed; the connector sleeps
    Results dropped, obs;
    ASSERT_EQ(pcb_plugin_observe_object("Device.Other", to(&dropped)), 0);
    std::this_thread::sleep_for(10s);  // the second pass fails too and cleans up
    ASSERT_NO_FATAL_FAILURE(bus_->start());
    ASSERT_TRUE(watched(1, 20s)) << bus_->journal();
    ASSERT_EQ(pcb_plugin_observe_object("Device.Info", to(&obs)), 0);
    ASSERT_TRUE(pump_until([&] { return obs.got.size() == 1; }));
    EXPECT_EQ(bus_->count({"watch", "Device.Other"}), 0u);
    EXPECT_TRUE(dropped.got.empty());
}

}  // namespace
