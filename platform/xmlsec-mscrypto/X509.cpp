// X.509 key data: the certificates that go with a key, and which of them is
// the key's own. Each certificate is held by a reference of the key data's
// own (a duplicate of the context the caller gave).
#include "MSCryptoInternal.h"

#include <xmlsec/keysdata.h>
#include <xmlsec/strings.h>

#include <cstring>

namespace trumik::mscrypto {
namespace {

struct X509Ctx {
    std::vector<UniqueCert> certs;    // in the order added
    PCCERT_CONTEXT keyCert = nullptr; // one of certs, or null
};

X509Ctx* Ctx(xmlSecKeyDataPtr data)
{
    return CtxOf<X509Ctx>(data);
}

bool IsX509Data(xmlSecKeyDataPtr data)
{
    return xmlSecKeyDataCheckId(data, xmlSecMSCryptoKeyDataX509GetKlass());
}

int Initialize(xmlSecKeyDataPtr data)
{
    ConstructCtx<X509Ctx>(data);
    return 0;
}

void Finalize(xmlSecKeyDataPtr data)
{
    if (IsX509Data(data))
        DestroyCtx<X509Ctx>(data);
}

int Duplicate(xmlSecKeyDataPtr dst, xmlSecKeyDataPtr src)
{
    xmlSecAssert2(IsX509Data(dst), -1);
    xmlSecAssert2(IsX509Data(src), -1);
    X509Ctx* from = Ctx(src);
    X509Ctx* to = Ctx(dst);
    for (const UniqueCert& cert : from->certs) {
        UniqueCert copy(CertDuplicateCertificateContext(cert.get()));
        if (!copy) {
            TRUMIK_MSCRYPTO_ERROR(NameOf(dst), "CertDuplicateCertificateContext");
            return -1;
        }
        if (cert.get() == from->keyCert)
            to->keyCert = copy.get();
        to->certs.push_back(std::move(copy));
    }
    return 0;
}

xmlSecKeyDataType GetType(xmlSecKeyDataPtr data)
{
    xmlSecAssert2(IsX509Data(data), xmlSecKeyDataTypeUnknown);
    return xmlSecKeyDataTypeUnknown;
}

xmlSecSize GetSize(xmlSecKeyDataPtr data)
{
    xmlSecAssert2(IsX509Data(data), 0);
    return 0;
}

void DebugDump(xmlSecKeyDataPtr data, FILE* output)
{
    xmlSecAssert(IsX509Data(data));
    X509Ctx* ctx = Ctx(data);
    fprintf(output, "=== X509 Data: %u certificate(s)%s\n", static_cast<unsigned>(ctx->certs.size()),
            ctx->keyCert != nullptr ? ", with the key certificate" : "");
}

void DebugXmlDump(xmlSecKeyDataPtr data, FILE* output)
{
    xmlSecAssert(IsX509Data(data));
    X509Ctx* ctx = Ctx(data);
    fprintf(output, "<X509Data certificates=\"%u\" keyCertificate=\"%s\" />\n",
            static_cast<unsigned>(ctx->certs.size()), ctx->keyCert != nullptr ? "yes" : "no");
}

struct _xmlSecKeyDataKlass MakeX509Klass()
{
    struct _xmlSecKeyDataKlass klass {};
    klass.klassSize = sizeof(xmlSecKeyDataKlass);
    klass.objSize = ObjectSize<xmlSecKeyData, X509Ctx>();
    klass.name = xmlSecNameX509Data;
    // Certificates come from the caller, never from KeyInfo.
    klass.usage = xmlSecKeyDataUsageUnknown;
    klass.href = xmlSecHrefX509Data;
    klass.dataNodeName = xmlSecNodeX509Data;
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

// Adds a reference of the key data's own to cert; the added context, or null.
PCCERT_CONTEXT AddCert(xmlSecKeyDataPtr data, PCCERT_CONTEXT cert)
{
    UniqueCert copy(CertDuplicateCertificateContext(cert));
    if (!copy) {
        TRUMIK_MSCRYPTO_ERROR(NameOf(data), "CertDuplicateCertificateContext");
        return nullptr;
    }
    PCCERT_CONTEXT added = copy.get();
    Ctx(data)->certs.push_back(std::move(copy));
    return added;
}

} // namespace
} // namespace trumik::mscrypto

using namespace trumik::mscrypto;

#pragma GCC visibility push(default)

xmlSecKeyDataId xmlSecMSCryptoKeyDataX509GetKlass(void)
{
    static struct _xmlSecKeyDataKlass klass = MakeX509Klass();
    return &klass;
}

int xmlSecMSCryptoKeyDataX509AdoptKeyCert(xmlSecKeyDataPtr data, PCCERT_CONTEXT cert)
{
    xmlSecAssert2(IsX509Data(data), -1);
    xmlSecAssert2(cert != nullptr, -1);
    X509Ctx* ctx = Ctx(data);
    // The same certificate added twice is kept once.
    for (const UniqueCert& held : ctx->certs) {
        if (held->cbCertEncoded == cert->cbCertEncoded &&
            std::memcmp(held->pbCertEncoded, cert->pbCertEncoded, cert->cbCertEncoded) == 0) {
            ctx->keyCert = held.get();
            return 0;
        }
    }
    PCCERT_CONTEXT added = AddCert(data, cert);
    if (added == nullptr)
        return -1;
    ctx->keyCert = added;
    return 0;
}

int xmlSecMSCryptoKeyDataX509AdoptCert(xmlSecKeyDataPtr data, PCCERT_CONTEXT cert)
{
    xmlSecAssert2(IsX509Data(data), -1);
    xmlSecAssert2(cert != nullptr, -1);
    return AddCert(data, cert) != nullptr ? 0 : -1;
}

PCCERT_CONTEXT xmlSecMSCryptoKeyDataX509GetKeyCert(xmlSecKeyDataPtr data)
{
    xmlSecAssert2(IsX509Data(data), nullptr);
    return Ctx(data)->keyCert;
}

PCCERT_CONTEXT xmlSecMSCryptoKeyDataX509GetCert(xmlSecKeyDataPtr data, xmlSecSize pos)
{
    xmlSecAssert2(IsX509Data(data), nullptr);
    X509Ctx* ctx = Ctx(data);
    xmlSecAssert2(pos < ctx->certs.size(), nullptr);
    return ctx->certs[pos].get();
}

xmlSecSize xmlSecMSCryptoKeyDataX509GetCertsSize(xmlSecKeyDataPtr data)
{
    xmlSecAssert2(IsX509Data(data), 0);
    return Ctx(data)->certs.size();
}

#pragma GCC visibility pop
