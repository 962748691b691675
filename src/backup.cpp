#include "src/backup.h"

#include <cjson/cJSON.h>
#include <event2/event.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "common/glib-mini/glib.h"
#include "common/logger/logger.h"
#include "src/device/status.h"
#include "src/external_conf.h"
#include "src/helpers.h"
#include "src/http_client.h"
#include "src/signals.h"

#define LOG_CATEGORY "backup_service"

namespace {

typedef struct backup_service_ctx {
    struct event_base *base;
    redis_instance_t *redis_conf;
    redis_instance_t *redis_state;
    char *url;  /* the server's base URL as last read */
    char *haid; /* the HA-ID in use: adopted, or being restored; NULL until read */
    bool haid_adopted; /* its restore has ended: only then are backups posted under it */
    uint8_t gdclient_connected;
    struct event *backup_needed_timer;  /* debounce of key changes */
    struct event *backup_checker_timer; /* next backup check */
    uint16_t checker_timer_backoff_sec;
} backup_service_ctx_t;

const char *const kKeysToBackup[] = {
    "deviceid",        "device:*:domain",   "device:*:meta:*",   "schedule",          "device:*:ifttt",
    "room:*",          "scene:*",           "rooms:order",       "scenes:order",      "landevicemap:*",
    "device:LAN:*",    "device:MYSTROM:*",  "device:SSDP:*",     "device:VORN:*",     "device:VIRTUAL:*",
    "device:LOGITECH:*", "device:MDNS:*",
};
constexpr size_t kPatternCount = sizeof kKeysToBackup / sizeof kKeysToBackup[0];

const char *const kRestoreStateNames[] = {
    "RESTORE_OK_SUCCESS", "RESTORE_OK_NO_RESTORE", "RESTORE_OK_DROPPED",    "RESTORE_REQUESTED",
    "RESTORE_WAITING",    "RESTORE_ERROR_TIMEOUT", "RESTORE_ERROR_GENERAL",
};

const char kLastKeyChanged[] = "backup:lastkeychanged";
const char kInProgress[] = "backup:backupinprogress";
const char kLastSuccessful[] = "backup:lastsuccessfulbackup";
const char kRestoreState[] = "restore:state";
const char kRestoreTrigger[] = "restore:trigger";
/* The HA-ID whose restore has ended. The conf key cannot tell: the bus bridge mirrors every new
 * HA-ID into it before its restore has even begun. */
const char kAdoptedHaid[] = "restore:haid";
const char kHaidMirror[] = "KAVPCB:homeautomation:HA-ID";
const char kConnectionMirror[] = "KAVPCB:gdclient:ConnectionStatus";

constexpr uint16_t kFirstBackoff = 5;
constexpr uint16_t kMaxBackoff = 21600;
constexpr int kDebounceSec = 2;
constexpr size_t kMinHaidLength = 12;

backup_service_ctx_t ctx;
/* The restore GET carries the service record as its argument, the backup POST this one, so that a
 * "drop" cancels restores only. */
int backup_request_tag;
/* Set when a restore GET is sent, cleared by its reply, a drop or a refusal. Kept in memory: a stored
 * RESTORE_WAITING outlives a process killed mid-restore and would refuse every later restore. */
bool restore_in_flight = false;
subscribe_ctx_t *connection_watch = nullptr;
subscribe_ctx_t *haid_watch = nullptr;
subscribe_ctx_t *key_watches[kPatternCount];

void set_restore_state(restore_state_t state) { db_set(ctx.redis_state, kRestoreState, kRestoreStateNames[state]); }

/* The HA-ID adopted by an earlier run, or NULL: then the start restores. Caller frees. */
char *adopted_haid(void) {
    char *adopted = db_get_sync(ctx.redis_state, "%s", kAdoptedHaid);
    if (adopted) return adopted;
    // Data of a version that kept the adoption in the conf key alone: it holds when the last restore
    // ended there. A restore cut short, or a state instance that lost its keys, restores again.
    char *state = db_get_sync(ctx.redis_state, "%s", kRestoreState);
    bool ended = false;
    for (int s = RESTORE_OK_SUCCESS; s <= RESTORE_OK_DROPPED; s++)
        ended |= state && strcmp(state, kRestoreStateNames[s]) == 0;
    free(state);
    if (!ended) return nullptr;
    adopted = db_get_sync(ctx.redis_conf, "%s", kHaidMirror);
    if (adopted) db_set(ctx.redis_state, kAdoptedHaid, adopted);
    return adopted;
}

/* Inside a transaction of the state instance: the restore of the HA-ID in use has ended. */
void queue_adoption(restore_state_t outcome) {
    db_set(ctx.redis_state, kAdoptedHaid, ctx.haid);
    set_restore_state(outcome);
}

/* After the transaction: the conf key names the adopted HA-ID too. */
void adopted(void) {
    ctx.haid_adopted = true;
    db_set(ctx.redis_conf, kHaidMirror, ctx.haid);
}

/* At start: a crash right after a restore's transaction leaves the conf key behind. */
void mirror_adopted_haid(void) {
    char *mirror = db_get_sync(ctx.redis_conf, "%s", kHaidMirror);
    if (!mirror || strcmp(mirror, ctx.haid) != 0) db_set(ctx.redis_conf, kHaidMirror, ctx.haid);
    free(mirror);
}

/* The restore of the HA-ID in use ended without writing data: adopt it. */
void adopt_haid(restore_state_t outcome) {
    db_multi(ctx.redis_state);
    queue_adoption(outcome);
    // Backups go on under it; a later start that finds no record restores once more, which is harmless.
    if (db_exec_checked(ctx.redis_state) < 0) LOGW("Cannot record HA-ID %s as adopted", ctx.haid);
    adopted();
}

void set_now(const char *key) {
    char now[32];
    snprintf(now, sizeof now, "%lu", (unsigned long)time(nullptr));
    db_set(ctx.redis_state, key, now);
}

/* A stored time in seconds; 0 when absent or not a number. */
long long stored_time(const char *key) {
    char *text = db_get_sync(ctx.redis_state, "%s", key);
    long long value = text ? strtoll(text, nullptr, 10) : 0;
    free(text);
    return value;
}

void arm_checker(void) {
    struct timeval tv = {ctx.checker_timer_backoff_sec, 0};
    evtimer_add(ctx.backup_checker_timer, &tv);
}

void arm_debounce(void) {
    struct timeval tv = {kDebounceSec, 0};
    evtimer_add(ctx.backup_needed_timer, &tv);
}

void extend_backoff(void) {
    unsigned doubled = 2u * ctx.checker_timer_backoff_sec;
    ctx.checker_timer_backoff_sec = (uint16_t)(doubled < kMaxBackoff ? doubled : kMaxBackoff);
    LOGD("extend_backup_checker_time %d seconds", ctx.checker_timer_backoff_sec);
}

/* The base URL read anew; the last one read stands in when the read fails. */
void refresh_url(void) {
    char *url = ext_get_server_url();
    if (!url) return;
    free(ctx.url);
    ctx.url = url;
}

/* "<base>/hm/brixmoor/<HA-ID>/<what>", whole however long (caller frees). */
char *service_url(const char *what) {
    char *url = nullptr;
    if (asprintf(&url, "%s/hm/brixmoor/%s/%s", ctx.url, ctx.haid, what) < 0) BRX_OOM_EXIT("Cannot build URL");
    return url;
}

/* ---- restore ---- */

void backup_restore(void);

void trigger_poll(void);

void deferred_restore(void *) { backup_restore(); }

void deferred_drop(void *) {
    http_cancel_request(&ctx);
    restore_in_flight = false;
    arm_debounce();
    adopt_haid(RESTORE_OK_DROPPED);
    status_set(BRX_ENABLED);
}

/* Blocks the loop until the app answers in "restore:trigger" or a stop is requested. */
void trigger_poll(void) {
    // No HA-ID is adopted now. The one in use stays: "try" restores it again, "drop" adopts it; an
    // HA-ID that the bus reports meanwhile comes as a change once the loop runs again.
    db_del(ctx.redis_conf, kHaidMirror);
    for (;;) {
        sleep(1);
        if (signals_stop_requested()) {
            LOGI("Configuration restore trigger poll given up: stop requested");
            return;
        }
        char *command = db_get_sync(ctx.redis_state, "%s", kRestoreTrigger);
        if (!command) continue;
        LOGI("Configuration restore triggered by mobile app with command %s", command);
        db_del(ctx.redis_state, kRestoreTrigger);
        helper_callback_t action = nullptr;
        if (strcmp(command, "try") == 0)
            action = deferred_restore;
        else if (strcmp(command, "drop") == 0)
            action = deferred_drop;
        else
            LOGW("Configuration restore - don't know how to handle command '%s'", command);
        free(command);
        if (action) {
            defer_callback(action, nullptr);
            return;
        }
    }
}

void restore_failed(restore_state_t state) {
    set_restore_state(state);
    trigger_poll();
}

/* Writes the backup and the adoption in one transaction and ends the process, or hands a failed
 * write to the app. */
void apply_restored_config(cJSON *json) {
    LOGD("apply_restored_config");
    db_multi(ctx.redis_state);
    for (const cJSON *member = json->child; member; member = member->next) {
        if (cJSON_IsString(member) && member->string && member->valuestring)
            db_set(ctx.redis_state, member->string, member->valuestring);
        else
            LOGW("Wrong type in JSON!!!");
    }
    // Last: a backup that names these keys cannot undo the record. A crash before the EXEC restores
    // again at the next start, one after it finds the data and the record together.
    queue_adoption(RESTORE_OK_SUCCESS);
    int rc = db_exec_checked(ctx.redis_state);
    cJSON_Delete(json);
    if (rc < 0) {
        // Restarting now would run on unrestored data and overwrite the server's copy with it.
        LOGW("apply_restored_config - the transaction failed, nothing restored");
        restore_failed(RESTORE_ERROR_GENERAL);
        return;
    }
    adopted();
    status_set(BRX_ENABLED);
    exit(4);
}

void http_restore_callback(int code, const struct evkeyvalq *, const char *data, size_t len, void *) {
    restore_in_flight = false;
    LOGD("http_restore_callback %d:%s ", code, data ? data : "empty body");
    if (code == 200 && data) {
        cJSON *json = cJSON_ParseWithLength(data, len);
        // Only an object names its values; an array's elements would have no keys to go to.
        if (cJSON_IsObject(json)) {
            LOGI("http_restore_callback - apply data to redis and exit");
            apply_restored_config(json);
            return;
        }
        cJSON_Delete(json);
        LOGW("http_restore_callback cannot parse restored config '%s'", data);
        restore_failed(RESTORE_ERROR_GENERAL);
    } else if (code == 200) {
        LOGW("http_restore_callback empty body (no internet connection)");
        restore_failed(RESTORE_ERROR_TIMEOUT);
    } else if (code == 403 || code == 404) {
        LOGI("http_restore_callback Nothing to restore for this HAID");
        adopt_haid(RESTORE_OK_NO_RESTORE);
        status_set(BRX_ENABLED);
    } else {
        LOGW("http_restore_callback ERROR generic/other %d:%s", code, data ? data : "empty body");
        restore_failed(RESTORE_ERROR_GENERAL);
    }
}

void backup_restore(void) {
    if (restore_in_flight) {
        LOGW("Restore triggered, but restore is already in progress");
        return;
    }
    set_restore_state(RESTORE_REQUESTED);
    status_set(BRX_RESTORE_IN_PROGRESS);
    if (!wait_for_connection()) return;  // a stop was requested
    if (!ctx.haid) {
        LOGW("backup_restore - no HA-ID");
        restore_failed(RESTORE_ERROR_GENERAL);
        return;
    }
    refresh_url();
    char *url = service_url("restore");
    LOGD("backup_restore %s", url);
    set_restore_state(RESTORE_WAITING);
    restore_in_flight = true;
    http_req_data_t req = {url, nullptr, 0, nullptr};
    int rc = http_request(HTTP_GET, &req, http_restore_callback, &ctx);
    free(url);
    if (rc != 0) {
        // No reply will come: the app decides, as after any failed restore.
        restore_in_flight = false;
        LOGW("backup_restore - the request could not be sent");
        restore_failed(RESTORE_ERROR_GENERAL);
    }
}

/* ---- HA-ID ---- */

void haid_update(const char *value) {
    char *read = nullptr;
    if (!value || strlen(value) < kMinHaidLength) {
        read = ext_get_haid();
        if (!read) return;  // a stop was requested
        value = read;
    }
    LOGI("HA-ID update (%s) -> (%s)", ctx.haid ? ctx.haid : "null", value);
    // The same one: adopted already, or its restore is under way.
    if (ctx.haid && strcmp(ctx.haid, value) == 0) {
        free(read);
        return;
    }
    char *copy = strdup(value);
    free(read);
    if (!copy) BRX_OOM_EXIT("No memory for haid");
    if (restore_in_flight) {
        // The reply would be the old HA-ID's backup: applied, it would stand for the new one.
        LOGI("Restore for HA-ID %s given up for HA-ID %s", ctx.haid, copy);
        http_cancel_request(&ctx);
        restore_in_flight = false;
    }
    free(ctx.haid);
    ctx.haid = copy;
    // Adopted only once its restore has ended.
    ctx.haid_adopted = false;
    backup_restore();
}

void haid_changed(const char *, const char *value, const void *) { haid_update(value); }

void connection_changed(const char *, const char *value, const void *) {
    LOGD("GDClient connection status changed");
    ctx.gdclient_connected = value && *value ? (uint8_t)(strtoul(value, nullptr, 10) != 0) : 0;
}

/* ---- backup ---- */

void key_to_backup_changed(const char *channel, const char *, const void *) {
    LOGD("key_to_backup_changed %s", channel ? channel : "");
    // The first change of a burst is marked at once, its end when the debounce expires.
    if (!evtimer_pending(ctx.backup_needed_timer, nullptr)) set_now(kLastKeyChanged);
    arm_debounce();
}

void backup_needed_timer_callback(evutil_socket_t, short, void *) {
    LOGD("backup_needed_timer_callback - set lastkeychanged to current timestamp");
    set_now(kLastKeyChanged);
}

void backup_attempt_failed(void) {
    db_del(ctx.redis_state, kInProgress);
    extend_backoff();
    arm_checker();
}

void record_success(void) {
    char *started = db_get_sync(ctx.redis_state, "%s", kInProgress);
    db_set(ctx.redis_state, kLastSuccessful, started ? started : "0");
    free(started);
}

void http_backup_callback(int code, const struct evkeyvalq *, const char *data, size_t len, void *) {
    LOGI("http_backup_callback %d:%s ", code, data ? data : "empty body");
    if (code != 200 || !data) {
        LOGW("Network is down or server error %d %s", code, data ? data : "(empty error msg)");
        backup_attempt_failed();
        return;
    }
    cJSON *json = cJSON_ParseWithLength(data, len);
    const cJSON *object = cJSON_IsObject(json) ? json : nullptr;
    // Member names in any case, values exactly.
    const cJSON *status = cJSON_GetObjectItem(object, "status");
    if (cJSON_IsString(status) && strcmp(status->valuestring, "SUCCESS") == 0) {
        LOGD("Backup has been successfully sent");
        ctx.checker_timer_backoff_sec = kFirstBackoff;
        record_success();
    } else {
        LOGW("Server error %d %s", code, data);
        const cJSON *error = cJSON_GetObjectItem(object, "errorCode");
        const char *code_text = cJSON_IsString(error) ? error->valuestring : "";
        if (strcmp(code_text, "NOT_AUTHORIZED") == 0) {
            extend_backoff();
            LOGW("Backup was done from not authorized IP. Try again after %d sec", ctx.checker_timer_backoff_sec);
        } else if (strcmp(code_text, "DEVICE_NOT_FOUND") == 0) {
            LOGW("HAID is not provisioned/paired with the server. Drop the backup");
            ctx.checker_timer_backoff_sec = kFirstBackoff;
            record_success();
        } else {
            extend_backoff();
            LOGW("Other/generic error. Try again after %d seconds", ctx.checker_timer_backoff_sec);
        }
    }
    cJSON_Delete(json);
    db_del(ctx.redis_state, kInProgress);
    arm_checker();
}

/* Every string key of every pattern, in pattern order; a key matched twice is added twice. */
cJSON *backup_json(void) {
    cJSON *json = cJSON_CreateObject();
    if (!json) BRX_OOM_EXIT("Cannot create json");
    for (const char *pattern : kKeysToBackup) {
        GSList *keys = db_get_keys_sync(ctx.redis_state, "%s", pattern);
        for (GSList *l = keys; l; l = l->next) {
            char *key = static_cast<char *>(l->data);
            char *value = db_get_sync(ctx.redis_state, "%s", key);
            if (value) {
                LOGD("add_to_backup_json %s:%s", key, value);
                cJSON *item = cJSON_CreateString(value);
                if (!item) BRX_OOM_EXIT("Cannot create json");
                cJSON_AddItemToObject(json, key, item);
            } else {
                // Another type, or deleted meanwhile.
                LOGW("Cannot get value for %s", key);
            }
            free(value);
            free(key);
        }
        g_slist_free(keys);
    }
    return json;
}

void send_backup(void) {
    refresh_url();
    bool enabled = status_get() == BRX_ENABLED;
    if (!ctx.gdclient_connected || !ctx.url || !enabled) {
        LOGW("Cannot send backup now - schedule send backup (connection %s, url %s, enabled %s)",
             ctx.gdclient_connected ? "OK" : "NOT OK", ctx.url ? ctx.url : "null", enabled ? "true" : "false");
        backup_attempt_failed();
        return;
    }
    // The status alone does not say it: the enable settings set it ENABLED whenever they turn true.
    if (!ctx.haid_adopted) {
        LOGW("Cannot send backup now - the restore for HA-ID %s has not ended", ctx.haid ? ctx.haid : "null");
        backup_attempt_failed();
        return;
    }
    cJSON *json = backup_json();
    char *body = cJSON_Print(json);
    cJSON_Delete(json);
    if (!body) BRX_OOM_EXIT("Cannot print JSON");
    LOGD("send_backup %s", body);
    char *url = service_url("backup");
    http_req_data_t req = {url, body, 0, nullptr};
    req.headers = http_add_header(&req, "Content-Type", "text/plain");
    int rc = http_request(HTTP_POST, &req, http_backup_callback, &backup_request_tag);
    free(url);
    cJSON_free(body);
    if (rc != 0) backup_attempt_failed();
}

void backup_check_timer_callback(evutil_socket_t, short, void *) {
    long long last_ok = stored_time(kLastSuccessful);
    long long changed = stored_time(kLastKeyChanged);
    // Signed: a change time that is absent or older than the last success needs no backup.
    bool needed = !evtimer_pending(ctx.backup_needed_timer, nullptr) && (last_ok == 0 || changed - last_ok >= 1);
    if (!needed) {
        arm_checker();
        return;
    }
    LOGD("backup_check_timer_callback - backup needed");
    if (stored_time(kInProgress) != 0) {
        LOGD("Backup already in progress, doing nothing");
        return;
    }
    if (changed == 0) changed = (long long)time(nullptr);
    char started[32];
    snprintf(started, sizeof started, "%llu", (unsigned long long)changed);
    db_set(ctx.redis_state, kInProgress, started);
    send_backup();
}

}  // namespace

