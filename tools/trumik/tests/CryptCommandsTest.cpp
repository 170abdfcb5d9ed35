// trumik encrypt, decrypt, container-name and provider-info as a user runs
// them, against a certificate made with trumik cert new and against openssl.
#include "TestHome.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;
namespace tt = trumik::testing;

namespace {

class CryptCommandsTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        const char* build = std::getenv("TRUMIK_BUILD_DIR");
        build_ = build ? build : ".";
        dir_ = tt::MakeTempDir("cryptcmd");
        std::string out;
        ASSERT_EQ(Run("register " + (build_ / "lib" / "Zelvane.Trumik.XmlSigner.so").string(), &out), 0)
            << out;
        ASSERT_EQ(Run("cert new --subject CN=Recipient --container cmd-key --pin 4321", &thumbprint_), 0)
            << thumbprint_;
        while (!thumbprint_.empty() && (thumbprint_.back() == '\n' || thumbprint_.back() == '\r'))
            thumbprint_.pop_back();
        ASSERT_EQ(thumbprint_.size(), 40u) << thumbprint_;
        tt::WriteFile(dir_ / "plain.txt", "Сообщение для получателя\n");
    }

    static int Run(const std::string& args, std::string* out = nullptr, bool mergeStderr = false)
    {
        return tt::RunCommand((build_ / "bin" / "trumik").string() + " " + args, out, mergeStderr);
    }
    static std::string Path(const char* name) { return (dir_ / name).string(); }
    static std::string Cert() { return "--store My --thumbprint " + thumbprint_; }

    static fs::path build_;
    static fs::path dir_;
    static std::string thumbprint_;
};

fs::path CryptCommandsTest::build_;
fs::path CryptCommandsTest::dir_;
std::string CryptCommandsTest::thumbprint_;

} // namespace

TEST_F(CryptCommandsTest, BinaryRoundTripAndOpenssl)
{
    std::string out;
    ASSERT_EQ(Run("encrypt " + Cert() + " " + Path("plain.txt") + " -o " + Path("msg.der"), &out, true), 0)
        << out;
    ASSERT_EQ(
        Run("decrypt " + Cert() + " --pin 4321 -o " + Path("back.txt") + " < " + Path("msg.der"), &out, true),
        0)
        << out;
    EXPECT_EQ(tt::ReadFile(dir_ / "back.txt"), tt::ReadFile(dir_ / "plain.txt"));

    ASSERT_EQ(Run("cert export " + thumbprint_ + " --out " + Path("cert.pem"), &out, true), 0) << out;
    ASSERT_EQ(Run("container export cmd-key --pin 4321 --out " + Path("key.pem"), &out, true), 0) << out;
    ASSERT_EQ(tt::RunCommand("openssl cms -decrypt -engine gost -inform DER -in " + Path("msg.der") +
                                 " -recip " + Path("cert.pem") + " -inkey " + Path("key.pem") + " -out " +
                                 Path("openssl.txt"),
                             &out),
              0)
        << out;
    EXPECT_EQ(tt::ReadFile(dir_ / "openssl.txt"), tt::ReadFile(dir_ / "plain.txt"));

    // A wrong PIN: exit status 1 and the component's message on standard error.
    std::string err;
    EXPECT_EQ(Run("decrypt " + Cert() + " --pin 0000 " + Path("msg.der") + " 2>&1 >/dev/null", &err), 1);
    EXPECT_NE(err.find("Не удалось установить пароль для ключа.(Код ошибки - 82011)"), std::string::npos)
        << err;
}

