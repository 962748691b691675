// A leader gateway as a black box, driven by script files published on "driver:dofile" (-t): the
// device module sets up devices behind the gateway and sends gateway actions.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/engine/engine_scripts.h"
#include "tests/engine/script_device_env.h"
#include "tests/support/engine_env.h"
#include "tests/support/redis_server.h"
#include "tests/support/test_support.h"

using namespace brx_test;
using namespace std::chrono_literals;

TEST_F(ScriptDevice, ConfigureSubdeviceSetsUpTheDeviceWithItsDriverAndApp) {
    env.state().set("device:N1-7:app", "A1");
    env.conf().set("app:light:A1:code", "local a = {}\n"
                                        "function a.init(id, app) db.set('test:app:init', id .. ' ' .. app) end\n"
                                        "function a.cleanup() end\n"
                                        "return a\n");
    start();
    dofile("configure", "device.configure_subdevice('N1-7', 'A1', 'light', 'rec', 'VIRTUAL')");
    EXPECT_TRUE(wait_key("device:N1-7:state:ready", "yes")) << env.log();
    EXPECT_TRUE(wait_key("test:app:init", "N1-7 A1")) << env.log();
    ASSERT_TRUE(wait_until([&] { return numsub(env.state(), "device:N1-7:command") == 1; }, 30s));
    env.state().command({"PUBLISH", "device:N1-7:command", "{\"name\":\"on\"}"});
    EXPECT_TRUE(wait_key("device:N1-7:state:power", "on")) << env.log();

    // Again for the same device: the driver is loaded again, the channel is not subscribed twice.
    env.state().command({"DEL", "device:N1-7:state:ready"});
    dofile("again", "device.configure_subdevice('N1-7', nil, 'light', 'rec', 'VIRTUAL')");
    EXPECT_TRUE(wait_key("device:N1-7:state:ready", "yes")) << env.log();
    EXPECT_EQ(numsub(env.state(), "device:N1-7:command"), 1);

    // Ids that no key can be built from, and missing arguments, set up nothing.
    dofile("refused", "device.configure_subdevice('N1:8', nil, 'light', 'rec', 'VIRTUAL')\n"
                      "local ok, err = pcall(function() device.configure_subdevice('N1-8', nil, 'light', 'rec') end)\n"
                      "db.set('test:error', tostring(err))");
    EXPECT_TRUE(env.wait_log("Refusing device id 'N1:8'")) << env.log();
    EXPECT_NE(env.state().get("test:error").value_or("").find("bad argument #5 to 'configure_subdevice'"),
              std::string::npos);
    EXPECT_EQ(numsub(env.state(), "device:N1:8:command"), 0);
    EXPECT_EQ(numsub(env.state(), "device:N1-8:command"), 0);
    EXPECT_EQ(env.stop(), 0);
}

TEST_F(ScriptDevice, CommandRunsAGatewayAction) {
    start();
    Subscriber history(env.state(), {"device:N1-7:history:temperature:none"});
    dofile("command", "device.command('{\"name\":\"gethistory\",\"args\":{\"deviceid\":\"N1-7\","
                      "\"requestid\":\"r1\",\"datatype\":\"temperature\",\"startdate\":1}}')\n"
                      "device.command('{\"name\":\"sms\",\"args\":{}}')");
    std::string payload;
    EXPECT_TRUE(history.wait_for("device:N1-7:history:temperature:none", 30s, &payload)) << env.log();
    EXPECT_EQ(payload, "{\"requestid\":\"r1\"}");
    EXPECT_TRUE(env.wait_log("execute_gateway_command - don't know how to handle {\"name\":\"sms\"")) << env.log();
    EXPECT_EQ(env.stop(), 0);
}

// The driver's own call sets up or deletes the device it drives: its state is neither reloaded
// under it nor closed before the call has returned.
TEST_F(ScriptDevice, ADriverSetsUpAgainOrDeletesItsOwnDevice) {
    env.state().set("device:N1-7:meta:class", "light");
    env.conf().set("driver:selfcfg:code",
                   "local d = {}\n"
                   "local id\n"
                   "function d.init(device_id) id = device_id db.publish('test:init', id) end\n"
                   "function d.command(json)\n"
                   "  local c = cjson.decode(json)\n"
                   "  if c.name == 'reconfigure' then device.configure_subdevice(id, nil, 'light', 'selfcfg', 'VIRTUAL')\n"
                   "  elseif c.name == 'remove' then device.delete('{\"id\":\"' .. id .. '\"}') end\n"
                   "  db.publish('test:done', c.name .. ' ' .. id)\n"
                   "end\n"
                   "function d.cleanup() end\n"
                   "return d\n");
    start();
    Subscriber sub(env.state(), {"test:init", "test:done"});
    dofile("configure", "device.configure_subdevice('N1-7', nil, 'light', 'selfcfg', 'VIRTUAL')");
    ASSERT_TRUE(wait_until([&] { return sub.count("test:init") == 1; }, 30s)) << env.log();
    ASSERT_TRUE(wait_until([&] { return numsub(env.state(), "device:N1-7:command") == 1; }, 30s));

    env.state().command({"PUBLISH", "device:N1-7:command", "{\"name\":\"reconfigure\"}"});
    ASSERT_TRUE(wait_until([&] { return sub.count("test:init") == 2; }, 30s)) << env.log();
    EXPECT_EQ(payloads(sub, "test:done"), std::vector<std::string>{"reconfigure N1-7"}) << env.log();

    env.state().command({"PUBLISH", "device:N1-7:command", "{\"name\":\"remove\"}"});
    ASSERT_TRUE(wait_until([&] { return payloads(sub, "test:done").size() == 2; }, 30s)) << env.log();
    EXPECT_EQ(payloads(sub, "test:done")[1], "remove N1-7");
    EXPECT_TRUE(wait_until([&] { return numsub(env.state(), "device:N1-7:command") == 0; }, 30s)) << env.log();
    EXPECT_TRUE(wait_until([&] { return !env.state().get("device:N1-7:meta:class").has_value(); }, 30s));
    EXPECT_EQ(env.stop(), 0) << env.log();
}
