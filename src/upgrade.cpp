// The leader's firmware version check: timer, server request, offers and the comparison.
#include "src/upgrade.h"

#include <cjson/cJSON.h>
#include <initializer_list>
#include <event2/event.h>
#include <event2/http.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "common/glib-mini/glib.h"
#include "common/logger/logger.h"
#include "src/device_cfg.h"
#include "src/external_conf.h"
#include "src/helpers.h"
#include "src/http_client.h"
#include "src/upgrade_internal.h"

#define LOG_CATEGORY "upgrade"

redis_instance_t *upgrade_ri_conf = nullptr;
redis_instance_t *upgrade_ri_state = nullptr;

namespace {

struct event_base *check_base = nullptr;
struct event *fetch_versions_timer = nullptr;
subscribe_ctx_t *versions_watch = nullptr;
subscribe_ctx_t *classname_watch = nullptr;
subscribe_ctx_t *force_sub = nullptr;
// The argument of the version requests, so that a stop can end the one under way.
char request_tag;

const char kForceChannel[] = "upgrade:force:check";

const char *or_null(const char *s) { return s ? s : "null"; }

void free_keys(GSList *keys) {
    for (GSList *it = keys; it; it = it->next) free(it->data);
    g_slist_free(keys);
}

/* The text percent-encoded for a query ("" for NULL); caller frees. */
char *query_encoded(const char *text) {
    char *out = evhttp_uriencode(text ? text : "", -1, 0);
    if (!out) BRX_OOM_EXIT("evhttp_uriencode");
    return out;
}

void arm_timer(long long seconds) {
    if (!fetch_versions_timer) return;
    struct timeval tv;
    tv.tv_sec = (time_t)seconds;
    tv.tv_usec = 0;
    evtimer_del(fetch_versions_timer);
    evtimer_add(fetch_versions_timer, &tv);
}

void global_upgrade_device_conf_changed_cb(const GSList *keys, const char *new_version) {
    LOGD("global_upgrade_device_conf_changed_cb");
    LOGD("new version : %s, list length %d", new_version, (int)g_slist_length((GSList *)keys));
    for (const GSList *it = keys; it; it = it->next) {
        char *id = get_nth_field((const char *)it->data, 2);
        if (!id) continue;
        char *current = db_get_sync(upgrade_ri_state, "device:%s:meta:version", id);
        LOGD("Checking current version for key %s (%s)", id, or_null(current));
        global_upgrade_device_notify(current, new_version, id);
        free(current);
        free(id);
    }
}

/* A new offer for the kind named by key: every device of that kind is compared with it. */
void global_upgrade_device_version_changed(const char *key, const char *value, const void *) {
    LOGD("Upgrade config key %s set to %s", or_null(key), or_null(value));
    if (!value || !*value) {
        LOGI("global_upgrade_device_conf_changed strlen(value) == 0, returning");
        return;
    }
    char *f[4];
    for (int i = 0; i < 4; i++) f[i] = get_nth_field(key, 3 + i);
    if (f[0] && f[1] && f[2] && f[3]) {
        LOGD("Upgrade - look for devices: %s/%s/%s/%s", f[0], f[1], f[2], f[3]);
        char *e[4];
        for (int i = 0; i < 4; i++) e[i] = glob_escaped(f[i]);
        GSList *keys =
            db_get_keys_sync(upgrade_ri_state, "device:*:meta:classname:%s:%s:%s:%s", e[0], e[1], e[2], e[3]);
        global_upgrade_device_conf_changed_cb(keys, value);
        free_keys(keys);
        for (char *s : e) free(s);
    } else {
        LOGW("Upgrade config key %s names no kind, skipped", or_null(key));
    }
    for (char *s : f) free(s);
}

void global_upgrade_notify_all(const GSList *keys) {
    LOGD("global_upgrade_notify_all");
    for (const GSList *it = keys; it; it = it->next) {
        const char *key = (const char *)it->data;
        char *value = db_get_sync(upgrade_ri_state, "%s", key);
        if (!value)
            LOGW("Cannot get value for key %s", key);
        else
            global_upgrade_device_version_changed(key, value, nullptr);
        free(value);
    }
}

/* A device registered: compared with the offer already stored for its kind. */
void global_upgrade_notify_cb(const char *key, const char *, const void *) {
    LOGD("global_upgrade_notify_cb - newdevice (%s) registered, check its version", or_null(key));
    char *id = get_nth_field(key, 2);
    char *f[4];
    for (int i = 0; i < 4; i++) f[i] = get_nth_field(key, 5 + i);
    if (id && f[0] && f[1] && f[2] && f[3]) {
        char *offered = db_get_sync(upgrade_ri_state, "upgrade:device:%s:%s:%s:%s:version", f[0], f[1], f[2], f[3]);
        if (!offered) {
            LOGW("Cannot get new_version from upgrade:device:%s:%s:%s:%s:version - not checking", f[0], f[1], f[2],
                 f[3]);
        } else {
            char *current = db_get_sync(upgrade_ri_state, "device:%s:meta:version", id);
            global_upgrade_device_notify(current, offered, id);
            free(current);
        }
        free(offered);
    }
    free(id);
    for (char *s : f) free(s);
}

void force_version_check(const char *, const char *, const void *) { arm_timer(1); }

void timer_callback(evutil_socket_t, short, void *) {
    LOGD("upgrade - get versions - timer_callback");
    const char *mac = cfg_get_mac_str();
    if (!mac) mac = "";
    char *id = db_get_sync(upgrade_ri_state, "device:LAN:%s", mac);
    if (!id) {
        LOGW("Cannot get device id for %s!", mac);
        schedule_next_version_check();
        return;
    }
    char *version = db_get_sync(upgrade_ri_state, "device:%s:meta:version", id);
    char *haid = db_get_sync(upgrade_ri_conf, "KAVPCB:homeautomation:HA-ID");
    char *base = ext_get_server_url();
    if (base) {
        const char *mac_formatted = get_proper_mac_formatted();
        char *haid_q = query_encoded(haid);
        char *version_q = query_encoded(version);
        char *url = nullptr;
        if (asprintf(&url, "%s/hm/versions/%s?haid=%s&current=%s", base, mac_formatted ? mac_formatted : "", haid_q,
                     version_q) < 0)
            BRX_OOM_EXIT("Failed to allocate memory for download url");
        http_req_data_t data = {};
        data.uri = url;
        http_request(HTTP_GET, &data, global_upgrade_conf_received, &request_tag);
        free(url);
        free(haid_q);
        free(version_q);
        free(base);
    }
    free(haid);
    free(version);
    free(id);
    schedule_next_version_check();
}


/* 0 when the element was stored or skipped, -1 when it ends the walk. */
int store_offer(const cJSON *element) {
    static const char *const names[] = {"class", "model", "vendor", "domain", "version"};
    if (!element) {
        LOGW("versions_element is NULL");
        return -1;
    }
    const char *v[5];
    if (const char *missing = upgrade_member_texts(element, names, 5, v)) {
        LOGW("No %s element or %s element failed", missing, missing);
        return -1;
    }
    const char *cls = v[0], *model = v[1], *vendor = v[2], *domain = v[3];
    // A colon would move the fields of the offer's keys, and the offer would name another kind.
    for (int i = 0; i < 4; i++) {
        if (strchr(v[i], ':')) {
            LOGW("Offer for %s/%s/%s/%s skipped: a kind field holds ':'", cls, domain, vendor, model);
            return 0;
        }
    }
    char *text = cJSON_PrintUnformatted(element);
    if (!text) BRX_OOM_EXIT("new_version_str");
    db_set_fmt(upgrade_ri_state, text, "upgrade:device:%s:%s:%s:%s:conf", cls, domain, vendor, model);
    db_set_fmt(upgrade_ri_state, v[4], "upgrade:device:%s:%s:%s:%s:version", cls, domain, vendor, model);
    free(text);
    return 0;
}

}  // namespace

