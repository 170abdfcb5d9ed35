// Certificate contexts: the CERT_INFO fields as Windows fills them, bad DER,
// names as text, validity, key usage.
#include "CryptFixtures.h"

#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>

using namespace trumik::crypttest;

namespace {

UniqueCert Load(const std::filesystem::path& der)
{
    Bytes b = ReadBytes(der);
    return UniqueCert(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, b.data(),
                                                   static_cast<DWORD>(b.size())));
}

std::u16string NameStr(PCERT_NAME_BLOB name, DWORD type)
{
    DWORD n = CertNameToStrW(X509_ASN_ENCODING, name, type, nullptr, 0);
    std::u16string s(n, u'\0');
    EXPECT_EQ(CertNameToStrW(X509_ASN_ENCODING, name, type, s.data(), n), n);
    s.resize(n - 1);
    return s;
}

struct NameAttribute {
    const char* field;
    std::string value; // UTF-8
    bool sameRdn;      // joins the RDN before it
};

// The DER of a name, built with OpenSSL.
Bytes NameDer(std::initializer_list<NameAttribute> attributes)
{
    std::unique_ptr<X509_NAME, decltype(&X509_NAME_free)> name(X509_NAME_new(), X509_NAME_free);
    for (const auto& a : attributes)
        EXPECT_EQ(X509_NAME_add_entry_by_txt(name.get(), a.field, MBSTRING_UTF8,
                                             reinterpret_cast<const unsigned char*>(a.value.data()),
                                             static_cast<int>(a.value.size()), -1, a.sameRdn ? -1 : 0),
                  1);
    unsigned char* der = nullptr;
    const int n = i2d_X509_NAME(name.get(), &der);
    Bytes out(der, der + (n > 0 ? n : 0));
    OPENSSL_free(der);
    return out;
}

std::u16string NameStr(const Bytes& der, DWORD type)
{
    CERT_NAME_BLOB blob{static_cast<DWORD>(der.size()), const_cast<BYTE*>(der.data())};
    return NameStr(&blob, type);
}

FILETIME Add(FILETIME t, int64_t ticks)
{
    uint64_t v =
        (static_cast<uint64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime) + static_cast<uint64_t>(ticks);
    return FILETIME{static_cast<DWORD>(v), static_cast<DWORD>(v >> 32)};
}

} // namespace

TEST(CertContext, RsaFieldsAsWindowsFillsThem)
{
    const Fixtures& f = GetFixtures();
    Bytes der = ReadBytes(f.rsaDer);
    UniqueCert c = Load(f.rsaDer);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->cbCertEncoded, der.size());
    EXPECT_NE(c->pbCertEncoded, der.data());
    EXPECT_EQ(0, std::memcmp(c->pbCertEncoded, der.data(), der.size()));
    EXPECT_EQ(c->hCertStore, nullptr);
    PCERT_INFO info = c->pCertInfo;
    EXPECT_EQ(info->dwVersion, 2u);
    ASSERT_EQ(info->SerialNumber.cbData, 3u); // 0x0102A3, little-endian
    EXPECT_EQ(Hex(info->SerialNumber.pbData, 3), "A30201");
    EXPECT_STREQ(info->SignatureAlgorithm.pszObjId, szOID_RSA_SHA1RSA);
    ASSERT_EQ(info->SignatureAlgorithm.Parameters.cbData, 2u);
    EXPECT_EQ(Hex(info->SignatureAlgorithm.Parameters.pbData, 2), "0500");
    EXPECT_STREQ(info->SubjectPublicKeyInfo.Algorithm.pszObjId, szOID_RSA_RSA);
    EXPECT_GT(info->SubjectPublicKeyInfo.PublicKey.cbData, 256u);
    EXPECT_EQ(info->SubjectPublicKeyInfo.PublicKey.pbData[0], 0x30);
    ASSERT_EQ(info->Issuer.cbData, info->Subject.cbData);
    EXPECT_EQ(0, std::memcmp(info->Issuer.pbData, info->Subject.pbData, info->Issuer.cbData));
    EXPECT_EQ(info->Subject.pbData[0], 0x30);
    // 30 days apart, in 100 ns ticks.
    uint64_t nb = static_cast<uint64_t>(info->NotBefore.dwHighDateTime) << 32 | info->NotBefore.dwLowDateTime;
    uint64_t na = static_cast<uint64_t>(info->NotAfter.dwHighDateTime) << 32 | info->NotAfter.dwLowDateTime;
    EXPECT_EQ(na - nb, 30ull * 86400 * 10000000);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    uint64_t n = static_cast<uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
    EXPECT_LT(nb, n + 10000000ull * 60);
    EXPECT_GT(nb, n - 10000000ull * 3600);
}

