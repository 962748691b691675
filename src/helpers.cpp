#include "src/helpers.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <event2/event.h>

#include "common/logger/logger.h"
#include "src/md5.h"

#define LOG_CATEGORY "helpers"

#define MD5_FILE_CHUNK 1048576
#define LAUNCH_CHUNK 1024

static struct event_base *helpers_base;

void helpers_set_event_base(struct event_base *base)
{
    helpers_base = base;
}

gboolean str_equal(gconstpointer a, gconstpointer b)
{
    return strcmp((const char *)a, (const char *)b) == 0 ? TRUE : FALSE;
}

char *get_nth_field(const char *key, int n)
{
    if (!key || n < 1) return NULL;

    /* A colon in the first position separates nothing. */
    const char *start = key;
    const char *search = key[0] ? key + 1 : key;
    for (int i = 1; i < n; i++) {
        const char *colon = strchr(search, ':');
        if (!colon) return NULL;
        start = search = colon + 1;
    }
    const char *end = strchr(search, ':');
    size_t len = end ? (size_t)(end - start) : strlen(start);

    char *field = strndup(start, len);
    if (!field) BRX_OOM_EXIT("get_nth_field no mem");
    return field;
}

int id_usable(const char *what, const char *id)
{
    const char *why = NULL;
    if (!id || !*id)
        why = "empty";
    else if (strlen(id) > ID_MAX_LEN)
        why = "too long for the keys built from it";
    else if (strpbrk(id, ":*?[]\\"))
        why = "contains ':' or a glob character";
    if (!why) return 1;
    LOGW("Refusing %s '%s': %s", what ? what : "id", id ? id : "", why);
    return 0;
}

char *glob_escaped(const char *text)
{
    char *out = (char *)malloc(2 * strlen(text) + 1);
    if (!out) BRX_OOM_EXIT("glob_escaped");
    char *o = out;
    for (const char *c = text; *c; c++) {
        if (strchr("*?[]\\", *c)) *o++ = '\\';
        *o++ = *c;
    }
    *o = '\0';
    return out;
}

char *shell_quote_into(char *dst, const char *text, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        if (text[i] == '\'') {
            memcpy(dst, "'\\''", 4);
            dst += 4;
        } else {
            *dst++ = text[i];
        }
    }
    *dst = '\0';
    return dst;
}

char *shell_quote(const char *text)
{
    size_t n = strlen(text);
    char *out = (char *)malloc(4 * n + 3);
    if (!out) BRX_OOM_EXIT("shell_quote");
    out[0] = '\'';
    char *end = shell_quote_into(out + 1, text, n);
    end[0] = '\'';
    end[1] = '\0';
    return out;
}

void toupper_in_place(char *buf, size_t n)
{
    for (size_t i = 0; i < n; i++) buf[i] = (char)toupper((unsigned char)buf[i]);
}

char *md5_file(const char *path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return NULL;

    MD5_CTX ctx;
    MD5Init(&ctx);
    unsigned char *chunk = (unsigned char *)malloc(MD5_FILE_CHUNK);
    if (!chunk) BRX_OOM_EXIT("md5_file");

    ssize_t got;
    for (;;) {
        got = read(fd, chunk, MD5_FILE_CHUNK);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        MD5Update(&ctx, chunk, (size_t)got);
    }
    free(chunk);
    close(fd);
    if (got < 0) return NULL;

    unsigned char digest[16];
    MD5Final(digest, &ctx);
    char *ret = (char *)malloc(2 * sizeof(digest) + 1);
    if (!ret) BRX_OOM_EXIT("ret");
    md5_to_hex(digest, ret);
    return ret;
}

static void deferred_timer_cb(evutil_socket_t, short, void *arg)
{
    timer_ctx_t *ctx = (timer_ctx_t *)arg;
    if (ctx->cb) ctx->cb(ctx->cb_arg);
    event_free(ctx->timer);
    free(ctx);
}

