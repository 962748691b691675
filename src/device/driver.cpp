#include "src/device/driver.h"

#include <lua.hpp>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/glib-mini/glib.h"
#include "common/logger/logger.h"
#include "src/device_cfg.h"
#include "src/helpers.h"
#include "src/ifttt.h"
#include "src/lua_api/lua_state.h"
#include "src/lua_api/lua_tcp_api.h"
#include "src/lua_api/lua_timer_api.h"
#include "src/luamem.h"

#define LOG_CATEGORY "driver"

namespace {

redis_instance_t *ri_conf = nullptr;
redis_instance_t *ri_state = nullptr;

const char *or_null(const char *s) { return s ? s : "(null)"; }

/* ---- the watch around every call into a state ---- */

/* The state instance's one blocking connection is shared by the engine and every script. */
int transaction_open(void) { return ri_state && db_in_transaction(ri_state); }

const char *role_of(lua_State *L) {
    device_ctx_t *ctx = get_device_context_by_luastate(L);
    if (ctx) return L == ctx->L_drv ? "driver" : "app";
    if (get_domain_context_by_luastate(L)) return "default_driver";
    return "script";
}

/* A MULTI that the call opened and left open would swallow every later blocking write. */
void call_done(lua_State *L, const char *role, const char *hook, int was_open) {
    if (was_open || !transaction_open()) return;
    LOGW("MULTI left open by %s.%s - DISCARD sent", role ? role : role_of(L), hook ? hook : "chunk");
    db_discard(ri_state);
}

/* ---- closing ---- */

void release_state_callbacks(lua_State *L, cleanup_done_cb_t done, const void *arg) {
    cleanup_timer(L);
    cleanup_tcp(L);
    cleanup_luadb_callbacks(L, done, arg);
}

void finish_close(lua_State *L) {
    lua_state_forget(L);
    lua_state_close(L);
}

void close_later(void *arg) {
    lua_State *L = (lua_State *)arg;
    if (lua_state_is_running(L) && defer_callback(close_later, L) == 0) return;
    finish_close(L);
}

/* ---- protected bodies ---- */

struct role_cleanup {
    const char *role;
};

/* if <role> and <role>.cleanup then <role>.cleanup() <role>=nil end */
int role_cleanup_body(lua_State *L, void *ud) {
    const char *role = ((role_cleanup *)ud)->role;
    lua_getglobal(L, role);
    if (!lua_toboolean(L, -1)) return 0;
    lua_getfield(L, -1, "cleanup");
    if (!lua_toboolean(L, -1)) return 0;
    lua_call(L, 0, 0);
    lua_pushnil(L);
    lua_setglobal(L, role);
    return 0;
}

struct hook_call {
    const char *role;
    const char *hook;
    const char *const *args;
    int nargs;
    int present_only;  /* no error when the role table or the hook is missing */
    int clear_role;    /* <role> = nil after a successful call */
};

int hook_body(lua_State *L, void *ud) {
    hook_call *h = (hook_call *)ud;
    lua_getglobal(L, h->role);
    if (h->present_only && !lua_toboolean(L, -1)) goto done;
    lua_getfield(L, -1, h->hook);
    if (h->present_only && !lua_toboolean(L, -1)) goto done;
    for (int i = 0; i < h->nargs; i++) lua_pushstring(L, h->args[i] ? h->args[i] : "");
    lua_call(L, h->nargs, 0);
done:
    if (h->clear_role) {
        lua_pushnil(L);
        lua_setglobal(L, h->role);
    }
    return 0;
}

/* if <role> and <role>.<hook> then <role>.<hook>(args...) end */
void run_role_hook(lua_State *L, const char *role, const char *hook, const char *const *args, int nargs,
                   int clear_role) {
    hook_call h = {role, hook, args, nargs, 1, clear_role};
    char err[1024];
    if (lua_state_protected_named(L, role, hook, hook_body, &h, err, sizeof(err)) != 0)
        LOGW("Doing script failed with error #%d: %s", 1, err);
}

int collect_body(lua_State *L, void *) {
    lua_gc(L, LUA_GCCOLLECT, 0);
    return 0;
}

/*
 * <role>.init(args...), after which the state sits idle until its next event: what compiling and
 * setting up left behind is collected now rather than kept until the state allocates again.
 */
void run_init_hook(lua_State *L, const char *role, const char *const *args, int nargs) {
    run_role_hook(L, role, "init", args, nargs, 0);
    // Protected: a finalizer may raise.
    lua_state_protected(L, collect_body, nullptr, nullptr, 0);
}

struct chunk_run {
    const char *code;
    const char *path;
    int ref;
};

/*
 * A chunk is named by its text, and Lua shows at most the start of its first line (or, after a
 * leading '=' or '@', the start or the end of the text) in messages. The name keeps only what can
 * show, so that a state does not hold a second copy of every script it runs.
 */
const size_t kChunkNameShown = 128;  // more than any message shows (LUA_IDSIZE, 80 for syntax errors)

const char *chunk_name(const char *code, char *buf, size_t size) {
    const size_t shown = kChunkNameShown;
    size_t len = strlen(code);
    if (len < shown || size <= shown + 1) return code;
    if (code[0] == '@') {
        // Shown: the end of the text.
        buf[0] = '@';
        memcpy(buf + 1, code + len - shown, shown + 1);
        return buf;
    }
    // Shown: the start of the text; a character past it keeps "..." where Lua adds it.
    memcpy(buf, code, shown + 1);
    buf[shown + 1] = '\0';
    return buf;
}

/* Compiles the code or the file onto the stack; a compile error is raised. */
void load_chunk(lua_State *L, const chunk_run *c) {
    char name[kChunkNameShown + 2];
    int status = c->code ? luaL_loadbuffer(L, c->code, strlen(c->code), chunk_name(c->code, name, sizeof name))
                         : luaL_loadfile(L, c->path);
    if (status != 0) lua_error(L);
}

/* Compiles a chunk and takes the function into the registry. */
int chunk_load_body(lua_State *L, void *ud) {
    chunk_run *c = (chunk_run *)ud;
    load_chunk(L, c);
    c->ref = luaL_ref(L, LUA_REGISTRYINDEX);
    return 0;
}

/* Runs a chunk and takes the value it returned last (nil for none) into the registry. */
int chunk_ref_body(lua_State *L, void *ud) {
    chunk_run *c = (chunk_run *)ud;
    load_chunk(L, c);
    lua_call(L, 0, LUA_MULTRET);
    if (lua_gettop(L) == 0) lua_pushnil(L);
    c->ref = luaL_ref(L, LUA_REGISTRYINDEX);
    return 0;
}

/* 0 with *ref holding the chunk's value, or -1 (logged). */
int run_chunk_ref(lua_State *L, const char *role, const char *code, const char *path, int *ref) {
    if (!code && !path) {
        LOGW("NULL script received");
        return -1;
    }
    chunk_run c = {code, path, LUA_NOREF};
    char err[1024];
    if (lua_state_protected_named(L, role, "chunk", chunk_ref_body, &c, err, sizeof(err)) != 0) {
        LOGW("Doing script failed with error #%d: %s", 1, err);
        return -1;
    }
    *ref = c.ref;
    return 0;
}

struct install {
    const char *role;
    int ref;
};

int install_body(lua_State *L, void *ud) {
    install *in = (install *)ud;
    lua_rawgeti(L, LUA_REGISTRYINDEX, in->ref);
    lua_setglobal(L, in->role);
    // Last: when setting the global raises, install_role releases the reference, exactly once.
    luaL_unref(L, LUA_REGISTRYINDEX, in->ref);
    return 0;
}

/* The value behind ref becomes the global role; the reference is released. */
void install_role(lua_State *L, const char *role, int ref) {
    install in = {role, ref};
    char err[512];
    if (lua_state_protected_named(L, role, "install", install_body, &in, err, sizeof(err)) != 0) {
        LOGW("Cannot set %s: %s", role, err);
        lua_state_unref(L, ref);
    }
}

struct version_read {
    const char *role;
    char *version;
};

int version_body(lua_State *L, void *ud) {
    version_read *v = (version_read *)ud;
    lua_getglobal(L, v->role);
    lua_getfield(L, -1, "get_version");
    lua_call(L, 0, 1);
    int t = lua_type(L, -1);
    const char *s = (t == LUA_TSTRING || t == LUA_TNUMBER) ? lua_tostring(L, -1) : "0.0.0";
    // Last step: nothing may raise once the copy exists.
    v->version = strdup(s);
    return 0;
}

/* ---- driver ---- */

void driver_cleanup_done(const void *arg) {
    uintptr_t token = (uintptr_t)arg;
    device_ctx_t *ctx = find_device_context_by_token(token);
    if (!ctx || ctx->tokens[CTX_TOKEN_DRV_LOAD] != token) return;  // superseded or gone
    uintptr_t self = ctx->tokens[CTX_TOKEN_SELF];
    context_set_token(ctx, CTX_TOKEN_DRV_LOAD, 0);
    int ref = ctx->drv_load_ref;
    ctx->drv_load_ref = LUA_NOREF;
    install_role(ctx->L_drv, "driver", ref);
    set_version(ctx);
    // get_version may have run in another state that removed this context.
    ctx = find_device_context_by_token(self);
    if (!ctx) return;
    LOGD("driver_cleanup_done - Load driver script device_id %s", ctx->device_id);
    const char *args[] = {ctx->device_id};
    run_init_hook(ctx->L_drv, "driver", args, 1);
    ctx->driver_loaded = 1;
}

void driver_code_cb(const char *value, const void *arg) {
    uintptr_t token = (uintptr_t)arg;
    device_ctx_t *ctx = find_device_context_by_token(token);
    if (!ctx || ctx->tokens[CTX_TOKEN_DRV_CODE] != token) return;
    LOGD("Load driver script callback with device_id %s", ctx->device_id);
    int ref = LUA_NOREF;
    if (run_chunk_ref(ctx->L_drv, "driver", value, nullptr, &ref) != 0) return;
    ctx = find_device_context_by_token(token);
    if (!ctx) return;
    // A newer load supersedes one still waiting for its clean-up; a rebuild, which replaces L_drv,
    // drops the pending load together with the old state.
    if (ctx->tokens[CTX_TOKEN_DRV_LOAD]) lua_state_unref(ctx->L_drv, ctx->drv_load_ref);
    uintptr_t load = context_new_token();
    context_set_token(ctx, CTX_TOKEN_DRV_LOAD, load);
    ctx->drv_load_ref = ref;
    cleanup(ctx->L_drv, "driver", driver_cleanup_done, (const void *)load);
    LOGD("load_driver_script_callback end");
}

/* ---- app ---- */

void app_code_cb(const char *value, const void *arg) {
    uintptr_t token = (uintptr_t)arg;
    device_ctx_t *ctx = find_device_context_by_token(token);
    if (!ctx || ctx->tokens[CTX_TOKEN_APP_CODE] != token) return;
    LOGD("Load app script callback");
    cleanup(ctx->L_app, "app", nullptr, nullptr);
    int ref = LUA_NOREF;
    if (run_chunk_ref(ctx->L_app, "app", value, nullptr, &ref) != 0) return;
    ctx = find_device_context_by_token(token);
    if (!ctx) return;
    install_role(ctx->L_app, "app", ref);
    const char *args[] = {ctx->device_id, ctx->app_id};
    run_init_hook(ctx->L_app, "app", args, 2);
}

void app_id_cb(const char *value, const void *arg) {
    uintptr_t token = (uintptr_t)arg;
    device_ctx_t *ctx = find_device_context_by_token(token);
    if (!ctx || ctx->tokens[CTX_TOKEN_APP_ID] != token) return;
    device_app_id_changed(value, ctx);
}

/* ---- watches ---- */

template <typename Ctx>
void end_watch(redis_instance_t *ri, Ctx *ctx, db_get_and_subscribe_ctx_t **watch, int slot) {
    context_set_token(ctx, slot, 0);
    if (*watch) {
        db_get_and_subscribe_ctx_t *w = *watch;
        *watch = nullptr;
        db_get_and_subscribe_cleanup_ex(ri, w);
    }
}

/*
 * Gets and watches key for one watch of a context, replacing the watch it held there. On a local
 * instance the first value arrives inside the call and may replace this watch again or end the
 * context; the context is therefore found again by the watch's token afterwards. 0 or -1.
 */
template <typename Ctx>
int watch_slot(Ctx *(*find)(uintptr_t), redis_instance_t *ri, Ctx *ctx, db_get_and_subscribe_ctx_t *Ctx::*watch,
               int slot, db_value_callback_t cb, const char *key) {
    end_watch(ri, ctx, &(ctx->*watch), slot);
    uintptr_t token = context_new_token();
    context_set_token(ctx, slot, token);
    db_get_and_subscribe_ctx_t *w = db_get_and_subscribe(ri, cb, (const void *)token, "%s", key);
    Ctx *now = find(token);
    if (!w) {
        if (now) context_set_token(now, slot, 0);
        return -1;
    }
    if (now)
        now->*watch = w;
    else
        db_get_and_subscribe_cleanup_ex(ri, w);
    return 0;
}

/*
 * Runs the code or the file with its results left on the stack. Loading a file pushes text, so it
 * is compiled inside a protected call too; only the compiled function comes out of it.
 */
int run_chunk(lua_State *L, const char *code, const char *path) {
    chunk_run c = {code, path, LUA_NOREF};
    char err[1024];
    if (lua_state_protected(L, chunk_load_body, &c, err, sizeof(err)) == 0) {
        lua_rawgeti(L, LUA_REGISTRYINDEX, c.ref);
        lua_state_unref(L, c.ref);
        if (lua_state_pcall_named(L, nullptr, "chunk", 0, LUA_MULTRET, err, sizeof(err)) == 0) return 0;
    }
    LOGW("Doing script failed with error #%d: %s", 1, err);
    return -1;
}

/* ---- default driver ---- */

void init_default_driver(domain_ctx_t *dctx, int ref) {
    install_role(dctx->L, "default_driver", ref);
    const char *mac = cfg_get_mac_str();
    const char *ipv4 = cfg_get_ipv4();
    const char *args[] = {mac ? mac : "", ipv4 ? ipv4 : ""};
    run_init_hook(dctx->L, "default_driver", args, 2);
}

int load_default_driver_file(domain_ctx_t *dctx) {
    LOGI("Load default driver file for domain %s", dctx->domain);
    cleanup(dctx->L, "default_driver", nullptr, nullptr);
    const char *dir = cfg_get_scripts_dir();
    const char *name = cfg_get_default_driver_name();
    if (!dir || !name) {
        LOGW("Cannot load default driver - no filename or directory");
        return 1;
    }
    const char *mac = cfg_get_mac_str();
    const char *ipv4 = cfg_get_ipv4();
    if (!mac || !*mac || !ipv4 || !*ipv4) {
        LOGW("Cannot load default driver - no MAC or IP given");
        return 1;
    }
    char path[256];
    snprintf(path, sizeof(path), "%s/%s", dir, name);
    int ref = LUA_NOREF;
    if (run_chunk_ref(dctx->L, "default_driver", nullptr, path, &ref) != 0) return 1;
    init_default_driver(dctx, ref);
    return 0;
}

void domain_code_cb(const char *value, const void *arg) {
    uintptr_t token = (uintptr_t)arg;
    domain_ctx_t *dctx = find_domain_context_by_token(token);
    if (!dctx || dctx->tokens[DOMAIN_TOKEN_CODE] != token) return;
    if (!value) {
        LOGW("No value for subsystem %s", dctx->domain);
        return;
    }
    LOGI("Load default driver script for domain %s", dctx->domain);
    cleanup(dctx->L, "default_driver", nullptr, nullptr);
    int ref = LUA_NOREF;
    if (run_chunk_ref(dctx->L, "default_driver", value, nullptr, &ref) != 0) return;
    dctx = find_domain_context_by_token(token);
    if (!dctx) return;
    init_default_driver(dctx, ref);
}

/* ---- configuration pass ---- */

void configure_one_app(lua_State *L, const char *key) {
    char *code = db_get_sync(ri_conf, "%s", key);
    if (!code) return;
    char *class_name = get_nth_field(key, 2);
    char *app_id = get_nth_field(key, 3);
    if (class_name && app_id) {
        LOGD("configure_app_keys configure for id %s (%s)", app_id, class_name);
        int ref = LUA_NOREF;
        if (run_chunk_ref(L, "app", code, nullptr, &ref) == 0) {
            install_role(L, "app", ref);
            const char *args[] = {class_name, app_id};
            run_role_hook(L, "app", "configure", args, 2, 1);
        }
    }
    free(class_name);
    free(app_id);
    free(code);
}

}  // namespace

