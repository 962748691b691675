// Certificate host-name validation: the name matcher and the reading of certificates built in memory.
#include <gtest/gtest.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <string>
#include <vector>

#include "src/host_validation/hostcheck.h"
#include "src/host_validation/openssl_hostname_validation.h"

namespace {

struct MatchCase {
    const char *pattern;
    const char *host;
    int match;
};

class HostCheck : public ::testing::TestWithParam<MatchCase> {};

TEST_P(HostCheck, PatternAgainstHost) {
    const MatchCase &c = GetParam();
    EXPECT_EQ(Curl_cert_hostcheck(c.pattern, c.host), c.match) << c.pattern << " vs " << c.host;
}

INSTANTIATE_TEST_SUITE_P(
    Table, HostCheck,
    ::testing::Values(MatchCase{"*.b.c", "a.b.c", 1}, MatchCase{"*.b.c", "A.B.C", 1}, MatchCase{"*.b.c", "b.c", 0},
                      MatchCase{"*.b.c", "x.a.b.c", 0}, MatchCase{"*.c", "a.c", 0}, MatchCase{"*.c", "*.c", 1},
                      MatchCase{"f*.b.c", "foo.b.c", 1}, MatchCase{"f*.b.c", "f.b.c", 0},
                      MatchCase{"*o.b.c", "foo.b.c", 1}, MatchCase{"f*o.b.c", "fo.b.c", 0},
                      MatchCase{"f*o.b.c", "fxo.b.c", 1}, MatchCase{"a.*.c", "a.b.c", 0},
                      MatchCase{"xn--*.b.c", "xn--a.b.c", 0}, MatchCase{"XN--*.b.c", "xn--a.b.c", 0},
                      MatchCase{"a.b.c", "A.b.C", 1}, MatchCase{"", "a.b.c", 0}, MatchCase{"a.b.c", "", 0},
                      MatchCase{"a.b.c", "a.b.c.", 0}, MatchCase{"*.b.c", "a.b.c.d", 0},
                      // Digits, '-' and bytes of 128 and above are compared exactly.
                      MatchCase{"*.b2.c", "1.B2.C", 1}, MatchCase{"h-1.b.c", "H-1.B.C", 1},
                      MatchCase{"h-1.b.c", "h_1.b.c", 0}, MatchCase{"\xc3\xa9.b.c", "\xc3\xa9.b.c", 1},
                      MatchCase{"\xc3\xa9.b.c", "\xc3\x89.b.c", 0}, MatchCase{"*.b.c", "\xe9.b.c", 1},
                      MatchCase{"\xe9*.b.c", "\xc9x.b.c", 0}));

TEST(HostCheck, CaseFoldingIsAsciiOnly) {
    EXPECT_EQ(Curl_raw_toupper('a'), 'A');
    EXPECT_EQ(Curl_raw_toupper('z'), 'Z');
    EXPECT_EQ(Curl_raw_toupper('5'), '5');
    EXPECT_EQ(Curl_raw_toupper('{'), '{');
    EXPECT_EQ(Curl_raw_toupper('\xe9'), '\xe9');
    EXPECT_EQ(Curl_raw_equal("abc", "ABC"), 1);
    EXPECT_EQ(Curl_raw_equal("abc", "ab"), 0);
    EXPECT_EQ(Curl_raw_nequal("abcd", "ABxx", 2), 1);
    EXPECT_EQ(Curl_raw_nequal("ab", "AB", 5), 1);
    EXPECT_EQ(Curl_raw_nequal("ab", "ABC", 5), 0);
    EXPECT_EQ(Curl_raw_nequal("x", "y", 0), 1);
}

// ---- certificates built in memory ----

struct San {
    int type;          // GEN_DNS or GEN_IPADD
    std::string bytes; // may hold NULs
};

struct CertSpec {
    const char *name;
    bool with_cn;
    std::string cn;
    std::vector<San> sans;  // empty with with_san false: no extension at all
    bool with_san;
    const char *host;
    HostnameValidationResult expected;
};

void PrintTo(const CertSpec &c, std::ostream *os) { *os << c.name; }

X509 *make_cert(const CertSpec &c) {
    X509 *x = X509_new();
    X509_set_version(x, 2);
    X509_NAME *subject = X509_get_subject_name(x);
    X509_NAME_add_entry_by_NID(subject, NID_organizationName, MBSTRING_ASC, (const unsigned char *)"Test", -1, -1, 0);
    if (c.with_cn) {
        ASN1_STRING *cn = ASN1_STRING_type_new(V_ASN1_UTF8STRING);
        ASN1_STRING_set(cn, c.cn.data(), (int)c.cn.size());
        X509_NAME_add_entry_by_NID(subject, NID_commonName, V_ASN1_UTF8STRING, ASN1_STRING_get0_data(cn),
                                   ASN1_STRING_length(cn), -1, 0);
        ASN1_STRING_free(cn);
    }
    if (c.with_san) {
        GENERAL_NAMES *names = sk_GENERAL_NAME_new_null();
        for (const San &s : c.sans) {
            GENERAL_NAME *g = GENERAL_NAME_new();
            ASN1_STRING *v = s.type == GEN_DNS ? ASN1_IA5STRING_new() : ASN1_OCTET_STRING_new();
            ASN1_STRING_set(v, s.bytes.data(), (int)s.bytes.size());
            GENERAL_NAME_set0_value(g, s.type, v);
            sk_GENERAL_NAME_push(names, g);
        }
        X509_add1_ext_i2d(x, NID_subject_alt_name, names, 0, 0);
        GENERAL_NAMES_free(names);
    }
    return x;
}

const std::string kLoopback4("\x7f\x00\x00\x01", 4);
const std::string kNulName("evil\0localhost", 14);

class CertValidation : public ::testing::TestWithParam<CertSpec> {};

TEST_P(CertValidation, Result) {
    const CertSpec &c = GetParam();
    X509 *x = make_cert(c);
    EXPECT_EQ(validate_hostname(c.host, x), c.expected);
    X509_free(x);
}

INSTANTIATE_TEST_SUITE_P(
    Certificates, CertValidation,
    ::testing::Values(
        CertSpec{"san_dns_match", true, "other", {{GEN_DNS, "localhost"}}, true, "localhost", MatchFound},
        CertSpec{"san_second_entry", false, "", {{GEN_DNS, "a.example"}, {GEN_DNS, "localhost"}}, true, "localhost",
                 MatchFound},
        CertSpec{"san_wildcard", false, "", {{GEN_DNS, "*.example.com"}}, true, "dev.example.com", MatchFound},
        CertSpec{"san_no_match_cn_not_consulted", true, "localhost", {{GEN_DNS, "other"}}, true, "localhost",
                 MatchNotFound},
        CertSpec{"ip_only_san_with_matching_cn", true, "127.0.0.1", {{GEN_IPADD, kLoopback4}}, true, "127.0.0.1",
                 MatchNotFound},
        CertSpec{"dns_san_for_ip_host", true, "localhost", {{GEN_DNS, "localhost"}}, true, "127.0.0.1",
                 MatchNotFound},
        CertSpec{"empty_san_list", true, "localhost", {}, true, "localhost", MatchNotFound},
        CertSpec{"cn_only_match", true, "localhost", {}, false, "LOCALHOST", MatchFound},
        CertSpec{"cn_only_other", true, "other", {}, false, "localhost", MatchNotFound},
        CertSpec{"no_cn_no_san", false, "", {}, false, "localhost", Error},
        CertSpec{"cn_with_nul", true, kNulName, {}, false, "evil", MalformedCertificate},
        CertSpec{"nul_after_a_match", false, "", {{GEN_DNS, "localhost"}, {GEN_DNS, kNulName}}, true, "localhost",
                 MatchFound},
        CertSpec{"nul_before_a_match", false, "", {{GEN_DNS, kNulName}, {GEN_DNS, "localhost"}}, true, "localhost",
                 MalformedCertificate},
        CertSpec{"no_host", true, "localhost", {}, false, nullptr, Error}),
    [](const ::testing::TestParamInfo<CertSpec> &i) { return std::string(i.param.name); });

TEST(CertValidation, NoCertificateIsAnError) { EXPECT_EQ(validate_hostname("localhost", nullptr), Error); }

}  // namespace
