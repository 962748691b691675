#include "src/pcb/pcb_pipe.h"

#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "common/logger/logger.h"

#define LOG_CATEGORY "pcb_plugin"

namespace {

constexpr size_t kMaxLengthDigits = 100;
constexpr size_t kMaxPayload = 64u << 20; /* beyond this the stream is out of step */

}  // namespace

struct pcb_pipe_reader {
    char *buf;
    size_t len;
    size_t cap;
};

pcb_pipe_reader_t *pcb_pipe_reader_new(void) { return (pcb_pipe_reader_t *)calloc(1, sizeof(pcb_pipe_reader_t)); }

void pcb_pipe_reader_free(pcb_pipe_reader_t *reader) {
    if (!reader) return;
    free(reader->buf);
    free(reader);
}

size_t pcb_pipe_reader_pending(const pcb_pipe_reader_t *reader) { return reader ? reader->len : 0; }

namespace {

void append(pcb_pipe_reader_t *r, const char *data, size_t n) {
    if (r->len + n > r->cap) {
        size_t cap = r->cap ? r->cap : 4096;
        while (cap < r->len + n) cap *= 2;
        char *nb = (char *)realloc(r->buf, cap);
        if (!nb) BRX_OOM_EXIT("no memory for pipe buffer");
        r->buf = nb;
        r->cap = cap;
    }
    memcpy(r->buf + r->len, data, n);
    r->len += n;
}

/* Hands over the complete messages at the start of the buffer; keeps the rest. */
int parse(pcb_pipe_reader_t *r, pcb_pipe_message_cb_t cb, void *arg) {
    int count = 0;
    size_t pos = 0;
    while (pos < r->len) {
        char type = r->buf[pos];
        size_t i = pos + 1;
        size_t length = 0;
        bool bad = false;
        while (i < r->len && r->buf[i] != '|') {
            char c = r->buf[i];
            if (c < '0' || c > '9' || i - pos > kMaxLengthDigits) {
                bad = true;
                break;
            }
            length = length * 10 + (size_t)(c - '0');
            if (length > kMaxPayload) {
                bad = true;
                break;
            }
            i++;
        }
        if (!bad && i < r->len && i == pos + 1) bad = true; /* no digits */
        if (bad) {
            LOGW("bus pipe out of step, %zu bytes dropped", r->len - pos);
            pos = r->len;
            break;
        }
        if (i >= r->len || r->len - (i + 1) < length) break; /* the rest is still on its way */
        LOGD("read_prefix %c, len %u", type, (unsigned)length);
        char *payload = (char *)calloc(1, length + 1);
        if (!payload) BRX_OOM_EXIT("no memory for reply buf");
        memcpy(payload, r->buf + i + 1, length);
        cb(type, payload, length, arg);
        free(payload);
        count++;
        pos = i + 1 + length;
    }
    memmove(r->buf, r->buf + pos, r->len - pos);
    r->len -= pos;
    return count;
}

}  // namespace

int pcb_pipe_reader_read(pcb_pipe_reader_t *reader, int fd, pcb_pipe_message_cb_t cb, void *arg) {
    bool ended = false;
    char chunk[65536];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof(chunk));
        if (n > 0) {
            append(reader, chunk, (size_t)n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        ended = true;
        break;
    }
    int count = parse(reader, cb, arg);
    return ended ? -1 : count;
}

int pcb_pipe_write_all(int fd, const char *data, size_t len, ssize_t *written) {
    size_t done = 0;
    int rc = 0;
    while (done < len) {
        ssize_t n = write(fd, data + done, len - done);
        if (n > 0) {
            done += (size_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            struct pollfd p = {fd, POLLOUT, 0};
            if (poll(&p, 1, -1) < 0 && errno != EINTR) {
                rc = -1;
                break;
            }
            continue;
        }
        rc = -1;
        break;
    }
    if (written) *written = (ssize_t)done;
    return rc;
}
