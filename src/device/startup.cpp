#include <event2/event.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "common/glib-mini/glib.h"
#include "common/logger/logger.h"
#include "src/backup.h"
#include "src/db.h"
#include "src/db_local.h"
#include "src/device/context.h"
#include "src/device/driver.h"
#include "src/device/engine.h"
#include "src/device/status.h"
#include "src/device_cfg.h"
#include "src/discovery.h"
#include "src/helpers.h"
#include "src/pcb/pcb_plugin.h"
#include "src/signals.h"
#include "src/stats.h"

#define LOG_CATEGORY "device"

namespace {

const unsigned kMaxEnablePause = 20;
const char kNetworkIdKey[] = "LAN:networkid";
const char kWatchdogRequest[] = "brixmoor:watchdog:request";
const char kWatchdogReply[] = "brixmoor:watchdog:reply";

struct enable_setting {
    const char *parameter;
    const char *mirror_key;
};

const enable_setting kEnableSettings[] = {
    {"ZIR.HomeAutomation.Enable", "KAVPCB:homeautomation:Enable"},
    {"APService.HomeAutomation.BrixmoorGlobalEnable", "KAVPCB:aphomeautomation:BrixmoorGlobalEnable"},
    {"APService.HomeAutomation.BrixmoorEnable", "KAVPCB:aphomeautomation:BrixmoorEnable"},
};

const char *or_null(const char *s) { return s ? s : "NULL"; }

const char *mac_text(void) {
    const char *mac = cfg_get_mac_str();
    return mac ? mac : "";
}

void domain_keys_cb(const void *keys, const void *) {
    for (const GSList *it = (const GSList *)keys; it; it = it->next) {
        char *domain = get_nth_field((const char *)it->data, 2);
        if (!domain || strcmp(domain, "LAN") == 0) {
            free(domain);
            continue;
        }
        domain_ctx_t *dctx = create_domain_context(domain);
        if (!dctx)
            LOGW("Cannot create subsystem context for domain %s", domain);
        else
            load_default_driver_script(dctx);
        free(domain);
    }
}

/* ---- the non-gateway's two reads ---- */

void start_get_network_id_cb(const char *value, const void *arg) {
    char *device_id = (char *)arg;
    free(g_network_id);
    g_network_id = nullptr;
    if (value) {
        g_network_id = strdup(value);
        if (!g_network_id) BRX_OOM_EXIT("g_network_id");
    } else {
        config_get_local("networkid", &g_network_id);
    }
    LOGI("callback: g_network_id: '%s'", or_null(g_network_id));
    if (start_discovery(device_id) != 0) LOGW("Discovery did not start");
    free(device_id);
}

void start_get_device_id_cb(const char *value, const void *) {
    char *device_id = nullptr;
    if (value && id_usable("device id", value)) {
        LOGI("Creating context id %s, type %s", value, or_null(cfg_get_type()));
        this_device_ctx = create_device_context(value, cfg_get_type(), nullptr, "LAN");
        if (!this_device_ctx)
            LOGW("Cannot create context");
        else
            LOGI("Context created");
    }
    if (this_device_ctx) {
        device_id = strdup(this_device_ctx->device_id);
        if (!device_id) BRX_OOM_EXIT("device_id");
    }
    LOGI("callback: this_device_id: %s", or_null(device_id));
    // The id travels as a copy of its own: the context may be gone when the reply comes.
    if (!db_get(redis_instance_state, start_get_network_id_cb, device_id, "%s", kNetworkIdKey)) {
        LOGW("Cannot read %s", kNetworkIdKey);
        start_get_network_id_cb(nullptr, device_id);
    }
}

}  // namespace

/* ---- enable settings ---- */

void wait_for_bool(const char *parameter) {
    LOGI("Enter wait for %s", parameter);
    unsigned pause = 0;
    status_set(BRX_DISABLED);
    for (;;) {
        if (pause > 0) sleep(pause);
        if (signals_stop_requested()) {
            LOGI("Wait for %s given up: stop requested", parameter);
            return;
        }
        if (pcbcli_get_bool(parameter)) break;
        if (pause < kMaxEnablePause) pause++;
    }
    status_set(BRX_ENABLED);
    LOGI("Exit wait for %s", parameter);
}

void kavpcb_change_cb(const char *key, const char *value, const void *parameter) {
    (void)key;
    const char *name = (const char *)parameter;
    LOGI("kavpcb_change_cb key %s changed value to %s", name, value ? value : "(null)");
    if (value && strcmp(value, "1") == 0)
        status_set(BRX_ENABLED);
    else
        wait_for_bool(name);
}

void start_enable_checker(void) {
    for (const enable_setting &s : kEnableSettings) {
        wait_for_bool(s.parameter);
        if (signals_stop_requested()) return;
        db_subscribe_for_key(redis_instance_conf, kavpcb_change_cb, s.parameter, "%s", s.mirror_key);
    }
}

/* ---- gateway steps ---- */

void device_watchdog_callback(const char *name, const char *value, const void *) {
    LOGD("device_watchdog_callback key:%s, value:%s", name ? name : "null", value ? value : "null");
    const char *reply = value ? value : "";
    db_set(redis_instance_conf, kWatchdogReply, reply);
    db_publish(redis_instance_conf, kWatchdogReply, reply);
}

