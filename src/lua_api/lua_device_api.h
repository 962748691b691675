#ifndef BRX_SRC_LUA_API_LUA_DEVICE_API_H
#define BRX_SRC_LUA_API_LUA_DEVICE_API_H

/* The script module "device": default drivers register, delete and set up devices and send gateway actions. */

struct lua_State;
typedef struct lua_State lua_State;

/* Registers the global table "device", leaves it on the stack, returns 1. */
int open_luadevice(lua_State *L);

#endif
