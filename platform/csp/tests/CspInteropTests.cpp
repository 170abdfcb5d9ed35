// Enumeration rules, damaged containers and signatures against the openssl
// command line with the GOST engine.
#include "csp/Containers.h"
#include "wincrypt.h"

#include "testing/TestHome.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

namespace {

using trumik::testing::RunCommand;

HCRYPTPROV Verify(DWORD extra = 0)
{
    HCRYPTPROV prov = 0;
    EXPECT_TRUE(
        CryptAcquireContextA(&prov, nullptr, nullptr, PROV_GOST_2001_DH, CRYPT_VERIFYCONTEXT | extra));
    return prov;
}

void NewContainer(const std::string& name, DWORD flags = 0)
{
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(
        CryptAcquireContextA(&prov, name.c_str(), nullptr, PROV_GOST_2001_DH, CRYPT_NEWKEYSET | flags));
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(prov, AT_KEYEXCHANGE, 0, &key));
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
}

TEST(CspEnumeration, OrderFlagsAndBufferRules)
{
    for (auto scope : {trumik::csp::Scope::User, trumik::csp::Scope::Machine}) // other tests of this process
        for (const auto& c : trumik::csp::ListContainers(scope))
            ASSERT_EQ(trumik::csp::DeleteContainer(scope, c.name), 0u);
    HCRYPTPROV machine = Verify(CRYPT_MACHINE_KEYSET);
    DWORD len = 0;
    EXPECT_FALSE(CryptGetProvParam(machine, PP_ENUMCONTAINERS, nullptr, &len, CRYPT_FIRST | CRYPT_FQCN));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));

    std::string n52(52, 'x'), n53(53, 'y'); // fully qualified: 64 and 65 bytes
    NewContainer("beta");
    NewContainer(n52);
    NewContainer(n53);
    NewContainer("alpha");
    NewContainer("m1", CRYPT_MACHINE_KEYSET);

    HCRYPTPROV prov = Verify();
    ASSERT_TRUE(CryptGetProvParam(prov, PP_ENUMCONTAINERS, nullptr, &len, CRYPT_FIRST | CRYPT_FQCN));
    EXPECT_EQ(len, 66u); // the longest name with its NUL
    std::vector<char> buffer(len + 1);
    std::vector<std::string> fq, unique;
    for (DWORD flags = CRYPT_FIRST | CRYPT_FQCN;; flags = CRYPT_FQCN) {
        DWORD size = static_cast<DWORD>(buffer.size());
        if (!CryptGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(buffer.data()), &size, flags))
            break;
        EXPECT_EQ(size, strlen(buffer.data()) + 1);
        fq.push_back(buffer.data());
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    std::vector<std::string> expected = {"\\\\.\\HDIMAGE\\alpha", "\\\\.\\HDIMAGE\\beta",
                                         "\\\\.\\HDIMAGE\\" + n52, "\\\\.\\HDIMAGE\\" + n53};
    EXPECT_EQ(fq, expected);
    EXPECT_EQ(fq[2].size(), 64u);
    EXPECT_EQ(fq[3].size(), 65u);

    // Too small: ERROR_MORE_DATA with the size, and the same name comes again.
    DWORD small = 3;
    EXPECT_FALSE(CryptGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(buffer.data()), &small,
                                   CRYPT_FIRST | CRYPT_UNIQUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(small, 6u);
    DWORD size = static_cast<DWORD>(buffer.size());
    ASSERT_TRUE(CryptGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(buffer.data()), &size,
                                  CRYPT_UNIQUE));
    EXPECT_STREQ(buffer.data(), "alpha");

    size = static_cast<DWORD>(buffer.size());
    ASSERT_TRUE(CryptGetProvParam(machine, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(buffer.data()), &size,
                                  CRYPT_FIRST));
    EXPECT_STREQ(buffer.data(), "m1");
    CryptReleaseContext(prov, 0);
    CryptReleaseContext(machine, 0);

    auto list = trumik::csp::ListContainers(trumik::csp::Scope::User);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].fullyQualifiedName, "\\\\.\\HDIMAGE\\alpha");
    EXPECT_TRUE(list[0].hasExchangeKey);
}

