#include "src/lua_api/lua_ws_api.h"

#include <stdlib.h>
#include <string.h>

#include <lua.hpp>

#include "common/glib-mini/glib.h"
#include "common/logger/logger.h"
#include "common/websockets/ws.h"
#include "src/device_cfg.h"
#include "src/lua_api/lua_state.h"
#include "src/luamem.h"

#define LOG_CATEGORY "lua_wsapi"

namespace {

const char *const HANDLE_META = "brx.ws.handle";

/*
 * One client: the memory of the userdata returned by init_client. The registry holds the userdata
 * (anchor) from init_client to destroy, so the endpoint's argument stays valid while the endpoint
 * lives, whatever the script keeps.
 */
struct wsapi_contect_t {
    lua_cb_rec_t rec;     /* id, L; its own callback and argument references stay unused */
    int on_message_index; /* registry references; LUA_REFNIL (-1) for none */
    int on_error_index;
    int on_close_index;
    int on_connect_index;
    t_ws *ws; /* NULL once destroyed */
    int anchor;
};

struct event_base *g_base = nullptr;
lua_cb_registry_t clients = {}; /* of every state, while their endpoints live */

/* Releases the callbacks, destroys the endpoint (a connected one gets a close frame), lets the handle go. */
void release_client(wsapi_contect_t *c) {
    lua_cb_registry_remove(&clients, c);
    lua_State *L = c->rec.L;
    lua_state_unref(L, c->on_connect_index);
    lua_state_unref(L, c->on_close_index);
    lua_state_unref(L, c->on_error_index);
    lua_state_unref(L, c->on_message_index);
    c->on_connect_index = c->on_close_index = c->on_error_index = c->on_message_index = LUA_REFNIL;
    t_ws *ws = c->ws;
    c->ws = nullptr;
    ws_destroy(ws);
    const int anchor = c->anchor;
    c->anchor = LUA_NOREF;
    // Last: from here on the userdata may be collected.
    lua_state_unref(L, anchor);
}

/* The close routine's hook: a closing state's clients end with it, without calling it. */
void forget_state(lua_State *L) {
    GSList *mine = lua_cb_registry_of_state(&clients, L);
    for (GSList *it = mine; it; it = it->next) {
        LOGD("ws client %p of a closing state destroyed", it->data);
        release_client((wsapi_contect_t *)it->data);
    }
    g_slist_free(mine);
}

/* ---- calling the script ---- */

struct data_arg {
    const char *data;
    size_t len;
};

int push_data(lua_State *L, void *ud) {
    const data_arg *d = (const data_arg *)ud;
    if (d->data)
        lua_pushlstring(L, d->data, d->len);
    else
        lua_pushnil(L);
    return 1;
}

/* The callback may destroy the client: c is not touched after the call. */
void call_script(wsapi_contect_t *c, int ref, lua_state_fn push, void *ud) {
    if (ref == LUA_REFNIL) return;
    lua_State *L = c->rec.L;
    lua_state_call_ref_in(LOG_CATEGORY, L, ref, LUA_REFNIL, 0, push, ud, "lua_pcall");
    // A sample only: the state is never rebuilt from here.
    luamem_check(L);
}

void on_message(t_ws *, const char *data, size_t len, void *arg) {
    wsapi_contect_t *c = (wsapi_contect_t *)arg;
    data_arg d = {data, len};
    call_script(c, c->on_message_index, push_data, &d);
}

void on_error(t_ws *, const char *data, size_t len, void *arg) {
    wsapi_contect_t *c = (wsapi_contect_t *)arg;
    data_arg d = {data, len};
    call_script(c, c->on_error_index, push_data, &d);
}

void on_close(t_ws *, void *arg) {
    wsapi_contect_t *c = (wsapi_contect_t *)arg;
    call_script(c, c->on_close_index, nullptr, nullptr);
}

void on_connected(t_ws *, void *arg) {
    wsapi_contect_t *c = (wsapi_contect_t *)arg;
    call_script(c, c->on_connect_index, nullptr, nullptr);
}

/* ---- script functions ---- */

/* Argument 1 when it is a live client of this module; else NULL, logged for the function fn. */
wsapi_contect_t *handle_arg(lua_State *L, const char *fn) {
    wsapi_contect_t *c = nullptr;
    void *p = lua_touserdata(L, 1);
    if (p && lua_getmetatable(L, 1)) {
        luaL_getmetatable(L, HANDLE_META);
        if (lua_rawequal(L, -1, -2)) c = (wsapi_contect_t *)p;
        lua_pop(L, 2);
    }
    if (c && c->ws) return c;
    LOGW("%s no ctx provided", fn);
    return nullptr;
}

/* init_client(on_message, on_error, on_close, on_connect): the handle, or nothing. */
int wsapi_init_client(lua_State *L) {
    LOGD("wsapi_init_client");
    if (lua_gettop(L) < 4) {
        LOGW("wsapi_init_client: 4 arguments required");
        return 0;
    }
    lua_settop(L, 4);
    wsapi_contect_t *c = (wsapi_contect_t *)lua_newuserdata(L, sizeof *c);
    memset(c, 0, sizeof *c);
    c->on_message_index = c->on_error_index = c->on_close_index = c->on_connect_index = LUA_REFNIL;
    c->anchor = LUA_NOREF;
    c->rec.id = lua_cb_new_id();
    c->rec.L = lua_state_main(L);
    c->rec.callback_index = LUA_NOREF;
    c->rec.lua_arg = LUA_REFNIL;
    luaL_getmetatable(L, HANDLE_META);
    lua_setmetatable(L, -2);
    lua_insert(L, 1);
    // From the top down: on_connect first.
    c->on_connect_index = luaL_ref(L, LUA_REGISTRYINDEX);
    c->on_close_index = luaL_ref(L, LUA_REGISTRYINDEX);
    c->on_error_index = luaL_ref(L, LUA_REGISTRYINDEX);
    c->on_message_index = luaL_ref(L, LUA_REGISTRYINDEX);
    lua_pushvalue(L, 1);
    c->anchor = luaL_ref(L, LUA_REGISTRYINDEX);

    c->ws = ws_init(WS_CLIENT, g_base, cfg_ca_cert_path(), on_message, on_error, on_close, on_connected, c);
    if (!c->ws) {
        LOGW("Cannot init ws");
        release_client(c);
        return 0;
    }
    lua_cb_registry_add(&clients, c);
    return 1;
}

int wsapi_connect(lua_State *L) {
    wsapi_contect_t *c = handle_arg(L, "wsapi_connect");
    if (c) ws_connect(c->ws, luaL_checkstring(L, 2));
    return 0;
}

int wsapi_close(lua_State *L) {
    wsapi_contect_t *c = handle_arg(L, "wsapi_close");
    if (c) ws_close(c->ws);
    return 0;
}

int wsapi_send(lua_State *L) {
    wsapi_contect_t *c = handle_arg(L, "wsapi_send");
    if (c) ws_send_msg(c->ws, luaL_checkstring(L, 2));
    return 0;
}

int wsapi_ping(lua_State *L) {
    wsapi_contect_t *c = handle_arg(L, "wsapi_ping");
    if (c) ws_ping(c->ws);
    return 0;
}

int wsapi_destroy(lua_State *L) {
    wsapi_contect_t *c = handle_arg(L, "wsapi_destroy");
    if (c) release_client(c);
    return 0;
}

const luaL_Reg ws_funcs[] = {
    {"init_client", wsapi_init_client},
    {"connect", wsapi_connect},
    {"close", wsapi_close},
    {"send", wsapi_send},
    {"ping", wsapi_ping},
    {"destroy", wsapi_destroy},
    {nullptr, nullptr},
};

}  // namespace

int luaws_set_event_base(struct event_base *base) {
    g_base = base;
    return 0;
}

int open_luaws(lua_State *L) {
    lua_state_add_forget_hook(forget_state);
    luaL_newmetatable(L, HANDLE_META);
    lua_pop(L, 1);
    luaL_register(L, "ws", ws_funcs);
    return 1;
}
