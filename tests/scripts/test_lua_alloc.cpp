// The allocator of the script states: blocks keep their bytes through every change of size, and
// what closed states give back serves the next ones.
#include <gtest/gtest.h>

#include <lua.hpp>
#include <string.h>

#include <vector>

#include "src/device/context.h"
#include "src/device/driver.h"
#include "src/lua_api/lua_alloc.h"
#include "src/lua_api/lua_state.h"

#if defined(__SANITIZE_ADDRESS__)
// A request that no allocator can meet comes back as NULL, as it does from the C library.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1"; }
#endif

namespace {

void fill(void *p, size_t n, unsigned char seed) {
    auto *b = static_cast<unsigned char *>(p);
    for (size_t i = 0; i < n; i++) b[i] = (unsigned char)(seed + i * 7);
}

bool holds(const void *p, size_t n, unsigned char seed) {
    auto *b = static_cast<const unsigned char *>(p);
    for (size_t i = 0; i < n; i++)
        if (b[i] != (unsigned char)(seed + i * 7)) return false;
    return true;
}

}  // namespace

TEST(LuaAlloc, BlocksKeepTheirBytesThroughEveryChangeOfSize) {
    // Within one size step, across steps, from the lists to malloc and back, and to nothing.
    const size_t sizes[] = {24, 20, 30, 8, 512, 513, 5000, 600, 100, 1, 4096, 0};
    void *p = nullptr;
    size_t size = 0;
    unsigned char seed = 1;
    for (size_t next : sizes) {
        SCOPED_TRACE(std::to_string(size) + " -> " + std::to_string(next));
        void *q = lua_state_alloc(nullptr, p, size, next);
        if (next == 0) {
            EXPECT_EQ(q, nullptr);
            break;
        }
        ASSERT_NE(q, nullptr);
        EXPECT_EQ((uintptr_t)q % 8, 0u) << "aligned for any Lua object";
        if (p) {
            EXPECT_TRUE(holds(q, size < next ? size : next, seed));
        }
        seed++;
        fill(q, next, seed);
        p = q;
        size = next;
    }
    // Blocks of one step that are live at once never overlap.
    std::vector<void *> live;
    for (int i = 0; i < 64; i++) {
        live.push_back(lua_state_alloc(nullptr, nullptr, 0, 40));
        fill(live.back(), 40, (unsigned char)i);
    }
    for (int i = 0; i < 64; i++) EXPECT_TRUE(holds(live[i], 40, (unsigned char)i));
    for (void *b : live) lua_state_alloc(nullptr, b, 40, 0);
}

TEST(LuaAlloc, StatesClosedAndMadeAgainReuseWhatTheirPredecessorsGaveBack) {
    const int n = 100;
    auto round = [&] {
        std::vector<lua_State *> states;
        for (int i = 0; i < n; i++) {
            lua_State *L = lua_state_new();
            ASSERT_NE(L, nullptr);
            open_lualibs(L);
            states.push_back(L);
        }
        for (lua_State *L : states) close_lua_state(L, nullptr);
    };
    round();
    size_t pool = lua_state_alloc_pool_bytes();
    EXPECT_GT(pool, 0u);
    round();
    round();
    EXPECT_EQ(lua_state_alloc_pool_bytes(), pool);
}

TEST(LuaAlloc, AFailedSystemAllocationCountsNothingAndHasTheNextSafePointCollect) {
    lua_State *L = lua_state_new();
    ASSERT_NE(L, nullptr);
    open_lualibs(L);
    void *ud = nullptr;
    lua_getallocf(L, &ud);
    auto *m = static_cast<lua_state_mem_t *>(ud);
    // Garbage that the collector, paced out of the way, leaves alone; no limit is set.
    lua_gc(L, LUA_GCCOLLECT, 0);
    lua_gc(L, LUA_GCSETPAUSE, 100000);
    ASSERT_EQ(luaL_dostring(L, "for i = 1, 500 do local s = string.rep('g', 1000) .. i end"), 0);
    const size_t with_garbage = m->heap;

    EXPECT_EQ(lua_state_alloc(m, nullptr, 0, (size_t)1 << 50), nullptr);
    EXPECT_EQ(m->heap, with_garbage);
    EXPECT_EQ((size_t)lua_gc(L, LUA_GCCOUNT, 0) * 1024 + (size_t)lua_gc(L, LUA_GCCOUNTB, 0), with_garbage);
    // The next instruction is the safe point: it collects, and the hook then goes again.
    ASSERT_EQ(luaL_dostring(L, "local x = 1"), 0);
    EXPECT_LT(m->heap, with_garbage - 400 * 1000);
    EXPECT_EQ(lua_gethook(L), nullptr);
    close_lua_state(L, nullptr);
}
