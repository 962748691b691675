#include "src/pcb/pcblib/pcbclient2.h"

#include <cjson/cJSON.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "common/logger/logger.h"
#include "src/pcb/pcblib/pcbclient.h"

#define LOG_CATEGORY "pcbclient"

namespace {

constexpr unsigned kReconnectSeconds = 10;

typedef struct notifications_list {
    pcbclient_notification_t *notification;
    struct notifications_list *next;
} notifications_list_t;

typedef enum {
    EVENT_TYPE_PARAM_CHANGE = 0,
    EVENT_TYPE_OBJECT_CHANGE = 1,
    EVENT_TYPE_CUSTOM_NOTIFICATION = 2,
    EVENT_TYPE_FUNCTION_CALLBACK = 3,
} event_type_t;

typedef struct event {
    event_type_t type;
    uintptr_t callback; /* the matched entry's callback of this type */
    union {
        struct {
            char *object_path, *param_name, *old_value, *new_value;
        } param_change;
        struct {
            char *object_path, *json;
        } object_change;
        struct {
            char *object_path, *data;
        } custom_notification;
        struct {
            char *object_path, *function_name, *json_result;
            void *custom_data;
        } function_result;
    };
} event_t;

pcbclient_notification_t *notifications = nullptr;
int notifications_count = 0;
pcbclient_notification_t *custom_notifications = nullptr;
int custom_notifications_count = 0;
pcbclient_getter_t *getters = nullptr;
int getters_count = 0;
pcbclient_function_result_t *function_callbacks = nullptr;
int function_callbacks_count = 0;

/* Prepended by the loop thread, walked and emptied by the connector thread. */
notifications_list_t *runtime_notifications = nullptr;
pthread_mutex_t runtime_mutex = PTHREAD_MUTEX_INITIALIZER;
/* The synchronous connection can be used by both threads (getters run on the connector). */
pthread_mutex_t sync_mutex = PTHREAD_MUTEX_INITIALIZER;

char *dup_or_null(const char *s) {
    if (!s) return nullptr;
    char *d = strdup(s);
    if (!d) BRX_OOM_EXIT("strdup");
    return d;
}

void free_event(event_t *e) {
    switch (e->type) {
    case EVENT_TYPE_PARAM_CHANGE:
        free(e->param_change.object_path);
        free(e->param_change.param_name);
        free(e->param_change.old_value);
        free(e->param_change.new_value);
        break;
    case EVENT_TYPE_OBJECT_CHANGE:
        free(e->object_change.object_path);
        free(e->object_change.json);
        break;
    case EVENT_TYPE_CUSTOM_NOTIFICATION:
        free(e->custom_notification.object_path);
        free(e->custom_notification.data);
        break;
    case EVENT_TYPE_FUNCTION_CALLBACK:
        free(e->function_result.object_path);
        free(e->function_result.function_name);
        free(e->function_result.json_result);
        break;
    }
    free(e);
}

void deliver(event_t *e) {
    switch (e->type) {
    case EVENT_TYPE_PARAM_CHANGE:
        ((pcbclient_param_change_cb_t)e->callback)(e->param_change.object_path, e->param_change.param_name,
                                                   e->param_change.old_value, e->param_change.new_value);
        break;
    case EVENT_TYPE_OBJECT_CHANGE:
        ((pcbclient_object_change_cb_t)e->callback)(e->object_change.object_path, e->object_change.json);
        break;
    case EVENT_TYPE_CUSTOM_NOTIFICATION:
        ((pcbclient_custom_notification_cb_t)e->callback)(e->custom_notification.object_path,
                                                          e->custom_notification.data);
        break;
    case EVENT_TYPE_FUNCTION_CALLBACK:
        ((pcbclient_function_cb_t)e->callback)(e->function_result.object_path, e->function_result.function_name,
                                               e->function_result.json_result, e->function_result.custom_data);
        break;
    default: LOGW("Unknown event type %d", (int)e->type); break;
    }
}

/* The callbacks an event goes to, each once, in table order. */
struct Targets {
    uintptr_t *cbs = nullptr;
    int count = 0;
    int cap = 0;
    ~Targets() { free(cbs); }
    void add(uintptr_t cb) {
        if (!cb) return;
        for (int i = 0; i < count; i++)
            if (cbs[i] == cb) return;
        if (count == cap) {
            int ncap = cap ? cap * 2 : 8;
            uintptr_t *n = (uintptr_t *)realloc(cbs, sizeof(uintptr_t) * (size_t)ncap);
            if (!n) BRX_OOM_EXIT("event targets");
            cbs = n;
            cap = ncap;
        }
        cbs[count++] = cb;
    }
};

enum CallbackKind { CB_PARAM, CB_OBJECT, CB_CUSTOM };

uintptr_t callback_of(const pcbclient_notification_t *n, CallbackKind kind) {
    switch (kind) {
    case CB_PARAM: return (uintptr_t)n->param_change_cb;
    case CB_OBJECT: return (uintptr_t)n->object_change_cb;
    default: return (uintptr_t)n->custom_notification_cb;
    }
}

/* Rows of table, then run-time observations; path NULL matches every row. */
void collect(Targets &t, pcbclient_notification_t *table, int count, CallbackKind kind, const char *path) {
    for (int i = 0; i < count; i++)
        if (!path || pcbclient2_path_matches(table[i].path, path)) t.add(callback_of(&table[i], kind));
    pthread_mutex_lock(&runtime_mutex);
    for (notifications_list_t *n = runtime_notifications; n; n = n->next)
        if (!path || pcbclient2_path_matches(n->notification->path, path)) t.add(callback_of(n->notification, kind));
    pthread_mutex_unlock(&runtime_mutex);
}

event_t *new_event(event_type_t type, uintptr_t cb) {
    event_t *e = (event_t *)calloc(1, sizeof(event_t));
    if (!e) {
        LOGW("Cannot alloc new event");
        return nullptr;
    }
    e->type = type;
    e->callback = cb;
    return e;
}

char *object_to_json(object_t *object) {
    cJSON *json = cJSON_CreateObject();
    if (!json) return nullptr;
    for (parameter_t *p = object_firstParameter(object); p; p = object_nextParameter(p)) {
        const char *name = parameter_name(p);
        const variant_t *value = parameter_getValue(p);
        parameter_type_t type = parameter_type(p);
        switch (type) {
        case parameter_type_string:
        case parameter_type_date_time: {
            char *text = variant_char(value);
            cJSON_AddStringToObject(json, name, text ? text : "");
            free(text);
            break;
        }
        case parameter_type_int8:
        case parameter_type_int16:
        case parameter_type_int32:
        case parameter_type_int64: cJSON_AddNumberToObject(json, name, (double)variant_int64(value)); break;
        case parameter_type_uint8:
        case parameter_type_uint16:
        case parameter_type_uint32:
        case parameter_type_uint64: cJSON_AddNumberToObject(json, name, (double)variant_uint64(value)); break;
        case parameter_type_bool: cJSON_AddBoolToObject(json, name, variant_bool(value)); break;
        default: LOGW("Unknown type %d for parameter %s", (int)type, name); break;
        }
    }
    char *out = cJSON_Print(json);
    cJSON_Delete(json);
    return out;
}

void pcbObjectChangedCallback(const char *aObjectPath, object_t *aObject) {
    LOGD("%s object changed", aObjectPath);
    Targets t;
    collect(t, notifications, notifications_count, CB_OBJECT, aObjectPath);
    if (t.count == 0) return;
    char *json = object_to_json(aObject);
    for (int i = 0; i < t.count; i++) {
        event_t *e = new_event(EVENT_TYPE_OBJECT_CHANGE, t.cbs[i]);
        if (!e) continue;
        e->object_change.object_path = dup_or_null(aObjectPath);
        e->object_change.json = dup_or_null(json);
        deliver(e);
        free_event(e);
    }
    free(json);
}

void pcbParamChangedCallback(const char *aObjectPath, const char *aParamName, const char *aOldValue,
                             const char *aNewValue) {
    LOGD("%s.%s parameter changed to %s", aObjectPath, aParamName, aNewValue ? aNewValue : "");
    Targets t;
    collect(t, notifications, notifications_count, CB_PARAM, aObjectPath);
    for (int i = 0; i < t.count; i++) {
        event_t *e = new_event(EVENT_TYPE_PARAM_CHANGE, t.cbs[i]);
        if (!e) continue;
        e->param_change.object_path = dup_or_null(aObjectPath);
        e->param_change.param_name = dup_or_null(aParamName);
        e->param_change.old_value = dup_or_null(aOldValue);
        e->param_change.new_value = dup_or_null(aNewValue);
        deliver(e);
        free_event(e);
    }
}

void pcbCustomNotificationCallback(const char *aObjectPath, const char *aJson) {
    LOGT("%s: %s, %s", __func__, aObjectPath, aJson ? aJson : "(null)");
    Targets t;
    collect(t, custom_notifications, custom_notifications_count, CB_CUSTOM, nullptr);
    for (int i = 0; i < t.count; i++) {
        event_t *e = new_event(EVENT_TYPE_CUSTOM_NOTIFICATION, t.cbs[i]);
        if (!e) continue;
        e->custom_notification.object_path = dup_or_null(aObjectPath);
        e->custom_notification.data = dup_or_null(aJson);
        deliver(e);
        free_event(e);
    }
}

void pcbFunctionCallback(const char *aObjectPath, const char *aFunctionName, const char *aJsonResult,
                         void *aCustomData) {
    LOGD("PCB function callback: %s.%s returned %s", aObjectPath, aFunctionName, aJsonResult ? aJsonResult : "(null)");
    Targets t;
    for (int i = 0; i < function_callbacks_count; i++) {
        const pcbclient_function_result_t *r = &function_callbacks[i];
        if (!pcbclient2_path_matches(r->path, aObjectPath)) continue;
        if (r->function_name && *r->function_name && strcmp(r->function_name, aFunctionName) != 0) continue;
        t.add((uintptr_t)r->function_cb);
    }
    for (int i = 0; i < t.count; i++) {
        event_t *e = new_event(EVENT_TYPE_FUNCTION_CALLBACK, t.cbs[i]);
        if (!e) continue;
        e->function_result.object_path = dup_or_null(aObjectPath);
        e->function_result.function_name = dup_or_null(aFunctionName);
        e->function_result.json_result = dup_or_null(aJsonResult);
        e->function_result.custom_data = aCustomData;
        deliver(e);
        free_event(e);
    }
}

bool split_key(const char *key, char **object, char **name) {
    const char *dot = key ? strrchr(key, '.') : nullptr;
    if (!dot) {
        LOGW("Failed to separate object from key for entry: %s", key ? key : "(null)");
        return false;
    }
    *object = strndup(key, (size_t)(dot - key));
    *name = strdup(dot + 1);
    if (!*object || !*name) BRX_OOM_EXIT("split_key");
    return true;
}

char *sync_get(const char *object, const char *name) {
    pthread_mutex_lock(&sync_mutex);
    TPcbDataModelContext *ctx = easyCreatePcbDataModelClient();
    char *value = nullptr;
    if (!ctx)
        LOGW("Failed creating sync PCB connector");
    else
        value = easyGetPcbParamAsString(ctx, object, name);
    pthread_mutex_unlock(&sync_mutex);
    return value;
}

bool run_getters(void) {
    LOGT("Synchronizing PCB state");
    bool ok = true;
    for (int i = 0; i < getters_count && ok; i++) {
        const pcbclient_getter_t *g = &getters[i];
        char *value = sync_get(g->object, g->key);
        if (!value) {
            ok = false;
            break;
        }
        switch (g->value_type) {
        case PCBCLIENT_VALUE_STRING:
            if (g->callback.return_string) g->callback.return_string(value);
            break;
        case PCBCLIENT_VALUE_BOOL:
            if (g->callback.return_bool) g->callback.return_bool(strcmp(value, "1") == 0);
            break;
        case PCBCLIENT_VALUE_INT32:
            if (g->callback.return_int) g->callback.return_int((int32_t)strtol(value, nullptr, 10));
            break;
        }
        free(value);
    }
    LOGT("Synchronizing PCB result %d", ok ? 1 : 0);
    if (!ok) LOGW("Failed to synchronize PCB state");
    return ok;
}

bool register_rows(pcbclient_notification_t *table, int count, request_t *(*listen)(const char *)) {
    for (int i = 0; i < count; i++) {
        LOGD("Trying to register PCB notifications for object %s", table[i].path);
        table[i].notification = listen(table[i].path);
        if (!table[i].notification) return false;
        LOGI("Registered PCB notifications for object %s", table[i].path);
    }
    return true;
}

void free_rows(pcbclient_notification_t *table, int count) {
    for (int i = 0; i < count; i++) {
        freePcbRequestObject(table[i].notification);
        table[i].notification = nullptr;
    }
}

/* Connector thread: the observation's end reaches its owner, then its node goes. */
void end_observation(notifications_list_t *n) {
    pcbclient_notification_t *entry = n->notification;
    if (entry->observation_end_cb) entry->observation_end_cb(entry->path);
    free((char *)entry->path);
    free(entry);
    free(n);
}

void end_stopped_observation(void *node) { end_observation((notifications_list_t *)node); }

void run_pass(void) {
    LOGD("Entering PCB loop");
    if (run_getters()) {
        if (!createPcbDataModelClient()) {
            LOGW("Cannot create PCB connector.");
        } else {
            LOGD("PCB connector created");
            setPcbFunctionCallback(pcbFunctionCallback);
            setPcbChangesCallbacks(pcbObjectChangedCallback, pcbParamChangedCallback);
            setPcbCustomNotificationCallback(pcbCustomNotificationCallback);
            LOGD("Registering PCB notifications for list of objects (%d)", notifications_count);
            if (!register_rows(notifications, notifications_count, listenToChangesInPcbObject) ||
                !register_rows(custom_notifications, custom_notifications_count,
                               listenToCustomNotificationsFromPcbObject)) {
                LOGW("Failed to register for PCB notifications");
            } else {
                LOGD("Starting PCB connector main loop");
                startPcbDataModelEventLoop();
            }
        }
    }

    free_rows(notifications, notifications_count);
    free_rows(custom_notifications, custom_notifications_count);
    /* Observations that went out end with this connection; those still queued wait for the next. */
    notifications_list_t *ended = nullptr;
    pthread_mutex_lock(&runtime_mutex);
    for (notifications_list_t **link = &runtime_notifications; *link;) {
        notifications_list_t *n = *link;
        if (isPcbObservationQueued(n->notification->notification)) {
            link = &n->next;
            continue;
        }
        *link = n->next;
        n->next = ended;
        ended = n;
    }
    pthread_mutex_unlock(&runtime_mutex);
    /* stopped ones end first: a path's stop came before any observation of it taken above began */
    endStoppedPcbObservations();
    while (ended) {
        notifications_list_t *next = ended->next;
        freePcbRequestObject(ended->notification->notification);
        ended->notification->notification = nullptr;
        end_observation(ended);
        ended = next;
    }
    destroyPcbDataModelClient();
    forgetPcbFunctionCancels();
    LOGD("PCB connector main loop exited");
}

void *connector_main(void *) {
    /* The callbacks write to pipes; one whose reader has gone must fail, not end the process. */
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    LOGD("Starting PCB connector thread");
    for (;;) {
        run_pass();
        sleep(kReconnectSeconds);
    }
    return nullptr;
}

int32_t to_int32(double d) {
    if (d >= (double)INT32_MAX) return INT32_MAX;
    if (d <= (double)INT32_MIN) return INT32_MIN;
    return (int32_t)d;
}

}  // namespace

