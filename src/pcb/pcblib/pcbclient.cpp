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
    struct list_t *next;
} list_t;

TPcbDataModelContext *iPcbContext = nullptr;     /* connector thread */
TPcbDataModelContext *iEasyPcbContext = nullptr; /* synchronous connection */
int iPcbLibraryInitCount = 0;
pthread_mutex_t iInitMutex = PTHREAD_MUTEX_INITIALIZER;

FPcbObjectChangedCallback iObjectChangedCallback = nullptr;
FPcbParamChangedCallback iParamChangedCallback = nullptr;
FPcbFunctionCallback iFunctionExecuteCallback = nullptr;
FPcbCustomNotificationCallback iCustomNotificationCallback = nullptr;

/* asyncExecuteList and asyncListenToChangesList are shared with the loop thread under iListMutex. */
list_t *asyncExecuteList = nullptr;
list_t *asyncListenToChangesList = nullptr;
list_t *asyncFreeList = nullptr; /* connector thread only */
pthread_mutex_t iListMutex = PTHREAD_MUTEX_INITIALIZER;

bool push(list_t **list, void *data) {
    list_t *node = (list_t *)malloc(sizeof(list_t));
    if (!node) return false;
    node->data = data;
    node->next = *list;
    *list = node;
    return true;
}

list_t *take_locked(list_t **list) {
    pthread_mutex_lock(&iListMutex);
    list_t *all = *list;
    *list = nullptr;
    pthread_mutex_unlock(&iListMutex);
    return all;
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

void handleAsyncFunctionReturn(request_t *req, void *userdata) {
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
    if (iFunctionExecuteCallback) {
        if (failed) {
            iFunctionExecuteCallback(request_path(req), request_functionName(req), nullptr, userdata);
        } else if (returned) {
            char *json = functionExecutionResultToJson(returned);
            iFunctionExecuteCallback(request_path(req), request_functionName(req), json, userdata);
            free(json);
        }
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

void drainExecuteList(void) {
    list_t *all = take_locked(&asyncExecuteList);
    while (all) {
        list_t *next = all->next;
        request_t *req = (request_t *)all->data;
        request_setDoneHandler(req, handleAsyncFunctionReturn);
        if (!pcb_sendRequest(iPcbContext->iPcbClient, iPcbContext->iDestination, req)) request_destroy(req);
        free(all);
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

void drainObserveList(void) {
    list_t *all = take_locked(&asyncListenToChangesList);
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

void executePreparedPcbFunctionAsync(request_t *aRequest) {
    pthread_mutex_lock(&iListMutex);
    bool ok = push(&asyncExecuteList, aRequest);
    pthread_mutex_unlock(&iListMutex);
    if (!ok) BRX_OOM_EXIT("executePreparedPcbFunctionAsync");
    connection_setEventsAvailable();
}

request_t *prepareToObservePcbObject(const char *aPath) {
    return aPath ? request_create_getObject(aPath, -1, KPcbAttrObserveObject) : nullptr;
}

void startObservingPcbObjectAsync(request_t *aRequest) {
    pthread_mutex_lock(&iListMutex);
    bool ok = push(&asyncListenToChangesList, aRequest);
    pthread_mutex_unlock(&iListMutex);
    if (!ok) BRX_OOM_EXIT("startObservingPcbObjectAsync");
    connection_setEventsAvailable();
}

bool withdrawPcbObservation(request_t *aRequest) {
    bool found = false;
    pthread_mutex_lock(&iListMutex);
    for (list_t **link = &asyncListenToChangesList; *link; link = &(*link)->next) {
        if ((*link)->data == aRequest) {
            list_t *node = *link;
            *link = node->next;
            free(node);
            found = true;
            break;
        }
    }
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
