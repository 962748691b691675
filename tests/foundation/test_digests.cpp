#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "common/cutils/sha1.h"
#include "common/glib-mini/glib.h"
#include "src/md5.h"
#include "tests/foundation/reference_digest.h"

namespace {

/* Feeds data in pieces of the given sizes (cycled), so block boundaries fall everywhere. */
std::string md5_chunked(const std::string &data, const std::vector<size_t> &pieces)
{
    MD5_CTX ctx;
    MD5Init(&ctx);
    size_t off = 0, i = 0;
    while (off < data.size()) {
        size_t n = std::min(pieces[i++ % pieces.size()], data.size() - off);
        MD5Update(&ctx, reinterpret_cast<const unsigned char *>(data.data()) + off, n);
        off += n;
    }
    unsigned char d[16];
    MD5Final(d, &ctx);
    return to_hex(d, 16);
}

std::string sha1_chunked(const std::string &data, const std::vector<size_t> &pieces)
{
    SHA1Context ctx;
    EXPECT_EQ(sha1_reset(&ctx), SHA1_SUCCESS);
    size_t off = 0, i = 0;
    while (off < data.size()) {
        size_t n = std::min(pieces[i++ % pieces.size()], data.size() - off);
        EXPECT_EQ(sha1_update(&ctx, reinterpret_cast<const uint8_t *>(data.data()) + off, n), SHA1_SUCCESS);
        off += n;
    }
    uint8_t d[SHA1_HASH_SIZE];
    EXPECT_EQ(sha1_digest(&ctx, d), SHA1_SUCCESS);
    return to_hex(d, sizeof d);
}

std::string repeat(const std::string &s, size_t times)
{
    std::string r;
    for (size_t i = 0; i < times; i++) r += s;
    return r;
}

}  // namespace

TEST(Md5, Rfc1321TestSuiteWholeAndChunked)
{
    struct {
        const char *in;
        const char *md5;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(md5_chunked(c.in, {1 << 20}), c.md5);
        EXPECT_EQ(md5_chunked(c.in, {1}), c.md5);
        EXPECT_EQ(md5_chunked(c.in, {7, 63, 2}), c.md5);
    }
}

TEST(Md5, PaddingBoundariesAndBinaryInputMatchOpenssl)
{
    std::mt19937 rng(7);
    for (size_t len = 0; len <= 200; len++) {
        std::string data(len, '\0');
        for (auto &ch : data) ch = static_cast<char>(rng());
        SCOPED_TRACE(len);
        EXPECT_EQ(md5_chunked(data, {len ? len : 1}), reference_md5_hex(data));
        EXPECT_EQ(md5_chunked(data, {5, 64, 1, 59}), reference_md5_hex(data));
    }
}

