// Verification: the order of checks, the codes and the verdicts. The steps
// after the certificate checks run here with the stock openssl back-end on
// RSA-SHA1 signatures made by xmlsec1; the GOST signatures (made by openssl
// alone) go through the mscrypto back-end when it is built.
#include "VerifierFixtures.h"

#include "FifoWatch.h"
#include "TestHome.h"
#include "verifier/MSXmlVerifier.h"

#if defined(TRUMIK_TEST_HOOKS) && TRUMIK_TEST_HOOKS
#include "internal/FaultPoint.h"
#endif

#include <winbase.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

using namespace trumik::verifiertest;
using trumik::verifier::CMSXmlVerifier;
namespace tt = trumik::testing;

namespace {

const char kRsaTemplate[] =
    R"(<Signature xmlns="http://www.w3.org/2000/09/xmldsig#"><SignedInfo><CanonicalizationMethod Algorithm="http://www.w3.org/TR/2001/REC-xml-c14n-20010315"/><SignatureMethod Algorithm="http://www.w3.org/2000/09/xmldsig#rsa-sha1"/><Reference URI="REFURI">TRANSFORMS<DigestMethod Algorithm="http://www.w3.org/2000/09/xmldsig#sha1"/><DigestValue/></Reference></SignedInfo><SignatureValue/></Signature>)";
const char kEnveloped[] =
    R"(<Transforms><Transform Algorithm="http://www.w3.org/2000/09/xmldsig#enveloped-signature"/></Transforms>)";

std::string Replace(std::string text, const std::string& from, const std::string& to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// Signs `document` (whose root ends with "</doc>") with the RSA fixture key
// through xmlsec1; the template goes in as the root's last child.
std::string SignRsa(const std::string& document, const std::string& uri = "",
                    const std::string& transforms = kEnveloped, const std::string& extraArgs = "")
{
    const Fixtures& f = GetFixtures();
    const fs::path dir = tt::MakeTempDir("rsa-sign");
    std::string tmpl = Replace(Replace(kRsaTemplate, "REFURI", uri), "TRANSFORMS", transforms);
    tt::WriteFile(dir / "in.xml", Replace(document, "</doc>", tmpl + "</doc>"));
    Sh("xmlsec1 --sign " + extraArgs + " --privkey-pem '" + f.rsaKey.string() + "' --output '" +
       (dir / "out.xml").string() + "' '" + (dir / "in.xml").string() + "'");
    return tt::ReadFile(dir / "out.xml");
}

struct Outcome {
    HRESULT status;
    VARIANT_BOOL result;
    LONG code;
    std::string message;
    std::string stack;
};

Outcome Run(CMSXmlVerifier& v, HRESULT status, VARIANT_BOOL result)
{
    BSTR stack = nullptr;
    v.SignGetLastErrorStack(&stack);
    Outcome o{status, result, v.Record().Code(), Utf8(std::u16string(v.Record().Message())),
              Utf8(std::u16string(stack ? stack : u""))};
    SysFreeString(stack);
    return o;
}

Outcome WoCert(CMSXmlVerifier& v, const std::u16string* xml, const fs::path* cert)
{
    VARIANT_BOOL result = 7;
    Bstr doc(xml ? *xml : u"");
    Bstr path(cert ? *cert : fs::path());
    HRESULT hr = v.VerifyUsingCertFileWoCert(xml ? doc.p : nullptr, cert ? path.p : nullptr, &result);
    return Run(v, hr, result);
}

Outcome WoCert(CMSXmlVerifier& v, const std::string& xml, const fs::path& cert)
{
    std::u16string text = U16(xml);
    return WoCert(v, &text, &cert);
}

const char kDoc[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<doc><item id=\"a\">Платёж 1</item><v>42</v></doc>\n";

} // namespace

TEST(Verify, ArgumentOrderAndStatus)
{
    const Fixtures& f = GetFixtures();
    CMSXmlVerifier v(trumik::common::kOpenSSLBackend);
    // No path and no document: the path is tested first.
    Outcome o = WoCert(v, nullptr, nullptr);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.result, VARIANT_FALSE);
    EXPECT_EQ(o.code, -2003);
    EXPECT_EQ(o.message, "Невозможно проверить сертификат. Путь к сертификату пуст или файл сертификата не "
                         "найден.(Код ошибки-(-02003))\nПожалуйста, обратитесь к Администратору КРУЛМ");
    o = WoCert(v, nullptr, &f.rsaDer);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.code, 2005);
    EXPECT_EQ(o.message, "Подписанный документ пуст.(Код ошибки-02005)");

