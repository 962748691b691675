#ifndef BRX_TESTS_FOUNDATION_REFERENCE_DIGEST_H
#define BRX_TESTS_FOUNDATION_REFERENCE_DIGEST_H

#include <stddef.h>

#include <string>

/* Lower-case hex of n bytes. */
std::string to_hex(const unsigned char *p, size_t n);

/* Digests computed by OpenSSL, as lower-case hex, to check ours against. */
std::string reference_md5_hex(const std::string &data);
std::string reference_sha1_hex(const std::string &data);

#endif
