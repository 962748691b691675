#ifndef BRX_SRC_LUA_API_LUADB_H
#define BRX_SRC_LUA_API_LUADB_H

/* The script module "db": script access to the state Redis instance. Loop thread only. */

#include "src/db.h"

struct lua_State;
typedef struct lua_State lua_State;

typedef void (*cleanup_done_cb_t)(const void *arg);

void luadb_setup_redis_instance(redis_instance_t *conf, redis_instance_t *state);

/* Registers the global table "db", leaves it on the stack, returns 1. */
int open_luadb(lua_State *L);

/*
 * Frees every db record of L. cb(arg) (when given) runs exactly once: at once when L held no
 * subscription, else from the loop after the last unsubscription this caused was confirmed.
 * Always 0.
 */
int cleanup_luadb_callbacks(lua_State *L, cleanup_done_cb_t cb, const void *arg);

#endif
