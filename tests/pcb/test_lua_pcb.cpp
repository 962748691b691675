// The script module pcb in real script states, through the bridge, against the bus stand-in.
#include <gtest/gtest.h>

#include <lua.hpp>
#include <string>
#include <vector>

#include "src/device/context.h"
#include "src/device/driver.h"
#include "src/lua_api/lua_state.h"
#include "tests/pcb/bus_fixture.h"
#include "tests/scripts/script_env.h"

using namespace brx_test;

namespace {

// Every callback appends "<first value>|<last value or ->|<argument count>" to the global list `got`.
const char *const kRecorder = R"(
got = {}
function record(first, ...)
  local n = select('#', ...)
  local last = n > 0 and tostring(select(n, ...)) or "-"
  got[#got + 1] = string.format("%s|%s|%d", tostring(first), last, n + 1)
end
)";

class LuaPcb : public pcb_test::BridgeTest {
protected:
    void TearDown() override {
        for (lua_State *s : states_) close_lua_state(s, nullptr);
        BridgeTest::TearDown();
    }
    lua_State *new_state() {
        lua_State *s = new_script_state();
        EXPECT_EQ(run_lua(s, kRecorder), "");
        states_.push_back(s);
        return s;
    }
    void close(lua_State *s) {
        states_.erase(std::find(states_.begin(), states_.end(), s));
        close_lua_state(s, nullptr);
    }
    std::vector<std::string> got(lua_State *s) {
        run_lua(s, "got_n = #got");
        std::vector<std::string> out;
        int n = std::stoi(lua_global(s, "got_n"));
        for (int i = 1; i <= n; i++) out.push_back(lua_eval(s, "got[" + std::to_string(i) + "]").text);
        return out;
    }
    std::string eval(lua_State *s, const std::string &expr) {
        LuaValue v = lua_eval(s, "(function(v) return type(v) .. ':' .. tostring(v) end)(" + expr + ")");
        return v.type == "string" ? v.text : v.type + ":" + v.text;
    }
    size_t executes(const std::string &function) { return bus_->count({"execute", function}); }

