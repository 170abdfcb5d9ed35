// CryptEncryptMessage and CryptDecryptMessage: buffer rules, round trips,
// interop with `openssl cms` and the GOST engine both ways, PINs, recipients
// without keys, and messages that are not what they claim to be.
#include "MessageFixtures.h"

#include "TestHome.h"
#include "csp/Containers.h"

#include <gtest/gtest.h>
#include <openssl/cms.h>

#include <algorithm>
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

std::string Quote(const std::filesystem::path& p)
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

TEST_F(Messages, SixtyFourMegabytesRoundTrip)
{
    UniqueCert alice = Cert(*alice_);
    Bytes plain(64u << 20);
    for (size_t i = 0; i < plain.size(); ++i)
        plain[i] = static_cast<BYTE>(i * 131 + (i >> 13));
    auto message = EncryptFor(alice.get(), plain);
    ASSERT_TRUE(message);
    EXPECT_LT(message->size(), plain.size() + 1024);
    auto back = DecryptWith(my_.get(), *message);
    ASSERT_TRUE(back);
    EXPECT_TRUE(*back == plain);
}

TEST_F(Messages, SizeQueryAndShortBuffers)
{
    UniqueCert alice = Cert(*alice_);
    CRYPT_ENCRYPT_MESSAGE_PARA para = GostEncryptPara();
    PCCERT_CONTEXT recipients[] = {alice.get()};
    Bytes plain = RandomBytes(5000, 1);
    DWORD size = 0;
    ASSERT_TRUE(CryptEncryptMessage(&para, 1, recipients, plain.data(), 5000, nullptr, &size));
    const DWORD needed = size;
    EXPECT_GT(needed, 5000u);
    // One byte short: nothing written, the size needed reported.
    Bytes out(needed + 10, 0xEE);
    size = needed - 1;
    EXPECT_FALSE(CryptEncryptMessage(&para, 1, recipients, plain.data(), 5000, out.data(), &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(size, needed);
    EXPECT_EQ(out[0], 0xEE);
    // A larger buffer than needed: the actual size comes back, and the size
    // query was exact.
    size = static_cast<DWORD>(out.size());
    ASSERT_TRUE(CryptEncryptMessage(&para, 1, recipients, plain.data(), 5000, out.data(), &size));
    EXPECT_EQ(size, needed);
    EXPECT_EQ(out[needed], 0xEE);
    out.resize(size);
    // The 32-bit size of the structure is taken as well.
    para.cbSize = 36;
    DWORD size36 = 0;
    EXPECT_TRUE(CryptEncryptMessage(&para, 1, recipients, plain.data(), 5000, nullptr, &size36));
    EXPECT_EQ(size36, needed);

    HCERTSTORE stores[] = {my_.get()};
    CRYPT_DECRYPT_MESSAGE_PARA dpara = DecryptPara(stores);
    DWORD plainSize = 0;
    ASSERT_TRUE(CryptDecryptMessage(&dpara, out.data(), size, nullptr, &plainSize, nullptr));
    EXPECT_EQ(plainSize, 5000u);
    Bytes back(plainSize, 0xEE);
    DWORD shortSize = plainSize - 1;
    PCCERT_CONTEXT exchange = reinterpret_cast<PCCERT_CONTEXT>(&back); // must be reset to null
    EXPECT_FALSE(CryptDecryptMessage(&dpara, out.data(), size, back.data(), &shortSize, &exchange));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(shortSize, 5000u);
    EXPECT_EQ(exchange, nullptr);
    // The 32-bit sizes: 16 without dwFlags, 20 with it.
    for (DWORD cb : {16u, 20u}) {
        dpara.cbSize = cb;
        DWORD n = plainSize;
        ASSERT_TRUE(CryptDecryptMessage(&dpara, out.data(), size, back.data(), &n, nullptr)) << cb;
        EXPECT_EQ(back, plain);
    }
}

TEST_F(Messages, ArgumentsAndAlgorithmsAreChecked)
{
    UniqueCert alice = Cert(*alice_);
    PCCERT_CONTEXT recipients[] = {alice.get()};
    BYTE data[4] = {1, 2, 3, 4};
    DWORD size = 0;
    auto encryptError = [&](CRYPT_ENCRYPT_MESSAGE_PARA* para, DWORD count, PCCERT_CONTEXT* certs,
                            const BYTE* in, DWORD inSize, DWORD* out) {
        SetLastError(0);
        EXPECT_FALSE(CryptEncryptMessage(para, count, certs, in, inSize, nullptr, out));
        return GetLastError();
    };
    CRYPT_ENCRYPT_MESSAGE_PARA para = GostEncryptPara();
    EXPECT_EQ(encryptError(nullptr, 1, recipients, data, 4, &size), static_cast<DWORD>(E_INVALIDARG));
    EXPECT_EQ(encryptError(&para, 1, recipients, data, 4, nullptr), static_cast<DWORD>(E_INVALIDARG));
    EXPECT_EQ(encryptError(&para, 1, recipients, nullptr, 4, &size), static_cast<DWORD>(E_INVALIDARG));
    EXPECT_EQ(encryptError(&para, 0, recipients, data, 4, &size), static_cast<DWORD>(E_INVALIDARG));
    PCCERT_CONTEXT none[] = {nullptr};
    EXPECT_EQ(encryptError(&para, 1, none, data, 4, &size), static_cast<DWORD>(E_INVALIDARG));
    para.cbSize = 12;
    EXPECT_EQ(encryptError(&para, 1, recipients, data, 4, &size), static_cast<DWORD>(E_INVALIDARG));
    para = GostEncryptPara();
    para.ContentEncryptionAlgorithm.pszObjId = const_cast<char*>("1.2.840.113549.3.7"); // 3DES
    EXPECT_EQ(encryptError(&para, 1, recipients, data, 4, &size), static_cast<DWORD>(CRYPT_E_UNKNOWN_ALGO));
    para.ContentEncryptionAlgorithm.pszObjId = nullptr;
    EXPECT_EQ(encryptError(&para, 1, recipients, data, 4, &size), static_cast<DWORD>(CRYPT_E_UNKNOWN_ALGO));
    para = GostEncryptPara();
    para.dwInnerContentType = 2; // CMSG_SIGNED
    EXPECT_EQ(encryptError(&para, 1, recipients, data, 4, &size),
              static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE));
    para.dwInnerContentType = 1; // CMSG_DATA
    EXPECT_TRUE(CryptEncryptMessage(&para, 1, recipients, data, 4, nullptr, &size));

    HCERTSTORE stores[] = {my_.get()};
    CRYPT_DECRYPT_MESSAGE_PARA dpara = DecryptPara(stores);
    auto decryptError = [&](CRYPT_DECRYPT_MESSAGE_PARA* p, const BYTE* in, DWORD inSize, DWORD* out) {
        SetLastError(0);
        EXPECT_FALSE(CryptDecryptMessage(p, in, inSize, nullptr, out, nullptr));
        return GetLastError();
    };
    EXPECT_EQ(decryptError(nullptr, data, 4, &size), static_cast<DWORD>(E_INVALIDARG));
    EXPECT_EQ(decryptError(&dpara, data, 4, nullptr), static_cast<DWORD>(E_INVALIDARG));
    EXPECT_EQ(decryptError(&dpara, nullptr, 4, &size), static_cast<DWORD>(E_INVALIDARG));
    dpara.rghCertStore = nullptr;
    EXPECT_EQ(decryptError(&dpara, data, 4, &size), static_cast<DWORD>(E_INVALIDARG));
    dpara = DecryptPara(stores);
    dpara.dwMsgAndCertEncodingType = X509_ASN_ENCODING;
    EXPECT_EQ(decryptError(&dpara, data, 4, &size), static_cast<DWORD>(E_INVALIDARG));
}

TEST_F(Messages, OpensslOpensWhatWeMake)
{
    UniqueCert alice = Cert(*alice_);
    auto dir = trumik::testing::MakeTempDir("cms-out");
    std::string keyPem;
    ASSERT_EQ(trumik::csp::ExportPrivateKeyPem(trumik::csp::Scope::User, "cms-alice", AT_KEYEXCHANGE,
                                               std::nullopt, &keyPem),
              0u);
    trumik::testing::WriteFile(dir / "key.pem", keyPem);
    for (size_t n : {size_t(0), size_t(1), size_t(70000)}) {
        Bytes plain = RandomBytes(n, 7);
        auto message = EncryptFor(alice.get(), plain);
        ASSERT_TRUE(message);
        WriteBytes(dir / "m.der", *message);
        std::filesystem::remove(dir / "out.bin");
        Sh("openssl cms -decrypt -engine gost -binary -inform DER -in " + Quote(dir / "m.der") + " -inkey " +
           Quote(dir / "key.pem") + " -recip " + Quote(alice_->certPem) + " -out " + Quote(dir / "out.bin") +
           " 2>&1");
        EXPECT_EQ(ReadBytes(dir / "out.bin"), plain) << n;
        if (n == 1) {
            // Strict DER, GOST 28147-89 with the CryptoPro A parameters, key
            // transport of GOST R 34.10-2001.
            std::string dump = Sh("openssl asn1parse -inform DER -in " + Quote(dir / "m.der"));
            EXPECT_NE(dump.find(":GOST 28147-89\n"), std::string::npos) << dump;
            EXPECT_NE(dump.find(":id-Gost28147-89-CryptoPro-A-ParamSet"), std::string::npos) << dump;
            EXPECT_NE(dump.find(":GOST R 34.10-2001\n"), std::string::npos) << dump;
            EXPECT_EQ(dump.find("ERROR"), std::string::npos) << dump;
        }
        // openssl writes the parsed message back byte for byte: the lengths
        // around the content are right and minimal.
        Sh("openssl cms -cmsout -inform DER -outform DER -in " + Quote(dir / "m.der") + " -out " +
           Quote(dir / "again.der") + " 2>&1");
        EXPECT_EQ(ReadBytes(dir / "again.der"), *message) << n;
    }
}

TEST_F(Messages, LengthsAreDerAcrossEveryBoundary)
{
    // Each of the five lengths around the content changes its own size at
    // some content size near 128, 256 and 65536; OpenSSL's parse and
    // re-encoding must give the message back byte for byte, and it must open.
    UniqueCert alice = Cert(*alice_);
    std::vector<size_t> sizes;
    for (size_t n = 0; n < 300; ++n)
        sizes.push_back(n);
    for (size_t n = 65200; n < 65600; n += 3)
        sizes.push_back(n);
    for (size_t n : sizes) {
        Bytes plain(n, static_cast<BYTE>(n));
        auto message = EncryptFor(alice.get(), plain);
        ASSERT_TRUE(message) << n;
        const unsigned char* p = message->data();
        CMS_ContentInfo* cms = d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(message->size()));
        ASSERT_TRUE(cms) << n;
        EXPECT_EQ(p, message->data() + message->size()) << n;
        unsigned char* again = nullptr;
        int length = i2d_CMS_ContentInfo(cms, &again);
        EXPECT_EQ(Bytes(again, again + std::max(length, 0)), *message) << n;
        OPENSSL_free(again);
        CMS_ContentInfo_free(cms);
        if (n % 37 == 0 || n > 65500) {
            auto back = DecryptWith(my_.get(), *message);
            ASSERT_TRUE(back) << n;
            EXPECT_EQ(*back, plain) << n;
        }
    }
}

