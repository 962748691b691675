#include "src/device/context.h"

#include <lua.hpp>
#include <stdlib.h>
#include <string.h>

#include "common/glib-mini/glib.h"
#include "common/logger/logger.h"
#include "src/device/driver.h"
#include "src/helpers.h"
#include "src/ifttt.h"
#include "src/lua_api/lua_coap_api.h"
#include "src/lua_api/lua_device_api.h"
#include "src/lua_api/lua_http_api.h"
#include "src/lua_api/lua_state.h"
#include "src/lua_api/lua_base64_api.h"
#include "src/lua_api/lua_log_api.h"
#include "src/lua_api/lua_network_api.h"
#include "src/lua_api/lua_scheduler_api.h"
#include "src/lua_api/lua_tcp_api.h"
#include "src/lua_api/lua_timer_api.h"
#include "src/lua_api/lua_ws_api.h"
#include "src/lua_api/luadb.h"
#include "src/luamem.h"
#include "src/scheduler.h"
#include "src/pcb/lua_pcb.h"

extern "C" int luaopen_cjson(lua_State *L);

#define LOG_CATEGORY "context"

namespace {

redis_instance_t *ri_conf = nullptr;
redis_instance_t *ri_state = nullptr;
GHashTable *device_ctx_map = nullptr;
GHashTable *domain_ctx_map = nullptr;
uintptr_t last_token = 0;
// Lookups that would otherwise walk every context: token -> its context, script state -> its context.
GHashTable *device_by_token = nullptr;
GHashTable *domain_by_token = nullptr;
GHashTable *device_by_state = nullptr;
GHashTable *domain_by_state = nullptr;
device_context_callback release_hook = nullptr;

/* ---- the indexes ---- */

GHashTable *index_table(GHashTable **t) {
    if (!*t) {
        *t = g_hash_table_new(g_direct_hash, nullptr);
        if (!*t) BRX_OOM_EXIT("context index");
    }
    return *t;
}

gpointer token_key(uintptr_t token) { return (gpointer)token; }

void index_put(GHashTable **t, gconstpointer key, void *owner) {
    if (key) g_hash_table_insert(index_table(t), (gpointer)key, owner);
}

void index_drop(GHashTable *t, gconstpointer key) {
    if (t && key) g_hash_table_remove(t, key);
}

int live(const device_ctx_t *ctx) {
    return device_ctx_map && g_hash_table_lookup(device_ctx_map, ctx->device_id) == ctx;
}

int live(const domain_ctx_t *dctx) {
    return domain_ctx_map && g_hash_table_lookup(domain_ctx_map, dctx->domain) == dctx;
}

/* A context is found through the indexes only while it is in its map. */
void index_device(device_ctx_t *ctx) {
    for (int i = 0; i < CTX_TOKEN_COUNT; i++) index_put(&device_by_token, token_key(ctx->tokens[i]), ctx);
    index_put(&device_by_state, ctx->L_drv, ctx);
    index_put(&device_by_state, ctx->L_app, ctx);
}

void unindex_device(device_ctx_t *ctx) {
    for (int i = 0; i < CTX_TOKEN_COUNT; i++) index_drop(device_by_token, token_key(ctx->tokens[i]));
    index_drop(device_by_state, ctx->L_drv);
    index_drop(device_by_state, ctx->L_app);
}

void index_domain(domain_ctx_t *dctx) {
    for (int i = 0; i < DOMAIN_TOKEN_COUNT; i++) index_put(&domain_by_token, token_key(dctx->tokens[i]), dctx);
    index_put(&domain_by_state, dctx->L, dctx);
}

void unindex_domain(domain_ctx_t *dctx) {
    for (int i = 0; i < DOMAIN_TOKEN_COUNT; i++) index_drop(domain_by_token, token_key(dctx->tokens[i]));
    index_drop(domain_by_state, dctx->L);
}

template <typename Ctx>
void set_token(GHashTable **index, Ctx *ctx, int slot, uintptr_t token) {
    int indexed = live(ctx);
    if (indexed) index_drop(*index, token_key(ctx->tokens[slot]));
    ctx->tokens[slot] = token;
    if (indexed) index_put(index, token_key(token), ctx);
}

void set_device_states(device_ctx_t *ctx, lua_State *drv, lua_State *app) {
    int indexed = live(ctx);
    if (indexed) {
        index_drop(device_by_state, ctx->L_drv);
        index_drop(device_by_state, ctx->L_app);
    }
    ctx->L_drv = drv;
    ctx->L_app = app;
    if (indexed) {
        index_put(&device_by_state, drv, ctx);
        index_put(&device_by_state, app, ctx);
    }
}

void set_domain_state(domain_ctx_t *dctx, lua_State *L) {
    int indexed = live(dctx);
    if (indexed) index_drop(domain_by_state, dctx->L);
    dctx->L = L;
    if (indexed) index_put(&domain_by_state, L, dctx);
}

void drop_index(GHashTable **t) {
    if (*t) g_hash_table_destroy(*t);
    *t = nullptr;
}

/* ---- state set-up ---- */

int open_native_modules(lua_State *L, void *) {
    lua_state_open_libs(L);
    // The native modules, in their fixed order; each joins here when it exists.
    open_luahttp(L);
    open_luacoap(L);
    open_luatcp(L);
    open_luatimer(L);
    open_luadb(L);
    open_lualog(L);
    open_luabase64(L);
    open_luadevice(L);
    open_luanetwork(L);
    open_luaws(L);
    open_luascheduler(L);
    lua_settop(L, 0);
    return 0;
}

int open_late_modules(lua_State *L, void *) {
    open_luapcb(L);
    lua_pushcfunction(L, luaopen_cjson);
    lua_call(L, 0, 1);
    // lua-cjson 2.1 makes no global of its own.
    lua_pushvalue(L, -1);
    lua_setglobal(L, "cjson");
    lua_getglobal(L, "package");
    lua_getfield(L, -1, "loaded");
    lua_pushvalue(L, -3);
    lua_setfield(L, -2, "cjson");
    lua_settop(L, 0);
    return 0;
}

void run_shared_chunk(lua_State *L) {
    char *code = ri_conf ? db_get_sync(ri_conf, "brx:lualib:global") : nullptr;
    if (!code) {
        LOGW("Cannot load lualib:global");
        return;
    }
    int top = lua_gettop(L);
    int res = lua_dostring_safe(L, code) == 0 ? 0 : 1;
    lua_settop(L, top);
    free(code);
    LOGD("lualib:global loaded (res %d)", res);
}

lua_State *new_state_or_exit(const char *what) {
    lua_State *L = lua_state_new();
    if (!L) BRX_OOM_EXIT(what);
    return L;
}

void create_device_lua_state(device_ctx_t *ctx) {
    set_device_states(ctx, new_state_or_exit("Cannot create lua state for the device"),
                      new_state_or_exit("Cannot create lua state for the device"));
    // Only the driver state is profiled.
    luamem_set_limit(ctx->L_drv, ctx->class_name, ctx->domain);
    luamem_check(ctx->L_drv);
    open_lualibs(ctx->L_drv);
    open_lualibs(ctx->L_app);
    luamem_check(ctx->L_drv);
}

lua_State *create_domain_lua_state(const char *domain) {
    lua_State *L = new_state_or_exit("Cannot create lua state for the ctx");
    luamem_set_limit(L, nullptr, domain);
    luamem_check(L);
    open_lualibs(L);
    luamem_check(L);
    return L;
}

/* ---- destruction ---- */

int states_running(const device_ctx_t *ctx) {
    return (ctx->L_drv && lua_state_is_running(ctx->L_drv)) || (ctx->L_app && lua_state_is_running(ctx->L_app));
}

void cleanup_device_context(device_ctx_t *ctx) {
    LOGD("cleanup_device_context id %s, class %s", ctx->device_id, ctx->class_name);
    cleanup(ctx->L_app, "app", nullptr, nullptr);
    LOGD("Closing L_drv %p, L_app %p", (void *)ctx->L_drv, (void *)ctx->L_app);
    cleanup(ctx->L_drv, "driver", nullptr, nullptr);
    luamem_cleanup(ctx->L_drv);
    luamem_cleanup(ctx->L_app);
    close_lua_state(ctx->L_drv, nullptr);
    close_lua_state(ctx->L_app, nullptr);
    ifttt_cleanup(ctx->ifttt_config_drv);
    if (ctx->ifttt_config_app) ifttt_cleanup(ctx->ifttt_config_app);
    free(ctx->device_id);
    free(ctx->app_id);
    free(ctx->loaded_app_id);
    free(ctx->class_name);
    free(ctx->driver);
    free(ctx->version);
    free(ctx->domain);
    scheduler_destroy(ctx->scheduler_ctx);
    free(ctx);
    LOGD("cleanup_device_context end");
}

void deferred_device_destroy(void *arg) {
    device_ctx_t *ctx = (device_ctx_t *)arg;
    if (states_running(ctx) && defer_callback(deferred_device_destroy, ctx) == 0) return;
    cleanup_device_context(ctx);
}

/* Value destroy function of the device map: the entry is already gone when it runs. */
void release_device_context(gpointer value) {
    device_ctx_t *ctx = (device_ctx_t *)value;
    unindex_device(ctx);
    if (release_hook) release_hook(ctx);
    end_device_context_watches(ctx);
    if (states_running(ctx)) {
        // Never close a state under its own call: finish from a fresh loop turn.
        if (defer_callback(deferred_device_destroy, ctx) == 0) return;
        LOGE("Cannot defer the destruction of context %s", ctx->device_id);
        return;
    }
    cleanup_device_context(ctx);
}

void cleanup_subsystem_context(domain_ctx_t *dctx) {
    LOGD("Closing subsystem L %p", (void *)dctx->L);
    cleanup(dctx->L, "default_driver", nullptr, nullptr);
    luamem_cleanup(dctx->L);
    close_lua_state(dctx->L, nullptr);
    free(dctx->domain);
    free(dctx);
}

void deferred_domain_destroy(void *arg) {
    domain_ctx_t *dctx = (domain_ctx_t *)arg;
    if (lua_state_is_running(dctx->L) && defer_callback(deferred_domain_destroy, dctx) == 0) return;
    cleanup_subsystem_context(dctx);
}

void release_domain_context(gpointer value) {
    domain_ctx_t *dctx = (domain_ctx_t *)value;
    unindex_domain(dctx);
    end_domain_context_watches(dctx);
    if (lua_state_is_running(dctx->L)) {
        if (defer_callback(deferred_domain_destroy, dctx) == 0) return;
        LOGE("Cannot defer the destruction of domain context %s", dctx->domain);
        return;
    }
    cleanup_subsystem_context(dctx);
}

/* ---- rebuilds ---- */

/* Calls cb(token) from a fresh loop turn, once while *slot holds the pending token. */
template <typename Ctx>
void defer_once(Ctx *ctx, int slot, helper_callback_t cb) {
    if (ctx->tokens[slot]) return;
    uintptr_t token = context_new_token();
    context_set_token(ctx, slot, token);
    if (defer_callback(cb, (void *)token) != 0) context_set_token(ctx, slot, 0);
}

void device_reset_done(const void *arg) {
    uintptr_t token = (uintptr_t)arg;
    device_ctx_t *ctx = find_device_context_by_token(token);
    if (!ctx || ctx->tokens[CTX_TOKEN_RESET] != token) return;
    context_set_token(ctx, CTX_TOKEN_RESET, 0);
    lua_State *old_drv = ctx->L_drv;
    lua_State *old_app = ctx->L_app;
    // A driver table still waiting for its clean-up lives in the old state.
    context_set_token(ctx, CTX_TOKEN_DRV_LOAD, 0);
    ctx->drv_load_ref = LUA_NOREF;
    luamem_cleanup(old_app);
    create_device_lua_state(ctx);
    // Before the old state closes: closing drops its entry.
    luamem_replace(old_drv, ctx->L_drv);
    luamem_set_limit(ctx->L_drv, ctx->class_name, ctx->domain);
    close_lua_state(old_drv, nullptr);
    close_lua_state(old_app, nullptr);
    load_driver_script(ctx);
}

void deferred_device_reset(void *arg) {
    uintptr_t token = (uintptr_t)arg;
    device_ctx_t *ctx = find_device_context_by_token(token);
    if (!ctx || ctx->tokens[CTX_TOKEN_DEFERRED] != token) return;
    context_set_token(ctx, CTX_TOKEN_DEFERRED, 0);
    reset_device_lua_state(ctx);
}

void domain_reset_done(const void *arg) {
    uintptr_t token = (uintptr_t)arg;
    domain_ctx_t *dctx = find_domain_context_by_token(token);
    if (!dctx || dctx->tokens[DOMAIN_TOKEN_RESET] != token) return;
    context_set_token(dctx, DOMAIN_TOKEN_RESET, 0);
    lua_State *old = dctx->L;
    set_domain_state(dctx, create_domain_lua_state(dctx->domain));
    luamem_replace(old, dctx->L);
    luamem_set_limit(dctx->L, nullptr, dctx->domain);
    close_lua_state(old, nullptr);
    load_default_driver_script(dctx);
}

void deferred_domain_reset(void *arg) {
    uintptr_t token = (uintptr_t)arg;
    domain_ctx_t *dctx = find_domain_context_by_token(token);
    if (!dctx || dctx->tokens[DOMAIN_TOKEN_DEFERRED] != token) return;
    context_set_token(dctx, DOMAIN_TOKEN_DEFERRED, 0);
    reset_domain_lua_state(dctx);
}

/* ---- lookups ---- */

struct id_snapshot {
    char **ids;
    size_t count;
};

void collect_id(gpointer key, gpointer, gpointer user_data) {
    id_snapshot *s = (id_snapshot *)user_data;
    s->ids[s->count++] = BRX_STRDUP_OR_EXIT((const char *)key, "No mem for handler");
}

}  // namespace

