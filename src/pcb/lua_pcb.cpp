#include "src/pcb/lua_pcb.h"

#include <lua.hpp>
#include <stdlib.h>
#include <string.h>

#include "common/glib-mini/glib.h"
#include "common/logger/logger.h"
#include "src/helpers.h"
#include "src/lua_api/lua_state.h"
#include "src/luamem.h"
#include "src/pcb/pcb_plugin.h"

#define LOG_CATEGORY "lua_pcb"

namespace {

/* One pending call_async_ret, or one observation. The bridge knows it by its id only. */
struct lua_call_ctx_t {
    lua_cb_rec_t rec;
    char *path; /* observations: the observed object, for finding one that the bus has ended */
};

GSList *pcb_ctx_list = nullptr; /* pending calls, all states together */
GSList *pcb_obs_list = nullptr; /* observations; not in pcb_ctx_list */

/* Takes the callback (top of the stack) and the value below it as the user argument (nil: none). */
lua_cb_rec_t take_refs(lua_State *L) {
    lua_cb_rec_t rec;
    rec.id = lua_cb_new_id();
    rec.L = lua_state_main(L);
    rec.callback_index = luaL_ref(L, LUA_REGISTRYINDEX);
    rec.lua_arg = luaL_ref(L, LUA_REGISTRYINDEX);
    return rec;
}

/* Releases both references and frees the record, which is in no list. */
void dispose(lua_call_ctx_t *ctx) {
    lua_state_unref(ctx->rec.L, ctx->rec.callback_index);
    lua_state_unref(ctx->rec.L, ctx->rec.lua_arg);
    free(ctx->path);
    free(ctx);
}

void fill_custom_data(custom_data_t *data, custom_data_cb_t cb, const lua_call_ctx_t *ctx) {
    data->callback = cb;
    data->arg = LUA_CB_TOKEN(ctx->rec.id);
    data->owner = ctx->rec.L; /* the bridge drops whatever is left of a state that closes */
}

lua_call_ctx_t *is_ctx_deleted(const void *token) {
    lua_call_ctx_t *ctx = (lua_call_ctx_t *)lua_cb_find(pcb_ctx_list, token);
    if (ctx)
        LOGD("is_ctx_deleted ctx %p  in the list, will be freed", token);
    else
        LOGD("is_ctx_deleted ctx %p not in the list (already freed) or list is empty", token);
    return ctx;
}

int push_text(lua_State *L, void *ud) {
    const char *text = (const char *)ud;
    if (text)
        lua_pushstring(L, text);
    else
        lua_pushnil(L);
    return 1;
}

/* ---- deliveries from the bridge ---- */

void pcb_callback(const char *result, void *arg) {
    if (!arg) {
        LOGW("pcb_callback - lua ctx is null");
        return;
    }
    lua_call_ctx_t *ctx = is_ctx_deleted(arg);
    if (!ctx) {
        LOGD("pcb_callback ctx %p is already deleted, do nothing", arg);
        return;
    }
    // Out of the list before the script runs: a cancel_all_requests inside the callback cannot free it.
    pcb_ctx_list = g_slist_remove(pcb_ctx_list, ctx);
    lua_State *L = ctx->rec.L;
    if (ctx->rec.callback_index == LUA_REFNIL) {
        LOGW("pcb_callback - lua callback index is null");
        dispose(ctx);
        return;
    }
    lua_state_call_ref_in(LOG_CATEGORY, L, ctx->rec.callback_index, ctx->rec.lua_arg, 1, push_text, (void *)result,
                          "pcb_callback");
    luamem_check(L);
    ctx->rec.callback_index = ctx->rec.lua_arg = LUA_NOREF; /* released by the call */
    dispose(ctx);
}

void pcb_notification(const char *json, void *arg) {
    if (!arg) {
        LOGW("pcb_notification - lua ctx is null");
        return;
    }
    lua_call_ctx_t *ctx = (lua_call_ctx_t *)lua_cb_find(pcb_obs_list, arg);
    if (!ctx) return; /* its state has gone */
    if (ctx->rec.callback_index == LUA_REFNIL) {
        LOGW("pcb_notification - lua callback index is null");
        return;
    }
    lua_state_call_ref_in(LOG_CATEGORY, ctx->rec.L, ctx->rec.callback_index, ctx->rec.lua_arg, 0, push_text,
                          (void *)json, "pcb_notification");
}

/* ---- script functions ---- */

int lua_pcb_call_async(lua_State *L) {
    const char *function = luaL_checkstring(L, 1);
    const char *args = luaL_checkstring(L, 2);
    lua_pushboolean(L, pcb_plugin_call_async_json_args(function, args, nullptr) == 0);
    return 1;
}

int lua_pcb_call_async_ret(lua_State *L) {
    const char *function = luaL_checkstring(L, 1);
    const char *args = luaL_checkstring(L, 2);
    // References first: taking one may raise, and nothing is allocated yet. The registry keeps
    // both texts alive even when the references pop them.
    lua_cb_rec_t refs = take_refs(L);
    custom_data_t *data = (custom_data_t *)calloc(1, sizeof(custom_data_t));
    if (!data) BRX_OOM_EXIT("lua_pcb_call_async_ret no mem 1");
    lua_call_ctx_t *ctx = (lua_call_ctx_t *)calloc(1, sizeof(lua_call_ctx_t));
    if (!ctx) BRX_OOM_EXIT("lua_pcb_call_async_ret no mem 2");
    ctx->rec = refs;
    fill_custom_data(data, pcb_callback, ctx);
    pcb_ctx_list = g_slist_append(pcb_ctx_list, ctx);
    if (pcb_plugin_call_async_json_args(function, args, data) == 0) {
        lua_pushboolean(L, 1);
        return 1;
    }
    // Refused: nothing will ever come for it, so nothing of it is kept.
    pcb_ctx_list = g_slist_remove(pcb_ctx_list, ctx);
    free(data);
    dispose(ctx);
    lua_pushboolean(L, 0);
    return 1;
}

/* An observation the bridge took over from one of path: the earlier one has ended with its bus connection. */
void forget_ended_observations(const char *path, const lua_call_ctx_t *keep) {
    for (GSList *it = pcb_obs_list, *next; it; it = next) {
        next = it->next;
        lua_call_ctx_t *ctx = (lua_call_ctx_t *)it->data;
        if (ctx == keep || strcmp(ctx->path, path) != 0) continue;
        pcb_obs_list = g_slist_remove(pcb_obs_list, ctx);
        dispose(ctx);
    }
}

int lua_pcb_observe_object(lua_State *L) {
    const char *object = luaL_checkstring(L, 1);
    lua_cb_rec_t refs = take_refs(L);
    custom_data_t *data = (custom_data_t *)calloc(1, sizeof(custom_data_t));
    lua_call_ctx_t *ctx = data ? (lua_call_ctx_t *)calloc(1, sizeof(lua_call_ctx_t)) : nullptr;
    char *path = ctx ? strdup(object) : nullptr;
    if (!path) {
        LOGW(data ? "lua_pcb_observe_object no mem 2" : "lua_pcb_observe_object no mem 1");
        free(ctx);
        free(data);
        lua_state_unref(L, refs.callback_index);
        lua_state_unref(L, refs.lua_arg);
        lua_pushboolean(L, 0);
        return 1;
    }
    ctx->rec = refs;
    ctx->path = path;
    fill_custom_data(data, pcb_notification, ctx);
    if (pcb_plugin_observe_object(ctx->path, data) != 0) {
        free(data);
        dispose(ctx);
        lua_pushboolean(L, 0);
        return 1;
    }
    pcb_obs_list = g_slist_append(pcb_obs_list, ctx);
    forget_ended_observations(ctx->path, ctx);
    lua_pushboolean(L, 1);
    return 1;
}

int lua_get_bool(lua_State *L) {
    const char *key = luaL_checkstring(L, 1);
    lua_pushboolean(L, pcb_plugin_get_bool(key) == 1);
    return 1;
}

int lua_get_string(lua_State *L) {
    const char *key = luaL_checkstring(L, 1);
    char *value = pcb_plugin_get_string(key);
    lua_state_push_then_release(L, push_text, value, free);
    return 1;
}

int lua_set(lua_State *L) {
    const char *key = luaL_checkstring(L, 1);
    const char *value = luaL_checkstring(L, 2);
    lua_pushboolean(L, pcb_plugin_set(key, value) == 1);
    return 1;
}

/* Frees every record of L in *list; the bridge is not asked. */
void free_records_of(GSList **list, lua_State *L) {
    for (GSList *it = *list, *next; it; it = next) {
        next = it->next;
        lua_call_ctx_t *ctx = (lua_call_ctx_t *)it->data;
        if (ctx->rec.L != L) continue;
        *list = g_slist_remove(*list, ctx);
        dispose(ctx);
    }
}

int lua_cancel(lua_State *L) {
    LOGD("cancel all client requests");
    // The bridge's entries stay: their results find no record.
    free_records_of(&pcb_ctx_list, lua_state_main(L));
    return 0;
}

const luaL_Reg luadevice[] = {
    {"call_async", lua_pcb_call_async},
    {"call_async_ret", lua_pcb_call_async_ret},
    {"get_bool", lua_get_bool},
    {"get_string", lua_get_string},
    {"set", lua_set},
    {"cancel_all_requests", lua_cancel},
    {"observe_object", lua_pcb_observe_object},
    {nullptr, nullptr},
};

/* The close routine's hook: a closing state's pending calls and its observations end at once, their
 * references released; no result or notification reaches the state afterwards. */
void forget_state(lua_State *L) {
    free_records_of(&pcb_ctx_list, L);
    free_records_of(&pcb_obs_list, L);
    // The bridge ends the state's calls and observations, so that a rebuilt state can observe the same objects.
    pcb_plugin_drop_owner(L);
}

}  // namespace

int open_luapcb(lua_State *L) {
    lua_state_add_forget_hook(forget_state);
    luaL_register(L, "pcb", luadevice);
    return 1;
}
