#include "src/http_client.h"

#include <errno.h>
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/bufferevent_ssl.h>
#include <event2/event.h>
#include <event2/http.h>
#include <event2/util.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "common/logger/logger.h"
#include "src/host_validation/openssl_hostname_validation.h"
#include "src/http_reply.h"

#define LOG_CATEGORY "http_client"

namespace {

const char *const kBoundary = "----WebKitFormBoundary4eqSAKp0q8C1bMNj";

/* One pending request; owned by http_ctx_list. */
struct http_cb_context_t {
    char *host;                 /* the URL host: Host header, server name, certificate name */
    char *orig_uri;
    SSL *ssl;                   /* owned by conn */
    http_get_file_cb file_func;
    http_req_cb func;
    http_req_cb chunk_func;
    void *arg;
    char *filename;             /* HTTP_GET_FILE target */
    int status;                 /* download outcome: 1 good, 0 failed */
    struct bufferevent *conn;

    uintptr_t id;               /* never reused: what the connection's callbacks carry */
    http_req_type type;
    http_reply_t reply;
    struct event *deadline;     /* the whole request's time */
    int in_callback;            /* inside a piece callback: freeing waits for its return */
    int dead;                   /* cancelled inside a piece callback */
};

struct event_base *loop_base = nullptr;
SSL_CTX *ssl_ctx = nullptr;
int ssl_data_index = -1;
GSList *http_ctx_list = nullptr;
uintptr_t last_id = 0;

const struct timeval kConnectTimeout = {45, 0};
const struct timeval kIoTimeout = {50, 0};
struct timeval connect_timeout = kConnectTimeout;
struct timeval io_timeout = kIoTimeout;

const struct timeval kRequestDeadline = {HTTP_REQUEST_DEADLINE_SEC, 0};
const struct timeval kFileDeadline = {HTTP_FILE_DEADLINE_SEC, 0};
struct timeval request_deadline = kRequestDeadline;
struct timeval file_deadline = kFileDeadline;

const http_tls_texts_t kHttpsTexts = {LOG_CATEGORY, "HTTPS", 0};

const char *method_of(http_req_type type) {
    switch (type) {
    case HTTP_GET:
    case HTTP_GET_CHUNKED:
    case HTTP_GET_FILE:
        return "GET";
    case HTTP_DELETE:
        return "DELETE";
    case HTTP_PUT:
        return "PUT";
    case HTTP_SUBSCRIBE:
        return "SUBSCRIBE";
    default:
        return "POST";
    }
}

const char *log_name_of(http_req_type type) {
    switch (type) {
    case HTTP_GET: return "GET";
    case HTTP_GET_CHUNKED: return "GET CHUNKED";
    case HTTP_POST: return "POST";
    case HTTP_POST_MULTIPART: return "POST MULTIPART";
    case HTTP_DELETE: return "DELETE";
    case HTTP_PUT: return "PUT";
    case HTTP_GET_FILE: return "GET FILE";
    case HTTP_SUBSCRIBE: return "SUBSCRIBE";
    default: return "unknown";
    }
}

const char *result_name(HostnameValidationResult r) {
    switch (r) {
    case MatchFound: return "MatchFound";
    case MatchNotFound: return "MatchNotFound";
    case NoSANPresent: return "NoSANPresent";
    case MalformedCertificate: return "MalformedCertificate";
    case Error: return "Error";
    default: return "WTF!";
    }
}

/* ---- header lists ---- */

void free_headers(GSList *headers) {
    for (GSList *it = headers; it; it = it->next) {
        http_req_header_t *h = (http_req_header_t *)it->data;
        if (!h) continue;
        free(h->name);
        free(h->value);
        free(h);
    }
    g_slist_free(headers);
}

/* A header that would end its line early is never sent: no header injection. */
bool header_is_sendable(const http_req_header_t *h) {
    return h && h->name && h->value && !strpbrk(h->name, "\r\n") && !strpbrk(h->value, "\r\n");
}

/* The first sendable header spelled exactly name, marked used; NULL when there is none. */
http_req_header_t *take_header(GSList *headers, const char *name) {
    for (GSList *it = headers; it; it = it->next) {
        http_req_header_t *h = (http_req_header_t *)it->data;
        if (header_is_sendable(h) && !h->is_added && strcmp(h->name, name) == 0) {
            h->is_added = 1;
            return h;
        }
    }
    return nullptr;
}

bool has_header_ignoring_case(GSList *headers, const char *name) {
    for (GSList *it = headers; it; it = it->next) {
        http_req_header_t *h = (http_req_header_t *)it->data;
        if (header_is_sendable(h) && strcasecmp(h->name, name) == 0) return true;
    }
    return false;
}

/* ---- the URL ---- */

struct split_uri {
    char *host;
    char *target; /* path ("/" when empty), then "?" and the query when there is one */
    int port;
    int https;
};

void free_split(split_uri *s) {
    free(s->host);
    free(s->target);
}

int split_http_uri(const char *uri, split_uri *out) {
    memset(out, 0, sizeof(*out));
    struct evhttp_uri *parsed = uri ? evhttp_uri_parse(uri) : nullptr;
    if (!parsed) {
        LOGW("split_http_uri http_uri is null");
        return -1;
    }
    const char *host = evhttp_uri_get_host(parsed);
    const char *scheme = evhttp_uri_get_scheme(parsed);
    int rc = -1;
    if (!host || !*host) {
        LOGW("url must have a host");
    } else if (!scheme || (strcasecmp(scheme, "http") != 0 && strcasecmp(scheme, "https") != 0)) {
        LOGW("Request url must be http or https");
    } else {
        out->https = strcasecmp(scheme, "https") == 0;
        const int port = evhttp_uri_get_port(parsed);
        out->port = port >= 0 ? port : (out->https ? 443 : 80);
        const char *path = evhttp_uri_get_path(parsed);
        const char *query = evhttp_uri_get_query(parsed);
        if (!path || !*path) path = "/";
        // The whole target: a shortened one would ask for another resource.
        if (asprintf(&out->target, "%s%s%s", path, query ? "?" : "", query ? query : "") < 0)
            BRX_OOM_EXIT("request target");
        out->host = BRX_STRDUP_OR_EXIT(host, "request host");
        rc = 0;
    }
    evhttp_uri_free(parsed);
    return rc;
}

/* ---- records ---- */

http_cb_context_t *find_record(uintptr_t id) {
    for (GSList *it = http_ctx_list; it; it = it->next) {
        http_cb_context_t *c = (http_cb_context_t *)it->data;
        if (c->id == id) return c;
    }
    return nullptr;
}

void *token_of(const http_cb_context_t *c) { return (void *)c->id; }

/* The connection (with its socket and TLS object) and the deadline, the moment a request ends. */
void end_io(http_cb_context_t *c) {
    if (c->conn) bufferevent_free(c->conn);
    c->conn = nullptr;
    c->ssl = nullptr;
    if (c->deadline) event_free(c->deadline);
    c->deadline = nullptr;
}

void destroy_record(http_cb_context_t *c) {
    end_io(c);
    http_reply_clear(&c->reply);
    free(c->host);
    free(c->orig_uri);
    free(c->filename);
    free(c);
}

void http_context_free(http_cb_context_t *c) {
    LOGD("http_context_free %p", (void *)c);
    if (!http_ctx_list || !g_slist_find(http_ctx_list, c)) {
        LOGD("http_context_free ctx %p not in the list (already freed) or list is empty", (void *)c);
        return;
    }
    http_ctx_list = g_slist_remove(http_ctx_list, c);
    if (c->in_callback) {
        // Freed once the piece callback returns; its connection ends now.
        end_io(c);
        c->dead = 1;
        return;
    }
    destroy_record(c);
}

/* ---- replies ---- */

/* The body moved out of the reply, NUL-terminated; NULL when empty. */
char *take_body(http_cb_context_t *c, size_t *len) {
    *len = evbuffer_get_length(c->reply.body);
    if (*len == 0) return nullptr;
    char *data = (char *)malloc(*len + 1);
    if (!data) BRX_OOM_EXIT("No mem to get data from http get response");
    evbuffer_remove(c->reply.body, data, *len);
    data[*len] = '\0';
    return data;
}

void file_done(http_cb_context_t *c, bool responded) {
    LOGD("http_get_file_done_cb req is %s, arg is %s", responded ? "not null" : "null", c->arg ? "not null" : "null");
    if (!responded) {
        LOGW("Server is probably down or no internet connection!");
        c->status = 0;
    } else {
        LOGD("http_get_file_done_cb code %d", c->reply.code);
        if (c->reply.code != 200 && c->reply.code != 204) {
            LOGW("http_get_file_done_cb - response %d", c->reply.code);
            c->status = 0;
        }
    }
    if (c->status == 0) {
        LOGW("http_get_file_done_cb - we have error status, remove %s", c->filename);
        unlink(c->filename);
    }
    if (c->file_func) c->file_func(c->status, c->arg);
}

/*
 * The one final callback. The record leaves the list first, so nothing the callback does (such
 * as cancelling its own argument) can reach it; it is freed after the callback.
 */
void finish(http_cb_context_t *c, bool responded) {
    http_ctx_list = g_slist_remove(http_ctx_list, c);
    // Closed before the callback: a server cut off at a bound sends nothing more meanwhile.
    end_io(c);
    if (c->type == HTTP_GET_FILE) {
        file_done(c, responded);
    } else if (!responded) {
        LOGW("connection to host '%s' has failed (ctx %p, uri %s)", c->host, (void *)c, c->orig_uri);
        if (c->func) c->func(500, nullptr, nullptr, 0, c->arg);
    } else {
        LOGD("http_process_response %p - Got callback with response code %d", (void *)c, c->reply.code);
        size_t len = 0;
        char *data = take_body(c, &len);
        if (!data) LOGD("http_process_response - respone len = 0, code %d", c->reply.code);
        if (c->func) c->func(c->reply.code, &c->reply.headers, data, len, c->arg);
        free(data);
    }
    LOGD("http_context_free %p", (void *)c);
    destroy_record(c);
}

void fail(http_cb_context_t *c, const char *why) {
    LOGD("http request %p ended without a usable reply: %s", (void *)c, why);
    finish(c, false);
}

/* The reply broke, or passed one of its bounds. */
void reply_failed(http_cb_context_t *c) {
    if (c->reply.bound) {
        LOGW("http request %p given up: %s %llu bytes (uri %s)", (void *)c, c->reply.error,
             (unsigned long long)c->reply.bound, c->orig_uri);
        finish(c, false);
    } else {
        fail(c, c->reply.error);
    }
}

const struct timeval *deadline_of(http_req_type type) {
    return type == HTTP_GET_FILE ? &file_deadline : &request_deadline;
}

void deadline_cb(evutil_socket_t, short, void *arg) {
    http_cb_context_t *c = find_record((uintptr_t)arg);
    if (!c) return;
    const struct timeval *d = deadline_of(c->type);
    LOGW("http request %p given up: deadline of %g s passed (uri %s)", (void *)c, d->tv_sec + d->tv_usec / 1e6,
         c->orig_uri);
    finish(c, false);
}

void write_piece(http_cb_context_t *c) {
    struct evbuffer *piece = c->reply.body;
    if (c->status == 0) {
        evbuffer_drain(piece, evbuffer_get_length(piece));
        return;
    }
    int fd = open(c->filename, O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) {
        LOGW("http_get_file_chunk_cb - error in open %s", c->filename);
        c->status = 0;
    } else {
        while (evbuffer_get_length(piece) > 0) {
            if (evbuffer_write(piece, fd) < 0) {
                LOGW("http_get_file_chunk_cb - error in evbuffer_write (filename %s)", c->filename);
                c->status = 0;
                break;
            }
        }
        close(fd);
    }
    evbuffer_drain(piece, evbuffer_get_length(piece));
}

/* Hands the piece read so far to the piece callback; false when the request ended meanwhile. */
bool deliver_piece(http_cb_context_t *c) {
    size_t len = 0;
    char *data = take_body(c, &len);
    if (c->chunk_func) {
        c->in_callback++;
        c->chunk_func(c->reply.code, &c->reply.headers, data, len, c->arg);
        c->in_callback--;
    }
    free(data);
    if (c->dead && c->in_callback == 0) {
        destroy_record(c);
        return false;
    }
    return !c->dead;
}

/* The body bytes the parser just moved out; false when the request ended meanwhile. */
bool on_body(http_cb_context_t *c) {
    switch (c->type) {
    case HTTP_GET_FILE:
        write_piece(c);
        return true;
    case HTTP_GET_CHUNKED:
        // One piece per chunk of a chunked body, else whatever each read brought.
        if (c->reply.chunked && !c->reply.chunk_done) return true;
        return deliver_piece(c);
    default:
        return true;  // kept whole for the final callback
    }
}

/* Parses what has arrived; ends the request when the reply is complete or broken. */
void process_input(http_cb_context_t *c) {
    struct evbuffer *in = bufferevent_get_input(c->conn);
    for (;;) {
        switch (http_reply_step(&c->reply, in)) {
        case HTTP_REPLY_MORE:
            return;
        case HTTP_REPLY_HEADERS:
            // A chunked GET may stream for as long as it likes once it has begun.
            if (c->type == HTTP_GET_CHUNKED && c->deadline) evtimer_del(c->deadline);
            break;
        case HTTP_REPLY_DATA:
            if (!on_body(c)) return;
            break;
        case HTTP_REPLY_DONE:
            finish(c, true);
            return;
        case HTTP_REPLY_ERROR:
            reply_failed(c);
            return;
        }
    }
}

void read_cb(struct bufferevent *, void *arg) {
    http_cb_context_t *c = find_record((uintptr_t)arg);
    if (!c) {
        LOGW("LUA http_request_done ctx %p not in the list (already freed) or list is empty", arg);
        return;
    }
    process_input(c);
}

void event_cb(struct bufferevent *bev, short what, void *arg) {
    http_cb_context_t *c = find_record((uintptr_t)arg);
    if (!c) {
        LOGW("LUA http_request_done ctx %p not in the list (already freed) or list is empty", arg);
        return;
    }
    if (what & BEV_EVENT_CONNECTED) {
        bufferevent_set_timeouts(bev, &io_timeout, &io_timeout);
        return;
    }
    if (what & BEV_EVENT_EOF) {
        // What arrived with the end of the stream first.
        uintptr_t id = c->id;
        process_input(c);
        c = find_record(id);
        if (!c) return;
        if (http_reply_eof(&c->reply) == HTTP_REPLY_DONE)
            finish(c, true);
        else
            reply_failed(c);
        return;
    }
    if (what & BEV_EVENT_TIMEOUT) {
        fail(c, "time-out");
        return;
    }
    fail(c, "connection error");
}

/* ---- the request ---- */

void add_request_header(struct evbuffer *out, const char *name, const char *value) {
    evbuffer_add_printf(out, "%s: %s\r\n", name, value);
}

/* Request line, headers and body, as the library's defaults would write them. */
void build_request(struct evbuffer *out, http_req_type type, const split_uri *u, http_req_data_t *data,
                   GSList *headers) {
    evbuffer_add_printf(out, "%s %s HTTP/1.1\r\n", method_of(type), u->target);

    add_request_header(out, "Host", u->host);
    http_req_header_t *h = take_header(headers, "Accept");
    add_request_header(out, "Accept", h ? h->value : "*/*");
    h = take_header(headers, "Connection");
    add_request_header(out, "Connection", h ? h->value : "close");
    char content_type[128];
    if (type == HTTP_POST_MULTIPART) {
        snprintf(content_type, sizeof content_type, "multipart/form-data; boundary=%s", kBoundary);
        add_request_header(out, "Content-Type", content_type);
    } else {
        h = take_header(headers, "Content-Type");
        add_request_header(out, "Content-Type", h ? h->value : "application/json");
    }

    const char *filename = nullptr;
    if (type == HTTP_POST_MULTIPART) {
        h = take_header(headers, "filename");
        filename = h ? h->value : "none";
    }

    for (GSList *it = headers; it; it = it->next) {
        h = (http_req_header_t *)it->data;
        if (!h || h->is_added) continue;
        if (!header_is_sendable(h)) {
            LOGW("http header with CR or LF in its name or value not sent");
            continue;
        }
        LOGD("Adding header %s : %s", h->name, h->value);
        add_request_header(out, h->name, h->value);
    }

    struct evbuffer *body = evbuffer_new();
    if (!body) BRX_OOM_EXIT("request body");
    const bool has_body = type == HTTP_POST || type == HTTP_PUT || type == HTTP_POST_MULTIPART ||
                          type > HTTP_SUBSCRIBE || type < HTTP_GET;
    if ((type == HTTP_POST || type == HTTP_PUT) && data->post_data) {
        evbuffer_add(body, data->post_data, strlen(data->post_data));
    } else if (type == HTTP_POST_MULTIPART) {
        char disposition[200];
        snprintf(disposition, sizeof disposition, "form-data; name=\"file\"; filename=\"%s\"", filename);
        evbuffer_add_printf(body, "--%s\r\n", kBoundary);
        evbuffer_add_printf(body, "%s: %s\r\n", "Content-Disposition", disposition);
        evbuffer_add_printf(body, "%s: %s\r\n", "Content-Type", "image/jpeg");
        evbuffer_add(body, "\r\n", 2);
        if (data->post_data) evbuffer_add(body, data->post_data, data->post_data_len);
        evbuffer_add(body, "\r\n", 2);
        evbuffer_add_printf(body, "--%s--\r\n", kBoundary);
    }
    if (has_body && !has_header_ignoring_case(headers, "Content-Length"))
        evbuffer_add_printf(out, "Content-Length: %zu\r\n", evbuffer_get_length(body));
    evbuffer_add(out, "\r\n", 2);
    evbuffer_add_buffer(out, body);
    evbuffer_free(body);
}

/* The request's own connection, not connected yet; NULL when https has no TLS context. */
struct bufferevent *make_connection(http_cb_context_t *c, bool https) {
    if (!loop_base) return nullptr;
    const int options = BEV_OPT_CLOSE_ON_FREE | BEV_OPT_DEFER_CALLBACKS;
    struct bufferevent *bev = nullptr;
    if (!https) {
        bev = bufferevent_socket_new(loop_base, -1, options);
        if (!bev) BRX_OOM_EXIT("bufferevent_socket_new");
        return bev;
    }
    if (!ssl_ctx) {
        LOGW("SSL Context not set.");
        return nullptr;
    }
    SSL *ssl = SSL_new(ssl_ctx);
    if (!ssl) BRX_OOM_EXIT("SSL_new");
    if (SSL_set_tlsext_host_name(ssl, c->host) != 1) LOGW("ERROR SSL_set_tlsext_host_name()");
    SSL_set_ex_data(ssl, ssl_data_index, c->host);
    bev = bufferevent_openssl_socket_new(loop_base, -1, ssl, BUFFEREVENT_SSL_CONNECTING, options);
    if (!bev) BRX_OOM_EXIT("bufferevent_openssl_socket_new");
    c->ssl = ssl;
    return bev;
}

int http_request_internal(http_req_type type, http_req_data_t *data, http_req_cb chunk_cb, http_req_cb cb,
                          http_get_file_cb file_cb, void *arg) {
    GSList *headers = data ? data->headers : nullptr;
    if (data) data->headers = nullptr;

    split_uri u;
    if (split_http_uri(data ? data->uri : nullptr, &u) < 0) {
        LOGW("Cannot split uri");
        free_headers(headers);
        return -1;
    }

    http_cb_context_t *c = (http_cb_context_t *)calloc(1, sizeof(*c));
    if (!c) BRX_OOM_EXIT("http context");
    if (http_reply_init(&c->reply) < 0) BRX_OOM_EXIT("http reply");
    c->id = ++last_id;
    c->type = type;
    LOGD("http_make_request %p - %s %s", (void *)c, log_name_of(type), data->uri);
    c->func = cb;
    c->arg = arg;
    c->orig_uri = BRX_STRDUP_OR_EXIT(data->uri, "http uri");
    c->host = BRX_STRDUP_OR_EXIT(u.host, "http host");

    c->conn = make_connection(c, u.https);
    if (!c->conn) {
        LOGD("Cannot create SSL buffer event");
        destroy_record(c);
        free_split(&u);
        free_headers(headers);
        return -1;
    }

    if (type == HTTP_GET_FILE) {
        http_req_header_t *h = take_header(headers, "filename");
        int fd = h ? open(h->value, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644) : -1;
        if (fd < 0) {
            if (!h)
                LOGW("No filename to get");
            else
                LOGW("http_get_file open failed!");
            destroy_record(c);
            free_split(&u);
            free_headers(headers);
            return -1;
        }
        close(fd);
        c->status = 1;
        c->filename = BRX_STRDUP_OR_EXIT(h->value, "http filename");
        c->file_func = file_cb;
        c->reply.body_limit = HTTP_MAX_FILE;
    } else if (type == HTTP_GET_CHUNKED) {
        c->chunk_func = chunk_cb;
        c->reply.body_limit = 0;
        c->reply.chunk_limit = HTTP_MAX_BODY;
    }

    build_request(bufferevent_get_output(c->conn), type, &u, data, headers);

    c->deadline = evtimer_new(loop_base, deadline_cb, token_of(c));
    if (!c->deadline) BRX_OOM_EXIT("http deadline");
    evtimer_add(c->deadline, deadline_of(type));

    http_ctx_list = g_slist_append(http_ctx_list, c);
    bufferevent_setcb(c->conn, read_cb, nullptr, event_cb, token_of(c));
    bufferevent_set_timeouts(c->conn, &connect_timeout, &connect_timeout);
    http_connect_cloexec(c->conn, u.host, u.port);
    bufferevent_enable(c->conn, EV_READ | EV_WRITE);

    free_split(&u);
    free_headers(headers);
    return 0;
}

int http_ssl_cert_verify_callback(X509_STORE_CTX *x509_ctx, void *) {
    return http_tls_check_peer(x509_ctx, ssl_data_index, &kHttpsTexts);
}

}  // namespace

