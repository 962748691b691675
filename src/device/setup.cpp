#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/glib-mini/glib.h"
#include "common/logger/logger.h"
#include "src/db.h"
#include "src/device/alive.h"
#include "src/device/context.h"
#include "src/device/driver.h"
#include "src/device/engine.h"
#include "src/device_cfg.h"
#include "src/discovery.h"
#include "src/helpers.h"
#include "src/ifttt.h"
#include "src/upgrade.h"

#define LOG_CATEGORY "device"

namespace {

const unsigned kNewDeviceSeconds = 32;
const char kNetworkIdKey[] = "LAN:networkid";

const char *or_null(const char *s) { return s ? s : "NULL"; }

const char *mac_text(void) {
    const char *mac = cfg_get_mac_str();
    return mac ? mac : "";
}

const char *dotted(uint32_t ip, char *buf, size_t len) {
    struct in_addr a;
    a.s_addr = ip;
    if (!inet_ntop(AF_INET, &a, buf, (socklen_t)len)) snprintf(buf, len, "0.0.0.0");
    return buf;
}

void this_device_deleted_cb(const char *channel, const char *message, const void *arg) {
    device_ctx_t *ctx = find_device_context_by_token((uintptr_t)arg);
    if (!ctx) return;
    this_device_deleted(channel, message, ctx);
}

/* A repeated set-up keeps the subscriptions a context holds; they end with the context. */
void context_released(device_ctx_t *ctx) {
    device_upgrade_cleanup(ctx);
    if (ctx == this_device_ctx) this_device_ctx = nullptr;
    if (ctx->command_subscribed)
        db_unsubscribe(redis_instance_state, commands_channel_callback, nullptr, "device:%s:command", ctx->device_id);
    if (ctx->delete_subscribed)
        db_unsubscribe(redis_instance_state, this_device_deleted_cb, nullptr, "device:%s:delete", ctx->device_id);
}

void add_text_or_null(cJSON *o, const char *name, const char *value) {
    if (value)
        BRX_CHECK_MEM(cJSON_AddStringToObject(o, name, value));
    else
        BRX_CHECK_MEM(cJSON_AddNullToObject(o, name));
}

void device_found(const discovery_event_t *ev) {
    LOGD("Found device");
    if (!g_is_gateway) {
        LOGD("I'm not a gateway thus not interested in another device");
        return;
    }
    const char *d = ev->domain ? ev->domain : "LAN";
    const char *a = ev->hardware_addr;
    if (!a || !id_usable("device address", a)) return;
    char *record = db_get_sync(redis_instance_state, "newdevice:%s:%s:notify", d, a);
    if (record) {
        free(record);
        db_expire(redis_instance_state, kNewDeviceSeconds, "newdevice:%s:%s:notify", d, a);
        LOGD("Device with addr %s already set as newdevice (refreshing session)", a);
        return;
    }
    char *id = db_get_sync(redis_instance_state, "device:%s:%s", d, a);
    if (id) {
        free(id);
        LOGD("Device with addr %s already registered - restore", a);
        discovery_send_iamleader(a);
        return;
    }
    char *json = create_json_newdevice(ev);
    LOGI("Setting newdevice:%s:%s:notify with key %s", d, a, json);
    if (db_set_fmt(redis_instance_state, json, "newdevice:%s:%s:notify", d, a) < 0)
        LOGW("Set newdevice:%s:%s:notify %s failed", d, a, json);
    db_expire(redis_instance_state, kNewDeviceSeconds, "newdevice:%s:%s:notify", d, a);
    free(json);
}

void device_alive(const discovery_event_t *ev) {
    LOGD("Got device alive from id %s", or_null(ev->id));
    if (!g_is_gateway) {
        LOGD("I'm not a gateway thus not interested in another device alive");
        return;
    }
    if (!ev->id || !id_usable("device id", ev->id)) return;
    // Any host on the LAN can name any id: only registered devices are tracked.
    char *domain = db_get_sync(redis_instance_state, "device:%s:domain", ev->id);
    if (!domain) {
        LOGD("Alive from unregistered device id %s dropped", ev->id);
        return;
    }
    free(domain);
    reset_alive_timer(ev->id);
    check_alive_ip(ev->id, ev->ip);
    char *online = db_get_sync(redis_instance_state, "device:%s:state:online", ev->id);
    if (!online || strcmp(online, "false") == 0) {
        if (online) LOGD("alive callback for device_id %s - setting true", ev->id);
        db_set_fmt(redis_instance_state, "true", "device:%s:state:online", ev->id);
    }
    free(online);
}

void leader_event(const discovery_event_t *ev, int myself) {
    char ip[INET_ADDRSTRLEN];
    g_leader_ip = ev->ip;
    g_leader_redis_port = ev->redis_port;
    dotted(g_leader_ip, ip, sizeof ip);
    if (myself) {
        LOGI("Leader elected: %s:%u (MYSELF)", ip, (unsigned)g_leader_redis_port);
        if (master_device_start() < 0) LOGW("master_manager failed");
        return;
    }
    LOGI("Leader elected: %s:%u", ip, (unsigned)g_leader_redis_port);
    // The announcement carries the state port only; the leader's conf instance listens one above it.
    db_set_master(redis_instance_conf, g_leader_ip, g_leader_redis_port + 1);
    db_set_master(redis_instance_state, g_leader_ip, g_leader_redis_port);
    if (setup_device() != 0) LOGW("setup_device failed");
}

void device_test(const discovery_event_t *ev) {
    LOGI("Device test with command %s", or_null(ev->command));
    domain_ctx_t *lan = get_domain_context("LAN");
    if (!lan) {
        LOGW("Driver not loaded, cannot execute command");
        return;
    }
    lua_pcall_default_driver(lan, "command", ev->command);
}

void got_deviceid_cb(const char *value, const void *) { setup_device_got_deviceid(value); }

void device_lan_cb(const char *value, const void *arg) {
    device_ctx_t *ctx = find_device_context_by_token((uintptr_t)arg);
    if (!ctx) return;
    setup_device_lan(value, ctx);
}

/* After a call into a script: the context, unless that call removed it. */
device_ctx_t *still_there(uintptr_t self) { return find_device_context_by_token(self); }

void watch_app_id(device_ctx_t *ctx) {
    if (watch_device_app_id(ctx) != 0) LOGW("Cannot get and subscribe for device:%s:app", ctx->device_id);
}

void set_device_rules(device_ctx_t *ctx) {
    ctx->ifttt_config_drv = ifttt_init(ctx, "device");
    if (!ctx->ifttt_config_drv) LOGW("IFTTT failed");
}

/* Command channel, driver and version: the part of the set-up that every device gets. */
device_ctx_t *setup_driver(device_ctx_t *ctx) {
    uintptr_t self = ctx->tokens[CTX_TOKEN_SELF];
    load_driver_commands(ctx);
    load_driver_script(ctx);
    if (!(ctx = still_there(self))) return nullptr;
    set_version(ctx);
    return still_there(self);
}

}  // namespace