void context_setup_redis_instance(redis_instance_t *conf, redis_instance_t *state) {
    ri_conf = conf;
    ri_state = state;
}

void open_lualibs(lua_State *L) {
    LOGD("Lua open libs L %p", (void *)L);
    char err[512];
    if (lua_state_protected(L, open_native_modules, nullptr, err, sizeof(err)) != 0)
        LOGW("Cannot open libs: %s", err);
    run_shared_chunk(L);
    luamem_check(L);
    if (lua_state_protected(L, open_late_modules, nullptr, err, sizeof(err)) != 0)
        LOGW("Cannot open libs: %s", err);
}

uintptr_t context_new_token(void) {
    if (++last_token == 0) ++last_token;
    return last_token;
}

device_ctx_t *find_device_context_by_token(uintptr_t token) {
    if (!device_by_token || token == 0) return nullptr;
    return (device_ctx_t *)g_hash_table_lookup(device_by_token, token_key(token));
}

domain_ctx_t *find_domain_context_by_token(uintptr_t token) {
    if (!domain_by_token || token == 0) return nullptr;
    return (domain_ctx_t *)g_hash_table_lookup(domain_by_token, token_key(token));
}

void context_set_token(device_ctx_t *ctx, int slot, uintptr_t token) { set_token(&device_by_token, ctx, slot, token); }

