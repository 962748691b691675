#ifndef BRX_SRC_LUA_API_LUA_HTTP_API_H
#define BRX_SRC_LUA_API_LUA_HTTP_API_H

/*
 * The script module "http": asynchronous HTTP(S) requests through the HTTP client (get, delete,
 * subscribe, get_chunked, post, put, post_multipart, soap, cancel_all_requests) and small plain
 * HTTP servers whose requests a script function answers (start, stop). A server refuses a header
 * block over 64 KiB (431) and a body over 1 MiB (413), closes a connection that has not sent a
 * whole request within 60 s, and all servers together hold at most 256 connections. Loop thread only.
 */

struct event_base;
struct lua_State;
typedef struct lua_State lua_State;

/* The base the script servers run on; 0. */
int luahttp_set_event_base(struct event_base *base);

/* Registers the global table "http", leaves it on the stack, returns 1. */
int open_luahttp(lua_State *L);

/*
 * Ends every script-server connection still open and frees the servers that kept them: the
 * tear-down, once the script states are closed. A server that a script still runs is stopped.
 */
void luahttp_destroy(void);

/* How long a script server waits for a request's headers and body (60 s); tests shorten it. */
void luahttp_set_request_timeout_ms(int ms);

#endif