    o = WoCert(v, "<doc><unclosed></doc>", f.rsaDer);
    EXPECT_EQ(o.status, S_OK);
    EXPECT_EQ(o.result, VARIANT_FALSE);
    EXPECT_EQ(o.code, 2007);
    EXPECT_EQ(o.message, "Невозможно выполнить разбор документа.(Код ошибки-02007)");
    EXPECT_EQ(WoCert(v, "", f.rsaDer).code, 2007);

    o = WoCert(v, kDoc, f.rsaDer);
    EXPECT_EQ(o.status, S_OK);
    EXPECT_EQ(o.code, 2009);
    EXPECT_EQ(o.message, "В документе не найден стартовый узел.(Код ошибки-02009)");

    // A PEM file, a folder and random bytes are not one DER certificate.
    const std::string signedDoc = SignRsa(kDoc);
    for (const fs::path& cert : {f.rsaPem, tt::MakeTempDir("cert-folder"), f.randomBytes}) {
        o = WoCert(v, signedDoc, cert);
        EXPECT_EQ(o.status, S_OK);
        EXPECT_EQ(o.result, VARIANT_FALSE);
        EXPECT_EQ(o.code, -2013);
        EXPECT_EQ(o.message, "Невозможно загрузить ключ из сертификата.(Код ошибки-(-02013))\nПожалуйста, "
                             "обратитесь к Администратору КРУЛМ");
        EXPECT_NE(o.stack.find("Функция: "), std::string::npos) << "the library's report";
    }
}

TEST(Verify, ValidAlteredAndWrongKey)
{
    const Fixtures& f = GetFixtures();
    CMSXmlVerifier v(trumik::common::kOpenSSLBackend);
    const std::string signedDoc = SignRsa(kDoc);
    Outcome o = WoCert(v, signedDoc, f.rsaDer);
    EXPECT_EQ(o.status, S_OK);
    EXPECT_EQ(o.result, VARIANT_TRUE);
    EXPECT_EQ(o.code, 0);
    EXPECT_EQ(o.message, "");
    EXPECT_TRUE(v.LibraryStarted());

    // Altered content: invalid, not a failure.
    o = WoCert(v, Replace(signedDoc, "<v>42</v>", "<v>43</v>"), f.rsaDer);
    EXPECT_EQ(o.status, S_OK);
    EXPECT_EQ(o.result, VARIANT_FALSE);
    EXPECT_EQ(o.code, 0);
    EXPECT_EQ(o.message, "");

    // Another certificate's key does not verify it.
    const fs::path other = tt::MakeTempDir("other");
    Sh("cd '" + other.string() +
       "' && openssl req -x509 -newkey rsa:2048 -nodes -keyout k.pem -out c.pem -days 3 -subj /CN=Other 2>&1 "
       "&& "
       "openssl x509 -in c.pem -outform DER -out c.der");
    o = WoCert(v, signedDoc, other / "c.der");
    EXPECT_EQ(o.result, VARIANT_FALSE);
    EXPECT_EQ(o.code, 0);

    // Bad Base64 in SignatureValue: the verification cannot run to its end.
    const size_t at = signedDoc.find("<SignatureValue>") + 16;
    std::string badBase64 = signedDoc;
    badBase64.replace(at, 4, "!@#$");
    o = WoCert(v, badBase64, f.rsaDer);
    EXPECT_EQ(o.result, VARIANT_FALSE);
    EXPECT_TRUE(o.code == 0 || o.code == -2017) << o.code;
    // A SignatureValue of the wrong length.
    std::string shortValue = signedDoc;
    shortValue.replace(at, signedDoc.find("</SignatureValue>") - at, "AAAA");
    o = WoCert(v, shortValue, f.rsaDer);
    EXPECT_EQ(o.result, VARIANT_FALSE);
    EXPECT_TRUE(o.code == 0 || o.code == -2017) << o.code;
}

TEST(Verify, CertificateChecksComeBeforeTheDocument)
{
    const Fixtures& f = GetFixtures();
    CMSXmlVerifier v(trumik::common::kOpenSSLBackend);
    const std::string signedDoc = SignRsa(kDoc);
    Bstr doc(signedDoc);
    Bstr cert(f.rsaDer);
    VARIANT_BOOL result = VARIANT_TRUE;
    // The RSA certificate is no GOST one: status 0, result false, its code.
    EXPECT_EQ(v.VerifyUsingCertFile(doc.p, cert.p, &result), S_OK);
    EXPECT_EQ(result, VARIANT_FALSE);
    EXPECT_EQ(v.Record().Code(), 21007);
    // Out of validity at the date: the document is never parsed.
    Bstr garbage(std::string("<not xml"));
    result = VARIANT_TRUE;
    EXPECT_EQ(v.VerifyUsingCertFileAndDate(garbage.p, cert.p, Date(2001, 1, 1), &result), S_OK);
    EXPECT_EQ(result, VARIANT_FALSE);
    EXPECT_EQ(v.Record().Code(), 20007);
    // The GOST certificate passes its checks; its key then fails on the RSA signature.
    Bstr gost(f.gostDer);
    result = VARIANT_TRUE;
    EXPECT_EQ(v.VerifyUsingCertFile(garbage.p, gost.p, &result), S_OK);
    EXPECT_EQ(result, VARIANT_FALSE);
    EXPECT_EQ(v.Record().Code(), 2007);
}

