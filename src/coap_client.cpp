#include "src/coap_client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

// libcoap 3 calls its method enumeration coap_request_t, the name of this client's request. Its
// functions are extern "C", so renaming the enumeration inside this file never reaches the linker.
#define coap_request_t libcoap_request_t
#include <coap3/coap.h>
#undef coap_request_t

#include "common/glib-mini/glib.h"
#include "common/logger/logger.h"

#define LOG_CATEGORY "coap_client"

#define COAP_REQ_CTX_TO_STRING_PATTERN \
    "%s [T:%u] - %s - ctx %p, pctx: %p, uri: %s, method: %d, payload: %s, s:%d o:%d c:%d r:%d"

namespace {

const unsigned kWaitMs = 20000;
const size_t kTokenLength = 8;
const size_t kReadableMax = 1400;

/* One option of a request: number, value length and value bytes (stored right after the node). */
struct coap_list_t {
    coap_list_t *next;
    uint16_t number;
    uint32_t length;
    uint8_t *value;
};

struct block_progress_t {
    uint32_t num;
    unsigned m : 1;
    unsigned szx : 3;
};

struct coap_request_context_t {
    coap_method_t method;
    char *uri;
    char *token;
    char *user;
    char *key;
    char *payload;
    size_t payload_len;
    int subscribe;
    coap_list_t *optlist;
    coap_uri_t *parsed_uri;
    coap_address_t *dest;
    coap_context_t *coap_ctx;
    coap_session_t *session;
    coap_mid_t tid;
    block_progress_t block;
    pthread_t thread;
    int thread_var_ready;
    int thread_var_observe;
    int thread_var_cancel;      /* written by the loop thread under the mutex; read atomically */
    int out_fd;                 /* the worker's own duplicate of the caller's write end */
    const void *arg;
};

GSList *g_coap_request_ctx_list = nullptr;
pthread_mutex_t g_coap_request_ctx_mutex = PTHREAD_MUTEX_INITIALIZER;
uint32_t rseed = 0;
int initialised = 0;

struct list_lock {
    list_lock() { pthread_mutex_lock(&g_coap_request_ctx_mutex); }
    ~list_lock() { pthread_mutex_unlock(&g_coap_request_ctx_mutex); }
};

unsigned thread_id() { return (unsigned)syscall(SYS_gettid); }

int is_cancelled(const coap_request_context_t *ctx) { return __atomic_load_n(&ctx->thread_var_cancel, __ATOMIC_ACQUIRE); }

void trace_ctx(const char *func, const char *step, const coap_request_context_t *ctx) {
    LOGT(COAP_REQ_CTX_TO_STRING_PATTERN, func, thread_id(), step, (const void *)ctx, ctx->arg, ctx->uri,
         (int)ctx->method, ctx->payload ? ctx->payload : "(null)", ctx->subscribe, ctx->thread_var_observe,
         is_cancelled(ctx), ctx->thread_var_ready);
}

const char *method_name(coap_method_t m) {
    switch (m) {
    case COAP_GET: return "GET";
    case COAP_POST: return "POST";
    case COAP_PUT: return "PUT";
    case COAP_DELETE: return "DELETE";
    }
    return "???";
}

/* ---- tokens (loop thread only) ---- */

void pseudo_rand_init() { rseed = (uint32_t)(time(nullptr) % 0x7fffffff); }

uint32_t pseudo_rand() {
    rseed = (rseed * 1103515245u + 12345u) & 0x7fffffffu;
    return rseed;
}

char *pseudo_rand_alphanum_string(size_t n) {
    static const char alphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    char *s = (char *)malloc(n + 1);
    if (!s) return nullptr;
    for (size_t i = 0; i < n; i++) s[i] = alphabet[pseudo_rand() % 36];
    s[n] = '\0';
    return s;
}

/* ---- option lists ---- */

coap_list_t *new_option_node(uint16_t number, size_t length, const uint8_t *data) {
    coap_list_t *node = (coap_list_t *)malloc(sizeof(*node) + length + 1);
    if (!node) BRX_OOM_EXIT("node");
    node->next = nullptr;
    node->number = number;
    node->length = (uint32_t)length;
    node->value = (uint8_t *)(node + 1);
    if (length) memcpy(node->value, data, length);
    node->value[length] = 0;
    return node;
}

int coap_insert(coap_list_t **list, coap_list_t *node) {
    if (!node) {
        LOGW("Cannot create option");
        return 0;
    }
    while (*list) list = &(*list)->next;
    *list = node;
    return 1;
}

void coap_delete(coap_list_t *node) { free(node); }

void coap_delete_list(coap_list_t *list) {
    while (list) {
        coap_list_t *next = list->next;
        coap_delete(list);
        list = next;
    }
}

int order_opts(const coap_list_t *a, const coap_list_t *b) {
    if (!a || !b) return a ? -1 : (b ? 1 : 0);
    if (a->number < b->number) return -1;
    return a->number > b->number ? 1 : 0;
}

/* Merges two sorted runs; on equal numbers the left run goes first, so the sort is stable. */
coap_list_t *merge_runs(coap_list_t *a, coap_list_t *b) {
    coap_list_t *head = nullptr, **tail = &head;
    while (a && b) {
        coap_list_t **take = order_opts(b, a) < 0 ? &b : &a;
        *tail = *take;
        *take = (*take)->next;
        tail = &(*tail)->next;
    }
    *tail = a ? a : b;
    return head;
}

/* Cuts the list after n nodes and returns the rest. */
coap_list_t *cut_after(coap_list_t *list, size_t n) {
    for (size_t i = 1; list && i < n; i++) list = list->next;
    if (!list) return nullptr;
    coap_list_t *rest = list->next;
    list->next = nullptr;
    return rest;
}

/* Bottom-up merge sort by option number (the encoding needs ascending numbers). */
void sort_options(coap_list_t **list) {
    size_t count = 0;
    for (coap_list_t *n = *list; n; n = n->next) count++;
    for (size_t width = 1; width < count; width *= 2) {
        coap_list_t *rest = *list, *out = nullptr, **tail = &out;
        while (rest) {
            coap_list_t *left = rest;
            coap_list_t *right = cut_after(left, width);
            rest = cut_after(right, width);
            *tail = merge_runs(left, right);
            while (*tail) tail = &(*tail)->next;
        }
        *list = out;
    }
}

void log_optlist(const coap_list_t *list) {
    for (const coap_list_t *n = list; n; n = n->next)
        LOGT("type: %d, len: %d, data: %.*s", n->number, (int)n->length, (int)n->length, (const char *)n->value);
}

/* Adds the nodes of list whose number is one of numbers, in list order. 0 when one did not fit. */
int add_list_options(coap_pdu_t *pdu, const coap_list_t *list, const uint16_t *numbers, size_t count) {
    for (const coap_list_t *n = list; n; n = n->next) {
        for (size_t i = 0; i < count; i++) {
            if (n->number != numbers[i]) continue;
            if (!coap_add_option(pdu, n->number, n->length, n->value)) return 0;
        }
    }
    return 1;
}

/* ---- trace dump of a message (several workers at once: buffers on the stack only) ---- */

const char *msg_type_to_string(coap_pdu_type_t t) {
    switch (t) {
    case COAP_MESSAGE_CON: return "CON";
    case COAP_MESSAGE_NON: return "NON";
    case COAP_MESSAGE_ACK: return "ACK";
    case COAP_MESSAGE_RST: return "RST";
    }
    return "???";
}

const char *msg_code_to_string(unsigned code, char *buf, size_t len) {
    static const char *const names[] = {"0.00", "GET", "POST", "PUT", "DELETE", "PATCH"};
    if (code < 6) return names[code];
    snprintf(buf, len, "%u.%02u", (code >> 5) & 7u, code & 0x1fu);
    return buf;
}

const char *msg_option_string(unsigned number) {
    switch (number) {
    case 1: return "If-Match";
    case 3: return "Uri-Host";
    case 4: return "ETag";
    case 5: return "If-None-Match";
    case 6: return "Observe";
    case 7: return "Uri-Port";
    case 8: return "Location-Path";
    case 11: return "Uri-Path";
    case 12: return "Content-Format";
    case 14: return "Max-Age";
    case 15: return "Uri-Query";
    case 17: return "Accept";
    case 20: return "Location-Query";
    case 23: return "Block2";
    case 27: return "Block1";
    case 35: return "Proxy-Uri";
    case 39: return "Proxy-Scheme";
    case 60: return "Size1";
    case 284: return "No-Response";
    }
    return nullptr;
}

const char *print_content_format(unsigned format) {
    switch (format) {
    case 0: return "text/plain";
    case 40: return "application/link-format";
    case 41: return "application/xml";
    case 42: return "application/octet-stream";
    case 47: return "application/exi";
    case 50: return "application/json";
    case 60: return "application/cbor";
    }
    return nullptr;
}

int is_binary(int has_format, unsigned format) {
    return has_format && format != 0 && format != 40 && format != 41 && format != 50;
}

/* Printable bytes as they are, others as "\xHH"; cut to fit out (with its terminator). */
void print_readable(const uint8_t *data, size_t len, char *out, size_t outlen) {
    size_t o = 0;
    for (size_t i = 0; i < len; i++) {
        const uint8_t c = data[i];
        const size_t need = (c >= 0x20 && c < 0x7f) ? 1 : 4;
        if (o + need >= outlen) break;
        if (need == 1)
            out[o++] = (char)c;
        else
            o += (size_t)snprintf(out + o, outlen - o, "\\x%02X", c);
    }
    out[o] = '\0';
}

void print_escaped(const uint8_t *data, size_t len, char *out, size_t outlen) {
    size_t o = 0;
    for (size_t i = 0; i < len && o + 4 < outlen; i++) o += (size_t)snprintf(out + o, outlen - o, "\\x%02X", data[i]);
    out[o] = '\0';
}

void print_buf_in_log(const char *label, const uint8_t *buf, size_t len) {
    if (!buf)
        LOGT("%s: null buf", label);
    else if (len == 0)
        LOGT("%s: 0 len", label);
    else
        LOGT("%s: %.*s", label, (int)len, (const char *)buf);
}

void print_option(unsigned number, const coap_opt_t *opt) {
    const uint8_t *value = coap_opt_value(opt);
    const size_t len = coap_opt_length(opt);
    char text[kReadableMax];
    switch (number) {
    case 6: case 7: case 14: case 60:
        snprintf(text, sizeof text, "%u", coap_decode_var_bytes(value, len));
        break;
    case 12: {
        unsigned f = coap_decode_var_bytes(value, len);
        const char *name = print_content_format(f);
        if (name)
            snprintf(text, sizeof text, "%s", name);
        else
            snprintf(text, sizeof text, "%d", (int)f);
        break;
    }
    case 23: case 27:
        snprintf(text, sizeof text, "%u/%c/%u", len ? coap_opt_block_num(opt) : 0u,
                 COAP_OPT_BLOCK_MORE(opt) ? 'M' : '_', 1u << (COAP_OPT_BLOCK_SZX(opt) + 4));
        break;
    case 3: case 8: case 11: case 15: case 20: case 35:
        print_readable(value, len, text, sizeof text);
        break;
    default:
        print_escaped(value, len, text, sizeof text);
    }
    char num[12];
    const char *name = msg_option_string(number);
    if (!name) {
        snprintf(num, sizeof num, "%u", number);
        name = num;
    }
    LOGT(" %s:%.*s", name, (int)strlen(text), text);
}

void print_pdu_in_log(const coap_pdu_t *pdu) {
    char code_buf[12];
    LOGT("version:%d msg_type:%s msg_code:%s id:%04x", 1, msg_type_to_string(coap_pdu_get_type(pdu)),
         msg_code_to_string((unsigned)coap_pdu_get_code(pdu), code_buf, sizeof code_buf),
         (unsigned)(coap_pdu_get_mid(pdu) & 0xffff));
    coap_bin_const_t token = coap_pdu_get_token(pdu);
    LOGT("token: len: %d, ptr: %p", (int)token.length, (const void *)token.s);
    print_buf_in_log("token raw: ", token.s, token.length);
    if (token.length) {
        char hex[2 * 8 + 1];
        size_t o = 0;
        for (size_t i = 0; i < token.length && o + 2 < sizeof hex; i++)
            o += (size_t)snprintf(hex + o, sizeof hex - o, "%02x", token.s[i]);
        hex[o] = '\0';
        LOGT("token hex: %s", hex);
    }
    LOGT("options: [");
    coap_opt_iterator_t it;
    coap_opt_t *opt;
    int has_format = 0;
    unsigned format = 0;
    if (coap_option_iterator_init(pdu, &it, COAP_OPT_ALL)) {
        while ((opt = coap_option_next(&it))) {
            if (it.number == COAP_OPTION_CONTENT_FORMAT) {
                has_format = 1;
                format = coap_decode_var_bytes(coap_opt_value(opt), coap_opt_length(opt));
            }
            print_option(it.number, opt);
        }
    }
    LOGT(" ]");
    size_t len = 0;
    const uint8_t *data = nullptr;
    if (!coap_get_data(pdu, &len, &data) || len == 0) return;
    if (is_binary(has_format, format)) {
        LOGT("payload: <<binary");
        LOGT(">>");
        return;
    }
    char text[kReadableMax];
    print_readable(data, len, text, sizeof text);
    LOGT("payload: %s", text);
}

/* ---- the request list ---- */

int list_has(const coap_request_context_t *ctx) { return g_slist_find(g_coap_request_ctx_list, ctx) != nullptr; }

/* Membership test; the caller holds the mutex. */
int find_context_by_ptr(const coap_request_context_t *ctx) {
    LOGD("%s: cnt: %d, ctx: %p", __func__, (int)g_slist_length(g_coap_request_ctx_list), (const void *)ctx);
    if (list_has(ctx)) return 1;
    LOGD("%s: ctx %p not in the list (already freed) or list is empty", __func__, (const void *)ctx);
    return 0;
}

/* The request that owns a CoAP context: only ever the worker's own. */
coap_request_context_t *find_context_by_coap_context(const coap_context_t *cctx) {
    LOGT("Find context by coap context");
    coap_request_context_t *ctx = cctx ? (coap_request_context_t *)coap_get_app_data(cctx) : nullptr;
    list_lock lock;
    if (ctx && list_has(ctx)) return ctx;
    LOGW("Context by coap context not found");
    return nullptr;
}

/* The caller holds the mutex. */
coap_request_context_t *find_context_by_arg(const void *arg, int quiet) {
    LOGT("Find context by arg");
    for (GSList *it = g_coap_request_ctx_list; it; it = it->next) {
        coap_request_context_t *ctx = (coap_request_context_t *)it->data;
        if (ctx->arg == arg) return ctx;
    }
    if (!quiet) LOGW("Context by arg not found");
    return nullptr;
}

/* Only the request's worker, or the start that failed, frees it. */
void coap_request_context_free(coap_request_context_t *ctx) {
    {
        list_lock lock;
        if (!list_has(ctx)) return;
    }
    // The session's end may still report a failed handshake: it must find the request, and done.
    ctx->thread_var_ready = 1;
    // All but the record goes while the request still counts: one that has left the list holds no
    // descriptor, not even the log file's of its last line.
    if (ctx->session) coap_session_release(ctx->session);
    ctx->session = nullptr;
    if (ctx->coap_ctx) coap_free_context(ctx->coap_ctx);
    ctx->coap_ctx = nullptr;
    if (ctx->out_fd >= 0) close(ctx->out_fd);
    ctx->out_fd = -1;
    free(ctx->uri);
    free(ctx->token);
    free(ctx->user);
    free(ctx->key);
    free(ctx->payload);
    coap_delete_list(ctx->optlist);
    free(ctx->parsed_uri);
    free(ctx->dest);
    LOGT("%s - freed context %p", __func__, (const void *)ctx);
    {
        list_lock lock;
        g_coap_request_ctx_list = g_slist_remove(g_coap_request_ctx_list, ctx);
    }
    free(ctx);
}

/* ---- results ---- */

void coap_request_done(int code, const uint8_t *body, size_t len, coap_request_context_t *ctx) {
    LOGT("%s - write result to pipe", __func__);
    {
        list_lock lock;
        if (!find_context_by_ptr(ctx)) {
            LOGW("%s - destination context %p does not exist", __func__, (const void *)ctx);
            return;
        }
        if (is_cancelled(ctx)) {
            LOGD("%s - request on ctx %p is cancelled", __func__, (const void *)ctx);
            return;
        }
    }
    // Outside the lock: a full pipe may block this write until the loop reads or closes it.
    char head[48];
    const int head_len = snprintf(head, sizeof head, "%d|%lu|", code, (unsigned long)len);
    const size_t total = (size_t)head_len + len;
    char *msg = (char *)malloc(total + 1);
    if (!msg) BRX_OOM_EXIT("asprintf");
    memcpy(msg, head, (size_t)head_len);
    if (len) memcpy(msg + head_len, body, len);
    msg[total] = '\0';
    LOGD("%s - writing: [%.*s]", __func__, (int)total, msg);
    ssize_t n = write(ctx->out_fd, msg, total);
    if (n < 0 || (size_t)n != total)
        LOGE("%s - failed to write result to pipe: %d (%s)", __func__, (int)n, n < 0 ? strerror(errno) : "");
    free(msg);
}

/* ---- follow-up messages ---- */

coap_pdu_t *new_request_pdu(coap_request_context_t *ctx, coap_pdu_code_t code) {
    coap_pdu_t *pdu = coap_pdu_init(COAP_MESSAGE_CON, code, coap_new_message_id(ctx->session),
                                    coap_session_max_pdu_size(ctx->session));
    if (!pdu) BRX_OOM_EXIT("pdu");
    if (!coap_add_token(pdu, strlen(ctx->token), (const uint8_t *)ctx->token)) LOGE("Cannot add token to request");
    return pdu;
}

void send_follow_up(coap_request_context_t *ctx, coap_pdu_t *pdu) {
    print_pdu_in_log(pdu);
    if (coap_send(ctx->session, pdu) == COAP_INVALID_MID) LOGE("Error sending new request");
}

void request_next_block2(coap_request_context_t *ctx, uint64_t next, unsigned szx) {
    static const uint16_t copied[] = {COAP_OPTION_URI_HOST, COAP_OPTION_URI_PORT, COAP_OPTION_URI_PATH,
                                      COAP_OPTION_URI_QUERY};
    coap_pdu_t *pdu = new_request_pdu(ctx, (coap_pdu_code_t)ctx->method);
    uint8_t buf[8];
    LOGT("query block %d", (int)next);
    if (!add_list_options(pdu, ctx->optlist, copied, 4) ||
        !coap_add_option(pdu, COAP_OPTION_BLOCK2, coap_encode_var_safe8(buf, sizeof buf, (next << 4) | szx), buf)) {
        LOGE("Error sending new request");
        coap_delete_pdu(pdu);
        return;
    }
    send_follow_up(ctx, pdu);
}

void send_next_block1(coap_request_context_t *ctx) {
    static const uint16_t copied[] = {COAP_OPTION_URI_HOST, COAP_OPTION_URI_PORT, COAP_OPTION_URI_PATH,
                                      COAP_OPTION_CONTENT_FORMAT, COAP_OPTION_URI_QUERY};
    coap_pdu_t *pdu = new_request_pdu(ctx, (coap_pdu_code_t)ctx->method);
    ctx->block.num++;
    const uint64_t size = 1ull << (ctx->block.szx + 4);
    const uint64_t start = (uint64_t)ctx->block.num * size;
    const uint64_t end = start + size < ctx->payload_len ? start + size : ctx->payload_len;
    ctx->block.m = start + size < ctx->payload_len ? 1 : 0;
    LOGT("Send block %d", (int)ctx->block.num);
    uint8_t buf[8];
    const uint64_t value = ((uint64_t)ctx->block.num << 4) | ((uint64_t)ctx->block.m << 3) | ctx->block.szx;
    if (!add_list_options(pdu, ctx->optlist, copied, 5) ||
        !coap_add_option(pdu, COAP_OPTION_BLOCK1, coap_encode_var_safe8(buf, sizeof buf, value), buf) ||
        !coap_add_data(pdu, (size_t)(end - start), (const uint8_t *)ctx->payload + start)) {
        LOGE("Error sending new request");
        coap_delete_pdu(pdu);
        return;
    }
    send_follow_up(ctx, pdu);
}

coap_mid_t cancel_subscription(coap_request_context_t *ctx) {
    LOGD("%s - Send cancel request for ctx: %p", __func__, (const void *)ctx);
    coap_pdu_t *pdu = coap_pdu_init(COAP_MESSAGE_CON, COAP_REQUEST_CODE_GET, coap_new_message_id(ctx->session),
                                    coap_session_max_pdu_size(ctx->session));
    if (!pdu) {
        LOGE("%s - Cannot init pdu", __func__);
        return COAP_INVALID_MID;
    }
    if (!coap_add_token(pdu, strlen(ctx->token), (const uint8_t *)ctx->token)) {
        LOGE("%s - Cannot add token", __func__);
        coap_delete_pdu(pdu);
        return COAP_INVALID_MID;
    }
    for (const coap_list_t *n = ctx->optlist; n; n = n->next) {
        if (n->number != COAP_OPTION_URI_HOST) continue;
        if (!coap_add_option(pdu, n->number, n->length, n->value)) {
            LOGE("%s - Cannot add Option UriHost", __func__);
            coap_delete_pdu(pdu);
            return COAP_INVALID_MID;
        }
        break;
    }
    uint8_t buf[4];
    if (!coap_add_option(pdu, COAP_OPTION_OBSERVE, coap_encode_var_safe(buf, sizeof buf, COAP_OBSERVE_CANCEL), buf)) {
        LOGE("%s - Cannot add option Observe: %u", __func__, (unsigned)COAP_OPTION_OBSERVE);
        coap_delete_pdu(pdu);
        return COAP_INVALID_MID;
    }
    for (const coap_list_t *n = ctx->optlist; n; n = n->next) {
        if (n->number != COAP_OPTION_URI_PORT && n->number != COAP_OPTION_URI_PATH && n->number != COAP_OPTION_URI_QUERY)
            continue;
        if (!coap_add_option(pdu, n->number, n->length, n->value)) {
            LOGE("%s - Cannot add option Uri: %u", __func__, (unsigned)n->number);
            coap_delete_pdu(pdu);
            return COAP_INVALID_MID;
        }
    }
    print_pdu_in_log(pdu);
    coap_mid_t mid = coap_send(ctx->session, pdu);
    if (mid == COAP_INVALID_MID)
        LOGE("%s - Error sending cancel request", __func__);
    else
        LOGD("%s - Cancel request successfully sent for ctx: %p", __func__, (const void *)ctx);
    return mid;
}

/* ---- handlers, called inside the worker's step ---- */

int has_option(const coap_pdu_t *pdu, coap_option_num_t number) {
    coap_opt_iterator_t it;
    return coap_check_option(pdu, number, &it) != nullptr;
}

/* The owning request of this session, when the token is its own; NULL for anything else. */
coap_request_context_t *own_request(coap_session_t *session, const coap_pdu_t *received) {
    coap_request_context_t *ctx = find_context_by_coap_context(coap_session_get_context(session));
    if (!ctx) return nullptr;
    coap_bin_const_t token = coap_pdu_get_token(received);
    if (token.length == strlen(ctx->token) && memcmp(token.s, ctx->token, token.length) == 0) return ctx;
    return nullptr;
}

void report_body(coap_request_context_t *ctx, int code, const coap_pdu_t *received, const char *what) {
    size_t len = 0;
    const uint8_t *data = nullptr;
    if (coap_get_data(received, &len, &data) && len > 0) {
        LOGD("%s: %.*s", what, (int)len, (const char *)data);
        coap_request_done(code, data, len, ctx);
    } else {
        coap_request_done(code, nullptr, 0, ctx);
    }
}

/* Block1 acknowledged: either the upload is complete or the next part goes out. */
void handle_block1(coap_request_context_t *ctx, int code, const coap_pdu_t *received, const coap_block_t &b1) {
    ctx->block.szx = b1.szx;
    ctx->block.num = b1.num;
    LOGT("Found Block1, block size is %u, block nr. %u", 1u << (b1.szx + 4), b1.num);
    const uint64_t done_bytes = ((uint64_t)b1.num + 1) << (b1.szx + 4);
    if (!ctx->payload || done_bytes >= ctx->payload_len) {
        LOGD("Upload ready");
        report_body(ctx, code, received, "Received data 1");
        ctx->thread_var_ready = 1;
        return;
    }
    // Once cancelled nothing more is sent: the caller wants no further part of this exchange.
    if (is_cancelled(ctx)) {
        ctx->thread_var_ready = 1;
        return;
    }
    send_next_block1(ctx);
}

coap_response_t coap_response_handler(coap_session_t *session, const coap_pdu_t *sent, const coap_pdu_t *received,
                                      const coap_mid_t) {
    const unsigned code = (unsigned)coap_pdu_get_code(received);
    const unsigned cls = code >> 5, detail = code & 0x1f;
    LOGD("Process incoming response code: %d.%02d", (int)cls, (int)detail);
    print_pdu_in_log(received);

    coap_request_context_t *ctx = own_request(session, received);
    if (!ctx) {
        LOGW("%s - unidentified token", __func__);
        const coap_pdu_type_t type = coap_pdu_get_type(received);
        if (!sent && (type == COAP_MESSAGE_CON || type == COAP_MESSAGE_NON)) return COAP_RESPONSE_FAIL;
        return COAP_RESPONSE_OK;
    }
    LOGD("Process incoming response for ctx: %p, uri: %s", (const void *)ctx, ctx->uri);
    trace_ctx(__func__, "process incoming response", ctx);
    if (coap_pdu_get_type(received) == COAP_MESSAGE_RST) {
        LOGD("%s - got RST (reset message)", __func__);
        return COAP_RESPONSE_OK;
    }
    const int result = (int)(cls * 100 + detail);
    const int observed = has_option(received, COAP_OPTION_OBSERVE);
    if (cls == 2) {
        // Piggybacked or separate: the first success with Observe to this request establishes it.
        if (!is_cancelled(ctx) && !ctx->thread_var_observe && observed) {
            ctx->thread_var_observe = 1;
            LOGD("Observation relationship established for ctx: %p", (const void *)ctx);
        }
        coap_block_t block;
        if (coap_get_block(received, COAP_OPTION_BLOCK2, &block)) {
            size_t len = 0;
            const uint8_t *data = nullptr;
            if (coap_get_data(received, &len, &data) && len > 0) {
                LOGD("Received data 1: %.*s", (int)len, (const char *)data);
                coap_request_done(result, data, len, ctx);
            } else if (block.num == 0 && !block.m) {
                // The whole body in one empty block: an empty answer like any other.
                LOGD("Received empty data (No Content)");
                coap_request_done(result, nullptr, 0, ctx);
            }
            if (block.m) {
                LOGT("found the M bit, block size is %u, block nr. %u", 1u << (block.szx + 4), block.num);
                if (!is_cancelled(ctx)) {
                    request_next_block2(ctx, (uint64_t)block.num + 1, block.szx);
                    return COAP_RESPONSE_OK;
                }
                ctx->thread_var_ready = 1;
                return COAP_RESPONSE_OK;
            }
        } else if (coap_get_block(received, COAP_OPTION_BLOCK1, &block)) {
            handle_block1(ctx, result, received, block);
            return COAP_RESPONSE_OK;
        } else {
            size_t len = 0;
            const uint8_t *data = nullptr;
            if (coap_get_data(received, &len, &data) && len > 0) {
                LOGD("Received data 2: %.*s", (int)len, (const char *)data);
                coap_request_done(result, data, len, ctx);
            } else {
                LOGD("Received empty data (No Content)");
                coap_request_done(result, nullptr, 0, ctx);
            }
        }
    } else if (cls >= 4 && cls <= 7) {
        LOGE("Error received: %d.%02d", (int)cls, (int)detail);
        report_body(ctx, result, received, "Received data 3");
    } else {
        LOGW("Corrupted response");
    }
    if (!observed) ctx->thread_var_ready = 1;
    return COAP_RESPONSE_OK;
}

void dtls_failed(coap_session_t *session) {
    coap_request_context_t *ctx = find_context_by_coap_context(coap_session_get_context(session));
    if (!ctx) {
        LOGW("DTLS error received for unknown context");
        return;
    }
    LOGD("DTLS error received for ctx %p", (const void *)ctx);
    // The error event and the failed-handshake nack may both come: one result.
    if (ctx->thread_var_ready) return;
    coap_request_done(-1, nullptr, 0, ctx);
    ctx->thread_var_ready = 1;
}

int coap_event_handler(coap_session_t *session, const coap_event_t event) {
    LOGT("%s - event: %#x", __func__, (unsigned)event);
    if (event == COAP_EVENT_DTLS_ERROR) {
        LOGE("DTLS error received");
        dtls_failed(session);
    }
    return 0;
}

/* A wrong key shows up as a failed handshake; every other nack leaves the request to its time-out. */
void coap_nack_handler(coap_session_t *session, const coap_pdu_t *, const coap_nack_reason_t reason, const coap_mid_t) {
    LOGD("%s - reason: %d", __func__, (int)reason);
    if (reason == COAP_NACK_TLS_FAILED) {
        LOGE("DTLS error received");
        dtls_failed(session);
    } else if (reason == COAP_NACK_RST) {
        LOGD("%s - got RST (reset message)", __func__);
    }
}

/* ---- the worker ---- */

/* The step's wait: 20 s, but never past the time-out while one is due. */
uint32_t step_limit(const coap_request_context_t *ctx, coap_tick_t deadline, coap_tick_t now) {
    if (ctx->thread_var_observe || ctx->thread_var_ready) return kWaitMs;
    if (deadline < now) return 1;
    // Rounded up, so that the step ends past the deadline; 0 would wait without limit.
    const uint64_t ms = ((uint64_t)(deadline - now) * 1000 + COAP_TICKS_PER_SECOND - 1) / COAP_TICKS_PER_SECOND + 1;
    return ms < kWaitMs ? (uint32_t)ms : kWaitMs;
}

int handshake_unfinished(const coap_request_context_t *ctx) {
    return ctx->session && coap_session_get_proto(ctx->session) == COAP_PROTO_DTLS &&
           coap_session_get_state(ctx->session) != COAP_SESSION_STATE_ESTABLISHED;
}

void *coap_request_routine(void *arg) {
    coap_request_context_t *ctx = (coap_request_context_t *)arg;
    ctx->thread = pthread_self();
    trace_ctx(__func__, "coap routine start", ctx);
    coap_tick_t start, now;
    coap_ticks(&start);
    const coap_tick_t wait = (coap_tick_t)kWaitMs * COAP_TICKS_PER_SECOND / 1000;
    now = start;
    while (!(ctx->thread_var_ready && coap_can_exit(ctx->coap_ctx))) {
        trace_ctx(__func__, "launch coap step", ctx);
        int spent = coap_io_process(ctx->coap_ctx, step_limit(ctx, start + wait, now));
        coap_ticks(&now);
        if (spent < 0) {
            trace_ctx(__func__, "error in coap step", ctx);
            LOGD("Error in handling coap request on ctx: %p, uri: %s", (const void *)ctx, ctx->uri);
            coap_request_done(-2, nullptr, 0, ctx);
            break;
        }
        trace_ctx(__func__, "after coap step", ctx);
        LOGT("%s [T:%u] - (%d ms elapsed)", __func__, thread_id(), spent);
        if (!ctx->thread_var_observe && !ctx->thread_var_ready && start + wait < now) {
            LOGD("Timeout in handling coap request on ctx: %p, uri: %s", (const void *)ctx, ctx->uri);
            // A peer that drops what it cannot decrypt (a wrong key or identity) never fails the
            // handshake itself: one still unfinished is the DTLS failure, not a silent server.
            if (handshake_unfinished(ctx)) {
                LOGE("DTLS error received");
                dtls_failed(ctx->session);
            } else {
                coap_request_done(504, nullptr, 0, ctx);
            }
            break;
        }
        if (is_cancelled(ctx)) {
            trace_ctx(__func__, "cancel in coap step", ctx);
            if (ctx->thread_var_observe) {
                ctx->thread_var_observe = 0;
                cancel_subscription(ctx);
            }
            ctx->thread_var_ready = 1;
        }
    }
    trace_ctx(__func__, "coap routine end", ctx);
    coap_request_context_free(ctx);
    return nullptr;
}

/* ---- start of a request (loop thread) ---- */

uint16_t get_default_coap_port(coap_uri_scheme_t scheme) {
    return scheme == COAP_URI_SCHEME_COAPS ? COAPS_DEFAULT_PORT : COAP_DEFAULT_PORT;
}

typedef int (*split_fn)(const uint8_t *s, size_t length, unsigned char *buf, size_t *buflen);

/* Splits text into options of one number; the buffer fits every segment the text can hold. */
void split_into_options(coap_request_context_t *ctx, const coap_str_const_t &text, uint16_t number, split_fn split,
                        const char *loop_line) {
    // Each segment costs at most 5 header bytes besides its own text.
    size_t buflen = text.length + 5 * (text.length + 1);
    unsigned char *buf = (unsigned char *)malloc(buflen);
    if (!buf) BRX_OOM_EXIT("option buffer");
    unsigned char *p = buf;
    int segments = split(text.s, text.length, buf, &buflen);
    while (segments-- > 0) {
        LOGT("%s", loop_line);
        coap_insert(&ctx->optlist, new_option_node(number, coap_opt_length(p), coap_opt_value(p)));
        p += coap_opt_size(p);
    }
    free(buf);
}

int parse_coap_uri(coap_request_context_t *ctx) {
    LOGT("%s - begin", __func__);
    ctx->parsed_uri = (coap_uri_t *)calloc(1, sizeof(coap_uri_t));
    if (!ctx->parsed_uri) BRX_OOM_EXIT("ctx->parsed_uri");
    coap_uri_t *uri = ctx->parsed_uri;
    LOGT("%s - split uri", __func__);
    if (coap_split_uri((const uint8_t *)ctx->uri, strlen(ctx->uri), uri) < 0 ||
        (uri->scheme != COAP_URI_SCHEME_COAP && uri->scheme != COAP_URI_SCHEME_COAPS)) {
        LOGE("%s - cannot split uri", __func__);
        return -1;
    }
    LOGT("%s - check port is default", __func__);
    if (uri->port != get_default_coap_port(uri->scheme)) {
        LOGT("%s - port is not default", __func__);
        uint8_t buf[4];
        coap_insert(&ctx->optlist,
                    new_option_node(COAP_OPTION_URI_PORT, coap_encode_var_safe(buf, sizeof buf, uri->port), buf));
    }
    if (uri->path.length) {
        LOGT("%s - parsed_uri->path.length", __func__);
        split_into_options(ctx, uri->path, COAP_OPTION_URI_PATH, coap_split_path, "split path - while");
    }
    if (uri->query.length) {
        LOGT("%s - parsed_uri->query", __func__);
        split_into_options(ctx, uri->query, COAP_OPTION_URI_QUERY, coap_split_query, "split query - while");
    }
    LOGT("%s - end", __func__);
    return 0;
}

int resolve_coap_address(const coap_str_const_t &host, coap_address_t *dst) {
    char addrstr[256];
    // A longer name is no host name, and cutting it would ask another host.
    if (host.length >= sizeof addrstr) {
        LOGE("%s - host name too long (%u bytes)", __func__, (unsigned)host.length);
        return -1;
    }
    if (host.length) {
        memcpy(addrstr, host.s, host.length);
        addrstr[host.length] = '\0';
    } else {
        snprintf(addrstr, sizeof addrstr, "localhost");
    }
    struct addrinfo hints, *res = nullptr;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    int error = getaddrinfo(addrstr, nullptr, &hints, &res);
    if (error != 0) {
        LOGE("%s - getaddrinfo: %s", __func__, gai_strerror(error));
        return error < 0 ? error : -1;
    }
    int len = -1;
    for (struct addrinfo *a = res; a; a = a->ai_next) {
        if ((a->ai_family == AF_INET || a->ai_family == AF_INET6) && a->ai_addrlen <= sizeof dst->addr) {
            memcpy(&dst->addr, a->ai_addr, a->ai_addrlen);
            dst->size = a->ai_addrlen;
            len = (int)a->ai_addrlen;
            break;
        }
    }
    freeaddrinfo(res);
    return len;
}

/*
 * 1 when two descriptors are free for a new context's epoll and timer: libcoap keeps the first
 * when the second cannot be made, so it is not asked then.
 */
int context_descriptors_free(int any_fd) {
    const int a = fcntl(any_fd, F_DUPFD_CLOEXEC, 0);
    const int b = a < 0 ? -1 : fcntl(any_fd, F_DUPFD_CLOEXEC, 0);
    const int err = errno;
    if (a >= 0) close(a);
    if (b >= 0) close(b);
    if (b >= 0) return 1;
    LOGE("%s - no descriptor left for a CoAP context: %s", __func__, strerror(err));
    return 0;
}

/*
 * A context for the request. A plain request gets its session to dest here, a secure one its PSK
 * session afterwards. Neither names a local address: libcoap binds a given one with SO_REUSEADDR,
 * and Linux then may give two sockets the same ephemeral port, so that two requests to one server
 * share both ends and one socket gets both answers. Left unbound, the socket takes a port of its
 * own when it connects.
 */
coap_context_t *create_coap_context(coap_request_context_t *ctx, int secure) {
    if (!context_descriptors_free(ctx->out_fd)) return nullptr;
    coap_context_t *cctx = coap_new_context(nullptr);
    // Its epoll and timer descriptors run out long before memory does: then only this request fails.
    if (!cctx) {
        LOGE("%s - cannot make a CoAP context", __func__);
        return nullptr;
    }
    // The engine starts shells; the context's own descriptor stays out of them.
    const int own_fd = coap_context_get_coap_fd(cctx);
    if (own_fd >= 0) fcntl(own_fd, F_SETFD, FD_CLOEXEC);
    if (secure) return cctx;
    ctx->session = coap_new_client_session(cctx, nullptr, ctx->dest, COAP_PROTO_UDP);
    if (!ctx->session) {
        LOGE("Cannot create endpoint");
        coap_free_context(cctx);
        return nullptr;
    }
    return cctx;
}

coap_pdu_t *create_coap_request(coap_session_t *session, coap_method_t method, coap_list_t **options,
                                const char *token, const char *data, size_t length) {
    coap_pdu_t *pdu = coap_pdu_init(COAP_MESSAGE_CON, (coap_pdu_code_t)method, coap_new_message_id(session),
                                    coap_session_max_pdu_size(session));
    if (!pdu) BRX_OOM_EXIT("pdu");
    if (!coap_add_token(pdu, strlen(token), (const uint8_t *)token)) LOGE("Cannot add token to request");
    if (options && *options) {
        LOGT("Optlist - before sort");
        log_optlist(*options);
        sort_options(options);
        LOGT("Optlist - after sort");
        log_optlist(*options);
        for (const coap_list_t *n = *options; n; n = n->next) {
            // Sending without an option would ask another resource.
            if (!coap_add_option(pdu, n->number, n->length, n->value)) {
                LOGE("Cannot add option %u to request", (unsigned)n->number);
                coap_delete_pdu(pdu);
                return nullptr;
            }
        }
    }
    if (length > 0 && !coap_add_data(pdu, length, (const uint8_t *)data)) {
        LOGE("Cannot add payload to request");
        coap_delete_pdu(pdu);
        return nullptr;
    }
    print_pdu_in_log(pdu);
    return pdu;
}

/* Every step after the context joined the list; -1 or 1 leave it to the caller to free. */
int start_request(coap_request_context_t *ctx) {
    if (ctx->subscribe) {
        coap_insert(&ctx->optlist, new_option_node(COAP_OPTION_OBSERVE, 0, nullptr));
        LOGD("Subscribe - insert");
    }
    LOGT("Parse coap URI");
    if (parse_coap_uri(ctx) < 0) {
        LOGE("Cannot parse coap URI: %s", ctx->uri);
        return -1;
    }
    const coap_uri_t *uri = ctx->parsed_uri;
    LOGT("Resolve address");
    ctx->dest = (coap_address_t *)calloc(1, sizeof(coap_address_t));
    if (!ctx->dest) BRX_OOM_EXIT("ctx->dest");
    coap_address_init(ctx->dest);
    if (resolve_coap_address(uri->host, ctx->dest) < 0) {
        LOGE("Failed to resolve address from: %.*s", (int)uri->host.length, (const char *)uri->host.s);
        return -1;
    }
    coap_address_set_port(ctx->dest, uri->port);

    const int secure = uri->scheme == COAP_URI_SCHEME_COAPS;
    const int family = ctx->dest->addr.sa.sa_family;
    if (family == AF_INET || family == AF_INET6)
        ctx->coap_ctx = create_coap_context(ctx, secure);
    if (!ctx->coap_ctx) {
        LOGE("Cannot create context");
        return -1;
    }
    coap_set_app_data(ctx->coap_ctx, ctx);
    coap_register_option(ctx->coap_ctx, COAP_OPTION_BLOCK2);
    coap_register_response_handler(ctx->coap_ctx, coap_response_handler);
    coap_register_event_handler(ctx->coap_ctx, coap_event_handler);
    coap_register_nack_handler(ctx->coap_ctx, coap_nack_handler);

    if (secure) {
        LOGT("%s - create psk item", __func__);
        coap_dtls_cpsk_t psk;
        memset(&psk, 0, sizeof psk);
        psk.version = COAP_DTLS_CPSK_SETUP_VERSION;
        psk.psk_info.identity.s = (const uint8_t *)ctx->user;
        psk.psk_info.identity.length = ctx->user ? strlen(ctx->user) : 0;
        psk.psk_info.key.s = (const uint8_t *)ctx->key;
        psk.psk_info.key.length = ctx->key ? strlen(ctx->key) : 0;
        if (coap_dtls_is_supported())
            ctx->session = coap_new_client_session_psk2(ctx->coap_ctx, nullptr, ctx->dest, COAP_PROTO_DTLS, &psk);
        if (!ctx->session) {
            LOGE("Cannot store psk");
            return 1;
        }
    }

    char printed[INET6_ADDRSTRLEN] = "";
    const void *raw = family == AF_INET ? (const void *)&ctx->dest->addr.sin.sin_addr
                                        : (const void *)&ctx->dest->addr.sin6.sin6_addr;
    inet_ntop(family, raw, printed, sizeof printed);
    if (strlen(printed) != uri->host.length || memcmp(printed, uri->host.s, uri->host.length) != 0) {
        LOGT("%s - add Uri-Host", __func__);
        coap_insert(&ctx->optlist, new_option_node(COAP_OPTION_URI_HOST, uri->host.length, uri->host.s));
    }

    coap_pdu_t *pdu = create_coap_request(ctx->session, ctx->method, &ctx->optlist, ctx->token, ctx->payload,
                                          ctx->payload_len);
    LOGT("%s - create coap request", __func__);
    if (!pdu) return -1;
    LOGT("%s - send coap request", __func__);
    print_pdu_in_log(pdu);
    LOGT("%s - send confirmed", __func__);
    ctx->tid = coap_send(ctx->session, pdu);
    if (ctx->tid == COAP_INVALID_MID) {
        LOGE("%s - error sending request", __func__);
        return -1;
    }

    LOGT("%s - handle coap request in dedicated thread", __func__);
    // The worker takes no signal: process signals reach the loop thread, and a write to a pipe whose
    // reader has gone fails with EPIPE instead of raising SIGPIPE.
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_t thread;
    int error = pthread_create(&thread, &attr, coap_request_routine, ctx);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    pthread_attr_destroy(&attr);
    if (error != 0) {
        LOGE("%s - could not create thread for coap request, error: %d", __func__, error);
        return -1;
    }
    return 0;
}

void coap_log_to_logger(coap_log_t level, const char *message) {
    int lvl = level <= LOG_ERR ? LVL_ERROR : level == LOG_WARNING ? LVL_WARN : level <= LOG_INFO ? LVL_INFO : LVL_DEBUG;
    size_t n = message ? strlen(message) : 0;
    while (n && (message[n - 1] == '\n' || message[n - 1] == '\r')) n--;
    _log(LOG_CATEGORY, lvl, __FILE__, __LINE__, "%.*s", (int)n, message ? message : "");
}

int cancel_by_arg(const void *arg, int quiet) {
    if (!quiet) LOGD("%s - ctx: %p", "coap_cancel_request", arg);
    list_lock lock;
    coap_request_context_t *ctx = find_context_by_arg(arg, quiet);
    // Under the mutex: the worker removes its context under it before freeing.
    if (ctx) __atomic_store_n(&ctx->thread_var_cancel, 1, __ATOMIC_RELEASE);
    return 0;
}

}  // namespace

