#include <event2/event.h>
#include <hiredis/async.h>
#include <hiredis/hiredis.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/glib-mini/glib.h"
#include "common/logger/logger.h"
#include "src/db.h"
#include "src/db_internal.h"

#define LOG_CATEGORY "db"

struct db_get_and_subscribe_ctx {
    subscribe_ctx_t *subscribe_ctx;
    const void *subscribe_arg;
    char *key_name;
    db_value_callback_t get_value_callback;
    get_cb_context_t *first_read; /* pending first read of a remote instance */
    /* A remote watch made again on a new connection reads its key again: a change while it was
     * not subscribed is otherwise lost. */
    char *last_value;             /* the value last delivered (NULL: absent) */
    int delivered;
    int reread_wanted;            /* read again once the new subscription is confirmed */
    get_cb_context_t *reread;
};

namespace {

/* One keyspace read of a remote instance, waiting for its value. */
typedef struct keyspace_read {
    subscribe_ctx_t *ctx;
    char *key;
    get_cb_context_t *get;
} keyspace_read_t;

const char *subscribe_cmd(const subscribe_ctx_t *ctx) { return ctx->is_psubscribe ? "PSUBSCRIBE" : "SUBSCRIBE"; }

uint64_t made_count = 0;

/* ---- the index: channel or pattern text -> the handles of that feed ---- */

void free_feed(gpointer data) {
    auto *feed = static_cast<sub_feed_t *>(data);
    g_slist_free(feed->handles);
    free(feed->name);
    free(feed);
}

GHashTable *new_table(GHashFunc hash, GEqualFunc equal, GDestroyNotify value_destroy) {
    GHashTable *t = g_hash_table_new_full(hash, equal, nullptr, value_destroy);
    if (!t) BRX_OOM_EXIT("subscription index");
    return t;
}

gboolean text_equal(gconstpointer a, gconstpointer b) {
    return strcmp(static_cast<const char *>(a), static_cast<const char *>(b)) == 0;
}

sub_feed_t *feed_of(const redis_instance_t *ri, const char *name, int pattern) {
    GHashTable *t = ri->feeds[pattern ? 1 : 0];
    return t ? static_cast<sub_feed_t *>(g_hash_table_lookup(t, name)) : nullptr;
}

void index_handle(redis_instance_t *ri, subscribe_ctx_t *ctx) {
    int kind = ctx->is_psubscribe ? 1 : 0;
    if (!ri->feeds[kind]) ri->feeds[kind] = new_table(g_str_hash, text_equal, free_feed);
    sub_feed_t *feed = feed_of(ri, ctx->channel, kind);
    if (!feed) {
        feed = static_cast<sub_feed_t *>(calloc(1, sizeof(sub_feed_t)));
        BRX_CHECK_MEM(feed);
        feed->name = strdup(ctx->channel);
        BRX_CHECK_MEM(feed->name);
        feed->pattern = kind;
        g_hash_table_insert(ri->feeds[kind], feed->name, feed);
    }
    feed->handles = brx_slist_append(feed->handles, &feed->last, ctx);
    feed->count++;
    ctx->feed = feed;
    // Sent just now: its SUBSCRIBE is the latest of the feed.
    feed->transport = ctx;
    ctx->made_seq = ++made_count;
    ri->subscribe_ctx_list = brx_islist_append(ri->subscribe_ctx_list, &ri->subscribe_ctx_index, ctx);
}

void unindex_handle(redis_instance_t *ri, subscribe_ctx_t *ctx) {
    ri->subscribe_ctx_list = brx_islist_remove(ri->subscribe_ctx_list, &ri->subscribe_ctx_index, ctx);
    sub_feed_t *feed = ctx->feed;
    if (feed->transport == ctx) feed->transport = nullptr;
    feed->handles = brx_slist_remove(feed->handles, &feed->last, ctx);
    if (--feed->count == 0) g_hash_table_remove(ri->feeds[feed->pattern], feed->name);
    ctx->feed = nullptr;
}

int known_handle(const redis_instance_t *ri, const subscribe_ctx_t *ctx) {
    return brx_islist_has(&ri->subscribe_ctx_index, ctx);
}

int known_watch(const redis_instance_t *ri, const db_get_and_subscribe_ctx_t *watch) {
    return brx_islist_has(&ri->getandsub_ctx_index, watch);
}

void forget_watch(redis_instance_t *ri, db_get_and_subscribe_ctx_t *watch) {
    ri->getandsub_ctx_list = brx_islist_remove(ri->getandsub_ctx_list, &ri->getandsub_ctx_index, watch);
}

int send_subscribe(redis_instance_t *ri, redisAsyncContext *ac, subscribe_ctx_t *ctx) {
    // The instance, not the handle, rides with the command: hiredis hands every reply of a channel the
    // private data of its latest SUBSCRIBE, which may belong to a handle released since.
    if (redisAsyncCommand(ac, db_sub_reply, ri, "%s %s", subscribe_cmd(ctx), ctx->channel) != REDIS_OK) {
        LOGW("(%s instance) %s for channel %s failed!", ri->name, subscribe_cmd(ctx), ctx->channel);
        return -1;
    }
    ctx->sent_seq = ++ri->sub_seq;
    if (ctx->feed) ctx->feed->transport = ctx;
    ri->sub_unconfirmed++;
    return 0;
}

void cancel_reads(redis_instance_t *ri, subscribe_ctx_t *ctx) {
    for (GSList *l = ctx->reads; l; l = l->next) {
        auto *rd = static_cast<keyspace_read_t *>(l->data);
        db_cancel_async_callback(ri, rd->get);
        free(rd->key);
        free(rd);
    }
    g_slist_free(ctx->reads);
    ctx->reads = nullptr;
}

/* The handle of the latest SUBSCRIBE of this feed that is still live. */
subscribe_ctx_t *transport_handle(sub_feed_t *feed) {
    if (!feed) return nullptr;
    if (feed->transport && !feed->transport->releasing) return feed->transport;
    subscribe_ctx_t *best = nullptr;
    for (GSList *l = feed->handles; l; l = l->next) {
        auto *ctx = static_cast<subscribe_ctx_t *>(l->data);
        if (ctx->releasing) continue;
        if (!best || ctx->sent_seq > best->sent_seq) best = ctx;
    }
    feed->transport = best;
    return best;
}

void complete_release(redis_instance_t *ri, subscribe_ctx_t *ctx) {
    LOGD("(%s instance) Removing ctx %p", ri->name, (void *)ctx);
    unindex_handle(ri, ctx);
    if (ctx->unsubscribe_callback) ctx->unsubscribe_callback(ctx->channel, nullptr, ctx->unsubscribe_arg);
    free(ctx->channel);
    free(ctx);
}

void release_turn(evutil_socket_t, short, void *arg) {
    auto *ri = static_cast<redis_instance_t *>(arg);
    while (ri->release_queue) {
        auto *ctx = static_cast<subscribe_ctx_t *>(ri->release_queue->data);
        ri->release_queue = brx_slist_remove(ri->release_queue, &ri->release_queue_last, ctx);
        complete_release(ri, ctx);
    }
}

/* Completes a release on the next loop turn, never inside the releasing call. */
void queue_release(redis_instance_t *ri, subscribe_ctx_t *ctx) {
    ctx->awaiting_unsub = 0;
    ri->release_queue = brx_slist_append(ri->release_queue, &ri->release_queue_last, ctx);
    if (!ri->event_base) {
        LOGW("(%s instance) no event base to complete the release of ctx %p", ri->name, (void *)ctx);
        return;
    }
    if (!ri->release_ev) {
        ri->release_ev = event_new(ri->event_base, -1, 0, release_turn, ri);
        if (!ri->release_ev) BRX_OOM_EXIT("ri->release_ev");
    }
    event_active(ri->release_ev, EV_TIMEOUT, 0);
}

void release_handle(redis_instance_t *ri, subscribe_ctx_t *ctx) {
    ctx->releasing = 1;
    cancel_reads(ri, ctx);
    LOGD("(%s instance) db_unsubscribe_ex (ctx %p), channel %s", ri->name, (void *)ctx, ctx->channel);
    redisAsyncContext *ac = db_sub_connection_current(ri);
    // Redis holds one subscription per channel: only the last handle of a channel ends it.
    if (ctx->sent_seq && ac && !transport_handle(ctx->feed)) {
        const char *cmd = ctx->is_psubscribe ? "PUNSUBSCRIBE" : "UNSUBSCRIBE";
        if (redisAsyncCommand(ac, db_sub_reply, ri, "%s %s", cmd, ctx->channel) == REDIS_OK) {
            ctx->awaiting_unsub = 1;
            return;
        }
        LOGW("(%s instance) %s for channel %s failed!", ri->name, cmd, ctx->channel);
    }
    queue_release(ri, ctx);
}

void remote_read_done(const char *value, const void *arg) {
    auto *rd = static_cast<keyspace_read_t *>(const_cast<void *>(arg));
    subscribe_ctx_t *ctx = rd->ctx;
    ctx->reads = g_slist_remove(ctx->reads, rd);
    if (ctx->key_value_callback)
        ctx->key_value_callback(rd->key, value, ctx->arg);
    else
        LOGD("No ctx or no ctx->key_value_callback ");
    free(rd->key);
    free(rd);
}

void deliver_keyspace(redis_instance_t *ri, subscribe_ctx_t *ctx, const char *channel, const char *event) {
    if (event && (strcmp(event, "del") == 0 || strcmp(event, "expire") == 0)) {
        LOGD("(%s instance) Reply type is \"%s\" - do not run get callback (mess %s)", ri->name, event, channel);
        return;
    }
    const char *key = strncmp(channel, DB_KEYSPACE_PREFIX, DB_KEYSPACE_PREFIX_LEN) == 0
                          ? channel + DB_KEYSPACE_PREFIX_LEN
                          : channel;
    if (ri->use_local_db) {
        char *value = db_get_sync(ri, "%s", key);
        if (ctx->key_value_callback)
            ctx->key_value_callback(key, value, ctx->arg);
        else
            LOGD("No ctx or no ctx->key_value_callback ");
        free(value);
        return;
    }
    auto *rd = static_cast<keyspace_read_t *>(calloc(1, sizeof(keyspace_read_t)));
    BRX_CHECK_MEM(rd);
    rd->ctx = ctx;
    rd->key = strdup(key);
    BRX_CHECK_MEM(rd->key);
    rd->get = db_get_async(ri, remote_read_done, rd, "%s", key);
    if (!rd->get) {
        LOGW("(%s instance) cannot read key %s after its change", ri->name, key);
        free(rd->key);
        free(rd);
        return;
    }
    ctx->reads = g_slist_append(ctx->reads, rd);
}

void deliver(redis_instance_t *ri, subscribe_ctx_t *ctx, const char *channel, const char *message) {
    if (ctx->keyspace) {
        deliver_keyspace(ri, ctx, channel, message);
    } else if (ctx->key_value_callback) {
        ctx->key_value_callback(channel, message, ctx->arg);
    } else {
        LOGD("No ctx or no ctx->key_value_callback ");
    }
}

/* The transport's handle first, then every other handle of the feed in list order. */
void fan_out(redis_instance_t *ri, const char *name, int pattern, const char *channel, const char *message) {
    sub_feed_t *feed = feed_of(ri, name, pattern);
    subscribe_ctx_t *first = transport_handle(feed);
    if (!first) {
        if (feed)
            LOGD("(%s instance) message on %s while its handles are released", ri->name, name);
        else
            LOGW("db_subscribe_callback - No ctx");
        return;
    }
    LOGT("Got ctx %p", (void *)first);
    if (feed->count == 1) {
        deliver(ri, first, channel, message);
        return;
    }
    // Callbacks may subscribe and release; a snapshot keeps the walk stable, and no handle is freed
    // before the loop's next turn.
    auto **targets = static_cast<subscribe_ctx_t **>(malloc(feed->count * sizeof(subscribe_ctx_t *)));
    BRX_CHECK_MEM(targets);
    size_t count = 0;
    targets[count++] = first;
    for (GSList *l = feed->handles; l; l = l->next) {
        auto *ctx = static_cast<subscribe_ctx_t *>(l->data);
        if (ctx != first && !ctx->releasing) targets[count++] = ctx;
    }
    for (size_t i = 0; i < count; i++)
        if (!targets[i]->releasing) deliver(ri, targets[i], channel, message);
    free(targets);
}

void unsubscribed(redis_instance_t *ri, const char *name, int pattern) {
    sub_feed_t *feed = feed_of(ri, name, pattern);
    GSList *done = nullptr, *last = nullptr;
    for (GSList *l = feed ? feed->handles : nullptr; l; l = l->next) {
        auto *ctx = static_cast<subscribe_ctx_t *>(l->data);
        if (ctx->awaiting_unsub) done = brx_slist_append(done, &last, ctx);
    }
    for (GSList *l = done; l; l = l->next) complete_release(ri, static_cast<subscribe_ctx_t *>(l->data));
    g_slist_free(done);
}

/* "__keyspace@0__:<key>", cut like every other channel. */
void keyspace_channel(char *out, size_t size, const char *key) {
    size_t len = strnlen(key, size - DB_KEYSPACE_PREFIX_LEN - 1);
    memcpy(out, DB_KEYSPACE_PREFIX, DB_KEYSPACE_PREFIX_LEN);
    memcpy(out + DB_KEYSPACE_PREFIX_LEN, key, len);
    out[DB_KEYSPACE_PREFIX_LEN + len] = '\0';
}

const char *element_string(const redisReply *e) { return e && e->type == REDIS_REPLY_STRING ? e->str : nullptr; }

subscribe_ctx_t *subscribe_channel(redis_instance_t *ri, db_key_value_callback_t cb, const void *arg,
                                   const char *channel, int pattern, int keyspace, int merge) {
    redisAsyncContext *ac = db_sub_connection(ri);
    if (!ac) return nullptr;
    const char *cmd = pattern ? "PSUBSCRIBE" : "SUBSCRIBE";
    LOGD("(%s instance) %s %s", ri->name, cmd, channel);
    if (merge) {
        sub_feed_t *feed = feed_of(ri, channel, pattern);
        for (GSList *l = feed ? feed->handles : nullptr; l; l = l->next) {
            auto *ctx = static_cast<subscribe_ctx_t *>(l->data);
            if (ctx->merge && !ctx->releasing && ctx->key_value_callback == cb && ctx->keyspace == keyspace) {
                LOGD("(%s instance) Callback for cmd %s (channel %s) already subscribed", ri->name, cmd, channel);
                return ctx;
            }
        }
    }
    auto *ctx = static_cast<subscribe_ctx_t *>(calloc(1, sizeof(subscribe_ctx_t)));
    BRX_CHECK_MEM(ctx);
    LOGD("(%s instance) (ctx %p) %s %s", ri->name, (void *)ctx, cmd, channel);
    ctx->channel = strdup(channel);
    BRX_CHECK_MEM(ctx->channel);
    ctx->key_value_callback = cb;
    ctx->arg = arg;
    ctx->keyspace = keyspace;
    ctx->is_psubscribe = pattern;
    ctx->merge = merge;
    ctx->ri = ri;
    if (send_subscribe(ri, ac, ctx) < 0) {
        free(ctx->channel);
        free(ctx);
        return nullptr;
    }
    index_handle(ri, ctx);
    return ctx;
}

/* Formats the channel (and the keyspace prefix) and subscribes it. */
subscribe_ctx_t *vsubscribe(redis_instance_t *ri, db_key_value_callback_t cb, const void *arg, int pattern,
                            int keyspace, const char *fmt, va_list ap) {
    char name[DB_KEY_LEN];
    if (db_vformat(ri, "subscribe", name, sizeof name, fmt, ap) < 0) return nullptr;
    if (!keyspace) return subscribe_channel(ri, cb, arg, name, pattern, 0, 1);
    char channel[DB_KEY_LEN];
    keyspace_channel(channel, sizeof channel, name);
    return subscribe_channel(ri, cb, arg, channel, pattern, 1, 1);
}

void vunsubscribe(redis_instance_t *ri, db_key_value_callback_t cb, int keyspace, const char *fmt, va_list ap) {
    if (!ri) return;
    char name[DB_KEY_LEN];
    if (db_vformat(ri, "unsubscribe", name, sizeof name, fmt, ap) < 0) return;
    char channel[DB_KEY_LEN];
    if (keyspace)
        keyspace_channel(channel, sizeof channel, name);
    else
        memcpy(channel, name, sizeof channel);
    // The earliest matching handle, plain or pattern alike.
    subscribe_ctx_t *found = nullptr;
    for (int kind = 0; kind < 2; kind++) {
        sub_feed_t *feed = feed_of(ri, channel, kind);
        for (GSList *l = feed ? feed->handles : nullptr; l; l = l->next) {
            auto *ctx = static_cast<subscribe_ctx_t *>(l->data);
            if (!ctx->releasing && ctx->merge && ctx->keyspace == keyspace && ctx->key_value_callback == cb) {
                if (!found || ctx->made_seq < found->made_seq) found = ctx;
                break;
            }
        }
    }
    if (found) {
        db_unsubscribe_ex(ri, found);
        return;
    }
    LOGI("(%s instance) db_unsubscribe - No subscribe context found for channel %s", ri->name, channel);
}

/* Notes the value and hands it on; the callback may release the watch. */
void watch_deliver(db_get_and_subscribe_ctx_t *watch, const char *value) {
    // Only a remote watch is read again (on a new connection): a local one keeps no copy of what may
    // be a whole script, per watch.
    if (!watch->subscribe_ctx->ri->use_local_db) {
        char *copy = nullptr;
        if (value) {
            copy = strdup(value);
            BRX_CHECK_MEM(copy);
        }
        free(watch->last_value);
        watch->last_value = copy;
    }
    watch->delivered = 1;
    if (watch->get_value_callback) watch->get_value_callback(value, watch->subscribe_arg);
}

void watch_changed(const char *key, const char *value, const void *arg) {
    auto *watch = static_cast<db_get_and_subscribe_ctx_t *>(const_cast<void *>(arg));
    LOGD(" db_get_and_subscribe_callback key %s", key);
    LOGT("db_get_and_subscribe_callback arg %p", arg);
    watch_deliver(watch, value);
}

void watch_first_read(const char *value, const void *arg) {
    auto *watch = static_cast<db_get_and_subscribe_ctx_t *>(const_cast<void *>(arg));
    watch->first_read = nullptr;
    watch_deliver(watch, value);
}

void watch_reread(const char *value, const void *arg) {
    auto *watch = static_cast<db_get_and_subscribe_ctx_t *>(const_cast<void *>(arg));
    watch->reread = nullptr;
    const char *last = watch->last_value;
    if (watch->delivered && (value && last ? strcmp(value, last) == 0 : value == last)) return;
    LOGD("(%s instance) %s changed while it was not watched", watch->subscribe_ctx->ri->name, watch->key_name);
    watch_deliver(watch, value);
}

void want_reread(redis_instance_t *ri, db_get_and_subscribe_ctx_t *watch, int wanted) {
    if (watch->reread_wanted == wanted) return;
    watch->reread_wanted = wanted;
    if (wanted)
        ri->rereads_wanted++;
    else
        ri->rereads_wanted--;
}

/* The new subscription of a watch is in force: what the key holds now is read again. */
void reread_watches(redis_instance_t *ri, const char *channel) {
    if (!ri->rereads_wanted) return;
    // The watches of this key are the live handles of its feed that feed a watch, in order made.
    sub_feed_t *feed = feed_of(ri, channel, 0);
    for (GSList *l = feed ? feed->handles : nullptr; l; l = l->next) {
        auto *ctx = static_cast<subscribe_ctx_t *>(l->data);
        if (ctx->releasing || ctx->key_value_callback != watch_changed) continue;
        auto *watch = static_cast<db_get_and_subscribe_ctx_t *>(const_cast<void *>(ctx->arg));
        if (!watch->reread_wanted) continue;
        want_reread(ri, watch, 0);
        if (watch->reread) db_cancel_async_callback(ri, watch->reread);
        watch->reread = db_get_async(ri, watch_reread, watch, "%s", watch->key_name);
    }
}

void free_watch(redis_instance_t *ri, db_get_and_subscribe_ctx_t *watch) {
    want_reread(ri, watch, 0);
    if (watch->first_read) db_cancel_async_callback(ri, watch->first_read);
    if (watch->reread) db_cancel_async_callback(ri, watch->reread);
    free(watch->last_value);
    free(watch->key_name);
    free(watch);
}

}  // namespace