TEST_F(Messages, WeOpenWhatOpensslMakes)
{
    auto dir = trumik::testing::MakeTempDir("cms-in");
    Bytes plain = RandomBytes(300000, 9);
    WriteBytes(dir / "in.bin", plain);
    // The engine's default parameters (not CryptoPro A), definite DER and,
    // with -stream, BER with indefinite lengths and the content in pieces.
    for (std::string extra : {"", "-stream", "-gost89 -stream"}) {
        std::string cipher = extra.find("-gost89") == std::string::npos ? "-gost89 " : "";
        Sh("CRYPT_PARAMS=id-Gost28147-89-CryptoPro-B-ParamSet openssl cms -encrypt -engine gost " + cipher +
           extra + " -binary -outform DER -in " + Quote(dir / "in.bin") + " -out " + Quote(dir / "m.der") +
           " " + Quote(alice_->certPem) + " 2>&1");
        Bytes message = ReadBytes(dir / "m.der");
        PCCERT_CONTEXT exchange = nullptr;
        auto back = DecryptWith(my_.get(), message, &exchange);
        UniqueCert guard(exchange);
        ASSERT_TRUE(back) << extra << " " << std::hex << GetLastError();
        EXPECT_EQ(*back, plain) << extra;
        EXPECT_TRUE(exchange);
    }
}

