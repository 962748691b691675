#include "tests/pcb/bus_fixture.h"

#include <event2/event.h>
#include <stdlib.h>

#include <thread>

#include "src/device/status.h"

namespace pcb_test {

namespace {

void record(const char *data, void *arg) { static_cast<Results *>(arg)->got.push_back(data ? data : "<null>"); }

}  // namespace

custom_data_t *to(Results *r, const void *owner) {
    auto *d = static_cast<custom_data_t *>(calloc(1, sizeof(custom_data_t)));
    d->callback = record;
    d->arg = r;
    d->owner = owner;
    return d;
}

void BridgeTest::SetUp() {
    redis_ = std::make_unique<brx_test::RedisPair>(dir_.file("redis"));
    bus_ = std::make_unique<brx_test::BusStandin>(dir_.path(), brx_test::source_path("tests/pcb/seed-test.json"));
    bus_->keep_values();
    if (start_bus_) {
        ASSERT_NO_FATAL_FAILURE(bus_->start());
    }
    bus_->use_in_this_process();

    base_ = event_base_new();
    ASSERT_NE(base_, nullptr);
    conf_ = db_create_redis_instance("conf");
    state_ = db_create_redis_instance("state");
    ASSERT_TRUE(conf_ && state_);
    db_set_is_local(conf_, 1);
    db_set_is_local(state_, 1);
    db_set_unix_path(conf_, redis_->conf.unix_path().c_str());
    db_set_unix_path(state_, redis_->state.unix_path().c_str());
    db_set_event_base(conf_, base_);
    db_set_event_base(state_, base_);
    status_setup_redis_instance(conf_, state_);
    pcb_plugin_setup_redis_instance(conf_, state_);
    ASSERT_EQ(pcb_plugin_start(base_), 0);
    if (start_bus_) {
        ASSERT_TRUE(watched(1)) << bus_->journal();
    }
}

void BridgeTest::TearDown() {
    // The connector thread lives on (it is never stopped); it only sees its bus go away.
    pcb_plugin_stop();
    if (bus_) bus_->stop();
}

bool BridgeTest::pump_until(const std::function<bool()> &pred, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        event_base_loop(base_, EVLOOP_NONBLOCK);
        if (pred()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool BridgeTest::watched(size_t n, std::chrono::milliseconds timeout) {
    return pump_until(
        [&] {
            return bus_->count({"watch", "ZIR.HomeAutomation ", "0x1045"}) >= n &&
                   bus_->count({"watch", "APService.GatewayClient ", "0x1045"}) >= n &&
                   bus_->count({"watch", "APService.HomeAutomation ", "0x1045"}) >= n;
        },
        timeout);
}

}  // namespace pcb_test
