// A WebSocket endpoint's reader and writer on one end of a bufferevent pair (no sockets): bursts of
// 1,000 text messages of 100 bytes from the other end, and 1,000 sends that the other end drains.
#include <benchmark/benchmark.h>
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>

#include <string>

#include "common/websockets/ws.h"

namespace {

const int kMessages = 1000;
const size_t kSize = 100;
/* Any readable CA file does: the pair carries no TLS. */
const char *const kCa = "/etc/ssl/certs/ca-certificates.crt";

struct Bench {
    event_base *base = nullptr;
    t_ws *ws = nullptr;
    bufferevent *server = nullptr;
    long received = 0;
    bool connected = false;
};

void on_message(t_ws *, const char *, size_t, void *arg) { ((Bench *)arg)->received++; }
void on_connected(t_ws *, void *arg) { ((Bench *)arg)->connected = true; }

/* The endpoint connected over a pair; false when it cannot be set up. */
bool set_up(Bench *b) {
    b->base = event_base_new();
    b->ws = ws_init(WS_CLIENT, b->base, kCa, on_message, nullptr, nullptr, on_connected, b);
    bufferevent *pair[2];
    if (!b->ws || bufferevent_pair_new(b->base, BEV_OPT_CLOSE_ON_FREE | BEV_OPT_DEFER_CALLBACKS, pair) != 0)
        return false;
    b->server = pair[1];
    bufferevent_enable(b->server, EV_READ);
    if (ws_connect_bufferevent(b->ws, "ws://bench/p", pair[0]) != 0) return false;
    evbuffer *in = bufferevent_get_input(b->server);
    while (evbuffer_search(in, "\r\n\r\n", 4, nullptr).pos < 0) event_base_loop(b->base, EVLOOP_ONCE);
    std::string request(evbuffer_get_length(in), '\0');
    evbuffer_remove(in, &request[0], request.size());
    const std::string tag = "Sec-WebSocket-Key: ";
    const size_t at = request.find(tag) + tag.size();
    char *accept = ws_accept_for_key(request.substr(at, request.find("\r\n", at) - at).c_str());
    if (!accept) return false;
    const std::string reply = std::string("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                                          "Connection: Upgrade\r\nSec-WebSocket-Accept: ") +
                              accept + "\r\n\r\n";
    free(accept);
    bufferevent_write(b->server, reply.data(), reply.size());
    while (!b->connected) event_base_loop(b->base, EVLOOP_ONCE);
    return true;
}

void tear_down(Bench *b) {
    if (b->ws) ws_destroy(b->ws);
    event_base_loop(b->base, EVLOOP_NONBLOCK);
    if (b->server) bufferevent_free(b->server);
    event_base_free(b->base);
}

void BM_WsReceive(benchmark::State &state) {
    Bench b;
    if (!set_up(&b)) {
        state.SkipWithError("no endpoint");
        tear_down(&b);
        return;
    }
    std::string burst;
    for (int i = 0; i < kMessages; i++) {
        burst += "\x81";
        burst += (char)kSize;
        burst += std::string(kSize, (char)('a' + i % 26));
    }
    long want = 0;
    for (auto _ : state) {
        want += kMessages;
        bufferevent_write(b.server, burst.data(), burst.size());
        while (b.received < want) event_base_loop(b.base, EVLOOP_ONCE);
    }
    state.SetItemsProcessed(state.iterations() * kMessages);
    tear_down(&b);
}
BENCHMARK(BM_WsReceive)->Unit(benchmark::kMicrosecond);

void BM_WsSend(benchmark::State &state) {
    Bench b;
    if (!set_up(&b)) {
        state.SkipWithError("no endpoint");
        tear_down(&b);
        return;
    }
    const std::string text(kSize, 't');
    evbuffer *in = bufferevent_get_input(b.server);
    for (auto _ : state) {
        for (int i = 0; i < kMessages; i++) ws_send_msg(b.ws, text.c_str());
        evbuffer_drain(in, evbuffer_get_length(in));
    }
    state.SetItemsProcessed(state.iterations() * kMessages);
    tear_down(&b);
}
BENCHMARK(BM_WsSend)->Unit(benchmark::kMicrosecond);

}  // namespace
