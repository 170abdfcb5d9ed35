// GOST key data made from a certificate context: GOST R 34.10-2001, or GOST
// R 34.10-2012 with a 256-bit or a 512-bit key, one klass each, after the
// certificate's public key algorithm. It holds its own reference to the
// certificate and a provider context: for a private key, the context of the
// certificate's key container (from its key provider info), whose key makes
// the signatures; for a public key, a verify context of the key's provider
// type. The certificate's public key is imported into that context for
// verification.
#include "MSCryptoInternal.h"

#include <xmlsec/keysdata.h>
#include <xmlsec/strings.h>

namespace trumik::mscrypto {
namespace {

struct GostCtx {
    UniqueCert cert;
    UniqueProv prov;
    DWORD keySpec = 0; // 0 for a public key only
    UniqueKey publicKey;
    UniqueKey privateKey; // the container's key, with a key spec
};

GostCtx* Ctx(xmlSecKeyDataPtr data)
{
    return CtxOf<GostCtx>(data);
}

bool IsGostData(xmlSecKeyDataPtr data)
{
    return AlgorithmOfKeyData(data) != nullptr;
}

int Initialize(xmlSecKeyDataPtr data)
{
    ConstructCtx<GostCtx>(data);
    return 0;
}

void Finalize(xmlSecKeyDataPtr data)
{
    if (!IsGostData(data))
        return;
    GostCtx* ctx = Ctx(data);
    // The key goes before its provider context.
    ctx->privateKey.reset();
    ctx->publicKey.reset();
    ctx->prov.reset();
    DestroyCtx<GostCtx>(data);
}

// Imports the certificate's public key into the context's provider.
int ImportPublicKey(GostCtx& ctx, const char* name)
{
    if (!CryptImportPublicKeyInfo(ctx.prov.get(), X509_ASN_ENCODING,
                                  &ctx.cert->pCertInfo->SubjectPublicKeyInfo, ctx.publicKey.put())) {
        TRUMIK_MSCRYPTO_ERROR(name, "CryptImportPublicKeyInfo");
        return -1;
    }
    return 0;
}

// The container's key of the context's key spec.
int OpenPrivateKey(GostCtx& ctx, const char* name)
{
    if (!CryptGetUserKey(ctx.prov.get(), ctx.keySpec, ctx.privateKey.put())) {
        TRUMIK_MSCRYPTO_ERROR(name, "CryptGetUserKey");
        return -1;
    }
    return 0;
}

int Duplicate(xmlSecKeyDataPtr dst, xmlSecKeyDataPtr src)
{
    xmlSecAssert2(IsGostData(dst), -1);
    xmlSecAssert2(IsGostData(src), -1);
    GostCtx* from = Ctx(src);
    GostCtx* to = Ctx(dst);
    if (!from->cert)
        return 0; // nothing adopted yet
    to->cert.reset(CertDuplicateCertificateContext(from->cert.get()));
    if (!to->cert) {
        TRUMIK_MSCRYPTO_ERROR(NameOf(dst), "CertDuplicateCertificateContext");
        return -1;
    }
    // The same provider context, so a PIN set on either copy holds for both.
    if (!CryptContextAddRef(from->prov.get(), nullptr, 0)) {
        TRUMIK_MSCRYPTO_ERROR(NameOf(dst), "CryptContextAddRef");
        return -1;
    }
    to->prov.reset(from->prov.get());
    to->keySpec = from->keySpec;
    if (to->keySpec != 0 && OpenPrivateKey(*to, NameOf(dst)) < 0)
        return -1;
    return ImportPublicKey(*to, NameOf(dst));
}

xmlSecKeyDataType GetType(xmlSecKeyDataPtr data)
{
    xmlSecAssert2(IsGostData(data), xmlSecKeyDataTypeUnknown);
    GostCtx* ctx = Ctx(data);
    xmlSecKeyDataType type = xmlSecKeyDataTypeUnknown;
    if (ctx->publicKey)
        type |= xmlSecKeyDataTypePublic;
    if (ctx->keySpec != 0)
        type |= xmlSecKeyDataTypePrivate;
    return type;
}

xmlSecSize GetSize(xmlSecKeyDataPtr data)
{
    xmlSecAssert2(IsGostData(data), 0);
    return Ctx(data)->cert ? AlgorithmOfKeyData(data)->keyBits : 0;
}

void DebugDump(xmlSecKeyDataPtr data, FILE* output)
{
    xmlSecAssert(IsGostData(data));
    fprintf(output, "=== %s key: size = %u\n", NameOf(data), static_cast<unsigned>(GetSize(data)));
}

void DebugXmlDump(xmlSecKeyDataPtr data, FILE* output)
{
    xmlSecAssert(IsGostData(data));
    fprintf(output, "<%s size=\"%u\" />\n", reinterpret_cast<const char*>(data->id->dataNodeName),
            static_cast<unsigned>(GetSize(data)));
}

struct _xmlSecKeyDataKlass MakeGostKlass(const xmlChar* name, const xmlChar* href, const xmlChar* node)
{
    struct _xmlSecKeyDataKlass klass {};
    klass.klassSize = sizeof(xmlSecKeyDataKlass);
    klass.objSize = ObjectSize<xmlSecKeyData, GostCtx>();
    klass.name = name;
    // Made from certificates only: nothing is read from or written to KeyInfo.
    klass.usage = xmlSecKeyDataUsageUnknown;
    klass.href = href;
    klass.dataNodeName = node;
    klass.dataNodeNs = xmlSecDSigNs;
    klass.initialize = Initialize;
    klass.duplicate = Duplicate;
    klass.finalize = Finalize;
    klass.getType = GetType;
    klass.getSize = GetSize;
    klass.debugDump = DebugDump;
    klass.debugXmlDump = DebugXmlDump;
    return klass;
}

// The context that holds the certificate's private key, from its key provider info.
int AcquirePrivateKey(GostCtx& ctx)
{
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE prov = 0;
    DWORD keySpec = 0;
    BOOL callerFrees = FALSE;
    if (!CryptAcquireCertificatePrivateKey(ctx.cert.get(), CRYPT_ACQUIRE_COMPARE_KEY_FLAG, nullptr, &prov,
                                           &keySpec, &callerFrees)) {
        TRUMIK_MSCRYPTO_ERROR(nullptr, "CryptAcquireCertificatePrivateKey");
        return -1;
    }
    if (!callerFrees) {
        // A context cached on the certificate: take a reference of our own.
        if (!CryptContextAddRef(prov, nullptr, 0)) {
            TRUMIK_MSCRYPTO_ERROR(nullptr, "CryptContextAddRef");
            return -1;
        }
    }
    ctx.prov.reset(prov);
    ctx.keySpec = keySpec;
    return OpenPrivateKey(ctx, nullptr);
}

} // namespace
} // namespace trumik::mscrypto

