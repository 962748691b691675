/*
 * Runs LAN discovery on its own event loop and prints every event it reports, one line each:
 *   EVENT <kind> id=<id> ip=<dotted> port=<n> type=<n> vendor=<v> model=<m> mac=<mac> cmd=<c> preview=<p> code=<n> domain=<d>
 * ("-" for a NULL text). The configuration store is filled from -c <file> (device.* keys and the
 * logger); -n <network id> and -d <device id> stand for the values the engine reads from Redis;
 * -r <unix path> gives it a local "state" Redis. Commands arrive as lines on the FIFO of -f:
 *   start | stop | quit | netid <id|-> | deviceid <id|-> | iamleader <mac> | test <mac> <command> | registered
 * and each is acknowledged with "OK <command word>". Discovery starts only on "start", so the
 * caller can wire the network first.
 *
 * It refuses to run in the machine's own network namespace (discovery broadcasts): it must start
 * in a fresh one, with nothing but loopback.
 */

#include <arpa/inet.h>
#include <errno.h>
#include <event2/event.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "src/db.h"
#include "src/device_cfg.h"
#include "src/discovery.h"
#include "tests/support/netns_check.h"

namespace {

struct event_base *g_base = nullptr;
redis_instance_t *g_state = nullptr;
std::string g_pending;  // partial command line

const char *kind_name(state_t s) {
    switch (s) {
    case S_DEVICE_FOUND:
        return "S_DEVICE_FOUND";
    case S_DEVICE_REGISTERED:
        return "S_DEVICE_REGISTERED";
    case S_I_AM_LEADER:
        return "S_I_AM_LEADER";
    case S_LEADER_FOUND:
        return "S_LEADER_FOUND";
    case S_DEVICE_TEST:
        return "S_DEVICE_TEST";
    case S_DEVICE_ALIVE:
        return "S_DEVICE_ALIVE";
    default:
        return "S_NONE";
    }
}

const char *t(const char *s) { return s ? s : "-"; }

void on_event(const discovery_event_t *ev, void *) {
    char ip[INET_ADDRSTRLEN];
    struct in_addr a;
    a.s_addr = ev->ip;
    inet_ntop(AF_INET, &a, ip, sizeof ip);
    printf("EVENT %s id=%s ip=%s port=%u type=%d vendor=%s model=%s mac=%s cmd=%s preview=%s code=%u domain=%s\n",
           kind_name(ev->state), t(ev->id), ip, (unsigned)ev->redis_port, (int)ev->device_type, t(ev->device_vendor),
           t(ev->device_model), t(ev->hardware_addr), t(ev->command), t(ev->preview_url),
           (unsigned)ev->distinctive_code, t(ev->domain));
    fflush(stdout);
}

const char *arg_or_null(const std::string &s) { return s == "-" ? nullptr : s.c_str(); }

void quit(void) {
    discovery_stop();
    discovery_destory();
    event_base_loopbreak(g_base);
}

void run_command(const std::string &line) {
    std::string word = line.substr(0, line.find(' '));
    std::string rest = line.size() > word.size() ? line.substr(word.size() + 1) : "";
    if (word == "start") {
        printf("START %d\n", discovery_start());
    } else if (word == "stop") {
        discovery_stop();
    } else if (word == "quit") {
        quit();
    } else if (word == "netid") {
        discovery_set_net_id(arg_or_null(rest));
    } else if (word == "deviceid") {
        discovery_set_device_id(arg_or_null(rest));
    } else if (word == "iamleader") {
        discovery_send_iamleader(rest.c_str());
    } else if (word == "test") {
        std::string mac = rest.substr(0, rest.find(' '));
        std::string cmd = rest.size() > mac.size() ? rest.substr(mac.size() + 1) : "";
        discovery_send_test(mac.c_str(), cmd.c_str());
    } else if (word == "registered") {
        device_registered();
    } else {
        printf("UNKNOWN %s\n", word.c_str());
    }
    printf("OK %s\n", word.c_str());
    fflush(stdout);
}

void on_fifo(evutil_socket_t fd, short, void *) {
    char buf[512];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) {
        g_pending.append(buf, (size_t)n);
        size_t nl;
        while ((nl = g_pending.find('\n')) != std::string::npos) {
            std::string line = g_pending.substr(0, nl);
            g_pending.erase(0, nl + 1);
            run_command(line);
        }
    }
}

