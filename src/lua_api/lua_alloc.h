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

void *lua_state_alloc(void *ud, void *ptr, size_t osize, size_t nsize);

/* Bytes of the chunks taken from malloc so far, and of them the bytes no state holds. */
size_t lua_state_alloc_pool_bytes(void);
size_t lua_state_alloc_free_bytes(void);

#endif