TEST(CertContext, GostAlgorithmsAndExtensions)
{
    UniqueCert c = Load(GetFixtures().gostDer);
    ASSERT_TRUE(c);
    PCERT_INFO info = c->pCertInfo;
    EXPECT_STREQ(info->SignatureAlgorithm.pszObjId, szOID_CP_GOST_R3411_R3410EL);
    // The parameters as encoded: this issuer writes an explicit NULL.
    ASSERT_EQ(info->SignatureAlgorithm.Parameters.cbData, 2u);
    EXPECT_EQ(Hex(info->SignatureAlgorithm.Parameters.pbData, 2), "0500");
    EXPECT_STREQ(info->SubjectPublicKeyInfo.Algorithm.pszObjId, szOID_CP_GOST_R3410EL);
    ASSERT_GT(info->SubjectPublicKeyInfo.Algorithm.Parameters.cbData, 2u);
    EXPECT_EQ(info->SubjectPublicKeyInfo.Algorithm.Parameters.pbData[0], 0x30);
    // The key is an OCTET STRING of 64 bytes inside the bit string.
    ASSERT_EQ(info->SubjectPublicKeyInfo.PublicKey.cbData, 66u);
    EXPECT_EQ(info->SubjectPublicKeyInfo.PublicKey.pbData[0], 0x04);
    EXPECT_EQ(info->SubjectPublicKeyInfo.PublicKey.cUnusedBits, 0u);
    PCERT_EXTENSION ku = CertFindExtension(szOID_KEY_USAGE, info->cExtension, info->rgExtension);
    ASSERT_NE(ku, nullptr);
    EXPECT_FALSE(ku->fCritical);
    EXPECT_EQ(Hex(ku->Value.pbData, ku->Value.cbData), "030206C0");
    SetLastError(0);
    EXPECT_EQ(CertFindExtension("1.2.3.4", info->cExtension, info->rgExtension), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));
}

TEST(CertContext, BadDerFailsWithAsn1Codes)
{
    struct Case {
        Bytes data;
        HRESULT code;
    };
    Bytes good = ReadBytes(GetFixtures().rsaDer);
    Bytes truncated(good.begin(), good.begin() + static_cast<long>(good.size() / 2));
    Bytes corrupt = good;
    corrupt[4] = 0x05; // the TBSCertificate's tag
    std::vector<Case> cases = {{{0x04, 0x01, 0x00}, CRYPT_E_ASN1_BADTAG},
                               {truncated, CRYPT_E_ASN1_EOD},
                               {{0x30, 0x03, 0x02, 0x01, 0x01}, CRYPT_E_ASN1_CORRUPT},
                               {corrupt, CRYPT_E_ASN1_CORRUPT}};
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_EQ(
            CertCreateCertificateContext(X509_ASN_ENCODING, c.data.data(), static_cast<DWORD>(c.data.size())),
            nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(c.code))
            << Hex(c.data.data(), std::min<size_t>(8, c.data.size()));
    }
    SetLastError(0);
    EXPECT_EQ(CertCreateCertificateContext(X509_ASN_ENCODING, good.data(), 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_ASN1_EOD));
    EXPECT_EQ(CertCreateCertificateContext(0, good.data(), static_cast<DWORD>(good.size())), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
}

