#include "platform/pcb/standin_proto.h"

#include <cjson/cJSON.h>
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <limits.h>
#include <math.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

namespace pcb_standin {

namespace {

bool fill_addr(const std::string &path, sockaddr_un &addr) {
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(addr.sun_path)) return false;
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

struct TypeName {
    variant_type_t type;
    const char *name;
};

const TypeName kTypeNames[] = {
    {variant_type_string, "string"}, {variant_type_int8, "int8"},     {variant_type_int16, "int16"},
    {variant_type_int32, "int32"},   {variant_type_int64, "int64"},   {variant_type_uint8, "uint8"},
    {variant_type_uint16, "uint16"}, {variant_type_uint32, "uint32"}, {variant_type_uint64, "uint64"},
    {variant_type_bool, "bool"},     {variant_type_double, "double"}, {variant_type_date_time, "date_time"},
    {variant_type_map, "map"},       {variant_type_list, "list"},
};

bool is_signed(variant_type_t t) {
    return t == variant_type_int8 || t == variant_type_int16 || t == variant_type_int32 || t == variant_type_int64;
}

bool is_unsigned(variant_type_t t) {
    return t == variant_type_uint8 || t == variant_type_uint16 || t == variant_type_uint32 || t == variant_type_uint64;
}

bool signed_range(variant_type_t t, long long v) {
    switch (t) {
    case variant_type_int8: return v >= INT8_MIN && v <= INT8_MAX;
    case variant_type_int16: return v >= INT16_MIN && v <= INT16_MAX;
    case variant_type_int32: return v >= INT32_MIN && v <= INT32_MAX;
    default: return true;
    }
}

bool unsigned_range(variant_type_t t, unsigned long long v) {
    switch (t) {
    case variant_type_uint8: return v <= UINT8_MAX;
    case variant_type_uint16: return v <= UINT16_MAX;
    case variant_type_uint32: return v <= UINT32_MAX;
    default: return true;
    }
}

bool set_text(variant_t *dest, variant_type_t type, const char *text) {
    variant_initialize(dest, type);
    dest->data.text = strdup(text ? text : "");
    if (!dest->data.text) {
        dest->type = variant_type_unknown;
        return false;
    }
    return true;
}

}  // namespace

long long now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

std::string socket_path_for(const char *uri) {
    const char *env = getenv("PCB_STANDIN_SOCKET");
    if (env && *env) return env;
    if (uri) {
        const char *open = strchr(uri, '{');
        const char *close = open ? strchr(open, '}') : nullptr;
        if (open && close && close > open + 1) return std::string(open + 1, close - open - 1);
    }
    return kDefaultSocket;
}

int connect_unix(const std::string &path) {
    sockaddr_un addr;
    if (!fill_addr(path, addr)) return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    while (connect(fd, (sockaddr *)&addr, sizeof(addr)) != 0) {
        if (errno == EINTR) continue;
        close(fd);
        return -1;
    }
    return fd;
}

int listen_unix(const std::string &path) {
    sockaddr_un addr;
    if (!fill_addr(path, addr)) return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    unlink(path.c_str());
    if (bind(fd, (sockaddr *)&addr, sizeof(addr)) != 0 || listen(fd, 64) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool send_all(int fd, const char *data, size_t len) {
    while (len > 0) {
        ssize_t n = send(fd, data, len, MSG_NOSIGNAL);
        if (n > 0) {
            data += n;
            len -= (size_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p = {fd, POLLOUT, 0};
            if (poll(&p, 1, -1) < 0 && errno != EINTR) return false;
            continue;
        }
        return false;
    }
    return true;
}

bool send_json(int fd, const cJSON *msg) {
    char *text = cJSON_PrintUnformatted(msg);
    if (!text) return false;
    std::string line(text);
    free(text);
    line.push_back('\n');
    return send_all(fd, line.data(), line.size());
}

bool LineBuffer::next(std::string &line) {
    size_t nl = buf_.find('\n', start_);
    if (nl == std::string::npos) {
        if (start_ > 0) {
            buf_.erase(0, start_);
            start_ = 0;
        }
        return false;
    }
    line.assign(buf_, start_, nl - start_);
    start_ = nl + 1;
    if (start_ == buf_.size()) {
        buf_.clear();
        start_ = 0;
    }
    return true;
}

bool drain_socket(int fd, LineBuffer &buf) {
    char chunk[16384];
    for (;;) {
        ssize_t n = recv(fd, chunk, sizeof(chunk), MSG_DONTWAIT);
        if (n > 0) {
            buf.append(chunk, (size_t)n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

int read_line(int fd, LineBuffer &buf, std::string &line, int timeout_ms) {
    long long deadline = now_ms() + timeout_ms;
    char chunk[4096];
    while (!buf.next(line)) {
        long long left = deadline - now_ms();
        if (left <= 0) return 0;
        pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, (int)left);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) return 0;
        ssize_t n = recv(fd, chunk, sizeof(chunk), MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n <= 0) return -1;
        buf.append(chunk, (size_t)n);
    }
    return 1;
}

const char *variant_type_name(variant_type_t type) {
    for (const auto &tn : kTypeNames)
        if (tn.type == type) return tn.name;
    return "unknown";
}

variant_type_t variant_type_from_name(const char *name) {
    if (!name) return variant_type_unknown;
    for (const auto &tn : kTypeNames)
        if (strcmp(tn.name, name) == 0) return tn.type;
    return variant_type_unknown;
}

bool variant_is_text(variant_type_t type) {
    return type == variant_type_string || type == variant_type_date_time || type == variant_type_map ||
           type == variant_type_list;
}

bool variant_copy(variant_t *dest, const variant_t *src) {
    if (variant_is_text(src->type)) return set_text(dest, src->type, src->data.text);
    *dest = *src;
    return true;
}

bool variant_equal(const variant_t *a, const variant_t *b) {
    if (a->type != b->type) return false;
    if (variant_is_text(a->type)) return strcmp(a->data.text ? a->data.text : "", b->data.text ? b->data.text : "") == 0;
    if (is_signed(a->type)) return a->data.i == b->data.i;
    if (is_unsigned(a->type)) return a->data.u == b->data.u;
    if (a->type == variant_type_bool) return a->data.b == b->data.b;
    if (a->type == variant_type_double) return a->data.d == b->data.d;
    return true;
}

bool variant_parse_as(variant_t *dest, variant_type_t type, const char *text) {
    variant_initialize(dest, variant_type_unknown);
    if (!text) return false;
    if (type == variant_type_string || type == variant_type_date_time) return set_text(dest, type, text);
    if (type == variant_type_map || type == variant_type_list) {
        cJSON *j = cJSON_Parse(text);
        bool ok = j && (type == variant_type_map ? cJSON_IsObject(j) : cJSON_IsArray(j));
        cJSON_Delete(j);
        return ok && set_text(dest, type, text);
    }
    if (type == variant_type_bool) {
        if (strcmp(text, "1") == 0 || strcasecmp(text, "true") == 0) return variant_setBool(dest, true);
        if (strcmp(text, "0") == 0 || strcasecmp(text, "false") == 0) return variant_setBool(dest, false);
        return false;
    }
    if (!*text) return false;
    char *end = nullptr;
    errno = 0;
    if (is_signed(type)) {
        long long v = strtoll(text, &end, 10);
        if (errno || *end || !signed_range(type, v)) return false;
        dest->type = type;
        dest->data.i = v;
        return true;
    }
    if (is_unsigned(type)) {
        if (text[0] == '-') return false;
        unsigned long long v = strtoull(text, &end, 10);
        if (errno || *end || !unsigned_range(type, v)) return false;
        dest->type = type;
        dest->data.u = v;
        return true;
    }
    if (type == variant_type_double) {
        double v = strtod(text, &end);
        if (errno || *end) return false;
        dest->type = type;
        dest->data.d = v;
        return true;
    }
    return false;
}

cJSON *variant_to_json(const variant_t *v) {
    cJSON *out = cJSON_CreateObject();
    if (!out) return nullptr;
    cJSON_AddStringToObject(out, "type", variant_type_name(v->type));
    cJSON *value = nullptr;
    char num[32];
    if (v->type == variant_type_string || v->type == variant_type_date_time) {
        value = cJSON_CreateString(v->data.text ? v->data.text : "");
    } else if (v->type == variant_type_map || v->type == variant_type_list) {
        value = cJSON_Parse(v->data.text ? v->data.text : "");
        if (!value) value = cJSON_CreateNull();
    } else if (v->type == variant_type_int64) {
        snprintf(num, sizeof(num), "%" PRId64, v->data.i);
        value = cJSON_CreateString(num); /* 64-bit values do not fit a JSON double */
    } else if (v->type == variant_type_uint64) {
        snprintf(num, sizeof(num), "%" PRIu64, v->data.u);
        value = cJSON_CreateString(num);
    } else if (is_signed(v->type)) {
        value = cJSON_CreateNumber((double)v->data.i);
    } else if (is_unsigned(v->type)) {
        value = cJSON_CreateNumber((double)v->data.u);
    } else if (v->type == variant_type_bool) {
        value = cJSON_CreateBool(v->data.b);
    } else if (v->type == variant_type_double) {
        value = cJSON_CreateNumber(v->data.d);
    } else {
        value = cJSON_CreateNull();
    }
    if (!value) {
        cJSON_Delete(out);
        return nullptr;
    }
    cJSON_AddItemToObject(out, "value", value);
    return out;
}

bool variant_from_json(variant_t *dest, const cJSON *typed) {
    variant_initialize(dest, variant_type_unknown);
    if (!cJSON_IsObject(typed)) return false;
    variant_type_t type = variant_type_from_name(cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(typed, "type")));
    const cJSON *value = cJSON_GetObjectItemCaseSensitive(typed, "value");
    if (type == variant_type_unknown || !value) return type == variant_type_unknown;
    if (type == variant_type_map || type == variant_type_list) {
        char *text = cJSON_PrintUnformatted(value);
        if (!text) return false;
        bool ok = set_text(dest, type, text);
        free(text);
        return ok;
    }
    if (type == variant_type_bool) return variant_setBool(dest, cJSON_IsTrue(value));
    if (cJSON_IsString(value)) return variant_parse_as(dest, type, value->valuestring);
    if (!cJSON_IsNumber(value)) return false;
    dest->type = type;
    if (is_signed(type))
        dest->data.i = (int64_t)value->valuedouble;
    else if (is_unsigned(type))
        dest->data.u = (uint64_t)value->valuedouble;
    else if (type == variant_type_double)
        dest->data.d = value->valuedouble;
    else
        dest->type = variant_type_unknown;
    return dest->type != variant_type_unknown;
}

bool variant_from_plain_json(variant_t *dest, const cJSON *value) {
    variant_initialize(dest, variant_type_unknown);
    if (cJSON_IsBool(value)) return variant_setBool(dest, cJSON_IsTrue(value));
    if (cJSON_IsString(value)) return set_text(dest, variant_type_string, value->valuestring);
    if (!cJSON_IsNumber(value)) return false;
    double d = value->valuedouble;
    if (d == floor(d) && d >= INT32_MIN && d <= INT32_MAX) return variant_setInt32(dest, (int32_t)d);
    if (d == floor(d) && fabs(d) < 9.2e18) {
        dest->type = variant_type_int64;
        dest->data.i = (int64_t)d;
        return true;
    }
    dest->type = variant_type_double;
    dest->data.d = d;
    return true;
}

}  // namespace pcb_standin
