#include "src/lua_api/lua_network_api.h"

#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <lua.hpp>

#include "common/glib-mini/glib.h"
#include "common/logger/logger.h"
#include "src/lua_api/lua_state.h"
#include "src/luamem.h"
#include "src/md5.h"
#include "src/net_layer.h"

#define LOG_CATEGORY "lua-net"

namespace {

/* One script listener; the network layer knows it by rec.id. */
struct net_context_t {
    lua_cb_rec_t rec;
    int port;
};

struct event_base *net_base = nullptr;
GSList *net_list = nullptr; /* net_context_t *, of every state */

/* How long a search waits for the daemon's whole reply: the loop is blocked meanwhile. */
const int SSDP_REPLY_DEADLINE_MS = 1000;
/* Longest reply string taken; a longer announced length is garbage. */
const size_t SSDP_MAX_STRING = 4096;

/* The port argument truncated to an integer; -1 when it is no port number at all. */
long port_arg(lua_State *L) {
    lua_Number n = luaL_checknumber(L, 1);
    if (!(n > -1 && n < 65536)) return -1;
    return (long)n;
}

void free_record(net_context_t *c) {
    net_list = g_slist_remove(net_list, c);
    lua_state_unref(c->rec.L, c->rec.lua_arg);
    lua_state_unref(c->rec.L, c->rec.callback_index);
    free(c);
}

void stop_record(net_context_t *c) {
    network_stop_udp_broadcast_listener_with_arg((uint16_t)c->port, LUA_CB_TOKEN(c->rec.id));
    free_record(c);
}

/* ---- listeners ---- */

struct datagram {
    const char *ip;
    uint16_t port;
    const char *data;
    size_t len;
};

int push_datagram(lua_State *L, void *ud) {
    datagram *d = (datagram *)ud;
    lua_pushstring(L, d->ip);
    lua_pushinteger(L, d->port);
    lua_pushlstring(L, d->data ? d->data : "", d->data ? d->len : 0);
    return 3;
}

void packet_received(uint32_t ip, uint16_t port, const char *data, size_t len, void *token) {
    net_context_t *c = (net_context_t *)lua_cb_find(net_list, token);
    if (!c) {
        LOGD("packet_received ctx %p not in the list (already freed) or list is empty", token);
        return;
    }
    char ip_text[INET_ADDRSTRLEN] = "";
    struct in_addr a;
    a.s_addr = ip;
    inet_ntop(AF_INET, &a, ip_text, sizeof ip_text);
    LOGD("packet_received on port %d (from %s:%d)", c->port, ip_text, (int)port);
    datagram d = {ip_text, port, data, len};
    // The callback may stop this listener: c is not touched after it. Its state is closed only from
    // a fresh loop turn, so L outlives the call.
    lua_State *L = c->rec.L;
    lua_state_call_ref_in(LOG_CATEGORY, L, c->rec.callback_index, c->rec.lua_arg, 0, push_datagram, &d,
                          "packet_received");
    // Sampled only: a listener's state is never rebuilt from here.
    luamem_check(L);
}

/* listener_start(port, callback, arg): nothing, or false. */
int lua_listener_start(lua_State *L) {
    LOGD("Lua listener_start");
    long port = port_arg(L);
    // With the port alone there is no callback, not the port as one.
    if (lua_gettop(L) < 2) lua_settop(L, 3);
    if (port == 0) {
        LOGW("listener_start port is NULL");
        lua_pushboolean(L, 0);
        return 1;
    }
    if (port < 0) {
        LOGW("listener_start port %.14g is no port number", lua_tonumber(L, 1));
        lua_pushboolean(L, 0);
        return 1;
    }
    // From the top: the argument, then the callback.
    int arg_ref = luaL_ref(L, LUA_REGISTRYINDEX);
    int cb_ref = luaL_ref(L, LUA_REGISTRYINDEX);
    if (cb_ref == LUA_REFNIL) {
        LOGW("listener_start luaL_ref called for a nil value");
        lua_state_unref(L, arg_ref);
        lua_pushboolean(L, 0);
        return 1;
    }
    net_context_t *c = (net_context_t *)calloc(1, sizeof *c);
    if (!c) BRX_OOM_EXIT("net_context");
    c->rec.id = lua_cb_new_id();
    c->rec.L = lua_state_main(L);
    c->rec.callback_index = cb_ref;
    c->rec.lua_arg = arg_ref;
    c->port = (int)port;
    net_list = g_slist_append(net_list, c);
    if (network_start_udp_broadcast_listener(net_base, (uint16_t)port, packet_received, LUA_CB_TOKEN(c->rec.id)) < 0) {
        LOGW("listener_start cannot listen on port %ld", port);
        free_record(c);
        lua_pushboolean(L, 0);
        return 1;
    }
    return 0;
}

/* listener_stop(port): ends this state's first listener on the port. */
int lua_listener_stop(lua_State *L) {
    LOGD("Lua listener_stop");
    long port = port_arg(L);
    if (port == 0) LOGW("port is NULL");
    LOGD("Lua listener_stop port %ld", port);
    for (GSList *it = net_list; it; it = it->next) {
        net_context_t *c = (net_context_t *)it->data;
        if (c->rec.L == lua_state_main(L) && c->port == port) {
            stop_record(c);
            break;
        }
    }
    return 0;
}

/* The close routine's hook: a closing state's listeners end with it. */
void forget_state(lua_State *L) {
    GSList *mine = nullptr;
    for (GSList *it = net_list; it; it = it->next)
        if (((net_context_t *)it->data)->rec.L == L) mine = g_slist_append(mine, it->data);
    for (GSList *it = mine; it; it = it->next) {
        LOGD("listener on port %d of a closing state stopped", ((net_context_t *)it->data)->port);
        stop_record((net_context_t *)it->data);
    }
    g_slist_free(mine);
}

/* ---- SSDP daemon search ---- */

int64_t now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

/* Reads the daemon's reply before one deadline; the first failure is kept. */
struct reply_reader {
    int fd;
    int64_t deadline;
    const char *failure;
};

int read_exact(reply_reader *r, unsigned char *buf, size_t n) {
    size_t got = 0;
    while (got < n) {
        int64_t left = r->deadline - now_ms();
        if (left <= 0) {
            r->failure = "no complete reply in time";
            return -1;
        }
        struct pollfd p = {r->fd, POLLIN, 0};
        int ready = poll(&p, 1, (int)left);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) {
            r->failure = "poll failed";
            return -1;
        }
        if (ready == 0) continue;  // the deadline check above ends it
        ssize_t k = read(r->fd, buf + got, n - got);
        if (k > 0) {
            got += (size_t)k;
        } else if (k == 0) {
            r->failure = "connection closed mid-reply";
            return -1;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            r->failure = "read failed";
            return -1;
        }
    }
    return 0;
}