TEST(CertContext, DuplicateReturnsTheSamePointerAndCounts)
{
    UniqueCert c = Load(GetFixtures().rsaDer);
    PCCERT_CONTEXT d = CertDuplicateCertificateContext(c.get());
    EXPECT_EQ(d, c.get());
    EXPECT_TRUE(CertFreeCertificateContext(d));
    EXPECT_EQ(c->pCertInfo->dwVersion, 2u); // still alive
    EXPECT_EQ(CertDuplicateCertificateContext(nullptr), nullptr);
    EXPECT_TRUE(CertFreeCertificateContext(nullptr));
}

TEST(CertNames, OrderQuotingAndSimpleDisplay)
{
    UniqueCert c = Load(GetFixtures().rsaDer);
    PCERT_NAME_BLOB subject = &c->pCertInfo->Subject;
    EXPECT_EQ(NameStr(subject, CERT_X500_NAME_STR), u"O=Org, CN=Test");
    EXPECT_EQ(NameStr(subject, CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG), u"CN=Test, O=Org");
    EXPECT_EQ(NameStr(subject, CERT_SIMPLE_NAME_STR), u"Org, Test");
    EXPECT_EQ(NameStr(subject, CERT_OID_NAME_STR), u"2.5.4.10=Org, 2.5.4.3=Test");
    char16_t small[4];
    EXPECT_EQ(CertNameToStrW(X509_ASN_ENCODING, subject, CERT_X500_NAME_STR, small, 4), 4u);
    EXPECT_EQ(std::u16string(small), u"O=O");
    char16_t buf[64];
    EXPECT_EQ(CertGetNameStringW(c.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, buf, 64), 5u);
    EXPECT_EQ(std::u16string(buf), u"Test");
    EXPECT_EQ(CertGetNameStringW(c.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0), 5u);

    char narrow[64];
    EXPECT_EQ(CertNameToStrA(X509_ASN_ENCODING, subject, CERT_X500_NAME_STR, narrow, 64), 15u);
    EXPECT_STREQ(narrow, "O=Org, CN=Test");
    EXPECT_EQ(CertGetNameStringW(c.get(), CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_ORGANIZATION_NAME),
                                 buf, 64),
              4u);
    EXPECT_EQ(std::u16string(buf), u"Org");
    EXPECT_EQ(CertGetNameStringW(c.get(), CERT_NAME_EMAIL_TYPE, 0, nullptr, buf, 64), 1u);
    EXPECT_EQ(buf[0], 0);
    CRYPT_DATA_BLOB friendly{8, reinterpret_cast<BYTE*>(const_cast<char16_t*>(u"Mine"))};
    ASSERT_TRUE(CertSetCertificateContextProperty(c.get(), CERT_FRIENDLY_NAME_PROP_ID, 0, &friendly));
    EXPECT_EQ(CertGetNameStringW(c.get(), CERT_NAME_FRIENDLY_DISPLAY_TYPE, 0, nullptr, buf, 64), 5u);
    EXPECT_EQ(std::u16string(buf), u"Mine");

    UniqueCert cy = Load(GetFixtures().cyrillicDer);
    ASSERT_TRUE(cy);
    EXPECT_EQ(NameStr(&cy->pCertInfo->Subject, CERT_X500_NAME_STR),
              U16("C=RU, O=\"ООО \"\"Ромашка\"\"\", CN=Иванов Иван"));
    EXPECT_EQ(CertGetNameStringW(cy.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, buf, 64), 12u);
    EXPECT_EQ(std::u16string(buf), U16("Иванов Иван"));
}

