#include <cjson/cJSON.h>
#include <event2/event.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "common/glib-mini/glib.h"
#include "common/logger/logger.h"
#include "src/db.h"
#include "src/db_persist/db_persist.h"
#include "src/device/commands.h"
#include "src/device/alive.h"
#include "src/device/context.h"
#include "src/device/driver.h"
#include "src/device/engine.h"
#include "src/discovery.h"
#include "src/external_conf.h"
#include "src/helpers.h"
#include "src/scheduler.h"
#include "src/stats.h"
#include "src/upgrade.h"

#define LOG_CATEGORY "device"

namespace {

int persist_enabled = 0;

/* The clock check: the previous check's time, kept for the life of the process. */
time_t prevtime = 0;
struct tm prevtm;
struct event *time_checker_timer = nullptr;
leader_clock_t leader_clock = nullptr;
const struct timeval kTimeCheckerPeriod = {15, 0};

time_t leader_now(void) { return leader_clock ? leader_clock() : time(nullptr); }

void time_checker_event(evutil_socket_t, short, void *) { time_checker_cb(); }

/* The household schedule read, parsed and watched (the watch is made once however often it is read). */
void read_schedule(void) { db_get(redis_instance_state, get_scheduler_conf_callback, nullptr, "schedule"); }

const char *or_null(const char *s) { return s ? s : "NULL"; }

void scene_delete_cb(const char *channel, const char *, const void *) { scene_delete(channel); }

/* The id between "scene:" and ":delete": a scene id may hold ':', and its first field names another scene. */
char *scene_id_of(const char *channel) {
    static const char kPrefix[] = "scene:", kSuffix[] = ":delete";
    const size_t p = sizeof kPrefix - 1, k = sizeof kSuffix - 1, n = channel ? strlen(channel) : 0;
    if (n < p + k || strncmp(channel, kPrefix, p) != 0 || strcmp(channel + n - k, kSuffix) != 0)
        return get_nth_field(channel, 2);
    char *id = strndup(channel + p, n - p - k);
    if (!id) BRX_OOM_EXIT("scene id");
    return id;
}

/* The essential watches: a failure ends the leader start. */
int watch_keys(db_key_value_callback_t cb, const char *pattern) {
    if (db_psubscribe_for_key(redis_instance_state, cb, nullptr, "%s", pattern)) return 0;
    LOGW("PSUBSCRIBE __keyspace@0__:%s failed", pattern);
    return -1;
}

void switch_persistence(int on) {
    persist_enabled = on && dbp_init() == 0;
    if (!on) dbp_destroy();
}

}  // namespace