    std::vector<lua_State *> states_;
};

// The last argument is the callback, the one below it comes back last unless it is nil.
TEST_F(LuaPcb, ResultsReachTheCallbackWithTheUserArgument) {
    lua_State *L = new_state();
    struct Case {
        const char *call;
        const char *expected;  // "<result>|<last>|<count>"
    } cases[] = {
        {"pcb.call_async_ret('Device.Info.echo', '{\"v\":1}', 'mine', record)", R"({"returns":"{\"v\":1}","v":"1"}|mine|2)"},
        {"pcb.call_async_ret('Device.Info.echo', '{\"v\":2}', nil, record)", R"({"returns":"{\"v\":2}","v":"2"}|-|1)"},
        // three arguments: the JSON text is the one below the callback
        {"pcb.call_async_ret('Device.Info.echo', '{\"v\":3}', record)", R"({"returns":"{\"v\":3}","v":"3"}|{"v":3}|2)"},
        {"pcb.call_async_ret('Device.Info.fail', '{}', 'f', record)", "|f|2"},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(run_lua(L, "got = {} ok = " + std::string(c.call)), "") << c.call;
        EXPECT_EQ(lua_global(L, "ok"), "true") << c.call;
        ASSERT_TRUE(pump_until([&] { return got(L).size() == 1; })) << c.call;
        EXPECT_EQ(got(L)[0], c.expected) << c.call;
    }

    // call_async goes out and delivers nothing.
    ASSERT_EQ(run_lua(L, "got = {} ok = pcb.call_async('Device.Info.echo', '{}')"), "");
    EXPECT_EQ(lua_global(L, "ok"), "true");
    ASSERT_TRUE(pump_until([&] { return executes("Device.Info.echo") == 4; }));
    ASSERT_EQ(run_lua(L, "pcb.call_async_ret('Device.Info.echo', '{}', 'after', record)"), "");
    ASSERT_TRUE(pump_until([&] { return !got(L).empty(); }));
    EXPECT_EQ(got(L).size(), 1u);
    EXPECT_NE(got(L)[0].find("|after|2"), std::string::npos) << got(L)[0];

    // Arguments that must be strings.
    EXPECT_NE(run_lua(L, "pcb.call_async_ret({}, '{}', record)").find("bad argument #1"), std::string::npos);
    EXPECT_NE(run_lua(L, "pcb.call_async(1, nil)").find("bad argument #2"), std::string::npos);
}

// A refused call is false, never calls back and keeps nothing: a script refused in a loop does not grow.
TEST_F(LuaPcb, ARefusedCallKeepsNothing) {
    lua_State *L = new_state();
    ASSERT_EQ(run_lua(L, R"(
oks = 0
local function burst(n)
  for i = 1, n do
    local big = string.rep(tostring(i), 200)
    if pcb.call_async_ret('nodot', '{}', big, function() got[#got + 1] = big end) then oks = oks + 1 end
    if pcb.call_async('nodot', '{}') then oks = oks + 1 end
  end
  collectgarbage('collect')
  return collectgarbage('count')
end
burst(200)
before = burst(1)
after = burst(2000)
grew = after - before)"),
              "");
    EXPECT_EQ(lua_global(L, "oks"), "0");
    EXPECT_LT(std::stod(lua_global(L, "grew")), 100.0) << "kB kept by 2000 refused calls";
    pump_until([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_TRUE(got(L).empty());
    EXPECT_EQ(executes("nodot"), 0u);
}

TEST_F(LuaPcb, CancelEndsOnlyTheCallingStatesCalls) {
    lua_State *a = new_state();
    lua_State *b = new_state();
    ASSERT_EQ(run_lua(a, "pcb.call_async_ret('Device.Info.delayed', '{\"delay_ms\":200}', 'a', record)"), "");
    ASSERT_EQ(run_lua(b, "pcb.call_async_ret('Device.Info.delayed', '{\"delay_ms\":200}', 'b', record)"), "");
    ASSERT_EQ(run_lua(a, "pcb.observe_object('Device.Info', record)"), "");
    ASSERT_TRUE(pump_until([&] { return got(a).size() == 1; }));  // the object reply
    ASSERT_EQ(run_lua(a, "got = {} pcb.cancel_all_requests()"), "");
    // Answered after the cancelled ones.
    ASSERT_EQ(run_lua(a, "pcb.call_async_ret('Device.Info.delayed', '{\"delay_ms\":600}', 'late', record)"), "");
    ASSERT_TRUE(pump_until([&] { return got(a).size() == 1; }));
    EXPECT_NE(got(a)[0].find("|late|2"), std::string::npos) << got(a)[0];
    ASSERT_EQ(got(b).size(), 1u);
    EXPECT_NE(got(b)[0].find("|b|2"), std::string::npos) << got(b)[0];
    // The observation is not a request: it still delivers.
    ASSERT_EQ(bus_->cli({"-n", "Device.Info", "100", "after_cancel", "v"}), 0);
    ASSERT_TRUE(pump_until([&] { return got(a).size() == 2; }));
    EXPECT_NE(got(a)[1].find("after_cancel"), std::string::npos) << got(a)[1];
}

// A callback that cancels everything of its state, its own call included: the call it runs for is
// not freed twice, and the state's other pending call ends.
TEST_F(LuaPcb, CancellingInsideAResultCallback) {
    lua_State *L = new_state();
    ASSERT_EQ(run_lua(L, R"(
pcb.call_async_ret('Device.Info.delayed', '{"delay_ms":500}', 'second', record)
pcb.call_async_ret('Device.Info.echo', '{}', 'first', function(r, a)
  record(r, a)
  pcb.cancel_all_requests()
  error('after cancel')
end)
)"),
              "");
    ASSERT_TRUE(pump_until([&] { return got(L).size() == 1; }));
    ASSERT_EQ(run_lua(L, "pcb.call_async_ret('Device.Info.delayed', '{\"delay_ms\":900}', 'third', record)"), "");
    ASSERT_TRUE(pump_until([&] { return got(L).size() == 2; }));
    EXPECT_NE(got(L)[0].find("|first|2"), std::string::npos) << got(L)[0];
    EXPECT_NE(got(L)[1].find("|third|2"), std::string::npos) << got(L)[1];
}

TEST_F(LuaPcb, ObservingAPathTwiceKeepsTheFirst) {
    lua_State *L = new_state();
    ASSERT_EQ(run_lua(L, R"(
first = pcb.observe_object('Device.Info', function(j, p) record('first:' .. j, p) end)
second = pcb.observe_object('Device.Info', 'x', function(j, p) record('second', p) end))"),
              "");
    EXPECT_EQ(lua_global(L, "first"), "true");
    EXPECT_EQ(lua_global(L, "second"), "false");
    ASSERT_TRUE(pump_until([&] { return got(L).size() == 1; }));
    // Two arguments: the path comes back as the argument.
    EXPECT_NE(got(L)[0].find("\"Name\""), std::string::npos) << got(L)[0];
    EXPECT_NE(got(L)[0].find("|Device.Info|2"), std::string::npos) << got(L)[0];
    ASSERT_EQ(bus_->cli({"-n", "Device.Info", "100", "alert", "a"}), 0);
    ASSERT_TRUE(pump_until([&] { return got(L).size() == 2; }));
    EXPECT_NE(got(L)[1].find("first:{\"notification_type\":100,\"notification_name\":\"alert\""), std::string::npos)
        << got(L)[1];
    // A failing callback stays for the next notification.
    ASSERT_EQ(run_lua(L, "pcb.observe_object('Device.Other', function(j) record(j) error('obs') end)"), "");
    ASSERT_TRUE(pump_until([&] { return got(L).size() == 3; }));
    ASSERT_EQ(bus_->cli({"-n", "Device.Other", "100", "again", "v"}), 0);
    ASSERT_TRUE(pump_until([&] { return got(L).size() == 4; }));
    EXPECT_NE(got(L)[3].find("again"), std::string::npos) << got(L)[3];
}

TEST_F(LuaPcb, SynchronousReadsAndWrites) {
    lua_State *L = new_state();
    struct Case {
        const char *expr, *expected;
    } cases[] = {
        {"pcb.get_string('APService.HomeAutomation.BrixmoorScriptsVersion')", "nil:nil"},  // empty
        {"pcb.get_string('APService.HomeAutomation.Text')", "string:plain"},
        {"pcb.get_string('Device.Info.Missing')", "nil:nil"},
        {"pcb.get_string('Device.Info.Uptime')", "string:42"},
        {"pcb.get_bool('Device.Info.Up')", "boolean:true"},
        {"pcb.set('APService.HomeAutomation.Text', 'true')", "boolean:true"},
        {"pcb.get_bool('APService.HomeAutomation.Text')", "boolean:false"},  // only "1" is true
        {"pcb.set('APService.HomeAutomation.Text', 1)", "boolean:true"},     // numbers as text
        {"pcb.get_bool('APService.HomeAutomation.Text')", "boolean:true"},
        {"pcb.set('Device.Info.Missing', 'x')", "boolean:false"},
        {"pcb.set('APService.HomeAutomation.Text', 'from script')", "boolean:true"},
    };
    for (const auto &c : cases) EXPECT_EQ(eval(L, c.expr), c.expected) << c.expr;
    std::string out;
    ASSERT_EQ(bus_->cli({"-l", "APService.HomeAutomation.Text?"}, &out), 0);
    EXPECT_EQ(out, "from script\n");
    EXPECT_NE(run_lua(L, "pcb.set('APService.HomeAutomation.Text')").find("bad argument #2"), std::string::npos);
    EXPECT_NE(run_lua(L, "pcb.get_bool()").find("bad argument #1"), std::string::npos);
}

// A state closed with a call pending and an observation: nothing reaches it afterwards (ASan would
// see it), and the state built in its place can observe the same object at once.
TEST_F(LuaPcb, AClosedStateHearsNothingAndItsSuccessorObservesTheSamePath) {
    lua_State *old_state = new_state();
    ASSERT_EQ(run_lua(old_state, R"(
pcb.call_async_ret('Device.Info.delayed', '{"delay_ms":300}', 'old', record)
pcb.observe_object('Device.Info', record))"),
              "");
    ASSERT_TRUE(pump_until([&] { return got(old_state).size() == 1; }));
    ASSERT_TRUE(pump_until([&] { return executes("Device.Info.delayed") == 1; }));
    close(old_state);

    lua_State *rebuilt = new_state();
    EXPECT_EQ(eval(rebuilt, "pcb.observe_object('Device.Info', 'again', record)"), "boolean:true");
    ASSERT_TRUE(pump_until([&] { return got(rebuilt).size() == 1; }));
    EXPECT_NE(got(rebuilt)[0].find("|again|2"), std::string::npos) << got(rebuilt)[0];
    ASSERT_EQ(bus_->cli({"-n", "Device.Info", "100", "to_rebuilt", "v"}), 0);
    ASSERT_TRUE(pump_until([&] { return got(rebuilt).size() == 2; }));
    EXPECT_NE(got(rebuilt)[1].find("to_rebuilt"), std::string::npos) << got(rebuilt)[1];
    // A live observation still refuses a second one.
    EXPECT_EQ(eval(rebuilt, "pcb.observe_object('Device.Info', record)"), "boolean:false");
    // Past the old call's delay: it was ended, and a new one goes out and is answered.
    ASSERT_EQ(run_lua(rebuilt, "pcb.call_async_ret('Device.Info.delayed', '{\"delay_ms\":400}', 'new', record)"), "");
    ASSERT_TRUE(pump_until([&] { return got(rebuilt).size() == 3; }));
    EXPECT_NE(got(rebuilt)[2].find("|new|2"), std::string::npos) << got(rebuilt)[2];
}

}  // namespace
