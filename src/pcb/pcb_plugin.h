#ifndef BRX_SRC_PCB_PCB_PLUGIN_H
#define BRX_SRC_PCB_PCB_PLUGIN_H

/*
 * The loop thread's half of the gateway bus: mirrors the watched gateway objects into
 * "KAVPCB:<group>:<Param>" keys of the conf instance, hands function calls and observations to
 * the connector thread and their results back to the callers, and reads and writes single
 * gateway parameters ("<object path>.<parameter>").
 */

#include <stdint.h>

#include "src/db.h"

struct event_base;

typedef void (*custom_data_cb_t)(const char *data, void *arg);

/*
 * The caller's record (malloc'ed). Once a registration returned 0 it is the bridge's: freed after a
 * call's result, when an observation ends (with the bus connection that carried it) and when its
 * owner is dropped. arg stays the caller's.
 */
typedef struct custom_data {
    custom_data_cb_t callback; /* NULL: nothing is delivered */
    void *arg;
    const void *owner; /* what pcb_plugin_drop_owner finds it by (a script state); NULL: none */
} custom_data_t;

/* One pending call ("<object path>.<function>") or observation (the object path). */
typedef struct custom_data_ctx {
    char func_name[1024];
    char func_index; /* 'a' to 'z'; unique among the live pending calls of one function */
    int is_observation;
    custom_data_t *custom_data; /* NULL once its owner was dropped */
    int dropped;                /* its owner is gone; kept only until the bus confirms the end */
    uint64_t call_id;
} custom_data_ctx_t;

void pcb_plugin_setup_redis_instance(redis_instance_t *conf, redis_instance_t *state);
/* Pipe, its watcher and the connector thread; 0, or -1. Once per process. */
int pcb_plugin_start(struct event_base *base);
void pcb_plugin_stop(void);

/* 0 when queued, -1 otherwise (the caller keeps data then). The result reaches data->callback; "" after a failure. */
int pcb_plugin_call_async_json_args(const char *function, const char *json_args, custom_data_t *data);
/*
 * 0 when the observation was accepted, -1 otherwise (the path is observed already). It starts once
 * the bus is reachable; object replies and custom notifications of exactly that path reach
 * data->callback until the bus connection ends, after which the path can be observed again.
 */
int pcb_plugin_observe_object(const char *object, custom_data_t *data);

/*
 * Ends every pending call and observation whose record names owner, at once: none of their
 * callbacks runs again, their records are freed (each arg is the owner's to free), their call
 * slots are free again and their objects can be observed again. For an owner that goes away, such
 * as a script state being closed.
 */
void pcb_plugin_drop_owner(const void *owner);

/* Over the synchronous bus connection. */
int pcb_plugin_get_bool(const char *key);    /* 1 only for "1" */
char *pcb_plugin_get_string(const char *key); /* new string; NULL when unreadable or empty */
int pcb_plugin_set(const char *key, const char *value); /* 1 when the bus accepted it */

/* Through the command-line tool, run by the shell. */
char *pcbcli_get_string(const char *key);     /* the first output line; NULL when empty */
int pcbcli_get_bool(const char *key);         /* 1 when that line is exactly "1" */
char *pcbcli_get_string_ext(const char *key); /* the whole output less one trailing newline; NULL unless status 0 */

#endif
