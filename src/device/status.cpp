#include "src/device/status.h"

#include <stdlib.h>
#include <string.h>

#include "common/logger/logger.h"

#define LOG_CATEGORY "status"

#define STATUS_KEY "brixmoor:state"

namespace {

redis_instance_t *redis_instance_conf = nullptr;
redis_instance_t *redis_instance_state = nullptr;

const char *const status_names[] = {"ENABLED", "DISABLED", "WAITING_FOR_PROVISIONING", "RESTORE_IN_PROGRESS"};
const int status_count = sizeof status_names / sizeof status_names[0];

}  // namespace

void status_setup_redis_instance(redis_instance_t *conf, redis_instance_t *state) {
    redis_instance_conf = conf;
    redis_instance_state = state;
}

const char *status_to_string(brx_status_t status) {
    int i = (int)status;
    return i >= 0 && i < status_count ? status_names[i] : "DISABLED";
}

brx_status_t string_to_status(const char *text) {
    if (!text) return BRX_DISABLED;
    for (int i = 0; i < status_count; i++)
        if (strcmp(text, status_names[i]) == 0) return (brx_status_t)i;
    return BRX_DISABLED;
}

void status_set(brx_status_t status) {
    const char *text = status_to_string(status);
    char *old = db_get_sync(redis_instance_state, "%s", STATUS_KEY);
    if (old && strcmp(old, text) == 0) {
        LOGI("status (%s) not changed", old);
        free(old);
        return;
    }
    LOGI("status_set (%s) -> (%s)", old ? old : "null", text);
    free(old);
    db_set(redis_instance_state, STATUS_KEY, text);
    // The announcement goes where the SET went. On the gateway it is blocking, so that subscribers
    // hear of it even while the loop thread sleeps in a wait; a follower's SET and PUBLISH both go to
    // the leader, asynchronously.
    if (db_is_local(redis_instance_state))
        db_publish_sync(redis_instance_state, STATUS_KEY, text);
    else
        db_publish(redis_instance_state, STATUS_KEY, text);
}

brx_status_t status_get(void) {
    char *value = db_get_sync(redis_instance_state, "%s", STATUS_KEY);
    LOGI("get current status %s", value ? value : "null");
    brx_status_t status = string_to_status(value);
    free(value);
    return status;
}
