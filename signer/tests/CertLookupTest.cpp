#include "signer/CertLookup.h"

#include "common/Bstr.h"

#include "TestHome.h"

#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <string>

using namespace trumik;
using common::MakeBstr;
using common::UniqueBstr;
namespace tt = trumik::testing;

namespace {

std::u16string Ascii(const std::string& text)
{
    return std::u16string(text.begin(), text.end());
}

// Adds a new self-signed certificate to the user's "My" store; its SHA-1 hash.
std::array<BYTE, 20> AddCertificate(const std::string& name, const std::string& key)
{
    auto dir = tt::MakeTempDir(name);
    std::string d = dir.string();
    EXPECT_EQ(tt::RunCommand("openssl req -x509 -newkey " + key + " -nodes -subj /CN=" + name +
                             " -days 3 -keyout " + d + "/k.pem -outform DER -out " + d + "/c.der"),
              0);
    std::string der = tt::ReadFile(dir / "c.der");
    std::array<BYTE, 20> hash{};
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"My");
    EXPECT_NE(store, nullptr);
    PCCERT_CONTEXT added = nullptr;
    EXPECT_TRUE(CertAddEncodedCertificateToStore(
        store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size()),
        CERT_STORE_ADD_REPLACE_EXISTING, &added));
    DWORD size = sizeof hash;
    EXPECT_TRUE(CertGetCertificateContextProperty(added, CERT_SHA1_HASH_PROP_ID, hash.data(), &size));
    CertFreeCertificateContext(added);
    CertCloseStore(store, 0);
    return hash;
}

class CertLookupTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        static const char digits[] = "0123456789ABCDEF";
        for (BYTE b : AddCertificate("Lookup", "rsa:2048")) {
            thumbprint_ += digits[b >> 4];
            thumbprint_ += digits[b & 15];
        }
    }

    static signer::LookupResult Lookup(const std::u16string& storeName, const std::u16string& thumbprint)
    {
        UniqueBstr s = MakeBstr(storeName), t = MakeBstr(thumbprint);
        signer::UniqueStore store;
        signer::UniqueCertContext cert;
        signer::LookupResult result = signer::LookupCertificate(s.get(), t.get(), store, cert);
        EXPECT_EQ(result == signer::LookupResult::Found, cert != nullptr);
        return result;
    }

    static std::string thumbprint_;
};

std::string CertLookupTest::thumbprint_;

} // namespace

TEST_F(CertLookupTest, FindsByThumbprintInEitherCase)
{
    std::string lower = thumbprint_;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(Lookup(u"My", Ascii(thumbprint_)), signer::LookupResult::Found);
    EXPECT_EQ(Lookup(u"my", Ascii(lower)), signer::LookupResult::Found);
}

TEST_F(CertLookupTest, OnlyFortyCharactersFillTheHash)
{
    EXPECT_EQ(Lookup(u"My", Ascii(thumbprint_.substr(0, 39))), signer::LookupResult::CertNotFound);
    // Characters after the fortieth are never read.
    EXPECT_EQ(Lookup(u"My", Ascii(thumbprint_ + "ABCDE")), signer::LookupResult::Found);
    std::string separated;
    for (size_t i = 0; i < thumbprint_.size(); i += 2)
        separated += (i ? " " : "") + thumbprint_.substr(i, 2);
    EXPECT_EQ(Lookup(u"My", Ascii(separated)), signer::LookupResult::CertNotFound);
}

TEST_F(CertLookupTest, AStoreNameThatNamesNoStoreFindsNothing)
{
    EXPECT_EQ(Lookup(u"NoSuchStore", Ascii(thumbprint_)), signer::LookupResult::CertNotFound);
}

// "%2x" takes a sign into its field: a byte below 0x10 may be written "+6",
// one above 0xF0 as "-5" (0xFB).
TEST_F(CertLookupTest, SignedPairsFindTheCertificate)
{
    static const char digits[] = "0123456789abcdef";
    bool low = false, high = false;
    for (int attempt = 0; attempt < 64 && !(low && high); ++attempt) {
        const std::array<BYTE, 20> hash =
            AddCertificate("Signed" + std::to_string(attempt), "ec -pkeyopt ec_paramgen_curve:prime256v1");
        std::string thumbprint;
        low = high = false;
        for (BYTE b : hash) {
            if (b < 0x10) {
                low = true;
                thumbprint += std::string{'+', digits[b]};
            } else if (b > 0xF0) {
                high = true;
                thumbprint += std::string{'-', digits[0x100 - b]};
            } else {
                thumbprint += std::string{digits[b >> 4], digits[b & 15]};
            }
        }
        EXPECT_EQ(Lookup(u"My", Ascii(thumbprint)), signer::LookupResult::Found) << thumbprint;
    }
    EXPECT_TRUE(low && high) << "no thumbprint with a byte below 0x10 and one above 0xF0";
}

TEST(ScanHexPair, ReadsAsPercentTwoX)
{
    unsigned value = 0;
    EXPECT_TRUE(signer::ScanHexPair("aF", value));
    EXPECT_EQ(value, 0xAFu);
    EXPECT_TRUE(signer::ScanHexPair(" 7x", value));
    EXPECT_EQ(value, 0x7u);
    EXPECT_FALSE(signer::ScanHexPair("zz", value));
}
