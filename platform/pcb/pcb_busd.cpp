/*
 * pcb_busd: the development stand-in for the gateway's data-model bus.
 *
 *   pcb_busd [-s <socket>] [-j <journal>] [-t <state.json>] <seed.json>
 *
 * Socket: -s, else PCB_STANDIN_SOCKET, else /var/run/pcb_sys. Prints "ready" once it listens.
 * The seed is a JSON object whose object members are bus objects and whose other members are
 * parameters (strings, booleans, numbers). With -t the parameter values live on in that file: it is
 * rewritten after every change and, when it exists, its values replace the seed's at the start, so
 * a restarted bus still holds what was set before.
 * Every object offers the test functions echo, fail, silent, empty (a reply without items) and
 * delayed (argument delay_ms, default 1000).
 * A value change from or to the empty string carries that value without text.
 */

#include <cjson/cJSON.h>
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/pcb/pcb_bus.h"
#include "platform/pcb/standin_proto.h"

namespace {

constexpr size_t kMaxQueue = 64u << 20; /* a client that falls this far behind is dropped */
constexpr size_t kMaxLine = 16u << 20;

enum ErrorCode { ERR_NOT_FOUND = 2, ERR_INVALID = 3, ERR_FAILED = 4, ERR_NO_FUNCTION = 5, ERR_BAD_REQUEST = 6 };

struct Param {
    std::string name;
    variant_t value{};
};

struct Object {
    std::string path;
    std::vector<Param> params;
};

struct Watch {
    uint64_t id;
    std::string path;
    int depth;
    uint32_t attributes;
};

struct Client {
    int fd = -1;
    int cid = 0;
    std::string name;
    pcb_standin::LineBuffer in;
    std::string out;
    std::vector<Watch> watches;
    bool dead = false;
};

struct Delayed {
    long long due;
    int cid;
    uint64_t id;
    std::string path;
    cJSON *arguments; /* owned */
    uint32_t attributes;
};

std::vector<Object> g_objects;
std::map<std::string, size_t> g_index;
std::map<int, std::unique_ptr<Client>> g_clients;
std::vector<Delayed> g_delayed;
FILE *g_journal = nullptr;
std::string g_state_path;
int g_next_cid = 1;
volatile sig_atomic_t g_stop = 0;

void journal(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void journal(const char *fmt, ...) {
    if (!g_journal) return;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(g_journal, fmt, ap);
    va_end(ap);
    fputc('\n', g_journal);
    fflush(g_journal);
}

std::string text_of(const variant_t *v) {
    char *t = variant_char(v);
    std::string s = t ? t : "";
    free(t);
    return s;
}

/* ---- the parameter tree ---- */

bool load_object(const std::string &path, const cJSON *node) {
    if (g_index.count(path)) return false;
    g_index[path] = g_objects.size();
    g_objects.push_back(Object{path, {}});
    size_t self = g_objects.size() - 1;
    const cJSON *m;
    cJSON_ArrayForEach(m, node) {
        if (!m->string || !*m->string || strchr(m->string, '.')) {
            fprintf(stderr, "pcb_busd: bad member name under %s\n", path.c_str());
            return false;
        }
        if (cJSON_IsObject(m)) {
            if (!load_object(path + "." + m->string, m)) return false;
            continue;
        }
        Param p;
        p.name = m->string;
        if (!pcb_standin::variant_from_plain_json(&p.value, m)) {
            fprintf(stderr, "pcb_busd: unsupported value for %s.%s\n", path.c_str(), m->string);
            return false;
        }
        g_objects[self].params.push_back(p);
    }
    return true;
}

/* The JSON object in file, or NULL after a message; a missing file is only reported through *absent when given. */
cJSON *read_json_object(const char *file, bool *absent) {
    FILE *f = fopen(file, "re");
    if (!f) {
        if (absent && errno == ENOENT) {
            *absent = true;
        } else {
            fprintf(stderr, "pcb_busd: cannot open %s\n", file);
        }
        return nullptr;
    }
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) text.append(buf, n);
    fclose(f);
    cJSON *root = cJSON_Parse(text.c_str());
    if (!cJSON_IsObject(root)) {
        fprintf(stderr, "pcb_busd: %s is not a JSON object\n", file);
        cJSON_Delete(root);
        return nullptr;
    }
    return root;
}

bool load_seed(const char *file) {
    cJSON *root = read_json_object(file, nullptr);
    if (!root) return false;
    bool ok = true;
    const cJSON *m;
    cJSON_ArrayForEach(m, root) {
        if (!cJSON_IsObject(m) || !m->string || !*m->string || strchr(m->string, '.')) {
            fprintf(stderr, "pcb_busd: top-level member %s is not an object\n", m->string ? m->string : "?");
            ok = false;
            break;
        }
        if (!load_object(m->string, m)) {
            ok = false;
            break;
        }
    }
    cJSON_Delete(root);
    return ok;
}

Object *find_object(const char *path) {
    auto it = path ? g_index.find(path) : g_index.end();
    return it == g_index.end() ? nullptr : &g_objects[it->second];
}

Param *find_param(Object *o, const char *name) {
    if (!o || !name) return nullptr;
    for (auto &p : o->params)
        if (p.name == name) return &p;
    return nullptr;
}

/* ---- the state file: {"<object>.<parameter>": <typed value>, ...} ---- */

bool save_state() {
    if (g_state_path.empty()) return true;
    cJSON *root = cJSON_CreateObject();
    if (!root) return false;
    for (const auto &o : g_objects)
        for (const auto &p : o.params)
            cJSON_AddItemToObject(root, (o.path + "." + p.name).c_str(), pcb_standin::variant_to_json(&p.value));
    char *text = cJSON_Print(root);
    cJSON_Delete(root);
    if (!text) return false;
    std::string tmp = g_state_path + ".tmp";
    FILE *f = fopen(tmp.c_str(), "we");
    bool ok = f && fputs(text, f) >= 0;
    if (f) ok = fclose(f) == 0 && ok;
    free(text);
    ok = ok && rename(tmp.c_str(), g_state_path.c_str()) == 0;
    if (!ok) fprintf(stderr, "pcb_busd: cannot write %s: %s\n", g_state_path.c_str(), strerror(errno));
    return ok;
}

/* Values of parameters that the seed no longer has, or of another type, are left out. */
bool load_state() {
    bool absent = false;
    cJSON *root = read_json_object(g_state_path.c_str(), &absent);
    if (!root) return absent;
    const cJSON *m;
    cJSON_ArrayForEach(m, root) {
        const char *dot = strrchr(m->string, '.');
        if (!dot) continue;
        Param *p = find_param(find_object(std::string(m->string, (size_t)(dot - m->string)).c_str()), dot + 1);
        variant_t v;
        if (!p || !pcb_standin::variant_from_json(&v, m)) continue;
        if (v.type != p->value.type) {
            variant_cleanup(&v);
            continue;
        }
        variant_cleanup(&p->value);
        p->value = v;
    }
    cJSON_Delete(root);
    return true;
}

/* Whether an object lies in the subtree of a request (depth -1: all of it). */
bool covers(const std::string &root, int depth, const std::string &path) {
    if (path == root) return true;
    if (path.size() <= root.size() || path.compare(0, root.size(), root) != 0 || path[root.size()] != '.') return false;
    if (depth < 0) return true;
    int levels = 0;
    for (size_t i = root.size(); i < path.size(); i++)
        if (path[i] == '.') levels++;
    return levels <= depth;
}

/* ---- output ---- */

void flush(Client *c) {
    while (!c->out.empty()) {
        ssize_t n = send(c->fd, c->out.data(), c->out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            c->out.erase(0, (size_t)n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        c->dead = true;
        return;
    }
}

/* Queues one message; never blocks. Takes msg. */
void queue(Client *c, cJSON *msg) {
    if (c->dead || !msg) {
        cJSON_Delete(msg);
        return;
    }
    char *text = cJSON_PrintUnformatted(msg);
    cJSON_Delete(msg);
    if (!text) return;
    c->out.append(text);
    c->out.push_back('\n');
    free(text);
    flush(c);
    if (c->out.size() > kMaxQueue) {
        journal("overflow %d", c->cid);
        c->dead = true;
    }
}

cJSON *message(uint64_t id, const char *kind) {
    cJSON *m = cJSON_CreateObject();
    if (!m) return nullptr;
    cJSON_AddNumberToObject(m, "id", (double)id);
    cJSON_AddStringToObject(m, "kind", kind);
    return m;
}

void send_error(Client *c, uint64_t id, int code, const char *description) {
    cJSON *m = message(id, "error");
    if (m) {
        cJSON_AddNumberToObject(m, "code", code);
        cJSON_AddStringToObject(m, "description", description);
    }
    queue(c, m);
}

void send_done(Client *c, uint64_t id) { queue(c, message(id, "done")); }

cJSON *typed(const char *name, const variant_t *v) {
    cJSON *j = pcb_standin::variant_to_json(v);
    if (j) cJSON_AddStringToObject(j, "name", name);
    return j;
}

cJSON *text_param(const char *name, const std::string &text) {
    variant_t v;
    variant_initialize(&v, variant_type_unknown);
    variant_setChar(&v, text.c_str());
    cJSON *j = typed(name, &v);
    variant_cleanup(&v);
    return j;
}

/* A changed value; the empty string goes without a value. */
cJSON *changed_value_param(const char *name, const std::string &text) {
    if (!text.empty()) return text_param(name, text);
    cJSON *j = cJSON_CreateObject();
    if (j) cJSON_AddStringToObject(j, "name", name);
    return j;
}

/* The requests, of every client, that want notifications of kind attr about o. */
std::vector<std::pair<Client *, uint64_t>> watchers_of(const Object &o, uint32_t attr) {
    std::vector<std::pair<Client *, uint64_t>> out;
    for (auto &kv : g_clients)
        for (const auto &w : kv.second->watches)
            if ((w.attributes & attr) && covers(w.path, w.depth, o.path)) out.emplace_back(kv.second.get(), w.id);
    return out;
}

/* A notification about o for request id; takes params. */
cJSON *notification_message(uint64_t id, double ntype, const char *name, const Object &o, cJSON *params) {
    cJSON *m = message(id, "notification");
    if (!m || !params) {
        cJSON_Delete(m);
        cJSON_Delete(params);
        return nullptr;
    }
    cJSON_AddNumberToObject(m, "ntype", ntype);
    if (name) cJSON_AddStringToObject(m, "name", name);
    cJSON_AddStringToObject(m, "path", o.path.c_str());
    cJSON_AddItemToObject(m, "parameters", params);
    return m;
}

/* ---- requests ---- */

void op_get(Client *c, uint64_t id, const cJSON *req) {
    const char *path = cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(req, "path"));
    const char *name = cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(req, "param"));
    Param *p = find_param(find_object(path), name);
    journal("get %d %s.%s%s", c->cid, path ? path : "", name ? name : "", p ? "" : " not-found");
    if (!p) {
        send_error(c, id, ERR_NOT_FOUND, "no such parameter");
        return;
    }
    cJSON *m = pcb_standin::variant_to_json(&p->value);
    if (m) {
        cJSON_AddNumberToObject(m, "id", (double)id);
        cJSON_AddStringToObject(m, "kind", "value");
    }
    queue(c, m);
}

void op_set(Client *c, uint64_t id, const cJSON *req) {
    const char *path = cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(req, "path"));
    const char *name = cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(req, "param"));
    Object *o = find_object(path);
    Param *p = find_param(o, name);
    variant_t in;
    pcb_standin::variant_from_json(&in, req);
    std::string text = text_of(&in);
    variant_cleanup(&in);
    if (!p) {
        journal("set %d %s.%s=%s not-found", c->cid, path ? path : "", name ? name : "", text.c_str());
        send_error(c, id, ERR_NOT_FOUND, "no such parameter");
        return;
    }
    variant_t nv;
    if (!pcb_standin::variant_parse_as(&nv, p->value.type, text.c_str())) {
        journal("set %d %s.%s=%s refused", c->cid, path, name, text.c_str());
        send_error(c, id, ERR_INVALID, "value does not fit the parameter");
        return;
    }
    if (pcb_standin::variant_equal(&nv, &p->value)) {
        variant_cleanup(&nv);
        journal("set %d %s.%s=%s unchanged", c->cid, path, name, text.c_str());
        send_done(c, id);
        return;
    }
    std::string old_text = text_of(&p->value);
    variant_cleanup(&p->value);
    p->value = nv;
    std::string new_text = text_of(&p->value);
    save_state();
    auto watchers = watchers_of(*o, PCB_ATTR_NOTIFY_VALUES);
    // Journal before anyone hears of the change, the writer included: whoever reacts to it and
    // then reads the journal must find the line.
    journal("set %d %s.%s=%s changed watchers=%zu", c->cid, path, name, text.c_str(), watchers.size());
    for (const auto &w : watchers) {
        cJSON *params = cJSON_CreateArray();
        cJSON_AddItemToArray(params, text_param("parameter", p->name));
        cJSON_AddItemToArray(params, changed_value_param("oldvalue", old_text));
        cJSON_AddItemToArray(params, changed_value_param("newvalue", new_text));
        queue(w.first, notification_message(w.second, notify_value_changed, "value_changed", *o, params));
    }
    send_done(c, id);
}

