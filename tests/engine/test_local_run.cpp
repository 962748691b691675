// The local run's scripts (conf/scripts) in the daemon: the sample lamp logs its commands and reports
// in a self-test, and a script file run through "driver:dofile" (-t) listens for UDP datagrams and
// logs them. The test and the daemon share a network namespace of the test's own.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/support/netns.h"
#include "tests/support/engine_env.h"
#include "tests/support/redis_server.h"
#include "tests/support/test_support.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

class LocalRun : public PrivateNetnsTest {};

}  // namespace

TEST_F(LocalRun, TheLampLogsCommandsAndADofileScriptReportsADatagram) {
    EngineEnv env;
    env.state().set("LAN:networkid", "N1");
    env.state().set("device:LAN:0200C0000201", "N1-1");
    env.state().set("landevicemap:N1-1:N1-2", "1");
    env.state().set("device:N1-2:meta:class", "light");
    env.state().set("device:N1-2:meta:driver", "sample_lamp");
    env.state().set("device:N1-2:domain", "LAN");
    env.conf().set("driver:gateway:code", read_file(source_path("conf/scripts/gateway.lua")));
    env.conf().set("driver:sample_lamp:code", read_file(source_path("conf/scripts/sample_lamp.lua")));
    env.write_lan_driver(read_file(source_path("conf/scripts/lan_default.lua")));
    ASSERT_TRUE(env.start({"-t"}));
    ASSERT_TRUE(env.wait_log("Cannot init db_persist or persist disabled")) << env.log();
    ASSERT_TRUE(wait_until([&] { return env.state().get("device:N1-2:state:power") == "off"; }, 30s)) << env.log();

    env.state().command({"PUBLISH", "device:N1-2:command", "{\"name\":\"on\"}"});
    EXPECT_TRUE(env.wait_log("lua - lamp N1-2 command {\"name\":\"on\"}")) << env.log();

    // The lamp's self-test reports what its driver knows.
    env.state().command({"PUBLISH", "selftest:run", "x"});
    EXPECT_TRUE(env.wait_log("Received selftest report: {\"device\":\"N1-2\"")) << env.log();

    ASSERT_TRUE(wait_until([&] { return numsub(env.state(), "driver:dofile") > 0; }, 30s));
    env.state().command({"PUBLISH", "driver:dofile", source_path("conf/scripts/udp_listen.lua")});
    ASSERT_TRUE(env.wait_log("udp_listen: listening on port 5600")) << env.log();
    UdpSocket sender("127.0.0.1", 5700);
    ASSERT_TRUE(sender.send_to("127.0.0.1", 5600, "hello"));
    EXPECT_TRUE(env.wait_log("udp_listen: 5 bytes from 127.0.0.1:5700: hello")) << env.log();
    EXPECT_EQ(env.stop(), 0);
}
