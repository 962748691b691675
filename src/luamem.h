#ifndef BRX_SRC_LUAMEM_H
#define BRX_SRC_LUAMEM_H

/*
 * Script memory profiler: samples the heap of every profiled script state after each entry into
 * it, compares the latest sample with a per-state limit from Redis and tells callers when a state
 * must be rebuilt. Loop thread only.
 */

#include "src/db.h"

struct lua_State;
typedef struct lua_State lua_State;

void luamem_init(redis_instance_t *ri_state, redis_instance_t *ri_conf);
/* For -l: the settings are read and applied once and nothing is watched, so that only the
 * script's own work keeps the loop running. */
void luamem_init_once(redis_instance_t *ri_state, redis_instance_t *ri_conf);
/* Finds or creates the entry of L and reads its limit; class NULL for default-driver states. */
void luamem_set_limit(lua_State *L, const char *class_name, const char *domain);
/* Takes a sample and returns it; 0 while profiling is off. */
int luamem_check(lua_State *L);
/* 1 when L must be rebuilt. */
int luamem_limit_reached(lua_State *L);
/* Removes the entry of L. */
void luamem_cleanup(lua_State *L);
/* The entry of old_L now profiles new_L, history and limit kept. */
void luamem_replace(lua_State *old_L, lua_State *new_L);

#endif
