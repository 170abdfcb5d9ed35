// The mscrypto back-end through the xmlsec API: loading by name, signing with
// a store certificate's container key, verifying with a certificate file, and
// the key data and application functions.
#include "MSCryptoFixtures.h"

#include "testing/TestHome.h"

#include <xmlsec/app.h>
#include <xmlsec/dl.h>
#include <xmlsec/errors.h>
#include <xmlsec/keysmngr.h>
#include <xmlsec/strings.h>

#include <gtest/gtest.h>

namespace {

using namespace trumik::mscryptotest;

const xmlChar* X(const char* text)
{
    return reinterpret_cast<const xmlChar*>(text);
}

TEST_F(MSCrypto, LoadedByNameWithGostAlgorithmsOnly)
{
    EXPECT_EQ(xmlSecCryptoDLGetFunctions(), xmlSecCryptoGetFunctions_mscrypto());
    EXPECT_EQ(xmlSecCryptoDLGetLibraryFunctions(X("mscrypto")), xmlSecCryptoGetFunctions_mscrypto());

    // The forwarding functions reach this library's klasses.
    EXPECT_EQ(xmlSecTransformGost2001GostR3411_94GetKlass(),
              xmlSecMSCryptoTransformGost2001GostR3411_94GetKlass());
    EXPECT_EQ(xmlSecTransformGostR3411_94GetKlass(), xmlSecMSCryptoTransformGostR3411_94GetKlass());
    EXPECT_EQ(xmlSecKeyDataGost2001GetKlass(), xmlSecMSCryptoKeyDataGost2001GetKlass());
    EXPECT_EQ(xmlSecKeyDataX509GetKlass(), xmlSecMSCryptoKeyDataX509GetKlass());
    EXPECT_STREQ(reinterpret_cast<const char*>(xmlSecMSCryptoKeyDataGost2001GetKlass()->name), "gost2001");
    EXPECT_TRUE(Reports().empty()) << ReportsText();

    // Found by their URIs once registered, and registered once however
    // often the back-end is started.
    ASSERT_EQ(xmlSecCryptoInit(), 0);
    auto* ids = xmlSecTransformIdsGet();
    EXPECT_EQ(xmlSecTransformIdListFindByHref(
                  ids, X("http://www.w3.org/2001/04/xmldsig-more#gostr34102001-gostr3411"),
                  xmlSecTransformUsageSignatureMethod),
              xmlSecMSCryptoTransformGost2001GostR3411_94GetKlass());
    EXPECT_EQ(xmlSecTransformIdListFindByHref(ids, X("http://www.w3.org/2001/04/xmldsig-more#gostr3411"),
                                              xmlSecTransformUsageDigestMethod),
              xmlSecMSCryptoTransformGostR3411_94GetKlass());
    int gostEntries = 0;
    for (xmlSecSize i = 0; i < xmlSecPtrListGetSize(ids); ++i) {
        if (xmlSecPtrListGetItem(ids, i) == xmlSecMSCryptoTransformGostR3411_94GetKlass())
            ++gostEntries;
    }
    EXPECT_EQ(gostEntries, 1);

    // Nothing else is claimed: other algorithms fail with a report.
    EXPECT_EQ(xmlSecTransformRsaSha1GetKlass(), xmlSecTransformIdUnknown);
    EXPECT_EQ(xmlSecTransformSha1GetKlass(), xmlSecTransformIdUnknown);
    EXPECT_TRUE(HasReport("xmlSecTransformRsaSha1GetKlass", XMLSEC_ERRORS_R_NOT_IMPLEMENTED));
}

TEST_F(MSCrypto, SignsWithStoreCertificateAndVerifiesWithCertificateFile)
{
    auto signedText = SignDocument(kSource, std::string(kPin));
    ASSERT_TRUE(signedText) << ReportsText();
    EXPECT_TRUE(Reports().empty()) << ReportsText();
    const std::string& text = *signedText;
    EXPECT_NE(text.find("Algorithm=\"http://www.w3.org/2001/04/xmldsig-more#gostr34102001-gostr3411\""),
              std::string::npos);
    EXPECT_NE(text.find("Algorithm=\"http://www.w3.org/2001/04/xmldsig-more#gostr3411\""), std::string::npos);
    EXPECT_EQ(text.find("KeyInfo"), std::string::npos);
    EXPECT_EQ(Base64Decode(ElementText(text, "DigestValue")).size(), 32u);
    EXPECT_EQ(Base64Decode(ElementText(text, "SignatureValue")).size(), 64u);

    const Fixtures& f = GetFixtures();
    EXPECT_EQ(VerifyDocument(text, f.certDer, xmlSecKeyDataFormatCertDer), xmlSecDSigStatusSucceeded)
        << ReportsText();
    EXPECT_EQ(VerifyDocument(text, f.certPem, xmlSecKeyDataFormatCertPem), xmlSecDSigStatusSucceeded)
        << ReportsText();

    // GOST signatures are randomised: a second signature differs and verifies too.
    auto second = SignDocument(kSource, std::string(kPin));
    ASSERT_TRUE(second);
    EXPECT_NE(ElementText(*second, "SignatureValue"), ElementText(text, "SignatureValue"));
    EXPECT_EQ(ElementText(*second, "DigestValue"), ElementText(text, "DigestValue"));
    EXPECT_EQ(VerifyDocument(*second, f.certDer, xmlSecKeyDataFormatCertDer), xmlSecDSigStatusSucceeded);
}

TEST_F(MSCrypto, LongSignedInfoIsSignedWhole)
{
    // Some forty references: the canonical SignedInfo reaches the signature
    // in several writes, and the signature covers all of them.
    auto signedText = SignDocument(kSource, std::string(kPin), 40);
    ASSERT_TRUE(signedText) << ReportsText();
    std::string info = signedText->substr(signedText->find("<SignedInfo>"));
    EXPECT_GT(info.find("</SignedInfo>"), 8000u);
    const Fixtures& f = GetFixtures();
    EXPECT_EQ(VerifyDocument(*signedText, f.certDer, xmlSecKeyDataFormatCertDer), xmlSecDSigStatusSucceeded)
        << ReportsText();

    // A change in the last reference is caught.
    std::string changed = *signedText;
    std::size_t last = changed.rfind("<DigestValue>") + std::string("<DigestValue>").size();
    changed[last] = changed[last] == 'A' ? 'B' : 'A';
    EXPECT_EQ(VerifyDocument(changed, f.certDer, xmlSecKeyDataFormatCertDer), xmlSecDSigStatusInvalid);
}

TEST_F(MSCrypto, ChangedDocumentOrSignedInfoIsInvalid)
{
    auto signedText = SignDocument(kSource, std::string(kPin));
    ASSERT_TRUE(signedText) << ReportsText();
    const Fixtures& f = GetFixtures();

    // One byte of the signed content: the reference digest no longer matches.
    std::string content = *signedText;
    content[content.find("hello")] = 'j';
    ClearReports();
    EXPECT_EQ(VerifyDocument(content, f.certDer, xmlSecKeyDataFormatCertDer), xmlSecDSigStatusInvalid);
    EXPECT_FALSE(Reports().empty());

    // One byte of SignedInfo (the digest value itself): the signature no longer matches.
    std::string info = *signedText;
    std::size_t digest = info.find("<DigestValue>") + std::string("<DigestValue>").size();
    info[digest] = info[digest] == 'A' ? 'B' : 'A';
    ClearReports();
    EXPECT_EQ(VerifyDocument(info, f.certDer, xmlSecKeyDataFormatCertDer), xmlSecDSigStatusInvalid);
    EXPECT_TRUE(HasReport("Verify", XMLSEC_ERRORS_R_DATA_NOT_MATCH)) << ReportsText();

    // Another certificate's key does not verify it.
    auto other = GetFixtures().dir / "other.der";
    Sh("openssl req -engine gost -x509 -newkey gost2001 -pkeyopt paramset:A -nodes -md_gost94 -subj "
       "/CN=other "
       "-days 2 -keyout " +
       Quote(GetFixtures().dir / "other.key") + " -outform DER -out " + Quote(other));
    EXPECT_EQ(VerifyDocument(*signedText, other, xmlSecKeyDataFormatCertDer), xmlSecDSigStatusInvalid);
}

TEST_F(MSCrypto, WrongPinFailsAsItIsSetAndMissingPinAtTheSignature)
{
    // The provider checks the PIN on the key data's provider handle.
    ClearReports();
    EXPECT_FALSE(SignDocument(kSource, std::string("0000")));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(SCARD_W_WRONG_CHV));