int http_set_event_base(struct event_base *base) {
    loop_base = base;
    return 0;
}

int http_setup_ssl(const char *ca_file) {
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    if (RAND_poll() != 1) {
        LOGW("Cannot do SSL RAND_poll");
        return -1;
    }
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) BRX_OOM_EXIT("SSL_CTX_new");
    ERR_clear_error();
    if (!ca_file || SSL_CTX_load_verify_locations(ctx, ca_file, nullptr) != 1) {
        char text[256];
        ERR_error_string_n(ERR_get_error(), text, sizeof text);
        ERR_clear_error();
        LOGW("SSL_CTX_load_verify_locations");
        LOGW("SSL ERROR: %s", text);
        SSL_CTX_free(ctx);
        return -1;
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    if (ssl_data_index < 0) ssl_data_index = SSL_get_ex_new_index(0, (void *)"mydata index", nullptr, nullptr, nullptr);
    SSL_CTX_set_cert_verify_callback(ctx, http_ssl_cert_verify_callback, nullptr);
    if (ssl_ctx) SSL_CTX_free(ssl_ctx);
    ssl_ctx = ctx;
    LOGI("https setup correct");
    return 0;
}

int http_destroy_ssl(void) {
    if (ssl_ctx) SSL_CTX_free(ssl_ctx);
    ssl_ctx = nullptr;
    return 0;
}