void set_cloexec(int fd) {
    if (fd < 0) return;
    int flags = fcntl(fd, F_GETFD);
    if (flags >= 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

int defer_callback(helper_callback_t cb, void *arg)
{
    if (!helpers_base) {
        LOGE("defer_callback: no event base set");
        return -1;
    }
    timer_ctx_t *ctx = (timer_ctx_t *)calloc(1, sizeof(*ctx));
    if (!ctx) BRX_OOM_EXIT("ctx");
    ctx->cb = cb;
    ctx->cb_arg = arg;
    ctx->timer = evtimer_new(helpers_base, deferred_timer_cb, ctx);
    if (!ctx->timer) BRX_OOM_EXIT("Cannot create new evtimer");

    struct timeval tv = {0, 1000};
    int rc = evtimer_add(ctx->timer, &tv);
    if (rc != 0) {
        /* Never fires: nothing would free the record. */
        event_free(ctx->timer);
        free(ctx);
    }
    return rc;
}

/* The whole stream as a NUL-terminated string; NULL (logged) when it cannot be read. */
static char *read_all(FILE *fp)
{
    char *buf = NULL;
    size_t len = 0;
    for (;;) {
        char *grown = (char *)realloc(buf, len + LAUNCH_CHUNK + 1);
        if (!grown) {
            LOGE("realloc failed: %s", strerror(errno));
            free(buf);
            return NULL;
        }
        buf = grown;
        size_t got = fread(buf + len, 1, LAUNCH_CHUNK, fp);
        len += got;
        if (got < LAUNCH_CHUNK) {
            if (feof(fp)) {
                buf[len] = '\0';
                return buf;
            }
            LOGE("fread failed: %s", strerror(errno));
            free(buf);
            return NULL;
        }
    }
}

/* Output nobody wants is still read: a child writing into a closed pipe would fail or die of SIGPIPE. */
static void drain(FILE *fp)
{
    char sink[LAUNCH_CHUNK];
    while (fread(sink, 1, sizeof(sink), fp) == sizeof(sink)) {
    }
}

helper_error launch(const char *cmd, int *status_out, char **output_out)
{
    if (output_out) *output_out = NULL;
    if (!cmd) {
        LOGE("Command can't be NULL");
        return HELPER_ERR_NO_COMMAND;
    }

    FILE *fp = popen(cmd, "re");
    if (!fp) {
        LOGE("popen failed: %s", strerror(errno));
        return HELPER_ERR_EXEC;
    }

    if (output_out) {
        char *out = read_all(fp);
        if (!out) {
            pclose(fp);
            return HELPER_ERR_EXEC;
        }
        *output_out = out;
    } else {
        drain(fp);
    }

    int status = pclose(fp);
    if (status == -1) {
        LOGE("pclose failed: %s", strerror(errno));
        return HELPER_ERR_EXEC;
    }
    if ((status & 0x7f) != 0) {
        LOGE("Command hasn't terminated normally - probably unexpected signal");
        return HELPER_ERR_EXEC;
    }
    if (status_out) *status_out = status;
    return HELPER_OK;
}

helper_error launch_with_args(const char *format, int *status_out, char **output_out, ...)
{
    if (output_out) *output_out = NULL;
    if (!format) return launch(NULL, status_out, output_out);

    va_list ap, ap2;
    va_start(ap, output_out);
    va_copy(ap2, ap);
    int len = vsnprintf(NULL, 0, format, ap);
    va_end(ap);
    if (len < 0) {
        va_end(ap2);
        LOGE("vsnprintf failed: %s", strerror(errno));
        return HELPER_ERR_FORMAT;
    }

    char *cmd = (char *)malloc((size_t)len + 1);
    if (!cmd) {
        va_end(ap2);
        LOGE("malloc failed: %s", strerror(errno));
        return HELPER_ERR_NO_MEM;
    }
    int len2 = vsnprintf(cmd, (size_t)len + 1, format, ap2);
    va_end(ap2);
    if (len2 != len) {
        free(cmd);
        LOGE("vsnprintf failed: %s", strerror(errno));
        return HELPER_ERR_FORMAT;
    }

    helper_error rc = launch(cmd, status_out, output_out);
    free(cmd);
    return rc;
}