void cleanup_newdevice(const void *keys, const void *) {
    for (const GSList *it = (const GSList *)keys; it; it = it->next)
        if (it->data) db_del(redis_instance_state, (const char *)it->data);
}

void device_add_redirect(const char *channel, const char *message, const void *) {
    LOGD("Device registered redirect with key %s, value %s", or_null(channel), or_null(message));
    char *domain = get_nth_field(channel, 2);
    if (!domain) {
        LOGW("Cannot get domain");
        return;
    }
    domain_default_driver(domain, "add", message);
    free(domain);
}

void domain_default_driver(const char *domain, const char *hook, const char *text) {
    domain_ctx_t *dctx = get_domain_context(domain);
    if (!dctx)
        LOGD("sub_ctx for domain %s is NULL", or_null(domain));
    else
        lua_pcall_default_driver(dctx, hook, text);
}

int gateway_start(void) {
    status_set(BRX_ENABLED);
    start_enable_checker();
    // A stop during the wait: the loop ends at once and the tear-down runs.
    if (signals_stop_requested()) return 0;
    backup_service_init(redis_instance_conf, redis_instance_state, g_main_base);
    // Its waits for the HA-ID and the connection give up on a stop the same way.
    if (signals_stop_requested()) return 0;

    db_get_keys(redis_instance_state, cleanup_newdevice, nullptr, "newdevice:*");
    db_psubscribe(redis_instance_state, device_add_redirect, nullptr, "newdevice:*:*:add");
    db_subscribe(redis_instance_conf, device_watchdog_callback, nullptr, "%s", kWatchdogRequest);
    db_subscribe_for_key(redis_instance_conf, device_watchdog_callback, nullptr, "%s", kWatchdogRequest);

    char *id = db_get_sync(redis_instance_state, "device:LAN:%s", mac_text());
    LOGI("got this_device_id: %s", or_null(id));
    if (id && !id_usable("device id", id)) {
        free(id);
        id = nullptr;
    }
    if (id) {
        LOGI("Creating context");
        this_device_ctx = create_device_context(id, cfg_get_type(), nullptr, "LAN");
        free(id);
        if (!this_device_ctx) {
            LOGW("Cannot create context");
            return -1;
        }
        LOGI("Context created");
        stats_init(redis_instance_state);
    }

    free(g_network_id);
    g_network_id = db_get_sync(redis_instance_state, "%s", kNetworkIdKey);
    LOGI("g_network_id: '%s'", or_null(g_network_id));
    if (!db_psubscribe_for_key(redis_instance_state, network_id_callback, nullptr, "%s", kNetworkIdKey)) {
        LOGW("PSUBSCRIBE LAN:networkid failed, exit");
        exit(1);
    }
    return 0;
}

/* ---- network id ---- */

void update_network_id(const char *value) {
    LOGI("set network_id: '%s'", or_null(value));
    if (g_network_id && value && strcmp(g_network_id, value) == 0) return;
    char *copy = nullptr;
    if (value) {
        copy = strdup(value);
        if (!copy) BRX_OOM_EXIT("g_network_id");
    }
    free(g_network_id);
    g_network_id = copy;
    discovery_set_net_id(g_network_id);
    if (g_network_id) {
        LOGD("Set local config network id %s ", g_network_id);
        config_set_local("networkid", g_network_id);
    } else {
        config_del_local("networkid");
    }
}

void network_id_callback(const char *key, const char *value, const void *) {
    LOGD("networkid_callback from channel %s", or_null(key));
    if (value) {
        update_network_id(value);
        return;
    }
    char *now = db_get_sync(redis_instance_state, "%s", key ? key : kNetworkIdKey);
    update_network_id(now);
    free(now);
}

/* ---- domains and discovery ---- */

void init_subsystems(void) {
    domain_ctx_t *lan = create_domain_context("LAN");
    if (!lan) {
        LOGW("Cannot create subsystem context for LAN");
        return;
    }
    if (load_default_driver_script(lan) != 0) {
        LOGW("Load default driver failed");
        return;
    }
    if (g_is_gateway) db_get_keys(redis_instance_conf, domain_keys_cb, nullptr, "domain:*:code");
}

int start_discovery(const char *device_id) {
    config_t config;
    memset(&config, 0, sizeof config);
    config.device_id = device_id;
    config.redis_port = (uint16_t)cfg_get_redis_port();
    config.net_id = g_network_id;
    config.dev_type = device_string_to_type(cfg_get_type());
    config.dev_vendor = cfg_get_vendor_name();
    config.dev_model = cfg_get_model_name();
    config.hardware_addr = mac_text();
    config.ip_addr = cfg_get_ipv4();
    cfg_get_auth_code(&config.dist_code);
    config.event_base = g_main_base;
    config.callback = discovery_callback;
    config.callback_arg = nullptr;
    config.preview_url = cfg_get_prewiev_url();
    discovery_init(config);
    if (discovery_start() != 0) {
        LOGW("failed to start HA discovery");
        discovery_destory();
        return -1;
    }
    return 0;
}

void start_get_device_id(void) {
    if (!db_get(redis_instance_state, start_get_device_id_cb, nullptr, "device:LAN:%s", mac_text())) {
        // Nothing was sent: go on as without an id, so that discovery still starts.
        LOGW("Cannot read device:LAN:%s", mac_text());
        start_get_device_id_cb(nullptr, nullptr);
    }
}
