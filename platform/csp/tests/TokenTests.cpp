// Key pairs on the test token as containers of the provider, reached through
// a spy library that counts logins and requests for a private key's value.
// Signatures are checked by the provider and by the openssl command.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include "csp/ContextKey.h"
#include "csp/CspInternal.h"
#include "csp/Pkcs11.h"
#include "csp/Tokens.h"
#include "wincrypt.h"

#include "csp/tests/TokenFixture.h"
#include "testing/TestHome.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <dlfcn.h>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using trumik::csp::Bytes;
using trumik::csp::GostKind;
using trumik::testing::RunCommand;
using trumik::testing::TestHome;
using trumik::testing::WriteFile;
using namespace trumik::testing;

class TokenTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_NE(Spy(), nullptr) << dlerror();
        ASSERT_NO_FATAL_FAILURE(InitialiseToken());
        std::string error;
        ASSERT_EQ(trumik::csp::AddTokenModule(TRUMIK_SPY_PATH, &error), 0u) << error;
        ASSERT_EQ(
            trumik::csp::TokenGenerateKeyPair(kLabel, kPin, GostKind::R2012_256, &container_, &spki_, &error),
            0u)
            << error;
    }
    void TearDown() override
    {
        for (HCRYPTPROV prov : contexts_)
            CryptReleaseContext(prov, 0);
    }
    HCRYPTPROV Acquire(const std::string& name, DWORD type = PROV_GOST_2012_256)
    {
        HCRYPTPROV prov = 0;
        if (!CryptAcquireContextA(&prov, name.c_str(), nullptr, type, 0))
            return 0;
        contexts_.push_back(prov);
        return prov;
    }
    std::string container_;
    Bytes spki_;
    std::vector<HCRYPTPROV> contexts_;
};

std::vector<std::string> Enumerate(DWORD type, DWORD extra)
{
    HCRYPTPROV prov = 0;
    std::vector<std::string> names;
    if (!CryptAcquireContextA(&prov, nullptr, nullptr, type, CRYPT_VERIFYCONTEXT))
        return names;
    for (DWORD flags = CRYPT_FIRST | extra;; flags = extra) {
        char name[1024];
        DWORD size = sizeof name;
        if (!CryptGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &size, flags))
            break;
        names.emplace_back(name);
    }
    CryptReleaseContext(prov, 0);
    return names;
}

