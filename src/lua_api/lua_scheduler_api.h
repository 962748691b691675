#ifndef BRX_SRC_LUA_API_LUA_SCHEDULER_API_H
#define BRX_SRC_LUA_API_LUA_SCHEDULER_API_H

/*
 * The script module "device_scheduler": a script fills and starts the weekly scheduler of a device
 * context, found by the device id. Loop thread only.
 */

struct event_base;
struct lua_State;
typedef struct lua_State lua_State;

/* Kept for the module; the scheduler has its own base. 0. */
int luascheduler_set_event_base(struct event_base *base);

/* Registers the global table "device_scheduler", leaves it on the stack, returns 1. */
int open_luascheduler(lua_State *L);

#endif