TEST_F(CryptCommandsTest, Base64AndContainerName)
{
    std::string out;
    ASSERT_EQ(tt::RunCommand("base64 " + Path("plain.txt") + " > " + Path("plain.b64")), 0);
    ASSERT_EQ(
        Run("encrypt --base64 " + Cert() + " " + Path("plain.b64") + " -o " + Path("msg.b64"), &out, true), 0)
        << out;
    const std::string message = tt::ReadFile(dir_ / "msg.b64");
    EXPECT_EQ(message.find('\n'), message.size() - 1) << "one line of Base64";
    ASSERT_EQ(Run("decrypt --base64 " + Cert() + " --pin 4321 " + Path("msg.b64"), &out), 0) << out;
    std::string canonical;
    ASSERT_EQ(tt::RunCommand("base64 -w0 " + Path("plain.txt"), &canonical), 0);
    EXPECT_EQ(out, canonical + "\n");
    EXPECT_EQ(Run("decrypt --base64 " + Cert() + " --pin 0000 " + Path("msg.b64") + " 2>&1 >/dev/null", &out),
              1);
    EXPECT_NE(out.find("Не удалось установить пароль для ключа.(Код ошибки - 82013)"), std::string::npos)
        << out;

    // A pipe as the input file (as a shell's <(...) gives it): read through, not refused.
    const std::string fifo = Path("msg.fifo");
    ASSERT_EQ(tt::RunCommand("mkfifo " + fifo), 0);
    ASSERT_EQ(tt::RunCommand("(cat " + Path("msg.b64") + " > " + fifo + " &); " +
                                 (build_ / "bin" / "trumik").string() + " decrypt --base64 " + Cert() +
                                 " --pin 4321 " + fifo,
                             &out),
              0)
        << out;
    EXPECT_EQ(out, canonical + "\n");

    ASSERT_EQ(Run("container-name " + Cert(), &out), 0);
    EXPECT_EQ(out, "cmd-key\n");
    ASSERT_EQ(Run("provider-info", &out), 0);
    EXPECT_EQ(out, "Тип криптопровайдера: 75, Наименование криптопровайдера: Crypto-Pro GOST R 34.10-2001 "
                   "Cryptographic Service Provider\n");
    EXPECT_EQ(Run("container-name --store My --thumbprint " + std::string(40, '0') + " 2>&1", &out), 1);
    EXPECT_NE(out.find("(Код ошибки - 83003)"), std::string::npos) << out;
}

TEST_F(CryptCommandsTest, UsageAndHelp)
{
    std::string out;
    EXPECT_EQ(Run("encrypt --help", &out), 0);
    EXPECT_NE(out.find("usage: trumik encrypt"), std::string::npos);
    EXPECT_EQ(Run("decrypt --store My", &out, true), 2);
    EXPECT_EQ(out, "trumik: decrypt needs --thumbprint\nSee trumik decrypt --help.\n");
    EXPECT_EQ(Run("encrypt --store My --thumbprint X --pin 1", &out, true), 2) << "no PIN for encryption";
    EXPECT_EQ(Run("provider-info extra", &out, true), 2);
}

TEST_F(CryptCommandsTest, ScriptCarriesByteArraysBothWays)
{
    // One object across the calls of a script: bytes in from a file, bytes out
    // to a file, the code as a number; a count beyond the array is refused.
    const std::string plain = Path("plain.txt");
    const auto plainSize = std::to_string(fs::file_size(plain));
    tt::WriteFile(dir_ / "encrypt.jsonl",
                  "{\"new\": \"m\", \"progid\": \"ZelvaneTrumikXmlSigner.CryptEncMessage\"}\n"
                  "{\"call\": \"m\", \"method\": \"CryptMessageByte\", \"args\": [\"My\", \"" +
                      thumbprint_ + "\", \"int:" + plainSize + "\", \"bytes:@" + plain + "\"], \"out\": \"" +
                      Path("script.der") +
                      "\"}\n"
                      "{\"call\": \"m\", \"method\": \"CryptGetLastErrorCode\", \"args\": []}\n"
                      "{\"release\": \"m\"}\n");
    std::string out;
    ASSERT_EQ(Run("script " + Path("encrypt.jsonl"), &out), 0) << out;
    EXPECT_NE(out.find("{\"hresult\": \"0x00000000\", \"result\": 0, \"error\""), std::string::npos) << out;

    const std::string message = Path("script.der");
    const auto size = fs::file_size(message);
    auto decrypt = [&](uintmax_t count, const char* outName) {
        std::string line = "{\"call\": \"m\", \"method\": \"DecryptMessageByte\", \"args\": [\"My\", \"" +
                           thumbprint_ + "\", \"4321\", \"int:" + std::to_string(count) + "\", \"bytes:@" +
                           message + "\"]";
        return line + (outName ? ", \"out\": \"" + Path(outName) + "\"}\n" : "}\n");
    };
    tt::WriteFile(dir_ / "decrypt.jsonl",
                  "{\"new\": \"m\", \"progid\": \"ZelvaneTrumikXmlSigner.CryptEncMessage\"}\n" +
                      decrypt(size, "script.txt") + decrypt(size + 1, nullptr) + "{\"release\": \"m\"}\n");
    ASSERT_EQ(Run("script " + Path("decrypt.jsonl"), &out), 0) << out;
    EXPECT_EQ(tt::ReadFile(dir_ / "script.txt"), tt::ReadFile(dir_ / "plain.txt"));
    EXPECT_NE(out.find("\"code\": 82003"), std::string::npos) << out;
}
