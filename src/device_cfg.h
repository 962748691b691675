#ifndef BRX_SRC_DEVICE_CFG_H
#define BRX_SRC_DEVICE_CFG_H

#include <stdint.h>

/* Loads the configuration file; 0, or -1 when it cannot be loaded. */
int cfg_setup_from_file(const char *path);

/* Text setters keep a copy; NULL leaves the setting NULL. */
void cfg_set_type(const char *value);
void cfg_set_vendor_name(const char *value);
void cfg_set_model_name(const char *value);
void cfg_set_ipv4(const char *value);
void cfg_set_prewiev_url(const char *value);
void cfg_set_scripts_dir(const char *value);
void cfg_set_default_driver_name(const char *value);
void cfg_set_redis_socket_path(const char *value);
void cfg_set_local_db_file_path(const char *value);
void cfg_set_config_file_path(const char *value);
void cfg_set_ca_cert_path(const char *value);
void cfg_set_upgrade_public_path(const char *value);
void cfg_set_upgrade_verify_path(const char *value);
void cfg_set_upgrade_cmd(const char *value);
void cfg_set_prepare_upgrade_cmd(const char *value);
void cfg_set_history_path(const char *value);
void cfg_set_bind_mcast_if(const char *value);
void cfg_set_download_base(const char *value);
void cfg_set_server_url(const char *value);
void cfg_set_mac_str(const char *mac_str);
void cfg_set_mac(const uint8_t mac[6]);
void cfg_set_daemon(const char *value);
void cfg_set_use_port(int value);
void cfg_set_multicast_if(const char *value);

const char *cfg_get_type(void);
const char *cfg_get_vendor_name(void);
const char *cfg_get_model_name(void);
const char *cfg_get_mac_str(void);
const char *get_proper_mac_formatted(void);
const uint8_t *cfg_get_mac(void);
const char *cfg_get_ipv4(void);
const char *cfg_get_prewiev_url(void);
void cfg_get_auth_code(uint32_t *dest);
int cfg_get_redis_port(void);
const char *cfg_get_redis_socket_path(void);
int cfg_get_use_port(void);
const char *cfg_get_local_db_file_path(void);
const char *cfg_get_scripts_dir(void);
const char *cfg_get_default_driver_name(void);
const char *cfg_ca_cert_path(void);
const char *cfg_upgrade_public_path(void);
const char *cfg_upgrade_verify_path(void);
const char *cfg_get_upgrade_cmd(void);
const char *cfg_get_prepare_upgrade_cmd(void);
int cfg_get_upgrade_each_minutes(void);
int cfg_get_dump_discovery_packets(void);
int cfg_is_daemon(void);

uint8_t cfg_get_hash(void);
uint32_t cfg_get_max_buffer_size(void);
const char *cfg_get_server_addr(void);
uint16_t cfg_get_server_port(void);
const char *cfg_get_multicast_if(void);
const char *cfg_get_version_str(void);
uint8_t cfg_get_test_use_netid(void);
const char *cfg_get_server_url(void);
long cfg_get_history_length_days(void);
int cfg_get_history_write_period(void);
const char *cfg_get_history_path(void);
const char *cfg_get_bind_mcast_if(void);
const char *cfg_get_download_base(void);
const char *cfg_get_config_file_path(void);
void cfg_update_url(const char *url);
void cfg_reboot(void);
void cfg_force_upgrade(void);

#endif