/* ---- hooks of the connection side ---- */

void db_sub_connection_opened(redis_instance_t *ri, redisAsyncContext *ac) {
    ri->sub_unconfirmed = 0;
    if (!ri->use_local_db)
        for (GSList *l = ri->getandsub_ctx_list; l; l = l->next) {
            auto *watch = static_cast<db_get_and_subscribe_ctx_t *>(l->data);
            if (watch->delivered) want_reread(ri, watch, 1);
        }
    for (GSList *l = ri->subscribe_ctx_list; l; l = l->next) {
        auto *ctx = static_cast<subscribe_ctx_t *>(l->data);
        if (!ctx->releasing && !ctx->sent_seq) send_subscribe(ri, ac, ctx);
    }
}

void db_sub_connection_lost(redis_instance_t *ri) {
    ri->sub_unconfirmed = 0;
    for (GSList *l = ri->subscribe_ctx_list; l; l = l->next) {
        auto *ctx = static_cast<subscribe_ctx_t *>(l->data);
        ctx->sent_seq = 0;
        ctx->feed->transport = nullptr;
        // No confirmation will come: the release completes anyway.
        if (ctx->awaiting_unsub) queue_release(ri, ctx);
    }
}

int db_sub_has_live_handles(const redis_instance_t *ri) {
    for (GSList *l = ri->subscribe_ctx_list; l; l = l->next)
        if (!static_cast<subscribe_ctx_t *>(l->data)->releasing) return 1;
    return 0;
}

