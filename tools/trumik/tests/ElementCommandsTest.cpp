// trumik sign-element and verify-element, as the interop tests drive them:
// the commands' options, output lines and exit statuses; trumik register
// without a module registers both modules.
#include "Gost2012Fixtures.h"
#include "TestHome.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;
namespace tt = trumik::testing;
using trumik::gost2012test::GetGost2012Fixtures;

namespace {

class ElementCommands : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        const char* build = std::getenv("TRUMIK_BUILD_DIR");
        build_ = build ? build : ".";
        GetGost2012Fixtures();
        dir_ = tt::MakeTempDir("element");
        std::string out;
        ASSERT_EQ(Run("register", &out), 0) << out;
        EXPECT_NE(out.find("Zelvane.Trumik.XmlSigner.so succeeded"), std::string::npos) << out;
        EXPECT_NE(out.find("Zelvane.Trumik.Exchange.so succeeded"), std::string::npos) << out;
        tt::WriteFile(dir_ / "msg.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                        "<m:Msg xmlns:m=\"urn:m\">\n  <m:Data Id=\"A\">Данные</m:Data>\n"
                                        "  <m:Person Id=\"B\">Лицо</m:Person>\n"
                                        "  <m:Sig1 Id=\"S1\"/>\n  <m:Sig2 Id=\"S2\"></m:Sig2>\n</m:Msg>\n");
    }

    static int Run(const std::string& args, std::string* out = nullptr, bool mergeStderr = false)
    {
        return tt::RunCommand((build_ / "bin" / "trumik").string() + " " + args, out, mergeStderr);
    }

    static std::string Key(const std::string& thumbprint)
    {
        return " --store My --thumbprint " + thumbprint + " --pin " + GetGost2012Fixtures().pin + " ";
    }

    static fs::path build_;
    static fs::path dir_;
};

fs::path ElementCommands::build_;
fs::path ElementCommands::dir_;

TEST_F(ElementCommands, TwoSignaturesOneLineEachAndTheExitStatusOfTheWhole)
{
    const auto& f = GetGost2012Fixtures();
    const std::string d = dir_.string();
    std::string out;
    ASSERT_EQ(
        Run("sign-element --id A --into S1" + Key(f.k256.thumbprint) + d + "/msg.xml -o " + d + "/one.xml",
            &out, true),
        0)
        << out;
    // Standard input to standard output, enveloped, exclusive C14N alone.
    ASSERT_EQ(Run("sign-element --id B --profile exc-c14n" + Key(f.k512.thumbprint) + "< " + d +
                      "/one.xml > " + d + "/two.xml",
                  &out, true),
              0)
        << out;
    ASSERT_EQ(Run("verify-element " + d + "/two.xml", &out), 0) << out;
    // In document order: the enveloped one in B comes before the one in S1.
    const std::string line0 = "0\t#B\tvalid\tCN=GOST 2012-512\n", line1 = "1\t#A\tvalid\tCN=GOST 2012-256\n";
    EXPECT_EQ(out.rfind(line0, 0), 0u) << out;
    EXPECT_EQ(out, line0 + line1);

    std::string changed = tt::ReadFile(dir_ / "two.xml");
    changed.replace(changed.find("Данные"), 2, "Х");
    tt::WriteFile(dir_ / "changed.xml", changed);
    ASSERT_EQ(Run("verify-element < " + d + "/changed.xml", &out), 1) << out;
    EXPECT_EQ(out, line0 + "1\t#A\tinvalid\tCN=GOST 2012-256\n");
}

TEST_F(ElementCommands, UsageErrorsAndRefusals)
{
    const auto& f = GetGost2012Fixtures();
    const std::string d = dir_.string();
    std::string out;
    EXPECT_EQ(Run("sign-element --into S1" + Key(f.k256.thumbprint) + d + "/msg.xml", &out, true), 2);
    EXPECT_EQ(Run("sign-element --id A --store My --thumbprint " + f.k256.thumbprint + " " + d + "/msg.xml",
                  &out, true),
              2);
    EXPECT_EQ(Run("verify-element --strict " + d + "/msg.xml", &out, true), 2);
    EXPECT_EQ(Run("sign-element --id NONE" + Key(f.k256.thumbprint) + d + "/msg.xml", &out, true), 1);
    EXPECT_NE(out.find("(Код ошибки - 30025)"), std::string::npos) << out;
    EXPECT_EQ(Run("verify-element " + d + "/msg.xml", &out, true), 1);
    EXPECT_NE(out.find("(Код ошибки - 31009)"), std::string::npos) << out;
}

} // namespace
