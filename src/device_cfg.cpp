#include "src/device_cfg.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "common/conffile/conffile.h"
#include "common/logger/logger.h"
#include "common/logger/logger_conffile.h"

#define LOG_CATEGORY "device_cfg"

namespace {

char *config_file_path = nullptr;
char *device_type = nullptr;
char *vendor_name = nullptr;
char *model_name = nullptr;
char mac_str[100] = "";
char mac_colon[18] = "";
uint8_t mac_bytes[6] = {0};
char *ipv4 = nullptr;
char *preview_url = nullptr;
char *scripts_dir = nullptr;
char *default_driver_name = nullptr;
char *redis_socket_path = nullptr;
int redis_port = 6379;
int use_port = 0;
char *local_db_file_path = nullptr;
uint32_t max_buffer_size = 4096;
uint8_t test_use_netid = 1;
char *server_host = nullptr;
uint16_t server_port = 7402;
long history_length_days = 60;
int history_write_period = 30;
char *history_path = nullptr;
int dump_discovery = 0;
int daemon_flag = -1;
char *server_url = nullptr;
char *ca_cert_path = nullptr;
char *upgrade_public_path = nullptr;
char *upgrade_verify_path = nullptr;
char *upgrade_cmd = nullptr;
char *prepare_upgrade_cmd = nullptr;
int upgrade_each_minutes = 0;
char *bind_mcast_if = nullptr;
char *multicast_if = nullptr;
char *download_base = nullptr;
uint8_t serial_hash = 0;
uint32_t auth_code = 0;
bool auth_code_set = false;

const uint32_t kMinBuf = 4096;
const uint32_t kMaxBuf = 1048576;

// Replaces *slot by a copy of value; a copy that cannot be made ends the process. The copy is made
// first: value may be the stored string itself (a getter's result handed back).
#define STORE_COPY(slot, value)               \
    do {                                      \
        char *copy_ = nullptr;                \
        if (value) {                          \
            copy_ = strdup(value);            \
            BRX_CHECK_MEM(copy_);             \
        }                                     \
        free(slot);                           \
        (slot) = copy_;                       \
    } while (0)

void apply_file(const ConfigFile *cf) {
    const char *v;
    if ((v = configFileValue(cf, "serial"))) {
        uint8_t sum = 0;
        for (const char *c = v; *c; c++) sum = (uint8_t)(sum + (*c - '0'));
        serial_hash = sum;
    }
    if ((v = configFileValue(cf, "scripts.dir"))) cfg_set_scripts_dir(v);
    if ((v = configFileValue(cf, "device.type"))) {
        if (device_type)
            LOGD("Device type already set to %s", device_type);
        else
            cfg_set_type(v);
    }
    if ((v = configFileValue(cf, "device.vendor"))) cfg_set_vendor_name(v);
    if ((v = configFileValue(cf, "device.model"))) cfg_set_model_name(v);
    if ((v = configFileValue(cf, "device.mac_addr")) && mac_str[0] == '\0') cfg_set_mac_str(v);
    if ((v = configFileValue(cf, "device.redis.socket_path"))) cfg_set_redis_socket_path(v);
    if ((v = configFileValue(cf, "device.redis.port"))) redis_port = atoi(v);
    if ((v = configFileValue(cf, "device.redis.use_port"))) use_port = atoi(v);
    if ((v = configFileValue(cf, "device.local_db.file"))) cfg_set_local_db_file_path(v);
    if ((v = configFileValue(cf, "device.discovery.max_buf"))) {
        uint32_t n = (uint32_t)atoi(v);
        if (n < kMinBuf) n = kMinBuf;
        if (n > kMaxBuf) n = kMaxBuf;
        max_buffer_size = n;
    }
    if ((v = configFileValue(cf, "scripts.default_driver"))) cfg_set_default_driver_name(v);
    if ((v = configFileValue(cf, "test.read_netid"))) test_use_netid = v[0] == '0' ? 0 : 1;
    if ((v = configFileValue(cf, "device.ipv4")) && !ipv4) cfg_set_ipv4(v);
    if ((v = configFileValue(cf, "server"))) {
        const char *colon = strchr(v, ':');
        size_t host_len = colon ? (size_t)(colon - v) : strlen(v);
        free(server_host);
        server_host = strndup(v, host_len);
        BRX_CHECK_MEM(server_host);
        server_port = colon ? (uint16_t)atoi(colon + 1) : 0;
    }
    if ((v = configFileValue(cf, "device.preview_url"))) cfg_set_prewiev_url(v);
    if ((v = configFileValue(cf, "history.length_days"))) sscanf(v, "%ld", &history_length_days);
    if ((v = configFileValue(cf, "history.write_period_sec"))) sscanf(v, "%d", &history_write_period);
    if ((v = configFileValue(cf, "history.path"))) cfg_set_history_path(v);
    if ((v = configFileValue(cf, "device.dump_discovery")) && v[0])
        dump_discovery = (strcmp(v, "yes") == 0 || strcmp(v, "YES") == 0) ? 1 : 0;
    if ((v = configFileValue(cf, "daemon"))) {
        if (daemon_flag != -1)
            LOGD("Is daemon (int) already set to %d", daemon_flag);
        else
            cfg_set_daemon(v);
    }
    if ((v = configFileValue(cf, "server_url"))) cfg_set_server_url(v);
    if ((v = configFileValue(cf, "ca_cert_path"))) cfg_set_ca_cert_path(v);
    if ((v = configFileValue(cf, "upgrade_pubkey_path"))) cfg_set_upgrade_public_path(v);
    if ((v = configFileValue(cf, "upgrade_verify_path"))) cfg_set_upgrade_verify_path(v);
    if ((v = configFileValue(cf, "upgrade_cmd"))) cfg_set_upgrade_cmd(v);
    if ((v = configFileValue(cf, "prepare_upgrade_cmd"))) cfg_set_prepare_upgrade_cmd(v);
    if ((v = configFileValue(cf, "check_upgrade_each.minutes")) && v[0]) sscanf(v, "%d", &upgrade_each_minutes);
    if ((v = configFileValue(cf, "device.bind_mcast.if"))) cfg_set_bind_mcast_if(v);
    if ((v = configFileValue(cf, "fw_download_base"))) cfg_set_download_base(v);
}

}  // namespace