void db_sub_destroy_all(redis_instance_t *ri) {
    while (ri->getandsub_ctx_list) {
        auto *watch = static_cast<db_get_and_subscribe_ctx_t *>(ri->getandsub_ctx_list->data);
        forget_watch(ri, watch);
        free_watch(ri, watch);
    }
    g_slist_free(ri->release_queue);
    ri->release_queue = ri->release_queue_last = nullptr;
    while (ri->subscribe_ctx_list) {
        auto *ctx = static_cast<subscribe_ctx_t *>(ri->subscribe_ctx_list->data);
        cancel_reads(ri, ctx);
        complete_release(ri, ctx);
    }
    if (ri->release_ev) {
        event_free(ri->release_ev);
        ri->release_ev = nullptr;
    }
    for (GHashTable *&t : ri->feeds) {
        if (t) g_hash_table_destroy(t);
        t = nullptr;
    }
    brx_islist_index_clear(&ri->subscribe_ctx_index);
    brx_islist_index_clear(&ri->getandsub_ctx_index);
}

void db_sub_reply(redisAsyncContext *ac, void *reply, void *privdata) {
    auto *ri = static_cast<redis_instance_t *>(privdata);
    auto *r = static_cast<redisReply *>(reply);
    if (!ri) {
        LOGW("db_subscribe_callback - No ctx");
        return;
    }
    if (!r) {
        // A connection closed on purpose answers its subscriptions with nothing: not a failure.
        if (db_sub_connection_current(ri) == ac) LOGW("(%s)Subscribe failed", ri->name);
        return;
    }
    if (r->type != REDIS_REPLY_ARRAY || r->elements <= 2) {
        LOGW("(%s)Subscribe failed", ri->name);
        return;
    }
    const char *type = element_string(r->element[0]);
    if (!type) {
        LOGW("(%s instance) Element type isn't string", ri->name);
        return;
    }
    int pattern = type[0] == 'p';
    if (strcmp(type, "message") == 0 || strcmp(type, "pmessage") == 0) {
        LOGT("db_subscribe_callback message_element %s", type);
        if (pattern && r->elements < 4) {
            LOGW("(%s)Subscribe failed", ri->name);
            return;
        }
        const char *name = element_string(r->element[1]);
        const char *channel = pattern ? element_string(r->element[2]) : name;
        if (!name || !channel) {
            LOGW("(%s instance) Element type isn't string", ri->name);
            return;
        }
        fan_out(ri, name, pattern, channel, element_string(r->element[pattern ? 3 : 2]));
    } else if (strcmp(type, "subscribe") == 0 || strcmp(type, "psubscribe") == 0) {
        const char *name = element_string(r->element[1]);
        LOGD("(%s instance) %s (ctx %p) succeeded %s", ri->name, pattern ? "PSUBSCRIBE" : "SUBSCRIBE",
             name ? (void *)transport_handle(feed_of(ri, name, pattern)) : nullptr, name ? name : "NULL");
        if (ri->sub_unconfirmed > 0) ri->sub_unconfirmed--;
        if (name && !pattern) reread_watches(ri, name);
    } else if (strcmp(type, "unsubscribe") == 0 || strcmp(type, "punsubscribe") == 0) {
        const char *name = element_string(r->element[1]);
        LOGD("(%s instance) %s succeeded %s", ri->name, pattern ? "PUNSUBSCRIBE" : "UNSUBSCRIBE", name ? name : "NULL");
        if (name) unsubscribed(ri, name, pattern);
    }
}

