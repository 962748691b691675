// The script module device_scheduler in the test process: lookups by device id and the walk of an
// entry table. Entries that fire are tested against the daemon (tests/engine/test_script_device).
#include <gtest/gtest.h>

#include <lua.hpp>

#include "src/device/context.h"
#include "src/device/driver.h"
#include "src/lua_api/lua_state.h"
#include "tests/scripts/script_env.h"

using namespace brx_test;

TEST(LuaDeviceScheduler, EntryTablesOfAnyShapeAreWalkedWithoutError) {
    ScriptEnv env(true);
    ASSERT_NE(create_device_context("N1-3", "light", nullptr, "VIRTUAL"), nullptr);
    lua_State *L = new_script_state();
    // Numeric keys (an array part, a hash part, a fraction) come before and between the named ones.
    const char *calls[] = {
        "device_scheduler.add_entry('N1-3', {'a', 'b', [7] = 'c', [2.5] = 'd', day = 1, time = '8:00', "
        "command = '[]', [true] = 1, [{}] = 2})",
        "device_scheduler.add_entry('nope', {'a', day = 1, time = '8:00', command = '[]'})",
        "device_scheduler.add_entry('N1-3', {[1] = 1, [2] = 2, [3] = 3})",
        "device_scheduler.add_entry('N1-3', {day = 'x', time = 800, command = {}})",
        "device_scheduler.add_entry('N1-3', 'not a table')",
        "device_scheduler.add_entry('N1-3')",
        "device_scheduler.add_minutes_randomness('N1-3', -5)",
        "device_scheduler.start('N1-3')",
        "device_scheduler.cleanup('N1-3')",
    };
    for (const char *call : calls) {
        SCOPED_TRACE(call);
        EXPECT_EQ(run_lua(L, call), "");
    }
    close_lua_state(L, nullptr);
}

TEST(LuaDeviceScheduler, UnknownIdsChangeNothingAndBadArgumentsRaise) {
    ScriptEnv env(true);
    lua_State *L = new_script_state();
    ASSERT_EQ(run_lua(L, "device_scheduler.start('nope')\n"
                         "device_scheduler.cleanup('nope')\n"
                         "device_scheduler.add_minutes_randomness('nope', 10)"),
              "");
    EXPECT_TRUE(env.log_has("Cannot find ctx for id nope"));
    EXPECT_TRUE(env.log_has("schedapi_cleanup nope"));
    EXPECT_TRUE(env.log_has("schedapi_add_minutes_randomness nope"));
    struct Case {
        const char *call;
        const char *error;
    } cases[] = {
        {"device_scheduler.add_entry()", "bad argument #1 to 'add_entry'"},
        {"device_scheduler.start({})", "bad argument #1 to 'start'"},
        {"device_scheduler.add_minutes_randomness('nope')", "bad argument #2 to 'add_minutes_randomness'"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.call);
        EXPECT_NE(run_lua(L, c.call).find(c.error), std::string::npos);
    }
    close_lua_state(L, nullptr);
}
