#ifndef BRX_SRC_DB_PERSIST_H
#define BRX_SRC_DB_PERSIST_H

/*
 * Storage of device measurements (history). This build has no storage behind it: dbp_init fails,
 * measurements are accepted and dropped, queries give nothing and no name maps to a known type.
 */

#include <time.h>

struct cJSON;

typedef enum {
    DATA_POWER = 0,
    DATA_CONSUMPTION = 1,
    DATA_HUMIDITY = 2,
    DATA_TEMPERATURE = 3,
    DATA_LIGHT = 4,
    DATA_LIGHT_PROC = 5,
    DATA_NONE = 6,
} dbp_data_t;

typedef enum {
    AGGR_HOUR = 0,
    AGGR_DAY = 1,
    AGGR_WEEK = 2,
    AGGR_MONTH = 3,
    AGGR_NONE = 4,
} dbp_aggregate_t;

typedef struct tm dbp_tm;

int dbp_init(void); /* 0 when storage is available */
void dbp_destroy(void);
int dbp_add_measurement(const char *device_id, dbp_data_t type, const dbp_tm *time, double value);
struct cJSON *dbp_get_measurements(const char *device_id, dbp_data_t type, dbp_aggregate_t aggregation,
                                   const dbp_tm *start, const dbp_tm *end);
struct cJSON *dbp_get_measurements_from(const char *device_id, dbp_data_t type, dbp_aggregate_t aggregation,
                                        const dbp_tm *start);
dbp_data_t dbp_datastr_to_type(const char *name);
dbp_aggregate_t dbp_aggrstr_to_type(const char *name);

#endif