GSList *http_add_header(http_req_data_t *data, const char *name, const char *value) {
    if (!data || !name || !value) {
        LOGW("http_add_header data, header name or header value is null");
        return nullptr;
    }
    http_req_header_t *h = (http_req_header_t *)calloc(1, sizeof(*h));
    if (!h) BRX_OOM_EXIT("http header");
    h->name = BRX_STRDUP_OR_EXIT(name, "http header name");
    h->value = BRX_STRDUP_OR_EXIT(value, "http header value");
    data->headers = g_slist_append(data->headers, h);
    if (!data->headers) BRX_OOM_EXIT("http header list");
    return data->headers;
}

int http_request(http_req_type type, http_req_data_t *data, http_req_cb cb, void *arg) {
    return http_request_internal(type, data, nullptr, cb, nullptr, arg);
}

int http_request_chunked(http_req_type type, http_req_data_t *data, http_req_cb chunk_cb, http_req_cb cb, void *arg) {
    return http_request_internal(type, data, chunk_cb, cb, nullptr, arg);
}

int http_get_file(http_get_file_cb cb, const char *url, const char *filename, void *arg) {
    http_req_data_t data = {url, nullptr, 0, nullptr};
    if (filename) http_add_header(&data, "filename", filename);
    return http_request_internal(HTTP_GET_FILE, &data, nullptr, nullptr, cb, arg);
}