void context_set_token(domain_ctx_t *dctx, int slot, uintptr_t token) { set_token(&domain_by_token, dctx, slot, token); }

int init_device_context_map(void) {
    LOGD("init_device_context_map");
    if (!device_ctx_map) {
        device_ctx_map = g_hash_table_new_full(g_str_hash, str_equal, free, release_device_context);
        if (!device_ctx_map) BRX_OOM_EXIT("device_ctx_map");
    }
    return 1;
}

void set_device_context_release_hook(device_context_callback hook) { release_hook = hook; }

void destroy_device_context_map(void) {
    if (!device_ctx_map) return;
    g_hash_table_destroy(device_ctx_map);
    device_ctx_map = nullptr;
    drop_index(&device_by_token);
    drop_index(&device_by_state);
}

int init_domain_context_map(void) {
    if (!domain_ctx_map) {
        domain_ctx_map = g_hash_table_new_full(g_str_hash, str_equal, free, release_domain_context);
        if (!domain_ctx_map) BRX_OOM_EXIT("domain_ctx_map");
    }
    return 1;
}

void destroy_domain_context_map(void) {
    if (!domain_ctx_map) return;
    g_hash_table_destroy(domain_ctx_map);
    domain_ctx_map = nullptr;
    drop_index(&domain_by_token);
    drop_index(&domain_by_state);
}

