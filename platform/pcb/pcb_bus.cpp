#include "platform/pcb/pcb_bus.h"

#include <cjson/cJSON.h>
#include <errno.h>
#include <inttypes.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/pcb/standin_proto.h"

using pcb_standin::LineBuffer;

/* ---- data ---- */

struct parameter {
    std::string name;
    variant_t value{};
    parameter *next = nullptr;
    ~parameter() { variant_cleanup(&value); }
};

struct object {
    std::string path;
    parameter *first = nullptr;
    ~object() {
        while (first) {
            parameter *n = first->next;
            delete first;
            first = n;
        }
    }
};

struct notification_parameter {
    std::string name;
    variant_t value{};
    notification_parameter *next = nullptr;
    ~notification_parameter() { variant_cleanup(&value); }
};

struct notification {
    uint32_t type = 0;
    bool has_name = false;
    std::string name;
    std::string path;
    notification_parameter *first = nullptr;
    ~notification() {
        while (first) {
            notification_parameter *n = first->next;
            delete first;
            first = n;
        }
    }
};

struct argument_value {
    std::string name;
    variant_t value{};
    struct argument_value *next = nullptr;
    ~argument_value() { variant_cleanup(&value); }
};

struct argument_value_list {
    struct argument_value *first = nullptr;
    ~argument_value_list() {
        while (first) {
            struct argument_value *n = first->next;
            delete first;
            first = n;
        }
    }
};

struct reply_item {
    reply_item_type_t type = reply_type_unknown;
    reply_item *next = nullptr;
    object obj;
    notification notif;
    bool has_return = false;
    variant_t ret{};
    argument_value_list args;
    uint32_t error = 0;
    std::string description;
    ~reply_item() { variant_cleanup(&ret); }
};

struct reply {
    reply_item *first = nullptr;
    reply_item *last = nullptr;
    uint32_t count = 0;
    void add(reply_item *item) {
        if (last)
            last->next = item;
        else
            first = item;
        last = item;
        count++;
    }
    ~reply() {
        while (first) {
            reply_item *n = first->next;
            delete first;
            first = n;
        }
    }
};

struct Argument {
    std::string name;
    variant_t value{};
};

struct request {
    bool execute = false;
    std::string path;
    std::string function;
    int32_t depth = -1;
    uint32_t attributes = 0;
    std::vector<Argument> args;
    request_replyItemHandler item_handler = nullptr;
    request_doneHandler done_handler = nullptr;
    void *data = nullptr;
    reply rep;
    pcb *owner = nullptr; /* set while it runs on a connection */
    uint64_t id = 0;
    bool sent = false;
    bool complete = false;
    ~request() {
        for (auto &a : args) variant_cleanup(&a.value);
    }
};

struct connection_info {
    llist_iterator_t it; /* first member: the iterator leads back to the connection */
    pcb *owner = nullptr;
};

struct peer_info {
    pcb *owner = nullptr;
    std::string socket;
    variant_t last{};
};

struct pcb {
    std::string name;
    bool key_notation = false;
    connection_info con;
    peer_info *peer = nullptr;
    int fd = -1;
    bool broken = false;
    short revents = 0;
    LineBuffer in;
    uint64_t next_id = 1;
    std::map<uint64_t, request *> running;
};

