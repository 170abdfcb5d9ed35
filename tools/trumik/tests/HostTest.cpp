// The host as a user runs it: registration, calls by name, scripts, the registry.
#include "TestHome.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;
namespace tt = trumik::testing;

namespace {

class HostTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        const char* build = std::getenv("TRUMIK_BUILD_DIR");
        build_ = build ? build : ".";
        dir_ = tt::MakeTempDir("host");
        std::string d = dir_.string();
        ASSERT_EQ(tt::RunCommand("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=Host -days 3 -keyout " +
                                 d + "/k.pem -out " + d + "/c.pem"),
                  0);
        tt::WriteFile(dir_ / "signer.pem", tt::ReadFile(dir_ / "k.pem") + tt::ReadFile(dir_ / "c.pem"));
        tt::WriteFile(dir_ / "doc.xml", "<?xml version=\"1.0\"?>\n<doc><p>Привет</p></doc>\n");
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

fs::path HostTest::build_;
fs::path HostTest::dir_;

} // namespace

TEST_F(HostTest, CallSignsAndXmlsec1Verifies)
{
    std::string json;
    fs::path signedFile = dir_ / "signed.xml";
    ASSERT_EQ(Run("call ZelvaneTrumik.XmlSigner SignWithKey @" + (dir_ / "doc.xml").string() + " " +
                      (dir_ / "signer.pem").string() + " --out " + signedFile.string(),
                  &json),
              0);
    // The result went into the file; the JSON names the file instead.
    EXPECT_EQ(
        json.rfind("{\"hresult\": \"0x00000000\", \"result\": {\"out\": \"" + signedFile.string() + "\"}", 0),
        0u)
        << json;
    EXPECT_NE(json.find("\"error\": {\"message\": \"\", \"code\": null, \"stack\": null}}"),
              std::string::npos);
    std::string log;
    EXPECT_EQ(tt::RunCommand("xmlsec1 --verify --pubkey-cert-pem " + (dir_ / "c.pem").string() + " " +
                                 signedFile.string(),
                             &log),
              0)
        << log;
    EXPECT_NE(tt::ReadFile(signedFile).find("<p>Привет</p><Signature"), std::string::npos);
}

TEST_F(HostTest, FailuresCarryTheComponentsStatusAndMessage)
{
    std::string json;
    EXPECT_EQ(Run("call ZelvaneTrumik.XmlSigner SignWithKey null " + (dir_ / "signer.pem").string(), &json),
              0);
    EXPECT_EQ(
        json,
        "{\"hresult\": \"0x00000001\", \"result\": null, \"error\": {\"message\": \"\", \"code\": null, "
        "\"stack\": null}}\n");
    EXPECT_EQ(
        Run("call ZelvaneTrumik.XmlSigner SignWithKey '<a/>' " + (dir_ / "missing.pem").string(), &json), 0);
    EXPECT_EQ(json,
              "{\"hresult\": \"0x00000001\", \"result\": null, \"error\": {\"message\": \"10001 - Путь к "
              "PEM-файлу пуст или PEM-файл с ключём не найден.\", \"code\": null, \"stack\": null}}\n");
    EXPECT_EQ(Run("call ZelvaneTrumik.XmlSigner SignWithKey '<a/>' " + (dir_ / "c.pem").string(), &json), 0);
    EXPECT_EQ(
        json.rfind("{\"hresult\": \"0xFFFFFFFF\", \"result\": null, \"error\": {\"message\": \"10017 - Не "
                   "удалось добавить информацию о ключе.\\nФункция: ",
                   0),
        0u)
        << json;
}

TEST_F(HostTest, UnknownNamesAndObjectsExitWithTwo)
{
    std::string json;
    EXPECT_EQ(Run("call ZelvaneTrumik.XmlSigner Frobnicate", &json), 2);
    EXPECT_EQ(json, "{\"hresult\": \"0x80020006\"}\n");
    EXPECT_EQ(Run("call No.Such.Class SignWithKey", &json), 2);
    EXPECT_EQ(json, "{\"hresult\": \"0x800401F3\"}\n");
    // Wrong argument counts and types are the dispatch layer's answers, and Invoke was called.
    EXPECT_EQ(Run("call ZelvaneTrumik.XmlSigner SignWithKey onlyone", &json), 0);
    EXPECT_EQ(json.rfind("{\"hresult\": \"0x8002000E\"", 0), 0u) << json;
    EXPECT_EQ(
        Run("call ZelvaneTrumik.XmlSigner SignWithKey bytes:@" + (dir_ / "doc.xml").string() + " x", &json),
        0);
    EXPECT_EQ(json.rfind("{\"hresult\": \"0x80020005\"", 0), 0u) << json;
    EXPECT_EQ(Run("call ZelvaneTrumik.XmlSigner SignWithKey int:12 x", &json), 0);
    EXPECT_NE(json.find("10001 - "), std::string::npos) << json;
}