void setup_init(void) { set_device_context_release_hook(context_released); }

void discovery_callback(const discovery_event_t *event, void *) {
    if (!event) return;
    switch (event->state) {
    case S_DEVICE_FOUND:
        device_found(event);
        break;
    case S_I_AM_LEADER:
        leader_event(event, 1);
        break;
    case S_LEADER_FOUND:
        leader_event(event, 0);
        break;
    case S_DEVICE_TEST:
        device_test(event);
        break;
    case S_DEVICE_ALIVE:
        device_alive(event);
        break;
    default:
        break;
    }
}

char *create_json_newdevice(const discovery_event_t *ev) {
    char ip[INET_ADDRSTRLEN];
    dotted(ev->ip, ip, sizeof ip);
    LOGD("Create json newdevice for ip %s addr %s", ip, or_null(ev->hardware_addr));
    cJSON *result = cJSON_CreateObject();
    if (!result) BRX_OOM_EXIT("result");
    const char *type = device_type_to_string(ev->device_type);
    BRX_CHECK_MEM(cJSON_AddStringToObject(result, "class", type));
    add_text_or_null(result, "vendor", ev->device_vendor);
    add_text_or_null(result, "model", ev->device_model);
    add_text_or_null(result, "domain", ev->domain);
    BRX_CHECK_MEM(cJSON_AddStringToObject(result, "driver", type));
    add_text_or_null(result, "address", ev->hardware_addr);
    BRX_CHECK_MEM(cJSON_AddStringToObject(result, "ipaddress", ip));
    if (ev->device_type == DEVICE_CAMERA && ev->preview_url) {
        char url[512];
        snprintf(url, sizeof url, "http://%s:80%s", ip, ev->preview_url);
        BRX_CHECK_MEM(cJSON_AddStringToObject(result, "preview_url", url));
    } else {
        BRX_CHECK_MEM(cJSON_AddNullToObject(result, "preview_url"));
    }
    char *json_string = cJSON_Print(result);
    cJSON_Delete(result);
    if (!json_string) BRX_OOM_EXIT("json_string");
    return json_string;
}