cJSON *object_message(uint64_t id, const Object &o, bool with_params) {
    cJSON *m = message(id, "object");
    if (!m) return nullptr;
    cJSON_AddStringToObject(m, "path", o.path.c_str());
    cJSON *params = cJSON_AddArrayToObject(m, "parameters");
    if (with_params)
        for (const auto &p : o.params) cJSON_AddItemToArray(params, typed(p.name.c_str(), &p.value));
    return m;
}

void op_get_object(Client *c, uint64_t id, const cJSON *req) {
    const char *path = cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(req, "path"));
    int depth = (int)cJSON_GetNumberValue(cJSON_GetObjectItemCaseSensitive(req, "depth"));
    uint32_t attrs = (uint32_t)cJSON_GetNumberValue(cJSON_GetObjectItemCaseSensitive(req, "attributes"));
    Object *o = find_object(path);
    journal("watch %d %s depth=%d attributes=0x%x%s", c->cid, path ? path : "", depth, attrs, o ? "" : " not-found");
    if (!o) {
        send_error(c, id, ERR_NOT_FOUND, "no such object");
        send_done(c, id);
        return;
    }
    if (attrs & PCB_ATTR_OBJECTS) {
        for (const auto &other : g_objects)
            if (covers(o->path, depth, other.path))
                queue(c, object_message(id, other, (attrs & PCB_ATTR_PARAMETERS) != 0));
    }
    send_done(c, id);
    if (attrs & (PCB_ATTR_NOTIFY_VALUES | PCB_ATTR_NOTIFY_CUSTOM)) c->watches.push_back(Watch{id, o->path, depth, attrs});
}