void init_coap_client(void) {
    if (!initialised) {
        coap_startup();
        coap_set_log_handler(coap_log_to_logger);
        initialised = 1;
    }
    coap_set_log_level(LOG_INFO);
    coap_dtls_set_log_level(LOG_INFO);
    pseudo_rand_init();
}

int coap_run_request(const coap_request_t *request, int *output_pipe, void *arg) {
    if (!request || !request->uri || !output_pipe) return -1;
    LOGD("%s - method: %s, uri: %s", __func__, method_name(request->method), request->uri);
    int cnt;
    coap_request_context_t *ctx = nullptr;
    {
        list_lock lock;
        cnt = (int)g_slist_length(g_coap_request_ctx_list);
        // Each request holds a thread and descriptors until its worker ends: the rest keep theirs.
        if (cnt < COAP_MAX_REQUESTS) {
            ctx = (coap_request_context_t *)calloc(1, sizeof(*ctx));
            if (!ctx) BRX_OOM_EXIT("ctx");
            ctx->out_fd = -1;
            g_coap_request_ctx_list = g_slist_append(g_coap_request_ctx_list, ctx);
            cnt++;
        }
    }
    if (!ctx) {
        LOGW("%s - %d requests in flight, refused: %s", __func__, cnt, request->uri);
        return -1;
    }
    LOGD("%s - cnt: %d, ctx: %p, pctx: %p", __func__, cnt, (void *)ctx, arg);

    ctx->method = request->method;
    ctx->uri = BRX_STRDUP_OR_EXIT(request->uri, "ctx->uri");
    ctx->token = pseudo_rand_alphanum_string(kTokenLength);
    if (!ctx->token) BRX_OOM_EXIT("ctx->token");
    if (request->user) ctx->user = BRX_STRDUP_OR_EXIT(request->user, "ctx->user");
    if (request->key) ctx->key = BRX_STRDUP_OR_EXIT(request->key, "ctx->key");
    if (request->payload && request->payload_len) {
        ctx->payload = (char *)malloc(request->payload_len + 1);
        if (!ctx->payload) BRX_OOM_EXIT("ctx->payload");
        memcpy(ctx->payload, request->payload, request->payload_len);
        ctx->payload[request->payload_len] = '\0';
        ctx->payload_len = request->payload_len;
    }
    ctx->subscribe = request->subscribe;
    ctx->block.num = 0;
    ctx->block.m = 0;
    ctx->block.szx = 6;
    ctx->arg = arg;
    ctx->tid = COAP_INVALID_MID;

    int rc = -1;
    ctx->out_fd = fcntl(output_pipe[1], F_DUPFD_CLOEXEC, 0);
    if (ctx->out_fd < 0)
        LOGE("%s - cannot take the result pipe: %s", __func__, strerror(errno));
    else
        rc = start_request(ctx);
    if (rc != 0) coap_request_context_free(ctx);
    return rc;
}

int coap_cancel_request(const void *arg) { return cancel_by_arg(arg, 0); }

int coap_cancel_request_quiet(const void *arg) { return cancel_by_arg(arg, 1); }

int coap_request_count(void) {
    list_lock lock;
    return (int)g_slist_length(g_coap_request_ctx_list);
}