/* A length in the daemon's variable-length code (7-bit groups, most significant first). */
int read_length(reply_reader *r, size_t *len) {
    size_t v = 0;
    for (int i = 0; i < 5; i++) {
        unsigned char b;
        if (read_exact(r, &b, 1) < 0) return -1;
        v = (v << 7) | (b & 0x7f);
        if (!(b & 0x80)) {
            if (v > SSDP_MAX_STRING) break;
            *len = v;
            return 0;
        }
    }
    r->failure = "bad string length";
    return -1;
}

/* Appends n in the daemon's variable-length code. */
size_t put_length(unsigned char *out, size_t n) {
    size_t k = 0;
    if (n > 0x0fffffff) out[k++] = (unsigned char)(((n >> 28) & 0x7f) | 0x80);
    if (n > 0x1fffff) out[k++] = (unsigned char)(((n >> 21) & 0x7f) | 0x80);
    if (n > 0x3fff) out[k++] = (unsigned char)(((n >> 14) & 0x7f) | 0x80);
    if (n > 0x7f) out[k++] = (unsigned char)(((n >> 7) & 0x7f) | 0x80);
    out[k++] = (unsigned char)(n & 0x7f);
    return k;
}

/* type, the device's length, its bytes: one write. 0, or -1 (logged). */
int send_request(int fd, unsigned type, const char *device, size_t len) {
    unsigned char *req = (unsigned char *)malloc(len + 6);
    if (!req) BRX_OOM_EXIT("minissdpd request");
    size_t n = 0;
    req[n++] = (unsigned char)type;
    n += put_length(req + n, len);
    memcpy(req + n, device, len);
    n += len;
    ssize_t written = write(fd, req, n);
    free(req);
    if (written == (ssize_t)n) return 0;
    LOGW("minissdpd_search cannot send the request (written %zd of %zu)", written, n);
    return -1;
}

