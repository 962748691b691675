#include "src/pcb/pcblib/pcbclient.h"

#include <cjson/cJSON.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>

#include "common/logger/logger.h"

#define LOG_CATEGORY "pcbclient"

const char *const KPcbClientName = "quorvanta_pcb_client";
const char *const KPcbUri = "pcb://ipc:{/var/run/pcb_sys}";

namespace {

typedef struct list_t {
    void *data;
    uint64_t id;  /* a call's id */
    void *custom; /* a call's custom data */
    struct list_t *next;
} list_t;

/* An observation handed back to the connector to end. */
typedef struct stop_t {
    request_t *request;
    void (*ended)(void *data);
    void *data;
} stop_t;

TPcbDataModelContext *iPcbContext = nullptr;     /* connector thread */
TPcbDataModelContext *iEasyPcbContext = nullptr; /* synchronous connection */
int iPcbLibraryInitCount = 0;
pthread_mutex_t iInitMutex = PTHREAD_MUTEX_INITIALIZER;

FPcbObjectChangedCallback iObjectChangedCallback = nullptr;
FPcbParamChangedCallback iParamChangedCallback = nullptr;
FPcbFunctionCallback iFunctionExecuteCallback = nullptr;
FPcbCustomNotificationCallback iCustomNotificationCallback = nullptr;

/*
 * Shared with the loop thread under iListMutex: the execute, cancel, observe and stop lists. The
 * connector takes a list of work before the list of its ends (execute before cancel, observe
 * before stop) and handles the ends first, so an end pushed before some work is always handled
 * before that work is sent.
 */
list_t *asyncExecuteList = nullptr;
list_t *asyncCancelList = nullptr; /* ids of calls to end */
list_t *asyncListenToChangesList = nullptr;
list_t *asyncStopList = nullptr; /* stop_t */
uint64_t iLastCallId = 0;
pthread_mutex_t iListMutex = PTHREAD_MUTEX_INITIALIZER;
/* Connector thread only. */
list_t *asyncFreeList = nullptr;
list_t *iRunningCalls = nullptr; /* sent calls whose callback has not run */

list_t *push(list_t **list, void *data) {
    list_t *node = (list_t *)calloc(1, sizeof(list_t));
    if (!node) return nullptr;
    node->data = data;
    node->next = *list;
    *list = node;
    return node;
}

list_t *take_locked(list_t **list) {
    pthread_mutex_lock(&iListMutex);
    list_t *all = *list;
    *list = nullptr;
    pthread_mutex_unlock(&iListMutex);
    return all;
}

/* Takes the node holding data (or, with data NULL, the call id) out of the list; NULL when absent. */
list_t *unlink_node(list_t **list, const void *data, uint64_t id) {
    for (list_t **link = list; *link; link = &(*link)->next) {
        list_t *n = *link;
        if (data ? n->data == data : n->id == id) {
            *link = n->next;
            n->next = nullptr;
            return n;
        }
    }
    return nullptr;
}

list_t *unlink_locked(list_t **list, const void *data, uint64_t id) {
    pthread_mutex_lock(&iListMutex);
    list_t *n = unlink_node(list, data, id);
    pthread_mutex_unlock(&iListMutex);
    return n;
}

TPcbDataModelContext *makeConnection(void) {
    TPcbDataModelContext *ctx = (TPcbDataModelContext *)calloc(1, sizeof(*ctx));
    if (!ctx) return nullptr;
    pthread_mutex_lock(&iInitMutex);
    if (iPcbLibraryInitCount == 0 && !connection_initLibrary()) {
        pthread_mutex_unlock(&iInitMutex);
        free(ctx);
        return nullptr;
    }
    iPcbLibraryInitCount++;
    pthread_mutex_unlock(&iInitMutex);

    ctx->iPcbClient = pcb_create(KPcbClientName);
    if (ctx->iPcbClient) {
        pcb_client_set_attribute(ctx->iPcbClient, pcb_client_attr_key_notation);
        ctx->iDestination = pcb_client_connect(ctx->iPcbClient, KPcbUri);
    }
    if (ctx->iDestination) {
        connection_setTerminated(false);
        return ctx;
    }
    if (ctx->iPcbClient) pcb_destroy(ctx->iPcbClient);
    free(ctx);
    pthread_mutex_lock(&iInitMutex);
    if (--iPcbLibraryInitCount == 0) connection_exitLibrary();
    pthread_mutex_unlock(&iInitMutex);
    return nullptr;
}

void destroyConnection(TPcbDataModelContext *ctx) {
    if (!ctx) return;
    pcb_destroy(ctx->iPcbClient);
    free(ctx);
    pthread_mutex_lock(&iInitMutex);
    if (--iPcbLibraryInitCount == 0) connection_exitLibrary();
    pthread_mutex_unlock(&iInitMutex);
}

void walkThroughChangedParameters(notification_t *n) {
    if (notification_type(n) != notify_value_changed || !iParamChangedCallback) return;
    notification_parameter_t *p1 = notification_firstParameter(n);
    notification_parameter_t *p2 = notification_nextParameter(p1);
    notification_parameter_t *p3 = notification_nextParameter(p2);
    if (!p3) return;
    char *name = notification_parameter_value(p1);
    char *oldValue = notification_parameter_value(p2);
    char *newValue = notification_parameter_value(p3);
    /* a value without text is still a change (to or from nothing); without a name there is no parameter */
    if (name) iParamChangedCallback(notification_objectPath(n), name, oldValue, newValue);
    free(name);
    free(oldValue);
    free(newValue);
}

void walkThroughCustomNotificationParameters(notification_t *n) {
    uint32_t type = notification_type(n);
    notification_parameter_t *p = notification_firstParameter(n);
    if (type < notify_custom_first || !p || !iCustomNotificationCallback) return;
    cJSON *json = cJSON_CreateObject();
    if (!json) return;
    cJSON_AddNumberToObject(json, "notification_type", type);
    const char *name = notification_name(n);
    if (name)
        cJSON_AddStringToObject(json, "notification_name", name);
    else
        cJSON_AddNullToObject(json, "notification_name");
    cJSON *data = cJSON_AddArrayToObject(json, "notification_data");
    for (; p; p = notification_nextParameter(p)) {
        string_t text;
        variant_toJSON(&text, notification_parameter_variant(p));
        if (!string_isNull(&text)) cJSON_AddItemToArray(data, cJSON_CreateString(string_buffer(&text)));
        string_cleanup(&text);
    }
    char *out = cJSON_PrintUnformatted(json);
    cJSON_Delete(json);
    if (out) iCustomNotificationCallback(notification_objectPath(n), out);
    free(out);
}

void handleObjectItem(reply_item_t *item) {
    object_t *object = reply_item_object(item);
    char *path = object_pathChar(object);
    if (path && iObjectChangedCallback) iObjectChangedCallback(path, object);
    free(path);
}

/* Watches of the configured objects: objects and value changes. */
bool clientHandleReplyItem(request_t *, reply_item_t *item, void *) {
    switch (reply_item_type(item)) {
    case reply_type_object: handleObjectItem(item); break;
    case reply_type_notification: walkThroughChangedParameters(reply_item_notification(item)); break;
    default: break;
    }
    return true;
}

/* Run-time observations: objects, custom notifications and value changes. */
bool handleNotificationsFromObject(request_t *, reply_item_t *item, void *) {
    switch (reply_item_type(item)) {
    case reply_type_object: handleObjectItem(item); break;
    case reply_type_notification: {
        notification_t *n = reply_item_notification(item);
        if (notification_type(n) >= notify_custom_first)
            walkThroughCustomNotificationParameters(n);
        else
            walkThroughChangedParameters(n);
        break;
    }
    default: break;
    }
    return true;
}

bool handleAsyncCustomNotifications(request_t *, reply_item_t *item, void *) {
    if (reply_item_type(item) == reply_type_notification) {
        notification_t *n = reply_item_notification(item);
        if (notification_type(n) >= notify_custom_first) walkThroughCustomNotificationParameters(n);
    }
    return true;
}

/* Ends a call that gets no reply: its callback with no result (which frees its caller's slot). */
void endCallWithoutResult(request_t *req, void *custom) {
    if (iFunctionExecuteCallback) iFunctionExecuteCallback(request_path(req), request_functionName(req), nullptr, custom);
}

void handleAsyncFunctionReturn(request_t *req, void *userdata) {
    /* a call ended by a cancel is over: nothing of it may run twice */
    list_t *running = unlink_node(&iRunningCalls, req, 0);
    if (!running) return;
    free(running);
    reply_t *reply = request_reply(req);
    reply_item_t *returned = nullptr;
    bool failed = false;
    if (reply_itemCount(reply) > 0) {
        for (reply_item_t *item = reply_firstItem(reply); item; item = reply_nextItem(item)) {
            reply_item_type_t type = reply_item_type(item);
            if (type == reply_type_error) {
                failed = true;
                break;
            }
            if (type == reply_type_function_return) returned = item;
        }
    }
    if (!failed && returned && iFunctionExecuteCallback) {
        char *json = functionExecutionResultToJson(returned);
        iFunctionExecuteCallback(request_path(req), request_functionName(req), json, userdata);
        free(json);
    } else {
        endCallWithoutResult(req, userdata); /* an error, or a reply without a result */
    }
    freePcbRequestObjectAsync(req);
}

request_t *sendObjectRequest(const char *path, uint32_t attributes, request_replyItemHandler handler) {
    if (!iPcbContext || !path) return nullptr;
    request_t *req = request_create_getObject(path, -1, attributes);
    if (!req) return nullptr;
    request_setReplyItemHandler(req, handler);
    if (!pcb_sendRequest(iPcbContext->iPcbClient, iPcbContext->iDestination, req)) {
        request_destroy(req);
        return nullptr;
    }
    return req;
}

/* Ends the calls whose cancel is in the list: still in batch or queued (never sent) or running. */
void endCancelledCalls(list_t *cancels, list_t **batch) {
    while (cancels) {
        list_t *next = cancels->next;
        list_t *call = unlink_node(batch, nullptr, cancels->id);
        if (!call) call = unlink_locked(&asyncExecuteList, nullptr, cancels->id);
        if (!call) call = unlink_node(&iRunningCalls, nullptr, cancels->id);
        if (call) {
            request_t *req = (request_t *)call->data;
            endCallWithoutResult(req, call->custom);
            request_destroy(req); /* ends it on the bus when it was sent */
            free(call);
        }
        free(cancels);
        cancels = next;
    }
}

void drainExecuteList(void) {
    list_t *all = take_locked(&asyncExecuteList);
    endCancelledCalls(take_locked(&asyncCancelList), &all);
    while (all) {
        list_t *next = all->next;
        request_t *req = (request_t *)all->data;
        request_setDoneHandler(req, handleAsyncFunctionReturn);
        /* running before it is sent: a send on a lost connection completes it at once */
        all->next = iRunningCalls;
        iRunningCalls = all;
        if (!pcb_sendRequest(iPcbContext->iPcbClient, iPcbContext->iDestination, req)) {
            list_t *call = unlink_node(&iRunningCalls, req, 0);
            if (call) { /* else its done handler ran and owns it */
                endCallWithoutResult(req, call->custom);
                free(call);
                request_destroy(req);
            }
        }
        all = next;
    }
}

void drainFreeList(void) {
    list_t *all = asyncFreeList;
    asyncFreeList = nullptr;
    while (all) {
        list_t *next = all->next;
        request_destroy((request_t *)all->data);
        free(all);
        all = next;
    }
}

/* Ends the stopped observations: out of batch or the observe list when not sent yet, then destroyed. */
void endStopped(list_t *stops, list_t **batch) {
    while (stops) {
        list_t *next = stops->next;
        stop_t *stop = (stop_t *)stops->data;
        list_t *queued = batch ? unlink_node(batch, stop->request, 0) : nullptr;
        if (!queued) queued = unlink_locked(&asyncListenToChangesList, stop->request, 0);
        free(queued);
        request_destroy(stop->request);
        if (stop->ended) stop->ended(stop->data);
        free(stop);
        free(stops);
        stops = next;
    }
}

void drainObserveList(void) {
    list_t *all = take_locked(&asyncListenToChangesList);
    endStopped(take_locked(&asyncStopList), &all);
    while (all) {
        list_t *next = all->next;
        request_t *req = (request_t *)all->data;
        request_setReplyItemHandler(req, handleNotificationsFromObject);
        /* A refused send leaves the request to its owner, which destroys it once at clean-up. */
        pcb_sendRequest(iPcbContext->iPcbClient, iPcbContext->iDestination, req);
        free(all);
        all = next;
    }
}

}  // namespace

