#include "src/pcb/pcb_plugin.h"

#include <errno.h>
#include <event2/event.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "common/glib-mini/glib.h"
#include "common/logger/logger.h"
#include "src/helpers.h"
#include "src/pcb/pcb_pipe.h"
#include "src/pcb/pcblib/pcbclient2.h"

#define LOG_CATEGORY "pcb_plugin"

namespace {

constexpr size_t kMaxKey = 1023;

redis_instance_t *g_conf = nullptr;
redis_instance_t *g_state = nullptr; /* kept, not used */

/* The write end ([1]) is used by the connector thread under g_write_mutex: closing it waits for a write in progress. */
int schedule_on_main_thread_pipe[2] = {-1, -1};
pthread_mutex_t g_write_mutex = PTHREAD_MUTEX_INITIALIZER;
struct event *pipe_watcher = nullptr;
pcb_pipe_reader_t *g_reader = nullptr;
bool g_started = false;

GSList *custom_data_ctx_list = nullptr; /* loop thread only */

void home_automation_change_cb(const char *, const char *, const char *, const char *);
void gateway_client_change_cb(const char *, const char *, const char *, const char *);
void ap_home_automation_change_cb(const char *, const char *, const char *, const char *);
void pass_results_to_lua(const char *, const char *, const char *, void *);

pcbclient_notification_t NOTIFICATIONS[] = {
    {"ZIR.HomeAutomation", home_automation_change_cb, nullptr, nullptr, nullptr, nullptr},
    {"APService.GatewayClient", gateway_client_change_cb, nullptr, nullptr, nullptr, nullptr},
    {"APService.HomeAutomation", ap_home_automation_change_cb, nullptr, nullptr, nullptr, nullptr},
};

pcbclient_function_result_t FUNCTION_RESULTS[] = {
    {"", "", pass_results_to_lua},
};

/* ---- connector thread: writers ---- */

void write_message_on_pipe(char *msg, int len) {
    ssize_t written = 0;
    int rc = -1;
    int err = EBADF;
    pthread_mutex_lock(&g_write_mutex);
    if (schedule_on_main_thread_pipe[1] >= 0) {
        rc = pcb_pipe_write_all(schedule_on_main_thread_pipe[1], msg, (size_t)len, &written);
        err = errno;
    }
    pthread_mutex_unlock(&g_write_mutex);
    if (rc != 0)
        LOGW("write_message_on_pipe Failed to write event (%s) to main thread: %d (%s), written %d", msg, (int)written,
             strerror(err), (int)written);
    free(msg);
}

void write_param_change(const char *prefix, const char *name, const char *value) {
    char *msg = nullptr;
    unsigned long length = strlen(prefix) + strlen(name) + strlen(value) + 1;
    int len = asprintf(&msg, "%c%lu|%s%s|%s", 'P', length, prefix, name, value);
    if (len <= 0) BRX_OOM_EXIT("asprintf");
    write_message_on_pipe(msg, len);
}

void write_object_message(char type, const char *path, const char *json) {
    char *msg = nullptr;
    unsigned long length = strlen(path) + strlen(json) + 1;
    int len = asprintf(&msg, "%c%lu|%s|%s", type, length, path, json);
    if (len <= 0) BRX_OOM_EXIT("asprintf");
    write_message_on_pipe(msg, len);
}

/* A value without text (the bus may send none) counts as "". */
void log_param_change(const char *path, const char *name, const char *old_value, const char *new_value) {
    LOGD("NEW Param value %s.%s. changed from \"%s\" to \"%s\".", path, name, old_value ? old_value : "",
         new_value ? new_value : "");
}

void home_automation_change_cb(const char *path, const char *name, const char *old_value, const char *new_value) {
    log_param_change(path, name, old_value, new_value);
    write_param_change("KAVPCB:homeautomation:", name, new_value ? new_value : "");
}

void gateway_client_change_cb(const char *path, const char *name, const char *old_value, const char *new_value) {
    log_param_change(path, name, old_value, new_value);
    write_param_change("KAVPCB:gdclient:", name, new_value ? new_value : "");
}

void ap_home_automation_change_cb(const char *path, const char *name, const char *old_value, const char *new_value) {
    log_param_change(path, name, old_value, new_value);
    write_param_change("KAVPCB:aphomeautomation:", name, new_value ? new_value : "");
}

void object_changed_cb(const char *path, const char *json) {
    LOGD("Object %s change %s:", path, json ? json : "");
    write_object_message('O', path, json ? json : "");
}

void custom_notification_cb(const char *path, const char *json) { write_object_message('C', path, json ? json : ""); }

/* After every event of the observation: its entry is removed only once they all were handled. */
void observation_end_cb(const char *path) {
    LOGD("Observation of %s ended", path);
    write_object_message('E', path, "");
}

void param_changed_cb(const char *path, const char *name, const char *old_value, const char *new_value) {
    log_param_change(path, name, old_value, new_value);
}

void pass_results_to_lua(const char *path, const char *function, const char *result, void *custom_data) {
    custom_data_ctx_t *ctx = (custom_data_ctx_t *)custom_data;
    if (!ctx) {
        LOGE("Missing context in result of pcb function %s.%s", path, function);
        return;
    }
    LOGD("Received result of pcb function %s.%s (index %c)", path, function, ctx->func_index);
    LOGT("%s", result ? result : "");
    const char *r = result ? result : "";
    char *msg = nullptr;
    unsigned long length = strlen(path) + strlen(function) + strlen(r) + 4;
    int len = asprintf(&msg, "%c%lu|%s.%s|%c|%s", 'F', length, path, function, ctx->func_index, r);
    if (len <= 0) BRX_OOM_EXIT("asprintf");
    write_message_on_pipe(msg, len);
}

/* ---- loop thread: the registry ---- */

/*
 * The first entry (in registration order, dropped ones included) of that name and index. Results
 * and observation events of a name come in the order in which its entries were registered, so the
 * first entry is the one they belong to, also when a dropped entry still waits for its end.
 */
custom_data_ctx_t *get_custom_data(const char *name, char index, int observation) {
    for (GSList *l = custom_data_ctx_list; l; l = l->next) {
        custom_data_ctx_t *ctx = (custom_data_ctx_t *)l->data;
        if (ctx->is_observation == observation && ctx->func_index == index && strcmp(ctx->func_name, name) == 0) {
            LOGD("get_custom_data - got ctx %p for object/function %s index %c", (void *)ctx, name, index);
            return ctx;
        }
    }
    return nullptr;
}

custom_data_ctx_t *new_ctx(const char *name, char index, int observation, custom_data_t *data, const char *oom) {
    custom_data_ctx_t *ctx = (custom_data_ctx_t *)calloc(1, sizeof(custom_data_ctx_t));
    if (!ctx) BRX_OOM_EXIT(oom);
    snprintf(ctx->func_name, sizeof(ctx->func_name), "%s", name);
    ctx->func_index = index;
    ctx->is_observation = observation;
    ctx->custom_data = data;
    return ctx;
}

void register_ctx(custom_data_ctx_t *ctx) {
    GSList *l = g_slist_append(custom_data_ctx_list, ctx);
    if (!l) BRX_OOM_EXIT("custom_data_ctx_list");
    custom_data_ctx_list = l;
}

void unregister_ctx(custom_data_ctx_t *ctx) {
    custom_data_ctx_list = g_slist_remove(custom_data_ctx_list, ctx);
    free(ctx);
}

/*
 * The lowest index that no live pending call of this function holds; 0 when all are taken. A
 * dropped call's index can be given again: the bus ends the dropped call before it takes a later
 * one, so its end still reaches the dropped entry first.
 */
char free_index(const char *name) {
    for (char index = 'a'; index <= 'z'; index++) {
        bool taken = false;
        for (GSList *l = custom_data_ctx_list; l && !taken; l = l->next) {
            const custom_data_ctx_t *ctx = (const custom_data_ctx_t *)l->data;
            taken = !ctx->is_observation && !ctx->dropped && ctx->func_index == index &&
                    strncmp(ctx->func_name, name, kMaxKey) == 0;
        }
        if (!taken) return index;
    }
    return 0;
}

/* Whether no later entry observes the path, so that this one may still be live on the bus. */
bool last_observation_of(const custom_data_ctx_t *ctx, GSList *after) {
    for (GSList *l = after; l; l = l->next) {
        const custom_data_ctx_t *other = (const custom_data_ctx_t *)l->data;
        if (other->is_observation && strcmp(other->func_name, ctx->func_name) == 0) return false;
    }
    return true;
}

/* ---- loop thread: the reader ---- */

void handle_param_change(const char *key, const char *value) {
    LOGD("handle_param_change for %s", key);
    if (g_conf) db_set_fmt(g_conf, value, "%s", key);
}

void handle_object_message(const char *what, const char *path, const char *json) {
    LOGD("%s for %s", what, path);
    custom_data_ctx_t *ctx = get_custom_data(path, 'a', 1);
    if (ctx && ctx->custom_data && ctx->custom_data->callback) ctx->custom_data->callback(json, ctx->custom_data->arg);
}

/* The observation's last event has been handled: its entry goes. */
void handle_observation_end(const char *path) {
    LOGD("handle_observation_end for %s", path);
    custom_data_ctx_t *ctx = get_custom_data(path, 'a', 1);
    if (!ctx) return;
    free(ctx->custom_data);
    unregister_ctx(ctx);
}

void handle_function_cb(const char *name, const char *rest) {
    LOGD("handle_function_cb for %s", name);
    if (!rest[0] || rest[1] != '|') {
        LOGW("Function result for %s without index", name);
        return;
    }
    custom_data_ctx_t *ctx = get_custom_data(name, rest[0], 0);
    if (!ctx) return;
    custom_data_t *data = ctx->custom_data;
    unregister_ctx(ctx);
    if (data && data->callback) data->callback(rest + 2, data->arg);
    free(data);
}

void handle_message(char type, char *payload, size_t, void *) {
    char *bar = strchr(payload, '|');
    if (!bar) {
        LOGW("Dropping bus message of type '%c' without separator", type);
        return;
    }
    *bar = '\0';
    const char *name = payload;
    const char *rest = bar + 1;
    LOGD("parse_reply '%s' -> '%s'", name, rest);
    switch (type) {
    case 'F': handle_function_cb(name, rest); break;
    case 'P': handle_param_change(name, rest); break;
    case 'O': handle_object_message("handle_object_change", name, rest); break;
    case 'C': handle_object_message("handle_custom_change", name, rest); break;
    case 'E': handle_observation_end(name); break;
    default: LOGW("Unknown type '%c'", type); break;
    }
}

void pipe_watcher_callback(evutil_socket_t fd, short, void *) {
    LOGD("pcb plugin got message on pipe");
    size_t before = pcb_pipe_reader_pending(g_reader);
    int count = pcb_pipe_reader_read(g_reader, fd, handle_message, nullptr);
    if (count <= 0 && before == 0 && pcb_pipe_reader_pending(g_reader) == 0) LOGW("cannot read prefix");
}

void close_pipe(void) {
    if (schedule_on_main_thread_pipe[0] >= 0) close(schedule_on_main_thread_pipe[0]);
    schedule_on_main_thread_pipe[0] = -1;
    /* a writer stuck on a full pipe gets EPIPE now and lets go of the lock */
    pthread_mutex_lock(&g_write_mutex);
    if (schedule_on_main_thread_pipe[1] >= 0) close(schedule_on_main_thread_pipe[1]);
    schedule_on_main_thread_pipe[1] = -1;
    pthread_mutex_unlock(&g_write_mutex);
}

/* ---- the command-line tool ---- */

/* "pcb_cli -l '<key>?'", the key quoted for the shell. */
char *pcbcli_command(const char *key) {
    size_t n = strnlen(key, kMaxKey);
    char *cmd = (char *)malloc(sizeof("pcb_cli -l ''") + 4 * n + 2);
    if (!cmd) BRX_OOM_EXIT("pcb_cli command");
    char *p = shell_quote_into(stpcpy(cmd, "pcb_cli -l '"), key, n);
    stpcpy(p, "?'");
    return cmd;
}

}  // namespace