// A value is quoted when it holds , + = " < > # ; or a line feed, or begins
// or ends with a space, in every string type; a quote inside is doubled.
TEST(CertNames, QuotingInEveryStringType)
{
    const struct {
        std::string value;
        const char16_t* written;
    } cases[] = {
        {"a,b", u"\"a,b\""},     {"a+b", u"\"a+b\""},
        {"a=b", u"\"a=b\""},     {"say \"hi\"", u"\"say \"\"hi\"\"\""},
        {"<a>", u"\"<a>\""},     {"#1", u"\"#1\""},
        {"a;b", u"\"a;b\""},     {"a\nb", u"\"a\nb\""},
        {" lead", u"\" lead\""}, {"trail ", u"\"trail \""},
        {"in side", u"in side"}, {"a'b", u"a'b"},
    };
    for (const auto& c : cases) {
        const Bytes der = NameDer({{"CN", c.value, false}});
        EXPECT_EQ(NameStr(der, CERT_X500_NAME_STR), u"CN=" + std::u16string(c.written)) << c.value;
        EXPECT_EQ(NameStr(der, CERT_OID_NAME_STR), u"2.5.4.3=" + std::u16string(c.written)) << c.value;
        EXPECT_EQ(NameStr(der, CERT_SIMPLE_NAME_STR), c.written) << c.value;
        const std::u16string raw = U16(c.value);
        EXPECT_EQ(NameStr(der, CERT_X500_NAME_STR | CERT_NAME_STR_NO_QUOTING_FLAG), u"CN=" + raw) << c.value;
        EXPECT_EQ(NameStr(der, CERT_SIMPLE_NAME_STR | CERT_NAME_STR_NO_QUOTING_FLAG), raw) << c.value;
    }
}

TEST(CertNames, SeparatorFlags)
{
    const Bytes der =
        NameDer({{"O", "Org", false}, {"CN", "A", false}, {"OU", "B", true}, {"C", "RU", false}});
    EXPECT_EQ(NameStr(der, CERT_X500_NAME_STR), u"O=Org, CN=A + OU=B, C=RU");
    EXPECT_EQ(NameStr(der, CERT_X500_NAME_STR | CERT_NAME_STR_COMMA_FLAG), u"O=Org, CN=A + OU=B, C=RU");
    EXPECT_EQ(NameStr(der, CERT_X500_NAME_STR | CERT_NAME_STR_SEMICOLON_FLAG), u"O=Org; CN=A + OU=B; C=RU");
    EXPECT_EQ(NameStr(der, CERT_X500_NAME_STR | CERT_NAME_STR_CRLF_FLAG), u"O=Org\r\nCN=A + OU=B\r\nC=RU");
    EXPECT_EQ(NameStr(der, CERT_X500_NAME_STR | CERT_NAME_STR_NO_PLUS_FLAG), u"O=Org, CN=A OU=B, C=RU");
    EXPECT_EQ(NameStr(der, CERT_SIMPLE_NAME_STR | CERT_NAME_STR_SEMICOLON_FLAG | CERT_NAME_STR_NO_PLUS_FLAG),
              u"Org; A B; RU");
    // The semicolon wins over the line break; reversing keeps each RDN whole.
    EXPECT_EQ(NameStr(der, CERT_X500_NAME_STR | CERT_NAME_STR_SEMICOLON_FLAG | CERT_NAME_STR_CRLF_FLAG),
              u"O=Org; CN=A + OU=B; C=RU");
    EXPECT_EQ(NameStr(der, CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG | CERT_NAME_STR_CRLF_FLAG),
              u"C=RU\r\nCN=A + OU=B\r\nO=Org");

    // CertGetNameStringW takes the same flags with CERT_NAME_RDN_TYPE.
    UniqueCert cy = Load(GetFixtures().cyrillicDer);
    ASSERT_TRUE(cy);
    DWORD strType = CERT_X500_NAME_STR | CERT_NAME_STR_SEMICOLON_FLAG;
    char16_t buf[128];
    ASSERT_GT(CertGetNameStringW(cy.get(), CERT_NAME_RDN_TYPE, 0, &strType, buf, 128), 1u);
    EXPECT_EQ(std::u16string(buf), U16("C=RU; O=\"ООО \"\"Ромашка\"\"\"; CN=Иванов Иван"));
    strType = CERT_SIMPLE_NAME_STR | CERT_NAME_STR_NO_QUOTING_FLAG;
    ASSERT_GT(CertGetNameStringW(cy.get(), CERT_NAME_RDN_TYPE, 0, &strType, buf, 128), 1u);
    EXPECT_EQ(std::u16string(buf), U16("RU, ООО \"Ромашка\", Иванов Иван"));
    // The display types give the bare value.
    ASSERT_GT(CertGetNameStringW(cy.get(), CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_ORGANIZATION_NAME),
                                 buf, 128),
              1u);
    EXPECT_EQ(std::u16string(buf), U16("ООО \"Ромашка\""));
}

