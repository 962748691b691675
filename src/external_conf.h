#ifndef BRX_SRC_EXTERNAL_CONF_H
#define BRX_SRC_EXTERNAL_CONF_H

/*
 * Blocking reads of the gateway's provisioning: the HA-ID, the application-server address and the
 * gateway client's connection. The waits sleep on the calling thread and give up only when the
 * process is asked to stop.
 */

/* The HA-ID (at least 12 characters), waited for; NULL only when a stop was requested. Caller frees. */
char *ext_get_haid(void);
/* The application-server base URL, read anew at every call, or NULL. Caller frees. */
char *ext_get_server_url(void);
/* The application-server base URL read anew, joined whole with path ("/device", "/ld/<id>"...), or NULL
 * when the base is missing. Caller frees. */
char *ext_server_url(const char *path);
/* 1 when the gateway client reports a connection. */
int ext_get_connection(void);
/* Waits until the gateway client is connected: 1, or 0 when a stop was requested. */
int wait_for_connection(void);

#endif
