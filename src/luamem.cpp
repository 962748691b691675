#include "src/luamem.h"

#include <cjson/cJSON.h>
#include <errno.h>
#include <limits.h>
#include <lua.hpp>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/glib-mini/glib.h"
#include "common/logger/logger.h"
#include "src/helpers.h"
#include "src/lua_api/lua_state.h"
#include "src/pcb/pcb_plugin.h"

#define LOG_CATEGORY "luamem"

namespace {

const int kStats = 2000;
const char *const kLimitPrefix = "luamem:limit:";
const char *const kEnableParam = "APService.HomeAutomation.BrixmoorMemoryProfilerEnable";
const char *const kConfigParam = "APService.HomeAutomation.BrixmoorMemoryProfilerConfig";
const char *const kSummaryParam = "APService.HomeAutomation.BrixmoorMemoryProfilerSummary";
const char *const kEnableMirror = "KAVPCB:aphomeautomation:BrixmoorMemoryProfilerEnable";
const char *const kConfigMirror = "KAVPCB:aphomeautomation:BrixmoorMemoryProfilerConfig";

struct luamem_config_t {
    bool enable;
    char *filename;
    uint8_t filenamenum;
    bool logoncheck;
    bool enable_reload;
    redis_instance_t *ri_state;
    redis_instance_t *ri_conf;
};

struct luamem_stat_t {
    lua_State *L;
    int *stats; /* kStats samples, made at the first one: most states are never profiled */
    int stat_init;
    int stat_max;
    int stat_min;
    int stats_counter;
    int mem_limit;
    char *class_name;
    char *domain;
    int latest; /* the sample of the last check; 0 before it and after a reset */
};

enum luamem_print_t { print_graph = 0, print_nums = 1, print_summary = 2 };

luamem_config_t config = {false, nullptr, 1, false, false, nullptr, nullptr};
GSList *entries = nullptr; /* creation order */
BrxSlistIndex entries_index = BRX_SLIST_INDEX_INIT;
int entries_count = 0; /* the log lines show it at every state's creation */
GHashTable *by_state = nullptr; /* L -> its one entry */
cJSON *summary = nullptr;

const char *or_default(const char *cls) { return cls ? cls : "default"; }
const char *or_empty(const char *s) { return s ? s : ""; }

bool bool_text(const char *v) { return v && *v && strcmp(v, "0") != 0; }

/* strtol of a non-empty text within 0..max, else fallback; a text that is no number reads as 0. */
long decimal_text(const char *v, long max, long fallback) {
    if (!v || !*v) return fallback;
    errno = 0;
    long n = strtol(v, nullptr, 10);
    if (errno == ERANGE || n < 0 || n > max) return fallback;
    return n;
}

int limit_text(const char *v) { return (int)decimal_text(v, INT_MAX, -1); }

/* ---- entries ---- */

luamem_stat_t *find_entry(lua_State *L) {
    return by_state ? (luamem_stat_t *)g_hash_table_lookup(by_state, L) : nullptr;
}

void index_entry(luamem_stat_t *e) {
    if (!by_state) {
        by_state = g_hash_table_new(g_direct_hash, nullptr);
        if (!by_state) BRX_OOM_EXIT("luamem index");
    }
    g_hash_table_insert(by_state, e->L, e);
}

void free_entry(luamem_stat_t *e) {
    free(e->stats);
    free(e->class_name);
    free(e->domain);
    free(e);
}

/* Takes e off the list and the index; the count of entries left. */
int unlink_entry(luamem_stat_t *e) {
    entries = brx_islist_remove(entries, &entries_index, e);
    entries_count--; /* e came from the index, so it was on the list */
    if (by_state && g_hash_table_lookup(by_state, e->L) == e) g_hash_table_remove(by_state, e->L);
    return entries_count;
}

/* The close routine's hook: a state that goes leaves no entry for a later one at its address. */
void forget_state(lua_State *L) {
    luamem_stat_t *e = find_entry(L);
    if (!e) return;
    int left = unlink_entry(e);
    LOGD("Profiler for closing L=%p (%s %s) dropped, num of profilers on list: %d", (void *)L, e->domain,
         or_default(e->class_name), left);
    free_entry(e);
}

luamem_stat_t *new_entry(lua_State *L) {
    auto *e = (luamem_stat_t *)calloc(1, sizeof(luamem_stat_t));
    if (!e) BRX_OOM_EXIT("No memory for luamem entry");
    e->L = L;
    e->stat_init = -1;
    e->stat_max = -1;
    e->stat_min = INT_MAX;
    e->mem_limit = -1;
    entries = brx_islist_append(entries, &entries_index, e);
    entries_count++;
    index_entry(e);
    lua_state_add_forget_hook(forget_state);
    LOGI("New profiler for L=%p created, num of profilers on list: %d", (void *)L, entries_count);
    return e;
}

int read_limit(const char *class_name, const char *domain) {
    char *v = class_name ? db_get_sync(config.ri_state, "luamem:limit:%s:%s", domain, class_name)
                         : db_get_sync(config.ri_state, "luamem:limit:%s", domain);
    if (!v) {
        LOGD("No memory limit for %s %s", domain, or_default(class_name));
        return -1;
    }
    int limit = limit_text(v);
    free(v);
    return limit;
}

/* ---- dumps ---- */

struct dump_out {
    FILE *f;
};

void emit(dump_out *o, const char *text) {
    if (o->f)
        fputs(text, o->f);
    else
        LOGI("%s", text);
}

void end_line(dump_out *o) {
    if (o->f) fputc('\n', o->f);
}

void dump_entry(dump_out *o, const luamem_stat_t *e, luamem_print_t mode) {
    char line[512];
    snprintf(line, sizeof line, "L(%p), %s %s, %d stats, init %d, min %d, max %d, curr %d, limit %d", (void *)e->L,
             e->domain, or_default(e->class_name), e->stats_counter, e->stat_init, e->stat_min, e->stat_max,
             e->latest, e->mem_limit);
    emit(o, line);
    end_line(o);
    if (mode == print_summary) return;
    const double scale = (e->stat_max - e->stat_min) / 100.0;
    char bar[128];
    for (int i = 0; i < e->stats_counter; i++) {
        const int s = e->stats[i];
        if (mode == print_nums) {
            snprintf(line, sizeof line, "%d,", s);
        } else {
            int k = 1;
            if (e->stat_max != e->stat_min) k = (int)floor((s - e->stat_min) / scale) - 1;
            if (k < 1) k = 1;
            if (k > (int)sizeof bar - 1) k = (int)sizeof bar - 1;
            memset(bar, '+', (size_t)k);
            bar[k] = '\0';
            snprintf(line, sizeof line, "%7d : %s", s, bar);
        }
        emit(o, line);
    }
    if (e->stats_counter > 0) end_line(o);
}

void dump(const char *mode_text) {
    LOGI("LUA memory usage per context (in BYTES) with setting %s", mode_text ? mode_text : "null");
    luamem_print_t mode = print_graph;
    if (mode_text && strcmp(mode_text, "n") == 0) mode = print_nums;
    if (mode_text && strcmp(mode_text, "s") == 0) mode = print_summary;
    dump_out o = {nullptr};
    if (config.filename) {
        char path[255];
        snprintf(path, sizeof path, "%s_%d", config.filename, (int)config.filenamenum);
        o.f = fopen(path, "we");
        if (o.f) {
            config.filenamenum = (uint8_t)(config.filenamenum + 1);
            char num[8];
            snprintf(num, sizeof num, "%d", (int)config.filenamenum);
            if (db_set_sync(config.ri_state, "luamem:filenamenum", num) != 0)
                LOGW("Cannot store luamem:filenamenum %s", num);
        } else {
            LOGW("Cannot open %s for the memory dump", path);
        }
    }
    for (GSList *it = entries; it; it = it->next) dump_entry(&o, (const luamem_stat_t *)it->data, mode);
    if (o.f) fclose(o.f);
}

/* ---- the summary ---- */

void write_summary(void) {
    char *text = cJSON_Print(summary);
    if (!text) BRX_OOM_EXIT("summary text");
    if (!pcb_plugin_set(kSummaryParam, text)) LOGW("Cannot write the memory profiler summary");
    free(text);
}

void update_summary(const luamem_stat_t *e) {
    if (!summary) {
        LOGW("Memory profiler summary object is missing");
        return;
    }
    if (!e->domain || !*e->domain) {
        LOGW("Empty domain name");
        return;
    }
    char name[512];
    if (e->class_name)
        snprintf(name, sizeof name, "%s%s:%s", kLimitPrefix, e->domain, e->class_name);
    else
        snprintf(name, sizeof name, "%s%s", kLimitPrefix, e->domain);
    cJSON *list = cJSON_GetObjectItemCaseSensitive(summary, "summary");
    if (!cJSON_IsArray(list)) {
        cJSON_DeleteItemFromObjectCaseSensitive(summary, "summary");
        list = cJSON_AddArrayToObject(summary, "summary");
        if (!list) BRX_OOM_EXIT("summary array");
    }
    cJSON *found = nullptr;
    cJSON *item = nullptr;
    cJSON_ArrayForEach(item, list) {
        const cJSON *driver = cJSON_GetObjectItemCaseSensitive(item, "driver");
        if (!cJSON_IsString(driver)) {
            LOGW("Missing driver name in summary");
            continue;
        }
        if (strcmp(driver->valuestring, name) == 0) {
            found = item;
            break;
        }
    }
    if (found) {
        LOGI("Updating summary for %s", name);
        cJSON *limit = cJSON_GetObjectItemCaseSensitive(found, "limit");
        cJSON *reloads = cJSON_GetObjectItemCaseSensitive(found, "reloads");
        if (!cJSON_IsNumber(limit) || !cJSON_IsNumber(reloads)) {
            LOGW("Corrupted data in %s", name);
        } else {
            cJSON_SetNumberValue(limit, e->mem_limit);
            double n = reloads->valuedouble + 1;
            cJSON_SetNumberValue(reloads, n < 0 ? 0 : n);
        }
    } else {
        LOGI("Adding %s to summary", name);
        cJSON *add = cJSON_CreateObject();
        if (!add || !cJSON_AddStringToObject(add, "driver", name) ||
            !cJSON_AddNumberToObject(add, "limit", e->mem_limit) || !cJSON_AddNumberToObject(add, "reloads", 1))
            BRX_OOM_EXIT("summary item");
        cJSON_AddItemToArray(list, add);
    }
    write_summary();
}

/* ---- settings ---- */

void limit_change(const char *key, const char *value) {
    const char *rest = key + strlen(kLimitPrefix);
    const char *colon = strchr(rest, ':');
    const int limit = limit_text(value);
    char domain[256];
    snprintf(domain, sizeof domain, "%.*s", colon ? (int)(colon - rest) : (int)strlen(rest), rest);
    const char *cls = colon ? colon + 1 : nullptr;
    if (cls)
        LOGD("set mem limit for %s (%s) to %d", cls, domain, limit);
    else
        LOGD("set mem limit for %s to %d", domain, limit);
    for (GSList *it = entries; it; it = it->next) {
        luamem_stat_t *e = (luamem_stat_t *)it->data;
        if (!e->domain || strcmp(e->domain, domain) != 0) continue;
        if (cls ? (e->class_name && strcmp(e->class_name, cls) == 0) : !e->class_name) e->mem_limit = limit;
    }
}

void update_setting(const char *name, const char *value) {
    LOGD("update_setting %s:%s", name, value);
    if (strcmp(name, "enable") == 0) {
        config.enable = bool_text(value);
    } else if (strcmp(name, "logoncheck") == 0) {
        config.logoncheck = bool_text(value);
    } else if (strcmp(name, "enable_reload") == 0) {
        config.enable_reload = bool_text(value);
    } else if (strcmp(name, "filename") == 0) {
        free(config.filename);
        config.filename = *value ? BRX_STRDUP_OR_EXIT(value, "luamem copy") : nullptr;
    } else if (strcmp(name, "filenamenum") == 0) {
        config.filenamenum = (uint8_t)decimal_text(value, 255, 1);
    } else {
        LOGD("update_setting unknown setting %s", name);
    }
}

void handle_key_change(const char *key, const char *value, const void *) {
    if (!key) return;
    if (!value) value = "";
    char *name = get_nth_field(key, 2);
    LOGD("handle_key_change %s, param %s", key, name ? name : "(null)");
    if (name && strcmp(name, "limit") == 0 && strncmp(key, kLimitPrefix, strlen(kLimitPrefix)) == 0)
        limit_change(key, value);
    else if (name)
        update_setting(name, value);
    free(name);
}

void read_setting(const char *key) {
    LOGD("get_config_value %s", key);
    char *v = db_get_sync(config.ri_state, "%s", key);
    handle_key_change(key, v ? v : "", nullptr);
    free(v);
}

void handle_command(const char *channel, const char *message, const void *) {
    if (!config.enable) {
        LOGD("Luamem not enabled");
        return;
    }
    char *cmd = channel ? get_nth_field(channel, 2) : nullptr;
    if (cmd && strcmp(cmd, "print") == 0) {
        dump(message);
    } else if (cmd && strcmp(cmd, "reset") == 0) {
        for (GSList *it = entries; it; it = it->next) {
            luamem_stat_t *e = (luamem_stat_t *)it->data;
            e->stats_counter = 0;
            e->latest = 0;
        }
    } else {
        LOGD("Unknown command %s for luamem", cmd ? cmd : "(null)");
    }
    free(cmd);
}

/* ---- the gateway's configuration ---- */

/* Every limit key goes; the entries forget their limits too, since deletions are not reported. */
bool delete_limits(void) {
    GSList *keys = nullptr;
    bool ok = db_keys_sync(config.ri_state, &keys, "%s*", kLimitPrefix) == 0;
    for (GSList *it = keys; it; it = it->next) {
        const char *key = (const char *)it->data;
        LOGT("Deleting %s", key);
        if (db_del_sync(config.ri_state, key) != 0) {
            LOGW("Cannot delete %s", key);
            ok = false;
        }
        free(it->data);
    }
    g_slist_free(keys);
    for (GSList *it = entries; it; it = it->next) ((luamem_stat_t *)it->data)->mem_limit = -1;
    if (!ok) LOGW("Cannot delete existing limits");
    return ok;
}

bool store_limits(const char *config_text) {
    if (!config_text) {
        LOGI("Config is not defined");
        return false;
    }
    cJSON *json = cJSON_Parse(config_text);
    if (!json) {
        LOGE("Invalid format of memory profiler config");
        return false;
    }
    const cJSON *limits = cJSON_GetObjectItemCaseSensitive(json, "limits");
    if (!cJSON_IsArray(limits) || cJSON_GetArraySize(limits) == 0) {
        LOGW("Empty limits config");
        cJSON_Delete(json);
        return false;
    }
    int stored = 0;
    const cJSON *item = nullptr;
    cJSON_ArrayForEach(item, limits) {
        const cJSON *driver = cJSON_GetObjectItemCaseSensitive(item, "driver");
        const cJSON *limit = cJSON_GetObjectItemCaseSensitive(item, "limit");
        if (!cJSON_IsString(driver) || !*driver->valuestring || !cJSON_IsString(limit) || !*limit->valuestring) {
            LOGW("Ignoring invalid driver definition");
            continue;
        }
        if (strncmp(driver->valuestring, kLimitPrefix, strlen(kLimitPrefix)) != 0) {
            LOGW("Ignoring unknown driver (%s)", driver->valuestring);
            continue;
        }
        if (db_set_sync(config.ri_state, driver->valuestring, limit->valuestring) != 0) {
            LOGE("Error setting limit for %s", driver->valuestring);
            continue;
        }
        LOGI("Limit set: %s = %s", driver->valuestring, limit->valuestring);
        // At once: a follower's own writes are not seen by its watch, which reaches the leader.
        limit_change(driver->valuestring, limit->valuestring);
        stored++;
    }
    cJSON_Delete(json);
    if (stored == 0) LOGW("No valid limits configured");
    return stored > 0;
}

void apply(bool enabled, const char *config_text) {
    bool on = delete_limits();
    if (on && !enabled) on = false;
    if (on) on = store_limits(config_text);
    config.enable = config.enable_reload = on;
    if (db_set_sync(config.ri_state, "luamem:enable", on ? "1" : "0") != 0) LOGW("Cannot store luamem:enable");
    LOGI("Memory profiler is %s", on ? "enabled" : "disabled");
}

bool gateway_enabled(void) {
    char *v = pcbcli_get_string(kEnableParam);
    bool on = v && strcmp(v, "1") == 0;
    free(v);
    return on;
}

void enable_mirror_changed(const char *, const char *value, const void *) {
    LOGI("Memory profiler enable changed to %s", value ? value : "(null)");
    if (!value) return;
    if (strcmp(value, "1") == 0) {
        char *cfg = db_get_sync(config.ri_conf, "%s", kConfigMirror);
        apply(true, cfg);
        free(cfg);
    } else if (strcmp(value, "0") == 0) {
        apply(false, nullptr);
    }
}

void config_mirror_changed(const char *, const char *value, const void *) {
    LOGI("Memory profiler config changed to %s", value ? value : "(null)");
    if (value) apply(gateway_enabled(), value);
}

void load_summary(void) {
    cJSON_Delete(summary);
    summary = nullptr;
    char *text = pcbcli_get_string_ext(kSummaryParam);
    if (text && *text) {
        LOGD("Existing summary: %s", text);
        summary = cJSON_Parse(text);
        // A value nobody can parse would stop the reload reporting for good.
        if (!summary) LOGW("Invalid format of memory profiler summary");
    }
    free(text);
    if (!summary) {
        summary = cJSON_CreateObject();
        if (!summary) BRX_OOM_EXIT("summary object");
    }
}

int take_sample(lua_State *L) { return lua_gc(L, LUA_GCCOUNT, 0) * 1000 + lua_gc(L, LUA_GCCOUNTB, 0); }

void init(redis_instance_t *ri_state, redis_instance_t *ri_conf, bool watch) {
    LOGD("luamem_init");
    config.ri_state = ri_state;
    config.ri_conf = ri_conf;
    free(config.filename);
    config.filename = nullptr;
    config.filenamenum = 1;
    config.enable = true;
    const char *settings[] = {"luamem:enable", "luamem:filename", "luamem:filenamenum", "luamem:logoncheck",
                              "luamem:enable_reload"};
    for (const char *key : settings) read_setting(key);
    if (watch && !db_psubscribe_for_key(ri_state, handle_key_change, nullptr, "luamem:*"))
        LOGW("Cannot watch the luamem settings");
    if (watch && !db_psubscribe(ri_state, handle_command, nullptr, "luamem:*")) LOGW("Cannot subscribe to luamem commands");

    char *enable = pcbcli_get_string(kEnableParam);
    char *cfg = pcbcli_get_string_ext(kConfigParam);
    db_set_sync(ri_conf, kEnableMirror, enable ? enable : "");
    db_set_sync(ri_conf, kConfigMirror, cfg ? cfg : "");
    apply(enable && strcmp(enable, "1") == 0, cfg);
    free(enable);
    free(cfg);

    if (watch && !db_subscribe_for_key(ri_conf, enable_mirror_changed, nullptr, "%s", kEnableMirror))
        LOGW("Cannot watch %s", kEnableMirror);
    if (watch && !db_subscribe_for_key(ri_conf, config_mirror_changed, nullptr, "%s", kConfigMirror))
        LOGW("Cannot watch %s", kConfigMirror);
    load_summary();
}

}  // namespace

