// The script network module's UDP listeners, in a network namespace of the test's own, and its MD5.
#include <gtest/gtest.h>

#include <lua.hpp>

#include "src/device/context.h"
#include "src/device/driver.h"
#include "src/lua_api/lua_state.h"
#include "tests/support/netns.h"
#include "tests/scripts/script_env.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

// A script that records every datagram in the global table "got" as "ip|port|data|arg|argc".
const char *kRecorder =
    "got = {}\n"
    "function rec(ip, port, data, ...)\n"
    "  assert(type(port) == 'number' and port % 1 == 0)\n"
    "  got[#got + 1] = ip .. '|' .. port .. '|' .. data .. '|' .. tostring((...)) .. '|' .. select('#', ...)\n"
    "end\n";

int count(lua_State *L) { return std::stoi(lua_eval(L, "#got").text); }
std::string got(lua_State *L, int i) { return lua_eval(L, "got[" + std::to_string(i) + "]").text; }

class LuaNetwork : public PrivateNetnsTest {};

// Broadcasts reach every listener of a port; a unicast datagram only one of them.
class LuaNetworkShared : public PrivateNetnsTest {
protected:
    void SetUp() override {
        PrivateNetnsTest::SetUp();
        if (IsSkipped()) return;
        std::string why;
        ASSERT_TRUE(add_broadcast_route(&why)) << why;
    }
};

}  // namespace

TEST_F(LuaNetwork, DatagramsArriveWithTheirSourceAndTheArgument) {
    ScriptEnv env(true);
    lua_State *L = new_script_state();
    ASSERT_EQ(run_lua(L, kRecorder), "");
    // Nothing is returned on success.
    EXPECT_EQ(lua_eval(L, "select('#', network.listener_start(5601, rec, 'tag'))").text, "0");
    EXPECT_EQ(lua_eval(L, "select('#', network.listener_start(5602.9, rec, nil))").text, "0");

    UdpSocket sender("127.0.0.1", 5701);
    ASSERT_TRUE(sender.ok());
    ASSERT_TRUE(sender.send_to("127.0.0.1", 5601, "hello"));
    ASSERT_TRUE(env.pump_until([&] { return count(L) == 1; }));
    EXPECT_EQ(got(L, 1), "127.0.0.1|5701|hello|tag|1");

    // Every byte arrives, an inner NUL too; a nil argument is not passed at all.
    ASSERT_TRUE(sender.send_to("127.0.0.1", 5602, std::string("a\0b", 3)));
    ASSERT_TRUE(env.pump_until([&] { return count(L) == 2; }));
    EXPECT_EQ(got(L, 2), std::string("127.0.0.1|5701|a\0b|nil|0", 24));
    EXPECT_TRUE(env.log_has("packet_received on port 5601 (from 127.0.0.1:5701)"));

    // An error in the callback is logged and the listener goes on.
    ASSERT_EQ(run_lua(L, "network.listener_stop(5601)\n"
                         "network.listener_start(5601, function(ip, port, data) error('bad ' .. data) end, nil)"),
              "");
    ASSERT_TRUE(sender.send_to("127.0.0.1", 5601, "one"));
    ASSERT_TRUE(sender.send_to("127.0.0.1", 5601, "two"));
    ASSERT_TRUE(env.pump_until([&] { return env.log_has(":2: bad two"); }));
    EXPECT_TRUE(env.log_has("packet_received failed with error [string \"test\"]:2: bad one"));
    close_lua_state(L, nullptr);
}

TEST_F(LuaNetwork, RefusedStartsReturnFalseAndListenToNothing) {
    ScriptEnv env(true);
    lua_State *L = new_script_state();
    ASSERT_EQ(run_lua(L, kRecorder), "");
    UdpSocket held("127.0.0.1", 5610);  // without SO_REUSEADDR: nobody else can bind the port
    ASSERT_TRUE(held.ok());
    struct Case {
        const char *call;
        const char *warn;
    } cases[] = {
        {"network.listener_start(0, rec, nil)", "listener_start port is NULL"},
        {"network.listener_start(0.5, rec, nil)", "listener_start port is NULL"},
        {"network.listener_start(5611, nil, nil)", "listener_start luaL_ref called for a nil value"},
        {"network.listener_start(5611)", "listener_start luaL_ref called for a nil value"},
        {"network.listener_start(70000, rec, nil)", "listener_start port 70000 is no port number"},
        {"network.listener_start(-5, rec, nil)", "listener_start port -5 is no port number"},
        {"network.listener_start(5610, rec, nil)", "listener_start cannot listen on port 5610"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.call);
        EXPECT_EQ(lua_eval(L, "tostring(" + std::string(c.call) + ")").text, "false");
        EXPECT_TRUE(env.log_has(c.warn)) << c.warn;
    }
    EXPECT_NE(lua_eval(L, "network.listener_start('x', rec, nil)").text.find("bad argument #1"), std::string::npos);

    // Nothing was left listening: the ports can be bound exclusively, and the held one delivers nothing.
    UdpSocket free_port("127.0.0.1", 5611);
    EXPECT_TRUE(free_port.ok());
    UdpSocket sender("127.0.0.1", 0);
    ASSERT_TRUE(sender.send_to("127.0.0.1", 5610, "x"));
    EXPECT_TRUE(held.recv(3s).has_value());
    env.pump(100ms);
    EXPECT_EQ(count(L), 0);
    close_lua_state(L, nullptr);
}