int master_device_start(void) {
    LOGI("Master device start");
    char *url = ext_get_server_url();
    if (url) {
        LOGD("Save server address to redis");
        db_set(redis_instance_state, "server:address", url);
        free(url);
    }
    if (watch_keys(device_states_callback, "device:*:state:*") < 0) return -1;
    if (watch_keys(device_metas_callback, "device:*:meta:*") < 0) return -1;
    if (!db_psubscribe(redis_instance_state, alive_updated_cb, nullptr, "device:*:state:online")) {
        LOGW("PSUBSCRIBE %s failed", "device:*:state:online");
        return -1;
    }
    if (!db_psubscribe(redis_instance_state, device_states_publish_callback, nullptr, "device:*:state:*")) {
        LOGW("PSUBSCRIBE %s failed", "device:*:state:*");
        return -1;
    }
    if (!db_subscribe(redis_instance_state, subscribe_scene_command_callback, nullptr, "scene:command")) {
        LOGW("SUBSCRIBE %s failed", "scene:command");
        return -1;
    }
    if (watch_keys(newdevice_callback, "newdevice:*") < 0) return -1;
    db_get_keys(redis_instance_state, start_alive_timer, nullptr, "device:*:meta:classname:*");
    // The watches are in force before anything below writes: the states that the drivers write in
    // their init during the set-up are republished too.
    if (db_wait_subscribed(redis_instance_state) != 0) LOGW("The leader's watches may miss the first changes");

    if (!db_subscribe(redis_instance_state, test_triggered_cb, nullptr, "newdevice:test"))
        LOGW("Subscribe for test channel failed");
    if (!db_psubscribe(redis_instance_state, device_delete_redirect, nullptr, "device:*:delete"))
        LOGW("Subscribe for delete channel failed");
    if (!db_psubscribe(redis_instance_state, scene_delete_cb, nullptr, "scene:*:delete"))
        LOGW("Subscribe for delete channel failed");
    if (!db_subscribe(redis_instance_state, execute_gateway_command, nullptr, "gateway:command"))
        LOGW("Subscribe for gateway:command failed");

    if (db_get_keys(redis_instance_conf, configure_app_keys, nullptr, "app:*:code") != 0)
        LOGW("configure apps failed");
    if (setup_device() != 0) LOGW("setup_device failed");
    read_schedule();

    if (!db_subscribe(redis_instance_state, disk_mounted_callback, nullptr, "gateway:disk"))
        LOGW("Cannot subscribe for gateway:diskmounted");
    switch_persistence(1);
    if (persist_enabled)
        LOGI("persist_enabled is %d", persist_enabled);
    else
        LOGI("Cannot init db_persist or persist disabled");
    LOGI("Upgrade enabled");
    global_upgrade_init(g_main_base);
    time_checker_start();
    return 0;
}

void get_scheduler_conf_callback(const char *value, const void *) {
    if (value) {
        LOGD("scheduler_conf: %s", value);
        // Watched all the same: the next valid value is the one that counts.
        if (scheduler_conf_parse(value) != 0) LOGW("scheduler_conf_parse fialed");
    } else {
        LOGD("scheduler_conf is NULL");
    }
    // One callback for every read: the data layer merges the watch into the first one.
    if (!db_subscribe_for_key(redis_instance_state, scheduler_conf_callback, nullptr, "schedule"))
        LOGW("SUBSCRIBE key %s failed", "schedule");
}

void scheduler_conf_callback(const char *key, const char *value, const void *) {
    if (!value) {
        LOGW("scheduler_conf_callback - scheduler conf is null");
        return;
    }
    LOGD("scheduler (key %s) is set with value %s", or_null(key), value);
    if (scheduler_conf_parse(value) != 0) LOGW("scheduler_conf_parse failed");
}

int scheduler_conf_parse(const char *text) {
    // Refused by its length before a tree is made of it, and like a faulty rule nothing runs then.
    if (text && !scheduler_value_fits(text)) {
        LOGI("Schedule value passes %d bytes, no schedule runs", SCHEDULER_MAX_VALUE);
        LOGW("Error in parsing");
        scheduler_cleanup(g_scheduler);
        return -1;
    }
    cJSON *root = text ? cJSON_Parse(text) : nullptr;
    if (!cJSON_IsArray(root)) {
        LOGW("Error in parsing");
        cJSON_Delete(root);
        return -1;
    }
    if (scheduler_cleanup(g_scheduler) != 0) {
        LOGW("scheduler_cleanup_entries_list failed");
        cJSON_Delete(root);
        return -1;
    }
    int rc = 0, count = 0;
    for (const cJSON *rule = root->child; rule && rc == 0; rule = rule->next) {
        rc = -1;
        const cJSON *active = cJSON_GetObjectItemCaseSensitive(rule, "active");
        const cJSON *days = cJSON_GetObjectItemCaseSensitive(rule, "days");
        const cJSON *time = cJSON_GetObjectItemCaseSensitive(rule, "time");
        const cJSON *actions = cJSON_GetObjectItemCaseSensitive(rule, "actions");
        if (!active) {
            LOGW("No active element or active element failed");
        } else if (cJSON_IsFalse(active)) {
            LOGD("Active type for rule is false, continue with next one");
            rc = 0;
        } else if (!scheduler_days_fit(days)) {
            LOGW("No day element or day element failed");
        } else if (!cJSON_IsString(time) || !time->valuestring) {
            LOGW("No time element or time key is NULL");
        } else if (!actions) {
            LOGW("No action element or action key is NULL");
        } else {
            char *printed = cJSON_Print(actions);
            if (!printed)
                LOGW("Cannot print message");
            else if (scheduler_add_entry(g_scheduler, days, time->valuestring, printed) != 0)
                LOGW("scheduler_add_entry failed");
            else
                rc = 0;
            if (rc == 0) count++;
            free(printed);
        }
    }
    cJSON_Delete(root);
    if (rc != 0) return -1;
    stats_update(STAT_NUM_OF_SCHEDULES, (uint32_t)count);
    if (scheduler_start(g_scheduler) != 0) {
        LOGW("scheduler_start failed");
        return -1;
    }
    return 0;
}

