#include "src/lua_api/luadb.h"

#include <lua.hpp>
#include <stdlib.h>
#include <string.h>

#include "common/glib-mini/glib.h"
#include "common/logger/logger.h"
#include "src/device/driver.h"
#include "src/helpers.h"
#include "src/lua_api/lua_state.h"

#define LOG_CATEGORY "lua-db-api"

namespace {

/* One pending db callback or subscription. */
struct db_context_t {
    lua_cb_rec_t rec;
    subscribe_ctx_t *subscribe_ctx;
    get_cb_context_t *asyncget_ctx;
    char *key;
    int is_psubscribe;
    int is_keyspace;
};

/* One per-state cleanup waiting for its unsubscriptions. */
struct cleanup_callbacks_ctx_t {
    unsigned count;
    cleanup_done_cb_t cb;
    const void *arg;
};

redis_instance_t *ri_conf = nullptr;
redis_instance_t *ri_state = nullptr;
lua_cb_registry_t db_records = {};
// Subscription records by kind and key, for the duplicate test across every state: "<kind><key>" -> count.
GHashTable *subscribed_keys = nullptr;

char *subscription_key(int is_psubscribe, int is_keyspace, const char *key) {
    size_t len = strlen(key);
    char *k = (char *)malloc(len + 2);
    if (!k) BRX_OOM_EXIT("No memory for db context key");
    k[0] = (char)('0' + is_psubscribe * 2 + is_keyspace);
    memcpy(k + 1, key, len + 1);
    return k;
}

int key_subscribed(int is_psubscribe, int is_keyspace, const char *key) {
    if (!subscribed_keys) return 0;
    char *k = subscription_key(is_psubscribe, is_keyspace, key);
    int found = g_hash_table_lookup(subscribed_keys, k) != nullptr;
    free(k);
    return found;
}

void count_subscription(const db_context_t *c, int delta) {
    if (!subscribed_keys) subscribed_keys = g_hash_table_new_full(g_str_hash, str_equal, free, nullptr);
    if (!subscribed_keys) BRX_OOM_EXIT("No memory for db context key");
    char *k = subscription_key(c->is_psubscribe, c->is_keyspace, c->key);
    uintptr_t n = (uintptr_t)g_hash_table_lookup(subscribed_keys, k) + (uintptr_t)delta;
    if (n == 0) {
        g_hash_table_remove(subscribed_keys, k);
        free(k);
    } else {
        g_hash_table_insert(subscribed_keys, k, (gpointer)n);
    }
}

db_context_t *new_record(lua_State *L, int callback_ref) {
    db_context_t *c = (db_context_t *)calloc(1, sizeof(*c));
    if (!c) BRX_OOM_EXIT("No memory for db context");
    c->rec.id = lua_cb_new_id();
    c->rec.L = lua_state_main(L);
    c->rec.callback_index = callback_ref;
    c->rec.lua_arg = LUA_REFNIL;
    return c;
}

void copy_key(db_context_t *c, const char *key) {
    c->key = strdup(key);
    if (!c->key) BRX_OOM_EXIT("No memory for db context key");
}

/* The record's memory only; it must already be out of the list and its reference released. */
void dispose(db_context_t *c) {
    free(c->key);
    free(c);
    LOGT("db context cleaned up");
}

void cleanup_done_cb(const char *, const char *, const void *arg) {
    cleanup_callbacks_ctx_t *cleanup = (cleanup_callbacks_ctx_t *)arg;
    if (!cleanup || cleanup->count == 0) return;
    if (--cleanup->count > 0) return;
    if (cleanup->cb) cleanup->cb(cleanup->arg);
    free(cleanup);
}

void free_context(db_context_t *c, cleanup_callbacks_ctx_t *cleanup) {
    LOGD("free_context");
    if (lua_cb_registry_remove(&db_records, c) != 0) {
        LOGW("LUA free_context ctx %p not in the list (already freed) or list is empty", (void *)c);
        return;
    }
    if (c->subscribe_ctx) {
        count_subscription(c, -1);
        if (cleanup) db_subscribe_add_unsubscribe_cb(ri_state, c->subscribe_ctx, cleanup_done_cb, cleanup);
        db_unsubscribe_ex(ri_state, c->subscribe_ctx);
    }
    if (c->asyncget_ctx) db_cancel_async_callback(ri_state, c->asyncget_ctx);
    lua_state_unref(c->rec.L, c->rec.callback_index);
    dispose(c);
}

/* Argument 1 as text; NULL, with nil pushed as the result, when it is empty. */
const char *key_arg(lua_State *L) {
    size_t len = 0;
    const char *key = luaL_checklstring(L, 1, &len);
    if (len > 0) return key;
    lua_pushnil(L);
    return nullptr;
}

int nil_result(lua_State *L) {
    lua_pushnil(L);
    return 1;
}

/* Takes the callback (the last argument) into the registry; LUA_REFNIL when it is nil. */
int take_callback(lua_State *L) {
    int ref = luaL_ref(L, LUA_REGISTRYINDEX);
    if (ref == LUA_REFNIL) LOGW("luaL_ref called for a nil value");
    return ref;
}

/* ---- pushes done inside protected calls ---- */

struct key_value {
    const char *key;
    const char *value;
    int with_key;
};

int push_key_value(lua_State *L, void *ud) {
    key_value *kv = (key_value *)ud;
    int n = 0;
    if (kv->with_key) {
        if (kv->key)
            lua_pushstring(L, kv->key);
        else
            lua_pushnil(L);
        n++;
    }
    if (kv->value)
        lua_pushstring(L, kv->value);
    else
        lua_pushnil(L);
    return n + 1;
}

int push_keys_table(lua_State *L, void *ud) {
    const GSList *keys = (const GSList *)ud;
    lua_newtable(L);
    int n = 0;
    for (const GSList *it = keys; it; it = it->next) {
        if (!it->data) continue;
        lua_pushstring(L, (const char *)it->data);
        lua_rawseti(L, -2, ++n);
    }
    lua_pushinteger(L, n);
    lua_setfield(L, -2, "n");
    return 1;
}

int push_owned_string(lua_State *L, void *ud) {
    const char *s = (const char *)ud;
    if (s)
        lua_pushstring(L, s);
    else
        lua_pushnil(L);
    return 1;
}

void free_string(void *ud) { free(ud); }

void free_key_list(void *ud) {
    GSList *keys = (GSList *)ud;
    for (GSList *it = keys; it; it = it->next) free(it->data);
    g_slist_free(keys);
}

/* ---- engine callbacks ---- */

void db_get_async_callback(const char *value, const void *arg) {
    if (!arg) {
        LOGW("No ctx in lua db_get_async_callback");
        return;
    }
    db_context_t *c = (db_context_t *)lua_cb_registry_find(&db_records, arg);
    if (!c) {
        LOGW("LUA db_get_async_callback ctx %p not in the list (already freed) or list is empty", arg);
        return;
    }
    // One-shot: out of the list before the script runs, so nothing it does can free it twice.
    lua_cb_registry_remove(&db_records, c);
    c->asyncget_ctx = nullptr;
    lua_State *L = c->rec.L;
    key_value kv = {c->key, value, 1};
    lua_state_call_ref_in(LOG_CATEGORY, L, c->rec.callback_index, LUA_REFNIL, 1, push_key_value, &kv,
                          "db_get_async_callback");
    check_context_luamem(L);
    dispose(c);
}

void refused_get_cb(void *arg) { db_get_async_callback(nullptr, arg); }

void db_subscribe_callback(const char *key, const char *value, const void *arg) {
    db_context_t *c = (db_context_t *)lua_cb_registry_find(&db_records, arg);
    if (!c) {
        LOGW("LUA db_subscribe_callback ctx %p not in the list (already freed) or list is empty", arg);
        return;
    }
    // The script may end this very subscription: nothing of the record is used after the call.
    lua_State *L = c->rec.L;
    key_value kv = {key, value, c->is_psubscribe};
    lua_state_call_ref_in(LOG_CATEGORY, L, c->rec.callback_index, LUA_REFNIL, 0, push_key_value, &kv,
                          "db_subscribe_callback");
    check_context_luamem(L);
}

void db_get_keys_callback(const void *data, const void *arg) {
    db_context_t *c = (db_context_t *)lua_cb_registry_find(&db_records, arg);
    if (!c) {
        LOGW("LUA db_get_keys_callback ctx %p not in the list (already freed) or list is empty", arg);
        return;
    }
    lua_cb_registry_remove(&db_records, c);
    lua_State *L = c->rec.L;
    lua_state_call_ref_in(LOG_CATEGORY, L, c->rec.callback_index, LUA_REFNIL, 1, push_keys_table, (void *)data,
                          "db_get_keys_callback");
    check_context_luamem(L);
    dispose(c);
}

/* ---- script functions ---- */

int lua_db_get(lua_State *L) {
    const char *key = key_arg(L);
    if (!key) return 1;
    char *value = db_get_sync(ri_state, "%s", key);
    if (value)
        LOGT("Lua db GET %s = %s", key, value);
    else
        LOGT("Lua db %s = NULL", key);
    lua_state_push_then_release(L, push_owned_string, value, free_string);
    return 1;
}

int lua_db_get_async(lua_State *L) {
    const char *key = key_arg(L);
    if (!key) return 1;
    int ref = take_callback(L);
    if (ref == LUA_REFNIL) return 0;
    db_context_t *c = new_record(L, ref);
    copy_key(c, key);
    lua_cb_registry_add(&db_records, c);
    c->asyncget_ctx = db_get_async(ri_state, db_get_async_callback, LUA_CB_TOKEN(c->rec.id), "%s", c->key);
    // A refused GET still answers, as a missing value, from the loop.
    if (!c->asyncget_ctx && defer_callback(refused_get_cb, LUA_CB_TOKEN(c->rec.id)) != 0) free_context(c, nullptr);
    return 0;
}

int lua_db_set(lua_State *L) {
    const char *key = luaL_checkstring(L, 1);
    const char *value = luaL_checkstring(L, 2);
    if (db_set(ri_state, key, value) < 0) {
        LOGW("Lua db SET %s %s failed", key, value);
        lua_pushboolean(L, 0);
    } else {
        LOGT("Lua db SET %s %s", key, value);
        lua_pushboolean(L, 1);
    }
    return 1;
}

int lua_db_del(lua_State *L) {
    const char *key = luaL_checkstring(L, 1);
    if (db_del(ri_state, key) < 0) {
        LOGW("Lua db DEL %s failed", key);
        lua_pushboolean(L, 0);
    } else {
        LOGT("Lua db DEL %s", key);
        lua_pushboolean(L, 1);
    }
    return 1;
}

int lua_db_publish(lua_State *L) {
    const char *channel = luaL_checkstring(L, 1);
    const char *message = luaL_checkstring(L, 2);
    if (db_publish(ri_state, channel, message) < 0) {
        LOGW("Lua db PUBLISH %s %s failed", channel, message);
        lua_pushboolean(L, 0);
    } else {
        LOGT("Lua db PUBLISH %s", channel);
        lua_pushboolean(L, 1);
    }
    return 1;
}

int lua_db_expire(lua_State *L) {
    int seconds = (int)luaL_checkinteger(L, 1);
    const char *key = luaL_checkstring(L, 2);
    LOGT("Lua db EXPIRE %d %s", seconds, key);
    db_expire(ri_state, (unsigned)seconds, "%s", key);
    return 0;
}

int lua_db_multi(lua_State *L) {
    db_multi(ri_state);
    lua_pushboolean(L, 1);
    return 1;
}

int lua_db_exec(lua_State *L) {
    db_exec(ri_state);
    lua_pushboolean(L, 1);
    return 1;
}

int lua_db_subscribe_common(lua_State *L, int is_psubscribe, int is_keyspace) {
    const char *key = key_arg(L);
    if (!key) return 1;
    if (key_subscribed(is_psubscribe, is_keyspace, key)) {
        LOGD("lua_db_subscribe_common key %s already subscribed", key);
        return nil_result(L);
    }
    int ref = take_callback(L);
    if (ref == LUA_REFNIL) return nil_result(L);
    db_context_t *c = new_record(L, ref);
    copy_key(c, key);
    c->is_psubscribe = is_psubscribe;
    c->is_keyspace = is_keyspace;
    void *token = LUA_CB_TOKEN(c->rec.id);
    if (is_keyspace && is_psubscribe)
        c->subscribe_ctx = db_psubscribe_for_key(ri_state, db_subscribe_callback, token, "%s", c->key);
    else if (is_keyspace)
        c->subscribe_ctx = db_subscribe_for_key(ri_state, db_subscribe_callback, token, "%s", c->key);
    else if (is_psubscribe)
        c->subscribe_ctx = db_psubscribe(ri_state, db_subscribe_callback, token, "%s", c->key);
    else
        c->subscribe_ctx = db_subscribe(ri_state, db_subscribe_callback, token, "%s", c->key);
    if (!c->subscribe_ctx) {
        lua_state_unref(L, ref);
        dispose(c);
        return nil_result(L);
    }
    lua_cb_registry_add(&db_records, c);
    count_subscription(c, 1);
    lua_pushboolean(L, 1);
    return 1;
}

int lua_db_subscribe(lua_State *L) { return lua_db_subscribe_common(L, 0, 0); }
int lua_db_psubscribe(lua_State *L) { return lua_db_subscribe_common(L, 1, 0); }
int lua_db_subscribe_keyspace(lua_State *L) { return lua_db_subscribe_common(L, 0, 1); }
int lua_db_psubscribe_keyspace(lua_State *L) { return lua_db_subscribe_common(L, 1, 1); }

int lua_db_unsubscribe(lua_State *L) {
    const char *key = key_arg(L);
    if (!key) return 1;
    GSList *mine = lua_cb_registry_of_state(&db_records, lua_state_main(L));
    for (GSList *it = mine; it; it = it->next) {
        db_context_t *c = (db_context_t *)it->data;
        if (c->subscribe_ctx && c->key && strcmp(c->key, key) == 0) {
            free_context(c, nullptr);
            break;
        }
    }
    g_slist_free(mine);
    lua_pushboolean(L, 1);
    return 1;
}

/* The records of L that match, in list order; freeing then never walks a list that changes. */
GSList *records_of(lua_State *L, int subscriptions_only) {
    GSList *mine = lua_cb_registry_of_state(&db_records, lua_state_main(L));
    if (!subscriptions_only) return mine;
    GSList *subs = nullptr, *last = nullptr;
    for (GSList *it = mine; it; it = it->next)
        if (((db_context_t *)it->data)->subscribe_ctx) subs = brx_slist_append(subs, &last, it->data);
    g_slist_free(mine);
    return subs;
}

void free_records_of(lua_State *L, int subscriptions_only) {
    GSList *mine = records_of(L, subscriptions_only);
    for (GSList *it = mine; it; it = it->next) free_context((db_context_t *)it->data, nullptr);
    g_slist_free(mine);
}

/* The close routine's hook: what a running state set up after its clean-up ends before lua_close. */
void forget_state(lua_State *L) { free_records_of(L, 0); }

int lua_db_unsubscribeall(lua_State *L) {
    free_records_of(L, 1);
    lua_pushboolean(L, 1);
    return 1;
}

int lua_db_keys(lua_State *L) {
    const char *pattern = key_arg(L);
    if (!pattern) return 1;
    int ref = take_callback(L);
    if (ref == LUA_REFNIL) return nil_result(L);
    db_context_t *c = new_record(L, ref);
    uintptr_t id = c->rec.id;
    // In the list before the call: a local instance answers inside it.
    lua_cb_registry_add(&db_records, c);
    if (db_get_keys(ri_state, db_get_keys_callback, LUA_CB_TOKEN(id), "%s", pattern) < 0) {
        db_context_t *left = (db_context_t *)lua_cb_registry_find(&db_records, LUA_CB_TOKEN(id));
        if (left) free_context(left, nullptr);
        return nil_result(L);
    }
    lua_pushboolean(L, 1);
    return 1;
}

int lua_db_keys_sync(lua_State *L) {
    const char *pattern = key_arg(L);
    if (!pattern) return 1;
    GSList *keys = db_get_keys_sync(ri_state, "%s", pattern);
    lua_state_push_then_release(L, push_keys_table, keys, free_key_list);
    return 1;
}

int lua_db_cleanup(lua_State *L) {
    cleanup_luadb_callbacks(L, nullptr, nullptr);
    return 0;
}

const luaL_Reg db_funcs[] = {
    {"expire", lua_db_expire},
    {"multi", lua_db_multi},
    {"exec", lua_db_exec},
    {"get", lua_db_get},
    {"get_async", lua_db_get_async},
    {"set", lua_db_set},
    {"del", lua_db_del},
    {"publish", lua_db_publish},
    {"subscribe", lua_db_subscribe},
    {"psubscribe", lua_db_psubscribe},
    {"unsubscribe", lua_db_unsubscribe},
    {"unsubscribeall", lua_db_unsubscribeall},
    {"keys", lua_db_keys},
    {"keys_sync", lua_db_keys_sync},
    {"subscribe_keyspace", lua_db_subscribe_keyspace},
    {"psubscribe_keyspace", lua_db_psubscribe_keyspace},
    {"cleanup", lua_db_cleanup},
    {nullptr, nullptr},
};

}  // namespace

