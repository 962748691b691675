#ifndef BRX_SRC_BACKUP_H
#define BRX_SRC_BACKUP_H

/*
 * The gateway's backup of its durable state keys on the application server, and their restore when
 * the gateway's HA-ID changes. Changes of the backed-up keys are posted shortly after they settle,
 * with a growing back-off on failures; a restore writes the server's copy into the state instance
 * and ends the process with status 4, so that the engine starts again on it. A failed restore waits
 * for the mobile app's "try" or "drop" in "restore:trigger". Gateway only; loop thread only.
 */

#include "src/db.h"

struct event_base;

/* Kept in "restore:state" as the enumerator's name. */
typedef enum restore_state {
    RESTORE_OK_SUCCESS = 0,
    RESTORE_OK_NO_RESTORE = 1,
    RESTORE_OK_DROPPED = 2,
    RESTORE_REQUESTED = 3,
    RESTORE_WAITING = 4,
    RESTORE_ERROR_TIMEOUT = 5,
    RESTORE_ERROR_GENERAL = 6,
} restore_state_t;

/*
 * Starts the service; may block while it waits for the HA-ID and, when it starts a restore, for the
 * gateway client's connection. Returns early, half started, when a stop is requested meanwhile (the
 * caller checks signals_stop_requested). Ends the process with status 5 when a timer cannot be made
 * or no server URL is known.
 */
void backup_service_init(redis_instance_t *redis_conf, redis_instance_t *redis_state, struct event_base *base);
/* Ends the watches and pending requests, frees everything; a no-op when never started. */
void backup_service_destroy(void);

#endif
