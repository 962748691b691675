// Memory of an idle device context. First where the bytes of one script state go (Lua's own count
// after a full collection, step by step, and what malloc holds for it), then the resident set of a
// leader gateway with 0 and with 200 devices behind it (driver and app each) once its start settled.
//
//   memory [--cpu N] [--rounds R] [--devices 200]
#include <lua.hpp>
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <thread>
#include <vector>

#include "bench/engine_bench.h"
#include "src/device/context.h"
#include "src/lua_api/lua_alloc.h"
#include "src/lua_api/lua_base64_api.h"
#include "src/lua_api/lua_coap_api.h"
#include "src/lua_api/lua_http_api.h"
#include "src/lua_api/lua_log_api.h"
#include "src/lua_api/lua_network_api.h"
#include "src/lua_api/lua_state.h"
#include "src/lua_api/lua_tcp_api.h"
#include "src/lua_api/lua_timer_api.h"
#include "src/lua_api/lua_ws_api.h"
#include "src/lua_api/luadb.h"
#include "tests/support/engine_env.h"

extern "C" int luaopen_cjson(lua_State *L);

using namespace brx_test;
using namespace brx_bench;

namespace {

double lua_kib(lua_State *L) {
    lua_gc(L, LUA_GCCOLLECT, 0);
    lua_gc(L, LUA_GCCOLLECT, 0);
    return lua_gc(L, LUA_GCCOUNT, 0) + lua_gc(L, LUA_GCCOUNTB, 0) / 1024.0;
}

/* What malloc holds and the script states' allocator maps, less what that allocator keeps unused. */
double malloc_kib() {
    return (double)(mallinfo2().uordblks + lua_state_alloc_pool_bytes() - lua_state_alloc_free_bytes()) / 1024.0;
}

struct Step {
    const char *name;
    lua_CFunction open;
};

int open_one(lua_State *L) {
    auto *s = static_cast<const Step *>(lua_touserdata(L, 1));
    lua_settop(L, 0);
    lua_pushcfunction(L, s->open);
    lua_pushstring(L, s->name);
    lua_call(L, 1, 0);
    return 0;
}

template <int (*open)(lua_State *)>
int open_module(lua_State *L) {
    open(L);
    return 0;
}

int open_cjson(lua_State *L) {
    lua_pushcfunction(L, luaopen_cjson);
    lua_call(L, 0, 1);
    lua_setglobal(L, "cjson");
    return 0;
}

/* One state opened module by module, with the share of each. */
void state_breakdown() {
    const Step steps[] = {
        {"", luaopen_base},         {"package", luaopen_package}, {"table", luaopen_table},
        {"io", luaopen_io},         {"os", luaopen_os},           {"string", luaopen_string},
        {"math", luaopen_math},     {"debug", luaopen_debug},
        // The engine's modules in the order open_lualibs opens them.
        {"http", open_module<open_luahttp>},     {"coap", open_module<open_luacoap>},
        {"tcp", open_module<open_luatcp>},
        {"timer", open_module<open_luatimer>},   {"db", open_module<open_luadb>},
        {"log", open_module<open_lualog>},       {"base64", open_module<open_luabase64>},
        {"network", open_module<open_luanetwork>}, {"ws", open_module<open_luaws>},
        {"cjson", open_cjson},
    };
    double m0 = malloc_kib();
    lua_State *L = lua_state_new();
    double prev = lua_kib(L);
    printf("one state, Lua's count after a full collection:\n");
    printf("  %-10s %6.1f KiB\n", "bare", prev);
    for (const Step &s : steps) {
        if (lua_cpcall(L, open_one, const_cast<Step *>(&s)) != 0) {
            printf("  %s failed: %s\n", s.name, lua_tostring(L, -1));
            lua_pop(L, 1);
            continue;
        }
        double now = lua_kib(L);
        printf("  %-10s %+6.1f KiB\n", *s.name ? s.name : "base", now - prev);
        prev = now;
    }
    printf("  %-10s %6.1f KiB in Lua, %.1f KiB held in memory\n", "total", prev, malloc_kib() - m0);
    lua_state_close(L);

    // The engine's own way, as every context state is made.
    const int n = 50;
    std::vector<lua_State *> states;
    double before = malloc_kib();
    for (int i = 0; i < n; i++) {
        lua_State *S = lua_state_new();
        open_lualibs(S);
        states.push_back(S);
    }
    double lua_total = 0;
    for (lua_State *S : states) lua_total += lua_kib(S);
    printf("open_lualibs state: %.1f KiB in Lua, %.1f KiB held in memory (mean of %d)\n", lua_total / n,
           (malloc_kib() - before) / n, n);
    for (lua_State *S : states) lua_state_close(S);
}

/* Resident set of the engine once every driver and app of the network ran its init. */
long settled_rss(const Network &net, double *driver_kib = nullptr, double *app_kib = nullptr) {
    EngineEnv env(engine_config(net));
    seed(env, net);
    if (start_engine(env, net, std::chrono::seconds(120), nullptr, driver_kib, app_kib) < 0) {
        fprintf(stderr, "the engine did not start:\n%s\n", env.log().substr(0, 20000).c_str());
        exit(1);
    }
    // Settled: the same figure for a second.
    long rss = process_memory_kib(env.pid(), "VmRSS"), last = -1;
    for (int i = 0; i < 50 && rss != last; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        last = rss;
        rss = process_memory_kib(env.pid(), "VmRSS");
    }
    env.stop();
    return rss;
}

}  // namespace

int main(int argc, char **argv) {
    Options o = parse_options(argc, argv);
    int devices = o.extra.count("devices") ? atoi(o.extra["devices"].c_str()) : 200;
    printf("machine: %s; %d rounds\n", machine().c_str(), o.rounds);
    state_breakdown();
    fflush(stdout);

    std::vector<double> per;
    long base = 0, full = 0;
    for (int r = 0; r < o.rounds; r++) {
        Network net;
        net.cpu = o.cpu;
        net.devices = 1;
        base = settled_rss(net);
        net.devices = devices + 1;
        double drv = 0, app = 0;
        full = settled_rss(net, &drv, &app);
        per.push_back((double)(full - base) / devices);
        printf("  round %d: RSS %ld KiB with 0 devices, %ld KiB with %d: %.1f KiB per device context "
               "(Lua's count at init: driver state %.1f KiB, app state %.1f KiB)\n",
               r + 1, base, full, devices, per.back(), drv, app);
        fflush(stdout);
    }
    printf("memory per idle device context (driver and app): %.1f KiB (median of %d, %d devices)\n", median(per),
           o.rounds, devices);
    return 0;
}
