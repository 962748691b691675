#include "src/device/device.h"

#include <event2/event.h>
#include <fcntl.h>
#include <lua.hpp>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "common/logger/logger.h"
#include "common/websockets/ws.h"
#include "src/backup.h"
#include "src/coap_client.h"
#include "src/db.h"
#include "src/device/commands.h"
#include "src/device/alive.h"
#include "src/device/context.h"
#include "src/device/driver.h"
#include "src/device/engine.h"
#include "src/device/registration.h"
#include "src/device/status.h"
#include "src/device_cfg.h"
#include "src/db_local.h"
#include "src/discovery.h"
#include "src/helpers.h"
#include "src/http_client.h"
#include "src/ifttt.h"
#include "src/lua_api/lua_coap_api.h"
#include "src/lua_api/lua_http_api.h"
#include "src/lua_api/lua_network_api.h"
#include "src/lua_api/lua_scheduler_api.h"
#include "src/lua_api/lua_state.h"
#include "src/lua_api/lua_tcp_api.h"
#include "src/lua_api/lua_timer_api.h"
#include "src/lua_api/lua_ws_api.h"
#include "src/lua_api/luadb.h"
#include "src/luamem.h"
#include "src/pcb/pcb_plugin.h"
#include "src/scheduler.h"
#include "src/selftest.h"
#include "src/signals.h"
#include "src/upgrade.h"

#define LOG_CATEGORY "device"

struct event_base *g_main_base = nullptr;
int g_is_gateway = 0;
redis_instance_t *redis_instance_conf = nullptr;
redis_instance_t *redis_instance_state = nullptr;
device_ctx_t *this_device_ctx = nullptr;
char *g_network_id = nullptr;
scheduler_ctx_t *g_scheduler = nullptr;
uint32_t g_leader_ip = 0;
uint16_t g_leader_redis_port = 0;

namespace {

lua_State *load_file_state = nullptr;  // the -l state, kept for the life of the process
bool load_file_mode = false;

/* Both instances, or the process ends with exit_status. */
void create_redis_instances(int exit_status) {
    redis_instance_conf = db_create_redis_instance("conf");
    if (!redis_instance_conf) {
        LOGW("Cannot create redis conf instance");
        exit(exit_status);
    }
    redis_instance_state = db_create_redis_instance("state");
    if (!redis_instance_state) {
        LOGW("Cannot create redis state instance");
        exit(exit_status);
    }
}

void test_channel_callback(const char *channel, const char *path, const void *) {
    device_load_file_ex(channel, path);
}

}  // namespace

int write_pidfile(const char *path) {
    FILE *f = fopen(path, "we");
    if (!f) return 0;
    int ok = fprintf(f, "%ld\n", (long)getpid()) > 0;
    if (fclose(f) != 0) ok = 0;
    return ok;
}

int make_daemon(int keep_dir, int keep_fds) {
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid > 0) _exit(0);
    if (setsid() < 0) return -1;
    pid = fork();
    if (pid < 0) return -1;
    if (pid > 0) _exit(0);
    if (!keep_dir && chdir("/") != 0) {
        // Staying in the start directory is harmless.
    }
    if (!keep_fds) {
        int fd = open("/dev/null", O_RDWR);
        if (fd >= 0) {
            dup2(fd, 0);
            dup2(fd, 1);
            dup2(fd, 2);
            if (fd > 2) close(fd);
        }
    }
    return 0;
}

void init_redis(void) {
    db_set_is_local(redis_instance_conf, g_is_gateway);
    db_set_is_local(redis_instance_state, g_is_gateway);
    // Without a configured base the instances keep the data layer's default socket path.
    const char *socket_path = cfg_get_redis_socket_path();
    if (socket_path) {
        char path[256];
        snprintf(path, sizeof path, "%s_state", socket_path);
        db_set_unix_path(redis_instance_state, path);
        snprintf(path, sizeof path, "%s_conf", socket_path);
        db_set_unix_path(redis_instance_conf, path);
    }
    db_set_redis_port(redis_instance_state, cfg_get_redis_port());
    db_set_redis_port(redis_instance_conf, cfg_get_redis_port() + 1);

    status_setup_redis_instance(redis_instance_conf, redis_instance_state);
    registration_setup_redis_instance(redis_instance_conf, redis_instance_state);
    luadb_setup_redis_instance(redis_instance_conf, redis_instance_state);
    commands_setup_redis_instance(redis_instance_conf, redis_instance_state);
    upgrade_setup_redis_instance(redis_instance_conf, redis_instance_state);
    alive_setup_redis_instance(redis_instance_conf, redis_instance_state);
    discovery_setup_redis_instance(redis_instance_conf, redis_instance_state);
    ifttt_setup_redis_instance(redis_instance_conf, redis_instance_state);
    context_setup_redis_instance(redis_instance_conf, redis_instance_state);
    driver_setup_redis_instance(redis_instance_conf, redis_instance_state);
    pcb_plugin_setup_redis_instance(redis_instance_conf, redis_instance_state);
}

