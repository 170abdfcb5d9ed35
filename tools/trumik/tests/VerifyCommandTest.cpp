// trumik verify as a user runs it: exit status and the component's message.
#include "TestHome.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;
namespace tt = trumik::testing;

namespace {

class VerifyCommandTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        const char* build = std::getenv("TRUMIK_BUILD_DIR");
        build_ = build ? build : ".";
        dir_ = tt::MakeTempDir("verify-command");
        const std::string cd = "cd '" + dir_.string() + "' && ";
        ASSERT_EQ(
            tt::RunCommand(cd + "openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=R -days 3 -keyout r.key "
                                "-out r.pem && openssl x509 -in r.pem -outform DER -out r.der && "
                                "openssl req -x509 -engine gost -newkey gost2001 -pkeyopt paramset:A "
                                "-md_gost94 -nodes -keyout g.key -out g.pem -days 30 -subj /CN=G "
                                "-addext keyUsage=digitalSignature,nonRepudiation && "
                                "openssl x509 -in g.pem -outform DER -out g.der"),
            0);
        // An enveloped GOST signature made by openssl alone.
        tt::WriteFile(dir_ / "doc.xml", "<doc><p>Привет</p></doc>");
        tt::WriteFile(dir_ / "sign.sh", R"(set -e
d=$(xmllint --c14n doc.xml | openssl dgst -engine gost -md_gost94 -binary 2>/dev/null | base64 -w0)
si='<SignedInfo><CanonicalizationMethod Algorithm="http://www.w3.org/TR/2001/REC-xml-c14n-20010315"></CanonicalizationMethod><SignatureMethod Algorithm="http://www.w3.org/2001/04/xmldsig-more#gostr34102001-gostr3411"></SignatureMethod><Reference URI=""><Transforms><Transform Algorithm="http://www.w3.org/2000/09/xmldsig#enveloped-signature"></Transform></Transforms><DigestMethod Algorithm="http://www.w3.org/2001/04/xmldsig-more#gostr3411"></DigestMethod><DigestValue>'$d'</DigestValue></Reference></SignedInfo>'
printf '%s' "$si" | sed 's|<SignedInfo>|<SignedInfo xmlns="http://www.w3.org/2000/09/xmldsig#">|' > si.xml
v=$(xmllint --c14n si.xml | openssl dgst -engine gost -md_gost94 -binary 2>/dev/null | openssl pkeyutl -engine gost -sign -inkey g.key 2>/dev/null | base64 -w0)
printf '<doc><p>Привет</p><Signature xmlns="http://www.w3.org/2000/09/xmldsig#">%s<SignatureValue>%s</SignatureValue></Signature></doc>' "$si" "$v" > signed.xml
sed 's|Привет|Пока|' signed.xml > altered.xml
)");
        ASSERT_EQ(tt::RunCommand(cd + "bash sign.sh"), 0);
        std::string out;
        ASSERT_EQ(Run("register " + (build_ / "lib" / "Zelvane.Trumik.XmlSigner.so").string(), &out), 0)
            << out;
    }

    static int Run(const std::string& args, std::string* out = nullptr, bool mergeStderr = false)
    {
        return tt::RunCommand((build_ / "bin" / "trumik").string() + " " + args, out, mergeStderr);
    }
    static std::string File(const char* name) { return "'" + (dir_ / name).string() + "'"; }

    static fs::path build_;
    static fs::path dir_;
};

fs::path VerifyCommandTest::build_;
fs::path VerifyCommandTest::dir_;

} // namespace

TEST_F(VerifyCommandTest, HelpAndUsage)
{
    std::string out;
    EXPECT_EQ(Run("verify --help", &out), 0);
    EXPECT_NE(out.find("--cert FILE"), std::string::npos) << out;
    EXPECT_EQ(Run("verify " + File("signed.xml"), &out, true), 2) << "no certificate";
    EXPECT_EQ(Run("verify --cert x --date 2020-01-01 --no-cert-check", &out, true), 2);
}

TEST_F(VerifyCommandTest, CertificateChecksSpeakOnStandardError)
{
    ASSERT_TRUE(fs::exists(build_ / "lib" / "libxmlsec1-mscrypto.so"))
        << "the mscrypto back-end is not built: no " << (build_ / "lib" / "libxmlsec1-mscrypto.so");
    std::string err;
    EXPECT_EQ(Run("verify --cert " + File("r.der") + " " + File("signed.xml") + " 2>&1 >/dev/null", &err), 1);
    EXPECT_NE(err.find("Алгоритм подписи указанного сертификата не поддерживается ГОСТ.(Код ошибки-21007)"),
              std::string::npos)
        << err;
    EXPECT_EQ(Run("verify --cert " + File("g.der") + " --date 2001-01-01 " + File("signed.xml") +
                      " 2>&1 >/dev/null",
                  &err),
              1);
    EXPECT_NE(err.find("(Код ошибки-20007)"), std::string::npos) << err;
    EXPECT_EQ(
        Run("verify --cert " + File("missing.der") + " < " + File("signed.xml") + " 2>&1 >/dev/null", &err),
        1);
    EXPECT_NE(err.find("(Код ошибки-(-02003))"), std::string::npos) << err;
}

TEST_F(VerifyCommandTest, GostSignatureMadeByOpensslVerifies)
{
    ASSERT_TRUE(fs::exists(build_ / "lib" / "libxmlsec1-mscrypto.so"))
        << "the mscrypto back-end is not built: no " << (build_ / "lib" / "libxmlsec1-mscrypto.so");
    std::string err;
    EXPECT_EQ(Run("verify --cert " + File("g.der") + " " + File("signed.xml") + " 2>&1", &err), 0) << err;
    EXPECT_EQ(
        Run("verify --no-cert-check --cert " + File("g.der") + " < " + File("signed.xml") + " 2>&1", &err), 0)
        << err;
    EXPECT_EQ(Run("verify --cert " + File("g.der") + " " + File("altered.xml") + " 2>&1", &err), 1);
    EXPECT_NE(err.find("not valid"), std::string::npos) << err;
}