bool createPcbDataModelClient(void) {
    if (iPcbContext) return false;
    connection_setTerminated(false);
    iPcbContext = makeConnection();
    return iPcbContext != nullptr;
}

void destroyPcbDataModelClient(void) {
    TPcbDataModelContext *ctx = iPcbContext;
    iPcbContext = nullptr;
    destroyConnection(ctx);
}

TPcbDataModelContext *easyCreatePcbDataModelClient(void) {
    if (!iEasyPcbContext) iEasyPcbContext = makeConnection();
    return iEasyPcbContext;
}

void easyDestroyPcbDataModelClient(TPcbDataModelContext *) {}

char *easyGetPcbParamAsString(TPcbDataModelContext *aContext, const char *aObject, const char *aParam) {
    if (!aContext) return nullptr;
    const variant_t *value = pcb_client_get(aContext->iDestination, aObject, aParam);
    return value ? variant_char(value) : nullptr;
}

bool easySetPcbParam(TPcbDataModelContext *aContext, const char *aObject, const char *aParam, const char *aValue) {
    if (!aContext) return false;
    variant_t value;
    variant_initialize(&value, variant_type_unknown);
    variant_setChar(&value, aValue);
    bool ok = pcb_client_set(aContext->iDestination, aObject, aParam, &value);
    variant_cleanup(&value);
    return ok;
}