/* ---- subscriptions ---- */

subscribe_ctx_t *db_subscribe(redis_instance_t *ri, db_key_value_callback_t cb, const void *arg, const char *fmt,
                              ...) {
    va_list ap;
    va_start(ap, fmt);
    subscribe_ctx_t *ctx = vsubscribe(ri, cb, arg, 0, 0, fmt, ap);
    va_end(ap);
    return ctx;
}

subscribe_ctx_t *db_psubscribe(redis_instance_t *ri, db_key_value_callback_t cb, const void *arg, const char *fmt,
                               ...) {
    va_list ap;
    va_start(ap, fmt);
    subscribe_ctx_t *ctx = vsubscribe(ri, cb, arg, 1, 0, fmt, ap);
    va_end(ap);
    return ctx;
}

subscribe_ctx_t *db_subscribe_for_key(redis_instance_t *ri, db_key_value_callback_t cb, const void *arg,
                                      const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    subscribe_ctx_t *ctx = vsubscribe(ri, cb, arg, 0, 1, fmt, ap);
    va_end(ap);
    return ctx;
}

subscribe_ctx_t *db_psubscribe_for_key(redis_instance_t *ri, db_key_value_callback_t cb, const void *arg,
                                       const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    subscribe_ctx_t *ctx = vsubscribe(ri, cb, arg, 1, 1, fmt, ap);
    va_end(ap);
    return ctx;
}

