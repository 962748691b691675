#include "src/device/commands.h"

#include <event2/event.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "common/logger/logger.h"
#include "src/db_persist/db_persist.h"
#include "src/external_conf.h"
#include "src/helpers.h"
#include "src/http_client.h"

#define LOG_CATEGORY "device"

namespace {

/* A run waiting behind a pause; its list is kept once, as text, for all of the run's pauses. */
typedef struct execute_commands_context {
    char *commands;     /* the whole list, unformatted */
    size_t size;        /* what the run holds, against the bound */
    int offset;         /* index of the pause item */
    struct event *timer;
    char *sender_id;    /* own copy, or NULL */
    struct execute_commands_context *prev, *next; /* the pending pauses, for the tear-down */
} execute_commands_context_t;

// Runs that may wait at once, and the bytes their lists may hold together: each activation of a
// scene with a long pause keeps its list until the pause ends.
const unsigned kMaxWaitingRuns = 10000;
const size_t kMaxWaitingBytes = 32 * 1024 * 1024;

redis_instance_t *state_ri = nullptr;
struct event_base *commands_base = nullptr;
execute_commands_context_t *pending = nullptr;
unsigned waiting_runs = 0;
size_t waiting_bytes = 0;

const char *text_of(const cJSON *item) {
    return cJSON_IsString(item) && item->valuestring ? item->valuestring : nullptr;
}

const char *member_text(const cJSON *object, const char *name) {
    return text_of(cJSON_GetObjectItemCaseSensitive(object, name));
}

int publish_on(const char *channel, const char *text) {
    if (db_publish(state_ri, channel, text) == 0) return 0;
    LOGW("publish to channel %s failed", channel);
    return -1;
}

int switch_app(const cJSON *command, const char *id) {
    const char *name = member_text(command, "name");
    if (!name) {
        LOGW("manager No name element or target key is NULL");
        return -1;
    }
    if (strcmp(name, "switch") != 0) return 0;
    LOGI("Switch message for target:manager");
    const cJSON *args = cJSON_GetObjectItemCaseSensitive(command, "args");
    if (!args) {
        LOGW("No args element");
        return -1;
    }
    const char *app_id = member_text(args, "app_id");
    if (!app_id) {
        LOGW("No app_id element or app_id key is NULL");
        return -1;
    }
    // The id forms a key of the state instance: one that would name another key is refused.
    if (!id_usable("device id", id)) return -1;
    if (db_set_fmt(state_ri, app_id, "device:%s:app", id) != 0) {
        LOGW("SET device:%s:app %s failed", id, app_id);
        return -1;
    }
    return 0;
}

int route(const cJSON *command, const char *target, const char *id, const char *text) {
    if (strcmp(target, "manager") == 0) return switch_app(command, id);
    if (strcmp(target, "device") == 0) {
        if (db_publish_fmt(state_ri, text, "device:%s:command", id) == 0) return 0;
        LOGW("publish to channel failed");
        return -1;
    }
    if (strcmp(target, "server") == 0) return publish_on("server:command", text);
    if (strcmp(target, "scene") == 0) return publish_on("scene:command", text);
    if (strcmp(target, "globalaction") == 0) return publish_on("gateway:command", text);
    return 0;
}

void unlink_pending(execute_commands_context_t *ctx) {
    if (ctx->prev) ctx->prev->next = ctx->next;
    if (ctx->next) ctx->next->prev = ctx->prev;
    if (pending == ctx) pending = ctx->next;
    ctx->prev = ctx->next = nullptr;
}

void free_context(execute_commands_context_t *ctx) {
    waiting_runs--;
    waiting_bytes -= ctx->size;
    event_free(ctx->timer);
    free(ctx->commands);
    free(ctx->sender_id);
    free(ctx);
}

void run_commands(const cJSON *commands, int start, const char *sender_id, execute_commands_context_t *run);

void pause_expired(evutil_socket_t, short, void *arg) {
    auto *ctx = static_cast<execute_commands_context_t *>(arg);
    unlink_pending(ctx);
    cJSON *commands = cJSON_Parse(ctx->commands);
    if (!commands) BRX_OOM_EXIT("execute_commands_context_t");
    run_commands(commands, ctx->offset + 1, ctx->sender_id, ctx);
    cJSON_Delete(commands);
}

void arm_pause(execute_commands_context_t *ctx, int offset, int seconds) {
    ctx->offset = offset;
    struct timeval tv = {seconds, 0};
    LOGD("ctx offest %d, tv.sec %d", offset, seconds);
    if (evtimer_add(ctx->timer, &tv) != 0) BRX_OOM_EXIT("execute_commands_context_t timer");
    ctx->next = pending;
    if (pending) pending->prev = ctx;
    pending = ctx;
}

/* A new run keeps its list, the sender and a timer of its own while the bounds allow it. */
void start_pause(const cJSON *commands, int offset, int seconds, const char *sender_id) {
    if (!commands_base) {
        LOGW("execute_commands: no event base for a pause, the list ends here");
        return;
    }
    if (waiting_runs >= kMaxWaitingRuns) {
        LOGW("execute_commands: %u runs wait already, at most %u: this one ends at its pause", waiting_runs,
             kMaxWaitingRuns);
        return;
    }
    char *text = cJSON_PrintUnformatted(commands);
    if (!text) BRX_OOM_EXIT("execute_commands_context_t");
    const size_t size = strlen(text) + 1 + (sender_id ? strlen(sender_id) + 1 : 0);
    if (waiting_bytes + size > kMaxWaitingBytes) {
        LOGW("execute_commands: waiting runs hold %zu bytes, %zu more would pass %zu: this one ends at its pause",
             waiting_bytes, size, kMaxWaitingBytes);
        free(text);
        return;
    }
    auto *ctx = static_cast<execute_commands_context_t *>(calloc(1, sizeof(execute_commands_context_t)));
    if (!ctx) BRX_OOM_EXIT("execute_commands_context_t");
    ctx->commands = text;
    ctx->size = size;
    if (sender_id && !(ctx->sender_id = strdup(sender_id))) BRX_OOM_EXIT("execute_commands_context_t");
    ctx->timer = evtimer_new(commands_base, pause_expired, ctx);
    if (!ctx->timer) BRX_OOM_EXIT("execute_commands_context_t timer");
    waiting_runs++;
    waiting_bytes += size;
    arm_pause(ctx, offset, seconds);
}

/* The pause's length in seconds, or 0 when the item is no valid pause. */
int pause_seconds(const cJSON *item) {
    const cJSON *args = cJSON_GetObjectItemCaseSensitive(item, "args");
    if (!args) return 0;
    const cJSON *delay = cJSON_GetObjectItemCaseSensitive(args, "delay");
    return cJSON_IsNumber(delay) ? delay->valueint : 0;
}

/* Whatever "sender_id" the command carried is replaced: a client cannot pose as a device. */
void set_sender(cJSON *command, const char *sender_id) {
    while (cJSON_GetObjectItemCaseSensitive(command, "sender_id"))
        cJSON_DeleteItemFromObjectCaseSensitive(command, "sender_id");
    cJSON *value = sender_id ? cJSON_CreateString(sender_id) : cJSON_CreateNull();
    if (!value || !cJSON_AddItemToObject(command, "sender_id", value)) BRX_OOM_EXIT("command_dup");
}

void scene_conf_cb(const char *value, const void *) {
    if (!value) {
        LOGD("scene_conf: NULL");
        return;
    }
    LOGT("scene_conf: %s", value);
    if (activate_scene(value, nullptr) != 0) LOGW("activate_scene failed");
}

void send_notification_cb(int, const struct evkeyvalq *, const char *data, size_t, void *) {
    LOGD("send_notification_cb- server callback with body %s", data ? data : "NULL");
}

void copy_member(cJSON *to, const char *name, const cJSON *from, const char *from_name) {
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(from, from_name);
    if (!item) return;
    cJSON *copy = cJSON_Duplicate(item, 1);
    if (!copy || !cJSON_AddItemToObject(to, name, copy)) BRX_OOM_EXIT("Cannot create body json");
}

/* Seconds since the epoch as the store's calendar time. */
void calendar_time(const cJSON *item, dbp_tm *out) {
    const double v = cJSON_IsNumber(item) ? item->valuedouble : 0;
    // Far past any calendar (or not a number) is a failed conversion: the cast alone would be undefined.
    const bool in_range = v > -1e15 && v < 1e15;
    const time_t t = in_range ? (time_t)v : 0;
    if (!in_range || !localtime_r(&t, out)) memset(out, 0, sizeof *out);
}

/* Runs from start; run is the waiting run that goes on here: its next pause keeps it, else it ends. */
void run_commands(const cJSON *commands, int start, const char *sender_id, execute_commands_context_t *run) {
    int index = start;
    const cJSON *item = cJSON_IsArray(commands) && start >= 0 ? cJSON_GetArrayItem(commands, start) : nullptr;
    for (; item; item = item->next, index++) {
        const char *name = member_text(item, "name");
        if (!name) {
            LOGW("execute_commands No name element or target key is NULL");
            break;
        }
        if (strcmp(name, "delay") == 0) {
            int seconds = pause_seconds(item);
            if (seconds != 0 && run) {
                arm_pause(run, index, seconds);
                return;
            }
            if (seconds != 0) start_pause(commands, index, seconds, sender_id);
            break;
        }
        cJSON *command = cJSON_Duplicate(item, 1);
        if (!command) BRX_OOM_EXIT("command_dup");
        set_sender(command, sender_id);
        int rc = send_command(command);
        cJSON_Delete(command);
        if (rc != 0) {
            LOGW("send_command failed");
            break;
        }
    }
    if (run) free_context(run);
}

}  // namespace

