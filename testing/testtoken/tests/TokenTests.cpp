// The test token through its function list, for what pkcs11-tool does not
// reach: exact return codes, the order of checks, PIN counts kept across
// restarts, removed tokens, short buffers and bad handles, and derivation and
// signatures checked against the GOST engine itself.
#include "tests/TokenClient.h"

#include "TestHome.h"

#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace trumik::testtoken::tests {
namespace {

using trumik::testing::ReadFile;
using trumik::testing::WriteFile;

std::string Padded(const unsigned char* field, size_t size)
{
    return std::string(field, field + size);
}

Bytes UlongBytes(CK_ULONG value)
{
    Bytes out(sizeof value);
    std::memcpy(out.data(), &value, sizeof value);
    return out;
}

std::string Pad(std::string text, size_t size)
{
    text.resize(size, ' ');
    return text;
}

CK_TOKEN_INFO TokenInfo(CK_FUNCTION_LIST* p11, CK_SLOT_ID slot)
{
    CK_TOKEN_INFO info{};
    EXPECT_EQ(p11->C_GetTokenInfo(slot, &info), CKR_OK);
    return info;
}

// The user PIN failure count as the state file keeps it.
std::string UserFailuresLine(const std::filesystem::path& dir)
{
    std::istringstream in(ReadFile(dir / "slot0.state"));
    for (std::string line; std::getline(in, line);)
        if (line.rfind("user-failures ", 0) == 0)
            return line;
    return {};
}

// A DER certificate (P-256, self-signed) for certificate objects.
Bytes MakeCertificate(const std::string& commonName)
{
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 4242);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, (const unsigned char*)commonName.c_str(), -1, -1,
                               0);
    X509_set_issuer_name(cert.get(), name);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    X509_set_pubkey(cert.get(), key.get());
    X509_sign(cert.get(), key.get(), EVP_sha256());
    int len = i2d_X509(cert.get(), nullptr);
    Bytes der(static_cast<size_t>(len));
    unsigned char* p = der.data();
    i2d_X509(cert.get(), &p);
    return der;
}

CK_GOSTR3410_DERIVE_PARAMS DeriveParams(Bytes& peer, Bytes& ukm)
{
    return CK_GOSTR3410_DERIVE_PARAMS{CKD_KDF_GOSTR3411_2012_256, peer.data(), peer.size(), ukm.data(),
                                      ukm.size()};
}

// --- initialisation and PINs ------------------------------------------------

TEST_F(TokenTest, NewTokenIsUninitialisedUntilInitTokenThenReportsLabelMakerAndPins)
{
    CK_TOKEN_INFO info = TokenInfo(p11_, 0);
    EXPECT_EQ(info.flags & CKF_TOKEN_INITIALIZED, 0u);
    EXPECT_EQ(info.flags & CKF_USER_PIN_INITIALIZED, 0u);
    EXPECT_EQ(Padded(info.manufacturerID, 32), Pad("Zelvane test token", 32));
    EXPECT_EQ(Padded(info.model, 16), "trumik-testtoken");
    EXPECT_NE(Padded(info.serialNumber, 16), Padded(TokenInfo(p11_, 1).serialNumber, 16));

    InitToken(0, "first label");
    info = TokenInfo(p11_, 0);
    EXPECT_EQ(Padded(info.label, 32), Pad("first label", 32));
    EXPECT_EQ(info.flags & (CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED | CKF_LOGIN_REQUIRED | CKF_RNG),
              CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED | CKF_LOGIN_REQUIRED | CKF_RNG);
    EXPECT_EQ(TokenInfo(p11_, 1).flags & CKF_TOKEN_INITIALIZED, 0u) << "slot 1 has a token of its own";

    // Initialising again: refused while a session is open or with a wrong
    // SO PIN; done, it wipes the objects and the user PIN.
    CK_SESSION_HANDLE session = Open(0);
    ASSERT_EQ(Login(session, CKU_USER, kUserPin), CKR_OK);
    NewKeyPair(session);
    std::string label = Pad("second", 32);
    EXPECT_EQ(p11_->C_InitToken(0, (CK_UTF8CHAR_PTR)kSoPin, 8, (CK_UTF8CHAR_PTR)label.data()),
              CKR_SESSION_EXISTS);
    ASSERT_EQ(p11_->C_CloseSession(session), CKR_OK);
    EXPECT_EQ(p11_->C_InitToken(0, (CK_UTF8CHAR_PTR) "00000000", 8, (CK_UTF8CHAR_PTR)label.data()),
              CKR_PIN_INCORRECT);
    ASSERT_EQ(p11_->C_InitToken(0, (CK_UTF8CHAR_PTR)kSoPin, 8, (CK_UTF8CHAR_PTR)label.data()), CKR_OK);
    info = TokenInfo(p11_, 0);
    EXPECT_EQ(Padded(info.label, 32), label);
    EXPECT_EQ(info.flags & CKF_USER_PIN_INITIALIZED, 0u);
    session = Open(0);
    EXPECT_EQ(Login(session, CKU_USER, kUserPin), CKR_USER_PIN_NOT_INITIALIZED);
    ASSERT_EQ(Login(session, CKU_SO, kSoPin), CKR_OK);
    Template all;
    EXPECT_TRUE(Find(session, all).empty());
}

