#ifndef BRX_TESTS_PCB_BUS_FIXTURE_H
#define BRX_TESTS_PCB_BUS_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "src/db.h"
#include "tests/support/bus_standin.h"
#include "tests/support/redis_server.h"
#include "tests/support/test_support.h"

struct event_base;

#include "src/pcb/pcb_plugin.h"

namespace pcb_test {

/* What a bridge callback received, in order ("<null>" for none). */
struct Results {
    std::vector<std::string> got;
};
/* A malloc'ed record for the bridge that appends to r, made for owner. */
custom_data_t *to(Results *r, const void *owner = nullptr);

/*
 * The bridge on a private event base, with a conf (and state) Redis and the bus; the environment
 * points the library and the tool at the bus socket.
 */
class BridgeTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    /* Runs the loop until pred holds. */
    bool pump_until(const std::function<bool()> &pred, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    /* Waits until the connector has made its watches n times in all. */
    bool watched(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10));

    bool start_bus_ = true; /* a subclass may start without the bus */
    brx_test::TempDir dir_;
    std::unique_ptr<brx_test::RedisPair> redis_;
    std::unique_ptr<brx_test::BusStandin> bus_; /* on tests/pcb/seed-test.json, keeping its values */
    struct event_base *base_ = nullptr;
    redis_instance_t *conf_ = nullptr;
    redis_instance_t *state_ = nullptr;
};

}  // namespace pcb_test

#endif