void db_unsubscribe(redis_instance_t *ri, db_key_value_callback_t cb, const void *arg, const char *channel_fmt, ...) {
    (void)arg;
    va_list ap;
    va_start(ap, channel_fmt);
    vunsubscribe(ri, cb, 0, channel_fmt, ap);
    va_end(ap);
}

void db_unsubscribe_key(redis_instance_t *ri, db_key_value_callback_t cb, const void *arg, const char *channel_fmt,
                        ...) {
    (void)arg;
    va_list ap;
    va_start(ap, channel_fmt);
    vunsubscribe(ri, cb, 1, channel_fmt, ap);
    va_end(ap);
}

void db_unsubscribe_ex(redis_instance_t *ri, subscribe_ctx_t *ctx) {
    if (!ri) return;
    if (!ctx) {
        LOGI("(%s instance) db_unsubscribe_ex - No ctx given", ri->name);
        return;
    }
    if (!known_handle(ri, ctx) || ctx->releasing) {
        LOGD("(%s instance) db_unsubscribe_ex - ctx %p unknown or already released", ri->name, (void *)ctx);
        return;
    }
    LOGD("(%s instance) db_unsubscribe_ex", ri->name);
    release_handle(ri, ctx);
    LOGD("(%s instance) db_unsubscribe_ex end", ri->name);
}