void function_return(Client *c, uint64_t id, const cJSON *arguments, uint32_t attrs) {
    cJSON *m = message(id, "return");
    if (!m) return;
    /* echo: the arguments as a map of typed JSON values, and back as returned arguments */
    cJSON *map = cJSON_CreateObject();
    cJSON *out = cJSON_CreateArray();
    const cJSON *a;
    cJSON_ArrayForEach(a, arguments) {
        const char *name = cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(a, "name"));
        const cJSON *value = cJSON_GetObjectItemCaseSensitive(a, "value");
        if (!name || !value) continue;
        cJSON_AddItemToObject(map, name, cJSON_Duplicate(value, 1));
        cJSON_AddItemToArray(out, cJSON_Duplicate(a, 1));
    }
    cJSON *ret = cJSON_CreateObject();
    cJSON_AddStringToObject(ret, "type", "map");
    cJSON_AddItemToObject(ret, "value", map);
    cJSON_AddItemToObject(m, "return", ret);
    if (attrs & PCB_ATTR_RETURN_ARGS)
        cJSON_AddItemToObject(m, "arguments", out);
    else
        cJSON_Delete(out);
    queue(c, m);
    send_done(c, id);
}

void op_execute(Client *c, uint64_t id, const cJSON *req) {
    const char *path = cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(req, "path"));
    const char *fn = cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(req, "function"));
    uint32_t attrs = (uint32_t)cJSON_GetNumberValue(cJSON_GetObjectItemCaseSensitive(req, "attributes"));
    const cJSON *args = cJSON_GetObjectItemCaseSensitive(req, "arguments");
    char *args_text = cJSON_PrintUnformatted(args);
    journal("execute %d %s.%s %s", c->cid, path ? path : "", fn ? fn : "", args_text ? args_text : "[]");
    free(args_text);
    if (!find_object(path)) {
        send_error(c, id, ERR_NOT_FOUND, "no such object");
        send_done(c, id);
        return;
    }
    std::string f = fn ? fn : "";
    if (f == "echo") {
        function_return(c, id, args, attrs);
    } else if (f == "fail") {
        send_error(c, id, ERR_FAILED, "function failed");
        send_done(c, id);
    } else if (f == "silent") {
        /* never answered */
    } else if (f == "empty") {
        send_done(c, id);
    } else if (f == "delayed") {
        long long delay = 1000;
        const cJSON *a;
        cJSON_ArrayForEach(a, args) {
            const char *name = cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(a, "name"));
            if (name && strcmp(name, "delay_ms") == 0)
                delay = (long long)cJSON_GetNumberValue(cJSON_GetObjectItemCaseSensitive(a, "value"));
        }
        g_delayed.push_back(Delayed{pcb_standin::now_ms() + delay, c->cid, id, path, cJSON_Duplicate(args, 1), attrs});
    } else {
        send_error(c, id, ERR_NO_FUNCTION, "no such function");
        send_done(c, id);
    }
}

