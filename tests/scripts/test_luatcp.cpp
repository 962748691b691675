// The script tcp module against a loopback peer of the test's own, on the test's loop.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <lua.hpp>

#include <string>
#include <vector>

#include "src/device/context.h"
#include "src/device/driver.h"
#include "src/lua_api/lua_state.h"
#include "src/lua_api/lua_tcp_api.h"
#include "tests/support/netns.h"
#include "tests/scripts/script_env.h"
#include "tests/support/tcp_peer.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

using Strings = std::vector<std::string>;

lua_State *new_client_state() {
    lua_State *L = lua_state_new();
    open_lualibs(L);
    EXPECT_EQ(run_lua(L, fixture("tcp_client.lua")), "");
    return L;
}

std::string connect_code(int port, const std::string &on_data = "nil") {
    return "connect('127.0.0.1', " + std::to_string(port) + ", " + on_data + ")";
}

class LuaTcp : public ::testing::Test {
protected:
    void SetUp() override {
        // The engine ignores SIGPIPE from the start; so does this process.
        signal(SIGPIPE, SIG_IGN);
        L = new_client_state();
    }
    void TearDown() override {
        if (L) close_lua_state(L, nullptr);
    }
    Strings events() { return lua_strings(L, "events"); }
    Strings records() { return lua_strings(L, "records"); }
    // Opens to the peer and waits until both sides see the connection.
    void connect(const std::string &on_data = "nil") {
        ASSERT_EQ(run_lua(L, connect_code(peer.port(), on_data)), "");
        ASSERT_TRUE(env.pump_until([&] { return peer.try_accept() && !events().empty(); }));
        ASSERT_EQ(events()[0], "CONNECTED:none");
    }

    ScriptEnv env{true};
    TcpPeer peer;
    lua_State *L = nullptr;
};

struct Step {
    std::string bytes;
    size_t records_after;  // records delivered once the bytes are read
    bool leaves_rest;      // bytes stay buffered: "record not complete" is logged
};

struct FramingCase {
    const char *name;
    std::vector<Step> steps;
    Strings records;
};

void PrintTo(const FramingCase &c, std::ostream *os) { *os << c.name; }

class LuaTcpFraming : public LuaTcp, public ::testing::WithParamInterface<FramingCase> {};

TEST_P(LuaTcpFraming, RecordsAreCutByteForByte) {
    const FramingCase &c = GetParam();
    connect();
    for (const Step &s : c.steps) {
        const size_t warned = env.log_count("Luatcp: record not complete");
        ASSERT_TRUE(peer.send(s.bytes));
        ASSERT_TRUE(env.pump_until([&] {
            return records().size() == s.records_after &&
                   (!s.leaves_rest || env.log_count("Luatcp: record not complete") > warned);
        })) << records().size();
    }
    env.pump(50ms);
    EXPECT_EQ(records(), c.records);
}

const std::string nul(1, '\0');

INSTANTIATE_TEST_SUITE_P(
    Cases, LuaTcpFraming,
    ::testing::Values(
        FramingCase{"brace_in_a_string", {{"{\"a\":\"}\"}{\"b\":1}", 2, false}}, {"{\"a\":\"}\"}", "{\"b\":1}"}},
        FramingCase{"split_object", {{"{\"temp\":", 0, true}, {"21.5}", 1, false}}, {"{\"temp\":21.5}"}},
        // The CR after an object is a record of its own; a lone last LF waits for more.
        FramingCase{"cr_lf", {{"{\"a\":1}\r\n", 2, true}, {"{\"b\":2}", 4, false}},
                    {"{\"a\":1}", "\r", "\n", "{\"b\":2}"}},
        // A backslash escapes nothing: the escaped quote ends the string, and the brace after it the object.
        FramingCase{"backslash_quote", {{"{\"a\":\"x\\\"}\"}", 1, true}, {"\"", 2, false}},
                    {"{\"a\":\"x\\\"}", "\"}\""}},
        FramingCase{"nested", {{"{\"a\":{\"b\":[{},{\"c\":{}}]}}", 1, false}}, {"{\"a\":{\"b\":[{},{\"c\":{}}]}}"}},
        FramingCase{"nul_bytes", {{"{\"a\":\"" + nul + nul + "\"}{\"b\":\"" + nul + "\"}", 2, false}},
                    {"{\"a\":\"" + nul + nul + "\"}", "{\"b\":\"" + nul + "\"}"}}),
    [](const ::testing::TestParamInfo<FramingCase> &i) { return std::string(i.param.name); });

