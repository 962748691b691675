#ifndef BRX_COMMON_GLIB_MINI_BASE64_H
#define BRX_COMMON_GLIB_MINI_BASE64_H

#include <stddef.h>

/* Standard alphabet, '=' padding, no line breaks; the result is freed with g_free. NULL when out of memory. */
char *g_base64_encode(const unsigned char *data, size_t len);

/*
 * Decodes up to the first character outside the alphabet (the first '=' included); never reports
 * bad input. The result holds *out_len bytes followed by a NUL; freed with g_free.
 */
unsigned char *g_base64_decode(const char *text, size_t *out_len);

#endif
