#ifndef BRX_SRC_DISCOVERY_H
#define BRX_SRC_DISCOVERY_H

/*
 * LAN discovery and leader election: JSON datagrams on UDP port 4002 (presence, leader
 * question and answer, alive, test), reported to one callback as events. Loop thread only.
 */

#include <stdint.h>

struct event_base;
typedef struct redis_instance redis_instance_t;

/* Both the module's state and the kind of an event. */
typedef enum state {
    S_NONE = 0,
    S_DEVICE_FOUND = 1,
    S_DEVICE_REGISTERED = 2,
    S_I_AM_LEADER = 3,
    S_LEADER_FOUND = 4,
    S_DEVICE_TEST = 5,
    S_DEVICE_ALIVE = 6,
} state_t;

typedef enum device {
    DEVICE_NONE = -1,
    DEVICE_GW = 0,
    DEVICE_CAMERA = 1,
    DEVICE_SWITCH = 2,
    DEVICE_LIGHT = 3,
} device_t;

typedef enum packet_type {
    PACKET_DEVICE_PRESENT = 0,
    PACKET_WHOISLEADER = 1,
    PACKET_IAMLEADER = 2,
    PACKET_ALIVE = 3,
    PACKET_DEVICE_TEST = 4,
} packet_type;

typedef enum discovery_state {
    DISCOVERY_ERROR = -1,
    DISCOVERY_OK = 0,
    DISCOVERY_E_NO_INIT = 1,
} discovery_state_t;

/* One event, valid only during the callback; fields the kind does not fill are 0 or NULL. */
typedef struct discovery_event {
    const char *id;
    state_t state;
    uint32_t ip; /* network order */
    uint16_t redis_port;
    device_t device_type;
    const char *device_vendor;
    const char *device_model;
    const char *hardware_addr;
    const char *domain; /* always "LAN" */
    const char *command;
    const char *preview_url;
    uint32_t distinctive_code;
} discovery_event_t;

typedef void (*discovery_callback_t)(const discovery_event_t *event, void *callback_arg);

/* Start parameters; the texts are copied by discovery_init. */
typedef struct config {
    const char *device_id;
    uint16_t redis_port;
    const char *net_id;
    device_t dev_type;
    const char *dev_vendor;
    const char *dev_model;
    const char *hardware_addr;
    const char *ip_addr; /* dotted IPv4, or NULL */
    uint32_t dist_code;
    struct event_base *event_base;
    discovery_callback_t callback;
    void *callback_arg;
    const char *preview_url;
} config_t;

/* Only the state instance is used (the "gateway:wps" read). */
void discovery_setup_redis_instance(redis_instance_t *conf, redis_instance_t *state);

/* A new module state (an earlier one is destroyed first); 0. */
int discovery_init(config_t config);
/* Opens the endpoint and starts the leader search or the presence cycles; 0 or -1. */
int discovery_start(void);
/* Timers, MAC map and endpoint; the state stays for a later start. Safe without a start. */
void discovery_stop(void);
/* Everything, the module state included. Safe without an init. */
void discovery_destory(void);

void discovery_set_net_id(const char *net_id);
void discovery_set_device_id(const char *device_id);
/* Answers the device of that MAC like a WHOISLEADER from its first PRESENT source; the entry is used up. */
void discovery_send_iamleader(const char *mac);
/* A DEVICE_TEST with the command to the first PRESENT source of that MAC. */
void discovery_send_test(const char *mac, const char *command);
void device_registered(void);
int leader_elected(void);

device_t device_string_to_type(const char *type);
const char *device_type_to_string(device_t type);

/* Frees the text in *slot and stores a copy of value (NULL allowed). */
void reset_value(char **slot, const char *value);

#endif
