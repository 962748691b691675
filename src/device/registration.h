#ifndef BRX_SRC_DEVICE_REGISTRATION_H
#define BRX_SRC_DEVICE_REGISTRATION_H

/*
 * Registration of a newly found device and deletion of a registered one, both entered from the
 * script device module (`device.add`, `device.delete`). A registration asks the application
 * server (for gateways and cameras), numbers the device "<networkid>-<n>", writes its keys in one
 * transaction, sets it up or tells it who leads, and reports failures on "newdevice:feedback".
 * Loop thread only; runs on the leader, whose Redis commands block.
 */

#include <stddef.h>

#include "src/db.h"

struct evkeyvalq;

typedef enum status {
    OK = 0,
    ERROR = 1,
} status_t;

typedef enum error_reason {
    NONE = 0,
    SERVER_ERR = 1,
    REJECTED = 2,
    UNEXPECTED_ERR = 3,
} error_reason_t;

void registration_setup_redis_instance(redis_instance_t *conf, redis_instance_t *state);

/* Runs the registration request text; the outcome is reported through Redis. */
void device_register_cb(const char *text);

/*
 * The server's answer (an http_req_cb; also called directly with the fixed local answer). It owns
 * working_record (the registration's cJSON record) and frees it.
 */
void continue_registration(int status, const struct evkeyvalq *headers, const char *body, size_t length,
                           void *working_record);

/* Deletes the device the request text names; key and arg are not used. */
void device_delete_cb(const char *key, const char *text, const void *arg);

/* Publishes and stores a feedback record unless one for the same request id is still stored. */
void publish_status(const char *requestid, const char *address, status_t status, error_reason_t reason);

/*
 * The next device number, stored in "deviceid"; 0 (WARN) when "deviceid" holds something other
 * than a device number, so that no number is issued twice.
 */
unsigned long get_next_device_id(void);

#endif