void backup_service_init(redis_instance_t *redis_conf, redis_instance_t *redis_state, struct event_base *base) {
    LOGD("backup_service_init");
    ctx.redis_conf = redis_conf;
    ctx.redis_state = redis_state;
    ctx.base = base;
    db_del(ctx.redis_state, kRestoreTrigger);

    ctx.backup_needed_timer = evtimer_new(base, backup_needed_timer_callback, nullptr);
    if (!ctx.backup_needed_timer) BRX_OOM_EXIT("Cannot create new evtimer");
    ctx.backup_checker_timer = evtimer_new(base, backup_check_timer_callback, nullptr);
    if (!ctx.backup_checker_timer) BRX_OOM_EXIT("Cannot create new evtimer");

    db_del(ctx.redis_state, kInProgress);
    ctx.checker_timer_backoff_sec = kFirstBackoff;
    arm_checker();

    ctx.url = ext_get_server_url();
    if (!ctx.url) BRX_OOM_EXIT("No AP server URL in backup init - exit BRX");

    ctx.gdclient_connected = ext_get_connection() ? 1 : 0;
    connection_watch = db_subscribe_for_key(ctx.redis_conf, connection_changed, nullptr, "%s", kConnectionMirror);

    // The first restore runs before any backed-up key is watched.
    ctx.haid = adopted_haid();
    ctx.haid_adopted = ctx.haid != nullptr;
    char *current = ext_get_haid();
    if (!current) return;
    haid_update(current);
    free(current);
    if (signals_stop_requested()) return;
    if (ctx.haid_adopted) mirror_adopted_haid();

    haid_watch = db_subscribe_for_key(ctx.redis_conf, haid_changed, nullptr, "%s", kHaidMirror);
    // Every event of a matching key is a change, deletion and expiry included.
    for (size_t i = 0; i < kPatternCount; i++) {
        LOGD("psubscribe_keys_to_backup %s", kKeysToBackup[i]);
        key_watches[i] =
            db_psubscribe(ctx.redis_state, key_to_backup_changed, nullptr, "__keyspace@0__:%s", kKeysToBackup[i]);
    }
}

void backup_service_destroy(void) {
    if (!ctx.base) return;
    if (connection_watch) db_unsubscribe_ex(ctx.redis_conf, connection_watch);
    if (haid_watch) db_unsubscribe_ex(ctx.redis_conf, haid_watch);
    connection_watch = haid_watch = nullptr;
    for (subscribe_ctx_t *&watch : key_watches) {
        if (watch) db_unsubscribe_ex(ctx.redis_state, watch);
        watch = nullptr;
    }
    http_cancel_request(&ctx);
    http_cancel_request(&backup_request_tag);
    restore_in_flight = false;
    free(ctx.url);
    free(ctx.haid);
    if (ctx.backup_needed_timer) event_free(ctx.backup_needed_timer);
    if (ctx.backup_checker_timer) event_free(ctx.backup_checker_timer);
    memset(&ctx, 0, sizeof ctx);
}
