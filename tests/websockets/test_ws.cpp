// The WebSocket client endpoint over one end of a bufferevent pair: the test plays the server on the
// other end, byte for byte, with a frame coder of its own.
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/glib-mini/base64.h"
#include "common/glib-mini/glib.h"
#include "common/logger/logger.h"
#include "common/websockets/ws.h"
#include "tests/support/appserver_peer.h"
#include "tests/support/test_support.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

using Strings = std::vector<std::string>;

/* ---- the test's own coder ---- */

/* A frame header as a server sends it (unmasked unless mask is given), announcing len bytes. */
std::string header(int op, uint64_t len, bool fin = true, const std::string &mask = "") {
    std::string h;
    h.push_back((char)((fin ? 0x80 : 0) | op));
    const char m = mask.empty() ? 0 : (char)0x80;
    if (len < 126) {
        h.push_back((char)(m | (char)len));
    } else if (len < 65536) {
        h.push_back((char)(m | 126));
        h.push_back((char)(len >> 8));
        h.push_back((char)len);
    } else {
        h.push_back((char)(m | 127));
        for (int i = 7; i >= 0; i--) h.push_back((char)(len >> (8 * i)));
    }
    return h + mask;
}

std::string frame(int op, const std::string &payload, bool fin = true, const std::string &mask = "") {
    std::string p = payload;
    if (!mask.empty())
        for (size_t i = 0; i < p.size(); i++) p[i] = (char)(p[i] ^ mask[i % 4]);
    return header(op, payload.size(), fin, mask) + p;
}

std::string text(const std::string &payload, bool fin = true) { return frame(1, payload, fin); }

struct Frame {
    bool fin = false;
    int op = 0;
    bool masked = false;
    int code = 0;
    std::string mask;
    std::string payload; /* unmasked */
};

/* The complete client frames in bytes, from the start. */
std::vector<Frame> parse_frames(const std::string &bytes) {
    std::vector<Frame> out;
    size_t at = 0;
    for (;;) {
        if (bytes.size() < at + 2) break;
        Frame f;
        const unsigned char b0 = (unsigned char)bytes[at], b1 = (unsigned char)bytes[at + 1];
        f.fin = b0 & 0x80;
        f.op = b0 & 0x0f;
        f.masked = b1 & 0x80;
        f.code = b1 & 0x7f;
        size_t p = at + 2;
        uint64_t len = (uint64_t)f.code;
        const size_t ext = f.code == 126 ? 2 : f.code == 127 ? 8 : 0;
        if (bytes.size() < p + ext) break;
        if (ext) {
            len = 0;
            for (size_t i = 0; i < ext; i++) len = (len << 8) | (unsigned char)bytes[p + i];
        }
        p += ext;
        if (f.masked) {
            if (bytes.size() < p + 4) break;
            f.mask = bytes.substr(p, 4);
            p += 4;
        }
        if (bytes.size() < p + len) break;
        f.payload = bytes.substr(p, (size_t)len);
        if (f.masked)
            for (size_t i = 0; i < f.payload.size(); i++) f.payload[i] = (char)(f.payload[i] ^ f.mask[i % 4]);
        out.push_back(f);
        at = p + (size_t)len;
    }
    return out;
}

/* ---- the endpoint on a pair ---- */

struct Seen {
    Strings events; /* "connected", "close", "error:<text>", "message:<payload>" (long ones by length) */
    std::string last_message;
    std::function<void(t_ws *, const std::string &)> react; /* runs after each event is recorded */
};

void record(t_ws *ws, void *arg, const std::string &event) {
    Seen *s = (Seen *)arg;
    s->events.push_back(event);
    if (s->react) s->react(ws, event);
}

void on_message(t_ws *ws, const char *data, size_t len, void *arg) {
    EXPECT_EQ(data[len], '\0');
    ((Seen *)arg)->last_message.assign(data, len);
    record(ws, arg, len > 200 ? "message:" + std::to_string(len) + " bytes" : "message:" + std::string(data, len));
}
void on_error(t_ws *ws, const char *data, size_t len, void *arg) { record(ws, arg, "error:" + std::string(data, len)); }
void on_close(t_ws *ws, void *arg) { record(ws, arg, "close"); }
void on_connected(t_ws *ws, void *arg) { record(ws, arg, "connected"); }

const char *const kUrl = "ws://dev.example/p";

class WsPair : public ::testing::Test {
protected:
    void SetUp() override {
        logger_set_parameter("file.name", dir.file("engine.log").c_str());
        logger_set_parameter("file", "true");
        logger_set_parameter("level", "TRACE");
        logger_commit_parameters();
        base = event_base_new();
        ws = ws_init(WS_CLIENT, base, test_certs().ca.c_str(), on_message, on_error, on_close, on_connected, &seen);
        ASSERT_NE(ws, nullptr);
    }
    void TearDown() override {
        if (ws) ws_destroy(ws);
        pump(10ms);
        ws_stop();
        for (bufferevent *b : server_ends) bufferevent_free(b);
        event_base_free(base);
    }

