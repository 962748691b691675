// The script db module against real Redis, in gateway (local) and remote mode.
#include <gtest/gtest.h>

#include <lua.hpp>
#include <set>

#include "src/device/context.h"
#include "src/device/driver.h"
#include "src/lua_api/lua_state.h"
#include "src/lua_api/luadb.h"
#include "tests/scripts/script_env.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

int got_count(lua_State *L) {
    lua_getglobal(L, "got");
    int n = lua_istable(L, -1) ? (int)lua_objlen(L, -1) : 0;
    lua_pop(L, 1);
    return n;
}

std::set<std::string> got_set(lua_State *L) {
    std::set<std::string> out;
    lua_getglobal(L, "got");
    for (int i = 1; lua_istable(L, -1) && i <= (int)lua_objlen(L, -1); i++) {
        lua_rawgeti(L, -1, i);
        out.insert(lua_tostring(L, -1));
        lua_pop(L, 1);
    }
    lua_pop(L, 1);
    return out;
}

void trigger_one_of_each(RedisServer &r) {
    r.command({"PUBLISH", "s:plain", "m1"});
    r.command({"PUBLISH", "s:pat:x", "m2"});
    r.set("s:key", "v1");
    r.set("s:keys:a", "v2");
}

}  // namespace

TEST(LuaDb, GatewayCommandsAnswerBeforeReturning) {
    ScriptEnv env(true);
    lua_State *L = open_script_state();
    ASSERT_EQ(run_lua(L, fixture("db_local.lua")), "");
    EXPECT_FALSE(env.state().get("t:a").has_value());
    EXPECT_EQ(env.state().get("t:m"), "1");
    EXPECT_GT(env.state().command({"TTL", "t:%s"}).integer, 0);
    ASSERT_TRUE(env.pump_until([&] { return lua_global(L, "async_got") != "nil"; }));
    EXPECT_EQ(lua_global(L, "async_got"), "t:%s=pct");
    close_lua_state(L, nullptr);
}

TEST(LuaDb, RemoteCommandsAnswerFromTheLoop) {
    ScriptEnv env(false);
    lua_State *L = open_script_state();
    ASSERT_EQ(run_lua(L, fixture("db_remote.lua")), "");
    ASSERT_TRUE(env.pump_until([&] { return lua_global(L, "async_got") != "nil"; }));
    EXPECT_EQ(run_lua(L, "assert(order[1] == 'returned' and order[2] == 'callback')"), "");
    // The SET was queued before the KEYS on the same connection.
    EXPECT_EQ(lua_global(L, "keys_n"), "1");
    EXPECT_EQ(lua_global(L, "async_got"), "r:a=v");
    EXPECT_EQ(env.state().get("r:a"), "v");
    close_lua_state(L, nullptr);
}

TEST(LuaDb, RefusedCommandsGiveNilAndAMissingValueFromTheLoop) {
    ScriptEnv env(false, true);
    lua_State *L = open_script_state();
    ASSERT_EQ(run_lua(L, "sub = db.subscribe('x:chan', print)\n"
                         "keys = db.keys('x:*', print)\n"
                         "set = db.set('x:k', 'v')\n"
                         "db.get_async('x:k', function(k, v) refused = k .. ':' .. tostring(v) end)\n"
                         "inside = refused\n"),
              "");
    EXPECT_EQ(lua_global(L, "sub"), "nil");
    EXPECT_EQ(lua_global(L, "keys"), "nil");
    EXPECT_EQ(lua_global(L, "set"), "false");
    EXPECT_EQ(lua_global(L, "inside"), "nil");
    ASSERT_TRUE(env.pump_until([&] { return lua_global(L, "refused") != "nil"; }));
    EXPECT_EQ(lua_global(L, "refused"), "x:k:nil");
    // No record of the refused subscription is left behind to refuse the next attempt as a duplicate.
    EXPECT_EQ(run_lua(L, "assert(db.subscribe('x:chan', print) == nil)"), "");
    EXPECT_FALSE(env.log_has("already subscribed"));
    close_lua_state(L, nullptr);
}

class LuaDbModes : public ::testing::TestWithParam<bool> {};

