// Signatures of the mscrypto back-end against peers written elsewhere:
// xmllint for canonical XML and the openssl command line with the GOST
// engine for digests and signatures; and the OpenSSL back-end of xmlsec in
// the same process.
#include "MSCryptoFixtures.h"

#include "BackendSwitch.h"
#include "testing/TestHome.h"

#include <xmlsec/app.h>
#include <xmlsec/dl.h>
#include <xmlsec/errors.h>
#include <xmlsec/templates.h>
#include <xmlsec/xmltree.h>

#include <libxml/parser.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace trumik::mscryptotest;
using trumik::testing::ReadFile;
using trumik::testing::RunCommand;
using trumik::testing::WriteFile;

constexpr char kDSigNs[] = "http://www.w3.org/2000/09/xmldsig#";

// GOST R 34.11-94 of a file by the openssl command line.
std::string OpensslDigest(const std::filesystem::path& file)
{
    auto out = file.string() + ".dgst";
    Sh("openssl dgst -engine gost -md_gost94 -binary -out '" + out + "' " + Quote(file));
    return ReadFile(out);
}

// Canonical XML 1.0 of a file by xmllint.
std::filesystem::path Canonical(const std::filesystem::path& file)
{
    auto out = file.string() + ".c14n";
    Sh("xmllint --c14n " + Quote(file) + " > '" + out + "'");
    return out;
}

// The SignedInfo element of a signed text as a document of its own, with the
// XML-DSig namespace it inherits from Signature declared on it.
std::string StandaloneSignedInfo(const std::string& signedInfoElement)
{
    std::string text = signedInfoElement;
    const std::string open = "<SignedInfo>";
    EXPECT_EQ(text.compare(0, open.size(), open), 0) << text;
    text.replace(0, open.size(), std::string("<SignedInfo xmlns=\"") + kDSigNs + "\">");
    return text;
}

std::string Between(const std::string& text, const std::string& open, const std::string& close)
{
    std::size_t begin = text.find(open);
    std::size_t end = text.find(close, begin);
    EXPECT_NE(begin, std::string::npos);
    EXPECT_NE(end, std::string::npos);
    if (begin == std::string::npos || end == std::string::npos)
        return {};
    return text.substr(begin, end + close.size() - begin);
}

TEST_F(MSCrypto, SignatureChecksOutWithXmllintAndOpenssl)
{
    auto signedText = SignDocument(kSource, std::string(kPin));
    ASSERT_TRUE(signedText) << ReportsText();
    const Fixtures& f = GetFixtures();
    auto dir = trumik::testing::MakeTempDir("interop-a");

    // The enveloped transform: the document without its Signature element, canonicalized.
    std::string signatureElement = Between(*signedText, "<Signature", "</Signature>");
    std::string unsignedText = *signedText;
    unsignedText.erase(unsignedText.find(signatureElement), signatureElement.size());
    WriteFile(dir / "document.xml", unsignedText);
    std::string digest = OpensslDigest(Canonical(dir / "document.xml"));
    ASSERT_EQ(digest.size(), 32u);
    EXPECT_EQ(Base64Encode(digest), ElementText(*signedText, "DigestValue"));

    // SignatureValue over the digest of the canonical SignedInfo, in openssl's order.
    WriteFile(dir / "signedinfo.xml",
              StandaloneSignedInfo(Between(*signedText, "<SignedInfo>", "</SignedInfo>")));
    std::string infoDigest = OpensslDigest(Canonical(dir / "signedinfo.xml"));
    WriteFile(dir / "signedinfo.dgst", infoDigest);
    std::string signature = Base64Decode(ElementText(*signedText, "SignatureValue"));
    ASSERT_EQ(signature.size(), 64u);
    WriteFile(dir / "signature.bin", signature);
    std::string verify = "openssl pkeyutl -engine gost -verify -pubin -inkey " + Quote(f.pubPem) +
                         " -sigfile " + Quote(dir / "signature.bin") + " -in " +
                         Quote(dir / "signedinfo.dgst");
    std::string output;
    EXPECT_EQ(RunCommand(verify, &output), 0) << output;

    // The check is not vacuous: the byte-reversed (CryptoAPI order) value fails it.
    WriteFile(dir / "signature.bin", std::string(signature.rbegin(), signature.rend()));
    EXPECT_NE(RunCommand(verify, &output), 0) << output;
}