void pcb_plugin_setup_redis_instance(redis_instance_t *conf, redis_instance_t *state) {
    g_conf = conf;
    g_state = state;
}

int pcb_plugin_start(struct event_base *base) {
    LOGD("pcb_plugin_start");
    if (g_started) {
        LOGW("PCB plugin already started");
        return -1;
    }
    if (pipe2(schedule_on_main_thread_pipe, O_CLOEXEC) != 0) {
        LOGW("Failed to create a pipe: %s", strerror(errno));
        schedule_on_main_thread_pipe[0] = schedule_on_main_thread_pipe[1] = -1;
        return -1;
    }
    int flags = fcntl(schedule_on_main_thread_pipe[0], F_GETFL);
    if (flags < 0 || fcntl(schedule_on_main_thread_pipe[0], F_SETFL, flags | O_NONBLOCK) != 0) {
        LOGW("setting pipe to non-blocking mode failed!");
        close_pipe();
        return -1;
    }
    g_reader = pcb_pipe_reader_new();
    pipe_watcher = event_new(base, schedule_on_main_thread_pipe[0], EV_READ | EV_PERSIST, pipe_watcher_callback, nullptr);
    if (!pipe_watcher || !g_reader) {
        close_pipe();
        BRX_OOM_EXIT("Failed to create pipe watcher");
    }
    event_add(pipe_watcher, nullptr);

    if (!pcbclient2_loop(NOTIFICATIONS, 3, nullptr, 0, nullptr, 0, FUNCTION_RESULTS, 1)) {
        close_pipe();
        event_free(pipe_watcher);
        pipe_watcher = nullptr;
        pcb_pipe_reader_free(g_reader);
        g_reader = nullptr;
        return -1;
    }
    g_started = true;
    return 0;
}

