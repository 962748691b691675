#ifndef BRX_SRC_NET_LAYER_H
#define BRX_SRC_NET_LAYER_H

/*
 * The engine's UDP sockets on the event loop: the one discovery endpoint on port 4002
 * (broadcast send and receive, unicast send) and the generic listeners of the script
 * network module. Loop thread only.
 */

#include <stddef.h>
#include <stdint.h>

struct event_base;
struct event;

#define NETWORK_DISCOVERY_PORT 4002
/* Longest datagram handed on; longer ones are cut to this. */
#define NETWORK_MAX_DATAGRAM 2048

/*
 * (source ip in network byte order, source port in host order, buffer, length, arg). The buffer
 * holds the datagram's length bytes (NULs among them possible) and a NUL after them; it is valid
 * only during the call.
 */
typedef void (*network_callback_t)(uint32_t ip, uint16_t port, const char *buffer, size_t length,
                                   void *callback_arg);

typedef struct network_layer {
    struct event_base *event_base;
    struct event *watcher_event;
    int fd_unicast;   /* never bound: the system picks the source port */
    int fd_multicast; /* bound to 0.0.0.0:<port> */
    uint32_t local_ip;
    uint16_t port;
    network_callback_t callback;
    void *callback_arg;
} network_layer_t;

typedef enum network_state {
    NETWORK_OK = 0,
    NETWORK_E_NO_INIT = 1,
    NETWORK_E_NO_STARTED = 2,
} network_state_t;

/* The discovery endpoint; at most one at a time. NETWORK_OK, or NETWORK_E_NO_STARTED with nothing left open. */
network_state_t network_layer_init(struct event_base *event_base, network_callback_t callback, void *callback_arg);
/* Nothing when there is no endpoint. */
void network_layer_destroy(void);

/*
 * To 255.255.255.255:4002 from the bound socket. Failed sends are only logged: the result is
 * NETWORK_OK, or NETWORK_E_NO_INIT when there is no endpoint.
 */
int network_send_broadcast(const char *buffer, size_t length);
/* ip in network order, port in host order, from the unbound socket; ip 0 is sent as a broadcast. */
int network_send_to_host(uint32_t ip, uint16_t port, const char *buffer, size_t length);

/* A listener bound to 0.0.0.0:port; several may share a port. 0, or -1 with nothing left open. */
int network_start_udp_broadcast_listener(struct event_base *event_base, uint16_t port, network_callback_t callback,
                                         void *callback_arg);
/* Stops the first started listener on that port, if any; always 0. */
int network_stop_udp_broadcast_listener(uint16_t port);
/* Stops the first started listener on that port whose callback_arg is this one: 0, or -1 when there is none. */
int network_stop_udp_broadcast_listener_with_arg(uint16_t port, void *callback_arg);

#endif