TEST_P(LuaDbModes, EachSubscriptionKindDeliversItsShape) {
    ScriptEnv env(GetParam());
    lua_State *L = open_script_state();
    ASSERT_EQ(run_lua(L, fixture("db_subscriptions.lua")), "");
    ASSERT_TRUE(env.wait_subscribed({"s:plain", "__keyspace@0__:s:key"}, 2));
    trigger_one_of_each(env.state());
    ASSERT_TRUE(env.pump_until([&] { return got_count(L) >= 4; }));
    EXPECT_EQ(got_set(L), (std::set<std::string>{"plain,m1", "pat,s:pat:x,m2", "key,v1", "keys,s:keys:a,v2"}));

    // unsubscribe ends any kind by its key; unsubscribeall ends the rest.
    ASSERT_EQ(run_lua(L, "assert(db.unsubscribe('s:plain') == true) got = {}"), "");
    ASSERT_TRUE(env.pump_until(
        [&] { return env.state().command({"PUBSUB", "NUMSUB", "s:plain"}).elements[1].integer == 0; }));
    ASSERT_EQ(run_lua(L, "assert(db.unsubscribeall() == true)"), "");
    ASSERT_TRUE(env.pump_until([&] { return env.state().command({"PUBSUB", "NUMPAT"}).integer == 0; }));
    trigger_one_of_each(env.state());
    env.pump(100ms);
    EXPECT_EQ(got_count(L), 0);
    close_lua_state(L, nullptr);
}

TEST_P(LuaDbModes, ACallbackErrorIsLoggedAndTheNextMessageStillArrives) {
    ScriptEnv env(GetParam());
    lua_State *L = open_script_state();
    ASSERT_EQ(run_lua(L, "n = 0 db.subscribe('e:chan', function(m) n = n + 1 error('bad ' .. m) end)"), "");
    ASSERT_TRUE(env.wait_subscribed({"e:chan"}));
    env.state().command({"PUBLISH", "e:chan", "one"});
    env.state().command({"PUBLISH", "e:chan", "two"});
    ASSERT_TRUE(env.pump_until([&] { return lua_global(L, "n") == "2"; }));
    // In the db module's own category, which "logger.category.lua-db-api" governs.
    EXPECT_TRUE(env.log_has("WARN lua-db-api - db_subscribe_callback failed with error [string \"test\"]:1: bad one"))
        << env.log();
    EXPECT_TRUE(env.log_has("bad two"));
    close_lua_state(L, nullptr);
}

namespace {
std::set<lua_State *> forgotten;
void note_forgotten(lua_State *L) { forgotten.insert(L); }
int test_close_me(lua_State *L) {
    close_lua_state(L, nullptr);
    return 0;
}
}  // namespace

TEST_P(LuaDbModes, ASubscriptionMadeAfterTheStateAskedToCloseEndsWithIt) {
    ScriptEnv env(GetParam());
    lua_state_add_forget_hook(note_forgotten);
    lua_State *a = open_script_state();
    lua_State *b = open_script_state();
    lua_register(a, "test_close_me", test_close_me);
    // The close waits for the call to return; the script goes on subscribing meanwhile.
    ASSERT_EQ(run_lua(a, "test_close_me()\n"
                         "assert(db.subscribe('late:chan', function(m) db.set('late:a', m) end) == true)"),
              "");
    ASSERT_TRUE(env.pump_until([&] { return forgotten.count(a) > 0; }));
    // Nothing of the closed state is left: the channel is free again and its messages reach only b.
    ASSERT_EQ(run_lua(b, "assert(db.subscribe('late:chan', function(m) got = m end) == true)"), "");
    ASSERT_TRUE(env.wait_subscribed({"late:chan"}));
    env.state().command({"PUBLISH", "late:chan", "m"});
    ASSERT_TRUE(env.pump_until([&] { return lua_global(b, "got") == "m"; }));
    EXPECT_FALSE(env.state().get("late:a").has_value());
    close_lua_state(b, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Modes, LuaDbModes, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool> &i) { return i.param ? "gateway" : "remote"; });

TEST(LuaDb, DuplicateSubscriptionsAreRefusedPerKindAcrossStates) {
    ScriptEnv env(true);
    lua_State *a = open_script_state();
    lua_State *b = open_script_state();
    ASSERT_EQ(run_lua(a, "db.get_async('d:c', print)\n"
                         "r = { db.subscribe('d:c', print), db.subscribe('d:c', print),\n"
                         "      db.subscribe_keyspace('d:c', print), db.psubscribe('d:c*', print) }\n"
                         "assert(r[1] == true and r[2] == nil and r[3] == true and r[4] == true)"),
              "");
    EXPECT_EQ(run_lua(b, "assert(db.subscribe('d:c', print) == nil)\n"
                         "assert(db.subscribe_keyspace('d:c', print) == nil)"),
              "");
    EXPECT_TRUE(env.log_has("lua_db_subscribe_common key d:c already subscribed"));
    // Once a's records are gone, b may subscribe.
    cleanup_luadb_callbacks(a, nullptr, nullptr);
    EXPECT_EQ(run_lua(b, "assert(db.subscribe('d:c', print) == true)"), "");
    close_lua_state(a, nullptr);
    close_lua_state(b, nullptr);
}

