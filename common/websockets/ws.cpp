#include "common/websockets/ws.h"

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/bufferevent_ssl.h>
#include <event2/event.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <time.h>

#include "common/cutils/sha1.h"
#include "common/glib-mini/base64.h"
#include "common/glib-mini/glib.h"
#include "common/logger/logger.h"
#include "src/http_client.h"

#define LOG_CATEGORY "ws"

namespace {

const char *const kGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
/* The handshake reply is examined within this many bytes (one of them the NUL). */
const size_t kReplyBufSize = 55296;
/* A closed connection's last frames get this long to leave before the socket is closed anyway. */
const struct timeval kLinger = {3, 0};
/* First room of the assembly buffer; it doubles on demand up to WS_MAX_MESSAGE. */
const size_t kAssemblyStart = 4096;

const http_tls_texts_t kWssTexts = {LOG_CATEGORY, "WSS", 1};

int g_ssl_data_index = -1;

/* Connections that ws_close let go while they still write their last frames. */
GSList *g_lingering = nullptr;

const char *scheme_text(t_ws_schema s) { return s == schema_wss ? "wss://" : "ws://"; }

}  // namespace

struct t_ws {
    t_ws_type t;
    t_ws_state state;
    void *arg;
    ws_callback_data_t on_message;
    ws_callback_data_t on_error;
    ws_callback_notify_t on_close;
    ws_callback_notify_t on_connected;
    struct bufferevent *connector;
    struct event_base *event_base;
    SSL_CTX *ssl_ctx;
    SSL *ssl; /* owned by connector once attached */
    int ssl_data_index;
    int port;
    char *host;
    char *path;
    t_ws_schema schema;
    char *websocket_key; /* g_free */
    /* Assembly of a fragmented message: capacity (data bytes, one more allocated) and fill. */
    char *internal_buf_ptr;
    size_t internal_buf_size;
    size_t internal_buf_write_idx;
    /* The frame whose payload is arriving; frame_buf is NULL while a frame is skipped. */
    int reading_inprogress;
    uint64_t read_so_far;
    t_ws_header header;
    char *frame_buf;
    /* The handshake reply collected so far. */
    char *reply_buf;
    size_t reply_len;
    /* on_error of a connection closed for its unsent bytes, due from the loop. */
    struct event *overflow_ev;
    /* Warnings of the current connection's frames: this second's start (ms), frames logged in it,
     * frames muted since the last count line. */
    int64_t warn_window_ms;
    unsigned warn_logged;
    unsigned warn_muted;
    /* A callback may close or destroy the endpoint: handlers count their depth, bump generation on
     * every change of connection, and the endpoint is freed when the outermost handler returns. */
    int depth;
    int destroyed;
    unsigned generation;
};

