#ifndef BRX_SRC_STATS_H
#define BRX_SRC_STATS_H

/*
 * Statistics of the gateway's configuration (device types and models, scenes, if/then rules,
 * weekly-schedule rules, the scripts' version), recounted from the state instance whenever their
 * keys change and written to the "APService.HomeAutomation.Brixmoor*" gateway parameters.
 * Gateway only; loop thread only.
 */

#include <stdint.h>

#include "src/db.h"

typedef enum {
    STAT_NUM_OF_SCHEDULES = 0,
    STAT_NUM_OF_SCENES = 1,
    STAT_NUM_OF_RULES = 2,
    STAT_DEVICE_TYPES = 3,
} brx_stat_t;

/* Counts everything once and watches the keys the counts come from. Once per process. */
void stats_init(redis_instance_t *state);

/* Only STAT_NUM_OF_SCHEDULES is written from outside: the active rules of a valid schedule. */
void stats_update(brx_stat_t kind, uint32_t value);

#endif
