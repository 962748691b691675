#include "src/http_reply.h"

#include <event2/buffer.h>
#include <event2/http.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

namespace {

enum {
    ST_STATUS,
    ST_HEADERS,
    ST_BODY_LENGTH,
    ST_BODY_EOF,
    ST_CHUNK_SIZE,
    ST_CHUNK_DATA,
    ST_CHUNK_END,
    ST_TRAILERS,
    ST_COMPLETE, /* nothing more to read: the next step reports DONE */
    ST_DONE,
    ST_ERROR,
};

http_reply_event_t fail(http_reply_t *r, const char *why) {
    r->state = ST_ERROR;
    r->error = why;
    return HTTP_REPLY_ERROR;
}

http_reply_event_t past_bound(http_reply_t *r, const char *why, uint64_t bound) {
    r->bound = bound;
    return fail(r, why);
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

enum { LINE_OVER_BUDGET = -1, LINE_BAD = -2 };

/*
 * The next line (without its CRLF or LF) as a new string, counted against the block's budget.
 * 1 with *out set, 0 when the line is not complete yet, LINE_OVER_BUDGET, or LINE_BAD for a line
 * that holds a NUL (or no memory).
 */
int read_line(http_reply_t *r, struct evbuffer *in, char **out) {
    size_t eol_len = 0;
    struct evbuffer_ptr eol = evbuffer_search_eol(in, nullptr, &eol_len, EVBUFFER_EOL_CRLF);
    if (eol.pos < 0) return evbuffer_get_length(in) + r->block_bytes > HTTP_MAX_HEADER_BLOCK ? LINE_OVER_BUDGET : 0;
    const size_t len = (size_t)eol.pos;
    if (r->block_bytes + len + eol_len > HTTP_MAX_HEADER_BLOCK) return LINE_OVER_BUDGET;
    r->block_bytes += len + eol_len;
    char *line = (char *)malloc(len + 1);
    if (!line) return LINE_BAD;
    evbuffer_remove(in, line, len);
    evbuffer_drain(in, eol_len);
    line[len] = '\0';
    if (memchr(line, '\0', len)) {
        free(line);
        return LINE_BAD;
    }
    *out = line;
    return 1;
}

/* The error of a failed read_line. */
http_reply_event_t line_error(http_reply_t *r, int got, const char *too_long, const char *bad) {
    return got == LINE_OVER_BUDGET ? past_bound(r, too_long, HTTP_MAX_HEADER_BLOCK) : fail(r, bad);
}

void trim_right(char *s) {
    size_t n = strlen(s);
    while (n > 0 && is_blank(s[n - 1])) s[--n] = '\0';
}

void drop_fold(http_reply_t *r) {
    free(r->fold_name);
    free(r->fold_value);
    r->fold_name = r->fold_value = nullptr;
}

/* The header held back for continuation lines goes into the list. */
bool flush_fold(http_reply_t *r) {
    if (!r->fold_name) return true;
    const bool ok = evhttp_add_header(&r->headers, r->fold_name, r->fold_value) == 0;
    drop_fold(r);
    return ok;
}

/* One line of a header or trailer block (not the blank one); false when it is malformed. */
bool header_line(http_reply_t *r, char *line) {
    if (is_blank(line[0])) {
        // A continuation of the previous header's value.
        if (!r->fold_name) return false;
        char *more = line;
        while (is_blank(*more)) more++;
        trim_right(more);
        if (!*more) return true;
        const size_t old_len = strlen(r->fold_value), add = strlen(more);
        char *joined = (char *)realloc(r->fold_value, old_len + 1 + add + 1);
        if (!joined) return false;
        joined[old_len] = ' ';
        memcpy(joined + old_len + 1, more, add + 1);
        r->fold_value = joined;
        return true;
    }
    if (!flush_fold(r)) return false;
    char *colon = strchr(line, ':');
    if (!colon || colon == line) return false;
    for (const char *p = line; p < colon; p++)
        if ((unsigned char)*p <= ' ' || *p == 0x7f) return false;
    *colon = '\0';
    char *value = colon + 1;
    while (is_blank(*value)) value++;
    trim_right(value);
    r->fold_name = strdup(line);
    r->fold_value = strdup(value);
    return r->fold_name && r->fold_value;
}

/* "HTTP/<d>.<d> <3 digits>[ <reason>]"; the status, or -1. */
int parse_status_line(const char *line) {
    if (strncmp(line, "HTTP/", 5) != 0 || !is_digit(line[5]) || line[6] != '.' || !is_digit(line[7]) ||
        line[8] != ' ')
        return -1;
    const char *code = line + 9;
    if (code[0] < '1' || code[0] > '9' || !is_digit(code[1]) || !is_digit(code[2])) return -1;
    if (code[3] != '\0' && code[3] != ' ') return -1;
    return (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0');
}

/* Decimal digits only, without sign or blanks inside, below 2^63. */
bool parse_length(const char *text, uint64_t *out) {
    if (!is_digit(*text)) return false;
    uint64_t v = 0;
    for (; *text; text++) {
        if (!is_digit(*text)) return false;
        const uint64_t digit = (uint64_t)(*text - '0');
        if (v > (INT64_MAX - digit) / 10) return false;
        v = v * 10 + digit;
    }
    *out = v;
    return true;
}

/* "<hex>[ blanks][;extension]"; false when malformed or at 2^63 or above. */
bool parse_chunk_size(const char *line, uint64_t *out) {
    uint64_t v = 0;
    const char *p = line;
    for (; hex_value(*p) >= 0; p++) {
        if (v > ((uint64_t)INT64_MAX >> 4)) return false;
        v = (v << 4) | (uint64_t)hex_value(*p);
    }
    if (p == line) return false;
    while (is_blank(*p)) p++;
    if (*p != '\0' && *p != ';') return false;
    *out = v;
    return true;
}

/* How the body is framed, once the header block is complete. */
http_reply_event_t headers_complete(http_reply_t *r) {
    if (!flush_fold(r)) return fail(r, "malformed header");
    if (r->code == 204 || r->code == 304) {
        r->state = ST_COMPLETE;
        return HTTP_REPLY_HEADERS;
    }
    const char *coding = evhttp_find_header(&r->headers, "Transfer-Encoding");
    if (coding) {
        // A coding other than chunked alone leaves the end of the stream as the only frame.
        r->chunked = strcasecmp(coding, "chunked") == 0;
        r->state = r->chunked ? ST_CHUNK_SIZE : ST_BODY_EOF;
        r->block_bytes = 0;
        return HTTP_REPLY_HEADERS;
    }
    bool have_length = false;
    uint64_t length = 0;
    for (struct evkeyval *h = r->headers.tqh_first; h; h = h->next.tqe_next) {
        if (strcasecmp(h->key, "Content-Length") != 0) continue;
        uint64_t v = 0;
        if (!parse_length(h->value, &v)) return fail(r, "bad Content-Length");
        if (have_length && v != length) return fail(r, "conflicting Content-Length");
        have_length = true;
        length = v;
    }
    if (!have_length) {
        r->state = ST_BODY_EOF;
    } else if (r->body_limit && length > r->body_limit) {
        return past_bound(r, "body over", r->body_limit);
    } else {
        r->remaining = length;
        r->state = length ? ST_BODY_LENGTH : ST_COMPLETE;
    }
    return HTTP_REPLY_HEADERS;
}

http_reply_event_t move_body(http_reply_t *r, struct evbuffer *in, bool bounded) {
    size_t n = evbuffer_get_length(in);
    if (n == 0) return HTTP_REPLY_MORE;
    if (bounded && n > r->remaining) n = (size_t)r->remaining;
    // Also the only check of a body framed by the end of the stream, whose size is never announced.
    if (r->body_limit && r->body_bytes + n > r->body_limit) return past_bound(r, "body over", r->body_limit);
    if (evbuffer_remove_buffer(in, r->body, n) != (int)n) return fail(r, "no memory for the body");
    r->body_bytes += n;
    if (bounded) r->remaining -= n;
    return HTTP_REPLY_DATA;
}

/* The bound that a chunk of that size would pass; 0 when it fits both. */
uint64_t chunk_passes(const http_reply_t *r, uint64_t size) {
    if (r->chunk_limit && size > r->chunk_limit) return r->chunk_limit;
    return r->body_limit && size > r->body_limit - r->body_bytes ? r->body_limit : 0;
}

}  // namespace

int http_reply_init(http_reply_t *r) {
    memset(r, 0, sizeof(*r));
    r->headers.tqh_first = nullptr;
    r->headers.tqh_last = &r->headers.tqh_first;
    r->body = evbuffer_new();
    r->state = ST_STATUS;
    r->body_limit = HTTP_MAX_BODY;
    return r->body ? 0 : -1;
}

void http_reply_clear(http_reply_t *r) {
    evhttp_clear_headers(&r->headers);
    if (r->body) evbuffer_free(r->body);
    r->body = nullptr;
    drop_fold(r);
}

http_reply_event_t http_reply_step(http_reply_t *r, struct evbuffer *in) {
    for (;;) {
        char *line = nullptr;
        int got = 0;
        switch (r->state) {
        case ST_STATUS:
            got = read_line(r, in, &line);
            if (got < 0) return line_error(r, got, "header block over", "bad status line");
            if (got == 0) return HTTP_REPLY_MORE;
            r->code = parse_status_line(line);
            free(line);
            if (r->code < 0) return fail(r, "bad status line");
            r->state = ST_HEADERS;
            break;

        case ST_HEADERS:
        case ST_TRAILERS: {
            got = read_line(r, in, &line);
            if (got < 0) return line_error(r, got, "header block over", "malformed header");
            if (got == 0) return HTTP_REPLY_MORE;
            if (line[0] != '\0') {
                const bool ok = header_line(r, line);
                free(line);
                if (!ok) return fail(r, "malformed header");
                break;
            }
            free(line);
            if (r->state == ST_TRAILERS) {
                if (!flush_fold(r)) return fail(r, "malformed trailer");
                r->state = ST_DONE;
                return HTTP_REPLY_DONE;
            }
            if (r->code < 200) {
                // An interim reply: the real one follows, within the same budget.
                drop_fold(r);
                evhttp_clear_headers(&r->headers);
                r->state = ST_STATUS;
                break;
            }
            return headers_complete(r);
        }

        case ST_BODY_LENGTH: {
            http_reply_event_t ev = move_body(r, in, true);
            if (ev == HTTP_REPLY_DATA && r->remaining == 0) r->state = ST_COMPLETE;
            return ev;
        }

        case ST_BODY_EOF:
            return move_body(r, in, false);

        case ST_CHUNK_SIZE: {
            got = read_line(r, in, &line);
            if (got < 0) return line_error(r, got, "chunk size line over", "bad chunk size");
            if (got == 0) return HTTP_REPLY_MORE;
            uint64_t size = 0;
            const bool ok = parse_chunk_size(line, &size);
            free(line);
            if (!ok) return fail(r, "bad chunk size");
            if (const uint64_t bound = chunk_passes(r, size)) return past_bound(r, "chunk over", bound);
            r->block_bytes = 0;
            r->chunk_done = 0;
            if (size == 0) {
                r->state = ST_TRAILERS;
            } else {
                r->remaining = size;
                r->state = ST_CHUNK_DATA;
            }
            break;
        }

        case ST_CHUNK_DATA: {
            http_reply_event_t ev = move_body(r, in, true);
            if (ev != HTTP_REPLY_DATA) return ev;
            r->chunk_done = r->remaining == 0;
            if (r->chunk_done) r->state = ST_CHUNK_END;
            return ev;
        }

        case ST_CHUNK_END:
            got = read_line(r, in, &line);
            if (got < 0) return line_error(r, got, "chunk end over", "chunk not terminated");
            if (got == 0) return HTTP_REPLY_MORE;
            got = line[0] == '\0';
            free(line);
            if (!got) return fail(r, "chunk not terminated");
            r->block_bytes = 0;
            r->state = ST_CHUNK_SIZE;
            break;

        case ST_COMPLETE:
            r->state = ST_DONE;
            return HTTP_REPLY_DONE;

        case ST_DONE:
            return HTTP_REPLY_DONE;

        default:
            return HTTP_REPLY_ERROR;
        }
    }
}

http_reply_event_t http_reply_eof(http_reply_t *r) {
    switch (r->state) {
    case ST_BODY_EOF:
    case ST_COMPLETE:
    case ST_DONE:
        r->state = ST_DONE;
        return HTTP_REPLY_DONE;
    case ST_ERROR:
        return HTTP_REPLY_ERROR;
    case ST_STATUS:
        return fail(r, r->code ? "reply cut short" : "no reply");
    default:
        return fail(r, "reply cut short");
    }
}