device_ctx_t *create_device_context(const char *device_id, const char *class_name, const char *driver,
                                    const char *domain) {
    LOGT("create_device_context");
    if (!device_id || !class_name || !domain) {
        LOGW("No device_id/class/domain given");
        return nullptr;
    }
    if (!device_ctx_map) init_device_context_map();
    device_ctx_t *existing = get_device_context(device_id);
    if (existing) {
        // One context per id: a second one would replace (and close) the first under its callers.
        LOGD("create_device_context: context %s exists", device_id);
        return existing;
    }
    device_ctx_t *ctx = (device_ctx_t *)calloc(1, sizeof(*ctx));
    if (!ctx) BRX_OOM_EXIT("No memory (driver_ctx)");
    ctx->device_id = BRX_STRDUP_OR_EXIT(device_id, "No memory (device_id)");
    ctx->class_name = BRX_STRDUP_OR_EXIT(class_name, "No memory (class)");
    ctx->driver = BRX_STRDUP_OR_EXIT(driver ? driver : class_name, "No memory (driver)");
    ctx->domain = BRX_STRDUP_OR_EXIT(domain, "No memory (domain)");
    char *key = BRX_STRDUP_OR_EXIT(device_id, "No memory (key)");
    ctx->scheduler_ctx = scheduler_create();
    if (!ctx->scheduler_ctx) BRX_OOM_EXIT("No memory for scheduler");
    create_device_lua_state(ctx);
    ctx->drv_load_ref = LUA_NOREF;
    context_set_token(ctx, CTX_TOKEN_SELF, context_new_token());
    LOGD("create_device_context L=%p, id '%s', class '%s'", (void *)ctx->L_drv, ctx->device_id, ctx->class_name);
    g_hash_table_insert(device_ctx_map, key, ctx);
    index_device(ctx);
    return ctx;
}

