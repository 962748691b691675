#ifndef BRX_SRC_DEVICE_DRIVER_H
#define BRX_SRC_DEVICE_DRIVER_H

/*
 * Script roles (`driver`, `app`, `default_driver`): where their code comes from, loading and
 * reloading, the hook-call convention, the role clean-up and the one close routine of script
 * states. Loop thread only.
 */

#include "src/db.h"
#include "src/device/context.h"
#include "src/lua_api/luadb.h"

struct lua_State;
typedef struct lua_State lua_State;

/* Also installs the watch around every call into a state that discards a MULTI the call left open. */
void driver_setup_redis_instance(redis_instance_t *conf, redis_instance_t *state);

/*
 * The one way a script state is closed: the role clean-up (role may be NULL: then only the
 * state's timers, connections and db callbacks end), every module's forget hook, lua_close.
 * A state that is running is closed from a fresh loop turn instead.
 */
void close_lua_state(lua_State *L, const char *role);

/* The role clean-up; done(arg) runs exactly once when the state's db unsubscriptions completed. */
void cleanup(lua_State *L, const char *role, cleanup_done_cb_t done, const void *arg);

/* <role>.<hook>(text), protected; a failure is logged. A MULTI left open by any call into a state
 * (hook, callback or chunk) is discarded after it: see driver_setup_redis_instance. */
void lua_pcall_safe(lua_State *L, const char *role, const char *hook, const char *text);
void lua_pcall_driver(device_ctx_t *ctx, const char *json);
void lua_pcall_driver_selftest(device_ctx_t *ctx, const char *args);
void lua_pcall_default_driver(domain_ctx_t *dctx, const char *hook, const char *text);

/* Compile and run a chunk; 0 with its results left on the stack, or -1. */
int lua_dostring_safe(lua_State *L, const char *code);
int lua_dofile_safe(lua_State *L, const char *path);

/* Gets and watches "driver:<driver>:code"; a repeated call replaces the context's watch. */
void load_driver_script(device_ctx_t *ctx);
/* 0, or 1 when the "LAN" file could not be loaded. */
int load_default_driver_script(domain_ctx_t *dctx);
void set_version(device_ctx_t *ctx);
/* After a script callback: rebuilds the owner of L when L reached its memory limit. */
void check_context_luamem(lua_State *L);
/* KEYS reply of "app:*:code" (a db_callback_t): runs each app's configure in one temporary state. */
void configure_app_keys(const void *keys, const void *arg);
/* A new value of "device:<device_id>:app" (NULL when absent). */
void device_app_id_changed(const char *app_id, device_ctx_t *ctx);
/* Gets and watches "device:<device_id>:app" into device_app_id_changed; replaces the context's watch. 0 or -1. */
int watch_device_app_id(device_ctx_t *ctx);

/* Ends every watch the context holds (used when it is destroyed). */
void end_device_context_watches(device_ctx_t *ctx);
void end_domain_context_watches(domain_ctx_t *dctx);

#endif
