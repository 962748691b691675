// Device and domain contexts with their script states, loading and reload of the roles, hooks.
#include <gtest/gtest.h>

#include <lua.hpp>
#include <set>

#include "src/device/context.h"
#include "src/device/device.h"
#include "src/device/driver.h"
#include "src/device_cfg.h"
#include "src/lua_api/lua_state.h"
#include "tests/scripts/script_env.h"
#include "tests/support/tcp_peer.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

std::string get_or(RedisServer &r, const std::string &key, const std::string &none = "(none)") {
    auto v = r.get(key);
    return v ? *v : none;
}

}  // namespace

TEST(Contexts, CreationArgumentsAndLookups) {
    ScriptEnv env(true);
    EXPECT_EQ(create_device_context(nullptr, "camera", nullptr, "LAN"), nullptr);
    EXPECT_EQ(create_device_context("1-1", nullptr, nullptr, "LAN"), nullptr);
    EXPECT_EQ(create_device_context("1-1", "camera", nullptr, nullptr), nullptr);
    EXPECT_TRUE(env.log_has("No device_id/class/domain given"));
    EXPECT_EQ(create_domain_context(nullptr), nullptr);

    device_ctx_t *ctx = create_device_context("1-1", "camera", nullptr, "LAN");
    ASSERT_NE(ctx, nullptr);
    EXPECT_STREQ(ctx->driver, "camera");
    EXPECT_EQ(ctx->driver_loaded, 0);
    EXPECT_NE(ctx->L_drv, ctx->L_app);
    EXPECT_EQ(create_device_context("1-1", "switch", "other", "ZB"), ctx);
    EXPECT_EQ(get_device_context("1-1"), ctx);
    EXPECT_EQ(get_device_context_by_luastate(ctx->L_drv), ctx);
    EXPECT_EQ(get_device_context_by_luastate(ctx->L_app), ctx);
    EXPECT_EQ(get_device_context("1-2"), nullptr);

    // An existing id only gets its app id replaced.
    EXPECT_EQ(update_device_context("1-1", "app7", "switch", "x", "ZB"), ctx);
    EXPECT_STREQ(ctx->app_id, "app7");
    EXPECT_STREQ(ctx->class_name, "camera");
    EXPECT_STREQ(ctx->domain, "LAN");
    update_device_context("1-1", nullptr, "switch", "x", "ZB");
    EXPECT_EQ(ctx->app_id, nullptr);

    domain_ctx_t *d = create_domain_context("ZB");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(create_domain_context("ZB"), d);
    EXPECT_EQ(get_domain_context_by_luastate(d->L), d);
    EXPECT_EQ(get_device_context_by_luastate(d->L), nullptr);

    remove_device_context("1-1");
    EXPECT_EQ(get_device_context("1-1"), nullptr);
}

TEST(Contexts, LookupsByTokenAndStateFollowRebuildsAndRemovals) {
    ScriptEnv env(true);
    device_ctx_t *ctx = create_device_context("lk-1", "camera", nullptr, "LAN");
    domain_ctx_t *d = create_domain_context("ZB");
    ASSERT_NE(ctx, nullptr);
    ASSERT_NE(d, nullptr);
    uintptr_t self = ctx->tokens[CTX_TOKEN_SELF];
    lua_State *old_drv = ctx->L_drv, *old_app = ctx->L_app, *old_dom = d->L;
    EXPECT_EQ(find_device_context_by_token(self), ctx);
    EXPECT_EQ(find_domain_context_by_token(d->tokens[DOMAIN_TOKEN_SELF]), d);
    EXPECT_EQ(find_device_context_by_token(d->tokens[DOMAIN_TOKEN_SELF]), nullptr) << "the kinds stay apart";

    // A rebuild with nothing pending completes at once: the new states lead to the context, the old
    // ones to nothing, and the driver's watch has a token of its own.
    reset_device_lua_state(ctx);
    reset_domain_lua_state(d);
    ASSERT_NE(ctx->L_drv, old_drv);
    ASSERT_NE(d->L, old_dom);
    EXPECT_EQ(get_device_context_by_luastate(old_drv), nullptr);
    EXPECT_EQ(get_device_context_by_luastate(old_app), nullptr);
    EXPECT_EQ(get_domain_context_by_luastate(old_dom), nullptr);
    EXPECT_EQ(get_device_context_by_luastate(ctx->L_drv), ctx);
    EXPECT_EQ(get_device_context_by_luastate(ctx->L_app), ctx);
    EXPECT_EQ(get_domain_context_by_luastate(d->L), d);
    ASSERT_NE(ctx->tokens[CTX_TOKEN_DRV_CODE], 0u);
    EXPECT_EQ(find_device_context_by_token(ctx->tokens[CTX_TOKEN_DRV_CODE]), ctx);
    EXPECT_EQ(find_device_context_by_token(self), ctx);

    // A removed context is found by none of its tokens or states, and a new one of the same id
    // only by its own.
    uintptr_t watch = ctx->tokens[CTX_TOKEN_DRV_CODE];
    lua_State *drv = ctx->L_drv, *app = ctx->L_app;
    remove_device_context("lk-1");
    EXPECT_EQ(find_device_context_by_token(self), nullptr);
    EXPECT_EQ(find_device_context_by_token(watch), nullptr);
    EXPECT_EQ(get_device_context_by_luastate(drv), nullptr);
    EXPECT_EQ(get_device_context_by_luastate(app), nullptr);
    device_ctx_t *again = create_device_context("lk-1", "camera", nullptr, "LAN");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(find_device_context_by_token(self), nullptr);
    EXPECT_EQ(find_device_context_by_token(again->tokens[CTX_TOKEN_SELF]), again);
}

