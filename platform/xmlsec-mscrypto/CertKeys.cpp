// GOST R 34.10-2001 key data made from a certificate context. It holds its own
// reference to the certificate and a provider context: for a private key, the
// context of the certificate's key container (from its key provider info),
// whose key makes the signatures; for a public key, a verify context. The
// certificate's public key is imported into that context for verification.
#include "MSCryptoInternal.h"

#include <xmlsec/keysdata.h>
#include <xmlsec/strings.h>

namespace trumik::mscrypto {
namespace {

struct Gost2001Ctx {
    UniqueCert cert;
    UniqueProv prov;
    DWORD keySpec = 0; // 0 for a public key only
    UniqueKey publicKey;
    UniqueKey privateKey; // the container's key, with a key spec
};

Gost2001Ctx* Ctx(xmlSecKeyDataPtr data)
{
    return CtxOf<Gost2001Ctx>(data);
}

bool IsGost2001Data(xmlSecKeyDataPtr data)
{
    return xmlSecKeyDataCheckId(data, xmlSecMSCryptoKeyDataGost2001GetKlass());
}

int Initialize(xmlSecKeyDataPtr data)
{
    ConstructCtx<Gost2001Ctx>(data);
    return 0;
}

void Finalize(xmlSecKeyDataPtr data)
{
    if (!IsGost2001Data(data))
        return;
    Gost2001Ctx* ctx = Ctx(data);
    // The key goes before its provider context.
    ctx->privateKey.reset();
    ctx->publicKey.reset();
    ctx->prov.reset();
    DestroyCtx<Gost2001Ctx>(data);
}

// Imports the certificate's public key into the context's provider.
int ImportPublicKey(Gost2001Ctx& ctx, const char* name)
{
    if (!CryptImportPublicKeyInfo(ctx.prov.get(), X509_ASN_ENCODING,
                                  &ctx.cert->pCertInfo->SubjectPublicKeyInfo, ctx.publicKey.put())) {
        TRUMIK_MSCRYPTO_ERROR(name, "CryptImportPublicKeyInfo");
        return -1;
    }
    return 0;
}

// The container's key of the context's key spec.
int OpenPrivateKey(Gost2001Ctx& ctx, const char* name)
{
    if (!CryptGetUserKey(ctx.prov.get(), ctx.keySpec, ctx.privateKey.put())) {
        TRUMIK_MSCRYPTO_ERROR(name, "CryptGetUserKey");
        return -1;
    }
    return 0;
}

int Duplicate(xmlSecKeyDataPtr dst, xmlSecKeyDataPtr src)
{
    xmlSecAssert2(IsGost2001Data(dst), -1);
    xmlSecAssert2(IsGost2001Data(src), -1);
    Gost2001Ctx* from = Ctx(src);
    Gost2001Ctx* to = Ctx(dst);
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
    xmlSecAssert2(IsGost2001Data(data), xmlSecKeyDataTypeUnknown);
    Gost2001Ctx* ctx = Ctx(data);
    xmlSecKeyDataType type = xmlSecKeyDataTypeUnknown;
    if (ctx->publicKey)
        type |= xmlSecKeyDataTypePublic;
    if (ctx->keySpec != 0)
        type |= xmlSecKeyDataTypePrivate;
    return type;
}

xmlSecSize GetSize(xmlSecKeyDataPtr data)
{
    xmlSecAssert2(IsGost2001Data(data), 0);
    return Ctx(data)->cert ? kGost2001KeyBits : 0;
}

void DebugDump(xmlSecKeyDataPtr data, FILE* output)
{
    xmlSecAssert(IsGost2001Data(data));
    fprintf(output, "=== gost2001 key: size = %u\n", static_cast<unsigned>(GetSize(data)));
}

void DebugXmlDump(xmlSecKeyDataPtr data, FILE* output)
{
    xmlSecAssert(IsGost2001Data(data));
    fprintf(output, "<GOST2001KeyValue size=\"%u\" />\n", static_cast<unsigned>(GetSize(data)));
}

struct _xmlSecKeyDataKlass MakeGost2001Klass()
{
    struct _xmlSecKeyDataKlass klass {};
    klass.klassSize = sizeof(xmlSecKeyDataKlass);
    klass.objSize = ObjectSize<xmlSecKeyData, Gost2001Ctx>();
    klass.name = xmlSecNameGOST2001KeyValue;
    // Made from certificates only: nothing is read from or written to KeyInfo.
    klass.usage = xmlSecKeyDataUsageUnknown;
    klass.href = xmlSecHrefGOST2001KeyValue;
    klass.dataNodeName = xmlSecNodeGOST2001KeyValue;
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
int AcquirePrivateKey(Gost2001Ctx& ctx)
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
    static struct _xmlSecKeyDataKlass klass = MakeGost2001Klass();
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
    if (!IsGost2001Cert(pCert)) {
        const char* oid = pCert->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId;
        xmlSecError(XMLSEC_ERRORS_HERE, nullptr, nullptr, XMLSEC_ERRORS_R_INVALID_KEY_DATA,
                    "public key algorithm %s is not supported; GOST R 34.10-2001 (%s) expected",
                    xmlSecErrorsSafeString(oid), kGost2001KeyOid);
        return nullptr;
    }
    UniqueKeyData data(xmlSecKeyDataCreate(xmlSecMSCryptoKeyDataGost2001GetKlass()));
    if (!data) {
        xmlSecError(XMLSEC_ERRORS_HERE, nullptr, "xmlSecKeyDataCreate", XMLSEC_ERRORS_R_XMLSEC_FAILED,
                    XMLSEC_ERRORS_NO_MESSAGE);
        return nullptr;
    }
    Gost2001Ctx* ctx = Ctx(data.get());
    ctx->cert.reset(CertDuplicateCertificateContext(pCert));
    if (!ctx->cert) {
        TRUMIK_MSCRYPTO_ERROR(nullptr, "CertDuplicateCertificateContext");
        return nullptr;
    }
    if ((type & xmlSecKeyDataTypePrivate) != 0) {
        if (AcquirePrivateKey(*ctx) < 0)
            return nullptr;
    } else if (!CryptAcquireContextW(ctx->prov.put(), nullptr, nullptr, PROV_GOST_2001_DH,
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
    xmlSecAssert2(IsGost2001Data(data), nullptr);
    return Ctx(data)->cert.get();
}

HCRYPTPROV xmlSecMSCryptoKeyDataGetMSCryptoProvider(xmlSecKeyDataPtr data)
{
    xmlSecAssert2(IsGost2001Data(data), 0);
    return Ctx(data)->prov.get();
}

DWORD xmlSecMSCryptoKeyDataGetMSCryptoKeySpec(xmlSecKeyDataPtr data)
{
    xmlSecAssert2(IsGost2001Data(data), 0);
    return Ctx(data)->keySpec;
}

HCRYPTKEY xmlSecMSCryptoKeyDataGetKey(xmlSecKeyDataPtr data, xmlSecKeyDataType type)
{
    xmlSecAssert2(IsGost2001Data(data), 0);
    Gost2001Ctx* ctx = Ctx(data);
    if (type == xmlSecKeyDataTypePublic)
        return ctx->publicKey.get();
    if (type == xmlSecKeyDataTypePrivate)
        return ctx->privateKey.get();
    return 0;
}

#pragma GCC visibility pop
