// CryptEncryptMessage and CryptDecryptMessage: buffer rules, round trips,
// interop with `openssl cms` and the GOST engine both ways, PINs, recipients
// without keys, and messages that are not what they claim to be.
#include "MessageFixtures.h"

#include "TestHome.h"

#include <gtest/gtest.h>

#include <random>

using namespace trumik::crypttest;

namespace {

Bytes RandomBytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    Bytes out(n);
    for (auto& b : out)
        b = static_cast<BYTE>(rng());
    return out;
}

[[maybe_unused]] std::string Quote(const std::filesystem::path& p)
{
    return "'" + p.string() + "'";
}

class Messages : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        alice_ = new Recipient(MakeRecipient("Alice", "cms-alice", std::nullopt));
        bob_ = new Recipient(MakeRecipient("Bob", "cms-bob", std::string("1234")));
        // In the store, but its key lives on another machine.
        carol_ = new Recipient(MakeRecipient("Carol", "", std::nullopt));
        // Not in any store of this machine.
        dave_ = new Recipient(MakeRecipient("Dave", "", std::nullopt, false));
    }
    static void TearDownTestSuite()
    {
        delete alice_;
        delete bob_;
        delete carol_;
        delete dave_;
    }
    void SetUp() override { my_ = OpenMy(); }

    UniqueCert Cert(const Recipient& r) { return FindInStore(my_.get(), r.cert); }
    // A certificate context of a recipient that is not in the store.
    static UniqueCert Loose(const Recipient& r)
    {
        return UniqueCert(CertCreateCertificateContext(X509_ASN_ENCODING, r.cert.data(),
                                                       static_cast<DWORD>(r.cert.size())));
    }
    DWORD DecryptError(const Bytes& message, bool sizePass)
    {
        HCERTSTORE stores[] = {my_.get()};
        CRYPT_DECRYPT_MESSAGE_PARA para = DecryptPara(stores);
        Bytes out(message.size() + 16);
        DWORD size = static_cast<DWORD>(out.size());
        SetLastError(0);
        BOOL ok = CryptDecryptMessage(&para, message.data(), static_cast<DWORD>(message.size()),
                                      sizePass ? nullptr : out.data(), &size, nullptr);
        return ok ? 0 : GetLastError();
    }

    static Recipient* alice_;
    static Recipient* bob_;
    static Recipient* carol_;
    static Recipient* dave_;
    UniqueStore my_;
};

Recipient* Messages::alice_ = nullptr;
Recipient* Messages::bob_ = nullptr;
Recipient* Messages::carol_ = nullptr;
Recipient* Messages::dave_ = nullptr;

TEST_F(Messages, RoundTripsOfEmptyOneByteAndOneMegabyte)
{
    UniqueCert alice = Cert(*alice_);
    ASSERT_TRUE(alice);
    for (size_t n : {size_t(0), size_t(1), size_t(1000), size_t(1) << 20}) {
        Bytes plain = RandomBytes(n, static_cast<unsigned>(n));
        auto message = EncryptFor(alice.get(), plain);
        ASSERT_TRUE(message) << n << " " << std::hex << GetLastError();
        PCCERT_CONTEXT exchange = nullptr;
        auto back = DecryptWith(my_.get(), *message, &exchange);
        UniqueCert exchangeGuard(exchange);
        ASSERT_TRUE(back) << n << " " << std::hex << GetLastError();
        EXPECT_EQ(*back, plain) << n;
        ASSERT_TRUE(exchange);
        EXPECT_EQ(Bytes(exchange->pbCertEncoded, exchange->pbCertEncoded + exchange->cbCertEncoded),
                  alice_->cert);
    }
}

} // namespace