void op_notify(Client *c, uint64_t id, const cJSON *req) {
    const char *path = cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(req, "path"));
    const cJSON *ntype = cJSON_GetObjectItemCaseSensitive(req, "ntype");
    const char *name = cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(req, "name"));
    const cJSON *values = cJSON_GetObjectItemCaseSensitive(req, "values");
    Object *o = find_object(path);
    if (!o || !cJSON_IsNumber(ntype)) {
        journal("notify %d %s refused", c->cid, path ? path : "");
        send_error(c, id, ERR_NOT_FOUND, "no such object");
        return;
    }
    auto watchers = watchers_of(*o, PCB_ATTR_NOTIFY_CUSTOM);
    journal("notify %d %s type=%d watchers=%zu", c->cid, o->path.c_str(), (int)ntype->valuedouble, watchers.size());
    for (const auto &w : watchers) {
        cJSON *params = cJSON_CreateArray();
        int i = 0;
        const cJSON *v;
        cJSON_ArrayForEach(v, values) {
            char pname[16];
            snprintf(pname, sizeof(pname), "%d", i++);
            cJSON_AddItemToArray(params, text_param(pname, cJSON_IsString(v) ? v->valuestring : ""));
        }
        queue(w.first, notification_message(w.second, ntype->valuedouble, name, *o, params));
    }
    send_done(c, id);
}

