// Cutting a burst of small JSON objects into records: 1,000 objects of 32 bytes sent at once by a
// loopback peer, each delivered to a script callback that does nothing but count.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <event2/event.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <lua.hpp>
#include <string>

#include "src/lua_api/lua_state.h"
#include "src/lua_api/lua_tcp_api.h"

namespace {

const int kObjects = 1000;

std::string burst() {
    std::string all;
    char obj[40];
    for (int i = 0; i < kObjects; i++) {
        snprintf(obj, sizeof obj, "{\"id\":%04d,\"v\":\"abcdefghijklmn\"}", i);
        all += obj;
    }
    return all;
}

lua_Integer count(lua_State *L) {
    lua_getglobal(L, "n");
    lua_Integer n = lua_tointeger(L, -1);
    lua_pop(L, 1);
    return n;
}

void BM_TcpFramingBurst(benchmark::State &state) {
    signal(SIGPIPE, SIG_IGN);
    struct event_base *base = event_base_new();
    luatcp_set_event_base(base);
    int lfd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(lfd, (sockaddr *)&a, sizeof a) != 0 || listen(lfd, 1) != 0 || getsockname(lfd, (sockaddr *)&a, &len) != 0) {
        state.SkipWithError("no loopback listener");
        return;
    }
    lua_State *L = lua_state_new();
    luaL_openlibs(L);
    open_luatcp(L);
    lua_settop(L, 0);
    std::string code = "n = 0 h = tcp.open('127.0.0.1', " + std::to_string(ntohs(a.sin_port)) +
                       ", 1, function(e) if e == 'DATA' then n = n + 1 end end)";
    luaL_dostring(L, code.c_str());
    int peer = accept(lfd, nullptr, nullptr);
    const std::string bytes = burst();
    if (bytes.size() != 32u * kObjects || peer < 0) {
        state.SkipWithError("bad set-up");
        return;
    }
    lua_Integer want = 0;
    for (auto _ : state) {
        want += kObjects;
        if (send(peer, bytes.data(), bytes.size(), 0) != (ssize_t)bytes.size()) break;
        while (count(L) < want) event_base_loop(base, EVLOOP_ONCE);
    }
    state.SetItemsProcessed(state.iterations() * kObjects);
    close(peer);
    close(lfd);
    cleanup_tcp(L);
    lua_state_close(L);
    event_base_free(base);
}
BENCHMARK(BM_TcpFramingBurst)->Unit(benchmark::kMicrosecond);

}  // namespace
