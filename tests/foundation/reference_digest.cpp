/* OpenSSL's MD5 type clashes with ours, so the reference lives in a file of its own. */
#include "tests/foundation/reference_digest.h"

#include <openssl/evp.h>

#include <stdio.h>

std::string to_hex(const unsigned char *p, size_t n)
{
    std::string hex;
    char b[3];
    for (size_t i = 0; i < n; i++) {
        snprintf(b, sizeof b, "%02x", p[i]);
        hex += b;
    }
    return hex;
}

static std::string digest_hex(const EVP_MD *md, const std::string &data)
{
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!EVP_Digest(data.data(), data.size(), out, &len, md, nullptr)) return "";
    return to_hex(out, len);
}

std::string reference_md5_hex(const std::string &data)
{
    return digest_hex(EVP_md5(), data);
}

std::string reference_sha1_hex(const std::string &data)
{
    return digest_hex(EVP_sha1(), data);
}
