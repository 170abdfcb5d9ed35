// GOST R 34.10-2012 certificates at the store signer: refused with today's
// codes while the AcceptGost2012 switch is off; with it on, accepted by the
// checks and signed with the methods of the certificate's key, the
// signatures checked with xmllint and openssl with the GOST engine. GOST R
// 34.10-2001 certificates sign exactly as before either way.
#include "signer/MSXmlSigner.h"

#include "Gost2012Fixtures.h"
#include "SignerFixtures.h"

#include "common/Bstr.h"

#include "TestHome.h"

#include <gtest/gtest.h>

#include <string>

using namespace trumik;
using common::MakeBstr;
using common::UniqueBstr;
using gost2012test::GetGost2012Fixtures;
using gost2012test::Gost2012On;
using gost2012test::GostCert;
using signertest::U16;
using signertest::Utf8;
namespace tt = trumik::testing;

namespace {

std::u16string Ascii(const std::string& text)
{
    return std::u16string(text.begin(), text.end());
}

struct Outcome {
    HRESULT status;
    std::u16string text; // retXml
    LONG code;
    std::u16string message;
};

Outcome Sign(const std::u16string& xml, const std::string& thumbprint, const std::string& pin)
{
    signer::CMSXmlSigner signer;
    UniqueBstr x = MakeBstr(xml), s = MakeBstr(u"My"), t = MakeBstr(Ascii(thumbprint)),
               p = MakeBstr(U16(pin));
    BSTR out = nullptr;
    const HRESULT hr = signer.SignWithCertStorePass(x.get(), s.get(), t.get(), p.get(), &out);
    Outcome o{hr, out ? std::u16string(common::View(out)) : u"", signer.Record().Code(),
              std::u16string(signer.Record().Message())};
    SysFreeString(out);
    return o;
}

struct Check {
    HRESULT status;
    VARIANT_BOOL result;
    LONG code;
    std::u16string message;
};

Check GostCheck(const std::string& thumbprint, bool chain = false)
{
    signer::CMSXmlSigner signer;
    UniqueBstr s = MakeBstr(u"My"), t = MakeBstr(Ascii(thumbprint));
    VARIANT_BOOL result = 7;
    const HRESULT hr = chain ? signer.VerifyCertUsingCertStore(s.get(), t.get(), &result, 0)
                             : signer.VerifyCertIsGOSTUsingCertStore(s.get(), t.get(), &result, 0);
    return {hr, result, signer.Record().Code(), std::u16string(signer.Record().Message())};
}

constexpr char16_t kNotGost3007[] =
    u"Алгоритм подписи указанного сертификата не поддерживается ГОСТ.(Код ошибки - 03007)";
constexpr char16_t kNoKeyData9[] =
    u"Не удалось выбрать ключ для подписания из сертификата.(Код ошибки - 00009)";

std::string Sh(const std::string& command)
{
    std::string out;
    EXPECT_EQ(tt::RunCommand(command, &out, false), 0) << command;
    return out;
}

std::string Between(const std::string& text, const std::string& open, const std::string& close,
                    size_t from = 0)
{
    size_t a = text.find(open, from);
    if (a == std::string::npos)
        return {};
    a += open.size();
    size_t b = text.find(close, a);
    return b == std::string::npos ? std::string() : text.substr(a, b - a);
}

// Base64 text without its line breaks.
std::string Trim(std::string text)
{
    std::erase(text, '\n');
    return text;
}

// The signature of a signed UTF-8 text checked by peers with the key's own
// algorithms: the DigestValue is the digest (openssl dgst) of `xmllint
// --c14n` over the text without its Signature element, and `openssl pkeyutl`
// verifies the SignatureValue over the digest of the canonical SignedInfo.
void ExpectPeersAccept(const std::string& signedText, const GostCert& cert)
{
    const std::string open = "<Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\">";
    const size_t begin = signedText.find(open);
    ASSERT_NE(begin, std::string::npos);
    const size_t end = signedText.find("</Signature>", begin) + std::string("</Signature>").size();
    std::string unsignedText = signedText;
    unsignedText.erase(begin, end - begin);
    const std::string signature = signedText.substr(begin, end - begin);

    const auto dir = tt::MakeTempDir("peers2012");
    const std::string d = dir.string();
    tt::WriteFile(dir / "signed.xml", signedText);
    tt::WriteFile(dir / "unsigned.xml", unsignedText);
    const std::string dgst = "openssl dgst -engine gost " + cert.dgst + " -binary 2>/dev/null";
    EXPECT_EQ(Trim(Sh("xmllint --nonet --c14n " + d + "/unsigned.xml | " + dgst + " | base64 -w0")),
              Trim(Between(signature, "<DigestValue>", "</DigestValue>")));
    const std::string c14n = Sh("xmllint --nonet --c14n " + d + "/signed.xml");
    tt::WriteFile(dir / "si.xml", "<SignedInfo xmlns=\"http://www.w3.org/2000/09/xmldsig#\">" +
                                      Between(c14n, "<SignedInfo>", "</SignedInfo>") + "</SignedInfo>");
    tt::WriteFile(dir / "sig.b64", Between(signature, "<SignatureValue>", "</SignatureValue>"));
    Sh(dgst + " -out " + d + "/si.dgst " + d + "/si.xml && base64 -d " + d + "/sig.b64 > " + d + "/sig.bin");
    EXPECT_EQ(tt::ReadFile(dir / "sig.bin").size(), cert.signatureSize);
    EXPECT_EQ(tt::RunCommand("openssl pkeyutl -engine gost -verify -pubin -inkey " +
                             cert.publicKeyPem.string() + " -sigfile " + d + "/sig.bin -in " + d +
                             "/si.dgst"),
              0)
        << signedText;
}

const std::u16string kDocument = u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Order id=\"42\">\n  "
                                 u"<Item>ГОСТ Р 34.10-2012</Item>\n</Order>";

} // namespace