const char *upgrade_member_text(const cJSON *o, const char *name) {
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(o, name);
    return cJSON_IsString(item) ? item->valuestring : nullptr;
}

const char *upgrade_member_texts(const cJSON *o, const char *const *names, int n, const char **out) {
    for (int i = 0; i < n; i++)
        if (!(out[i] = upgrade_member_text(o, names[i]))) return names[i];
    return nullptr;
}

void upgrade_setup_redis_instance(redis_instance_t *conf, redis_instance_t *state) {
    upgrade_ri_conf = conf;
    upgrade_ri_state = state;
}

upgrade_delay_t upgrade_next_delay(int hour, int minute, int draw6, int draw60, int configured) {
    (void)minute;
    upgrade_delay_t d = {};
    if (configured > 0) {
        d.minutes = configured;
        return d;
    }
    d.daily = 1;
    d.hours_to_midnight = 24 - hour;
    d.hours_after = draw6 % 6;
    d.minutes_after = draw60 % 60;
    d.minutes = ((long long)d.hours_to_midnight + d.hours_after) * 60 + d.minutes_after;
    return d;
}

void schedule_next_version_check(void) {
    int configured = cfg_get_upgrade_each_minutes();
    LOGD("schedule_next_version_check - delay from cfg %d", configured);
    upgrade_delay_t d;
    if (configured > 0) {
        d = upgrade_next_delay(0, 0, 0, 0, configured);
    } else {
        time_t now = time(nullptr);
        struct tm tm;
        localtime_r(&now, &tm);
        int draw6 = rand();
        int draw60 = rand();
        d = upgrade_next_delay(tm.tm_hour, tm.tm_min, draw6, draw60, configured);
        LOGI("schedule_next_version_check (now %d:%d) - delay %lld minutes from now (%d hours to midnight, %d hours "
             "after midnight, %d minutes after full hour)",
             tm.tm_hour, tm.tm_min, d.minutes, d.hours_to_midnight, d.hours_after, d.minutes_after);
    }
    LOGI("schedule_next_version_check after approx %.1f hours", (double)d.minutes / 60.0);
    arm_timer(d.minutes * 60);
}