int http_cancel_request(void *arg) {
    LOGD("http_cancel_request %p", arg);
    GSList *it = http_ctx_list;
    while (it) {
        GSList *next = it->next;
        http_cb_context_t *c = (http_cb_context_t *)it->data;
        if (c->arg == arg) {
            if (c->filename) {
                LOGD("try to remove partially downloaded file");
                unlink(c->filename);
            }
            http_context_free(c);
        }
        it = next;
    }
    return 0;
}

void http_set_timeouts_for_tests(const struct timeval *connect, const struct timeval *io) {
    connect_timeout = connect ? *connect : kConnectTimeout;
    io_timeout = io ? *io : kIoTimeout;
}

void http_set_deadlines_for_tests(const struct timeval *request, const struct timeval *download) {
    request_deadline = request ? *request : kRequestDeadline;
    file_deadline = download ? *download : kFileDeadline;
}

int http_tls_check_peer(X509_STORE_CTX *x509_ctx, int host_index, const http_tls_texts_t *texts) {
    const char *category = texts->category;
    const char *host = nullptr;
    const char *result_text;
    HostnameValidationResult result = Error;
    X509 *cert = X509_STORE_CTX_get0_cert(x509_ctx);

    const int chain_ok = X509_verify_cert(x509_ctx) == 1;
    if (!chain_ok) {
        _log(category, LVL_WARN, __FILE__, __LINE__, "X509_verify_cert Error %s",
             X509_verify_cert_error_string(X509_STORE_CTX_get_error(x509_ctx)));
        result_text = "X509_verify_cert failed";
    } else {
        SSL *ssl = (SSL *)X509_STORE_CTX_get_ex_data(x509_ctx, SSL_get_ex_data_X509_STORE_CTX_idx());
        host = ssl ? (const char *)SSL_get_ex_data(ssl, host_index) : nullptr;
        if (texts->announce)
            _log(category, LVL_DEBUG, __FILE__, __LINE__, "SSL verify cert '%s'", host ? host : "(null)");
        result = validate_hostname(host, cert);
        result_text = result_name(result);
    }

    char subject[256] = "(null)";
    if (cert) X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof subject);
    if (result == MatchFound) {
        _log(category, LVL_DEBUG, __FILE__, __LINE__, "%s OK: serv: '%s', cert: '%s'", texts->label, host, subject);
        return 1;
    }
    _log(category, LVL_WARN, __FILE__, __LINE__, "%s NOT OK: Got '%s', serv: '%s', cert: '%s'", texts->label,
         result_text, host ? host : "(null)", subject);
    if (chain_ok) X509_STORE_CTX_set_error(x509_ctx, X509_V_ERR_HOSTNAME_MISMATCH);
    return 0;
}

