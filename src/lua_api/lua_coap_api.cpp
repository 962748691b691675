#include "src/lua_api/lua_coap_api.h"

#include <errno.h>
#include <event2/event.h>
#include <fcntl.h>
#include <lua.hpp>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "common/glib-mini/glib.h"
#include "common/logger/logger.h"
#include "src/coap_client.h"
#include "src/device/driver.h"
#include "src/lua_api/lua_state.h"

#define LOG_CATEGORY "lua_coap"

namespace {

/* One script request. Its id is the CoAP client's cancellation key and the pipe event's argument. */
struct client_context_t {
    lua_cb_rec_t rec;
    char *uri;
    int subscribe;
    int response_pipe[2];
    struct event *pipe_watcher;
};

GSList *g_coap_client_ctx_list = nullptr;
struct event_base *g_event_base = nullptr;

const char *const kHandle = "handle_coap_request";

/* Our ends of the result pipe and their watch. */
void release_pipe(client_context_t *ctx) {
    for (int &fd : ctx->response_pipe)
        if (fd != -1) {
            close(fd);
            fd = -1;
        }
    if (ctx->pipe_watcher) event_free(ctx->pipe_watcher);
    ctx->pipe_watcher = nullptr;
}

/* The record's resources; it is already out of the list. */
void dispose(client_context_t *ctx, int release_refs) {
    // The worker writes through its own descriptor: stop it before ours go, so nothing more is sent.
    coap_cancel_request_quiet(LUA_CB_TOKEN(ctx->rec.id));
    if (release_refs && ctx->rec.L) {
        lua_state_unref(ctx->rec.L, ctx->rec.callback_index);
        lua_state_unref(ctx->rec.L, ctx->rec.lua_arg);
    }
    free(ctx->uri);
    release_pipe(ctx);
    free(ctx);
}

void cleanup_client_ctx(client_context_t *ctx) {
    LOGD("%s: cnt: %d, ctx: %p", __func__, (int)g_slist_length(g_coap_client_ctx_list), (void *)ctx);
    if (!g_coap_client_ctx_list || !g_slist_find(g_coap_client_ctx_list, ctx)) {
        LOGD("%s: ctx %p not in the list (already freed) or list is empty", __func__, (void *)ctx);
        return;
    }
    g_coap_client_ctx_list = g_slist_remove(g_coap_client_ctx_list, ctx);
    dispose(ctx, 1);
}

/* The records of L in list order; freeing them never walks a list that changes. */
GSList *records_of(lua_State *L) {
    GSList *mine = nullptr;
    lua_State *main = lua_state_main(L);
    for (GSList *it = g_coap_client_ctx_list; it; it = it->next) {
        client_context_t *ctx = (client_context_t *)it->data;
        if (ctx->rec.L == main) mine = g_slist_append(mine, ctx);
    }
    return mine;
}

/* ---- results ---- */

struct result_t {
    int code;
    const char *uri;
    const char *body;
    size_t len;
};

int push_result(lua_State *L, void *ud) {
    const result_t *r = (const result_t *)ud;
    lua_pushinteger(L, r->code);
    lua_pushstring(L, r->uri);
    if (r->body && r->len)
        lua_pushlstring(L, r->body, r->len);
    else
        lua_pushnil(L);
    return 3;
}

void coap_request_callback(int code, const char *response, size_t len, const void *token) {
    LOGD("%s - ctx: %p, code: %d, response: %s", __func__, token, code, response ? response : "(null)");
    client_context_t *ctx = (client_context_t *)lua_cb_find(g_coap_client_ctx_list, token);
    if (!ctx) {
        LOGW("%s - ctx %p not in the list (already freed) or list is empty", __func__, token);
        return;
    }
    if (code == -2 || code == 504) {
        cleanup_client_ctx(ctx);
        return;
    }
    lua_State *L = ctx->rec.L;
    if (!L) {
        LOGW("%s - missing lua state in ctx: %p", __func__, (void *)ctx);
        return;
    }
    const int one_shot = !ctx->subscribe;
    // A one-shot record leaves the list before the script runs: nothing it does can free it twice.
    if (one_shot) g_coap_client_ctx_list = g_slist_remove(g_coap_client_ctx_list, ctx);
    result_t r = {code, ctx->uri, response, len};
    lua_state_call_ref_in(LOG_CATEGORY, L, ctx->rec.callback_index, ctx->rec.lua_arg, one_shot, push_result, &r,
                          __func__, "%s - failed with error: %s");
    check_context_luamem(L);
    // A subscribe record stays for further results, unless the script ended it meanwhile.
    if (one_shot) dispose(ctx, 0);
}

/*
 * Reads one "|"-terminated field byte by byte into buf. 1 when complete (or the buffer is full),
 * 0 when nothing is waiting, -1 at end of file or on an error.
 */
int read_field(int fd, char *buf, size_t size) {
    size_t n = 0;
    while (n + 1 < size) {
        char c;
        ssize_t r = read(fd, &c, 1);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && n == 0) return 0;
        if (r <= 0) return -1;
        if (c == '|') break;
        buf[n++] = c;
    }
    buf[n] = '\0';
    return 1;
}

