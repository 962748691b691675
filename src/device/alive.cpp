#include "src/device/alive.h"

#include <arpa/inet.h>
#include <event2/event.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>

#include "common/glib-mini/glib.h"
#include "common/logger/logger.h"
#include "src/helpers.h"

#define LOG_CATEGORY "device"

namespace {

const struct timeval kAliveTimeout = {70, 0};

redis_instance_t *ri_state = nullptr;
struct event_base *alive_base = nullptr;
// device id -> alive_context_t; the key is the context's own device_id.
GHashTable *watches = nullptr;

struct allowed_pair {
    const char *domain;
    const char *class_name;
};

const allowed_pair kAllowed[] = {
    {"LAN", "camera"},
    {"LAN", "switch"},
    {"VIRTUAL", "bridge"},
    {"VIRTUAL", "light"},
};

void free_watch(alive_context_t *actx) {
    if (actx->timer) event_free(actx->timer);
    free(actx->device_id);
    free(actx);
}

void alive_expired(evutil_socket_t, short, void *arg) {
    alive_context_t *actx = (alive_context_t *)arg;
    const char *id = actx->device_id;
    LOGD("alive callback for device_id %s - setting false", id);
    db_set_fmt(ri_state, "false", "device:%s:state:online", id);
    char *name = db_get_sync(ri_state, "device:%s:meta:name", id);
    // Deleted meanwhile: the online key written just now is all that is left of it.
    if (!name) db_del_fmt(ri_state, "device:%s:state:online", id);
    free(name);
    g_hash_table_remove(watches, id);
    free_watch(actx);
}

alive_context_t *new_watch(const char *device_id) {
    alive_context_t *actx = (alive_context_t *)calloc(1, sizeof(*actx));
    if (!actx) BRX_OOM_EXIT("Cannot create alive context");
    actx->device_id = strdup(device_id);
    if (!actx->device_id) BRX_OOM_EXIT("Cannot create alive context - no mem for device id");
    actx->timer = evtimer_new(alive_base, alive_expired, actx);
    if (!actx->timer) BRX_OOM_EXIT("Cannot create alive context - no mem for timer ctx");
    if (!watches) {
        watches = g_hash_table_new(g_str_hash, str_equal);
        if (!watches) BRX_OOM_EXIT("Cannot create alive context");
    }
    g_hash_table_insert(watches, actx->device_id, actx);
    return actx;
}

void free_watch_entry(gpointer, gpointer value, gpointer) { free_watch((alive_context_t *)value); }

}  // namespace

void alive_setup_redis_instance(redis_instance_t *, redis_instance_t *state) { ri_state = state; }

void alive_set_event_base(struct event_base *base) { alive_base = base; }

int class_allowed_for_alive(const char *class_name, const char *domain) {
    int allowed = 0;
    if (class_name && domain)
        for (const allowed_pair &p : kAllowed)
            if (strcmp(p.domain, domain) == 0 && strcmp(p.class_name, class_name) == 0) allowed = 1;
    LOGD("class %s (%s) allowed for alive: %s", class_name ? class_name : "NULL", domain ? domain : "NULL",
         allowed ? "YES" : "NO");
    return allowed;
}

int reset_alive_timer(const char *device_id) {
    if (!device_id) return -1;
    LOGT("reset_alive_timer %s", device_id);
    alive_context_t *actx = watches ? (alive_context_t *)g_hash_table_lookup(watches, device_id) : nullptr;
    if (actx) {
        LOGT("Cleaning alive timer for id %s", device_id);
        event_del(actx->timer);
    } else {
        actx = new_watch(device_id);
        LOGT("Alive ctx for device_id %s created", device_id);
    }
    return event_add(actx->timer, &kAliveTimeout);
}

void alive_updated_cb(const char *key, const char *value, const void *) {
    LOGT("alive_updated_cb key: %s, message: %s", key ? key : "NULL", value ? value : "NULL");
    char *id = get_nth_field(key, 2);
    if (!id) {
        LOGW("Cannot get device_id from key %s", key ? key : "NULL");
        return;
    }
    // Only "true" renews: the reads are not needed for anything else.
    if (value && strcmp(value, "true") == 0) {
        char *domain = db_get_sync(ri_state, "device:%s:domain", id);
        char *class_name = domain ? db_get_sync(ri_state, "device:%s:meta:class", id) : nullptr;
        if (domain && class_name && class_allowed_for_alive(class_name, domain)) reset_alive_timer(id);
        free(class_name);
        free(domain);
    }
    free(id);
}

void check_alive_ip(const char *device_id, uint32_t ip) {
    if (!device_id) return;
    char *class_name = db_get_sync(ri_state, "device:%s:meta:class", device_id);
    if (!class_name || strcmp(class_name, "camera") != 0) {
        free(class_name);
        return;
    }
    free(class_name);
    LOGT("Checking IP for camera with id %s", device_id);
    char now[INET_ADDRSTRLEN];
    struct in_addr a;
    a.s_addr = ip;
    if (!inet_ntop(AF_INET, &a, now, sizeof now)) return;
    char *stored = db_get_sync(ri_state, "device:%s:state:ip", device_id);
    if (stored && strcmp(stored, now) == 0) {
        free(stored);
        return;
    }
    if (!stored)
        LOGW("No IP address for the camera was set - setting %s", now);
    else
        LOGI("IP address of camera %s has changed %s -> %s", device_id, stored, now);
    free(stored);
    db_set_fmt(ri_state, now, "device:%s:driver:attributes:address", device_id);
    db_set_fmt(ri_state, now, "device:%s:state:ip", device_id);
}

void alive_stop(void) {
    if (!watches) return;
    g_hash_table_foreach(watches, free_watch_entry, nullptr);
    g_hash_table_destroy(watches);
    watches = nullptr;
}