int setup_device(void) {
    LOGI("Device setup with ctx checking for mac: %s", mac_text());
    if (!g_network_id || !*g_network_id) network_id_callback(kNetworkIdKey, nullptr, nullptr);
    db_psubscribe_for_key(redis_instance_state, network_id_callback, nullptr, "%s", kNetworkIdKey);
    if (!db_get(redis_instance_state, got_deviceid_cb, nullptr, "device:LAN:%s", mac_text()) && !g_is_gateway)
        LOGW("Cannot read device:LAN:%s", mac_text());
    return 0;
}

void setup_device_got_deviceid(const char *device_id) {
    if (!device_id) {
        LOGW("Got null device_id");
        return;
    }
    if (!id_usable("device id", device_id)) return;
    device_ctx_t *ctx = get_device_context(device_id);
    if (!ctx) ctx = create_device_context(device_id, cfg_get_type(), nullptr, "LAN");
    if (!ctx) {
        LOGW("Cannot create this_device_ctx");
        return;
    }
    this_device_ctx = ctx;
    if (g_is_gateway) {
        char *network_id = db_get_sync(redis_instance_state, "%s", kNetworkIdKey);
        setup_device_lan(network_id, ctx);
        free(network_id);
        return;
    }
    if (!db_get(redis_instance_state, device_lan_cb, (const void *)ctx->tokens[CTX_TOKEN_SELF], "%s", kNetworkIdKey))
        LOGW("Cannot read %s", kNetworkIdKey);
}

void setup_device_lan(const char *network_id, device_ctx_t *ctx) {
    if (!ctx) return;
    uintptr_t self = ctx->tokens[CTX_TOKEN_SELF];
    update_network_id(network_id);
    LOGI("got g_device_id: %s", or_null(ctx->device_id));
    if (!ctx->device_id) return;
    discovery_set_device_id(ctx->device_id);
    if (!(ctx = setup_driver(ctx))) return;
    LOGI("setup_device_lan upgrade enabled - init");
    device_upgrade_init(ctx, g_main_base);
    watch_app_id(ctx);
    if (!(ctx = still_there(self))) return;
    if (!ctx->delete_subscribed) {
        if (db_subscribe(redis_instance_state, this_device_deleted_cb, (const void *)self, "device:%s:delete",
                         ctx->device_id))
            ctx->delete_subscribed = 1;
        else
            LOGW("SUBSCRIBE for key device:%s:delete failed", ctx->device_id);
    }
    if (db_get_keys(redis_instance_state, subdevices_keys_cb, nullptr, "landevicemap:%s:*", ctx->device_id) != 0)
        LOGW("Load driver/app script for subdevices failed");
    if (!(ctx = still_there(self))) return;
    set_device_rules(ctx);
}