TEST_F(LuaNetwork, TwoArgumentsTakeTheCallbackAsTheArgument) {
    // The callback comes before the argument, and both are taken from the top: (port, f) leaves the
    // port number in the callback's place.
    ScriptEnv env(true);
    lua_State *L = new_script_state();
    ASSERT_EQ(run_lua(L, "called = 0\n"
                         "r = select('#', network.listener_start(5620, function() called = called + 1 end))"),
              "");
    EXPECT_EQ(lua_global(L, "r"), "0");
    UdpSocket sender("127.0.0.1", 5720);
    ASSERT_TRUE(sender.send_to("127.0.0.1", 5620, "x"));
    ASSERT_TRUE(env.pump_until([&] { return env.log_has("packet_received failed with error"); }));
    EXPECT_EQ(lua_global(L, "called"), "0");
    close_lua_state(L, nullptr);
}

TEST_F(LuaNetworkShared, AStateStopsOnlyItsOwnListenerOnASharedPort) {
    ScriptEnv env(true);
    lua_State *first = new_script_state();
    lua_State *second = new_script_state();
    for (lua_State *L : {first, second}) {
        ASSERT_EQ(run_lua(L, kRecorder), "");
        ASSERT_EQ(run_lua(L, "network.listener_start(5630, rec, nil)"), "");
    }
    UdpSocket sender("0.0.0.0", 5730, false, true);
    ASSERT_TRUE(sender.send_to("255.255.255.255", 5630, "both"));
    ASSERT_TRUE(env.pump_until([&] { return count(first) == 1 && count(second) == 1; }));

    // The state that started later stops: the earlier one keeps hearing, the later one hears nothing.
    ASSERT_EQ(run_lua(second, "network.listener_stop(5630)\nnetwork.listener_stop(5630)"), "");
    ASSERT_TRUE(sender.send_to("255.255.255.255", 5630, "first only"));
    ASSERT_TRUE(env.pump_until([&] { return count(first) == 2; }));
    env.pump(100ms);
    EXPECT_EQ(got(first, 2), "192.0.2.1|5730|first only|nil|0");
    EXPECT_EQ(count(second), 1);

    // A stop of a port this state does not listen on changes nothing elsewhere.
    ASSERT_EQ(run_lua(second, "network.listener_stop(5630)\nnetwork.listener_stop(0)"), "");
    EXPECT_TRUE(env.log_has("port is NULL"));
    ASSERT_TRUE(sender.send_to("255.255.255.255", 5630, "still"));
    ASSERT_TRUE(env.pump_until([&] { return count(first) == 3; }));

    // A callback may stop its own listener.
    ASSERT_EQ(run_lua(first, "network.listener_stop(5630)\n"
                             "n = 0\n"
                             "network.listener_start(5631, function() n = n + 1 network.listener_stop(5631) end, nil)"),
              "");
    ASSERT_TRUE(sender.send_to("127.0.0.1", 5631, "a"));
    ASSERT_TRUE(env.pump_until([&] { return lua_global(first, "n") == "1"; }));
    ASSERT_TRUE(sender.send_to("127.0.0.1", 5631, "b"));
    env.pump(100ms);
    EXPECT_EQ(lua_global(first, "n"), "1");
    close_lua_state(first, nullptr);
    close_lua_state(second, nullptr);
}

TEST_F(LuaNetwork, AClosedStateKeepsNoListener) {
    ScriptEnv env(true);
    lua_State *L = new_script_state();
    ASSERT_EQ(run_lua(L, kRecorder), "");
    ASSERT_EQ(run_lua(L, "network.listener_start(5640, rec, 'a')\nnetwork.listener_start(5641, rec, 'b')"), "");
    close_lua_state(L, nullptr);

    // Its sockets are closed: the ports can be bound without SO_REUSEADDR.
    UdpSocket again("127.0.0.1", 5640);
    EXPECT_TRUE(again.ok());
    UdpSocket sender("127.0.0.1", 0);
    ASSERT_TRUE(sender.send_to("127.0.0.1", 5641, "late"));
    env.pump(200ms);
    EXPECT_FALSE(env.log_has("packet_received on port"));
}

TEST(LuaNetworkMd5, StrToMd5CoversEveryByte) {
    ScriptEnv env(true);
    lua_State *L = new_script_state();
    struct Case {
        const char *expr;
        const char *md5;
    } cases[] = {
        {"''", "D41D8CD98F00B204E9800998ECF8427E"},
        {"'a\\0b'", "70350F6027BCE3713F6B76473084309B"},
        {"'abc'", "900150983CD24FB0D6963F7D28E17F72"},
        // Several 64-byte blocks, every byte value.
        {"(function() local t = {} for i = 0, 1023 do t[#t + 1] = string.char(i % 256) end "
         "return table.concat(t) end)()",
         "B2EA9F7FCEA831A4A63B213F41A8855B"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.expr);
        EXPECT_EQ(lua_eval(L, "network.str_to_md5(" + std::string(c.expr) + ")").text, c.md5);
    }
    EXPECT_EQ(lua_eval(L, "network.str_to_md5(12)").text, "C20AD4D76FE97759AA27A0C99BFF6710");
    EXPECT_EQ(lua_eval(L, "network.str_to_md5()").type, "error");
    close_lua_state(L, nullptr);
}
