#include "src/lua_api/lua_timer_api.h"

#include <event2/event.h>
#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <lua.hpp>

#include "common/glib-mini/glib.h"
#include "common/glib-mini/gsource.h"
#include "common/logger/logger.h"
#include "src/device/driver.h"
#include "src/lua_api/lua_state.h"

#define LOG_CATEGORY "lua_api_timer"

namespace {

const int DELAY_INDEX = 2;

/* One pending timer. */
struct timer_context {
    lua_cb_rec_t rec;
    char *timer_name;
    struct event *timer;
};

struct event_base *timer_base = nullptr;
lua_cb_registry_t timer_records = {};

struct event_base *current_base() { return timer_base ? timer_base : main_base_get(); }

/* ms as a whole number of milliseconds the timer can be armed with, or -1 (NaN included). */
int whole_ms(double ms) {
    if (!(ms >= 0.0 && ms <= (double)INT_MAX)) return -1;
    return (int)ms;
}

/* The delay argument in milliseconds, or -1 when it is not valid. */
int read_delay(lua_State *L) {
    if (lua_isnumber(L, DELAY_INDEX)) {
        int ms = whole_ms(trunc(lua_tonumber(L, DELAY_INDEX)));
        if (ms >= 0) LOGT("the value at the index %d (timerDelay) is number - delay = %dms", DELAY_INDEX, ms);
        return ms;
    }
    size_t len = 0;
    const char *text = luaL_checklstring(L, DELAY_INDEX, &len);
    if (len == 0) return -1;
    LOGT("the value at the index %d (timerDelay) is a string", DELAY_INDEX);
    char *end = nullptr;
    double value = strtod(text, &end);
    double unit = 0;
    switch (*end) {
    case 's':
    case 'S':
        unit = 1000.0;
        break;
    case 'm':
    case 'M':
        unit = 60000.0;
        break;
    default:
        LOGW("spec (timerDelay) unknown unit");
        return -1;
    }
    return whole_ms(round(value * unit));
}

int checked_delay(lua_State *L) {
    int ms = read_delay(L);
    if (ms < 0) LOGW("spec (timerDelay) value error");
    return ms;
}

/* The callback (last argument) and the extra argument before it into the registry. */
bool take_refs(lua_State *L, const char *nil_text, int *cb_ref, int *arg_ref) {
    int cb = luaL_ref(L, LUA_REGISTRYINDEX);
    if (cb == LUA_REFNIL) {
        LOGW("%s", nil_text);
        return false;
    }
    *cb_ref = cb;
    *arg_ref = luaL_ref(L, LUA_REGISTRYINDEX);
    return true;
}

int push_false(lua_State *L) {
    lua_pushboolean(L, 0);
    return 1;
}

void arm(timer_context *t, int ms) {
    struct timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    if (event_add(t->timer, &tv) != 0) BRX_OOM_EXIT("Cannot arm lua timer");
}

/* The record's own memory; it is out of the list and its references are released. */
void dispose(timer_context *t) {
    event_free(t->timer);
    free(t->timer_name);
    free(t);
    LOGT("timer context cleaned up");
}

void free_context(timer_context *t) {
    if (lua_cb_registry_remove(&timer_records, t) != 0) {
        LOGD("LUA timer ctx %p not in the list (already freed) or list is empty", (void *)t);
        return;
    }
    lua_state_unref(t->rec.L, t->rec.callback_index);
    lua_state_unref(t->rec.L, t->rec.lua_arg);
    dispose(t);
}

void timer_callback(evutil_socket_t, short, void *token) {
    timer_context *t = (timer_context *)lua_cb_registry_find(&timer_records, token);
    if (!t) {
        LOGW("LUA timer_callback ctx %p not in the list (already freed) or list is empty", token);
        return;
    }
    // Out of the list first: the script may reset or delete its own name, or close its state.
    lua_cb_registry_remove(&timer_records, t);
    lua_State *L = t->rec.L;
    char name[320];
    snprintf(name, sizeof(name), "timer_callback [%.256s]", t->timer_name ? t->timer_name : "unknown");
    lua_state_call_ref_in(LOG_CATEGORY, L, t->rec.callback_index, t->rec.lua_arg, 1, nullptr, nullptr, name);
    check_context_luamem(L);
    dispose(t);
}

void start_timer(lua_State *L, const char *name, int ms, int cb_ref, int arg_ref) {
    timer_context *t = (timer_context *)calloc(1, sizeof(*t));
    if (!t) BRX_OOM_EXIT("No memory for timer context");
    t->rec.id = lua_cb_new_id();
    t->rec.L = lua_state_main(L);
    t->rec.callback_index = cb_ref;
    t->rec.lua_arg = arg_ref;
    t->timer_name = strdup(name);
    if (!t->timer_name) BRX_OOM_EXIT("No memory for timer name");
    LOGT("Lua timer start %s (%dms)", name, ms);
    t->timer = evtimer_new(current_base(), timer_callback, LUA_CB_TOKEN(t->rec.id));
    if (!t->timer) BRX_OOM_EXIT("Cannot create lua timer");
    arm(t, ms);
    lua_cb_registry_add(&timer_records, t);
}

/* This state's oldest pending timer of that name. */
timer_context *find_named(lua_State *L, const char *name) {
    for (const GSList *it = lua_cb_registry_peek_state(&timer_records, lua_state_main(L)); it; it = it->next) {
        timer_context *t = (timer_context *)it->data;
        if (strcmp(t->timer_name, name) == 0) return t;
    }
    return nullptr;
}

void free_records_of(lua_State *L) {
    GSList *mine = lua_cb_registry_of_state(&timer_records, L);
    for (GSList *it = mine; it; it = it->next) free_context((timer_context *)it->data);
    g_slist_free(mine);
}

int lua_timer_start(lua_State *L) {
    LOGT("Lua timer is starting...");
    const char *name = luaL_checkstring(L, 1);
    int ms = checked_delay(L);
    if (ms < 0) return push_false(L);
    int cb_ref = LUA_REFNIL, arg_ref = LUA_REFNIL;
    if (!take_refs(L, "start - timer callback is nil", &cb_ref, &arg_ref)) return push_false(L);
    // The name stays reachable: on the stack, or in the registry as the extra argument.
    start_timer(L, name, ms, cb_ref, arg_ref);
    return 0;
}

int lua_timer_reset(lua_State *L) {
    LOGT("Lua timer reset...");
    const char *name = luaL_checkstring(L, 1);
    int ms = checked_delay(L);
    if (ms < 0) return push_false(L);
    int cb_ref = LUA_REFNIL, arg_ref = LUA_REFNIL;
    if (!take_refs(L, "reset - timer callback is nil", &cb_ref, &arg_ref)) return push_false(L);
    LOGT("Timer reset %s", name);
    timer_context *t = find_named(L, name);
    if (!t) {
        LOGD("timer reset - context not found %s", name);
        start_timer(L, name, ms, cb_ref, arg_ref);
        return 0;
    }
    lua_state_unref(L, t->rec.callback_index);
    lua_state_unref(L, t->rec.lua_arg);
    t->rec.callback_index = cb_ref;
    t->rec.lua_arg = arg_ref;
    event_del(t->timer);
    arm(t, ms);
    LOGT("timer reset - context found %s", name);
    return 0;
}

int lua_timer_delete(lua_State *L) {
    const char *name = luaL_checkstring(L, 1);
    LOGD("Timer delete %s", name);
    timer_context *t = find_named(L, name);
    if (t) {
        LOGD("timer delete - context found %s", name);
        free_context(t);
    }
    return 0;
}

const luaL_Reg timer_funcs[] = {
    {"start", lua_timer_start},
    {"reset", lua_timer_reset},
    {"delete", lua_timer_delete},
    {nullptr, nullptr},
};

}  // namespace

int timer_set_event_base(struct event_base *base) {
    timer_base = base;
    return 0;
}

int open_luatimer(lua_State *L) {
    lua_state_add_forget_hook(free_records_of);
    luaL_register(L, "timer", timer_funcs);
    return 1;
}

void cleanup_timer(lua_State *L) {
    free_records_of(L);
    LOGD("All lua timers for stoped lua VM");
}
