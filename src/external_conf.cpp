#include "src/external_conf.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "common/logger/logger.h"
#include "src/device/status.h"
#include "src/pcb/pcb_plugin.h"
#include "src/signals.h"

#define LOG_CATEGORY "external_config"

namespace {

constexpr unsigned kMaxPause = 30;
constexpr size_t kMinHaidLength = 12;

const char *const kHaid = "ZIR.HomeAutomation.HA-ID";
const char *const kServer = "APService.HomeAutomation.ApplicationServer";
const char *const kConnectionStatus = "APService.GatewayClient.ConnectionStatus";
const char *const kConnectionMode = "APService.GatewayClient.ConnectionMode";

/* Sleeps the pause, then grows it by one up to the cap; false when a stop was requested. */
bool pause_and_grow(unsigned &pause) {
    if (pause > 0) sleep(pause);
    if (pause < kMaxPause) pause++;
    return !signals_stop_requested();
}

}  // namespace

char *ext_get_haid(void) {
    LOGD("ext_get_haid enter blocking");
    brx_status_t previous = status_get();
    status_set(BRX_WAITING_FOR_PROVISIONING);
    unsigned pause = 0;
    char *haid = nullptr;
    while (pause_and_grow(pause)) {
        haid = pcbcli_get_string(kHaid);
        if (haid && strlen(haid) >= kMinHaidLength) break;
        LOGW("HAID '%s' too short, try again", haid ? haid : "");
        free(haid);
        haid = nullptr;
    }
    status_set(previous);
    if (!haid) {
        LOGI("ext_get_haid given up: stop requested");
        return nullptr;
    }
    LOGD("ext_get_haid exit blocking with HAID '%s'", haid);
    LOGI("HAID %s", haid);
    return haid;
}

char *ext_get_server_url(void) {
    char *url = pcbcli_get_string(kServer);
    if (!url) LOGW("Cannot get server URL from PCB '%s'", kServer);
    return url;
}

char *ext_server_url(const char *path) {
    char *base = ext_get_server_url();
    if (!base) return nullptr;
    char *url = nullptr;
    if (asprintf(&url, "%s%s", base, path ? path : "") < 0) url = nullptr;
    free(base);
    if (!url) LOGW("Cannot build server URL for '%s'", path ? path : "");
    return url;
}

int ext_get_connection(void) { return pcbcli_get_bool(kConnectionStatus); }

int wait_for_connection(void) {
    LOGD("wait_for_connection enter");
    unsigned pause = 0;
    bool switched = false;
    for (;;) {
        if (!pause_and_grow(pause)) {
            LOGI("wait_for_connection given up: stop requested");
            return 0;
        }
        if (pcbcli_get_bool(kConnectionStatus)) break;
        if (!switched) {
            pcb_plugin_set(kConnectionMode, "on");
            switched = true;
        }
    }
    if (switched) pcb_plugin_set(kConnectionMode, "ondemand");
    LOGD("wait_for_connection exit connected");
    return 1;
}
