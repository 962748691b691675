#ifndef BRX_SRC_DB_H
#define BRX_SRC_DB_H

/*
 * The engine's only way to Redis: named instances ("conf", "state"), blocking and
 * asynchronous commands under the mode rule, subscriptions, keyspace watches and
 * get-and-subscribe. Loop thread only.
 */

#include <stdint.h>

struct event_base;
struct _GSList;
typedef struct _GSList GSList;

typedef struct redis_instance redis_instance_t;
typedef struct subscribe_ctx subscribe_ctx_t;                    /* one subscription handle */
typedef struct db_get_and_subscribe_ctx db_get_and_subscribe_ctx_t; /* one get-and-subscribe watch */
typedef struct get_cb_context get_cb_context_t;                  /* one pending asynchronous GET */

/* KEYS result: data is a GSList of key strings, or NULL. */
typedef void (*db_callback_t)(const void *data, const void *arg);
/* GET result: the value, or NULL when absent, failed or the connection was lost. */
typedef void (*db_value_callback_t)(const char *value, const void *arg);
/* Subscriptions: (channel or key, message or value, arg). */
typedef void (*db_key_value_callback_t)(const char *key, const char *value, const void *arg);

#define DB_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

/* Instances and connections */
redis_instance_t *db_create_redis_instance(const char *name);
void db_delete_redis_instance(redis_instance_t *ri);
void db_set_is_local(redis_instance_t *ri, int flag);
/* 1 for a local instance (the gateway's), 0 for a remote one or none. */
int db_is_local(const redis_instance_t *ri);
void db_set_unix_path(redis_instance_t *ri, const char *path);
const char *db_get_unix_path(const redis_instance_t *ri);
void db_set_redis_port(redis_instance_t *ri, int port);
int db_set_event_base(redis_instance_t *ri, struct event_base *base);
/* ip in network byte order. */
int db_set_master(redis_instance_t *ri, uint32_t ip, int port);

/* Commands */
int db_set(redis_instance_t *ri, const char *key, const char *value);
int db_set_fmt(redis_instance_t *ri, const char *value, const char *fmt, ...) DB_PRINTF(3, 4);
int db_del(redis_instance_t *ri, const char *key);
int db_del_fmt(redis_instance_t *ri, const char *fmt, ...) DB_PRINTF(2, 3);
get_cb_context_t *db_get(redis_instance_t *ri, db_value_callback_t cb, const void *cb_arg, const char *fmt, ...)
    DB_PRINTF(4, 5);
int db_get_keys(redis_instance_t *ri, db_callback_t cb, const void *arg, const char *fmt, ...) DB_PRINTF(4, 5);
char *db_get_sync(redis_instance_t *ri, const char *fmt, ...) DB_PRINTF(2, 3);
GSList *db_get_keys_sync(redis_instance_t *ri, const char *fmt, ...) DB_PRINTF(2, 3);
void db_expire(redis_instance_t *ri, unsigned sec, const char *fmt, ...) DB_PRINTF(3, 4);
void db_multi(redis_instance_t *ri);
void db_exec(redis_instance_t *ri);
/* EXEC whose outcome counts: 0 when the transaction ran and none of its commands failed; -1 for an
 * error reply (a queued command was refused), a nil one (a WATCH aborted it) or no reply. */
int db_exec_checked(redis_instance_t *ri);
void db_discard(redis_instance_t *ri);
/* 1 while a MULTI sent through db_multi is open on the blocking connection (no EXEC or DISCARD yet). */
int db_in_transaction(const redis_instance_t *ri);
get_cb_context_t *db_get_async(redis_instance_t *ri, db_value_callback_t cb, const void *cb_arg, const char *fmt, ...)
    DB_PRINTF(4, 5);
void db_cancel_async_callback(redis_instance_t *ri, get_cb_context_t *handle);
int db_publish(redis_instance_t *ri, const char *channel, const char *message);
int db_publish_fmt(redis_instance_t *ri, const char *message, const char *channel_fmt, ...) DB_PRINTF(3, 4);
/* PUBLISH on the blocking connection: seen by subscribers before the call returns. */
int db_publish_sync(redis_instance_t *ri, const char *channel, const char *message);
/* SET, DEL and KEYS on the blocking connection, which always reaches the local Redis, on every
 * device. 0, or -1 for no reply or an error reply; the keys are heap copies (free them and the list). */
int db_set_sync(redis_instance_t *ri, const char *key, const char *value);
int db_del_sync(redis_instance_t *ri, const char *key);
int db_keys_sync(redis_instance_t *ri, GSList **keys, const char *fmt, ...) DB_PRINTF(3, 4);
long long db_incr(redis_instance_t *ri, const char *fmt, ...) DB_PRINTF(2, 3);
long long db_llen(redis_instance_t *ri, const char *fmt, ...) DB_PRINTF(2, 3);
char *db_lpop(redis_instance_t *ri, const char *fmt, ...) DB_PRINTF(2, 3);
int db_rpush(redis_instance_t *ri, const char *value, const char *fmt, ...) DB_PRINTF(3, 4);

/* Subscriptions */
subscribe_ctx_t *db_subscribe(redis_instance_t *ri, db_key_value_callback_t cb, const void *arg, const char *fmt, ...)
    DB_PRINTF(4, 5);
subscribe_ctx_t *db_psubscribe(redis_instance_t *ri, db_key_value_callback_t cb, const void *arg, const char *fmt, ...)
    DB_PRINTF(4, 5);
subscribe_ctx_t *db_subscribe_for_key(redis_instance_t *ri, db_key_value_callback_t cb, const void *arg,
                                      const char *fmt, ...) DB_PRINTF(4, 5);
subscribe_ctx_t *db_psubscribe_for_key(redis_instance_t *ri, db_key_value_callback_t cb, const void *arg,
                                       const char *fmt, ...) DB_PRINTF(4, 5);
void db_unsubscribe(redis_instance_t *ri, db_key_value_callback_t cb, const void *arg, const char *channel_fmt, ...)
    DB_PRINTF(4, 5);
void db_unsubscribe_key(redis_instance_t *ri, db_key_value_callback_t cb, const void *arg, const char *channel_fmt,
                        ...) DB_PRINTF(4, 5);
void db_unsubscribe_ex(redis_instance_t *ri, subscribe_ctx_t *ctx);
void db_subscribe_add_unsubscribe_cb(redis_instance_t *ri, subscribe_ctx_t *ctx, db_key_value_callback_t cb,
                                     const void *arg);
void db_unsubscribe_all(redis_instance_t *ri);
/*
 * Blocks until Redis has confirmed every subscription made so far on the instance, so that the
 * messages of whatever the caller does next reach them. 0, or -1 (WARN) when the subscription
 * connection fails or the confirmations do not come within a few seconds.
 */
int db_wait_subscribed(redis_instance_t *ri);

/* Get-and-subscribe */
db_get_and_subscribe_ctx_t *db_get_and_subscribe(redis_instance_t *ri, db_value_callback_t cb, const void *arg,
                                                 const char *fmt, ...) DB_PRINTF(4, 5);
void db_get_and_subscribe_cleanup(redis_instance_t *ri, db_value_callback_t cb, const char *fmt, ...) DB_PRINTF(3, 4);
void db_get_and_subscribe_cleanup_ex(redis_instance_t *ri, db_get_and_subscribe_ctx_t *watch);
void db_get_and_subscribe_cleanup_all(redis_instance_t *ri);

#endif
