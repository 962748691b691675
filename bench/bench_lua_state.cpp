// What one script state with every module costs to make and to close: each device context makes two
// at start-up, so this is a large share of the engine's own work in a start. Made again and again in
// the same memory, and kept, each in memory that no state used before, as at start-up.
#include <benchmark/benchmark.h>

#include <lua.hpp>
#include <vector>

#include "common/logger/logger.h"
#include "src/device/context.h"
#include "src/lua_api/lua_state.h"

namespace {

// Made and closed again and again, so each one reuses the memory of the one before.
void BM_MadeAndClosed(benchmark::State &state, void (*open)(lua_State *)) {
    for (auto _ : state) {
        lua_State *L = lua_state_new();
        open(L);
        lua_state_close(L);
    }
}
BENCHMARK_CAPTURE(BM_MadeAndClosed, EveryModule, open_lualibs);
BENCHMARK_CAPTURE(BM_MadeAndClosed, StandardLibrariesOnly, luaL_openlibs);

// As at start-up: every state made stays, so each one is made in memory no state used before.
void BM_StatesKeptAsAtStartUp(benchmark::State &state) {
    std::vector<lua_State *> kept;
    for (auto _ : state) {
        lua_State *L = lua_state_new();
        open_lualibs(L);
        kept.push_back(L);
    }
    for (lua_State *L : kept) lua_state_close(L);
}
BENCHMARK(BM_StatesKeptAsAtStartUp)->Iterations(2000);

}  // namespace
