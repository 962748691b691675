#ifndef BRX_SRC_DEVICE_ENGINE_H
#define BRX_SRC_DEVICE_ENGINE_H

/*
 * The engine's role-dependent start (gateway steps, network id, discovery start), the set-up of
 * this device and the devices behind it once the leader is known, the command channel, the
 * reactions to discovery events and the leader's network-wide watches. Loop thread only.
 */

#include <stdint.h>

#include "src/db.h"
#include "src/device/context.h"
#include "src/discovery.h"

struct event_base;

/* ---- engine state, owned by device.cpp ---- */

extern struct event_base *g_main_base;
extern int g_is_gateway;
extern redis_instance_t *redis_instance_conf;
extern redis_instance_t *redis_instance_state;
/* The context of the device this engine runs on; cleared when that context is destroyed. */
extern device_ctx_t *this_device_ctx;
extern char *g_network_id;
/* The household schedule ("schedule"), planned on the leader. */
extern struct scheduler_ctx *g_scheduler;
extern uint32_t g_leader_ip; /* network order */
extern uint16_t g_leader_redis_port;

/* ---- start-up ---- */

/* The gateway's own steps: status, enable waits, watchdog, own context, network id. 0 or -1. */
int gateway_start(void);
void start_enable_checker(void);
/* Blocks (sleeping on the loop thread) until the parameter reads true or a stop is requested. */
void wait_for_bool(const char *parameter);
void kavpcb_change_cb(const char *key, const char *value, const void *parameter);
void device_watchdog_callback(const char *name, const char *value, const void *arg);
void cleanup_newdevice(const void *keys, const void *arg);
void device_add_redirect(const char *channel, const char *message, const void *arg);
/* <hook>(text) of the domain's default driver; DEBUG when the domain has no context. */
void domain_default_driver(const char *domain, const char *hook, const char *text);
void update_network_id(const char *value);
void network_id_callback(const char *key, const char *value, const void *arg);
void init_subsystems(void);
int start_discovery(const char *device_id);
/* The non-gateway start: reads this device's id, then the network id, then starts discovery. */
void start_get_device_id(void);

/* ---- device set-up ---- */

/* Hooks the set-up's own subscriptions to the life of the contexts; once, before any set-up. */
void setup_init(void);
void discovery_callback(const discovery_event_t *event, void *arg);
/* The new-device record of a PRESENT; the caller frees it. */
char *create_json_newdevice(const discovery_event_t *event);
int setup_device(void);
void setup_device_got_deviceid(const char *device_id);
void setup_device_lan(const char *network_id, device_ctx_t *ctx);
void setup_subdevice(device_ctx_t *ctx);
void subdevices_keys_cb(const void *keys, const void *arg);
int load_driver_commands(device_ctx_t *ctx);
void commands_channel_callback(const char *channel, const char *message, const void *arg);
void this_device_deleted(const char *channel, const char *message, device_ctx_t *ctx);

/* ---- leader ---- */

/* 0, or -1 when one of the essential subscriptions fails. */
int master_device_start(void);
void device_states_callback(const char *key, const char *value, const void *arg);
void device_metas_callback(const char *key, const char *value, const void *arg);
void device_states_publish_callback(const char *channel, const char *message, const void *arg);
void persist_state(const char *channel, const char *message);
void newdevice_callback(const char *key, const char *value, const void *arg);
/* KEYS reply of "device:*:meta:classname:*": the alive watches of the registered devices. */
void start_alive_timer(const void *keys, const void *arg);
void test_triggered_cb(const char *channel, const char *message, const void *arg);
void device_delete_redirect(const char *channel, const char *message, const void *arg);
void scene_delete(const char *channel);
void disk_mounted_callback(const char *channel, const char *message, const void *arg);
/* The read of "schedule": loads it into g_scheduler, then watches the key (made once, however often read). */
void get_scheduler_conf_callback(const char *value, const void *arg);
/* Each change of "schedule". */
void scheduler_conf_callback(const char *key, const char *value, const void *arg);
/* Loads the schedule JSON into g_scheduler and starts it: 0, or -1 (WARN) with no timer armed. */
int scheduler_conf_parse(const char *text);
/* Measurement persistence off again (tear-down). */
void leader_stop(void);

#endif