    /* A new pair: the endpoint takes one end as its connection to url, the test keeps the other. */
    void attach(const char *url = kUrl) {
        bufferevent *pair[2];
        ASSERT_EQ(bufferevent_pair_new(base, BEV_OPT_CLOSE_ON_FREE | BEV_OPT_DEFER_CALLBACKS, pair), 0);
        bufferevent_enable(pair[1], EV_READ);
        client_end = pair[0];
        server = pair[1];
        server_ends.push_back(server);
        from_client.clear();
        ASSERT_EQ(ws_connect_bufferevent(ws, url, client_end), 0);
    }

    bool pump_until(const std::function<bool()> &pred, std::chrono::milliseconds timeout = 20s) {
        auto end = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            event_base_loop(base, EVLOOP_NONBLOCK);
            take();
            if (pred()) return true;
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(1ms);
        }
    }
    void pump(std::chrono::milliseconds d) {
        pump_until([] { return false; }, d);
    }
    /* Moves what the client wrote into from_client. */
    void take() {
        if (!server) return;
        evbuffer *in = bufferevent_get_input(server);
        const size_t n = evbuffer_get_length(in);
        if (!n) return;
        std::string chunk(n, '\0');
        evbuffer_remove(in, &chunk[0], n);
        from_client += chunk;
    }
    void send(const std::string &bytes) { bufferevent_write(server, bytes.data(), bytes.size()); }

    /* The request's key once the whole request has come. */
    std::string request_key() {
        EXPECT_TRUE(pump_until([&] { return from_client.find("\r\n\r\n") != std::string::npos; }));
        const std::string tag = "Sec-WebSocket-Key: ";
        size_t at = from_client.find(tag);
        if (at == std::string::npos) return "";
        at += tag.size();
        return from_client.substr(at, from_client.find("\r\n", at) - at);
    }
    std::string good_reply(const std::string &key) {
        char *accept = ws_accept_for_key(key.c_str());
        std::string r = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                        "Sec-WebSocket-Accept: " +
                        std::string(accept) + "\r\n\r\n";
        free(accept);
        return r;
    }
    /* Handshake done; from_client then holds only frames. */
    void connect(const char *url = kUrl) {
        attach(url);
        send(good_reply(request_key()));
        ASSERT_TRUE(pump_until([&] { return !seen.events.empty(); }));
        ASSERT_EQ(seen.events, Strings{"connected"});
        seen.events.clear();
        from_client.clear();
    }
    /* Waits for n events, then a little longer for any that should not come. */
    Strings events_after(size_t n) {
        EXPECT_TRUE(pump_until([&] { return seen.events.size() >= n; })) << ::testing::PrintToString(seen.events);
        pump(30ms);
        return seen.events;
    }
    std::vector<Frame> client_frames(size_t n) {
        EXPECT_TRUE(pump_until([&] { return parse_frames(from_client).size() >= n; }));
        return parse_frames(from_client);
    }
    std::string log() const { return read_file(dir.file("engine.log")); }
    bool log_has(const std::string &t) const { return log().find(t) != std::string::npos; }

    TempDir dir;
    event_base *base = nullptr;
    t_ws *ws = nullptr;
    Seen seen;
    bufferevent *client_end = nullptr;
    bufferevent *server = nullptr;
    std::vector<bufferevent *> server_ends;
    std::string from_client;
};

/* ---- the frame codec ---- */

struct CodecCase {
    uint64_t len;
    std::string bytes; /* the whole header, with mask 0a 0b 0c 0d */
};

TEST(WsCodec, HeadersFollowTheLengthCodesAndDecodeOnlyWhenComplete) {
    const std::string m = "\x0a\x0b\x0c\x0d";
    const CodecCase cases[] = {
        {0, std::string("\x81\x80", 2) + m},
        {125, std::string("\x81\xfd", 2) + m},
        {126, std::string("\x81\xfe\x00\x7e", 4) + m},
        {65535, std::string("\x81\xfe\xff\xff", 4) + m},
        {65536, std::string("\x81\xff\x00\x00\x00\x00\x00\x01\x00\x00", 10) + m},
    };
    for (const CodecCase &c : cases) {
        SCOPED_TRACE(c.len);
        t_ws_header h = {};
        h.is_final = 1;
        h.opcode = wsck_text;
        h.is_masked = 1;
        h.ex_payload_len = c.len;
        memcpy(h.mask, m.data(), 4);
        uint8_t out[14];
        const size_t n = ws_encode_header(&h, out);
        EXPECT_EQ(std::string((const char *)out, n), c.bytes);

        t_ws_header d;
        for (size_t k = 0; k < c.bytes.size(); k++) EXPECT_EQ(ws_decode_header((const uint8_t *)c.bytes.data(), k, &d), 0u);
        ASSERT_EQ(ws_decode_header((const uint8_t *)c.bytes.data(), c.bytes.size(), &d), c.bytes.size());
        EXPECT_EQ(d.ex_payload_len, c.len);
        EXPECT_TRUE(d.is_final);
        EXPECT_TRUE(d.is_masked);
        EXPECT_EQ(d.opcode, (unsigned)wsck_text);
        EXPECT_EQ(std::string((const char *)d.mask, 4), m);
    }
    // The largest announced lengths decode as they stand; the reader decides what to do with them.
    const std::string huge = std::string("\x02\x7f\x80\x00\x00\x00\x00\x00\x00\x00", 10);
    t_ws_header d;
    ASSERT_EQ(ws_decode_header((const uint8_t *)huge.data(), huge.size(), &d), 10u);
    EXPECT_EQ(d.ex_payload_len, 1ull << 63);
    EXPECT_FALSE(d.is_final);
    EXPECT_FALSE(d.is_masked);
}

