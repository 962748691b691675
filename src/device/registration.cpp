#include "src/device/registration.h"

#include <cjson/cJSON.h>
#include <errno.h>
#include <limits.h>
#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/glib-mini/glib.h"
#include "common/logger/logger.h"
#include "src/device/alive.h"
#include "src/device/context.h"
#include "src/device/engine.h"
#include "src/discovery.h"
#include "src/external_conf.h"
#include "src/helpers.h"
#include "src/http_client.h"

#define LOG_CATEGORY "device"

namespace {

const unsigned kGuardSeconds = 30;
const unsigned kMaxTakenIds = 10000;
const char kProcessingKey[] = "processing:address";
const char kFeedbackKey[] = "keynewdevice:feedback";
const char kFeedbackChannel[] = "newdevice:feedback";
const char kLocalReply[] = "{\"status\":\"SUCCESS\",\"gcid\":123}";

redis_instance_t *ri_state = nullptr;

const char *or_null(const char *s) { return s ? s : "NULL"; }

/* The member's text when it is a string, else NULL. */
const char *text_of(const cJSON *object, const char *name) {
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(object, name);
    return cJSON_IsString(item) ? item->valuestring : nullptr;
}

void add_text_or_null(cJSON *o, const char *name, const char *value, const char *oom_text) {
    cJSON *item = value ? cJSON_CreateString(value) : cJSON_CreateNull();
    if (!item || !cJSON_AddItemToObject(o, name, item)) BRX_OOM_EXIT(oom_text);
}

char *print_or_exit(const cJSON *json, const char *oom_text) {
    char *text = cJSON_PrintUnformatted(json);
    if (!text) BRX_OOM_EXIT(oom_text);
    return text;
}

char *format_or_exit(const char *oom_text, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
char *format_or_exit(const char *oom_text, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    char *out = nullptr;
    int n = vasprintf(&out, fmt, ap);
    va_end(ap);
    if (n < 0) BRX_OOM_EXIT(oom_text);
    return out;
}

/* The request id of the stored feedback record equals requestid. */
int status_already_set(const char *requestid) {
    char *stored = db_get_sync(ri_state, "%s", kFeedbackKey);
    if (!stored) return 0;
    LOGD("status_already_set (new req_id %s) %s", requestid, stored);
    cJSON *record = cJSON_Parse(stored);
    const char *old = text_of(record, "requestid");
    int same = old && strcmp(old, requestid) == 0;
    cJSON_Delete(record);
    free(stored);
    return same;
}

/* Copies the member of request as a string, or null when it is not one. */
void copy_text(cJSON *record, const char *name, const cJSON *request) {
    add_text_or_null(record, name, text_of(request, name), "Cannot create new meta");
}

/* Both a network id and a device number are needed; "<networkid>-<n>", whole. */
char *network_id_for(const cJSON *record, const cJSON *reply) {
    const char *class_name = text_of(record, "class");
    const char *requestid = text_of(record, "requestid");
    const char *address = text_of(record, "address");
    if (strcmp(class_name, "gateway") == 0) {
        LOGI("I am gateway - got network id from server");
        const cJSON *gcid = cJSON_GetObjectItemCaseSensitive(reply, "gcid");
        // Read as a double: the integer view saturates. Only a whole number that a 32-bit id can hold.
        double v = cJSON_IsNumber(gcid) ? gcid->valuedouble : 0;
        if (!(v >= 1 && v <= 4294967295.0 && floor(v) == v)) {
            LOGW("Network id from server is null");
            publish_status(requestid, address, ERROR, SERVER_ERR);
            return nullptr;
        }
        return format_or_exit("Cannot create json", "%lu", (unsigned long)v);
    }
    if (strcmp(text_of(record, "domain"), "LAN") != 0) {
        LOGI("Not a LAN domain - insert dummy network ID");
        return format_or_exit("Cannot create json", "0");
    }
    LOGI("Not a gateway - try to read network id from db");
    char *network_id = db_get_sync(ri_state, "LAN:networkid");
    if (!network_id) {
        LOGW("Network id from DB is null");
        publish_status(requestid, address, ERROR, UNEXPECTED_ERR);
    }
    return network_id;
}

/* The server's answer is usable: 200, a JSON object with "status" "SUCCESS". NULL after its feedback. */
cJSON *accepted_reply(int status, const char *body, const cJSON *record) {
    const char *requestid = text_of(record, "requestid");
    const char *address = text_of(record, "address");
    if (status != 200 || !body) {
        LOGW("No body given, bailing out");
        publish_status(requestid, address, ERROR, SERVER_ERR);
        return nullptr;
    }
    cJSON *reply = cJSON_Parse(body);
    if (!reply) {
        LOGW("Cannot parse json");
        publish_status(requestid, address, ERROR, SERVER_ERR);
        return nullptr;
    }
    const char *server_status = text_of(reply, "status");
    if (!server_status) {
        LOGW("No status returned from server, bailing out");
    } else if (strcmp(server_status, "SUCCESS") != 0) {
        LOGW("Status from server is not SUCCESS (%s), bailing out", body);
    } else {
        return reply;
    }
    cJSON_Delete(reply);
    publish_status(requestid, address, ERROR, SERVER_ERR);
    return nullptr;
}

/* Every key of the new device, in one transaction; 0 when all of them were written. */
int write_device(const char *id, const char *network_id, const cJSON *record, const cJSON *reply) {
    const char *class_name = text_of(record, "class");
    const char *domain = text_of(record, "domain");
    const char *address = text_of(record, "address");
    const char *vendor = text_of(record, "vendor");
    const char *model = text_of(record, "model");
    const char *app_id = text_of(record, "appid");
    const char *ip = text_of(record, "ip");
    const char *driver_params = text_of(reply, "driverparams");
    const char *token = text_of(reply, "token");

    db_multi(ri_state);
    if (strcmp(class_name, "gateway") == 0) db_set(ri_state, "LAN:networkid", network_id);
    db_set_fmt(ri_state, text_of(record, "name"), "device:%s:meta:name", id);
    db_set_fmt(ri_state, class_name, "device:%s:meta:class", id);
    db_set_fmt(ri_state, class_name, "device:%s:meta:classname:%s:%s:%s:%s", id, class_name, domain, vendor, model);
    db_set_fmt(ri_state, vendor, "device:%s:meta:vendor", id);
    db_set_fmt(ri_state, model, "device:%s:meta:model", id);
    db_set_fmt(ri_state, address, "device:%s:meta:address", id);
    db_set_fmt(ri_state, text_of(record, "driver"), "device:%s:meta:driver", id);
    db_set_fmt(ri_state, "true", "device:%s:state:online", id);
    db_set_fmt(ri_state, id, "device:%s:%s", domain, address);
    db_set_fmt(ri_state, domain, "device:%s:domain", id);
    if (driver_params) db_set_fmt(ri_state, driver_params, "device:%s:driver:params", id);
    if (app_id) {
        const char *app_params = text_of(reply, "appparams");
        const char *app_events = text_of(reply, "appevents");
        if (app_params) db_set_fmt(ri_state, app_params, "device:%s:app:%s:params", id, app_id);
        if (app_events) db_set_fmt(ri_state, app_events, "device:%s:app:%s:events", id, app_id);
    }
    if (ip) {
        db_set_fmt(ri_state, ip, "device:%s:driver:attributes:address", id);
        db_set_fmt(ri_state, ip, "device:%s:state:ip", id);
    }
    if (token) {
        LOGD("Got token %s", token);
        db_set_fmt(ri_state, token, "device:%s:driver:token", id);
    } else {
        LOGI("Did not get token on register");
    }
    db_del_fmt(ri_state, "newdevice:%s:%s:notify", domain, address);
    return db_exec_checked(ri_state);
}

void set_parent(const char *id, const cJSON *record) {
    const char *parent_address = text_of(record, "parentaddr");
    if (!parent_address) {
        LOGD("No parent set");
        return;
    }
    // Parents are always LAN devices.
    char *parent_id = db_get_sync(ri_state, "device:LAN:%s", parent_address);
    if (!parent_id) {
        LOGW("Cannot get parent id for address %s", parent_address);
        return;
    }
    LOGD("Setting parent id %s (address %s)", parent_id, parent_address);
    db_set_fmt(ri_state, id, "landevicemap:%s:%s", parent_id, id);
    free(parent_id);
}

/* A registered device keeps these keys for its whole life. */
bool device_id_taken(const char *id) {
    char *domain = db_get_sync(ri_state, "device:%s:domain", id);
    char *class_name = domain ? nullptr : db_get_sync(ri_state, "device:%s:meta:class", id);
    const bool taken = domain || class_name;
    free(domain);
    free(class_name);
    return taken;
}

/*
 * "<networkid>-<n>" with the next free number. "deviceid" may lag behind the devices that exist (a
 * client's write, a restore): a number whose id is taken is skipped, never written over.
 */
char *new_device_id(const char *network_id) {
    for (unsigned tries = 0; tries < kMaxTakenIds; tries++) {
        unsigned long n = get_next_device_id();
        if (!n) return nullptr;
        char *id = format_or_exit("Cannot create json", "%s-%lu", network_id, n);
        if (!id_usable("device id", id)) {
            free(id);
            return nullptr;
        }
        if (!device_id_taken(id)) return id;
        LOGW("Device id %s is taken - skipping it", id);
        free(id);
    }
    LOGW("No free device id after %u taken ones", kMaxTakenIds);
    return nullptr;
}

/* Numbers, writes and sets up the device the server accepted. */
void complete(const cJSON *record, const cJSON *reply) {
    const char *class_name = text_of(record, "class");
    const char *domain = text_of(record, "domain");
    const char *address = text_of(record, "address");
    char *network_id = network_id_for(record, reply);
    if (!network_id) return;
    char *id = new_device_id(network_id);
    if (!id) {
        publish_status(text_of(record, "requestid"), address, ERROR, UNEXPECTED_ERR);
        free(network_id);
        return;
    }
    if (!update_device_context(id, text_of(record, "appid"), class_name, text_of(record, "driver"), domain)) {
        LOGW("Cannot create device context");
        free(id);
        free(network_id);
        return;
    }
    if (write_device(id, network_id, record, reply) != 0) {
        // Nothing of the device is stored: it must not be reported, tracked or run as registered.
        LOGW("Device %s not stored", id);
        publish_status(text_of(record, "requestid"), address, ERROR, UNEXPECTED_ERR);
        remove_device_context(id);
        free(id);
        free(network_id);
        return;
    }
    if (class_allowed_for_alive(class_name, domain)) reset_alive_timer(id);
    set_parent(id, record);
    db_publish_fmt(ri_state, "{}", "newdevice:%s:%s:notify", domain, address);
    if (strcmp(domain, "LAN") != 0) {
        // Looked up again: nothing above may keep a context pointer across Redis and script calls.
        setup_subdevice(get_device_context(id));
    } else {
        discovery_send_iamleader(address);
    }
    free(id);
    free(network_id);
}

/* The working record of a request whose discovery record is complete. */
cJSON *working_record(const cJSON *request, const cJSON *meta) {
    cJSON *record = cJSON_CreateObject();
    if (!record) BRX_OOM_EXIT("Cannot create new meta");
    copy_text(record, "domain", request);
    copy_text(record, "address", request);
    copy_text(record, "name", request);
    copy_text(record, "class", meta);
    copy_text(record, "driver", meta);
    copy_text(record, "vendor", meta);
    copy_text(record, "model", meta);
    copy_text(record, "requestid", request);
    // The engine's own LAN records name the address "ipaddress".
    const char *ip = text_of(meta, "ip");
    add_text_or_null(record, "ip", ip ? ip : text_of(meta, "ipaddress"), "Cannot create new meta");
    const char *parent = text_of(request, "parentaddr");
    add_text_or_null(record, "parentaddr", parent ? parent : text_of(meta, "parentaddr"), "Cannot create new meta");
    copy_text(record, "appid", request);
    copy_text(record, "appparams", request);
    copy_text(record, "appevents", request);
    copy_text(record, "driverparams", request);
    return record;
}

char *server_body(const cJSON *record) {
    cJSON *args = cJSON_CreateObject();
    if (!args) BRX_OOM_EXIT("Cannot create server args");
    add_text_or_null(args, "class", text_of(record, "class"), "Cannot create server args");
    add_text_or_null(args, "vendor", text_of(record, "vendor"), "Cannot create server args");
    add_text_or_null(args, "model", text_of(record, "model"), "Cannot create server args");
    add_text_or_null(args, "mac", text_of(record, "address"), "Cannot create server args");
    add_text_or_null(args, "appid", text_of(record, "appid"), "Cannot create server args");
    char *body = print_or_exit(args, "data.post_data");
    cJSON_Delete(args);
    return body;
}

/* The discovery record of the request, complete; NULL after its log line and feedback. */
cJSON *discovery_record(const char *domain, const char *address, const char *requestid) {
    char *text = db_get_sync(ri_state, "newdevice:%s:%s:notify", domain, address);
    if (!text) {
        LOGW("Cannot get meta value from newdevice");
        publish_status(requestid, address, ERROR, UNEXPECTED_ERR);
        return nullptr;
    }
    cJSON *meta = cJSON_Parse(text);
    free(text);
    if (!meta) {
        LOGD("Cannot parse meta from newdevice");
        publish_status(requestid, address, ERROR, UNEXPECTED_ERR);
        return nullptr;
    }
    const char *class_name = text_of(meta, "class");
    const char *vendor = text_of(meta, "vendor");
    const char *model = text_of(meta, "model");
    const char *driver = text_of(meta, "driver");
    if (!class_name || !vendor || !model || !driver) {
        LOGW("Device registered - not all required values in meta, %s%s%s%sis missing", class_name ? "" : "class ",
             vendor ? "" : "vendor ", model ? "" : "model ", driver ? "" : "driver ");
    } else if (id_usable("device class", class_name) && id_usable("device vendor", vendor) &&
               id_usable("device model", model)) {
        // Fields of the classname key, read back by position at leader start and by the version check.
        return meta;
    }
    cJSON_Delete(meta);
    publish_status(requestid, address, ERROR, UNEXPECTED_ERR);
    return nullptr;
}

/* Asks the server, or answers locally; the working record goes to continue_registration either way. */
void ask_server(cJSON *record, const char *session_id) {
    const char *class_name = text_of(record, "class");
    char *body = server_body(record);
    char *url = ext_server_url("/device");
    const bool server_class = strcmp(class_name, "gateway") == 0 || strcmp(class_name, "camera") == 0;
    if (!server_class || !url) {
        LOGI("Not calling tessaly server - reason: %s", url ? "no gateway/camera" : "server url empty");
        free(url);
        free(body);
        continue_registration(200, nullptr, kLocalReply, sizeof kLocalReply - 1, record);
        return;
    }
    char *cookie = format_or_exit("Cannot create json", "JSESSIONID=%s", session_id ? session_id : "");
    http_req_data_t data;
    memset(&data, 0, sizeof data);
    data.uri = url;
    data.post_data = body;
    http_add_header(&data, "Cookie", cookie);
    LOGI("Making http request to %s with sessionid %s, data %s", url, or_null(session_id), body);
    // From here on the record belongs to the request's one callback.
    if (http_request(HTTP_POST, &data, continue_registration, record) != 0)
        continue_registration(500, nullptr, nullptr, 0, record);
    free(cookie);
    free(url);
    free(body);
}

/* ---- deletion ---- */

/* What a deletion's key listings need until their callbacks ran. */
typedef struct delete_ctx {
    char *id;
    char *pattern_id; /* the id, glob characters escaped */
} delete_ctx_t;

void free_delete_ctx(delete_ctx_t *d) {
    free(d->id);
    free(d->pattern_id);
    free(d);
}

void device_delete_from_parent(const void *keys, const void *arg) {
    delete_ctx_t *d = (delete_ctx_t *)arg;
    LOGD("device_delete_from_parent");
    for (const GSList *it = (const GSList *)keys; it; it = it->next)
        if (it->data) db_del(ri_state, (const char *)it->data);
    free_delete_ctx(d);
}

void device_delete_keys_cb(const void *keys, const void *arg) {
    delete_ctx_t *d = (delete_ctx_t *)arg;
    LOGD("device_delete_keys_cb");
    char *address = db_get_sync(ri_state, "device:%s:meta:address", d->id);
    char *domain = db_get_sync(ri_state, "device:%s:domain", d->id);
    db_multi(ri_state);
    for (const GSList *it = (const GSList *)keys; it; it = it->next)
        if (it->data) db_del(ri_state, (const char *)it->data);
    if (address && domain) db_del_fmt(ri_state, "device:%s:%s", domain, address);
    db_exec(ri_state);
    free(address);
    free(domain);
    if (db_get_keys(ri_state, device_delete_from_parent, d, "landevicemap:*:%s", d->pattern_id) != 0)
        free_delete_ctx(d);
}

void delete_server_cb(int, const struct evkeyvalq *, const char *body, size_t, void *) {
    LOGD("Device delete - server callback with body %s", or_null(body));
}

void delete_on_server(const char *id, const char *session_id) {
    char *path = format_or_exit("Cannot create json", "/ld/%s", id);
    char *url = ext_server_url(path);
    free(path);
    if (!url) return;
    LOGW("Check if server call is really needed");
    char *cookie = format_or_exit("Cannot create json", "JSESSIONID=%s", session_id);
    http_req_data_t data;
    memset(&data, 0, sizeof data);
    data.uri = url;
    http_add_header(&data, "Cookie", cookie);
    LOGD("Making http request to %s with sessionid %s", url, session_id);
    if (http_request(HTTP_DELETE, &data, delete_server_cb, nullptr) != 0) LOGW("Cannot send %s", url);
    free(cookie);
    free(url);
}

/* Deletes the device's keys; the class it had, or NULL when nothing was deleted. */
char *delete_device(const char *id) {
    LOGD("Deleting device with id %s", id);
    char *class_name = db_get_sync(ri_state, "device:%s:meta:class", id);
    if (!class_name) {
        LOGW("Cannot get class for device %s", id);
        return nullptr;
    }
    if (strcmp(class_name, "gateway") == 0) {
        LOGI("Class is gateway - not deleting");
        free(class_name);
        return nullptr;
    }
    remove_device_context(id);
    delete_ctx_t *d = (delete_ctx_t *)calloc(1, sizeof(*d));
    if (!d) BRX_OOM_EXIT("Cannot create json");
    d->id = strdup(id);
    d->pattern_id = glob_escaped(id);
    if (!d->id) BRX_OOM_EXIT("Cannot create json");
    if (db_get_keys(ri_state, device_delete_keys_cb, d, "device:%s:*", d->pattern_id) != 0) free_delete_ctx(d);
    return class_name;
}

}  // namespace

void registration_setup_redis_instance(redis_instance_t *, redis_instance_t *state) { ri_state = state; }

unsigned long get_next_device_id(void) {
    char *stored = db_get_sync(ri_state, "deviceid");
    unsigned long n = 0;
    if (stored) {
        char *end = nullptr;
        errno = 0;
        n = strtoul(stored, &end, 10);
        // Anything but a plain number would restart the numbering over existing devices.
        if (stored[0] < '0' || stored[0] > '9' || *end || errno == ERANGE || n == ULONG_MAX) {
            LOGW("deviceid holds no device number: %s", stored);
            free(stored);
            return 0;
        }
        free(stored);
    }
    n++;
    char text[32];
    snprintf(text, sizeof text, "%lu", n);
    db_set(ri_state, "deviceid", text);
    return n;
}

void publish_status(const char *requestid, const char *address, status_t status, error_reason_t reason) {
    if (requestid && status_already_set(requestid)) {
        LOGI("Status already set for reqid %s, addr %s", requestid, or_null(address));
        return;
    }
    static const char *const kStatus[] = {"OK", "ERROR"};
    static const char *const kReason[] = {nullptr, "SERVER_ERR", "REJECTED", "UNEXPECTED_ERR"};
    cJSON *record = cJSON_CreateObject();
    if (!record) BRX_OOM_EXIT("Cannot create json");
    add_text_or_null(record, "requestid", requestid, "Cannot create json");
    add_text_or_null(record, "address", address, "Cannot create json");
    add_text_or_null(record, "status", (unsigned)status < 2 ? kStatus[status] : nullptr, "Cannot create json");
    add_text_or_null(record, "reason", (unsigned)reason < 4 ? kReason[reason] : nullptr, "Cannot create json");
    char *text = print_or_exit(record, "json_str");
    cJSON_Delete(record);
    db_publish(ri_state, kFeedbackChannel, text);
    db_set(ri_state, kFeedbackKey, text);
    db_expire(ri_state, kGuardSeconds, "%s", kFeedbackKey);
    free(text);
}

void device_register_cb(const char *text) {
    LOGD("Device registered callback - start");
    if (!text) {
        LOGW("Device registered - no value given");
        return;
    }
    cJSON *request = cJSON_Parse(text);
    if (!request) {
        LOGW("Device registered - Error in parsing message: %s", text);
        return;
    }
    const char *name = text_of(request, "name");
    const char *domain = text_of(request, "domain");
    const char *address = text_of(request, "address");
    const char *requestid = text_of(request, "requestid");
    const char *app_id = text_of(request, "appid");
    cJSON *meta = nullptr;
    if (!name || !domain || !address || !requestid) {
        LOGW("Device registered - not all required values in notify json given, %s%s%s%sis missing",
             name ? "" : "name ", domain ? "" : "domain ", address ? "" : "address ", requestid ? "" : "requrstid ");
    } else if (status_already_set(requestid)) {
        LOGI("Not processing - status already set for reqid %s", requestid);
    } else if (!id_usable("device domain", domain) || !id_usable("device address", address) ||
               (app_id && !id_usable("app id", app_id))) {
        // Each forms keys of the device: nothing is written for it, and the app hears that.
        publish_status(requestid, address, ERROR, UNEXPECTED_ERR);
    } else {
        char *processing = db_get_sync(ri_state, "%s", kProcessingKey);
        const bool busy = processing && strcmp(processing, address) == 0;
        free(processing);
        if (busy) {
            LOGI("Request for address %s is already processing", address);
        } else {
            db_set(ri_state, kProcessingKey, address);
            db_expire(ri_state, kGuardSeconds, "%s", kProcessingKey);
            meta = discovery_record(domain, address, requestid);
        }
    }
    if (meta) {
        cJSON *record = working_record(request, meta);
        cJSON_Delete(meta);
        ask_server(record, text_of(request, "sessionid"));
    }
    cJSON_Delete(request);
    LOGD("Device registered callback - end");
}

void continue_registration(int status, const struct evkeyvalq *, const char *body, size_t, void *working_record) {
    cJSON *record = (cJSON *)working_record;
    LOGI("Device registration - server callback - start got body %s", or_null(body));
    cJSON *reply = accepted_reply(status, body, record);
    if (reply) {
        complete(record, reply);
        cJSON_Delete(reply);
    }
    const char *address = text_of(record, "address");
    char *processing = db_get_sync(ri_state, "%s", kProcessingKey);
    if (processing && address && strcmp(processing, address) == 0) db_del(ri_state, kProcessingKey);
    free(processing);
    cJSON_Delete(record);
    LOGD("Device registration - server callback - end");
}

void device_delete_cb(const char *, const char *text, const void *) {
    LOGD("device_delete_cb start");
    if (!text) {
        LOGD("Cannot get json for delete (probably re-hit)");
        return;
    }
    cJSON *request = cJSON_Parse(text);
    if (!request) {
        LOGW("Cannot parse json");
        return;
    }
    const char *id = text_of(request, "id");
    char *class_name = id ? delete_device(id) : nullptr;
    const char *session_id = text_of(request, "sessionid");
    if (class_name && strcmp(class_name, "camera") == 0 && session_id) delete_on_server(id, session_id);
    free(class_name);
    cJSON_Delete(request);
    LOGD("device_delete_cb end");
}
