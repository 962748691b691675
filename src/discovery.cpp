#include "src/discovery.h"

#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <event2/event.h>
#include <math.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/glib-mini/glib.h"
#include "common/logger/logger.h"
#include "src/db.h"
#include "src/device_cfg.h"
#include "src/helpers.h"
#include "src/net_layer.h"

#define LOG_CATEGORY "discovery"

namespace {

const char kDomain[] = "LAN";
const int kLeaderSearchSeconds = 5;
const int kPresenceCycleSeconds = 10;
const int kAliveSeconds = 5;
const int kWebdisPort = 7379;
/* A LAN host cycling through MACs must not be able to grow the map without limit. */
const int kMacMapMax = 256;

struct socket_value_t {
    uint32_t ip;   /* network order */
    uint16_t port; /* host order */
};

struct discovery_t {
    char *net_id;
    state_t state;
    char *device_id;
    device_t device_type;
    char *device_vendor;
    char *device_model;
    char *hardware_addr;
    const char *domain;
    char *preview_url;
    uint32_t local_ip;
    uint16_t redis_port;
    uint32_t distinctive_code;
    char *leader_id;
    uint32_t leader_ip;
    uint16_t leader_redis_port;
    struct event_base *event_base;
    struct event *timer;
    struct event *rescue_timer;
    char *dest_id;
    discovery_callback_t callback;
    void *callback_arg;
};

discovery_t *g_disc = nullptr;
redis_instance_t *g_state_instance = nullptr;
GHashTable *g_mac_map = nullptr; /* MAC text -> socket_value_t, first PRESENT source */
GSList *g_present_shots = nullptr; /* pending one-shot PRESENT broadcasts (struct event *) */
int g_dump_packets = 0;

typedef void (*timer_fn_t)(void);

const char *or_null_text(const char *s) { return s ? s : "NULL"; }

const char *ip_text(uint32_t ip, char *buf, size_t len) {
    struct in_addr a;
    a.s_addr = ip;
    if (!inet_ntop(AF_INET, &a, buf, (socklen_t)len)) snprintf(buf, len, "0.0.0.0");
    return buf;
}

char *copy_or_null(const char *s) {
    if (!s) return nullptr;
    char *c = strdup(s);
    if (!c) BRX_OOM_EXIT("copy_or_null");
    return c;
}

/* ---- the one timer slot ---- */

void stop_timer(void) {
    if (!g_disc || !g_disc->timer) return;
    event_free(g_disc->timer);
    g_disc->timer = nullptr;
    LOGT("timer stoped");
}

timer_fn_t g_timer_fn = nullptr;

void timer_fired(evutil_socket_t, short, void *) {
    // The function may start the next timer, which frees this one.
    if (g_disc && g_timer_fn) g_timer_fn();
}

int start_timer(int seconds, timer_fn_t fn) {
    stop_timer();
    struct event *ev = event_new(g_disc->event_base, -1, 0, timer_fired, nullptr);
    if (!ev) BRX_OOM_EXIT("Cannot create timer");
    struct timeval tv = {seconds, 0};
    if (event_add(ev, &tv) < 0) {
        event_free(ev);
        return -1;
    }
    g_disc->timer = ev;
    g_timer_fn = fn;
    LOGT("timer started");
    return 0;
}

/* ---- datagrams out ---- */

cJSON *new_packet(packet_type type) {
    cJSON *p = cJSON_CreateObject();
    if (!p) BRX_OOM_EXIT("packet");
    BRX_CHECK_MEM(cJSON_AddNumberToObject(p, "packet_type", type));
    if (g_disc->net_id)
        BRX_CHECK_MEM(cJSON_AddStringToObject(p, "network_id", g_disc->net_id));
    else
        BRX_CHECK_MEM(cJSON_AddNullToObject(p, "network_id"));
    if (g_disc->device_id)
        BRX_CHECK_MEM(cJSON_AddStringToObject(p, "device_id", g_disc->device_id));
    else
        BRX_CHECK_MEM(cJSON_AddNullToObject(p, "device_id"));
    return p;
}

void add_text(cJSON *p, const char *name, const char *value) {
    BRX_CHECK_MEM(cJSON_AddStringToObject(p, name, value ? value : ""));
}

/* Sends and deletes the packet; broadcast when asked, else unicast to (ip, port). */
int send_packet(cJSON *p, int broadcast, uint32_t ip, uint16_t port) {
    char *text = cJSON_Print(p);
    cJSON_Delete(p);
    if (!text) BRX_OOM_EXIT("Cannot print json string");
    if (g_dump_packets) {
        char buf[INET_ADDRSTRLEN];
        LOGD("Sending (receiver %s:%u) %s", ip_text(broadcast ? 0 : ip, buf, sizeof buf),
             broadcast ? 0u : (unsigned)port, text);
    }
    int rc = broadcast ? network_send_broadcast(text, strlen(text)) : network_send_to_host(ip, port, text, strlen(text));
    free(text);
    return rc;
}

void send_iamleader_to(uint32_t ip, uint16_t port) {
    char buf[INET_ADDRSTRLEN];
    cJSON *p = new_packet(PACKET_IAMLEADER);
    add_text(p, "leader_ip", ip_text(g_disc->local_ip, buf, sizeof buf));
    BRX_CHECK_MEM(cJSON_AddNumberToObject(p, "leader_redis_port", g_disc->redis_port));
    BRX_CHECK_MEM(cJSON_AddNumberToObject(p, "leader_webdis_port", kWebdisPort));
    send_packet(p, 0, ip, port);
}

int send_present(void) {
    cJSON *p = new_packet(PACKET_DEVICE_PRESENT);
    add_text(p, "hardware_addr", g_disc->hardware_addr);
    BRX_CHECK_MEM(cJSON_AddNumberToObject(p, "device_type", g_disc->device_type));
    add_text(p, "device_vendor", g_disc->device_vendor);
    add_text(p, "device_model", g_disc->device_model);
    BRX_CHECK_MEM(cJSON_AddNumberToObject(p, "dist_code", g_disc->distinctive_code));
    if (g_disc->preview_url)
        add_text(p, "preview_url", g_disc->preview_url);
    else
        BRX_CHECK_MEM(cJSON_AddNullToObject(p, "preview_url"));
    return send_packet(p, 1, 0, 0);
}

/* ---- events ---- */

/*
 * Delivers one event. Texts taken from the module state are copies, because the engine's
 * reaction may reset those slots while it still reads the event. 0 when the module state
 * survived the callback.
 */
int deliver(discovery_event_t *ev) {
    char *own[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};
    const char **fields[5] = {&ev->id, &ev->device_vendor, &ev->device_model, &ev->hardware_addr, &ev->preview_url};
    for (int i = 0; i < 5; i++) {
        if (*fields[i]) {
            own[i] = copy_or_null(*fields[i]);
            *fields[i] = own[i];
        }
    }
    ev->domain = kDomain;
    discovery_t *d = g_disc;
    if (d->callback) d->callback(ev, d->callback_arg);
    for (char *s : own) free(s);
    return g_disc == d ? 0 : -1;
}

discovery_event_t own_event(state_t kind) {
    discovery_event_t ev;
    memset(&ev, 0, sizeof ev);
    ev.state = kind;
    ev.device_type = g_disc->device_type;
    ev.hardware_addr = g_disc->hardware_addr;
    return ev;
}

/* ---- leader search, presence, alive ---- */

void find_leader(void);
void send_alive(void);
int device_present_start(void);

void find_leader_tick(void) {
    LOGD("Find leader callback, net_id is %s", or_null_text(g_disc->net_id));
    if (leader_elected())
        send_alive();
    else
        find_leader();
}

void find_leader(void) {
    LOGD("find_leader");
    if (start_timer(kLeaderSearchSeconds, find_leader_tick) < 0) LOGI("WARN! could not start leader_discovery timer");
    if (g_disc->device_type != DEVICE_GW) {
        send_packet(new_packet(PACKET_WHOISLEADER), 1, 0, 0);
        return;
    }
    if (!g_disc->net_id) {
        LOGD("I am leader but not configured");
        return;
    }
    LOGI("I am leader, end discovery");
    stop_timer();
    g_disc->state = S_I_AM_LEADER;
    g_disc->leader_ip = g_disc->local_ip;
    g_disc->leader_redis_port = g_disc->redis_port;
    reset_value(&g_disc->leader_id, g_disc->device_id);
    discovery_event_t ev = own_event(S_I_AM_LEADER);
    ev.ip = g_disc->leader_ip;
    ev.id = g_disc->leader_id;
    ev.redis_port = g_disc->redis_port;
    ev.device_type = DEVICE_GW;
    deliver(&ev);
}

void present_shot_fired(evutil_socket_t, short, void *arg) {
    struct event *self = (struct event *)arg;
    g_present_shots = g_slist_remove(g_present_shots, self);
    event_free(self);
    if (g_disc && send_present() != 0) LOGW("could not send I am present packet");
}

void cancel_present_shots(void) {
    for (GSList *it = g_present_shots; it; it = it->next) event_free((struct event *)it->data);
    g_slist_free(g_present_shots);
    g_present_shots = nullptr;
}

void presence_tick(void) {
    if (g_disc->state == S_DEVICE_REGISTERED)
        find_leader();
    else
        device_present_start();
}

int device_present_start(void) {
    LOGD("device_present_start");
    if (start_timer(kPresenceCycleSeconds, presence_tick) < 0) {
        LOGW("WARN! could not start notify timer");
        return -1;
    }
    static const long kOffsetsUs[3] = {0, 100000, 200000};
    for (long us : kOffsetsUs) {
        struct event *ev = event_new(g_disc->event_base, -1, 0, present_shot_fired, event_self_cbarg());
        if (!ev) BRX_OOM_EXIT("Cannot create timer");
        struct timeval tv = {0, us};
        if (event_add(ev, &tv) < 0) {
            event_free(ev);
            continue;
        }
        GSList *list = g_slist_append(g_present_shots, ev);
        if (!list) BRX_OOM_EXIT("present timer list");
        g_present_shots = list;
    }
    return 0;
}

void alive_tick(void) {
    LOGT("Alive callback");
    if (g_disc->net_id || g_disc->device_id) {
        send_alive();
        return;
    }
    LOGD("Reseting whole discovery");
    stop_timer();
    reset_value(&g_disc->net_id, nullptr);
    reset_value(&g_disc->device_id, nullptr);
    reset_value(&g_disc->leader_id, nullptr);
    g_disc->state = S_NONE;
    device_present_start();
}

void send_alive(void) {
    if (g_disc->device_type == DEVICE_GW) {
        LOGD("I am gateway, will not send alive");
        return;
    }
    if (start_timer(kAliveSeconds, alive_tick) < 0) {
        LOGW("WARN! could not start notify timer");
        return;
    }
    if (g_disc->net_id && g_disc->device_id)
        send_packet(new_packet(PACKET_ALIVE), 0, g_disc->leader_ip, NETWORK_DISCOVERY_PORT);
    else
        LOGD("No network id or no device id, won't send alive");
}

/* ---- datagrams in ---- */

void handle_who_is_leader(uint32_t ip, uint16_t port) {
    char buf[INET_ADDRSTRLEN];
    LOGD("Handle who is leader from %s", ip_text(ip, buf, sizeof buf));
    if (g_disc->state == S_I_AM_LEADER) {
        LOGD("I am the leader, inform others");
        send_iamleader_to(ip, port);
        return;
    }
    if (g_disc->device_type != DEVICE_GW || g_disc->net_id) return;
    char *wps = g_state_instance ? db_get_sync(g_state_instance, "gateway:wps") : nullptr;
    LOGD("WPS button is %spushed", wps ? "" : "NOT ");
    if (!wps) return;
    free(wps);
    discovery_event_t ev = own_event(S_DEVICE_FOUND);
    ev.ip = g_disc->local_ip;
    ev.id = g_disc->device_id;
    ev.device_vendor = g_disc->device_vendor;
    ev.device_model = g_disc->device_model;
    ev.distinctive_code = g_disc->distinctive_code;
    if (deliver(&ev) == 0) send_iamleader_to(ip, port);
}

/* Member checks: a datagram lacking a member its type reads, or with one of the wrong type, is dropped. */
bool drop_member(const char *name) {
    LOGD("ignoring packet: member %s missing or of wrong type", name);
    return false;
}

bool get_text(const cJSON *root, const char *name, bool nullable, const char **out) {
    const cJSON *it = cJSON_GetObjectItemCaseSensitive(root, name);
    if (cJSON_IsString(it) && it->valuestring) {
        *out = it->valuestring;
        return true;
    }
    if (nullable && cJSON_IsNull(it)) {
        *out = nullptr;
        return true;
    }
    return drop_member(name);
}

/* An integral number within [lo, hi]. */
bool get_integer(const cJSON *root, const char *name, double lo, double hi, double *out) {
    const cJSON *it = cJSON_GetObjectItemCaseSensitive(root, name);
    if (!cJSON_IsNumber(it)) return drop_member(name);
    double v = it->valuedouble;
    if (!(v >= lo && v <= hi) || floor(v) != v) return drop_member(name);
    *out = v;
    return true;
}

void handle_present(const cJSON *root, uint32_t ip, uint16_t port, const char *id) {
    LOGD("PACKET_DEVICE_PRESENT received from id = %s", or_null_text(id));
    const char *mac, *vendor, *model, *preview;
    double type, code;
    if (!get_text(root, "hardware_addr", false, &mac) || !get_integer(root, "device_type", -2147483648.0, 2147483647.0, &type) ||
        !get_text(root, "device_vendor", false, &vendor) || !get_text(root, "device_model", false, &model) ||
        !get_integer(root, "dist_code", 0, 4294967295.0, &code) || !get_text(root, "preview_url", true, &preview))
        return;
    if (!g_hash_table_lookup(g_mac_map, mac)) {
        if (g_mac_map->nnodes >= kMacMapMax) {
            LOGW("MAC map full (%d entries), not keeping the address of %s", kMacMapMax, mac);
        } else {
            socket_value_t *v = (socket_value_t *)malloc(sizeof *v);
            char *key = strdup(mac);
            if (!v || !key) BRX_OOM_EXIT("mac map entry");
            v->ip = ip;
            v->port = port;
            g_hash_table_insert(g_mac_map, key, v);
        }
    }
    discovery_event_t ev;
    memset(&ev, 0, sizeof ev);
    ev.state = S_DEVICE_FOUND;
    ev.ip = ip;
    ev.id = id;
    int t = (int)type;
    ev.device_type = (t >= DEVICE_GW && t <= DEVICE_LIGHT) ? (device_t)t : DEVICE_NONE;
    ev.device_vendor = vendor;
    ev.device_model = model;
    ev.hardware_addr = mac;
    ev.distinctive_code = (uint32_t)code;
    ev.preview_url = preview;
    deliver(&ev);
}

void handle_i_am_leader(const cJSON *root, const char *id) {
    const char *leader_ip;
    double port;
    struct in_addr addr;
    if (!get_text(root, "leader_ip", false, &leader_ip) || !get_integer(root, "leader_redis_port", 1, 65535, &port))
        return;
    // A follower would otherwise point its Redis at a bogus address.
    if (inet_pton(AF_INET, leader_ip, &addr) != 1) {
        drop_member("leader_ip");
        return;
    }
    LOGD("i_am_leader_packet received");
    stop_timer();
    g_disc->state = S_LEADER_FOUND;
    g_disc->leader_ip = addr.s_addr;
    g_disc->leader_redis_port = (uint16_t)port;
    reset_value(&g_disc->leader_id, id);
    discovery_event_t ev = own_event(S_LEADER_FOUND);
    ev.ip = g_disc->leader_ip;
    ev.id = id;
    ev.redis_port = g_disc->leader_redis_port;
    if (deliver(&ev) == 0) send_alive();
}

void handle_alive(uint32_t ip, const char *id) {
    char buf[INET_ADDRSTRLEN];
    LOGT("handle_alive from id %s (remote ip: %s)", or_null_text(id), ip_text(ip, buf, sizeof buf));
    if (!id) return;
    discovery_event_t ev;
    memset(&ev, 0, sizeof ev);
    ev.state = S_DEVICE_ALIVE;
    ev.ip = ip;
    ev.id = id;
    deliver(&ev);
}

void handle_device_test(const cJSON *root) {
    const cJSON *cmd = cJSON_GetObjectItemCaseSensitive(root, "command");
    if (!cJSON_IsNull(cmd) && !(cJSON_IsString(cmd) && cmd->valuestring)) {
        drop_member("command");
        return;
    }
    LOGD("handle_device_test");
    if (cJSON_IsNull(cmd)) {
        LOGW("handle_device_test got null command");
        return;
    }
    discovery_event_t ev = own_event(S_DEVICE_TEST);
    ev.command = cmd->valuestring;
    deliver(&ev);
}

void dispatch(const cJSON *root, uint32_t ip, uint16_t port) {
    const cJSON *type = cJSON_GetObjectItemCaseSensitive(root, "packet_type");
    if (!cJSON_IsObject(root) || !type || !cJSON_GetObjectItemCaseSensitive(root, "network_id")) {
        LOGD("ignoring packet: packet_type or network_id is null");
        return;
    }
    const char *id = nullptr;
    if (!cJSON_IsNumber(type)) {
        drop_member("packet_type");
        return;
    }
    // "device_id" is read by the own-echo check (only with an id of our own) and by the leader and
    // alive handling; any other datagram may go without it.
    const bool id_needed =
        g_disc->device_id || type->valueint == PACKET_IAMLEADER || type->valueint == PACKET_ALIVE;
    if ((cJSON_GetObjectItemCaseSensitive(root, "device_id") || id_needed) && !get_text(root, "device_id", true, &id))
        return;
    if (g_disc->device_id && id && strcmp(id, g_disc->device_id) == 0) {
        LOGD("Received from myself");
        if (g_disc->local_ip == 0) g_disc->local_ip = ip;
        return;
    }
    // Our own broadcast, heard before we have a device id.
    const cJSON *mac = cJSON_GetObjectItemCaseSensitive(root, "hardware_addr");
    if (cJSON_IsString(mac) && mac->valuestring && g_disc->hardware_addr &&
        strcmp(mac->valuestring, g_disc->hardware_addr) == 0)
        return;
    switch (type->valueint) {
    case PACKET_DEVICE_PRESENT:
        handle_present(root, ip, port, id);
        break;
    case PACKET_WHOISLEADER:
        LOGD("PACKET_WHOISLEADER received");
        handle_who_is_leader(ip, port);
        break;
    case PACKET_IAMLEADER:
        LOGD("PACKET_IAMLEADER received");
        handle_i_am_leader(root, id);
        break;
    case PACKET_ALIVE:
        LOGT("PACKET_ALIVE received");
        handle_alive(ip, id);
        break;
    case PACKET_DEVICE_TEST:
        LOGD("PACKET_DEVICE_TEST received");
        handle_device_test(root);
        break;
    default:
        LOGD("undefined packet received");
        break;
    }
}

void packet_received(uint32_t ip, uint16_t port, const char *text, size_t, void *) {
    LOGT("packet_received");
    if (!g_disc) return;
    cJSON *root = cJSON_Parse(text);
    if (!root) {
        LOGD("Error in parsing message: %s", text);
        return;
    }
    if (g_dump_packets) LOGD("Received %s", text);
    dispatch(root, ip, port);
    cJSON_Delete(root);
}

void destroy_mac_map(void) {
    if (g_mac_map) g_hash_table_destroy(g_mac_map);
    g_mac_map = nullptr;
}

void stop_all(void) {
    stop_timer();
    cancel_present_shots();
    destroy_mac_map();
    network_layer_destroy();
}

}  // namespace

