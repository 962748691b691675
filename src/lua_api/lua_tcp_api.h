#ifndef BRX_SRC_LUA_API_LUA_TCP_API_H
#define BRX_SRC_LUA_API_LUA_TCP_API_H

/*
 * The script module "tcp": TCP client connections to devices that speak JSON over a raw stream;
 * the input is cut into whole objects, each handed to the script as its exact bytes. Loop thread only.
 */

struct event_base;
struct lua_State;
typedef struct lua_State lua_State;

/* Bytes of input one search for the next record looks at; a longer object ends the connection. */
#define LUATCP_RECORD_WINDOW 19999

/* The base new connections go on; until one is set, main_base_get(). Returns 0. */
int luatcp_set_event_base(struct event_base *base);

/* Registers the global table "tcp", leaves it on the stack, returns 1. */
int open_luatcp(lua_State *L);

/* Closes every connection of L without calling it back. */
void cleanup_tcp(lua_State *L);

#endif
