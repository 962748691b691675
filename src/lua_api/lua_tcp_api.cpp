#include "src/lua_api/lua_tcp_api.h"

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <math.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include <lua.hpp>

#include "common/glib-mini/glib.h"
#include "common/glib-mini/gsource.h"
#include "common/logger/logger.h"
#include "src/helpers.h"
#include "src/lua_api/lua_state.h"

#define LOG_CATEGORY "lua_tcp"

namespace {

const char *const HANDLE_META = "brx.tcp.handle";

/* One connection; the script's handle is the userdata that holds it. */
struct tcp_context_t {
    lua_cb_rec_t rec;  /* lua_arg: the reference of the state argument */
    struct bufferevent *bev;
    int handle_ref;    /* keeps the userdata alive while the connection is open */
    int ended;         /* ERROR is being delivered */
};

struct event_base *tcp_base = nullptr;
lua_cb_registry_t tcp_records = {};

struct event_base *current_base() { return tcp_base ? tcp_base : main_base_get(); }

bool listed(const tcp_context_t *c) { return lua_cb_registry_has(&tcp_records, c); }

/* Closes the connection and lets the userdata go; the callback is not called. */
void close_context(tcp_context_t *c) {
    if (!listed(c)) {
        LOGW("LUA cleanup_context ctx %p not in the list (already freed) or list is empty", (void *)c);
        return;
    }
    lua_cb_registry_remove(&tcp_records, c);
    lua_State *L = c->rec.L;
    lua_state_unref(L, c->rec.callback_index);
    lua_state_unref(L, c->rec.lua_arg);
    c->rec.callback_index = LUA_NOREF;
    c->rec.lua_arg = LUA_NOREF;
    if (c->bev) bufferevent_free(c->bev);
    c->bev = nullptr;
    int anchor = c->handle_ref;
    c->handle_ref = LUA_NOREF;
    LOGT("tcp context cleaned up");
    // Last: from here on the userdata may be collected.
    lua_state_unref(L, anchor);
}

void close_records_of(lua_State *L) {
    GSList *mine = lua_cb_registry_of_state(&tcp_records, L);
    for (GSList *it = mine; it; it = it->next) close_context((tcp_context_t *)it->data);
    g_slist_free(mine);
}

/* ---- calling the script ---- */

struct event_values {
    const char *event;
    const char *detail;
};

int push_event(lua_State *L, void *ud) {
    event_values *v = (event_values *)ud;
    lua_pushstring(L, v->event);
    lua_pushstring(L, v->detail);
    return 2;
}

struct data_values {
    struct evbuffer *input;
    size_t len;
    int taken;
};

/* The record leaves the input only once it is a string of the state. */
int push_data(lua_State *L, void *ud) {
    data_values *d = (data_values *)ud;
    lua_pushliteral(L, "DATA");
    const unsigned char *bytes = evbuffer_pullup(d->input, (ev_ssize_t)d->len);
    if (!bytes) BRX_OOM_EXIT("No memory for tcp record");
    lua_pushlstring(L, (const char *)bytes, d->len);
    evbuffer_drain(d->input, d->len);
    d->taken = 1;
    return 2;
}

void call_script(tcp_context_t *c, lua_state_fn push, void *ud) {
    lua_state_call_ref_in(LOG_CATEGORY, c->rec.L, c->rec.callback_index, LUA_REFNIL, 0, push, ud, "luatcp_callback");
}

/* ERROR once, then the module closes the connection (unless the script already did). */
void end_connection(tcp_context_t *c, const char *reason) {
    uintptr_t id = c->rec.id;
    c->ended = 1;
    event_values v = {"ERROR", reason};
    call_script(c, push_event, &v);
    tcp_context_t *left = (tcp_context_t *)lua_cb_registry_find(&tcp_records, LUA_CB_TOKEN(id));
    if (left) close_context(left);
}

/* ---- the record cut ---- */

/* Length of the record that ends in [p, p + n) after `before` bytes scanned, or 0; carries the scan state. */
size_t scan(const char *p, size_t n, size_t before, int *depth, bool *in_string) {
    for (size_t i = 0; i < n; i++) {
        const char ch = p[i];
        if (ch == '"') *in_string = !*in_string;
        if (*in_string) continue;
        if (ch == '{') {
            ++*depth;
            continue;
        }
        if (ch == '}') --*depth;
        if (*depth == 0) return before + i + 1;
    }
    return 0;
}

size_t record_length(struct evbuffer *input) {
    const size_t avail = evbuffer_get_length(input);
    if (avail < 2) return 0;
    const size_t window = avail < LUATCP_RECORD_WINDOW ? avail : LUATCP_RECORD_WINDOW;

    // The window is looked at where it lies in the buffer, never copied.
    struct evbuffer_iovec stack_vec[16];
    struct evbuffer_iovec *vec = stack_vec;
    int n = evbuffer_peek(input, (ev_ssize_t)window, nullptr, nullptr, 0);
    if (n > 16) {
        vec = (struct evbuffer_iovec *)malloc((size_t)n * sizeof(*vec));
        if (!vec) BRX_OOM_EXIT("No memory for tcp window");
    }
    n = evbuffer_peek(input, (ev_ssize_t)window, nullptr, vec, n);
    if (n > 0) {
        int shown = vec[0].iov_len < 1000 ? (int)vec[0].iov_len : 1000;
        LOGD("get_single_notification: (%d) '%.*s'", (int)window, shown, (const char *)vec[0].iov_base);
    }

    int depth = 0;
    bool in_string = false;
    size_t scanned = 0, len = 0;
    for (int i = 0; i < n && scanned < window && len == 0; i++) {
        size_t part = vec[i].iov_len < window - scanned ? vec[i].iov_len : window - scanned;
        len = scan((const char *)vec[i].iov_base, part, scanned, &depth, &in_string);
        scanned += part;
    }
    if (vec != stack_vec) free(vec);
    if (len == 0)
        LOGD("get_single_notification: size: -1");
    else
        LOGD("get_single_notification: size: %d", (int)len);
    return len;
}

/* ---- connection events ---- */

void read_cb(struct bufferevent *bev, void *token) {
    LOGD("Luatcp: readcb");
    tcp_context_t *c = (tcp_context_t *)lua_cb_registry_find(&tcp_records, token);
    if (!c) {
        LOGW("LUA readcb ctx %p not in the list (already freed) or list is empty", token);
        return;
    }
    struct evbuffer *input = bufferevent_get_input(bev);
    while (evbuffer_get_length(input) != 0) {
        size_t len = record_length(input);
        if (len == 0) {
            if (evbuffer_get_length(input) < LUATCP_RECORD_WINDOW) {
                LOGW("Luatcp: record not complete");
                return;
            }
            // Nothing can end it any more: the input would only grow.
            LOGW("Luatcp: record too long");
            end_connection(c, "error");
            return;
        }
        data_values d = {input, len, 0};
        call_script(c, push_data, &d);
        // Closed inside DATA (the buffered rest went with it), or the state could not take the record.
        c = (tcp_context_t *)lua_cb_registry_find(&tcp_records, token);
        if (!c || !d.taken) return;
    }
}

void event_cb(struct bufferevent *bev, short events, void *token) {
    tcp_context_t *c = (tcp_context_t *)lua_cb_registry_find(&tcp_records, token);
    if (!c) return;
    if (events & BEV_EVENT_CONNECTED) {
        LOGD("Connected\n");
        int one = 1;
        setsockopt(bufferevent_getfd(bev), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        bufferevent_enable(bev, EV_READ);
        event_values v = {"CONNECTED", "none"};
        call_script(c, push_event, &v);
        return;
    }
    const char *reason = "none";
    if (events & BEV_EVENT_EOF) {
        LOGW("Disconnected from the remote host");
        reason = "eof";
    } else if (events & BEV_EVENT_ERROR) {
        LOGW("Network error");
        reason = "error";
    } else if (events & BEV_EVENT_TIMEOUT) {
        LOGW("Timeout");
        reason = "timeout";
    }
    end_connection(c, reason);
}

/* ---- script functions ---- */

int push_false(lua_State *L) {
    lua_pushboolean(L, 0);
    return 1;
}

/* Argument 1 when it is a connection handle of this module. */
tcp_context_t *handle_arg(lua_State *L) {
    void *p = lua_touserdata(L, 1);
    if (!p || !lua_getmetatable(L, 1)) return nullptr;
    luaL_getmetatable(L, HANDLE_META);
    const int same = lua_rawequal(L, -1, -2);
    lua_pop(L, 2);
    return same ? (tcp_context_t *)p : nullptr;
}

int lua_tcp_open(lua_State *L) {
    LOGD("luatcp_open");
    const char *address = luaL_checkstring(L, 1);
    LOGT("address: %s", address);
    const double port_value = trunc(lua_tonumber(L, 2));
    if (!(port_value >= 1 && port_value <= 65535)) {
        LOGW("port is NULL");
        return push_false(L);
    }
    const int port = (int)port_value;
    LOGT("port: %d", port);

    // The callback is the last argument, the state the one before it.
    const int cb_index = lua_gettop(L);
    const int state_index = cb_index - 1;
    if (lua_isnil(L, cb_index)) {
        LOGW("luaL_ref called for a nil value");
        return push_false(L);
    }
    if (state_index < 1 || lua_isnil(L, state_index)) {
        LOGW("luaL_ref called for a nil value (state)");
        return push_false(L);
    }

    tcp_context_t *c = (tcp_context_t *)lua_newuserdata(L, sizeof(*c));
    memset(c, 0, sizeof(*c));
    c->rec.callback_index = LUA_NOREF;
    c->rec.lua_arg = LUA_NOREF;
    c->handle_ref = LUA_NOREF;
    luaL_getmetatable(L, HANDLE_META);
    lua_setmetatable(L, -2);
    lua_pushvalue(L, -1);
    c->handle_ref = luaL_ref(L, LUA_REGISTRYINDEX);
    lua_pushvalue(L, cb_index);
    c->rec.callback_index = luaL_ref(L, LUA_REGISTRYINDEX);
    lua_pushvalue(L, state_index);
    c->rec.lua_arg = luaL_ref(L, LUA_REGISTRYINDEX);
    c->rec.id = lua_cb_new_id();
    c->rec.L = lua_state_main(L);

    c->bev = bufferevent_socket_new(current_base(), -1, BEV_OPT_CLOSE_ON_FREE | BEV_OPT_DEFER_CALLBACKS);
    if (!c->bev) BRX_OOM_EXIT("No memory for tcp connection");
    lua_cb_registry_add(&tcp_records, c);
    bufferevent_setcb(c->bev, read_cb, nullptr, event_cb, LUA_CB_TOKEN(c->rec.id));
    bufferevent_enable(c->bev, EV_WRITE);
    // Deferred callbacks: a name that cannot be resolved is reported after open has returned.
    if (bufferevent_socket_connect_hostname(c->bev, nullptr, AF_UNSPEC, address, port) != 0) {
        LOGW("Cannot connect to %s:%d", address, port);
        close_context(c);
        return push_false(L);
    }
    set_cloexec(bufferevent_getfd(c->bev));
    return 1;
}

int lua_tcp_send(lua_State *L) {
    tcp_context_t *c = handle_arg(L);
    if (!c) {
        LOGW("tcp ctx is NULL");
        return push_false(L);
    }
    size_t len = 0;
    const char *data = luaL_checklstring(L, 2, &len);
    if (!listed(c) || c->ended || !c->bev) return push_false(L);
    if (bufferevent_write(c->bev, data, len) != 0) return push_false(L);
    bufferevent_flush(c->bev, EV_WRITE, BEV_FLUSH);
    lua_pushboolean(L, 1);
    return 1;
}

int lua_tcp_close(lua_State *L) {
    LOGD("luatcp_close");
    tcp_context_t *c = handle_arg(L);
    if (c) close_context(c);
    LOGD("Lua tcp connection stopped");
    return 0;
}

const luaL_Reg tcp_funcs[] = {
    {"open", lua_tcp_open},
    {"close", lua_tcp_close},
    {"send", lua_tcp_send},
    {nullptr, nullptr},
};

}  // namespace

int luatcp_set_event_base(struct event_base *base) {
    tcp_base = base;
    return 0;
}

int open_luatcp(lua_State *L) {
    lua_state_add_forget_hook(close_records_of);
    luaL_newmetatable(L, HANDLE_META);
    lua_pop(L, 1);
    luaL_register(L, "tcp", tcp_funcs);
    return 1;
}

void cleanup_tcp(lua_State *L) {
    close_records_of(L);
    LOGD("All lua tcp connection closed");
}
