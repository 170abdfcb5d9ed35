// trumik sign: a store certificate's GOST key through CMSXmlSigner by name.
#include "SignerFixtures.h"
#include "TestHome.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;
namespace tt = trumik::testing;
using trumik::signertest::GetSignerFixtures;

namespace {

// The component's message is a line of its own; the libraries' reports (and,
// under the sanitizers, their summary) may stand around it.
bool HasLine(const std::string& text, const std::string& line)
{
    const size_t at = text.find(line + "\n");
    return at != std::string::npos && (at == 0 || text[at - 1] == '\n');
}

class SignCommand : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        const char* build = std::getenv("TRUMIK_BUILD_DIR");
        build_ = build ? build : ".";
        GetSignerFixtures();
        dir_ = tt::MakeTempDir("sign");
        std::string out;
        ASSERT_EQ(Run("register " + (build_ / "lib" / "Zelvane.Trumik.XmlSigner.so").string(), &out), 0)
            << out;
    }

    static int Run(const std::string& args, std::string* out = nullptr, bool mergeStderr = false)
    {
        return tt::RunCommand((build_ / "bin" / "trumik").string() + " " + args, out, mergeStderr);
    }

    static fs::path build_;
    static fs::path dir_;
};

fs::path SignCommand::build_;
fs::path SignCommand::dir_;

} // namespace

TEST_F(SignCommand, SignsFilesAndStandardInput)
{
    const auto& f = GetSignerFixtures();
    const std::string d = dir_.string();
    tt::WriteFile(dir_ / "doc.xml", "<?xml version=\"1.0\"?>\n<doc><p>Привет</p></doc>\n");
    std::string out;
    ASSERT_EQ(Run("sign --store My --thumbprint " + f.good.thumbprint + " --pin " + f.pin + " " + d +
                      "/doc.xml -o " + d + "/signed.xml",
                  &out, true),
              0)
        << out;
    const std::string signedText = tt::ReadFile(dir_ / "signed.xml");
    EXPECT_EQ(signedText.rfind("<?xml version=\"1.0\"?>\n<doc><p>Привет</p><Signature xmlns=", 0), 0u)
        << signedText;
    EXPECT_EQ(tt::RunCommand("xmllint --noout " + d + "/signed.xml"), 0);

    // Standard input to standard output; a container without a PIN needs no --pin.
    ASSERT_EQ(Run("sign --store My --thumbprint " + f.goodPlain.thumbprint + " < " + d + "/doc.xml", &out),
              0);
    EXPECT_EQ(out.rfind("<?xml version=\"1.0\"?>\n<doc><p>Привет</p><Signature", 0), 0u) << out;
}

TEST_F(SignCommand, AWindows1251FileStaysInItsCodePage)
{
    const auto& f = GetSignerFixtures();
    const std::string d = dir_.string();
    // "Счёт" in windows-1251.
    const std::string cp1251 = "<?xml version=\"1.0\" encoding=\"windows-1251\"?><doc>\xD1\xF7\xB8\xF2</doc>";
    tt::WriteFile(dir_ / "cp.xml", cp1251);
    std::string out;
    ASSERT_EQ(
        Run("sign --store My --thumbprint " + f.good.thumbprint + " --pin " + f.pin + " " + d + "/cp.xml",
            &out),
        0);
    EXPECT_EQ(out.rfind(cp1251.substr(0, cp1251.size() - 6) + "<Signature", 0), 0u);
    EXPECT_EQ(out.substr(out.size() - 18), "</Signature></doc>");

    // trumik verify reads the signed file in the same code page.
    tt::WriteFile(dir_ / "cp.signed.xml", out);
    EXPECT_EQ(Run("verify --cert " + f.good.der.string() + " " + d + "/cp.signed.xml", &out), 0) << out;
    std::string changed = tt::ReadFile(dir_ / "cp.signed.xml");
    changed.replace(changed.find("\xD1\xF7"), 2, "\xD1\xD1");
    tt::WriteFile(dir_ / "cp.changed.xml", changed);
    EXPECT_EQ(Run("verify --cert " + f.good.der.string() + " " + d + "/cp.changed.xml 2>/dev/null", &out), 1);
}

