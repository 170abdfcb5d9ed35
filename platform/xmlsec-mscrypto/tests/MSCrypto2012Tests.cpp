// The GOST R 34.10-2012 / R 34.11-2012 parts of the mscrypto back-end and the
// newer names of the 2001 algorithms: what is registered under which URI, key
// data after the certificate's key algorithm, and the newer names accepted
// for verification only.
#include "MSCryptoFixtures.h"

#include "testing/TestHome.h"

#include <xmlsec/app.h>
#include <xmlsec/errors.h>
#include <xmlsec/templates.h>
#include <xmlsec/xmltree.h>

#include <libxml/parser.h>

#include <gtest/gtest.h>

namespace {

using namespace trumik::mscryptotest;

const xmlChar* X(const char* text)
{
    return reinterpret_cast<const xmlChar*>(text);
}

const std::string kUrn = "urn:ietf:params:xml:ns:cpxmlsec:algorithms:";

xmlSecTransformId ByHref(const std::string& href, xmlSecTransformUsage usage)
{
    return xmlSecTransformIdListFindByHref(xmlSecTransformIdsGet(), X(href.c_str()), usage);
}

// A self-signed certificate of a 2012 key made by the openssl command line.
UniqueCert OpensslCert(const std::string& algorithm, const std::string& digest)
{
    const auto dir = trumik::testing::MakeTempDir("cert2012");
    const auto der = dir / "cert.der";
    Sh("openssl req -engine gost -x509 -newkey " + algorithm + " -pkeyopt paramset:A -nodes -keyout " +
       Quote(dir / "key.pem") + " " + digest + " -subj /CN=" + algorithm + " -days 2 -outform DER -out " +
       Quote(der));
    const std::string bytes = trumik::testing::ReadFile(der);
    return UniqueCert(CertCreateCertificateContext(
        X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size())));
}

TEST_F(MSCrypto, Gost2012AlgorithmsAndTheNewer2001NamesAreRegistered)
{
    // The forwarding functions reach this library's klasses.
    EXPECT_EQ(xmlSecKeyDataGostR3410_2012_256GetKlass(), xmlSecMSCryptoKeyDataGostR3410_2012_256GetKlass());
    EXPECT_EQ(xmlSecKeyDataGostR3410_2012_512GetKlass(), xmlSecMSCryptoKeyDataGostR3410_2012_512GetKlass());
    EXPECT_EQ(xmlSecTransformGostR3410_2012GostR3411_2012_256GetKlass(),
              xmlSecMSCryptoTransformGostR3410_2012GostR3411_2012_256GetKlass());
    EXPECT_EQ(xmlSecTransformGostR3410_2012GostR3411_2012_512GetKlass(),
              xmlSecMSCryptoTransformGostR3410_2012GostR3411_2012_512GetKlass());
    EXPECT_EQ(xmlSecTransformGostR3411_2012_256GetKlass(),
              xmlSecMSCryptoTransformGostR3411_2012_256GetKlass());
    EXPECT_EQ(xmlSecTransformGostR3411_2012_512GetKlass(),
              xmlSecMSCryptoTransformGostR3411_2012_512GetKlass());
    EXPECT_TRUE(Reports().empty()) << ReportsText();

    const auto signature = xmlSecTransformUsageSignatureMethod;
    const auto digest = xmlSecTransformUsageDigestMethod;
    EXPECT_EQ(ByHref(kUrn + "gostr34102012-gostr34112012-256", signature),
              xmlSecMSCryptoTransformGostR3410_2012GostR3411_2012_256GetKlass());
    EXPECT_EQ(ByHref(kUrn + "gostr34102012-gostr34112012-512", signature),
              xmlSecMSCryptoTransformGostR3410_2012GostR3411_2012_512GetKlass());
    EXPECT_EQ(ByHref(kUrn + "gostr34112012-256", digest),
              xmlSecMSCryptoTransformGostR3411_2012_256GetKlass());
    EXPECT_EQ(ByHref(kUrn + "gostr34112012-512", digest),
              xmlSecMSCryptoTransformGostR3411_2012_512GetKlass());
    // The newer names of the 2001 algorithms: klasses of their own.
    xmlSecTransformId newer2001 = ByHref(kUrn + "gostr34102001-gostr3411", signature);
    xmlSecTransformId newer94 = ByHref(kUrn + "gostr3411", digest);
    ASSERT_NE(newer2001, xmlSecTransformIdUnknown);
    ASSERT_NE(newer94, xmlSecTransformIdUnknown);
    EXPECT_NE(newer2001, xmlSecMSCryptoTransformGost2001GostR3411_94GetKlass());
    EXPECT_NE(newer94, xmlSecMSCryptoTransformGostR3411_94GetKlass());
    // Neither is a method of the other kind.
    EXPECT_EQ(ByHref(kUrn + "gostr3411", signature), xmlSecTransformIdUnknown);
    EXPECT_EQ(ByHref(kUrn + "gostr34112012-256", signature), xmlSecTransformIdUnknown);
}

