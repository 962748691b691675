#ifndef BRX_SRC_DB_INTERNAL_H
#define BRX_SRC_DB_INTERNAL_H

/* Shared between the command side (db.cpp) and the subscription side (db_subscribe.cpp) only. */

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#include "common/glib-mini/glib.h"
#include "src/db.h"

struct redisContext;
struct redisAsyncContext;
struct event;
struct event_base;

#define DB_KEY_LEN 512
#define DB_EXPIRE_KEY_LEN 400
#define DB_KEYSPACE_PREFIX "__keyspace@0__:"
#define DB_KEYSPACE_PREFIX_LEN 15

typedef struct reconnect_ctx {
    struct event *timer;
    redis_instance_t *ri;
} reconnect_ctx_t;

struct redis_instance {
    char *name;
    GSList *subscribe_ctx_list;  /* subscribe_ctx_t*, in order of subscription */
    GSList *getandsub_ctx_list;  /* db_get_and_subscribe_ctx_t* */
    struct redisContext *sync_context;
    int sync_ever_connected;
    struct redisAsyncContext *remote_async_context;
    struct redisAsyncContext *remote_async_dying; /* replaced while hiredis was still tearing it down */
    struct redisAsyncContext *subscribe_async_context;
    struct redisAsyncContext *subscribe_remote_async_context;
    struct event_base *event_base;
    uint32_t master_ip;  /* network byte order */
    int32_t master_port;
    uint8_t use_local_db;
    char *redis_unix_path;
    int redis_port;

    uint8_t in_multi;      /* a MULTI is open on the blocking connection */
    GSList *pending_gets;  /* get_cb_context_t* waiting for their reply */
    reconnect_ctx_t *reconnect;
    GSList *release_queue; /* subscribe_ctx_t* whose release completes on the next loop turn */
    struct event *release_ev;
    uint64_t sub_seq;
    unsigned sub_unconfirmed; /* (P)SUBSCRIBEs sent on the current connection and not yet confirmed */

    /* Lookups of the subscription side, so that neither a message nor a set-up walks every handle. */
    BrxSlistIndex subscribe_ctx_index; /* the handles of subscribe_ctx_list, and its last node */
    BrxSlistIndex getandsub_ctx_index; /* the watches of getandsub_ctx_list, and its last node */
    GSList *release_queue_last;  /* last node of release_queue */
    GHashTable *feeds[2];        /* channel [0] or pattern [1] text -> sub_feed_t */
    unsigned rereads_wanted;     /* watches whose key is read again once subscribed anew */
};

/* Every handle of one channel (or pattern) text, in the order they were made. */
typedef struct sub_feed {
    char *name;
    int pattern;
    GSList *handles;
    GSList *last;
    guint count;
    struct subscribe_ctx *transport; /* the live handle of the latest SUBSCRIBE, once known; NULL: look */
} sub_feed_t;

struct subscribe_ctx {
    db_key_value_callback_t key_value_callback;
    db_key_value_callback_t unsubscribe_callback;
    const void *unsubscribe_arg;
    int keyspace;
    int is_psubscribe;
    const void *arg;
    char *channel;
    redis_instance_t *ri;
    int merge;          /* takes part in the duplicate rule (not so for the feeds of watches) */
    uint64_t sent_seq;  /* order of its SUBSCRIBE on the current connection; 0: not sent there */
    int releasing;
    int awaiting_unsub; /* the release completes with the (P)UNSUBSCRIBE confirmation */
    GSList *reads;      /* keyspace reads still pending on a remote instance */
    sub_feed_t *feed;   /* the handles of its channel text and kind */
    uint64_t made_seq;  /* order of making, across feeds */
};

struct get_cb_context {
    db_value_callback_t cb_func;
    char *key;
    const void *cb_arg;
    uint8_t deleted;
    redis_instance_t *ri;
};

/* Formats fmt into buf, cut silently. -1 (logged with what) without an instance or a format. */
int db_vformat(const redis_instance_t *ri, const char *what, char *buf, size_t size, const char *fmt, va_list ap);

/* Declares buf and formats the caller's format and arguments into it; returns fail as db_vformat fails. */
#define DB_FORMAT_OR_RETURN(ri, what, buf, size, fmt, fail)            \
    char buf[size];                                                    \
    do {                                                               \
        va_list ap_;                                                   \
        va_start(ap_, fmt);                                            \
        int rc_ = db_vformat(ri, what, buf, sizeof buf, fmt, ap_);     \
        va_end(ap_);                                                   \
        if (rc_ < 0) return fail;                                      \
    } while (0)

/* The subscription connection of the instance, opened (and every live handle subscribed on it) when
 * missing. NULL when a remote connection cannot be opened; a local one that cannot ends the process. */
struct redisAsyncContext *db_sub_connection(redis_instance_t *ri);
/* The subscription connection if it is open, else NULL. */
struct redisAsyncContext *db_sub_connection_current(const redis_instance_t *ri);
/* Starts the reconnect timer of a remote instance unless one runs. */
void db_schedule_reconnect(redis_instance_t *ri);

/* db_events.cpp: attaches the context to the loop (once; -1 when it already is). */
int db_attach_events(struct redisAsyncContext *ac, struct event_base *base);

/* db_subscribe.cpp */
void db_sub_connection_opened(redis_instance_t *ri, struct redisAsyncContext *ac);
void db_sub_connection_lost(redis_instance_t *ri);
int db_sub_has_live_handles(const redis_instance_t *ri);
void db_sub_destroy_all(redis_instance_t *ri);
void db_sub_reply(struct redisAsyncContext *ac, void *reply, void *privdata);

#endif
