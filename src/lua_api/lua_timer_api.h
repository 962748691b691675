#ifndef BRX_SRC_LUA_API_LUA_TIMER_API_H
#define BRX_SRC_LUA_API_LUA_TIMER_API_H

/* The script module "timer": named one-shot timers on the event loop. Loop thread only. */

struct event_base;
struct lua_State;
typedef struct lua_State lua_State;

/* The base new timers go on; until one is set, main_base_get(). Returns 0. */
int timer_set_event_base(struct event_base *base);

/* Registers the global table "timer", leaves it on the stack, returns 1. */
int open_luatimer(lua_State *L);

/* Ends every pending timer of L without calling it. */
void cleanup_timer(lua_State *L);

#endif
