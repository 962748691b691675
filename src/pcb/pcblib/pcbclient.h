#ifndef BRX_SRC_PCB_PCBLIB_PCBCLIENT_H
#define BRX_SRC_PCB_PCBLIB_PCBCLIENT_H

/*
 * Thin client over the gateway bus library: the connector connection and its event loop, the
 * synchronous connection, the requests that watch, observe or execute, and the hand-over lists
 * between the loop thread (pushes) and the connector thread (drains).
 */

#include <stdbool.h>
#include <stdint.h>

#include "platform/pcb/pcb_bus.h"

typedef struct TPcbDataModelContext {
    pcb_t *iPcbClient;
    peer_info_t *iDestination;
} TPcbDataModelContext;

typedef void (*FPcbObjectChangedCallback)(const char *aObjectPath, object_t *aObject);
/* aOldValue and aNewValue are NULL for a value without text. */
typedef void (*FPcbParamChangedCallback)(const char *aObjectPath, const char *aParamName, const char *aOldValue,
                                         const char *aNewValue);
/* aJsonResult is NULL when the bus answered with an error. */
typedef void (*FPcbFunctionCallback)(const char *aObjectPath, const char *aFunctionName, const char *aJsonResult,
                                     void *aCustomData);
typedef void (*FPcbCustomNotificationCallback)(const char *aObjectPath, const char *aJson);

extern const char *const KPcbClientName;
extern const char *const KPcbUri;

#define KPcbAttrWatchObject 0x1045u
#define KPcbAttrWatchCustom 0x200u
#define KPcbAttrObserveObject 0x1245u
#define KPcbAttrExecuteFunction 0x8001u

/* Connector connection (connector thread). False when one exists already or it cannot be made. */
bool createPcbDataModelClient(void);
void destroyPcbDataModelClient(void);

/* Synchronous connection, made on first use and kept. */
TPcbDataModelContext *easyCreatePcbDataModelClient(void);
void easyDestroyPcbDataModelClient(TPcbDataModelContext *aContext);
/* New string or NULL. */
char *easyGetPcbParamAsString(TPcbDataModelContext *aContext, const char *aObject, const char *aParam);
bool easySetPcbParam(TPcbDataModelContext *aContext, const char *aObject, const char *aParam, const char *aValue);

void setPcbChangesCallbacks(FPcbObjectChangedCallback aObjectCallback, FPcbParamChangedCallback aParamCallback);
void setPcbFunctionCallback(FPcbFunctionCallback aCallback);
void setPcbCustomNotificationCallback(FPcbCustomNotificationCallback aCallback);

/* Sent at once over the connector connection; the request, or NULL when it cannot be sent. */
request_t *listenToChangesInPcbObject(const char *aPath);
request_t *listenToCustomNotificationsFromPcbObject(const char *aPath);

/* Function calls: prepared on the loop thread, sent by the connector. */
request_t *prepareToExecutePcbFunction(const char *aObjectPath, const char *aFunctionName);
bool addStringParameter(request_t *aRequest, const char *aName, const char *aValue);
bool addIntParameter(request_t *aRequest, const char *aName, int32_t aValue);
bool addBoolParameter(request_t *aRequest, const char *aName, bool aValue);
bool attachCustomDataToPcbFunctionCall(request_t *aRequest, void *aCustomData);
/*
 * Pushes to the execute list and wakes the connector. Every call sent ends with exactly one run of
 * the function callback, with a NULL result when it ended without one; aCustomData is the data
 * attached to the request, which that run gets also when the bus never answered. Returns the
 * call's id (never 0, never reused).
 */
uint64_t executePreparedPcbFunctionAsync(request_t *aRequest, void *aCustomData);
/*
 * Ends a call (loop thread). True when it was still queued: it is gone and no callback runs for it.
 * False otherwise: the connector ends it at its next wake-up, before it sends any call queued
 * later, and the callback runs once with a NULL result unless it has run already.
 */
bool cancelPcbFunctionCall(uint64_t aCallId);

/* Observations: prepared on the loop thread, sent by the connector; the caller keeps ownership. */
request_t *prepareToObservePcbObject(const char *aPath);
/* Pushes to the observe list and wakes the connector. */
void startObservingPcbObjectAsync(request_t *aRequest);
/*
 * Hands an observation back to the connector to end (loop thread): it destroys the request, sent
 * or still queued, before it sends any observation queued later, and then calls aEnded(aData) on
 * its thread.
 */
void stopObservingPcbObjectAsync(request_t *aRequest, void (*aEnded)(void *aData), void *aData);
/* Connector thread, outside the event loop: ends the stopped observations now. */
void endStoppedPcbObservations(void);
/* Connector thread: true while the request waits in the observe list, not yet sent. */
bool isPcbObservationQueued(request_t *aRequest);
/* Connector thread, once its connection is gone: forgets cancels that can no longer find a call. */
void forgetPcbFunctionCancels(void);

void freePcbRequestObject(request_t *aRequest);
/* Pushes to the free list (connector thread), destroyed at the next drain. */
void freePcbRequestObjectAsync(request_t *aRequest);

/* Runs the connector connection's event loop until it fails or is terminated; false on failure. */
bool startPcbDataModelEventLoop(void);

/* Result JSON of a function-return item: {"returns": <JSON text or null>, <argument>: <text>, ...}. */
char *functionExecutionResultToJson(reply_item_t *aItem);

#endif
