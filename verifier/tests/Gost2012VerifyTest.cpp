// GOST R 34.10-2012 signatures at the verifier: documents signed by openssl
// alone (tools/gost-sign-openssl.sh) verify with all three methods when the
// AcceptGost2012 switch is on, and without the certificate checks whether it
// is on or not; the checks keep today's code 21007 while it is off. Altered
// documents and signature values of a wrong length give verdicts, not
// failures. The newer names of the GOST R 34.10-2001 algorithms verify too.
#include "verifier/MSXmlVerifier.h"

#include "Gost2012Fixtures.h"

#include "common/Bstr.h"

#include "TestHome.h"

#include <winnls.h>

#include <gtest/gtest.h>

#include <ctime>
#include <string>

using namespace trumik;
using common::MakeBstr;
using common::UniqueBstr;
using gost2012test::GetGost2012Fixtures;
using gost2012test::Gost2012On;
using gost2012test::GostCert;
using verifier::CMSXmlVerifier;
namespace fs = std::filesystem;
namespace tt = trumik::testing;

namespace {

std::u16string U16(const std::string& utf8)
{
    const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::u16string out(static_cast<size_t>(size > 0 ? size : 0), u'\0');
    if (size > 0)
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), size);
    return out;
}

struct Outcome {
    HRESULT status;
    VARIANT_BOOL result;
    LONG code;
    std::u16string message;
};

enum class Method { WithCert, AtDate, WoCert, GostCheck };

Outcome Verify(Method method, const std::string& document, const fs::path& cert)
{
    CMSXmlVerifier v;
    UniqueBstr doc = MakeBstr(U16(document)), path = MakeBstr(U16(cert.string()));
    VARIANT_BOOL result = 7;
    HRESULT hr = E_FAIL;
    const DATE today = static_cast<double>(time(nullptr)) / 86400.0 + 25569.0;
    switch (method) {
    case Method::WithCert:
        hr = v.VerifyUsingCertFile(doc.get(), path.get(), &result);
        break;
    case Method::AtDate:
        hr = v.VerifyUsingCertFileAndDate(doc.get(), path.get(), today, &result);
        break;
    case Method::WoCert:
        hr = v.VerifyUsingCertFileWoCert(doc.get(), path.get(), &result);
        break;
    case Method::GostCheck:
        hr = v.VerifyCertIsGOSTUsingCertFile(path.get(), &result);
        break;
    }
    return {hr, result, v.Record().Code(), std::u16string(v.Record().Message())};
}

const std::string kDocument = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Payment sum=\"100\">\n  <To>ООО "
                              "«Ромашка»</To>\n</Payment>\n";

// The document signed with openssl alone with the certificate's key.
std::string OpensslSigned(const GostCert& cert, bool newerNames = false)
{
    const fs::path dir = tt::MakeTempDir("openssl-signed");
    tt::WriteFile(dir / "in.xml", kDocument);
    std::string output;
    const std::string command = gost2012test::ToolScript("gost-sign-openssl.sh").string() + " --algorithm " +
                                cert.algorithm + (newerNames ? " --newer-names " : " ") +
                                cert.keyPem.string() + " " + (dir / "in.xml").string() + " " +
                                (dir / "out.xml").string();
    EXPECT_EQ(tt::RunCommand(command, &output), 0) << command << "\n" << output;
    return tt::ReadFile(dir / "out.xml");
}

std::string Element(const std::string& text, const std::string& name)
{
    const size_t begin = text.find("<" + name + ">") + name.size() + 2;
    return text.substr(begin, text.find("</" + name + ">") - begin);
}

std::string ReplaceElement(std::string text, const std::string& name, const std::string& value)
{
    const size_t begin = text.find("<" + name + ">") + name.size() + 2;
    return text.replace(begin, text.find("</" + name + ">") - begin, value);
}

