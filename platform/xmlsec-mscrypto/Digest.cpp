// GOST R 34.11-94 digest transform over CryptCreateHash with CALG_GR3411 in a
// verify context of the GOST provider. Digest values are used as the hash
// gives them (HP_HASHVAL), never reversed.
#include "MSCryptoInternal.h"

#include <xmlsec/strings.h>

#include <algorithm>
#include <cstring>

namespace trumik::mscrypto {

// Feeds a buffer of any size to a hash; false after a report.
bool HashBuffer(HCRYPTHASH hash, const xmlSecByte* data, xmlSecSize size, const char* name)
{
    while (size > 0) {
        DWORD chunk = static_cast<DWORD>(std::min<xmlSecSize>(size, 0x40000000u));
        if (!CryptHashData(hash, data, chunk, 0)) {
            TRUMIK_MSCRYPTO_ERROR(name, "CryptHashData");
            return false;
        }
        data += chunk;
        size -= chunk;
    }
    return true;
}

namespace {

struct DigestCtx {
    UniqueProv prov;
    UniqueHash hash;
    xmlSecByte digest[kGostDigestSize] = {};
};

DigestCtx* Ctx(xmlSecTransformPtr transform)
{
    return CtxOf<DigestCtx>(transform);
}

bool IsDigest(xmlSecTransformPtr transform)
{
    return transform != nullptr && transform->id == xmlSecMSCryptoTransformGostR3411_94GetKlass();
}

const char* NameOf(xmlSecTransformPtr transform)
{
    return reinterpret_cast<const char*>(xmlSecTransformGetName(transform));
}

int Initialize(xmlSecTransformPtr transform)
{
    xmlSecAssert2(IsDigest(transform), -1);
    ConstructCtx<DigestCtx>(transform);
    DigestCtx* ctx = Ctx(transform);
    if (!CryptAcquireContextW(ctx->prov.put(), nullptr, nullptr, PROV_GOST_2001_DH, CRYPT_VERIFYCONTEXT)) {
        TRUMIK_MSCRYPTO_ERROR(NameOf(transform), "CryptAcquireContextW");
        return -1;
    }
    if (!CryptCreateHash(ctx->prov.get(), CALG_GR3411, 0, 0, ctx->hash.put())) {
        TRUMIK_MSCRYPTO_ERROR(NameOf(transform), "CryptCreateHash");
        return -1;
    }
    return 0;
}

void Finalize(xmlSecTransformPtr transform)
{
    if (!IsDigest(transform))
        return;
    DigestCtx* ctx = Ctx(transform);
    ctx->hash.reset(); // before its provider context
    ctx->prov.reset();
    DestroyCtx<DigestCtx>(transform);
}

int Verify(xmlSecTransformPtr transform, const xmlSecByte* data, xmlSecSize dataSize, xmlSecTransformCtxPtr)
{
    xmlSecAssert2(IsDigest(transform), -1);
    xmlSecAssert2(data != nullptr || dataSize == 0, -1);
    xmlSecAssert2(transform->operation == xmlSecTransformOperationVerify, -1);
    xmlSecAssert2(transform->status == xmlSecTransformStatusFinished, -1);
    if (dataSize != kGostDigestSize) {
        xmlSecError(XMLSEC_ERRORS_HERE, NameOf(transform), nullptr, XMLSEC_ERRORS_R_INVALID_SIZE,
                    "digest value of %u bytes; %u expected", static_cast<unsigned>(dataSize),
                    static_cast<unsigned>(kGostDigestSize));
        transform->status = xmlSecTransformStatusFail;
        return 0;
    }
    if (std::memcmp(Ctx(transform)->digest, data, kGostDigestSize) != 0) {
        xmlSecError(XMLSEC_ERRORS_HERE, NameOf(transform), nullptr, XMLSEC_ERRORS_R_DATA_NOT_MATCH,
                    "data and digest do not match");
        transform->status = xmlSecTransformStatusFail;
        return 0;
    }
    transform->status = xmlSecTransformStatusOk;
    return 0;
}

int Execute(xmlSecTransformPtr transform, int last, xmlSecTransformCtxPtr)
{
    xmlSecAssert2(IsDigest(transform), -1);
    xmlSecAssert2(transform->operation == xmlSecTransformOperationSign ||
                      transform->operation == xmlSecTransformOperationVerify,
                  -1);
    DigestCtx* ctx = Ctx(transform);
    xmlSecBufferPtr in = &transform->inBuf;
    xmlSecBufferPtr out = &transform->outBuf;

    if (transform->status == xmlSecTransformStatusNone)
        transform->status = xmlSecTransformStatusWorking;
    if (transform->status == xmlSecTransformStatusWorking) {
        xmlSecSize inSize = xmlSecBufferGetSize(in);
        if (inSize > 0) {
            if (!HashBuffer(ctx->hash.get(), xmlSecBufferGetData(in), inSize, NameOf(transform)))
                return -1;
            if (xmlSecBufferRemoveHead(in, inSize) < 0) {
                xmlSecError(XMLSEC_ERRORS_HERE, NameOf(transform), "xmlSecBufferRemoveHead",
                            XMLSEC_ERRORS_R_XMLSEC_FAILED, XMLSEC_ERRORS_NO_MESSAGE);
                return -1;
            }
        }
        if (last != 0) {
            DWORD size = kGostDigestSize;
            if (!CryptGetHashParam(ctx->hash.get(), HP_HASHVAL, ctx->digest, &size, 0)) {
                TRUMIK_MSCRYPTO_ERROR(NameOf(transform), "CryptGetHashParam");
                return -1;
            }
            if (size != kGostDigestSize) {
                xmlSecError(XMLSEC_ERRORS_HERE, NameOf(transform), "CryptGetHashParam",
                            XMLSEC_ERRORS_R_INVALID_SIZE, "digest of %u bytes", static_cast<unsigned>(size));
                return -1;
            }
            if (transform->operation == xmlSecTransformOperationSign &&
                xmlSecBufferAppend(out, ctx->digest, kGostDigestSize) < 0) {
                xmlSecError(XMLSEC_ERRORS_HERE, NameOf(transform), "xmlSecBufferAppend",
                            XMLSEC_ERRORS_R_XMLSEC_FAILED, XMLSEC_ERRORS_NO_MESSAGE);
                return -1;
            }
            transform->status = xmlSecTransformStatusFinished;
        }
    } else if (transform->status == xmlSecTransformStatusFinished) {
        xmlSecAssert2(xmlSecBufferGetSize(in) == 0, -1);
    } else {
        xmlSecError(XMLSEC_ERRORS_HERE, NameOf(transform), nullptr, XMLSEC_ERRORS_R_INVALID_STATUS,
                    "status=%d", static_cast<int>(transform->status));
        return -1;
    }
    return 0;
}

struct _xmlSecTransformKlass MakeDigestKlass()
{
    struct _xmlSecTransformKlass klass {};
    klass.klassSize = sizeof(xmlSecTransformKlass);
    klass.objSize = ObjectSize<xmlSecTransform, DigestCtx>();
    klass.name = xmlSecNameGostR3411_94;
    klass.href = xmlSecHrefGostR3411_94;
    klass.usage = xmlSecTransformUsageDigestMethod;
    klass.initialize = Initialize;
    klass.finalize = Finalize;
    klass.verify = Verify;
    klass.getDataType = xmlSecTransformDefaultGetDataType;
    klass.pushBin = xmlSecTransformDefaultPushBin;
    klass.popBin = xmlSecTransformDefaultPopBin;
    klass.execute = Execute;
    return klass;
}

} // namespace
} // namespace trumik::mscrypto

#pragma GCC visibility push(default)

xmlSecTransformId xmlSecMSCryptoTransformGostR3411_94GetKlass(void)
{
    static struct _xmlSecTransformKlass klass = trumik::mscrypto::MakeDigestKlass();
    return &klass;
}

#pragma GCC visibility pop
