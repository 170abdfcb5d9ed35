// Shared pieces of the mscrypto back-end: the owners of CryptoAPI handles it
// uses, the per-object storage xmlsec reserves behind its key data and transforms, and
// error reports.
#pragma once

#pragma GCC visibility push(default)
#include <xmlsec/mscrypto/app.h>
#include <xmlsec/mscrypto/certkeys.h>
#include <xmlsec/mscrypto/crypto.h>
#include <xmlsec/mscrypto/x509.h>
#pragma GCC visibility pop

#include "internal/CryptHandles.h"

#include <xmlsec/errors.h>
#include <xmlsec/keys.h>
#include <xmlsec/keysdata.h>
#include <xmlsec/transforms.h>

#include <cstddef>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace trumik::mscrypto {

// The GOST public key algorithms of certificates, each with the provider
// type that holds its keys, the hash its signatures are made over and the
// key data klass that carries it.
struct GostKeyAlgorithm {
    const char* keyOid;
    const char* title; // for reports
    DWORD provType;
    ALG_ID hashAlg;
    DWORD signatureSize; // bytes
    xmlSecSize keyBits;
    xmlSecKeyDataId (*keyDataKlass)(void);
};
inline constexpr DWORD kMaxGostSignatureSize = 128;
inline constexpr DWORD kMaxGostDigestSize = 64;

const GostKeyAlgorithm& Gost2001Algorithm();
const GostKeyAlgorithm& Gost2012_256Algorithm();
const GostKeyAlgorithm& Gost2012_512Algorithm();
// The algorithm of a certificate's public key, or null when it is none of them.
const GostKeyAlgorithm* AlgorithmOfCert(PCCERT_CONTEXT cert);
// The algorithm of GOST key data, or null when the data is of another kind.
const GostKeyAlgorithm* AlgorithmOfKeyData(xmlSecKeyDataPtr data);

using trumik::platform::UniqueCert;
using trumik::platform::UniqueHash;
using trumik::platform::UniqueKey;
using trumik::platform::UniqueProv;

struct KeyDataFree {
    void operator()(xmlSecKeyDataPtr data) const { xmlSecKeyDataDestroy(data); }
};
using UniqueKeyData = std::unique_ptr<xmlSecKeyData, KeyDataFree>;
struct KeyFree {
    void operator()(xmlSecKeyPtr key) const { xmlSecKeyDestroy(key); }
};
using UniqueXmlKey = std::unique_ptr<xmlSecKey, KeyFree>;

// The C++ object living in the storage xmlsec allocates (zeroed) behind an
// object of type Base; xmlsec sizes it by the klass's objSize.
template <typename Base, typename Ctx> constexpr xmlSecSize ObjectSize()
{
    static_assert(sizeof(Base) % alignof(Ctx) == 0);
    return sizeof(Base) + sizeof(Ctx);
}
template <typename Ctx, typename Base> Ctx* CtxOf(Base* object)
{
    return std::launder(reinterpret_cast<Ctx*>(reinterpret_cast<std::byte*>(object) + sizeof(Base)));
}
template <typename Ctx, typename Base> void ConstructCtx(Base* object)
{
    new (reinterpret_cast<std::byte*>(object) + sizeof(Base)) Ctx();
}
template <typename Ctx, typename Base> void DestroyCtx(Base* object)
{
    CtxOf<Ctx>(object)->~Ctx();
}

inline const char* NameOf(xmlSecKeyDataPtr data)
{
    return reinterpret_cast<const char*>(xmlSecKeyDataGetName(data));
}

// Reports a failed CryptoAPI call with the thread's last error.
void ReportCryptoError(const char* file, int line, const char* func, const char* object, const char* call);
#define TRUMIK_MSCRYPTO_ERROR(object, call)                                                                  \
    ::trumik::mscrypto::ReportCryptoError(__FILE__, __LINE__, __func__, (object), (call))

// GOST R 34.11-94 and GOST R 34.10-2001 under their newer names
// (urn:ietf:params:xml:ns:cpxmlsec:algorithms:gostr3411 and
// ...:gostr34102001-gostr3411), registered for verification.
xmlSecTransformId GostR3411_94UrnGetKlass();
xmlSecTransformId Gost2001GostR3411_94UrnGetKlass();

// Certificate read from DER, or PEM ("-----BEGIN CERTIFICATE-----"); null
// after a report when the bytes hold none.
UniqueCert CertFromBytes(const xmlSecByte* data, xmlSecSize size, xmlSecKeyDataFormat format);

// Feeds a buffer of any size to a hash; false after a report.
bool HashBuffer(HCRYPTHASH hash, const xmlSecByte* data, xmlSecSize size, const char* name);

// Whether the two certificates carry the same public key.
bool SamePublicKey(PCCERT_CONTEXT a, PCCERT_CONTEXT b);

} // namespace trumik::mscrypto
