#ifndef BRX_PLATFORM_PCB_PCB_BUS_H
#define BRX_PLATFORM_PCB_PCB_BUS_H

/*
 * Client library of the development stand-in for the gateway's data-model bus.
 *
 * A bus address has the form "pcb://ipc:{<unix socket path>}"; the environment variable
 * PCB_STANDIN_SOCKET, when set, names the socket instead. Sockets are close-on-exec and
 * written with MSG_NOSIGNAL.
 *
 * Threads: a pcb_t, its requests and its replies are used by one thread at a time (a request may be
 * prepared on one thread and handed to another); connection_setEventsAvailable and
 * connection_setTerminated may be called from any thread.
 */

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/time.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct pcb pcb_t;
typedef struct peer_info peer_info_t;
typedef struct connection_info connection_info_t;
typedef struct request request_t;
typedef struct reply reply_t;
typedef struct reply_item reply_item_t;
typedef struct object object_t;
typedef struct parameter parameter_t;
typedef struct notification notification_t;
typedef struct notification_parameter notification_parameter_t;
typedef struct argument_value_list argument_value_list_t;
typedef struct argument_value argument_value_t;

/* ---- values ---- */

typedef enum {
    variant_type_unknown = 0,
    variant_type_string,
    variant_type_int8,
    variant_type_int16,
    variant_type_int32,
    variant_type_int64,
    variant_type_uint8,
    variant_type_uint16,
    variant_type_uint32,
    variant_type_uint64,
    variant_type_bool,
    variant_type_double,
    variant_type_date_time, /* text, ISO 8601 */
    variant_type_map,       /* JSON object text */
    variant_type_list,      /* JSON array text */
} variant_type_t;

typedef struct variant {
    variant_type_t type;
    union {
        char *text; /* string, date_time, map, list */
        int64_t i;
        uint64_t u;
        double d;
        bool b;
    } data;
} variant_t;

/* A text buffer; buffer is NULL for the null string. */
typedef struct string {
    char *buffer;
} string_t;

bool variant_initialize(variant_t *v, variant_type_t type);
void variant_cleanup(variant_t *v);
bool variant_setBool(variant_t *v, bool value);
bool variant_setInt32(variant_t *v, int32_t value);
bool variant_setChar(variant_t *v, const char *value); /* makes it a string */
/* New text of the value (booleans "1"/"0"); NULL for an unknown value or no memory. */
char *variant_char(const variant_t *v);
int64_t variant_int64(const variant_t *v);
uint64_t variant_uint64(const variant_t *v);
bool variant_bool(const variant_t *v);
/* JSON text of the value into dest (initialised by the call); the null string when there is none. */
bool variant_toJSON(string_t *dest, const variant_t *v);

bool string_isNull(const string_t *s);
const char *string_buffer(const string_t *s);
void string_cleanup(string_t *s);

/* ---- intrusive list of connection iterators ---- */

typedef struct llist_iterator llist_iterator_t;
struct llist_iterator {
    llist_iterator_t *next;
};
typedef struct llist {
    llist_iterator_t *first;
} llist_t;

void llist_initialize(llist_t *list);
bool llist_append(llist_t *list, llist_iterator_t *it);
void llist_cleanup(llist_t *list); /* unlinks the iterators, frees nothing */

/* ---- library and connections ---- */

/* Meaningful attribute of a client; the stand-in accepts it and tells the bus. */
typedef enum {
    pcb_client_attr_key_notation = 1,
} pcb_client_attribute_t;

bool connection_initLibrary(void);
void connection_exitLibrary(void);

pcb_t *pcb_create(const char *name);
void pcb_destroy(pcb_t *pcb); /* requests still alive are detached, not freed */
bool pcb_client_set_attribute(pcb_t *pcb, pcb_client_attribute_t attribute);
/* Connects to the bus at uri; the destination, owned by pcb, or NULL. */
peer_info_t *pcb_client_connect(pcb_t *pcb, const char *uri);
connection_info_t *pcb_connection(pcb_t *pcb);
llist_iterator_t *connection_getIterator(connection_info_t *con);

typedef void (*connection_signal_handler_t)(int signal);
/* The library writes with MSG_NOSIGNAL, so a handler is never needed; accepted for every signal. */
bool connection_setSignalEventHandler(connection_info_t *con, int signal, connection_signal_handler_t handler);

/* One flag per process. */
void connection_setTerminated(bool terminated);
bool connection_isTerminated(void);

/*
 * Waits until a connection of the list has input, a connection went away or
 * connection_setEventsAvailable was called (NULL timeout: no limit). Returns the number of
 * connections with input, 0 for a wake-up, the timeout or a signal, and -1 when a connection of
 * the list is gone or the wait failed. A wake-up made before the wait is never lost.
 */
int connection_waitForEvents_r(llist_t *connections, const struct timeval *timeout);
/* Reads what arrived and runs the reply-item and done handlers. False when a connection went away. */
bool connection_handleEvents_r(llist_t *connections);
void connection_setEventsAvailable(void);

/* ---- requests ---- */