namespace {

std::atomic<bool> g_terminated{false};
std::mutex g_lib_mutex;
int g_wake_fd = -1; /* made once, kept for the process: a wake-up outlives the connections */

int wake_fd() {
    std::lock_guard<std::mutex> lock(g_lib_mutex);
    if (g_wake_fd < 0) g_wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return g_wake_fd;
}

pcb *pcb_of(llist_iterator_t *it) { return reinterpret_cast<connection_info *>(it)->owner; }

void close_fd(pcb *p) {
    if (p->fd >= 0) close(p->fd);
    p->fd = -1;
    p->in.clear();
}

bool send_hello(pcb *p) {
    cJSON *msg = cJSON_CreateObject();
    if (!msg) return false;
    cJSON_AddStringToObject(msg, "op", "hello");
    cJSON_AddStringToObject(msg, "name", p->name.c_str());
    cJSON_AddBoolToObject(msg, "key_notation", p->key_notation);
    bool ok = pcb_standin::send_json(p->fd, msg);
    cJSON_Delete(msg);
    return ok;
}

bool open_fd(pcb *p) {
    p->fd = pcb_standin::connect_unix(p->peer->socket);
    if (p->fd < 0) return false;
    p->broken = false;
    p->in.clear();
    if (!send_hello(p)) {
        close_fd(p);
        return false;
    }
    return true;
}

/* Hands an item to the request: its handler, or its reply. Returns false when the handler ended it. */
bool deliver(request *req, reply_item *item) {
    if (!req->item_handler) {
        req->rep.add(item);
        return true;
    }
    bool keep = req->item_handler(req, item, req->data);
    delete item;
    return keep;
}

void send_cancel(pcb *p, uint64_t id) {
    if (p->fd < 0 || p->broken) return;
    cJSON *msg = cJSON_CreateObject();
    if (!msg) return;
    cJSON_AddStringToObject(msg, "op", "cancel");
    cJSON_AddNumberToObject(msg, "id", (double)id);
    if (!pcb_standin::send_json(p->fd, msg)) p->broken = true;
    cJSON_Delete(msg);
}

void stop_running(request *req) {
    if (req->owner) {
        req->owner->running.erase(req->id);
        req->owner = nullptr;
    }
}

/* The reply of req ends in an error item and its done handler runs. */
void fail(request *req, uint32_t code, const char *description) {
    stop_running(req);
    if (req->complete) return;
    req->complete = true;
    reply_item *item = new (std::nothrow) reply_item;
    if (item) {
        item->type = reply_type_error;
        item->error = code;
        item->description = description;
        deliver(req, item);
    }
    if (req->done_handler) req->done_handler(req, req->data);
}

void fail_running(pcb *p, const char *why) {
    std::vector<request *> reqs;
    for (auto &kv : p->running) reqs.push_back(kv.second);
    for (request *r : reqs) {
        if (r->complete)
            stop_running(r);
        else
            fail(r, 0x10000001u, why);
    }
    p->running.clear();
}

bool fill_variant(variant_t *v, const cJSON *typed) {
    if (!pcb_standin::variant_from_json(v, typed)) {
        variant_initialize(v, variant_type_unknown);
        return false;
    }
    return true;
}

reply_item *parse_object(const cJSON *msg) {
    reply_item *item = new (std::nothrow) reply_item;
    if (!item) return nullptr;
    item->type = reply_type_object;
    const char *path = cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(msg, "path"));
    item->obj.path = path ? path : "";
    parameter **tail = &item->obj.first;
    const cJSON *p;
    cJSON_ArrayForEach(p, cJSON_GetObjectItemCaseSensitive(msg, "parameters")) {
        parameter *param = new (std::nothrow) parameter;
        if (!param) break;
        const char *name = cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(p, "name"));
        param->name = name ? name : "";
        fill_variant(&param->value, p);
        *tail = param;
        tail = &param->next;
    }
    return item;
}

reply_item *parse_notification(const cJSON *msg) {
    reply_item *item = new (std::nothrow) reply_item;
    if (!item) return nullptr;
    item->type = reply_type_notification;
    notification &n = item->notif;
    n.type = (uint32_t)cJSON_GetNumberValue(cJSON_GetObjectItemCaseSensitive(msg, "ntype"));
    const char *name = cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(msg, "name"));
    n.has_name = name != nullptr;
    n.name = name ? name : "";
    const char *path = cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(msg, "path"));
    n.path = path ? path : "";
    notification_parameter **tail = &n.first;
    const cJSON *p;
    cJSON_ArrayForEach(p, cJSON_GetObjectItemCaseSensitive(msg, "parameters")) {
        notification_parameter *np = new (std::nothrow) notification_parameter;
        if (!np) break;
        const char *pname = cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(p, "name"));
        np->name = pname ? pname : "";
        fill_variant(&np->value, p);
        *tail = np;
        tail = &np->next;
    }
    return item;
}

