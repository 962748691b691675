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

void BM_StateWithEveryModule(benchmark::State &state) {
    for (auto _ : state) {
        lua_State *L = lua_state_new();
        open_lualibs(L);
        lua_state_close(L);
    }
}
BENCHMARK(BM_StateWithEveryModule);

void BM_BareStateWithStandardLibraries(benchmark::State &state) {
    for (auto _ : state) {
        lua_State *L = lua_state_new();
        luaL_openlibs(L);
        lua_state_close(L);
    }
}
BENCHMARK(BM_BareStateWithStandardLibraries);

}  // namespace

namespace {

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