    // Without one the key refuses to sign.
    ClearReports();
    EXPECT_FALSE(SignDocument(kSource, std::nullopt));
    bool wrongChv = false;
    for (const ErrorReport& report : Reports()) {
        if (report.subject == "CryptSignHash" && report.reason == XMLSEC_ERRORS_R_CRYPTO_FAILED &&
            report.message.find("error=0x8010006B") != std::string::npos)
            wrongChv = true;
    }
    EXPECT_TRUE(wrongChv) << ReportsText();
    EXPECT_TRUE(HasReport("SignData", XMLSEC_ERRORS_R_CRYPTO_FAILED)) << ReportsText();

    // The right PIN on the same container still signs afterwards.
    EXPECT_TRUE(SignDocument(kSource, std::string(kPin))) << ReportsText();
}

TEST_F(MSCrypto, BadSignatureValuesFailCleanly)
{
    auto signedText = SignDocument(kSource, std::string(kPin));
    ASSERT_TRUE(signedText) << ReportsText();
    const Fixtures& f = GetFixtures();
    std::string value = ElementText(*signedText, "SignatureValue");
    std::string raw = Base64Decode(value);
    auto withValue = [&](const std::string& replacement) {
        std::string text = *signedText;
        text.replace(text.find(value), value.size(), replacement);
        return text;
    };

    // Too short and too long: an invalid signature, reported with the sizes.
    for (const std::string& wrong : {raw.substr(0, 63), raw + std::string(1, '\0'), raw.substr(0, 1)}) {
        ClearReports();
        int rc = 1;
        EXPECT_EQ(VerifyDocument(withValue(Base64Encode(wrong)), f.certDer, xmlSecKeyDataFormatCertDer, &rc),
                  xmlSecDSigStatusInvalid);
        EXPECT_EQ(rc, 0);
        EXPECT_TRUE(HasReport("Verify", XMLSEC_ERRORS_R_INVALID_SIZE)) << ReportsText();
    }

    // Not Base64, or empty: the verification itself fails, without a verdict.
    for (const char* bad : {"%%not*base64%%", ""}) {
        ClearReports();
        int rc = 0;
        EXPECT_NE(VerifyDocument(withValue(bad), f.certDer, xmlSecKeyDataFormatCertDer, &rc),
                  xmlSecDSigStatusSucceeded);
        EXPECT_LT(rc, 0) << bad;
        EXPECT_FALSE(Reports().empty());
    }

    // The signature reversed (CryptoAPI order, as a careless peer might send it).
    std::string reversed(raw.rbegin(), raw.rend());
    EXPECT_EQ(VerifyDocument(withValue(Base64Encode(reversed)), f.certDer, xmlSecKeyDataFormatCertDer),
              xmlSecDSigStatusInvalid);
}