/* Attribute bits of object requests (requests pass their mask to the bus unchanged). */
#define PCB_ATTR_OBJECTS 0x0001u        /* reply with the object and its descendants (depth) */
#define PCB_ATTR_PARAMETERS 0x0004u     /* objects carry their parameters */
#define PCB_ATTR_NOTIFY_VALUES 0x1000u  /* value-change notifications until the request ends */
#define PCB_ATTR_NOTIFY_CUSTOM 0x0200u  /* custom notifications until the request ends */
#define PCB_ATTR_RETURN_ARGS 0x8000u    /* function replies carry the returned arguments */

/* Returning false ends the request on the bus (it stays the caller's to destroy). */
typedef bool (*request_replyItemHandler)(request_t *req, reply_item_t *item, void *userdata);
/* Once, when the reply is complete or the connection went away (the reply then ends in an error item). */
typedef void (*request_doneHandler)(request_t *req, void *userdata);

request_t *request_create_getObject(const char *path, int32_t depth, uint32_t attributes);
request_t *request_create_executeFunction(const char *path, const char *function, uint32_t attributes);
bool request_setReplyItemHandler(request_t *req, request_replyItemHandler handler);
bool request_setDoneHandler(request_t *req, request_doneHandler handler);
bool request_setData(request_t *req, void *data);
bool request_addBoolParameter(request_t *req, const char *name, bool value);
bool request_addInt32Parameter(request_t *req, const char *name, int32_t value);
bool request_addCharParameter(request_t *req, const char *name, const char *value);
/*
 * Sends req over pcb to dest. False for a request that cannot be sent (already sent, no
 * destination). On a connection that has gone the request is accepted and completed at once
 * with an error item, so that its done handler always runs.
 */
bool pcb_sendRequest(pcb_t *pcb, peer_info_t *dest, request_t *req);
/* Ends the request on the bus when it is still running, then frees it with its reply. */
void request_destroy(request_t *req);
const char *request_path(const request_t *req);
const char *request_functionName(const request_t *req); /* NULL for object requests */
/* Items that arrived without an item handler, kept until the request is destroyed. */
reply_t *request_reply(request_t *req);

/* ---- replies ---- */

typedef enum {
    reply_type_unknown = 0,
    reply_type_object,
    reply_type_notification,
    reply_type_function_return,
    reply_type_error,
} reply_item_type_t;

uint32_t reply_itemCount(const reply_t *reply);
reply_item_t *reply_firstItem(reply_t *reply);
reply_item_t *reply_nextItem(reply_item_t *item);
reply_item_type_t reply_item_type(const reply_item_t *item);
object_t *reply_item_object(reply_item_t *item);
notification_t *reply_item_notification(reply_item_t *item);
const variant_t *reply_item_returnValue(reply_item_t *item);
argument_value_list_t *reply_item_returnArguments(reply_item_t *item);

argument_value_t *argument_valueFirstArgument(argument_value_list_t *args);
argument_value_t *argument_valueNextArgument(argument_value_t *arg);
const char *argument_valueName(const argument_value_t *arg);
const variant_t *argument_value(const argument_value_t *arg);

/* ---- objects and notifications ---- */

typedef enum {
    parameter_type_unknown = variant_type_unknown,
    parameter_type_string = variant_type_string,
    parameter_type_int8 = variant_type_int8,
    parameter_type_int16 = variant_type_int16,
    parameter_type_int32 = variant_type_int32,
    parameter_type_int64 = variant_type_int64,
    parameter_type_uint8 = variant_type_uint8,
    parameter_type_uint16 = variant_type_uint16,
    parameter_type_uint32 = variant_type_uint32,
    parameter_type_uint64 = variant_type_uint64,
    parameter_type_bool = variant_type_bool,
    parameter_type_double = variant_type_double,
    parameter_type_date_time = variant_type_date_time,
} parameter_type_t;

char *object_pathChar(const object_t *object); /* new string, the caller frees it */
parameter_t *object_firstParameter(object_t *object);
parameter_t *object_nextParameter(parameter_t *param);
const char *parameter_name(const parameter_t *param);
const variant_t *parameter_getValue(const parameter_t *param);
parameter_type_t parameter_type(const parameter_t *param);

/* Notification types; custom notifications have types of 100 and above. */
#define notify_value_changed 1u
#define notify_custom_first 100u

uint32_t notification_type(const notification_t *n);
const char *notification_name(const notification_t *n); /* NULL when it has none */
const char *notification_objectPath(const notification_t *n);
/* A value change carries, in order, the parameter name, the old value and the new value. */
notification_parameter_t *notification_firstParameter(notification_t *n);
notification_parameter_t *notification_nextParameter(notification_parameter_t *p);
char *notification_parameter_value(const notification_parameter_t *p); /* new text or NULL */
const variant_t *notification_parameter_variant(const notification_parameter_t *p);

/* ---- synchronous access ---- */

/*
 * One round trip each (at most 5 seconds). A connection that went away is made again on the next
 * call. The value belongs to dest and lives until the next call on it; NULL when the parameter
 * cannot be read.
 */
const variant_t *pcb_client_get(peer_info_t *dest, const char *object, const char *parameter);
bool pcb_client_set(peer_info_t *dest, const char *object, const char *parameter, const variant_t *value);

#ifdef __cplusplus
}
#endif

#endif
