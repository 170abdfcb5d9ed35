// The lines trumik adds after the component's message (a GOST R 34.10-2012
// certificate while the switch is off, a refused PIN), and what a successful
// verification prints.
#include "TestHome.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;
namespace tt = trumik::testing;

namespace {

const char kGost2012Hint[] =
    "trumik: the certificate uses GOST R 34.10-2012; `trumik provider gost2012 on` makes "
    "the component accept it";
const char kPinHint[] = "trumik: the PIN was refused; give the key container's PIN with --pin";

class HintTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        const char* build = std::getenv("TRUMIK_BUILD_DIR");
        build_ = build ? build : ".";
        dir_ = tt::MakeTempDir("hints");
        tt::WriteFile(dir_ / "doc.xml", "<doc><p>Привет</p></doc>");
        std::string out, err;
        ASSERT_EQ(Run("register " + (build_ / "lib" / "Zelvane.Trumik.XmlSigner.so").string(), out, err), 0)
            << err;
        ASSERT_EQ(Run("cert new --subject CN=Key2001 --container k2001 --pin 1234 --out k2001.der", out, err),
                  0)
            << err;
        thumbprint2001_ = out.substr(0, 40);
        ASSERT_EQ(
            Run("cert new --subject CN=Key2012 --algorithm gost2012-256 --container k2012 --pin 1234 --out "
                "k2012.der",
                out, err),
            0)
            << err;
        thumbprint2012_ = out.substr(0, 40);
        ASSERT_EQ(Run("sign --store My --thumbprint " + thumbprint2001_ + " --pin 1234 doc.xml -o signed.xml",
                      out, err),
                  0)
            << err;
    }

    // Runs trumik in the test's folder, its two output streams apart.
    static int Run(const std::string& args, std::string& out, std::string& err)
    {
        return tt::RunApart(dir_, "'" + (build_ / "bin" / "trumik").string() + "' " + args, out, err);
    }

    static std::string LastLine(const std::string& text)
    {
        const std::string trimmed = text.substr(0, text.find_last_not_of('\n') + 1);
        return trimmed.substr(trimmed.find_last_of('\n') + 1);
    }
    // The line before the last.
    static std::string LineBeforeLast(const std::string& text)
    {
        const std::string trimmed = text.substr(0, text.find_last_not_of('\n') + 1);
        return LastLine(trimmed.substr(0, trimmed.find_last_of('\n') + 1));
    }

    static void Switch(const char* state)
    {
        std::string out, err;
        ASSERT_EQ(Run(std::string("provider gost2012 ") + state, out, err), 0) << err;
    }

    static fs::path build_;
    static fs::path dir_;
    static std::string thumbprint2001_;
    static std::string thumbprint2012_;
};

fs::path HintTest::build_;
fs::path HintTest::dir_;
std::string HintTest::thumbprint2001_;
std::string HintTest::thumbprint2012_;

} // namespace

TEST_F(HintTest, Gost2012CertificateWithTheSwitchOffSaysWhatToDoAfterTheComponentsMessage)
{
    Switch("off");
    std::string out, err;
    EXPECT_EQ(Run("sign --store My --thumbprint " + thumbprint2012_ + " --pin 1234 doc.xml", out, err), 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(LastLine(err), kGost2012Hint) << err;
    EXPECT_EQ(LineBeforeLast(err),
              "Алгоритм подписи указанного сертификата не поддерживается ГОСТ.(Код ошибки - 03007)")
        << err;

    EXPECT_EQ(Run("verify --cert k2012.der signed.xml", out, err), 1);
    EXPECT_EQ(LastLine(err), kGost2012Hint) << err;
    EXPECT_EQ(LineBeforeLast(err),
              "Алгоритм подписи указанного сертификата не поддерживается ГОСТ.(Код ошибки-21007)")
        << err;

    EXPECT_EQ(Run("encrypt --store My --thumbprint " + thumbprint2012_ + " doc.xml -o doc.p7m", out, err), 1);
    EXPECT_EQ(LastLine(err), kGost2012Hint) << err;
    EXPECT_NE(err.find("(Код ошибки - 81011)"), std::string::npos) << err;

    // Other failures, and GOST R 34.10-2001 certificates, get no hint.
    EXPECT_EQ(Run("verify --cert k2001.der --date 2001-01-01 signed.xml", out, err), 1);
    EXPECT_EQ(err.find("trumik:"), std::string::npos) << err;
    EXPECT_EQ(Run("sign --store My --thumbprint " + std::string(40, '0') + " doc.xml", out, err), 1);
    EXPECT_EQ(err.find("trumik:"), std::string::npos) << err;
}

TEST_F(HintTest, WithTheSwitchOnTheSameCertificateWorks)
{
    Switch("on");
    std::string out, err;
    EXPECT_EQ(Run("sign --store My --thumbprint " + thumbprint2012_ + " --pin 1234 doc.xml -o signed2012.xml",
                  out, err),
              0)
        << err;
    EXPECT_EQ(Run("verify --cert k2012.der signed2012.xml", out, err), 0) << err;
    EXPECT_EQ(err, "");
    Switch("off");
}

TEST_F(HintTest, ASuccessfulVerificationSaysValidUnlessQuiet)
{
    std::string out, err;
    EXPECT_EQ(Run("verify --cert k2001.der signed.xml", out, err), 0) << err;
    EXPECT_EQ(out, "valid\n");
    EXPECT_EQ(Run("verify -q --cert k2001.der signed.xml", out, err), 0) << err;
    EXPECT_EQ(out, "");
    EXPECT_EQ(Run("verify --quiet --cert k2001.der < signed.xml", out, err), 0) << err;
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
}

TEST_F(HintTest, ARefusedPinWhenDecryptingSaysToGiveIt)
{
    std::string out, err;
    ASSERT_EQ(
        Run("encrypt --base64 --store My --thumbprint " + thumbprint2001_ + " doc.xml -o doc.b64", out, err),
        0)
        << err;
    EXPECT_EQ(
        Run("decrypt --base64 --store My --thumbprint " + thumbprint2001_ + " --pin 0000 doc.b64", out, err),
        1);
    EXPECT_EQ(LastLine(err), kPinHint) << err;
}

TEST_F(HintTest, AMissingPinWhenSigningSaysToGiveIt)
{
    std::string out, err;
    EXPECT_EQ(Run("sign --store My --thumbprint " + thumbprint2001_ + " doc.xml", out, err), 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(LastLine(err), kPinHint) << err;
    EXPECT_EQ(LineBeforeLast(err), "Не удалось сформировать подпись.(Код ошибки - 00033)") << err;
}

// Checks the provider's refusal of a wrong PIN when it is set (code 11,
// before any signing starts). Until the provider refuses there, signing fails
// later with 33 and the test is skipped, saying so.
TEST_F(HintTest, ARefusedPinWhenSigningSaysToGiveIt)
{
    std::string out, err;
    EXPECT_EQ(Run("sign --store My --thumbprint " + thumbprint2001_ + " --pin 0000 doc.xml", out, err), 1);
    EXPECT_EQ(LastLine(err), kPinHint) << err;
    if (err.find("(Код ошибки - 00033)") != std::string::npos)
        GTEST_SKIP() << "the provider takes a wrong PIN when it is set and refuses it at signing (33): "
                     << err;
    EXPECT_EQ(LineBeforeLast(err), "Не удалось установить пароль для ключа.(Код ошибки - 00011)") << err;
}