void driver_setup_redis_instance(redis_instance_t *conf, redis_instance_t *state) {
    ri_conf = conf;
    ri_state = state;
    lua_state_set_call_watch(transaction_open, call_done);
}

void close_lua_state(lua_State *L, const char *role) {
    if (!L) return;
    if (role)
        cleanup(L, role, nullptr, nullptr);
    else
        release_state_callbacks(L, nullptr, nullptr);
    if (lua_state_is_running(L)) {
        if (defer_callback(close_later, L) == 0) return;
        LOGE("Cannot defer closing the running state %p", (void *)L);
        return;
    }
    finish_close(L);
}

void cleanup(lua_State *L, const char *role, cleanup_done_cb_t done, const void *arg) {
    LOGD("Cleanup start %s", or_null(role));
    if (!L) {
        if (done) done(arg);
        return;
    }
    if (role) {
        role_cleanup rc = {role};
        char err[1024];
        if (lua_state_protected_named(L, role, "cleanup", role_cleanup_body, &rc, err, sizeof(err)) != 0)
            LOGW("cleanup: failed with error #%d: %s", 1, err);
    }
    release_state_callbacks(L, done, arg);
    LOGD("Cleanup end %s", or_null(role));
}

void lua_pcall_safe(lua_State *L, const char *role, const char *hook, const char *text) {
    if (!role || !hook || !text) {
        LOGW("lua pcall: one of the params not given!");
        return;
    }
    LOGD("lua pcall: %s->%s(\"%s\")", role, hook, text);
    const char *args[] = {text};
    hook_call h = {role, hook, args, 1, 0, 0};
    char err[1024];
    int rc = L ? lua_state_protected_named(L, role, hook, hook_body, &h, err, sizeof(err)) : -1;
    if (rc != 0) {
        LOGW("lua pcall: failed with error %s", L ? err : "no script state");
        // A MULTI the hook opened is already gone (call_done); this ends one that was open before it.
        if (transaction_open()) db_discard(ri_state);
    }
    if (L) luamem_check(L);
}

