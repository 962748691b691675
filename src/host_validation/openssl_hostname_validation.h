#ifndef BRX_SRC_HOST_VALIDATION_OPENSSL_HOSTNAME_VALIDATION_H
#define BRX_SRC_HOST_VALIDATION_OPENSSL_HOSTNAME_VALIDATION_H

/*
 * Whether a server certificate that already passed chain verification was issued for the host a
 * client connected to: its DNS subject alternative names, or, without that extension, its first
 * common name. Clients accept the connection only on MatchFound. No state, no logging.
 */

typedef struct x509_st X509;

typedef enum {
    MatchFound = 0,
    MatchNotFound = 1,
    NoSANPresent = 2,        /* only inside the check: the common name decides then */
    MalformedCertificate = 3, /* a name with a NUL inside */
    Error = 4,               /* no host or certificate, or no readable common name */
} HostnameValidationResult;

HostnameValidationResult validate_hostname(const char *hostname, const X509 *server_cert);

#endif