void db_subscribe_add_unsubscribe_cb(redis_instance_t *ri, subscribe_ctx_t *ctx, db_key_value_callback_t cb,
                                     const void *arg) {
    if (!ctx) {
        LOGD("Adding unsubscribe callback null");
        return;
    }
    LOGD("Adding unsubscribe callback to ctx %p", (void *)ctx);
    if (!ri || !known_handle(ri, ctx)) return;
    ctx->unsubscribe_callback = cb;
    ctx->unsubscribe_arg = arg;
}

void db_unsubscribe_all(redis_instance_t *ri) {
    if (!ri) return;
    db_get_and_subscribe_cleanup_all(ri);
    for (GSList *l = ri->subscribe_ctx_list; l; l = l->next) {
        auto *ctx = static_cast<subscribe_ctx_t *>(l->data);
        if (!ctx->releasing) release_handle(ri, ctx);
    }
}

/* ---- get-and-subscribe ---- */

db_get_and_subscribe_ctx_t *db_get_and_subscribe(redis_instance_t *ri, db_value_callback_t cb, const void *arg,
                                                 const char *fmt, ...) {
    DB_FORMAT_OR_RETURN(ri, "get and subscribe", key, DB_KEY_LEN, fmt, nullptr);
    LOGD("(%s instance) Get and subscribe for changes %s (arg %p)", ri->name, key, arg);
    auto *watch = static_cast<db_get_and_subscribe_ctx_t *>(calloc(1, sizeof(db_get_and_subscribe_ctx_t)));
    BRX_CHECK_MEM(watch);
    watch->key_name = strdup(key);
    BRX_CHECK_MEM(watch->key_name);
    watch->get_value_callback = cb;
    watch->subscribe_arg = arg;
    char channel[DB_KEY_LEN];
    keyspace_channel(channel, sizeof channel, key);
    // Watches never share a feed: releasing one must leave the others untouched.
    watch->subscribe_ctx = subscribe_channel(ri, watch_changed, watch, channel, 0, 1, 0);
    if (!watch->subscribe_ctx) {
        LOGW("(%s instance) Cannot subscribe for key %s ", ri->name, key);
        free(watch->key_name);
        free(watch);
        return nullptr;
    }
    ri->getandsub_ctx_list = brx_islist_append(ri->getandsub_ctx_list, &ri->getandsub_ctx_index, watch);
    if (ri->use_local_db) {
        // The callback runs now and may release the watch: do not touch it afterwards.
        db_get(ri, cb, arg, "%s", key);
    } else {
        watch->first_read = db_get_async(ri, watch_first_read, watch, "%s", key);
    }
    return watch;
}