TEST_F(LuaTcp, BytesSentBeforeConnectedReachThePeerWhole) {
    const std::string early = "a" + nul + "b{\"x\":1}" + nul;
    std::string every_byte;
    for (int i = 0; i < 256; i++) every_byte.push_back((char)i);
    ASSERT_EQ(run_lua(L, connect_code(peer.port()) + "\n"
                          "sent_early = tcp.send(handle, 'a\\0b{\"x\":1}\\0')"),
              "");
    EXPECT_EQ(lua_global(L, "sent_early"), "true");
    // Nothing is called back inside open.
    EXPECT_EQ(lua_global(L, "events_at_return"), "0");
    ASSERT_TRUE(env.pump_until([&] { return peer.try_accept() && !events().empty(); }));
    EXPECT_EQ(events(), Strings{"CONNECTED:none"});
    ASSERT_EQ(run_lua(L, "local t = {} for i = 0, 255 do t[#t + 1] = string.char(i) end\n"
                         "assert(tcp.send(handle, table.concat(t)) == true)"),
              "");
    ASSERT_TRUE(env.pump_until([&] {
        peer.poll_closed();
        return peer.received().size() >= early.size() + every_byte.size();
    }));
    EXPECT_EQ(peer.received(), early + every_byte);
    EXPECT_TRUE(env.log_has("Connected\n"));
}

// A command the engine or a script starts meanwhile must not hold the device's connection open.
TEST_F(LuaTcp, TheConnectionIsNotInheritedByCommands) {
    connect();
    const std::vector<int> sockets = sockets_connected_to(peer.port());
    ASSERT_EQ(sockets.size(), 1u);
    EXPECT_TRUE(fcntl(sockets[0], F_GETFD) & FD_CLOEXEC);
}

TEST_F(LuaTcp, EndOfFileIsReportedOnceThenTheHandleIsClosed) {
    connect();
    ASSERT_TRUE(peer.send("{\"a\":1}"));
    peer.close_connection();
    ASSERT_TRUE(env.pump_until([&] { return events().size() >= 3; }));
    env.pump(100ms);
    EXPECT_EQ(events(), (Strings{"CONNECTED:none", "DATA", "ERROR:eof"}));
    EXPECT_TRUE(env.log_has("Disconnected from the remote host"));
    EXPECT_EQ(run_lua(L, "assert(tcp.send(handle, 'x') == false) tcp.close(handle)"), "");
    EXPECT_TRUE(env.log_has("LUA cleanup_context ctx"));
}

TEST_F(LuaTcp, ARefusedPortIsAnErrorReportedOnceAfterOpenReturned) {
    TcpPeer refusing(false);
    ASSERT_EQ(run_lua(L, connect_code(refusing.port()) + "\nassert(handle)"), "");
    EXPECT_EQ(lua_global(L, "events_at_return"), "0");
    ASSERT_TRUE(env.pump_until([&] { return !events().empty(); }));
    env.pump(100ms);
    EXPECT_EQ(events(), Strings{"ERROR:error"});
    EXPECT_TRUE(env.log_has("Network error"));
    EXPECT_EQ(run_lua(L, "assert(tcp.send(handle, 'x') == false)"), "");
}

TEST(LuaTcpNames, AnUnresolvableNameIsAnErrorReportedAfterOpenReturned) {
    // The lookup asks the machine's name server: only where no packet can leave.
    std::string why;
    if (!enter_private_netns(&why)) GTEST_SKIP() << why;
    ScriptEnv env(true);
    lua_State *L = new_client_state();
    ASSERT_EQ(run_lua(L, "connect('no-such-device.invalid', 4000)\nassert(handle)"), "");
    EXPECT_EQ(lua_global(L, "events_at_return"), "0");
    ASSERT_TRUE(env.pump_until([&] { return !lua_strings(L, "events").empty(); }, 30s));
    env.pump(100ms);
    EXPECT_EQ(lua_strings(L, "events"), Strings{"ERROR:error"});
    close_lua_state(L, nullptr);
}

