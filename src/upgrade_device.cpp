// The upgrade machine of a device: offer, download, checks, and the upgrade itself.
#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <cjson/cJSON.h>
#include <lua.hpp>
#include <stdint.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/glib-mini/glib.h"
#include "common/logger/logger.h"
#include "src/device/device.h"
#include "src/device/driver.h"
#include "src/device_cfg.h"
#include "src/external_conf.h"
#include "src/helpers.h"
#include "src/http_client.h"
#include "src/lua_api/lua_state.h"
#include "src/upgrade.h"
#include "src/upgrade_internal.h"

#define LOG_CATEGORY "upgrade"

namespace {

/* One upgrade attempt; owned by the attempt list until its clean-up. */
typedef struct fw_download_ctx {
    char *filename;
    char *md5;
    char *signature;
    char *device_id;
    char *domain;
    char *class_name;
    char *model;
    char *vendor;
    char *device_current_version;
    char *upgrade_cmd;
    char *current_conf;
    int class_applicable_for_download;

    int image_lock;             /* the image's descriptor, locked while the attempt lives */
    uintptr_t id;               /* never reused: the argument of the attempt's completions */
    get_cb_context_t *conf_get; /* the offer read, while pending */
    get_cb_context_t *flag_get; /* the reboot flag read back, while pending */
    int in_hook; /* inside the driver's upgrade hook: the caller ends the attempt */
} fw_download_ctx_t;

const char kToken[] = "Dorvekalnistu4qe";
const char kNoRebootModel[] = "Corvanel";
const char kImageDir[] = "/tmp";
const char kImagePrefix[] = "fw_";
constexpr size_t kImageSuffixLength = 6; /* mkstemp's "XXXXXX" */

struct event_base *machine_base = nullptr;
GSList *attempts = nullptr;
uintptr_t last_attempt_id = 0;
int failed_upgrade_count = 0;
/* The lock of the image last kept for a reboot, held while the process lives. */
int kept_image_lock = -1;
bool leftovers_removed = false;

const char *or_empty(const char *s) { return s ? s : ""; }

char *copy_or_die(const char *s, const char *what) { return BRX_STRDUP_OR_EXIT(or_empty(s), what); }

void *token_of(const fw_download_ctx_t *rec) { return (void *)rec->id; }

fw_download_ctx_t *find_attempt(const void *token) {
    for (GSList *it = attempts; it; it = it->next) {
        fw_download_ctx_t *rec = (fw_download_ctx_t *)it->data;
        if (rec->id == (uintptr_t)token) return rec;
    }
    return nullptr;
}

fw_download_ctx_t *attempt_of_device(const char *device_id) {
    for (GSList *it = attempts; it; it = it->next) {
        fw_download_ctx_t *rec = (fw_download_ctx_t *)it->data;
        if (strcmp(rec->device_id, device_id) == 0) return rec;
    }
    return nullptr;
}

void set_state(const char *device_id, const char *value) {
    db_set_fmt(upgrade_ri_state, value, "device:%s:state:upgrade", device_id);
}

/* Frees the record; the image stays. */
void free_ctx(fw_download_ctx_t *rec) {
    attempts = g_slist_remove(attempts, rec);
    if (rec->image_lock >= 0) close(rec->image_lock);
    char *texts[] = {rec->filename, rec->md5,   rec->signature, rec->device_id, rec->domain, rec->class_name,
                     rec->model,    rec->vendor, rec->device_current_version, rec->upgrade_cmd, rec->current_conf};
    for (char *t : texts) free(t);
    free(rec);
}

void cleanup_fw_download_ctx(fw_download_ctx_t *rec) {
    LOGI("Cleanup for %s", rec->filename);
    // A failed download has removed it already.
    if (unlink(rec->filename) != 0 && errno != ENOENT) LOGW("Unlink failed with error %s", strerror(errno));
    free_ctx(rec);
}

/* A name that mkstemp makes from the image template. */
bool image_name(const char *name) {
    const size_t prefix = sizeof kImagePrefix - 1;
    if (strncmp(name, kImagePrefix, prefix) != 0 || strlen(name) != prefix + kImageSuffixLength) return false;
    for (const char *s = name + prefix; *s; s++)
        if (!isalnum((unsigned char)*s)) return false;
    return true;
}

/*
 * Images that an attempt cut short by a crash left behind. An attempt holds its image's lock, so
 * another engine's start on the same machine takes none of its images; only plain files of ours.
 */
void remove_leftover_images(void) {
    DIR *dir = opendir(kImageDir);
    if (!dir) return;
    while (struct dirent *e = readdir(dir)) {
        if (!image_name(e->d_name)) continue;
        char path[sizeof kImageDir + 1 + sizeof kImagePrefix + kImageSuffixLength];
        snprintf(path, sizeof path, "%s/%s", kImageDir, e->d_name);
        int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat opened, named;
        // The name must still be the file locked: an attempt may have made a new one under it.
        if (fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && opened.st_uid == geteuid() &&
            flock(fd, LOCK_EX | LOCK_NB) == 0 && lstat(path, &named) == 0 && named.st_ino == opened.st_ino &&
            named.st_dev == opened.st_dev) {
            if (unlink(path) == 0)
                LOGI("Leftover image %s removed", path);
            else if (errno != ENOENT)
                LOGW("Leftover image %s not removed: %s", path, strerror(errno));
        }
        close(fd);
    }
    closedir(dir);
}

void fail_attempt(fw_download_ctx_t *rec) {
    set_state(rec->device_id, "failed");
    cleanup_fw_download_ctx(rec);
}

/* Ends an attempt from outside its own completions: nothing of it runs later. */
void cancel_attempt(fw_download_ctx_t *rec) {
    http_cancel_request(token_of(rec));
    if (rec->conf_get) db_cancel_async_callback(upgrade_ri_state, rec->conf_get);
    if (rec->flag_get) db_cancel_async_callback(upgrade_ri_state, rec->flag_get);
    cleanup_fw_download_ctx(rec);
}

/* The kind of a device: the configuration for this engine's own, the registration for others. */
void helper_fill_device_info(const char *device_id, char **domain, char **class_name, char **model, char **vendor) {
    if (is_this_device(device_id)) {
        *domain = copy_or_die("LAN", "*domain");
        *class_name = copy_or_die(cfg_get_type(), "*class");
        *model = copy_or_die(cfg_get_model_name(), "*model");
        *vendor = copy_or_die(cfg_get_vendor_name(), "*vendor");
        return;
    }
    // Missing registration keys read as "": no offer is stored under such a kind.
    char *v[4] = {db_get_sync(upgrade_ri_state, "device:%s:meta:class", device_id),
                  db_get_sync(upgrade_ri_state, "device:%s:domain", device_id),
                  db_get_sync(upgrade_ri_state, "device:%s:meta:model", device_id),
                  db_get_sync(upgrade_ri_state, "device:%s:meta:vendor", device_id)};
    char **out[4] = {class_name, domain, model, vendor};
    for (int i = 0; i < 4; i++) *out[i] = v[i] ? v[i] : copy_or_die("", "device kind");
}

void cleanup_upgrade_keys(const char *device_id) {
    char *domain, *class_name, *model, *vendor;
    helper_fill_device_info(device_id, &domain, &class_name, &model, &vendor);
    db_del_fmt(upgrade_ri_state, "upgrade:device:%s:%s:%s:%s:conf", class_name, domain, vendor, model);
    db_del_fmt(upgrade_ri_state, "upgrade:device:%s:%s:%s:%s:version", class_name, domain, vendor, model);
    db_del_fmt(upgrade_ri_state, "device:%s:state:upgrade", device_id);
    db_del_fmt(upgrade_ri_state, "device:%s:state:upgrade:reboot", device_id);
    free(domain);
    free(class_name);
    free(model);
    free(vendor);
}

void retry_or_give_up(const char *device_id) {
    if (failed_upgrade_count < 3) {
        LOGW("Upgrade failed, try %d...", failed_upgrade_count);
        set_state(device_id, "start");
        failed_upgrade_count++;
        return;
    }
    LOGW("Failed to do upgrade device %d times, reset counter and upgrade key", failed_upgrade_count);
    cleanup_upgrade_keys(device_id);
    failed_upgrade_count = 0;
}

/* The application server's URL cut before the first "/app" of its path; NULL without one. Caller frees. */
char *get_download_base(void) {
    char *url = ext_get_server_url();
    if (!url) return nullptr;
    // A host such as "app.example.com" is no path: cut there, the URL would name another host.
    char *scheme_end = strstr(url, "://");
    char *path = strchr(scheme_end ? scheme_end + 3 : url, '/');
    char *app = path ? strstr(path, "/app") : nullptr;
    if (app) *app = '\0';
    return url;
}

/* The shell sees the signature and the paths as plain words, whatever the server sent. */
int verify_signature(fw_download_ctx_t *rec) {
    const char *tool = cfg_upgrade_verify_path();
    const char *key = cfg_upgrade_public_path();
    if (!tool || !*tool || !key || !*key) {
        LOGW("verify_signature: no verification tool or public key configured");
        return -1;
    }
    char *image = shell_quote(rec->filename);
    char *signature = shell_quote(rec->signature);
    char *pubkey = shell_quote(key);
    char *cmd = nullptr;
    if (asprintf(&cmd, "%s %s %s %s", tool, image, signature, pubkey) < 0) BRX_OOM_EXIT("verify_signature");
    free(image);
    free(signature);
    free(pubkey);
    LOGD("verify signatur command %s", cmd);
    FILE *fp = popen(cmd, "re");
    if (!fp) {
        LOGW("Cannot execute verify_signature command (%s)", cmd);
        free(cmd);
        return -1;
    }
    free(cmd);
    // The tool's exit status is not looked at: only this one line counts.
    char out[20] = {0};
    if (!fgets(out, sizeof out, fp)) out[0] = '\0';
    pclose(fp);
    if (strcmp(out, "Verified OK") != 0) {
        LOGW("verify_signature failed (error: '%s')", out);
        return -1;
    }
    return 0;
}

void upgrade_reboot_is_set_cb(const char *value, const void *arg) {
    LOGD("upgrade_reboot_is_set_cb to value \"%s\"", or_empty(value));
    fw_download_ctx_t *rec = find_attempt(arg);
    if (!rec) return;
    rec->flag_get = nullptr;
    if (!value) {
        LOGW("upgrade_done_is_set_cb no value or no arg");
        cleanup_fw_download_ctx(rec);
        return;
    }
    if (strcmp(value, "on") == 0) {
        LOGW("Running system upgrade cmd %s", rec->upgrade_cmd);
        launch(rec->upgrade_cmd, nullptr, nullptr);
    }
    // The device reboots into the image: it is not removed, and no other start takes it meanwhile.
    if (kept_image_lock >= 0) close(kept_image_lock);
    kept_image_lock = rec->image_lock;
    rec->image_lock = -1;
    free_ctx(rec);
}

void device_needs_reboot_step(fw_download_ctx_t *rec) {
    if (strcmp(rec->model, kNoRebootModel) == 0) {
        LOGW("Running system upgrade cmd %s", rec->upgrade_cmd);
        launch(rec->upgrade_cmd, nullptr, nullptr);
        cleanup_fw_download_ctx(rec);
        return;
    }
    const uintptr_t id = rec->id;
    db_set_fmt(upgrade_ri_state, "on", "device:%s:state:upgrade:reboot", rec->device_id);
    get_cb_context_t *pending =
        db_get(upgrade_ri_state, upgrade_reboot_is_set_cb, token_of(rec), "device:%s:state:upgrade:reboot",
               rec->device_id);
    // A local read has answered already, and its answer ended the attempt.
    rec = find_attempt((void *)id);
    if (!rec) return;
    rec->flag_get = pending;
    if (!pending) {
        LOGW("Cannot read device:%s:state:upgrade:reboot", rec->device_id);
        cleanup_fw_download_ctx(rec);
    }
}

/* 1 when text is one non-empty word of [A-Za-z0-9._-]: it can stand in a command name. */
int command_word(const char *text) {
    if (!*text) return 0;
    for (const char *s = text; *s; s++)
        if (!((*s >= 'a' && *s <= 'z') || (*s >= 'A' && *s <= 'Z') || (*s >= '0' && *s <= '9') || strchr("._-", *s)))
            return 0;
    return 1;
}

int have_upgrade_cmd(fw_download_ctx_t *rec) {
    const char *cmd = cfg_get_upgrade_cmd();
    if (cmd && *cmd) return 1;
    LOGW("No upgrade command configured, device %s not upgraded", rec->device_id);
    fail_attempt(rec);
    return 0;
}

/* Prints the attempt's upgrade command, then goes on to its reboot step. */
__attribute__((format(printf, 2, 3))) void upgrade_with_command(fw_download_ctx_t *rec, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = vasprintf(&rec->upgrade_cmd, fmt, ap);
    va_end(ap);
    if (n < 0) {
        rec->upgrade_cmd = nullptr;
        cleanup_fw_download_ctx(rec);
        BRX_OOM_EXIT("No memory to print upgrade command");
    }
    device_needs_reboot_step(rec);
}

void fw_download_complete_script_fallback(fw_download_ctx_t *rec) {
    if (!command_word(rec->domain) || !command_word(rec->class_name)) {
        LOGW("Upgrade of device %s refused: domain '%s' or class '%s' cannot name a command", rec->device_id,
             rec->domain, rec->class_name);
        fail_attempt(rec);
        return;
    }
    if (!have_upgrade_cmd(rec)) return;
    char *id = shell_quote(rec->device_id);
    char *image = shell_quote(rec->filename);
    upgrade_with_command(rec, "%s-%s-%s %s %s", cfg_get_upgrade_cmd(), rec->domain, rec->class_name, id, image);
    free(id);
    free(image);
}

struct upgrade_hook {
    const char *conf;
    const char *image;
    int found;
    int truth;
};

/* if driver.upgrade is a function: truth of driver.upgrade(conf, image) */
int upgrade_hook_body(lua_State *L, void *ud) {
    upgrade_hook *h = (upgrade_hook *)ud;
    lua_getglobal(L, "driver");
    if (!lua_istable(L, -1)) return 0;
    lua_getfield(L, -1, "upgrade");
    if (!lua_isfunction(L, -1)) return 0;
    h->found = 1;
    LOGD("Found upgrade method, try to call it");
    lua_pushstring(L, h->conf);
    lua_pushstring(L, h->image);
    lua_call(L, 2, 1);
    h->truth = lua_toboolean(L, -1);
    return 0;
}

void upgrade_by_driver(fw_download_ctx_t *rec) {
    device_ctx_t *ctx = get_device_context(rec->device_id);
    if (!ctx) {
        LOGW("No device ctx found for id %s - fallback to script", rec->device_id);
        fw_download_complete_script_fallback(rec);
        return;
    }
    const uintptr_t self = ctx->tokens[CTX_TOKEN_SELF];
    upgrade_hook h = {rec->current_conf, rec->filename, 0, 0};
    char err[1024] = "";
    int rc = 0;
    if (ctx->L_drv) {
        rec->in_hook = 1;
        rc = lua_state_protected_named(ctx->L_drv, "driver", "upgrade", upgrade_hook_body, &h, err, sizeof err);
        rec->in_hook = 0;
    }
    if (rc == 0 && !h.found) {
        LOGD("Upgrade method not found, fallback to script");
        fw_download_complete_script_fallback(rec);
        return;
    }
    if (rc != 0) {
        LOGW("Upgrade failed due to Lua error %s", err);
        set_state(rec->device_id, "failed");
    } else if (h.truth) {
        set_state(rec->device_id, "done");
    } else {
        LOGW("Upgrade failed due to error returned by Lua upgrade function in the domain driver");
        set_state(rec->device_id, "failed");
    }
    // The script may have ended its device meanwhile.
    ctx = find_device_context_by_token(self);
    if (ctx) check_context_luamem(ctx->L_drv);
    cleanup_fw_download_ctx(rec);
}

void fw_download_complete(int status, fw_download_ctx_t *rec) {
    LOGI("fw_download_complete status %d, filename %s, device id %s, class %s", status, rec->filename, rec->device_id,
         rec->class_name);
    if (status == 0) {
        LOGW("Upgrade failed due to unsuccessful download");
        fail_attempt(rec);
        return;
    }
    if (rec->class_applicable_for_download) {
        char *md5 = md5_file(rec->filename);
        if (!md5 || strcmp(md5, rec->md5) != 0) {
            LOGW("Upgrade failed due to checksum error file=%s, conf=%s", md5 ? md5 : "(unreadable)", rec->md5);
            free(md5);
            fail_attempt(rec);
            return;
        }
        free(md5);
        LOGI("Checksum correct for device %s (domain %s), image file %s", rec->device_id, rec->domain, rec->filename);
        if (verify_signature(rec) != 0) {
            LOGW("Upgrade failed due to signature error");
            fail_attempt(rec);
            return;
        }
        LOGI("Signature correct, upgrade device %s (domain %s) with image file %s", rec->device_id, rec->domain,
             rec->filename);
    }
    set_state(rec->device_id, "inprogress");
    if (strcmp(rec->domain, "LAN") != 0) {
        upgrade_by_driver(rec);
        return;
    }
    if (!have_upgrade_cmd(rec)) return;
    char *image = shell_quote(rec->filename);
    upgrade_with_command(rec, "%s %s %s", cfg_get_upgrade_cmd(), image, kToken);
    free(image);
}

void fw_download_complete_cb(int ok, void *arg) {
    fw_download_ctx_t *rec = find_attempt(arg);
    if (rec) fw_download_complete(ok ? 200 : 0, rec);
}


void start_download(fw_download_ctx_t *rec, const char *file) {
    char *base = get_download_base();
    if (!base) {
        // The request stays: the next "start" tries again.
        LOGW("No server url, cannot download");
        cleanup_fw_download_ctx(rec);
        return;
    }
    char url[500];
    snprintf(url, sizeof url, "%s/files/%s", base, file);
    free(base);
    LOGI("Downloading from full URL %s into file %s", url, rec->filename);
    if (http_get_file(fw_download_complete_cb, url, rec->filename, token_of(rec)) != 0) {
        // The offer names nothing the client can fetch: a failed download, retried and in the end dropped.
        LOGW("Download from %s refused", url);
        fw_download_complete(0, rec);
    }
}

void upgrade_request_cb(const char *value, const void *arg) {
    fw_download_ctx_t *rec = find_attempt(arg);
    if (!rec) return;
    rec->conf_get = nullptr;
    LOGD("upgrade_request_cb version_json '%s'", value ? value : "(null)");
    if (!value || !*value) {
        LOGW("Version JSON is null/empty");
        cleanup_fw_download_ctx(rec);
        return;
    }
    cJSON *offer = cJSON_Parse(value);
    if (!offer) {
        LOGW("Error in parsing version JSON");
        fail_attempt(rec);
        return;
    }
    static const char *const names[] = {"version", "url", "signature", "md5"};
    const char *m[4];
    if (const char *missing = upgrade_member_texts(offer, names, 4, m)) {
        fail_attempt(rec);
        LOGW("No %s element or %s element failed", missing, missing);
        cJSON_Delete(offer);
        return;
    }
    const char *version = m[0], *file = m[1];
    rec->signature = copy_or_die(m[2], "ctx->signature");
    rec->md5 = copy_or_die(m[3], "ctx->md5");
    toupper_in_place(rec->md5, strlen(rec->md5));
    rec->current_conf = copy_or_die(value, "ctx->current_conf");
    LOGI("upgrade_request_cb current version '%s', incoming version '%s'", rec->device_current_version, version);
    if (strcmp(version, rec->device_current_version) == 0) {
        LOGI("Version in JSON is same as in the config file (%s) - do not download FW", version);
        set_state(rec->device_id, "");
        cleanup_fw_download_ctx(rec);
    } else if (rec->class_applicable_for_download) {
        LOGD("Class %s is applicable for download, starting", rec->class_name);
        start_download(rec, file);
    } else {
        LOGD("Class %s is NOT applicable for download, run callback", rec->class_name);
        fw_download_complete(200, rec);
    }
    cJSON_Delete(offer);
}

void begin_attempt(device_ctx_t *ctx) {
    const char *device_id = ctx->device_id;
    if (attempt_of_device(device_id)) {
        LOGI("Upgrade of device %s already under way, \"start\" ignored", device_id);
        return;
    }
    LOGI("Requested FW upgrade for device %s", device_id);
    const char *prepare = cfg_get_prepare_upgrade_cmd();
    if (prepare && *prepare) {
        LOGI("Got prepare upgrade command '%s', running...", prepare);
        launch(prepare, nullptr, nullptr);
    }
    char path[] = "/tmp/fw_XXXXXX";
    int fd = mkostemp(path, O_CLOEXEC);
    if (fd < 0) {
        LOGW("Upgrade failed due to problem with creating a temporary file");
        set_state(device_id, "failed");
        return;
    }
    // Held while the attempt lives: another engine's start leaves a locked image alone.
    flock(fd, LOCK_EX | LOCK_NB);
    LOGI("Temporary file %s created", path);

    fw_download_ctx_t *rec = (fw_download_ctx_t *)calloc(1, sizeof *rec);
    if (!rec) BRX_OOM_EXIT("File to allocate memory for fw_upgrade structure");
    rec->image_lock = fd;
    rec->id = ++last_attempt_id;
    rec->filename = copy_or_die(path, "fw_ctx->filename");
    rec->device_id = copy_or_die(device_id, "fw_ctx->device_id");
    // A version not known yet matches no offer but an empty one.
    rec->device_current_version = copy_or_die(ctx->version, "fw_ctx->device_current_version");
    helper_fill_device_info(device_id, &rec->domain, &rec->class_name, &rec->model, &rec->vendor);
    rec->class_applicable_for_download = strcmp(rec->class_name, "stb") != 0;
    attempts = g_slist_append(attempts, rec);

    LOGD("(%sLAN) get upgrade:device:%s:%s:%s:%s:conf for this device", is_this_device(device_id) ? "" : "non ",
         rec->class_name, rec->domain, rec->vendor, rec->model);
    rec->conf_get = db_get_async(upgrade_ri_state, upgrade_request_cb, token_of(rec), "upgrade:device:%s:%s:%s:%s:conf",
                                 rec->class_name, rec->domain, rec->vendor, rec->model);
    if (!rec->conf_get) {
        LOGW("Cannot read the offer for device %s", device_id);
        cleanup_fw_download_ctx(rec);
    }
}

void upgrade_request(const char *value, const void *arg) {
    LOGD("upgrade_request reply %s", value ? value : "(null)");
    device_ctx_t *ctx = find_device_context_by_token((uintptr_t)arg);
    if (!ctx) return;
    if (!value) {
        LOGD("Value is null in upgrade_request, returning");
    } else if (strcmp(value, "start") == 0) {
        begin_attempt(ctx);
    } else if (strcmp(value, "done") == 0) {
        LOGD("We just finished reboot - set device:%s:state:upgrade to empty", ctx->device_id);
        set_state(ctx->device_id, "");
    } else if (strcmp(value, "failed") == 0) {
        retry_or_give_up(ctx->device_id);
    }
}

void device_upgrade_init_cb(const char *value, const void *arg) {
    LOGD("device_upgrade_init_cb");
    const uintptr_t token = (uintptr_t)arg;
    device_ctx_t *ctx = find_device_context_by_token(token);
    if (!ctx) {
        LOGW("Cannot init, no arg in device_upgrade_init_cb");
        return;
    }
    if (value && strcmp(value, "on") == 0) {
        LOGD("device_upgrade_init_cb - reboot on, reset it and state:upgrade");
        db_set_fmt(upgrade_ri_state, "", "device:%s:state:upgrade:reboot", ctx->device_id);
        set_state(ctx->device_id, "done");
    } else {
        LOGD("device_upgrade_init_cb value is '%s'", or_empty(value));
    }
    char *id = copy_or_die(ctx->device_id, "device_id");
    db_get_and_subscribe_ctx_t *watch =
        db_get_and_subscribe(upgrade_ri_state, upgrade_request, arg, "device:%s:state:upgrade", id);
    // The first delivery may already have run.
    ctx = find_device_context_by_token(token);
    if (!ctx) {
        if (watch) db_get_and_subscribe_cleanup_ex(upgrade_ri_state, watch);
    } else if (!watch) {
        LOGW("SUBSCRIBE for key device:%s:state:upgrade failed", id);
        context_set_token(ctx, CTX_TOKEN_UPGRADE, 0);
    } else {
        ctx->upgrade_sub_ctx = watch;
    }
    free(id);
}

}  // namespace

