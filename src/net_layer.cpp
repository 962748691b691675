#include "src/net_layer.h"

#include <arpa/inet.h>
#include <errno.h>
#include <event2/event.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/glib-mini/glib.h"
#include "common/logger/logger.h"

#define LOG_CATEGORY "net_layer"

namespace {

network_layer_t *g_network = nullptr;
GSList *g_listeners = nullptr; /* network_layer_t *, in order of starting */

void close_fd(int *fd) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

void read_datagram(evutil_socket_t fd, short what, void *arg) {
    (void)what;
    network_layer_t *nl = (network_layer_t *)arg;
    char buffer[NETWORK_MAX_DATAGRAM + 1];
    struct sockaddr_in src;
    socklen_t src_len = sizeof src;
    memset(&src, 0, sizeof src);
    ssize_t n = recvfrom(fd, buffer, NETWORK_MAX_DATAGRAM, MSG_DONTWAIT, (struct sockaddr *)&src, &src_len);
    if (n <= 0) return;
    buffer[n] = '\0';
    // The callback may close this endpoint: nl is not touched after it.
    if (nl->callback) nl->callback(src.sin_addr.s_addr, ntohs(src.sin_port), buffer, (size_t)n, nl->callback_arg);
}

/* Binds fd to 0.0.0.0:port, able to broadcast; -1 (logged) when it cannot. */
int open_bound_socket(int fd, uint16_t port) {
    LOGI("Start listen on address %s:%d", "0.0.0.0", (int)port);
    int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0) {
        LOGE("setsockopt(SO_REUSEADDR) failed");
        return -1;
    }
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    if (bind(fd, (struct sockaddr *)&addr, sizeof addr) < 0) {
        LOGE("bind failed");
        return -1;
    }
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    return 0;
}

/* A new endpoint without sockets (out of memory ends the process with oom). */
network_layer_t *new_endpoint(struct event_base *event_base, uint16_t port, network_callback_t callback,
                              void *callback_arg, const char *oom) {
    network_layer_t *nl = (network_layer_t *)calloc(1, sizeof *nl);
    if (!nl) BRX_OOM_EXIT(oom);
    nl->event_base = event_base;
    nl->fd_unicast = -1;
    nl->fd_multicast = -1;
    nl->port = port;
    nl->callback = callback;
    nl->callback_arg = callback_arg;
    return nl;
}

/* fd_multicast bound to 0.0.0.0:<nl->port> and watched; -1 (logged) when it cannot be. */
int start_receiving(network_layer_t *nl, const char *oom) {
    nl->fd_multicast = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (nl->fd_multicast < 0) {
        LOGE("socket multicast failed");
        return -1;
    }
    if (open_bound_socket(nl->fd_multicast, nl->port) < 0) return -1;
    nl->watcher_event = event_new(nl->event_base, nl->fd_multicast, EV_READ | EV_PERSIST, read_datagram, nl);
    if (!nl->watcher_event) BRX_OOM_EXIT(oom);
    return event_add(nl->watcher_event, nullptr) < 0 ? -1 : 0;
}

int send_bytes(int fd, uint32_t ip, uint16_t port, const char *buffer, size_t length, int unicast) {
    struct sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = ip;
    to.sin_port = htons(port);
    ssize_t written = sendto(fd, buffer, length, MSG_DONTWAIT, (struct sockaddr *)&to, sizeof to);
    if (written < 0 || (size_t)written < length) {
        LOGW("Error send_bytes (errno %d) buffer '%.*s',\nlength %d (written %d)\n socket %s", errno, (int)length,
             buffer, (int)length, (int)written, unicast ? "unicast" : "multicast/broadcast");
    }
    return NETWORK_OK;
}

void free_endpoint(network_layer_t *nl) {
    if (nl->watcher_event) event_free(nl->watcher_event);
    close_fd(&nl->fd_unicast);
    close_fd(&nl->fd_multicast);
    free(nl);
}

/* Stops the first started listener on port (with that callback_arg when match_arg); 0, or -1 when none. */
int stop_listener(uint16_t port, int match_arg, void *callback_arg) {
    for (GSList *it = g_listeners; it; it = it->next) {
        network_layer_t *nl = (network_layer_t *)it->data;
        if (nl->port != port || (match_arg && nl->callback_arg != callback_arg)) continue;
        g_listeners = g_slist_remove(g_listeners, nl);
        free_endpoint(nl);
        return 0;
    }
    return -1;
}

}  // namespace

network_state_t network_layer_init(struct event_base *event_base, network_callback_t callback, void *callback_arg) {
    if (g_network) {
        LOGW("network layer already started");
        return NETWORK_E_NO_STARTED;
    }
    network_layer_t *nl = new_endpoint(event_base, NETWORK_DISCOVERY_PORT, callback, callback_arg, "g_network");
    nl->fd_unicast = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (nl->fd_unicast < 0) {
        LOGE("socket unicast failed");
        free_endpoint(nl);
        return NETWORK_E_NO_STARTED;
    }
    if (start_receiving(nl, "g_network->watcher_event") < 0) {
        free_endpoint(nl);
        return NETWORK_E_NO_STARTED;
    }
    g_network = nl;
    return NETWORK_OK;
}

void network_layer_destroy(void) {
    if (!g_network) return;
    network_layer_t *nl = g_network;
    g_network = nullptr;
    free_endpoint(nl);
}

int network_send_broadcast(const char *buffer, size_t length) {
    if (!g_network) return NETWORK_E_NO_INIT;
    return send_bytes(g_network->fd_multicast, htonl(INADDR_BROADCAST), NETWORK_DISCOVERY_PORT, buffer, length, 0);
}

int network_send_to_host(uint32_t ip, uint16_t port, const char *buffer, size_t length) {
    if (!g_network) return NETWORK_E_NO_INIT;
    // A peer whose address is still unknown (0.0.0.0) is reached by broadcast.
    if (ip == 0) return network_send_broadcast(buffer, length);
    return send_bytes(g_network->fd_unicast, ip, port, buffer, length, 1);
}

int network_start_udp_broadcast_listener(struct event_base *event_base, uint16_t port, network_callback_t callback,
                                         void *callback_arg) {
    LOGD("network_start_udp_broadcast_listener port %d", (int)port);
    network_layer_t *nl = new_endpoint(event_base, port, callback, callback_arg, "cannot create local network layer");
    if (start_receiving(nl, "local_listener->watcher_event") < 0) {
        free_endpoint(nl);
        return -1;
    }
    GSList *list = g_slist_append(g_listeners, nl);
    if (!list) BRX_OOM_EXIT("cannot create local network layer");
    g_listeners = list;
    return 0;
}

int network_stop_udp_broadcast_listener(uint16_t port) {
    LOGI("network_stop_udp_broadcast_listener port %d", (int)port);
    stop_listener(port, 0, nullptr);
    return 0;
}

int network_stop_udp_broadcast_listener_with_arg(uint16_t port, void *callback_arg) {
    LOGI("network_stop_udp_broadcast_listener port %d", (int)port);
    return stop_listener(port, 1, callback_arg);
}
