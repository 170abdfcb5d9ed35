// Usage errors of every command as a user meets them: on standard error,
// naming what was wrong, exit status 2, nothing on standard output.
#include "TestHome.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;
namespace tt = trumik::testing;

namespace {

class UsageTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        const char* build = std::getenv("TRUMIK_BUILD_DIR");
        build_ = build ? build : ".";
        dir_ = tt::MakeTempDir("usage");
        tt::WriteFile(dir_ / "doc.xml", "<doc/>");
    }

    // Runs trumik in the test's folder, its two output streams apart.
    int Run(const std::string& args, std::string& out, std::string& err)
    {
        return tt::RunApart(dir_, "'" + (build_ / "bin" / "trumik").string() + "' " + args, out, err);
    }

    fs::path build_;
    fs::path dir_;
};

} // namespace

TEST_F(UsageTest, EveryCommandNamesItsUsageErrorOnStandardErrorWithStatusTwo)
{
    struct Case {
        const char* args;
        const char* said; // the first line of standard error
        const char* topic;
    };
    const Case cases[] = {
        {"sign --bogus doc.xml", "trumik: unknown option --bogus", "sign"},
        {"sign --store My doc.xml", "trumik: sign needs --thumbprint", "sign"},
        {"sign --store My --thumbprint AB doc.xml other.xml", "trumik: unexpected argument other.xml",
         "sign"},
        {"sign-pem doc.xml", "trumik: sign-pem needs --key", "sign-pem"},
        {"sign-pem --key k.pem -x doc.xml", "trumik: unknown option -x", "sign-pem"},
        {"verify doc.xml", "trumik: verify needs --cert", "verify"},
        {"verify --cert c.der --date garbage doc.xml",
         "trumik: --date: not a date YYYY-MM-DD[THH:MM:SS]: garbage", "verify"},
        {"verify --cert c.der --date 2023-02-30 doc.xml", "trumik: --date: not a valid date: 2023-02-30",
         "verify"},
        {"verify --cert c.der --date 2024-01-01 --no-cert-check doc.xml",
         "trumik: --date and --no-cert-check do not go together", "verify"},
        {"encrypt --store My doc.xml", "trumik: encrypt needs --thumbprint", "encrypt"},
        {"decrypt --store My --thumbprint AB --pin", "trumik: --pin needs a value", "decrypt"},
        {"container-name --store My --thumbprint AB --base64", "trumik: unknown option --base64",
         "container-name"},
        {"provider-info extra", "trumik: unexpected argument extra", "provider-info"},
        {"call ZelvaneTrumik.XmlSigner", "trumik: call needs a METHOD", "call"},
        {"call ZelvaneTrumik.XmlSigner SignWithKey --out", "trumik: --out needs a value", "call"},
        {"script --verbose", "trumik: unknown option --verbose", "script"},
        {"register one two", "trumik: unexpected argument two", "register"},
        {"cert new", "trumik: cert new needs --subject DN", "cert"},
    };
    for (const Case& c : cases) {
        std::string out, err;
        EXPECT_EQ(Run(c.args, out, err), 2) << c.args;
        EXPECT_EQ(out, "") << c.args << ": the usage error reached standard output";
        EXPECT_EQ(err, std::string(c.said) + "\nSee trumik " + c.topic + " --help.\n") << c.args;
    }
    // Redirected into a file, a usage error leaves the file empty.
    std::string out, err;
    ASSERT_EQ(Run("sign --bogus doc.xml -o signed.xml", out, err), 2);
    EXPECT_FALSE(fs::exists(dir_ / "signed.xml"));
}

TEST_F(UsageTest, UnknownOrMissingCommandsNameThemselvesBeforeTheOverview)
{
    std::string out, err;
    EXPECT_EQ(Run("foo", out, err), 2);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err.rfind("trumik: unknown command \"foo\"\nusage: trumik COMMAND", 0), 0u) << err;
    EXPECT_EQ(Run("", out, err), 2);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err.rfind("trumik: no command given\nusage: trumik COMMAND", 0), 0u) << err;
    EXPECT_EQ(Run("help foo", out, err), 2);
    EXPECT_EQ(err.rfind("trumik: unknown command \"foo\"\n", 0), 0u) << err;
}

TEST_F(UsageTest, HelpAndVersionGoToStandardOutput)
{
    std::string out, err;
    EXPECT_EQ(Run("--version", out, err), 0);
    EXPECT_EQ(out, "trumik 1.4.0\n");
    EXPECT_EQ(err, "");
    EXPECT_EQ(Run("verify --help", out, err), 0);
    EXPECT_EQ(out.rfind("usage: trumik verify --cert FILE", 0), 0u) << out;
    EXPECT_NE(out.find("-q, --quiet"), std::string::npos) << out;
    EXPECT_EQ(err, "");
    EXPECT_EQ(Run("--help", out, err), 0);
    EXPECT_NE(out.find("trumik --version"), std::string::npos) << out;
}
