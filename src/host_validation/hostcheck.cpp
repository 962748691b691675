#include "src/host_validation/hostcheck.h"

#include <string.h>

namespace {

int hostmatch(const char *host, const char *pattern) {
    const char *wildcard = strchr(pattern, '*');
    if (!wildcard) return Curl_raw_equal(pattern, host);

    // The wildcard only counts in the left-most label of a name with at least two dots, and never
    // in an internationalised label: otherwise '*' is an ordinary character.
    const char *pattern_label_end = strchr(pattern, '.');
    if (!pattern_label_end || !strchr(pattern_label_end + 1, '.') || wildcard > pattern_label_end ||
        Curl_raw_nequal(pattern, "xn--", 4))
        return Curl_raw_equal(pattern, host);

    const char *host_label_end = strchr(host, '.');
    if (!host_label_end || !Curl_raw_equal(pattern_label_end, host_label_end)) return 0;

    // '*' stands for at least one character.
    if (host_label_end - host < pattern_label_end - pattern) return 0;

    const size_t prefixlen = (size_t)(wildcard - pattern);
    const size_t suffixlen = (size_t)(pattern_label_end - (wildcard + 1));
    return Curl_raw_nequal(pattern, host, prefixlen) &&
                   Curl_raw_nequal(wildcard + 1, host_label_end - suffixlen, suffixlen)
               ? 1
               : 0;
}

}  // namespace

char Curl_raw_toupper(char in) {
    if (in >= 'a' && in <= 'z') return (char)(in - 'a' + 'A');
    return in;
}

int Curl_raw_equal(const char *first, const char *second) {
    while (*first && *second) {
        if (Curl_raw_toupper(*first) != Curl_raw_toupper(*second)) break;
        first++;
        second++;
    }
    return Curl_raw_toupper(*first) == Curl_raw_toupper(*second);
}

int Curl_raw_nequal(const char *first, const char *second, size_t max) {
    while (*first && *second && max) {
        if (Curl_raw_toupper(*first) != Curl_raw_toupper(*second)) break;
        max--;
        first++;
        second++;
    }
    if (max == 0) return 1;
    return Curl_raw_toupper(*first) == Curl_raw_toupper(*second);
}

int Curl_cert_hostcheck(const char *match_pattern, const char *hostname) {
    if (!match_pattern || !*match_pattern || !hostname || !*hostname) return 0;
    if (Curl_raw_equal(hostname, match_pattern)) return 1;
    return hostmatch(hostname, match_pattern);
}
