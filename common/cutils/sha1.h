#ifndef BRX_COMMON_CUTILS_SHA1_H
#define BRX_COMMON_CUTILS_SHA1_H

/* SHA-1 (RFC 3174). */

#include <stddef.h>
#include <stdint.h>

#define SHA1_HASH_SIZE 20

enum {
    SHA1_SUCCESS = 0,
    SHA1_NULL = 1,           /* NULL argument */
    SHA1_INPUT_TOO_LONG = 2, /* not produced: an over-long message leaves Corrupted at 1 */
    SHA1_STATE_ERROR = 3,    /* input after the digest was finished */
};

typedef struct SHA1Context {
    uint32_t Intermediate_Hash[SHA1_HASH_SIZE / 4];
    uint32_t Length_Low;  /* message length in bits */
    uint32_t Length_High;
    int16_t Message_Block_Index;
    uint8_t Message_Block[64];
    int Computed;  /* digest finished */
    int Corrupted; /* 0, or the code every later call returns */
} SHA1Context;

int sha1_reset(SHA1Context *ctx);
int sha1_update(SHA1Context *ctx, const uint8_t *bytes, size_t len);
/* Writes the 20-byte digest; may be called again for the same digest. */
int sha1_digest(SHA1Context *ctx, uint8_t out[SHA1_HASH_SIZE]);

#endif