TEST_F(MSCrypto, VerifiesASignatureMadeWithOpensslAlone)
{
    const Fixtures& f = GetFixtures();
    auto dir = trumik::testing::MakeTempDir("interop-b");
    const std::string body =
        "<Envelope xmlns=\"urn:mscrypto-test\">\n  <Data Id=\"d1\">made by openssl &amp; "
        "xmllint</Data>\n</Envelope>";
    WriteFile(dir / "document.xml", body);
    std::string digest = Base64Encode(OpensslDigest(Canonical(dir / "document.xml")));

    const std::string signedInfo =
        "<SignedInfo>\n"
        "<CanonicalizationMethod Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/>\n"
        "<SignatureMethod Algorithm=\"http://www.w3.org/2001/04/xmldsig-more#gostr34102001-gostr3411\"/>\n"
        "<Reference URI=\"\">\n<Transforms>\n"
        "<Transform Algorithm=\"http://www.w3.org/2000/09/xmldsig#enveloped-signature\"/>\n</Transforms>\n"
        "<DigestMethod Algorithm=\"http://www.w3.org/2001/04/xmldsig-more#gostr3411\"/>\n"
        "<DigestValue>" +
        digest + "</DigestValue>\n</Reference>\n</SignedInfo>";
    WriteFile(dir / "signedinfo.xml", StandaloneSignedInfo(signedInfo));
    auto canonical = Canonical(dir / "signedinfo.xml");
    auto signatureFile = dir / "signature.bin";
    Sh("openssl dgst -engine gost -md_gost94 -sign " + Quote(f.keyPem) + " -out " + Quote(signatureFile) +
       " " + Quote(canonical));
    std::string signature = ReadFile(signatureFile);
    ASSERT_EQ(signature.size(), 64u);

    // As peers send it, with the certificate in KeyInfo; the key used is the
    // certificate file's all the same.
    std::string certificate(f.certBytes.begin(), f.certBytes.end());
    const std::string keyInfo = "<KeyInfo><X509Data><X509Certificate>" + Base64Encode(certificate) +
                                "</X509Certificate></X509Data></KeyInfo>";
    auto assemble = [&](const std::string& value) {
        std::string text = body;
        text.insert(text.rfind("</Envelope>"), std::string("<Signature xmlns=\"") + kDSigNs + "\">" +
                                                   signedInfo + "<SignatureValue>" + value +
                                                   "</SignatureValue>" + keyInfo + "</Signature>");
        return text;
    };
    EXPECT_EQ(VerifyDocument(assemble(Base64Encode(signature)), f.certDer, xmlSecKeyDataFormatCertDer),
              xmlSecDSigStatusSucceeded)
        << ReportsText();

    std::string flipped = signature;
    flipped[10] = static_cast<char>(flipped[10] ^ 0x01);
    EXPECT_EQ(VerifyDocument(assemble(Base64Encode(flipped)), f.certDer, xmlSecKeyDataFormatCertDer),
              xmlSecDSigStatusInvalid);
}

