#define OPENSSL_SUPPRESS_DEPRECATED 1

#include "tests/TokenClient.h"

#include "TestHome.h"

#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <stdexcept>

namespace trumik::testtoken::tests {

namespace {

ENGINE* GostEngine()
{
    static ENGINE* engine = [] {
        ENGINE_load_builtin_engines();
        ENGINE* e = ENGINE_by_id("gost");
        if (!e || !ENGINE_init(e))
            throw std::runtime_error("the GOST engine does not load");
        ENGINE_register_pkey_asn1_meths(e);
        ENGINE_register_pkey_meths(e);
        ENGINE_register_digests(e);
        ENGINE_free(e);
        return e;
    }();
    return engine;
}

struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
using UniquePkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;

// DER: tag, length, content.
Bytes Tlv(unsigned char tag, const Bytes& content)
{
    Bytes out{tag};
    size_t n = content.size();
    if (n < 128) {
        out.push_back(static_cast<unsigned char>(n));
    } else if (n < 256) {
        out.insert(out.end(), {0x81, static_cast<unsigned char>(n)});
    } else {
        out.insert(out.end(), {0x82, static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)});
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes Concat(const Bytes& a, const Bytes& b)
{
    Bytes out(a);
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

} // namespace

CK_FUNCTION_LIST* Token()
{
    static CK_FUNCTION_LIST* functions = [] {
        void* library = dlopen(TRUMIK_TESTTOKEN_PATH, RTLD_NOW | RTLD_LOCAL);
        if (!library)
            throw std::runtime_error(std::string("cannot load the test token: ") + dlerror());
        auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(library, "C_GetFunctionList"));
        CK_FUNCTION_LIST* list = nullptr;
        if (!get || get(&list) != CKR_OK || !list)
            throw std::runtime_error("the test token gives no function list");
        return list;
    }();
    return functions;
}

Template& Template::Add(CK_ATTRIBUTE_TYPE type, Bytes value)
{
    values_.emplace_back(type, std::move(value));
    return *this;
}

Template& Template::Ulong(CK_ATTRIBUTE_TYPE type, CK_ULONG value)
{
    Bytes bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return Add(type, std::move(bytes));
}

CK_ATTRIBUTE* Template::data()
{
    attributes_.clear();
    for (auto& [type, value] : values_)
        attributes_.push_back(CK_ATTRIBUTE{type, value.empty() ? nullptr : value.data(), value.size()});
    return attributes_.empty() ? nullptr : attributes_.data();
}

void TokenTest::SetUp()
{
    dir_ = trumik::testing::MakeTempDir("testtoken");
    ::setenv("TRUMIK_TESTTOKEN_DIR", dir_.c_str(), 1);
    p11_ = Token();
    ASSERT_EQ(p11_->C_Initialize(nullptr), CKR_OK);
}

void TokenTest::TearDown()
{
    p11_->C_Finalize(nullptr);
    ::unsetenv("TRUMIK_TESTTOKEN_DIR");
}

void TokenTest::Restart()
{
    ASSERT_EQ(p11_->C_Finalize(nullptr), CKR_OK);
    ASSERT_EQ(p11_->C_Initialize(nullptr), CKR_OK);
}

void TokenTest::InitToken(CK_SLOT_ID slot, const std::string& label)
{
    std::string padded = label;
    padded.resize(32, ' ');
    ASSERT_EQ(
        p11_->C_InitToken(slot, (CK_UTF8CHAR_PTR)kSoPin, std::strlen(kSoPin), (CK_UTF8CHAR_PTR)padded.data()),
        CKR_OK);
    CK_SESSION_HANDLE session = Open(slot);
    ASSERT_EQ(Login(session, CKU_SO, kSoPin), CKR_OK);
    ASSERT_EQ(p11_->C_InitPIN(session, (CK_UTF8CHAR_PTR)kUserPin, std::strlen(kUserPin)), CKR_OK);
    ASSERT_EQ(p11_->C_CloseSession(session), CKR_OK);
}

CK_SESSION_HANDLE TokenTest::Open(CK_SLOT_ID slot, bool readWrite)
{
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    CK_FLAGS flags = CKF_SERIAL_SESSION | (readWrite ? CKF_RW_SESSION : 0);
    EXPECT_EQ(p11_->C_OpenSession(slot, flags, nullptr, nullptr, &session), CKR_OK);
    return session;
}

CK_RV TokenTest::Login(CK_SESSION_HANDLE session, CK_USER_TYPE user, const std::string& pin)
{
    return p11_->C_Login(session, user, (CK_UTF8CHAR_PTR)pin.data(), pin.size());
}

CK_SESSION_HANDLE TokenTest::UserSession(CK_SLOT_ID slot)
{
    InitToken(slot);
    CK_SESSION_HANDLE session = Open(slot);
    EXPECT_EQ(Login(session, CKU_USER, kUserPin), CKR_OK);
    return session;
}

CK_RV TokenTest::GenerateKeyPair(CK_SESSION_HANDLE session, CK_MECHANISM_TYPE mechanism, Template& publicKey,
                                 Template& privateKey, KeyPairHandles& out)
{
    CK_MECHANISM m{mechanism, nullptr, 0};
    return p11_->C_GenerateKeyPair(session, &m, publicKey.data(), publicKey.size(), privateKey.data(),
                                   privateKey.size(), &out.publicKey, &out.privateKey);
}

KeyPairHandles TokenTest::NewKeyPair(CK_SESSION_HANDLE session, bool big, bool onToken,
                                     const std::string& curve)
{
    Template pub, priv;
    pub.Bool(CKA_TOKEN, onToken).Text(CKA_ID, "k");
    priv.Bool(CKA_TOKEN, onToken).Text(CKA_ID, "k").Bool(CKA_DERIVE, true);
    if (!curve.empty())
        pub.Add(CKA_GOSTR3410_PARAMS, OidDer(curve));
    KeyPairHandles keys;
    EXPECT_EQ(GenerateKeyPair(session, big ? CKM_GOSTR3410_512_KEY_PAIR_GEN : CKM_GOSTR3410_KEY_PAIR_GEN, pub,
                              priv, keys),
              CKR_OK);
    return keys;
}

Bytes TokenTest::Attribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type)
{
    CK_ATTRIBUTE attribute{type, nullptr, 0};
    EXPECT_EQ(p11_->C_GetAttributeValue(session, object, &attribute, 1), CKR_OK);
    if (attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION)
        return {};
    Bytes value(attribute.ulValueLen);
    attribute.pValue = value.data();
    EXPECT_EQ(p11_->C_GetAttributeValue(session, object, &attribute, 1), CKR_OK);
    value.resize(attribute.ulValueLen);
    return value;
}

std::vector<CK_OBJECT_HANDLE> TokenTest::Find(CK_SESSION_HANDLE session, Template& search)
{
    std::vector<CK_OBJECT_HANDLE> found;
    EXPECT_EQ(p11_->C_FindObjectsInit(session, search.data(), search.size()), CKR_OK);
    CK_OBJECT_HANDLE batch[2];
    CK_ULONG count = 0;
    // Two at a time, so that a search is seen to go on across calls.
    while (p11_->C_FindObjects(session, batch, 2, &count) == CKR_OK && count > 0)
        found.insert(found.end(), batch, batch + count);
    EXPECT_EQ(p11_->C_FindObjectsFinal(session), CKR_OK);
    return found;
}

Bytes TokenTest::Sign(CK_SESSION_HANDLE session, CK_MECHANISM_TYPE mechanism, CK_OBJECT_HANDLE key,
                      const Bytes& data)
{
    CK_MECHANISM m{mechanism, nullptr, 0};
    EXPECT_EQ(p11_->C_SignInit(session, &m, key), CKR_OK);
    Bytes signature(128);
    CK_ULONG len = signature.size();
    EXPECT_EQ(
        p11_->C_Sign(session, const_cast<CK_BYTE_PTR>(data.data()), data.size(), signature.data(), &len),
        CKR_OK);
    signature.resize(len);
    return signature;
}

Bytes OidDer(const std::string& dotted)
{
    std::unique_ptr<ASN1_OBJECT, decltype(&ASN1_OBJECT_free)> object(OBJ_txt2obj(dotted.c_str(), 1),
                                                                     ASN1_OBJECT_free);
    int len = i2d_ASN1_OBJECT(object.get(), nullptr);
    Bytes der(len > 0 ? static_cast<size_t>(len) : 0);
    unsigned char* p = der.data();
    i2d_ASN1_OBJECT(object.get(), &p);
    return der;
}

Bytes Bytes32(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

UniquePkey EnginePublicKey(bool big, const Bytes& curveDer, const Bytes& digestDer, const Bytes& value)
{
    return EnginePublicKey(std::string(big ? "1.2.643.7.1.1.1.2" : "1.2.643.7.1.1.1.1"), curveDer, digestDer,
                           value);
}

UniquePkey EnginePublicKey(const std::string& algorithmOid, const Bytes& curveDer, const Bytes& digestDer,
                           const Bytes& value)
{
    GostEngine();
    Bytes algorithm = Concat(OidDer(algorithmOid), Tlv(0x30, Concat(curveDer, digestDer)));
    Bytes bits = Concat(Bytes{0x00}, Tlv(0x04, value));
    Bytes spki = Tlv(0x30, Concat(Tlv(0x30, algorithm), Tlv(0x03, bits)));
    const unsigned char* p = spki.data();
    return UniquePkey(d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.size())));
}