TEST(WsCodec, AcceptValueOfTheProtocolExample) {
    char *accept = ws_accept_for_key("dGhlIHNhbXBsZSBub25jZQ==");
    ASSERT_NE(accept, nullptr);
    EXPECT_STREQ(accept, "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    free(accept);
}

/* ---- handshake ---- */

TEST_F(WsPair, RequestNamesTheWholeUrlAndEachConnectionHasAFreshKey) {
    attach("wss://dev.example");
    const std::string key = request_key();
    EXPECT_EQ(from_client, "GET wss://dev.example HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                           "Host: dev.example\r\nSec-WebSocket-Key: " +
                               key + "\r\nSec-WebSocket-Version: 13\r\n\r\n");
    size_t raw_len = 0;
    unsigned char *raw = g_base64_decode(key.c_str(), &raw_len);
    EXPECT_EQ(key.size(), 24u);
    EXPECT_EQ(raw_len, 16u);
    g_free(raw);

    attach("ws://dev.example:8080/a/b?q=1");
    const std::string key2 = request_key();
    EXPECT_EQ(from_client.substr(0, from_client.find("Sec-WebSocket-Key")),
              "GET ws://dev.example:8080/a/b?q=1 HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              "Host: dev.example:8080\r\n");
    EXPECT_NE(key2, key);
    EXPECT_TRUE(seen.events.empty());
}

struct ReplyCase {
    const char *name;
    std::function<std::string(const std::string &accept)> reply;
    bool accepted;
    const char *warn; /* logged when refused */
};

void PrintTo(const ReplyCase &c, std::ostream *os) { *os << c.name; }

class WsReply : public WsPair, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(WsReply, HeadersAreCheckedInOrderAndTheStatusLineIsNot) {
    const ReplyCase &c = GetParam();
    attach();
    char *accept = ws_accept_for_key(request_key().c_str());
    const std::string reply = c.reply(accept);
    free(accept);
    // A frame right behind the reply: delivered only when the reply is accepted.
    send(reply + text("after"));
    if (c.accepted) {
        EXPECT_EQ(events_after(2), (Strings{"connected", "message:after"}));
        EXPECT_EQ(ws_get_state(ws), WS_STATE_CONNECTED);
    } else {
        EXPECT_EQ(events_after(1), Strings{"error:Handshake error"});
        EXPECT_EQ(ws_get_state(ws), WS_STATE_ERROR);
        EXPECT_TRUE(log_has(c.warn)) << c.warn;
        EXPECT_TRUE(log_has("Handshake error"));
        // Later input is ignored too.
        send(text("later"));
        EXPECT_EQ(events_after(1), Strings{"error:Handshake error"});
    }
}

std::string reply_with(const std::string &connection, const std::string &upgrade, const std::string &accept_line,
                       const std::string &status = "HTTP/1.1 101 Switching Protocols") {
    return status + "\r\n" + upgrade + "\r\n" + connection + "\r\n" + accept_line + "\r\n\r\n";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WsReply,
    ::testing::Values(
        ReplyCase{"good", [](const std::string &a) { return reply_with("Connection: Upgrade", "Upgrade: websocket", "Sec-WebSocket-Accept: " + a); }, true, ""},
        ReplyCase{"value_in_capitals", [](const std::string &a) { return reply_with("Connection: UPGRADE", "Upgrade: WebSocket", "Sec-WebSocket-Accept: " + a); }, true, ""},
        ReplyCase{"status_not_examined", [](const std::string &a) { return reply_with("Connection: Upgrade", "Upgrade: websocket", "Sec-WebSocket-Accept: " + a, "HTTP/1.1 200 OK"); }, true, ""},
        ReplyCase{"lines_end_in_lf", [](const std::string &a) { return "HTTP/1.1 101 x\nUpgrade: websocket\nConnection: Upgrade\nSec-WebSocket-Accept: " + a + "\n\n"; }, true, ""},
        ReplyCase{"connection_name_lower_case", [](const std::string &a) { return reply_with("connection: Upgrade", "Upgrade: websocket", "Sec-WebSocket-Accept: " + a); }, false, "No Connection header or header value different from Upgrade"},
        ReplyCase{"connection_keep_alive", [](const std::string &a) { return reply_with("Connection: keep-alive", "Upgrade: websocket", "Sec-WebSocket-Accept: " + a); }, false, "No Connection header or header value different from Upgrade"},
        ReplyCase{"no_upgrade_header", [](const std::string &a) { return reply_with("Connection: Upgrade", "X-Upgrade:websocket", "Sec-WebSocket-Accept: " + a); }, false, "No Upgrade header or header value different from websocket"},
        ReplyCase{"wrong_accept", [](const std::string &) { return reply_with("Connection: Upgrade", "Upgrade: websocket", "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzo="); }, false, "No Sec-WebSocket-Accept header"}),
    [](const ::testing::TestParamInfo<ReplyCase> &i) { return std::string(i.param.name); });

TEST_F(WsPair, ReplyInPiecesIsTakenUpToItsBlankLineOnly) {
    attach();
    const std::string reply = good_reply(request_key());
    // The reply and two frames in one read: both frames follow on_connected at once.
    const std::string all = reply + text("one") + text("two");
    send(all.substr(0, 20));
    pump(30ms);
    EXPECT_TRUE(seen.events.empty());
    send(all.substr(20, reply.size() - 21));
    pump(30ms);
    EXPECT_TRUE(seen.events.empty());
    send(all.substr(reply.size() - 1));
    EXPECT_EQ(events_after(3), (Strings{"connected", "message:one", "message:two"}));
}

/* ---- receiving ---- */

struct InputCase {
    const char *name;
    std::function<Strings()> chunks; /* written one after the other, each pumped */
    Strings events;
    const char *warn; /* logged, or "" */
};

void PrintTo(const InputCase &c, std::ostream *os) { *os << c.name; }

class WsInput : public WsPair, public ::testing::WithParamInterface<InputCase> {};

TEST_P(WsInput, FramesAreDeliveredWholeAndTheStreamStaysInStep) {
    const InputCase &c = GetParam();
    connect();
    for (const std::string &chunk : c.chunks()) {
        send(chunk);
        pump(1ms);
    }
    EXPECT_EQ(events_after(c.events.size()), c.events);
    if (*c.warn) {
        EXPECT_TRUE(log_has(c.warn)) << c.warn;
    }
}

Strings bytes_of(const std::string &s) {
    Strings out;
    for (char ch : s) out.push_back(std::string(1, ch));
    return out;
}

const std::string kNul(1, '\0');

INSTANTIATE_TEST_SUITE_P(
    Cases, WsInput,
    ::testing::Values(
        InputCase{"byte_by_byte", [] { return bytes_of(text(std::string(126, 'x')) + frame(2, "b" + kNul + "c")); },
                  {"message:" + std::string(126, 'x'), "message:b" + kNul + "c"}, ""},
        InputCase{"masked_by_the_server", [] { return Strings{frame(1, "secret", true, "\x01\x02\x03\x04")}; },
                  {"message:secret"}, ""},
        InputCase{"payload_across_reads", [] { const std::string f = text(std::string(70000, 'y')); return Strings{f.substr(0, 5000), f.substr(5000)}; },
                  {"message:70000 bytes"}, ""},
        // As a fragmented message ends with an empty final continuation.
        InputCase{"fragments", [] { return Strings{text("frag", false) + frame(0, "ment", false) + frame(0, "ed", false) + frame(0, "", true)}; },
                  {"message:fragmented"}, "Got wsck_continuation"},
        InputCase{"empty_message", [] { return Strings{text("") + text("x")}; }, {"message:", "message:x"}, ""},
        InputCase{"close_with_status_then_more", [] { return Strings{frame(8, "\x03\xe8" "bye") + text("still")}; },
                  {"close", "message:still"}, "Got close"},
        InputCase{"unknown_opcode_is_dropped", [] { return Strings{frame(3, "zz") + text("next")}; },
                  {"message:next"}, "Wrong header opcode or header malformed"},
        InputCase{"continuation_before_any_fragment", [] { return Strings{frame(0, "lost", true) + text("next")}; },
                  {"message:next"}, "No internal/external buffer set, cannot handle fragmented payload"},
        // Longer than any message taken: read past as it arrives.
        InputCase{"frame_above_the_cap_is_skipped",
                  [] { return Strings{header(2, 10000001), std::string(6000000, 'a'), std::string(4000001, 'b') + text("after")}; },
                  {"message:after"}, "Cannot alloc buf of length 10000001ll"},
        InputCase{"length_with_top_bit",
                  [] { return Strings{header(1, 1ull << 63) + "abc"}; }, {}, "Cannot alloc buf of length 9223372036854775808ll"},
        InputCase{"assembly_cap_drops_the_overflowing_part",
                  [] { return Strings{text(std::string(6000000, 'a'), false), frame(0, std::string(6000000, 'b'), false), frame(0, "z", true)}; },
                  {"message:6000001 bytes"}, "Cannot handle fragmented payload in internal buffer (size 12000000 too big)"}),
    [](const ::testing::TestParamInfo<InputCase> &i) { return std::string(i.param.name); });

TEST_F(WsPair, AssembledMessageIsTheFirstPartAndTheLastOne) {
    connect();
    send(text(std::string(6000000, 'a'), false) + frame(0, std::string(6000000, 'b'), false) + frame(0, "z", true));
    events_after(1);
    EXPECT_EQ(seen.last_message, std::string(6000000, 'a') + "z");
    // The next fragmented message starts empty.
    send(text("x", false) + frame(0, "y", true));
    EXPECT_EQ(events_after(2).back(), "message:xy");
}

TEST_F(WsPair, ConnectionEventsCloseOrFailWithoutChangingState) {
    connect();
    // Deferred events of one bufferevent merge, so each gets a loop turn of its own.
    bufferevent_trigger_event(client_end, BEV_EVENT_ERROR, 0);
    events_after(1);
    bufferevent_trigger_event(client_end, BEV_EVENT_TIMEOUT | BEV_EVENT_READING, 0);
    events_after(2);
    bufferevent_flush(server, EV_WRITE, BEV_FINISHED);
    EXPECT_EQ(events_after(3), (Strings{"error:Network error", "close", "close"}));
    EXPECT_EQ(ws_get_state(ws), WS_STATE_CONNECTED);
    EXPECT_TRUE(log_has("Timeout"));
    EXPECT_TRUE(log_has("Disconnected from the remote host"));
}

/* ---- sending ---- */

TEST_F(WsPair, SentFramesAreMaskedWithFreshMasksAndTheirLengthCodes) {
    connect();
    struct Sent {
        size_t len;
        int code;
    };
    const Sent sizes[] = {{0, 0}, {125, 125}, {126, 126}, {65535, 126}, {65536, 127}, {3, 3}};
    for (const Sent &s : sizes) ASSERT_EQ(ws_send_msg(ws, std::string(s.len, 'm').c_str()), 0);
    ws_ping(ws);
    ASSERT_EQ(ws_send_msg(ws, std::string("a\0b", 3).c_str()), 0);
    const std::vector<Frame> f = client_frames(8);
    ASSERT_EQ(f.size(), 8u);
    Strings masks;
    for (size_t i = 0; i < 6; i++) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(f[i].fin);
        EXPECT_EQ(f[i].op, 1);
        EXPECT_TRUE(f[i].masked);
        EXPECT_EQ(f[i].code, sizes[i].code);
        EXPECT_EQ(f[i].payload, std::string(sizes[i].len, 'm'));
        masks.push_back(f[i].mask);
    }
    std::sort(masks.begin(), masks.end());
    EXPECT_GT(std::unique(masks.begin(), masks.end()) - masks.begin(), 1);
    EXPECT_EQ(f[6].op, 9);
    EXPECT_TRUE(f[6].masked && f[6].fin);
    EXPECT_EQ(f[6].payload, "");
    EXPECT_EQ(f[7].payload, "a");
    // A frame's payload is really masked on the wire.
    EXPECT_EQ(from_client.find(std::string(125, 'm')), std::string::npos);
}

TEST_F(WsPair, PingIsAnsweredWithItsPayload) {
    connect();
    send(frame(9, "abc"));
    const std::vector<Frame> f = client_frames(1);
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].op, 10);
    EXPECT_TRUE(f[0].fin && f[0].masked);
    EXPECT_EQ(f[0].payload, "abc");
    send(frame(10, "p"));
    pump(30ms);
    EXPECT_TRUE(seen.events.empty());
    EXPECT_TRUE(log_has("Got pong"));
}

