// Element signatures: signed with 2001, 2012-256 and 2012-512 keys, into
// another element or enveloped in the signed one, two in one document, the
// caller's text kept outside the inserted element, verified, and refused with
// each failure's own code and message.
#include "exchange/XmlElementSigner.h"
#include "exchange/XmlElementVerifier.h"

#include "Gost2012Fixtures.h"
#include "SignerFixtures.h"

#include "common/Bstr.h"

#include <gtest/gtest.h>

#include <string>

using namespace trumik;
using common::MakeBstr;
using common::UniqueBstr;
using gost2012test::GetGost2012Fixtures;
using gost2012test::GostCert;
using signertest::GetSignerFixtures;
using signertest::U16;
using signertest::Utf8;

namespace {

std::u16string Ascii(const std::string& text)
{
    return std::u16string(text.begin(), text.end());
}

struct Signed {
    HRESULT status;
    std::u16string xml;
    LONG code;
    std::u16string message;
};

struct SignRequest {
    std::u16string xml;
    std::u16string id = u"D1";
    std::u16string into = u"SIG";
    std::string thumbprint;
    std::string pin;
    std::u16string profile;
};

Signed Sign(const SignRequest& r)
{
    exchange::CXmlElementSigner signer;
    UniqueBstr x = MakeBstr(r.xml), id = MakeBstr(r.id), into = MakeBstr(r.into), store = MakeBstr(u"My"),
               t = MakeBstr(Ascii(r.thumbprint)), pin = MakeBstr(U16(r.pin)), profile = MakeBstr(r.profile);
    BSTR out = nullptr;
    const HRESULT hr = signer.SignElement(x.get(), id.get(), into.get(), store.get(), t.get(), pin.get(),
                                          profile.get(), &out);
    INT code = 0;
    BSTR message = nullptr;
    signer.GetLastErrorCode(&code);
    signer.GetLastErrorMessage(&message);
    Signed s{hr, out ? std::u16string(common::View(out)) : u"", code, std::u16string(common::View(message))};
    SysFreeString(out);
    SysFreeString(message);
    return s;
}

struct Verdict {
    VARIANT_BOOL all = VARIANT_FALSE;
    LONG code = 0;
    std::vector<bool> valid;
    std::vector<std::u16string> references, subjects, certificates;
};

Verdict Verify(const std::u16string& xml)
{
    exchange::CXmlElementVerifier verifier;
    UniqueBstr x = MakeBstr(xml);
    Verdict v;
    verifier.VerifyDocument(x.get(), &v.all);
    INT code = 0;
    verifier.GetLastErrorCode(&code);
    v.code = code;
    LONG count = 0;
    verifier.SignatureCount(&count);
    for (LONG i = 0; i < count; ++i) {
        VARIANT_BOOL valid = VARIANT_FALSE;
        verifier.SignatureValid(i, &valid);
        v.valid.push_back(valid == VARIANT_TRUE);
        BSTR text = nullptr;
        verifier.SignatureReference(i, &text);
        v.references.emplace_back(common::View(text));
        SysFreeString(text);
        verifier.SignerSubject(i, &text);
        v.subjects.emplace_back(common::View(text));
        SysFreeString(text);
        verifier.SignerCertificate(i, &text);
        v.certificates.emplace_back(common::View(text));
        SysFreeString(text);
    }
    return v;
}

// An exchange-style message: default and prefixed namespaces, an unused
// declaration, attributes in several namespaces, a comment, a processing
// instruction and whitespace in the signed element, Cyrillic text.
const std::u16string kMessage =
    u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    u"<ns:Request xmlns:ns=\"urn:example:request\" xmlns:b=\"urn:b\" xmlns:unused=\"urn:u\">\n"
    u"  <ns:Data Id=\"D1\" z=\"1\" b:y=\"2\">\n"
    u"    <!-- comment --><?pi data?>\n"
    u"    <Item xmlns=\"urn:item\" a=\"&quot;x&quot;\">Текст &amp; &lt;x&gt;</Item>\n"
    u"    <b:Empty/>\n"
    u"  </ns:Data>\n"
    u"  <ns:Other Id=\"D2\">другое</ns:Other>\n"
    u"  <ns:CallerSignature Id=\"SIG\"></ns:CallerSignature>\n"
    u"  <ns:SystemSignature Id=\"SIG2\"/>\n"
    u"</ns:Request>\n";

// The signed text less the one inserted Signature element is the caller's text.
void ExpectCallerTextKept(const std::u16string& original, const std::u16string& signedText)
{
    const size_t start = signedText.find(u"<ds:Signature");
    const size_t end = signedText.find(u"</ds:Signature>");
    ASSERT_NE(start, std::u16string::npos);
    ASSERT_NE(end, std::u16string::npos);
    std::u16string rest = signedText.substr(0, start) + signedText.substr(end + 15);
    // An empty-element tag receiving the signature is written out.
    if (rest != original) {
        const size_t at = original.find(u"<ns:SystemSignature Id=\"SIG2\"/>");
        ASSERT_NE(at, std::u16string::npos);
        std::u16string expanded = original;
        expanded.replace(at, 31, u"<ns:SystemSignature Id=\"SIG2\"></ns:SystemSignature>");
        EXPECT_EQ(Utf8(rest), Utf8(expanded));
    }
}

class ElementSignature : public ::testing::TestWithParam<const char*> {
  protected:
    const GostCert& Cert()
    {
        const auto& f = GetGost2012Fixtures();
        const std::string key = GetParam();
        return key == "2001" ? f.k2001 : key == "256" ? f.k256 : f.k512;
    }
};

TEST_P(ElementSignature, SignsIntoAnotherElementAndVerifies)
{
    const GostCert& cert = Cert();
    const Signed s = Sign({kMessage, u"D1", u"SIG", cert.thumbprint, GetGost2012Fixtures().pin, u""});
    ASSERT_EQ(s.status, S_OK) << Utf8(s.message);
    EXPECT_EQ(s.code, 0);
    ExpectCallerTextKept(kMessage, s.xml);
    const std::string text = Utf8(s.xml);
    // The shape of the profile: exclusive C14N for SignedInfo, one reference
    // by Id with exclusive C14N then the normalisation transform, the key's
    // methods, the certificate in KeyInfo.
    const std::string c14n =
        "<ds:CanonicalizationMethod Algorithm=\"http://www.w3.org/2001/10/xml-exc-c14n#\"/>";
    EXPECT_NE(text.find(c14n), std::string::npos) << text;
    EXPECT_NE(text.find("<ds:SignatureMethod Algorithm=\"" + cert.signatureUri + "\"/>"), std::string::npos);
    EXPECT_NE(text.find("<ds:DigestMethod Algorithm=\"" + cert.digestUri + "\"/>"), std::string::npos);
    EXPECT_NE(text.find("<ds:Reference URI=\"#D1\">\n<ds:Transforms>\n<ds:Transform "
                        "Algorithm=\"http://www.w3.org/2001/10/xml-exc-c14n#\"/>\n<ds:Transform "
                        "Algorithm=\"urn://smev-gov-ru/xmldsig/transform\"/>\n</ds:Transforms>"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("<ds:X509Certificate>"), std::string::npos);
    EXPECT_LT(text.find("<ns:CallerSignature Id=\"SIG\"><ds:Signature"), text.size());

    const Verdict v = Verify(s.xml);
    EXPECT_EQ(v.all, VARIANT_TRUE);
    ASSERT_EQ(v.valid.size(), 1u);
    EXPECT_EQ(v.references[0], u"#D1");
    EXPECT_NE(v.subjects[0].find(u"CN="), std::u16string::npos);
    EXPECT_FALSE(v.certificates[0].empty());

    // One changed character in the signed element: false. Outside it: true.
    std::u16string changed = s.xml;
    changed.replace(changed.find(u"Текст"), 1, u"т");
    EXPECT_EQ(Verify(changed).all, VARIANT_FALSE);
    std::u16string outside = s.xml;
    outside.replace(outside.find(u"другое"), 1, u"Д");
    EXPECT_EQ(Verify(outside).all, VARIANT_TRUE);
}

TEST_P(ElementSignature, EnvelopedInTheSignedElementWithEnvelopedFirst)
{
    const GostCert& cert = Cert();
    const Signed s = Sign({kMessage, u"D1", u"", cert.thumbprint, GetGost2012Fixtures().pin, u"smev3"});
    ASSERT_EQ(s.status, S_OK) << Utf8(s.message);
    ExpectCallerTextKept(kMessage, s.xml);
    const std::string text = Utf8(s.xml);
    EXPECT_NE(
        text.find("<ds:Transforms>\n<ds:Transform "
                  "Algorithm=\"http://www.w3.org/2000/09/xmldsig#enveloped-signature\"/>\n<ds:Transform "
                  "Algorithm=\"http://www.w3.org/2001/10/xml-exc-c14n#\"/>"),
        std::string::npos)
        << text;
    EXPECT_LT(text.find("</ds:Signature></ns:Data>"), text.size()) << text;
    EXPECT_EQ(Verify(s.xml).all, VARIANT_TRUE);
}

INSTANTIATE_TEST_SUITE_P(Keys, ElementSignature, ::testing::Values("2001", "256", "512"));

TEST(ElementSignatures, TwoSignaturesInOneDocumentBothVerify)
{
    const auto& f = GetGost2012Fixtures();
    const Signed first = Sign({kMessage, u"D1", u"SIG", f.k256.thumbprint, f.pin, u""});
    ASSERT_EQ(first.status, S_OK);
    const Signed second = Sign({first.xml, u"D2", u"SIG2", f.k512.thumbprint, f.pin, u"exc-c14n"});
    ASSERT_EQ(second.status, S_OK) << Utf8(second.message);
    EXPECT_EQ(Utf8(second.xml).find("urn://smev-gov-ru/xmldsig/transform", Utf8(second.xml).find("#D2")),
              std::string::npos);
    const Verdict v = Verify(second.xml);
    EXPECT_EQ(v.all, VARIANT_TRUE);
    ASSERT_EQ(v.valid.size(), 2u);
    EXPECT_EQ(v.references[0], u"#D1");
    EXPECT_EQ(v.references[1], u"#D2");
    EXPECT_TRUE(v.valid[0] && v.valid[1]);
    // Breaking the second leaves the first valid and the whole false.
    std::u16string changed = second.xml;
    changed.replace(changed.find(u"другое"), 1, u"Д");
    const Verdict broken = Verify(changed);
    EXPECT_EQ(broken.all, VARIANT_FALSE);
    ASSERT_EQ(broken.valid.size(), 2u);
    EXPECT_TRUE(broken.valid[0]);
    EXPECT_FALSE(broken.valid[1]);
}

TEST(ElementSignatures, EachFailureHasItsOwnCodeAndMessage)
{
    const auto& f = GetGost2012Fixtures();
    const auto& sf = GetSignerFixtures();
    struct Case {
        SignRequest request;
        LONG code;
        std::u16string message;
    };
    const std::u16string noNs = u"<r xmlns=\"urn:r\"><d Id=\"D1\"><plain xmlns=\"\"/></d><s Id=\"SIG\"/></r>";
    const Case cases[] = {
        {{kMessage, u"", u"SIG", f.k256.thumbprint, f.pin, u""}, 30001, u""},
        {{kMessage, u"D1", u"SIG", f.k256.thumbprint, f.pin, u"smev2"},
         30003,
         u"Неизвестный профиль подписи: допустимы \"smev3\" и \"exc-c14n\".(Код ошибки - 30003)"},
        {{kMessage, u"D1", u"SIG", std::string(40, 'A'), f.pin, u""},
         30009,
         u"Не удалось обнаружить указанный сертификат в хранилище сертификатов.(Код ошибки - 30009)"},
        {{kMessage, u"D1", u"SIG", sf.expired.thumbprint, sf.pin, u""},
         30013,
         u"Время действия сертификата истекло.(Код ошибки - 30013)"},
        {{kMessage, u"D1", u"SIG", sf.notYetValid.thumbprint, sf.pin, u""},
         30011,
         u"Время действия сертификата ещё не наступило.(Код ошибки - 30011)"},
        {{kMessage, u"D1", u"SIG", sf.noUsage.thumbprint, sf.pin, u""}, 30015, u""},
        {{u"<a", u"D1", u"SIG", f.k256.thumbprint, f.pin, u""},
         30021,
         u"Не удалось произвести разбор указанного документа.(Код ошибки - 30021)"},
        {{u"<!DOCTYPE r [<!ENTITY e \"x\">]><r xmlns=\"urn:r\"><d Id=\"D1\">&e;</d></r>", u"D1", u"SIG",
          f.k256.thumbprint, f.pin, u""},
         30023,
         u""},
        {{u"<!DOCTYPE r [<!ENTITY e SYSTEM \"file:///etc/passwd\">]><r xmlns=\"urn:r\"><d "
          u"Id=\"D1\">&e;</d></r>",
          u"D1", u"SIG", f.k256.thumbprint, f.pin, u""},
         30023,
         u""},
        {{kMessage, u"NOPE", u"SIG", f.k256.thumbprint, f.pin, u""},
         30025,
         u"Не удалось обнаружить элемент с указанным идентификатором.(Код ошибки - 30025)"},
        {{u"<r xmlns=\"urn:r\"><a Id=\"D1\"/><b id=\"D1\"/><s Id=\"SIG\"/></r>", u"D1", u"SIG",
          f.k256.thumbprint, f.pin, u""},
         30027,
         u"Указанный идентификатор носят несколько элементов документа.(Код ошибки - 30027)"},
        {{kMessage, u"D1", u"NOPE", f.k256.thumbprint, f.pin, u""},
         30029,
         u"Не удалось обнаружить элемент, в который помещается подпись.(Код ошибки - 30029)"},
        {{noNs, u"D1", u"SIG", f.k256.thumbprint, f.pin, u""}, 30031, u""},
    };
    for (const Case& c : cases) {
        const Signed s = Sign(c.request);
        EXPECT_EQ(s.status, S_FALSE) << c.code;
        EXPECT_EQ(s.code, c.code) << Utf8(s.message);
        EXPECT_TRUE(s.xml.empty());
        if (!c.message.empty()) {
            EXPECT_EQ(Utf8(s.message), Utf8(c.message));
        }
    }
    // Without the normalisation transform an element without a namespace signs.
    const Signed plain = Sign({noNs, u"D1", u"SIG", f.k256.thumbprint, f.pin, u"exc-c14n"});
    EXPECT_EQ(plain.status, S_OK) << Utf8(plain.message);
    EXPECT_EQ(Verify(plain.xml).all, VARIANT_TRUE);
    // wsu:Id names the element as Id does.
    const Signed wsu =
        Sign({u"<r xmlns=\"urn:r\" xmlns:wsu=\"http://docs.oasis-open.org/wss/2004/01/"
              u"oasis-200401-wss-wssecurity-utility-1.0.xsd\"><d wsu:Id=\"W\">x</d><s Id=\"SIG\"/></r>",
              u"W", u"SIG", f.k256.thumbprint, f.pin, u""});
    EXPECT_EQ(wsu.status, S_OK) << Utf8(wsu.message);
    EXPECT_EQ(Verify(wsu.xml).all, VARIANT_TRUE);
}

TEST(ElementSignatures, VerifierRefusesWhatReadsOutsideTheDocument)
{
    const auto& f = GetGost2012Fixtures();
    const Signed s = Sign({kMessage, u"D1", u"SIG", f.k256.thumbprint, f.pin, u""});
    ASSERT_EQ(s.status, S_OK);
    for (const std::u16string uri : {u"file:///etc/hostname", u"#xpointer(/)", u"http://example.invalid/x"}) {
        std::u16string external = s.xml;
        external.replace(external.find(u"URI=\"#D1\""), 9, u"URI=\"" + uri + u"\"");
        const Verdict v = Verify(external);
        EXPECT_EQ(v.all, VARIANT_FALSE) << Utf8(uri);
        ASSERT_EQ(v.valid.size(), 1u);
        EXPECT_FALSE(v.valid[0]);
    }
    EXPECT_EQ(Verify(u"<r xmlns=\"urn:r\"/>").code, 31009);
    EXPECT_EQ(Verify(u"<r").code, 31005);
    EXPECT_EQ(Verify(u"<!DOCTYPE r><r/>").code, 31007);
    exchange::CXmlElementVerifier verifier;
    VARIANT_BOOL valid = VARIANT_TRUE;
    EXPECT_EQ(verifier.SignatureValid(0, &valid), S_FALSE);
    EXPECT_EQ(valid, VARIANT_FALSE);
    INT code = 0;
    verifier.GetLastErrorCode(&code);
    EXPECT_EQ(code, 31011);
}

} // namespace
