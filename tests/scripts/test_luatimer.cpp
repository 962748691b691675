// The script timer module on the test's own loop: delays, names, resets, deletes, failures, clean-up.
#include <gtest/gtest.h>

#include <lua.hpp>

#include <algorithm>
#include <chrono>
#include <thread>

#include "src/device/context.h"
#include "src/device/driver.h"
#include "src/lua_api/lua_state.h"
#include "tests/scripts/script_env.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

int now_ms(lua_State *L) {
    using namespace std::chrono;
    lua_pushnumber(L, (lua_Number)duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count() / 1000.0);
    return 1;
}

lua_State *new_timer_state() {
    lua_State *L = new_script_state();
    lua_register(L, "now_ms", now_ms);
    return L;
}

double number(lua_State *L, const char *name) { return std::stod(lua_global(L, name)); }

}  // namespace

TEST(LuaTimer, DelaysFireInOrderNeverInsideStart) {
    ScriptEnv env(true);
    lua_State *L = new_timer_state();
    ASSERT_EQ(run_lua(L, fixture("timer_order.lua")), "");
    EXPECT_EQ(lua_global(L, "fired_inside_start"), "0");
    EXPECT_EQ(run_lua(L, "for i = 1, 4 do assert(start_results[i] == 0) end"), "");
    ASSERT_TRUE(env.pump_until([&] { return lua_strings(L, "fired").size() == 4; }, 20s));
    EXPECT_EQ(lua_strings(L, "fired"), (std::vector<std::string>{"zero", "num", "min", "sec"}));
    // "0.0015m" is 90 ms, "1.5s" 1500 ms. Only lower bounds (the machine may be slow), less the few
    // milliseconds by which the loop's coarse clock may lag.
    EXPECT_GE(number(L, "at_min"), 85.0);
    EXPECT_GE(number(L, "at_sec"), 1495.0);
    for (const char *armed : {"Lua timer start zero (0ms)", "Lua timer start num (2ms)", "Lua timer start min (90ms)",
                              "Lua timer start sec (1500ms)"})
        EXPECT_TRUE(env.log_has(armed)) << armed;
    EXPECT_EQ(lua_global(L, "three_got"), "7");
    EXPECT_EQ(lua_global(L, "noarg_count"), "0");
    close_lua_state(L, nullptr);
}

struct BadDelay {
    const char *name;
    const char *delay;  // Lua expression
    size_t unknown_unit;  // "unknown unit" warnings expected
};

void PrintTo(const BadDelay &c, std::ostream *os) { *os << c.name; }

class LuaTimerBadDelay : public ::testing::TestWithParam<BadDelay> {};

