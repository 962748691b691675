#ifndef BRX_SRC_HTTP_REPLY_H
#define BRX_SRC_HTTP_REPLY_H

/*
 * Incremental parser of one HTTP/1.x reply as read from a server that is not trusted: the status
 * line, the header block (together with any interim 1xx replies, which are skipped, at most
 * HTTP_MAX_HEADER_BLOCK bytes), then a body framed by Content-Length, by chunked transfer coding
 * (extensions ignored, trailers added to the headers) or by the end of the stream. 204 and 304
 * replies have no body. Sizes are parsed strictly: anything malformed or out of range is an error,
 * never a guess; so is a body or a chunk over its bound, as soon as it is announced or passed.
 */

#include <stddef.h>
#include <stdint.h>

#include <event2/keyvalq_struct.h>

#include "src/http_limits.h"

struct evbuffer;

typedef enum http_reply_event {
    HTTP_REPLY_MORE,    /* every complete part of the input is consumed: feed more */
    HTTP_REPLY_HEADERS, /* status and headers are complete */
    HTTP_REPLY_DATA,    /* body bytes were moved into body */
    HTTP_REPLY_DONE,    /* the reply is complete; later input is not looked at */
    HTTP_REPLY_ERROR,   /* malformed, over a limit or cut short: error says why */
} http_reply_event_t;

typedef struct http_reply {
    int state;
    int code;                   /* status, from HTTP_REPLY_HEADERS on */
    struct evkeyvalq headers;   /* in order, repeated names kept */
    struct evbuffer *body;      /* body bytes moved out of the input, for the caller to take */
    int chunked;                /* the body uses chunked transfer coding */
    int chunk_done;             /* the last HTTP_REPLY_DATA completed a chunk */
    uint64_t remaining;         /* of the Content-Length body or of the current chunk */
    size_t block_bytes;         /* of the header or trailer block read so far */
    char *fold_name, *fold_value; /* the last header line, held back for continuation lines */
    const char *error;          /* static text */
    uint64_t bound;             /* with the error: the bound it passed, in bytes; 0 for a malformed reply */
    uint64_t body_limit;        /* body bytes allowed in all; 0: no bound */
    uint64_t chunk_limit;       /* bytes of one chunk; 0: no bound but body_limit */
    uint64_t body_bytes;        /* body bytes so far */
} http_reply_t;

/* 0, or -1 when no memory. The body is bounded by HTTP_MAX_BODY until the caller says otherwise. */
int http_reply_init(http_reply_t *r);
void http_reply_clear(http_reply_t *r);

/* Consumes input up to the next event. Call again after every event but MORE, DONE and ERROR. */
http_reply_event_t http_reply_step(http_reply_t *r, struct evbuffer *in);

/* The stream ended: DONE for a body that runs to the end of the stream, else ERROR. */
http_reply_event_t http_reply_eof(http_reply_t *r);

#endif