bool pcbclient2_path_matches(const char *row_path, const char *event_path) {
    if (!row_path || !event_path) return false;
    size_t a = strlen(row_path), b = strlen(event_path);
    return strncmp(row_path, event_path, a < b ? a : b) == 0;
}

bool pcbclient2_loop(pcbclient_notification_t *aNotifications, int aNotificationsCount,
                     pcbclient_notification_t *aCustomNotifications, int aCustomNotificationsCount,
                     pcbclient_getter_t *aGetters, int aGettersCount, pcbclient_function_result_t *aFunctionCallbacks,
                     int aFunctionCallbacksCount) {
    notifications = aNotifications;
    notifications_count = aNotificationsCount;
    custom_notifications = aCustomNotifications;
    custom_notifications_count = aCustomNotificationsCount;
    getters = aGetters;
    getters_count = aGettersCount;
    function_callbacks = aFunctionCallbacks;
    function_callbacks_count = aFunctionCallbacksCount;
    LOGD("Starting pcbclient2, %d notifications, %d getters", notifications_count, getters_count);

    pthread_t thread;
    if (pthread_create(&thread, nullptr, connector_main, nullptr) != 0) {
        LOGW("Failed to start PCB connector main loop thread");
        LOGW("Failed to start PCB client");
        return false;
    }
    if (pthread_detach(thread) != 0) LOGW("Failed to detach PCB connector mail loop thread");
    return true;
}

