#include "src/db_persist/db_persist.h"

#include <stddef.h>

int dbp_init(void)
{
    return -1;
}

void dbp_destroy(void) {}

int dbp_add_measurement(const char *, dbp_data_t, const dbp_tm *, double)
{
    return 0;
}

struct cJSON *dbp_get_measurements(const char *, dbp_data_t, dbp_aggregate_t, const dbp_tm *, const dbp_tm *)
{
    return NULL;
}

struct cJSON *dbp_get_measurements_from(const char *, dbp_data_t, dbp_aggregate_t, const dbp_tm *)
{
    return NULL;
}

dbp_data_t dbp_datastr_to_type(const char *)
{
    return DATA_NONE;
}

dbp_aggregate_t dbp_aggrstr_to_type(const char *)
{
    return AGGR_NONE;
}