TEST_F(MSCrypto, CertAdoptMakesKeyDataOfTheCertificatesKeyAlgorithm)
{
    struct Case {
        const char* algorithm;
        const char* digest;
        xmlSecKeyDataId klass;
        xmlSecSize bits;
    };
    for (const Case& c :
         {Case{"gost2012_256", "-md_gost12_256", xmlSecMSCryptoKeyDataGostR3410_2012_256GetKlass(), 256},
          Case{"gost2012_512", "-md_gost12_512", xmlSecMSCryptoKeyDataGostR3410_2012_512GetKlass(), 512}}) {
        UniqueCert cert = OpensslCert(c.algorithm, c.digest);
        ASSERT_TRUE(cert);
        KeyData data(xmlSecMSCryptoCertAdopt(cert.get(), xmlSecKeyDataTypePublic));
        ASSERT_TRUE(data) << ReportsText();
        EXPECT_EQ(data->id, c.klass) << c.algorithm;
        EXPECT_EQ(xmlSecKeyDataGetSize(data.get()), c.bits);
        EXPECT_EQ(xmlSecKeyDataGetType(data.get()), xmlSecKeyDataTypePublic);
        EXPECT_NE(xmlSecMSCryptoKeyDataGetKey(data.get(), xmlSecKeyDataTypePublic), 0u);
        EXPECT_EQ(xmlSecMSCryptoKeyDataGetMSCryptoKeySpec(data.get()), 0u);
        // A copy shares nothing it would free twice.
        KeyData copy(xmlSecKeyDataDuplicate(data.get()));
        ASSERT_TRUE(copy);
        EXPECT_EQ(copy->id, c.klass);
        EXPECT_EQ(xmlSecMSCryptoKeyDataGetCert(copy.get())->cbCertEncoded, cert->cbCertEncoded);
    }
    EXPECT_TRUE(Reports().empty()) << ReportsText();
}

// Signing under a newer name of a 2001 algorithm is refused with a report;
// the store signer never asks for it.
TEST_F(MSCrypto, TheNewer2001NamesAreForVerificationOnly)
{
    const auto signature = xmlSecTransformUsageSignatureMethod;
    const auto digest = xmlSecTransformUsageDigestMethod;
    struct Pair {
        xmlSecTransformId signature, digest;
    };
    for (const Pair& methods :
         {Pair{ByHref(kUrn + "gostr34102001-gostr3411", signature),
               xmlSecMSCryptoTransformGostR3411_94GetKlass()},
          Pair{xmlSecMSCryptoTransformGost2001GostR3411_94GetKlass(), ByHref(kUrn + "gostr3411", digest)}}) {
        UniqueCert cert = FindStoreCert();
        ASSERT_TRUE(cert);
        KeyData data(xmlSecMSCryptoCertAdopt(cert.get(), xmlSecKeyDataTypePublic | xmlSecKeyDataTypePrivate));
        ASSERT_TRUE(data) << ReportsText();
        ASSERT_TRUE(CryptSetProvParam(xmlSecMSCryptoKeyDataGetMSCryptoProvider(data.get()),
                                      PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>(kPin), 0));
        Key key(xmlSecKeyCreate());
        ASSERT_EQ(xmlSecKeySetValue(key.get(), data.release()), 0);
        Doc doc(xmlReadMemory(kSource, static_cast<int>(sizeof kSource - 1), "doc.xml", nullptr, 0));
        ASSERT_TRUE(doc);
        xmlNodePtr node = xmlSecTmplSignatureCreate(doc.get(), xmlSecTransformInclC14NGetKlass(),
                                                    methods.signature, nullptr);
        ASSERT_NE(node, nullptr);
        xmlAddChild(xmlDocGetRootElement(doc.get()), node);
        xmlNodePtr reference = xmlSecTmplSignatureAddReference(node, methods.digest, nullptr, X(""), nullptr);
        ASSERT_NE(xmlSecTmplReferenceAddTransform(reference, xmlSecTransformEnvelopedGetKlass()), nullptr);
        DSigCtx ctx(xmlSecDSigCtxCreate(nullptr));
        ctx->signKey = key.release();
        ClearReports();
        EXPECT_LT(xmlSecDSigCtxSign(ctx.get(), node), 0);
        EXPECT_NE(ReportsText().find("accepted for verification only"), std::string::npos) << ReportsText();
    }
}

} // namespace
