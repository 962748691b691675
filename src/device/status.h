#ifndef BRX_SRC_DEVICE_STATUS_H
#define BRX_SRC_DEVICE_STATUS_H

/* The engine's status word: key and channel "brixmoor:state" on the state instance. */

#include "src/db.h"

typedef enum brx_status {
    BRX_ENABLED = 0,
    BRX_DISABLED = 1,
    BRX_WAITING_FOR_PROVISIONING = 2,
    BRX_RESTORE_IN_PROGRESS = 3,
} brx_status_t;

void status_setup_redis_instance(redis_instance_t *conf, redis_instance_t *state);
/* Writes and announces the status when it differs from the stored one. */
void status_set(brx_status_t status);
brx_status_t status_get(void);
/* "DISABLED" for a value outside the enumeration. */
const char *status_to_string(brx_status_t status);
/* BRX_DISABLED for NULL or any text that is not exactly one of the four. */
brx_status_t string_to_status(const char *text);

#endif
