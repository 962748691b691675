#ifndef BRX_SRC_HOST_VALIDATION_HOSTCHECK_H
#define BRX_SRC_HOST_VALIDATION_HOSTCHECK_H

/*
 * One name from a certificate against the host name a client connected to: ASCII case is ignored,
 * and a '*' in the left-most label of a pattern with at least two dots stands for one or more
 * characters of the host's first label. No state, no logging.
 */

#include <stddef.h>

/* 1 when the certificate name (possibly a wildcard pattern) covers hostname, else 0; 0 for a missing or empty one. */
int Curl_cert_hostcheck(const char *match_pattern, const char *hostname);

/* 1 when the strings are equal ignoring ASCII case, else 0. */
int Curl_raw_equal(const char *first, const char *second);

/* 1 when the first max characters are equal ignoring ASCII case, or both strings end equally before; else 0. */
int Curl_raw_nequal(const char *first, const char *second, size_t max);

/* 'a'..'z' as 'A'..'Z'; every other byte unchanged (no locale). */
char Curl_raw_toupper(char in);

#endif