TEST(Verify, Windows1251MarkersChooseTheParserBytes)
{
    const Fixtures& f = GetFixtures();
    CMSXmlVerifier v(trumik::common::kOpenSSLBackend);
    // The document as a windows-1251 file, signed by xmlsec1 over its real characters.
    for (const char* declaration : {"encoding=\"windows-1251\"", "encoding=\"WINDOWS-1251\""}) {
        SCOPED_TRACE(declaration);
        const std::string utf8Doc = std::string("<?xml version=\"1.0\" ") + declaration +
                                    "?>\n<doc><p>Съешь же ещё этих мягких французских булок</p></doc>\n";
        const fs::path dir = tt::MakeTempDir("cp1251");
        tt::WriteFile(dir / "doc-utf8.xml", utf8Doc);
        Sh("iconv -f UTF-8 -t WINDOWS-1251 '" + (dir / "doc-utf8.xml").string() + "' > '" +
           (dir / "doc.xml").string() + "'");
        const std::string signed1251 = SignRsa(tt::ReadFile(dir / "doc.xml"));
        tt::WriteFile(dir / "signed.xml", signed1251);
        Sh("iconv -f WINDOWS-1251 -t UTF-8 '" + (dir / "signed.xml").string() + "' > '" +
           (dir / "signed-utf8.xml").string() + "'");
        // The caller holds the text as characters; it reaches the parser in
        // the system code page (1251) and verifies.
        const std::string text = tt::ReadFile(dir / "signed-utf8.xml");
        Outcome o = WoCert(v, text, f.rsaDer);
        EXPECT_EQ(o.result, VARIANT_TRUE) << o.message << o.stack;
        // Single quotes are not the marker: the UTF-8 bytes are read as 1251
        // and the Cyrillic text comes out altered.
        const std::string quoted = Replace(text, declaration, "encoding='windows-1251'");
        o = WoCert(v, quoted, f.rsaDer);
        EXPECT_EQ(o.result, VARIANT_FALSE);
        EXPECT_EQ(o.code, 0);
    }
}

TEST(Verify, SeveralAndNestedSignaturesTakeTheFirstInDocumentOrder)
{
    const Fixtures& f = GetFixtures();
    CMSXmlVerifier v(trumik::common::kOpenSSLBackend);
    const std::string signedDoc = SignRsa(kDoc);
    // A second, broken Signature after the first: the first one decides.
    const size_t start = signedDoc.find("<Signature");
    const size_t end = signedDoc.find("</Signature>") + 12;
    std::string signature = signedDoc.substr(start, end - start);
    std::string twice = signedDoc;
    twice.insert(end, Replace(signature, "<DigestValue>", "<DigestValue>AAAA"));
    EXPECT_EQ(WoCert(v, twice, f.rsaDer).result, VARIANT_FALSE) << "the enveloped transform removes only one";
    // A Signature nested deep in an element before the real one is found first.
    std::string nested = Replace(
        kDoc, "<item", "<wrap><x><Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\"/></x></wrap><item");
    Outcome o = WoCert(v, nested, f.rsaDer);
    EXPECT_EQ(o.result, VARIANT_FALSE);
    EXPECT_EQ(o.code, -2017);
}