std::string Base64(const std::string& bytes)
{
    const fs::path dir = tt::MakeTempDir("b64");
    tt::WriteFile(dir / "in", bytes);
    std::string out;
    EXPECT_EQ(tt::RunCommand("base64 -w0 " + (dir / "in").string(), &out, false), 0);
    return out;
}

std::string Unbase64(const std::string& text)
{
    const fs::path dir = tt::MakeTempDir("b64");
    tt::WriteFile(dir / "in", text);
    std::string out;
    EXPECT_EQ(tt::RunCommand("base64 -d " + (dir / "in").string(), &out, false), 0);
    return out;
}

// The element's Base64 value with one bit of its byte at `at` flipped.
std::string FlipByte(const std::string& text, const std::string& name, size_t at)
{
    std::string bytes = Unbase64(Element(text, name));
    bytes.at(at) = static_cast<char>(bytes.at(at) ^ 0x01);
    return ReplaceElement(text, name, Base64(bytes));
}

constexpr char16_t kNotGost21007[] =
    u"Алгоритм подписи указанного сертификата не поддерживается ГОСТ.(Код ошибки-21007)";

} // namespace

TEST(Gost2012Verify, OpensslSignedDocumentsVerifyWithAllThreeMethodsWhenOn)
{
    const auto& f = GetGost2012Fixtures();
    for (const GostCert* cert : {&f.k256, &f.k512}) {
        const std::string signedText = OpensslSigned(*cert);
        ASSERT_NE(signedText.find(cert->signatureUri), std::string::npos) << signedText;
        Gost2012On on;
        for (Method method : {Method::WithCert, Method::AtDate, Method::WoCert}) {
            Outcome o = Verify(method, signedText, cert->der);
            EXPECT_EQ(o.status, S_OK);
            EXPECT_EQ(o.result, VARIANT_TRUE) << cert->algorithm << " method " << static_cast<int>(method);
            EXPECT_EQ(o.code, 0);
        }
    }
}

TEST(Gost2012Verify, OffTheChecksGive21007AndWithoutThemTheSignatureStillVerifies)
{
    const auto& f = GetGost2012Fixtures();
    // Off as trumik provider gost2012 off leaves it (no value at all is off too).
    gost2012test::SetAcceptGost2012(false);
    for (const GostCert* cert : {&f.k256, &f.k512}) {
        const std::string signedText = OpensslSigned(*cert);
        for (Method method : {Method::GostCheck, Method::WithCert, Method::AtDate}) {
            Outcome o = Verify(method, signedText, cert->der);
            EXPECT_EQ(o.result, VARIANT_FALSE);
            EXPECT_EQ(o.code, 21007) << cert->algorithm << " method " << static_cast<int>(method);
            EXPECT_EQ(o.message, kNotGost21007);
        }
        EXPECT_EQ(Verify(Method::GostCheck, signedText, cert->der).status, S_FALSE);
        Outcome o = Verify(Method::WoCert, signedText, cert->der);
        EXPECT_EQ(o.result, VARIANT_TRUE) << cert->algorithm;
        EXPECT_EQ(o.code, 0);
    }
    // A 2012 key in a certificate from a 2001 issuer passes the checks as before.
    Outcome o = Verify(Method::WithCert, OpensslSigned(f.k256By2001), f.k256By2001.der);
    EXPECT_EQ(o.result, VARIANT_TRUE);
    EXPECT_EQ(o.code, 0);
}

TEST(Gost2012Verify, AFlippedByteOfContentDigestOrSignatureIsFalseWithCodeZero)
{
    const auto& f = GetGost2012Fixtures();
    for (const GostCert* cert : {&f.k256, &f.k512}) {
        const std::string signedText = OpensslSigned(*cert);
        std::string content = signedText;
        content.replace(content.find("100"), 3, "900");
        const size_t last = cert->signatureSize - 1;
        for (const std::string& altered :
             {content, FlipByte(signedText, "DigestValue", 0), FlipByte(signedText, "SignatureValue", 0),
              FlipByte(signedText, "SignatureValue", last)}) {
            Outcome o = Verify(Method::WoCert, altered, cert->der);
            EXPECT_EQ(o.status, S_OK);
            EXPECT_EQ(o.result, VARIANT_FALSE) << cert->algorithm << "\n" << altered;
            EXPECT_EQ(o.code, 0);
            EXPECT_EQ(o.message, u"");
        }
    }
}

