// GOST operations of the test token over OpenSSL's GOST engine. The engine's
// keys are EC_KEYs behind a legacy EVP_PKEY; a stored key is rebuilt by
// making a key of the right parameter set and putting the stored values in.
// OpenSSL 3 deprecates the engine and EC_KEY APIs, the only way to them here.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include "Gost.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <algorithm>
#include <memory>

namespace trumik::testtoken {

namespace {

template <auto Free> struct Deleter {
    template <typename T> void operator()(T* p) const { Free(p); }
};
using UniquePkey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using UniquePkeyCtx = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>>;
using UniqueBn = std::unique_ptr<BIGNUM, Deleter<BN_clear_free>>;
using UniqueBnCtx = std::unique_ptr<BN_CTX, Deleter<BN_CTX_free>>;
using UniquePoint = std::unique_ptr<EC_POINT, Deleter<EC_POINT_free>>;
using UniqueObject = std::unique_ptr<ASN1_OBJECT, Deleter<ASN1_OBJECT_free>>;

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
    ENGINE_register_pkey_asn1_meths(engine);
    ENGINE_register_pkey_meths(engine);
    ENGINE_register_digests(engine);
    ENGINE_free(engine); // the functional reference from ENGINE_init stays
    ERR_clear_error();
    return engine;
}

ENGINE* Engine()
{
    static ENGINE* engine = LoadEngine();
    return engine;
}

int AlgorithmNid(KeyKind kind)
{
    switch (kind) {
    case KeyKind::R2001:
        return NID_id_GostR3410_2001;
    case KeyKind::R2012_256:
        return NID_id_GostR3410_2012_256;
    default:
        return NID_id_GostR3410_2012_512;
    }
}

// A fresh key of the curve's algorithm and parameter set.
UniquePkey NewKey(const Curve& curve)
{
    ENGINE* engine = Engine();
    if (!engine)
        return nullptr;
    UniquePkeyCtx ctx(EVP_PKEY_CTX_new_id(AlgorithmNid(curve.kind), engine));
    EVP_PKEY* key = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_ctrl_str(ctx.get(), "paramset", curve.oid.c_str()) <= 0 ||
        EVP_PKEY_keygen(ctx.get(), &key) <= 0) {
        ERR_clear_error();
        return nullptr;
    }
    return UniquePkey(key);
}

EC_KEY* EcOf(EVP_PKEY* key)
{
    return static_cast<EC_KEY*>(EVP_PKEY_get0(key));
}

UniqueBn FromLittleEndian(const Bytes& bytes)
{
    return UniqueBn(BN_lebin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
}

bool ToLittleEndian(const BIGNUM* bn, unsigned char* out, size_t len)
{
    return BN_bn2lebinpad(bn, out, static_cast<int>(len)) == static_cast<int>(len);
}

// x then y, each little-endian in size bytes.
std::optional<Bytes> EncodePoint(const EC_GROUP* group, const EC_POINT* point, size_t size)
{
    UniqueBn x(BN_new()), y(BN_new());
    Bytes out(2 * size);
    if (!x || !y || !EC_POINT_get_affine_coordinates(group, point, x.get(), y.get(), nullptr) ||
        !ToLittleEndian(x.get(), out.data(), size) || !ToLittleEndian(y.get(), out.data() + size, size))
        return std::nullopt;
    return out;
}

UniquePoint DecodePoint(const EC_GROUP* group, const Bytes& value, size_t size)
{
    if (value.size() != 2 * size)
        return nullptr;
    UniqueBn x(BN_lebin2bn(value.data(), static_cast<int>(size), nullptr));
    UniqueBn y(BN_lebin2bn(value.data() + size, static_cast<int>(size), nullptr));
    UniquePoint point(EC_POINT_new(group));
    if (!x || !y || !point ||
        !EC_POINT_set_affine_coordinates(group, point.get(), x.get(), y.get(), nullptr) ||
        EC_POINT_is_on_curve(group, point.get(), nullptr) != 1) {
        ERR_clear_error();
        return nullptr;
    }
    return point;
}

// A key of the curve holding the private value d and its public point.
UniquePkey PrivateKey(const Curve& curve, const Bytes& privateValue)
{
    UniquePkey key = NewKey(curve);
    if (!key || privateValue.size() != CoordinateSize(curve.kind))
        return nullptr;
    EC_KEY* ec = EcOf(key.get());
    const EC_GROUP* group = EC_KEY_get0_group(ec);
    UniqueBn d = FromLittleEndian(privateValue);
    UniquePoint point(EC_POINT_new(group));
    if (!d || BN_is_zero(d.get()) || BN_cmp(d.get(), EC_GROUP_get0_order(group)) >= 0 || !point ||
        !EC_POINT_mul(group, point.get(), d.get(), nullptr, nullptr, nullptr) ||
        !EC_KEY_set_private_key(ec, d.get()) || !EC_KEY_set_public_key(ec, point.get())) {
        ERR_clear_error();
        return nullptr;
    }
    return key;
}

UniquePkey PublicKey(const Curve& curve, const Bytes& publicValue)
{
    // A key made for its parameters lends its group to a key that holds the
    // public point alone.
    UniquePkey source = NewKey(curve);
    if (!source)
        return nullptr;
    const EC_GROUP* group = EC_KEY_get0_group(EcOf(source.get()));
    UniquePoint point = DecodePoint(group, publicValue, CoordinateSize(curve.kind));
    std::unique_ptr<EC_KEY, Deleter<EC_KEY_free>> ec(EC_KEY_new());
    UniquePkey key(EVP_PKEY_new());
    if (!point || !ec || !key || !EC_KEY_set_group(ec.get(), group) ||
        !EC_KEY_set_public_key(ec.get(), point.get()) ||
        !EVP_PKEY_assign(key.get(), AlgorithmNid(curve.kind), ec.get())) {
        ERR_clear_error();
        return nullptr;
    }
    ec.release(); // owned by the key now
    return key;
}

} // namespace