void leader_stop(void) {
    if (persist_enabled) dbp_destroy();
    persist_enabled = 0;
    if (time_checker_timer) event_free(time_checker_timer);
    time_checker_timer = nullptr;
}

void time_checker_start(void) {
    LOGD("Setup time checker");
    if (prevtime == 0) {
        prevtime = leader_now();
        localtime_r(&prevtime, &prevtm);
    }
    // Once per process: a second leader start must not add a second clock, whose checks would see
    // differences of a few seconds and reload every 15 s.
    if (time_checker_timer) return;
    time_checker_timer = event_new(g_main_base, -1, EV_PERSIST, time_checker_event, nullptr);
    if (!time_checker_timer || event_add(time_checker_timer, &kTimeCheckerPeriod) != 0)
        BRX_OOM_EXIT("time_checker_timer");
}

void time_checker_cb(void) {
    time_t now = leader_now();
    struct tm nowtm;
    localtime_r(&now, &nowtm);
    // mktime on both broken-down times, each with its own tm_isdst: a daylight-saving change is
    // no jump.
    struct tm then = prevtm;
    const int diff = (int)difftime(mktime(&nowtm), mktime(&then));
    prevtime = now;
    prevtm = nowtm;
    if (diff >= 13 && diff <= 17) return;
    LOGI("Time was probably changed (diff %d), reload scheduler config", diff);
    read_schedule();
    foreach_device_context(reload_device_ctx_scheduler);
}

void reload_device_ctx_scheduler(device_ctx_t *ctx) {
    LOGD("reload_device_ctx_scheduler for device %s", or_null(ctx->device_id));
    // Only a planned schedule is planned again: one that its script filled but never started stays idle.
    if (!ctx->scheduler_ctx || !scheduler_is_started(ctx->scheduler_ctx)) return;
    scheduler_cleanup_timer(ctx->scheduler_ctx);
    scheduler_start(ctx->scheduler_ctx);
}

void leader_set_clock(leader_clock_t clock) {
    leader_clock = clock;
    prevtime = 0;
}

void device_states_callback(const char *key, const char *value, const void *) {
    if (!key || !value) {
        LOGW("device_states_get_callback key: %s value: %s failed", or_null(key), or_null(value));
        return;
    }
    db_publish(redis_instance_state, key, value);
}

void device_metas_callback(const char *key, const char *value, const void *) {
    if (key && value) db_publish(redis_instance_state, key, value);
}

void device_states_publish_callback(const char *channel, const char *message, const void *) {
    if (channel && message && persist_enabled) persist_state(channel, message);
}

