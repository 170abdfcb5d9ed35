// GOST R 34.10-2001/2012, GOST R 34.11-94 and R 34.11-2012 through the
// OpenSSL engine "gost".
// OpenSSL 3 deprecates the engine API, which is the only way to these
// algorithms in this OpenSSL.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include "csp/CspInternal.h"
#include "internal/OpenSslHandles.h"

#include <openssl/bio.h>
#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/obj_mac.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <memory>
#include <mutex>

namespace trumik::csp {

BOOL FailWith(DWORD code)
{
    SetLastError(code);
    return FALSE;
}

namespace {

using trumik::platform::OpenSslFree;
using trumik::platform::UniqueEvpPkeyCtx;
using trumik::platform::UniqueX509Sig;
using trumik::platform::X509PubkeyFree;

using UniqueP8Inf = trumik::platform::UniquePkcs8Info;

ENGINE* LoadEngine()
{
    ENGINE_load_builtin_engines();
    ENGINE* engine = ENGINE_by_id("gost");
    if (!engine)
        return nullptr;
    if (!ENGINE_init(engine)) {
        ENGINE_free(engine);
        return nullptr;
    }
    // Make the GOST key formats and methods known to the generic decoders
    // (d2i_PUBKEY, PKCS #8) without making the engine the default elsewhere.
    ENGINE_register_pkey_asn1_meths(engine);
    ENGINE_register_pkey_meths(engine);
    ENGINE_register_digests(engine);
    ENGINE_free(engine); // the functional reference from ENGINE_init stays
    ERR_clear_error();
    return engine;
}

template <typename F> std::optional<Bytes> ToDer(F encode)
{
    unsigned char* out = nullptr;
    int len = encode(&out);
    std::unique_ptr<unsigned char, OpenSslFree> guard(out);
    if (len <= 0 || !out)
        return std::nullopt;
    return Bytes(out, out + len);
}

} // namespace

ENGINE* GostEngine()
{
    static ENGINE* engine = LoadEngine();
    return engine;
}

const EVP_MD* GostR3411Digest()
{
    ENGINE* engine = GostEngine();
    return engine ? ENGINE_get_digest(engine, NID_id_GostR3411_94) : nullptr;
}

const EVP_MD* GostDigest(ALG_ID hashAlg)
{
    ENGINE* engine = GostEngine();
    if (!engine)
        return nullptr;
    switch (hashAlg) {
    case CALG_GR3411:
        return ENGINE_get_digest(engine, NID_id_GostR3411_94);
    case CALG_GR3411_2012_256:
        return ENGINE_get_digest(engine, NID_id_GostR3411_2012_256);
    case CALG_GR3411_2012_512:
        return ENGINE_get_digest(engine, NID_id_GostR3411_2012_512);
    default:
        return nullptr;
    }
}

ALG_ID HashAlgOf(GostKind kind)
{
    switch (kind) {
    case GostKind::R2001:
        return CALG_GR3411;
    case GostKind::R2012_256:
        return CALG_GR3411_2012_256;
    case GostKind::R2012_512:
        return CALG_GR3411_2012_512;
    default:
        return 0;
    }
}

size_t DigestSizeOf(ALG_ID hashAlg)
{
    return hashAlg == CALG_GR3411_2012_512 ? 64 : 32;
}

size_t SignatureSizeOf(GostKind kind)
{
    return kind == GostKind::R2012_512 ? 128 : 64;
}

DWORD KeyBitsOf(GostKind kind)
{
    return kind == GostKind::R2012_512 ? 1024 : 512;
}

ALG_ID KeyAlgOf(GostKind kind, DWORD keySpec)
{
    bool signature = keySpec == AT_SIGNATURE;
    switch (kind) {
    case GostKind::R2012_256:
        return signature ? CALG_GR3410_12_256 : CALG_DH_GR3410_12_256_SF;
    case GostKind::R2012_512:
        return signature ? CALG_GR3410_12_512 : CALG_DH_GR3410_12_512_SF;
    default:
        return signature ? CALG_GR3410EL : CALG_DH_EL_SF;
    }
}

namespace {

GostKind KindOfNid(int nid)
{
    switch (nid) {
    case NID_id_GostR3410_2001:
        return GostKind::R2001;
    case NID_id_GostR3410_2012_256:
        return GostKind::R2012_256;
    case NID_id_GostR3410_2012_512:
        return GostKind::R2012_512;
    default:
        return GostKind::None;
    }
}

} // namespace

GostKind KindOf(EVP_PKEY* key)
{
    return KindOfNid(key ? EVP_PKEY_get_base_id(key) : NID_undef);
}

GostKind KindOfSpki(const Bytes& spki)
{
    const unsigned char* p = spki.data();
    std::unique_ptr<X509_PUBKEY, X509PubkeyFree> pub(
        d2i_X509_PUBKEY(nullptr, &p, static_cast<long>(spki.size())));
    ASN1_OBJECT* oid = nullptr;
    int nid = NID_undef;
    if (pub && X509_PUBKEY_get0_param(&oid, nullptr, nullptr, nullptr, pub.get()) == 1)
        nid = OBJ_obj2nid(oid);
    ERR_clear_error();
    return KindOfNid(nid);
}

UniqueEvpPkey GenerateGostKey(GostKind kind)
{
    ENGINE* engine = GostEngine();
    if (!engine)
        return nullptr;
    int nid = kind == GostKind::R2012_256   ? NID_id_GostR3410_2012_256
              : kind == GostKind::R2012_512 ? NID_id_GostR3410_2012_512
                                            : NID_id_GostR3410_2001;
    UniqueEvpPkeyCtx ctx(EVP_PKEY_CTX_new_id(nid, engine));
    EVP_PKEY* key = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_ctrl_str(ctx.get(), "paramset", "A") <= 0 || EVP_PKEY_keygen(ctx.get(), &key) <= 0) {
        ERR_clear_error();
        return nullptr;
    }
    return UniqueEvpPkey(key);
}