TEST(Gost2012Switch, OffA2012CertificateGetsTodaysCodes)
{
    const auto& f = GetGost2012Fixtures();
    // Off as trumik provider gost2012 off leaves it (no value at all is off too).
    gost2012test::SetAcceptGost2012(false);
    for (const GostCert* cert : {&f.k256, &f.k512}) {
        Check c = GostCheck(cert->thumbprint);
        EXPECT_EQ(c.status, S_FALSE);
        EXPECT_EQ(c.result, VARIANT_FALSE);
        EXPECT_EQ(c.code, 3007);
        EXPECT_EQ(c.message, kNotGost3007);
        c = GostCheck(cert->thumbprint, true);
        EXPECT_EQ(c.code, 3007);
        EXPECT_EQ(c.result, VARIANT_FALSE);

        Outcome o = Sign(kDocument, cert->thumbprint, f.pin);
        EXPECT_EQ(o.status, S_FALSE);
        EXPECT_EQ(o.code, 3007);
        EXPECT_EQ(o.message, kNotGost3007);
        EXPECT_TRUE(o.text.empty());
    }
    // A 2012 key under a certificate a 2001 issuer signed passes the checks;
    // its key is refused as the back-end of 2001 keys refused it.
    EXPECT_EQ(GostCheck(f.k256By2001.thumbprint, true).code, 0);
    Outcome o = Sign(kDocument, f.k256By2001.thumbprint, f.pin);
    EXPECT_EQ(o.status, S_FALSE);
    EXPECT_EQ(o.code, 9);
    EXPECT_EQ(o.message, kNoKeyData9);
}

TEST(Gost2012Switch, OnTheChecksAcceptBoth2012AlgorithmsAndNothingElse)
{
    const auto& f = GetGost2012Fixtures();
    Gost2012On on;
    for (const GostCert* cert : {&f.k256, &f.k512, &f.k2001, &f.k256By2001}) {
        Check c = GostCheck(cert->thumbprint);
        EXPECT_EQ(c.status, S_OK) << cert->der;
        EXPECT_EQ(c.result, VARIANT_TRUE);
        EXPECT_EQ(c.code, 0);
        EXPECT_EQ(GostCheck(cert->thumbprint, true).result, VARIANT_TRUE);
    }
    // A certificate issued with RSA is still no GOST certificate.
    Check c = GostCheck(signertest::GetSignerFixtures().rsaIssued.thumbprint);
    EXPECT_EQ(c.code, 3007);
    EXPECT_EQ(c.message, kNotGost3007);
}