void db_get_and_subscribe_cleanup_ex(redis_instance_t *ri, db_get_and_subscribe_ctx_t *watch) {
    if (!ri) return;
    if (!watch) {
        LOGI("(%s instance) db_get_and_subscribe_cleanup_ex - arg is null", ri->name);
        return;
    }
    if (!known_watch(ri, watch)) {
        LOGD("(%s instance) db_get_and_subscribe_cleanup_ex - watch %p unknown", ri->name, (void *)watch);
        return;
    }
    LOGD("(%s instance) db_get_and_subscribe_cleanup_ex", ri->name);
    db_unsubscribe_ex(ri, watch->subscribe_ctx);
    forget_watch(ri, watch);
    free_watch(ri, watch);
}

void db_get_and_subscribe_cleanup(redis_instance_t *ri, db_value_callback_t cb, const char *fmt, ...) {
    if (!ri) return;
    DB_FORMAT_OR_RETURN(ri, "get and subscribe cleanup", key, DB_KEY_LEN, fmt, );
    LOGD("(%s instance) Unsubscribe for changes %s", ri->name, key);
    for (GSList *l = ri->getandsub_ctx_list; l; l = l->next) {
        auto *watch = static_cast<db_get_and_subscribe_ctx_t *>(l->data);
        if (watch->get_value_callback == cb && strcmp(watch->key_name, key) == 0) {
            db_get_and_subscribe_cleanup_ex(ri, watch);
            return;
        }
    }
    LOGW("(%s instance) No ctx to unsubscribe %s", ri->name, key);
}

void db_get_and_subscribe_cleanup_all(redis_instance_t *ri) {
    if (!ri) return;
    while (ri->getandsub_ctx_list)
        db_get_and_subscribe_cleanup_ex(ri, static_cast<db_get_and_subscribe_ctx_t *>(ri->getandsub_ctx_list->data));
}