void reset_value(char **slot, const char *value) {
    char *copy = nullptr;
    if (value) {
        copy = strdup(value);
        if (!copy) BRX_OOM_EXIT("reset_value");
    }
    free(*slot);
    *slot = copy;
}

void discovery_setup_redis_instance(redis_instance_t *conf, redis_instance_t *state) {
    (void)conf;
    g_state_instance = state;
}

int discovery_init(config_t config) {
    if (g_disc) discovery_destory();
    discovery_t *d = (discovery_t *)calloc(1, sizeof *d);
    if (!d) BRX_OOM_EXIT("discovery");
    d->net_id = copy_or_null(config.net_id);
    d->state = S_NONE;
    d->device_id = copy_or_null(config.device_id);
    d->device_type = config.dev_type;
    d->device_vendor = copy_or_null(config.dev_vendor);
    d->device_model = copy_or_null(config.dev_model);
    d->hardware_addr = copy_or_null(config.hardware_addr);
    d->domain = kDomain;
    d->preview_url = copy_or_null(config.preview_url);
    struct in_addr a;
    if (config.ip_addr && inet_pton(AF_INET, config.ip_addr, &a) == 1) d->local_ip = a.s_addr;
    d->redis_port = config.redis_port;
    d->distinctive_code = config.dist_code;
    d->event_base = config.event_base;
    d->callback = config.callback;
    d->callback_arg = config.callback_arg;
    g_disc = d;
    char buf[INET_ADDRSTRLEN];
    LOGD("My ip address %s", ip_text(d->local_ip, buf, sizeof buf));
    return 0;
}