void persist_state(const char *channel, const char *message) {
    char *device_id = get_nth_field(channel, 2);
    if (!device_id) {
        LOGW("persist_state cannot get device_id");
        return;
    }
    char *type = get_nth_field(channel, 4);
    if (!type) {
        LOGW("persist_state cannot get type");
        free(device_id);
        return;
    }
    dbp_data_t data = dbp_datastr_to_type(type);
    if (data == DATA_NONE) {
        LOGT("We do not persist %s type, return", type);
    } else {
        LOGT("persist_state %s - %s", device_id, type);
        time_t now = time(nullptr);
        struct tm tm;
        localtime_r(&now, &tm);
        dbp_add_measurement(device_id, data, &tm, strtod(message, nullptr));
    }
    free(type);
    free(device_id);
}

void newdevice_callback(const char *key, const char *value, const void *) {
    LOGD("newdevice_callback from channel %s", or_null(key));
    if (!key) return;
    if (value) {
        LOGD("Publishing %s", value);
        if (db_publish(redis_instance_state, key, value) < 0) LOGW("Publish %s failed", value);
        return;
    }
    // Gone when it was read: expired, or deleted and written again in between.
    LOGD("Publishing %s (empty json)", key);
    if (db_publish(redis_instance_state, key, "{}") < 0) LOGW("Publish {} (empty json) failed");
}

void start_alive_timer(const void *keys, const void *) {
    LOGD("start_alive_timer v4");
    for (const GSList *it = (const GSList *)keys; it; it = it->next) {
        const char *key = (const char *)it->data;
        LOGD("start_alive_timer %s", key);
        // "device:<id>:meta:classname:<class>:<domain>:<vendor>:<model>"
        char *class_name = get_nth_field(key, 5);
        char *domain = get_nth_field(key, 6);
        if (class_name && domain) {
            LOGD("start_alive_timer - checking key %s, domain %s, class %s", key, domain, class_name);
            if (class_allowed_for_alive(class_name, domain)) {
                LOGD("Class %s (%s) allowed for alive", class_name, domain);
                char *id = get_nth_field(key, 2);
                if (id) {
                    LOGD("start_alive_timer - start alive timer for id %s", id);
                    reset_alive_timer(id);
                }
                free(id);
            } else {
                LOGD("Class %s (%s) NOT allowed for alive", class_name, domain);
            }
        }
        free(domain);
        free(class_name);
    }
    LOGD("start_alive_timer end");
}

void test_triggered_cb(const char *, const char *message, const void *) {
    LOGI("test_triggered received message: %s", or_null(message));
    cJSON *root = message ? cJSON_Parse(message) : nullptr;
    if (!root) {
        LOGW("Cannot parse json");
        return;
    }
    const cJSON *address = cJSON_GetObjectItemCaseSensitive(root, "address");
    const cJSON *command = cJSON_GetObjectItemCaseSensitive(root, "command");
    if (cJSON_IsString(address) && address->valuestring && cJSON_IsString(command) && command->valuestring)
        discovery_send_test(address->valuestring, command->valuestring);
    cJSON_Delete(root);
}

void device_delete_redirect(const char *channel, const char *message, const void *) {
    LOGD("Device delete redirect with key %s, value %s", or_null(channel), or_null(message));
    char *id = get_nth_field(channel, 2);
    if (!id) {
        LOGW("Cannot get id");
        return;
    }
    char *domain = db_get_sync(redis_instance_state, "device:%s:domain", id);
    free(id);
    if (!domain) {
        LOGW("Cannot get domain");
        return;
    }
    domain_default_driver(domain, "delete", message);
    free(domain);
}

void scene_delete(const char *channel) {
    char *id = scene_id_of(channel);
    if (!id) return;
    LOGD("Delete scene %s", id);
    db_del_fmt(redis_instance_state, "scene:%s:commands", id);
    free(id);
}

void disk_mounted_callback(const char *channel, const char *message, const void *) {
    LOGD("disk_mounted_callback key %s, val %s", or_null(channel), or_null(message));
    switch_persistence(message && strcmp(message, "mounted") == 0);
    LOGD("persist_enabled is %d", persist_enabled);
}
