#ifndef BRX_SRC_LUA_API_LUA_WS_API_H
#define BRX_SRC_LUA_API_LUA_WS_API_H

/*
 * The script module "ws": WebSocket clients ("ws://" and "wss://") whose messages, errors, closes
 * and accepted handshakes call script functions (init_client, connect, close, send, ping,
 * destroy). A client lives until the script destroys it or its state is closed. Loop thread only.
 */

struct event_base;
struct lua_State;
typedef struct lua_State lua_State;

/* The base the clients' connections run on; 0. */
int luaws_set_event_base(struct event_base *base);

/* Registers the global table "ws", leaves it on the stack, returns 1. */
int open_luaws(lua_State *L);

#endif