void init_base(struct event_base *base) {
    g_main_base = base;
    db_set_event_base(redis_instance_conf, base);
    db_set_event_base(redis_instance_state, base);
    timer_set_event_base(base);
    luahttp_set_event_base(base);
    luacoap_set_event_base(base);
    luatcp_set_event_base(base);
    http_set_event_base(base);
    commands_set_event_base(base);
    alive_set_event_base(base);
    scheduler_init(base);
    luanetwork_set_event_base(base);
    luaws_set_event_base(base);
    luascheduler_set_event_base(base);
    helpers_set_event_base(base);
    // With -l nothing of the profiler's may keep the loop running after the script's own work.
    if (load_file_mode) {
        luamem_init_once(redis_instance_state, redis_instance_conf);
        selftest_init_once(base, redis_instance_state, redis_instance_conf);
    } else {
        luamem_init(redis_instance_state, redis_instance_conf);
        selftest_init(base, redis_instance_state, redis_instance_conf);
    }
}

int device_start(struct event_base *base) {
    LOGI("Starting device");
    const char *type = cfg_get_type();
    g_is_gateway = type && strcmp(type, "gateway") == 0;

    create_redis_instances(2);
    init_redis();
    init_base(base);
    if (http_setup_ssl(cfg_ca_cert_path()) < 0) {
        LOGW("Cannot setup ssl");
        return -1;
    }
    init_coap_client();

    if (cfg_is_daemon() == 1) {
        LOGI("Brixmoor set to run as a daemon - going background");
        make_daemon(0, 0);
        // The process as started has gone: the file must name the one that stays.
        write_pidfile(BRX_PIDFILE);
        event_reinit(g_main_base);
    } else {
        LOGI("Not running as a daemon.");
    }

    // After the forks: the bridge starts the connector thread.
    if (pcb_plugin_start(base) < 0) {
        printf("Failed to start PCB plugin\n");
        exit(1);
    }

    init_device_context_map();
    init_domain_context_map();
    LOGI("Context maps created");
    setup_init();
    config_set_filename(cfg_get_local_db_file_path());
    g_scheduler = scheduler_create();
    if (!g_scheduler) {
        LOGW("Cannot create global scheduler");
        return -1;
    }
    LOGI("Global scheduler created");

    if (g_is_gateway) {
        if (gateway_start() < 0) return -1;
        // Asked to stop while waiting for the enable settings: the loop ends at once.
        if (signals_stop_requested()) return 0;
    }
    init_subsystems();
    if (g_is_gateway) return start_discovery(this_device_ctx ? this_device_ctx->device_id : nullptr);
    start_get_device_id();
    return 0;
}

int device_stop(void) {
    if (g_is_gateway) global_upgrade_cleanup();
    device_upgrade_cleanup(this_device_ctx);
    backup_service_destroy();
    discovery_stop();
    alive_stop();
    destroy_device_context_map();
    destroy_domain_context_map();
    // After the states: what their servers left open.
    luahttp_destroy();
    pcb_plugin_stop();
    leader_stop();
    commands_cleanup();
    // After every script state: the states' clients leave their close frames behind.
    ws_stop();
    free(g_network_id);
    g_network_id = nullptr;
    scheduler_destroy(g_scheduler);
    g_scheduler = nullptr;
    g_leader_ip = 0;
    g_leader_redis_port = 0;
    return 0;
}

int is_this_device(const char *device_id) {
    return this_device_ctx && this_device_ctx->device_id && device_id &&
           strcmp(this_device_ctx->device_id, device_id) == 0;
}

int device_load_file(const char *path, struct event_base *base) {
    const char *type = cfg_get_type();
    g_is_gateway = type && strcmp(type, "gateway") == 0;
    create_redis_instances(1);
    init_redis();
    load_file_mode = true;
    init_base(base);
    // Scripts run here may use https; without a CA they still run.
    if (http_setup_ssl(cfg_ca_cert_path()) < 0) LOGW("Cannot setup ssl");
    init_coap_client();
    load_file_state = lua_state_new();
    if (!load_file_state) BRX_OOM_EXIT("Cannot create lua state");
    open_lualibs(load_file_state);
    LOGI("loadfile: %s", path ? path : "(null)");
    return lua_dofile_safe(load_file_state, path) == 0 ? 0 : -1;
}

void device_subscribe_to_test_channel(void) {
    if (!db_subscribe(redis_instance_state, test_channel_callback, nullptr, "driver:dofile"))
        LOGW("subscribe_to_driver_load_file failed");
}

int device_load_file_ex(const char *channel, const char *path) {
    (void)channel;
    LOGI("driver:dofile: %s", path ? path : "(null)");
    domain_ctx_t *lan = get_domain_context("LAN");
    if (!lan || !lan->L) {
        LOGW("No LAN domain context to run %s", path ? path : "(null)");
        return -1;
    }
    int top = lua_gettop(lan->L);
    int rc = lua_dofile_safe(lan->L, path);
    lua_settop(lan->L, top);
    return rc == 0 ? 0 : -1;
}