void lua_pcall_driver(device_ctx_t *ctx, const char *json) {
    if (!ctx) return;
    uintptr_t self = ctx->tokens[CTX_TOKEN_SELF];
    lua_pcall_safe(ctx->L_drv, "driver", "command", json);
    // The command may have removed the device.
    ctx = find_device_context_by_token(self);
    if (ctx && ctx->L_drv && luamem_limit_reached(ctx->L_drv)) {
        LOGD("LUA memory limit for driver reached, reload context");
        reset_device_lua_state(ctx);
    }
}

void lua_pcall_driver_selftest(device_ctx_t *ctx, const char *args) {
    if (!ctx) return;
    lua_pcall_safe(ctx->L_drv, "driver", "selftest", args);
}

void lua_pcall_default_driver(domain_ctx_t *dctx, const char *hook, const char *text) {
    if (!dctx) return;
    uintptr_t self = dctx->tokens[DOMAIN_TOKEN_SELF];
    lua_pcall_safe(dctx->L, "default_driver", hook, text);
    dctx = find_domain_context_by_token(self);
    if (dctx && dctx->L && luamem_limit_reached(dctx->L)) {
        LOGD("LUA memory limit for default driver reached, reload context");
        reset_domain_lua_state(dctx);
    }
}

int lua_dostring_safe(lua_State *L, const char *code) {
    if (!code) {
        LOGW("NULL script received");
        return -1;
    }
    if (!L) return -1;
    return run_chunk(L, code, nullptr);
}