void subdevices_keys_cb(const void *keys, const void *) {
    for (const GSList *it = (const GSList *)keys; it; it = it->next) {
        const char *key = (const char *)it->data;
        char *child = get_nth_field(key, 3);
        if (!child) continue;
        // A fourth field: the child's id holds a colon and cannot be read back from the key.
        char *rest = get_nth_field(key, 4);
        if (rest || !id_usable("child device id", child)) {
            if (rest) LOGW("Refusing child device id of %s: contains ':'", key);
            free(rest);
            free(child);
            continue;
        }
        device_ctx_t *ctx = get_device_context(child);
        if (!ctx) {
            char *class_name = db_get_sync(redis_instance_state, "device:%s:meta:class", child);
            char *driver = db_get_sync(redis_instance_state, "device:%s:meta:driver", child);
            char *domain = db_get_sync(redis_instance_state, "device:%s:domain", child);
            ctx = create_device_context(child, class_name, driver, domain);
            free(class_name);
            free(driver);
            free(domain);
        }
        if (!ctx)
            LOGW("Cannot get/create device_ctx for sub_id %s", child);
        else
            setup_subdevice(ctx);
        free(child);
    }
}

void setup_subdevice(device_ctx_t *ctx) {
    if (!ctx) return;
    LOGI("got subdevice id: %s", or_null(ctx->device_id));
    if (!ctx->device_id) return;
    if (!(ctx = setup_driver(ctx))) return;
    set_device_rules(ctx);
    watch_app_id(ctx);
}

int load_driver_commands(device_ctx_t *ctx) {
    if (!ctx || !ctx->device_id) return 0;
    if (ctx->command_subscribed) return 0;
    if (db_subscribe(redis_instance_state, commands_channel_callback, nullptr, "device:%s:command", ctx->device_id))
        ctx->command_subscribed = 1;
    else
        LOGW("subscribing to device command changes failed");
    return 0;
}

void commands_channel_callback(const char *channel, const char *message, const void *) {
    LOGT("commands_channel_callback");
    if (!message) {
        LOGI("commands_channel_callback null");
        return;
    }
    char *id = get_nth_field(channel, 2);
    if (!id) {
        LOGW("Cannot extract device id from key %s", or_null(channel));
        return;
    }
    device_ctx_t *ctx = get_device_context(id);
    if (!ctx) {
        LOGW("Cannot find device_ctx with id %s", id);
    } else if (ctx->driver_loaded) {
        lua_pcall_driver(ctx, message);
    } else {
        LOGW("NO DRIVER LOADED - Cannot execute driver->command(%s) - trying to reload driver script", message);
        load_driver_script(ctx);
    }
    free(id);
}

void this_device_deleted(const char *channel, const char *message, device_ctx_t *ctx) {
    LOGW("this_device_deleted - check if proper key %s, value %s", or_null(channel), or_null(message));
    if (!message || !ctx) return;
    LOGD("this_device_deleted has value");
    uintptr_t self = ctx->tokens[CTX_TOKEN_SELF];
    update_network_id(nullptr);
    cleanup(ctx->L_drv, "driver", nullptr, nullptr);
    if ((ctx = still_there(self)) && ctx->app_id) cleanup(ctx->L_app, "app", nullptr, nullptr);
    // Removing the context ends its command and delete subscriptions and its watches.
    if ((ctx = still_there(self))) {
        char *id = strdup(ctx->device_id);
        if (!id) BRX_OOM_EXIT("device_id");
        remove_device_context(id);
        free(id);
    }
    this_device_ctx = nullptr;
    discovery_set_device_id(nullptr);
}
