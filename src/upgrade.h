#ifndef BRX_SRC_UPGRADE_H
#define BRX_SRC_UPGRADE_H

/*
 * Firmware: the leader's daily question to the application server about the firmware of every
 * registered kind of device (stored as offers under "upgrade:device:<class>:<domain>:<vendor>:<model>"
 * and compared with each device's version), and the upgrade machine of a device, driven by
 * "device:<id>:state:upgrade". Loop thread only; the prepare, verification and upgrade commands
 * block the loop while they run.
 */

#include <stddef.h>

#include "src/db.h"
#include "src/device/context.h"

struct event_base;
struct evkeyvalq;

void upgrade_setup_redis_instance(redis_instance_t *conf, redis_instance_t *state);

/* Starts the version check on the leader; a second call re-plans the check and stacks nothing. */
void global_upgrade_init(struct event_base *base);
/* Stops it; harmless when it never started. */
void global_upgrade_cleanup(void);

/* Starts the upgrade machine of a device; nothing when its machine already runs. */
void device_upgrade_init(device_ctx_t *ctx, struct event_base *base);
/* Ends the machine: its watch, and an attempt still under way (its image removed). NULL tolerated. */
void device_upgrade_cleanup(device_ctx_t *ctx);

/* ---- the version check's parts, also used by its tests ---- */

/* The delay until the next check, and how the daily plan made it. */
typedef struct upgrade_delay {
    long long minutes;
    int daily;              /* 1: planned from the clock and the draws */
    int hours_to_midnight;  /* 24 - hour */
    int hours_after;        /* draw6 % 6 */
    int minutes_after;      /* draw60 % 60 */
} upgrade_delay_t;

/*
 * configured > 0: that many minutes. Otherwise the daily plan: (24 - hour + draw6 % 6) * 60 +
 * draw60 % 60, the minutes already past in the hour not subtracted (minute is only reported).
 * draw6 and draw60 are rand() results, taken in that order.
 */
upgrade_delay_t upgrade_next_delay(int hour, int minute, int draw6, int draw60, int configured);

/* Arms the one check timer with the next delay, replacing a pending one. */
void schedule_next_version_check(void);
/* The server's answer to the version request. */
void global_upgrade_conf_received(int code, const struct evkeyvalq *headers, const char *body, size_t len,
                                  void *arg);
/* Marks the device "start" (or "available") when new_version's leading integer is above current's. */
void global_upgrade_device_notify(const char *current_version, const char *new_version, const char *device_id);

#endif