void pcb_plugin_stop(void) {
    if (pipe_watcher) event_free(pipe_watcher);
    pipe_watcher = nullptr;
    close_pipe();
    pcb_pipe_reader_free(g_reader);
    g_reader = nullptr;
}

int pcb_plugin_call_async_json_args(const char *function, const char *json_args, custom_data_t *data) {
    if (!function) return -1;
    char index = free_index(function);
    if (!index) {
        LOGW("Too many pending calls of function %s", function);
        return -1;
    }
    custom_data_ctx_t *ctx = new_ctx(function, index, 0, data, "Cannot create ctx for function");
    LOGD("Register ctx %p for function %s index %c", (void *)ctx, ctx->func_name, index);
    register_ctx(ctx);
    if (!pcbclient2_call_async_json_args(function, json_args, ctx, &ctx->call_id)) {
        unregister_ctx(ctx);
        return -1;
    }
    return 0;
}

int pcb_plugin_observe_object(const char *object, custom_data_t *data) {
    if (!object) return -1;
    if (get_custom_data(object, 'a', 1)) LOGW("Callback for object %s already registered", object);
    custom_data_ctx_t *ctx = new_ctx(object, 'a', 1, data, "Cannot create ctx for object");
    LOGD("Register ctx %p for object %s", (void *)ctx, ctx->func_name);
    register_ctx(ctx);
    if (!pcbclient2_start_observing_object(object, object_changed_cb, param_changed_cb, custom_notification_cb,
                                           observation_end_cb)) {
        unregister_ctx(ctx);
        return -1;
    }
    return 0;
}