namespace {

/* ---- connections that are closing ---- */

void linger_free(struct bufferevent *bev) {
    g_lingering = g_slist_remove(g_lingering, bev);
    bufferevent_free(bev);
}

void linger_write_cb(struct bufferevent *bev, void *) {
    if (evbuffer_get_length(bufferevent_get_output(bev)) == 0) linger_free(bev);
}

void linger_event_cb(struct bufferevent *bev, short, void *) { linger_free(bev); }

/* bev no longer belongs to an endpoint: it is freed once its output is written, fails or times out. */
void linger(struct bufferevent *bev) {
    bufferevent_disable(bev, EV_READ);
    if (evbuffer_get_length(bufferevent_get_output(bev)) == 0) {
        bufferevent_free(bev);
        return;
    }
    g_lingering = g_slist_append(g_lingering, bev);
    bufferevent_setcb(bev, nullptr, linger_write_cb, linger_event_cb, nullptr);
    bufferevent_set_timeouts(bev, nullptr, &kLinger);
    bufferevent_enable(bev, EV_WRITE);
}

/* ---- endpoint helpers ---- */

void reset_reading(t_ws *ws) {
    free(ws->frame_buf);
    ws->frame_buf = nullptr;
    ws->reading_inprogress = 0;
    ws->read_so_far = 0;
    memset(&ws->header, 0, sizeof ws->header);
    free(ws->reply_buf);
    ws->reply_buf = nullptr;
    ws->reply_len = 0;
    ws->internal_buf_write_idx = 0;
}

void free_endpoint(t_ws *ws) {
    if (ws->overflow_ev) event_free(ws->overflow_ev);
    if (ws->ssl_ctx) SSL_CTX_free(ws->ssl_ctx);
    reset_reading(ws);
    free(ws->internal_buf_ptr);
    free(ws->host);
    free(ws->path);
    g_free(ws->websocket_key);
    free(ws);
}

void enter(t_ws *ws) { ws->depth++; }

void leave(t_ws *ws) {
    if (--ws->depth == 0 && ws->destroyed) free_endpoint(ws);
}

bool alive(const t_ws *ws, unsigned generation) { return !ws->destroyed && ws->generation == generation; }

void notify_error(t_ws *ws, const char *text) {
    if (ws->on_error) ws->on_error(ws, text, strlen(text), ws->arg);
}

void notify_close(t_ws *ws) {
    if (ws->on_close) ws->on_close(ws, ws->arg);
}

/* ---- warnings of a peer's frames ---- */

int64_t now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

void log_muted_warnings(t_ws *ws) {
    if (ws->warn_muted) LOGW("%u more frame warnings not logged (ws %p)", ws->warn_muted, (void *)ws);
    ws->warn_muted = 0;
}

/* Whether this frame's warnings are logged: a peer that floods odd frames must not flood the log. */
bool frame_warnings_logged(t_ws *ws) {
    const int64_t now = now_ms();
    if (now - ws->warn_window_ms >= 1000) {
        log_muted_warnings(ws);
        ws->warn_window_ms = now;
        ws->warn_logged = 0;
    }
    if (ws->warn_logged < WS_FRAME_WARNINGS_PER_SECOND) {
        ws->warn_logged++;
        return true;
    }
    ws->warn_muted++;
    return false;
}

/* ---- sending ---- */

void overflow_cb(evutil_socket_t, short, void *arg) {
    t_ws *ws = (t_ws *)arg;
    enter(ws);
    if (!ws->destroyed) notify_error(ws, "Network error");
    leave(ws);
}

void drop_connection(t_ws *ws, bool at_once);

/* The peer does not take what is sent: the connection goes at once, the caller hears of it from the loop. */
void close_for_unsent(t_ws *ws, size_t unsent, size_t frame) {
    LOGW("Cannot queue a frame of %zu bytes behind %zu unsent: connection closed (ws %p)", frame, unsent, (void *)ws);
    struct event_base *base = bufferevent_get_base(ws->connector);
    drop_connection(ws, true);
    ws->state = WS_STATE_ERROR;
    if (!ws->overflow_ev) ws->overflow_ev = event_new(base, -1, 0, overflow_cb, ws);
    if (!ws->overflow_ev) BRX_OOM_EXIT("event_new");
    event_active(ws->overflow_ev, EV_TIMEOUT, 0);
}

int ws_send_internal(t_ws *ws, int fin, t_ws_opcode opcode, const char *data, size_t len) {
    if (!ws->connector) return -1;
    t_ws_header h;
    memset(&h, 0, sizeof h);
    h.is_final = fin ? 1 : 0;
    h.opcode = opcode;
    h.ex_payload_len = len;
    if (ws->t == WS_CLIENT) {
        h.is_masked = 1;
        for (int i = 0; i < 4; i++) h.mask[i] = (uint8_t)(rand() & 0xff);
    }
    uint8_t head[14];
    const size_t head_len = ws_encode_header(&h, head);

    // Header and masked payload go straight into the output, without a copy of their own.
    struct evbuffer *out = bufferevent_get_output(ws->connector);
    // The close frame that ends a connection is let through: it is the last one.
    const size_t unsent = evbuffer_get_length(out);
    if (opcode != wsck_close && (len > WS_MAX_UNSENT - head_len || unsent > WS_MAX_UNSENT - head_len - len)) {
        close_for_unsent(ws, unsent, head_len + len);
        return -1;
    }
    struct evbuffer_iovec v;
    if (evbuffer_reserve_space(out, (ev_ssize_t)(head_len + len), &v, 1) < 1 || v.iov_len < head_len + len) {
        LOGW("Cannot alloc data_copy");
        return -1;
    }
    uint8_t *p = (uint8_t *)v.iov_base;
    memcpy(p, head, head_len);
    if (len) memcpy(p + head_len, data, len);
    if (h.is_masked)
        for (size_t i = 0; i < len; i++) p[head_len + i] ^= h.mask[i & 3];
    v.iov_len = head_len + len;
    if (evbuffer_commit_space(out, &v, 1) != 0) {
        LOGW("Cannot alloc data_copy");
        return -1;
    }
    bufferevent_flush(ws->connector, EV_WRITE, BEV_FLUSH);
    return 0;
}

/*
 * Ends the current connection: a connected one with a close frame that is still written out,
 * unless at_once. The rest stays for a new connect.
 */
void drop_connection(t_ws *ws, bool at_once) {
    ws->generation++;
    log_muted_warnings(ws);
    ws->warn_window_ms = 0;
    ws->warn_logged = 0;
    if (ws->connector) {
        const bool closing = !at_once && ws->state == WS_STATE_CONNECTED;
        if (closing) ws_send_internal(ws, 1, wsck_close, nullptr, 0);
        struct bufferevent *bev = ws->connector;
        ws->connector = nullptr;
        ws->ssl = nullptr;
        if (closing)
            linger(bev);
        else
            bufferevent_free(bev);
    } else if (ws->ssl) {
        SSL_free(ws->ssl);
        ws->ssl = nullptr;
    }
    reset_reading(ws);
}

/* ---- handshake ---- */

int start_ws_handshake(t_ws *ws) {
    unsigned char raw[16];
    for (unsigned char &b : raw) b = (unsigned char)(rand() & 0xff);
    char *key = g_base64_encode(raw, sizeof raw);
    if (!key) {
        LOGW("Handshake failed - cannot get key");
        return -1;
    }
    g_free(ws->websocket_key);
    ws->websocket_key = key;
    LOGD("start handshake");
    char *request = nullptr;
    const int len = asprintf(&request,
                             "GET %s%s%s HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nHost: %s\r\n"
                             "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n",
                             scheme_text(ws->schema), ws->host, ws->path ? ws->path : "", ws->host, key);
    if (len < 0) {
        LOGW("Handshake failed - cannot print request");
        return -1;
    }
    LOGD("sending %s", request);
    ws->state = WS_STATE_CLIENT_CONNECTING;
    bufferevent_write(ws->connector, request, (size_t)len);
    bufferevent_flush(ws->connector, EV_WRITE, BEV_FLUSH);
    free(request);
    return 0;
}

/* Index just past the first blank line ("\r\n\r\n" or "\n\n") in buf[from, total), or 0. */
size_t blank_line_end(const char *buf, size_t from, size_t total) {
    for (size_t i = from; i + 1 < total; i++) {
        if (buf[i] == '\n' && buf[i + 1] == '\n') return i + 2;
        if (i + 3 < total && memcmp(buf + i, "\r\n\r\n", 4) == 0) return i + 4;
    }
    return 0;
}

int header_mismatch(const char *header, const char *value) {
    LOGW("No %s header or header value different from %s", header, value);
    return -1;
}

/* 0 when the reply accepts this connection's key. */
int check_reply(t_ws *ws, const char *reply) {
    const char *p = strstr(reply, "Connection: ");
    if (!p || strncasecmp(p + strlen("Connection: "), "Upgrade", 7) != 0) return header_mismatch("Connection", "Upgrade");
    p = strstr(reply, "Upgrade: ");
    if (!p || strncasecmp(p + strlen("Upgrade: "), "websocket", 9) != 0) return header_mismatch("Upgrade", "websocket");
    LOGD("client_handle_handshake_reply %s", reply);
    char *accept = ws_accept_for_key(ws->websocket_key);
    if (!accept) {
        LOGW("Cannot compute expected accept");
        return -1;
    }
    LOGD("Expected accept is %s", accept);
    p = strstr(reply, "Sec-WebSocket-Accept: ");
    const int ok = p && strncasecmp(p + strlen("Sec-WebSocket-Accept: "), accept, strlen(accept)) == 0;
    if (!ok) header_mismatch("Sec-WebSocket-Accept", accept);
    free(accept);
    return ok ? 0 : -1;
}

/* Takes the reply from the input up to its blank line; what follows is frame data. */
void finish_handshake(t_ws *ws, struct evbuffer *in) {
    LOGD("finish_handshake");
    if (!ws->reply_buf) {
        ws->reply_buf = (char *)malloc(kReplyBufSize);
        if (!ws->reply_buf) BRX_OOM_EXIT("handshake reply");
        ws->reply_len = 0;
    }
    const size_t old = ws->reply_len;
    const size_t room = kReplyBufSize - 1 - old;
    const size_t avail = evbuffer_get_length(in);
    const size_t n = avail < room ? avail : room;
    if (n) evbuffer_copyout(in, ws->reply_buf + old, n);
    const size_t end = blank_line_end(ws->reply_buf, old >= 3 ? old - 3 : 0, old + n);
    if (end) {
        evbuffer_drain(in, end - old);
        ws->reply_len = end;
    } else {
        evbuffer_drain(in, n);
        ws->reply_len = old + n;
        if (ws->reply_len < kReplyBufSize - 1) return;
    }
    ws->reply_buf[ws->reply_len] = '\0';
    const int ok = check_reply(ws, ws->reply_buf) == 0;
    free(ws->reply_buf);
    ws->reply_buf = nullptr;
    ws->reply_len = 0;
    if (!ok) {
        LOGW("%s", "Handshake error");
        ws->state = WS_STATE_ERROR;
        notify_error(ws, "Handshake error");
        return;
    }
    LOGD("Handshake OK");
    LOGD("ws connected to %s%s:%d%s", scheme_text(ws->schema), ws->host, ws->port, ws->path ? ws->path : "");
    ws->state = WS_STATE_CONNECTED;
    if (ws->on_connected) ws->on_connected(ws, ws->arg);
}

/* ---- frames ---- */

/* Appends a part of a fragmented message; a part beyond the cap is dropped. */
void assembly_append(t_ws *ws, const char *data, size_t len, bool loud) {
    const uint64_t need = (uint64_t)ws->internal_buf_write_idx + len;
    if (need > WS_MAX_MESSAGE) {
        if (loud)
            LOGW("Cannot handle fragmented payload in internal buffer (size %llu too big)", (unsigned long long)need);
        return;
    }
    if (need > ws->internal_buf_size || !ws->internal_buf_ptr) {
        size_t size = ws->internal_buf_size ? ws->internal_buf_size : kAssemblyStart;
        while (size < need) size *= 2;
        if (size > WS_MAX_MESSAGE) size = WS_MAX_MESSAGE;
        char *grown = (char *)realloc(ws->internal_buf_ptr, size + 1);
        if (!grown) {
            if (loud) LOGW("Cannot create internal buffer to handle fragmented payload");
            return;
        }
        ws->internal_buf_ptr = grown;
        ws->internal_buf_size = size;
    }
    memcpy(ws->internal_buf_ptr + ws->internal_buf_write_idx, data, len);
    ws->internal_buf_write_idx = (size_t)need;
}

void handle_frame(t_ws *ws, const char *payload, size_t len) {
    const t_ws_header &h = ws->header;
    switch (h.opcode) {
    case wsck_text:
    case wsck_bin: {
        if (h.is_final) {
            if (ws->on_message) ws->on_message(ws, payload, len, ws->arg);
            return;
        }
        const bool loud = frame_warnings_logged(ws);
        if (loud) LOGW("Got wsck_bin/wsck_text NOT final");
        ws->internal_buf_write_idx = 0;
        assembly_append(ws, payload, len, loud);
        return;
    }
    case wsck_continuation: {
        const bool loud = frame_warnings_logged(ws);
        if (loud) LOGW("Got wsck_continuation");
        if (!ws->internal_buf_ptr) {
            if (loud) LOGW("No internal/external buffer set, cannot handle fragmented payload");
            return;
        }
        assembly_append(ws, payload, len, loud);
        if (!h.is_final) return;
        const size_t total = ws->internal_buf_write_idx;
        ws->internal_buf_ptr[total] = '\0';
        ws->internal_buf_write_idx = 0;
        if (ws->on_message) ws->on_message(ws, ws->internal_buf_ptr, total, ws->arg);
        return;
    }
    case wsck_close:
        LOGD("Got close");
        ws->internal_buf_write_idx = 0;
        notify_close(ws);
        return;
    case wsck_ping:
        LOGD("Got ping");
        ws_send_internal(ws, 1, wsck_pong, payload, len);
        return;
    case wsck_pong:
        LOGD("Got pong");
        return;
    default:
        if (frame_warnings_logged(ws)) LOGW("Wrong header opcode or header malformed");
        return;
    }
}

/* Every complete frame of the input, until a callback ends this connection or the endpoint. */
void read_frames(t_ws *ws, struct evbuffer *in, unsigned generation) {
    for (;;) {
        if (!ws->reading_inprogress) {
            uint8_t raw[14];
            const size_t avail = evbuffer_get_length(in);
            if (avail < 2) return;
            const size_t n = avail < sizeof raw ? avail : sizeof raw;
            evbuffer_copyout(in, raw, n);
            t_ws_header h;
            const size_t head_len = ws_decode_header(raw, n, &h);
            if (head_len == 0) return;
            evbuffer_drain(in, head_len);
            ws->header = h;
            ws->read_so_far = 0;
            ws->reading_inprogress = 1;
            // A frame too long to take is read past as it arrives, keeping the stream in step.
            ws->frame_buf = h.ex_payload_len <= WS_MAX_MESSAGE ? (char *)malloc((size_t)h.ex_payload_len + 1) : nullptr;
            // The line has always read "<length>ll"; log readers match it that way.
            if (!ws->frame_buf) LOGW("Cannot alloc buf of length %llull", (unsigned long long)h.ex_payload_len);
        }
        const uint64_t left = ws->header.ex_payload_len - ws->read_so_far;
        const size_t avail = evbuffer_get_length(in);
        const size_t n = left < avail ? (size_t)left : avail;
        if (n && ws->frame_buf) {
            uint8_t *p = (uint8_t *)ws->frame_buf + ws->read_so_far;
            evbuffer_remove(in, p, n);
            if (ws->header.is_masked)
                for (size_t i = 0; i < n; i++) p[i] ^= ws->header.mask[(ws->read_so_far + i) & 3];
        } else if (n) {
            evbuffer_drain(in, n);
        }
        ws->read_so_far += n;
        if (ws->read_so_far < ws->header.ex_payload_len) return;

        ws->reading_inprogress = 0;
        char *payload = ws->frame_buf;
        ws->frame_buf = nullptr;
        if (payload) {
            const size_t len = (size_t)ws->header.ex_payload_len;
            payload[len] = '\0';
            handle_frame(ws, payload, len);
            free(payload);
        }
        if (!alive(ws, generation) || ws->state != WS_STATE_CONNECTED) return;
    }
}

/* ---- connection events ---- */

void read_cb(struct bufferevent *bev, void *arg) {
    t_ws *ws = (t_ws *)arg;
    enter(ws);
    const unsigned generation = ws->generation;
    struct evbuffer *in = bufferevent_get_input(bev);
    if (ws->state == WS_STATE_CLIENT_CONNECTING) finish_handshake(ws, in);
    if (alive(ws, generation)) {
        if (ws->state == WS_STATE_CONNECTED)
            read_frames(ws, in, generation);
        else if (ws->state != WS_STATE_CLIENT_CONNECTING)
            evbuffer_drain(in, evbuffer_get_length(in));
    }
    leave(ws);
}

void log_tls_errors(struct bufferevent *bev) {
    unsigned long e;
    while ((e = bufferevent_get_openssl_error(bev)) != 0) {
        char text[256];
        ERR_error_string_n(e, text, sizeof text);
        LOGD("TLS: %s", text);
    }
}

void event_cb(struct bufferevent *bev, short what, void *arg) {
    t_ws *ws = (t_ws *)arg;
    enter(ws);
    if (what & BEV_EVENT_CONNECTED) {
        LOGD("Connected to (ws %p) %s%s:%d%s", (void *)ws, scheme_text(ws->schema), ws->host, ws->port,
             ws->path ? ws->path : "");
        const int fd = (int)bufferevent_getfd(bev);
        if (fd >= 0) {
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        }
        if (start_ws_handshake(ws) < 0) {
            LOGW("Error handshake");
            notify_error(ws, "Error handshake");
        }
    } else if (what & BEV_EVENT_EOF) {
        LOGW("Disconnected from the remote host");
        notify_close(ws);
    } else if (what & BEV_EVENT_ERROR) {
        LOGW("Network error");
        if (ws->ssl) log_tls_errors(bev);
        notify_error(ws, "Network error");
    } else if (what & BEV_EVENT_TIMEOUT) {
        LOGW("Timeout");
        notify_close(ws);
    }
    leave(ws);
}

int ws_ssl_cert_verify_callback(X509_STORE_CTX *x509_ctx, void *) {
    return http_tls_check_peer(x509_ctx, g_ssl_data_index, &kWssTexts);
}

/* Host and path of url, or -1 (logged). */
int parse_url(const char *url, t_ws_schema *schema, int *port, char **host, char **path) {
    if (!url || !strstr(url, "://")) {
        LOGW("Cannot find schema in URI");
        return -1;
    }
    const char *rest;
    if (strncmp(url, "ws://", 5) == 0) {
        *schema = schema_ws;
        *port = 80;
        rest = url + 5;
    } else if (strncmp(url, "wss://", 6) == 0) {
        *schema = schema_wss;
        *port = 443;
        rest = url + 6;
    } else {
        LOGW("Unknown schema");
        return -1;
    }
    const char *slash = strchr(rest, '/');
    *path = nullptr;
    if (slash) {
        *path = strdup(slash);
        if (!*path) {
            LOGW("Cannot copy path");
            return -1;
        }
    }
    *host = slash ? strndup(rest, (size_t)(slash - rest)) : strdup(rest);
    if (!*host) {
        LOGW("Cannot copy host");
        free(*path);
        *path = nullptr;
        return -1;
    }
    return 0;
}

/* Closes an earlier connection and takes the URL; -1 (logged) when it cannot be used. */
int take_url(t_ws *ws, const char *url) {
    if (ws->t == WS_SERVER) {
        LOGW("ws server type - cannot connect");
        return -1;
    }
    t_ws_schema schema;
    int port;
    char *host, *path;
    if (parse_url(url, &schema, &port, &host, &path) < 0) {
        LOGW("Error parse uri");
        return -1;
    }
    drop_connection(ws, false);
    // An error of the connection given up is no news for the new one.
    if (ws->overflow_ev) event_del(ws->overflow_ev);
    free(ws->host);
    free(ws->path);
    ws->host = host;
    ws->path = path;
    ws->schema = schema;
    ws->port = port;
    ws->state = WS_STATE_INIT;
    return 0;
}

void attach(t_ws *ws, struct bufferevent *bev) {
    ws->connector = bev;
    bufferevent_setcb(bev, read_cb, nullptr, event_cb, ws);
    bufferevent_enable(bev, EV_READ);
}

}  // namespace