TEST(Md5, FinalClearsTheContext)
{
    MD5_CTX ctx;
    MD5Init(&ctx);
    MD5Update(&ctx, reinterpret_cast<const unsigned char *>("abc"), 3);
    unsigned char d[16];
    MD5Final(d, &ctx);
    MD5_CTX zero;
    memset(&zero, 0, sizeof zero);
    EXPECT_EQ(memcmp(&ctx, &zero, sizeof ctx), 0);

    /* Re-initialised, the same context gives a correct digest again. */
    MD5Init(&ctx);
    MD5Update(&ctx, reinterpret_cast<const unsigned char *>("abc"), 3);
    MD5Final(d, &ctx);
    EXPECT_EQ(to_hex(d, 16), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Sha1, Rfc3174TestVectors)
{
    struct {
        std::string in;
        const char *sha1;
    } cases[] = {
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {repeat("01234567", 80), "dea356a2cddd90c7a7ecedc5ebb563934f460452"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.in.substr(0, 20));
        EXPECT_EQ(sha1_chunked(c.in, {1 << 20}), c.sha1);
        EXPECT_EQ(sha1_chunked(c.in, {1}), c.sha1);
    }
}

TEST(Sha1, MillionAInUnevenChunks)
{
    std::string a(1000000, 'a');
    EXPECT_EQ(sha1_chunked(a, {1, 63, 64, 65, 1000, 7}), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    EXPECT_EQ(sha1_chunked(a, {4093}), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(Sha1, PaddingBoundariesMatchOpenssl)
{
    std::mt19937 rng(11);
    for (size_t len = 0; len <= 200; len++) {
        std::string data(len, '\0');
        for (auto &ch : data) ch = static_cast<char>(rng());
        SCOPED_TRACE(len);
        EXPECT_EQ(sha1_chunked(data, {3, 61}), reference_sha1_hex(data));
    }
}

TEST(Sha1, ResultCodesAndStickyErrors)
{
    const uint8_t abc[] = {'a', 'b', 'c'};
    uint8_t d[SHA1_HASH_SIZE], d2[SHA1_HASH_SIZE];
    SHA1Context ctx;

    EXPECT_EQ(sha1_reset(nullptr), SHA1_NULL);
    EXPECT_EQ(sha1_digest(nullptr, d), SHA1_NULL);
    ASSERT_EQ(sha1_reset(&ctx), SHA1_SUCCESS);
    EXPECT_EQ(sha1_update(&ctx, nullptr, 0), SHA1_SUCCESS); /* zero length wins over NULL */
    EXPECT_EQ(sha1_update(&ctx, nullptr, 3), SHA1_NULL);
    EXPECT_EQ(sha1_update(nullptr, abc, 3), SHA1_NULL);
    EXPECT_EQ(sha1_digest(&ctx, nullptr), SHA1_NULL);

    /* Digest twice: the same bytes. */
    ASSERT_EQ(sha1_update(&ctx, abc, 3), SHA1_SUCCESS);
    ASSERT_EQ(sha1_digest(&ctx, d), SHA1_SUCCESS);
    ASSERT_EQ(sha1_digest(&ctx, d2), SHA1_SUCCESS);
    EXPECT_EQ(to_hex(d2, sizeof d2), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(memcmp(d, d2, sizeof d), 0);

    /* Input after the digest corrupts the context for good. */
    EXPECT_EQ(sha1_update(&ctx, abc, 3), SHA1_STATE_ERROR);
    EXPECT_EQ(ctx.Corrupted, SHA1_STATE_ERROR);
    memset(d2, 0xAA, sizeof d2);
    EXPECT_EQ(sha1_digest(&ctx, d2), SHA1_STATE_ERROR);
    EXPECT_EQ(d2[0], 0xAA) << "no digest is written by a corrupted context";
    EXPECT_EQ(sha1_update(&ctx, abc, 3), SHA1_STATE_ERROR);

    /* A message of more than 2^64 - 1 bits: the call that overflows succeeds, every later one fails. */
    ASSERT_EQ(sha1_reset(&ctx), SHA1_SUCCESS);
    ctx.Length_High = 0xFFFFFFFFu;
    ctx.Length_Low = 0xFFFFFFF8u;
    EXPECT_EQ(sha1_update(&ctx, abc, 1), SHA1_SUCCESS);
    EXPECT_EQ(ctx.Corrupted, 1);
    EXPECT_EQ(sha1_update(&ctx, abc, 1), 1);
    EXPECT_EQ(sha1_digest(&ctx, d), 1);

    /* reset clears the corruption. */
    ASSERT_EQ(sha1_reset(&ctx), SHA1_SUCCESS);
    ASSERT_EQ(sha1_update(&ctx, abc, 3), SHA1_SUCCESS);
    ASSERT_EQ(sha1_digest(&ctx, d), SHA1_SUCCESS);
    EXPECT_EQ(to_hex(d, sizeof d), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(Base64, Rfc4648VectorsBothWays)
{
    struct {
        const char *plain;
        const char *encoded;
    } cases[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"abc", "YWJj"},
        {"ab", "YWI="},   {"a", "YQ=="},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.plain);
        char *enc = g_base64_encode(reinterpret_cast<const unsigned char *>(c.plain), strlen(c.plain));
        ASSERT_NE(enc, nullptr);
        EXPECT_STREQ(enc, c.encoded);
        g_free(enc);

        size_t len = 99;
        unsigned char *dec = g_base64_decode(c.encoded, &len);
        ASSERT_NE(dec, nullptr);
        EXPECT_EQ(len, strlen(c.plain));
        EXPECT_EQ(std::string(reinterpret_cast<char *>(dec), len), c.plain);
        EXPECT_EQ(dec[len], '\0');
        g_free(dec);
    }
}

TEST(Base64, DecoderStopsAtFirstCharacterOutsideTheAlphabet)
{
    struct {
        const char *text;
        std::string bytes;
    } cases[] = {
        {"YWJj bW9yZQ==", "abc"},   /* blank ends the input */
        {"YWJj\nbW9y", "abc"},      /* so does a line break */
        {"YWJ", "ab"},              /* unpadded tails */
        {"YW", "a"},
        {"Y", ""},                  /* a lone character gives nothing */
        {"=YWJj", ""},
        {"*YWJj", ""},
        {"YWJj-_", "abc"},          /* URL-safe characters are not ours */
        {"YW=Jj", "a"},             /* the first '=' ends the input */
        {"YWJ=", "ab"},
        {"//8A", std::string("\xff\xff\x00", 3)},
        {"YWL=", "ab"},             /* leftover low bits are dropped without a check */
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        size_t len = 99;
        unsigned char *dec = g_base64_decode(c.text, &len);
        ASSERT_NE(dec, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(dec), len), c.bytes);
        EXPECT_EQ(dec[len], '\0');
        g_free(dec);
    }
}

TEST(Base64, AllByteValuesRoundTripAtEveryTailLength)
{
    std::string all;
    for (int i = 0; i < 256; i++) all += static_cast<char>(i);
    for (size_t n = 0; n <= all.size(); n += (n < 10 ? 1 : 37)) {
        SCOPED_TRACE(n);
        char *enc = g_base64_encode(reinterpret_cast<const unsigned char *>(all.data()), n);
        ASSERT_NE(enc, nullptr);
        EXPECT_EQ(strlen(enc), (n + 2) / 3 * 4);
        EXPECT_EQ(strcspn(enc, "\r\n"), strlen(enc));
        size_t len = 0;
        unsigned char *dec = g_base64_decode(enc, &len);
        ASSERT_NE(dec, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(dec), len), all.substr(0, n));
        g_free(dec);
        g_free(enc);
    }
}

TEST(Base64, EncoderRefusesLengthsWhoseSizeWouldWrap)
{
    const unsigned char byte = 'x';
    /* These lengths wrap the size computation to a tiny buffer; the data is never touched. */
    for (size_t len : {SIZE_MAX, SIZE_MAX - 1, (SIZE_MAX / 4 + 1) * 3}) {
        SCOPED_TRACE(len);
        EXPECT_EQ(g_base64_encode(&byte, len), nullptr);
    }
}

TEST(Base64, WebSocketAcceptKeyFromSha1)
{
    /* The handshake example: base64(SHA-1(key + GUID)). */
    std::string in = std::string("dGhlIHNhbXBsZSBub25jZQ==") + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    SHA1Context ctx;
    uint8_t d[SHA1_HASH_SIZE];
    ASSERT_EQ(sha1_reset(&ctx), SHA1_SUCCESS);
    ASSERT_EQ(sha1_update(&ctx, reinterpret_cast<const uint8_t *>(in.data()), in.size()), SHA1_SUCCESS);
    ASSERT_EQ(sha1_digest(&ctx, d), SHA1_SUCCESS);
    char *accept = g_base64_encode(d, sizeof d);
    ASSERT_NE(accept, nullptr);
    EXPECT_STREQ(accept, "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    g_free(accept);
}
