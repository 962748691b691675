#ifndef BRX_SRC_LUA_API_LUA_BASE64_API_H
#define BRX_SRC_LUA_API_LUA_BASE64_API_H

/* The script module "base64": standard-alphabet Base64 with '=' padding, any byte values. */

struct lua_State;
typedef struct lua_State lua_State;

/* Registers the global table "base64", leaves it on the stack, returns 1. */
int open_luabase64(lua_State *L);

#endif
