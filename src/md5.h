#ifndef BRX_SRC_MD5_H
#define BRX_SRC_MD5_H

/* MD5 (RFC 1321). Clashes with <openssl/md5.h>: never include both in one file. */

#include <stddef.h>
#include <stdint.h>

struct MD5Context {
    uint32_t buf[4];  /* chaining state, host order */
    uint32_t bits[2]; /* message length in bits, low word first */
    unsigned char in[64];
};
typedef struct MD5Context MD5_CTX;

void MD5Init(struct MD5Context *ctx);
void MD5Update(struct MD5Context *ctx, const unsigned char *buf, size_t len);
/* Writes the 16-byte digest and clears the context: MD5Init again before reuse. */
void MD5Final(unsigned char digest[16], struct MD5Context *ctx);

/* The 16 digest bytes as 32 upper-case hexadecimal digits and a NUL. */
void md5_to_hex(const unsigned char digest[16], char out[33]);
/* The MD5 of len bytes (NULs included) as 32 upper-case hexadecimal digits and a NUL. */
void md5_hex(const void *data, size_t len, char out[33]);

#endif