// A date argument must name a real day and time: the platform's
// SystemTimeToVariantTime would roll 30 February over to 2 March.
TEST_F(HostTest, ImpossibleDateArgumentsAreRefused)
{
    for (const char* date :
         {"2026-02-30", "2026-13-01", "2026-01-00", "2026-01-01T24:00:00", "2026-01-01T00:60:00"}) {
        std::string out;
        EXPECT_EQ(Run(std::string("call ZelvaneTrumik.XmlSigner SignWithKey x date:") + date, &out, true), 2)
            << date;
        EXPECT_NE(out.find(std::string("not a valid date: date:") + date), std::string::npos) << out;
    }
    std::string json;
    EXPECT_EQ(Run("call ZelvaneTrumik.XmlSigner SignWithKey x date:2024-02-29T23:59:59", &json), 0);
    EXPECT_NE(json.find("hresult"), std::string::npos) << json; // the call was made
}

TEST_F(HostTest, ScriptKeepsObjectsAcrossLines)
{
    fs::path script = dir_ / "script.jsonl";
    tt::WriteFile(script, "{\"new\": \"s\", \"progid\": \"ZelvaneTrumik.XmlSigner.1\"}\n"
                          "{\"call\": \"s\", \"method\": \"SignWithKey\", \"args\": [\"<a/>\", \"" +
                              (dir_ / "missing.pem").string() +
                              "\"]}\n"
                              "{\"call\": \"s\", \"method\": \"SignFGetLastError\", \"args\": []}\n"
                              "{\"release\": \"s\"}\n"
                              "not json\n");
    std::string out;
    EXPECT_EQ(Run("script " + script.string(), &out), 1);
    EXPECT_NE(out.find("{\"new\": \"s\", \"hresult\": \"0x00000000\"}\n"), std::string::npos) << out;
    EXPECT_NE(
        out.find("{\"hresult\": \"0x00000000\", \"result\": \"10001 - Путь к PEM-файлу пуст или PEM-файл с "
                 "ключём не найден.\""),
        std::string::npos)
        << out;
    EXPECT_NE(out.find("{\"release\": \"s\", \"refs\": 0}\n"), std::string::npos) << out;
    EXPECT_NE(out.find("{\"error\": "), std::string::npos) << out;
}

TEST_F(HostTest, RegQueriesAndEditsTheRegistry)
{
    std::string out;
    ASSERT_EQ(Run("reg query 'HKCR\\ZelvaneTrumik.XmlSigner\\CurVer'", &out), 0);
    EXPECT_NE(out.find("    (Default)    REG_SZ    ZelvaneTrumik.XmlSigner.1\n"), std::string::npos) << out;
    EXPECT_EQ(Run("reg add 'HKCU\\Software\\Trumik test' /v Name /d Значение", &out), 0);
    ASSERT_EQ(Run("reg query 'HKCU\\Software\\Trumik test' /v Name", &out), 0);
    EXPECT_NE(out.find("    Name    REG_SZ    Значение\n"), std::string::npos) << out;
    EXPECT_EQ(Run("reg delete 'HKCU\\Software\\Trumik test'", &out), 0);
    EXPECT_EQ(Run("reg query 'HKCU\\Software\\Trumik test'", &out, true), 1);
    EXPECT_NE(out.find("ERROR: The system was unable to find the specified registry key or value."),
              std::string::npos);
}

TEST_F(HostTest, SignPemByLateBinding)
{
    std::string out;
    fs::path signedFile = dir_ / "pem-signed.xml";
    ASSERT_EQ(Run("sign-pem --key " + (dir_ / "signer.pem").string() + " " + (dir_ / "doc.xml").string() +
                  " -o " + signedFile.string()),
              0);
    EXPECT_EQ(tt::RunCommand("xmlsec1 --verify --pubkey-cert-pem " + (dir_ / "c.pem").string() + " " +
                             signedFile.string()),
              0);
    EXPECT_EQ(Run("sign-pem --key " + (dir_ / "missing.pem").string() + " " + (dir_ / "doc.xml").string(),
                  &out, true),
              1);
    EXPECT_EQ(out, "10001 - Путь к PEM-файлу пуст или PEM-файл с ключём не найден.\n");
}

