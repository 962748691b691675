#ifndef BRX_COMMON_WEBSOCKETS_WS_H
#define BRX_COMMON_WEBSOCKETS_WS_H

/*
 * A WebSocket client endpoint (RFC 6455) on libevent bufferevents, over plain TCP ("ws://") or TLS
 * ("wss://"). Each endpoint has its own TLS context trusting one CA file and checks the server's
 * host name; no server name is indicated. Every callback comes from the loop, never from inside a
 * call of this API; a callback may close or destroy its own endpoint. Loop thread only.
 */

#include <stddef.h>
#include <stdint.h>

struct event_base;
struct bufferevent;

typedef enum { WS_CLIENT = 0, WS_SERVER = 1 } t_ws_type;

typedef enum {
    WS_STATE_INIT = 0,
    WS_STATE_CLIENT_CONNECTING = 1,
    WS_STATE_SERVER_CONNECTING = 2,
    WS_STATE_CONNECTED = 3,
    WS_STATE_ERROR = 4,
} t_ws_state;

typedef enum { schema_ws = 0, schema_wss = 1 } t_ws_schema;

typedef enum {
    wsck_continuation = 0,
    wsck_text = 1,
    wsck_bin = 2,
    wsck_close = 8,
    wsck_ping = 9,
    wsck_pong = 10,
} t_ws_opcode;

/* A frame header in memory. */
typedef struct {
    unsigned is_final : 1;
    unsigned opcode : 4;
    unsigned is_masked : 1;
    unsigned payload_len : 7; /* the length code: 0-125, 126 or 127 */
    uint64_t ex_payload_len;
    uint8_t mask[4];
} t_ws_header;

typedef struct t_ws t_ws;

/* A message payload (followed by a NUL, valid during the call) or an error text, with its length. */
typedef void (*ws_callback_data_t)(t_ws *ws, const char *data, size_t len, void *arg);
typedef void (*ws_callback_notify_t)(t_ws *ws, void *arg);

/* Largest message assembled from fragments, and largest single frame taken. */
#define WS_MAX_MESSAGE 10000000u
/*
 * Most bytes a connection keeps unsent. A frame (a pong included) that would queue more closes the
 * connection at once instead; on_error "Network error" follows from the loop, once.
 */
#define WS_MAX_UNSENT (16u * 1024 * 1024)
/* Frames per connection and second whose warnings are logged; the rest are counted. */
#define WS_FRAME_WARNINGS_PER_SECOND 5u

/*
 * A new endpoint whose TLS context trusts ca_file (needed for "ws://" too); NULL when the CA file
 * cannot be loaded. Reseeds srand() with the time. Any callback may be NULL.
 */
t_ws *ws_init(t_ws_type type, struct event_base *base, const char *ca_file, ws_callback_data_t on_message,
              ws_callback_data_t on_error, ws_callback_notify_t on_close, ws_callback_notify_t on_connected,
              void *arg);

/*
 * Starts connecting to "ws://host[/path]" (port 80) or "wss://host[/path]" (port 443); a ":port"
 * after the host stays part of the name. 0 when under way (a connection of an earlier connect is
 * closed first), -1 for a bad URL or a server endpoint.
 */
int ws_connect(t_ws *ws, const char *url);

/*
 * One final text frame with text up to its first NUL; 0, -1 when nothing could be sent (no
 * connection, or one that the frame would take past WS_MAX_UNSENT, which is then closed).
 */
int ws_send_msg(t_ws *ws, const char *text);
/* One final ping frame without payload. */
void ws_ping(t_ws *ws);
/*
 * Ends the connection: a connected one gets a close frame, which (with what was sent before it) is
 * still written out before the socket closes. The endpoint may connect again at once.
 */
void ws_close(t_ws *ws);
/* ws_close, then frees the endpoint; the handle is dead afterwards. */
void ws_destroy(t_ws *ws);

t_ws_state ws_get_state(const t_ws *ws);

/*
 * Tear-down: frees every connection still writing its last frames after ws_close or ws_destroy,
 * without waiting for its peer. Endpoints stay their owners' to destroy.
 */
void ws_stop(void);

/*
 * Tests and benchmarks: runs the endpoint over bev (one end of a bufferevent pair, say) as if a
 * plain connection to url had just been made: the handshake request is written at once. The
 * endpoint takes bev. 0, or -1 as ws_connect.
 */
int ws_connect_bufferevent(t_ws *ws, const char *url, struct bufferevent *bev);

/* The frame codec, shared with the tests. */

/* Writes a frame header into out (14 bytes at most); returns its length. */
size_t ws_encode_header(const t_ws_header *h, uint8_t out[14]);
/*
 * Reads a header from the first avail bytes of in: its length when complete (h filled, the length
 * in ex_payload_len whatever the code), 0 when more bytes are needed.
 */
size_t ws_decode_header(const uint8_t *in, size_t avail, t_ws_header *h);
/* The handshake's accept value for key (Base64 of SHA-1 of key and the protocol's GUID), or NULL; freed with free. */
char *ws_accept_for_key(const char *key);

#endif
