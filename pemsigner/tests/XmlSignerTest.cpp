#include "pemsigner/XmlSigner.h"

#include "common/Conversions.h"
#include "common/ErrorState.h"
#include "common/XmlLibrary.h"

#include "FifoWatch.h"
#include "TestHome.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

using namespace trumik;
using common::MakeBstr;
using common::UniqueBstr;
using common::View;
using pemsigner::CXmlSigner;
namespace fs = std::filesystem;
namespace tt = trumik::testing;

namespace {

std::u16string Utf16(const std::string& utf8)
{
    UniqueBstr text = common::Utf8ToBstr(utf8.c_str());
    return std::u16string(View(text.get()));
}

std::string Utf8(std::u16string_view text)
{
    UniqueBstr b = MakeBstr(text);
    std::string bytes = common::DocumentToUtf8(b.get());
    bytes.pop_back();
    return bytes;
}

class XmlSignerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        dir_ = tt::MakeTempDir("pem");
        const std::string d = dir_.string();
        ASSERT_EQ(
            tt::RunCommand("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=Signer -days 30 -keyout " +
                           d + "/key.pem -out " + d + "/cert.pem"),
            0);
        tt::WriteFile(dir_ / "signer.pem", tt::ReadFile(dir_ / "key.pem") + tt::ReadFile(dir_ / "cert.pem"));
        ASSERT_EQ(tt::RunCommand("openssl pkcs8 -topk8 -v2 aes-256-cbc -passout pass:other -in " + d +
                                 "/key.pem -out " + d + "/other-key.pem"),
                  0);
        tt::WriteFile(dir_ / "other.pem",
                      tt::ReadFile(dir_ / "other-key.pem") + tt::ReadFile(dir_ / "cert.pem"));
        ASSERT_EQ(tt::RunCommand("openssl pkcs8 -topk8 -v2 aes-256-cbc -passout pass:wqzt -in " + d +
                                 "/key.pem -out " + d + "/wqzt-key.pem"),
                  0);
        tt::WriteFile(dir_ / "wqzt.pem",
                      tt::ReadFile(dir_ / "wqzt-key.pem") + tt::ReadFile(dir_ / "cert.pem"));
    }

    static fs::path dir_;

    struct Outcome {
        HRESULT status;
        std::u16string signedXml;
        bool written;
        std::u16string message;
    };

    static Outcome Sign(CXmlSigner& signer, BSTR xml, BSTR keyFile)
    {
        BSTR out = nullptr;
        Outcome outcome;
        outcome.status = signer.SignWithKey(xml, keyFile, &out);
        outcome.written = out != nullptr;
        UniqueBstr owned(out);
        outcome.signedXml = std::u16string(View(out));
        BSTR message = nullptr;
        EXPECT_EQ(signer.SignFGetLastError(&message), S_OK);
        UniqueBstr ownedMessage(message);
        EXPECT_NE(message, nullptr);
        outcome.message = std::u16string(View(message));
        return outcome;
    }

    static Outcome Sign(CXmlSigner& signer, std::u16string_view xml, const fs::path& keyFile)
    {
        UniqueBstr x = MakeBstr(xml);
        UniqueBstr k = MakeBstr(Utf16(keyFile.string()));
        return Sign(signer, x.get(), k.get());
    }

    static bool VerifiesWithXmlsec1(const std::string& signedUtf8, std::string* log = nullptr)
    {
        fs::path file = tt::MakeTempDir("verify") / "signed.xml";
        tt::WriteFile(file, signedUtf8);
        std::string output;
        int rc = tt::RunCommand("xmlsec1 --verify --pubkey-cert-pem " + (dir_ / "cert.pem").string() + " " +
                                    file.string(),
                                &output);
        if (log)
            *log = output;
        return rc == 0;
    }
};

fs::path XmlSignerTest::dir_;

bool StartsWith(const std::u16string& text, std::u16string_view prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

} // namespace

TEST_F(XmlSignerTest, AbsentArgumentsAreRefusedWithoutMessage)
{
    CXmlSigner signer;
    UniqueBstr xml = MakeBstr(u"<a/>");
    UniqueBstr key = MakeBstr(Utf16((dir_ / "signer.pem").string()));
    EXPECT_EQ(Sign(signer, nullptr, key.get()).status, 1);
    Outcome o = Sign(signer, xml.get(), nullptr);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.message, u"");
    EXPECT_FALSE(o.written);
    EXPECT_EQ(signer.LibraryStarted(), VARIANT_FALSE);
}

