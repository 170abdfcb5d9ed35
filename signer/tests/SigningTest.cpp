// Enveloped GOST signing with a store certificate: the codes of the signing
// core, the rebuilding of the caller's text, and the signatures checked with
// xmllint and openssl with the GOST engine.
#include "signer/MSXmlSigner.h"

#include "SignerFixtures.h"

#include "common/Bstr.h"
#include "common/ErrorState.h"
#include "common/XmlLibrary.h"

#include "FifoWatch.h"
#include "TestHome.h"
#include "registry/RegistryValues.h"

#include <winnls.h>

#include <gtest/gtest.h>

#include <string>

using namespace trumik;
using common::MakeBstr;
using common::UniqueBstr;
using signertest::GetSignerFixtures;
using signertest::U16;
using signertest::Utf8;
namespace tt = trumik::testing;

namespace {

std::u16string Ascii(const std::string& text)
{
    return std::u16string(text.begin(), text.end());
}

struct Signed {
    HRESULT status;
    bool written; // retXml was written
    std::u16string text;
    LONG code;
    std::u16string message;
};

// SignWithCertStorePass when a password is given (null for none), else SignWithCertStore.
Signed Sign(signer::CMSXmlSigner& signer, const std::u16string* xml, const std::string& thumbprint,
            const std::u16string* password = nullptr, bool withPass = false, const char16_t* store = u"My")
{
    UniqueBstr x(xml ? MakeBstr(*xml) : nullptr), s(store ? SysAllocString(store) : nullptr),
        t = MakeBstr(Ascii(thumbprint)), p(password ? MakeBstr(*password) : nullptr);
    BSTR sentinel = SysAllocString(u"untouched");
    BSTR out = sentinel;
    HRESULT hr = withPass || password ? signer.SignWithCertStorePass(x.get(), s.get(), t.get(), p.get(), &out)
                                      : signer.SignWithCertStore(x.get(), s.get(), t.get(), &out);
    Signed result{hr, out != sentinel, {}, signer.Record().Code(), std::u16string(signer.Record().Message())};
    if (out != sentinel) {
        result.text = common::View(out);
        SysFreeString(out);
    }
    SysFreeString(sentinel);
    return result;
}

// The system's text for SCARD_W_WRONG_CHV, as the error stack holds it.
constexpr char16_t kWrongPinText[] = u"Был введен неверный PIN-код.\r\n";

constexpr char16_t kDsigOpen[] = u"<Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\">";
constexpr char16_t kDsigClose[] = u"</Signature>";

// The text between two markers after from; empty when absent.
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

std::string Trim(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text;
}

// The document's bytes as a file would hold them: windows-1251 when it says so.
std::string FileBytes(const std::u16string& text)
{
    const bool cp1251 = text.find(u"encoding=\"windows-1251\"") != std::u16string::npos;
    if (!cp1251)
        return Utf8(text);
    int size = WideCharToMultiByte(1251, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                   nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(1251, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr,
                        nullptr);
    return out;
}

std::string Sh(const std::string& command)
{
    std::string out;
    EXPECT_EQ(tt::RunCommand(command, &out, false), 0) << command;
    return out;
}

// Checks the newest signature of a signed text (the last Signature element)
// with peers: the GOST R 34.11-94 digest of `xmllint --c14n` over the text
// without that element and its comments is its DigestValue, and `openssl pkeyutl` verifies its
// SignatureValue over the digest of its canonical SignedInfo with the key.
void ExpectPeersAccept(const std::u16string& signedText)
{
    const auto& f = GetSignerFixtures();
    const size_t open = signedText.rfind(kDsigOpen);
    ASSERT_NE(open, std::u16string::npos);
    const size_t close = signedText.find(kDsigClose, open);
    ASSERT_NE(close, std::u16string::npos);
    std::u16string unsignedText = signedText;
    unsignedText.erase(open, close + std::u16string(kDsigClose).size() - open);
    // `xmllint --c14n` keeps comments, the signature's canonical form does not.
    for (size_t c = unsignedText.find(u"<!--"); c != std::u16string::npos; c = unsignedText.find(u"<!--", c))
        unsignedText.erase(c, unsignedText.find(u"-->", c) + 3 - c);
    const std::string signature = Utf8(signedText.substr(open, close - open));

    auto dir = tt::MakeTempDir("peers");
    const std::string d = dir.string();
    tt::WriteFile(dir / "signed.xml", FileBytes(signedText));
    tt::WriteFile(dir / "unsigned.xml", FileBytes(unsignedText));
    const std::string engine = "openssl dgst -engine gost -md_gost94 -binary 2>/dev/null";
    std::string digest =
        Trim(Sh("xmllint --nonet --c14n " + d + "/unsigned.xml | " + engine + " | base64 -w0"));
    EXPECT_EQ(digest, Between(signature, "<DigestValue>", "</DigestValue>"));

    // The canonical SignedInfo of the whole signed document, with the
    // namespace it inherits from its Signature element.
    std::string c14n = Sh("xmllint --nonet --c14n " + d + "/signed.xml");
    const size_t lastInfo = c14n.rfind("<SignedInfo>");
    ASSERT_NE(lastInfo, std::string::npos);
    std::string signedInfo = "<SignedInfo xmlns=\"http://www.w3.org/2000/09/xmldsig#\">" +
                             Between(c14n, "<SignedInfo>", "</SignedInfo>", lastInfo) + "</SignedInfo>";
    tt::WriteFile(dir / "si.xml", signedInfo);
    tt::WriteFile(dir / "sig.b64", Between(signature, "<SignatureValue>", "</SignatureValue>"));
    Sh(engine + " -out " + d + "/si.dgst " + d + "/si.xml && base64 -d " + d + "/sig.b64 > " + d +
       "/sig.bin");
    EXPECT_EQ(tt::RunCommand("openssl pkeyutl -engine gost -verify -pubin -inkey " + f.publicKeyPem.string() +
                             " -sigfile " + d + "/sig.bin -in " + d + "/si.dgst"),
              0);
}

} // namespace

TEST(SigningCore, CodesInTheOrderOfTheSteps)
{
    const auto& f = GetSignerFixtures();
    signer::CMSXmlSigner signer;
    const std::u16string xml = u"<doc>text</doc>";
    const std::u16string pin = U16(f.pin);

    Signed absent = Sign(signer, nullptr, f.good.thumbprint, &pin);
    EXPECT_EQ(absent.status, S_FALSE);
    EXPECT_EQ(absent.text, u"");
    EXPECT_EQ(absent.code, 1);
    EXPECT_EQ(absent.message, u"Неверно заданы входные параметры. Необходимые входные параметры:\nФайл "
                              u"документа\nНаименование хранилища сертификатов\nОтпечаток сертификата (Код "
                              u"ошибки - 00001)");
    EXPECT_EQ(Sign(signer, &xml, f.good.thumbprint, &pin, true, nullptr).code, 1);
    EXPECT_FALSE(signer.LibraryStarted());

    struct {
        std::string thumbprint;
        const char16_t* store;
        LONG code;
    } cases[] = {
        {f.good.thumbprint.substr(0, 39), u"My", 7}, {f.good.thumbprint, u"NoSuchStore", 7},
        {f.expired.thumbprint, u"My", 1009},         {f.notYetValid.thumbprint, u"My", 1007},
        {f.rsaIssued.thumbprint, u"My", 3007},       {f.signOnly.thumbprint, u"My", 4009},
        {f.noUsage.thumbprint, u"My", 4007},
    };
    for (const auto& c : cases) {
        Signed s = Sign(signer, &xml, c.thumbprint, &pin, true, c.store);
        EXPECT_EQ(s.status, S_FALSE) << c.code;
        EXPECT_TRUE(s.written);
        EXPECT_EQ(s.text, u"") << c.code; // null
        EXPECT_EQ(s.code, c.code);
    }
    EXPECT_TRUE(signer.LibraryStarted());
    EXPECT_EQ(Sign(signer, &xml, std::string(40, '0'), &pin).message,
              u"Не удалось обнаружить указанный сертификат в хранилище сертификатов.(Код ошибки - 00007)");

    for (const std::u16string& bad :
         {std::u16string(u""), std::u16string(u"<doc>"), std::u16string(u"just text"),
          std::u16string(u"<a></b>"), std::u16string(u"<?xml version=\"1.0\"?>")}) {
        Signed s = Sign(signer, &bad, f.good.thumbprint, &pin);
        EXPECT_EQ(s.status, S_FALSE) << Utf8(bad);
        EXPECT_EQ(s.code, 19) << Utf8(bad);
        EXPECT_EQ(s.message, u"Не удалось произвести разбор указанного документа.(Код ошибки - 00019)");
    }
}

TEST(SigningCore, TheCoreReturnsTheWholeDocumentAsUtf8)
{
    const auto& f = GetSignerFixtures();
    signer::CMSXmlSigner signer;
    UniqueBstr xml = MakeBstr(u"<?xml version=\"1.0\" encoding=\"windows-1251\"?><doc>Привет</doc>");
    UniqueBstr store = MakeBstr(u"My"), hash = MakeBstr(Ascii(f.good.thumbprint)), pin = MakeBstr(U16(f.pin));
    BSTR out = nullptr;
    ASSERT_TRUE(signer.SignCore(xml.get(), store.get(), hash.get(), pin.get(), &out));
    UniqueBstr result(out);
    const std::u16string text(common::View(out));
    EXPECT_EQ(text.rfind(u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<doc>Привет<Signature", 0), 0u)
        << Utf8(text);
    EXPECT_EQ(signer.Record().Code(), 0);
}

TEST(Signing, TheCallersTextComesBackWithTheSignatureBeforeTheRootEndTag)
{
    const auto& f = GetSignerFixtures();
    signer::CMSXmlSigner signer;
    const std::u16string head = u"<?xml version='1.0'?>\r\n<!-- caller's own -->\n<doc  a = 'x&amp;y' >\n"
                                u"  <b>&#x41;&#66;&lt;</b>\n  <c/>\n";
    const std::u16string tail = u"</doc  >\n";
    const std::u16string xml = head + tail;
    const std::u16string pin = U16(f.pin);
    Signed s = Sign(signer, &xml, f.good.thumbprint, &pin);
    ASSERT_EQ(s.status, S_OK) << Utf8(s.message);
    EXPECT_EQ(s.code, 0);
    EXPECT_EQ(s.message, u"");
    ASSERT_EQ(s.text.rfind(head + kDsigOpen, 0), 0u) << Utf8(s.text);
    ASSERT_GT(s.text.size(), tail.size());
    EXPECT_EQ(s.text.substr(s.text.size() - tail.size() - 12), std::u16string(kDsigClose) + tail);

    const std::string signature = Utf8(s.text.substr(head.size()));
    EXPECT_EQ(signature.find("KeyInfo"), std::string::npos);
    EXPECT_EQ(signature.find("<Reference URI=\"\">"), signature.rfind("<Reference"));
    EXPECT_EQ(signature.find("<Transform "), signature.rfind("<Transform "));
    EXPECT_NE(signature.find("Algorithm=\"http://www.w3.org/2000/09/xmldsig#enveloped-signature\""),
              std::string::npos);
    EXPECT_NE(
        signature.find("<SignatureMethod "
                       "Algorithm=\"http://www.w3.org/2001/04/xmldsig-more#gostr34102001-gostr3411\"/>"),
        std::string::npos);
    EXPECT_NE(signature.find("<CanonicalizationMethod "
                             "Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/>"),
              std::string::npos);
    ExpectPeersAccept(s.text);
}

TEST(Signing, AWindows1251DocumentKeepsItsDeclarationAndVerifies)
{
    const auto& f = GetSignerFixtures();
    signer::CMSXmlSigner signer;
    const std::u16string xml = u"<?xml version=\"1.0\" encoding=\"windows-1251\"?>\n<платёж "
                               u"сумма=\"100\">\n  <кому>ООО «Ромашка»</кому>\n</платёж>";
    const std::u16string pin = U16(f.pin);
    Signed s = Sign(signer, &xml, f.good.thumbprint, &pin);
    ASSERT_EQ(s.status, S_OK) << Utf8(s.message);
    const size_t end = xml.rfind(u"</платёж>");
    EXPECT_EQ(s.text.substr(0, end), xml.substr(0, end));
    EXPECT_EQ(s.text.substr(s.text.size() - 21), kDsigClose + std::u16string(u"</платёж>"));
    ExpectPeersAccept(s.text);

    // Characters windows-1251 cannot hold would be signed as "?": refused.
    for (const char16_t* held : {u"中文", u"é", u"✓"}) {
        const std::u16string outside = u"<?xml version=\"1.0\" encoding=\"windows-1251\"?>\n<платёж>" +
                                       std::u16string(held) + u"</платёж>";
        Signed refused = Sign(signer, &outside, f.good.thumbprint, &pin);
        EXPECT_EQ(refused.status, S_FALSE);
        EXPECT_EQ(refused.code, 19) << Utf8(refused.message);
        EXPECT_EQ(refused.text, u"");
    }
}

TEST(Signing, AnEmptyRootElementAndTrailingMarkupKeepTheSignatureInsideTheRoot)
{
    const auto& f = GetSignerFixtures();
    signer::CMSXmlSigner signer;
    const std::u16string pin = U16(f.pin);

    const std::u16string empty = u"<?xml version=\"1.0\"?>\n<root a=\"/>\" b='1' />\n";
    Signed s = Sign(signer, &empty, f.good.thumbprint, &pin);
    ASSERT_EQ(s.status, S_OK) << Utf8(s.message);
    EXPECT_EQ(s.text.rfind(u"<?xml version=\"1.0\"?>\n<root a=\"/>\" b='1' >" + std::u16string(kDsigOpen), 0),
              0u)
        << Utf8(s.text);
    EXPECT_EQ(s.text.substr(s.text.size() - 20), u"</Signature></root>\n");
    ExpectPeersAccept(s.text);

    const std::u16string trailing = u"<doc><a/></doc>\n<!-- after <the> root -->\n<?done a<?b ?>\n";
    s = Sign(signer, &trailing, f.good.thumbprint, &pin);
    ASSERT_EQ(s.status, S_OK) << Utf8(s.message);
    EXPECT_EQ(s.text.rfind(u"<doc><a/>" + std::u16string(kDsigOpen), 0), 0u) << Utf8(s.text);
    EXPECT_EQ(s.text.substr(s.text.size() - 60),
              u"</Signature></doc>\n<!-- after <the> root -->\n<?done a<?b ?>\n")
        << Utf8(s.text);
    ExpectPeersAccept(s.text);
}

TEST(Signing, ADocumentWithAnEarlierSignatureGetsTheNewOne)
{
    const auto& f = GetSignerFixtures();
    signer::CMSXmlSigner signer;
    const std::u16string pin = U16(f.pin);
    const std::u16string first = u"<doc><item>1</item></doc>";
    Signed once = Sign(signer, &first, f.good.thumbprint, &pin);
    ASSERT_EQ(once.status, S_OK);
    // The signed document wrapped in a new root, then signed again.
    const std::u16string wrapped = u"<outer>" + once.text + u"</outer>";
    Signed twice = Sign(signer, &wrapped, f.good.thumbprint, &pin);
    ASSERT_EQ(twice.status, S_OK) << Utf8(twice.message);
    EXPECT_EQ(twice.text.rfind(u"<outer>" + once.text + kDsigOpen, 0), 0u);
    const size_t newOne = twice.text.rfind(kDsigOpen);
    EXPECT_NE(twice.text.substr(newOne), once.text.substr(once.text.rfind(kDsigOpen)));
    ExpectPeersAccept(twice.text);
    // Signing the signed document itself adds a second Signature beside the first.
    Signed again = Sign(signer, &once.text, f.good.thumbprint, &pin);
    ASSERT_EQ(again.status, S_OK);
    const size_t firstSig = again.text.find(kDsigOpen);
    EXPECT_NE(firstSig, again.text.rfind(kDsigOpen));
    ExpectPeersAccept(again.text);
}

TEST(Signing, PasswordsAbsentEmptyAndWrong)
{
    const auto& f = GetSignerFixtures();
    signer::CMSXmlSigner signer;
    const std::u16string xml = u"<doc>pin</doc>";
    const std::u16string empty, wrong = u"4321";

    // A container without a PIN: no password, an absent one and the empty one all sign.
    EXPECT_EQ(Sign(signer, &xml, f.goodPlain.thumbprint).code, 0);
    EXPECT_EQ(Sign(signer, &xml, f.goodPlain.thumbprint, nullptr, true).code, 0);
    Signed plainEmpty = Sign(signer, &xml, f.goodPlain.thumbprint, &empty);
    EXPECT_EQ(plainEmpty.code, 0);
    ExpectPeersAccept(plainEmpty.text);

    // A container with a PIN: without a password the key is refused when it
    // signs; the provider checks a password, the empty one too, when it is
    // set, and refuses a wrong one there with the system's text on the stack.
    Signed absent = Sign(signer, &xml, f.good.thumbprint, nullptr, true);
    EXPECT_EQ(absent.status, S_FALSE);
    EXPECT_EQ(absent.code, 33);
    EXPECT_EQ(absent.message, u"Не удалось сформировать подпись.(Код ошибки - 00033)");
    EXPECT_EQ(absent.text, u"");
    EXPECT_NE(common::stacks::Text(common::ErrorStackId::MSXmlSigner), u"");
    for (const std::u16string* password : {&empty, &wrong}) {
        Signed s = Sign(signer, &xml, f.good.thumbprint, password, true);
        EXPECT_EQ(s.status, S_FALSE);
        EXPECT_EQ(s.code, 11);
        EXPECT_EQ(s.message, u"Не удалось установить пароль для ключа.(Код ошибки - 00011)");
        EXPECT_EQ(s.text, u"");
        EXPECT_EQ(common::stacks::Text(common::ErrorStackId::MSXmlSigner), kWrongPinText);
    }
    // The store-certificate checks come first: an expired certificate with a
    // wrong password gives the check's code.
    EXPECT_EQ(Sign(signer, &xml, f.expired.thumbprint, &wrong, true).code, 1009);
    // The right PIN after wrong ones.
    const std::u16string pin = U16(f.pin);
    EXPECT_EQ(Sign(signer, &xml, f.good.thumbprint, &pin).code, 0);
    EXPECT_EQ(common::stacks::Text(common::ErrorStackId::MSXmlSigner), u"");
}

TEST(Signing, HostileAndHugeDocuments)
{
    const auto& f = GetSignerFixtures();
    signer::CMSXmlSigner signer;
    const std::u16string pin = U16(f.pin);

    // Nesting deeper than the parser allows.
    std::u16string deep;
    for (int i = 0; i < 20000; ++i)
        deep += u"<a>";
    for (int i = 0; i < 20000; ++i)
        deep += u"</a>";
    EXPECT_EQ(Sign(signer, &deep, f.good.thumbprint, &pin).code, 19);

    // External entities and DTDs are never read; a document that uses an
    // external entity is refused, not signed without it.
    tt::FifoWatch fifo(tt::MakeTempDir("outside") / "outside.xml");
    const std::u16string path = U16(fifo.Path().string());
    const std::u16string external = u"<!DOCTYPE d [<!ENTITY e SYSTEM \"file://" + path + u"\">]><d>&e;</d>";
    Signed ext = Sign(signer, &external, f.good.thumbprint, &pin);
    EXPECT_EQ(ext.status, S_FALSE);
    EXPECT_EQ(ext.code, 19);
    EXPECT_EQ(ext.message, u"Не удалось произвести разбор указанного документа.(Код ошибки - 00019)");
    EXPECT_EQ(ext.text, u"");
    EXPECT_NE(common::stacks::Text(common::ErrorStackId::MSXmlSigner).find(path), std::u16string::npos)
        << Utf8(common::stacks::Text(common::ErrorStackId::MSXmlSigner));
    // A DTD the document merely names is neither read nor an error.
    const std::u16string dtd = u"<!DOCTYPE d SYSTEM \"file://" + path + u"\"><d/>";
    EXPECT_EQ(Sign(signer, &dtd, f.good.thumbprint, &pin).code, 0);
    EXPECT_EQ(fifo.Reads(), 0) << "the signer opened the entity's file";
    // Internal entities are still replaced and signed.
    const std::u16string internal = u"<!DOCTYPE d [<!ENTITY e \"inner\">]><d>&e;</d>";
    Signed in = Sign(signer, &internal, f.good.thumbprint, &pin);
    ASSERT_EQ(in.code, 0) << Utf8(in.message);
    EXPECT_EQ(in.text.rfind(u"<!DOCTYPE d [<!ENTITY e \"inner\">]><d>&e;<Signature", 0), 0u);

    // A document of 2 MB.
    std::u16string big = u"<big>";
    while (big.size() < 2 * 1024 * 1024)
        big += u"<row id=\"1\">0123456789 abcdefghij Съешь же ещё этих мягких французских булок</row>\n";
    big += u"</big>";
    Signed large = Sign(signer, &big, f.good.thumbprint, &pin);
    ASSERT_EQ(large.code, 0);
    EXPECT_EQ(large.text.substr(0, big.size() - 6), big.substr(0, big.size() - 6));
    ExpectPeersAccept(large.text);
}

TEST(Signing, ReleaseOfAStartedObjectEmptiesTheClassStack)
{
    const auto& f = GetSignerFixtures();
    const std::u16string xml = u"<doc/>";
    auto fill = [&](signer::CMSXmlSigner& signer) {
        Sign(signer, &xml, std::string(40, 'F'));
        ASSERT_NE(common::stacks::Text(common::ErrorStackId::MSXmlSigner), u"");
    };
    {
        signer::CMSXmlSigner neverStarted;
        auto started = std::make_unique<signer::CMSXmlSigner>();
        fill(*started);
        EXPECT_TRUE(started->LibraryStarted());
        started.reset();
        EXPECT_EQ(common::stacks::Text(common::ErrorStackId::MSXmlSigner), u"");
        signer::CMSXmlSigner other;
        fill(other);
        const std::u16string kept = common::stacks::Text(common::ErrorStackId::MSXmlSigner);
        // An object that never started the libraries leaves the stack alone.
        {
            signer::CMSXmlSigner idle;
        }
        EXPECT_EQ(common::stacks::Text(common::ErrorStackId::MSXmlSigner), kept);
        (void)f;
    }
}

TEST(Signing, EachObjectStartsTheLibrariesOnceAtItsFirstCall)
{
    const auto& f = GetSignerFixtures();
    const std::u16string xml = u"<doc/>", pin = U16(f.pin);
    const int before = common::StartedObjectCount();
    {
        signer::CMSXmlSigner first;
        EXPECT_EQ(Sign(first, &xml, f.good.thumbprint, &pin).code, 0);
        EXPECT_EQ(Sign(first, &xml, f.good.thumbprint, &pin).code, 0);
        EXPECT_EQ(common::StartedObjectCount(), before + 1);
        signer::CMSXmlSigner second;
        // The checks alone need no libraries.
        UniqueBstr store = MakeBstr(u"My"), hash = MakeBstr(Ascii(f.good.thumbprint));
        VARIANT_BOOL result = VARIANT_FALSE;
        EXPECT_EQ(second.VerifyCertUsingCertStore(store.get(), hash.get(), &result, 0), S_OK);
        EXPECT_FALSE(second.LibraryStarted());
        EXPECT_EQ(Sign(second, &xml, f.good.thumbprint, &pin).code, 0);
        EXPECT_EQ(common::StartedObjectCount(), before + 2);
    }
    EXPECT_EQ(common::StartedObjectCount(), before);
    EXPECT_TRUE(common::LibrariesRunning());
}

TEST(RootInsertionPoint, FindsTheEndOfTheRootElementByItsMarkup)
{
    struct {
        std::u16string text;
        bool found;
        bool empty;
        std::u16string before; // the text before the insertion point
    } cases[] = {
        {u"<a>x</a>", true, false, u"<a>x"},
        {u"<a><b/></a>  \n<!-- c --><?p ?>", true, false, u"<a><b/>"},
        {u"<a x='</a>' y=\">\"><![CDATA[</a>]]><!-- </a> --></a>", true, false,
         u"<a x='</a>' y=\">\"><![CDATA[</a>]]><!-- </a> -->"},
        {u"<!DOCTYPE a [<!ENTITY e \"<a/>\"><!-- ] > --><?pi ]>?>]><a>&e;</a>", true, false,
         u"<!DOCTYPE a [<!ENTITY e \"<a/>\"><!-- ] > --><?pi ]>?>]><a>&e;"},
        {u"<?xml version=\"1.0\"?><p:a xmlns:p=\"u\"><p:a></p:a></p:a>", true, false,
         u"<?xml version=\"1.0\"?><p:a xmlns:p=\"u\"><p:a></p:a>"},
        {u"<p:root\n xmlns:p=\"u\"\n/>", true, true, u"<p:root\n xmlns:p=\"u\"\n"},
        {u"<a>", false, false, u""},
        {u"text only", false, false, u""},
        {u"<a/><b/>", true, true, u"<a"},
        {u"<a x=\"unterminated></a>", false, false, u""},
    };
    for (const auto& c : cases) {
        signer::InsertionPoint point = signer::FindRootInsertionPoint(c.text);
        EXPECT_EQ(point.found, c.found) << Utf8(c.text);
        if (!point.found || !c.found)
            continue;
        EXPECT_EQ(point.emptyElement, c.empty) << Utf8(c.text);
        EXPECT_EQ(c.text.substr(0, point.position), c.before) << Utf8(c.text);
    }
    signer::InsertionPoint empty = signer::FindRootInsertionPoint(u"<p:root\n xmlns:p=\"u\"\n/>");
    EXPECT_EQ(empty.name, u"p:root");
    EXPECT_EQ(empty.tagEnd, 23u);
}

TEST(RootInsertionPoint, EveryPrefixOfAComplexDocumentIsReadSafely)
{
    const std::u16string text =
        u"<?xml version=\"1.0\"?><!DOCTYPE r SYSTEM \"x.dtd\" [<!ENTITY e '<i/>'><!-- ]> --><?p ]>?>]>"
        u"<r a=\"1>\" b='<'><![CDATA[</r>]]><!-- </r> --><?q </r>?><i x=\"/>\"/>&e;</r><!-- t -->";
    for (size_t n = 0; n <= text.size(); ++n) {
        signer::InsertionPoint point = signer::FindRootInsertionPoint(std::u16string_view(text).substr(0, n));
        if (point.found) {
            EXPECT_LE(point.position, n);
            EXPECT_EQ(text.substr(point.position, 4), u"</r>") << n;
        }
    }
    signer::InsertionPoint whole = signer::FindRootInsertionPoint(text);
    ASSERT_TRUE(whole.found);
    EXPECT_EQ(whole.position, text.rfind(u"</r>"));
}

TEST(RootInsertionPoint, EndTagIsFoundAtEveryOffsetBesideLookalikeUnits)
{
    // Text runs of every length put the end tag at every place of a
    // four-unit step; units that share a byte with "<" are not "<".
    const char16_t lookalikes[] = {u'x', 0x013C, 0x3C00, 0x3C3C, 0x003D, 0x003B, 0xFF3C};
    for (const char16_t filler : lookalikes) {
        for (size_t k = 0; k < 12; ++k) {
            const std::u16string text = u"<r>" + std::u16string(k, filler) + u"</r>";
            const signer::InsertionPoint point = signer::FindRootInsertionPoint(text);
            ASSERT_TRUE(point.found) << k;
            EXPECT_EQ(point.position, 3 + k) << k << " " << static_cast<unsigned>(filler);
        }
    }
}

// A signer whose core hands back a fixed text, as a core serialising some
// other document would: the rebuilding reads that text.
class FixedCoreSigner : public signer::CMSXmlSigner {
  public:
    explicit FixedCoreSigner(std::u16string text) : text_(std::move(text)) {}
    bool SignCore(BSTR, BSTR, BSTR, BSTR, BSTR* result) override
    {
        *result = MakeBstr(text_).release();
        return true;
    }

  private:
    std::u16string text_;
};

TEST(Signing, TheRebuildingReadsACoresTextAndKeepsItWhenItCannot)
{
    const std::u16string sig =
        u"<Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\"><SignedInfo/></Signature>";
    const std::u16string caller = u"<doc>\n  <b>текст</b>\n</doc>\n";
    {
        FixedCoreSigner signer(u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<doc><b>текст</b>" + sig +
                               u"</doc>\n");
        Signed s = Sign(signer, &caller, "00");
        EXPECT_EQ(s.status, S_OK);
        EXPECT_EQ(s.code, 0);
        EXPECT_EQ(s.text, u"<doc>\n  <b>текст</b>\n" + sig + u"</doc>\n");
        const std::u16string empty = u"<doc a='1'/>";
        s = Sign(signer, &empty, "00");
        EXPECT_EQ(s.text, u"<doc a='1'>" + sig + u"</doc>");
    }
    struct Case {
        std::u16string core;
        LONG code;
        const char16_t* message;
    } cases[] = {
        {u"<doc><b>", 71, u"Не удалось произвести разбор подписанного документа.(Код ошибки - 00071)"},
        {u"<doc><b/><Signature/></doc>", 73,
         u"Не удалось извлечь подпись из подписанного документа.(Код ошибки - 00073)"},
    };
    for (const Case& c : cases) {
        FixedCoreSigner signer(c.core);
        Signed s = Sign(signer, &caller, "00");
        EXPECT_EQ(s.status, S_OK) << c.code;
        EXPECT_EQ(s.code, c.code);
        EXPECT_EQ(s.message, c.message);
        EXPECT_EQ(s.text, c.core) << "the core's text is what the caller gets";
    }
}

// The store is opened by the core and by each of its three checks, and the
// 2012 switch is read by the GOST check and the core; with the certificate
// read once per process, each of these costs the registry one read, and the
// rest of a warm call none.
TEST(Signing, AWarmSignatureReadsTheRegistryOncePerStoreOpenAndSwitch)
{
    const auto& f = GetSignerFixtures();
    signer::CMSXmlSigner signer;
    const std::u16string xml = u"<doc>count</doc>", pin = U16(f.pin);
    ASSERT_EQ(Sign(signer, &xml, f.good.thumbprint, &pin).code, 0);
    const uint64_t before = platform::RegistryTransactionsOnThisThread();
    ASSERT_EQ(Sign(signer, &xml, f.good.thumbprint, &pin).code, 0);
    EXPECT_EQ(platform::RegistryTransactionsOnThisThread() - before, 4u + 2u);
}