TEST(LuaDb, NilCallbacksCreateNothing) {
    ScriptEnv env(true);
    lua_State *L = open_script_state();
    EXPECT_EQ(run_lua(L, "assert(db.subscribe('n:c', nil) == nil)\n"
                         "assert(db.keys('n:*', nil) == nil)\n"
                         "assert(select('#', db.get_async('n:k', nil)) == 0)\n"
                         "assert(db.subscribe('n:c', print) == true)"),
              "");
    EXPECT_TRUE(env.log_has("luaL_ref called for a nil value"));
    // A missing argument is the usual Lua argument error.
    EXPECT_NE(run_lua(L, "db.set('only-key')").find("bad argument #2"), std::string::npos);
    close_lua_state(L, nullptr);
}

TEST(LuaDb, CleanupDuringCallbacksEndsEverythingOfTheState) {
    ScriptEnv env(true);
    lua_State *L = open_script_state();
    ASSERT_EQ(run_lua(L, "n = 0\n"
                         "db.subscribe('c:chan', function(m) n = n + 1 db.cleanup() end)\n"
                         "db.subscribe('c:other', function(m) other = m end)\n"
                         "db.get_async('c:key', function(k, v) late = true end)\n"
                         // On the gateway the keys callback runs inside db.keys.
                         "kn = 0 db.keys('*', function(t) kn = kn + 1 db.cleanup() end)\n"),
              "");
    EXPECT_EQ(lua_global(L, "kn"), "1");
    ASSERT_EQ(run_lua(L, "db.subscribe('c:chan', function(m) n = n + 1 db.cleanup() end)\n"
                         "db.subscribe('c:other', function(m) other = m end)"),
              "");
    ASSERT_TRUE(env.wait_subscribed({"c:chan", "c:other"}));
    env.state().command({"PUBLISH", "c:chan", "1"});
    ASSERT_TRUE(env.pump_until([&] {
        Reply r = env.state().command({"PUBSUB", "NUMSUB", "c:chan", "c:other"});
        return r.elements[1].integer == 0 && r.elements[3].integer == 0;
    }));
    env.state().command({"PUBLISH", "c:chan", "2"});
    env.state().command({"PUBLISH", "c:other", "x"});
    env.pump(100ms);
    EXPECT_EQ(lua_global(L, "n"), "1");
    EXPECT_EQ(lua_global(L, "other"), "nil");
    EXPECT_EQ(lua_global(L, "late"), "nil");
    close_lua_state(L, nullptr);
}

namespace {
int continuation_calls = 0;
void count_continuation(const void *arg) {
    continuation_calls++;
    EXPECT_EQ(arg, &continuation_calls);
}
}  // namespace

TEST(LuaDb, CleanupContinuationRunsOnceAfterTheLastUnsubscription) {
    ScriptEnv env(true);
    lua_State *L = open_script_state();

    // Only a pending GET: the continuation runs at once and the GET never answers.
    ASSERT_EQ(run_lua(L, "db.get_async('k:x', function() answered = true end)"), "");
    cleanup_luadb_callbacks(L, count_continuation, &continuation_calls);
    EXPECT_EQ(continuation_calls, 1);
    env.pump(50ms);
    EXPECT_EQ(lua_global(L, "answered"), "nil");

    // Two subscriptions: once, and only after both are confirmed.
    continuation_calls = 0;
    ASSERT_EQ(run_lua(L, "db.subscribe('k:a', print) db.psubscribe_keyspace('k:*', print)"), "");
    ASSERT_TRUE(env.wait_subscribed({"k:a"}, 1));
    cleanup_luadb_callbacks(L, count_continuation, &continuation_calls);
    EXPECT_EQ(continuation_calls, 0);
    ASSERT_TRUE(env.pump_until([] { return continuation_calls > 0; }));
    EXPECT_EQ(env.state().command({"PUBSUB", "NUMPAT"}).integer, 0);
    env.pump(100ms);
    EXPECT_EQ(continuation_calls, 1);
    close_lua_state(L, nullptr);
}