bool pcbclient2_call_async_json_args(const char *function_path, const char *json_args, void *custom_data,
                                     uint64_t *call_id) {
    char *object = nullptr, *function = nullptr;
    const char *reason = nullptr;
    request_t *req = nullptr;
    if (!split_key(function_path, &object, &function)) {
        reason = "invalid object or function name";
    } else {
        LOGD("extracted %s %s", object, function);
        LOGD("Will call %s.%s with args %s", object, function, json_args ? json_args : "(null)");
        req = prepareToExecutePcbFunction(object, function);
        if (!req) reason = "cannot prepare function object";
    }
    if (reason) {
        LOGW("Failed to execute PCB function %s.%s(): %s", object ? object : (function_path ? function_path : ""),
             function ? function : "", reason);
        free(object);
        free(function);
        return false;
    }

    cJSON *args = json_args ? cJSON_Parse(json_args) : nullptr;
    cJSON *members = cJSON_IsObject(args) ? args : nullptr;
    const cJSON *m;
    cJSON_ArrayForEach(m, members) {
        int type = m->type & 0xFF;
        if (cJSON_IsBool(m)) {
            LOGD("Adding param %s=%d", m->string, cJSON_IsTrue(m) ? 1 : 0);
            addBoolParameter(req, m->string, cJSON_IsTrue(m));
        } else if (cJSON_IsNumber(m)) {
            int32_t v = to_int32(m->valuedouble);
            LOGD("Adding param %s=%d", m->string, v);
            addIntParameter(req, m->string, v);
        } else if (cJSON_IsString(m)) {
            LOGD("Adding param %s=%s", m->string, m->valuestring);
            addStringParameter(req, m->string, m->valuestring);
        } else {
            LOGW("Unknown JSON parameter type %d for param %s", type, m->string);
        }
    }
    cJSON_Delete(args);
    attachCustomDataToPcbFunctionCall(req, custom_data);
    uint64_t id = executePreparedPcbFunctionAsync(req, custom_data);
    if (call_id) *call_id = id;
    free(object);
    free(function);
    return true;
}