void commands_setup_redis_instance(redis_instance_t *, redis_instance_t *state) { state_ri = state; }

void commands_set_event_base(struct event_base *base) { commands_base = base; }

void commands_cleanup(void) {
    while (pending) {
        execute_commands_context_t *ctx = pending;
        unlink_pending(ctx);
        free_context(ctx);
    }
}

int send_command(const cJSON *command) {
    if (!command) {
        LOGW("array_element is NULL");
        return -1;
    }
    const char *target = member_text(command, "target");
    if (!target) {
        LOGW("No target element or target key is NULL");
        return -1;
    }
    LOGD("Message for target:%s", target);
    char *text = cJSON_Print(command);
    if (!text) BRX_OOM_EXIT("command string converting failed");

    const char *id = member_text(command, "id");
    int rc;
    if (strcmp(target, "internal") == 0 || strcmp(target, "globalaction") == 0) {
        LOGD("Target internal/global - not checking id");
        rc = route(command, target, id, text);
    } else if (!id) {
        LOGW("No id element or id key is NULL");
        rc = -1;
    } else {
        rc = route(command, target, id, text);
    }
    free(text);
    return rc;
}

void execute_commands(const cJSON *commands, int start, const char *sender_id) {
    run_commands(commands, start, sender_id, nullptr);
}