void pipe_watcher_callback(evutil_socket_t fd, short, void *arg) {
    LOGD("%s - got response on pipe", __func__);
    char field[100];
    int got = read_field(fd, field, sizeof field);
    if (got == 0) return;
    if (got < 0) {
        // Only the worker holds the write end: its exchange is over and nothing more comes. A
        // one-shot record still listed got no result (the device ended it its own way) and goes
        // silently; a subscribe record stays for its state to cancel, without its pipe.
        LOGD("%s - results of %p ended", __func__, arg);
        client_context_t *ctx = (client_context_t *)lua_cb_find(g_coap_client_ctx_list, arg);
        if (ctx && !ctx->subscribe) {
            cleanup_client_ctx(ctx);
        } else if (ctx) {
            release_pipe(ctx);
        }
        return;
    }
    const int code = (int)strtol(field, nullptr, 10);
    if (read_field(fd, field, sizeof field) < 0) field[0] = '\0';
    const size_t len = (size_t)strtoul(field, nullptr, 10);
    char *body = (char *)calloc(1, len + 1);
    if (!body) BRX_OOM_EXIT("response_str");
    size_t have = 0;
    while (have < len) {
        ssize_t r = read(fd, body + have, len - have);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        have += (size_t)r;
    }
    body[len] = '\0';
    coap_request_callback(code, len ? body : nullptr, len, arg);
    free(body);
}

/* ---- script functions ---- */

/* Steps after the record joined the list; 0 when the request started. */
int start_request(client_context_t *ctx, lua_State *L, coap_method_t method, const char *user, const char *key,
                  const char *payload, size_t payload_len, int subscribe) {
    ctx->rec.L = lua_state_main(L);
    ctx->rec.callback_index = luaL_ref(L, LUA_REGISTRYINDEX);
    ctx->rec.lua_arg = luaL_ref(L, LUA_REGISTRYINDEX);
    ctx->uri = strdup(lua_tostring(L, 1));
    if (!ctx->uri) BRX_OOM_EXIT("ctx->uri");
    ctx->subscribe = subscribe;

    if (pipe2(ctx->response_pipe, O_CLOEXEC) != 0) {
        ctx->response_pipe[0] = ctx->response_pipe[1] = -1;
        LOGE("%s - failed to create a pipe: %s", kHandle, strerror(errno));
        return -1;
    }
    int flags = fcntl(ctx->response_pipe[0], F_GETFL);
    if (flags < 0 || fcntl(ctx->response_pipe[0], F_SETFL, flags | O_NONBLOCK) < 0) {
        LOGE("%s - setting pipe to non-blocking mode failed!", kHandle);
        return -1;
    }
    if (!g_event_base) {
        LOGE("%s - no event base", kHandle);
        return -1;
    }
    ctx->pipe_watcher = event_new(g_event_base, ctx->response_pipe[0], EV_READ | EV_PERSIST, pipe_watcher_callback,
                                  LUA_CB_TOKEN(ctx->rec.id));
    if (!ctx->pipe_watcher) BRX_OOM_EXIT("ctx->pipe_watcher");
    event_add(ctx->pipe_watcher, nullptr);

    coap_request_t request;
    memset(&request, 0, sizeof request);
    request.method = method;
    request.uri = ctx->uri;
    request.user = user;
    request.key = key;
    request.payload = payload;
    request.payload_len = payload_len;
    request.subscribe = subscribe;
    if (coap_run_request(&request, ctx->response_pipe, LUA_CB_TOKEN(ctx->rec.id)) != 0) return -1;
    // The worker writes through a duplicate of its own: once it is done the read end sees the end.
    close(ctx->response_pipe[1]);
    ctx->response_pipe[1] = -1;
    return 0;
}

