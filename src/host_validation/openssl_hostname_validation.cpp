#include "src/host_validation/openssl_hostname_validation.h"

#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <string.h>

#include "src/host_validation/hostcheck.h"

namespace {

/* Length as stored against length as a C string: they differ when the name hides a NUL. */
bool has_embedded_nul(const ASN1_STRING *s) {
    const char *text = (const char *)ASN1_STRING_get0_data(s);
    return (text ? strlen(text) : 0) != (size_t)ASN1_STRING_length(s);
}

const char *text_of(const ASN1_STRING *s) {
    const char *text = (const char *)ASN1_STRING_get0_data(s);
    return text ? text : "";
}

HostnameValidationResult matches_common_name(const char *hostname, const X509 *server_cert) {
    const X509_NAME *subject = X509_get_subject_name(server_cert);
    const int index = subject ? X509_NAME_get_index_by_NID(subject, NID_commonName, -1) : -1;
    if (index < 0) return Error;
    const X509_NAME_ENTRY *entry = X509_NAME_get_entry(subject, index);
    const ASN1_STRING *data = entry ? X509_NAME_ENTRY_get_data(entry) : nullptr;
    if (!data || !ASN1_STRING_get0_data(data)) return Error;
    if (has_embedded_nul(data)) return MalformedCertificate;
    return Curl_cert_hostcheck(text_of(data), hostname) ? MatchFound : MatchNotFound;
}

HostnameValidationResult matches_subject_alternative_name(const char *hostname, const X509 *server_cert) {
    GENERAL_NAMES *names =
        (GENERAL_NAMES *)X509_get_ext_d2i(server_cert, NID_subject_alt_name, nullptr, nullptr);
    if (!names) return NoSANPresent;

    HostnameValidationResult result = MatchNotFound;
    const int count = sk_GENERAL_NAME_num(names);
    for (int i = 0; i < count; i++) {
        const GENERAL_NAME *name = sk_GENERAL_NAME_value(names, i);
        if (name->type != GEN_DNS) continue;
        const ASN1_IA5STRING *dns = name->d.dNSName;
        if (has_embedded_nul(dns)) {
            result = MalformedCertificate;
            break;
        }
        if (Curl_cert_hostcheck(text_of(dns), hostname)) {
            result = MatchFound;
            break;
        }
    }
    GENERAL_NAMES_free(names);
    return result;
}

}  // namespace

HostnameValidationResult validate_hostname(const char *hostname, const X509 *server_cert) {
    if (!hostname || !server_cert) return Error;
    HostnameValidationResult result = matches_subject_alternative_name(hostname, server_cert);
    if (result == NoSANPresent) return matches_common_name(hostname, server_cert);
    return result;
}