int activate_scene(const char *text, const void *) {
    cJSON *commands = text ? cJSON_Parse(text) : nullptr;
    if (!commands) {
        LOGW("Error in parsing commands json");
        return -1;
    }
    execute_commands(commands, 0, nullptr);
    cJSON_Delete(commands);
    return 0;
}

int update_scene(const char *scene_id, int ok) {
    return db_set_fmt(state_ri, ok ? "OK" : "ERROR", "scene:%s:status", scene_id);
}

void subscribe_scene_command_callback(const char *, const char *message, const void *) {
    LOGD("Command %s", message ? message : "NULL");
    cJSON *root = message ? cJSON_Parse(message) : nullptr;
    if (!root) {
        LOGW("Error in parsing");
        return;
    }
    const char *name = member_text(root, "name");
    const cJSON *args = cJSON_GetObjectItemCaseSensitive(root, "args");
    const char *scene_id = member_text(args, "scene_id");
    if (!name) {
        LOGW("subscribe_scene_command_callback No name element or target key is NULL");
    } else if (strcmp(name, "activate") != 0) {
        LOGW("name key isn't \"activate\"");
    } else {
        LOGT("Activation message for target:scene");
        if (!args)
            LOGW("No args element");
        else if (!scene_id)
            LOGW("No scene_id element or scene_id key is NULL");
        else
            db_get_async(state_ri, scene_conf_cb, nullptr, "scene:%s:commands", scene_id);
    }
    cJSON_Delete(root);
}