void luamem_init(redis_instance_t *ri_state, redis_instance_t *ri_conf) { init(ri_state, ri_conf, true); }

void luamem_init_once(redis_instance_t *ri_state, redis_instance_t *ri_conf) { init(ri_state, ri_conf, false); }

void luamem_set_limit(lua_State *L, const char *class_name, const char *domain) {
    if (!domain) {
        LOGW("No domain given for L %p, cannot set luamem limit", (void *)L);
        return;
    }
    luamem_stat_t *e = find_entry(L);
    if (!e) e = new_entry(L);
    e->mem_limit = config.ri_state ? read_limit(class_name, domain) : -1;
    if (e->class_name != class_name) {
        free(e->class_name);
        e->class_name = BRX_STRDUP_OR_EXIT(class_name, "luamem copy");
    }
    if (e->domain != domain) {
        free(e->domain);
        e->domain = BRX_STRDUP_OR_EXIT(domain, "luamem copy");
    }
    LOGD("luamem_set_limit %d (%s:%s)", e->mem_limit, domain, or_default(class_name));
}

int luamem_check(lua_State *L) {
    if (!config.enable) {
        if (config.logoncheck) LOGD("luamem disabled - return");
        return 0;
    }
    const int sample = take_sample(L);
    luamem_stat_t *e = find_entry(L);
    if (!e) {
        LOGW("Cannot find context for L %p", (void *)L);
        return sample;
    }
    if (!e->stats) {
        e->stats = (int *)malloc(kStats * sizeof(int));
        if (!e->stats) BRX_OOM_EXIT("No memory for luamem samples");
    }
    e->stats[e->stats_counter++] = sample;
    e->latest = sample;
    if (e->stat_init < 0) e->stat_init = sample;
    if (sample < e->stat_min) e->stat_min = sample;
    if (sample > e->stat_max) e->stat_max = sample;
    if (e->stats_counter >= kStats) {
        dump(nullptr);
        e->stats_counter = 0;
    }
    if (config.logoncheck)
        LOGI("Current memory for L=%p %s %s is %ld KB (%ld B)", (void *)L, e->domain, or_empty(e->class_name),
             (long)sample / 1000, (long)sample);
    return sample;
}

