// Several threads sign with one key pair on the test token at once: each
// through its own context, all through the token's one session.
#include "csp/Tokens.h"
#include "csp/tests/TokenFixture.h"
#include "wincrypt.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using namespace trumik::testing;

// Signs a message through a context of its own and checks the signature with
// the key the provider reads from the token.
bool SignAndVerify(const std::string& container, const BYTE* data, DWORD size)
{
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextA(&prov, container.c_str(), nullptr, PROV_GOST_2012_256, 0))
        return false;
    HCRYPTHASH hash = 0, check = 0;
    HCRYPTKEY key = 0;
    BYTE signature[64];
    DWORD length = sizeof signature;
    bool ok =
        CryptSetProvParam(prov, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>(kPin), 0) &&
        CryptCreateHash(prov, CALG_GR3411_2012_256, 0, 0, &hash) && CryptHashData(hash, data, size, 0) &&
        CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, signature, &length) &&
        CryptGetUserKey(prov, AT_SIGNATURE, &key) &&
        CryptCreateHash(prov, CALG_GR3411_2012_256, 0, 0, &check) && CryptHashData(check, data, size, 0) &&
        CryptVerifySignatureA(check, signature, length, key, nullptr, 0);
    if (check)
        CryptDestroyHash(check);
    if (hash)
        CryptDestroyHash(hash);
    if (key)
        CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
    return ok;
}

TEST(TokenThreads, SignaturesFromSeveralThreadsAllVerify)
{
    ASSERT_NE(Spy(), nullptr) << dlerror();
    ASSERT_NO_FATAL_FAILURE(InitialiseToken());
    std::string error, container;
    trumik::csp::Bytes spki;
    ASSERT_EQ(trumik::csp::AddTokenModule(TRUMIK_SPY_PATH, &error), 0u) << error;
    ASSERT_EQ(trumik::csp::TokenGenerateKeyPair(kLabel, kPin, trumik::csp::GostKind::R2012_256, &container,
                                                &spki, &error),
              0u)
        << error;
    constexpr int kThreads = 4, kRounds = 3;
    std::atomic<int> verified{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                const BYTE data[] = {static_cast<BYTE>(t), static_cast<BYTE>(round), 'x'};
                if (SignAndVerify(container, data, sizeof data))
                    ++verified;
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(verified.load(), kThreads * kRounds);
}

} // namespace
