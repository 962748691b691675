#ifndef BRX_SRC_LUA_API_LUA_COAP_API_H
#define BRX_SRC_LUA_API_LUA_COAP_API_H

/*
 * The script module "coap": get, post, put and delete over coap:// and coaps://, each request on a
 * worker thread of the CoAP client, its results brought back to the loop through a pipe of its own
 * and handed to the script's callback. Loop thread only.
 */

struct event_base;
struct lua_State;
typedef struct lua_State lua_State;

int luacoap_set_event_base(struct event_base *base);

/* Registers the global table "coap", leaves it on the stack, returns 1. */
int open_luacoap(lua_State *L);

#endif