TEST_P(LuaTimerBadDelay, StartAndResetGiveFalseAndCreateNothing) {
    const BadDelay &c = GetParam();
    ScriptEnv env(true);
    lua_State *L = new_timer_state();
    const std::string code = std::string("local d = ") + c.delay +
                             "\nassert(timer.start('bad', d, 'a', function() fired = true end) == false)"
                             "\nassert(timer.reset('bad', d, 'a', function() fired = true end) == false)";
    ASSERT_EQ(run_lua(L, code), "");
    EXPECT_EQ(env.log_count("spec (timerDelay) value error"), 2u);
    EXPECT_EQ(env.log_count("spec (timerDelay) unknown unit"), 2 * c.unknown_unit);
    // Nothing was created: a delete finds nothing, and nothing fires.
    env.pump(30ms);
    EXPECT_EQ(lua_global(L, "fired"), "nil");
    close_lua_state(L, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LuaTimerBadDelay,
    ::testing::Values(BadDelay{"no_unit", "'abc'", 1}, BadDelay{"other_unit", "'5x'", 1},
                      BadDelay{"empty", "''", 0},
                      BadDelay{"negative_number", "-5", 0}, BadDelay{"negative_text", "'-5s'", 0},
                      BadDelay{"nan_text", "'nan'", 0}, BadDelay{"infinite", "1/0", 0},
                      BadDelay{"overflowing_text", "'1e400s'", 0}, BadDelay{"above_int_max", "2^31", 0},
                      BadDelay{"minutes_above_int_max", "'40000m'", 0}),
    [](const ::testing::TestParamInfo<BadDelay> &i) { return std::string(i.param.name); });

TEST(LuaTimer, ANilCallbackOrANonStringDelayCreatesNothing) {
    ScriptEnv env(true);
    lua_State *L = new_timer_state();
    EXPECT_EQ(run_lua(L, "assert(timer.start('n', 5, 'a', nil) == false)\n"
                         "assert(timer.reset('n', 5, 'a', nil) == false)"),
              "");
    EXPECT_TRUE(env.log_has("start - timer callback is nil"));
    EXPECT_TRUE(env.log_has("reset - timer callback is nil"));
    EXPECT_NE(run_lua(L, "timer.start('n', {}, print)").find("bad argument #2"), std::string::npos);
    close_lua_state(L, nullptr);
}

TEST(LuaTimer, ResetAndDeleteActOnTheOldestOfAName) {
    ScriptEnv env(true);
    lua_State *L = new_timer_state();
    lua_State *other = new_timer_state();
    ASSERT_EQ(run_lua(L, "fired = {}\n"
                         "local function note(v) fired[#fired + 1] = v end\n"
                         "timer.start('a', 200, 'first', note)\n"
                         "timer.start('a', 200, 'second', note)\n"
                         "timer.start('a', 200, 'third', note)\n"
                         "timer.delete('a')\n"                      // first
                         "assert(select('#', timer.reset('a', 0, 'reset', note)) == 0)\n"  // second
                         "timer.reset('fresh', 0, 'fresh', note)\n"),  // unknown: started
              "");
    // Another state's timer of the same name is not touched by L's delete.
    ASSERT_EQ(run_lua(other, "timer.start('a', 0, 'other', function(v) got = v end)"), "");
    ASSERT_TRUE(env.pump_until(
        [&] { return lua_strings(L, "fired").size() == 2 && lua_global(other, "got") == "other"; }));
    // The third is the oldest now; then none is left.
    ASSERT_EQ(run_lua(L, "timer.delete('a') timer.delete('a') timer.delete('never')"), "");
    env.pump(300ms);
    auto fired = lua_strings(L, "fired");
    std::sort(fired.begin(), fired.end());
    EXPECT_EQ(fired, (std::vector<std::string>{"fresh", "reset"}));
    EXPECT_TRUE(env.log_has("timer reset - context not found fresh"));
    close_lua_state(L, nullptr);
    close_lua_state(other, nullptr);
}

TEST(LuaTimer, ATimerResetFromItsOwnCallbackKeepsPolling) {
    ScriptEnv env(true);
    lua_State *L = new_timer_state();
    ASSERT_EQ(run_lua(L, "n = 0\n"
                         "function poll()\n"
                         "  n = n + 1\n"
                         "  timer.delete('poll')\n"  // the firing timer is no longer pending: nothing to delete
                         "  if n < 5 then timer.reset('poll', 1, poll) end\n"
                         "end\n"
                         "timer.start('poll', 0, poll)"),
              "");
    ASSERT_TRUE(env.pump_until([&] { return lua_global(L, "n") == "5"; }));
    env.pump(50ms);
    EXPECT_EQ(lua_global(L, "n"), "5");
    close_lua_state(L, nullptr);
}

TEST(LuaTimer, ATimerDeletedByAnotherCallbackOfTheSamePassNeverFires) {
    ScriptEnv env(true);
    lua_State *L = new_timer_state();
    // Both are due before the loop runs again, so both are active in one pass; whichever runs first
    // deletes the other.
    ASSERT_EQ(run_lua(L, "fired = {}\n"
                         "timer.start('x', 0, function() fired[#fired + 1] = 'x' timer.delete('y') end)\n"
                         "timer.start('y', 0, function() fired[#fired + 1] = 'y' timer.delete('x') end)"),
              "");
    std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(env.pump_until([&] { return !lua_strings(L, "fired").empty(); }));
    env.pump(50ms);
    EXPECT_EQ(lua_strings(L, "fired").size(), 1u);
    close_lua_state(L, nullptr);
}

TEST(LuaTimer, AFailingCallbackIsLoggedWithItsNameAndFreed) {
    ScriptEnv env(true);
    lua_State *L = new_timer_state();
    ASSERT_EQ(run_lua(L, "timer.start('bad', 0, 'arg', function(v) error('boom ' .. v) end)\n"
                         "timer.start('after', 5, function() after = true end)"),
              "");
    ASSERT_TRUE(env.pump_until([&] { return lua_global(L, "after") == "true"; }));
    // In the timer module's own category, which "logger.category.lua_api_timer" governs.
    EXPECT_TRUE(env.log_has("WARN lua_api_timer - timer_callback [bad] failed with error [string \"test\"]:1: boom arg"))
        << env.log();
    // The failed timer is gone: its name starts a new one on reset.
    ASSERT_EQ(run_lua(L, "timer.reset('bad', 0, function() again = true end)"), "");
    EXPECT_TRUE(env.log_has("timer reset - context not found bad"));
    ASSERT_TRUE(env.pump_until([&] { return lua_global(L, "again") == "true"; }));
    close_lua_state(L, nullptr);
}

TEST(LuaTimer, ACleanedUpStateNeverSeesItsTimers) {
    ScriptEnv env(true);
    lua_State *L = new_timer_state();
    ASSERT_EQ(run_lua(L, "timer.start('t', 0, function() db.set('timer:fired', 'yes') end)\n"
                         "timer.start('u', 20, 'x', function() db.set('timer:fired', 'yes') end)"),
              "");
    close_lua_state(L, nullptr);
    EXPECT_TRUE(env.log_has("All lua timers for stoped lua VM"));
    env.pump(100ms);
    EXPECT_FALSE(env.state().get("timer:fired").has_value());
}

namespace {
int test_close_me(lua_State *L) {
    close_lua_state(L, nullptr);
    return 0;
}
}  // namespace

TEST(LuaTimer, ATimerStartedAfterTheStateAskedToCloseEndsWithIt) {
    ScriptEnv env(true);
    lua_State *L = new_timer_state();
    lua_register(L, "test_close_me", test_close_me);
    // The close waits for the call to return; the script goes on starting a timer meanwhile.
    ASSERT_EQ(run_lua(L, "test_close_me()\n"
                         "timer.start('late', 10, function() db.set('timer:late', 'yes') end)"),
              "");
    env.pump(100ms);
    EXPECT_FALSE(env.state().get("timer:late").has_value());
}