reply_item *parse_return(const cJSON *msg) {
    reply_item *item = new (std::nothrow) reply_item;
    if (!item) return nullptr;
    item->type = reply_type_function_return;
    const cJSON *ret = cJSON_GetObjectItemCaseSensitive(msg, "return");
    item->has_return = ret && fill_variant(&item->ret, ret);
    struct argument_value **tail = &item->args.first;
    const cJSON *a;
    cJSON_ArrayForEach(a, cJSON_GetObjectItemCaseSensitive(msg, "arguments")) {
        struct argument_value *av = new (std::nothrow) struct argument_value;
        if (!av) break;
        const char *name = cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(a, "name"));
        av->name = name ? name : "";
        fill_variant(&av->value, a);
        *tail = av;
        tail = &av->next;
    }
    return item;
}

void dispatch(pcb *p, const std::string &line) {
    cJSON *msg = cJSON_Parse(line.c_str());
    if (!msg) return;
    const cJSON *id = cJSON_GetObjectItemCaseSensitive(msg, "id");
    const char *type = cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(msg, "kind"));
    auto found = cJSON_IsNumber(id) ? p->running.find((uint64_t)id->valuedouble) : p->running.end();
    if (found == p->running.end() || !type) {
        cJSON_Delete(msg);
        return;
    }
    request *req = found->second;
    if (strcmp(type, "done") == 0) {
        req->complete = true;
        bool watching = !req->execute && (req->attributes & (PCB_ATTR_NOTIFY_VALUES | PCB_ATTR_NOTIFY_CUSTOM));
        if (!watching) stop_running(req);
        if (req->done_handler) req->done_handler(req, req->data);
        cJSON_Delete(msg);
        return;
    }
    reply_item *item = nullptr;
    if (strcmp(type, "object") == 0) {
        item = parse_object(msg);
    } else if (strcmp(type, "notification") == 0) {
        item = parse_notification(msg);
    } else if (strcmp(type, "return") == 0) {
        item = parse_return(msg);
    } else if (strcmp(type, "error") == 0) {
        item = new (std::nothrow) reply_item;
        if (item) {
            item->type = reply_type_error;
            item->error = (uint32_t)cJSON_GetNumberValue(cJSON_GetObjectItemCaseSensitive(msg, "code"));
            const char *d = cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(msg, "description"));
            item->description = d ? d : "";
        }
    }
    cJSON_Delete(msg);
    if (item && !deliver(req, item)) {
        send_cancel(p, req->id);
        stop_running(req);
    }
}

cJSON *request_json(const request *req) {
    cJSON *msg = cJSON_CreateObject();
    if (!msg) return nullptr;
    cJSON_AddStringToObject(msg, "op", req->execute ? "execute" : "getObject");
    cJSON_AddNumberToObject(msg, "id", (double)req->id);
    cJSON_AddStringToObject(msg, "path", req->path.c_str());
    cJSON_AddNumberToObject(msg, "attributes", req->attributes);
    if (req->execute) {
        cJSON_AddStringToObject(msg, "function", req->function.c_str());
        cJSON *args = cJSON_AddArrayToObject(msg, "arguments");
        for (const auto &a : req->args) {
            cJSON *j = pcb_standin::variant_to_json(&a.value);
            if (!j) continue;
            cJSON_AddStringToObject(j, "name", a.name.c_str());
            cJSON_AddItemToArray(args, j);
        }
    } else {
        cJSON_AddNumberToObject(msg, "depth", req->depth);
    }
    return msg;
}

bool add_argument(request_t *req, const char *name, variant_t value) {
    if (!req || !req->execute || req->sent || !name) {
        variant_cleanup(&value);
        return false;
    }
    req->args.push_back(Argument{name, value});
    return true;
}

/* Makes sure the synchronous connection is up: a socket the bus has closed is made again. */
bool sync_ready(pcb *p) {
    if (p->fd >= 0) {
        pollfd pf = {p->fd, POLLIN, 0};
        if (p->broken || poll(&pf, 1, 0) != 0) close_fd(p); /* nothing is due: input means it ended */
    }
    return p->fd >= 0 || open_fd(p);
}

/* One request and its reply on the synchronous connection; the reply or NULL. */
cJSON *sync_call(pcb *p, cJSON *msg) {
    if (!sync_ready(p)) return nullptr;
    uint64_t id = p->next_id++;
    cJSON_AddNumberToObject(msg, "id", (double)id);
    if (!pcb_standin::send_json(p->fd, msg)) {
        close_fd(p);
        return nullptr;
    }
    for (;;) {
        std::string line;
        if (pcb_standin::read_line(p->fd, p->in, line, pcb_standin::kSyncTimeoutMs) != 1) {
            close_fd(p); /* a late reply must not answer the next call */
            return nullptr;
        }
        cJSON *rep = cJSON_Parse(line.c_str());
        const cJSON *rid = cJSON_GetObjectItemCaseSensitive(rep, "id");
        if (cJSON_IsNumber(rid) && (uint64_t)rid->valuedouble == id) return rep;
        cJSON_Delete(rep);
    }
}