void op_cancel(Client *c, uint64_t id) {
    journal("cancel %d %llu", c->cid, (unsigned long long)id);
    for (size_t i = 0; i < c->watches.size(); i++) {
        if (c->watches[i].id == id) {
            c->watches.erase(c->watches.begin() + (long)i);
            break;
        }
    }
    for (size_t i = 0; i < g_delayed.size(); i++) {
        if (g_delayed[i].cid == c->cid && g_delayed[i].id == id) {
            cJSON_Delete(g_delayed[i].arguments);
            g_delayed.erase(g_delayed.begin() + (long)i);
            break;
        }
    }
}

void handle_line(Client *c, const std::string &line) {
    cJSON *req = cJSON_Parse(line.c_str());
    const char *op = cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(req, "op"));
    const cJSON *idj = cJSON_GetObjectItemCaseSensitive(req, "id");
    uint64_t id = cJSON_IsNumber(idj) ? (uint64_t)idj->valuedouble : 0;
    if (!op) {
        journal("bad-request %d", c->cid);
    } else if (strcmp(op, "hello") == 0) {
        const char *name = cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(req, "name"));
        c->name = name ? name : "";
        journal("hello %d %s", c->cid, c->name.c_str());
    } else if (strcmp(op, "get") == 0) {
        op_get(c, id, req);
    } else if (strcmp(op, "set") == 0) {
        op_set(c, id, req);
    } else if (strcmp(op, "getObject") == 0) {
        op_get_object(c, id, req);
    } else if (strcmp(op, "execute") == 0) {
        op_execute(c, id, req);
    } else if (strcmp(op, "notify") == 0) {
        op_notify(c, id, req);
    } else if (strcmp(op, "cancel") == 0) {
        op_cancel(c, id);
    } else {
        journal("bad-request %d %s", c->cid, op);
        send_error(c, id, ERR_BAD_REQUEST, "unknown request");
    }
    cJSON_Delete(req);
}

void read_client(Client *c) {
    if (!pcb_standin::drain_socket(c->fd, c->in)) c->dead = true;
    std::string line;
    while (!c->dead && c->in.next(line)) handle_line(c, line);
    if (c->in.size() > kMaxLine) c->dead = true;
}

void run_delayed() {
    long long now = pcb_standin::now_ms();
    for (size_t i = 0; i < g_delayed.size();) {
        if (g_delayed[i].due > now) {
            i++;
            continue;
        }
        Delayed d = g_delayed[i];
        g_delayed.erase(g_delayed.begin() + (long)i);
        auto it = g_clients.find(d.cid);
        if (it != g_clients.end()) function_return(it->second.get(), d.id, d.arguments, d.attributes);
        cJSON_Delete(d.arguments);
    }
}