TEST(Verify, ReferencesOutsideTheDocumentAreNeverOpened)
{
    const Fixtures& f = GetFixtures();
    CMSXmlVerifier v(trumik::common::kOpenSSLBackend);
    const fs::path dir = tt::MakeTempDir("fifo");
    tt::FifoWatch fifo(dir / "outside.xml");
    const std::string marker = "<outside>secret</outside>";

    // Signed by xmlsec1 over a regular file of the same name, then pointed at the FIFO.
    const fs::path regular = dir / "regular.xml";
    tt::WriteFile(regular, marker);
    std::string signedDoc = SignRsa(kDoc, "file://" + regular.string(), "");
    signedDoc = Replace(signedDoc, regular.string(), fifo.Path().string());
    Outcome o = WoCert(v, signedDoc, f.rsaDer);
    EXPECT_EQ(o.result, VARIANT_FALSE);
    EXPECT_EQ(o.code, -2017);
    EXPECT_NE(o.stack.find("file://"), std::string::npos) << o.stack;

    // An XSLT transform reading the FIFO through document() over the whole document.
    const std::string xslt =
        "<Transforms><Transform Algorithm=\"http://www.w3.org/TR/1999/REC-xslt-19991116\"><xsl:stylesheet "
        "version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\"><xsl:template "
        "match=\"/\"><xsl:copy-of "
        "select=\"document('" +
        fifo.Path().string() + "')\"/></xsl:template></xsl:stylesheet></Transform></Transforms>";
    std::string withXslt = Replace(
        Replace(SignRsa(kDoc), "<Reference URI=\"\">", "<Reference URI=\"\">" + xslt), kEnveloped, "");
    o = WoCert(v, withXslt, f.rsaDer);
    EXPECT_EQ(o.result, VARIANT_FALSE);
    EXPECT_EQ(o.code, -2017);
    EXPECT_NE(o.stack.find("xslt"), std::string::npos) << o.stack;

    // An external entity the document uses: refused as a document that does
    // not parse, the refused entity named on the stack.
    std::string entity = "<?xml version=\"1.0\"?>\n<!DOCTYPE doc [<!ENTITY e SYSTEM \"" +
                         fifo.Path().string() + "\">]>\n<doc>&e;</doc>";
    o = WoCert(v, entity, f.rsaDer);
    EXPECT_EQ(o.result, VARIANT_FALSE);
    EXPECT_EQ(o.code, 2007);
    EXPECT_NE(o.stack.find(fifo.Path().string()), std::string::npos) << o.stack;
    // An external DTD that the document merely names is not needed: the
    // document parses (and then holds no signature).
    std::string dtd =
        "<?xml version=\"1.0\"?>\n<!DOCTYPE doc SYSTEM \"" + fifo.Path().string() + "\">\n<doc/>";
    o = WoCert(v, dtd, f.rsaDer);
    EXPECT_EQ(o.code, 2009) << o.message;
    EXPECT_EQ(fifo.Reads(), 0) << "a verification opened the FIFO";

    // A same-document reference by id still verifies.
    std::string byId = SignRsa(Replace(kDoc, "<doc>", "<doc xml:id=\"root\">"), "#root");
    o = WoCert(v, byId, f.rsaDer);
    EXPECT_EQ(o.result, VARIANT_TRUE) << o.message << o.stack;
}

TEST(Verify, ExternalEntitiesAreRefusedWithoutBeingRead)
{
    const Fixtures& f = GetFixtures();
    CMSXmlVerifier v(trumik::common::kOpenSSLBackend);
    tt::FifoWatch fifo(tt::MakeTempDir("entity") / "entity.xml");
    const std::string path = fifo.Path().string();
    // Signed as it parses here (the entity empty), so only the refusal can fail it.
    const std::string signedDoc =
        Replace(SignRsa(Replace(kDoc, "<v>42</v>", "<v>42</v><e/>")), "<e/>", "<e>&ext;</e>");
    const std::string withEntity =
        Replace(signedDoc, "<doc>", "<!DOCTYPE doc [<!ENTITY ext SYSTEM \"file://" + path + "\">]>\n<doc>");
    Outcome o = WoCert(v, withEntity, f.rsaDer);
    EXPECT_EQ(o.result, VARIANT_FALSE);
    EXPECT_EQ(o.code, 2007);
    EXPECT_EQ(o.message, "Невозможно выполнить разбор документа.(Код ошибки-02007)");
    EXPECT_NE(o.stack.find("ext"), std::string::npos) << o.stack;
    // A parameter entity from outside, and an entity that only an external DTD could declare.
    const std::string parameter =
        Replace(kDoc, "<doc>", "<!DOCTYPE doc [<!ENTITY % p SYSTEM \"" + path + "\"> %p;]>\n<doc>");
    EXPECT_EQ(WoCert(v, parameter, f.rsaDer).code, 2007);
    const std::string undeclared = Replace(
        Replace(kDoc, "<doc>", "<!DOCTYPE doc SYSTEM \"" + path + "\">\n<doc>"), "42", "&undeclared;");
    o = WoCert(v, undeclared, f.rsaDer);
    EXPECT_EQ(o.code, 2007);
    EXPECT_NE(o.stack.find("undeclared"), std::string::npos) << o.stack;
    EXPECT_EQ(fifo.Reads(), 0) << "the verifier opened the entity's file";
}