int handle_coap_request(coap_method_t method, lua_State *L) {
    size_t uri_len = 0, user_len = 0, key_len = 0, payload_len = 0;
    luaL_checklstring(L, 1, &uri_len);
    const char *user = luaL_checklstring(L, 2, &user_len);
    const char *key = luaL_checklstring(L, 3, &key_len);
    const char *payload = luaL_checklstring(L, 4, &payload_len);
    const int subscribe = lua_toboolean(L, 5);

    client_context_t *ctx = (client_context_t *)calloc(1, sizeof(*ctx));
    if (!ctx) BRX_OOM_EXIT("ctx");
    ctx->rec.id = lua_cb_new_id();
    ctx->rec.callback_index = LUA_NOREF;
    ctx->rec.lua_arg = LUA_NOREF;
    ctx->response_pipe[0] = ctx->response_pipe[1] = -1;
    g_coap_client_ctx_list = g_slist_append(g_coap_client_ctx_list, ctx);
    LOGD("%s: cnt: %d, ctx: %p", __func__, (int)g_slist_length(g_coap_client_ctx_list), (void *)ctx);

    int ok = 0;
    if (uri_len == 0)
        LOGE("%s - missing uri", kHandle);
    else if (user_len == 0)
        LOGE("%s - missing user", kHandle);
    else if (key_len == 0)
        LOGE("%s - missing key", kHandle);
    else if (!payload)
        LOGE("%s - missing payload (use empty string to mark empty payload)", kHandle);
    else
        ok = start_request(ctx, L, method, user, key, payload, payload_len, subscribe) == 0;
    if (ok) return 0;
    cleanup_client_ctx(ctx);
    lua_pushboolean(L, 0);
    return 1;
}

int coap_get(lua_State *L) { return handle_coap_request(COAP_GET, L); }
int coap_post(lua_State *L) { return handle_coap_request(COAP_POST, L); }
int coap_put(lua_State *L) { return handle_coap_request(COAP_PUT, L); }
int coap_delete(lua_State *L) { return handle_coap_request(COAP_DELETE, L); }

int coap_cancel_all_requests(lua_State *L) {
    LOGD("%s", __func__);
    GSList *mine = records_of(L);
    for (GSList *it = mine; it; it = it->next) {
        client_context_t *ctx = (client_context_t *)it->data;
        coap_cancel_request(LUA_CB_TOKEN(ctx->rec.id));
        cleanup_client_ctx(ctx);
    }
    g_slist_free(mine);
    return 0;
}

/* The close routine's hook: a closing state's requests end without calling it. */
void forget_state(lua_State *L) {
    GSList *mine = records_of(L);
    for (GSList *it = mine; it; it = it->next) cleanup_client_ctx((client_context_t *)it->data);
    g_slist_free(mine);
}

const luaL_Reg coap_funcs[] = {
    {"get", coap_get},
    {"post", coap_post},
    {"put", coap_put},
    {"delete", coap_delete},
    {"cancel_all_requests", coap_cancel_all_requests},
    {nullptr, nullptr},
};

}  // namespace

int luacoap_set_event_base(struct event_base *base) {
    g_event_base = base;
    return 0;
}

int open_luacoap(lua_State *L) {
    lua_state_add_forget_hook(forget_state);
    luaL_register(L, "coap", coap_funcs);
    return 1;
}
