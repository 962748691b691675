#include "src/selftest.h"

#include <cjson/cJSON.h>
#include <event2/event.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "common/logger/logger.h"
#include "src/device/context.h"
#include "src/device/driver.h"
#include "src/helpers.h"
#include "src/pcb/pcb_plugin.h"
#include "src/scheduler.h"

#define LOG_CATEGORY "selftest"

namespace {

struct selftest_t {
    redis_instance_t *ri_state;
    redis_instance_t *ri_conf;
    scheduler_ctx_t *scheduler_object;
    int in_progress;
    int scheduler_active;
    char *scheduler_definition;
};

selftest_t g_selftest;
struct event_base *g_base = nullptr;
struct event *g_timer = nullptr; /* made at the first run, reused */
cJSON *g_selftest_results = nullptr;

const char kActiveKey[] = "selftest:schedule_active";
const char kDefinitionKey[] = "selftest:schedule_definition";
const char *const config_keys[] = {kActiveKey, kDefinitionKey};

const char kEnableParam[] = "APService.HomeAutomation.BrixmoorSelfTestEnable";
const char kResultsParam[] = "APService.HomeAutomation.BrixmoorSelfTestResults";
const char kGlobalEnableParam[] = "APService.HomeAutomation.BrixmoorSelfTestGlobalEnable";
const char kScheduleParam[] = "APService.HomeAutomation.BrixmoorSelfTestSchedule";
const char kEnableMirror[] = "KAVPCB:aphomeautomation:BrixmoorSelfTestEnable";
const char kGlobalEnableMirror[] = "KAVPCB:aphomeautomation:BrixmoorSelfTestGlobalEnable";
const char kScheduleMirror[] = "KAVPCB:aphomeautomation:BrixmoorSelfTestSchedule";

const int kWindowSeconds = 30;
/* A window longer than a week would reach into the next week's run. */
const double kMaxPeriodMinutes = 7 * 24 * 60;

const char *or_null(const char *s) { return s ? s : "(null)"; }

/*
 * Local time with a literal Z, as the consumers parse it: "YYYY-MM-DDTHH:MM:SSZ" is 20 characters,
 * so the buffer holds them and the terminator. 0 when it cannot be formatted.
 */
int format_now(char (&buf)[21]) {
    time_t now = time(nullptr);
    struct tm tm;
    if (!localtime_r(&now, &tm)) return 0;
    return strftime(buf, sizeof buf, "%FT%TZ", &tm) != 0;
}

/* Adds "time" (now) to obj, or logs that it cannot. */
void add_time(cJSON *obj) {
    char buf[21];
    if (!format_now(buf)) {
        LOGW("Cannot generate timestamp");
        return;
    }
    if (!cJSON_AddStringToObject(obj, "time", buf)) BRX_OOM_EXIT("time");
}

/* ---- a run ---- */

void run_device_selftest(device_ctx_t *ctx) {
    if (!ctx) {
        LOGW("Missing device context");
        return;
    }
    if (ctx->driver_loaded)
        lua_pcall_driver_selftest(ctx, "{}");
    else
        LOGW("Cannot execute selftest for device %s - driver not loaded", ctx->device_id);
}

void selftest_stop(evutil_socket_t, short, void *) {
    LOGI("Selftest stopped");
    g_selftest.in_progress = 0;
    pcb_plugin_set(kEnableParam, "0");
    char *text = cJSON_Print(g_selftest_results);
    if (!text) BRX_OOM_EXIT("results_str");
    db_set(g_selftest.ri_state, "selftest:results", text);
    pcb_plugin_set(kResultsParam, text);
    free(text);
}

void selftest_run(void) {
    if (g_selftest.in_progress) {
        LOGI("Selftest in progress - cannot start another one");
        return;
    }
    cJSON_Delete(g_selftest_results);
    g_selftest_results = cJSON_CreateObject();
    if (!g_selftest_results) BRX_OOM_EXIT("g_selftest_results");
    add_time(g_selftest_results);
    if (!cJSON_AddArrayToObject(g_selftest_results, "reports")) BRX_OOM_EXIT("reports");

    LOGI("Selftest started");
    g_selftest.in_progress = 1;
    pcb_plugin_set(kEnableParam, "1");
    // A snapshot of the contexts: a hook may remove devices.
    foreach_device_context(run_device_selftest);

    if (!g_timer) {
        g_timer = evtimer_new(g_base, selftest_stop, nullptr);
        if (!g_timer) BRX_OOM_EXIT("g_timer");
    }
    struct timeval window = {kWindowSeconds, 0};
    evtimer_add(g_timer, &window);
}

void scheduled_run(const char *) { selftest_run(); }

void store_report(const char *message) {
    LOGD("Received selftest report: %s", or_null(message));
    if (!g_selftest_results) {
        LOGW("Missing results collection");
        return;
    }
    cJSON *reports = cJSON_GetObjectItemCaseSensitive(g_selftest_results, "reports");
    if (!cJSON_IsArray(reports)) {
        LOGW("Corrupted results collection");
        return;
    }
    cJSON *record = cJSON_CreateObject();
    if (!record) BRX_OOM_EXIT("report");
    add_time(record);
    if (!cJSON_AddStringToObject(record, "report", message ? message : "")) BRX_OOM_EXIT("report");
    cJSON_AddItemToArray(reports, record);
}

void command_received(const char *channel, const char *message, const void *) {
    char *command = get_nth_field(channel, 2);
    if (command && strcmp(command, "run") == 0)
        selftest_run();
    else if (command && strcmp(command, "store_report") == 0)
        store_report(message);
    else
        LOGW("Unknown command %s for selftest", or_null(command));
    free(command);
}

/* ---- the schedule ---- */

/* 1 when the active rule i can be planned; otherwise its fault is logged. */
int rule_plannable(const cJSON *rule, int i) {
    if (!scheduler_days_fit(cJSON_GetObjectItemCaseSensitive(rule, "days"))) {
        LOGW("Missing or corrupted \"day\" key in rule %d", i);
        return 0;
    }
    const cJSON *t = cJSON_GetObjectItemCaseSensitive(rule, "time");
    if (!cJSON_IsString(t) || !t->valuestring[0]) {
        LOGW("Missing \"time\" key in rule %d", i);
        return 0;
    }
    const cJSON *period = cJSON_GetObjectItemCaseSensitive(rule, "period");
    if (period && (!cJSON_IsNumber(period) || period->valuedouble < 0)) {
        LOGW("Corrupted \"period\" key in rule %d", i);
        return 0;
    }
    return 1;
}

void plan_rule(const cJSON *rule) {
    const cJSON *days = cJSON_GetObjectItemCaseSensitive(rule, "days");
    const char *begin = cJSON_GetObjectItemCaseSensitive(rule, "time")->valuestring;
    const cJSON *period = cJSON_GetObjectItemCaseSensitive(rule, "period");
    if (period) {
        double minutes = period->valuedouble < kMaxPeriodMinutes ? period->valuedouble : kMaxPeriodMinutes;
        scheduler_add_entry_with_random_time(g_selftest.scheduler_object, days, begin, (unsigned)minutes, "selftest");
    } else {
        scheduler_add_entry(g_selftest.scheduler_object, days, begin, "selftest");
    }
}

void plan_schedule(void) {
    scheduler_ctx_t *sched = g_selftest.scheduler_object;
    scheduler_cleanup(sched);
    if (!g_selftest.scheduler_active) {
        LOGI("Scheduler is disabled");
        return;
    }
    LOGI("Scheduler is enabled");
    if (!g_selftest.scheduler_definition || !g_selftest.scheduler_definition[0]) {
        LOGI("Empty scheduler config");
        return;
    }
    // A value too long for any schedule is refused before a tree is made of it.
    cJSON *rules = scheduler_value_fits(g_selftest.scheduler_definition) ? cJSON_Parse(g_selftest.scheduler_definition)
                                                                          : nullptr;
    if (!rules) {
        LOGW("Invalid scheduler config");
        return;
    }
    scheduler_add_cb(sched, scheduled_run);
    scheduler_randomize_minutes(sched, 59);
    int i = 0;
    for (const cJSON *rule = rules->child; rule; rule = rule->next, i++) {
        const cJSON *active = cJSON_GetObjectItemCaseSensitive(rule, "active");
        if (!active) {
            LOGW("No \"active\" key in rule %d", i);
            continue;
        }
        if (cJSON_IsFalse(active)) continue;
        if (rule_plannable(rule, i)) plan_rule(rule);
    }
    cJSON_Delete(rules);
    scheduler_start(sched);
}

/* ---- settings ---- */

void set_config_value(const char *key, const char *value, int apply) {
    if (!key || !value) {
        LOGD("set_config_value: empty name or value");
        return;
    }
    LOGD("set_config_value %s=%s (apply: %d)", key, value, apply);
    if (strcmp(key, kActiveKey) == 0) {
        g_selftest.scheduler_active = value[0] && strcmp(value, "0") != 0;
    } else if (strcmp(key, kDefinitionKey) == 0) {
        char *copy = strdup(value);
        if (!copy) BRX_OOM_EXIT("selftest.scheduler_definition");
        free(g_selftest.scheduler_definition);
        g_selftest.scheduler_definition = copy;
    } else {
        LOGW("Unknown config key: %s", key);
        return;
    }
    if (apply) plan_schedule();
}

int is_config_key(const char *key) {
    for (const char *k : config_keys)
        if (key && strcmp(key, k) == 0) return 1;
    return 0;
}

void handle_key_change(const char *key, const char *value, const void *) {
    if (!is_config_key(key)) return;
    LOGD("handle_key_change %s", key);
    set_config_value(key, value, 1);
}

void enable_changed(const char *, const char *value, const void *) {
    LOGI("Selftest enable changed to %s", or_null(value));
    // The run's own "1" comes back here while it is in progress.
    if (value && strcmp(value, "1") == 0 && !g_selftest.in_progress) db_publish(g_selftest.ri_state, "selftest:run", "");
}

void global_enable_changed(const char *, const char *value, const void *) {
    LOGI("Selftest global enable changed to %s", or_null(value));
    if (value) db_set(g_selftest.ri_state, kActiveKey, value);
}

void schedule_changed(const char *, const char *value, const void *) {
    LOGI("Selftest schedule changed to %s", or_null(value));
    if (value) db_set(g_selftest.ri_state, kDefinitionKey, value);
}

void init(struct event_base *base, redis_instance_t *state, redis_instance_t *conf, bool watch) {
    LOGD("selftest_init");
    g_base = base;
    g_selftest.ri_state = state;
    g_selftest.ri_conf = conf;
    g_selftest.scheduler_object = scheduler_create();
    if (!g_selftest.scheduler_object) {
        LOGW("Cannot create scheduler");
        return;
    }
    g_selftest.in_progress = 0;
    g_selftest.scheduler_active = 0;
    g_selftest.scheduler_definition = nullptr;

    for (const char *key : config_keys) {
        LOGD("init_config_value %s", key);
        char *value = db_get_sync(state, "%s", key);
        set_config_value(key, value, 0);
        free(value);
    }
    if (watch && !db_psubscribe_for_key(state, handle_key_change, nullptr, "selftest:*"))
        LOGW("Cannot watch selftest:*");
    if (watch && !db_psubscribe(state, command_received, nullptr, "selftest:*")) LOGW("Cannot subscribe to selftest:*");

    pcb_plugin_set(kEnableParam, "0");

    char *global_enable = pcbcli_get_string(kGlobalEnableParam);
    char *schedule = pcbcli_get_string_ext(kScheduleParam);
    const char *active_value = global_enable ? global_enable : "";
    const char *definition_value = schedule ? schedule : "";
    db_set(conf, kGlobalEnableMirror, active_value);
    db_set(conf, kScheduleMirror, definition_value);
    db_set(state, kActiveKey, active_value);
    db_set(state, kDefinitionKey, definition_value);
    set_config_value(kActiveKey, active_value, 0);
    set_config_value(kDefinitionKey, definition_value, 0);
    free(global_enable);
    free(schedule);

    if (watch) {
        if (!db_subscribe_for_key(conf, enable_changed, nullptr, "%s", kEnableMirror))
            LOGW("Cannot watch %s", kEnableMirror);
        if (!db_subscribe_for_key(conf, global_enable_changed, nullptr, "%s", kGlobalEnableMirror))
            LOGW("Cannot watch %s", kGlobalEnableMirror);
        if (!db_subscribe_for_key(conf, schedule_changed, nullptr, "%s", kScheduleMirror))
            LOGW("Cannot watch %s", kScheduleMirror);
    }

    plan_schedule();
}

}  // namespace

void selftest_init(struct event_base *base, redis_instance_t *state, redis_instance_t *conf) {
    init(base, state, conf, true);
}

void selftest_init_once(struct event_base *base, redis_instance_t *state, redis_instance_t *conf) {
    init(base, state, conf, false);
}
