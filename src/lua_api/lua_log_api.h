#ifndef BRX_SRC_LUA_API_LUA_LOG_API_H
#define BRX_SRC_LUA_API_LUA_LOG_API_H

/* The script module "log": script messages into the program log, category "lua". */

struct lua_State;
typedef struct lua_State lua_State;

/* Registers the global table "log", leaves it on the stack, returns 1. */
int open_lualog(lua_State *L);

#endif
