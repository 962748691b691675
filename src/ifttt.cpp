#include "src/ifttt.h"

#include <cjson/cJSON.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/glib-mini/glib.h"
#include "common/logger/logger.h"
#include "src/device/commands.h"
#include "src/helpers.h"

#define LOG_CATEGORY "ifttt"

struct ifttt_ctx {
    cJSON *ifttt_config;                        /* the rule array, or NULL */
    db_get_and_subscribe_ctx_t *subscribe_ctx;  /* watch of "<prefix>:ifttt" */
    subscribe_ctx_t *subscribe_event_ctx;       /* "<prefix>:event", shared by the rule sets of the prefix */

    uintptr_t id;                               /* never reused: the watch finds the set by it */
    char prefix[100];
};

namespace {

redis_instance_t *ri_state = nullptr;

/* Live rule sets by id. */
GHashTable *rule_sets = nullptr;

/*
 * The data layer merges equal subscriptions of one callback into its first handle: the rule sets of
 * one prefix (two devices of one class with one app id) share the event subscription, which ends
 * with the last of them.
 */
struct event_feed {
    subscribe_ctx_t *sub;
    GSList *members; /* ids of the rule sets, oldest first */
    BrxSlistIndex members_index;
};
GHashTable *feeds = nullptr; /* prefix -> event_feed */

uintptr_t last_id = 0;

void free_feed(gpointer data) {
    auto *feed = static_cast<event_feed *>(data);
    g_slist_free(feed->members);
    brx_islist_index_clear(&feed->members_index);
    free(feed);
}

ifttt_ctx_t *find_rule_set(uintptr_t id) {
    return rule_sets ? static_cast<ifttt_ctx_t *>(g_hash_table_lookup(rule_sets, (gconstpointer)id)) : nullptr;
}

/* The feed of "<prefix>:event". */
event_feed *feed_of_channel(const char *channel) {
    static const char kSuffix[] = ":event";
    const size_t n = strlen(channel), k = sizeof kSuffix - 1;
    if (!feeds || n <= k || n - k >= sizeof(((ifttt_ctx_t *)nullptr)->prefix) || strcmp(channel + n - k, kSuffix) != 0)
        return nullptr;
    char prefix[sizeof(((ifttt_ctx_t *)nullptr)->prefix)];
    memcpy(prefix, channel, n - k);
    prefix[n - k] = '\0';
    return static_cast<event_feed *>(g_hash_table_lookup(feeds, prefix));
}

int join_feed(ifttt_ctx_t *rs) {
    if (!feeds) feeds = g_hash_table_new_full(g_str_hash, str_equal, free, free_feed);
    auto *feed = static_cast<event_feed *>(g_hash_table_lookup(feeds, rs->prefix));
    if (!feed) {
        subscribe_ctx_t *sub = db_subscribe(ri_state, ifttt_event_callback, nullptr, "%s:event", rs->prefix);
        if (!sub) return -1;
        feed = static_cast<event_feed *>(calloc(1, sizeof(event_feed)));
        char *key = strdup(rs->prefix);
        if (!feed || !key) BRX_OOM_EXIT("ifttt_init no mem");
        feed->sub = sub;
        g_hash_table_insert(feeds, key, feed);
    }
    feed->members = brx_islist_append(feed->members, &feed->members_index, (gpointer)rs->id);
    rs->subscribe_event_ctx = feed->sub;
    return 0;
}

void leave_feed(ifttt_ctx_t *rs) {
    auto *feed = feeds ? static_cast<event_feed *>(g_hash_table_lookup(feeds, rs->prefix)) : nullptr;
    if (!feed) return;
    feed->members = brx_islist_remove(feed->members, &feed->members_index, (gconstpointer)rs->id);
    rs->subscribe_event_ctx = nullptr;
    if (feed->members) return;
    db_unsubscribe_ex(ri_state, feed->sub);
    g_hash_table_remove(feeds, rs->prefix);
}

void forget(ifttt_ctx_t *rs) {
    g_hash_table_remove(rule_sets, (gconstpointer)rs->id);
    cJSON_Delete(rs->ifttt_config);
    free(rs);
}

/* The enabled rules whose "if" is message run, in order; rules walks a copy of the set's rules. */
void run_rules(const cJSON *rules, const char *message, const char *sender_id) {
    int i = 0;
    for (const cJSON *item = rules->child; item; item = item->next, i++) {
        const cJSON *enabled = cJSON_GetObjectItemCaseSensitive(item, "enabled");
        if (!enabled || cJSON_IsNull(enabled)) {
            LOGW("enabled is missing in item %d", i);
            continue;
        }
        if (cJSON_IsFalse(enabled)) {
            LOGD("Enabled is FALSE in item %d", i);
            continue;
        }
        const cJSON *cond = cJSON_GetObjectItemCaseSensitive(item, "if");
        if (!cJSON_IsString(cond) || !cond->valuestring) {
            LOGW("If is missing in item %d", i);
            continue;
        }
        if (strcmp(cond->valuestring, message) != 0) continue;
        const cJSON *then = cJSON_GetObjectItemCaseSensitive(item, "then");
        if (!then) {
            LOGW("Then is missing in item %d", i);
            continue;
        }
        LOGD("ifttt_event_callback: triggered %s", message);
        execute_commands(then, 0, sender_id);
    }
}

ifttt_ctx_t *create_rule_set(device_ctx_t *ctx, int app) {
    char prefix[sizeof(((ifttt_ctx_t *)nullptr)->prefix)];
    int n;
    if (app) {
        if (!ctx->app_id || !*ctx->app_id) {
            LOGW("No app id assigned, returning");
            return nullptr;
        }
        n = snprintf(prefix, sizeof prefix, "app:%s:%s", ctx->class_name ? ctx->class_name : "", ctx->app_id);
    } else {
        n = snprintf(prefix, sizeof prefix, "device:%s", ctx->device_id ? ctx->device_id : "");
    }
    // A cut prefix would name another device's keys.
    if (n < 0 || (size_t)n >= sizeof prefix) {
        LOGW("ifttt prefix %s... is longer than %zu characters", prefix, sizeof prefix - 1);
        return nullptr;
    }

    auto *rs = static_cast<ifttt_ctx_t *>(calloc(1, sizeof(ifttt_ctx_t)));
    if (!rs) BRX_OOM_EXIT("ifttt_init no mem");
    memcpy(rs->prefix, prefix, (size_t)n + 1);
    rs->id = ++last_id;
    if (!rule_sets) rule_sets = g_hash_table_new(g_direct_hash, nullptr);
    g_hash_table_insert(rule_sets, (gpointer)rs->id, rs);

    const uintptr_t id = rs->id;
    db_get_and_subscribe_ctx_t *watch =
        db_get_and_subscribe(ri_state, ifttt_config_callback, (const void *)id, "%s:ifttt", prefix);
    rs = find_rule_set(id);
    if (!watch || !rs) {
        LOGW("db_get_and_subscribe_for_changes %s:ifttt failed", prefix);
        if (rs) forget(rs);
        return nullptr;
    }
    rs->subscribe_ctx = watch;
    if (join_feed(rs) != 0) {
        LOGW("SUBSCRIBE %s:event failed", prefix);
        db_get_and_subscribe_cleanup_ex(ri_state, watch);
        forget(rs);
        return nullptr;
    }
    return rs;
}

}  // namespace