device_ctx_t *update_device_context(const char *device_id, const char *app_id, const char *class_name,
                                    const char *driver, const char *domain) {
    device_ctx_t *ctx = get_device_context(device_id);
    if (!ctx) ctx = create_device_context(device_id, class_name, driver, domain);
    if (!ctx) {
        LOGW("Error creating device_ctx");
        return nullptr;
    }
    free(ctx->app_id);
    ctx->app_id = app_id ? BRX_STRDUP_OR_EXIT(app_id, "No memory (app_id)") : nullptr;
    return ctx;
}

device_ctx_t *get_device_context(const char *device_id) {
    if (!device_ctx_map || !device_id) return nullptr;
    return (device_ctx_t *)g_hash_table_lookup(device_ctx_map, device_id);
}

device_ctx_t *get_device_context_by_luastate(lua_State *L) {
    if (!device_by_state || !L) return nullptr;
    return (device_ctx_t *)g_hash_table_lookup(device_by_state, L);
}

void foreach_device_context(device_context_callback func) {
    if (!device_ctx_map || !func) return;
    function_handler_t *handler = (function_handler_t *)calloc(1, sizeof(*handler));
    if (!handler) BRX_OOM_EXIT("No mem for handler");
    handler->func = func;
    id_snapshot snap = {nullptr, 0};
    size_t n = (size_t)device_ctx_map->nnodes;
    if (n > 0) {
        snap.ids = (char **)calloc(n, sizeof(char *));
        if (!snap.ids) BRX_OOM_EXIT("No mem for handler");
        g_hash_table_foreach(device_ctx_map, collect_id, &snap);
    }
    for (size_t i = 0; i < snap.count; i++) {
        device_ctx_t *ctx = get_device_context(snap.ids[i]);
        if (ctx) handler->func(ctx);
        free(snap.ids[i]);
    }
    free(snap.ids);
    free(handler);
}