void pcb_plugin_drop_owner(const void *owner) {
    if (!owner) return;
    LOGD("Dropping calls and observations of %p", owner);
    for (GSList *l = custom_data_ctx_list, *next; l; l = next) {
        next = l->next;
        custom_data_ctx_t *ctx = (custom_data_ctx_t *)l->data;
        if (ctx->dropped || !ctx->custom_data || ctx->custom_data->owner != owner) continue;
        free(ctx->custom_data);
        ctx->custom_data = nullptr;
        ctx->dropped = 1;
        if (ctx->is_observation) {
            /* its end comes back through the pipe and removes the entry */
            if (last_observation_of(ctx, l->next)) pcbclient2_stop_observing_object(ctx->func_name);
        } else if (pcbclient2_cancel_call(ctx->call_id)) {
            unregister_ctx(ctx); /* never sent: no result will come */
        }
    }
}

int pcb_plugin_get_bool(const char *key) { return pcbclient2_get_bool(key) ? 1 : 0; }

char *pcb_plugin_get_string(const char *key) {
    char *value = pcbclient2_get_string(key);
    if (value && !*value) {
        free(value);
        return nullptr;
    }
    return value;
}

int pcb_plugin_set(const char *key, const char *value) { return pcbclient2_set(key, value) ? 1 : 0; }

char *pcbcli_get_string(const char *key) {
    if (!key) return nullptr;
    char *out = (char *)calloc(1, 1024);
    if (!out) BRX_OOM_EXIT("No memory for out buf");
    char *cmd = pcbcli_command(key);
    FILE *fp = popen(cmd, "re");
    free(cmd);
    if (!fp) {
        free(out);
        LOGW("Cannot execute pcb_cli command");
        return nullptr;
    }
    if (!fgets(out, 1024, fp)) out[0] = '\0';
    pclose(fp);
    if (out[0] == '\0' || strcmp(out, "\n") == 0) {
        free(out);
        return nullptr;
    }
    size_t n = strlen(out);
    if (out[n - 1] == '\n') out[n - 1] = '\0';
    return out;
}

int pcbcli_get_bool(const char *key) {
    char *value = pcbcli_get_string(key);
    int result = value && strcmp(value, "1") == 0;
    free(value);
    return result;
}

char *pcbcli_get_string_ext(const char *key) {
    if (!key) return nullptr;
    char *cmd = pcbcli_command(key);
    int status = -1;
    char *out = nullptr;
    helper_error rc = launch(cmd, &status, &out);
    free(cmd);
    if (rc != HELPER_OK) {
        LOGE("Cannot execute pcb_cli get command for: %s", key);
        free(out);
        return nullptr;
    }
    if (status != 0) {
        LOGE("Execution of pcb_cli command failed with status: %d", status);
        free(out);
        return nullptr;
    }
    size_t n = out ? strlen(out) : 0;
    LOGD("process_command_ext: %s, result: %s, len: %d", key, out ? out : "", (int)n);
    if (n == 0 || out[0] == '\n') {
        free(out);
        return nullptr;
    }
    if (out[n - 1] == '\n') out[n - 1] = '\0';
    return out;
}