bool Contains(const std::vector<std::string>& names, const std::string& name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

struct Signed {
    Bytes digest, signature;
};

// Hashes data with the key's digest and signs it with the context's key;
// the last error is left when it fails.
std::optional<Signed> SignWith(HCRYPTPROV prov, ALG_ID hashAlg = CALG_GR3411_2012_256)
{
    HCRYPTHASH hash = 0;
    if (!CryptCreateHash(prov, hashAlg, 0, 0, &hash))
        return std::nullopt;
    const BYTE data[] = "signed on the token";
    Signed out;
    out.digest.resize(64);
    DWORD digestSize = 64;
    DWORD size = 128;
    out.signature.resize(size);
    bool ok = CryptHashData(hash, data, sizeof data - 1, 0) &&
              CryptGetHashParam(hash, HP_HASHVAL, out.digest.data(), &digestSize, 0) &&
              CryptSignHashA(hash, AT_KEYEXCHANGE, nullptr, 0, out.signature.data(), &size);
    DWORD error = GetLastError();
    CryptDestroyHash(hash);
    SetLastError(error);
    if (!ok)
        return std::nullopt;
    out.digest.resize(digestSize);
    out.signature.resize(size);
    return out;
}

bool VerifiedByProvider(HCRYPTPROV prov, const Signed& made, ALG_ID hashAlg = CALG_GR3411_2012_256)
{
    HCRYPTKEY key = 0;
    HCRYPTHASH hash = 0;
    const BYTE data[] = "signed on the token";
    bool ok = CryptGetUserKey(prov, AT_KEYEXCHANGE, &key) && CryptCreateHash(prov, hashAlg, 0, 0, &hash) &&
              CryptHashData(hash, data, sizeof data - 1, 0) &&
              CryptVerifySignatureA(hash, made.signature.data(), static_cast<DWORD>(made.signature.size()),
                                    key, nullptr, 0);
    if (hash)
        CryptDestroyHash(hash);
    if (key)
        CryptDestroyKey(key);
    return ok;
}

TEST_F(TokenTest, ContainerIsListedForItsTypeOnlyAndOpensInEitherCase)
{
    ASSERT_EQ(container_.rfind("\\\\.\\Test A\\", 0), 0u) << container_;
    const std::string id = container_.substr(std::strlen("\\\\.\\Test A\\"));
    ASSERT_EQ(id.size(), 16u);
    EXPECT_TRUE(std::none_of(id.begin(), id.end(),
                             [](char c) { return std::isupper(static_cast<unsigned char>(c)); }));

    EXPECT_TRUE(Contains(Enumerate(PROV_GOST_2012_256, 0), container_));
    EXPECT_TRUE(Contains(Enumerate(PROV_GOST_2012_256, CRYPT_FQCN), container_));
    EXPECT_FALSE(Contains(Enumerate(PROV_GOST_2012_512, CRYPT_FQCN), container_));
    EXPECT_FALSE(Contains(Enumerate(PROV_GOST_2001_DH, CRYPT_FQCN), container_));

    std::string upper = container_;
    std::transform(upper.end() - 16, upper.end(), upper.end() - 16, [](char c) { return std::toupper(c); });
    HCRYPTPROV prov = Acquire(upper);
    ASSERT_NE(prov, 0u) << std::hex << GetLastError();
    char name[256];
    DWORD size = sizeof name;
    ASSERT_TRUE(CryptGetProvParam(prov, PP_CONTAINER, reinterpret_cast<BYTE*>(name), &size, 0));
    EXPECT_EQ(std::string(name), container_);

    // Key pairs on a token are neither made nor removed through the provider.
    HCRYPTPROV other = 0;
    EXPECT_FALSE(
        CryptAcquireContextA(&other, container_.c_str(), nullptr, PROV_GOST_2012_256, CRYPT_NEWKEYSET));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_NOT_SUPPORTED));
    EXPECT_FALSE(
        CryptAcquireContextA(&other, container_.c_str(), nullptr, PROV_GOST_2012_256, CRYPT_DELETEKEYSET));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_NOT_SUPPORTED));
    HCRYPTKEY key = 0;
    EXPECT_FALSE(CryptGenKey(prov, AT_SIGNATURE, 0, &key));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_NOT_SUPPORTED));
    EXPECT_EQ(Acquire("\\\\.\\Test A\\00ff"), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
    EXPECT_EQ(Acquire("\\\\.\\No such token\\" + id), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
}

TEST_F(TokenTest, SignsOnTheTokenOnceAPinIsSetAndOpensslVerifies)
{
    HCRYPTPROV prov = Acquire(container_);
    ASSERT_NE(prov, 0u);
    // Logged in through cert new's key generation, the token would sign; the
    // container has no PIN yet, so it does not.
    EXPECT_FALSE(SignWith(prov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(SCARD_W_WRONG_CHV));
    ASSERT_TRUE(CryptSetProvParam(prov, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>(kPin), 0));
    auto made = SignWith(prov);
    ASSERT_TRUE(made) << std::hex << GetLastError();
    ASSERT_EQ(made->signature.size(), 64u);
    EXPECT_TRUE(VerifiedByProvider(prov, *made));

    // openssl takes the engine's order: the provider's signature reversed.
    auto dir = trumik::testing::MakeTempDir("token-sign");
    WriteFile(dir / "spki.der", std::string(spki_.begin(), spki_.end()));
    WriteFile(dir / "digest.bin", std::string(made->digest.begin(), made->digest.end()));
    Bytes reversed(made->signature.rbegin(), made->signature.rend());
    WriteFile(dir / "sig.bin", std::string(reversed.begin(), reversed.end()));
    const std::string d = dir.string();
    ASSERT_EQ(RunCommand("openssl pkey -engine gost -pubin -inform DER -in " + d + "/spki.der -out " + d +
                         "/pub.pem"),
              0);
    EXPECT_EQ(RunCommand("openssl pkeyutl -engine gost -verify -pubin -inkey " + d + "/pub.pem -in " + d +
                         "/digest.bin -sigfile " + d + "/sig.bin"),
              0);
    WriteFile(dir / "sig.bin", std::string(made->signature.begin(), made->signature.end()));
    EXPECT_NE(RunCommand("openssl pkeyutl -engine gost -verify -pubin -inkey " + d + "/pub.pem -in " + d +
                         "/digest.bin -sigfile " + d + "/sig.bin"),
              0);

    // The PUBLICKEYBLOB ends with the key as the certificate carries it.
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGetUserKey(prov, AT_SIGNATURE, &key));
    BYTE blob[256];
    DWORD size = sizeof blob;
    ASSERT_TRUE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob, &size));
    CryptDestroyKey(key);
    EXPECT_TRUE(std::equal(blob + size - 64, blob + size, spki_.end() - 64));
}

