// The reader of GOST key transports and the CryptoPro key unwrap, on a
// message openssl makes: the transport addressed to the certificate is
// found, anything cut or bent is passed over without reading out of bounds,
// and a wrong key-encryption key or parameter set is refused.
#include "crypt/KeyTransport.h"
#include "csp/ContextKey.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;
using trumik::crypt::GostKeyTransport;
using trumik::crypt::GostKeyTransportsFor;
using trumik::crypt::UnwrapCryptoPro;

// The DER of the certificate's IssuerAndSerialNumber.
Bytes RidOf(const std::filesystem::path& certPem)
{
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_file(certPem.c_str(), "r"), BIO_free);
    std::unique_ptr<X509, decltype(&X509_free)> cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr),
                                                     X509_free);
    if (!cert)
        return {};
    unsigned char* issuer = nullptr;
    unsigned char* serial = nullptr;
    const int a = i2d_X509_NAME(X509_get_issuer_name(cert.get()), &issuer);
    const int b = i2d_ASN1_INTEGER(X509_get0_serialNumber(cert.get()), &serial);
    Bytes both(issuer, issuer + a);
    both.insert(both.end(), serial, serial + b);
    OPENSSL_free(issuer);
    OPENSSL_free(serial);
    Bytes rid{0x30};
    if (both.size() < 128) {
        rid.push_back(static_cast<BYTE>(both.size()));
    } else {
        rid.push_back(0x81);
        rid.push_back(static_cast<BYTE>(both.size()));
    }
    rid.insert(rid.end(), both.begin(), both.end());
    return rid;
}

class KeyTransport : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "keytransport.XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        const std::string d = pattern;
        const std::string cmd =
            "cd '" + d +
            "' && openssl req -engine gost -x509 -newkey gost2012_256 -pkeyopt paramset:A -nodes "
            "-keyout k.pem -subj /CN=Recipient -days 3 -out c.pem >/dev/null 2>&1 && "
            "openssl req -engine gost -x509 -newkey gost2012_256 -pkeyopt paramset:A -nodes "
            "-keyout k2.pem -subj /CN=Other -days 3 -out c2.pem >/dev/null 2>&1 && printf secret >m && "
            "openssl cms -encrypt -engine gost -gost89 -binary -outform DER -in m -out m.p7m c.pem c2.pem "
            ">/dev/null 2>&1";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    static void TearDownTestSuite()
    {
        if (dir_)
            std::filesystem::remove_all(*dir_);
        dir_.reset();
    }
    static Bytes Message()
    {
        std::ifstream in(*dir_ / "m.p7m", std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static inline std::optional<std::filesystem::path> dir_;
};

TEST_F(KeyTransport, TheTransportForTheCertificateIsFoundAndNoOther)
{
    const Bytes message = Message();
    const Bytes rid = RidOf(*dir_ / "c.pem");
    ASSERT_FALSE(rid.empty());
    const auto found = GostKeyTransportsFor(message.data(), message.size(), rid);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].encryptedKey.size(), 32u);
    EXPECT_EQ(found[0].mac.size(), 4u);
    EXPECT_EQ(found[0].ukm.size(), 8u);
    EXPECT_EQ(found[0].ephemeralKey.size(), 64u);
    const auto other = GostKeyTransportsFor(message.data(), message.size(), RidOf(*dir_ / "c2.pem"));
    ASSERT_EQ(other.size(), 1u);
    EXPECT_NE(other[0].ephemeralKey, found[0].ephemeralKey);
    EXPECT_TRUE(GostKeyTransportsFor(message.data(), message.size(), Bytes{0x30, 0x00}).empty());
}

// Every cut and every bent byte of the message: at most the one transport,
// never a read past the bytes given (the sanitizer run checks the reads).
TEST_F(KeyTransport, CutOrBentMessagesAreReadWithinTheirBytes)
{
    const Bytes message = Message();
    const Bytes rid = RidOf(*dir_ / "c.pem");
    for (size_t size = 0; size < message.size(); ++size) {
        Bytes cut(message.begin(), message.begin() + static_cast<std::ptrdiff_t>(size));
        EXPECT_TRUE(GostKeyTransportsFor(cut.data(), cut.size(), rid).empty()) << size;
    }
    for (size_t at = 0; at < message.size(); ++at) {
        Bytes bent = message;
        bent[at] ^= 0xFF;
        EXPECT_LE(GostKeyTransportsFor(bent.data(), bent.size(), rid).size(), 1u) << at;
    }
}

TEST_F(KeyTransport, AWrongKeyOrParameterSetIsRefused)
{
    const Bytes message = Message();
    auto found = GostKeyTransportsFor(message.data(), message.size(), RidOf(*dir_ / "c.pem"));
    ASSERT_EQ(found.size(), 1u);
    ENGINE* engine = trumik::csp::GostEngine();
    ASSERT_NE(engine, nullptr);
    Bytes cek;
    EXPECT_EQ(UnwrapCryptoPro(engine, Bytes(32, 0x5A), found[0], &cek), static_cast<DWORD>(NTE_BAD_DATA));
    EXPECT_TRUE(cek.empty());
    EXPECT_EQ(UnwrapCryptoPro(engine, Bytes(31, 0x5A), found[0], &cek), static_cast<DWORD>(NTE_BAD_ALGID));
    GostKeyTransport otherSet = found[0];
    otherSet.paramSetOid = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x1F, 0x02}; // CryptoPro B
    EXPECT_EQ(UnwrapCryptoPro(engine, Bytes(32, 0x5A), otherSet, &cek), static_cast<DWORD>(NTE_BAD_ALGID));
}

} // namespace