size_t CoordinateSize(KeyKind kind)
{
    return kind == KeyKind::R2012_512 ? 64 : 32;
}

bool CurveFits(const Curve& curve)
{
    return NewKey(curve) != nullptr;
}

std::optional<KeyPair> GenerateKeyPair(const Curve& curve)
{
    UniquePkey key = NewKey(curve);
    if (!key)
        return std::nullopt;
    const EC_KEY* ec = EcOf(key.get());
    size_t size = CoordinateSize(curve.kind);
    KeyPair pair;
    pair.privateValue.resize(size);
    if (!ToLittleEndian(EC_KEY_get0_private_key(ec), pair.privateValue.data(), size))
        return std::nullopt;
    auto pub = EncodePoint(EC_KEY_get0_group(ec), EC_KEY_get0_public_key(ec), size);
    if (!pub)
        return std::nullopt;
    pair.publicValue = std::move(*pub);
    return pair;
}

std::optional<Bytes> PublicFromPrivate(const Curve& curve, const Bytes& privateValue)
{
    UniquePkey key = PrivateKey(curve, privateValue);
    if (!key)
        return std::nullopt;
    const EC_KEY* ec = EcOf(key.get());
    return EncodePoint(EC_KEY_get0_group(ec), EC_KEY_get0_public_key(ec), CoordinateSize(curve.kind));
}

std::optional<Bytes> SignDigest(const Curve& curve, const Bytes& privateValue, const Bytes& digest)
{
    UniquePkey key = PrivateKey(curve, privateValue);
    if (!key)
        return std::nullopt;
    UniquePkeyCtx ctx(EVP_PKEY_CTX_new(key.get(), Engine()));
    size_t len = SignatureSize(curve.kind);
    Bytes signature(len);
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0 ||
        EVP_PKEY_sign(ctx.get(), signature.data(), &len, digest.data(), digest.size()) <= 0 ||
        len != signature.size()) {
        ERR_clear_error();
        return std::nullopt;
    }
    return signature;
}

bool VerifyDigest(const Curve& curve, const Bytes& publicValue, const Bytes& digest, const Bytes& signature)
{
    UniquePkey key = PublicKey(curve, publicValue);
    if (!key || signature.size() != SignatureSize(curve.kind))
        return false;
    UniquePkeyCtx ctx(EVP_PKEY_CTX_new(key.get(), Engine()));
    bool ok =
        ctx && EVP_PKEY_verify_init(ctx.get()) > 0 &&
        EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), digest.data(), digest.size()) == 1;
    ERR_clear_error();
    return ok;
}

std::optional<Bytes> DeriveVko256(const Curve& curve, const Bytes& privateValue, const Bytes& peerPublic,
                                  const Bytes& ukm)
{
    UniquePkey key = PrivateKey(curve, privateValue);
    if (!key || ukm.empty())
        return std::nullopt;
    const EC_KEY* ec = EcOf(key.get());
    const EC_GROUP* group = EC_KEY_get0_group(ec);
    size_t size = CoordinateSize(curve.kind);
    UniquePoint peer = DecodePoint(group, peerPublic, size);
    UniqueBnCtx bnCtx(BN_CTX_new());
    UniqueBn scalar(BN_new()), cofactor(BN_new());
    UniqueBn u = FromLittleEndian(ukm);
    UniquePoint shared(EC_POINT_new(group));
    // K = (cofactor * UKM * d mod q) * P, then Streebog-256 of x || y.
    if (!peer || !bnCtx || !scalar || !cofactor || !u || !shared || BN_is_zero(u.get()) ||
        !EC_GROUP_get_cofactor(group, cofactor.get(), bnCtx.get()) ||
        !BN_mod_mul(scalar.get(), EC_KEY_get0_private_key(ec), u.get(), EC_GROUP_get0_order(group),
                    bnCtx.get()) ||
        !BN_mod_mul(scalar.get(), scalar.get(), cofactor.get(), EC_GROUP_get0_order(group), bnCtx.get()) ||
        !EC_POINT_mul(group, shared.get(), nullptr, peer.get(), scalar.get(), bnCtx.get()) ||
        EC_POINT_is_at_infinity(group, shared.get())) {
        ERR_clear_error();
        return std::nullopt;
    }
    auto point = EncodePoint(group, shared.get(), size);
    if (!point)
        return std::nullopt;
    return DigestOf(NID_id_GostR3411_2012_256, *point);
}

