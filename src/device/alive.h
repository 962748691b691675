#ifndef BRX_SRC_DEVICE_ALIVE_H
#define BRX_SRC_DEVICE_ALIVE_H

/*
 * Alive tracking on the leader: "device:<id>:state:online" of LAN cameras and switches and of
 * virtual bridges and lights goes "false" 70 seconds after the device's last sign of life, and a
 * camera's stored address follows the address its ALIVE datagrams come from. Loop thread only.
 */

#include <stdint.h>

#include "src/db.h"

struct event_base;
struct event;

/* One watch: at most one per device id. */
typedef struct alive_context {
    char *device_id;
    struct event *timer; /* one-shot, 70 s */
} alive_context_t;

void alive_setup_redis_instance(redis_instance_t *conf, redis_instance_t *state);
void alive_set_event_base(struct event_base *base);

/* 1 for ("LAN", "camera"), ("LAN", "switch"), ("VIRTUAL", "bridge"), ("VIRTUAL", "light"); else 0. */
int class_allowed_for_alive(const char *class_name, const char *domain);

/* Starts the device's watch, or moves its expiry to 70 s from now; the result of arming (0 on success). */
int reset_alive_timer(const char *device_id);

/* Messages of "device:*:state:online": a "true" renews the watch of a device of an allowed class. */
void alive_updated_cb(const char *key, const char *value, const void *arg);

/* A camera's ALIVE came from ip (network order): both stored address keys follow it. */
void check_alive_ip(const char *device_id, uint32_t ip);

/* Ends every watch without touching Redis (tear-down). */
void alive_stop(void);

#endif
