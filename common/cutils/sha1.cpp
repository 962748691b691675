#include "common/cutils/sha1.h"

#include <string.h>

static uint32_t rotl(uint32_t x, int n)
{
    return (x << n) | (x >> (32 - n));
}

static void process_block(SHA1Context *ctx)
{
    static const uint32_t K[4] = {0x5A827999, 0x6ED9EBA1, 0x8F1BBCDC, 0xCA62C1D6};
    uint32_t W[80];

    for (int t = 0; t < 16; t++) {
        const uint8_t *b = ctx->Message_Block + 4 * t;
        W[t] = ((uint32_t)b[0] << 24) | ((uint32_t)b[1] << 16) | ((uint32_t)b[2] << 8) | (uint32_t)b[3];
    }
    for (int t = 16; t < 80; t++) W[t] = rotl(W[t - 3] ^ W[t - 8] ^ W[t - 14] ^ W[t - 16], 1);

    uint32_t A = ctx->Intermediate_Hash[0], B = ctx->Intermediate_Hash[1], C = ctx->Intermediate_Hash[2],
             D = ctx->Intermediate_Hash[3], E = ctx->Intermediate_Hash[4];
    for (int t = 0; t < 80; t++) {
        uint32_t f;
        if (t < 20)
            f = (B & C) | (~B & D);
        else if (t < 40 || t >= 60)
            f = B ^ C ^ D;
        else
            f = (B & C) | (B & D) | (C & D);
        uint32_t temp = rotl(A, 5) + f + E + W[t] + K[t / 20];
        E = D;
        D = C;
        C = rotl(B, 30);
        B = A;
        A = temp;
    }
    ctx->Intermediate_Hash[0] += A;
    ctx->Intermediate_Hash[1] += B;
    ctx->Intermediate_Hash[2] += C;
    ctx->Intermediate_Hash[3] += D;
    ctx->Intermediate_Hash[4] += E;
    ctx->Message_Block_Index = 0;
}

static void pad_message(SHA1Context *ctx)
{
    ctx->Message_Block[ctx->Message_Block_Index++] = 0x80;
    if (ctx->Message_Block_Index > 56) {
        while (ctx->Message_Block_Index < 64) ctx->Message_Block[ctx->Message_Block_Index++] = 0;
        process_block(ctx);
    }
    while (ctx->Message_Block_Index < 56) ctx->Message_Block[ctx->Message_Block_Index++] = 0;
    for (int i = 0; i < 4; i++) {
        ctx->Message_Block[56 + i] = (uint8_t)(ctx->Length_High >> (24 - 8 * i));
        ctx->Message_Block[60 + i] = (uint8_t)(ctx->Length_Low >> (24 - 8 * i));
    }
    process_block(ctx);
}

int sha1_reset(SHA1Context *ctx)
{
    if (!ctx) return SHA1_NULL;
    ctx->Length_Low = 0;
    ctx->Length_High = 0;
    ctx->Message_Block_Index = 0;
    ctx->Intermediate_Hash[0] = 0x67452301;
    ctx->Intermediate_Hash[1] = 0xEFCDAB89;
    ctx->Intermediate_Hash[2] = 0x98BADCFE;
    ctx->Intermediate_Hash[3] = 0x10325476;
    ctx->Intermediate_Hash[4] = 0xC3D2E1F0;
    ctx->Computed = 0;
    ctx->Corrupted = 0;
    return SHA1_SUCCESS;
}

int sha1_update(SHA1Context *ctx, const uint8_t *bytes, size_t len)
{
    if (len == 0) return SHA1_SUCCESS;
    if (!ctx || !bytes) return SHA1_NULL;
    if (ctx->Computed) {
        ctx->Corrupted = SHA1_STATE_ERROR;
        return SHA1_STATE_ERROR;
    }
    if (ctx->Corrupted) return ctx->Corrupted;

    while (len-- && !ctx->Corrupted) {
        ctx->Message_Block[ctx->Message_Block_Index++] = *bytes++;
        ctx->Length_Low += 8;
        if (ctx->Length_Low == 0) {
            ctx->Length_High++;
            /* More than 2^64 - 1 bits: the context is unusable from now on. */
            if (ctx->Length_High == 0) ctx->Corrupted = 1;
        }
        if (ctx->Message_Block_Index == 64) process_block(ctx);
    }
    return SHA1_SUCCESS;
}

int sha1_digest(SHA1Context *ctx, uint8_t out[SHA1_HASH_SIZE])
{
    if (!ctx || !out) return SHA1_NULL;
    if (ctx->Corrupted) return ctx->Corrupted;
    if (!ctx->Computed) {
        pad_message(ctx);
        memset(ctx->Message_Block, 0, sizeof(ctx->Message_Block));
        ctx->Length_Low = 0;
        ctx->Length_High = 0;
        ctx->Computed = 1;
    }
    for (int i = 0; i < SHA1_HASH_SIZE; i++)
        out[i] = (uint8_t)(ctx->Intermediate_Hash[i >> 2] >> (8 * (3 - (i & 3))));
    return SHA1_SUCCESS;
}
