// The heap limit a script sets on its own state: through the daemon's -l mode, and on states of the
// test's own, under the sanitizers.
#include <gtest/gtest.h>

#include <lua.hpp>
#include <string>
#include <vector>

#include "src/device/driver.h"
#include "src/lua_api/lua_state.h"
#include "tests/scripts/script_env.h"
#include "tests/support/redis_server.h"
#include "tests/support/test_support.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

class MemLimit : public ::testing::Test, public LoadFileEnv {};

TEST_F(MemLimit, CollectgarbageSetsReadsAndHoldsTheLimit) {
    // Results and round-up, growth refused inside pcall, churn with 64 KB of room, the blocked collector.
    ProcResult r = run_process(argv(fixture_path("l_memlimit.lua")), 60s);
    EXPECT_FALSE(r.timed_out) << r.out;
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find("FAILED"), std::string::npos) << r.out;
    EXPECT_EQ(r.err.find("PANIC"), std::string::npos) << r.err;
}

TEST_F(MemLimit, AMessageLargerThanTheRoomIsRefusedAndTheStateLivesOn) {
    Process p(argv(fixture_path("l_memlimit_publish.lua")));
    ASSERT_TRUE(wait_until(
        [&] {
            return redis->state.get("lmem:ready").has_value() &&
                   redis->state.command({"PUBSUB", "NUMSUB", "lmem:big"}).elements[1].integer == 1;
        },
        20s))
        << p.out();
    redis->state.command({"PUBLISH", "lmem:big", std::string(200 * 1024, 'b')});
    ASSERT_TRUE(wait_until([&] { return p.count_output("db_subscribe_callback failed with error not enough memory") > 0; },
                           20s))
        << p.out();
    redis->state.command({"PUBLISH", "lmem:big", "done"});
    EXPECT_EQ(p.wait(20s), 0) << p.out();
    EXPECT_FALSE(redis->state.get("lmem:got").has_value());
}

// ---- on states of the test's own ----

int heapcheck(lua_State *L) {
    const size_t lua_count = (size_t)lua_gc(L, LUA_GCCOUNT, 0) * 1024 + (size_t)lua_gc(L, LUA_GCCOUNTB, 0);
    if (lua_state_heap(L) != lua_count)
        return luaL_error(L, "heap counted %lu, Lua counts %lu", (unsigned long)lua_state_heap(L),
                          (unsigned long)lua_count);
    return 0;
}

struct OwnState {
    lua_State *L = open_script_state();
    ~OwnState() { close_lua_state(L, nullptr); }
};

TEST(MemLimitOwnState, GarbageLeftBeforeAnOperationDoesNotMakeItFail) {
    // The library's string builders, a loop of concatenations, table growth; each after garbage of
    // up to nearly half the room, with the room it needs on a freshly collected heap.
    OwnState s;
    ASSERT_EQ(run_lua(s.L, fixture("memlimit_garbage.lua")), "");
    EXPECT_EQ(lua_strings(s.L, "failures"), std::vector<std::string>{});
}

TEST(MemLimitOwnState, AWorkloadOfFinalizersAndCoroutinesUnderATightLimitKeepsItsDataAndCounts) {
    OwnState s;
    lua_register(s.L, "heapcheck", heapcheck);
    const std::string round = fixture("memlimit_churn.lua");
    for (int seed = 1; seed <= 120; seed++) {
        SCOPED_TRACE(seed);
        ASSERT_EQ(run_lua(s.L, "seed = " + std::to_string(seed)), "");
        const std::string err = run_lua(s.L, round);
        // A memory error or a finalizer's error may end a round early (one surfaces at whatever
        // allocation runs the collector), never anything else.
        if (!err.empty()) {
            EXPECT_TRUE(err == "not enough memory" || err.find("gc boom") != std::string::npos) << err;
        }
        // The round leaves its limit: even a chunk that lifts it might not compile under it. Lifting
        // it collects nothing, so nothing can raise.
        lua_state_set_memlimit(s.L, 0);
        ASSERT_EQ(run_lua(s.L, "heapcheck()"), "");
        ASSERT_EQ(lua_strings(s.L, "failures"), std::vector<std::string>{});
    }
    // Most operations got their memory: the limit was tight, not a wall.
    const LuaValue run = lua_eval(s.L, "ops_run"), done = lua_eval(s.L, "ops_done");
    ASSERT_EQ(run.type, "number");
    EXPECT_GT(std::stod(done.text), std::stod(run.text) / 2) << done.text << " of " << run.text;
}

TEST(MemLimitOwnState, ARefusedStringBuilderRaisesLuasOwnMemoryError) {
    // Unprotected inside the chunk: the status the engine's protected call sees.
    OwnState s;
    const char *chunk = "collectgarbage() collectgarbage('setmemlimit', math.floor(collectgarbage('count')) + 64)\n"
                        "local s = string.rep('x', 1024 * 1024)";
    ASSERT_EQ(luaL_loadstring(s.L, chunk), 0);
    EXPECT_EQ(lua_pcall(s.L, 0, 0, 0), LUA_ERRMEM);
    EXPECT_STREQ(lua_tostring(s.L, -1), "not enough memory");
    lua_pop(s.L, 1);
    EXPECT_EQ(run_lua(s.L, "collectgarbage('setmemlimit', 0) assert(#string.rep('x', 100) == 100)"), "");
}

TEST(MemLimitOwnState, TheStringBuildersErrorsReadAsTheLibrarysOwn) {
    // Each call, made in our state and in a plain state of the stock library, with the same chunk name.
    const std::vector<std::string> calls = {
        "string.rep()",
        "string.rep({}, 2)",
        "('x'):rep()",
        "local t = {rep = string.rep} t:rep(3)",
        "local r = string.rep r('x')",
        "string.format('%y', 1)",
        "string.format('%d', 'x')",
        "string.format('%d')",
        "string.char(256)",
        "string.sub()",
        "string.upper(nil)",
        "table.concat({{}})",
        "table.concat(nil)",
        "table.concat({1, 2}, ',', 1, 3)",
        "return select(2, pcall(string.rep))",
    };
    OwnState s;
    lua_State *stock = luaL_newstate();
    luaL_openlibs(stock);
    auto message = [](lua_State *L, const std::string &code) {
        std::string text;
        if (luaL_loadbuffer(L, code.data(), code.size(), "call") != 0 || lua_pcall(L, 0, 1, 0) != 0 ||
            lua_isstring(L, -1))
            text = lua_isstring(L, -1) ? lua_tostring(L, -1) : "(no text)";
        lua_settop(L, 0);
        return text;
    };
    for (const std::string &c : calls) {
        const std::string expected = message(stock, c);
        EXPECT_FALSE(expected.empty()) << c;
        EXPECT_EQ(message(s.L, c), expected) << c;
    }
    lua_close(stock);
}

}  // namespace