// A document declared windows-1251 that holds characters the code page cannot
// hold would be verified over "?" in their place.
TEST(Verify, CharactersOutsideWindows1251AreRefused)
{
    const Fixtures& f = GetFixtures();
    CMSXmlVerifier v(trumik::common::kOpenSSLBackend);
    // ASCII text, so that the file xmlsec1 signs reads the same in either code page.
    const std::string declared = "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\n<doc><item id=\"a\">Pay "
                                 "?</item><v>42</v></doc>\n";
    const std::string signedDoc = SignRsa(declared);
    Outcome o = WoCert(v, signedDoc, f.rsaDer);
    EXPECT_EQ(o.result, VARIANT_TRUE) << o.message << o.stack;
    o = WoCert(v, Replace(signedDoc, "Pay ?", "Pay 中"), f.rsaDer);
    EXPECT_EQ(o.result, VARIANT_FALSE);
    EXPECT_EQ(o.code, 2007);
    EXPECT_EQ(o.message, "Невозможно выполнить разбор документа.(Код ошибки-02007)");
}

namespace {

const char kXPathFilter[] =
    R"(<Transforms><Transform Algorithm="http://www.w3.org/TR/1999/REC-xpath-19991116"><XPath xmlns:dsig="http://www.w3.org/2000/09/xmldsig#">EXPR</XPath></Transform></Transforms>)";
const char kXPath2Subtract[] =
    R"(<Transforms><Transform Algorithm="http://www.w3.org/2002/06/xmldsig-filter2"><XPath xmlns="http://www.w3.org/2002/06/xmldsig-filter2" xmlns:dsig="http://www.w3.org/2000/09/xmldsig#" Filter="subtract">//dsig:Signature</XPath></Transform></Transforms>)";

} // namespace

// The XPath filter and XPath Filter 2.0 select from the document only: a
// signature made with them by xmlsec1 gets a verdict.
TEST(Verify, XPathFilterTransformsGiveAVerdict)
{
    const Fixtures& f = GetFixtures();
    CMSXmlVerifier v(trumik::common::kOpenSSLBackend);
    const std::string filter = Replace(kXPathFilter, "EXPR", "not(ancestor-or-self::dsig:Signature)");
    for (const std::string& transforms : {filter, std::string(kXPath2Subtract)}) {
        const std::string signedDoc = SignRsa(kDoc, "", transforms);
        Outcome o = WoCert(v, signedDoc, f.rsaDer);
        EXPECT_EQ(o.result, VARIANT_TRUE) << transforms << "\n" << o.message << o.stack;
        EXPECT_EQ(o.code, 0);
        o = WoCert(v, Replace(signedDoc, "<v>42</v>", "<v>43</v>"), f.rsaDer);
        EXPECT_EQ(o.result, VARIANT_FALSE) << transforms;
        EXPECT_EQ(o.code, 0) << o.message << o.stack;
    }
    // The filter selects: content it leaves out may change.
    const std::string partial = SignRsa(
        kDoc, "",
        Replace(kXPathFilter, "EXPR", "not(ancestor-or-self::dsig:Signature or ancestor-or-self::v)"));
    EXPECT_EQ(WoCert(v, Replace(partial, "<v>42</v>", "<v>43</v>"), f.rsaDer).result, VARIANT_TRUE);
    EXPECT_EQ(WoCert(v, Replace(partial, "Платёж 1", "Платёж 2"), f.rsaDer).result, VARIANT_FALSE);
}

// An expression that would run for hours is stopped by the operation limit.
TEST(Verify, AHostileXPathExpressionIsCutShort)
{
    const Fixtures& f = GetFixtures();
    CMSXmlVerifier v(trumik::common::kOpenSSLBackend);
    std::string items;
    for (int i = 0; i < 300; ++i)
        items += "<i>" + std::to_string(i) + "</i>";
    const std::string doc = Replace(kDoc, "<v>42</v>", "<v>42</v>" + items);
    // Signed with a harmless expression, then given a costly one of the same result.
    std::string signedDoc =
        SignRsa(doc, "", Replace(kXPathFilter, "EXPR", "not(ancestor-or-self::dsig:Signature)"));
    signedDoc = Replace(
        signedDoc, "not(ancestor-or-self::dsig:Signature)",
        "not(ancestor-or-self::dsig:Signature) and count(//*[count(//*[count(//*) &gt; 0]) &gt; 0]) &gt; 0");
    // The work is counted in the processor time of this thread, which a
    // loaded machine does not stretch as it stretches the wall clock.
    const auto cpuSeconds = [] {
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
    };
    const double start = cpuSeconds();
    Outcome o = WoCert(v, signedDoc, f.rsaDer);
    const double seconds = cpuSeconds() - start;
    EXPECT_EQ(o.result, VARIANT_FALSE);
    EXPECT_EQ(o.code, -2017);
    EXPECT_NE(o.stack.find("operations"), std::string::npos) << o.stack;
    // Without the limit this takes hours; with it well under a second (more
    // under the sanitizers).
    EXPECT_LT(seconds, 10.0);
}

