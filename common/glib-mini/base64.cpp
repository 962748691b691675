#include "common/glib-mini/base64.h"

#include <stdint.h>
#include <string.h>

#include "common/glib-mini/glib.h"

static const char base64_chars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

char *g_base64_encode(const unsigned char *data, size_t len)
{
    size_t groups = len / 3 + (len % 3 ? 1 : 0);
    if (groups > (SIZE_MAX - 1) / 4) return NULL; /* the text's size would not fit in size_t */
    if (!data && len) return NULL;

    char *out = (char *)g_malloc(groups * 4 + 1);
    if (!out) return NULL;

    char *o = out;
    size_t i = 0;
    for (; i + 3 <= len; i += 3) {
        unsigned b0 = data[i], b1 = data[i + 1], b2 = data[i + 2];
        *o++ = base64_chars[b0 >> 2];
        *o++ = base64_chars[((b0 & 3) << 4) | (b1 >> 4)];
        *o++ = base64_chars[((b1 & 15) << 2) | (b2 >> 6)];
        *o++ = base64_chars[b2 & 63];
    }
    if (i < len) {
        unsigned b0 = data[i], b1 = (i + 1 < len) ? data[i + 1] : 0;
        *o++ = base64_chars[b0 >> 2];
        *o++ = base64_chars[((b0 & 3) << 4) | (b1 >> 4)];
        *o++ = (i + 1 < len) ? base64_chars[(b1 & 15) << 2] : '=';
        *o++ = '=';
    }
    *o = '\0';
    return out;
}

/* Alphabet index of c, or -1 for anything that ends the input ('=' included). */
static int b64_index(unsigned char c)
{
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

unsigned char *g_base64_decode(const char *text, size_t *out_len)
{
    if (out_len) *out_len = 0;
    if (!text) return NULL;

    unsigned char *out = (unsigned char *)g_malloc(strlen(text) + 1);
    if (!out) return NULL;

    size_t n = 0;
    unsigned idx[4];
    int have = 0;
    for (const unsigned char *p = (const unsigned char *)text; *p; p++) {
        int v = b64_index(*p);
        if (v < 0) break;
        idx[have++] = (unsigned)v;
        if (have == 4) {
            out[n++] = (unsigned char)((idx[0] << 2) | (idx[1] >> 4));
            out[n++] = (unsigned char)(((idx[1] & 15) << 4) | (idx[2] >> 2));
            out[n++] = (unsigned char)(((idx[2] & 3) << 6) | idx[3]);
            have = 0;
        }
    }
    /* A trailing group of two or three characters still gives one or two bytes; one gives none. */
    if (have >= 2) out[n++] = (unsigned char)((idx[0] << 2) | (idx[1] >> 4));
    if (have == 3) out[n++] = (unsigned char)(((idx[1] & 15) << 4) | (idx[2] >> 2));
    out[n] = '\0';

    unsigned char *shrunk = (unsigned char *)g_realloc(out, n + 1);
    if (shrunk) out = shrunk;
    if (out_len) *out_len = n;
    return out;
}