TEST_F(TokenTest, WrongPinsCountAcrossRestartsOneEachAndLockAtTheTenth)
{
    InitToken(0);
    CK_SESSION_HANDLE session = Open(0);
    for (int i = 1; i <= 5; ++i) {
        EXPECT_EQ(Login(session, CKU_USER, "0000"), CKR_PIN_INCORRECT);
        EXPECT_EQ(UserFailuresLine(dir_), "user-failures " + std::to_string(i)) << "one count per C_Login";
    }
    EXPECT_EQ(TokenInfo(p11_, 0).flags & (CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY),
              CKF_USER_PIN_COUNT_LOW);

    Restart();
    session = Open(0);
    for (int i = 6; i <= 9; ++i)
        EXPECT_EQ(Login(session, CKU_USER, "0000"), CKR_PIN_INCORRECT);
    EXPECT_NE(TokenInfo(p11_, 0).flags & CKF_USER_PIN_FINAL_TRY, 0u);
    EXPECT_EQ(Login(session, CKU_USER, "0000"), CKR_PIN_INCORRECT);
    EXPECT_EQ(Login(session, CKU_USER, kUserPin), CKR_PIN_LOCKED);
    EXPECT_NE(TokenInfo(p11_, 0).flags & CKF_USER_PIN_LOCKED, 0u);

    Restart();
    session = Open(0);
    EXPECT_EQ(Login(session, CKU_USER, kUserPin), CKR_PIN_LOCKED);
    // The SO unlocks by setting a new user PIN.
    ASSERT_EQ(Login(session, CKU_SO, kSoPin), CKR_OK);
    ASSERT_EQ(p11_->C_InitPIN(session, (CK_UTF8CHAR_PTR) "5678", 4), CKR_OK);
    ASSERT_EQ(p11_->C_Logout(session), CKR_OK);
    EXPECT_EQ(Login(session, CKU_USER, "5678"), CKR_OK);
    EXPECT_EQ(UserFailuresLine(dir_), "user-failures 0");
}