TEST(Gost2012Switch, IsReadAtEveryCall)
{
    const auto& f = GetGost2012Fixtures();
    signer::CMSXmlSigner signer;
    UniqueBstr s = MakeBstr(u"My"), t = MakeBstr(Ascii(f.k256.thumbprint));
    VARIANT_BOOL result = VARIANT_FALSE;
    for (bool on : {true, false, true, false}) {
        gost2012test::SetAcceptGost2012(on);
        signer.VerifyCertIsGOSTUsingCertStore(s.get(), t.get(), &result, 0);
        EXPECT_EQ(result, on ? VARIANT_TRUE : VARIANT_FALSE);
        EXPECT_EQ(signer.Record().Code(), on ? 0 : 3007);
    }
}

TEST(Gost2012Signing, BothSizesSignWithTheirOwnMethodsAndPeersAgree)
{
    const auto& f = GetGost2012Fixtures();
    Gost2012On on;
    for (const GostCert* cert : {&f.k256, &f.k512, &f.k256By2001}) {
        Outcome o = Sign(kDocument, cert->thumbprint, f.pin);
        ASSERT_EQ(o.code, 0) << Utf8(o.message) << cert->der;
        EXPECT_EQ(o.status, S_OK);
        const std::string text = Utf8(o.text);
        EXPECT_NE(text.find("<SignatureMethod Algorithm=\"" + cert->signatureUri + "\"/>"), std::string::npos)
            << text;
        EXPECT_NE(text.find("<DigestMethod Algorithm=\"" + cert->digestUri + "\"/>"), std::string::npos)
            << text;
        // The caller's text around the signature is unchanged.
        const size_t at = text.find("<Signature ");
        ASSERT_NE(at, std::string::npos);
        EXPECT_EQ(text.substr(0, at), Utf8(kDocument.substr(0, kDocument.rfind(u"</Order>"))));
        EXPECT_EQ(text.substr(text.find("</Signature>") + 12), "</Order>");
        ExpectPeersAccept(text, *cert);
    }
}

TEST(Gost2012Signing, AWrongPinIsStillRefusedFor2012Keys)
{
    const auto& f = GetGost2012Fixtures();
    Gost2012On on;
    Outcome o = Sign(kDocument, f.k512.thumbprint, "wrong");
    EXPECT_EQ(o.status, S_FALSE);
    EXPECT_EQ(o.code, 11); // refused as it is set
    EXPECT_TRUE(o.text.empty());
}

// The output for a GOST R 34.10-2001 certificate, as the signer made it before
// it knew the 2012 algorithms: everything but the (randomised) signature value.
TEST(Gost2001Signing, OutputsAreTheSameAsBeforeWithTheSwitchOffAndOn)
{
    const auto& f = GetGost2012Fixtures();
    const std::string expected =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Order id=\"42\">\n  <Item>ГОСТ Р 34.10-2012</Item>\n"
        "<Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\">\n"
        "<SignedInfo>\n"
        "<CanonicalizationMethod Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/>\n"
        "<SignatureMethod Algorithm=\"http://www.w3.org/2001/04/xmldsig-more#gostr34102001-gostr3411\"/>\n"
        "<Reference URI=\"\">\n"
        "<Transforms>\n"
        "<Transform Algorithm=\"http://www.w3.org/2000/09/xmldsig#enveloped-signature\"/>\n"
        "</Transforms>\n"
        "<DigestMethod Algorithm=\"http://www.w3.org/2001/04/xmldsig-more#gostr3411\"/>\n"
        "<DigestValue>eJCWHLlmnoaVWiykYH3Icv1yLmom5BMJJ6C1PpZMyMs=</DigestValue>\n"
        "</Reference>\n"
        "</SignedInfo>\n"
        "<SignatureValue>*</SignatureValue>\n"
        "</Signature></Order>";
    for (bool on : {false, true}) {
        gost2012test::SetAcceptGost2012(on);
        Outcome o = Sign(kDocument, f.k2001.thumbprint, f.pin);
        ASSERT_EQ(o.code, 0) << Utf8(o.message);
        std::string text = Utf8(o.text);
        ExpectPeersAccept(text, f.k2001);
        const size_t value = text.find("<SignatureValue>") + 16;
        text.replace(value, text.find("</SignatureValue>") - value, "*");
        EXPECT_EQ(text, expected) << (on ? "switch on" : "switch off");
    }
    gost2012test::SetAcceptGost2012(false);
}