int discovery_start(void) {
    if (!g_disc) return -1;
    stop_all();
    g_mac_map = g_hash_table_new_full(g_str_hash, str_equal, free, free);
    if (!g_mac_map) BRX_OOM_EXIT("mac map");
    if (network_layer_init(g_disc->event_base, packet_received, nullptr) != NETWORK_OK) {
        LOGW("Cannot init network layer");
        destroy_mac_map();
        return -1;
    }
    g_dump_packets = cfg_get_dump_discovery_packets();
    if (g_disc->device_type == DEVICE_GW || g_disc->net_id) {
        find_leader();
        return 0;
    }
    return device_present_start() < 0 ? -1 : 0;
}

void discovery_stop(void) {
    LOGD("Stopping discovery");
    stop_all();
}

void discovery_destory(void) {
    stop_all();
    discovery_t *d = g_disc;
    if (!d) return;
    g_disc = nullptr;
    free(d->net_id);
    free(d->device_id);
    free(d->device_vendor);
    free(d->device_model);
    free(d->hardware_addr);
    free(d->preview_url);
    free(d->leader_id);
    free(d->dest_id);
    free(d);
}

void discovery_set_net_id(const char *net_id) {
    LOGD("Reset discovery net_id to %s", or_null_text(net_id));
    if (g_disc) reset_value(&g_disc->net_id, net_id);
}