using namespace trumik::mscrypto;

#pragma GCC visibility push(default)

xmlSecKeyDataId xmlSecMSCryptoKeyDataGost2001GetKlass(void)
{
    static struct _xmlSecKeyDataKlass klass =
        MakeGostKlass(xmlSecNameGOST2001KeyValue, xmlSecHrefGOST2001KeyValue, xmlSecNodeGOST2001KeyValue);
    return &klass;
}

xmlSecKeyDataId xmlSecMSCryptoKeyDataGostR3410_2012_256GetKlass(void)
{
    static struct _xmlSecKeyDataKlass klass =
        MakeGostKlass(xmlSecNameGostR3410_2012_256KeyValue, xmlSecHrefGostR3410_2012_256KeyValue,
                      xmlSecNodeGostR3410_2012_256KeyValue);
    return &klass;
}

xmlSecKeyDataId xmlSecMSCryptoKeyDataGostR3410_2012_512GetKlass(void)
{
    static struct _xmlSecKeyDataKlass klass =
        MakeGostKlass(xmlSecNameGostR3410_2012_512KeyValue, xmlSecHrefGostR3410_2012_512KeyValue,
                      xmlSecNodeGostR3410_2012_512KeyValue);
    return &klass;
}

xmlSecKeyDataPtr xmlSecMSCryptoCertAdopt(PCCERT_CONTEXT pCert, xmlSecKeyDataType type)
{
    xmlSecAssert2(pCert != nullptr, nullptr);
    xmlSecAssert2(pCert->pCertInfo != nullptr, nullptr);
    constexpr xmlSecKeyDataType kKeyTypes = xmlSecKeyDataTypePublic | xmlSecKeyDataTypePrivate;
    if ((type & kKeyTypes) == 0 || (type & ~kKeyTypes) != 0) {
        xmlSecError(XMLSEC_ERRORS_HERE, nullptr, nullptr, XMLSEC_ERRORS_R_INVALID_TYPE,
                    "type=%u; public (1) or public and private (3) expected", static_cast<unsigned>(type));
        return nullptr;
    }
    const GostKeyAlgorithm* algorithm = AlgorithmOfCert(pCert);
    if (algorithm == nullptr) {
        const char* oid = pCert->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId;
        xmlSecError(XMLSEC_ERRORS_HERE, nullptr, nullptr, XMLSEC_ERRORS_R_INVALID_KEY_DATA,
                    "public key algorithm %s is not supported; GOST R 34.10-2001 (%s) or GOST R 34.10-2012 "
                    "(%s, %s) expected",
                    xmlSecErrorsSafeString(oid), Gost2001Algorithm().keyOid, Gost2012_256Algorithm().keyOid,
                    Gost2012_512Algorithm().keyOid);
        return nullptr;
    }
    UniqueKeyData data(xmlSecKeyDataCreate(algorithm->keyDataKlass()));
    if (!data) {
        xmlSecError(XMLSEC_ERRORS_HERE, nullptr, "xmlSecKeyDataCreate", XMLSEC_ERRORS_R_XMLSEC_FAILED,
                    XMLSEC_ERRORS_NO_MESSAGE);
        return nullptr;
    }
    GostCtx* ctx = Ctx(data.get());
    ctx->cert.reset(CertDuplicateCertificateContext(pCert));
    if (!ctx->cert) {
        TRUMIK_MSCRYPTO_ERROR(nullptr, "CertDuplicateCertificateContext");
        return nullptr;
    }
    if ((type & xmlSecKeyDataTypePrivate) != 0) {
        if (AcquirePrivateKey(*ctx) < 0)
            return nullptr;
    } else if (!CryptAcquireContextW(ctx->prov.put(), nullptr, nullptr, algorithm->provType,
                                     CRYPT_VERIFYCONTEXT)) {
        TRUMIK_MSCRYPTO_ERROR(nullptr, "CryptAcquireContextW");
        return nullptr;
    }
    if (ImportPublicKey(*ctx, nullptr) < 0)
        return nullptr;
    return data.release();
}

