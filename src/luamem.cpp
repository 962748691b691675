// Placeholder until the memory profiler lands: profiling is off.
#include "src/luamem.h"

void luamem_init(redis_instance_t *, redis_instance_t *) {}
void luamem_set_limit(lua_State *, const char *, const char *) {}
int luamem_check(lua_State *) { return 0; }
int luamem_limit_reached(lua_State *) { return 0; }
void luamem_cleanup(lua_State *) {}
void luamem_replace(lua_State *, lua_State *) {}