TEST_F(Messages, PinOfTheContainerDecides)
{
    UniqueCert bob = Cert(*bob_);
    Bytes plain = RandomBytes(100, 3);
    auto message = EncryptFor(bob.get(), plain);
    ASSERT_TRUE(message);
    // No PIN set: the size pass still answers, the decryption does not.
    EXPECT_EQ(DecryptError(*message, true), 0u);
    EXPECT_EQ(DecryptError(*message, false), static_cast<DWORD>(SCARD_W_WRONG_CHV));
    auto withPin = [&](const char* pin, bool taken) {
        HCRYPTPROV prov = 0;
        EXPECT_TRUE(CryptAcquireContextA(&prov, "cms-bob", nullptr, 75, CRYPT_SILENT));
        EXPECT_EQ(CryptSetProvParam(prov, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>(pin), 0), taken);
        DWORD wrong = DecryptError(*message, false);
        auto back = DecryptWith(my_.get(), *message);
        CryptReleaseContext(prov, 0);
        return std::make_pair(wrong, back);
    };
    // A refused PIN stands for nothing: the decryption has none.
    auto [wrongCode, nothing] = withPin("0000", false);
    EXPECT_EQ(wrongCode, static_cast<DWORD>(SCARD_W_WRONG_CHV));
    EXPECT_FALSE(nothing);
    auto [rightCode, back] = withPin("1234", true);
    EXPECT_EQ(rightCode, 0u);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, plain);
    // The PIN went with its context.
    EXPECT_EQ(DecryptError(*message, false), static_cast<DWORD>(SCARD_W_WRONG_CHV));
}

