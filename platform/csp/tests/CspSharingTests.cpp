// PINs shared between contexts, and containers written by several processes.
#include "csp/Containers.h"
#include "wincrypt.h"

#include "testing/TestHome.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

DWORD SignWith(HCRYPTPROV prov)
{
    HCRYPTHASH hash = 0;
    EXPECT_TRUE(CryptCreateHash(prov, CALG_GR3411, 0, 0, &hash));
    BYTE sig[64];
    DWORD len = 64;
    BOOL ok = CryptSignHashW(hash, AT_KEYEXCHANGE, nullptr, 0, sig, &len);
    DWORD error = ok ? 0 : GetLastError();
    CryptDestroyHash(hash);
    return error;
}

TEST(CspPins, PinOfOneContextServesAnotherWhileItLives)
{
    HCRYPTPROV first = 0;
    ASSERT_TRUE(CryptAcquireContextA(&first, "shared", nullptr, PROV_GOST_2001_DH, CRYPT_NEWKEYSET));
    ASSERT_TRUE(CryptSetProvParam(first, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>("secret"), 0));
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(first, AT_KEYEXCHANGE, 0, &key));
    CryptDestroyKey(key);

    HCRYPTPROV second = 0;
    ASSERT_TRUE(CryptAcquireContextA(&second, "shared", nullptr, PROV_GOST_2001_DH, CRYPT_SILENT));
    EXPECT_EQ(SignWith(second), 0u);
    ASSERT_TRUE(CryptReleaseContext(first, 0));
    EXPECT_EQ(SignWith(second), static_cast<DWORD>(SCARD_W_WRONG_CHV));
    CryptReleaseContext(second, 0);
}

BOOL SetPin(HCRYPTPROV prov, const char* pin, DWORD param = PP_KEYEXCHANGE_PIN)
{
    return CryptSetProvParam(prov, param, reinterpret_cast<const BYTE*>(pin), 0);
}

// A new container holding one key of keySpec, under the PIN when one is given.
void MakeContainer(const char* name, DWORD keySpec, const char* pin)
{
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextA(&prov, name, nullptr, PROV_GOST_2001_DH, CRYPT_NEWKEYSET));
    if (pin) { // an empty container takes any PIN: it protects the key made next
        ASSERT_TRUE(SetPin(prov, pin));
    }
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(prov, keySpec, 0, &key));
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
}

TEST(CspPins, APinIsCheckedWhenItIsSet)
{
    MakeContainer("checked", AT_KEYEXCHANGE, "right");
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextA(&prov, "checked", nullptr, PROV_GOST_2001_DH, CRYPT_SILENT));
    for (const char* wrong : {"wrong", "", "righ", "right "}) {
        SCOPED_TRACE(wrong);
        SetLastError(0);
        EXPECT_FALSE(SetPin(prov, wrong));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(SCARD_W_WRONG_CHV));
        EXPECT_FALSE(SetPin(prov, wrong, PP_SIGNATURE_PIN));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(SCARD_W_WRONG_CHV));
    }
    ASSERT_TRUE(SetPin(prov, "right"));
    EXPECT_EQ(SignWith(prov), 0u);

    // A refused PIN changes nothing: the context keeps its PIN, and so does
    // every context of the container that relies on it.
    HCRYPTPROV other = 0;
    ASSERT_TRUE(CryptAcquireContextA(&other, "checked", nullptr, PROV_GOST_2001_DH, CRYPT_SILENT));
    EXPECT_FALSE(SetPin(prov, "wrong"));
    EXPECT_FALSE(SetPin(other, "wrong"));
    EXPECT_EQ(SignWith(prov), 0u);
    EXPECT_EQ(SignWith(other), 0u);
    ASSERT_TRUE(CryptReleaseContext(prov, 0));
    EXPECT_EQ(SignWith(other), static_cast<DWORD>(SCARD_W_WRONG_CHV));
    CryptReleaseContext(other, 0);

    // A container protected by the empty PIN takes the empty PIN only.
    MakeContainer("empty-pin", AT_KEYEXCHANGE, "");
    ASSERT_TRUE(CryptAcquireContextA(&prov, "empty-pin", nullptr, PROV_GOST_2001_DH, CRYPT_SILENT));
    EXPECT_FALSE(SetPin(prov, "x"));
    EXPECT_TRUE(SetPin(prov, ""));
    EXPECT_EQ(SignWith(prov), 0u);
    CryptReleaseContext(prov, 0);
}