TEST_F(SignCommand, FailuresExitWithOneAndTheComponentsMessage)
{
    const auto& f = GetSignerFixtures();
    const std::string d = dir_.string();
    tt::WriteFile(dir_ / "doc.xml", "<doc/>");
    std::string err;
    EXPECT_EQ(Run("sign --store My --thumbprint " + f.expired.thumbprint + " --pin 1 " + d +
                      "/doc.xml 2>&1 >/dev/null",
                  &err),
              1);
    EXPECT_EQ(err, "Время действия сертификата истекло.(Код ошибки - 01009)\n");
    EXPECT_EQ(Run("sign --store My --thumbprint " + f.good.thumbprint + " --pin wrong " + d +
                      "/doc.xml 2>&1 >/dev/null",
                  &err),
              1);
    EXPECT_TRUE(HasLine(err, "Не удалось установить пароль для ключа.(Код ошибки - 00011)")) << err;
    tt::WriteFile(dir_ / "bad.xml", "<doc>");
    EXPECT_EQ(
        Run("sign --store My --thumbprint " + f.good.thumbprint + " " + d + "/bad.xml 2>&1 >/dev/null", &err),
        1);
    EXPECT_TRUE(HasLine(err, "Не удалось произвести разбор указанного документа.(Код ошибки - 00019)"))
        << err;
    EXPECT_EQ(Run("sign --thumbprint " + f.good.thumbprint, &err, true), 2);
    EXPECT_EQ(Run("sign --help", &err), 0);
    EXPECT_NE(err.find("usage: trumik sign --store STORE --thumbprint HEX [--pin PIN] [IN] [-o OUT]"),
              std::string::npos);
}

TEST_F(SignCommand, CallReachesTheClassByName)
{
    const auto& f = GetSignerFixtures();
    std::string json;
    ASSERT_EQ(Run("call ZelvaneTrumikXmlSigner.MSXmlSigner SignWithCertStorePass '<d/>' My " +
                      f.good.thumbprint + " " + f.pin,
                  &json),
              0);
    EXPECT_EQ(json.rfind("{\"hresult\": \"0x00000000\", \"result\": \"<d><Signature", 0), 0u) << json;
    EXPECT_NE(json.find("\"error\": {\"message\": \"\", \"code\": 0, \"stack\": \"\"}}"), std::string::npos)
        << json;
    ASSERT_EQ(Run("call ZelvaneTrumikXmlSigner.MSXmlSigner SignWithCertStore '<d/>' My null", &json), 0);
    EXPECT_EQ(json.rfind("{\"hresult\": \"0x00000001\", \"result\": ", 0), 0u) << json;
    EXPECT_NE(json.find("\"code\": 1,"), std::string::npos) << json;
}

namespace {

bool IsUtf8(const std::string& text)
{
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > text.size())
            return false;
        for (size_t k = 1; k < n; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
                return false;
        }
        i += n;
    }
    return true;
}

} // namespace

// What the libraries report on standard error is for a person reading a UTF-8
// terminal or log: the provider's Russian reason readable, source files named
// within the source tree.
TEST_F(SignCommand, ReportsOnStandardErrorAreUtf8AndNameSourcesInTheTree)
{
    const auto& f = GetSignerFixtures();
    tt::WriteFile(dir_ / "report.xml", "<doc/>");
    std::string err;
    // Without a PIN the key is refused when it signs: the library reports it.
    ASSERT_EQ(Run("sign --store My --thumbprint " + f.good.thumbprint + " " + (dir_ / "report.xml").string() +
                      " 2>&1 >/dev/null",
                  &err),
              1);
    EXPECT_TRUE(IsUtf8(err)) << err;
    EXPECT_NE(err.find("Был введен неверный PIN-код."), std::string::npos) << err;
    size_t at = err.find("platform/xmlsec-mscrypto/");
    ASSERT_NE(at, std::string::npos) << err;
    for (; at != std::string::npos; at = err.find("platform/xmlsec-mscrypto/", at + 1))
        EXPECT_TRUE(at >= 5 && err.compare(at - 5, 5, "file=") == 0)
            << "a path outside the tree: " << err.substr(at >= 40 ? at - 40 : 0, 80);
}