bool reply_is(const cJSON *rep, const char *kind) {
    const char *t = cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(rep, "kind"));
    return t && strcmp(t, kind) == 0;
}

}  // namespace

/* ---- values ---- */

extern "C" {

bool variant_initialize(variant_t *v, variant_type_t type) {
    if (!v) return false;
    memset(v, 0, sizeof(*v));
    v->type = type;
    return true;
}

void variant_cleanup(variant_t *v) {
    if (!v) return;
    if (pcb_standin::variant_is_text(v->type)) free(v->data.text);
    memset(v, 0, sizeof(*v));
    v->type = variant_type_unknown;
}

bool variant_setBool(variant_t *v, bool value) {
    if (!v) return false;
    variant_cleanup(v);
    v->type = variant_type_bool;
    v->data.b = value;
    return true;
}

bool variant_setInt32(variant_t *v, int32_t value) {
    if (!v) return false;
    variant_cleanup(v);
    v->type = variant_type_int32;
    v->data.i = value;
    return true;
}

bool variant_setChar(variant_t *v, const char *value) {
    if (!v) return false;
    variant_cleanup(v);
    char *copy = strdup(value ? value : "");
    if (!copy) return false;
    v->type = variant_type_string;
    v->data.text = copy;
    return true;
}

char *variant_char(const variant_t *v) {
    if (!v) return nullptr;
    char buf[64];
    switch (v->type) {
    case variant_type_string:
    case variant_type_date_time:
    case variant_type_map:
    case variant_type_list: return strdup(v->data.text ? v->data.text : "");
    case variant_type_int8:
    case variant_type_int16:
    case variant_type_int32:
    case variant_type_int64: snprintf(buf, sizeof(buf), "%" PRId64, v->data.i); return strdup(buf);
    case variant_type_uint8:
    case variant_type_uint16:
    case variant_type_uint32:
    case variant_type_uint64: snprintf(buf, sizeof(buf), "%" PRIu64, v->data.u); return strdup(buf);
    case variant_type_bool: return strdup(v->data.b ? "1" : "0");
    case variant_type_double: snprintf(buf, sizeof(buf), "%.15g", v->data.d); return strdup(buf);
    default: return nullptr;
    }
}

int64_t variant_int64(const variant_t *v) {
    if (!v) return 0;
    switch (v->type) {
    case variant_type_int8:
    case variant_type_int16:
    case variant_type_int32:
    case variant_type_int64: return v->data.i;
    case variant_type_uint8:
    case variant_type_uint16:
    case variant_type_uint32:
    case variant_type_uint64: return (int64_t)v->data.u;
    case variant_type_bool: return v->data.b ? 1 : 0;
    case variant_type_double: return (int64_t)v->data.d;
    case variant_type_string: return v->data.text ? strtoll(v->data.text, nullptr, 10) : 0;
    default: return 0;
    }
}

uint64_t variant_uint64(const variant_t *v) {
    if (!v) return 0;
    if (v->type == variant_type_string) return v->data.text ? strtoull(v->data.text, nullptr, 10) : 0;
    if (v->type >= variant_type_uint8 && v->type <= variant_type_uint64) return v->data.u;
    return (uint64_t)variant_int64(v);
}

bool variant_bool(const variant_t *v) {
    if (!v) return false;
    if (v->type == variant_type_bool) return v->data.b;
    if (v->type == variant_type_string)
        return v->data.text && (strcmp(v->data.text, "1") == 0 || strcasecmp(v->data.text, "true") == 0);
    if (v->type == variant_type_double) return v->data.d != 0;
    return variant_int64(v) != 0;
}

bool variant_toJSON(string_t *dest, const variant_t *v) {
    if (!dest) return false;
    dest->buffer = nullptr;
    if (!v || v->type == variant_type_unknown) return false;
    if (v->type == variant_type_map || v->type == variant_type_list) {
        dest->buffer = strdup(v->data.text ? v->data.text : "null");
        return dest->buffer != nullptr;
    }
    cJSON *typed = pcb_standin::variant_to_json(v);
    cJSON *value = cJSON_GetObjectItemCaseSensitive(typed, "value");
    if (value && (v->type == variant_type_int64 || v->type == variant_type_uint64)) {
        dest->buffer = variant_char(v); /* a number in the text, even where the typed form needs a string */
    } else if (value) {
        dest->buffer = cJSON_PrintUnformatted(value);
    }
    cJSON_Delete(typed);
    return dest->buffer != nullptr;
}

bool string_isNull(const string_t *s) { return !s || !s->buffer; }

const char *string_buffer(const string_t *s) { return s ? s->buffer : nullptr; }

void string_cleanup(string_t *s) {
    if (!s) return;
    free(s->buffer);
    s->buffer = nullptr;
}

/* ---- lists ---- */

void llist_initialize(llist_t *list) {
    if (list) list->first = nullptr;
}

bool llist_append(llist_t *list, llist_iterator_t *it) {
    if (!list || !it) return false;
    it->next = nullptr;
    llist_iterator_t **tail = &list->first;
    while (*tail) tail = &(*tail)->next;
    *tail = it;
    return true;
}

void llist_cleanup(llist_t *list) {
    if (!list) return;
    llist_iterator_t *it = list->first;
    while (it) {
        llist_iterator_t *n = it->next;
        it->next = nullptr;
        it = n;
    }
    list->first = nullptr;
}

/* ---- library and connections ---- */

bool connection_initLibrary(void) { return wake_fd() >= 0; }

void connection_exitLibrary(void) {}

pcb_t *pcb_create(const char *name) {
    pcb *p = new (std::nothrow) pcb;
    if (!p) return nullptr;
    p->name = name ? name : "";
    p->con.it.next = nullptr;
    p->con.owner = p;
    return p;
}

void pcb_destroy(pcb_t *p) {
    if (!p) return;
    fail_running(p, "connection closed");
    close_fd(p);
    if (p->peer) variant_cleanup(&p->peer->last);
    delete p->peer;
    delete p;
}

bool pcb_client_set_attribute(pcb_t *p, pcb_client_attribute_t attribute) {
    if (!p || attribute != pcb_client_attr_key_notation) return false;
    p->key_notation = true;
    return true;
}

peer_info_t *pcb_client_connect(pcb_t *p, const char *uri) {
    if (!p || p->peer) return nullptr;
    peer_info *peer = new (std::nothrow) peer_info;
    if (!peer) return nullptr;
    peer->owner = p;
    peer->socket = pcb_standin::socket_path_for(uri);
    p->peer = peer;
    if (!open_fd(p)) {
        p->peer = nullptr;
        delete peer;
        return nullptr;
    }
    return peer;
}

connection_info_t *pcb_connection(pcb_t *p) { return p ? &p->con : nullptr; }

llist_iterator_t *connection_getIterator(connection_info_t *con) { return con ? &con->it : nullptr; }

bool connection_setSignalEventHandler(connection_info_t *con, int signal, connection_signal_handler_t handler) {
    (void)signal;
    (void)handler;
    return con != nullptr;
}

void connection_setTerminated(bool terminated) { g_terminated = terminated; }

bool connection_isTerminated(void) { return g_terminated; }

int connection_waitForEvents_r(llist_t *connections, const struct timeval *timeout) {
    int wfd = wake_fd();
    std::vector<pollfd> fds;
    std::vector<pcb *> pcbs;
    fds.push_back(pollfd{wfd, POLLIN, 0});
    for (llist_iterator_t *it = connections ? connections->first : nullptr; it; it = it->next) {
        pcb *p = pcb_of(it);
        if (p->broken || p->fd < 0) return -1;
        p->revents = 0;
        fds.push_back(pollfd{p->fd, POLLIN, 0});
        pcbs.push_back(p);
    }
    int ms = timeout ? (int)(timeout->tv_sec * 1000 + timeout->tv_usec / 1000) : -1;
    int r = poll(fds.data(), fds.size(), ms);
    if (r < 0) return errno == EINTR ? 0 : -1;
    if (fds[0].revents) {
        uint64_t n;
        while (read(wfd, &n, sizeof(n)) == (ssize_t)sizeof(n)) {
        }
    }
    int ready = 0;
    for (size_t i = 0; i < pcbs.size(); i++) {
        pcbs[i]->revents = fds[i + 1].revents;
        if (fds[i + 1].revents) ready++;
    }
    return ready;
}

bool connection_handleEvents_r(llist_t *connections) {
    bool all_up = true;
    for (llist_iterator_t *it = connections ? connections->first : nullptr; it; it = it->next) {
        pcb *p = pcb_of(it);
        if (p->fd < 0 || p->broken) {
            all_up = false;
            continue;
        }
        if (!p->revents) continue;
        p->revents = 0;
        if (!pcb_standin::drain_socket(p->fd, p->in)) p->broken = true;
        std::string line;
        while (p->in.next(line)) dispatch(p, line);
        if (p->broken) {
            fail_running(p, "bus connection lost");
            all_up = false;
        }
    }
    return all_up;
}

void connection_setEventsAvailable(void) {
    int fd = wake_fd();
    uint64_t one = 1;
    if (fd >= 0) {
        ssize_t r = write(fd, &one, sizeof(one));
        (void)r; /* a full counter is still a pending wake-up */
    }
}

/* ---- requests ---- */

request_t *request_create_getObject(const char *path, int32_t depth, uint32_t attributes) {
    if (!path) return nullptr;
    request *r = new (std::nothrow) request;
    if (!r) return nullptr;
    r->path = path;
    r->depth = depth;
    r->attributes = attributes;
    return r;
}

request_t *request_create_executeFunction(const char *path, const char *function, uint32_t attributes) {
    if (!path || !function || !*function) return nullptr;
    request *r = new (std::nothrow) request;
    if (!r) return nullptr;
    r->execute = true;
    r->path = path;
    r->function = function;
    r->attributes = attributes;
    return r;
}

bool request_setReplyItemHandler(request_t *req, request_replyItemHandler handler) {
    if (!req) return false;
    req->item_handler = handler;
    return true;
}

bool request_setDoneHandler(request_t *req, request_doneHandler handler) {
    if (!req) return false;
    req->done_handler = handler;
    return true;
}

bool request_setData(request_t *req, void *data) {
    if (!req) return false;
    req->data = data;
    return true;
}

bool request_addBoolParameter(request_t *req, const char *name, bool value) {
    variant_t v;
    variant_initialize(&v, variant_type_unknown);
    variant_setBool(&v, value);
    return add_argument(req, name, v);
}

bool request_addInt32Parameter(request_t *req, const char *name, int32_t value) {
    variant_t v;
    variant_initialize(&v, variant_type_unknown);
    variant_setInt32(&v, value);
    return add_argument(req, name, v);
}

bool request_addCharParameter(request_t *req, const char *name, const char *value) {
    variant_t v;
    variant_initialize(&v, variant_type_unknown);
    if (!variant_setChar(&v, value)) return false;
    return add_argument(req, name, v);
}

bool pcb_sendRequest(pcb_t *p, peer_info_t *dest, request_t *req) {
    if (!p || !req || req->sent || !dest || dest->owner != p) return false;
    req->sent = true;
    req->id = p->next_id++;
    if (p->fd < 0 || p->broken) {
        fail(req, 0x10000001u, "bus connection lost");
        return true;
    }
    cJSON *msg = request_json(req);
    bool ok = msg && pcb_standin::send_json(p->fd, msg);
    cJSON_Delete(msg);
    if (!ok) {
        p->broken = true;
        fail(req, 0x10000001u, "bus connection lost");
        return true;
    }
    req->owner = p;
    p->running[req->id] = req;
    return true;
}

void request_destroy(request_t *req) {
    if (!req) return;
    if (req->owner) send_cancel(req->owner, req->id);
    stop_running(req);
    delete req;
}

const char *request_path(const request_t *req) { return req ? req->path.c_str() : nullptr; }

const char *request_functionName(const request_t *req) {
    return req && req->execute ? req->function.c_str() : nullptr;
}

reply_t *request_reply(request_t *req) { return req ? &req->rep : nullptr; }

/* ---- replies ---- */

uint32_t reply_itemCount(const reply_t *rep) { return rep ? rep->count : 0; }

reply_item_t *reply_firstItem(reply_t *rep) { return rep ? rep->first : nullptr; }

reply_item_t *reply_nextItem(reply_item_t *item) { return item ? item->next : nullptr; }

reply_item_type_t reply_item_type(const reply_item_t *item) { return item ? item->type : reply_type_unknown; }

object_t *reply_item_object(reply_item_t *item) {
    return item && item->type == reply_type_object ? &item->obj : nullptr;
}

notification_t *reply_item_notification(reply_item_t *item) {
    return item && item->type == reply_type_notification ? &item->notif : nullptr;
}

const variant_t *reply_item_returnValue(reply_item_t *item) {
    return item && item->type == reply_type_function_return && item->has_return ? &item->ret : nullptr;
}

argument_value_list_t *reply_item_returnArguments(reply_item_t *item) {
    return item && item->type == reply_type_function_return ? &item->args : nullptr;
}

argument_value_t *argument_valueFirstArgument(argument_value_list_t *args) { return args ? args->first : nullptr; }

argument_value_t *argument_valueNextArgument(argument_value_t *arg) { return arg ? arg->next : nullptr; }

const char *argument_valueName(const argument_value_t *arg) { return arg ? arg->name.c_str() : nullptr; }

const variant_t *argument_value(const argument_value_t *arg) { return arg ? &arg->value : nullptr; }

/* ---- objects and notifications ---- */

char *object_pathChar(const object_t *obj) { return obj ? strdup(obj->path.c_str()) : nullptr; }

parameter_t *object_firstParameter(object_t *obj) { return obj ? obj->first : nullptr; }

parameter_t *object_nextParameter(parameter_t *param) { return param ? param->next : nullptr; }

const char *parameter_name(const parameter_t *param) { return param ? param->name.c_str() : nullptr; }

const variant_t *parameter_getValue(const parameter_t *param) { return param ? &param->value : nullptr; }

parameter_type_t parameter_type(const parameter_t *param) {
    if (!param || param->value.type > variant_type_date_time) return parameter_type_unknown;
    return (parameter_type_t)param->value.type;
}

uint32_t notification_type(const notification_t *n) { return n ? n->type : 0; }

const char *notification_name(const notification_t *n) { return n && n->has_name ? n->name.c_str() : nullptr; }

const char *notification_objectPath(const notification_t *n) { return n ? n->path.c_str() : nullptr; }

notification_parameter_t *notification_firstParameter(notification_t *n) { return n ? n->first : nullptr; }

notification_parameter_t *notification_nextParameter(notification_parameter_t *p) { return p ? p->next : nullptr; }

char *notification_parameter_value(const notification_parameter_t *p) { return p ? variant_char(&p->value) : nullptr; }

const variant_t *notification_parameter_variant(const notification_parameter_t *p) { return p ? &p->value : nullptr; }

/* ---- synchronous access ---- */

const variant_t *pcb_client_get(peer_info_t *dest, const char *object, const char *parameter) {
    if (!dest || !object || !parameter) return nullptr;
    variant_cleanup(&dest->last);
    cJSON *msg = cJSON_CreateObject();
    if (!msg) return nullptr;
    cJSON_AddStringToObject(msg, "op", "get");
    cJSON_AddStringToObject(msg, "path", object);
    cJSON_AddStringToObject(msg, "param", parameter);
    cJSON *rep = sync_call(dest->owner, msg);
    cJSON_Delete(msg);
    bool ok = reply_is(rep, "value") && pcb_standin::variant_from_json(&dest->last, rep);
    cJSON_Delete(rep);
    return ok ? &dest->last : nullptr;
}

bool pcb_client_set(peer_info_t *dest, const char *object, const char *parameter, const variant_t *value) {
    if (!dest || !object || !parameter || !value) return false;
    cJSON *msg = pcb_standin::variant_to_json(value);
    if (!msg) return false;
    cJSON_AddStringToObject(msg, "op", "set");
    cJSON_AddStringToObject(msg, "path", object);
    cJSON_AddStringToObject(msg, "param", parameter);
    cJSON *rep = sync_call(dest->owner, msg);
    cJSON_Delete(msg);
    bool ok = reply_is(rep, "done");
    cJSON_Delete(rep);
    return ok;
}

}  // extern "C"