t_ws *ws_init(t_ws_type type, struct event_base *base, const char *ca_file, ws_callback_data_t on_message,
              ws_callback_data_t on_error, ws_callback_notify_t on_close, ws_callback_notify_t on_connected,
              void *arg) {
    const char *type_text = type == WS_CLIENT ? "client" : "server";
    LOGD("ws init %s, args %p", type_text, arg);
    t_ws *ws = (t_ws *)calloc(1, sizeof *ws);
    if (!ws) {
        LOGW("no mem to create ws object");
        return nullptr;
    }
    ws->t = type;
    ws->state = WS_STATE_INIT;
    ws->arg = arg;
    ws->on_message = on_message;
    ws->on_error = on_error;
    ws->on_close = on_close;
    ws->on_connected = on_connected;
    ws->event_base = base;

    ERR_clear_error();
    ws->ssl_ctx = SSL_CTX_new(TLS_client_method());
    if (!ws->ssl_ctx || !ca_file || SSL_CTX_load_verify_locations(ws->ssl_ctx, ca_file, nullptr) != 1) {
        char text[256];
        ERR_error_string_n(ERR_get_error(), text, sizeof text);
        ERR_clear_error();
        LOGW("SSL_CTX_load_verify_locations ERROR: %s", text);
        free_endpoint(ws);
        return nullptr;
    }
    SSL_CTX_set_verify(ws->ssl_ctx, SSL_VERIFY_PEER, nullptr);
    if (g_ssl_data_index < 0)
        g_ssl_data_index = SSL_get_ex_new_index(0, (void *)"mydata index", nullptr, nullptr, nullptr);
    ws->ssl_data_index = g_ssl_data_index;
    SSL_CTX_set_cert_verify_callback(ws->ssl_ctx, ws_ssl_cert_verify_callback, ws);
    LOGD("ws init %s, args %p - SSL setup done", type_text, arg);

    srand((unsigned)time(nullptr));
    LOGD("init success - result ws %p", (void *)ws);
    return ws;
}