TEST(Verify, ReleaseOfAStartedObjectEmptiesTheClassStack)
{
    const Fixtures& f = GetFixtures();
    auto first = std::make_unique<CMSXmlVerifier>(trumik::common::kOpenSSLBackend);
    CMSXmlVerifier second(trumik::common::kOpenSSLBackend);
    WoCert(*first, SignRsa(kDoc), f.rsaPem); // -2013 with the library's reports
    EXPECT_EQ(first->Record().Code(), -2013);
    BSTR stack = nullptr;
    second.SignGetLastErrorStack(&stack);
    EXPECT_GT(SysStringLen(stack), 0u) << "one stack for the class";
    SysFreeString(stack);
    INT code = 1;
    EXPECT_EQ(second.SignGetLastErrorCode(&code), S_OK);
    EXPECT_EQ(code, 0) << "the code is the object's own";
    first.reset();
    second.SignGetLastErrorStack(&stack);
    EXPECT_EQ(SysStringLen(stack), 0u);
    SysFreeString(stack);
}

namespace {

// The GOST back-end is built with the component; a run without it is a
// broken build, reported as such.
std::string MSCryptoMissing()
{
    const char* build = std::getenv("TRUMIK_BUILD_DIR");
    if (!build)
        return "TRUMIK_BUILD_DIR is not set: run the test through ctest";
    const fs::path library = fs::path(build) / "lib" / "libxmlsec1-mscrypto.so";
    return fs::exists(library) ? "" : "the mscrypto back-end is not built: no " + library.string();
}

// A document whose enveloped GOST signature is made by openssl alone: the
// digest of the canonical document without the Signature, the SignedInfo
// canonicalised by xmllint and signed with pkeyutl.
const char kGostEnveloped[] =
    "<Transform Algorithm=\"http://www.w3.org/2000/09/xmldsig#enveloped-signature\"></Transform>";

std::string SignGostWithOpenssl(const std::string& body, const std::string& transform = kGostEnveloped)
{
    const Fixtures& f = GetFixtures();
    const fs::path dir = tt::MakeTempDir("gost-openssl");
    const std::string cd = "cd '" + dir.string() + "' && ";
    tt::WriteFile(dir / "doc.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<doc>" + body + "</doc>\n");
    const std::string digest =
        Sh(cd +
           "xmllint --c14n doc.xml | openssl dgst -engine gost -md_gost94 -binary 2>/dev/null | base64 -w0");
    const std::string signedInfo =
        "<SignedInfo xmlns=\"http://www.w3.org/2000/09/xmldsig#\"><CanonicalizationMethod "
        "Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"></"
        "CanonicalizationMethod><SignatureMethod "
        "Algorithm=\"http://www.w3.org/2001/04/xmldsig-more#gostr34102001-gostr3411\"></"
        "SignatureMethod><Reference "
        "URI=\"\"><Transforms>" +
        transform +
        "</Transforms><DigestMethod "
        "Algorithm=\"http://www.w3.org/2001/04/xmldsig-more#gostr3411\"></DigestMethod><DigestValue>" +
        digest + "</DigestValue></Reference></SignedInfo>";
    tt::WriteFile(dir / "si.xml", signedInfo);
    const std::string value =
        Sh(cd +
           "xmllint --c14n si.xml > si.c14n && "
           "openssl dgst -engine gost -md_gost94 -binary si.c14n > si.hash 2>/dev/null && "
           "openssl pkeyutl -engine gost -sign -inkey '" +
           f.gostKey.string() + "' -in si.hash 2>/dev/null | base64 -w0");
    const std::string signature = "<Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\">" +
                                  Replace(signedInfo, " xmlns=\"http://www.w3.org/2000/09/xmldsig#\"", "") +
                                  "<SignatureValue>" + value + "</SignatureValue></Signature>";
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<doc>" + body + signature + "</doc>\n";
}

std::string FlipBase64(const std::string& doc, const std::string& element)
{
    std::string out = doc;
    size_t at = out.find("<" + element + ">") + element.size() + 2 + 3;
    out[at] = out[at] == 'A' ? 'B' : 'A';
    return out;
}

} // namespace