namespace {
int visited = 0;
void remove_all_others(device_ctx_t *ctx) {
    visited++;
    for (const char *id : {"w-1", "w-2", "w-3"})
        if (strcmp(id, ctx->device_id) != 0) remove_device_context(id);
}
}  // namespace

TEST(Contexts, WalkSurvivesRemovalsFromTheCallback) {
    ScriptEnv env(true);
    for (const char *id : {"w-1", "w-2", "w-3"}) create_device_context(id, "camera", nullptr, "LAN");
    foreach_device_context(remove_all_others);
    EXPECT_EQ(visited, 1);
}

struct LualibCase {
    const char *name;
    const char *chunk;  // nullptr: key absent
    const char *seen_db;
    const char *log;
};

void PrintTo(const LualibCase &c, std::ostream *os) { *os << c.name; }

class SharedChunk : public ::testing::TestWithParam<LualibCase> {};

TEST_P(SharedChunk, RunsBeforeCjsonAndNeverKeepsItOut) {
    const LualibCase &c = GetParam();
    ScriptEnv env(true);
    if (c.chunk) env.conf().set("brx:lualib:global", c.chunk);
    lua_State *L = lua_state_new();
    open_lualibs(L);
    EXPECT_EQ(lua_global(L, "seen_db"), c.seen_db);
    EXPECT_EQ(lua_global(L, "seen_cjson"), "nil");
    EXPECT_TRUE(env.log_has(c.log)) << env.log();
    EXPECT_EQ(run_lua(L, "assert(cjson and package.loaded.cjson == cjson and require('cjson') == cjson)\n"
                         "assert(cjson.decode(cjson.encode({a = 1})).a == 1)\n"
                         "assert(string and table and os and io and db)"),
              "");
    close_lua_state(L, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SharedChunk,
    ::testing::Values(
        LualibCase{"runs", "seen_db = db ~= nil  if cjson then seen_cjson = true end", "true",
                   "lualib:global loaded (res 0)"},
        LualibCase{"fails_to_compile", "this is not lua", "nil", "lualib:global loaded (res 1)"},
        LualibCase{"fails_to_run", "seen_db = db ~= nil error('late')", "true", "lualib:global loaded (res 1)"},
        LualibCase{"absent", nullptr, "nil", "Cannot load lualib:global"}),
    [](const ::testing::TestParamInfo<LualibCase> &i) { return std::string(i.param.name); });

TEST(Drivers, LoadInitReloadInOrder) {
    ScriptEnv env(true);
    env.conf().set("driver:cam:code", fixture("driver_v1.lua"));
    device_ctx_t *ctx = create_device_context("42-1", "camera", "cam", "ZB");
    load_driver_script(ctx);
    // On the gateway the first read and the whole load happen inside the call.
    EXPECT_EQ(ctx->driver_loaded, 1);
    EXPECT_EQ(get_or(env.state(), "test:log"), "v1:chunk|v1:init:42-1|");
    EXPECT_EQ(get_or(env.state(), "device:42-1:meta:version"), "1");
    EXPECT_STREQ(ctx->version, "1");
    ASSERT_TRUE(env.wait_subscribed({"test:v1:chan"}));
    ASSERT_TRUE(env.wait_watched({"driver:cam:code"}));

    // The new chunk runs first, then the old cleanup, then the new init once the old
    // driver's subscription has gone.
    env.conf().set("driver:cam:code", fixture("driver_v2.lua"));
    ASSERT_TRUE(env.pump_until([&] { return env.state().get("test:v2:inits").has_value(); }));
    EXPECT_EQ(get_or(env.state(), "test:log"), "v1:chunk|v1:init:42-1|v2:chunk|v1:cleanup|v2:init:42-1|");
    EXPECT_EQ(get_or(env.state(), "device:42-1:meta:version"), "2.0");
    EXPECT_EQ(env.state().command({"PUBSUB", "NUMSUB", "test:v1:chan"}).elements[1].integer, 0);
    EXPECT_EQ(run_lua(ctx->L_drv, "assert(driver.get_version() == '2.0')"), "");
}

TEST(Drivers, ANewerLoadSupersedesOneWaitingForItsCleanup) {
    ScriptEnv env(true);
    env.conf().set("driver:cam:code", fixture("driver_v1.lua"));
    device_ctx_t *ctx = create_device_context("42-1", "camera", "cam", "ZB");
    load_driver_script(ctx);
    ASSERT_TRUE(env.wait_subscribed({"test:v1:chan"}));
    ASSERT_TRUE(env.wait_watched({"driver:cam:code"}));
    // Both changes reach the engine before the first load's unsubscription is confirmed.
    env.conf().command({"MULTI"});
    env.conf().command({"SET", "driver:cam:code", fixture("driver_v2.lua")});
    env.conf().command({"SET", "driver:cam:code", fixture("driver_v2.lua")});
    env.conf().command({"EXEC"});
    ASSERT_TRUE(env.pump_until([&] { return env.state().get("test:v2:inits").has_value(); }));
    env.pump(200ms);
    EXPECT_EQ(get_or(env.state(), "test:v2:inits"), "1");
    EXPECT_EQ(get_or(env.state(), "test:log"),
              "v1:chunk|v1:init:42-1|v2:chunk|v1:cleanup|v2:chunk|v2:init:42-1|");
}

TEST(Drivers, LoadOutcomes) {
    ScriptEnv env(true);
    // Absent key: nothing loaded.
    device_ctx_t *ctx = create_device_context("42-1", "camera", "cam", "ZB");
    load_driver_script(ctx);
    EXPECT_EQ(ctx->driver_loaded, 0);
    EXPECT_TRUE(env.log_has("NULL script received"));
    ASSERT_TRUE(env.wait_watched({"driver:cam:code"}));

    // A chunk that returns nothing leaves no driver.
    env.conf().set("driver:cam:code", fixture("driver_no_table.lua"));
    ASSERT_TRUE(env.pump_until([&] { return ctx->driver_loaded == 1; })) << env.log();
    EXPECT_EQ(lua_global(ctx->L_drv, "loaded_without_table"), "true");
    EXPECT_EQ(lua_global(ctx->L_drv, "driver"), "nil");

    // A working driver, then code that does not compile: the working one stays.
    env.conf().set("driver:cam:code", fixture("driver_echo.lua"));
    ASSERT_TRUE(env.pump_until([&] { return env.state().get("test:init_id").has_value(); }));
    env.state().command({"DEL", "test:init_id"});
    env.conf().set("driver:cam:code", "this is not lua");
    ASSERT_TRUE(env.pump_until([&] { return env.log_has("Doing script failed with error #1"); }));
    EXPECT_EQ(run_lua(ctx->L_drv, "assert(type(driver.init) == 'function')"), "");
    EXPECT_FALSE(env.state().get("test:init_id").has_value());
}

TEST(Drivers, ARoleThatCannotBeSetLeavesTheStatesReferencesIntact) {
    ScriptEnv env(true);
    env.conf().set("driver:cam:code",
                   "setmetatable(_G, {__newindex = function(t, k, v)\n"
                   "  if k == 'driver' then error('no driver here') end rawset(t, k, v) end})\n"
                   "return {}");
    device_ctx_t *ctx = create_device_context("42-1", "camera", "cam", "ZB");
    load_driver_script(ctx);
    ASSERT_TRUE(env.log_has("Cannot set driver: ")) << env.log();
    // The pending table's reference was released once: two new references are two slots.
    lua_State *L = ctx->L_drv;
    lua_pushboolean(L, 1);
    int first = luaL_ref(L, LUA_REGISTRYINDEX);
    lua_pushboolean(L, 0);
    int second = luaL_ref(L, LUA_REGISTRYINDEX);
    EXPECT_NE(first, second);
}

struct HookCase {
    const char *name;
    const char *code;  // driver code, nullptr for none
    bool open_multi;   // the engine opens a MULTI before the call
    const char *error;
};

void PrintTo(const HookCase &c, std::ostream *os) { *os << c.name; }

class HookFailure : public ::testing::TestWithParam<HookCase> {};

TEST_P(HookFailure, IsLoggedAndDiscardsAnOpenMulti) {
    const HookCase &c = GetParam();
    ScriptEnv env(true);
    if (c.code) env.conf().set("driver:cam:code", fixture(c.code));
    device_ctx_t *ctx = create_device_context("42-1", "camera", "cam", "ZB");
    if (c.code) load_driver_script(ctx);
    if (c.open_multi) db_multi(env.ri_state);
    lua_pcall_driver(ctx, "{\"a\":1}");
    EXPECT_TRUE(env.log_has(std::string("lua pcall: failed with error ") + c.error)) << env.log();
    // Nothing is left queued: the next command runs at once.
    ASSERT_EQ(db_set(env.ri_state, "test:after", "1"), 0);
    EXPECT_EQ(get_or(env.state(), "test:after"), "1");
    EXPECT_FALSE(env.state().get("test:in_multi").has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HookFailure,
    ::testing::Values(HookCase{"hook_raises", "driver_raise.lua", false, "[string"},
                      HookCase{"hook_missing", "driver_echo.lua", true, "attempt to call a nil value"},
                      HookCase{"no_role_table", nullptr, true, "attempt to index a nil value"}),
    [](const ::testing::TestParamInfo<HookCase> &i) { return std::string(i.param.name); });

namespace {

/* The message of running code in a plain state, named by its whole text as Lua names it. */
std::string plain_error(const std::string &code) {
    lua_State *L = luaL_newstate();
    luaL_openlibs(L);
    std::string msg;
    if (luaL_loadbuffer(L, code.data(), code.size(), code.c_str()) != 0 || lua_pcall(L, 0, 0, 0) != 0)
        msg = lua_tostring(L, -1);
    lua_close(L);
    return msg;
}

double lua_kib_after_collect(lua_State *L) {
    lua_gc(L, LUA_GCCOLLECT, 0);
    return lua_gc(L, LUA_GCCOUNT, 0) + lua_gc(L, LUA_GCCOUNTB, 0) / 1024.0;
}

}  // namespace

TEST(Drivers, ChunksKeepTheirMessagesButNotASecondCopyOfTheirText) {
    ScriptEnv env(true);
    const std::string longline = "local a = 1 -- " + std::string(190, 'x');
    const std::vector<std::string> codes = {
        "error('one line')",
        "local x\nlocal y\nerror('third line') -- " + std::string(200, 't'),
        longline + "\n\nerror('after a long first line')",
        "x = = 1 -- " + std::string(200, 's'),
        "=" + std::string(200, 'q') + " = 1",
        "@" + std::string(30, 'a') + "\n" + std::string(200, 'b'),
        std::string(42, 'y') + " = = 1 --" + std::string(200, 'c'),
        std::string(43, 'y') + " = = 1 --" + std::string(200, 'c'),
        std::string(200, 'z') + " = = 1",
    };
    lua_State *L = lua_state_new();
    open_lualibs(L);
    for (const auto &code : codes) {
        SCOPED_TRACE(code);
        std::string expect = plain_error(code);
        ASSERT_FALSE(expect.empty());
        EXPECT_EQ(lua_dostring_safe(L, code.c_str()), -1);
        EXPECT_TRUE(env.log_has("Doing script failed with error #1: " + expect + "\n")) << expect;
    }

    // A function kept from a chunk of 64 KiB keeps no copy of the chunk's text.
    double before = lua_kib_after_collect(L);
    std::string big = "kept = function() return 1 end --" + std::string(64 * 1024, 'c');
    ASSERT_EQ(lua_dostring_safe(L, big.c_str()), 0);
    EXPECT_EQ(run_lua(L, "assert(kept() == 1)"), "");
    EXPECT_LT(lua_kib_after_collect(L) - before, 8.0);
    close_lua_state(L, nullptr);
}

struct OpenMultiCase {
    const char *name;
    const char *driver;  // its code leaves a MULTI open where the case says
    bool by_command;     // the call is driver.command; otherwise the load itself or a callback
    bool by_message;     // a message on "test:go" runs it
    const char *warn;    // the WARN naming the call, or "" when nothing is discarded
    const char *queued;  // the value of "test:queued" afterwards
};

void PrintTo(const OpenMultiCase &c, std::ostream *os) { *os << c.name; }

class OpenMulti : public ::testing::TestWithParam<OpenMultiCase> {};

// The state instance has one blocking connection for the engine and every script: a MULTI left
// open there would queue every later write and answer every read with QUEUED.
TEST_P(OpenMulti, ACallThatReturnsWithAMultiOpenIsDiscarded) {
    const OpenMultiCase &c = GetParam();
    ScriptEnv env(true);
    env.conf().set("driver:cam:code", c.driver);
    device_ctx_t *ctx = create_device_context("42-1", "camera", "cam", "ZB");
    load_driver_script(ctx);
    if (c.by_command) lua_pcall_driver(ctx, "{}");
    if (c.by_message) {
        ASSERT_TRUE(env.wait_subscribed({"test:go"}));
        env.state().command({"PUBLISH", "test:go", "now"});
        ASSERT_TRUE(env.pump_until([&] { return lua_global(ctx->L_drv, "ran") == "true"; })) << env.log();
    }
    EXPECT_FALSE(db_in_transaction(env.ri_state));
    if (*c.warn) {
        EXPECT_TRUE(env.log_has(std::string("WARN driver - MULTI left open by ") + c.warn + " - DISCARD sent"))
            << env.log();
    } else {
        EXPECT_FALSE(env.log_has("MULTI left open")) << env.log();
    }
    // The engine's next blocking write goes through at once, and the reads see values again.
    ASSERT_EQ(db_set(env.ri_state, "test:after", "1"), 0);
    EXPECT_EQ(get_or(env.state(), "test:after"), "1");
    char *after = db_get_sync(env.ri_state, "test:after");
    EXPECT_STREQ(after, "1");
    free(after);
    EXPECT_EQ(get_or(env.state(), "test:queued"), c.queued);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, OpenMulti,
    ::testing::Values(
        OpenMultiCase{"hook", "local d = {}\n"
                              "function d.command(j) db.multi() db.set('test:queued', 'x') end\n"
                              "return d\n",
                      true, false, "driver.command", "(none)"},
        OpenMultiCase{"init", "local d = {}\n"
                              "function d.init(id) db.multi() db.set('test:queued', 'x') end\n"
                              "return d\n",
                      false, false, "driver.init", "(none)"},
        OpenMultiCase{"chunk", "db.multi() db.set('test:queued', 'x')\nreturn {}\n", false, false, "driver.chunk",
                      "(none)"},
        OpenMultiCase{"db_callback",
                      "local d = {}\n"
                      "function d.init(id)\n"
                      "  db.subscribe('test:go', function(m) db.multi() db.set('test:queued', m) ran = true end)\n"
                      "end\n"
                      "return d\n",
                      false, true, "driver.db_subscribe_callback", "(none)"},
        OpenMultiCase{"own_transaction", "local d = {}\n"
                                         "function d.command(j) db.multi() db.set('test:queued', 'x') db.exec() end\n"
                                         "return d\n",
                      true, false, "", "x"}),
    [](const ::testing::TestParamInfo<OpenMultiCase> &i) { return std::string(i.param.name); });

TEST(Drivers, HookArgumentsMissing) {
    ScriptEnv env(true);
    device_ctx_t *ctx = create_device_context("42-1", "camera", "cam", "ZB");
    lua_pcall_safe(ctx->L_drv, "driver", "command", nullptr);
    EXPECT_TRUE(env.log_has("lua pcall: one of the params not given!"));
    EXPECT_FALSE(env.log_has("lua pcall: failed"));
}

TEST(Drivers, IdsWithQuotesReachTheHooksUnchanged) {
    ScriptEnv env(true);
    const std::string id = "x\") os.execute(\"touch " + env.dir().file("pwned") + "\") --";
    const std::string app = "a\") os.execute(\"touch " + env.dir().file("pwned_app") + "\") --";
    env.conf().set("driver:echo:code", fixture("driver_echo.lua"));
    env.conf().set("app:camera:" + app + ":code", fixture("app_echo.lua"));
    device_ctx_t *ctx = create_device_context(id.c_str(), "camera", "echo", "ZB");
    load_driver_script(ctx);
    device_app_id_changed(app.c_str(), ctx);
    lua_pcall_driver(ctx, "{\"x\":\"\\\") os.exit(9) --\"}");
    EXPECT_EQ(get_or(env.state(), "test:init_id"), id);
    EXPECT_EQ(get_or(env.state(), "test:app_init"), id + "/" + app);
    // get_version gave nil.
    EXPECT_EQ(get_or(env.state(), "device:" + id + ":meta:version"), "0.0.0");
    EXPECT_FALSE(file_exists(env.dir().file("pwned")));
    EXPECT_FALSE(file_exists(env.dir().file("pwned_app")));
}

TEST(Apps, AnAppIdGivenAtSetUpIsLoadedAndChangesReplaceTheApp) {
    ScriptEnv env(true);
    for (const char *a : {"a1", "a2", "a3"}) env.conf().set(std::string("app:camera:") + a + ":code", fixture("app_echo.lua"));
    env.state().set("device:42-2:app", "a1");
    device_ctx_t *ctx = update_device_context("42-2", "a1", "camera", "cam", "ZB");
    ASSERT_EQ(watch_device_app_id(ctx), 0);
    EXPECT_EQ(get_or(env.state(), "test:app_init"), "42-2/a1");
    ASSERT_TRUE(env.wait_subscribed({"__keyspace@0__:device:42-2:app"}));

    env.state().set("device:42-2:app", "a2");
    ASSERT_TRUE(env.pump_until([&] { return get_or(env.state(), "test:app_init") == "42-2/a2"; }));
    EXPECT_EQ(get_or(env.state(), "test:app_cleanup"), "a1");
    EXPECT_STREQ(ctx->app_id, "a2");

    // A second set-up replaces the watch instead of adding one.
    ASSERT_EQ(watch_device_app_id(ctx), 0);
    EXPECT_EQ(get_or(env.state(), "test:app_inits"), "2");
    env.state().set("device:42-2:app", "a3");
    ASSERT_TRUE(env.pump_until([&] { return get_or(env.state(), "test:app_init") == "42-2/a3"; }));
    ASSERT_TRUE(env.wait_watched({"app:camera:a3:code"}));
    env.conf().set("app:camera:a3:code", fixture("app_echo.lua"));
    ASSERT_TRUE(env.pump_until([&] { return get_or(env.state(), "test:app_inits") == "4"; }));
    env.pump(100ms);
    EXPECT_EQ(get_or(env.state(), "test:app_inits"), "4");

    // The reload above cleaned a3 up once already.
    env.state().command({"DEL", "test:app_cleanup"});
    env.state().set("device:42-2:app", "");
    ASSERT_TRUE(env.pump_until([&] { return get_or(env.state(), "test:app_cleanup") == "a3"; }));
    EXPECT_STREQ(ctx->app_id, "");
    EXPECT_TRUE(env.log_has("New app id is empty, not initilizing"));
}

TEST(Apps, ConfigurationPassSharesOneState) {
    ScriptEnv env(true);
    env.conf().set("app:camera:a1:code", fixture("app_echo.lua"));
    env.conf().set("app:switch:a2:code", fixture("app_echo.lua"));
    char k1[] = "app:camera:a1:code", k2[] = "app:x", k3[] = "app:switch:a2:code", k4[] = "app:none:a9:code";
    GSList *keys = nullptr;
    for (char *k : {k1, k2, k3, k4}) keys = g_slist_append(keys, k);
    configure_app_keys(keys, nullptr);
    g_slist_free(keys);
    EXPECT_EQ(get_or(env.state(), "test:configured:a1"), "camera/a1/nil");
    EXPECT_EQ(get_or(env.state(), "test:configured:a2"), "switch/a2/a1");
    EXPECT_FALSE(env.state().get("test:app_init").has_value());
}

TEST(Drivers, EachContextEndsExactlyItsOwnWatches) {
    ScriptEnv env(true);
    env.conf().set("driver:shared:code", fixture("driver_v2.lua"));
    device_ctx_t *d1 = create_device_context("d-1", "camera", "shared", "ZB");
    device_ctx_t *d2 = create_device_context("d-2", "camera", "shared", "ZB");
    load_driver_script(d1);
    load_driver_script(d2);
    load_driver_script(d2);  // set up twice: still one watch
    EXPECT_EQ(get_or(env.state(), "test:v2:inits"), "3");
    ASSERT_TRUE(env.wait_watched({"driver:shared:code"}));
    remove_device_context("d-1");
    env.conf().set("driver:shared:code", fixture("driver_v2.lua"));
    ASSERT_TRUE(env.pump_until([&] { return get_or(env.state(), "test:v2:inits") == "4"; }));
    env.pump(150ms);
    EXPECT_EQ(get_or(env.state(), "test:v2:inits"), "4");
}

namespace {
int test_reset_me(lua_State *L) {
    reset_lua_state_owner(L);
    return 0;
}
int test_remove_me(lua_State *L) {
    device_ctx_t *ctx = get_device_context_by_luastate(L);
    if (ctx) remove_device_context(ctx->device_id);
    return 0;
}
}  // namespace

TEST(Drivers, RebuildAndRemovalFromInsideTheStatesOwnCallback) {
    ScriptEnv env(true);
    env.conf().set("driver:rb:code", fixture("driver_rebuild.lua"));
    device_ctx_t *ctx = create_device_context("rb-1", "camera", "rb", "ZB");
    lua_register(ctx->L_drv, "test_reset_me", test_reset_me);
    load_driver_script(ctx);
    ASSERT_TRUE(env.wait_subscribed({"test:rebuild"}));
    ASSERT_TRUE(env.wait_watched({"driver:rb:code"}));
    lua_State *old = ctx->L_drv;

    env.state().command({"PUBLISH", "test:rebuild", "reset"});
    ASSERT_TRUE(env.pump_until([&] { return get_or(env.state(), "test:inits") == "2"; }));
    EXPECT_EQ(get_or(env.state(), "test:after"), "reset");
    EXPECT_EQ(get_or(env.state(), "test:cleanups"), "1");
    EXPECT_NE(ctx->L_drv, old);
    EXPECT_EQ(ctx->driver_loaded, 1);

    lua_register(ctx->L_drv, "test_remove_me", test_remove_me);
    ASSERT_TRUE(env.wait_subscribed({"test:rebuild"}));
    env.state().command({"PUBLISH", "test:rebuild", "remove"});
    ASSERT_TRUE(env.pump_until([&] { return get_or(env.state(), "test:cleanups") == "2"; }));
    EXPECT_EQ(get_device_context("rb-1"), nullptr);
    EXPECT_EQ(get_or(env.state(), "test:after"), "remove");
    ASSERT_TRUE(env.pump_until(
        [&] { return env.state().command({"PUBSUB", "NUMSUB", "test:rebuild"}).elements[1].integer == 0; }));
    // The code watch went with the context.
    env.conf().set("driver:rb:code", fixture("driver_rebuild.lua"));
    env.pump(150ms);
    EXPECT_EQ(get_or(env.state(), "test:inits"), "2");
}

class DefaultDrivers : public ::testing::Test {
protected:
    void SetUp() override {
        cfg_set_scripts_dir(source_path("tests/scripts/fixtures").c_str());
        cfg_set_default_driver_name("default_driver.lua");
        cfg_set_mac_str("AABBCCDDEEFF");
        cfg_set_ipv4("192.0.2.5");
    }
};

TEST_F(DefaultDrivers, LanFromTheFileAndItsVersionForLanDevices) {
    ScriptEnv env(true);
    domain_ctx_t *lan = create_domain_context("LAN");
    EXPECT_EQ(load_default_driver_script(lan), 0);
    EXPECT_EQ(get_or(env.state(), "test:dd_init"), "AABBCCDDEEFF/192.0.2.5");
    lua_pcall_default_driver(lan, "command", "{\"go\":1}");
    EXPECT_EQ(get_or(env.state(), "test:dd_command"), "{\"go\":1}");

    device_ctx_t *dev = create_device_context("42-5", "camera", "cam", "LAN");
    set_version(dev);
    EXPECT_EQ(get_or(env.state(), "device:42-5:meta:version"), "7.1");

    // A rebuild gives a fresh state and loads the file again.
    lua_State *old = lan->L;
    env.state().command({"DEL", "test:dd_init"});
    reset_domain_lua_state(lan);
    EXPECT_NE(lan->L, old);
    EXPECT_EQ(get_or(env.state(), "test:dd_cleanup"), "yes");
    EXPECT_EQ(get_or(env.state(), "test:dd_init"), "AABBCCDDEEFF/192.0.2.5");
}

TEST_F(DefaultDrivers, LanFileProblemsGiveOne) {
    ScriptEnv env(true);
    domain_ctx_t *lan = create_domain_context("LAN");
    cfg_set_default_driver_name("missing.lua");
    EXPECT_EQ(load_default_driver_script(lan), 1);
    cfg_set_default_driver_name(nullptr);
    EXPECT_EQ(load_default_driver_script(lan), 1);
    EXPECT_TRUE(env.log_has("Cannot load default driver - no filename or directory"));
    cfg_set_default_driver_name("default_driver.lua");
    cfg_set_ipv4(nullptr);
    EXPECT_EQ(load_default_driver_script(lan), 1);
    EXPECT_TRUE(env.log_has("Cannot load default driver - no MAC or IP given"));
    EXPECT_FALSE(env.state().get("test:dd_init").has_value());
}

TEST_F(DefaultDrivers, OtherDomainsFollowTheirKey) {
    ScriptEnv env(true);
    domain_ctx_t *zb = create_domain_context("ZB");
    EXPECT_EQ(load_default_driver_script(zb), 0);
    EXPECT_TRUE(env.log_has("No value for subsystem ZB"));
    ASSERT_TRUE(env.wait_watched({"domain:ZB:code"}));
    env.conf().set("domain:ZB:code", fixture("default_driver.lua"));
    ASSERT_TRUE(env.pump_until([&] { return env.state().get("test:dd_init").has_value(); }));
    EXPECT_FALSE(env.state().get("test:dd_cleanup").has_value());
    // The old default driver is cleaned up before the new code runs.
    env.conf().set("domain:ZB:code", "db.set('test:second', tostring(db.get('test:dd_cleanup'))) return {}");
    ASSERT_TRUE(env.pump_until([&] { return env.state().get("test:second").has_value(); }));
    EXPECT_EQ(get_or(env.state(), "test:second"), "yes");
}

TEST(TestChannel, RunsEachFileInTheLanState) {
    ScriptEnv env(true);
    EXPECT_EQ(device_load_file_ex("driver:dofile", fixture_path("t_dofile.lua").c_str()), -1);
    domain_ctx_t *lan = create_domain_context("LAN");
    ASSERT_EQ(run_lua(lan->L, "default_driver = {}"), "");
    int top = lua_gettop(lan->L);
    EXPECT_EQ(device_load_file_ex("driver:dofile", fixture_path("t_dofile.lua").c_str()), 0);
    EXPECT_EQ(get_or(env.state(), "tmode:ran"), "true");
    EXPECT_EQ(device_load_file_ex("driver:dofile", env.dir().file("missing.lua").c_str()), -1);
    EXPECT_EQ(device_load_file_ex("driver:dofile", nullptr), -1);
    EXPECT_TRUE(env.log_has("NULL path received"));
    EXPECT_EQ(lua_gettop(lan->L), top);
}

namespace {
struct growth_gate {
    lua_Alloc orig;
    void *ud;
    bool refuse;
};
void *gated_alloc(void *ud, void *ptr, size_t osize, size_t nsize) {
    growth_gate *g = (growth_gate *)ud;
    if (g->refuse && nsize > osize) return nullptr;
    return g->orig(g->ud, ptr, osize, nsize);
}
}  // namespace

TEST(TestChannel, AFileForAStateThatCannotGrowFailsAndTheProcessGoesOn) {
    ScriptEnv env(true);
    domain_ctx_t *lan = create_domain_context("LAN");
    growth_gate gate;
    gate.orig = lua_getallocf(lan->L, &gate.ud);
    gate.refuse = true;
    lua_setallocf(lan->L, gated_alloc, &gate);
    int top = lua_gettop(lan->L);
    EXPECT_EQ(device_load_file_ex("driver:dofile", fixture_path("t_dofile.lua").c_str()), -1);
    gate.refuse = false;
    EXPECT_EQ(lua_gettop(lan->L), top);
    EXPECT_TRUE(env.log_has("Doing script failed with error #1: not enough memory")) << env.log();
    EXPECT_FALSE(env.state().get("tmode:ran").has_value());
    // Once it may grow again the same state runs the file.
    EXPECT_EQ(device_load_file_ex("driver:dofile", fixture_path("t_dofile.lua").c_str()), 0);
    EXPECT_TRUE(env.state().get("tmode:ran").has_value());
    lua_setallocf(lan->L, gate.orig, gate.ud);
}

/*
 * A callback that a coroutine hands to a module belongs to the coroutine's state: it reaches the
 * state after the coroutine is gone, and it ends with the state. So does one that a finalizer hands
 * over while the state closes.
 */
struct CallerCase {
    const char *name;
    const char *code;  // hands over a callback that sets fired; %PORT% is the peer's port
    // What makes the callback due once the code has run (live: its state is still open).
    void (*trigger)(ScriptEnv &, TcpPeer &, bool live);
};

class UnusualCallers : public ::testing::TestWithParam<CallerCase> {
protected:
    std::string code() {
        std::string code = GetParam().code;
        const std::string mark = "%PORT%";
        const size_t at = code.find(mark);
        if (at != std::string::npos) code.replace(at, mark.size(), std::to_string(peer.port()));
        return code;
    }
    // Runs the case's code inside a coroutine that is then collected.
    lua_State *start() {
        lua_State *L = new_script_state();
        EXPECT_EQ(run_lua(L, "local co = coroutine.create(function() " + code() + " end)\n"
                             "assert(coroutine.resume(co))\n"),
                  "");
        // From a chunk of its own: no register of the first one still holds the coroutine.
        EXPECT_EQ(run_lua(L, "collectgarbage() collectgarbage()"), "");
        return L;
    }
    ScriptEnv env{true};
    TcpPeer peer;
};

TEST_P(UnusualCallers, ACollectedCoroutinesCallbackStillFires) {
    lua_State *L = start();
    GetParam().trigger(env, peer, true);
    EXPECT_TRUE(env.pump_until([&] { return lua_global(L, "fired") == "yes"; }, 3000ms));
    close_lua_state(L, nullptr);
}

TEST_P(UnusualCallers, ACoroutinesCallbackEndsWithTheState) {
    lua_State *L = start();
    close_lua_state(L, nullptr);
    GetParam().trigger(env, peer, false);
    env.pump(300ms);
}

TEST_P(UnusualCallers, AFinalizersCallbackAtTheCloseEndsWithTheState) {
    lua_State *L = new_script_state();
    ASSERT_EQ(run_lua(L, "keep = newproxy(true)\ngetmetatable(keep).__gc = function() " + code() + " end"), "");
    close_lua_state(L, nullptr);
    GetParam().trigger(env, peer, false);
    env.pump(300ms);
}

INSTANTIATE_TEST_SUITE_P(
    Modules, UnusualCallers,
    ::testing::Values(
        CallerCase{"timer", "timer.start('co', 50, function() fired = 'yes' end)",
                      [](ScriptEnv &, TcpPeer &, bool) {}},
        CallerCase{"db", "db.subscribe('co:chan', function() fired = 'yes' end)",
                      [](ScriptEnv &env, TcpPeer &, bool live) {
                          if (live) env.wait_subscribed({"co:chan"});
                          env.state().command({"PUBLISH", "co:chan", "m"});
                      }},
        CallerCase{"tcp",
                      "tcp.open('127.0.0.1', %PORT%, 'st', function(e) if e == 'CONNECTED' then fired = 'yes' end end)",
                      [](ScriptEnv &env, TcpPeer &peer, bool live) {
                          if (live) env.pump_until([&] { return peer.try_accept(); });
                      }}),
    [](const ::testing::TestParamInfo<CallerCase> &info) { return std::string(info.param.name); });