void luadb_setup_redis_instance(redis_instance_t *conf, redis_instance_t *state) {
    ri_conf = conf;
    ri_state = state;
}

int open_luadb(lua_State *L) {
    lua_state_add_forget_hook(forget_state);
    luaL_register(L, "db", db_funcs);
    return 1;
}

int cleanup_luadb_callbacks(lua_State *L, cleanup_done_cb_t cb, const void *arg) {
    LOGD("cleanup_luadb_callbacks");
    cleanup_callbacks_ctx_t *cleanup = (cleanup_callbacks_ctx_t *)calloc(1, sizeof(*cleanup));
    if (!cleanup) BRX_OOM_EXIT("No memory for cleanup ctx");
    GSList *subs = records_of(L, 1);
    cleanup->count = g_slist_length(subs);
    g_slist_free(subs);
    cleanup->cb = cb;
    cleanup->arg = arg;

    if (cleanup->count == 0) {
        LOGD("cleanup_luadb_callbacks - empty subscribe list");
        free_records_of(L, 0);
        if (cb) cb(arg);
        free(cleanup);
        return 0;
    }
    GSList *mine = records_of(L, 0);
    for (GSList *it = mine; it; it = it->next) {
        LOGD("cleanup_luadb_callbacks - subscribe list not empty");
        free_context((db_context_t *)it->data, cleanup);
    }
    g_slist_free(mine);
    return 0;
}
