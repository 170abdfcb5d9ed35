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
    ASSERT_TRUE(CryptSetProvParam(wrong, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>("bad"), 0));
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