TEST_F(MSCrypto, CertAdoptTakesItsOwnReferenceAndItsContainersProvider)
{
    UniqueCert cert = FindStoreCert();
    ASSERT_TRUE(cert);
    KeyData pair(xmlSecMSCryptoCertAdopt(cert.get(), xmlSecKeyDataTypePublic | xmlSecKeyDataTypePrivate));
    ASSERT_TRUE(pair) << ReportsText();
    EXPECT_EQ(xmlSecKeyDataGetType(pair.get()), xmlSecKeyDataTypePublic | xmlSecKeyDataTypePrivate);
    EXPECT_EQ(xmlSecKeyDataGetSize(pair.get()), 256u);
    EXPECT_EQ(xmlSecMSCryptoKeyDataGetMSCryptoKeySpec(pair.get()), static_cast<DWORD>(AT_KEYEXCHANGE));
    EXPECT_NE(xmlSecMSCryptoKeyDataGetKey(pair.get(), xmlSecKeyDataTypePrivate), 0u);
    EXPECT_NE(xmlSecMSCryptoKeyDataGetKey(pair.get(), xmlSecKeyDataTypePublic), 0u);
    PCCERT_CONTEXT held = xmlSecMSCryptoKeyDataGetCert(pair.get());
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(held->cbCertEncoded, cert->cbCertEncoded);

    // The provider handed out is bound to the certificate's container.
    HCRYPTPROV prov = xmlSecMSCryptoKeyDataGetMSCryptoProvider(pair.get());
    ASSERT_NE(prov, 0u);
    char container[256] = {};
    DWORD size = sizeof(container);
    ASSERT_TRUE(CryptGetProvParam(prov, PP_CONTAINER, reinterpret_cast<BYTE*>(container), &size, 0));
    EXPECT_STREQ(container, kContainer);

    // A duplicate shares that provider context, so a PIN set on it holds for both.
    KeyData copy(xmlSecKeyDataDuplicate(pair.get()));
    ASSERT_TRUE(copy);
    EXPECT_EQ(xmlSecMSCryptoKeyDataGetMSCryptoProvider(copy.get()), prov);
    EXPECT_EQ(xmlSecKeyDataGetType(copy.get()), xmlSecKeyDataTypePublic | xmlSecKeyDataTypePrivate);
    pair.reset();
    EXPECT_NE(xmlSecMSCryptoKeyDataGetCert(copy.get()), nullptr);
    size = sizeof(container);
    EXPECT_TRUE(CryptGetProvParam(prov, PP_CONTAINER, reinterpret_cast<BYTE*>(container), &size, 0));

    // Public only: a verify context, no key spec.
    KeyData pub(xmlSecMSCryptoCertAdopt(cert.get(), xmlSecKeyDataTypePublic));
    ASSERT_TRUE(pub);
    EXPECT_EQ(xmlSecKeyDataGetType(pub.get()), xmlSecKeyDataTypePublic);
    EXPECT_EQ(xmlSecMSCryptoKeyDataGetMSCryptoKeySpec(pub.get()), 0u);
    EXPECT_NE(xmlSecMSCryptoKeyDataGetKey(pub.get(), xmlSecKeyDataTypePublic), 0u);
    EXPECT_EQ(xmlSecMSCryptoKeyDataGetKey(pub.get(), xmlSecKeyDataTypePrivate), 0u);

    // The caller's context outlives neither: freeing it first leaves the key data whole.
    cert.reset();
    EXPECT_EQ(xmlSecMSCryptoKeyDataGetCert(pub.get())->cbCertEncoded, GetFixtures().certBytes.size());
    EXPECT_TRUE(Reports().empty()) << ReportsText();
}

