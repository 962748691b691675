#ifndef BRX_SRC_PCB_LUA_PCB_H
#define BRX_SRC_PCB_LUA_PCB_H

/*
 * The script module "pcb": asynchronous calls of gateway functions, observations of gateway
 * objects, and synchronous reads and writes of single gateway parameters, all through the bus
 * bridge (src/pcb/pcb_plugin.h). Loop thread only.
 */

struct lua_State;
typedef struct lua_State lua_State;

/* Registers the global table "pcb", leaves it on the stack, returns 1. */
int open_luapcb(lua_State *L);

#endif