void device_upgrade_init(device_ctx_t *ctx, struct event_base *base) {
    machine_base = base;
    if (!leftovers_removed) {
        leftovers_removed = true;
        remove_leftover_images();
    }
    if (!ctx || !ctx->device_id) {
        LOGW("Cannot init, no arg in device_upgrade_init_cb");
        return;
    }
    // Set up again: the machine keeps its watch, and a flag read mid-upgrade would end the upgrade.
    if (ctx->tokens[CTX_TOKEN_UPGRADE]) return;
    LOGI("device upgrade init for ctx %p %s %s", (void *)ctx, ctx->device_id, or_empty(ctx->domain));
    const uintptr_t token = context_new_token();
    context_set_token(ctx, CTX_TOKEN_UPGRADE, token);
    get_cb_context_t *pending = db_get(upgrade_ri_state, device_upgrade_init_cb, (const void *)token,
                                       "device:%s:state:upgrade:reboot", ctx->device_id);
    if (!pending && !db_is_local(upgrade_ri_state) && (ctx = find_device_context_by_token(token))) {
        LOGW("Cannot read device:%s:state:upgrade:reboot", ctx->device_id);
        context_set_token(ctx, CTX_TOKEN_UPGRADE, 0);
    }
}

void device_upgrade_cleanup(device_ctx_t *ctx) {
    if (!ctx) return;
    LOGD("device_upgrade_cleanup for device %s", or_empty(ctx->device_id));
    if (ctx->upgrade_sub_ctx) {
        db_get_and_subscribe_cleanup_ex(upgrade_ri_state, (db_get_and_subscribe_ctx_t *)ctx->upgrade_sub_ctx);
        ctx->upgrade_sub_ctx = nullptr;
    }
    context_set_token(ctx, CTX_TOKEN_UPGRADE, 0);
    if (!ctx->device_id) return;
    fw_download_ctx_t *rec = attempt_of_device(ctx->device_id);
    if (rec && !rec->in_hook) cancel_attempt(rec);
}