UniquePkey EngineKeyPair(bool big, const std::string& curve)
{
    UniquePkeyCtx ctx(
        EVP_PKEY_CTX_new_id(big ? NID_id_GostR3410_2012_512 : NID_id_GostR3410_2012_256, GostEngine()));
    EVP_PKEY* key = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_ctrl_str(ctx.get(), "paramset", curve.c_str()) <= 0 ||
        EVP_PKEY_keygen(ctx.get(), &key) <= 0)
        return nullptr;
    return UniquePkey(key);
}

Bytes EnginePublicValue(EVP_PKEY* key)
{
    // The octet string inside the SubjectPublicKeyInfo's bit string.
    std::unique_ptr<X509_PUBKEY, decltype(&X509_PUBKEY_free)> pub(nullptr, X509_PUBKEY_free);
    X509_PUBKEY* raw = nullptr;
    if (X509_PUBKEY_set(&raw, key) != 1)
        return {};
    pub.reset(raw);
    const unsigned char* bits = nullptr;
    int len = 0;
    X509_PUBKEY_get0_param(nullptr, &bits, &len, nullptr, pub.get());
    std::unique_ptr<ASN1_OCTET_STRING, decltype(&ASN1_OCTET_STRING_free)> octets(
        d2i_ASN1_OCTET_STRING(nullptr, &bits, len), ASN1_OCTET_STRING_free);
    if (!octets)
        return {};
    const unsigned char* data = ASN1_STRING_get0_data(octets.get());
    return Bytes(data, data + ASN1_STRING_length(octets.get()));
}