void execute_gateway_command(const char *, const char *message, const void *) {
    if (!message) {
        LOGW("execute_gateway_command - null command");
        return;
    }
    LOGD("execute_gateway_command - %s", message);
    cJSON *root = cJSON_Parse(message);
    if (!root) {
        LOGW("execute_gateway_command - cannot parse");
        return;
    }
    const char *name = member_text(root, "name");
    const cJSON *args = cJSON_GetObjectItemCaseSensitive(root, "args");
    if (!name || !args)
        LOGW("execute_gateway_command - no name or args given");
    else if (strcmp(name, "gethistory") == 0)
        get_history(args);
    else if (strcmp(name, "email") == 0)
        send_notification(EMAIL, args);
    else if (strcmp(name, "push-ios") == 0)
        send_notification(PUSH_IOS, args);
    else if (strcmp(name, "push-android") == 0)
        send_notification(PUSH_ANDROID, args);
    else
        LOGW("execute_gateway_command - don't know how to handle %s", message);
    cJSON_Delete(root);
}

void get_history(const cJSON *args) {
    LOGD("Get history");
    const char *device_id = member_text(args, "deviceid");
    const char *request_id = member_text(args, "requestid");
    const char *data_type = member_text(args, "datatype");
    const cJSON *startdate = cJSON_GetObjectItemCaseSensitive(args, "startdate");
    if (!device_id || !request_id || !data_type || !startdate) {
        LOGW("get_history_callback not all required params given in json");
        return;
    }
    const char *aggregate = member_text(args, "aggregate");
    const dbp_aggregate_t aggregation = aggregate ? dbp_aggrstr_to_type(aggregate) : AGGR_NONE;
    dbp_tm start;
    calendar_time(startdate, &start);
    const cJSON *enddate = cJSON_GetObjectItemCaseSensitive(args, "enddate");
    cJSON *result;
    if (cJSON_IsNumber(enddate) && enddate->valueint != 0) {
        dbp_tm end;
        calendar_time(enddate, &end);
        result = dbp_get_measurements(device_id, dbp_datastr_to_type(data_type), aggregation, &start, &end);
    } else {
        result = dbp_get_measurements_from(device_id, dbp_datastr_to_type(data_type), aggregation, &start);
    }

    // Built as an object whatever the request id holds, so the reply stays valid JSON.
    const bool empty = result == nullptr;
    if (empty && !(result = cJSON_CreateObject())) BRX_OOM_EXIT("history_str");
    while (cJSON_GetObjectItemCaseSensitive(result, "requestid"))
        cJSON_DeleteItemFromObjectCaseSensitive(result, "requestid");
    if (!cJSON_AddStringToObject(result, "requestid", request_id)) BRX_OOM_EXIT("history_str");
    char *text = cJSON_PrintUnformatted(result);
    cJSON_Delete(result);
    if (!text) BRX_OOM_EXIT("history_str");
    if (empty)
        LOGD("Publishing empty history %s", text);
    else
        LOGD("Publishing history %s", text);
    db_publish_fmt(state_ri, text, "device:%s:history:%s:%s", device_id, data_type, aggregate ? aggregate : "none");
    free(text);
}

int send_notification(notification_type type, const cJSON *args) {
    LOGD("send_notification");
    if (!cJSON_GetObjectItemCaseSensitive(args, "token")) {
        LOGW("No token in args");
        return -1;
    }
    cJSON *body = cJSON_CreateObject();
    if (!body) BRX_OOM_EXIT("Cannot create body json");
    copy_member(body, "token", args, "token");
    if (type == EMAIL) {
        copy_member(body, "subject", args, "subject");
        copy_member(body, "text", args, "message");
        if (!cJSON_AddFalseToObject(body, "html")) BRX_OOM_EXIT("Cannot create body json");
    } else {
        copy_member(body, "text", args, "message");
    }
    char *post_data = cJSON_PrintUnformatted(body);
    cJSON_Delete(body);
    if (!post_data) BRX_OOM_EXIT("data.post_data");

    char *url = ext_server_url("/notification/send");
    if (!url) {
        free(post_data);
        return -1;
    }
    LOGD("send_notification - posting %s to %s", post_data, url);
    http_req_data_t data = {url, post_data, 0, nullptr};
    int rc = http_request(HTTP_POST, &data, send_notification_cb, nullptr);
    free(url);
    free(post_data);
    return rc;
}