void setPcbChangesCallbacks(FPcbObjectChangedCallback aObjectCallback, FPcbParamChangedCallback aParamCallback) {
    iObjectChangedCallback = aObjectCallback;
    iParamChangedCallback = aParamCallback;
}

void setPcbFunctionCallback(FPcbFunctionCallback aCallback) { iFunctionExecuteCallback = aCallback; }

void setPcbCustomNotificationCallback(FPcbCustomNotificationCallback aCallback) {
    iCustomNotificationCallback = aCallback;
}

request_t *listenToChangesInPcbObject(const char *aPath) {
    return sendObjectRequest(aPath, KPcbAttrWatchObject, clientHandleReplyItem);
}

request_t *listenToCustomNotificationsFromPcbObject(const char *aPath) {
    return sendObjectRequest(aPath, KPcbAttrWatchCustom, handleAsyncCustomNotifications);
}

request_t *prepareToExecutePcbFunction(const char *aObjectPath, const char *aFunctionName) {
    return request_create_executeFunction(aObjectPath, aFunctionName, KPcbAttrExecuteFunction);
}

bool addStringParameter(request_t *aRequest, const char *aName, const char *aValue) {
    return request_addCharParameter(aRequest, aName, aValue);
}

bool addIntParameter(request_t *aRequest, const char *aName, int32_t aValue) {
    return request_addInt32Parameter(aRequest, aName, aValue);
}