TEST(Gost2012Verify, SignatureValuesOfTheWrongLengthGiveAVerdict)
{
    const auto& f = GetGost2012Fixtures();
    const std::string signedText = OpensslSigned(f.k512);
    const std::string value = Unbase64(Element(signedText, "SignatureValue"));
    ASSERT_EQ(value.size(), 128u);
    for (const std::string& wrong :
         {value.substr(0, 64), value.substr(0, 127), value + std::string(1, '\0'), value + value}) {
        Outcome o =
            Verify(Method::WoCert, ReplaceElement(signedText, "SignatureValue", Base64(wrong)), f.k512.der);
        EXPECT_EQ(o.status, S_OK);
        EXPECT_EQ(o.result, VARIANT_FALSE) << wrong.size();
        EXPECT_EQ(o.code, 0) << wrong.size();
    }
    // An empty value stops the library before the signature method sees it.
    Outcome o = Verify(Method::WoCert, ReplaceElement(signedText, "SignatureValue", ""), f.k512.der);
    EXPECT_EQ(o.result, VARIANT_FALSE);
    EXPECT_EQ(o.code, -2017);
    // A 512-bit signature value under the 256-bit method.
    const std::string signed256 = OpensslSigned(f.k256);
    o = Verify(Method::WoCert, ReplaceElement(signed256, "SignatureValue", Base64(value)), f.k256.der);
    EXPECT_EQ(o.result, VARIANT_FALSE);
    EXPECT_EQ(o.code, 0);
}

// The key of the certificate does not fit the signature method: the library
// finds no key for it, and the verification does not run to its end.
TEST(Gost2012Verify, ASignatureOfOneAlgorithmAgainstACertificateOfAnotherIsNotVerified)
{
    const auto& f = GetGost2012Fixtures();
    for (const auto& [signer, cert] :
         {std::pair{&f.k256, &f.k512}, std::pair{&f.k512, &f.k2001}, std::pair{&f.k2001, &f.k256}}) {
        Outcome o = Verify(Method::WoCert, OpensslSigned(*signer), cert->der);
        EXPECT_EQ(o.status, S_OK);
        EXPECT_EQ(o.result, VARIANT_FALSE) << signer->algorithm << " against " << cert->algorithm;
        EXPECT_EQ(o.code, -2017);
    }
}

TEST(Gost2001Verify, TheNewerNamesOfThe2001AlgorithmsVerifyWithTheSwitchOff)
{
    const auto& f = GetGost2012Fixtures();
    const std::string signedText = OpensslSigned(f.k2001, true);
    ASSERT_NE(signedText.find("urn:ietf:params:xml:ns:cpxmlsec:algorithms:gostr34102001-gostr3411"),
              std::string::npos);
    ASSERT_NE(signedText.find("\"urn:ietf:params:xml:ns:cpxmlsec:algorithms:gostr3411\""), std::string::npos);
    for (Method method : {Method::WithCert, Method::AtDate, Method::WoCert}) {
        Outcome o = Verify(method, signedText, f.k2001.der);
        EXPECT_EQ(o.result, VARIANT_TRUE) << static_cast<int>(method);
        EXPECT_EQ(o.code, 0);
    }
    Outcome o = Verify(Method::WoCert, FlipByte(signedText, "SignatureValue", 5), f.k2001.der);
    EXPECT_EQ(o.result, VARIANT_FALSE);
    EXPECT_EQ(o.code, 0);
}