void http_connect_cloexec(struct bufferevent *bev, const char *host, int port) {
    // A bracketed IPv6 literal is looked up without its brackets.
    char name[NI_MAXHOST];
    size_t len = strlen(host);
    if (len >= 2 && host[0] == '[' && host[len - 1] == ']') {
        host++;
        len -= 2;
    }
    if (len >= sizeof name) {
        bufferevent_trigger_event(bev, BEV_EVENT_ERROR, BEV_TRIG_DEFER_CALLBACKS);
        return;
    }
    memcpy(name, host, len);
    name[len] = '\0';

    char service[16];
    snprintf(service, sizeof service, "%d", port);
    struct evutil_addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    struct evutil_addrinfo *ai = nullptr;
    const int err = evutil_getaddrinfo(name, service, &hints, &ai);
    if (err != 0 || !ai) {
        LOGD("Cannot resolve %s: %s", name, evutil_gai_strerror(err));
        if (ai) evutil_freeaddrinfo(ai);
        bufferevent_trigger_event(bev, BEV_EVENT_ERROR, BEV_TRIG_DEFER_CALLBACKS);
        return;
    }
    // Only the first address is tried.
    int fd = socket(ai->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0 || bufferevent_setfd(bev, fd) < 0 || bufferevent_socket_connect(bev, ai->ai_addr, (int)ai->ai_addrlen) < 0) {
        if (fd >= 0 && bufferevent_getfd(bev) != fd) close(fd);
        LOGD("Cannot connect to %s: %s", name, strerror(errno));
        bufferevent_trigger_event(bev, BEV_EVENT_ERROR, BEV_TRIG_DEFER_CALLBACKS);
    }
    evutil_freeaddrinfo(ai);
}