TEST_F(XmlSignerTest, MissingOrEmptyKeyFileIs10001)
{
    CXmlSigner signer;
    for (const fs::path& path : {fs::path(""), dir_ / "absent.pem"}) {
        Outcome o = Sign(signer, u"<a/>", path);
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(o.message, u"10001 - Путь к PEM-файлу пуст или PEM-файл с ключём не найден.");
        EXPECT_FALSE(o.written);
    }
    EXPECT_EQ(signer.LibraryStarted(), VARIANT_FALSE);
}

TEST_F(XmlSignerTest, SignedDocumentVerifiesWithXmlsec1AndTamperingIsCaught)
{
    CXmlSigner signer;
    Outcome o = Sign(signer, u"<?xml version=\"1.0\"?>\n<doc><item n=\"1\">Текст</item><!-- note --></doc>",
                     dir_ / "signer.pem");
    ASSERT_EQ(o.status, S_OK) << Utf8(o.message);
    EXPECT_EQ(o.message, u"");
    EXPECT_TRUE(StartsWith(o.signedXml, u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<doc>"));
    const std::u16string& s = o.signedXml;
    EXPECT_NE(
        s.find(u"<CanonicalizationMethod Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/>"),
        std::u16string::npos);
    EXPECT_NE(s.find(u"<SignatureMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#rsa-sha1\"/>"),
              std::u16string::npos);
    EXPECT_NE(s.find(u"<Reference URI=\"\">"), std::u16string::npos);
    EXPECT_NE(s.find(u"<Transform Algorithm=\"http://www.w3.org/2000/09/xmldsig#enveloped-signature\"/>"),
              std::u16string::npos);
    EXPECT_NE(s.find(u"<DigestMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#sha1\"/>"),
              std::u16string::npos);
    EXPECT_NE(s.find(u"<KeyValue>"), std::u16string::npos);
    // The Signature element is the root's last child.
    size_t signatureEnd = s.rfind(u"</Signature>");
    ASSERT_NE(signatureEnd, std::u16string::npos);
    EXPECT_EQ(s.substr(signatureEnd), u"</Signature></doc>\n");
    EXPECT_NE(s.find(u"<item n=\"1\">Текст</item><!-- note --><Signature"), std::u16string::npos);

    std::string utf8 = Utf8(s);
    std::string log;
    EXPECT_TRUE(VerifiesWithXmlsec1(utf8, &log)) << log;
    std::string tampered = utf8;
    tampered.replace(tampered.find("n=\"1\""), 5, "n=\"2\"");
    EXPECT_FALSE(VerifiesWithXmlsec1(tampered));
}

TEST_F(XmlSignerTest, KeyUnderTheFixedPasswordLoads)
{
    CXmlSigner signer;
    Outcome o = Sign(signer, u"<a>1</a>", dir_ / "wqzt.pem");
    ASSERT_EQ(o.status, S_OK) << Utf8(o.message);
    EXPECT_TRUE(VerifiesWithXmlsec1(Utf8(o.signedXml)));
}

TEST_F(XmlSignerTest, MalformedXmlIs10005AndLeavesRetXmlAlone)
{
    CXmlSigner signer;
    UniqueBstr xml = MakeBstr(u"<a><b></a>");
    UniqueBstr key = MakeBstr(Utf16((dir_ / "signer.pem").string()));
    BSTR out = nullptr;
    EXPECT_EQ(signer.SignWithKey(xml.get(), key.get(), &out), pemsigner::kSignFailed);
    EXPECT_EQ(out, nullptr);
    Outcome o = Sign(signer, u"no markup at all", dir_ / "signer.pem");
    EXPECT_EQ(o.status, -1);
    EXPECT_EQ(o.message, u"10005 - Не удалось произвести разбор указанного документа.");
    EXPECT_EQ(signer.LibraryStarted(), VARIANT_TRUE);
}

TEST_F(XmlSignerTest, KeyLoadFailuresAre10017WithTheLibraryReports)
{
    CXmlSigner signer;
    for (const fs::path& path : {dir_, dir_ / "other.pem", dir_ / "cert.pem"}) {
        Outcome o = Sign(signer, u"<a/>", path);
        EXPECT_EQ(o.status, -1) << path;
        EXPECT_TRUE(StartsWith(o.message, u"10017 - Не удалось добавить информацию о ключе.\nФункция: "))
            << Utf8(o.message);
        EXPECT_NE(o.message.back(), u'\n') << "an XmlSigner entry has no closing line feed";
        EXPECT_FALSE(o.written);
    }
}

TEST_F(XmlSignerTest, KeyWithoutCertificateIs10019)
{
    CXmlSigner signer;
    Outcome o = Sign(signer, u"<a/>", dir_ / "key.pem");
    EXPECT_EQ(o.status, -1);
    EXPECT_TRUE(StartsWith(o.message, u"10019 - Не удалось добавить информацию о сертификате."))
        << Utf8(o.message);
}

TEST_F(XmlSignerTest, LongLibraryReportsFollowTheMessageWithinTheLimit)
{
    // A folder path of some 3000 characters makes the key loader's report as
    // long as the library lets it be; the whole text comes back at most 2000
    // characters long (the exact cut of longer texts is tested with the record).
    fs::path deep = dir_;
    while (deep.string().size() < 3000)
        deep /= std::string(200, 'd');
    fs::create_directories(deep);
    CXmlSigner signer;
    Outcome o = Sign(signer, u"<a/>", deep);
    EXPECT_EQ(o.status, -1);
    EXPECT_LE(o.message.size(), 2000u);
    EXPECT_GT(o.message.size(), 1000u);
    EXPECT_TRUE(StartsWith(o.message, u"10017 - Не удалось добавить информацию о ключе.\nФункция: "));
    EXPECT_NE(o.message.find(u"filename=" + Utf16(dir_.string())), std::u16string::npos);
}

TEST_F(XmlSignerTest, ExternalEntitiesAreRefusedWithoutBeingRead)
{
    tt::FifoWatch fifo(dir_ / "entity.xml");
    CXmlSigner signer;
    std::u16string doc = u"<?xml version=\"1.0\"?><!DOCTYPE a [<!ENTITY s SYSTEM \"file://" +
                         Utf16(fifo.Path().string()) + u"\">]><a>&s;</a>";
    Outcome o = Sign(signer, doc, dir_ / "signer.pem");
    EXPECT_EQ(o.status, -1);
    EXPECT_TRUE(StartsWith(o.message, u"10005 - Не удалось произвести разбор указанного документа."))
        << Utf8(o.message);
    EXPECT_NE(o.message.find(Utf16(fifo.Path().string())), std::u16string::npos) << Utf8(o.message);
    EXPECT_EQ(o.signedXml, u"");
    // A DTD the document merely names is not read and not an error.
    Outcome dtd = Sign(signer, u"<!DOCTYPE a SYSTEM \"" + Utf16(fifo.Path().string()) + u"\"><a/>",
                       dir_ / "signer.pem");
    EXPECT_EQ(dtd.status, S_OK) << Utf8(dtd.message);
    EXPECT_EQ(fifo.Reads(), 0) << "the signer opened the entity's file";

    // Internal entities and attribute defaults of the internal subset still work.
    Outcome inner =
        Sign(signer, u"<!DOCTYPE a [<!ENTITY w \"word\"><!ATTLIST a kind CDATA \"plain\">]><a>&w;</a>",
             dir_ / "signer.pem");
    ASSERT_EQ(inner.status, S_OK) << Utf8(inner.message);
    EXPECT_NE(inner.signedXml.find(u"<a kind=\"plain\">word<Signature"), std::u16string::npos);
}

TEST_F(XmlSignerTest, ObjectsShareTheLibrariesUntilTheLastStartedOneIsReleased)
{
    auto first = std::make_unique<CXmlSigner>();
    auto second = std::make_unique<CXmlSigner>();
    ASSERT_EQ(Sign(*first, u"<a/>", dir_ / "signer.pem").status, S_OK);
    ASSERT_EQ(Sign(*second, u"<b/>", dir_ / "signer.pem").status, S_OK);
    first.reset();
    EXPECT_TRUE(common::LibrariesRunning());
    Outcome o = Sign(*second, u"<c>after</c>", dir_ / "signer.pem");
    ASSERT_EQ(o.status, S_OK) << Utf8(o.message);
    EXPECT_TRUE(VerifiesWithXmlsec1(Utf8(o.signedXml)));
    second.reset();
    EXPECT_FALSE(common::LibrariesRunning());

    // An object that never signed is released without touching the libraries.
    {
        CXmlSigner idle;
    }
    EXPECT_FALSE(common::LibrariesRunning());
}

TEST_F(XmlSignerTest, LargeDocumentSigns)
{
    std::u16string doc = u"<root>";
    const std::u16string item = u"<item attr=\"value\">Строка данных для подписи</item>\n";
    while (doc.size() < 25u * 1024 * 1024)
        doc += item;
    doc += u"</root>";
    CXmlSigner signer;
    Outcome o = Sign(signer, doc, dir_ / "signer.pem");
    ASSERT_EQ(o.status, S_OK) << Utf8(o.message.substr(0, 500));
    EXPECT_GT(o.signedXml.size(), doc.size());
}
