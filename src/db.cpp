#include "src/db.h"

#include <arpa/inet.h>
#include <errno.h>
#include <event2/event.h>
#include <hiredis/async.h>
#include <hiredis/hiredis.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/un.h>
#include <time.h>

#include "common/glib-mini/glib.h"
#include "common/logger/logger.h"
#include "src/db_internal.h"
#include "src/db_local.h"
#include "src/device_cfg.h"
#include "src/helpers.h"

#define LOG_CATEGORY "db"

#define DB_DEFAULT_UNIX_PATH "//tmp//redis.sock"
#define DB_RECONNECT_SECONDS 15

namespace {

GSList *redis_instance_list = nullptr;

enum conn_slot { SLOT_NONE, SLOT_ASYNC, SLOT_SUB_LOCAL, SLOT_SUB_REMOTE };

typedef struct keys_cb_ctx {
    db_callback_t cb;
    const void *arg;
} keys_cb_ctx_t;

const char *name_of(const redis_instance_t *ri) { return ri->name; }

/* hiredis copies at most sizeof(sun_path) - 1 bytes and leaves the last byte unset, so a path must
 * end before it: a longer one would reach whatever path that stray byte makes. */
int unix_path_fits(const char *path) { return strlen(path) < sizeof(((struct sockaddr_un *)nullptr)->sun_path) - 1; }

int no_instance(const char *what) {
    LOGW("%s without a redis instance", what);
    return -1;
}

int null_argument(const redis_instance_t *ri, const char *what) {
    LOGW("(%s instance) %s with a NULL argument", name_of(ri), what);
    return -1;
}

/* An error reply is a failure, never a value: logged, and true. */
bool error_reply(const redis_instance_t *ri, const redisReply *r) {
    if (!r || r->type != REDIS_REPLY_ERROR) return false;
    LOGW("(%s instance) Redis error reply: %s", name_of(ri), r->str);
    return true;
}

const char *reply_text(const redis_instance_t *ri, const redisReply *r) {
    if (!r || error_reply(ri, r)) return nullptr;
    switch (r->type) {
    case REDIS_REPLY_STRING:
    case REDIS_REPLY_STATUS: return r->str;
    case REDIS_REPLY_ARRAY:
        if (r->elements == 2 && r->element[1] &&
            (r->element[1]->type == REDIS_REPLY_STRING || r->element[1]->type == REDIS_REPLY_STATUS))
            return r->element[1]->str;
        return nullptr;
    default: return nullptr;
    }
}

char *copy_text(const char *text) {
    if (!text) return nullptr;
    char *copy = strdup(text);
    BRX_CHECK_MEM(copy);
    return copy;
}

/* ---- connections ---- */

[[noreturn]] void exit_unreachable_local() { exit(2); }

redisContext *sync_connection(redis_instance_t *ri) {
    if (ri->sync_context && !ri->sync_context->err) return ri->sync_context;
    if (ri->sync_context) {
        LOGI("(%s instance) blocking connection broken (%s) - connecting again", name_of(ri), ri->sync_context->errstr);
        redisFree(ri->sync_context);
        ri->sync_context = nullptr;
        // A transaction ends with its connection.
        ri->in_multi = 0;
    }
    redisContext *c = nullptr;
    const char *error = nullptr;
    if (cfg_get_use_port()) {
        LOGI("(%s instance) connect_ip Connecting to 127.0.0.1:%u", name_of(ri), (unsigned)ri->redis_port);
        c = redisConnect("127.0.0.1", ri->redis_port);
    } else {
        LOGI("(%s instance) connect_unix_socket", name_of(ri));
        const char *path = db_get_unix_path(ri);
        if (unix_path_fits(path))
            c = redisConnectUnix(path);
        else
            error = "unix socket path too long";
    }
    if (!error && !c) {
        LOGW("(%s instance) Connection error: can't allocate redis context\n", name_of(ri));
    } else if (error || c->err) {
        LOGW("(%s instance) Connection error: %s", name_of(ri), error ? error : c->errstr);
        if (c) redisFree(c);
        c = nullptr;
    }
    if (!c) {
        // Only a local Redis that was never reached ends the process; a lost one fails the command.
        if (!ri->sync_ever_connected) exit_unreachable_local();
        return nullptr;
    }
    set_cloexec(c->fd);
    ri->sync_context = c;
    ri->sync_ever_connected = 1;
    return c;
}

redis_instance_t *owner_of(const redisAsyncContext *ac, conn_slot *slot) {
    for (GSList *l = redis_instance_list; l; l = l->next) {
        auto *ri = static_cast<redis_instance_t *>(l->data);
        if (ac == ri->remote_async_context || ac == ri->remote_async_dying)
            *slot = SLOT_ASYNC;
        else if (ac == ri->subscribe_async_context)
            *slot = SLOT_SUB_LOCAL;
        else if (ac == ri->subscribe_remote_async_context)
            *slot = SLOT_SUB_REMOTE;
        else
            continue;
        return ri;
    }
    *slot = SLOT_NONE;
    return nullptr;
}

void forget_async(redis_instance_t *ri, const redisAsyncContext *ac) {
    if (ri->remote_async_context == ac) ri->remote_async_context = nullptr;
    if (ri->remote_async_dying == ac) ri->remote_async_dying = nullptr;
}

const char *async_error(const redisAsyncContext *ac) {
    if (ac->errstr && *ac->errstr) return ac->errstr;
    return ac->c.errstr;
}

void on_connect(const redisAsyncContext *ac, int status) {
    conn_slot slot;
    redis_instance_t *ri = owner_of(ac, &slot);
    if (!ri) return;
    if (status == REDIS_OK) {
        if (slot == SLOT_SUB_REMOTE) redisEnableKeepAlive(const_cast<redisContext *>(&ac->c));
        return;
    }
    switch (slot) {
    case SLOT_ASYNC:
        forget_async(ri, ac);
        LOGI("(%s instance) remote async context failed to connect: %s", name_of(ri), async_error(ac));
        break;
    case SLOT_SUB_LOCAL:
        ri->subscribe_async_context = nullptr;
        LOGI("(%s instance) local subscribe async context failed to connect: %s", name_of(ri), async_error(ac));
        exit_unreachable_local();
    case SLOT_SUB_REMOTE:
        ri->subscribe_remote_async_context = nullptr;
        LOGI("(%s instance) remote subscribe async context failed to connect: %s", name_of(ri), async_error(ac));
        db_sub_connection_lost(ri);
        // Handles queued on the failed connection must not stay dead.
        db_schedule_reconnect(ri);
        break;
    default: break;
    }
}

void on_disconnect(const redisAsyncContext *ac, int status) {
    conn_slot slot;
    redis_instance_t *ri = owner_of(ac, &slot);
    if (!ri) return;
    switch (slot) {
    case SLOT_ASYNC:
        forget_async(ri, ac);
        LOGI("(%s instance) remote async context disconnected", name_of(ri));
        break;
    case SLOT_SUB_LOCAL:
        ri->subscribe_async_context = nullptr;
        LOGI("(%s instance) local subscribe async context disconnected", name_of(ri));
        exit_unreachable_local();
    case SLOT_SUB_REMOTE:
        ri->subscribe_remote_async_context = nullptr;
        LOGI("(%s instance) remote subscribe async context disconnected ", name_of(ri));
        db_sub_connection_lost(ri);
        break;
    default: break;
    }
    if (status != REDIS_OK && !ri->use_local_db) {
        LOGW("(%s instance) redis disconnected with error: %s - schedule reconnect", name_of(ri), async_error(ac));
        db_schedule_reconnect(ri);
    }
}

/* A new asynchronous connection: the unix socket of a local instance, else TCP to the master. */
redisAsyncContext *open_async(redis_instance_t *ri) {
    if (!ri->event_base) {
        LOGW("(%s instance) no event base for an asynchronous connection", name_of(ri));
        return nullptr;
    }
    redisAsyncContext *ac;
    if (ri->use_local_db) {
        LOGI("(%s instance) connect_async_unix Connecting", name_of(ri));
        const char *path = db_get_unix_path(ri);
        if (!unix_path_fits(path)) {
            LOGW("(%s instance) Error: %s", name_of(ri), "unix socket path too long");
            exit_unreachable_local();
        }
        ac = redisAsyncConnectUnix(path);
        const int error = errno;
        if (!ac) {
            LOGW("(%s instance) Connection error: can't allocate redis context\n", name_of(ri));
            exit_unreachable_local();
        }
        if (ac->err) {
            LOGW("(%s instance) Error: %s", name_of(ri), ac->errstr);
            // Out of descriptors, the local Redis is still there: only this command fails.
            const bool no_descriptor = ac->err == REDIS_ERR_IO && (error == EMFILE || error == ENFILE);
            redisAsyncFree(ac);
            if (no_descriptor) return nullptr;
            exit_unreachable_local();
        }
    } else {
        if (ri->master_ip == 0 && ri->master_port == 0) {
            ri->master_ip = htonl(INADDR_LOOPBACK);
            ri->master_port = ri->redis_port & 0xffff;
        }
        char ip[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &ri->master_ip, ip, sizeof ip);
        LOGI("(%s instance) connect_async_host connecting to %s:%u", name_of(ri), ip, (unsigned)ri->master_port);
        ac = redisAsyncConnect(ip, ri->master_port);
        if (!ac) {
            LOGW("(%s instance) Connection error: can't allocate redis context\n", name_of(ri));
            return nullptr;
        }
        if (ac->err) {
            LOGW("(%s instance) Error: %s", name_of(ri), ac->errstr);
            redisAsyncFree(ac);
            return nullptr;
        }
    }
    set_cloexec(ac->c.fd);
    db_attach_events(ac, ri->event_base);
    redisAsyncSetConnectCallback(ac, on_connect);
    redisAsyncSetDisconnectCallback(ac, on_disconnect);
    return ac;
}

redisAsyncContext *async_connection(redis_instance_t *ri) {
    redisAsyncContext *ac = ri->remote_async_context;
    if (ac && (ac->c.flags & (REDIS_DISCONNECTING | REDIS_FREEING))) {
        // A reply callback of a connection being torn down issues a command: give it a fresh one.
        ri->remote_async_dying = ac;
        ri->remote_async_context = nullptr;
        ac = nullptr;
    }
    if (!ac) ri->remote_async_context = ac = open_async(ri);
    return ac;
}

void reconnect_tick(evutil_socket_t, short, void *arg) {
    auto *rc = static_cast<reconnect_ctx_t *>(arg);
    redis_instance_t *ri = rc->ri;
    if (ri->subscribe_remote_async_context) {
        LOGI("(%s instance) reconnect_timer_callback - end trying", name_of(ri));
        event_free(rc->timer);
        ri->reconnect = nullptr;
        free(rc);
        return;
    }
    LOGI("(%s instance) reconnect_timer_callback - try to connect_async_host_subscribe ", name_of(ri));
    if (!db_sub_connection(ri)) LOGD("(%s instance) cannot connect_async_host_subscribe", name_of(ri));
}

/* The master moved: later commands and every live subscription go to the new one. */
void move_to_new_master(redis_instance_t *ri) {
    redisAsyncContext *ac = ri->remote_async_context;
    redisAsyncContext *sac = ri->subscribe_remote_async_context;
    if (!ac && !sac) return;
    LOGI("(%s instance) master changed - closing the remote connections", name_of(ri));
    ri->remote_async_context = nullptr;
    ri->subscribe_remote_async_context = nullptr;
    if (ac) redisAsyncFree(ac);
    if (sac) {
        db_sub_connection_lost(ri);
        redisAsyncFree(sac);
    }
    if (db_sub_has_live_handles(ri)) db_sub_connection(ri);
}

/* ---- blocking commands ---- */

/* Runs one blocking command; NULL (after the ERROR line) when no reply came. */
redisReply *sync_command(redis_instance_t *ri, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
redisReply *sync_command(redis_instance_t *ri, const char *fmt, ...) {
    redisContext *c = sync_connection(ri);
    if (!c) {
        LOGE("Redis command failed - error %d %s", REDIS_ERR_IO, "no connection");
        return nullptr;
    }
    va_list ap;
    va_start(ap, fmt);
    auto *r = static_cast<redisReply *>(redisvCommand(c, fmt, ap));
    va_end(ap);
    if (!r || c->err) {
        LOGE("Redis command failed - error %d %s", c->err, c->errstr);
        if (r) freeReplyObject(r);
        return nullptr;
    }
    return r;
}

/* Blocking command whose text result is kept: a heap copy or NULL. */
char *sync_text(redis_instance_t *ri, redisReply *r) {
    char *out = copy_text(reply_text(ri, r));
    if (r) freeReplyObject(r);
    return out;
}

long long sync_integer(redis_instance_t *ri, redisReply *r) {
    long long v = -1;
    if (r && r->type == REDIS_REPLY_INTEGER) v = r->integer;
    else error_reply(ri, r);
    if (r) freeReplyObject(r);
    return v;
}

char *sync_get(redis_instance_t *ri, const char *key) {
    LOGT("(%s)(sync) GET %s", name_of(ri), key);
    return sync_text(ri, sync_command(ri, "GET %s", key));
}

/* ---- asynchronous commands ---- */

void get_async_reply(redisAsyncContext *, void *reply, void *privdata) {
    auto *g = static_cast<get_cb_context_t *>(privdata);
    redis_instance_t *ri = g->ri;
    if (!reply) LOGW("get async failed");
    LOGT("GET async callback");
    ri->pending_gets = g_slist_remove(ri->pending_gets, g);
    if (g->deleted)
        LOGD("GET async callback (key %s) deleted - not calling callback", g->key);
    else if (g->cb_func)
        g->cb_func(reply_text(ri, static_cast<redisReply *>(reply)), g->cb_arg);
    free(g->key);
    free(g);
}

get_cb_context_t *get_async_key(redis_instance_t *ri, db_value_callback_t cb, const void *cb_arg, const char *key) {
    LOGT("(%s)(async) GET %s", name_of(ri), key);
    redisAsyncContext *ac = async_connection(ri);
    if (!ac) return nullptr;
    auto *g = static_cast<get_cb_context_t *>(calloc(1, sizeof(get_cb_context_t)));
    BRX_CHECK_MEM(g);
    g->cb_func = cb;
    g->cb_arg = cb_arg;
    g->ri = ri;
    g->key = copy_text(key);
    if (redisAsyncCommand(ac, get_async_reply, g, "GET %s", key) != REDIS_OK) {
        LOGI("(%s instance) GET %s failed", name_of(ri), key);
        free(g->key);
        free(g);
        return nullptr;
    }
    ri->pending_gets = g_slist_append(ri->pending_gets, g);
    return g;
}

get_cb_context_t *get_key(redis_instance_t *ri, db_value_callback_t cb, const void *cb_arg, const char *key) {
    if (!ri->use_local_db) return get_async_key(ri, cb, cb_arg, key);
    char *value = sync_get(ri, key);
    if (cb) cb(value, cb_arg);
    free(value);
    return nullptr;
}

/* The non-empty key strings of a KEYS reply in reply order; the strings are the reply's own. */
GSList *reply_keys(const redisReply *r) {
    if (r->type != REDIS_REPLY_ARRAY) return nullptr;
    GSList *list = nullptr, *last = nullptr;
    for (size_t i = 0; i < r->elements; i++) {
        const redisReply *e = r->element[i];
        if (e && e->type == REDIS_REPLY_STRING && e->len > 0) list = brx_slist_append(list, &last, e->str);
    }
    return list;
}

/* The keys of r as heap copies; r is freed. */
GSList *reply_key_copies(redisReply *r) {
    GSList *list = reply_keys(r);
    for (GSList *l = list; l; l = l->next) l->data = copy_text(static_cast<const char *>(l->data));
    freeReplyObject(r);
    return list;
}

void keys_deliver(db_callback_t cb, const void *arg, const redisReply *r) {
    LOGD("db_get_keys_callback");
    GSList *list = nullptr;
    if (!r)
        LOGW("no reply in callback");
    else
        list = reply_keys(r);
    if (cb) cb(list, arg);
    g_slist_free(list);
}

void keys_async_reply(redisAsyncContext *, void *reply, void *privdata) {
    auto *k = static_cast<keys_cb_ctx_t *>(privdata);
    keys_deliver(k->cb, k->arg, static_cast<redisReply *>(reply));
    free(k);
}

/* Fire-and-forget: hiredis reads and drops the reply. */
int async_forget(redis_instance_t *ri, const char *cmd, const char *a, const char *b) {
    redisAsyncContext *ac = async_connection(ri);
    if (!ac) return -1;
    int rc = b ? redisAsyncCommand(ac, nullptr, nullptr, "%s %s %s", cmd, a, b)
               : redisAsyncCommand(ac, nullptr, nullptr, "%s %s", cmd, a);
    if (rc == REDIS_OK) return 0;
    if (strcmp(cmd, "PUBLISH") == 0)
        LOGD("(%s instance) PUBLISH %s %s failed", name_of(ri), a, b);
    else if (b)
        LOGW("(%s instance) %s %s %s failed!", name_of(ri), cmd, a, b);
    else
        LOGW("(%s instance) %s %s failed!", name_of(ri), cmd, a);
    return -1;
}

int set_key_sync(redis_instance_t *ri, const char *key, const char *value) {
    LOGD("(%s instance) (sync) SET %s %s", name_of(ri), key, value);
    char *text = sync_text(ri, sync_command(ri, "SET %s %s", key, value));
    int rc = text ? 0 : -1;
    free(text);
    return rc;
}

int del_key_sync(redis_instance_t *ri, const char *key) {
    LOGD("(%s instance) (sync) DEL %s", name_of(ri), key);
    return (int)sync_integer(ri, sync_command(ri, "DEL %s", key));
}

int set_key(redis_instance_t *ri, const char *key, const char *value) {
    if (!key || !value) return null_argument(ri, "SET");
    if (!ri->use_local_db) {
        LOGD("(%s instance) (async) SET %s %s", name_of(ri), key, value);
        return async_forget(ri, "SET", key, value);
    }
    return set_key_sync(ri, key, value);
}

int del_key(redis_instance_t *ri, const char *key) {
    if (!key) return null_argument(ri, "DEL");
    if (!ri->use_local_db) {
        LOGD("(%s instance) (async) DEL %s", name_of(ri), key);
        return async_forget(ri, "DEL", key, nullptr);
    }
    return del_key_sync(ri, key);
}

int publish(redis_instance_t *ri, const char *channel, const char *message) {
    if (!channel || !message) return null_argument(ri, "PUBLISH");
    return async_forget(ri, "PUBLISH", channel, message);
}

void sync_drop(redis_instance_t *ri, const char *cmd) {
    redisReply *r = sync_command(ri, "%s", cmd);
    error_reply(ri, r);
    if (r) freeReplyObject(r);
}

}  // namespace

/* ---- instances ---- */

redis_instance_t *db_create_redis_instance(const char *name) {
    if (!name) {
        LOGW("Cannot create redis instance with empty name");
        return nullptr;
    }
    auto *ri = static_cast<redis_instance_t *>(calloc(1, sizeof(redis_instance_t)));
    if (!ri) BRX_OOM_EXIT("Cannot create DB context");
    ri->name = copy_text(name);
    redis_instance_list = g_slist_append(redis_instance_list, ri);
    return ri;
}

void db_delete_redis_instance(redis_instance_t *ri) {
    if (!ri || !g_slist_find(redis_instance_list, ri)) return;
    db_sub_destroy_all(ri);
    // Once out of the list no hiredis callback finds the instance any more.
    redis_instance_list = g_slist_remove(redis_instance_list, ri);
    redisAsyncContext *conns[] = {ri->remote_async_context, ri->remote_async_dying, ri->subscribe_async_context,
                                  ri->subscribe_remote_async_context};
    ri->remote_async_context = ri->remote_async_dying = nullptr;
    ri->subscribe_async_context = ri->subscribe_remote_async_context = nullptr;
    for (redisAsyncContext *ac : conns)
        if (ac) redisAsyncFree(ac);
    for (GSList *l = ri->pending_gets; l; l = l->next) {
        auto *g = static_cast<get_cb_context_t *>(l->data);
        free(g->key);
        free(g);
    }
    g_slist_free(ri->pending_gets);
    if (ri->reconnect) {
        event_free(ri->reconnect->timer);
        free(ri->reconnect);
    }
    if (ri->sync_context) redisFree(ri->sync_context);
    free(ri->redis_unix_path);
    free(ri->name);
    free(ri);
}

void db_set_is_local(redis_instance_t *ri, int flag) {
    if (!ri) return;
    ri->use_local_db = flag ? 1 : 0;
    LOGD("redis_instance %s is local - %s", name_of(ri), flag ? "true" : "false");
}

int db_is_local(const redis_instance_t *ri) { return ri && ri->use_local_db ? 1 : 0; }

void db_set_unix_path(redis_instance_t *ri, const char *path) {
    if (!ri) return;
    free(ri->redis_unix_path);
    ri->redis_unix_path = copy_text(path);
}

const char *db_get_unix_path(const redis_instance_t *ri) {
    return ri && ri->redis_unix_path ? ri->redis_unix_path : DB_DEFAULT_UNIX_PATH;
}

void db_set_redis_port(redis_instance_t *ri, int port) {
    if (ri) ri->redis_port = port;
}

int db_set_event_base(redis_instance_t *ri, struct event_base *base) {
    if (!ri) return no_instance("db_set_event_base");
    if (ri->release_ev && ri->event_base != base) {
        event_free(ri->release_ev);
        ri->release_ev = nullptr;
    }
    ri->event_base = base;
    return 0;
}

int db_set_master(redis_instance_t *ri, uint32_t ip, int port) {
    if (!ri) return no_instance("db_set_master");
    LOGD("(%s instance) db_set_master ip %u, port %u", name_of(ri), ip, (unsigned)port);
    int32_t new_port = port & 0xffff;
    int changed = ri->master_ip != ip || ri->master_port != new_port;
    ri->master_ip = ip;
    ri->master_port = new_port;
    char dotted[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &ip, dotted, sizeof dotted);
    config_set_local("redisip", dotted);
    if (changed && !ri->use_local_db) move_to_new_master(ri);
    return 0;
}

/* ---- shared with the subscription side ---- */

int db_vformat(const redis_instance_t *ri, const char *what, char *buf, size_t size, const char *fmt, va_list ap) {
    if (!ri) return no_instance(what);
    if (!fmt) return null_argument(ri, what);
    vsnprintf(buf, size, fmt, ap);
    return 0;
}

redisAsyncContext *db_sub_connection_current(const redis_instance_t *ri) {
    return ri->use_local_db ? ri->subscribe_async_context : ri->subscribe_remote_async_context;
}

redisAsyncContext *db_sub_connection(redis_instance_t *ri) {
    redisAsyncContext **slot = ri->use_local_db ? &ri->subscribe_async_context : &ri->subscribe_remote_async_context;
    if (*slot) return *slot;
    redisAsyncContext *ac = open_async(ri);
    if (!ac) {
        if (!ri->use_local_db && db_sub_has_live_handles(ri)) db_schedule_reconnect(ri);
        return nullptr;
    }
    *slot = ac;
    db_sub_connection_opened(ri, ac);
    return ac;
}

void db_schedule_reconnect(redis_instance_t *ri) {
    // One timer per instance is enough: each tick retries until the connection stays.
    if (ri->use_local_db || ri->reconnect) return;
    if (!ri->event_base) {
        LOGW("(%s instance) no event base for the reconnect timer", name_of(ri));
        return;
    }
    LOGI("(%s instance) Redis has disconnected - schedule subscribe reconnection", name_of(ri));
    auto *rc = static_cast<reconnect_ctx_t *>(calloc(1, sizeof(reconnect_ctx_t)));
    if (!rc) BRX_OOM_EXIT("No memory to create reconnect ctx");
    rc->ri = ri;
    rc->timer = event_new(ri->event_base, -1, EV_PERSIST, reconnect_tick, rc);
    if (!rc->timer) BRX_OOM_EXIT("ctx->timer");
    struct timeval tv = {DB_RECONNECT_SECONDS, 0};
    event_add(rc->timer, &tv);
    ri->reconnect = rc;
}

int db_wait_subscribed(redis_instance_t *ri) {
    if (!ri) return no_instance("db_wait_subscribed");
    const int kLimitMs = 5000;
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    while (ri->sub_unconfirmed > 0) {
        redisAsyncContext *ac = db_sub_connection_current(ri);
        if (!ac) {
            LOGW("(%s instance) subscriptions not confirmed: no subscription connection", name_of(ri));
            return -1;
        }
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long spent = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (spent >= kLimitMs) {
            LOGW("(%s instance) %u subscriptions not confirmed in time", name_of(ri), ri->sub_unconfirmed);
            return -1;
        }
        // The commands wait in hiredis's output buffer until written; the replies go through the
        // ordinary dispatch, as they would from the loop.
        const bool pending_out = !(ac->c.flags & REDIS_CONNECTED) || (ac->c.obuf && ac->c.obuf[0]);
        struct pollfd p = {ac->c.fd, (short)(POLLIN | (pending_out ? POLLOUT : 0)), 0};
        if (poll(&p, 1, (int)(kLimitMs - spent)) <= 0) continue;
        if (p.revents & POLLOUT) redisAsyncHandleWrite(ac);
        if (db_sub_connection_current(ri) == ac && (p.revents & (POLLIN | POLLHUP | POLLERR))) redisAsyncHandleRead(ac);
    }
    return 0;
}

/* ---- commands ---- */

int db_set(redis_instance_t *ri, const char *key, const char *value) {
    if (!ri) return no_instance("db_set");
    return set_key(ri, key, value);
}

int db_set_fmt(redis_instance_t *ri, const char *value, const char *fmt, ...) {
    DB_FORMAT_OR_RETURN(ri, "SET", key, DB_KEY_LEN, fmt, -1);
    return set_key(ri, key, value);
}

int db_del(redis_instance_t *ri, const char *key) {
    if (!ri) return no_instance("db_del");
    return del_key(ri, key);
}

int db_del_fmt(redis_instance_t *ri, const char *fmt, ...) {
    DB_FORMAT_OR_RETURN(ri, "DEL", key, DB_KEY_LEN, fmt, -1);
    return del_key(ri, key);
}

get_cb_context_t *db_get(redis_instance_t *ri, db_value_callback_t cb, const void *cb_arg, const char *fmt, ...) {
    DB_FORMAT_OR_RETURN(ri, "GET", key, DB_KEY_LEN, fmt, nullptr);
    return get_key(ri, cb, cb_arg, key);
}

get_cb_context_t *db_get_async(redis_instance_t *ri, db_value_callback_t cb, const void *cb_arg, const char *fmt,
                               ...) {
    DB_FORMAT_OR_RETURN(ri, "GET", key, DB_KEY_LEN, fmt, nullptr);
    return get_async_key(ri, cb, cb_arg, key);
}

void db_cancel_async_callback(redis_instance_t *ri, get_cb_context_t *handle) {
    if (!ri || !handle) return;
    if (!g_slist_find(ri->pending_gets, handle)) {
        LOGD("(%s instance) GET %p no longer pending - nothing to cancel", name_of(ri), (void *)handle);
        return;
    }
    handle->deleted = 1;
}

int db_get_keys(redis_instance_t *ri, db_callback_t cb, const void *arg, const char *fmt, ...) {
    DB_FORMAT_OR_RETURN(ri, "KEYS", pattern, DB_KEY_LEN, fmt, -1);
    if (ri->use_local_db) {
        LOGD("(%s instance) (sync) GET KEYS %s", name_of(ri), pattern);
        redisReply *r = sync_command(ri, "KEYS %s", pattern);
        error_reply(ri, r);
        keys_deliver(cb, arg, r);
        if (r) freeReplyObject(r);
        return 0;
    }
    LOGD("(%s instance) (async) GET KEYS %s", name_of(ri), pattern);
    redisAsyncContext *ac = async_connection(ri);
    if (!ac) return -1;
    auto *k = static_cast<keys_cb_ctx_t *>(calloc(1, sizeof(keys_cb_ctx_t)));
    BRX_CHECK_MEM(k);
    k->cb = cb;
    k->arg = arg;
    if (redisAsyncCommand(ac, keys_async_reply, k, "KEYS %s", pattern) != REDIS_OK) {
        LOGD("(%s instance) GET KEYS %s failed", name_of(ri), pattern);
        free(k);
        return -1;
    }
    return 0;
}

char *db_get_sync(redis_instance_t *ri, const char *fmt, ...) {
    DB_FORMAT_OR_RETURN(ri, "GET", key, DB_KEY_LEN, fmt, nullptr);
    return sync_get(ri, key);
}

GSList *db_get_keys_sync(redis_instance_t *ri, const char *fmt, ...) {
    if (ri && !ri->use_local_db) {
        LOGW("Cannot get keys sync");
        return nullptr;
    }
    DB_FORMAT_OR_RETURN(ri, "KEYS", pattern, DB_KEY_LEN, fmt, nullptr);
    LOGD("(%s instance) (sync) GET KEYS %s", name_of(ri), pattern);
    redisReply *r = sync_command(ri, "KEYS %s", pattern);
    if (!r) {
        LOGW("no reply in callback");
        return nullptr;
    }
    error_reply(ri, r);
    return reply_key_copies(r);
}

void db_expire(redis_instance_t *ri, unsigned sec, const char *fmt, ...) {
    DB_FORMAT_OR_RETURN(ri, "EXPIRE", key, DB_EXPIRE_KEY_LEN, fmt, );
    LOGD("(%s instance) (sync) EXPIRE %s %u", name_of(ri), key, sec);
    redisReply *r = sync_command(ri, "EXPIRE %s %u", key, sec);
    if (r) freeReplyObject(r);
}

void db_multi(redis_instance_t *ri) {
    if (!ri) return;
    // Any reply means a transaction is open: a nested MULTI is refused inside the open one.
    redisReply *r = sync_command(ri, "%s", "MULTI");
    if (!r) return;
    ri->in_multi = 1;
    error_reply(ri, r);
    freeReplyObject(r);
}

void db_exec(redis_instance_t *ri) {
    if (!ri) return;
    sync_drop(ri, "EXEC");
    ri->in_multi = 0;
}

int db_exec_checked(redis_instance_t *ri) {
    if (!ri) return no_instance("db_exec_checked");
    redisReply *r = sync_command(ri, "%s", "EXEC");
    ri->in_multi = 0;
    if (!r) return -1;
    // An array is a transaction that ran; each of its commands may still have failed on its own.
    int rc = r->type == REDIS_REPLY_ARRAY ? 0 : -1;
    if (rc < 0 && !error_reply(ri, r)) LOGW("(%s instance) EXEC did not run the transaction", name_of(ri));
    for (size_t i = 0; rc == 0 && i < r->elements; i++)
        if (error_reply(ri, r->element[i])) rc = -1;
    freeReplyObject(r);
    return rc;
}

void db_discard(redis_instance_t *ri) {
    if (!ri) return;
    // Its reply is dropped unread: "without MULTI" is no failure of the caller's.
    redisReply *r = sync_command(ri, "%s", "DISCARD");
    if (r) freeReplyObject(r);
    ri->in_multi = 0;
}

int db_in_transaction(const redis_instance_t *ri) { return ri && ri->in_multi ? 1 : 0; }

int db_publish(redis_instance_t *ri, const char *channel, const char *message) {
    if (!ri) return no_instance("db_publish");
    return publish(ri, channel, message);
}

int db_publish_fmt(redis_instance_t *ri, const char *message, const char *channel_fmt, ...) {
    DB_FORMAT_OR_RETURN(ri, "PUBLISH", channel, DB_KEY_LEN, channel_fmt, -1);
    LOGD("(%s instance) db_publish_fmt channel %s, message %s", name_of(ri), channel, message ? message : "(null)");
    return publish(ri, channel, message);
}

int db_publish_sync(redis_instance_t *ri, const char *channel, const char *message) {
    if (!ri) return no_instance("db_publish_sync");
    if (!channel || !message) return null_argument(ri, "PUBLISH");
    LOGD("(%s instance) (sync) PUBLISH %s %s", name_of(ri), channel, message);
    return sync_integer(ri, sync_command(ri, "PUBLISH %s %s", channel, message)) >= 0 ? 0 : -1;
}

int db_set_sync(redis_instance_t *ri, const char *key, const char *value) {
    if (!ri) return no_instance("db_set_sync");
    if (!key || !value) return null_argument(ri, "SET");
    return set_key_sync(ri, key, value);
}

int db_del_sync(redis_instance_t *ri, const char *key) {
    if (!ri) return no_instance("db_del_sync");
    if (!key) return null_argument(ri, "DEL");
    return del_key_sync(ri, key) >= 0 ? 0 : -1;
}

int db_keys_sync(redis_instance_t *ri, GSList **keys, const char *fmt, ...) {
    *keys = nullptr;
    DB_FORMAT_OR_RETURN(ri, "KEYS", pattern, DB_KEY_LEN, fmt, -1);
    LOGD("(%s instance) (sync) KEYS %s", name_of(ri), pattern);
    redisReply *r = sync_command(ri, "KEYS %s", pattern);
    if (!r) return -1;
    if (r->type != REDIS_REPLY_ARRAY) {
        error_reply(ri, r);
        freeReplyObject(r);
        return -1;
    }
    *keys = reply_key_copies(r);
    return 0;
}

long long db_incr(redis_instance_t *ri, const char *fmt, ...) {
    DB_FORMAT_OR_RETURN(ri, "INCR", key, DB_EXPIRE_KEY_LEN, fmt, -1);
    return sync_integer(ri, sync_command(ri, "INCR %s", key));
}

long long db_llen(redis_instance_t *ri, const char *fmt, ...) {
    DB_FORMAT_OR_RETURN(ri, "LLEN", key, DB_KEY_LEN, fmt, -1);
    return sync_integer(ri, sync_command(ri, "LLEN %s", key));
}

char *db_lpop(redis_instance_t *ri, const char *fmt, ...) {
    DB_FORMAT_OR_RETURN(ri, "LPOP", key, DB_KEY_LEN, fmt, nullptr);
    return sync_text(ri, sync_command(ri, "LPOP %s", key));
}

int db_rpush(redis_instance_t *ri, const char *value, const char *fmt, ...) {
    DB_FORMAT_OR_RETURN(ri, "RPUSH", key, DB_KEY_LEN, fmt, -1);
    if (!value) return null_argument(ri, "RPUSH");
    return sync_integer(ri, sync_command(ri, "RPUSH %s %s", key, value)) >= 0 ? 0 : -1;
}