bool addBoolParameter(request_t *aRequest, const char *aName, bool aValue) {
    return request_addBoolParameter(aRequest, aName, aValue ? 1 : 0);
}

bool attachCustomDataToPcbFunctionCall(request_t *aRequest, void *aCustomData) {
    return request_setData(aRequest, aCustomData);
}

uint64_t executePreparedPcbFunctionAsync(request_t *aRequest, void *aCustomData) {
    pthread_mutex_lock(&iListMutex);
    list_t *node = push(&asyncExecuteList, aRequest);
    uint64_t id = ++iLastCallId;
    if (node) {
        node->id = id;
        node->custom = aCustomData;
    }
    pthread_mutex_unlock(&iListMutex);
    if (!node) BRX_OOM_EXIT("executePreparedPcbFunctionAsync");
    connection_setEventsAvailable();
    return id;
}

bool cancelPcbFunctionCall(uint64_t aCallId) {
    pthread_mutex_lock(&iListMutex);
    list_t *queued = unlink_node(&asyncExecuteList, nullptr, aCallId);
    list_t *cancel = queued ? nullptr : push(&asyncCancelList, nullptr);
    if (cancel) cancel->id = aCallId;
    pthread_mutex_unlock(&iListMutex);
    if (queued) {
        /* never seen by the connector: gone without a callback */
        request_destroy((request_t *)queued->data);
        free(queued);
        return true;
    }
    if (!cancel) BRX_OOM_EXIT("cancelPcbFunctionCall");
    connection_setEventsAvailable();
    return false;
}