PCCERT_CONTEXT xmlSecMSCryptoCertDup(PCCERT_CONTEXT pCert)
{
    xmlSecAssert2(pCert != nullptr, nullptr);
    PCCERT_CONTEXT copy = CertDuplicateCertificateContext(pCert);
    if (copy == nullptr)
        TRUMIK_MSCRYPTO_ERROR(nullptr, "CertDuplicateCertificateContext");
    return copy;
}

PCCERT_CONTEXT xmlSecMSCryptoKeyDataGetCert(xmlSecKeyDataPtr data)
{
    xmlSecAssert2(IsGostData(data), nullptr);
    return Ctx(data)->cert.get();
}

HCRYPTPROV xmlSecMSCryptoKeyDataGetMSCryptoProvider(xmlSecKeyDataPtr data)
{
    xmlSecAssert2(IsGostData(data), 0);
    return Ctx(data)->prov.get();
}

DWORD xmlSecMSCryptoKeyDataGetMSCryptoKeySpec(xmlSecKeyDataPtr data)
{
    xmlSecAssert2(IsGostData(data), 0);
    return Ctx(data)->keySpec;
}

HCRYPTKEY xmlSecMSCryptoKeyDataGetKey(xmlSecKeyDataPtr data, xmlSecKeyDataType type)
{
    xmlSecAssert2(IsGostData(data), 0);
    GostCtx* ctx = Ctx(data);
    if (type == xmlSecKeyDataTypePublic)
        return ctx->publicKey.get();
    if (type == xmlSecKeyDataTypePrivate)
        return ctx->privateKey.get();
    return 0;
}

#pragma GCC visibility pop