// A state value st and a callback cb that the weak table w sees collected once nothing holds them.
const std::string kWatchStateAndCallback = "local w = setmetatable({}, {__mode = 'k'})\n"
                                           "local st, cb = {}, function() end\n"
                                           "w[st] = true w[cb] = true\n";

std::string count_watched(const std::string &global) {
    return global + " = 0 for _ in pairs(w) do " + global + " = " + global + " + 1 end\n";
}

struct OpenFailure {
    const char *name;
    const char *port;
    const char *state;
    const char *callback;
    const char *warning;
};

void PrintTo(const OpenFailure &c, std::ostream *os) { *os << c.name; }

class LuaTcpOpenFails : public LuaTcp, public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(LuaTcpOpenFails, FalseWithItsWarningAndNothingKept) {
    const OpenFailure &c = GetParam();
    // Neither the state nor the callback stays referenced: both are collected.
    ASSERT_EQ(run_lua(L, kWatchStateAndCallback + "result = tcp.open('127.0.0.1', " + c.port + ", " + c.state +
                             ", " + c.callback + ")\n" + "st, cb = nil, nil collectgarbage() collectgarbage()\n" +
                             count_watched("kept")),
              "");
    EXPECT_EQ(lua_global(L, "result"), "false");
    EXPECT_EQ(lua_global(L, "kept"), "0");
    EXPECT_EQ(env.log_count(c.warning), 1u);
    env.pump(50ms);
    EXPECT_FALSE(peer.try_accept());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LuaTcpOpenFails,
    ::testing::Values(OpenFailure{"port_zero", "0", "st", "cb", "port is NULL"},
                      OpenFailure{"port_below_one", "0.5", "st", "cb", "port is NULL"},
                      OpenFailure{"port_negative", "-1", "st", "cb", "port is NULL"},
                      OpenFailure{"port_above_65535", "65536", "st", "cb", "port is NULL"},
                      OpenFailure{"port_not_a_number", "'http'", "st", "cb", "port is NULL"},
                      OpenFailure{"port_nan", "0/0", "st", "cb", "port is NULL"},
                      OpenFailure{"nil_callback", "1", "st", "nil", "luaL_ref called for a nil value"},
                      OpenFailure{"nil_state", "1", "nil", "cb", "luaL_ref called for a nil value (state)"}),
    [](const ::testing::TestParamInfo<OpenFailure> &i) { return std::string(i.param.name); });

TEST_F(LuaTcp, ClosingReleasesTheStateAndTheCallback) {
    ASSERT_EQ(run_lua(L, kWatchStateAndCallback + "local h = tcp.open('127.0.0.1', " + std::to_string(peer.port()) +
                             ", st, cb)\n" + "st, cb = nil, nil collectgarbage()\n" + count_watched("kept_open") +
                             "tcp.close(h) collectgarbage()\n" + count_watched("kept_closed")),
              "");
    EXPECT_EQ(lua_global(L, "kept_open"), "2");
    EXPECT_EQ(lua_global(L, "kept_closed"), "0");
}

TEST_F(LuaTcp, OnlyAHandleIsSentToOrClosed) {
    connect();
    EXPECT_EQ(run_lua(L, "assert(tcp.send('x', 'y') == false)\n"
                         "assert(tcp.send({}, 'y') == false)\n"
                         "assert(tcp.send(io.stdout, 'y') == false)\n"
                         "tcp.close(io.stdout) tcp.close('x')\n"
                         "assert(io.type(io.stdout) == 'file')\n"
                         "assert(tcp.send(handle, 'still open') == true)"),
              "");
    EXPECT_EQ(env.log_count("tcp ctx is NULL"), 3u);
    ASSERT_TRUE(env.pump_until([&] {
        peer.poll_closed();
        return peer.received() == "still open";
    }));
}

TEST_F(LuaTcp, AnObjectLongerThanTheWindowClosesTheConnection) {
    connect();
    // The longest object that fits is delivered whole.
    const std::string fits = "{\"a\":\"" + std::string(LUATCP_RECORD_WINDOW - 8, 'x') + "\"}";
    ASSERT_EQ(fits.size(), (size_t)LUATCP_RECORD_WINDOW);
    ASSERT_TRUE(peer.send(fits));
    ASSERT_TRUE(env.pump_until([&] { return records().size() == 1; }));
    EXPECT_EQ(records()[0], fits);
    // One byte more and no end: the input could only grow.
    ASSERT_TRUE(peer.send("{\"a\":\"" + std::string(LUATCP_RECORD_WINDOW, 'x')));
    ASSERT_TRUE(env.pump_until([&] { return peer.poll_closed(); }));
    env.pump(50ms);
    EXPECT_EQ(events(), (Strings{"CONNECTED:none", "DATA", "ERROR:error"}));
    EXPECT_EQ(env.log_count("Luatcp: record too long"), 1u);
}