TEST(GostVerify, OpensslMadeSignatureVerifiesAndFlippedBitsDoNot)
{
    ASSERT_EQ(MSCryptoMissing(), "");
    const Fixtures& f = GetFixtures();
    CMSXmlVerifier v;
    const std::string doc = SignGostWithOpenssl("<item id=\"1\">Платёж</item><v>42</v>");
    Outcome o = WoCert(v, doc, f.gostDer);
    EXPECT_EQ(o.status, S_OK);
    EXPECT_EQ(o.result, VARIANT_TRUE) << o.message << o.stack;
    EXPECT_EQ(o.code, 0);

    Bstr text(doc);
    Bstr cert(f.gostDer);
    VARIANT_BOOL result = VARIANT_FALSE;
    EXPECT_EQ(v.VerifyUsingCertFile(text.p, cert.p, &result), S_OK);
    EXPECT_EQ(result, VARIANT_TRUE);
    SYSTEMTIME now{};
    GetSystemTime(&now);
    // Tomorrow at noon lies within the certificate's 30 days.
    EXPECT_EQ(
        v.VerifyUsingCertFileAndDate(text.p, cert.p, Date(now.wYear, now.wMonth, now.wDay) + 1.5, &result),
        S_OK);
    EXPECT_EQ(result, VARIANT_TRUE);
    EXPECT_EQ(v.VerifyUsingCertFileAndDate(text.p, cert.p, Date(2001, 1, 1), &result), S_OK);
    EXPECT_EQ(result, VARIANT_FALSE);
    EXPECT_EQ(v.Record().Code(), 20007);

    for (const std::string& altered : {Replace(doc, "<v>42</v>", "<v>43</v>"), FlipBase64(doc, "DigestValue"),
                                       FlipBase64(doc, "SignatureValue")}) {
        o = WoCert(v, altered, f.gostDer);
        EXPECT_EQ(o.status, S_OK);
        EXPECT_EQ(o.result, VARIANT_FALSE);
        EXPECT_EQ(o.code, 0) << o.message << o.stack;
        EXPECT_EQ(o.message, "");
    }
    // The RSA certificate's key is not the signer's.
    o = WoCert(v, doc, f.rsaDer);
    EXPECT_EQ(o.result, VARIANT_FALSE);

    // A PKCS #7 file with the signer's certificate passes the checks, which
    // read it as a store, and then is no DER certificate for the key.
    const fs::path p7 = tt::MakeTempDir("p7") / "gost.p7b";
    Sh("openssl crl2pkcs7 -nocrl -certfile '" + f.gostPem.string() + "' -outform DER -out '" + p7.string() +
       "'");
    Bstr p7Path(p7);
    result = VARIANT_TRUE;
    EXPECT_EQ(v.VerifyUsingCertFile(text.p, p7Path.p, &result), S_OK);
    EXPECT_EQ(result, VARIANT_FALSE);
    EXPECT_EQ(v.Record().Code(), -2013);
}

// The XPath filter as other GOST signers write it, with a signature made by
// openssl alone.
TEST(GostVerify, XPathFilterSignatureMadeByOpensslVerifies)
{
    ASSERT_EQ(MSCryptoMissing(), "");
    const Fixtures& f = GetFixtures();
    CMSXmlVerifier v;
    const std::string filter =
        "<Transform Algorithm=\"http://www.w3.org/TR/1999/REC-xpath-19991116\"><XPath "
        "xmlns:dsig=\"http://www.w3.org/2000/09/xmldsig#\">not(ancestor-or-self::dsig:Signature)</XPath></"
        "Transform>";
    const std::string doc = SignGostWithOpenssl("<item id=\"1\">Платёж</item><v>42</v>", filter);
    Outcome o = WoCert(v, doc, f.gostDer);
    EXPECT_EQ(o.result, VARIANT_TRUE) << o.message << o.stack;
    EXPECT_EQ(o.code, 0);
    o = WoCert(v, Replace(doc, "<v>42</v>", "<v>43</v>"), f.gostDer);
    EXPECT_EQ(o.result, VARIANT_FALSE);
    EXPECT_EQ(o.code, 0) << o.message << o.stack;
}