int ws_connect(t_ws *ws, const char *url) {
    if (!ws) return -1;
    if (take_url(ws, url) < 0) return -1;
    struct bufferevent *bev = nullptr;
    const int options = BEV_OPT_CLOSE_ON_FREE | BEV_OPT_DEFER_CALLBACKS;
    if (ws->event_base && ws->schema == schema_wss) {
        LOGD("connect schema wss");
        SSL *ssl = SSL_new(ws->ssl_ctx);
        if (!ssl) BRX_OOM_EXIT("SSL_new");
        SSL_set_ex_data(ssl, ws->ssl_data_index, ws->host);
        ws->ssl = ssl;
        bev = bufferevent_openssl_socket_new(ws->event_base, -1, ssl, BUFFEREVENT_SSL_CONNECTING, options);
    } else if (ws->event_base) {
        LOGD("connect schema ws or no SSL setup");
        bev = bufferevent_socket_new(ws->event_base, -1, options);
    }
    if (!bev) {
        LOGW("Error connect socket");
        drop_connection(ws, false);
        return -1;
    }
    attach(ws, bev);
    // Every outcome, an unknown name included, comes from the loop after this call.
    http_connect_cloexec(bev, ws->host, ws->port);
    LOGD("Connecting (ws %p) %s%s:%d%s", (void *)ws, scheme_text(ws->schema), ws->host, ws->port,
         ws->path ? ws->path : "");
    return 0;
}

