#ifndef BRX_SRC_COAP_CLIENT_H
#define BRX_SRC_COAP_CLIENT_H

/*
 * CoAP and CoAPS (DTLS with a pre-shared key) requests. Each request gets its own CoAP context and
 * a detached worker thread; every result it produces is written to the caller's pipe as one
 * "<code>|<body length>|<body>" message. Start and cancel on the loop thread.
 *
 * Result codes: class * 100 + detail for a response (205, 404 ...), -1 when the DTLS layer failed
 * (a handshake still unfinished after 20 seconds included), -2 when the worker's step failed, 504
 * when nothing came within 20 seconds while not observing.
 */

#include <stddef.h>

typedef enum coap_method {
    COAP_GET = 1,
    COAP_POST = 2,
    COAP_PUT = 3,
    COAP_DELETE = 4,
} coap_method_t;

/* Filled by the caller, copied by the client. */
typedef struct coap_request {
    coap_method_t method;
    const char *uri;
    const char *user;        /* PSK identity (coaps) */
    const char *key;         /* PSK; its bytes are the key */
    const char *payload;     /* the request body, payload_len bytes; NULL or 0 bytes: none */
    size_t payload_len;
    int subscribe;           /* non-zero: register an observation */
} coap_request_t;

/* Requests in flight at most (each holds a thread and four descriptors); past it a start fails. */
#define COAP_MAX_REQUESTS 128

/* Once, before any request: libcoap, its log routing, the token generator. */
void init_coap_client(void);

/*
 * Starts a request; results go to output_pipe[1] (the client writes through a duplicate of its
 * own, so the caller may close its ends at any time). arg is the caller's cancellation key.
 * 0 = started; -1 = failed (COAP_MAX_REQUESTS in flight, or a descriptor, context or thread that
 * cannot be made); 1 = the PSK session could not be made. On a non-zero result nothing is kept and
 * nothing is written.
 */
int coap_run_request(const coap_request_t *request, int *output_pipe, void *arg);

/* Marks the first request whose arg matches as cancelled: it writes nothing more. Always 0. */
int coap_cancel_request(const void *arg);
/* The same without the warning when no request matches (one that already ended). */
int coap_cancel_request_quiet(const void *arg);

/* Number of requests whose worker has not ended yet; one that no longer counts holds no descriptor. */
int coap_request_count(void);

#endif