TEST(Verify, HugeDeepAndEntityBombDocumentsFailCleanly)
{
    const Fixtures& f = GetFixtures();
    CMSXmlVerifier v(trumik::common::kOpenSSLBackend);
    // Nesting far beyond the parser's depth limit.
    std::string deep;
    for (int i = 0; i < 5000; ++i)
        deep += "<a>";
    Outcome o = WoCert(v, deep + "<Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\"/>", f.rsaDer);
    EXPECT_EQ(o.status, S_OK);
    EXPECT_EQ(o.result, VARIANT_FALSE);
    EXPECT_EQ(o.code, 2007);
    // One text node of 12 MB and no Signature.
    o = WoCert(v, "<doc>" + std::string(12u << 20, 'x') + "</doc>", f.rsaDer);
    EXPECT_EQ(o.result, VARIANT_FALSE);
    EXPECT_EQ(o.code, 2009);
    // Exponential entity expansion is stopped by the parser.
    std::string bomb = "<?xml version=\"1.0\"?><!DOCTYPE d [<!ENTITY a \"aaaaaaaaaa\">";
    const char* names = "abcdefghij";
    for (int i = 1; i < 10; ++i) {
        bomb += std::string("<!ENTITY ") + names[i] + " \"";
        for (int k = 0; k < 10; ++k)
            bomb += std::string("&") + names[i - 1] + ";";
        bomb += "\">";
    }
    bomb += "]><d>&j;</d>";
    o = WoCert(v, bomb, f.rsaDer);
    EXPECT_EQ(o.result, VARIANT_FALSE);
    EXPECT_NE(o.code, 0);
}

#if defined(TRUMIK_TEST_HOOKS) && TRUMIK_TEST_HOOKS
namespace {

// PathFileExistsW answers "not found" at its n-th use from here, as if the
// certificate file vanished between two checks of one call.
class FileGoneAt {
  public:
    explicit FileGoneAt(unsigned n)
    {
        trumik::platform::ArmFault(trumik::platform::FaultPoint::PathFileExists, n);
    }
    ~FileGoneAt() { trumik::platform::ArmFault(trumik::platform::FaultPoint::PathFileExists, 0); }
    FileGoneAt(const FileGoneAt&) = delete;
    FileGoneAt& operator=(const FileGoneAt&) = delete;
};

// The "path" message of the family whose code is given.
std::string PathMessage(LONG code)
{
    char digits[16];
    std::snprintf(digits, sizeof digits, "%05ld", static_cast<long>(-code));
    return std::string("Невозможно проверить сертификат. Путь к сертификату пуст или файл сертификата не "
                       "найден.(Код ошибки-(-") +
           digits + "))\nПожалуйста, обратитесь к Администратору КРУЛМ";
}

} // namespace

// A check that finds no file returns without writing `result`; the chains
// take that as a failure and stop, so the file vanishing before any check
// gives that check's path code and false, never true.
TEST(GostVerify, AFileGoneBeforeAnyCheckNeverGivesTrue)
{
    ASSERT_EQ(MSCryptoMissing(), "");
    const Fixtures& f = GetFixtures();
    Bstr text(SignGostWithOpenssl("<v>42</v>"));
    Bstr cert(f.gostDer);
    SYSTEMTIME now{};
    GetSystemTime(&now);
    const DATE tomorrow = Date(now.wYear, now.wMonth, now.wDay) + 1.5;
    // The uses of PathFileExistsW, in order: the verification's own test of
    // the path, then the time, GOST and usage checks.
    const LONG codes[] = {-2003, -20001, -21001, -22001};
    for (bool atDate : {false, true}) {
        SCOPED_TRACE(atDate ? "at a date" : "now");
        for (unsigned n = 1; n <= 5; ++n) {
            SCOPED_TRACE(n);
            CMSXmlVerifier v;
            VARIANT_BOOL result = 7;
            HRESULT hr;
            {
                FileGoneAt gone(n);
                hr = atDate ? v.VerifyUsingCertFileAndDate(text.p, cert.p, tomorrow, &result)
                            : v.VerifyUsingCertFile(text.p, cert.p, &result);
            }
            if (n == 5) { // four uses: the file was there for all of them
                EXPECT_EQ(result, VARIANT_TRUE) << Utf8(std::u16string(v.Record().Message()));
                continue;
            }
            EXPECT_EQ(result, VARIANT_FALSE);
            EXPECT_EQ(hr, n == 1 ? 1 : S_OK);
            EXPECT_EQ(v.Record().Code(), codes[n - 1]);
            EXPECT_EQ(Utf8(std::u16string(v.Record().Message())), PathMessage(codes[n - 1]));
            EXPECT_EQ(::Run(v, hr, result).stack, "");
        }
    }

    // The chains alone, on the three uses of their checks.
    for (unsigned n = 1; n <= 3; ++n) {
        SCOPED_TRACE(n);
        CMSXmlVerifier v;
        for (bool atDate : {false, true}) {
            VARIANT_BOOL result = 7;
            HRESULT hr;
            {
                FileGoneAt gone(n);
                hr = atDate ? v.VerifyCertUsingCertFileAndDate(cert.p, tomorrow, &result)
                            : v.VerifyCertUsingCertFile(cert.p, &result);
            }
            EXPECT_EQ(hr, 1);
            EXPECT_EQ(result, VARIANT_FALSE);
            EXPECT_EQ(v.Record().Code(), codes[n]);
        }
    }
}
#endif
