// trumik cms as a user runs it, against the two peers Debian ships: OpenSSL's
// cms with the GOST engine and GnuTLS certtool, both ways, for the three GOST
// key kinds; a second signer on a peer's message; broken input.
#include "TestHome.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

namespace fs = std::filesystem;
namespace tt = trumik::testing;

namespace {

struct Outcome {
    int rc = -1;
    std::string out, err;
};

struct Signer {
    std::string thumbprint, cert, key; // the key as PKCS #8 PEM, for the peers
};

class CmsCommandTest : public ::testing::TestWithParam<std::string> {
  protected:
    static void SetUpTestSuite()
    {
        const char* build = std::getenv("TRUMIK_BUILD_DIR");
        build_ = build ? build : ".";
        dir_ = tt::MakeTempDir("cmscmd");
        for (const char* a : {"gost2001", "gost2012-256", "gost2012-512"}) {
            Signer s;
            s.cert = Path(std::string(a) + ".pem");
            s.key = Path(std::string(a) + ".key");
            Outcome made = Trumik(std::string("cert new --subject \"CN=Signer ") + a +
                                  ", O=Org, C=RU\" --algorithm " + a + " --pin 1234 --out " + s.cert);
            ASSERT_EQ(made.rc, 0) << made.err;
            s.thumbprint = made.out.substr(0, 40);
            ASSERT_EQ(Trumik("container export " + s.thumbprint + " --pin 1234 --out " + s.key).rc, 0);
            signers_[a] = s;
        }
        std::string content;
        for (int i = 0; i < 5000; ++i)
            content += "строка " + std::to_string(i) + "\n";
        tt::WriteFile(dir_ / "data.txt", content);
        tt::WriteFile(dir_ / "changed.txt", content.substr(0, content.size() - 2) + "!\n");
    }

    static Outcome Trumik(const std::string& args)
    {
        Outcome o;
        const fs::path err = dir_ / "stderr.txt";
        o.rc = tt::RunCommand((build_ / "bin" / "trumik").string() + " " + args + " 2>'" + err.string() + "'",
                              &o.out, false);
        o.err = tt::ReadFile(err);
        return o;
    }
    static int Sh(const std::string& command, std::string* out = nullptr)
    {
        return tt::RunCommand("cd '" + dir_.string() + "' && " + command, out, true);
    }
    static std::string Path(const std::string& name) { return "'" + (dir_ / name).string() + "'"; }

    const Signer& Me() { return signers_[GetParam()]; }
    std::string Key() { return "--store My --thumbprint " + Me().thumbprint + " --pin 1234"; }
    std::string Name(const std::string& what) { return Path(GetParam() + "-" + what); }
    // certtool refuses GOST R 34.11-94 as too weak unless told to accept it.
    std::string CertToolVerify() { return GetParam() == "gost2001" ? " --verify-allow-broken" : ""; }
    int OpensslVerify(const std::string& message, const std::string& content = "")
    {
        return Sh("openssl cms -verify -engine gost -binary -inform DER -noverify -in " + message +
                  (content.empty() ? "" : " -content " + content) + " -out /dev/null");
    }
    // The number of signers certtool finds good.
    int CertToolGood(const std::string& message, const std::string& content = "")
    {
        std::string out;
        Sh("certtool --p7-verify --inder --load-certificate " + Me().cert + CertToolVerify() + " --infile " +
               message + (content.empty() ? "" : " --load-data " + content),
           &out);
        int good = 0;
        for (size_t at = 0; (at = out.find("Signature status: ok", at)) != std::string::npos; ++at)
            ++good;
        return good;
    }