bool pcbclient2_cancel_call(uint64_t call_id) {
    LOGD("Will cancel PCB function call %llu", (unsigned long long)call_id);
    return cancelPcbFunctionCall(call_id);
}

bool pcbclient2_start_observing_object(const char *object_path, pcbclient_object_change_cb_t object_cb,
                                       pcbclient_param_change_cb_t param_cb,
                                       pcbclient_custom_notification_cb_t custom_cb,
                                       pcbclient_observation_end_cb_t end_cb) {
    LOGD("Will start listen to changes in object %s", object_path ? object_path : "(null)");
    const char *reason = nullptr;
    request_t *req = nullptr;
    pthread_mutex_lock(&runtime_mutex);
    for (notifications_list_t *n = runtime_notifications; n && !reason; n = n->next)
        if (object_path && strcmp(n->notification->path, object_path) == 0) reason = "such request already exists";
    if (!reason) {
        req = prepareToObservePcbObject(object_path);
        if (!req) reason = "cannot prepare request object";
    }
    if (!reason) {
        notifications_list_t *node = (notifications_list_t *)calloc(1, sizeof(*node));
        pcbclient_notification_t *entry = (pcbclient_notification_t *)calloc(1, sizeof(*entry));
        char *path = strdup(object_path);
        if (!node || !entry || !path) BRX_OOM_EXIT("pcbclient2_start_observing_object");
        entry->path = path;
        entry->object_change_cb = object_cb;
        entry->param_change_cb = param_cb;
        entry->custom_notification_cb = custom_cb;
        entry->observation_end_cb = end_cb;
        entry->notification = req;
        node->notification = entry;
        node->next = runtime_notifications;
        runtime_notifications = node;
        /* pushed under the lock, so a clean-up of the connector in between cannot miss it */
        startObservingPcbObjectAsync(req);
    }
    pthread_mutex_unlock(&runtime_mutex);
    if (reason) {
        LOGW("Failed to execute PCB request %s: %s", object_path ? object_path : "(null)", reason);
        if (req) freePcbRequestObject(req);
        return false;
    }
    return true;
}