int ws_connect_bufferevent(t_ws *ws, const char *url, struct bufferevent *bev) {
    if (!ws || !bev) return -1;
    if (take_url(ws, url) < 0) return -1;
    attach(ws, bev);
    bufferevent_trigger_event(bev, BEV_EVENT_CONNECTED, BEV_TRIG_DEFER_CALLBACKS);
    return 0;
}

int ws_send_msg(t_ws *ws, const char *text) {
    if (!ws || !text) return -1;
    LOGD("sending (ws %p) '%s'", (void *)ws, text);
    return ws_send_internal(ws, 1, wsck_text, text, strlen(text));
}

void ws_ping(t_ws *ws) {
    if (!ws) return;
    LOGD("sending ping (ws %p)", (void *)ws);
    ws_send_internal(ws, 1, wsck_ping, nullptr, 0);
}

void ws_close(t_ws *ws) {
    if (!ws) return;
    LOGD("close ws %p", (void *)ws);
    drop_connection(ws, false);
}

void ws_destroy(t_ws *ws) {
    if (!ws || ws->destroyed) return;
    ws_close(ws);
    LOGD("destroy ws %p", (void *)ws);
    ws->destroyed = 1;
    if (ws->depth == 0) free_endpoint(ws);
}

t_ws_state ws_get_state(const t_ws *ws) { return ws ? ws->state : WS_STATE_ERROR; }