void remove_device_context(const char *device_id) {
    if (!device_ctx_map || !device_id) return;
    g_hash_table_remove(device_ctx_map, device_id);
}

void reset_device_lua_state(device_ctx_t *ctx) {
    if (!ctx) return;
    if (states_running(ctx)) {
        defer_once(ctx, CTX_TOKEN_DEFERRED, deferred_device_reset);
        return;
    }
    if (ctx->tokens[CTX_TOKEN_RESET]) return;  // a rebuild is already waiting for its clean-up
    LOGD("reset_device_lua_state id %s, class %s", ctx->device_id, ctx->class_name);
    cleanup(ctx->L_app, "app", nullptr, nullptr);
    uintptr_t token = context_new_token();
    context_set_token(ctx, CTX_TOKEN_RESET, token);
    cleanup(ctx->L_drv, "driver", device_reset_done, (const void *)token);
}

domain_ctx_t *create_domain_context(const char *domain) {
    if (!domain) {
        LOGW("No domain given");
        return nullptr;
    }
    if (!domain_ctx_map) init_domain_context_map();
    domain_ctx_t *existing = get_domain_context(domain);
    if (existing) {
        LOGD("create_domain_context: context %s exists", domain);
        return existing;
    }
    domain_ctx_t *dctx = (domain_ctx_t *)calloc(1, sizeof(*dctx));
    if (!dctx) BRX_OOM_EXIT("No memory (ctx)");
    dctx->domain = BRX_STRDUP_OR_EXIT(domain, "No memory (domain)");
    char *key = BRX_STRDUP_OR_EXIT(domain, "No memory (key)");
    set_domain_state(dctx, create_domain_lua_state(dctx->domain));
    context_set_token(dctx, DOMAIN_TOKEN_SELF, context_new_token());
    LOGD("create_domain_context L=%p, domain %s", (void *)dctx->L, dctx->domain);
    g_hash_table_insert(domain_ctx_map, key, dctx);
    index_domain(dctx);
    return dctx;
}

domain_ctx_t *get_domain_context(const char *domain) {
    if (!domain_ctx_map || !domain) return nullptr;
    return (domain_ctx_t *)g_hash_table_lookup(domain_ctx_map, domain);
}

domain_ctx_t *get_domain_context_by_luastate(lua_State *L) {
    if (!domain_by_state || !L) return nullptr;
    return (domain_ctx_t *)g_hash_table_lookup(domain_by_state, L);
}

void reset_domain_lua_state(domain_ctx_t *dctx) {
    if (!dctx) return;
    if (lua_state_is_running(dctx->L)) {
        defer_once(dctx, DOMAIN_TOKEN_DEFERRED, deferred_domain_reset);
        return;
    }
    if (dctx->tokens[DOMAIN_TOKEN_RESET]) return;
    LOGD("reset_domain_lua_state domain %s", dctx->domain);
    uintptr_t token = context_new_token();
    context_set_token(dctx, DOMAIN_TOKEN_RESET, token);
    cleanup(dctx->L, "default_driver", domain_reset_done, (const void *)token);
}

void reset_lua_state_owner(lua_State *L) {
    device_ctx_t *ctx = get_device_context_by_luastate(L);
    if (ctx) {
        reset_device_lua_state(ctx);
        return;
    }
    domain_ctx_t *dctx = get_domain_context_by_luastate(L);
    if (dctx) {
        reset_domain_lua_state(dctx);
        return;
    }
    LOGW("Cannot find ctx to reset lua state %p", (void *)L);
}