TEST(CertChecks, TimeValidityAtTheBoundaries)
{
    UniqueCert c = Load(GetFixtures().rsaDer);
    PCERT_INFO info = c->pCertInfo;
    FILETIME t = info->NotBefore;
    EXPECT_EQ(CertVerifyTimeValidity(&t, info), 0);
    t = Add(info->NotBefore, -1);
    EXPECT_EQ(CertVerifyTimeValidity(&t, info), -1);
    t = info->NotAfter;
    EXPECT_EQ(CertVerifyTimeValidity(&t, info), 0);
    t = Add(info->NotAfter, 1);
    EXPECT_EQ(CertVerifyTimeValidity(&t, info), 1);
    EXPECT_EQ(CertVerifyTimeValidity(nullptr, info), 0);
}

TEST(CertChecks, IntendedKeyUsage)
{
    const Fixtures& f = GetFixtures();
    BYTE usage = 0xFF;
    UniqueCert both = Load(f.usageBothDer);
    EXPECT_TRUE(CertGetIntendedKeyUsage(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, both->pCertInfo, &usage, 1));
    EXPECT_EQ(usage, CERT_DIGITAL_SIGNATURE_KEY_USAGE | CERT_NON_REPUDIATION_KEY_USAGE |
                         CERT_KEY_ENCIPHERMENT_KEY_USAGE);
    UniqueCert sign = Load(f.usageSignOnlyDer);
    EXPECT_TRUE(CertGetIntendedKeyUsage(X509_ASN_ENCODING, sign->pCertInfo, &usage, 1));
    EXPECT_EQ(usage, CERT_DIGITAL_SIGNATURE_KEY_USAGE);
    BYTE two[2] = {0xFF, 0xFF};
    EXPECT_TRUE(CertGetIntendedKeyUsage(X509_ASN_ENCODING, sign->pCertInfo, two, 2));
    EXPECT_EQ(two[1], 0); // beyond the bit string: cleared
    UniqueCert none = Load(f.rsaDer);
    SetLastError(1234);
    usage = 0xFF;
    EXPECT_FALSE(CertGetIntendedKeyUsage(X509_ASN_ENCODING, none->pCertInfo, &usage, 1));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(usage, 0);
}

TEST(CrlContext, EntriesSerialsAndReason)
{
    const Fixtures& f = GetFixtures();
    Bytes der = ReadBytes(f.crlDer);
    PCCRL_CONTEXT crl = CertCreateCRLContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    ASSERT_NE(crl, nullptr);
    UniqueCert revoked = Load(f.revokedDer);
    UniqueCert ca = Load(f.caDer);
    EXPECT_EQ(crl->pCrlInfo->Issuer.cbData, ca->pCertInfo->Subject.cbData);
    ASSERT_EQ(crl->pCrlInfo->cCRLEntry, 1u);
    const CRL_ENTRY& e = crl->pCrlInfo->rgCRLEntry[0];
    ASSERT_EQ(e.SerialNumber.cbData, revoked->pCertInfo->SerialNumber.cbData);
    EXPECT_EQ(0, std::memcmp(e.SerialNumber.pbData, revoked->pCertInfo->SerialNumber.pbData,
                             e.SerialNumber.cbData));
    ASSERT_EQ(e.cExtension, 1u);
    EXPECT_STREQ(e.rgExtension[0].pszObjId, szOID_CRL_REASON_CODE);
    CertFreeCRLContext(crl);
    SetLastError(0);
    EXPECT_EQ(CertCreateCRLContext(X509_ASN_ENCODING, der.data(), 10), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_ASN1_EOD));
}