void drop_dead() {
    for (auto it = g_clients.begin(); it != g_clients.end();) {
        if (!it->second->dead) {
            ++it;
            continue;
        }
        journal("disconnect %d", it->first);
        close(it->second->fd);
        for (size_t i = 0; i < g_delayed.size();) {
            if (g_delayed[i].cid == it->first) {
                cJSON_Delete(g_delayed[i].arguments);
                g_delayed.erase(g_delayed.begin() + (long)i);
            } else {
                i++;
            }
        }
        it = g_clients.erase(it);
    }
}

void on_signal(int) { g_stop = 1; }

int usage() {
    fprintf(stderr, "usage: pcb_busd [-s <socket>] [-j <journal>] [-t <state.json>] <seed.json>\n");
    return 1;
}

}  // namespace

int main(int argc, char **argv) {
    std::string socket_path;
    const char *journal_path = nullptr;
    const char *seed = nullptr;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "-s") == 0 && i + 1 < argc)
            socket_path = argv[++i];
        else if (strcmp(argv[i], "-j") == 0 && i + 1 < argc)
            journal_path = argv[++i];
        else if (strcmp(argv[i], "-t") == 0 && i + 1 < argc)
            g_state_path = argv[++i];
        else if (argv[i][0] == '-')
            return usage();
        else
            seed = argv[i];
    }
    if (!seed) return usage();
    if (socket_path.empty()) socket_path = pcb_standin::socket_path_for(nullptr);
    if (!load_seed(seed)) return 1;
    if (!g_state_path.empty() && !load_state()) return 1;
    if (journal_path) {
        g_journal = fopen(journal_path, "ae");
        if (!g_journal) {
            fprintf(stderr, "pcb_busd: cannot open journal %s\n", journal_path);
            return 1;
        }
    }

    signal(SIGPIPE, SIG_IGN);
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = on_signal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigset_t block, orig;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGINT);
    sigprocmask(SIG_BLOCK, &block, &orig);

    int lfd = pcb_standin::listen_unix(socket_path);
    if (lfd < 0) {
        fprintf(stderr, "pcb_busd: cannot listen on %s: %s\n", socket_path.c_str(), strerror(errno));
        return 1;
    }
    journal("start %s", socket_path.c_str());
    printf("ready\n");
    fflush(stdout);

    while (!g_stop) {
        std::vector<pollfd> fds;
        std::vector<Client *> order;
        fds.push_back(pollfd{lfd, POLLIN, 0});
        for (auto &kv : g_clients) {
            Client *c = kv.second.get();
            fds.push_back(pollfd{c->fd, (short)(POLLIN | (c->out.empty() ? 0 : POLLOUT)), 0});
            order.push_back(c);
        }
        timespec ts, *tsp = nullptr;
        if (!g_delayed.empty()) {
            long long next = g_delayed[0].due;
            for (const auto &d : g_delayed) next = d.due < next ? d.due : next;
            long long left = next - pcb_standin::now_ms();
            if (left < 0) left = 0;
            ts.tv_sec = left / 1000;
            ts.tv_nsec = (left % 1000) * 1000000;
            tsp = &ts;
        }
        int r = ppoll(fds.data(), fds.size(), tsp, &orig);
        if (r < 0 && errno != EINTR) break;
        if (r > 0) {
            for (size_t i = 0; i < order.size(); i++) {
                Client *c = order[i];
                short ev = fds[i + 1].revents;
                if (ev & POLLOUT) flush(c);
                if (ev & (POLLIN | POLLHUP | POLLERR)) read_client(c);
            }
            if (fds[0].revents & POLLIN) {
                int fd;
                while ((fd = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
                    auto c = std::make_unique<Client>();
                    c->fd = fd;
                    c->cid = g_next_cid++;
                    journal("connect %d", c->cid);
                    g_clients[c->cid] = std::move(c);
                }
            }
        }
        run_delayed();
        drop_dead();
    }
    journal("stop");
    for (auto &kv : g_clients) close(kv.second->fd);
    close(lfd);
    unlink(socket_path.c_str());
    for (auto &o : g_objects)
        for (auto &p : o.params) variant_cleanup(&p.value);
    for (auto &d : g_delayed) cJSON_Delete(d.arguments);
    if (g_journal) fclose(g_journal);
    return 0;
}