TEST_F(WsPair, CloseSendsABareCloseFrameThenNothingAndConnectsAgain) {
    connect();
    ws_send_msg(ws, "last");
    ws_close(ws);
    const std::vector<Frame> f = client_frames(2);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0].payload, "last");
    EXPECT_EQ(f[1].op, 8);
    EXPECT_TRUE(f[1].fin && f[1].masked);
    EXPECT_EQ(f[1].code, 0);
    EXPECT_EQ(ws_send_msg(ws, "nothing"), -1);
    ws_ping(ws);
    pump(30ms);
    EXPECT_EQ(parse_frames(from_client).size(), 2u);
    EXPECT_TRUE(seen.events.empty());

    // Same endpoint, same callbacks, a new connection and a new key.
    connect();
    send(text("again"));
    EXPECT_EQ(events_after(1), Strings{"message:again"});
}

TEST_F(WsPair, CloseBeforeTheHandshakeSendsNoFrame) {
    attach();
    request_key();
    from_client.clear();
    ws_close(ws);
    pump(30ms);
    EXPECT_EQ(from_client, "");
}

/* ---- a peer that takes nothing ---- */

/*
 * The endpoint on one end of a unix socket pair, the test's side a plain descriptor: what the peer
 * does not read stays with the endpoint, as over TCP (a bufferevent pair hands on everything).
 */