// The OpenSSL back-end signs RSA-SHA1 in the same process, each back-end made
// active for its own operations.
TEST_F(MSCrypto, LivesBesideTheOpensslBackEnd)
{
    auto dir = trumik::testing::MakeTempDir("two-backends");
    auto pem = dir / "rsa.pem";
    Sh("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=rsa -days 2 -keyout " + Quote(dir / "key.pem") +
       " -out " + Quote(dir / "cert.pem"));
    WriteFile(pem, ReadFile(dir / "key.pem") + ReadFile(dir / "cert.pem"));

    const xmlChar* openssl = reinterpret_cast<const xmlChar*>("openssl");
    ASSERT_EQ(xmlSecCryptoDLLoadLibrary(openssl), 0);
    ASSERT_EQ(xmlSecCryptoAppInit(nullptr), 0);
    ASSERT_EQ(xmlSecCryptoInit(), 0);
    CaptureReports(); // the OpenSSL back-end's start-up sets a callback of its own

    auto rsaSign = [&]() -> std::string {
        EXPECT_EQ(trumikXmlSecCryptoDLActivate("openssl"), 0);
        Doc doc(xmlReadMemory(kSource, sizeof(kSource) - 1, "doc.xml", nullptr, 0));
        xmlNodePtr signature = xmlSecTmplSignatureCreate(doc.get(), xmlSecTransformInclC14NGetKlass(),
                                                         xmlSecTransformRsaSha1GetKlass(), nullptr);
        EXPECT_NE(signature, nullptr);
        xmlAddChild(xmlDocGetRootElement(doc.get()), signature);
        xmlNodePtr reference = xmlSecTmplSignatureAddReference(
            signature, xmlSecTransformSha1GetKlass(), nullptr, reinterpret_cast<const xmlChar*>(""), nullptr);
        EXPECT_NE(xmlSecTmplReferenceAddTransform(reference, xmlSecTransformEnvelopedGetKlass()), nullptr);
        DSigCtx ctx(xmlSecDSigCtxCreate(nullptr));
        ctx->signKey = xmlSecCryptoAppKeyLoad(pem.c_str(), xmlSecKeyDataFormatPem, nullptr, nullptr, nullptr);
        EXPECT_NE(ctx->signKey, nullptr);
        EXPECT_EQ(xmlSecDSigCtxSign(ctx.get(), signature), 0);
        xmlChar* dumped = nullptr;
        int size = 0;
        xmlDocDumpMemory(doc.get(), &dumped, &size);
        std::string text(reinterpret_cast<const char*>(dumped), static_cast<std::size_t>(size));
        xmlFree(dumped);
        return text;
    };

    std::string rsaSigned = rsaSign();
    EXPECT_NE(rsaSigned.find("#rsa-sha1"), std::string::npos);

    ASSERT_EQ(trumikXmlSecCryptoDLActivate("mscrypto"), 0);
    auto gostSigned = SignDocument(kSource, std::string(kPin));
    ASSERT_TRUE(gostSigned) << ReportsText();
    EXPECT_EQ(VerifyDocument(*gostSigned, GetFixtures().certDer, xmlSecKeyDataFormatCertDer),
              xmlSecDSigStatusSucceeded);

    // Back to OpenSSL: its key loads and its signature verifies; the GOST
    // algorithms registered by mscrypto stay where they are.
    std::string again = rsaSign();
    EXPECT_NE(again.find("#rsa-sha1"), std::string::npos);
    EXPECT_EQ(trumikXmlSecCryptoDLActivate("openssl"), 0);
    EXPECT_EQ(VerifyDocument(rsaSigned, pem, xmlSecKeyDataFormatPem), xmlSecDSigStatusSucceeded);

    EXPECT_EQ(xmlSecCryptoShutdown(), 0);
    EXPECT_EQ(xmlSecCryptoAppShutdown(), 0);
}

// A document of several megabytes is hashed in blocks, partly beside the
// canonicalisation: the digest is still that of the whole canonical form.
TEST_F(MSCrypto, LargeDocumentDigestIsThatOfTheWholeCanonicalForm)
{
    std::string source = "<?xml version=\"1.0\"?>\n<r a=\"1\">\n";
    for (int i = 0; source.size() < 3500000; ++i)
        source +=
            "  <i n=\"" + std::to_string(i) + "\" b='x'>Строка &amp; номер " + std::to_string(i) + "</i>\n";
    source += "</r>\n";
    auto signedText = SignDocument(source, std::string(kPin));
    ASSERT_TRUE(signedText) << ReportsText();
    auto dir = trumik::testing::MakeTempDir("interop-large");
    std::string signatureElement = Between(*signedText, "<Signature", "</Signature>");
    std::string unsignedText = *signedText;
    unsignedText.erase(unsignedText.find(signatureElement), signatureElement.size());
    WriteFile(dir / "document.xml", unsignedText);
    std::string digest = OpensslDigest(Canonical(dir / "document.xml"));
    ASSERT_EQ(digest.size(), 32u);
    EXPECT_EQ(Base64Encode(digest), ElementText(*signedText, "DigestValue"));
}

} // namespace