// The document crosses the host as UTF-8, then as a BSTR of UTF-16: text of
// one, two, three and four bytes a character (a surrogate pair) comes back
// byte for byte around the inserted signature, and the signature is the same
// on every run (RSA-SHA1 signs deterministically).
TEST_F(HostTest, SignPemKeepsEveryCharacterAndSignsTheSameBytesEveryTime)
{
    const std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<doc a=\"é\"><p>Привет, €, 😀 и ещё "
                             "😀</p><q>" +
                             std::string(70000, 'x') + "</q></doc>\n";
    tt::WriteFile(dir_ / "wide.xml", text);
    for (const char* name : {"wide-1.xml", "wide-2.xml"})
        ASSERT_EQ(Run("sign-pem --key " + (dir_ / "signer.pem").string() + " " +
                      (dir_ / "wide.xml").string() + " -o " + (dir_ / name).string()),
                  0);
    const std::string first = tt::ReadFile(dir_ / "wide-1.xml");
    EXPECT_EQ(first, tt::ReadFile(dir_ / "wide-2.xml"));
    const size_t open = first.find("<Signature"), close = first.find("</Signature>");
    ASSERT_NE(open, std::string::npos);
    ASSERT_NE(close, std::string::npos);
    EXPECT_EQ(first.substr(0, open) + first.substr(close + std::string("</Signature>").size()), text);
    EXPECT_EQ(tt::RunCommand("xmlsec1 --verify --pubkey-cert-pem " + (dir_ / "c.pem").string() + " " +
                             (dir_ / "wide-1.xml").string()),
              0);
}

TEST_F(HostTest, SignPemTakesBytesThatAreNotUtf8AsReplacementCharactersAndKeepsTheRest)
{
    // Stray continuation bytes and a cut four-byte character: the document
    // reaches the signer with U+FFFD for each, and every byte after them too
    // (the stray bytes take more units than well-formed text of their length).
    const std::string tail(30000, 'y');
    std::string replaced;
    for (int i = 0; i < 40; ++i)
        replaced += "\xEF\xBF\xBD";
    tt::WriteFile(dir_ / "stray.xml",
                  "<doc><p>a" + std::string(40, '\x80') + "b \xF0\x9F\x98</p><q>" + tail + "</q></doc>\n");
    ASSERT_EQ(Run("sign-pem --key " + (dir_ / "signer.pem").string() + " " + (dir_ / "stray.xml").string() +
                  " -o " + (dir_ / "stray-signed.xml").string()),
              0);
    const std::string out = tt::ReadFile(dir_ / "stray-signed.xml");
    EXPECT_EQ(out.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<doc><p>a" + replaced +
                            "b \xEF\xBF\xBD</p><q>" + tail + "</q><Signature",
                        0),
              0u)
        << out.substr(0, 80);
    EXPECT_EQ(tt::RunCommand("xmlsec1 --verify --pubkey-cert-pem " + (dir_ / "c.pem").string() + " " +
                             (dir_ / "stray-signed.xml").string()),
              0);
}

TEST_F(HostTest, HelpGoesToStandardOutputAndUnknownCommandsToStandardError)
{
    std::string out;
    ASSERT_EQ(Run("--help 2>/dev/null", &out), 0);
    // One line for each command, each with a description.
    for (const char* command : {"register", "sign", "verify", "sign-pem", "encrypt", "decrypt", "call",
                                "script", "cert", "container", "provider", "reg"}) {
        const std::string start = std::string("\n  ") + command + " ";
        const size_t at = out.find(start);
        ASSERT_NE(at, std::string::npos) << command << "\n" << out;
        const size_t end = out.find('\n', at + 1);
        EXPECT_GT(end - at, start.size() + 20) << "no description for " << command;
    }
    std::string err;
    EXPECT_EQ(Run("--help 2>&1 >/dev/null", &err), 0);
    EXPECT_EQ(err, "");
    EXPECT_EQ(Run("frobnicate 2>/dev/null", &out), 2);
    EXPECT_EQ(out, "");
    EXPECT_EQ(Run("frobnicate 2>&1 >/dev/null", &err), 2);
    EXPECT_EQ(err.rfind("trumik: unknown command \"frobnicate\"\nusage: trumik COMMAND", 0), 0u) << err;
    EXPECT_EQ(Run("", &out), 2) << "no command is a usage error";
}
