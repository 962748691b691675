// What one script state with every module costs to make and to close: each device context makes two
// at start-up, so this is most of the engine's own share of a start.
#include <benchmark/benchmark.h>

#include <lua.hpp>

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