void discovery_set_device_id(const char *device_id) {
    LOGD("Reset discovery device_id to %s", or_null_text(device_id));
    if (!g_disc) return;
    reset_value(&g_disc->device_id, device_id);
    if (g_disc->state == S_I_AM_LEADER) {
        LOGD("Reset discovery leader_id to %s", or_null_text(device_id));
        reset_value(&g_disc->leader_id, device_id);
    }
}

void discovery_send_iamleader(const char *mac) {
    LOGD("discovery_send_iamleader");
    if (!g_disc || !g_mac_map || !mac) return;
    socket_value_t *v = (socket_value_t *)g_hash_table_lookup(g_mac_map, mac);
    if (!v) return;
    socket_value_t to = *v;
    g_hash_table_remove(g_mac_map, mac);
    char buf[INET_ADDRSTRLEN];
    LOGD("discovery_send_iamleader will call handle_who_is_leader for %s:%u", ip_text(to.ip, buf, sizeof buf),
         (unsigned)to.port);
    handle_who_is_leader(to.ip, to.port);
}

void discovery_send_test(const char *mac, const char *command) {
    LOGD("discovery_send_test addr %s, command %s", or_null_text(mac), or_null_text(command));
    if (!g_disc || !g_mac_map || !mac) return;
    socket_value_t *v = (socket_value_t *)g_hash_table_lookup(g_mac_map, mac);
    if (!v) return;
    char buf[INET_ADDRSTRLEN];
    LOGD("discovery_send_test will send test for %s:%u", ip_text(v->ip, buf, sizeof buf), (unsigned)v->port);
    cJSON *p = new_packet(PACKET_DEVICE_TEST);
    if (command)
        add_text(p, "command", command);
    else
        BRX_CHECK_MEM(cJSON_AddNullToObject(p, "command"));
    send_packet(p, 0, v->ip, v->port);
}

void device_registered(void) {
    if (g_disc) g_disc->state = S_DEVICE_REGISTERED;
}

int leader_elected(void) {
    return g_disc && (g_disc->state == S_I_AM_LEADER || g_disc->state == S_LEADER_FOUND);
}

device_t device_string_to_type(const char *type) {
    if (!type) {
        LOGW("NULL type string given!");
        return DEVICE_NONE;
    }
    if (strcmp(type, "camera") == 0) return DEVICE_CAMERA;
    if (strcmp(type, "gateway") == 0) return DEVICE_GW;
    if (strcmp(type, "switch") == 0) return DEVICE_SWITCH;
    if (strcmp(type, "light") == 0) return DEVICE_LIGHT;
    return DEVICE_NONE;
}

const char *device_type_to_string(device_t type) {
    switch (type) {
    case DEVICE_GW:
        return "gateway";
    case DEVICE_CAMERA:
        return "camera";
    case DEVICE_SWITCH:
        return "switch";
    case DEVICE_LIGHT:
        return "light";
    default:
        return "none";
    }
}