Digest::Digest(int nid)
{
    ENGINE* engine = Engine();
    const EVP_MD* md = engine ? ENGINE_get_digest(engine, nid) : nullptr;
    ctx_ = md ? EVP_MD_CTX_new() : nullptr;
    if (ctx_ && EVP_DigestInit_ex(ctx_, md, engine) <= 0) {
        EVP_MD_CTX_free(ctx_);
        ctx_ = nullptr;
    }
    ERR_clear_error();
}

Digest::~Digest()
{
    EVP_MD_CTX_free(ctx_);
}

size_t Digest::Size() const
{
    return ctx_ ? static_cast<size_t>(EVP_MD_CTX_get_size(ctx_)) : 0;
}

bool Digest::Update(const unsigned char* data, size_t len)
{
    return ctx_ && (len == 0 || EVP_DigestUpdate(ctx_, data, len) > 0);
}

std::optional<Bytes> Digest::Final()
{
    Bytes out(Size());
    unsigned int len = 0;
    if (!ctx_ || EVP_DigestFinal_ex(ctx_, out.data(), &len) <= 0 || len != out.size())
        return std::nullopt;
    return out;
}

std::optional<Bytes> DigestOf(int nid, const Bytes& data)
{
    Digest digest(nid);
    if (!digest.Update(data.data(), data.size()))
        return std::nullopt;
    return digest.Final();
}

bool RandomBytes(unsigned char* out, size_t len)
{
    return RAND_bytes(out, static_cast<int>(len)) == 1;
}

Bytes PinDigest(const Bytes& salt, const unsigned char* pin, size_t len)
{
    Bytes input(salt);
    input.insert(input.end(), pin, pin + len);
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int outLen = 0;
    if (EVP_Digest(input.data(), input.size(), out.data(), &outLen, EVP_sha256(), nullptr) <= 0)
        return {};
    OPENSSL_cleanse(input.data(), input.size());
    out.resize(outLen);
    return out;
}

bool SameBytes(const Bytes& a, const Bytes& b)
{
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

bool PublicValueFits(const Curve& curve, const Bytes& publicValue)
{
    return PublicKey(curve, publicValue) != nullptr;
}

std::optional<CertificateNames> ReadCertificateNames(const Bytes& der)
{
    const unsigned char* p = der.data();
    std::unique_ptr<X509, Deleter<X509_free>> cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (!cert || p != der.data() + der.size()) {
        ERR_clear_error();
        return std::nullopt;
    }
    auto encode = [](auto* object, auto i2d) -> Bytes {
        int len = i2d(object, nullptr);
        if (len <= 0)
            return {};
        Bytes out(static_cast<size_t>(len));
        unsigned char* q = out.data();
        i2d(object, &q);
        return out;
    };
    CertificateNames names;
    names.subject = encode(X509_get_subject_name(cert.get()), i2d_X509_NAME);
    names.issuer = encode(X509_get_issuer_name(cert.get()), i2d_X509_NAME);
    names.serialNumber = encode(X509_get0_serialNumber(cert.get()), i2d_ASN1_INTEGER);
    if (names.subject.empty() || names.issuer.empty() || names.serialNumber.empty())
        return std::nullopt;
    return names;
}

Bytes OidToDer(const std::string& dotted)
{
    UniqueObject object(OBJ_txt2obj(dotted.c_str(), 1));
    int len = object ? i2d_ASN1_OBJECT(object.get(), nullptr) : 0;
    if (len <= 0)
        return {};
    Bytes der(static_cast<size_t>(len));
    unsigned char* p = der.data();
    i2d_ASN1_OBJECT(object.get(), &p);
    return der;
}

std::optional<std::string> OidFromDer(const Bytes& der)
{
    const unsigned char* p = der.data();
    UniqueObject object(d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(der.size())));
    if (!object || p != der.data() + der.size()) {
        ERR_clear_error();
        return std::nullopt;
    }
    char text[128];
    int len = OBJ_obj2txt(text, sizeof text, object.get(), 1);
    if (len <= 0 || len >= static_cast<int>(sizeof text))
        return std::nullopt;
    return std::string(text, static_cast<size_t>(len));
}

} // namespace trumik::testtoken
