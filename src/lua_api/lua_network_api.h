#ifndef BRX_SRC_LUA_API_LUA_NETWORK_API_H
#define BRX_SRC_LUA_API_LUA_NETWORK_API_H

/*
 * The script module "network": UDP broadcast listeners on fixed ports, a search of the local
 * SSDP daemon's cache, and MD5 of strings. Loop thread only.
 */

struct event_base;
struct lua_State;
typedef struct lua_State lua_State;

/* The SSDP daemon's unix socket. */
#define MINISSDPD_SOCKET_PATH "/var/run/minissdpd.sock"

/* The base the listeners watch their sockets on; 0. */
int luanetwork_set_event_base(struct event_base *base);

/* Registers the global table "network", leaves it on the stack, returns 1. */
int open_luanetwork(lua_State *L);

#endif