TEST_F(LuaTcp, ADroppedHandleStaysOpenAcrossCollection) {
    ASSERT_EQ(run_lua(L, connect_code(peer.port()) + "\nhandle = nil collectgarbage() collectgarbage()"), "");
    ASSERT_TRUE(env.pump_until([&] { return peer.try_accept() && !events().empty(); }));
    ASSERT_EQ(run_lua(L, "collectgarbage() collectgarbage()"), "");
    ASSERT_TRUE(peer.send("{\"after\":\"gc\"}"));
    ASSERT_TRUE(env.pump_until([&] { return records().size() == 1; }));
    EXPECT_EQ(records()[0], "{\"after\":\"gc\"}");
    EXPECT_FALSE(peer.poll_closed());
    // The state's clean-up still finds it.
    close_lua_state(L, nullptr);
    L = nullptr;
    EXPECT_TRUE(env.pump_until([&] { return peer.poll_closed(); }));
}

TEST_F(LuaTcp, ACloseInsideDataStopsDeliveryOfTheBufferedRecords) {
    // The handle itself may be gone by the time the callback returns.
    connect("function() tcp.close(handle) handle = nil collectgarbage() collectgarbage() end");
    ASSERT_TRUE(peer.send("{\"n\":1}{\"n\":2}{\"n\":3}"));
    ASSERT_TRUE(env.pump_until([&] { return peer.poll_closed(); }));
    env.pump(50ms);
    EXPECT_EQ(records(), Strings{"{\"n\":1}"});
    EXPECT_EQ(events(), (Strings{"CONNECTED:none", "DATA"}));
}

TEST_F(LuaTcp, AFailingCallbackIsLoggedAndTheNextRecordStillArrives) {
    connect("function(r) if r == '{\"n\":1}' then error('bad record') end end");
    ASSERT_TRUE(peer.send("{\"n\":1}{\"n\":2}"));
    ASSERT_TRUE(env.pump_until([&] { return records().size() == 2; }));
    // In the tcp module's own category, which "logger.category.lua_tcp" governs.
    EXPECT_TRUE(env.log_has("WARN lua_tcp - luatcp_callback failed with error [string \"test\"]:1: bad record"))
        << env.log();
}

TEST_F(LuaTcp, AClosedStateIsCalledBackByNothing) {
    TcpPeer second;
    connect();
    ASSERT_EQ(run_lua(L, "second = tcp.open('127.0.0.1', " + std::to_string(second.port()) +
                             ", 1, function() db.set('tcp:late', 'called') end)\n"
                             "timer.start('t', 0, function() db.set('tcp:late', 'timer') end)\n"
                             "timer.start('u', 30, 'x', function() db.set('tcp:late', 'timer') end)"),
              "");
    ASSERT_TRUE(peer.send("{\"pending\":true}"));
    close_lua_state(L, nullptr);
    L = nullptr;
    EXPECT_TRUE(env.log_has("All lua tcp connection closed"));
    // Both peers see the close, the one whose connection was never accepted too.
    ASSERT_TRUE(env.pump_until([&] { return peer.poll_closed() && second.try_accept() && second.poll_closed(); }));
    env.pump(100ms);
    EXPECT_FALSE(env.state().get("tcp:late").has_value());
}

int test_close_me(lua_State *L) {
    close_lua_state(L, nullptr);
    return 0;
}

TEST_F(LuaTcp, AConnectionOpenedAfterTheStateAskedToCloseEndsWithIt) {
    lua_register(L, "test_close_me", test_close_me);
    // The close waits for the call to return; the script goes on opening meanwhile.
    ASSERT_EQ(run_lua(L, "test_close_me()\n" + connect_code(peer.port())), "");
    L = nullptr;
    ASSERT_TRUE(env.pump_until([&] { return peer.try_accept() && peer.poll_closed(); }));
}

}  // namespace
