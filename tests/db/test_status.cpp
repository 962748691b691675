#include <event2/event.h>
#include <stdlib.h>

#include "src/device/device.h"
#include "src/device/status.h"
#include "src/device_cfg.h"
#include "tests/db/db_fixture.h"
#include "tests/support/appserver_peer.h"
#include "tests/support/bus_standin.h"
#include "tests/support/engine_env.h"
#include "tests/support/netns.h"

using namespace brx_db_test;
using brx_test::RedisServer;
using brx_test::Subscriber;

namespace {

class Status : public DbTest {
protected:
    RedisServer state{dir.file("state")};
};

TEST_F(Status, WritesAndAnnouncesOnlyChanges) {
    redis_instance_t *ri = local_instance("state", state);
    status_setup_redis_instance(nullptr, ri);
    Subscriber sub(state, {"brixmoor:state"});

    status_set(BRX_ENABLED);
    EXPECT_EQ(state.get("brixmoor:state"), "ENABLED");
    status_set(BRX_ENABLED);
    status_set(BRX_DISABLED);
    // Heard without running the loop: the announcement is a blocking PUBLISH.
    ASSERT_TRUE(brx_test::wait_until([&] { return sub.count("brixmoor:state") == 2; }, 5s));
    auto msgs = sub.messages();
    EXPECT_EQ(msgs[0].payload, "ENABLED");
    EXPECT_EQ(msgs[1].payload, "DISABLED");
    EXPECT_EQ(state.get("brixmoor:state"), "DISABLED");
    EXPECT_EQ(status_get(), BRX_DISABLED);

    EXPECT_TRUE(log.has("INFO", "status_set (null) -> (ENABLED)", "status"));
    EXPECT_TRUE(log.has("INFO", "status (ENABLED) not changed", "status"));
    EXPECT_TRUE(log.has("INFO", "status_set (ENABLED) -> (DISABLED)", "status"));
    EXPECT_TRUE(log.has("INFO", "get current status DISABLED", "status"));

    // A value in another spelling is a change.
    state.set("brixmoor:state", "enabled");
    status_set(BRX_ENABLED);
    EXPECT_EQ(state.get("brixmoor:state"), "ENABLED");
}

TEST_F(Status, AFollowerAnnouncesOnTheLeaderItWroteTo) {
    RedisServer leader{dir.file("leader"), brx_test::free_tcp_port("127.0.0.2"), "127.0.0.2"};
    redis_instance_t *ri = remote_instance("state", state, &leader);
    status_setup_redis_instance(nullptr, ri);
    Subscriber on_leader(leader, {"brixmoor:state"});
    Subscriber on_local(state, {"brixmoor:state"});

    status_set(BRX_WAITING_FOR_PROVISIONING);
    // Both go out asynchronously, on the one connection to the leader.
    ASSERT_TRUE(pump([&] { return on_leader.count("brixmoor:state") == 1; })) << log.text();
    EXPECT_EQ(on_leader.messages()[0].payload, "WAITING_FOR_PROVISIONING");
    EXPECT_EQ(leader.get("brixmoor:state"), "WAITING_FOR_PROVISIONING");
    pump_for(base, 200ms);
    EXPECT_EQ(on_local.count("brixmoor:state"), 0u);
}

TEST_F(Status, StoredTextsMapExactly) {
    redis_instance_t *ri = local_instance("state", state);
    status_setup_redis_instance(nullptr, ri);
    struct Row {
        const char *stored; /* NULL: key absent */
        brx_status_t expect;
    };
    const std::vector<Row> rows = {
        {nullptr, BRX_DISABLED},
        {"ENABLED", BRX_ENABLED},
        {"DISABLED", BRX_DISABLED},
        {"WAITING_FOR_PROVISIONING", BRX_WAITING_FOR_PROVISIONING},
        {"RESTORE_IN_PROGRESS", BRX_RESTORE_IN_PROGRESS},
        {"enabled", BRX_DISABLED},
        {"ENABLED ", BRX_DISABLED},
        {"", BRX_DISABLED},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.stored ? row.stored : "(absent)");
        if (row.stored)
            state.set("brixmoor:state", row.stored);
        else
            state.command({"DEL", "brixmoor:state"});
        EXPECT_EQ(status_get(), row.expect);
        if (row.stored) {
            EXPECT_EQ(string_to_status(row.stored), row.expect);
        }
    }
    EXPECT_EQ(string_to_status(nullptr), BRX_DISABLED);
    EXPECT_STREQ(status_to_string(BRX_WAITING_FOR_PROVISIONING), "WAITING_FOR_PROVISIONING");
    EXPECT_STREQ(status_to_string(static_cast<brx_status_t>(7)), "DISABLED");
    EXPECT_STREQ(status_to_string(static_cast<brx_status_t>(-1)), "DISABLED");
}

/* The start-up names the instances after the configuration: local paths and flags per device type. */
TEST(DeviceStart, InstancesFollowTheConfiguration) {
    GTEST_FLAG_SET(death_test_style, "fast");
    // The start runs discovery, and a camera's broadcasts: only inside a network namespace of the test's own.
    std::string why;
    if (!brx_test::enter_private_netns(&why)) GTEST_SKIP() << why;
    // The gateway's start waits for its enable settings, which the bus stand-in holds.
    brx_test::TempDir bus_dir;
    brx_test::BusStandin bus(bus_dir.path());
    bus.start();
    if (HasFatalFailure()) return;
    bus.use_in_this_process();
    struct Row {
        const char *type;
        bool tcp; /* the status SET reaches the state server over TCP (a follower) */
    };
    for (const Row row : {Row{"gateway", false}, Row{"camera", true}}) {
        SCOPED_TRACE(row.type);
        // Servers start here: a child of the death test must not hand its pipe on to them.
        brx_test::TempDir dir;
        int port = brx_test::free_tcp_port();
        brx_test::RedisPair pair(dir.file("redis"), port);
        // The bus's HA-ID already adopted: the gateway's start asks no server for a restore.
        brx_test::adopt_haid(pair.state, pair.conf);
        const std::string ca = brx_test::test_certs().ca;
        Monitor mon(pair.state);
        EXPECT_EXIT(
            {
                brx_test::write_file(dir.file("brx.conf"), std::string("device.type=") + row.type +
                                                               "\ndevice.redis.socket_path=" + dir.file("redis") +
                                                               "\ndevice.redis.port=" + std::to_string(port) +
                                                               "\nca_cert_path=" + ca + "\n");
                if (cfg_setup_from_file(dir.file("brx.conf").c_str()) != 0) exit(10);
                struct event_base *base = event_base_new();
                if (device_start(base) != 0) exit(11);
                status_set(BRX_ENABLED);
                bool ok = pump_until(base, [&] { return pair.state.get("brixmoor:state") == "ENABLED"; });
                if (!ok) exit(12);
                if (pair.conf.get("brixmoor:state")) exit(13);
                // The status SET: other start-up writes (the memory profiler's) stay local on every device.
                auto is_status = [](const SeenCommand &c) {
                    return c.args.size() > 1 && c.args[0] == "SET" && c.args[1] == "brixmoor:state";
                };
                mon.wait_for([&](const std::vector<SeenCommand> &s) {
                    for (auto &c : s)
                        if (is_status(c)) return true;
                    return false;
                });
                for (auto &c : mon.named("SET")) {
                    if (!is_status(c)) continue;
                    bool over_tcp = c.addr.rfind("127.0.0.1:", 0) == 0;
                    exit(over_tcp == row.tcp ? 0 : 14);
                }
                exit(15);
            },
            ::testing::ExitedWithCode(0), "");
    }
}

}  // namespace