TEST_F(Messages, NoCertificateWithAKeyForAnyRecipient)
{
    UniqueCert carol = Cert(*carol_);
    ASSERT_TRUE(carol);
    UniqueCert dave = Loose(*dave_);
    UniqueCert alice = Cert(*alice_);
    for (PCCERT_CONTEXT c : {carol.get(), dave.get()}) {
        auto message = EncryptFor(c, {1, 2, 3});
        ASSERT_TRUE(message);
        EXPECT_EQ(DecryptError(*message, true), 0u);
        EXPECT_EQ(DecryptError(*message, false), static_cast<DWORD>(CRYPT_E_NO_DECRYPT_CERT));
    }
    // Two recipients: the one with a key here opens it.
    CRYPT_ENCRYPT_MESSAGE_PARA para = GostEncryptPara();
    PCCERT_CONTEXT both[] = {dave.get(), alice.get()};
    Bytes plain = {9, 8, 7};
    DWORD size = 0;
    ASSERT_TRUE(CryptEncryptMessage(&para, 2, both, plain.data(), 3, nullptr, &size));
    Bytes message(size);
    ASSERT_TRUE(CryptEncryptMessage(&para, 2, both, plain.data(), 3, message.data(), &size));
    message.resize(size);
    auto back = DecryptWith(my_.get(), message);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, plain);
    // No stores at all.
    CRYPT_DECRYPT_MESSAGE_PARA dpara = DecryptPara(nullptr);
    dpara.cCertStore = 0;
    Bytes out(16);
    DWORD outSize = 16;
    EXPECT_FALSE(CryptDecryptMessage(&dpara, message.data(), size, out.data(), &outSize, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NO_DECRYPT_CERT));
}