void on_signal(evutil_socket_t, short, void *) { quit(); }

bool in_machine_namespace(void) {
    struct stat self, init;
    if (stat("/proc/self/ns/net", &self) == 0 && stat("/proc/1/ns/net", &init) == 0 && self.st_ino == init.st_ino &&
        self.st_dev == init.st_dev)
        return true;
    return !brx_test::only_loopback();
}

}  // namespace

int main(int argc, char **argv) {
    const char *conf = nullptr, *net_id = nullptr, *device_id = nullptr, *redis_path = nullptr, *fifo = nullptr;
    int opt;
    while ((opt = getopt(argc, argv, "c:n:d:r:f:")) != -1) {
        switch (opt) {
        case 'c':
            conf = optarg;
            break;
        case 'n':
            net_id = optarg;
            break;
        case 'd':
            device_id = optarg;
            break;
        case 'r':
            redis_path = optarg;
            break;
        case 'f':
            fifo = optarg;
            break;
        default:
            fprintf(stderr, "usage: %s -f fifo [-c conf] [-n net_id] [-d device_id] [-r redis_unix_path]\n", argv[0]);
            return 2;
        }
    }
    if (!fifo) return 2;
    if (in_machine_namespace()) {
        printf("REFUSED: this is the machine's own network namespace\n");
        return 3;
    }
    if (conf && cfg_setup_from_file(conf) != 0) {
        printf("cannot read %s\n", conf);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    g_base = event_base_new();
    if (redis_path) {
        g_state = db_create_redis_instance("state");
        if (!g_state) return 2;
        db_set_is_local(g_state, 1);
        db_set_unix_path(g_state, redis_path);
        db_set_event_base(g_state, g_base);
        discovery_setup_redis_instance(nullptr, g_state);
    }

    // Filled as the engine's start-up fills it.
    config_t cfg;
    memset(&cfg, 0, sizeof cfg);
    cfg.device_id = device_id;
    cfg.redis_port = (uint16_t)cfg_get_redis_port();
    cfg.net_id = net_id;
    cfg.dev_type = device_string_to_type(cfg_get_type());
    cfg.dev_vendor = cfg_get_vendor_name();
    cfg.dev_model = cfg_get_model_name();
    cfg.hardware_addr = cfg_get_mac_str();
    cfg.ip_addr = cfg_get_ipv4();
    cfg_get_auth_code(&cfg.dist_code);
    cfg.event_base = g_base;
    cfg.callback = on_event;
    cfg.preview_url = cfg_get_prewiev_url();
    discovery_init(cfg);

    int fd = open(fifo, O_RDWR | O_NONBLOCK | O_CLOEXEC);  // RDWR: no EOF when a writer goes
    if (fd < 0) {
        printf("cannot open %s: %s\n", fifo, strerror(errno));
        return 2;
    }
    struct event *cmd_ev = event_new(g_base, fd, EV_READ | EV_PERSIST, on_fifo, nullptr);
    struct event *term_ev = evsignal_new(g_base, SIGTERM, on_signal, nullptr);
    event_add(cmd_ev, nullptr);
    event_add(term_ev, nullptr);
    printf("READY\n");
    fflush(stdout);
    event_base_dispatch(g_base);

    event_free(cmd_ev);
    event_free(term_ev);
    close(fd);
    if (g_state) db_delete_redis_instance(g_state);
    event_base_free(g_base);
    printf("BYE\n");
    return 0;
}