int lua_dofile_safe(lua_State *L, const char *path) {
    if (!path) {
        LOGW("NULL path received");
        return -1;
    }
    if (!L) return -1;
    return run_chunk(L, nullptr, path);
}

void load_driver_script(device_ctx_t *ctx) {
    LOGD("load_driver_script");
    if (!ctx) return;
    char key[512];
    snprintf(key, sizeof(key), "driver:%s:code", ctx->driver);
    if (watch_slot(find_device_context_by_token, ri_conf, ctx, &device_ctx_t::drv_code_watch, CTX_TOKEN_DRV_CODE,
                   driver_code_cb, key) != 0)
        LOGW("subscribing to driver script changes failed");
}

int load_default_driver_script(domain_ctx_t *dctx) {
    if (!dctx) return 1;
    if (strcmp(dctx->domain, "LAN") == 0) return load_default_driver_file(dctx);
    char key[512];
    snprintf(key, sizeof(key), "domain:%s:code", dctx->domain);
    watch_slot(find_domain_context_by_token, ri_conf, dctx, &domain_ctx_t::code_watch, DOMAIN_TOKEN_CODE,
               domain_code_cb, key);
    return 0;
}

void set_version(device_ctx_t *ctx) {
    if (!ctx) return;
    LOGD("set_version - Trying to get version of device %s (%s) domain %s", ctx->device_id, ctx->class_name,
         ctx->domain);
    lua_State *L = nullptr;
    const char *role = "driver";
    if (strcmp(ctx->domain, "LAN") != 0) {
        L = ctx->L_drv;
    } else {
        domain_ctx_t *lan = get_domain_context("LAN");
        if (!lan) {
            LOGW("Cannot get sub_ctx for device %s (%s)", ctx->device_id, ctx->class_name);
            return;
        }
        L = lan->L;
        role = "default_driver";
    }
    if (!L) {
        LOGW("Cannot get Lua state for device %s (%s) domain %s", ctx->device_id, ctx->class_name, ctx->domain);
        return;
    }
    LOGD("set_version - get_version from drv_name %s", role);
    uintptr_t self = ctx->tokens[CTX_TOKEN_SELF];
    version_read v = {role, nullptr};
    char err[1024];
    if (lua_state_protected_named(L, role, "get_version", version_body, &v, err, sizeof(err)) != 0) {
        LOGW("Get version failed due to Lua error %s", err);
        return;
    }
    if (!v.version) BRX_OOM_EXIT("ctx->version");
    // The script ran in a state that may have removed this context.
    ctx = find_device_context_by_token(self);
    if (!ctx) {
        free(v.version);
        return;
    }
    LOGD("Version number for device %s(%s) is %s", ctx->device_id, ctx->class_name, v.version);
    db_set_fmt(ri_state, v.version, "device:%s:meta:version", ctx->device_id);
    free(ctx->version);
    ctx->version = v.version;
    luamem_check(L);
}