void forgetPcbFunctionCancels(void) {
    list_t *all = take_locked(&asyncCancelList);
    while (all) {
        list_t *next = all->next;
        free(all);
        all = next;
    }
}

request_t *prepareToObservePcbObject(const char *aPath) {
    return aPath ? request_create_getObject(aPath, -1, KPcbAttrObserveObject) : nullptr;
}

void startObservingPcbObjectAsync(request_t *aRequest) {
    pthread_mutex_lock(&iListMutex);
    bool ok = push(&asyncListenToChangesList, aRequest) != nullptr;
    pthread_mutex_unlock(&iListMutex);
    if (!ok) BRX_OOM_EXIT("startObservingPcbObjectAsync");
    connection_setEventsAvailable();
}

void stopObservingPcbObjectAsync(request_t *aRequest, void (*aEnded)(void *aData), void *aData) {
    stop_t *stop = (stop_t *)malloc(sizeof(stop_t));
    if (!stop) BRX_OOM_EXIT("stopObservingPcbObjectAsync");
    stop->request = aRequest;
    stop->ended = aEnded;
    stop->data = aData;
    pthread_mutex_lock(&iListMutex);
    bool ok = push(&asyncStopList, stop) != nullptr;
    pthread_mutex_unlock(&iListMutex);
    if (!ok) BRX_OOM_EXIT("stopObservingPcbObjectAsync");
    connection_setEventsAvailable();
}

void endStoppedPcbObservations(void) { endStopped(take_locked(&asyncStopList), nullptr); }

bool isPcbObservationQueued(request_t *aRequest) {
    pthread_mutex_lock(&iListMutex);
    bool found = false;
    for (list_t *n = asyncListenToChangesList; n && !found; n = n->next) found = n->data == aRequest;
    pthread_mutex_unlock(&iListMutex);
    return found;
}

void freePcbRequestObject(request_t *aRequest) { request_destroy(aRequest); }

void freePcbRequestObjectAsync(request_t *aRequest) {
    if (aRequest && !push(&asyncFreeList, aRequest)) BRX_OOM_EXIT("freePcbRequestObjectAsync");
}

bool startPcbDataModelEventLoop(void) {
    if (!iPcbContext) return false;
    connection_info_t *con = pcb_connection(iPcbContext->iPcbClient);
    connection_setSignalEventHandler(con, SIGPIPE, nullptr);
    llist_t connections;
    llist_initialize(&connections);
    llist_append(&connections, connection_getIterator(con));
    connection_setTerminated(false);
    bool ok = true;
    while (!connection_isTerminated()) {
        int ready = connection_waitForEvents_r(&connections, nullptr);
        if (ready < 0) {
            ok = false;
            break;
        }
        if (ready > 0) connection_handleEvents_r(&connections);
        drainExecuteList();
        drainFreeList();
        drainObserveList();
    }
    llist_cleanup(&connections);
    connection_setTerminated(false);
    return ok;
}

char *functionExecutionResultToJson(reply_item_t *aItem) {
    cJSON *json = cJSON_CreateObject();
    if (!json) return nullptr;
    string_t text;
    variant_toJSON(&text, reply_item_returnValue(aItem));
    if (string_isNull(&text))
        cJSON_AddNullToObject(json, "returns");
    else
        cJSON_AddStringToObject(json, "returns", string_buffer(&text));
    string_cleanup(&text);
    for (argument_value_t *arg = argument_valueFirstArgument(reply_item_returnArguments(aItem)); arg;
         arg = argument_valueNextArgument(arg)) {
        char *value = variant_char(argument_value(arg));
        cJSON_AddStringToObject(json, argument_valueName(arg), value ? value : "");
        free(value);
    }
    char *out = cJSON_PrintUnformatted(json);
    cJSON_Delete(json);
    return out;
}