// A token without the bare signature mechanism signs the message with the
// one that hashes itself; the signature is the same kind of signature.
TEST_F(TokenTest, TokenWithoutTheBareMechanismSignsTheMessage)
{
    HCRYPTPROV prov = Acquire(container_);
    ASSERT_NE(prov, 0u);
    ASSERT_TRUE(CryptSetProvParam(prov, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>(kPin), 0));
    setenv("TRUMIK_SPY_HIDE", "1201", 1); // CKM_GOSTR3410
    auto made = SignWith(prov);
    DWORD error = GetLastError();
    setenv("TRUMIK_SPY_HIDE", "d4321008", 1); // and CKM_GOSTR3410_WITH_GOSTR3411_12_256 alone
    auto bare = SignWith(prov);
    unsetenv("TRUMIK_SPY_HIDE");
    ASSERT_TRUE(made) << std::hex << error;
    EXPECT_TRUE(VerifiedByProvider(prov, *made));
    EXPECT_TRUE(bare);
}

TEST_F(TokenTest, WrongPinIsOneRefusedLoginAndTheEarlierPinStands)
{
    HCRYPTPROV first = Acquire(container_), second = Acquire(container_);
    ASSERT_NE(first, 0u);
    ASSERT_NE(second, 0u);
    ASSERT_TRUE(CryptSetProvParam(first, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>(kPin), 0));
    SpyCounts before = Counts();
    EXPECT_FALSE(CryptSetProvParam(second, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>("9999"), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(SCARD_W_WRONG_CHV));
    SpyCounts after = Counts();
    EXPECT_EQ(after.failedLogins - before.failedLogins, 1u);
    // The first context's PIN still stands, for it and for the second.
    EXPECT_TRUE(SignWith(first)) << std::hex << GetLastError();
    EXPECT_TRUE(SignWith(second)) << std::hex << GetLastError();

    before = Counts();
    EXPECT_TRUE(CryptSetProvParam(second, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>(kPin), 0));
    after = Counts();
    EXPECT_EQ(after.logins - before.logins, 1u);
    EXPECT_EQ(after.failedLogins, before.failedLogins);
    EXPECT_TRUE(SignWith(second));
}

TEST_F(TokenTest, PrivateKeyValueIsNeverAskedFor)
{
    // The spy sees such a request when one is made.
    CK_FUNCTION_LIST_PTR f = SpyFunctions();
    CK_SESSION_HANDLE session;
    ASSERT_EQ(f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
    const CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE find{CKA_CLASS, const_cast<CK_OBJECT_CLASS*>(&cls), sizeof cls};
    CK_OBJECT_HANDLE object = 0;
    CK_ULONG found = 0;
    ASSERT_EQ(f->C_FindObjectsInit(session, &find, 1), CKR_OK);
    ASSERT_EQ(f->C_FindObjects(session, &object, 1, &found), CKR_OK);
    f->C_FindObjectsFinal(session);
    ASSERT_EQ(found, 1u);
    SpyCounts before = Counts();
    CK_ATTRIBUTE value{CKA_VALUE, nullptr, 0};
    EXPECT_NE(f->C_GetAttributeValue(session, object, &value, 1), CKR_OK);
    EXPECT_EQ(Counts().privateValueRequests, before.privateValueRequests + 1);
    f->C_CloseSession(session);

    // Everything the provider and the tools do with the key.
    before = Counts();
    std::vector<std::string> problems;
    auto slots = trumik::csp::ListTokenSlots(&problems, std::string(kPin));
    ASSERT_FALSE(slots.empty());
    ASSERT_EQ(slots[0].keys.size(), 1u);
    EXPECT_TRUE(slots[0].keys[0].privateKeySeen);
    HCRYPTPROV prov = Acquire(container_);
    ASSERT_TRUE(CryptSetProvParam(prov, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>(kPin), 0));
    auto made = SignWith(prov);
    ASSERT_TRUE(made);
    EXPECT_TRUE(VerifiedByProvider(prov, *made));
    Bytes kek;
    trumik::csp::TokenDeriveKek(container_, Bytes(spki_.end() - 64, spki_.end()), Bytes(8, 1), &kek);
    EXPECT_EQ(Counts().privateValueRequests, before.privateValueRequests);
}

// The key-encryption key the token agrees is the one the engine agrees with
// the other side's private key (VKO GOST R 34.10-2012, UKM as the IV).
TEST_F(TokenTest, DerivedKeyMatchesTheEngine)
{
    trumik::csp::UniqueEvpPkey ephemeral = trumik::csp::GenerateGostKey(GostKind::R2012_256);
    ASSERT_TRUE(ephemeral);
    auto ephemeralSpki = trumik::csp::PublicKeyToSpki(ephemeral.get());
    ASSERT_TRUE(ephemeralSpki);
    const Bytes ukm{1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(trumik::csp::TokenLogin(container_, kPin), 0u);
    Bytes kek;
    ASSERT_EQ(trumik::csp::TokenDeriveKek(container_, Bytes(ephemeralSpki->end() - 64, ephemeralSpki->end()),
                                          ukm, &kek),
              0u);
    trumik::csp::UniqueEvpPkey tokenPublic = trumik::csp::PublicKeyFromSpki(spki_);
    ASSERT_TRUE(tokenPublic);
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
        EVP_PKEY_CTX_new(ephemeral.get(), nullptr), EVP_PKEY_CTX_free);
    ASSERT_TRUE(ctx);
    ASSERT_EQ(EVP_PKEY_derive_init(ctx.get()), 1);
    ASSERT_EQ(EVP_PKEY_derive_set_peer(ctx.get(), tokenPublic.get()), 1);
    ASSERT_GT(EVP_PKEY_CTX_ctrl(ctx.get(), -1, -1, EVP_PKEY_CTRL_SET_IV, static_cast<int>(ukm.size()),
                                const_cast<uint8_t*>(ukm.data())),
              0);
    Bytes expected(32);
    size_t size = expected.size();
    ASSERT_EQ(EVP_PKEY_derive(ctx.get(), expected.data(), &size), 1);
    expected.resize(size);
    EXPECT_EQ(kek, expected);
}

// A context on a token key agrees a key-encryption key only once a PIN
// stands for it, gives what the token derives, and says NTE_BAD_ALGID for a
// token without the derive mechanism (the message functions then fail).
TEST_F(TokenTest, ContextAgreesOnTheTokenOnceItsPinIsSet)
{
    HCRYPTPROV prov = Acquire(container_);
    ASSERT_NE(prov, 0u);
    trumik::csp::UniqueEvpPkey ephemeral = trumik::csp::GenerateGostKey(GostKind::R2012_256);
    auto ephemeralSpki = trumik::csp::PublicKeyToSpki(ephemeral.get());
    ASSERT_TRUE(ephemeralSpki);
    const Bytes peer(ephemeralSpki->end() - 64, ephemeralSpki->end()), ukm{8, 7, 6, 5, 4, 3, 2, 1};
    Bytes kek;
    EXPECT_EQ(trumik::csp::ContextAgreeKek(prov, AT_KEYEXCHANGE, peer, ukm, &kek),
              static_cast<DWORD>(SCARD_W_WRONG_CHV));
    ASSERT_TRUE(CryptSetProvParam(prov, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>(kPin), 0));
    ASSERT_EQ(trumik::csp::ContextAgreeKek(prov, AT_KEYEXCHANGE, peer, ukm, &kek), 0u);
    Bytes direct;
    ASSERT_EQ(trumik::csp::TokenDeriveKek(container_, peer, ukm, &direct), 0u);
    EXPECT_EQ(kek, direct);
    EXPECT_EQ(trumik::csp::ContextAgreeKek(prov, 7, peer, ukm, &kek), static_cast<DWORD>(NTE_NO_KEY));
    setenv("TRUMIK_SPY_HIDE", "d4321007", 1); // CKM_GOSTR3410_2012_DERIVE
    const DWORD hidden = trumik::csp::ContextAgreeKek(prov, AT_KEYEXCHANGE, peer, ukm, &kek);
    unsetenv("TRUMIK_SPY_HIDE");
    EXPECT_EQ(hidden, static_cast<DWORD>(NTE_BAD_ALGID));
}

TEST_F(TokenTest, RemovedTokenIsABadKeysetAndComesBack)
{
    HCRYPTPROV prov = Acquire(container_);
    ASSERT_NE(prov, 0u);
    ASSERT_TRUE(CryptSetProvParam(prov, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>(kPin), 0));
    const auto removed = TestHome() / "testtoken" / "slot0.removed";
    WriteFile(removed, "");
    EXPECT_FALSE(SignWith(prov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
    EXPECT_EQ(Acquire(container_), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
    EXPECT_FALSE(Contains(Enumerate(PROV_GOST_2012_256, 0), container_));
    std::vector<std::string> problems;
    auto slots = trumik::csp::ListTokenSlots(&problems);
    ASSERT_FALSE(slots.empty());
    EXPECT_FALSE(slots[0].present);

    // Back in: a new session, and the PIN set again logs in again.
    std::filesystem::remove(removed);
    HCRYPTPROV again = Acquire(container_);
    ASSERT_NE(again, 0u) << std::hex << GetLastError();
    ASSERT_TRUE(CryptSetProvParam(again, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>(kPin), 0));
    EXPECT_TRUE(SignWith(again)) << std::hex << GetLastError();
}

TEST(TokenModules, LibrariesThatAreNotPkcs11AreRefusedWithTheirReason)
{
    ASSERT_NE(Spy(), nullptr) << dlerror(); // names its target
    const auto dir = trumik::testing::MakeTempDir("modules");
    WriteFile(dir / "text.so", "not a library\n");
    std::string error;
    EXPECT_EQ(trumik::csp::AddTokenModule((dir / "missing.so").string(), &error), DWORD(ERROR_MOD_NOT_FOUND));
    EXPECT_NE(error.find("no such file"), std::string::npos) << error;
    EXPECT_EQ(trumik::csp::AddTokenModule((dir / "text.so").string(), &error), DWORD(ERROR_BAD_FORMAT));
    EXPECT_NE(error.find("not a shared library"), std::string::npos) << error;
    // A shared object without the entry point: the platform library itself.
    Dl_info info{};
    ASSERT_TRUE(dladdr(reinterpret_cast<void*>(&CryptAcquireContextA), &info));
    EXPECT_EQ(trumik::csp::AddTokenModule(info.dli_fname, &error), DWORD(ERROR_PROC_NOT_FOUND));
    EXPECT_NE(error.find("no C_GetFunctionList"), std::string::npos) << error;
    EXPECT_TRUE(trumik::csp::TokenModules().empty());

    ASSERT_EQ(trumik::csp::AddTokenModule(TRUMIK_TESTTOKEN_PATH, &error), 0u) << error;
    ASSERT_EQ(trumik::csp::AddTokenModule(TRUMIK_SPY_PATH, &error), 0u) << error;
    EXPECT_EQ(trumik::csp::AddTokenModule(TRUMIK_TESTTOKEN_PATH, &error), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(trumik::csp::TokenModules(),
              (std::vector<std::string>{TRUMIK_TESTTOKEN_PATH, TRUMIK_SPY_PATH}));
    EXPECT_EQ(trumik::csp::RemoveTokenModule(TRUMIK_TESTTOKEN_PATH), 0u);
    EXPECT_EQ(trumik::csp::RemoveTokenModule(TRUMIK_TESTTOKEN_PATH), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(trumik::csp::TokenModules(), (std::vector<std::string>{TRUMIK_SPY_PATH}));
}

} // namespace