/* Adds location members keyed by the MD5 of the device's USN, as long as the reply goes on. */
void read_reply(int fd, cJSON *result) {
    reply_reader r = {fd, now_ms() + SSDP_REPLY_DEADLINE_MS, nullptr};
    unsigned char count;
    if (read_exact(&r, &count, 1) < 0) goto failed;
    for (unsigned dev = 0; dev < count; dev++) {
        char key[33] = "";
        char *location = nullptr;
        int matched = 0;
        for (int s = 0; s < 3; s++) {
            size_t len = 0;
            unsigned char buf[SSDP_MAX_STRING + 1];
            if (read_length(&r, &len) < 0 || read_exact(&r, buf, len) < 0) {
                free(location);
                goto failed;
            }
            buf[len] = '\0';
            if (memmem(buf, len, "http", 4)) {
                free(location);
                location = strdup((const char *)buf);
                if (!location) BRX_OOM_EXIT("location");
                matched++;
            } else if (memmem(buf, len, "uuid", 4)) {
                md5_hex(buf, len, key);
                matched++;
            }
        }
        if (matched == 2 && location && key[0]) {
            LOGD(" --- adding to json %s:%s", key, location);
            BRX_CHECK_MEM(cJSON_AddStringToObject(result, key, location));
        }
        free(location);
    }
    return;
failed:
    LOGW("minissdpd_search %s: result has the devices read so far", r.failure);
}

/* Drops what an earlier user of the daemon left unread. */
void drain(int fd) {
    char chunk[2048];
    while (read(fd, chunk, sizeof chunk) > 0) {
    }
}

int push_text(lua_State *L, void *ud) {
    lua_pushstring(L, (const char *)ud);
    return 1;
}

/* minissdpd_search(type, device): JSON text of {md5(USN): location}, or nothing. */
int lua_minissdpd_search(lua_State *L) {
    lua_Number t = luaL_checknumber(L, 1);
    unsigned type = (t >= 0 && t < 18446744073709551616.0) ? (unsigned)((uint64_t)t & 0xff) : 0;
    const int valid = type == 1 || type == 3;
    size_t device_len = 0;
    // Arguments are read before the socket exists: a Lua error must not leak it.
    const char *device = valid ? luaL_checklstring(L, 2, &device_len) : nullptr;

    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        LOGW("minissdpd_search Cannot create socket minissdpd on %s", MINISSDPD_SOCKET_PATH);
        return 0;
    }
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, MINISSDPD_SOCKET_PATH, sizeof addr.sun_path - 1);
    // Non-blocking: a daemon with a full backlog is refused at once instead of stalling the loop.
    if (connect(fd, (struct sockaddr *)&addr, sizeof addr) < 0) {
        LOGW("minissdpd_search Cannot connect minissdpd socket on %s", MINISSDPD_SOCKET_PATH);
        close(fd);
        return 0;
    }
    cJSON *result = cJSON_CreateObject();
    if (!result) BRX_OOM_EXIT("Cannot create JSON");
    drain(fd);
    if (!valid) {
        LOGW("First param must be 1 or 3");
        close(fd);
        cJSON_Delete(result);
        return 0;
    }
    LOGD("Lua minissdpd_search device %s", device);
    if (send_request(fd, type, device, device_len) == 0) read_reply(fd, result);
    LOGD("minissdpd_search end");
    close(fd);
    char *text = cJSON_PrintUnformatted(result);
    cJSON_Delete(result);
    if (!text) BRX_OOM_EXIT("result");
    lua_state_push_then_release(L, push_text, text, cJSON_free);
    return 1;
}

/* ---- digest ---- */

int lua_str_to_md5(lua_State *L) {
    size_t len = 0;
    const char *s = luaL_checklstring(L, 1, &len);
    char hex[33];
    md5_hex(s, len, hex);
    lua_pushstring(L, hex);
    return 1;
}

const luaL_Reg network_funcs[] = {
    {"listener_start", lua_listener_start},
    {"listener_stop", lua_listener_stop},
    {"minissdpd_search", lua_minissdpd_search},
    {"str_to_md5", lua_str_to_md5},
    {nullptr, nullptr},
};

}  // namespace

int luanetwork_set_event_base(struct event_base *base) {
    net_base = base;
    return 0;
}

int open_luanetwork(lua_State *L) {
    lua_state_add_forget_hook(forget_state);
    luaL_register(L, "network", network_funcs);
    return 1;
}