int cfg_setup_from_file(const char *path) {
    cfg_set_config_file_path(path);
    ConfigFile *cf = configFileLoad(path);
    if (!cf) return -1;
    logger_conffile_init(cf);
    apply_file(cf);
    cfg_set_daemon("no");
    configFileFree(cf);
    return 0;
}

void cfg_set_type(const char *value) { STORE_COPY(device_type, value); }
void cfg_set_vendor_name(const char *value) { STORE_COPY(vendor_name, value); }
void cfg_set_model_name(const char *value) { STORE_COPY(model_name, value); }
void cfg_set_ipv4(const char *value) { STORE_COPY(ipv4, value); }
void cfg_set_prewiev_url(const char *value) { STORE_COPY(preview_url, value); }
void cfg_set_scripts_dir(const char *value) { STORE_COPY(scripts_dir, value); }
void cfg_set_default_driver_name(const char *value) { STORE_COPY(default_driver_name, value); }
void cfg_set_redis_socket_path(const char *value) { STORE_COPY(redis_socket_path, value); }
void cfg_set_local_db_file_path(const char *value) { STORE_COPY(local_db_file_path, value); }
void cfg_set_config_file_path(const char *value) { STORE_COPY(config_file_path, value); }
void cfg_set_ca_cert_path(const char *value) { STORE_COPY(ca_cert_path, value); }
void cfg_set_upgrade_public_path(const char *value) { STORE_COPY(upgrade_public_path, value); }
void cfg_set_upgrade_verify_path(const char *value) { STORE_COPY(upgrade_verify_path, value); }
void cfg_set_upgrade_cmd(const char *value) { STORE_COPY(upgrade_cmd, value); }
void cfg_set_prepare_upgrade_cmd(const char *value) { STORE_COPY(prepare_upgrade_cmd, value); }
void cfg_set_history_path(const char *value) { STORE_COPY(history_path, value); }
void cfg_set_download_base(const char *value) { STORE_COPY(download_base, value); }
void cfg_set_multicast_if(const char *value) { STORE_COPY(multicast_if, value); }

void cfg_set_bind_mcast_if(const char *value) {
    LOGD("Setting mcast ifname to %s", value ? value : "null");
    STORE_COPY(bind_mcast_if, value);
}

