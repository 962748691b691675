#ifndef BRX_SRC_PCB_PCBLIB_PCBCLIENT2_H
#define BRX_SRC_PCB_PCBLIB_PCBCLIENT2_H

/*
 * The bus connector: a detached thread that connects to the gateway bus, watches the configured
 * objects and routes their events to callbacks (run on that thread), reconnecting 10 seconds
 * after every loss; plus function calls, run-time observations and synchronous single-parameter
 * access for the loop thread.
 */

#include <stdbool.h>
#include <stdint.h>

#include "platform/pcb/pcb_bus.h"

/* old_value and new_value are NULL for a value without text. */
typedef void (*pcbclient_param_change_cb_t)(const char *object_path, const char *param_name, const char *old_value,
                                            const char *new_value);
typedef void (*pcbclient_object_change_cb_t)(const char *object_path, const char *json);
typedef void (*pcbclient_custom_notification_cb_t)(const char *object_path, const char *json);
/* The run-time observation of object_path has ended; nothing more comes from it. */
typedef void (*pcbclient_observation_end_cb_t)(const char *object_path);
/* json_result is NULL when the call failed or ended without a result. */
typedef void (*pcbclient_function_cb_t)(const char *object_path, const char *function_name, const char *json_result,
                                        void *custom_data);

/* One watched or observed object; a NULL callback means that kind of event is not wanted. */
typedef struct pcbclient_notification {
    const char *path;
    pcbclient_param_change_cb_t param_change_cb;
    pcbclient_object_change_cb_t object_change_cb;
    pcbclient_custom_notification_cb_t custom_notification_cb;
    request_t *notification; /* the live request, or NULL */
    pcbclient_observation_end_cb_t observation_end_cb; /* run-time observations only */
} pcbclient_notification_t;

/* One route for function results; "" as function_name matches every function. */
typedef struct pcbclient_function_result {
    const char *path;
    const char *function_name;
    pcbclient_function_cb_t function_cb;
} pcbclient_function_result_t;

typedef enum {
    PCBCLIENT_VALUE_STRING = 0,
    PCBCLIENT_VALUE_BOOL = 1,
    PCBCLIENT_VALUE_INT32 = 2,
} pcblient_getter_value_t;

typedef union pcbclient_getter_cb {
    void (*return_string)(const char *value);
    void (*return_bool)(bool value);
    void (*return_int)(int32_t value);
} pcbclient_getter_cb_t;

/* One read made at the start of every connector pass. */
typedef struct pcbclient_getter {
    const char *object;
    const char *key;
    pcblient_getter_value_t value_type;
    pcbclient_getter_cb_t callback;
} pcbclient_getter_t;

/* Stores the tables (the caller keeps them alive) and starts the connector thread. */
bool pcbclient2_loop(pcbclient_notification_t *notifications, int notifications_count,
                     pcbclient_notification_t *custom_notifications, int custom_notifications_count,
                     pcbclient_getter_t *getters, int getters_count, pcbclient_function_result_t *function_callbacks,
                     int function_callbacks_count);

/*
 * "<object>.<function>" with a JSON object of arguments; true when queued. The result route's
 * callback then runs exactly once for the call (a NULL result when it failed or ended without
 * one). *call_id, when given, gets the call's id for pcbclient2_cancel_call.
 */
bool pcbclient2_call_async_json_args(const char *function_path, const char *json_args, void *custom_data,
                                     uint64_t *call_id);
/*
 * Ends a call. True when it was still queued: it is gone and its callback never runs. False: the
 * connector ends it, before sending any call queued after this, and its callback runs once (with
 * a NULL result) unless it has run already.
 */
bool pcbclient2_cancel_call(uint64_t call_id);

/*
 * False when the path is observed already. An observation waits for a connection, lasts as long as
 * the connection that carried it or until pcbclient2_stop_observing_object, and then end_cb runs
 * once, after every event that the observation produced.
 */
bool pcbclient2_start_observing_object(const char *object_path, pcbclient_object_change_cb_t object_cb,
                                       pcbclient_param_change_cb_t param_cb,
                                       pcbclient_custom_notification_cb_t custom_cb,
                                       pcbclient_observation_end_cb_t end_cb);
/*
 * Ends the observation of the path, which can be observed again at once; its end_cb runs on the
 * connector thread. False when the path is not observed (its observation ended already).
 */
bool pcbclient2_stop_observing_object(const char *object_path);

/* Key "<object path>.<parameter>"; blocking, on the caller's thread. */
bool pcbclient2_get_bool(const char *key);
char *pcbclient2_get_string(const char *key);
bool pcbclient2_set(const char *key, const char *value);

/* The routing rule: a table path and an event path match when they agree over the shorter one. */
bool pcbclient2_path_matches(const char *row_path, const char *event_path);

#endif
