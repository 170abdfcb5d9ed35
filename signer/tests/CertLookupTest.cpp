#include "signer/CertLookup.h"

#include "common/Bstr.h"

#include "SignerFixtures.h"
#include "TestHome.h"

#include <gtest/gtest.h>

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

// A new self-signed certificate in the user's "My" store; its thumbprint.
std::string AddCertificate(const std::string& name, const std::string& key)
{
    auto dir = tt::MakeTempDir(name);
    std::string d = dir.string();
    EXPECT_EQ(tt::RunCommand("openssl req -x509 -newkey " + key + " -nodes -subj /CN=" + name +
                             " -days 3 -keyout " + d + "/k.pem -outform DER -out " + d + "/c.der"),
              0);
    return signertest::AddToMy(dir, "c.der", tt::ReadFile(dir / "c.der"), u"none").thumbprint;
}

class CertLookupTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { thumbprint_ = AddCertificate("Lookup", "rsa:2048"); }

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
        const std::string hex =
            AddCertificate("Signed" + std::to_string(attempt), "ec -pkeyopt ec_paramgen_curve:prime256v1");
        std::string thumbprint;
        low = high = false;
        for (size_t i = 0; i < hex.size(); i += 2) {
            const BYTE b = static_cast<BYTE>(std::stoul(hex.substr(i, 2), nullptr, 16));
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