void cfg_set_server_url(const char *value) {
    if (!value) return;
    STORE_COPY(server_url, value);
}

void cfg_set_mac_str(const char *value) {
    if (!value) return;
    snprintf(mac_str, sizeof mac_str, "%s", value);
    // Shorter input has no colon form; never read past what was given.
    if (strlen(mac_str) < 12) {
        mac_colon[0] = '\0';
        return;
    }
    snprintf(mac_colon, sizeof mac_colon, "%c%c:%c%c:%c%c:%c%c:%c%c:%c%c", mac_str[0], mac_str[1], mac_str[2],
             mac_str[3], mac_str[4], mac_str[5], mac_str[6], mac_str[7], mac_str[8], mac_str[9], mac_str[10],
             mac_str[11]);
}

void cfg_set_mac(const uint8_t mac[6]) {
    if (mac) memcpy(mac_bytes, mac, sizeof mac_bytes);
}

void cfg_set_daemon(const char *value) {
    if (daemon_flag != -1 || !value) return;
    if (strcmp(value, "yes") == 0) {
        daemon_flag = 1;
        LOGD("Configuration set to run as daemon");
    } else {
        daemon_flag = 0;
    }
}

void cfg_set_use_port(int value) { use_port = value; }

const char *cfg_get_type(void) { return device_type; }
const char *cfg_get_vendor_name(void) { return vendor_name; }
const char *cfg_get_model_name(void) { return model_name; }
const char *cfg_get_mac_str(void) { return mac_str; }
const char *get_proper_mac_formatted(void) { return mac_colon; }
const uint8_t *cfg_get_mac(void) { return mac_bytes; }
const char *cfg_get_ipv4(void) { return ipv4; }
const char *cfg_get_prewiev_url(void) { return preview_url; }

void cfg_get_auth_code(uint32_t *dest) {
    if (!auth_code_set) {
        auth_code = (uint32_t)time(nullptr);
        auth_code_set = true;
    }
    if (dest) *dest = auth_code;
}

int cfg_get_redis_port(void) { return redis_port; }
const char *cfg_get_redis_socket_path(void) { return redis_socket_path; }
int cfg_get_use_port(void) { return use_port; }
const char *cfg_get_local_db_file_path(void) { return local_db_file_path; }
const char *cfg_get_scripts_dir(void) { return scripts_dir; }
const char *cfg_get_default_driver_name(void) { return default_driver_name; }
const char *cfg_ca_cert_path(void) { return ca_cert_path; }
const char *cfg_upgrade_public_path(void) { return upgrade_public_path; }
const char *cfg_upgrade_verify_path(void) { return upgrade_verify_path; }
const char *cfg_get_upgrade_cmd(void) { return upgrade_cmd; }
const char *cfg_get_prepare_upgrade_cmd(void) { return prepare_upgrade_cmd; }
int cfg_get_upgrade_each_minutes(void) { return upgrade_each_minutes; }
int cfg_get_dump_discovery_packets(void) { return dump_discovery; }
int cfg_is_daemon(void) { return daemon_flag; }

uint8_t cfg_get_hash(void) { return serial_hash; }
uint32_t cfg_get_max_buffer_size(void) { return max_buffer_size; }
const char *cfg_get_server_addr(void) { return server_host; }
uint16_t cfg_get_server_port(void) { return server_port; }
const char *cfg_get_multicast_if(void) { return multicast_if; }
const char *cfg_get_version_str(void) { return "1.0"; }
uint8_t cfg_get_test_use_netid(void) { return test_use_netid; }
const char *cfg_get_server_url(void) { return server_url; }
long cfg_get_history_length_days(void) { return history_length_days; }
int cfg_get_history_write_period(void) { return history_write_period; }
const char *cfg_get_history_path(void) { return history_path ? history_path : "."; }
const char *cfg_get_bind_mcast_if(void) { return bind_mcast_if; }
const char *cfg_get_download_base(void) { return download_base; }
const char *cfg_get_config_file_path(void) { return config_file_path; }
void cfg_update_url(const char *url) { cfg_set_server_url(url); }
void cfg_reboot(void) { exit(1); }
void cfg_force_upgrade(void) { exit(0); }