Bytes EngineDigest(bool big, const Bytes& data)
{
    return EngineDigest(big ? NID_id_GostR3411_2012_512 : NID_id_GostR3411_2012_256, data);
}

Bytes EngineDigest(int nid, const Bytes& data)
{
    const EVP_MD* md = ENGINE_get_digest(GostEngine(), nid);
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &len, md, GostEngine());
    out.resize(len);
    return out;
}

bool EngineVerify(EVP_PKEY* key, const Bytes& digest, const Bytes& signature)
{
    UniquePkeyCtx ctx(EVP_PKEY_CTX_new(key, GostEngine()));
    bool ok =
        ctx && EVP_PKEY_verify_init(ctx.get()) > 0 &&
        EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), digest.data(), digest.size()) == 1;
    ERR_clear_error();
    return ok;
}

Bytes EngineDerive(EVP_PKEY* mine, EVP_PKEY* peer, const Bytes& ukm)
{
    UniquePkeyCtx ctx(EVP_PKEY_CTX_new(mine, GostEngine()));
    Bytes iv(ukm);
    Bytes out(64);
    size_t len = out.size();
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) <= 0 || EVP_PKEY_derive_set_peer(ctx.get(), peer) <= 0 ||
        EVP_PKEY_CTX_ctrl(ctx.get(), -1, -1, EVP_PKEY_CTRL_SET_IV, static_cast<int>(iv.size()), iv.data()) <=
            0 ||
        EVP_PKEY_derive(ctx.get(), out.data(), &len) <= 0) {
        ERR_clear_error();
        return {};
    }
    out.resize(len);
    return out;
}

} // namespace trumik::testtoken::tests
