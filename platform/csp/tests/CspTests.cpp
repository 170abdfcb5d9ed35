#include "csp/ProviderSettings.h"
#include "wincrypt.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(CspContexts, NewOpenDeleteKeyset)
{
    HCRYPTPROV prov = 0;
    ASSERT_FALSE(CryptAcquireContextA(&prov, "c1", nullptr, PROV_GOST_2001_DH, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
    ASSERT_TRUE(CryptAcquireContextA(&prov, "c1", nullptr, PROV_GOST_2001_DH, CRYPT_NEWKEYSET));
    EXPECT_TRUE(CryptReleaseContext(prov, 0));
    HCRYPTPROV again = 0;
    EXPECT_FALSE(CryptAcquireContextA(&again, "c1", nullptr, PROV_GOST_2001_DH, CRYPT_NEWKEYSET));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_EXISTS));
    ASSERT_TRUE(CryptAcquireContextA(&prov, "\\\\.\\HDIMAGE\\c1", nullptr, PROV_GOST_2001_DH, 0));
    EXPECT_TRUE(CryptReleaseContext(prov, 0));
    EXPECT_FALSE(CryptReleaseContext(prov, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID));
    EXPECT_FALSE(CryptAcquireContextA(&prov, nullptr, nullptr, 1, CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_PROV_TYPE_NOT_DEF));
    EXPECT_FALSE(CryptAcquireContextA(&prov, nullptr, "Other", PROV_GOST_2001_DH, CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_KEYSET_NOT_DEF));
    ASSERT_TRUE(CryptAcquireContextA(&prov, "c1", nullptr, PROV_GOST_2001_DH, CRYPT_DELETEKEYSET));
    EXPECT_FALSE(CryptAcquireContextA(&prov, "c1", nullptr, PROV_GOST_2001_DH, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
}

TEST(CspSignatures, SignVerifyAndWrongPin)
{
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextA(&prov, "signer", nullptr, PROV_GOST_2001_DH, CRYPT_NEWKEYSET));
    const char pin[] = "1234";
    ASSERT_TRUE(CryptSetProvParam(prov, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>(pin), 0));
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(prov, AT_KEYEXCHANGE, CRYPT_EXPORTABLE, &key));
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(prov, CALG_GR3411, 0, 0, &hash));
    ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>("abc"), 3, 0));
    BYTE value[32];
    DWORD len = sizeof value;
    ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, value, &len, 0));
    EXPECT_EQ(value[0], 0xb2);
    EXPECT_EQ(value[31], 0x2c);
    EXPECT_FALSE(CryptHashData(hash, value, 1, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_HASH_STATE));
    BYTE sig[64];
    DWORD sigLen = sizeof sig;
    ASSERT_TRUE(CryptSignHashW(hash, AT_KEYEXCHANGE, nullptr, 0, sig, &sigLen));
    EXPECT_TRUE(CryptVerifySignatureW(hash, sig, sigLen, key, nullptr, 0));
    sig[5] ^= 1;
    EXPECT_FALSE(CryptVerifySignatureW(hash, sig, sigLen, key, nullptr, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_SIGNATURE));

    // A wrong PIN is refused as it is set; the context then signs with the
    // PIN that the live first context set for the container.
    HCRYPTPROV second = 0;
    ASSERT_TRUE(CryptAcquireContextA(&second, "signer", nullptr, PROV_GOST_2001_DH, 0));
    const char wrong[] = "0000";
    EXPECT_FALSE(CryptSetProvParam(second, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>(wrong), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(SCARD_W_WRONG_CHV));
    HCRYPTHASH h2 = 0;
    ASSERT_TRUE(CryptCreateHash(second, CALG_GR3411, 0, 0, &h2));
    sigLen = sizeof sig;
    EXPECT_TRUE(CryptSignHashW(h2, AT_KEYEXCHANGE, nullptr, 0, sig, &sigLen));
    CryptDestroyHash(h2);
    CryptReleaseContext(second, 0);
    CryptDestroyHash(hash);
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
}

TEST(CspParams, NameVersionContainer)
{
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_GOST_2001_DH, CRYPT_VERIFYCONTEXT));
    DWORD len = 0;
    ASSERT_TRUE(CryptGetProvParam(prov, PP_NAME, nullptr, &len, 0));
    EXPECT_EQ(len, sizeof(CP_GR3410_2001_PROV_A));
    std::vector<char> name(len);
    DWORD small = 4;
    EXPECT_FALSE(CryptGetProvParam(prov, PP_NAME, reinterpret_cast<BYTE*>(name.data()), &small, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(small, len);
    ASSERT_TRUE(CryptGetProvParam(prov, PP_NAME, reinterpret_cast<BYTE*>(name.data()), &len, 0));
    EXPECT_STREQ(name.data(), CP_GR3410_2001_PROV_A);
    DWORD version = 0;
    len = sizeof version;
    ASSERT_TRUE(CryptGetProvParam(prov, PP_VERSION, reinterpret_cast<BYTE*>(&version), &len, 0));
    EXPECT_EQ(version, 0x400u);
    ASSERT_TRUE(trumik::csp::SetProviderVersion(0x300));
    ASSERT_TRUE(CryptGetProvParam(prov, PP_VERSION, reinterpret_cast<BYTE*>(&version), &len, 0));
    EXPECT_EQ(version, 0x300u);
    ASSERT_TRUE(trumik::csp::ResetProviderVersion());
    ASSERT_TRUE(CryptGetProvParam(prov, PP_VERSION, reinterpret_cast<BYTE*>(&version), &len, 0));
    EXPECT_EQ(version, 0x400u);
    CryptReleaseContext(prov, 0);

    ASSERT_TRUE(CryptAcquireContextA(&prov, "pc", nullptr, PROV_GOST_2001_DH, CRYPT_NEWKEYSET));
    char container[16];
    len = sizeof container;
    ASSERT_TRUE(CryptGetProvParam(prov, PP_UNIQUE_CONTAINER, reinterpret_cast<BYTE*>(container), &len, 0));
    EXPECT_STREQ(container, "pc");
    HCRYPTKEY key = 0;
    EXPECT_FALSE(CryptGetUserKey(prov, AT_SIGNATURE, &key));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_NO_KEY));
    CryptReleaseContext(prov, 0);
}

} // namespace
