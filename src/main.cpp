#include <errno.h>
#include <event2/event.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include "common/conffile/conffile.h"
#include "common/logger/logger.h"
#include "src/device/device.h"
#include "src/device_cfg.h"
#include "src/http_client.h"
#include "src/signals.h"

#define LOG_CATEGORY "main"

namespace {

const char *base_name(const char *path) {
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

/* Every request holds descriptors of its own: take all the system allows this process. */
void raise_open_file_limit() {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) {
        LOGW("Cannot read the open file limit: %s", strerror(errno));
        return;
    }
    if (rl.rlim_cur != rl.rlim_max) {
        struct rlimit raised = rl;
        raised.rlim_cur = rl.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            rl = raised;
        else
            LOGW("Cannot raise the open file limit to %llu: %s", (unsigned long long)rl.rlim_max, strerror(errno));
    }
    LOGI("Open file limit %llu", (unsigned long long)rl.rlim_cur);
}

}  // namespace

void usage(const char *path) {
    printf("Usage: [-vhtd] [-l <test.lua>] %s [conf_file_path] [-c override_device_type] [-m override_mac_addr] "
           "[-i override_ipv4]\n\n",
           base_name(path));
}

int main(int argc, char **argv) {
    if (argc < 2) {
        usage(argv[0]);
        return 0;
    }

    const char *conf_path = nullptr;
    const char *lua_file = nullptr;
    int test_channel = 0;
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (arg[0] != '-' || strcmp(arg, "-") == 0) {
            conf_path = arg;
            continue;
        }
        const bool has_next = i + 1 < argc;
        switch (arg[1]) {
        case 'c':
            if (has_next) cfg_set_type(argv[++i]);
            break;
        case 'i':
            if (has_next) cfg_set_ipv4(argv[++i]);
            break;
        case 'm':
            if (has_next) cfg_set_mac_str(argv[++i]);
            break;
        case 'l':
            if (has_next) lua_file = argv[++i];
            break;
        case 'd':
            cfg_set_daemon("yes");
            break;
        case 't':
            test_channel = 1;
            break;
        case 'h':
            usage(argv[0]);
            return 3;
        default:
            printf("%s %s (%s)\n", base_name(argv[0]), BRX_VERSION, BRX_BUILD);
            return 3;
        }
    }

    struct event_base *base = event_base_new();
    if (!base) BRX_OOM_EXIT("event_base_new");
    if (signals_install(base) != 0) BRX_OOM_EXIT("signals_install");

    if (cfg_setup_from_file(conf_path) < 0) {
        const char *why = configFileLoadError();
        LOGW("Cannot load config file %s", conf_path ? conf_path : "(null)");
        // Logging is still off at this point.
        fprintf(stderr, "Cannot load config file %s: %s\n", conf_path ? conf_path : "(null)", why);
        return 1;
    }

    raise_open_file_limit();

    if (!write_pidfile(BRX_PIDFILE)) LOGW("Cannot create pid file %s", BRX_PIDFILE);

    if (lua_file) {
        // A failing file never reaches the loop; the loop returns once nothing the script started is left.
        if (device_load_file(lua_file, base) < 0) return 1;
        signals_dispatch(base);
        return 0;
    }

    LOGI("Brixmoor version %s (%s)", BRX_VERSION, BRX_BUILD);
    if (device_start(base) < 0) {
        printf("Cannot start device\n");
        return 1;
    }
    if (test_channel) device_subscribe_to_test_channel();

    signals_dispatch(base);

    signals_begin_teardown();
    device_stop();
    http_destroy_ssl();
    unlink(BRX_PIDFILE);
    signals_remove();
    event_base_free(base);
    return 0;
}