void global_upgrade_conf_received(int code, const struct evkeyvalq *, const char *body, size_t, void *) {
    LOGD("global_upgrade_conf_received body %s", or_null(body));
    if (code != 200 || !body) {
        LOGW("No or invalid response from server");
        schedule_next_version_check();
        return;
    }
    cJSON *root = cJSON_Parse(body);
    if (!root) {
        LOGW("Error in parsing body JSON from server");
        schedule_next_version_check();
        return;
    }
    const char *status = upgrade_member_text(root, "status");
    const cJSON *versions = cJSON_GetObjectItemCaseSensitive(root, "versions");
    if (!status || strcmp(status, "SUCCESS") != 0) {
        LOGW("Got success failure from server (body %s)", body);
        schedule_next_version_check();
    } else if (!cJSON_IsArray(versions)) {
        LOGW("Error in parsing versions JSON from server");
        schedule_next_version_check();
    } else {
        const cJSON *element;
        cJSON_ArrayForEach(element, versions) {
            if (store_offer(element) < 0) break;
        }
    }
    cJSON_Delete(root);
}

void global_upgrade_device_notify(const char *current_version, const char *new_version, const char *device_id) {
    if (!current_version || !new_version || !device_id) {
        LOGI("global_upgrade_device_notify param(s) null");
        return;
    }
    long offered = strtol(new_version, nullptr, 10);
    long current = strtol(current_version, nullptr, 10);
    LOGD("global_upgrade_device_notify - device_id %s, new_version %ld, current_version %ld", device_id, offered,
         current);
    if (current < offered) {
        LOGD("new verison grater than current version");
        char *automatic = db_get_sync(upgrade_ri_state, "conf:upgrade:auto");
        const char *state = automatic && strcmp(automatic, "off") == 0 ? "available" : "start";
        db_set_fmt(upgrade_ri_state, state, "device:%s:state:upgrade", device_id);
        free(automatic);
    }
    LOGD("global_upgrade_device_notify end");
}

void global_upgrade_init(struct event_base *base) {
    LOGD("global_upgrade_init");
    check_base = base;
    if (!fetch_versions_timer) {
        fetch_versions_timer = evtimer_new(check_base, timer_callback, nullptr);
        if (!fetch_versions_timer) BRX_OOM_EXIT("fetch_versions_timer");
    }
    schedule_next_version_check();
    GSList *keys = db_get_keys_sync(upgrade_ri_state, "upgrade:device:*:version");
    global_upgrade_notify_all(keys);
    free_keys(keys);
    if (!versions_watch)
        versions_watch = db_psubscribe_for_key(upgrade_ri_state, global_upgrade_device_version_changed, nullptr,
                                               "upgrade:device:*:version");
    if (!classname_watch)
        classname_watch =
            db_psubscribe_for_key(upgrade_ri_state, global_upgrade_notify_cb, nullptr, "device:*:meta:classname:*");
    if (!force_sub) force_sub = db_subscribe(upgrade_ri_state, force_version_check, nullptr, "%s", kForceChannel);
    if (!versions_watch || !classname_watch || !force_sub) LOGW("upgrade: a watch could not be made");
}

void global_upgrade_cleanup(void) {
    LOGD("global_upgrade_cleanup");
    if (fetch_versions_timer) {
        event_free(fetch_versions_timer);
        fetch_versions_timer = nullptr;
    }
    http_cancel_request(&request_tag);
    for (subscribe_ctx_t **h : {&versions_watch, &classname_watch, &force_sub}) {
        if (*h) db_unsubscribe_ex(upgrade_ri_state, *h);
        *h = nullptr;
    }
}
