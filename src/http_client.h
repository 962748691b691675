#ifndef BRX_SRC_HTTP_CLIENT_H
#define BRX_SRC_HTTP_CLIENT_H

/*
 * The engine's one HTTP and HTTPS client. Every request is asynchronous on the loop's event base,
 * uses a connection of its own (no reuse, no retry) and ends in exactly one final callback, always
 * from the loop after the request call returned 0. HTTPS trusts only the configured CA file and
 * accepts a certificate only when it was issued for the URL's host. What a reply may hold and how
 * long a request may take is bounded (src/http_limits.h). Loop thread only.
 */

#include <stddef.h>
#include <stdint.h>

#include "common/glib-mini/glib.h"

struct event_base;
struct evkeyvalq;
struct bufferevent;
struct timeval;
typedef struct x509_store_ctx_st X509_STORE_CTX;

/* Any other value is sent as POST (and logged as "unknown"). */
typedef enum http_req_type : int {
    HTTP_GET = 0,
    HTTP_GET_CHUNKED = 1, /* GET whose body comes piece by piece to the piece callback */
    HTTP_POST = 2,
    HTTP_POST_MULTIPART = 3,
    HTTP_DELETE = 4,
    HTTP_PUT = 5,
    HTTP_GET_FILE = 6, /* GET straight into a file (http_get_file) */
    HTTP_SUBSCRIBE = 7,
} http_req_type;

/* One extra request header; made by http_add_header. */
typedef struct http_req_header {
    char *name;
    char *value;
    int is_added; /* used in place of a default or as the "filename" pseudo-header: not sent again */
} http_req_header_t;

/* One request, filled by the caller (usually on its stack); read only during the request call. */
typedef struct http_req_data {
    const char *uri;       /* whole URL, scheme http or https in either case */
    const char *post_data; /* POST and PUT send it up to its first NUL */
    size_t post_data_len;  /* bytes of post_data for HTTP_POST_MULTIPART only */
    GSList *headers;       /* of http_req_header_t; the request call takes the list on every outcome */
} http_req_data_t;

/*
 * code: the HTTP status, or 500 when no usable reply came (then headers is NULL and there is no
 * body). headers and data live only during the call; data is NUL-terminated (len bytes before the
 * NUL), NULL for an empty body.
 */
typedef void (*http_req_cb)(int code, const struct evkeyvalq *headers, const char *data, size_t len, void *arg);
/* ok: 1 when the file is complete, 0 when the download failed (the file is then gone). */
typedef void (*http_get_file_cb)(int ok, void *arg);

/* The base of every later connection; 0. */
int http_set_event_base(struct event_base *base);

/* The TLS client context trusting ca_file; 0, or -1 when the CA file cannot be loaded. */
int http_setup_ssl(const char *ca_file);
/* Frees the TLS context; 0. */
int http_destroy_ssl(void);

/* Appends a header to data->headers and returns the list's head; NULL (WARN) when an argument is missing. */
GSList *http_add_header(http_req_data_t *data, const char *name, const char *value);

/* 0 when the request started (cb runs once later), -1 when refused (nothing remains, no callback). */
int http_request(http_req_type type, http_req_data_t *data, http_req_cb cb, void *arg);
/* As http_request; with HTTP_GET_CHUNKED, chunk_cb gets each piece of body and cb then ends without body. */
int http_request_chunked(http_req_type type, http_req_data_t *data, http_req_cb chunk_cb, http_req_cb cb, void *arg);
/* Downloads url into filename (created or truncated at once); cb(ok, arg) at the end. 0 or -1. */
int http_get_file(http_get_file_cb cb, const char *url, const char *filename, void *arg);
/* Ends every pending request made with arg, without any callback, removing partial downloads; 0. */
int http_cancel_request(void *arg);

/* Tests only: other connect and read/write time-outs (NULL: the defaults, 45 s and 50 s). */
void http_set_timeouts_for_tests(const struct timeval *connect, const struct timeval *io);
/* Tests only: other deadlines of a request and of a download (NULL: the defaults of http_limits.h). */
void http_set_deadlines_for_tests(const struct timeval *request, const struct timeval *download);

/*
 * Shared with the other TLS clients.
 *
 * http_tls_check_peer is the body of a TLS context's certificate-verification step: the chain
 * first, then validate_hostname against the host name kept in the TLS object's extra-data slot
 * host_index; only MatchFound accepts (1), anything else refuses (0). It logs in the caller's
 * category: WARN "X509_verify_cert Error %s" for a bad chain, DEBUG "<label> OK: serv: '%s', cert:
 * '%s'" or WARN "<label> NOT OK: Got '%s', serv: '%s', cert: '%s'", and with announce DEBUG
 * "SSL verify cert '%s'" before the host check.
 */
typedef struct http_tls_texts {
    const char *category;
    const char *label; /* "HTTPS", "WSS" */
    int announce;
} http_tls_texts_t;
int http_tls_check_peer(X509_STORE_CTX *x509_ctx, int host_index, const http_tls_texts_t *texts);

/*
 * Starts connecting bev (made without a socket) to the first address of host (resolved now,
 * blocking; IPv6 brackets stripped) on a close-on-exec socket. A failure, an unknown name
 * included, comes as BEV_EVENT_ERROR from the loop, never inside this call.
 */
void http_connect_cloexec(struct bufferevent *bev, const char *host, int port);

#endif