bool pcbclient2_stop_observing_object(const char *object_path) {
    LOGD("Will stop listen to changes in object %s", object_path ? object_path : "(null)");
    notifications_list_t *found = nullptr;
    pthread_mutex_lock(&runtime_mutex);
    for (notifications_list_t **link = &runtime_notifications; object_path && *link; link = &(*link)->next) {
        if (strcmp((*link)->notification->path, object_path) == 0) {
            found = *link;
            *link = found->next;
            found->next = nullptr;
            /* handed over under the lock, so a clean-up in between cannot end it before its stop */
            stopObservingPcbObjectAsync(found->notification->notification, end_stopped_observation, found);
            break;
        }
    }
    pthread_mutex_unlock(&runtime_mutex);
    return found != nullptr;
}

char *pcbclient2_get_string(const char *key) {
    char *object, *name;
    if (!split_key(key, &object, &name)) return nullptr;
    LOGT("sync getting PCB value %s.%s", object, name);
    char *value = sync_get(object, name);
    LOGT("sync getting PCB value result: %s.%s=%s", object, name, value ? value : "(null)");
    free(object);
    free(name);
    return value;
}

bool pcbclient2_get_bool(const char *key) {
    char *value = pcbclient2_get_string(key);
    bool result = value && strcmp(value, "1") == 0;
    free(value);
    return result;
}

bool pcbclient2_set(const char *key, const char *value) {
    char *object, *name;
    if (!split_key(key, &object, &name)) return false;
    LOGT("sync setting PCB value %s.%s=%s", object, name, value ? value : "(null)");
    pthread_mutex_lock(&sync_mutex);
    TPcbDataModelContext *ctx = easyCreatePcbDataModelClient();
    bool ok = false;
    if (!ctx)
        LOGW("Failed creating sync PCB connector");
    else
        ok = easySetPcbParam(ctx, object, name, value);
    pthread_mutex_unlock(&sync_mutex);
    LOGT("sync setting PCB value result: %s.%s=%s -> %d", object, name, value ? value : "(null)", ok ? 1 : 0);
    free(object);
    free(name);
    return ok;
}
