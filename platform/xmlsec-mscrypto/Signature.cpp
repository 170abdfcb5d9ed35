// GOST signatures: GOST R 34.10-2001 over GOST R 34.11-94, under its XML-DSig
// name and, for verification, under its newer name; GOST R 34.10-2012 over
// GOST R 34.11-2012 with a 256-bit key (64-byte values) and with a 512-bit key
// (128-byte values). Each takes key data of its own key algorithm. The data
// is hashed in the provider context of the key data, so a signature is made
// with the key of the container that context is bound to (and the PIN set on
// it). CryptoAPI gives and takes signatures byte-reversed against the
// XML-DSig (RFC 4491, RFC 7091) form, so SignatureValue bytes are reversed on
// the way out and in.
#include "MSCryptoInternal.h"

#include <xmlsec/strings.h>

#include <algorithm>
#include <vector>

namespace trumik::mscrypto {
namespace {

struct SignatureAlgorithm {
    const GostKeyAlgorithm& (*key)();
    bool verifyOnly;
};

constexpr SignatureAlgorithm kGost2001{Gost2001Algorithm, false};
constexpr SignatureAlgorithm kGost2001Urn{Gost2001Algorithm, true};
constexpr SignatureAlgorithm kGost2012_256{Gost2012_256Algorithm, false};
constexpr SignatureAlgorithm kGost2012_512{Gost2012_512Algorithm, false};

// The newer name of GOST R 34.10-2001 over GOST R 34.11-94.
constexpr xmlChar kNameGost2001Urn[] = "cpxmlsec-gostr34102001-gostr3411";
constexpr xmlChar kHrefGost2001Urn[] = "urn:ietf:params:xml:ns:cpxmlsec:algorithms:gostr34102001-gostr3411";

struct SignatureCtx {
    const SignatureAlgorithm* algorithm = nullptr;
    const GostKeyAlgorithm* key = nullptr;
    UniqueKeyData keyData; // a duplicate of the key's data
    UniqueHash hash;       // verification: the data hashed as it comes
    // Signing: the data so far and its signature (XML-DSig order), made as
    // soon as data comes rather than when the input ends; see TakeInput.
    std::vector<xmlSecByte> data;
    xmlSecByte signature[kMaxGostSignatureSize] = {};
    bool signatureCurrent = false;
};

SignatureCtx* Ctx(xmlSecTransformPtr transform)
{
    return CtxOf<SignatureCtx>(transform);
}

const SignatureAlgorithm* AlgorithmOf(xmlSecTransformPtr transform)
{
    if (transform == nullptr)
        return nullptr;
    if (transform->id == xmlSecMSCryptoTransformGost2001GostR3411_94GetKlass())
        return &kGost2001;
    if (transform->id == Gost2001GostR3411_94UrnGetKlass())
        return &kGost2001Urn;
    if (transform->id == xmlSecMSCryptoTransformGostR3410_2012GostR3411_2012_256GetKlass())
        return &kGost2012_256;
    if (transform->id == xmlSecMSCryptoTransformGostR3410_2012GostR3411_2012_512GetKlass())
        return &kGost2012_512;
    return nullptr;
}

bool IsSignature(xmlSecTransformPtr transform)
{
    return AlgorithmOf(transform) != nullptr;
}

const char* NameOf(xmlSecTransformPtr transform)
{
    return reinterpret_cast<const char*>(xmlSecTransformGetName(transform));
}

int Initialize(xmlSecTransformPtr transform)
{
    xmlSecAssert2(IsSignature(transform), -1);
    ConstructCtx<SignatureCtx>(transform);
    SignatureCtx* ctx = Ctx(transform);
    ctx->algorithm = AlgorithmOf(transform);
    ctx->key = &ctx->algorithm->key();
    return 0;
}

void Finalize(xmlSecTransformPtr transform)
{
    if (!IsSignature(transform))
        return;
    SignatureCtx* ctx = Ctx(transform);
    ctx->hash.reset(); // before the provider context the key data holds
    ctx->keyData.reset();
    DestroyCtx<SignatureCtx>(transform);
}

int SetKeyReq(xmlSecTransformPtr transform, xmlSecKeyReqPtr keyReq)
{
    xmlSecAssert2(IsSignature(transform), -1);
    xmlSecAssert2(keyReq != nullptr, -1);
    const SignatureCtx* ctx = Ctx(transform);
    keyReq->keyId = ctx->key->keyDataKlass();
    if (transform->operation == xmlSecTransformOperationSign) {
        if (ctx->algorithm->verifyOnly) {
            xmlSecError(XMLSEC_ERRORS_HERE, NameOf(transform), nullptr, XMLSEC_ERRORS_R_INVALID_OPERATION,
                        "this name of the signature method is accepted for verification only");
            return -1;
        }
        keyReq->keyType = xmlSecKeyDataTypePrivate;
        keyReq->keyUsage = xmlSecKeyUsageSign;
    } else {
        keyReq->keyType = xmlSecKeyDataTypePublic;
        keyReq->keyUsage = xmlSecKeyUsageVerify;
    }
    return 0;
}

int SetKey(xmlSecTransformPtr transform, xmlSecKeyPtr key)
{
    xmlSecAssert2(IsSignature(transform), -1);
    xmlSecAssert2(key != nullptr, -1);
    xmlSecKeyDataPtr value = xmlSecKeyGetValue(key);
    SignatureCtx* ctx = Ctx(transform);
    if (!xmlSecKeyDataCheckId(value, ctx->key->keyDataKlass())) {
        xmlSecError(XMLSEC_ERRORS_HERE, NameOf(transform), nullptr, XMLSEC_ERRORS_R_INVALID_KEY_DATA,
                    "a %s key is needed", ctx->key->title);
        return -1;
    }
    ctx->keyData.reset(xmlSecKeyDataDuplicate(value));
    if (!ctx->keyData) {
        xmlSecError(XMLSEC_ERRORS_HERE, NameOf(transform), "xmlSecKeyDataDuplicate",
                    XMLSEC_ERRORS_R_XMLSEC_FAILED, XMLSEC_ERRORS_NO_MESSAGE);
        return -1;
    }
    if (transform->operation == xmlSecTransformOperationSign &&
        xmlSecMSCryptoKeyDataGetMSCryptoKeySpec(ctx->keyData.get()) == 0) {
        xmlSecError(XMLSEC_ERRORS_HERE, NameOf(transform), nullptr, XMLSEC_ERRORS_R_INVALID_KEY_DATA,
                    "the key has no private part");
        return -1;
    }
    return 0;
}

int Verify(xmlSecTransformPtr transform, const xmlSecByte* data, xmlSecSize dataSize, xmlSecTransformCtxPtr)
{
    xmlSecAssert2(IsSignature(transform), -1);
    xmlSecAssert2(transform->operation == xmlSecTransformOperationVerify, -1);
    xmlSecAssert2(transform->status == xmlSecTransformStatusFinished, -1);
    xmlSecAssert2(data != nullptr || dataSize == 0, -1);
    SignatureCtx* ctx = Ctx(transform);
    xmlSecAssert2(ctx->keyData && ctx->hash, -1);

    const DWORD expected = ctx->key->signatureSize;
    if (dataSize != expected) {
        xmlSecError(XMLSEC_ERRORS_HERE, NameOf(transform), nullptr, XMLSEC_ERRORS_R_INVALID_SIZE,
                    "signature value of %u bytes; %u expected", static_cast<unsigned>(dataSize),
                    static_cast<unsigned>(expected));
        transform->status = xmlSecTransformStatusFail;
        return 0;
    }
    xmlSecByte reversed[kMaxGostSignatureSize];
    std::reverse_copy(data, data + expected, reversed);
    HCRYPTKEY publicKey = xmlSecMSCryptoKeyDataGetKey(ctx->keyData.get(), xmlSecKeyDataTypePublic);
    if (CryptVerifySignatureW(ctx->hash.get(), reversed, expected, publicKey, nullptr, 0)) {
        transform->status = xmlSecTransformStatusOk;
        return 0;
    }
    if (GetLastError() == static_cast<DWORD>(NTE_BAD_SIGNATURE)) {
        xmlSecError(XMLSEC_ERRORS_HERE, NameOf(transform), "CryptVerifySignature",
                    XMLSEC_ERRORS_R_DATA_NOT_MATCH, "signature does not match");
        transform->status = xmlSecTransformStatusFail;
        return 0;
    }
    TRUMIK_MSCRYPTO_ERROR(NameOf(transform), "CryptVerifySignature");
    return -1;
}

// Signs all data so far with the container's key.
int SignData(xmlSecTransformPtr transform, SignatureCtx& ctx)
{
    HCRYPTPROV prov = xmlSecMSCryptoKeyDataGetMSCryptoProvider(ctx.keyData.get());
    DWORD keySpec = xmlSecMSCryptoKeyDataGetMSCryptoKeySpec(ctx.keyData.get());
    UniqueHash hash;
    if (!CryptCreateHash(prov, ctx.key->hashAlg, 0, 0, hash.put())) {
        TRUMIK_MSCRYPTO_ERROR(NameOf(transform), "CryptCreateHash");
        return -1;
    }
    if (!HashBuffer(hash.get(), ctx.data.data(), ctx.data.size(), NameOf(transform)))
        return -1;
    DWORD size = sizeof ctx.signature;
    if (!CryptSignHashW(hash.get(), keySpec, nullptr, 0, ctx.signature, &size)) {
        TRUMIK_MSCRYPTO_ERROR(NameOf(transform), "CryptSignHash");
        return -1;
    }
    if (size != ctx.key->signatureSize) {
        xmlSecError(XMLSEC_ERRORS_HERE, NameOf(transform), "CryptSignHash", XMLSEC_ERRORS_R_INVALID_SIZE,
                    "signature of %u bytes", static_cast<unsigned>(size));
        return -1;
    }
    std::reverse(ctx.signature, ctx.signature + size);
    ctx.signatureCurrent = true;
    return 0;
}

// Takes the input: hashed as it comes for verification; kept and signed at
// once for signing. A key that refuses to sign (a wrong PIN) then fails the
// write of the canonical data into this transform, which the library handles
// cleanly, instead of the close of that output at the end of the input, where
// xmlsec 1.2.37 loses its output buffer. The canonical SignedInfo of a usual
// signature comes in one write, so it is signed once; a longer one is signed
// again as it grows.
int TakeInput(xmlSecTransformPtr transform, SignatureCtx& ctx)
{
    xmlSecBufferPtr in = &transform->inBuf;
    xmlSecSize inSize = xmlSecBufferGetSize(in);
    if (inSize == 0)
        return 0;
    const xmlSecByte* bytes = xmlSecBufferGetData(in);
    if (transform->operation == xmlSecTransformOperationSign) {
        ctx.data.insert(ctx.data.end(), bytes, bytes + inSize);
        ctx.signatureCurrent = false;
    } else if (!HashBuffer(ctx.hash.get(), bytes, inSize, NameOf(transform))) {
        return -1;
    }
    if (xmlSecBufferRemoveHead(in, inSize) < 0) {
        xmlSecError(XMLSEC_ERRORS_HERE, NameOf(transform), "xmlSecBufferRemoveHead",
                    XMLSEC_ERRORS_R_XMLSEC_FAILED, XMLSEC_ERRORS_NO_MESSAGE);
        return -1;
    }
    if (transform->operation == xmlSecTransformOperationSign)
        return SignData(transform, ctx);
    return 0;
}

int Execute(xmlSecTransformPtr transform, int last, xmlSecTransformCtxPtr)
{
    xmlSecAssert2(IsSignature(transform), -1);
    xmlSecAssert2(transform->operation == xmlSecTransformOperationSign ||
                      transform->operation == xmlSecTransformOperationVerify,
                  -1);
    SignatureCtx* ctx = Ctx(transform);

    if (transform->status == xmlSecTransformStatusNone) {
        if (!ctx->keyData) {
            xmlSecError(XMLSEC_ERRORS_HERE, NameOf(transform), nullptr, XMLSEC_ERRORS_R_KEY_NOT_FOUND,
                        "no key set");
            return -1;
        }
        if (transform->operation == xmlSecTransformOperationVerify) {
            HCRYPTPROV prov = xmlSecMSCryptoKeyDataGetMSCryptoProvider(ctx->keyData.get());
            if (!CryptCreateHash(prov, ctx->key->hashAlg, 0, 0, ctx->hash.put())) {
                TRUMIK_MSCRYPTO_ERROR(NameOf(transform), "CryptCreateHash");
                return -1;
            }
        }
        transform->status = xmlSecTransformStatusWorking;
    }
    if (transform->status == xmlSecTransformStatusWorking) {
        if (TakeInput(transform, *ctx) < 0) {
            transform->status = xmlSecTransformStatusFail;
            return -1;
        }
        if (last != 0) {
            if (transform->operation == xmlSecTransformOperationSign) {
                if (!ctx->signatureCurrent && SignData(transform, *ctx) < 0) {
                    transform->status = xmlSecTransformStatusFail;
                    return -1;
                }
                if (xmlSecBufferAppend(&transform->outBuf, ctx->signature, ctx->key->signatureSize) < 0) {
                    xmlSecError(XMLSEC_ERRORS_HERE, NameOf(transform), "xmlSecBufferAppend",
                                XMLSEC_ERRORS_R_XMLSEC_FAILED, XMLSEC_ERRORS_NO_MESSAGE);
                    return -1;
                }
            }
            transform->status = xmlSecTransformStatusFinished;
        }
    } else if (transform->status == xmlSecTransformStatusFinished) {
        xmlSecAssert2(xmlSecBufferGetSize(&transform->inBuf) == 0, -1);
    } else if (transform->status == xmlSecTransformStatusFail) {
        // Failed and reported already: the rest of the input (the close of
        // the canonical output) is dropped and nothing is produced.
        xmlSecBufferEmpty(&transform->inBuf);
    } else {
        xmlSecError(XMLSEC_ERRORS_HERE, NameOf(transform), nullptr, XMLSEC_ERRORS_R_INVALID_STATUS,
                    "status=%d", static_cast<int>(transform->status));
        return -1;
    }
    return 0;
}

struct _xmlSecTransformKlass MakeSignatureKlass(const xmlChar* name, const xmlChar* href)
{
    struct _xmlSecTransformKlass klass {};
    klass.klassSize = sizeof(xmlSecTransformKlass);
    klass.objSize = ObjectSize<xmlSecTransform, SignatureCtx>();
    klass.name = name;
    klass.href = href;
    klass.usage = xmlSecTransformUsageSignatureMethod;
    klass.initialize = Initialize;
    klass.finalize = Finalize;
    klass.setKeyReq = SetKeyReq;
    klass.setKey = SetKey;
    klass.verify = Verify;
    klass.getDataType = xmlSecTransformDefaultGetDataType;
    klass.pushBin = xmlSecTransformDefaultPushBin;
    klass.popBin = xmlSecTransformDefaultPopBin;
    klass.execute = Execute;
    return klass;
}

} // namespace

xmlSecTransformId Gost2001GostR3411_94UrnGetKlass()
{
    static struct _xmlSecTransformKlass klass = MakeSignatureKlass(kNameGost2001Urn, kHrefGost2001Urn);
    return &klass;
}

} // namespace trumik::mscrypto

using trumik::mscrypto::MakeSignatureKlass;

#pragma GCC visibility push(default)

xmlSecTransformId xmlSecMSCryptoTransformGost2001GostR3411_94GetKlass(void)
{
    static struct _xmlSecTransformKlass klass =
        MakeSignatureKlass(xmlSecNameGost2001GostR3411_94, xmlSecHrefGost2001GostR3411_94);
    return &klass;
}

xmlSecTransformId xmlSecMSCryptoTransformGostR3410_2012GostR3411_2012_256GetKlass(void)
{
    static struct _xmlSecTransformKlass klass = MakeSignatureKlass(
        xmlSecNameGostR3410_2012GostR3411_2012_256, xmlSecHrefGostR3410_2012GostR3411_2012_256);
    return &klass;
}

xmlSecTransformId xmlSecMSCryptoTransformGostR3410_2012GostR3411_2012_512GetKlass(void)
{
    static struct _xmlSecTransformKlass klass = MakeSignatureKlass(
        xmlSecNameGostR3410_2012GostR3411_2012_512, xmlSecHrefGostR3410_2012GostR3411_2012_512);
    return &klass;
}

#pragma GCC visibility pop