TEST_F(Messages, BrokenAndForeignMessagesFailCleanly)
{
    UniqueCert alice = Cert(*alice_);
    auto message = EncryptFor(alice.get(), RandomBytes(64, 5));
    ASSERT_TRUE(message);
    auto isAsn1OrBadMsg = [](DWORD e) {
        return (e >= 0x80093100u && e <= 0x80093202u) || e == static_cast<DWORD>(CRYPT_E_BAD_MSG);
    };
    // Every cut of a message is refused by the size pass already.
    for (size_t cut = 0; cut < message->size(); ++cut) {
        Bytes part(message->begin(), message->begin() + static_cast<long>(cut));
        DWORD e = DecryptError(part, cut % 2 == 0);
        EXPECT_TRUE(isAsn1OrBadMsg(e)) << cut << " " << std::hex << e;
    }
    EXPECT_EQ(DecryptError(RandomBytes(500, 11), true), static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
    Bytes seqOfJunk = {0x30, 0x05, 0x02, 0x01, 0x00, 0x04, 0x00};
    EXPECT_TRUE(isAsn1OrBadMsg(DecryptError(seqOfJunk, false)));
    // Bytes after the message.
    Bytes longer = *message;
    longer.push_back(0);
    EXPECT_TRUE(isAsn1OrBadMsg(DecryptError(longer, true)));

    // A signed message is not an enveloped one.
    auto dir = trumik::testing::MakeTempDir("cms-signed");
    trumik::testing::WriteFile(dir / "in.txt", "hello");
    Sh("openssl cms -sign -engine gost -binary -nodetach -outform DER -in " + Quote(dir / "in.txt") +
       " -signer " + Quote(alice_->certPem) + " -inkey " + Quote(alice_->keyPem) + " -out " +
       Quote(dir / "s.der") + " 2>&1");
    Bytes signedMessage = ReadBytes(dir / "s.der");
    EXPECT_EQ(DecryptError(signedMessage, true), static_cast<DWORD>(CRYPT_E_UNEXPECTED_MSG_TYPE));
    EXPECT_EQ(DecryptError(signedMessage, false), static_cast<DWORD>(CRYPT_E_UNEXPECTED_MSG_TYPE));

    // Content parameters the engine has no S-box for, or a wrong IV size:
    // refused before the engine sees them (it would crash on them).
    {
        const Bytes cryptoProA = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x1F, 0x01};
        auto last = std::find_end(message->begin(), message->end(), cryptoProA.begin(), cryptoProA.end());
        ASSERT_NE(last, message->end());
        Bytes unknownSet = *message;
        unknownSet[static_cast<size_t>(last - message->begin()) + 8] = 0x7F;
        EXPECT_EQ(DecryptError(unknownSet, true), static_cast<DWORD>(CRYPT_E_UNKNOWN_ALGO));
        EXPECT_EQ(DecryptError(unknownSet, false), static_cast<DWORD>(CRYPT_E_UNKNOWN_ALGO));
        // The same inside the key transport (its first place in the message).
        auto first = std::search(message->begin(), message->end(), cryptoProA.begin(), cryptoProA.end());
        ASSERT_NE(first, last);
        for (size_t at : {size_t(8), size_t(2)}) {
            Bytes transport = *message;
            transport[static_cast<size_t>(first - message->begin()) + at] = at == 8 ? 0x7F : 0xFF;
            EXPECT_EQ(DecryptError(transport, true), 0u);
            DWORD e = DecryptError(transport, false);
            EXPECT_TRUE(e == static_cast<DWORD>(NTE_BAD_DATA)) << std::hex << e;
        }
        Bytes badOid = *message;
        badOid[static_cast<size_t>(last - message->begin()) + 2] = 0xFF;
        EXPECT_EQ(DecryptError(badOid, false), static_cast<DWORD>(CRYPT_E_UNKNOWN_ALGO));
    }

    // A damaged encrypted key fails the key transport's check.
    Bytes damaged = *message;
    const Bytes marker = {0x04, 0x81, 0xA7}; // the OCTET STRING of the key transport
    auto at = std::search(damaged.begin(), damaged.end(), marker.begin(), marker.end());
    ASSERT_NE(at, damaged.end());
    at[60] ^= 0x01;
    DWORD e = DecryptError(damaged, false);
    EXPECT_TRUE(e == static_cast<DWORD>(NTE_BAD_DATA) || isAsn1OrBadMsg(e)) << std::hex << e;
}

TEST_F(Messages, EveryCodeSetHasASystemText)
{
    for (HRESULT code :
         {E_INVALIDARG, E_OUTOFMEMORY, HRESULT(ERROR_MORE_DATA), CRYPT_E_UNKNOWN_ALGO, CRYPT_E_BAD_LEN,
          NTE_FAIL, NTE_BAD_DATA, NTE_BAD_PUBLIC_KEY, CRYPT_E_NO_DECRYPT_CERT, SCARD_W_WRONG_CHV,
          CRYPT_E_UNEXPECTED_MSG_TYPE, CRYPT_E_BAD_MSG, CRYPT_E_ASN1_EOD, CRYPT_E_ASN1_CORRUPT,
          CRYPT_E_ASN1_BADTAG, NTE_BAD_UID, NTE_NO_KEY, NTE_BAD_KEYSET, NTE_KEYSET_ENTRY_BAD}) {
        char text[512] = {};
        DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                 static_cast<DWORD>(code), 0, text, sizeof(text), nullptr);
        EXPECT_GT(n, 0u) << std::hex << code;
    }
}

} // namespace