class WsSocket : public WsPair {
protected:
    void TearDown() override {
        WsPair::TearDown();
        if (peer >= 0) close(peer);
    }
    void connect_socket() {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
        if (peer >= 0) close(peer);
        peer = fds[1];
        sock = bufferevent_socket_new(base, fds[0], BEV_OPT_CLOSE_ON_FREE | BEV_OPT_DEFER_CALLBACKS);
        ASSERT_NE(sock, nullptr);
        ASSERT_EQ(ws_connect_bufferevent(ws, kUrl, sock), 0);
        std::string request;
        ASSERT_TRUE(pump_until([&] {
            read_peer(&request);
            return request.find("\r\n\r\n") != std::string::npos;
        }));
        const std::string tag = "Sec-WebSocket-Key: ";
        const size_t at = request.find(tag) + tag.size();
        ASSERT_TRUE(write_peer(good_reply(request.substr(at, request.find("\r\n", at) - at))));
        ASSERT_TRUE(pump_until([&] { return !seen.events.empty(); }));
        ASSERT_EQ(seen.events, Strings{"connected"});
        seen.events.clear();
    }
    /* Appends what the endpoint wrote and the peer has not read yet. */
    void read_peer(std::string *into = nullptr) {
        char buf[65536];
        ssize_t n;
        while ((n = read(peer, buf, sizeof buf)) > 0)
            if (into) into->append(buf, (size_t)n);
    }
    /* As much of bytes as the socket takes; false when the endpoint's side is closed. */
    bool write_peer(const std::string &bytes, size_t *taken = nullptr) {
        const ssize_t n = ::send(peer, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (taken) *taken = n > 0 ? (size_t)n : 0;
        return n >= 0 || errno == EAGAIN;
    }
    /* What the endpoint holds unsent while its connection lives. */
    size_t unsent() const {
        return ws_get_state(ws) == WS_STATE_CONNECTED ? evbuffer_get_length(bufferevent_get_output(sock)) : 0;
    }
    bool peer_end_closed() { return !write_peer(std::string(1, '\0')); }

    int peer = -1;
    bufferevent *sock = nullptr; /* the endpoint's, freed with its connection */
};

struct UnsentCase {
    const char *name;
    bool peer_reads;
    /* One step of the flood: the bytes it made the endpoint queue, or -1 once the endpoint refused. */
    std::function<long(t_ws *, const std::function<bool(const std::string &, size_t *)> &write_peer)> step;
};

void PrintTo(const UnsentCase &c, std::ostream *os) { *os << c.name; }

class WsUnsent : public WsSocket, public ::testing::WithParamInterface<UnsentCase> {};

TEST_P(WsUnsent, PastTheBoundTheConnectionClosesAndOnErrorComesOnce) {
    const UnsentCase &c = GetParam();
    connect_socket();
    const auto write = [this](const std::string &b, size_t *taken) { return write_peer(b, taken); };
    size_t most = 0;
    bool refused = false;
    // 40 MiB at most: well past the bound, and a missing bound cannot take the machine.
    const auto until = std::chrono::steady_clock::now() + 20s;
    for (long queued = 0; queued < 40l << 20 && !refused && std::chrono::steady_clock::now() < until;) {
        const long n = c.step(ws, write);
        refused = n < 0;
        queued += n;
        pump(1ms);
        if (c.peer_reads) read_peer();
        most = std::max(most, unsent());
        refused = refused || ws_get_state(ws) != WS_STATE_CONNECTED;
    }
    ASSERT_TRUE(refused) << "still queued: " << unsent();
    EXPECT_LE(most, (size_t)WS_MAX_UNSENT);
    EXPECT_EQ(ws_get_state(ws), WS_STATE_ERROR);
    EXPECT_TRUE(peer_end_closed()) << "the connection is closed at once";
    EXPECT_EQ(events_after(1), Strings{"error:Network error"});
    EXPECT_TRUE(log_has("connection closed (ws "));
    // Sends and pings after it go nowhere and report nothing more.
    EXPECT_EQ(ws_send_msg(ws, "more"), -1);
    ws_ping(ws);
    ws_close(ws);
    EXPECT_EQ(events_after(1), Strings{"error:Network error"});

    // The endpoint connects again with its callbacks.
    seen.events.clear();
    connect();
    send(text("again"));
    EXPECT_EQ(events_after(1), Strings{"message:again"});
}

const std::string kMiB(1u << 20, 'u');

/* 8,000 pings with 125-byte payloads (about 1 MiB), each answered with a 131-byte pong. */
const std::string &ping_burst() {
    static const std::string all = [] {
        std::string a;
        const std::string one = frame(9, std::string(125, 'p'));
        for (int i = 0; i < 8000; i++) a += one;
        return a;
    }();
    return all;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WsUnsent,
    ::testing::Values(
        UnsentCase{"messages", false,
                   [](t_ws *ws, const auto &) { return ws_send_msg(ws, kMiB.c_str()) == 0 ? (long)kMiB.size() : -1l; }},
        // The pongs of a peer's pings pile up as well.
        UnsentCase{"pongs", false,
                   [](t_ws *, const auto &write) {
                       static size_t at = 0;
                       const std::string &burst = ping_burst();
                       size_t taken = 0;
                       const bool open = write(burst.substr(at), &taken);
                       at = (at + taken) % burst.size();
                       return open ? (long)taken : -1l;
                   }},
        // The bound holds for one frame too, also towards a peer that reads.
        UnsentCase{"one_message_above_the_bound", true,
                   [](t_ws *ws, const auto &) {
                       return ws_send_msg(ws, std::string(WS_MAX_UNSENT, 'o').c_str()) == 0 ? (long)WS_MAX_UNSENT : -1l;
                   }}),
    [](const ::testing::TestParamInfo<UnsentCase> &i) { return std::string(i.param.name); });

/* Sends 1 MiB messages to a peer that reads nothing until one is refused (40 at most). */
bool send_until_refused(t_ws *ws) {
    for (int i = 0; i < 40; i++)
        if (ws_send_msg(ws, kMiB.c_str()) != 0) return true;
    return false;
}

TEST_F(WsSocket, AnOnErrorStillDueIsDroppedByANewConnectionOrByDestroy) {
    connect_socket();
    ASSERT_TRUE(send_until_refused(ws));
    // A new connection before the loop ran: the old one's error is not the new one's.
    connect();
    send(text("fresh"));
    EXPECT_EQ(events_after(1), Strings{"message:fresh"});

    seen.events.clear();
    connect_socket();
    ASSERT_TRUE(send_until_refused(ws));
    ws_destroy(ws);
    ws = nullptr;
    pump(50ms);
    EXPECT_TRUE(seen.events.empty());
}

TEST_F(WsSocket, TearDownFreesConnectionsStillWritingWithoutWaiting) {
    connect_socket();
    for (int i = 0; i < 4; i++) ASSERT_EQ(ws_send_msg(ws, kMiB.c_str()), 0);
    ws_destroy(ws);
    ws = nullptr;
    // The close frame and what was sent before it wait for the peer...
    pump(30ms);
    EXPECT_FALSE(peer_end_closed());
    // ...until the engine stops (the socket closes at the loop's next turn, or as the base is freed).
    ws_stop();
    event_base_loop(base, EVLOOP_NONBLOCK);
    EXPECT_TRUE(peer_end_closed());
    ws_stop();
}

/* ---- a peer that floods odd frames ---- */

/* Frames counted in "<n> more frame warnings not logged" lines. */
size_t muted_frames(const std::string &log) {
    size_t n = 0;
    for (const std::string &l : lines_of(log)) {
        const size_t at = l.find(" more frame warnings not logged");
        if (at == std::string::npos) continue;
        const size_t start = l.rfind(' ', at - 1) + 1;
        n += std::stoul(l.substr(start, at - start));
    }
    return n;
}

TEST_F(WsPair, AFragmentFloodLogsAFewFramesASecondAndCountsTheRest) {
    connect();
    const size_t flood = 20000;
    // The first part fills the assembly; every continuation but the last would overflow it.
    std::string all = text(std::string(WS_MAX_MESSAGE - 1, 'a'), false);
    const std::string dropped = frame(0, "bb", false);
    for (size_t i = 0; i < flood; i++) all += dropped;
    all += frame(0, "z", true);
    const auto start = std::chrono::steady_clock::now();
    send(all);
    EXPECT_EQ(events_after(1), Strings{"message:10000000 bytes"});
    EXPECT_EQ(seen.last_message, std::string(WS_MAX_MESSAGE - 1, 'a') + "z");
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
    // The count of the last second is logged when the connection ends.
    ws_close(ws);

    const std::string l = log();
    const size_t logged = lines_containing(l, "Got wsck_bin/wsck_text NOT final") + lines_containing(l, "Got wsck_continuation");
    EXPECT_LE(logged, WS_FRAME_WARNINGS_PER_SECOND * (size_t)(seconds + 2));
    EXPECT_EQ(logged + muted_frames(l), flood + 2) << "every frame is logged or counted";
    // A logged dropped fragment keeps both of its lines.
    const Strings lines = lines_of(l);
    size_t pairs = 0;
    for (size_t i = 1; i < lines.size(); i++) {
        if (lines[i].find("Cannot handle fragmented payload in internal buffer (size 10000001 too big)") == std::string::npos)
            continue;
        EXPECT_NE(lines[i - 1].find("Got wsck_continuation"), std::string::npos);
        pairs++;
    }
    EXPECT_GE(pairs + 1, lines_containing(l, "Got wsck_continuation"));
}

TEST_F(WsPair, EachConnectionHasItsOwnWarningBudget) {
    connect();
    std::string odd;
    for (int i = 0; i < 50; i++) odd += frame(3, "");
    send(odd + text("one"));
    EXPECT_EQ(events_after(1), Strings{"message:one"});
    seen.events.clear();
    connect();
    send(frame(3, "") + text("two"));
    EXPECT_EQ(events_after(1), Strings{"message:two"});
    ws_close(ws);
    const std::string l = log();
    const size_t logged = lines_containing(l, "Wrong header opcode or header malformed");
    EXPECT_GE(logged, WS_FRAME_WARNINGS_PER_SECOND + 1) << "the second connection's frame is logged";
    EXPECT_EQ(logged + muted_frames(l), 51u);
}

/* ---- a callback that ends its own endpoint ---- */

struct EndCase {
    const char *name;
    const char *on;   /* the event whose callback ends the endpoint */
    bool destroy;     /* else close */
    Strings events;   /* all that is delivered */
    std::function<std::string(WsPair *, const std::string &reply)> input;
};

void PrintTo(const EndCase &c, std::ostream *os) { *os << c.name; }

class WsEndInCallback : public WsPair, public ::testing::WithParamInterface<EndCase> {
public:
    std::string reply_for(const std::string &key) { return good_reply(key); }
};

TEST_P(WsEndInCallback, NothingMoreIsDeliveredOrTouched) {
    const EndCase &c = GetParam();
    attach();
    const std::string key = request_key();
    from_client.clear();
    seen.react = [&](t_ws *w, const std::string &event) {
        if (event != c.on) return;
        if (c.destroy) {
            ws_destroy(w);
            ws = nullptr;
        } else {
            ws_close(w);
        }
    };
    send(c.input(this, reply_for(key)));
    EXPECT_EQ(events_after(c.events.size()), c.events);
    for (const Frame &f : parse_frames(from_client)) EXPECT_NE(f.op, 10) << "no pong for the ping behind";
    if (!c.destroy) {
        // The endpoint is still usable.
        seen.react = nullptr;
        seen.events.clear();
        connect();
        send(text("again"));
        EXPECT_EQ(events_after(1), Strings{"message:again"});
    }
}

const std::string kPing = std::string("\x89\x00", 2);

INSTANTIATE_TEST_SUITE_P(
    Cases, WsEndInCallback,
    ::testing::Values(
        EndCase{"destroy_in_on_connected", "connected", true, {"connected"}, [](WsPair *, const std::string &r) { return r + text("x") + kPing; }},
        EndCase{"destroy_in_on_message", "message:x", true, {"connected", "message:x"}, [](WsPair *, const std::string &r) { return r + text("x") + text("y") + kPing; }},
        EndCase{"destroy_in_on_assembled_message", "message:xy", true, {"connected", "message:xy"}, [](WsPair *, const std::string &r) { return r + text("x", false) + frame(0, "y") + kPing; }},
        EndCase{"destroy_in_on_close", "close", true, {"connected", "close"}, [](WsPair *, const std::string &r) { return r + frame(8, "") + text("y") + kPing; }},
        EndCase{"destroy_in_on_error", "error:Handshake error", true, {"error:Handshake error"}, [](WsPair *, const std::string &) { return std::string("HTTP/1.1 400 No\r\n\r\n") + text("y"); }},
        EndCase{"close_in_on_message", "message:x", false, {"connected", "message:x"}, [](WsPair *, const std::string &r) { return r + text("x") + text("y") + kPing; }},
        EndCase{"close_in_on_connected", "connected", false, {"connected"}, [](WsPair *, const std::string &r) { return r + text("x") + kPing; }}),
    [](const ::testing::TestParamInfo<EndCase> &i) { return std::string(i.param.name); });

TEST(WsInit, UnreadableCaFailsAndServerEndpointsDoNotConnect) {
    event_base *base = event_base_new();
    EXPECT_EQ(ws_init(WS_CLIENT, base, "/nonexistent/ca.pem", nullptr, nullptr, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(ws_init(WS_CLIENT, base, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), nullptr);
    t_ws *server = ws_init(WS_SERVER, base, test_certs().ca.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(ws_connect(server, "ws://127.0.0.1/"), -1);
    ws_destroy(server);
    event_base_free(base);
}

TEST_F(WsPair, BadUrlsAreRefusedAndKeepTheConnection) {
    connect();
    for (const char *url : {"WS://dev.example/", "http://dev.example/", "dev.example/p", "wss:/dev.example"}) {
        SCOPED_TRACE(url);
        EXPECT_EQ(ws_connect(ws, url), -1);
    }
    EXPECT_TRUE(log_has("Unknown schema"));
    EXPECT_TRUE(log_has("Cannot find schema in URI"));
    EXPECT_TRUE(log_has("Error parse uri"));
    send(text("still here"));
    EXPECT_EQ(events_after(1), Strings{"message:still here"});
}

}  // namespace