TEST_F(TokenTest, RightPinResetsTheCountAndLoginStatesFollowTheStandard)
{
    InitToken(0);
    CK_SESSION_HANDLE readOnly = Open(0, false);
    CK_SESSION_HANDLE session = Open(0);
    for (int i = 0; i < 9; ++i)
        ASSERT_EQ(Login(session, CKU_USER, "9999"), CKR_PIN_INCORRECT);
    EXPECT_EQ(Login(session, CKU_USER, kUserPin), CKR_OK);
    EXPECT_EQ(TokenInfo(p11_, 0).flags & (CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY), 0u);
    EXPECT_EQ(UserFailuresLine(dir_), "user-failures 0");

    // Login is per application: a second session shares it.
    CK_SESSION_INFO info{};
    ASSERT_EQ(p11_->C_GetSessionInfo(readOnly, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RO_USER_FUNCTIONS);
    EXPECT_EQ(Login(readOnly, CKU_USER, kUserPin), CKR_USER_ALREADY_LOGGED_IN);
    EXPECT_EQ(Login(session, CKU_SO, kSoPin), CKR_USER_ANOTHER_ALREADY_LOGGED_IN);
    EXPECT_EQ(p11_->C_InitPIN(session, (CK_UTF8CHAR_PTR) "5555", 4), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(p11_->C_Logout(session), CKR_OK);
    EXPECT_EQ(p11_->C_Logout(session), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(Login(session, CKU_SO, kSoPin), CKR_SESSION_READ_ONLY_EXISTS);
    EXPECT_EQ(Login(session, 7, kSoPin), CKR_USER_TYPE_INVALID);

    // C_SetPIN changes the user's PIN; the old one is then wrong.
    EXPECT_EQ(p11_->C_SetPIN(readOnly, (CK_UTF8CHAR_PTR)kUserPin, 4, (CK_UTF8CHAR_PTR) "4321", 4),
              CKR_SESSION_READ_ONLY);
    EXPECT_EQ(p11_->C_SetPIN(session, (CK_UTF8CHAR_PTR)kUserPin, 4, (CK_UTF8CHAR_PTR) "12", 2),
              CKR_PIN_LEN_RANGE);
    ASSERT_EQ(p11_->C_SetPIN(session, (CK_UTF8CHAR_PTR)kUserPin, 4, (CK_UTF8CHAR_PTR) "4321", 4), CKR_OK);
    EXPECT_EQ(Login(session, CKU_USER, kUserPin), CKR_PIN_INCORRECT);
    EXPECT_EQ(Login(session, CKU_USER, "4321"), CKR_OK);

    // Closing the last session ends the login.
    ASSERT_EQ(p11_->C_CloseAllSessions(0), CKR_OK);
    session = Open(0);
    ASSERT_EQ(p11_->C_GetSessionInfo(session, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RW_PUBLIC_SESSION);
}

// --- signatures and derivation against the engine ---------------------------

TEST_F(TokenTest, SignaturesVerifyWithTheEngineSingleAndMultiPart)
{
    CK_SESSION_HANDLE session = UserSession();
    const Bytes data = Bytes32("data the token signs, in more than one piece");
    for (bool big : {false, true}) {
        SCOPED_TRACE(big ? "2012-512" : "2012-256");
        KeyPairHandles keys = NewKeyPair(session, big);
        Bytes value = Attribute(session, keys.publicKey, CKA_VALUE);
        ASSERT_EQ(value.size(), big ? 128u : 64u);
        UniquePkey engineKey =
            EnginePublicKey(big, Attribute(session, keys.publicKey, CKA_GOSTR3410_PARAMS),
                            Attribute(session, keys.publicKey, CKA_GOSTR3411_PARAMS), value);
        ASSERT_TRUE(engineKey);
        Bytes digest = EngineDigest(big, data);

        CK_MECHANISM_TYPE withDigest =
            big ? CKM_GOSTR3410_WITH_GOSTR3411_12_512 : CKM_GOSTR3410_WITH_GOSTR3411_12_256;
        Bytes single = Sign(session, withDigest, keys.privateKey, data);
        ASSERT_EQ(single.size(), big ? 128u : 64u);
        EXPECT_TRUE(EngineVerify(engineKey.get(), digest, single));

        CK_MECHANISM m{withDigest, nullptr, 0};
        ASSERT_EQ(p11_->C_SignInit(session, &m, keys.privateKey), CKR_OK);
        ASSERT_EQ(p11_->C_SignUpdate(session, const_cast<CK_BYTE_PTR>(data.data()), 10), CKR_OK);
        ASSERT_EQ(p11_->C_SignUpdate(session, const_cast<CK_BYTE_PTR>(data.data()) + 10, data.size() - 10),
                  CKR_OK);
        Bytes multi(128);
        CK_ULONG len = multi.size();
        ASSERT_EQ(p11_->C_SignFinal(session, multi.data(), &len), CKR_OK);
        multi.resize(len);
        EXPECT_TRUE(EngineVerify(engineKey.get(), digest, multi));

        // The bare mechanism signs the digest as the digest function gives it.
        Bytes bare = Sign(session, big ? CKM_GOSTR3410_512 : CKM_GOSTR3410, keys.privateKey, digest);
        EXPECT_TRUE(EngineVerify(engineKey.get(), digest, bare));

        // The token verifies its own, and refuses a changed one.
        CK_MECHANISM v{withDigest, nullptr, 0};
        ASSERT_EQ(p11_->C_VerifyInit(session, &v, keys.publicKey), CKR_OK);
        EXPECT_EQ(p11_->C_Verify(session, const_cast<CK_BYTE_PTR>(data.data()), data.size(), single.data(),
                                 single.size()),
                  CKR_OK);
        single[5] ^= 1;
        ASSERT_EQ(p11_->C_VerifyInit(session, &v, keys.publicKey), CKR_OK);
        EXPECT_EQ(p11_->C_Verify(session, const_cast<CK_BYTE_PTR>(data.data()), data.size(), single.data(),
                                 single.size()),
                  CKR_SIGNATURE_INVALID);
    }
}

TEST_F(TokenTest, KeysOf2001SignWithGostR3411_94)
{
    CK_SESSION_HANDLE session = UserSession();
    Template pub, priv;
    pub.Add(CKA_GOSTR3410_PARAMS, OidDer("1.2.643.2.2.35.2"))
        .Add(CKA_GOSTR3411_PARAMS, OidDer("1.2.643.2.2.30.1"));
    KeyPairHandles keys;
    ASSERT_EQ(GenerateKeyPair(session, CKM_GOSTR3410_KEY_PAIR_GEN, pub, priv, keys), CKR_OK);
    EXPECT_EQ(Attribute(session, keys.privateKey, CKA_GOSTR3411_PARAMS), OidDer("1.2.643.2.2.30.1"));
    const Bytes data = Bytes32("a 2001 key signs this");
    Bytes signature = Sign(session, CKM_GOSTR3410_WITH_GOSTR3411, keys.privateKey, data);
    UniquePkey engineKey =
        EnginePublicKey("1.2.643.2.2.19", OidDer("1.2.643.2.2.35.2"), OidDer("1.2.643.2.2.30.1"),
                        Attribute(session, keys.publicKey, CKA_VALUE));
    ASSERT_TRUE(engineKey);
    EXPECT_TRUE(EngineVerify(engineKey.get(), EngineDigest(NID_id_GostR3411_94, data), signature));
}

TEST_F(TokenTest, DeriveGivesTheKeyTheEngineDerives)
{
    CK_SESSION_HANDLE session = UserSession();
    // CryptoPro A and TC26 512 A have cofactor 1; TC26 256 A and 512 C,
    // the twisted Edwards curves, have cofactor 4.
    struct Case {
        bool big;
        std::string curve;
    };
    for (const Case& c : {Case{false, "1.2.643.2.2.35.1"}, Case{false, "1.2.643.7.1.2.1.1.1"},
                          Case{true, "1.2.643.7.1.2.1.2.1"}, Case{true, "1.2.643.7.1.2.1.2.3"}}) {
        SCOPED_TRACE(c.curve);
        bool big = c.big;
        const std::string& curve = c.curve;
        KeyPairHandles keys = NewKeyPair(session, big, true, curve);
        UniquePkey peer = EngineKeyPair(big, curve);
        ASSERT_TRUE(peer);
        Bytes peerValue = EnginePublicValue(peer.get());
        ASSERT_EQ(peerValue.size(), big ? 128u : 64u);
        Bytes ukm{1, 2, 3, 4, 5, 6, 7, 8};

        CK_GOSTR3410_DERIVE_PARAMS params = DeriveParams(peerValue, ukm);
        CK_MECHANISM m{CKM_GOSTR3410_2012_DERIVE, &params, sizeof params};
        Template kek;
        kek.Bool(CKA_TOKEN, false).Bool(CKA_SENSITIVE, false).Bool(CKA_EXTRACTABLE, true);
        CK_OBJECT_HANDLE derived = CK_INVALID_HANDLE;
        ASSERT_EQ(p11_->C_DeriveKey(session, &m, keys.privateKey, kek.data(), kek.size(), &derived), CKR_OK);
        Bytes ours = Attribute(session, derived, CKA_VALUE);
        ASSERT_EQ(ours.size(), 32u);

        UniquePkey tokenPublic =
            EnginePublicKey(big, Attribute(session, keys.publicKey, CKA_GOSTR3410_PARAMS),
                            Attribute(session, keys.publicKey, CKA_GOSTR3411_PARAMS),
                            Attribute(session, keys.publicKey, CKA_VALUE));
        EXPECT_EQ(ours, EngineDerive(peer.get(), tokenPublic.get(), ukm));
        EXPECT_EQ(Attribute(session, derived, CKA_KEY_TYPE), UlongBytes(CKK_GOST28147));
        EXPECT_EQ(Attribute(session, derived, CKA_CLASS), UlongBytes(CKO_SECRET_KEY));

        // A derived key is sensitive unless the template says otherwise.
        Template plain;
        ASSERT_EQ(p11_->C_DeriveKey(session, &m, keys.privateKey, plain.data(), plain.size(), &derived),
                  CKR_OK);
        CK_ATTRIBUTE value{CKA_VALUE, nullptr, 0};
        EXPECT_EQ(p11_->C_GetAttributeValue(session, derived, &value, 1), CKR_ATTRIBUTE_SENSITIVE);

        // Parameters out of range.
        Bytes shortUkm{1, 2, 3, 4, 5, 6, 7};
        CK_GOSTR3410_DERIVE_PARAMS bad = DeriveParams(peerValue, shortUkm);
        m.pParameter = &bad;
        EXPECT_EQ(p11_->C_DeriveKey(session, &m, keys.privateKey, kek.data(), kek.size(), &derived),
                  CKR_MECHANISM_PARAM_INVALID);
        bad = DeriveParams(peerValue, ukm);
        bad.kdf = CKD_NULL;
        EXPECT_EQ(p11_->C_DeriveKey(session, &m, keys.privateKey, kek.data(), kek.size(), &derived),
                  CKR_MECHANISM_PARAM_INVALID);
        bad = DeriveParams(peerValue, ukm);
        bad.ulPublicDataLen -= 1;
        EXPECT_EQ(p11_->C_DeriveKey(session, &m, keys.privateKey, kek.data(), kek.size(), &derived),
                  CKR_MECHANISM_PARAM_INVALID);
        bad = DeriveParams(peerValue, ukm);
        m.ulParameterLen = sizeof bad - 1;
        EXPECT_EQ(p11_->C_DeriveKey(session, &m, keys.privateKey, kek.data(), kek.size(), &derived),
                  CKR_MECHANISM_PARAM_INVALID);
        // A point not on the curve.
        Bytes offCurve(peerValue.size(), 0x11);
        bad = DeriveParams(offCurve, ukm);
        m.ulParameterLen = sizeof bad;
        EXPECT_EQ(p11_->C_DeriveKey(session, &m, keys.privateKey, kek.data(), kek.size(), &derived),
                  CKR_MECHANISM_PARAM_INVALID);
    }
}

// --- the private value ------------------------------------------------------

TEST_F(TokenTest, PrivateValueOfASensitiveOrUnextractableKeyIsNeverGivenOut)
{
    CK_SESSION_HANDLE session = UserSession();
    KeyPairHandles keys = NewKeyPair(session);

    // Refused alone and beside attributes that are given.
    Bytes value(64, 0xAA), id(8, 0);
    CK_ATTRIBUTE attributes[] = {{CKA_VALUE, value.data(), value.size()}, {CKA_ID, id.data(), id.size()}};
    EXPECT_EQ(p11_->C_GetAttributeValue(session, keys.privateKey, attributes, 2), CKR_ATTRIBUTE_SENSITIVE);
    EXPECT_EQ(attributes[0].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(value, Bytes(64, 0xAA)) << "nothing written into the caller's buffer";
    EXPECT_EQ(attributes[1].ulValueLen, 1u);
    EXPECT_EQ(id[0], 'k');
    CK_ATTRIBUTE lengthOnly{CKA_VALUE, nullptr, 0};
    EXPECT_EQ(p11_->C_GetAttributeValue(session, keys.privateKey, &lengthOnly, 1), CKR_ATTRIBUTE_SENSITIVE);
    EXPECT_EQ(lengthOnly.ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(Attribute(session, keys.privateKey, CKA_SENSITIVE), Bytes{static_cast<unsigned char>(CK_TRUE)});
    EXPECT_EQ(Attribute(session, keys.privateKey, CKA_EXTRACTABLE),
              Bytes{static_cast<unsigned char>(CK_FALSE)});

    // A key made extractable and not sensitive gives its value; either
    // guard alone keeps it in.
    struct Case {
        bool sensitive, extractable, given;
    };
    for (Case c : {Case{false, true, true}, Case{true, true, false}, Case{false, false, false}}) {
        Template pub, priv;
        pub.Bool(CKA_TOKEN, false);
        priv.Bool(CKA_TOKEN, false).Bool(CKA_SENSITIVE, c.sensitive).Bool(CKA_EXTRACTABLE, c.extractable);
        KeyPairHandles pair;
        ASSERT_EQ(GenerateKeyPair(session, CKM_GOSTR3410_KEY_PAIR_GEN, pub, priv, pair), CKR_OK);
        CK_ATTRIBUTE query{CKA_VALUE, nullptr, 0};
        EXPECT_EQ(p11_->C_GetAttributeValue(session, pair.privateKey, &query, 1),
                  c.given ? CKR_OK : CKR_ATTRIBUTE_SENSITIVE);
        EXPECT_EQ(query.ulValueLen, c.given ? 32u : CK_UNAVAILABLE_INFORMATION);
        // Nor does a search tell a sensitive value by matching it.
        if (c.given) {
            Bytes d = Attribute(session, pair.privateKey, CKA_VALUE);
            Template byValue;
            byValue.Add(CKA_VALUE, d);
            EXPECT_EQ(Find(session, byValue), std::vector<CK_OBJECT_HANDLE>{pair.privateKey});
        }
    }

    // A private key created whole is sensitive by default as well.
    Template pub, priv;
    pub.Bool(CKA_TOKEN, false);
    priv.Bool(CKA_TOKEN, false).Bool(CKA_SENSITIVE, false).Bool(CKA_EXTRACTABLE, true);
    KeyPairHandles source;
    ASSERT_EQ(GenerateKeyPair(session, CKM_GOSTR3410_KEY_PAIR_GEN, pub, priv, source), CKR_OK);
    Bytes d = Attribute(session, source.privateKey, CKA_VALUE);
    Template created;
    created.Ulong(CKA_CLASS, CKO_PRIVATE_KEY)
        .Ulong(CKA_KEY_TYPE, CKK_GOSTR3410)
        .Add(CKA_GOSTR3410_PARAMS, Attribute(session, source.publicKey, CKA_GOSTR3410_PARAMS))
        .Add(CKA_VALUE, d);
    CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
    ASSERT_EQ(p11_->C_CreateObject(session, created.data(), created.size(), &handle), CKR_OK);
    CK_ATTRIBUTE query{CKA_VALUE, nullptr, 0};
    EXPECT_EQ(p11_->C_GetAttributeValue(session, handle, &query, 1), CKR_ATTRIBUTE_SENSITIVE);
    Template byValue;
    byValue.Add(CKA_VALUE, d);
    EXPECT_EQ(Find(session, byValue), std::vector<CK_OBJECT_HANDLE>{source.privateKey});
}

// --- a removed token ----------------------------------------------------------

TEST_F(TokenTest, RemovedTokenIsSeenOnTheNextCallAndComesBack)
{
    InitToken(0, "removable");
    CK_SESSION_HANDLE session = Open(0);
    WriteFile(dir_ / "slot0.removed", "");

    CK_SLOT_ID slots[2];
    CK_ULONG count = 2;
    ASSERT_EQ(p11_->C_GetSlotList(CK_TRUE, slots, &count), CKR_OK);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(slots[0], 1u);
    count = 2;
    ASSERT_EQ(p11_->C_GetSlotList(CK_FALSE, slots, &count), CKR_OK);
    EXPECT_EQ(count, 2u);
    CK_SLOT_INFO slotInfo{};
    ASSERT_EQ(p11_->C_GetSlotInfo(0, &slotInfo), CKR_OK);
    EXPECT_EQ(slotInfo.flags & CKF_TOKEN_PRESENT, 0u);
    CK_TOKEN_INFO info{};
    EXPECT_EQ(p11_->C_GetTokenInfo(0, &info), CKR_TOKEN_NOT_PRESENT);
    CK_SESSION_HANDLE other = CK_INVALID_HANDLE;
    EXPECT_EQ(p11_->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &other), CKR_TOKEN_NOT_PRESENT);
    CK_SESSION_INFO sessionInfo{};
    EXPECT_EQ(p11_->C_GetSessionInfo(session, &sessionInfo), CKR_DEVICE_REMOVED);
    EXPECT_EQ(p11_->C_GetSessionInfo(session, &sessionInfo), CKR_SESSION_HANDLE_INVALID);
    ASSERT_EQ(p11_->C_GetSlotInfo(1, &slotInfo), CKR_OK);
    EXPECT_NE(slotInfo.flags & CKF_TOKEN_PRESENT, 0u);

    std::filesystem::remove(dir_ / "slot0.removed");
    ASSERT_EQ(p11_->C_GetTokenInfo(0, &info), CKR_OK);
    EXPECT_EQ(Padded(info.label, 32), Pad("removable", 32));
    session = Open(0);
    EXPECT_EQ(Login(session, CKU_USER, kUserPin), CKR_OK);
}

// --- buffers, handles, arguments ------------------------------------------------

TEST_F(TokenTest, ShortBuffersGiveTheLengthNeededAndKeepTheOperation)
{
    CK_SLOT_ID slot = 9;
    CK_ULONG count = 1;
    EXPECT_EQ(p11_->C_GetSlotList(CK_FALSE, &slot, &count), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 2u);
    count = 0;
    ASSERT_EQ(p11_->C_GetMechanismList(0, nullptr, &count), CKR_OK);
    std::vector<CK_MECHANISM_TYPE> mechanisms(count - 1);
    CK_ULONG room = mechanisms.size();
    EXPECT_EQ(p11_->C_GetMechanismList(0, mechanisms.data(), &room), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(room, count);

    CK_SESSION_HANDLE session = UserSession();
    KeyPairHandles keys = NewKeyPair(session);
    Bytes data = Bytes32("short buffers");
    CK_MECHANISM m{CKM_GOSTR3410_WITH_GOSTR3411_12_256, nullptr, 0};
    ASSERT_EQ(p11_->C_SignInit(session, &m, keys.privateKey), CKR_OK);
    CK_ULONG len = 0;
    ASSERT_EQ(p11_->C_Sign(session, data.data(), data.size(), nullptr, &len), CKR_OK);
    EXPECT_EQ(len, 64u);
    Bytes signature(63);
    len = signature.size();
    EXPECT_EQ(p11_->C_Sign(session, data.data(), data.size(), signature.data(), &len), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 64u);
    signature.resize(64);
    len = 64;
    ASSERT_EQ(p11_->C_Sign(session, data.data(), data.size(), signature.data(), &len), CKR_OK);
    EXPECT_EQ(p11_->C_Sign(session, data.data(), data.size(), signature.data(), &len),
              CKR_OPERATION_NOT_INITIALIZED);
    UniquePkey engineKey = EnginePublicKey(false, Attribute(session, keys.publicKey, CKA_GOSTR3410_PARAMS),
                                           Attribute(session, keys.publicKey, CKA_GOSTR3411_PARAMS),
                                           Attribute(session, keys.publicKey, CKA_VALUE));
    EXPECT_TRUE(EngineVerify(engineKey.get(), EngineDigest(false, data), signature));

    // Multi-part: the same through C_SignFinal.
    ASSERT_EQ(p11_->C_SignInit(session, &m, keys.privateKey), CKR_OK);
    ASSERT_EQ(p11_->C_SignUpdate(session, data.data(), data.size()), CKR_OK);
    len = 10;
    EXPECT_EQ(p11_->C_SignFinal(session, signature.data(), &len), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 64u);
    ASSERT_EQ(p11_->C_SignFinal(session, signature.data(), &len), CKR_OK);
    EXPECT_TRUE(EngineVerify(engineKey.get(), EngineDigest(false, data), signature));

    // The bare mechanism takes a digest of its size only, in one part.
    CK_MECHANISM bare{CKM_GOSTR3410, nullptr, 0};
    ASSERT_EQ(p11_->C_SignInit(session, &bare, keys.privateKey), CKR_OK);
    EXPECT_EQ(p11_->C_SignUpdate(session, data.data(), data.size()), CKR_FUNCTION_NOT_SUPPORTED);
    ASSERT_EQ(p11_->C_SignInit(session, &bare, keys.privateKey), CKR_OK);
    len = 64;
    EXPECT_EQ(p11_->C_Sign(session, data.data(), 31, signature.data(), &len), CKR_DATA_LEN_RANGE);

    // An attribute: the length alone, then too short a buffer.
    std::string label = "a label longer than the buffer";
    Template labelled;
    labelled.Text(CKA_LABEL, label);
    ASSERT_EQ(p11_->C_SetAttributeValue(session, keys.publicKey, labelled.data(), labelled.size()), CKR_OK);
    Bytes small(4);
    CK_ATTRIBUTE attribute{CKA_LABEL, nullptr, 0};
    ASSERT_EQ(p11_->C_GetAttributeValue(session, keys.publicKey, &attribute, 1), CKR_OK);
    EXPECT_EQ(attribute.ulValueLen, label.size());
    attribute = {CKA_LABEL, small.data(), small.size()};
    EXPECT_EQ(p11_->C_GetAttributeValue(session, keys.publicKey, &attribute, 1), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(attribute.ulValueLen, CK_UNAVAILABLE_INFORMATION);

    // A digest.
    CK_MECHANISM digest{CKM_GOSTR3411_12_512, nullptr, 0};
    ASSERT_EQ(p11_->C_DigestInit(session, &digest), CKR_OK);
    len = 0;
    ASSERT_EQ(p11_->C_Digest(session, data.data(), data.size(), nullptr, &len), CKR_OK);
    EXPECT_EQ(len, 64u);
    Bytes out(64);
    ASSERT_EQ(p11_->C_Digest(session, data.data(), data.size(), out.data(), &len), CKR_OK);
    EXPECT_EQ(out, EngineDigest(true, data));
}

TEST_F(TokenTest, BadHandlesArgumentsAndTemplatesAreRefusedWithTheirCodes)
{
    CK_SESSION_HANDLE session = UserSession();
    KeyPairHandles keys = NewKeyPair(session);
    KeyPairHandles big = NewKeyPair(session, true);
    CK_SESSION_INFO info{};
    CK_TOKEN_INFO tokenInfo{};

    EXPECT_EQ(p11_->C_GetSessionInfo(session + 100, &info), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(p11_->C_CloseSession(session + 100), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(p11_->C_GetSessionInfo(session, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11_->C_GetTokenInfo(2, &tokenInfo), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(p11_->C_GetTokenInfo(0, nullptr), CKR_ARGUMENTS_BAD);
    CK_SESSION_HANDLE other = CK_INVALID_HANDLE;
    EXPECT_EQ(p11_->C_OpenSession(2, CKF_SERIAL_SESSION, nullptr, nullptr, &other), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(p11_->C_OpenSession(0, CKF_RW_SESSION, nullptr, nullptr, &other),
              CKR_SESSION_PARALLEL_NOT_SUPPORTED);
    EXPECT_EQ(p11_->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11_->C_GetSlotList(CK_FALSE, nullptr, nullptr), CKR_ARGUMENTS_BAD);

    // Objects and keys.
    CK_ATTRIBUTE label{CKA_LABEL, nullptr, 0};
    EXPECT_EQ(p11_->C_GetAttributeValue(session, keys.publicKey + 1000, &label, 1),
              CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(p11_->C_DestroyObject(session, 0x12345), CKR_OBJECT_HANDLE_INVALID);
    CK_MECHANISM m{CKM_GOSTR3410_WITH_GOSTR3411_12_256, nullptr, 0};
    EXPECT_EQ(p11_->C_SignInit(session, &m, 0x12345), CKR_KEY_HANDLE_INVALID);
    EXPECT_EQ(p11_->C_SignInit(session, &m, keys.publicKey), CKR_KEY_TYPE_INCONSISTENT);
    EXPECT_EQ(p11_->C_SignInit(session, &m, big.privateKey), CKR_KEY_TYPE_INCONSISTENT);
    EXPECT_EQ(p11_->C_SignInit(session, nullptr, keys.privateKey), CKR_ARGUMENTS_BAD);
    CK_MECHANISM unknown{CKM_RSA_PKCS, nullptr, 0};
    EXPECT_EQ(p11_->C_SignInit(session, &unknown, keys.privateKey), CKR_MECHANISM_INVALID);
    ASSERT_EQ(p11_->C_SignInit(session, &m, keys.privateKey), CKR_OK);
    EXPECT_EQ(p11_->C_SignInit(session, &m, keys.privateKey), CKR_OPERATION_ACTIVE);
    CK_ULONG len = 64;
    EXPECT_EQ(p11_->C_Sign(session, nullptr, 5, nullptr, &len), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11_->C_SignFinal(session, nullptr, &len), CKR_OPERATION_NOT_INITIALIZED) << "an error ends it";

    // Templates: unknown type, wrong sizes, a null value with a length, a
    // type twice, a missing class.
    CK_OBJECT_HANDLE handle;
    CK_BBOOL yes = CK_TRUE;
    CK_ULONG wide = CK_TRUE;
    CK_OBJECT_CLASS data = CKO_DATA;
    CK_ATTRIBUTE unknownType[] = {{CKA_CLASS, &data, sizeof data}, {0x7777, &yes, 1}};
    EXPECT_EQ(p11_->C_CreateObject(session, unknownType, 2, &handle), CKR_ATTRIBUTE_TYPE_INVALID);
    CK_ATTRIBUTE wideBool[] = {{CKA_CLASS, &data, sizeof data}, {CKA_TOKEN, &wide, sizeof wide}};
    EXPECT_EQ(p11_->C_CreateObject(session, wideBool, 2, &handle), CKR_ATTRIBUTE_VALUE_INVALID);
    CK_ATTRIBUTE shortClass[] = {{CKA_CLASS, &data, 4}};
    EXPECT_EQ(p11_->C_CreateObject(session, shortClass, 1, &handle), CKR_ATTRIBUTE_VALUE_INVALID);
    CK_ATTRIBUTE nullValue[] = {{CKA_CLASS, &data, sizeof data}, {CKA_LABEL, nullptr, 5}};
    EXPECT_EQ(p11_->C_CreateObject(session, nullValue, 2, &handle), CKR_ARGUMENTS_BAD);
    CK_ATTRIBUTE twice[] = {{CKA_CLASS, &data, sizeof data}, {CKA_CLASS, &data, sizeof data}};
    EXPECT_EQ(p11_->C_CreateObject(session, twice, 2, &handle), CKR_TEMPLATE_INCONSISTENT);
    CK_ATTRIBUTE noClass[] = {{CKA_TOKEN, &yes, 1}};
    EXPECT_EQ(p11_->C_CreateObject(session, noClass, 1, &handle), CKR_TEMPLATE_INCOMPLETE);
    EXPECT_EQ(p11_->C_CreateObject(session, nullptr, 3, &handle), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11_->C_FindObjectsInit(session, unknownType, 2), CKR_ATTRIBUTE_TYPE_INVALID);
    Template bad;
    bad.Ulong(CKA_CLASS, CKO_PUBLIC_KEY)
        .Ulong(CKA_KEY_TYPE, CKK_GOSTR3410)
        .Add(CKA_GOSTR3410_PARAMS, OidDer("1.2.643.2.2.35.1"))
        .Add(CKA_VALUE, Bytes(64, 0x11));
    EXPECT_EQ(p11_->C_CreateObject(session, bad.data(), bad.size(), &handle), CKR_ATTRIBUTE_VALUE_INVALID)
        << "a point off the curve";
    Template badCurve;
    badCurve.Add(CKA_GOSTR3410_PARAMS, OidDer("1.2.840.10045.3.1.7"));
    Template none;
    KeyPairHandles ignored;
    EXPECT_EQ(GenerateKeyPair(session, CKM_GOSTR3410_KEY_PAIR_GEN, badCurve, none, ignored),
              CKR_DOMAIN_PARAMS_INVALID);

    // Functions the token does not have, and calls outside C_Initialize.
    EXPECT_EQ(p11_->C_EncryptInit(session, &m, keys.publicKey), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(p11_->C_WaitForSlotEvent(0, nullptr, nullptr), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(p11_->C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
    ASSERT_EQ(p11_->C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(p11_->C_GetSessionInfo(session, &info), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(p11_->C_GetTokenInfo(0, &tokenInfo), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(p11_->C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
    CK_C_INITIALIZE_ARGS args{};
    args.pReserved = &args;
    EXPECT_EQ(p11_->C_Initialize(&args), CKR_ARGUMENTS_BAD);
    args = CK_C_INITIALIZE_ARGS{};
    args.flags = CKF_OS_LOCKING_OK;
    ASSERT_EQ(p11_->C_Initialize(&args), CKR_OK);
    EXPECT_EQ(p11_->C_GetSessionInfo(session, &info), CKR_SESSION_HANDLE_INVALID)
        << "sessions end with C_Finalize";
}

// --- state between processes --------------------------------------------------

TEST_F(TokenTest, TokenObjectsAreSeenAfterARestartSessionObjectsAreNot)
{
    CK_SESSION_HANDLE session = UserSession();
    KeyPairHandles onToken = NewKeyPair(session);
    NewKeyPair(session, false, false);
    Bytes der = MakeCertificate("token certificate");
    Template cert;
    cert.Ulong(CKA_CLASS, CKO_CERTIFICATE)
        .Ulong(CKA_CERTIFICATE_TYPE, CKC_X_509)
        .Bool(CKA_TOKEN, true)
        .Text(CKA_ID, "k")
        .Text(CKA_LABEL, "cert")
        .Add(CKA_VALUE, der);
    CK_OBJECT_HANDLE certificate = CK_INVALID_HANDLE;
    ASSERT_EQ(p11_->C_CreateObject(session, cert.data(), cert.size(), &certificate), CKR_OK);
    Template label;
    label.Text(CKA_LABEL, "renamed");
    ASSERT_EQ(p11_->C_SetAttributeValue(session, onToken.publicKey, label.data(), label.size()), CKR_OK);
    Template sign;
    sign.Bool(CKA_SIGN, false);
    EXPECT_EQ(p11_->C_SetAttributeValue(session, onToken.privateKey, sign.data(), sign.size()),
              CKR_ATTRIBUTE_READ_ONLY);

    struct stat st {};
    ASSERT_EQ(::stat((dir_ / "slot0.state").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    Restart();
    session = Open(0, false);
    Template all, certificates, byId;
    certificates.Ulong(CKA_CLASS, CKO_CERTIFICATE);
    byId.Text(CKA_ID, "k");
    // Before login the private key stays hidden, and cannot be reached by handle.
    EXPECT_EQ(Find(session, all), (std::vector<CK_OBJECT_HANDLE>{onToken.publicKey, certificate}));
    CK_ATTRIBUTE id{CKA_ID, nullptr, 0};
    EXPECT_EQ(p11_->C_GetAttributeValue(session, onToken.privateKey, &id, 1), CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(Find(session, certificates), std::vector<CK_OBJECT_HANDLE>{certificate});
    EXPECT_EQ(Attribute(session, certificate, CKA_VALUE), der);
    const unsigned char* p = der.data();
    std::unique_ptr<X509, decltype(&X509_free)> parsed(d2i_X509(nullptr, &p, static_cast<long>(der.size())),
                                                       X509_free);
    unsigned char* subject = nullptr;
    int subjectLen = i2d_X509_NAME(X509_get_subject_name(parsed.get()), &subject);
    EXPECT_EQ(Attribute(session, certificate, CKA_SUBJECT), Bytes(subject, subject + subjectLen));
    OPENSSL_free(subject);
    EXPECT_EQ(Attribute(session, certificate, CKA_SERIAL_NUMBER), (Bytes{0x02, 0x02, 0x10, 0x92}));
    EXPECT_EQ(Attribute(session, onToken.publicKey, CKA_LABEL), Bytes32("renamed"));

    // A read-only session changes no token object.
    EXPECT_EQ(p11_->C_DestroyObject(session, certificate), CKR_SESSION_READ_ONLY);
    ASSERT_EQ(Login(session, CKU_USER, kUserPin), CKR_OK);
    EXPECT_EQ(Find(session, byId),
              (std::vector<CK_OBJECT_HANDLE>{onToken.publicKey, onToken.privateKey, certificate}));
    CK_SESSION_HANDLE writer = Open(0);
    ASSERT_EQ(p11_->C_DestroyObject(writer, certificate), CKR_OK);
    Restart();
    session = Open(0);
    EXPECT_TRUE(Find(session, certificates).empty());
}

TEST_F(TokenTest, ProcessesWritingAtOnceLoseNoObject)
{
    InitToken(0);
    constexpr int kProcesses = 4, kObjects = 15;
    std::vector<pid_t> children;
    for (int child = 0; child < kProcesses; ++child) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // A new application: the child starts the library afresh.
            p11_->C_Finalize(nullptr);
            int failures = p11_->C_Initialize(nullptr) != CKR_OK;
            CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
            failures += p11_->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr,
                                            &session) != CKR_OK;
            for (int i = 0; i < kObjects; ++i) {
                Template object;
                object.Ulong(CKA_CLASS, CKO_DATA)
                    .Bool(CKA_TOKEN, true)
                    .Text(CKA_LABEL, std::to_string(child) + "/" + std::to_string(i));
                CK_OBJECT_HANDLE handle;
                failures += p11_->C_CreateObject(session, object.data(), object.size(), &handle) != CKR_OK;
            }
            p11_->C_Finalize(nullptr);
            ::_exit(failures == 0 ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    CK_SESSION_HANDLE session = Open(0, false);
    Template data;
    data.Ulong(CKA_CLASS, CKO_DATA);
    std::vector<CK_OBJECT_HANDLE> found = Find(session, data);
    EXPECT_EQ(found.size(), static_cast<size_t>(kProcesses * kObjects));
    std::sort(found.begin(), found.end());
    EXPECT_EQ(std::unique(found.begin(), found.end()), found.end()) << "every object has a handle of its own";
}

TEST_F(TokenTest, AnUnreadableStateFileStopsItsSlotOnlyAndIsLeftAlone)
{
    InitToken(1, "other slot");
    WriteFile(dir_ / "slot0.state", "not a state file\n");
    Restart();
    CK_TOKEN_INFO info{};
    EXPECT_EQ(p11_->C_GetTokenInfo(0, &info), CKR_DEVICE_ERROR);
    std::string label = Pad("over it", 32);
    EXPECT_EQ(p11_->C_InitToken(0, (CK_UTF8CHAR_PTR)kSoPin, 8, (CK_UTF8CHAR_PTR)label.data()),
              CKR_DEVICE_ERROR);
    EXPECT_EQ(ReadFile(dir_ / "slot0.state"), "not a state file\n");
    ASSERT_EQ(p11_->C_GetTokenInfo(1, &info), CKR_OK);
    EXPECT_EQ(Padded(info.label, 32), Pad("other slot", 32));
}

// --- threads ------------------------------------------------------------------

TEST_F(TokenTest, SessionsOnSeveralThreadsSignAtOnce)
{
    CK_SESSION_HANDLE first = UserSession();
    KeyPairHandles keys = NewKeyPair(first, false, false);
    constexpr int kThreads = 4, kRounds = 20;
    std::vector<int> good(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
            if (p11_->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session) != CKR_OK)
                return;
            Bytes data = Bytes32("thread " + std::to_string(t));
            for (int i = 0; i < kRounds; ++i) {
                CK_MECHANISM m{CKM_GOSTR3410_WITH_GOSTR3411_12_256, nullptr, 0};
                Bytes signature(64);
                CK_ULONG len = signature.size();
                if (p11_->C_SignInit(session, &m, keys.privateKey) != CKR_OK ||
                    p11_->C_Sign(session, data.data(), data.size(), signature.data(), &len) != CKR_OK ||
                    p11_->C_VerifyInit(session, &m, keys.publicKey) != CKR_OK ||
                    p11_->C_Verify(session, data.data(), data.size(), signature.data(), len) != CKR_OK)
                    continue;
                ++good[t];
            }
            p11_->C_CloseSession(session);
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(good, std::vector<int>(kThreads, kRounds));
}

} // namespace
} // namespace trumik::testtoken::tests