int luamem_limit_reached(lua_State *L) {
    if (!config.enable) {
        if (config.logoncheck) LOGD("luamem disabled - return");
        return 0;
    }
    if (!config.enable_reload) return 0;
    luamem_stat_t *e = find_entry(L);
    if (!e) {
        LOGW("Cannot find context for L %p", (void *)L);
        return 0;
    }
    if (e->mem_limit == -1) {
        if (config.logoncheck)
            LOGD("luamem_limit_reached no mem limit set for %s %s, return false", e->domain,
                 or_default(e->class_name));
        return 0;
    }
    if (config.logoncheck) LOGD("luamem_limit_reached limit = %d, last stat = %d", e->mem_limit, e->latest);
    if (e->latest >= e->mem_limit) {
        if (config.logoncheck)
            LOGI("luamem_limit_reached latest stat exceeded limit for %s %s, return true", e->domain,
                 or_default(e->class_name));
        update_summary(e);
        return 1;
    }
    if (config.logoncheck)
        LOGD("luamem_limit_reached latest stat less that limit for %s %s, return false", e->domain,
             or_default(e->class_name));
    return 0;
}

void luamem_cleanup(lua_State *L) {
    luamem_stat_t *e = find_entry(L);
    if (!e) return;
    int left = unlink_entry(e);
    LOGI("Profiler for L=%p (%s %s) removed, num of profilers on list: %d", (void *)L, e->domain,
         or_default(e->class_name), left);
    free_entry(e);
}

void luamem_replace(lua_State *old_L, lua_State *new_L) {
    LOGI("luamem_replace old L=%p, new L=%p", (void *)old_L, (void *)new_L);
    luamem_stat_t *e = find_entry(old_L);
    if (!e) {
        LOGW("luamem_replace cannot find old L=%p to replace", (void *)old_L);
        return;
    }
    if (old_L == new_L) return;
    // The new state's own entry, made when it was built, gives way to the one carried over.
    luamem_stat_t *made = find_entry(new_L);
    if (made) {
        unlink_entry(made);
        free_entry(made);
    }
    g_hash_table_remove(by_state, old_L);
    e->L = new_L;
    index_entry(e);
}