void ifttt_setup_redis_instance(redis_instance_t *, redis_instance_t *state) { ri_state = state; }

ifttt_ctx_t *ifttt_init(device_ctx_t *ctx, const char *type) {
    LOGD("ifttt_init, type %s", type ? type : "NULL");
    if (!ctx) return nullptr;
    const int app = type && strcmp(type, "app") == 0;
    // The caller stores the result in place of the set it held, on every outcome.
    ifttt_ctx_t *held = app ? ctx->ifttt_config_app : ctx->ifttt_config_drv;
    if (app)
        ctx->ifttt_config_app = nullptr;
    else
        ctx->ifttt_config_drv = nullptr;
    ifttt_ctx_t *rs = create_rule_set(ctx, app);
    // After the new set is in place: a set-up repeated on one prefix keeps the event subscription
    // and loses no message.
    if (held) ifttt_cleanup(held);
    return rs;
}

void ifttt_cleanup(ifttt_ctx_t *ctx) {
    LOGD("ifttt_cleanup");
    if (!ctx) {
        LOGD("No ifttt config in cleanup");
        return;
    }
    db_get_and_subscribe_cleanup_ex(ri_state, ctx->subscribe_ctx);
    ctx->subscribe_ctx = nullptr;
    leave_feed(ctx);
    forget(ctx);
}

void ifttt_config_callback(const char *value, const void *arg) {
    LOGD("ifttt_config_callback reply %s", value ? value : "NULL");
    ifttt_ctx_t *rs = find_rule_set((uintptr_t)arg);
    if (!rs) {
        LOGI("ifttt_config_callback arg null");
        return;
    }
    if (!value || !*value) {
        LOGD("ifttt_config_callback - no IFTTT configuration");
        return;
    }
    cJSON *rules = cJSON_Parse(value);
    if (!cJSON_IsArray(rules)) {
        LOGW("Error in parsing IFTTT configuration");
        cJSON_Delete(rules);
        return;
    }
    cJSON_Delete(rs->ifttt_config);
    rs->ifttt_config = rules;
}

void ifttt_event_callback(const char *channel, const char *message, const void *) {
    LOGD("ifttt_event_callback");
    event_feed *feed = channel ? feed_of_channel(channel) : nullptr;
    if (!message || !feed) {
        LOGI("ifttt_event_callback value or arg null");
        return;
    }
    LOGD("ifttt_event_callback: channel: %s, value: %s", channel, message);
    // One run per message, whatever the number of rule sets sharing the prefix: the oldest that has rules.
    const ifttt_ctx_t *rs = nullptr;
    for (GSList *l = feed->members; l && !rs; l = l->next) {
        const ifttt_ctx_t *m = find_rule_set((uintptr_t)l->data);
        if (m && m->ifttt_config) rs = m;
    }
    if (!rs) {
        LOGD("No IFTTT config");
        return;
    }
    // A command may end up changing the rules: walk a copy.
    cJSON *rules = cJSON_Duplicate(rs->ifttt_config, 1);
    if (!rules) BRX_OOM_EXIT("ifttt rules");
    char *sender_id = get_nth_field(channel, 2);
    run_rules(rules, message, sender_id);
    free(sender_id);
    cJSON_Delete(rules);
}