bool IsGost2001Key(EVP_PKEY* key)
{
    return KindOf(key) == GostKind::R2001;
}

bool IsGostKey(EVP_PKEY* key)
{
    return KindOf(key) != GostKind::None;
}

std::optional<Bytes> PrivateKeyToPkcs8(EVP_PKEY* key)
{
    UniqueP8Inf p8(EVP_PKEY2PKCS8(key));
    if (!p8) {
        ERR_clear_error();
        return std::nullopt;
    }
    return ToDer([&](unsigned char** out) { return i2d_PKCS8_PRIV_KEY_INFO(p8.get(), out); });
}

UniqueEvpPkey PrivateKeyFromPkcs8(const Bytes& der)
{
    GostEngine();
    const unsigned char* p = der.data();
    UniqueP8Inf p8(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(der.size())));
    UniqueEvpPkey key(p8 ? EVP_PKCS82PKEY(p8.get()) : nullptr);
    if (!key)
        ERR_clear_error();
    return key;
}

std::optional<Bytes> EncryptPkcs8(const Bytes& pkcs8, const std::string& password)
{
    const unsigned char* p = pkcs8.data();
    UniqueP8Inf p8(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(pkcs8.size())));
    if (!p8)
        return std::nullopt;
    UniqueX509Sig sig(PKCS8_encrypt(-1, EVP_aes_256_cbc(), password.data(), static_cast<int>(password.size()),
                                    nullptr, 0, PKCS5_DEFAULT_ITER, p8.get()));
    if (!sig) {
        ERR_clear_error();
        return std::nullopt;
    }
    return ToDer([&](unsigned char** out) { return i2d_X509_SIG(sig.get(), out); });
}

std::optional<Bytes> DecryptPkcs8(const Bytes& encrypted, const std::string& password)
{
    const unsigned char* p = encrypted.data();
    UniqueX509Sig sig(d2i_X509_SIG(nullptr, &p, static_cast<long>(encrypted.size())));
    UniqueP8Inf p8(sig ? PKCS8_decrypt(sig.get(), password.data(), static_cast<int>(password.size()))
                       : nullptr);
    if (!p8) {
        ERR_clear_error();
        return std::nullopt;
    }
    return ToDer([&](unsigned char** out) { return i2d_PKCS8_PRIV_KEY_INFO(p8.get(), out); });
}

std::optional<Bytes> PublicKeyToSpki(EVP_PKEY* key)
{
    auto der = ToDer([&](unsigned char** out) { return i2d_PUBKEY(key, out); });
    if (!der)
        ERR_clear_error();
    return der;
}

UniqueEvpPkey PublicKeyFromSpki(const Bytes& der)
{
    GostEngine();
    const unsigned char* p = der.data();
    UniqueEvpPkey key(d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size())));
    if (!key)
        ERR_clear_error();
    return key;
}

std::optional<Bytes> SignDigest(EVP_PKEY* key, const Bytes& digest)
{
    UniqueEvpPkeyCtx ctx(EVP_PKEY_CTX_new(key, nullptr));
    size_t len = 0;
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0 ||
        EVP_PKEY_sign(ctx.get(), nullptr, &len, digest.data(), digest.size()) <= 0) {
        ERR_clear_error();
        return std::nullopt;
    }
    Bytes sig(len);
    if (EVP_PKEY_sign(ctx.get(), sig.data(), &len, digest.data(), digest.size()) <= 0) {
        ERR_clear_error();
        return std::nullopt;
    }
    sig.resize(len);
    return sig;
}

bool VerifyDigest(EVP_PKEY* key, const Bytes& digest, const Bytes& signature)
{
    UniqueEvpPkeyCtx ctx(EVP_PKEY_CTX_new(key, nullptr));
    bool ok =
        ctx && EVP_PKEY_verify_init(ctx.get()) > 0 &&
        EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), digest.data(), digest.size()) == 1;
    ERR_clear_error();
    return ok;
}

} // namespace trumik::csp
