#ifndef BRX_SRC_LUA_API_LUA_ALLOC_H
#define BRX_SRC_LUA_API_LUA_ALLOC_H

/*
 * The allocator of the script states (a lua_Alloc). Most of what a state holds are blocks of a few
 * dozen bytes (strings, closures, table parts); malloc adds a header and rounds each of them up, a
 * third again over what Lua asked for. Lua always tells the size of a block it hands back, so small
 * blocks come from free lists per size (8-byte steps) carved from large chunks, with no header.
 * Chunks are kept for the life of the process: blocks a closed state gave back serve the next ones.
 * Larger blocks go to malloc. Loop thread only, like every script state.
 */

#include <stddef.h>

/*
 * A state's own record, the allocator's user data (shared by the state and its coroutines): what it
 * holds, the limit a script set, and whether the script holds the collector. The allocator never
 * collects (unsafe inside it with this Lua); near the limit, and after any refused or failed growth,
 * it asks through arm for a collection at the next safe point.
 */
typedef struct lua_state_mem {
    size_t heap;       /* bytes Lua holds: its own count */
    size_t limit;      /* 0: none; growth that would reach it is refused */
    int blocked;       /* the script stopped the collector */
    int collecting;    /* inside a collection of ours: its finalizers ask for none */
    int closing;       /* lua_close runs: neither limit nor collections any more */
    int refuse_next;   /* the next growth is refused: a memory error raised on purpose */
    size_t collect_at; /* the heap at which a collection on demand is due */
    int armed;         /* arm was called and has not been answered yet */
    void (*arm)(struct lua_state_mem *m);
    void *owner;   /* the main state */
    void *running; /* the coroutine that coroutine.resume runs now, or NULL */
} lua_state_mem_t;

/* ud: NULL or a lua_state_mem_t. */
void *lua_state_alloc(void *ud, void *ptr, size_t osize, size_t nsize);

/* Bytes of the chunks mapped so far, and of them the bytes no state holds. */
size_t lua_state_alloc_pool_bytes(void);
size_t lua_state_alloc_free_bytes(void);

#endif
