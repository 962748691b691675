#include "src/lua_api/lua_http_api.h"

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/keyvalq_struct.h>
#include <event2/listener.h>
#include <evhtp.h>
#include <fcntl.h>
#include <lua.hpp>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include "common/glib-mini/glib.h"
#include "common/logger/logger.h"
#include "src/device/driver.h"
#include "src/http_client.h"
#include "src/lua_api/lua_state.h"

#define LOG_CATEGORY "lua_http"

namespace {

const char *const kServerError = "Internal server erorr";

/* One pending script request; its id is the HTTP client's callback argument. */
struct client_context_t {
    lua_cb_rec_t rec; /* L, callback_index, lua_arg (LUA_REFNIL: none) */
    char *uri;
};

/*
 * What a listening server's connections use. It outlives the script's record when connections are
 * still open at stop (or at the state's close): requests arriving on them find no record and get
 * the 500 answer, and the libevhtp server is freed once the last of them has ended.
 */
struct server_core_t {
    uintptr_t id; /* of the listed record; 0 once stopped */
    evhtp_t *htp;
    int port;
    int connections;       /* the library's, still open */
    bool resting;          /* accept failed: the listener waits for resume */
    struct event *resume;
    struct event *release; /* frees a stopped server from a fresh loop turn */
};

/* One running script server: the memory of the userdata returned by start. */
struct server_context_t {
    lua_cb_rec_t rec; /* L, callback_index (the handler), lua_arg always LUA_REFNIL */
    evhtp_t *htp;
    void *conn;
    void *req;
    struct event *cleanup;
    char *uri;
    int anchor;       /* registry reference of the userdata itself while listed */
    server_core_t *core;
};

struct event_base *server_base = nullptr;
GSList *http_client_ctx_list = nullptr;
GSList *http_server_ctx_list = nullptr;

/* ---- client records ---- */

void dispose_client(client_context_t *c) {
    lua_state_unref(c->rec.L, c->rec.callback_index);
    lua_state_unref(c->rec.L, c->rec.lua_arg);
    free(c->uri);
    free(c);
}

void cleanup_client_ctx(client_context_t *c) {
    LOGD("################# LUA cleanup_client_ctx %p, list len %d", (void *)c, (int)g_slist_length(http_client_ctx_list));
    if (!http_client_ctx_list || !g_slist_find(http_client_ctx_list, c)) {
        LOGD("################# LUA ctx %p not in the list (already freed) or list is empty", (void *)c);
        return;
    }
    http_client_ctx_list = g_slist_remove(http_client_ctx_list, c);
    dispose_client(c);
}

client_context_t *new_client(lua_State *L, const char *url, int callback_ref, int arg_ref, const char *what) {
    client_context_t *c = (client_context_t *)calloc(1, sizeof(*c));
    if (!c) BRX_OOM_EXIT(what);
    c->rec.id = lua_cb_new_id();
    c->rec.L = lua_state_main(L);
    c->rec.callback_index = callback_ref;
    c->rec.lua_arg = arg_ref;
    c->uri = strdup(url);
    if (!c->uri) BRX_OOM_EXIT("ctx->uri");
    http_client_ctx_list = g_slist_append(http_client_ctx_list, c);
    return c;
}

/* A copy of the value at idx in the registry; the stack is unchanged. */
int ref_copy(lua_State *L, int idx) {
    lua_pushvalue(L, idx);
    return luaL_ref(L, LUA_REGISTRYINDEX);
}

/* The callback (the last argument) and the value below it, which is kept whatever it is. */
void take_refs(lua_State *L, int *callback_ref, int *arg_ref) {
    const int top = lua_gettop(L);
    *callback_ref = ref_copy(L, top);
    *arg_ref = top >= 2 ? ref_copy(L, top - 1) : LUA_REFNIL;
}

/* Every string-to-string pair of every inner table of the table at idx, in traversal order. */
void read_headers(lua_State *L, int idx, http_req_data_t *data) {
    if (lua_type(L, idx) != LUA_TTABLE) return;
    lua_pushnil(L);
    while (lua_next(L, idx)) {
        if (lua_type(L, -1) == LUA_TTABLE) {
            lua_pushnil(L);
            while (lua_next(L, -2)) {
                if (lua_type(L, -2) == LUA_TSTRING && lua_type(L, -1) == LUA_TSTRING)
                    http_add_header(data, lua_tostring(L, -2), lua_tostring(L, -1));
                lua_pop(L, 1);
            }
        }
        lua_pop(L, 1);
    }
}

/* ---- replies ---- */

struct reply {
    int code;
    const char *uri;
    const char *body;
    size_t len;
    int lua_arg;
    const struct evkeyvalq *headers;
};

int push_reply(lua_State *L, void *ud) {
    const reply *r = (const reply *)ud;
    lua_pushinteger(L, r->code);
    lua_pushstring(L, r->uri);
    if (r->body)
        lua_pushlstring(L, r->body, r->len);
    else
        lua_pushnil(L);
    int n = 3;
    if (r->lua_arg != LUA_REFNIL && r->lua_arg != LUA_NOREF) {
        lua_rawgeti(L, LUA_REGISTRYINDEX, r->lua_arg);
        n++;
    }
    if (r->headers) {
        lua_newtable(L);
        for (struct evkeyval *h = r->headers->tqh_first; h; h = h->next.tqe_next) {
            lua_pushstring(L, h->value);
            lua_setfield(L, -2, h->key);
        }
        n++;
    }
    return n;
}

void http_request_process_reply(int code, const struct evkeyvalq *headers, const char *data, size_t len, void *arg,
                                bool final) {
    LOGD("http_request_process_reply code %d, ctx %p", code, arg);
    client_context_t *c = (client_context_t *)lua_cb_find(http_client_ctx_list, arg);
    if (!c) {
        LOGW("LUA http_request_process_reply ctx %p not in the list (already freed) or list is empty", arg);
        return;
    }
    // The final reply is one-shot: out of the list before the script runs.
    if (final) http_client_ctx_list = g_slist_remove(http_client_ctx_list, c);
    lua_State *L = c->rec.L;
    const bool has_callback = c->rec.callback_index != LUA_REFNIL && c->rec.callback_index != LUA_NOREF;
    if (has_callback) {
        reply r = {code, c->uri, data, len, c->rec.lua_arg, headers};
        lua_state_call_ref(L, c->rec.callback_index, LUA_REFNIL, 0, push_reply, &r, "http_request_process_reply");
    }
    if (final) {
        LOGD("################# LUA cleanup_client_ctx %p, list len %d", (void *)c,
             (int)g_slist_length(http_client_ctx_list));
        dispose_client(c);
    }
    // The record is not used after this: a reload may close L.
    if (has_callback) check_context_luamem(L);
}

void http_request_cb_chunk(int code, const struct evkeyvalq *headers, const char *data, size_t len, void *arg) {
    LOGD("http_request_cb_chunk %p, len %d", arg, (int)len);
    http_request_process_reply(code, headers, data, len, arg, false);
}

void http_request_cb(int code, const struct evkeyvalq *headers, const char *data, size_t len, void *arg) {
    LOGD("http_request_cb %p, len %d", arg, (int)len);
    http_request_process_reply(code, headers, data, len, arg, true);
}

/* ---- script request functions ---- */

/* Starts the request; a refusal drops the record at once (the client logged why). */
void start_request(client_context_t *c, http_req_type type, http_req_data_t *data) {
    void *token = LUA_CB_TOKEN(c->rec.id);
    int rc = type == HTTP_GET_CHUNKED
                 ? http_request_chunked(type, data, http_request_cb_chunk, http_request_cb, token)
                 : http_request(type, data, http_request_cb, token);
    if (rc < 0) cleanup_client_ctx(c);
}

int handle_request(lua_State *L, http_req_type type) {
    const char *url = luaL_checkstring(L, 1);
    const char *body = nullptr;
    size_t body_len = 0;
    if (type == HTTP_POST || type == HTTP_PUT)
        body = lua_type(L, 2) == LUA_TSTRING ? lua_tolstring(L, 2, &body_len) : luaL_checklstring(L, 3, &body_len);
    LOGD("handle_request %s", url);

    // References first: they may raise, the header list below must not leak.
    int callback_ref, arg_ref;
    take_refs(L, &callback_ref, &arg_ref);

    http_req_data_t data = {url, body, body_len, nullptr};
    read_headers(L, 2, &data);

    client_context_t *c = new_client(L, url, callback_ref, arg_ref, "handle_request - ctx is NULL");
    LOGD("################# LUA handle_request %p, list len %d", (void *)c, (int)g_slist_length(http_client_ctx_list));
    start_request(c, type, &data);
    return 0;
}

int lua_http_get(lua_State *L) { return handle_request(L, HTTP_GET); }
int lua_http_delete(lua_State *L) { return handle_request(L, HTTP_DELETE); }
int lua_http_subscribe(lua_State *L) { return handle_request(L, HTTP_SUBSCRIBE); }
int lua_http_get_chunked(lua_State *L) { return handle_request(L, HTTP_GET_CHUNKED); }
int lua_http_post(lua_State *L) { return handle_request(L, HTTP_POST); }
int lua_http_put(lua_State *L) { return handle_request(L, HTTP_PUT); }

int lua_http_post_multipart(lua_State *L) {
    const char *url = luaL_checkstring(L, 1);
    const char *filename = luaL_checkstring(L, 2);
    size_t len = 0;
    const char *body = luaL_checklstring(L, 3, &len);
    int callback_ref, arg_ref;
    take_refs(L, &callback_ref, &arg_ref);

    http_req_data_t data = {url, body, len, nullptr};
    data.headers = http_add_header(&data, "filename", filename);
    client_context_t *c = new_client(L, url, callback_ref, arg_ref, "post_multipart - ctx is NULL");
    LOGD("################# LUA post_multipart %p, list len %d", (void *)c, (int)g_slist_length(http_client_ctx_list));
    start_request(c, HTTP_POST_MULTIPART, &data);
    return 0;
}

int lua_http_soap(lua_State *L) {
    const char *url = luaL_checkstring(L, 1);
    const char *ns = luaL_checkstring(L, 2);
    const char *action = luaL_checkstring(L, 3);
    const char *params = luaL_checkstring(L, 4);
    const int callback_ref = lua_gettop(L) >= 5 ? ref_copy(L, lua_gettop(L)) : LUA_REFNIL;

    char *body = nullptr;
    if (asprintf(&body,
                 "<s:Envelope xmlns:s='http://schemas.xmlsoap.org/soap/envelope/' "
                 "s:encodingStyle='http://schemas.xmlsoap.org/soap/encoding/'><s:Body>"
                 "<u:%s xmlns:u='%s'>%s</u:%s></s:Body></s:Envelope>",
                 action, ns, params, action) < 0)
        BRX_OOM_EXIT("soap - cannot print post data");
    char *soap_action = nullptr;
    if (asprintf(&soap_action, "%s#%s", ns, action) < 0) BRX_OOM_EXIT("asprintf");

    http_req_data_t data = {url, body, strlen(body), nullptr};
    http_add_header(&data, "SOAPACTION", soap_action);
    http_add_header(&data, "Content-Type", "text/xml");
    http_add_header(&data, "Connection", "close");
    free(soap_action);

    client_context_t *c = new_client(L, url, callback_ref, LUA_REFNIL, "soap - ctx is NULL");
    LOGD("################# LUA soap make request %p, list len %d", (void *)c, (int)g_slist_length(http_client_ctx_list));
    start_request(c, HTTP_POST, &data);
    free(body);
    return 0;
}

/* Ends (without callbacks) and frees every request of L. */
void cancel_requests_of(lua_State *L) {
    GSList *it = http_client_ctx_list;
    while (it) {
        GSList *next = it->next;
        client_context_t *c = (client_context_t *)it->data;
        if (c->rec.L == L) {
            http_cancel_request(LUA_CB_TOKEN(c->rec.id));
            cleanup_client_ctx(c);
        }
        it = next;
    }
}

int lua_http_cancel_all_requests(lua_State *L) {
    LOGD("cancel all client requests");
    cancel_requests_of(lua_state_main(L));
    return 0;
}

/* ---- servers ---- */

/*
 * The servers listen on every interface: these bounds keep a LAN host from taking the engine's
 * memory or descriptors. The cap is shared by all script servers, as the descriptors are the
 * process's: whatever scripts start, the rest of the engine keeps what it needs.
 */
const size_t kMaxHeaderBlock = 64 * 1024;
const uint64_t kMaxBody = 1024 * 1024;
const size_t kMaxUnread = 64 * 1024;  /* input read ahead of the parser */
const size_t kMaxUnsent = 64 * 1024; /* answers the peer has not read yet */
const int kMaxConnections = 256;
const struct timeval kAcceptPause = {1, 0};
const struct timeval kLinger = {2, 0};
struct timeval request_timeout = {60, 0};

/* One connection of a script server: while the library has it, then while a refusal goes out. */
struct server_conn_t {
    server_core_t *core;      /* null once the library let go of the connection */
    evhtp_connection_t *conn; /* likewise */
    struct bufferevent *bev;  /* the refusal's, taken from the library */
    struct event *deadline;   /* for the next request's headers and body, then for the refusal */
    size_t header_bytes;      /* of the request being read */
    bool path_seen;
    bool shut;                /* the refusal is out and our side is shut */
    int refusal;              /* status a hook decided on, 0 for none, kNoAnswer */
};

const int kNoAnswer = -1;

GSList *server_cores = nullptr; /* every core until it is freed */
GSList *server_conns = nullptr; /* every open connection, refusals going out included */
int open_connections = 0;
bool tearing_down = false;

/* Each bound listener accepts unless it rests after a failed accept or the cap is reached. */
void update_listeners() {
    for (GSList *it = server_cores; it; it = it->next) {
        server_core_t *core = (server_core_t *)it->data;
        if (!core->htp->server) continue;
        if (!core->resting && open_connections < kMaxConnections)
            evconnlistener_enable(core->htp->server);
        else
            evconnlistener_disable(core->htp->server);
    }
}

void free_core(server_core_t *core) {
    server_cores = g_slist_remove(server_cores, core);
    if (core->htp->server) evhtp_unbind_socket(core->htp);
    evhtp_free(core->htp);
    event_free(core->resume);
    event_free(core->release);
    free(core);
}

void release_core(evutil_socket_t, short, void *arg) { free_core((server_core_t *)arg); }

void resume_accepting(evutil_socket_t, short, void *arg) {
    ((server_core_t *)arg)->resting = false;
    update_listeners();
}

/* Out of descriptors, say: the listener rests instead of failing again at every loop turn. */
void accept_failed(struct evconnlistener *, void *arg) {
    // The library made the listener with its own server as the argument.
    server_core_t *core = nullptr;
    for (GSList *it = server_cores; it && !core; it = it->next)
        if (((server_core_t *)it->data)->htp == arg) core = (server_core_t *)it->data;
    if (!core) return;
    const int err = EVUTIL_SOCKET_ERROR();
    LOGW("http server on port %d cannot accept (%s), pausing for %d s", core->port, evutil_socket_error_to_string(err),
         (int)kAcceptPause.tv_sec);
    core->resting = true;
    evconnlistener_disable(core->htp->server);
    event_add(core->resume, &kAcceptPause);
}

void drop_conn(server_conn_t *c) {
    server_conns = g_slist_remove(server_conns, c);
    open_connections--;
    event_free(c->deadline);
    free(c);
    if (!tearing_down) update_listeners();
}

void end_refusal(server_conn_t *c) {
    bufferevent_free(c->bev);
    drop_conn(c);
}

void refusal_read(struct bufferevent *bev, void *) { evbuffer_drain(bufferevent_get_input(bev), (size_t)-1); }

/* Our side shuts once the answer is out; what the peer still sends is read and dropped meanwhile. */
void refusal_written(struct bufferevent *bev, void *arg) {
    server_conn_t *c = (server_conn_t *)arg;
    if (c->shut) return;
    c->shut = true;
    shutdown(bufferevent_getfd(bev), SHUT_WR);
}

void refusal_event(struct bufferevent *, short, void *arg) { end_refusal((server_conn_t *)arg); }

const char *refusal_reason(int status) {
    switch (status) {
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 431: return "Request Header Fields Too Large";
    default: return "Bad Request";
    }
}

/* The answer to a request the library gave up on, or 0 when the connection just ends. */
int refusal_of(const server_conn_t *c, evhtp_connection_t *conn) {
    if (c->refusal) return c->refusal == kNoAnswer ? 0 : c->refusal;
    if (conn->request && conn->request->status == EVHTP_RES_DATA_TOO_LONG) return 413;
    switch (htparser_get_error(conn->parser)) {
    case htparse_error_none: return 0;
    case htparse_error_too_big: return c->path_seen ? 431 : 414;
    default: return 400;
    }
}

/* The library is about to free conn: its descriptor stays ours until the refusal is out. */
void send_refusal(server_conn_t *c, evhtp_connection_t *conn, int status) {
    LOGW("http server on port %d refuses a request: %d %s", c->core->port, status, refusal_reason(status));
    c->bev = evhtp_connection_get_bev(conn);
    evhtp_connection_set_bev(conn, nullptr);
    bufferevent_setcb(c->bev, refusal_read, refusal_written, refusal_event, c);
    bufferevent_set_timeouts(c->bev, nullptr, nullptr);
    evbuffer_add_printf(bufferevent_get_output(c->bev), "HTTP/1.1 %d %s\r\nContent-Length: 0\r\nConnection: close\r\n\r\n",
                        status, refusal_reason(status));
    bufferevent_enable(c->bev, EV_READ | EV_WRITE);
    event_add(c->deadline, &kLinger);
}

evhtp_res connection_ended(evhtp_connection_t *conn, void *arg) {
    server_conn_t *c = (server_conn_t *)arg;
    server_core_t *core = c->core;
    const int status = tearing_down || !evhtp_connection_get_bev(conn) ? 0 : refusal_of(c, conn);
    if (status)
        send_refusal(c, conn, status);
    c->core = nullptr;
    c->conn = nullptr;
    // The library is still inside this connection: free a stopped server from a fresh loop turn.
    if (--core->connections == 0 && core->id == 0 && !tearing_down) {
        const struct timeval now = {0, 0};
        event_add(core->release, &now);
    }
    if (!status) drop_conn(c);
    return EVHTP_RES_OK;
}

void deadline_passed(evutil_socket_t, short, void *arg) {
    server_conn_t *c = (server_conn_t *)arg;
    if (!c->conn) {
        end_refusal(c);
        return;
    }
    LOGD("http server on port %d: no complete request in time, closing the connection", c->core->port);
    evhtp_connection_free(c->conn);
}

server_conn_t *conn_record(evhtp_connection_t *conn) {
    return (server_conn_t *)evhtp_connection_get_hooks(conn)->on_connection_fini_arg;
}

evhtp_res path_parsed(evhtp_request_t *, evhtp_path_t *, void *arg) {
    ((server_conn_t *)arg)->path_seen = true;
    return EVHTP_RES_OK;
}

evhtp_res header_parsed(evhtp_request_t *, evhtp_header_t *hdr, void *arg) {
    server_conn_t *c = (server_conn_t *)arg;
    c->header_bytes += hdr->klen + hdr->vlen + 4;
    if (c->header_bytes <= kMaxHeaderBlock) return EVHTP_RES_OK;
    c->refusal = 431;
    return EVHTP_RES_ERROR;
}

/* A declared body over the bound is refused before it is read; the library bounds the others. */
evhtp_res headers_parsed(evhtp_request_t *req, evhtp_headers_t *headers, void *arg) {
    if (!evhtp_kv_find(headers, "Content-Length") || htparser_get_content_length(req->conn->parser) <= kMaxBody)
        return EVHTP_RES_OK;
    ((server_conn_t *)arg)->refusal = 413;
    return EVHTP_RES_ERROR;
}

evhtp_res connection_accepted(evhtp_connection_t *conn, void *arg) {
    server_core_t *core = (server_core_t *)arg;
    evutil_make_socket_closeonexec(conn->sock);
    server_conn_t *c = (server_conn_t *)calloc(1, sizeof(*c));
    if (!c) BRX_OOM_EXIT("ctx");
    c->deadline = event_new(server_base, -1, 0, deadline_passed, c);
    if (!c->deadline) BRX_OOM_EXIT("ctx");
    c->core = core;
    c->conn = conn;
    core->connections++;
    server_conns = g_slist_append(server_conns, c);
    if (++open_connections == kMaxConnections)
        LOGW("http servers hold %d connections: no more are accepted until one ends", kMaxConnections);
    evhtp_connection_set_hook(conn, evhtp_hook_on_connection_fini, (evhtp_hook)(void (*)(void))connection_ended, c);
    evhtp_connection_set_hook(conn, evhtp_hook_on_path, (evhtp_hook)(void (*)(void))path_parsed, c);
    evhtp_connection_set_hook(conn, evhtp_hook_on_header, (evhtp_hook)(void (*)(void))header_parsed, c);
    evhtp_connection_set_hook(conn, evhtp_hook_on_headers, (evhtp_hook)(void (*)(void))headers_parsed, c);
    // The library refuses a body byte past this one.
    evhtp_connection_set_max_body_size(conn, kMaxBody + 1);
    // What the peer sends ahead of the parser stays in the socket.
    bufferevent_setwatermark(evhtp_connection_get_bev(conn), EV_READ, 0, kMaxUnread);
    event_add(c->deadline, &request_timeout);
    update_listeners();
    return EVHTP_RES_OK;
}

struct handler_call {
    int handler_ref;
    const char *method;
    const char *path;
    const char *body;
    size_t body_len;
    int status;
    char *reply;
    size_t reply_len;
};

int call_handler(lua_State *L, void *ud) {
    handler_call *h = (handler_call *)ud;
    lua_rawgeti(L, LUA_REGISTRYINDEX, h->handler_ref);
    if (h->method)
        lua_pushstring(L, h->method);
    else
        lua_pushnil(L);
    lua_pushstring(L, h->path);
    lua_pushlstring(L, h->body, h->body_len);
    lua_call(L, 3, 2);
    if (!lua_isstring(L, -1)) luaL_error(L, "http server handler: the body is not a string or number");
    const lua_Number status = lua_tonumber(L, -2);
    size_t len = 0;
    const char *text = lua_tolstring(L, -1, &len);
    h->status = status > -2147483648.0 && status < 2147483648.0 ? (int)status : 0;
    // Last, so that nothing can raise while the copy is held.
    h->reply = (char *)malloc(len ? len : 1);
    if (!h->reply) BRX_OOM_EXIT("data");
    memcpy(h->reply, text, len);
    h->reply_len = len;
    return 0;
}

void send_text(evhtp_request_t *req, int status, const char *text, size_t len) {
    // These answers have no body, whatever the handler returned.
    if (status < 200 || status == 204 || status == 304) len = 0;
    evbuffer_add(req->buffer_out, text, len);
    evhtp_send_reply(req, (evhtp_res)status);
}

void answer(evhtp_request_t *req, server_context_t *s) {
    if (!s || !s->rec.L || s->rec.callback_index == LUA_REFNIL || s->rec.callback_index == LUA_NOREF) {
        send_text(req, 500, kServerError, strlen(kServerError));
        return;
    }

    const char *full = req->uri && req->uri->path && req->uri->path->full ? req->uri->path->full : "";
    const char *query = req->uri ? (const char *)req->uri->query_raw : nullptr;
    char path[1024];
    if (query && *query) {
        LOGD("Query in request URL not empty");
        snprintf(path, sizeof path, "%s&%s", full, query);
    } else {
        snprintf(path, sizeof path, "%s", full);
    }
    const size_t body_len = evbuffer_get_length(req->buffer_in);
    char *body = (char *)malloc(body_len ? body_len : 1);
    if (!body) BRX_OOM_EXIT("data");
    evbuffer_copyout(req->buffer_in, body, body_len);

    handler_call h = {s->rec.callback_index, htparser_get_methodstr_m(evhtp_request_get_method(req)), path, body,
                      body_len, 0, nullptr, 0};
    char err[1024];
    if (lua_state_protected(s->rec.L, call_handler, &h, err, sizeof err) != 0) {
        LOGW("%s", err);
        send_text(req, 500, kServerError, strlen(kServerError));
    } else if (h.status < 100 || h.status > 599) {
        LOGW("http server handler: status %d is not one of 100..599", h.status);
        send_text(req, 500, kServerError, strlen(kServerError));
    } else {
        send_text(req, h.status, h.reply, h.reply_len);
    }
    free(h.reply);
    free(body);
}

void server_request(evhtp_request_t *req, void *arg) {
    LOGD("Lua http_server callback");
    server_core_t *core = (server_core_t *)arg;
    server_conn_t *c = conn_record(req->conn);
    // A peer that sends requests without reading the answers would pile them up here.
    if (evbuffer_get_length(bufferevent_get_output(evhtp_connection_get_bev(req->conn))) > kMaxUnsent) {
        LOGW("http server on port %d: the peer does not read its answers, closing the connection", core->port);
        c->refusal = kNoAnswer;
        evhtp_request_pause(req);
        const struct timeval now = {0, 0};
        event_add(c->deadline, &now);
        return;
    }
    answer(req, core->id ? (server_context_t *)lua_cb_find(http_server_ctx_list, LUA_CB_TOKEN(core->id)) : nullptr);
    // The next request on this connection starts afresh.
    c->header_bytes = 0;
    c->path_seen = false;
    event_add(c->deadline, &request_timeout);
}

void log_server(const char *what, const server_context_t *s) {
    LOGD("%s %p, L %p, callback_index %d, htp %p, conn %p, req %p, cleanup %p, uri %s", what, (const void *)s,
         (void *)s->rec.L, s->rec.callback_index, (void *)s->htp, s->conn, s->req, (void *)s->cleanup,
         s->uri ? s->uri : "(null)");
}

void cleanup_server_context(server_context_t *s) {
    if (!http_server_ctx_list || !g_slist_find(http_server_ctx_list, s)) {
        LOGD("cleanup_server_context %p not in the list (already freed) or list is empty", (void *)s);
        return;
    }
    log_server("cleanup_server_context ctx", s);
    server_core_t *core = s->core;
    if (core->htp->server) evhtp_unbind_socket(core->htp);
    core->id = 0;
    if (core->connections == 0) free_core(core);
    s->htp = nullptr;
    s->core = nullptr;
    lua_State *L = s->rec.L;
    lua_state_unref(L, s->rec.callback_index);
    s->rec.callback_index = LUA_NOREF;
    http_server_ctx_list = g_slist_remove(http_server_ctx_list, s);
    // Last: the userdata may be collected once it is no longer anchored.
    lua_state_unref(L, s->anchor);
    LOGD("http context cleaned up");
}

int lua_http_start(lua_State *L) {
    LOGD("Lua http_server is starting...");
    const lua_Number number = luaL_checknumber(L, 1);
    // Only a port that exists: anything else would listen somewhere else.
    if (!(number >= 1 && number < 65536)) {
        LOGW("port is not specified");
        lua_pushnil(L);
        return 1;
    }
    const int port = (int)number;
    const int handler_ref = luaL_ref(L, LUA_REGISTRYINDEX);
    if (handler_ref == LUA_REFNIL) {
        LOGW("luaL_ref called for a nil value");
        lua_pushnil(L);
        return 1;
    }
    server_context_t *s = (server_context_t *)lua_newuserdata(L, sizeof(*s));
    memset(s, 0, sizeof(*s));
    s->rec.L = lua_state_main(L);
    s->rec.callback_index = handler_ref;
    s->rec.lua_arg = LUA_REFNIL;
    s->anchor = ref_copy(L, -1);
    // Nothing below raises: the handle is anchored before the server exists.
    server_core_t *core = (server_core_t *)calloc(1, sizeof(*core));
    if (!core) BRX_OOM_EXIT("ctx");
    core->htp = server_base ? evhtp_new(server_base, nullptr) : nullptr;
    if (!core->htp || evhtp_bind_socket(core->htp, "0.0.0.0", (uint16_t)port, 1024) < 0) {
        LOGW("server_start - Cannot bind socket on port %d", port);
        if (core->htp) evhtp_free(core->htp);
        free(core);
        lua_state_unref(L, s->anchor);
        lua_state_unref(L, handler_ref);
        lua_pop(L, 1);
        lua_pushnil(L);
        return 1;
    }
    evutil_make_socket_closeonexec(evconnlistener_get_fd(core->htp->server));
    core->port = port;
    core->resume = event_new(server_base, -1, 0, resume_accepting, core);
    core->release = event_new(server_base, -1, 0, release_core, core);
    if (!core->resume || !core->release) BRX_OOM_EXIT("ctx");
    evconnlistener_set_error_cb(core->htp->server, accept_failed);
    s->rec.id = lua_cb_new_id();
    core->id = s->rec.id;
    s->htp = core->htp;
    s->core = core;
    evhtp_set_gencb(core->htp, server_request, core);
    evhtp_set_post_accept_cb(core->htp, connection_accepted, core);
    server_cores = g_slist_append(server_cores, core);
    update_listeners();
    http_server_ctx_list = g_slist_append(http_server_ctx_list, s);
    log_server("server ctx", s);
    return 1;
}

int lua_http_stop(lua_State *L) {
    LOGD("server_stop");
    if (lua_type(L, 1) == LUA_TUSERDATA) cleanup_server_context((server_context_t *)lua_touserdata(L, 1));
    LOGD("Lua http_server stopped");
    return 0;
}

/* The close routine's hook: nothing of this module reaches a closed state. */
void forget_state(lua_State *L) {
    cancel_requests_of(L);
    GSList *it = http_server_ctx_list;
    while (it) {
        GSList *next = it->next;
        server_context_t *s = (server_context_t *)it->data;
        if (s->rec.L == L) cleanup_server_context(s);
        it = next;
    }
}

const luaL_Reg http_funcs[] = {
    {"start", lua_http_start},
    {"stop", lua_http_stop},
    {"get", lua_http_get},
    {"delete", lua_http_delete},
    {"get_chunked", lua_http_get_chunked},
    {"post", lua_http_post},
    {"put", lua_http_put},
    {"subscribe", lua_http_subscribe},
    {"post_multipart", lua_http_post_multipart},
    {"soap", lua_http_soap},
    {"cancel_all_requests", lua_http_cancel_all_requests},
    {nullptr, nullptr},
};

}  // namespace

int luahttp_set_event_base(struct event_base *base) {
    server_base = base;
    return 0;
}

int open_luahttp(lua_State *L) {
    lua_state_add_forget_hook(forget_state);
    luaL_register(L, "http", http_funcs);
    return 1;
}

void luahttp_set_request_timeout_ms(int ms) {
    request_timeout.tv_sec = ms / 1000;
    request_timeout.tv_usec = (ms % 1000) * 1000;
}

void luahttp_destroy(void) {
    while (http_server_ctx_list) cleanup_server_context((server_context_t *)http_server_ctx_list->data);
    tearing_down = true;
    if (server_conns) LOGD("http: %d script-server connections end with the engine", open_connections);
    while (server_conns) {
        server_conn_t *c = (server_conn_t *)server_conns->data;
        if (c->conn)
            evhtp_connection_free(c->conn);
        else
            end_refusal(c);
    }
    while (server_cores) free_core((server_core_t *)server_cores->data);
    tearing_down = false;
}
