// CMS enveloped data for recipients with GOST R 34.10-2012 exchange keys
// (256 and 512 bits): interop with `openssl cms` and the GOST engine both
// ways, the PIN of the container, and a recipient whose key is of the other size.
#include "MessageFixtures.h"

#include "TestHome.h"
#include "csp/Containers.h"

#include <gtest/gtest.h>

#include <random>

namespace trumik::crypttest {
namespace {

Bytes Pattern(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    Bytes out(n);
    for (auto& b : out)
        b = static_cast<BYTE>(rng());
    return out;
}

std::string Quote(const std::filesystem::path& p)
{
    return "'" + p.string() + "'";
}

class Messages2012 : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override { my_ = OpenMy(); }
    UniqueStore my_;
};

TEST_P(Messages2012, BothWaysWithOpensslCms)
{
    const std::string algorithm = GetParam();
    const std::string tag = algorithm.substr(algorithm.size() - 3);
    Recipient r = MakeRecipient("R" + tag, "cms12-" + tag, std::nullopt, true, algorithm);
    UniqueCert cert = FindInStore(my_.get(), r.cert);
    ASSERT_TRUE(cert);
    auto dir = trumik::testing::MakeTempDir("cms12-" + tag);

    // Ours, opened by openssl with the key it made.
    for (size_t n : {size_t(0), size_t(1), size_t(70000)}) {
        Bytes plain = Pattern(n, 11);
        auto message = EncryptFor(cert.get(), plain);
        ASSERT_TRUE(message) << std::hex << GetLastError();
        WriteBytes(dir / "m.der", *message);
        std::filesystem::remove(dir / "out.bin");
        Sh("openssl cms -decrypt -engine gost -binary -inform DER -in " + Quote(dir / "m.der") + " -inkey " +
           Quote(r.keyPem) + " -recip " + Quote(r.certPem) + " -out " + Quote(dir / "out.bin") + " 2>&1");
        EXPECT_EQ(ReadBytes(dir / "out.bin"), plain) << n;
        if (n == 1) {
            std::string dump = Sh("openssl asn1parse -inform DER -in " + Quote(dir / "m.der"));
            EXPECT_NE(dump.find(":GOST 28147-89\n"), std::string::npos) << dump;
            EXPECT_NE(dump.find(":id-Gost28147-89-CryptoPro-A-ParamSet"), std::string::npos) << dump;
            EXPECT_NE(dump.find(":GOST R 34.10-2012 with " + std::string(tag == "256" ? "256" : "512") +
                                " bit modulus\n"),
                      std::string::npos)
                << dump;
        }
        // And by us.
        auto back = DecryptWith(my_.get(), *message);
        ASSERT_TRUE(back) << std::hex << GetLastError();
        EXPECT_EQ(*back, plain);
    }

    // openssl's, opened here: its default parameters, DER and BER.
    Bytes plain = Pattern(200000, 12);
    WriteBytes(dir / "in.bin", plain);
    for (std::string extra : {"", "-stream"}) {
        Sh("openssl cms -encrypt -engine gost -gost89 " + extra + " -binary -outform DER -in " +
           Quote(dir / "in.bin") + " -out " + Quote(dir / "m2.der") + " " + Quote(r.certPem) + " 2>&1");
        PCCERT_CONTEXT exchange = nullptr;
        auto back = DecryptWith(my_.get(), ReadBytes(dir / "m2.der"), &exchange);
        UniqueCert guard(exchange);
        ASSERT_TRUE(back) << extra << " " << std::hex << GetLastError();
        EXPECT_EQ(*back, plain) << extra;
        ASSERT_TRUE(exchange);
        EXPECT_EQ(Bytes(exchange->pbCertEncoded, exchange->pbCertEncoded + exchange->cbCertEncoded), r.cert);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, Messages2012, ::testing::Values("gost2012_256", "gost2012_512"));

TEST(Messages2012Keys, PinAndAKeyOfTheOtherSize)
{
    UniqueStore my = OpenMy();
    Recipient r = MakeRecipient("Pinned512", "cms12-pin", std::string("9876"), true, "gost2012_512");
    UniqueCert cert = FindInStore(my.get(), r.cert);
    ASSERT_TRUE(cert);
    Bytes plain = Pattern(500, 5);
    auto message = EncryptFor(cert.get(), plain);
    ASSERT_TRUE(message);
    HCERTSTORE stores[] = {my.get()};
    CRYPT_DECRYPT_MESSAGE_PARA para = DecryptPara(stores);
    Bytes out(message->size());
    DWORD size = static_cast<DWORD>(out.size());
    EXPECT_FALSE(CryptDecryptMessage(&para, message->data(), static_cast<DWORD>(message->size()), out.data(),
                                     &size, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(SCARD_W_WRONG_CHV));
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextA(&prov, "cms12-pin", nullptr, 81, CRYPT_SILENT));
    ASSERT_TRUE(CryptSetProvParam(prov, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>("9876"), 0));
    auto back = DecryptWith(my.get(), *message);
    CryptReleaseContext(prov, 0);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, plain);

    // The container linked to the certificate holds a key of the other size:
    // no key for this recipient, and nothing is decrypted.
    auto dir = trumik::testing::MakeTempDir("cms12-swap");
    Sh("cd " + Quote(dir) +
       " && openssl genpkey -engine gost -algorithm gost2012_256 -pkeyopt paramset:A -outform DER -out k.der "
       "2>&1");
    ASSERT_EQ(trumik::csp::DeleteContainer(trumik::csp::Scope::User, "cms12-pin"), 0u);
    ASSERT_EQ(trumik::csp::CreateContainer(trumik::csp::Scope::User, "cms12-pin", AT_KEYEXCHANGE,
                                           ReadBytes(dir / "k.der"), std::nullopt, false),
              0u);
    size = static_cast<DWORD>(out.size());
    EXPECT_FALSE(CryptDecryptMessage(&para, message->data(), static_cast<DWORD>(message->size()), out.data(),
                                     &size, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NO_DECRYPT_CERT));
}

} // namespace
} // namespace trumik::crypttest