TEST(CspPins, WhatIsCheckedIsTheContainersOwnPin)
{
    // A signature key alone is checked as well, through either parameter.
    MakeContainer("sign-only", AT_SIGNATURE, "sig");
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextA(&prov, "sign-only", nullptr, PROV_GOST_2001_DH, CRYPT_SILENT));
    EXPECT_FALSE(SetPin(prov, "exchange", PP_SIGNATURE_PIN));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(SCARD_W_WRONG_CHV));
    EXPECT_FALSE(SetPin(prov, "exchange"));
    EXPECT_TRUE(SetPin(prov, "sig", PP_SIGNATURE_PIN));
    EXPECT_TRUE(SetPin(prov, "sig"));
    CryptReleaseContext(prov, 0);

    // Without a PIN on the container any PIN is taken; so it is on a
    // verify-only context, which has no container.
    MakeContainer("open", AT_KEYEXCHANGE, nullptr);
    ASSERT_TRUE(CryptAcquireContextA(&prov, "open", nullptr, PROV_GOST_2001_DH, CRYPT_SILENT));
    EXPECT_TRUE(SetPin(prov, "anything"));
    EXPECT_EQ(SignWith(prov), 0u);
    CryptReleaseContext(prov, 0);
    ASSERT_TRUE(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_GOST_2001_DH, CRYPT_VERIFYCONTEXT));
    EXPECT_TRUE(SetPin(prov, "anything"));
    CryptReleaseContext(prov, 0);

    // A container gone since the context was acquired is reported as such.
    MakeContainer("gone", AT_KEYEXCHANGE, "pin");
    ASSERT_TRUE(CryptAcquireContextA(&prov, "gone", nullptr, PROV_GOST_2001_DH, CRYPT_SILENT));
    HCRYPTPROV deleter = 0;
    ASSERT_TRUE(CryptAcquireContextA(&deleter, "gone", nullptr, PROV_GOST_2001_DH, CRYPT_DELETEKEYSET));
    EXPECT_FALSE(SetPin(prov, "pin"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
    CryptReleaseContext(prov, 0);
}

// Keys stay decoded between signatures; that must not let a wrong PIN or an
// old key through.
TEST(CspPins, DecodedKeysFollowThePinAndTheStoredKey)
{
    HCRYPTPROV owner = 0;
    ASSERT_TRUE(CryptAcquireContextA(&owner, "decoded", nullptr, PROV_GOST_2001_DH, CRYPT_NEWKEYSET));
    ASSERT_TRUE(CryptSetProvParam(owner, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>("good"), 0));
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(owner, AT_KEYEXCHANGE, 0, &key));
    CryptDestroyKey(key);
    EXPECT_EQ(SignWith(owner), 0u);
    EXPECT_EQ(SignWith(owner), 0u);
    ASSERT_TRUE(CryptReleaseContext(owner, 0));

    HCRYPTPROV wrong = 0;
    ASSERT_TRUE(CryptAcquireContextA(&wrong, "decoded", nullptr, PROV_GOST_2001_DH, CRYPT_SILENT));
    EXPECT_EQ(SignWith(wrong), static_cast<DWORD>(SCARD_W_WRONG_CHV)); // no PIN at all
    EXPECT_FALSE(CryptSetProvParam(wrong, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>("bad"), 0));
    EXPECT_EQ(SignWith(wrong), static_cast<DWORD>(SCARD_W_WRONG_CHV));
    ASSERT_TRUE(CryptSetProvParam(wrong, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>("good"), 0));
    EXPECT_EQ(SignWith(wrong), 0u);

    // A new key in the container signs with the new key, not the one kept decoded.
    ASSERT_TRUE(CryptGenKey(wrong, AT_KEYEXCHANGE, 0, &key));
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(wrong, CALG_GR3411, 0, 0, &hash));
    BYTE sig[64];
    DWORD len = sizeof sig;
    ASSERT_TRUE(CryptSignHashW(hash, AT_KEYEXCHANGE, nullptr, 0, sig, &len));
    CryptDestroyHash(hash);
    ASSERT_TRUE(CryptCreateHash(wrong, CALG_GR3411, 0, 0, &hash));
    EXPECT_TRUE(CryptVerifySignatureW(hash, sig, len, key, nullptr, 0));
    CryptDestroyHash(hash);
    CryptDestroyKey(key);
    CryptReleaseContext(wrong, 0);
}

TEST(CspFiles, ConcurrentWritersLoseNothing)
{
    constexpr int kEach = 15;
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
        children[c] = fork();
        if (children[c] == 0) {
            for (int i = 0; i < kEach; ++i) {
                HCRYPTPROV prov = 0;
                std::string name = "p" + std::to_string(c) + "-" + std::to_string(i);
                if (!CryptAcquireContextA(&prov, name.c_str(), nullptr, PROV_GOST_2001_DH, CRYPT_NEWKEYSET))
                    _exit(1);
                CryptReleaseContext(prov, 0);
            }
            _exit(0);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    size_t count = 0;
    for (const auto& c : trumik::csp::ListContainers(trumik::csp::Scope::User))
        count += c.name[0] == 'p' && c.readable;
    EXPECT_EQ(count, 2u * kEach);
}

} // namespace
