#ifndef BRX_SRC_LUA_API_LUA_HTTP_API_H
#define BRX_SRC_LUA_API_LUA_HTTP_API_H

/*
 * The script module "http": asynchronous HTTP(S) requests through the HTTP client (get, delete,
 * subscribe, get_chunked, post, put, post_multipart, soap, cancel_all_requests) and small plain
 * HTTP servers whose requests a script function answers (start, stop). Loop thread only.
 */

struct event_base;
struct lua_State;
typedef struct lua_State lua_State;

/* The base the script servers run on; 0. */
int luahttp_set_event_base(struct event_base *base);

/* Registers the global table "http", leaves it on the stack, returns 1. */
int open_luahttp(lua_State *L);

#endif