void check_context_luamem(lua_State *L) {
    if (!L) return;
    luamem_check(L);
    if (luamem_limit_reached(L)) reset_lua_state_owner(L);
}

void configure_app_keys(const void *keys, const void *) {
    LOGD("configure_app_keys");
    lua_State *L = lua_state_new();
    if (!L) BRX_OOM_EXIT("Cannot create lua state to init app");
    open_lualibs(L);
    for (const GSList *it = (const GSList *)keys; it; it = it->next)
        if (it->data) configure_one_app(L, (const char *)it->data);
    close_lua_state(L, nullptr);
}

void device_app_id_changed(const char *app_id, device_ctx_t *ctx) {
    if (!ctx) return;
    const char *old = ctx->loaded_app_id;
    LOGD("Device (%s:%s) app id changed app: '%s' -> '%s'", ctx->device_id, ctx->class_name, or_null(old),
         or_null(app_id));
    // Compared with the app actually loaded: an id recorded at set-up has not been loaded yet.
    if (old && app_id && strcmp(old, app_id) == 0) {
        LOGD("New app id is the same as old app is - returning");
        return;
    }
    uintptr_t self = ctx->tokens[CTX_TOKEN_SELF];
    if (old && *old) {
        end_watch(ri_conf, ctx, &ctx->app_code_watch, CTX_TOKEN_APP_CODE);
        ifttt_cleanup(ctx->ifttt_config_app);
        ctx->ifttt_config_app = nullptr;
        free(ctx->loaded_app_id);
        ctx->loaded_app_id = nullptr;
        cleanup(ctx->L_app, "app", nullptr, nullptr);
        ctx = find_device_context_by_token(self);
        if (!ctx) return;
    }
    free(ctx->app_id);
    ctx->app_id = nullptr;
    if (app_id) {
        ctx->app_id = strdup(app_id);
        if (!ctx->app_id) BRX_OOM_EXIT("ctx->app_id");
    }
    if (!ctx->app_id || !*ctx->app_id) {
        LOGD("New app id is empty, not initilizing");
        return;
    }
    ctx->ifttt_config_app = ifttt_init(ctx, "app");
    if (!ctx->ifttt_config_app) {
        LOGW("Cannot create ifttt_config_app");
        free(ctx->app_id);
        ctx->app_id = nullptr;
        return;
    }
    ctx->loaded_app_id = strdup(ctx->app_id);
    if (!ctx->loaded_app_id) BRX_OOM_EXIT("ctx->loaded_app_id");
    char key[512];
    snprintf(key, sizeof(key), "app:%s:%s:code", ctx->class_name, ctx->app_id);
    if (watch_slot(find_device_context_by_token, ri_conf, ctx, &device_ctx_t::app_code_watch, CTX_TOKEN_APP_CODE,
                   app_code_cb, key) == 0)
        return;
    ctx = find_device_context_by_token(self);
    if (!ctx) return;
    LOGW("Cannot get and subscribe for app:%s:%s:code", ctx->class_name, ctx->app_id);
    ifttt_cleanup(ctx->ifttt_config_app);
    ctx->ifttt_config_app = nullptr;
    free(ctx->loaded_app_id);
    ctx->loaded_app_id = nullptr;
    free(ctx->app_id);
    ctx->app_id = nullptr;
}

int watch_device_app_id(device_ctx_t *ctx) {
    if (!ctx) return -1;
    char key[512];
    snprintf(key, sizeof(key), "device:%s:app", ctx->device_id);
    return watch_slot(find_device_context_by_token, ri_state, ctx, &device_ctx_t::app_id_watch, CTX_TOKEN_APP_ID,
                      app_id_cb, key);
}

void end_device_context_watches(device_ctx_t *ctx) {
    if (!ctx) return;
    end_watch(ri_conf, ctx, &ctx->drv_code_watch, CTX_TOKEN_DRV_CODE);
    end_watch(ri_conf, ctx, &ctx->app_code_watch, CTX_TOKEN_APP_CODE);
    end_watch(ri_state, ctx, &ctx->app_id_watch, CTX_TOKEN_APP_ID);
}

void end_domain_context_watches(domain_ctx_t *dctx) {
    if (!dctx) return;
    end_watch(ri_conf, dctx, &dctx->code_watch, DOMAIN_TOKEN_CODE);
}
