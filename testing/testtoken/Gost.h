// The cryptography of the test token: GOST R 34.10-2001/2012 key pairs,
// signatures and VKO key agreement, GOST R 34.11 digests, random bytes, all
// through OpenSSL's GOST engine. Keys cross this interface as the token keeps
// them: the private value d little-endian, the public key x then y, each
// little-endian, as the engine writes the public key's octet string.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

struct evp_md_ctx_st;

namespace trumik::testtoken {

using Bytes = std::vector<unsigned char>;

enum class KeyKind { R2001, R2012_256, R2012_512 };

// A curve: the key's algorithm and its parameter set (dotted OID).
struct Curve {
    KeyKind kind;
    std::string oid;
};

// Bytes in each coordinate and in a signature for the key's size.
size_t CoordinateSize(KeyKind kind);
inline size_t SignatureSize(KeyKind kind)
{
    return 2 * CoordinateSize(kind);
}

// Whether the engine knows the parameter set for keys of this kind.
bool CurveFits(const Curve& curve);

struct KeyPair {
    Bytes privateValue;
    Bytes publicValue;
};
std::optional<KeyPair> GenerateKeyPair(const Curve& curve);
// The public key that belongs to a private value (for keys created whole).
std::optional<Bytes> PublicFromPrivate(const Curve& curve, const Bytes& privateValue);

// Signs a digest as the engine does (s then r, each big-endian).
std::optional<Bytes> SignDigest(const Curve& curve, const Bytes& privateValue, const Bytes& digest);
bool VerifyDigest(const Curve& curve, const Bytes& publicValue, const Bytes& digest, const Bytes& signature);

// VKO GOST R 34.10-2012 with Streebog-256: the 32-byte key agreed between
// our private key and the peer's public key under the UKM (little-endian).
std::optional<Bytes> DeriveVko256(const Curve& curve, const Bytes& privateValue, const Bytes& peerPublic,
                                  const Bytes& ukm);

// Digests. nid is an OpenSSL NID of a GOST R 34.11 digest.
class Digest {
  public:
    explicit Digest(int nid);
    ~Digest();
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;
    bool Ok() const { return ctx_ != nullptr; }
    size_t Size() const;
    bool Update(const unsigned char* data, size_t len);
    std::optional<Bytes> Final();

  private:
    ::evp_md_ctx_st* ctx_ = nullptr;
};
std::optional<Bytes> DigestOf(int nid, const Bytes& data);

bool RandomBytes(unsigned char* out, size_t len);

// The salted digest a PIN is kept as.
Bytes PinDigest(const Bytes& salt, const unsigned char* pin, size_t len);
bool SameBytes(const Bytes& a, const Bytes& b); // in constant time for equal sizes

// Whether a public value is a point of the curve.
bool PublicValueFits(const Curve& curve, const Bytes& publicValue);

// The DER subject, issuer and serial number (INTEGER) of a DER certificate.
struct CertificateNames {
    Bytes subject;
    Bytes issuer;
    Bytes serialNumber;
};
std::optional<CertificateNames> ReadCertificateNames(const Bytes& der);

// Object identifiers in DER (the CKA_GOSTR3410_PARAMS form) and as dotted text.
Bytes OidToDer(const std::string& dotted);
std::optional<std::string> OidFromDer(const Bytes& der);

} // namespace trumik::testtoken