TEST_F(MSCrypto, CertAdoptRefusesWhatItCannotUse)
{
    const Fixtures& f = GetFixtures();
    // A certificate without key provider info has no private key to adopt.
    UniqueCert loose(CertCreateCertificateContext(X509_ASN_ENCODING, f.certBytes.data(),
                                                  static_cast<DWORD>(f.certBytes.size())));
    ASSERT_TRUE(loose);
    EXPECT_EQ(xmlSecMSCryptoCertAdopt(loose.get(), xmlSecKeyDataTypePublic | xmlSecKeyDataTypePrivate),
              nullptr);
    bool noProperty = false;
    for (const ErrorReport& report : Reports())
        noProperty |= report.subject == "CryptAcquireCertificatePrivateKey" &&
                      report.message.find("error=0x8009200B") != std::string::npos;
    EXPECT_TRUE(noProperty) << ReportsText();

    // Not a GOST R 34.10-2001 key.
    std::string rsa = trumik::testing::ReadFile(f.rsaCertDer);
    UniqueCert rsaCert(CertCreateCertificateContext(
        X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(rsa.data()), static_cast<DWORD>(rsa.size())));
    ASSERT_TRUE(rsaCert);
    ClearReports();
    EXPECT_EQ(xmlSecMSCryptoCertAdopt(rsaCert.get(), xmlSecKeyDataTypePublic), nullptr);
    EXPECT_TRUE(HasReport("xmlSecMSCryptoCertAdopt", XMLSEC_ERRORS_R_INVALID_KEY_DATA)) << ReportsText();

    // Types other than public (1) and public-and-private (3), and no certificate.
    ClearReports();
    EXPECT_EQ(xmlSecMSCryptoCertAdopt(loose.get(), xmlSecKeyDataTypeSymmetric), nullptr);
    EXPECT_TRUE(HasReport("xmlSecMSCryptoCertAdopt", XMLSEC_ERRORS_R_INVALID_TYPE));
    EXPECT_EQ(xmlSecMSCryptoCertAdopt(nullptr, xmlSecKeyDataTypePublic), nullptr);

    // Key provider info naming a container that does not exist: the provider's error.
    std::u16string missing = u"no-such-container";
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = missing.data();
    info.dwProvType = PROV_GOST_2001_DH;
    info.dwKeySpec = AT_KEYEXCHANGE;
    ASSERT_TRUE(CertSetCertificateContextProperty(loose.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    ClearReports();
    EXPECT_EQ(xmlSecMSCryptoCertAdopt(loose.get(), xmlSecKeyDataTypePublic | xmlSecKeyDataTypePrivate),
              nullptr);
    EXPECT_TRUE(HasReport("AcquirePrivateKey", XMLSEC_ERRORS_R_CRYPTO_FAILED)) << ReportsText();

    // A container whose key is not the certificate's: signatures made with it
    // would never verify, so adoption refuses it.
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextA(&prov, "another-key", nullptr, PROV_GOST_2001_DH, CRYPT_NEWKEYSET));
    HCRYPTKEY generated = 0;
    ASSERT_TRUE(CryptGenKey(prov, AT_KEYEXCHANGE, 0, &generated));
    CryptDestroyKey(generated);
    CryptReleaseContext(prov, 0);
    std::u16string another = u"another-key";
    info.pwszContainerName = another.data();
    ASSERT_TRUE(CertSetCertificateContextProperty(loose.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    ClearReports();
    EXPECT_EQ(xmlSecMSCryptoCertAdopt(loose.get(), xmlSecKeyDataTypePublic | xmlSecKeyDataTypePrivate),
              nullptr);
    bool badPublicKey = false;
    for (const ErrorReport& report : Reports())
        badPublicKey |= report.subject == "CryptAcquireCertificatePrivateKey" &&
                        report.message.find("error=0x80090015") != std::string::npos;
    EXPECT_TRUE(badPublicKey) << ReportsText();
}

TEST_F(MSCrypto, X509DataHoldsReferencesOfItsOwn)
{
    UniqueCert cert = FindStoreCert();
    ASSERT_TRUE(cert);
    const Fixtures& f = GetFixtures();
    std::string rsa = trumik::testing::ReadFile(f.rsaCertDer);
    UniqueCert other(CertCreateCertificateContext(
        X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(rsa.data()), static_cast<DWORD>(rsa.size())));

    KeyData x509(xmlSecKeyDataCreate(xmlSecMSCryptoKeyDataX509GetKlass()));
    ASSERT_TRUE(x509);
    EXPECT_EQ(xmlSecMSCryptoKeyDataX509GetKeyCert(x509.get()), nullptr);
    EXPECT_EQ(xmlSecMSCryptoKeyDataX509AdoptCert(x509.get(), other.get()), 0);
    EXPECT_EQ(xmlSecMSCryptoKeyDataX509AdoptCert(x509.get(), cert.get()), 0);
    // The key certificate already held is marked, not added again.
    EXPECT_EQ(xmlSecMSCryptoKeyDataX509AdoptKeyCert(x509.get(), cert.get()), 0);
    ASSERT_EQ(xmlSecMSCryptoKeyDataX509GetCertsSize(x509.get()), 2u);
    EXPECT_EQ(xmlSecMSCryptoKeyDataX509GetKeyCert(x509.get()),
              xmlSecMSCryptoKeyDataX509GetCert(x509.get(), 1));
    EXPECT_EQ(xmlSecMSCryptoKeyDataX509GetCert(x509.get(), 2), nullptr);

    // Callers free their own contexts; the key data and its duplicate keep theirs.
    cert.reset();
    other.reset();
    KeyData copy(xmlSecKeyDataDuplicate(x509.get()));
    ASSERT_TRUE(copy);
    x509.reset();
    ASSERT_EQ(xmlSecMSCryptoKeyDataX509GetCertsSize(copy.get()), 2u);
    PCCERT_CONTEXT keyCert = xmlSecMSCryptoKeyDataX509GetKeyCert(copy.get());
    ASSERT_NE(keyCert, nullptr);
    EXPECT_EQ(keyCert, xmlSecMSCryptoKeyDataX509GetCert(copy.get(), 1));
    EXPECT_EQ(keyCert->cbCertEncoded, f.certBytes.size());
}

TEST_F(MSCrypto, X509AdoptionOnGostKeyDataIsRefusedAndLeavesTheCertificateToTheCaller)
{
    // The store signer offers its certificate to the GOST key data itself and
    // frees its context afterwards: both calls must fail without taking it.
    UniqueCert cert = FindStoreCert();
    ASSERT_TRUE(cert);
    KeyData data(xmlSecMSCryptoCertAdopt(cert.get(), xmlSecKeyDataTypePublic | xmlSecKeyDataTypePrivate));
    ASSERT_TRUE(data);
    EXPECT_EQ(xmlSecMSCryptoKeyDataX509AdoptCert(data.get(), cert.get()), -1);
    EXPECT_EQ(xmlSecMSCryptoKeyDataX509AdoptKeyCert(data.get(), cert.get()), -1);
    EXPECT_TRUE(HasReport("xmlSecMSCryptoKeyDataX509AdoptCert", XMLSEC_ERRORS_R_ASSERTION)) << ReportsText();
    cert.reset();
    EXPECT_NE(xmlSecMSCryptoKeyDataGetCert(data.get()), nullptr);
}

TEST_F(MSCrypto, AppFunctionsLoadCertificatesAndRefuseTheRest)
{
    const Fixtures& f = GetFixtures();
    Key key(xmlSecCryptoAppKeyLoad(f.certDer.c_str(), xmlSecKeyDataFormatCertDer, nullptr, nullptr, nullptr));
    ASSERT_TRUE(key) << ReportsText();
    EXPECT_TRUE(xmlSecKeyCheckId(key.get(), xmlSecMSCryptoKeyDataGost2001GetKlass()));
    EXPECT_EQ(xmlSecKeyGetType(key.get()), xmlSecKeyDataTypePublic);
    xmlSecKeyDataPtr x509 = xmlSecKeyGetData(key.get(), xmlSecMSCryptoKeyDataX509GetKlass());
    ASSERT_NE(x509, nullptr);
    ASSERT_NE(xmlSecMSCryptoKeyDataX509GetKeyCert(x509), nullptr);
    EXPECT_EQ(xmlSecMSCryptoKeyDataX509GetKeyCert(x509)->cbCertEncoded, f.certBytes.size());

    // Key-cert load: the key's own certificate is kept once as key certificate,
    // another goes in beside it.
    EXPECT_EQ(xmlSecCryptoAppKeyCertLoad(key.get(), f.certPem.c_str(), xmlSecKeyDataFormatCertPem), 0);
    EXPECT_EQ(xmlSecMSCryptoKeyDataX509GetCertsSize(x509), 1u);
    EXPECT_EQ(xmlSecCryptoAppKeyCertLoad(key.get(), f.rsaCertDer.c_str(), xmlSecKeyDataFormatCertDer), 0);
    EXPECT_EQ(xmlSecMSCryptoKeyDataX509GetCertsSize(x509), 2u);
    EXPECT_EQ(xmlSecMSCryptoKeyDataX509GetKeyCert(x509), xmlSecMSCryptoKeyDataX509GetCert(x509, 0));
    EXPECT_TRUE(Reports().empty()) << ReportsText();

    // A keys manager with a simple store finds an adopted key by name.
    std::unique_ptr<xmlSecKeysMngr, decltype(&xmlSecKeysMngrDestroy)> mngr(xmlSecKeysMngrCreate(),
                                                                           xmlSecKeysMngrDestroy);
    ASSERT_TRUE(mngr);
    ASSERT_EQ(xmlSecCryptoAppDefaultKeysMngrInit(mngr.get()), 0);
    ASSERT_EQ(xmlSecKeySetName(key.get(), X("signer")), 0);
    ASSERT_EQ(xmlSecCryptoAppDefaultKeysMngrAdoptKey(mngr.get(), key.release()), 0);
    xmlSecKeyInfoCtx keyInfoCtx;
    ASSERT_EQ(xmlSecKeyInfoCtxInitialize(&keyInfoCtx, mngr.get()), 0);
    Key found(xmlSecKeysMngrFindKey(mngr.get(), X("signer"), &keyInfoCtx));
    xmlSecKeyInfoCtxFinalize(&keyInfoCtx);
    ASSERT_TRUE(found);
    EXPECT_TRUE(xmlSecKeyCheckId(found.get(), xmlSecMSCryptoKeyDataGost2001GetKlass()));

    // Files that are not certificates, missing files and unsupported formats.
    struct Case {
        std::filesystem::path file;
        xmlSecKeyDataFormat format;
        const char* func;
        int reason;
    };
    auto garbage = f.dir / "garbage.der";
    trumik::testing::WriteFile(garbage, "not a certificate");
    for (const Case& c : {Case{f.keyPem, xmlSecKeyDataFormatPem, "xmlSecMSCryptoAppKeyLoadMemory", 0},
                          Case{garbage, xmlSecKeyDataFormatCertDer, "xmlSecMSCryptoAppKeyLoadMemory", 0},
                          Case{f.certPem, xmlSecKeyDataFormatCertDer, "xmlSecMSCryptoAppKeyLoadMemory", 0},
                          Case{f.dir / "missing.der", xmlSecKeyDataFormatCertDer, "xmlSecMSCryptoAppKeyLoad",
                               XMLSEC_ERRORS_R_IO_FAILED},
                          Case{f.certDer, xmlSecKeyDataFormatPkcs12, "xmlSecMSCryptoAppKeyLoad",
                               XMLSEC_ERRORS_R_INVALID_FORMAT},
                          Case{f.rsaCertDer, xmlSecKeyDataFormatCertDer, "xmlSecMSCryptoCertAdopt",
                               XMLSEC_ERRORS_R_INVALID_KEY_DATA}}) {
        ClearReports();
        EXPECT_EQ(xmlSecCryptoAppKeyLoad(c.file.c_str(), c.format, nullptr, nullptr, nullptr), nullptr)
            << c.file;
        EXPECT_FALSE(Reports().empty()) << c.file;
        if (c.reason != 0) {
            EXPECT_TRUE(HasReport(c.func, c.reason)) << c.file << "\n" << ReportsText();
        }
    }

    ClearReports();
    EXPECT_EQ(xmlSecCryptoAppPkcs12Load(f.certDer.c_str(), nullptr, nullptr, nullptr), nullptr);
    EXPECT_TRUE(HasReport("xmlSecMSCryptoAppPkcs12Load", XMLSEC_ERRORS_R_NOT_IMPLEMENTED));
    EXPECT_EQ(xmlSecCryptoAppDefaultKeysMngrLoad(mngr.get(), f.certDer.c_str()), -1);
    EXPECT_TRUE(HasReport("xmlSecMSCryptoAppDefaultKeysMngrLoad", XMLSEC_ERRORS_R_NOT_IMPLEMENTED));
    EXPECT_EQ(xmlSecCryptoAppKeysMngrCertLoad(mngr.get(), f.certDer.c_str(), xmlSecKeyDataFormatCertDer,
                                              xmlSecKeyDataTypeTrusted),
              -1);
    EXPECT_TRUE(HasReport("xmlSecMSCryptoAppKeysMngrCertLoad", XMLSEC_ERRORS_R_NOT_IMPLEMENTED));
    EXPECT_EQ(xmlSecCryptoAppGetDefaultPwdCallback(), nullptr);
}

} // namespace
