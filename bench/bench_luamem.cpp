// What the memory profiler adds to a hook call, and what a script's heap limit adds to a chunk that
// allocates all the time and to the library's string builders (each call of which the state's
// memory handling wraps). The profiler runs on a real Redis pair of its own.
#include <benchmark/benchmark.h>
#include <event2/event.h>
#include <unistd.h>

#include <lua.hpp>
#include <memory>
#include <string>
#include <vector>

#include "src/db.h"
#include "src/device/context.h"
#include "src/device/driver.h"
#include "src/luamem.h"
#include "src/lua_api/lua_state.h"
#include "tests/support/bus_standin.h"
#include "tests/support/redis_server.h"
#include "tests/support/test_support.h"

namespace {

const int kProfiled = 200;

struct Profiled {
    brx_test::TempDir dir;
    brx_test::BusStandin bus{dir.path()};
    std::unique_ptr<brx_test::RedisPair> redis;
    struct event_base *base = nullptr;
    redis_instance_t *state = nullptr;
    redis_instance_t *conf = nullptr;
    std::vector<lua_State *> states;

    Profiled() {
        // The profiler reads the gateway's settings through the bus tool: the build's, on its stand-in.
        bus.start();
        bus.use_in_this_process();
        redis = std::make_unique<brx_test::RedisPair>(dir.file("redis"));
        base = event_base_new();
        conf = db_create_redis_instance("conf");
        state = db_create_redis_instance("state");
        for (redis_instance_t *ri : {conf, state}) {
            db_set_is_local(ri, 1);
            db_set_event_base(ri, base);
        }
        db_set_unix_path(state, redis->state.unix_path().c_str());
        db_set_unix_path(conf, redis->conf.unix_path().c_str());
        redis->state.set("luamem:limit:LAN:bench", "2000000000");
        luamem_init(state, conf);
        for (int i = 0; i < kProfiled; i++) {
            lua_State *L = lua_state_new();
            luamem_set_limit(L, "bench", "LAN");
            luaL_dostring(L, "driver = {command = function(json) end}");
            states.push_back(L);
        }
    }
    // The gateway's seeded settings leave profiling off, and the Redis setting turns it on.
    // Set again now and then: the watch may not be confirmed yet.
    bool turn(bool on) {
        auto is_on = [&] { return luamem_check(states[0]) != 0; };
        for (int i = 0; i < 200 && is_on() != on; i++) {
            if (i % 20 == 0) redis->state.set("luamem:enable", on ? "1" : "0");
            event_base_loop(base, EVLOOP_NONBLOCK);
            usleep(5000);
        }
        return is_on() == on;
    }
};

Profiled &profiled() {
    static Profiled p;
    return p;
}

void BM_HookCall(benchmark::State &st) {
    Profiled &p = profiled();
    const bool on = st.range(0) != 0;
    if (!p.turn(on)) {
        st.SkipWithError("the profiler setting did not take");
        return;
    }
    lua_State *L = p.states[kProfiled / 2];
    for (auto _ : st) lua_pcall_safe(L, "driver", "command", "{}");
    st.SetLabel(on ? "profiler on, 200 states" : "profiler off");
}
BENCHMARK(BM_HookCall)->Arg(0)->Arg(1);

const char kChurn[] =
    "local n = 0\n"
    "for i = 1, 20000 do\n"
    "  local t = {i, tostring(i), {x = i}}\n"
    "  n = n + #t[2]\n"
    "end\n"
    "return n\n";

const char kBuilders[] =
    "local n = 0\n"
    "local parts = {'a', 'b', 'c', 'd'}\n"
    "for i = 1, 20000 do\n"
    "  local s = string.format('%d:%s', i, 'x') .. ('y'):rep(8) .. table.concat(parts, ',')\n"
    "  n = n + #s:sub(2)\n"
    "end\n"
    "return n\n";

// About 190 KB of garbage, made and dropped before each 128 KB string: less than half the room, so
// no collection on demand has taken it when the string is built.
const char kBigAfterGarbage[] =
    "for round = 1, 20 do\n"
    "  local keep = {}\n"
    "  for i = 1, 180 do keep[i] = string.rep('g', 1000) .. i end\n"
    "  keep = nil\n"
    "  local s = string.rep('x', 128 * 1024)\n"
    "end\n";

struct Chunk {
    const char *code;
};

int run_chunk(lua_State *L, void *ud) {
    luaL_loadstring(L, static_cast<Chunk *>(ud)->code);
    lua_call(L, 0, 0);
    return 0;
}

void run_under_limit(benchmark::State &st, const char *code, int room_kb) {
    lua_State *L = lua_state_new();
    lua_state_protected(L, [](lua_State *S, void *) { lua_state_open_libs(S); return 0; }, nullptr, nullptr, 0);
    lua_gc(L, LUA_GCCOLLECT, 0);
    if (room_kb) lua_state_set_memlimit(L, (int)(lua_state_heap(L) / 1024) + room_kb);
    Chunk c = {code};
    char err[256];
    for (auto _ : st) {
        if (lua_state_protected(L, run_chunk, &c, err, sizeof err) != 0) {
            st.SkipWithError(err);
            break;
        }
    }
    st.SetLabel(room_kb ? "limit " + std::to_string(room_kb) + " KB above the heap" : "no limit");
    lua_state_close(L);
}

void BM_AllocationHeavyChunk(benchmark::State &st) { run_under_limit(st, kChurn, (int)st.range(0)); }
BENCHMARK(BM_AllocationHeavyChunk)->Arg(0)->Arg(64)->Arg(1024)->Unit(benchmark::kMicrosecond);

void BM_StringBuilderCalls(benchmark::State &st) { run_under_limit(st, kBuilders, (int)st.range(0)); }
BENCHMARK(BM_StringBuilderCalls)->Arg(0)->Arg(64)->Arg(1024)->Unit(benchmark::kMicrosecond);

// A 128 KB string needs about 3 x 128 KB while it is built.
void BM_BigStringAfterGarbage(benchmark::State &st) { run_under_limit(st, kBigAfterGarbage, 420); }
BENCHMARK(BM_BigStringAfterGarbage)->Unit(benchmark::kMicrosecond);

}  // namespace