void ws_stop(void) {
    LOGD("%u closing connections freed", g_slist_length(g_lingering));
    for (GSList *it = g_lingering; it; it = it->next) bufferevent_free((struct bufferevent *)it->data);
    g_slist_free(g_lingering);
    g_lingering = nullptr;
}

size_t ws_encode_header(const t_ws_header *h, uint8_t out[14]) {
    out[0] = (uint8_t)((h->is_final ? 0x80 : 0) | (h->opcode & 0x0f));
    const uint64_t len = h->ex_payload_len;
    size_t n;
    if (len <= 125) {
        out[1] = (uint8_t)len;
        n = 2;
    } else if (len <= 0xffff) {
        out[1] = 126;
        out[2] = (uint8_t)(len >> 8);
        out[3] = (uint8_t)len;
        n = 4;
    } else {
        out[1] = 127;
        for (int i = 0; i < 8; i++) out[2 + i] = (uint8_t)(len >> (56 - 8 * i));
        out[2] &= 0x7f;
        n = 10;
    }
    if (h->is_masked) {
        out[1] |= 0x80;
        memcpy(out + n, h->mask, 4);
        n += 4;
    }
    return n;
}

size_t ws_decode_header(const uint8_t *in, size_t avail, t_ws_header *h) {
    if (avail < 2) return 0;
    const unsigned code = in[1] & 0x7f;
    const int masked = (in[1] & 0x80) != 0;
    const size_t ext = code == 126 ? 2 : code == 127 ? 8 : 0;
    const size_t need = 2 + ext + (masked ? 4 : 0);
    if (avail < need) return 0;
    memset(h, 0, sizeof *h);
    h->is_final = (in[0] & 0x80) ? 1 : 0;
    h->opcode = in[0] & 0x0f;
    h->is_masked = masked ? 1 : 0;
    h->payload_len = code;
    uint64_t len = code;
    if (ext) {
        len = 0;
        for (size_t i = 0; i < ext; i++) len = (len << 8) | in[2 + i];
    }
    h->ex_payload_len = len;
    if (masked) memcpy(h->mask, in + 2 + ext, 4);
    return need;
}

char *ws_accept_for_key(const char *key) {
    if (!key) return nullptr;
    SHA1Context ctx;
    uint8_t digest[SHA1_HASH_SIZE];
    if (sha1_reset(&ctx) != SHA1_SUCCESS || sha1_update(&ctx, (const uint8_t *)key, strlen(key)) != SHA1_SUCCESS ||
        sha1_update(&ctx, (const uint8_t *)kGuid, strlen(kGuid)) != SHA1_SUCCESS ||
        sha1_digest(&ctx, digest) != SHA1_SUCCESS)
        return nullptr;
    char *encoded = g_base64_encode(digest, sizeof digest);
    if (!encoded) return nullptr;
    char *copy = strdup(encoded);
    g_free(encoded);
    return copy;
}
