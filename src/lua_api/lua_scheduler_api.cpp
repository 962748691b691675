#include "src/lua_api/lua_scheduler_api.h"

#include <string.h>

#include <lua.hpp>

#include "common/logger/logger.h"
#include "src/device/context.h"
#include "src/scheduler.h"

#define LOG_CATEGORY "lua_schedulerapi"

namespace {

struct event_base *sched_base = nullptr;

/* The scheduler of the device's context, or NULL (no context, or none made for it). */
scheduler_ctx_t *scheduler_of(const char *device_id) {
    device_ctx_t *ctx = get_device_context(device_id);
    return ctx ? ctx->scheduler_ctx : nullptr;
}

int key_is(lua_State *L, int idx, const char *name) {
    size_t len = 0;
    const char *key = lua_tolstring(L, idx, &len);
    return len == strlen(name) && memcmp(key, name, len) == 0;
}

/* The text of the value on top, anchored in slot so that it outlives the walk; not a text: left. */
void keep_text(lua_State *L, int slot) {
    if (!lua_isstring(L, -1)) return;
    // A number is converted on a copy: the table's own value stays as it is.
    lua_pushvalue(L, -1);
    lua_tostring(L, -1);
    lua_replace(L, slot);
}

/* add_entry(device_id, {day = d, time = "H:M", command = "<command list>"}) */
int lua_sched_add_entry(lua_State *L) {
    const char *device_id = luaL_checkstring(L, 1);
    device_ctx_t *ctx = get_device_context(device_id);
    if (!lua_istable(L, 2)) return 0;
    lua_settop(L, 2);
    const int time_slot = 3, command_slot = 4;
    lua_pushnil(L);
    lua_pushnil(L);
    int day = -1;
    lua_pushnil(L);
    while (lua_next(L, 2)) {
        // Only string keys are compared: converting a numeric key in place would break lua_next.
        if (lua_type(L, -2) == LUA_TSTRING) {
            if (key_is(L, -2, "day"))
                day = (int)lua_tointeger(L, -1);
            else if (key_is(L, -2, "time"))
                keep_text(L, time_slot);
            else if (key_is(L, -2, "command"))
                keep_text(L, command_slot);
        }
        lua_pop(L, 1);
    }
    const char *time = lua_tostring(L, time_slot);
    const char *command = lua_tostring(L, command_slot);
    if (day == -1 || !time || !command || !ctx) {
        LOGD("schedapi_add_entry %s: no entry added", device_id);
        return 0;
    }
    scheduler_add_day_entry(ctx->scheduler_ctx, day, time, command);
    return 0;
}

int lua_sched_cleanup(lua_State *L) {
    const char *device_id = luaL_checkstring(L, 1);
    LOGD("schedapi_cleanup %s", device_id);
    scheduler_ctx_t *s = scheduler_of(device_id);
    if (s) scheduler_cleanup(s);
    return 0;
}

int lua_sched_start(lua_State *L) {
    const char *device_id = luaL_checkstring(L, 1);
    LOGD("schedapi_start %s", device_id);
    scheduler_ctx_t *s = scheduler_of(device_id);
    if (!s) {
        LOGW("Cannot find ctx for id %s", device_id);
        return 0;
    }
    scheduler_start(s);
    return 0;
}

int lua_sched_add_minutes_randomness(lua_State *L) {
    const char *device_id = luaL_checkstring(L, 1);
    lua_Integer minutes = luaL_checkinteger(L, 2);
    LOGD("schedapi_add_minutes_randomness %s", device_id);
    scheduler_ctx_t *s = scheduler_of(device_id);
    // A negative maximum means no offset, not the largest one.
    if (s) scheduler_randomize_minutes(s, minutes < 0 ? 0u : (unsigned)(minutes > 59 ? 59 : minutes));
    return 0;
}

const luaL_Reg scheduler_funcs[] = {
    {"add_entry", lua_sched_add_entry},
    {"cleanup", lua_sched_cleanup},
    {"start", lua_sched_start},
    {"add_minutes_randomness", lua_sched_add_minutes_randomness},
    {nullptr, nullptr},
};

}  // namespace

int luascheduler_set_event_base(struct event_base *base) {
    sched_base = base;
    return 0;
}

int open_luascheduler(lua_State *L) {
    luaL_register(L, "device_scheduler", scheduler_funcs);
    return 1;
}