TEST(CspContainers, FileCutShortIsRefused)
{
    NewContainer("cut");
    auto path = trumik::testing::TestHome() / "keys" / "user" / "cut.key";
    std::string text = trumik::testing::ReadFile(path);
    for (size_t keep : {size_t(0), size_t(10), text.size() / 2, text.size() - 1}) {
        trumik::testing::WriteFile(path, text.substr(0, keep));
        HCRYPTPROV prov = 0;
        EXPECT_FALSE(CryptAcquireContextA(&prov, "cut", nullptr, PROV_GOST_2001_DH, 0));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_KEYSET_ENTRY_BAD)) << keep;
    }
}

TEST(CspInterop, SignaturesBothWaysWithOpenssl)
{
    auto dir = trumik::testing::MakeTempDir("interop");
    std::string d = dir.string();
    ASSERT_EQ(RunCommand("openssl genpkey -engine gost -algorithm gost2001 -pkeyopt paramset:A -out " + d +
                         "/key.pem && openssl pkey -engine gost -in " + d + "/key.pem -outform DER -out " +
                         d + "/key.der && openssl pkey -engine gost -in " + d + "/key.pem -pubout -out " + d +
                         "/pub.pem"),
              0);
    std::string der = trumik::testing::ReadFile(dir / "key.der");
    // The DER from `openssl pkey` is PKCS #8.
    ASSERT_EQ(trumik::csp::CreateContainer(trumik::csp::Scope::User, "interop", AT_SIGNATURE,
                                           trumik::csp::Bytes(der.begin(), der.end()), std::string("pw"),
                                           true),
              0u);
    const std::string data = "data to be signed";
    trumik::testing::WriteFile(dir / "data", data);

    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextA(&prov, "interop", nullptr, PROV_GOST_2001_DH, 0));
    ASSERT_TRUE(CryptSetProvParam(prov, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>("pw"), 0));
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(prov, CALG_GR3411, 0, 0, &hash));
    ASSERT_TRUE(
        CryptHashData(hash, reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()), 0));
    BYTE digest[32];
    DWORD len = 32;
    ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, digest, &len, 0));
    trumik::testing::WriteFile(dir / "digest", std::string(reinterpret_cast<char*>(digest), 32));
    BYTE sig[64];
    DWORD sigLen = 64;
    ASSERT_TRUE(CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, sig, &sigLen));
    std::string reversed(reinterpret_cast<char*>(sig), 64);
    std::reverse(reversed.begin(), reversed.end());
    trumik::testing::WriteFile(dir / "sig", reversed);
    EXPECT_EQ(RunCommand("openssl pkeyutl -engine gost -verify -pubin -inkey " + d + "/pub.pem -sigfile " +
                         d + "/sig -in " + d + "/digest"),
              0);

    // openssl's signature over the data verifies here after reversal.
    ASSERT_EQ(RunCommand("openssl dgst -engine gost -md_gost94 -sign " + d + "/key.pem -out " + d + "/osig " +
                         d + "/data"),
              0);
    std::string osig = trumik::testing::ReadFile(dir / "osig");
    ASSERT_EQ(osig.size(), 64u);
    std::reverse(osig.begin(), osig.end());
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGetUserKey(prov, AT_SIGNATURE, &key));
    HCRYPTHASH h2 = 0;
    ASSERT_TRUE(CryptCreateHash(prov, CALG_GR3411, 0, 0, &h2));
    ASSERT_TRUE(
        CryptHashData(h2, reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()), 0));
    EXPECT_TRUE(CryptVerifySignatureW(h2, reinterpret_cast<const BYTE*>(osig.data()), 64, key, nullptr, 0));
    CryptDestroyHash(h2);
    CryptDestroyHash(hash);
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
}

} // namespace
