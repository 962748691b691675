// The script module device_scheduler in the test process: lookups by device id, the walk of an entry
// table and what reaches the context's scheduler. Entries that fire are tested against the daemon
// (tests/engine/test_script_device_slow).
#include <gtest/gtest.h>

#include <time.h>

#include <lua.hpp>
#include <string>
#include <vector>

#include "src/device/context.h"
#include "src/device/driver.h"
#include "src/lua_api/lua_state.h"
#include "src/scheduler.h"
#include "common/glib-mini/glib.h"
#include "tests/scripts/script_env.h"

using namespace brx_test;

namespace {

// The entries of the context's scheduler as "day|time|command|offset", in order added.
std::vector<std::string> entries_of(device_ctx_t *ctx) {
    std::vector<std::string> out;
    for (const GSList *it = scheduler_entries(ctx->scheduler_ctx); it; it = it->next) {
        const scheduler_entry_t *e = (const scheduler_entry_t *)it->data;
        out.push_back(std::to_string(e->day) + "|" + e->time + "|" + e->command + "|" + std::to_string(e->rand_minutes));
    }
    return out;
}

}  // namespace

TEST(LuaDeviceScheduler, EntriesAreTakenFromTheirNamedMembersAsGiven) {
    ScriptEnv env(true);
    device_ctx_t *ctx = create_device_context("N1-3", "light", nullptr, "VIRTUAL");
    ASSERT_NE(ctx, nullptr);
    lua_State *L = new_script_state();
    struct Case {
        const char *call;
        const char *added;  // nullptr: nothing
    } cases[] = {
        // Numeric keys (an array part, a hash part, a fraction) before and between the named ones.
        {"device_scheduler.add_entry('N1-3', {'a', 'b', [7] = 'c', [2.5] = 'd', day = 1, time = '8:00', "
         "command = '[]', [true] = 1, [{}] = 2})",
         "1|8:00|[]|0"},
        {"device_scheduler.add_entry('N1-3', {day = 7, time = '25:99', command = 'c'})", "7|25:99|c|0"},
        {"device_scheduler.add_entry('N1-3', {day = 'x', time = '8:00', command = 'c'})", "0|8:00|c|0"},
        {"device_scheduler.add_entry('nope', {day = 1, time = '8:00', command = 'c'})", nullptr},
        {"device_scheduler.add_entry('N1-3', {day = 1, time = '8:00'})", nullptr},
        {"device_scheduler.add_entry('N1-3', {time = '8:00', command = 'c'})", nullptr},
        {"device_scheduler.add_entry('N1-3', {day = -1, time = '8:00', command = 'c'})", nullptr},
        {"device_scheduler.add_entry('N1-3', {day = 1, time = {}, command = 'c'})", nullptr},
        {"device_scheduler.add_entry('N1-3', {[1] = 1, [2] = 2, [3] = 3})", nullptr},
        {"device_scheduler.add_entry('N1-3', 'not a table')", nullptr},
        {"device_scheduler.add_entry('N1-3')", nullptr},
    };
    std::vector<std::string> want;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.call);
        ASSERT_EQ(run_lua(L, c.call), "");
        if (c.added) want.push_back(c.added);
        EXPECT_EQ(entries_of(ctx), want);
    }

    // A negative maximum offset is none at all.
    ASSERT_EQ(run_lua(L, "device_scheduler.add_minutes_randomness('N1-3', -5)\n"
                         "for i = 1, 5 do device_scheduler.add_entry('N1-3', {day = 2, time = '9:00', command = 'r'}) end"),
              "");
    for (size_t i = want.size(); i < want.size() + 5; i++) EXPECT_EQ(entries_of(ctx).at(i), "2|9:00|r|0");

    // Started twice, one timer; the clean-up empties the scheduler.
    ASSERT_EQ(run_lua(L, "device_scheduler.start('N1-3')\ndevice_scheduler.start('N1-3')"), "");
    EXPECT_TRUE(scheduler_is_started(ctx->scheduler_ctx));
    EXPECT_GT(scheduler_next_instant(ctx->scheduler_ctx), time(nullptr));
    ASSERT_EQ(run_lua(L, "device_scheduler.cleanup('N1-3')"), "");
    EXPECT_FALSE(scheduler_is_started(ctx->scheduler_ctx));
    EXPECT_TRUE(entries_of(ctx).empty());
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

// A script's additions do not count against its own memory limit: its device's scheduler takes
// them up to a mebibyte, then refuses them (WARN) while the script goes on.
TEST(LuaDeviceScheduler, AScriptFillsItsDevicesSchedulerOnlyUpToTheBound) {
    ScriptEnv env(true);
    device_ctx_t *ctx = create_device_context("N1-4", "light", nullptr, "VIRTUAL");
    ASSERT_NE(ctx, nullptr);
    lua_State *L = new_script_state();
    ASSERT_EQ(run_lua(L, "local c = string.rep('x', 10240)\n"
                         "for i = 1, 300 do device_scheduler.add_entry('N1-4', {day = 1, time = '8:00', command = c}) end\n"
                         "device_scheduler.add_entry('N1-4', {day = 2, time = '9:00', command = 'last'})"),
              "");
    const size_t n = entries_of(ctx).size();
    EXPECT_GT(n, 90u);
    EXPECT_LT(n, 110u);
    EXPECT_EQ(entries_of(ctx).back(), "2|9:00|last|0");
    EXPECT_LE(scheduler_held_bytes(ctx->scheduler_ctx), (size_t)SCHEDULER_MAX_HELD);
    EXPECT_TRUE(env.log_has("would pass 1048576: not added")) << env.log();

    ASSERT_EQ(run_lua(L, "device_scheduler.cleanup('N1-4')\n"
                         "device_scheduler.add_entry('N1-4', {day = 3, time = '10:00', command = string.rep('y', 10240)})"),
              "");
    EXPECT_EQ(entries_of(ctx).size(), 1u);
    close_lua_state(L, nullptr);
}