    static fs::path build_;
    static fs::path dir_;
    static std::map<std::string, Signer> signers_;
};

fs::path CmsCommandTest::build_;
fs::path CmsCommandTest::dir_;
std::map<std::string, Signer> CmsCommandTest::signers_;

TEST_P(CmsCommandTest, WhatTrumikSignsBothPeersVerifyAndAChangedByteFailsEverywhere)
{
    const std::string data = Path("data.txt"), changed = Path("changed.txt");
    ASSERT_EQ(Trumik("cms sign --detached " + Key() + " " + data + " -o " + Name("detached.p7s")).rc, 0);
    ASSERT_EQ(Trumik("cms sign " + Key() + " " + data + " -o " + Name("attached.p7s")).rc, 0);

    EXPECT_EQ(OpensslVerify(Name("detached.p7s"), data), 0);
    EXPECT_EQ(OpensslVerify(Name("attached.p7s")), 0);
    EXPECT_EQ(CertToolGood(Name("detached.p7s"), data), 1);
    EXPECT_EQ(CertToolGood(Name("attached.p7s")), 1);
    Outcome verified = Trumik("cms verify --content " + data + " " + Name("detached.p7s"));
    EXPECT_EQ(verified.rc, 0) << verified.err;
    EXPECT_EQ(verified.out.rfind("0\tvalid\tCN=Signer " + GetParam() + ", O=Org, C=RU\t20", 0), 0u)
        << verified.out;

    EXPECT_NE(OpensslVerify(Name("detached.p7s"), changed), 0);
    EXPECT_EQ(CertToolGood(Name("detached.p7s"), changed), 0);
    verified = Trumik("cms verify --content " + changed + " " + Name("detached.p7s"));
    EXPECT_EQ(verified.rc, 1);
    EXPECT_EQ(verified.out.find("0\tinvalid\t"), 0u) << verified.out;

    // The last bytes of the message are the signature's.
    ASSERT_EQ(Sh("cp " + Name("attached.p7s") + " " + Name("flipped.p7s") +
                 " && printf '\\x55' | dd of=" + Name("flipped.p7s") + " bs=1 seek=$(($(stat -c %s " +
                 Name("attached.p7s") + ") - 3)) conv=notrunc 2>/dev/null"),
              0);
    EXPECT_NE(OpensslVerify(Name("flipped.p7s")), 0);
    EXPECT_EQ(CertToolGood(Name("flipped.p7s")), 0);
    EXPECT_EQ(Trumik("cms verify " + Name("flipped.p7s")).rc, 1);

    // The content comes back out, and PEM goes in and out.
    ASSERT_EQ(Trumik("cms sign --pem " + Key() + " " + data + " -o " + Name("attached.pem")).rc, 0);
    ASSERT_EQ(Trumik("cms content " + Name("attached.pem") + " -o " + Name("content.txt")).rc, 0);
    EXPECT_EQ(Sh("cmp " + data + " " + Name("content.txt")), 0);
}

TEST_P(CmsCommandTest, WhatPeersSignTrumikVerifiesAndCoSignsAndThePeersVerifyBoth)
{
    const std::string data = Path("data.txt");
    const std::string signer = " -signer " + Me().cert + " -inkey " + Me().key;
    ASSERT_EQ(Sh("openssl cms -sign -engine gost -binary -cades" + signer + " -in " + data +
                 " -outform DER -out " + Name("openssl.p7s")),
              0);
    ASSERT_EQ(Sh("openssl cms -sign -engine gost -binary -nodetach" + signer + " -in " + data +
                 " -outform DER -out " + Name("openssl-attached.p7s")),
              0);
    ASSERT_EQ(Sh("certtool --p7-detached-sign --p7-include-cert --outder --load-privkey " + Me().key +
                 " --load-certificate " + Me().cert + " --infile " + data + " --outfile " +
                 Name("certtool.p7s")),
              0);
    EXPECT_EQ(Trumik("cms verify --content " + data + " " + Name("openssl.p7s")).rc, 0);
    EXPECT_EQ(Trumik("cms verify " + Name("openssl-attached.p7s")).rc, 0);
    EXPECT_EQ(Trumik("cms verify --content " + data + " " + Name("certtool.p7s")).rc, 0);

    // A second signer with the same key kind; each peer then checks both.
    Outcome added = Trumik("cms cosign " + Key() + " --content " + data + " " + Name("openssl.p7s") + " -o " +
                           Name("openssl-2.p7s"));
    ASSERT_EQ(added.rc, 0) << added.err;
    std::string out;
    Sh("openssl cms -verify -engine gost -binary -inform DER -noverify -in " + Name("openssl-2.p7s") +
           " -content " + data +
           " -out /dev/null -cmsout -print | grep -c 'signerInfos\\|version: 1' ; "
           "openssl cms -verify -engine gost -binary -inform DER -noverify -in " +
           Name("openssl-2.p7s") + " -content " + data + " -out /dev/null",
       &out);
    EXPECT_NE(out.find("Verification successful"), std::string::npos) << out;
    ASSERT_EQ(Trumik("cms cosign " + Key() + " --content " + data + " " + Name("certtool.p7s") + " -o " +
                     Name("certtool-2.p7s"))
                  .rc,
              0);
    EXPECT_EQ(CertToolGood(Name("certtool-2.p7s"), data), 2);
    const Outcome both = Trumik("cms verify --content " + data + " " + Name("certtool-2.p7s"));
    EXPECT_EQ(both.rc, 0);
    EXPECT_NE(both.out.find("\n1\tvalid\t"), std::string::npos) << both.out;
}

INSTANTIATE_TEST_SUITE_P(Gost, CmsCommandTest, ::testing::Values("gost2001", "gost2012-256", "gost2012-512"),
                         [](const auto& info) {
                             std::string name = info.param;
                             name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                             return name;
                         });

using CmsInputTest = CmsCommandTest;

TEST_F(CmsInputTest, BrokenInputGivesItsCodeAndUsageErrorsExitTwo)
{
    const Signer& s = signers_["gost2012-256"];
    const std::string key = "--store My --thumbprint " + s.thumbprint + " --pin 1234";
    const std::string data = Path("data.txt");
    ASSERT_EQ(Trumik("cms sign --detached " + key + " " + data + " -o " + Path("in.p7s")).rc, 0);
    Sh("head -c 200 " + Path("in.p7s") + " > " + Path("truncated.p7s"));
    tt::WriteFile(dir_ / "plain.p7s", "not a message at all");

    const std::pair<std::string, std::string> cases[] = {
        {"cms verify --content " + data + " " + Path("truncated.p7s"), "(Код ошибки - 33005)"},
        {"cms verify " + Path("plain.p7s"), "(Код ошибки - 33003)"},
        {"cms verify " + Path("in.p7s"), "(Код ошибки - 33007)"},
        {"cms content " + Path("in.p7s") + " -o " + Path("x"), "(Код ошибки - 33015)"},
        {"cms sign " + key.substr(0, key.size() - 4) + "9999 " + data + " -o " + Path("x"),
         "(Код ошибки - 32019)"},
        {"cms sign --store My --thumbprint " + std::string(40, '0') + " " + data + " -o " + Path("x"),
         "(Код ошибки - 32007)"},
    };
    for (const auto& [args, code] : cases) {
        const Outcome o = Trumik(args);
        EXPECT_EQ(o.rc, 1) << args;
        EXPECT_NE(o.err.find(code), std::string::npos) << args << "\n" << o.err;
    }

    // A signer whose certificate the message lacks.
    ASSERT_EQ(Sh("openssl cms -sign -engine gost -binary -nocerts -signer " + s.cert + " -inkey " + s.key +
                 " -in " + data + " -outform DER -out " + Path("nocert.p7s")),
              0);
    const Outcome missing = Trumik("cms verify --content " + data + " " + Path("nocert.p7s"));
    EXPECT_EQ(missing.rc, 1);
    EXPECT_NE(
        missing.out.find("0\tinvalid (Сертификат подписанта отсутствует в сообщении.(Код ошибки - 33011))"),
        std::string::npos)
        << missing.out;

    for (const std::string& args :
         {std::string("cms"), std::string("cms frobnicate x"), std::string("cms verify"),
          "cms sign " + data + " -o " + Path("x"), "cms sign " + key + " " + data})
        EXPECT_EQ(Trumik(args).rc, 2) << args;
}

TEST_F(CmsInputTest, LargeFilesStreamWithoutAProgressLineOffATerminal)
{
    const Signer& s = signers_["gost2012-256"];
    ASSERT_EQ(Sh("truncate -s 65M big.bin"), 0);
    const Outcome signedBig = Trumik("cms sign --detached --store My --thumbprint " + s.thumbprint +
                                     " --pin 1234 " + Path("big.bin") + " -o " + Path("big.p7s"));
    ASSERT_EQ(signedBig.rc, 0);
    EXPECT_EQ(signedBig.err, "");
    EXPECT_EQ(OpensslVerify(Path("big.p7s"), Path("big.bin")), 0);
    const Outcome verified = Trumik("cms verify --content " + Path("big.bin") + " " + Path("big.p7s"));
    EXPECT_EQ(verified.rc, 0);
    EXPECT_EQ(verified.err, "");
}

} // namespace
