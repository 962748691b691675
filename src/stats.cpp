#include "src/stats.h"

#include <cjson/cJSON.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/glib-mini/glib.h"
#include "common/logger/logger.h"
#include "src/helpers.h"
#include "src/pcb/pcb_plugin.h"

#define LOG_CATEGORY "stats"

namespace {

typedef enum {
    d_unknown = 0,
    d_gateway = 1,
    d_vorn_camera = 2,
    d_logitech_camera = 3,
    d_sonos_speaker = 4,
    d_mystrom_button = 5,
    d_mystrom_bulb = 6,
    d_mystrom_switch = 7,
    d_hue_bridge = 8,
    d_hue_bulb = 9,
    d_ikea_bulb = 10,
    d_ikea_bridge = 11,
} device_class_t;

struct device_class_row {
    device_class_t type;
    const char *class_name;
    const char *vendor; /* NULL: any */
    const char *json_name;
    int counts_models;
};

/* d_unknown is what no row selects. */
const device_class_row kClasses[] = {
    {d_gateway, "gateway", nullptr, "gateway", 0},
    {d_vorn_camera, "camera", "Askey", "vorn_camera", 0},
    {d_logitech_camera, "camera", "Logitech", "logitech_camera", 0},
    {d_sonos_speaker, "speaker", nullptr, "sonos", 1},
    {d_mystrom_button, "button", nullptr, "mystrom_button", 1},
    {d_mystrom_bulb, "bulb", "mystrom", "mystrom_bulb", 0},
    {d_mystrom_switch, "switch", nullptr, "mystrom_switch", 0},
    {d_hue_bridge, "bridge", "Philips", "hue_bridge", 0},
    {d_hue_bulb, "bulb", "Philips", "hue_bulb", 0},
    {d_ikea_bulb, "bulb", "Ikea", "ikea_bulb", 0},
    {d_ikea_bridge, "bridge", "Ikea", "ikea_bridge", 0},
};
const device_class_row kUnknown = {d_unknown, nullptr, nullptr, "unknown", 0};

struct device_model_t {
    char name[255];
    uint32_t count;
};

struct device_stat_t {
    device_class_t type;
    uint32_t count;  /* devices of the type counted without a model */
    GSList *models;  /* device_model_t, in the order added */
};

const char *const kParams[] = {
    "APService.HomeAutomation.BrixmoorNumberOfSchedules",
    "APService.HomeAutomation.BrixmoorNumberOfScenes",
    "APService.HomeAutomation.BrixmoorNumberOfRules",
    "APService.HomeAutomation.BrixmoorDeviceTypes",
};
const char kScriptsVersionParam[] = "APService.HomeAutomation.BrixmoorScriptsVersion";

GSList *stats_list = nullptr; /* device_stat_t in the order first seen; never shrinks */
redis_instance_t *ri = nullptr;

void save_to_pcb(const char *param, const char *value) {
    LOGD("save_to_pcb %s:%s", param, value);
    pcb_plugin_set(param, value);  // a refused write waits for the next change
}

void save_number(const char *param, uint32_t value) {
    char buf[20];
    snprintf(buf, sizeof buf, "%d", (int)value);
    save_to_pcb(param, buf);
}

const device_class_row &classify(const char *class_name, const char *vendor) {
    for (const auto &row : kClasses)
        if (strcmp(row.class_name, class_name) == 0 && (!row.vendor || strcmp(row.vendor, vendor) == 0)) return row;
    return kUnknown;
}

const device_class_row &row_of(device_class_t type) {
    for (const auto &row : kClasses)
        if (row.type == type) return row;
    return kUnknown;
}

device_stat_t *stat_of(device_class_t type) {
    for (GSList *it = stats_list; it; it = it->next) {
        device_stat_t *s = (device_stat_t *)it->data;
        if (s->type == type) return s;
    }
    device_stat_t *s = (device_stat_t *)calloc(1, sizeof(device_stat_t));
    if (!s) BRX_OOM_EXIT("No memory for ctx");
    s->type = type;
    GSList *l = g_slist_append(stats_list, s);
    if (!l) BRX_OOM_EXIT("No memory for ctx");
    stats_list = l;
    return s;
}

device_model_t *model_of(device_stat_t *s, const char *name) {
    char cut[255];
    snprintf(cut, sizeof cut, "%s", name);
    for (GSList *it = s->models; it; it = it->next) {
        device_model_t *m = (device_model_t *)it->data;
        if (strcmp(m->name, cut) == 0) return m;
    }
    device_model_t *m = (device_model_t *)calloc(1, sizeof(device_model_t));
    if (!m) BRX_OOM_EXIT("No memory for mod");
    memcpy(m->name, cut, sizeof cut);
    GSList *l = g_slist_append(s->models, m);
    if (!l) BRX_OOM_EXIT("No memory for mod");
    s->models = l;
    return m;
}

void count_key(const char *key) {
    char *class_name = get_nth_field(key, 5);
    char *vendor = get_nth_field(key, 7);
    char *model = get_nth_field(key, 8);
    if (class_name && vendor) {
        const device_class_row &row = classify(class_name, vendor);
        device_stat_t *s = stat_of(row.type);
        if (row.counts_models && model && *model)
            model_of(s, model)->count++;
        else
            s->count++;
    }
    free(class_name);
    free(vendor);
    free(model);
}

void write_device_types(void) {
    cJSON *json = cJSON_CreateObject();
    if (!json) BRX_OOM_EXIT("Cannot create json");
    for (GSList *it = stats_list; it; it = it->next) {
        const device_stat_t *s = (const device_stat_t *)it->data;
        cJSON *item = nullptr;
        if (s->models) {
            item = cJSON_CreateObject();
            for (GSList *m = s->models; item && m; m = m->next) {
                const device_model_t *model = (const device_model_t *)m->data;
                if (!cJSON_AddNumberToObject(item, model->name, model->count)) BRX_OOM_EXIT("Cannot create item_json");
            }
        } else {
            item = cJSON_CreateNumber(s->count);
        }
        if (!item) BRX_OOM_EXIT("Cannot create item_json");
        cJSON_AddItemToObject(json, row_of(s->type).json_name, item);
    }
    char *text = cJSON_Print(json);
    if (!text) BRX_OOM_EXIT("stats_str");
    cJSON_Delete(json);
    save_to_pcb(kParams[STAT_DEVICE_TYPES], text);
    free(text);
}

void update_devices_stats(const void *data, const void *) {
    LOGD("update_devices_stats");
    for (GSList *it = stats_list; it; it = it->next) {
        device_stat_t *s = (device_stat_t *)it->data;
        s->count = 0;
        for (GSList *m = s->models; m; m = m->next) ((device_model_t *)m->data)->count = 0;
    }
    for (const GSList *it = (const GSList *)data; it; it = it->next) count_key((const char *)it->data);
    write_device_types();
}

void update_scenes_stats(const void *data, const void *) {
    LOGD("update_scenes_stats");
    save_number(kParams[STAT_NUM_OF_SCENES], g_slist_length((GSList *)data));
}

/* Elements of the top-level value that have an "if" holding a string. */
uint32_t rules_in(const char *text) {
    cJSON *json = text ? cJSON_Parse(text) : nullptr;
    uint32_t n = 0;
    const cJSON *element = nullptr;
    if (json && (cJSON_IsArray(json) || cJSON_IsObject(json))) {
        cJSON_ArrayForEach(element, json) {
            if (cJSON_IsString(cJSON_GetObjectItemCaseSensitive(element, "if"))) n++;
        }
    }
    cJSON_Delete(json);
    return n;
}

void update_ifttt_stats(const void *data, const void *) {
    LOGD("update_ifttt_stats");
    uint32_t n = 0;
    for (const GSList *it = (const GSList *)data; it; it = it->next) {
        char *value = db_get_sync(ri, "%s", (const char *)it->data);
        n += rules_in(value);
        free(value);
    }
    save_number(kParams[STAT_NUM_OF_RULES], n);
}

struct tracked_t {
    const char *pattern;
    db_callback_t count;
};

const tracked_t kTracked[] = {
    {"device:*:classname:*", update_devices_stats},
    {"scene:*:commands", update_scenes_stats},
    {"device:*:ifttt", update_ifttt_stats},
};

void recount(const tracked_t *t) { db_get_keys(ri, t->count, nullptr, "%s", t->pattern); }

void tracked_changed(const char *, const char *, const void *arg) { recount((const tracked_t *)arg); }

void track_changes(const tracked_t *t) {
    LOGD("track_changes %s", t->pattern);
    recount(t);
    if (!db_psubscribe_for_key(ri, tracked_changed, t, "%s", t->pattern)) LOGW("Cannot watch %s", t->pattern);
}

void scene_deleted(const char *, const char *, const void *) { recount(&kTracked[1]); }

void scripts_version_update(const char *, const char *value, const void *) {
    LOGD("scripts_version_update %s", value ? value : "(null)");
    save_to_pcb(kScriptsVersionParam, value ? value : "0");
}

void get_and_subscribe_scripts_version(void) {
    char *value = db_get_sync(ri, "drv:version");
    LOGD("get_and_subscribe_scripts_version %s", value ? value : "(null)");
    save_to_pcb(kScriptsVersionParam, value ? value : "0");
    free(value);
    if (!db_subscribe_for_key(ri, scripts_version_update, nullptr, "drv:version")) LOGW("Cannot watch drv:version");
}

}  // namespace

void stats_init(redis_instance_t *state) {
    LOGD("stats_init");
    ri = state;
    track_changes(&kTracked[0]);
    track_changes(&kTracked[1]);
    if (!db_psubscribe(ri, scene_deleted, nullptr, "scene:*:delete")) LOGW("Cannot subscribe to scene:*:delete");
    track_changes(&kTracked[2]);
    get_and_subscribe_scripts_version();
}

void stats_update(brx_stat_t kind, uint32_t value) {
    if (kind == STAT_NUM_OF_SCHEDULES) save_number(kParams[STAT_NUM_OF_SCHEDULES], value);
}
