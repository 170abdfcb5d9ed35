// The xmlSecCrypto* functions of xmlsec/app.h: each calls the matching member
// of the active back-end's function table (see CryptoDL.cpp). With no active
// table, or a back-end that leaves the member empty, the call is reported as
// not implemented and fails with -1 / NULL, as xmlsec's own app.c does.
#pragma GCC visibility push(default)
#include <xmlsec/app.h>
#include <xmlsec/dl.h>
#include <xmlsec/errors.h>
#include <xmlsec/private.h>
#pragma GCC visibility pop

namespace {

void ReportNotImplemented(const char* func, const char* member)
{
    xmlSecError(__FILE__, __LINE__, func, nullptr, nullptr, XMLSEC_ERRORS_R_NOT_IMPLEMENTED, "details=%s",
                member);
}

// The member of the active table, or null after reporting why there is none.
template <typename Method>
Method ActiveMethod(Method xmlSecCryptoDLFunctions::*member, const char* func, const char* memberName)
{
    xmlSecCryptoDLFunctionsPtr functions = xmlSecCryptoDLGetFunctions();
    if (functions == nullptr || functions->*member == nullptr) {
        ReportNotImplemented(func, memberName);
        return nullptr;
    }
    return functions->*member;
}

} // namespace

#define TRUMIK_ACTIVE(member) ActiveMethod(&xmlSecCryptoDLFunctions::member, __func__, #member)

#define TRUMIK_FORWARD_KEY_DATA_KLASS(function, member)                                                      \
    xmlSecKeyDataId function(void)                                                                           \
    {                                                                                                        \
        auto method = TRUMIK_ACTIVE(member);                                                                 \
        return method != nullptr ? method() : xmlSecKeyDataIdUnknown;                                        \
    }

#define TRUMIK_FORWARD_TRANSFORM_KLASS(function, member)                                                     \
    xmlSecTransformId function(void)                                                                         \
    {                                                                                                        \
        auto method = TRUMIK_ACTIVE(member);                                                                 \
        return method != nullptr ? method() : xmlSecTransformIdUnknown;                                      \
    }

#pragma GCC visibility push(default)

// Crypto init/shutdown

int xmlSecCryptoInit(void)
{
    auto method = TRUMIK_ACTIVE(cryptoInit);
    return method != nullptr ? method() : -1;
}

int xmlSecCryptoShutdown(void)
{
    auto method = TRUMIK_ACTIVE(cryptoShutdown);
    return method != nullptr ? method() : -1;
}

int xmlSecCryptoKeysMngrInit(xmlSecKeysMngrPtr mngr)
{
    auto method = TRUMIK_ACTIVE(cryptoKeysMngrInit);
    return method != nullptr ? method(mngr) : -1;
}

// Key data, key data store and transform klasses

TRUMIK_FORWARD_KEY_DATA_KLASS(xmlSecKeyDataAesGetKlass, keyDataAesGetKlass)
TRUMIK_FORWARD_KEY_DATA_KLASS(xmlSecKeyDataDesGetKlass, keyDataDesGetKlass)
TRUMIK_FORWARD_KEY_DATA_KLASS(xmlSecKeyDataDsaGetKlass, keyDataDsaGetKlass)
TRUMIK_FORWARD_KEY_DATA_KLASS(xmlSecKeyDataEcdsaGetKlass, keyDataEcdsaGetKlass)
TRUMIK_FORWARD_KEY_DATA_KLASS(xmlSecKeyDataGost2001GetKlass, keyDataGost2001GetKlass)
TRUMIK_FORWARD_KEY_DATA_KLASS(xmlSecKeyDataGostR3410_2012_256GetKlass, keyDataGostR3410_2012_256GetKlass)
TRUMIK_FORWARD_KEY_DATA_KLASS(xmlSecKeyDataGostR3410_2012_512GetKlass, keyDataGostR3410_2012_512GetKlass)
TRUMIK_FORWARD_KEY_DATA_KLASS(xmlSecKeyDataHmacGetKlass, keyDataHmacGetKlass)
TRUMIK_FORWARD_KEY_DATA_KLASS(xmlSecKeyDataRsaGetKlass, keyDataRsaGetKlass)
TRUMIK_FORWARD_KEY_DATA_KLASS(xmlSecKeyDataX509GetKlass, keyDataX509GetKlass)
TRUMIK_FORWARD_KEY_DATA_KLASS(xmlSecKeyDataRawX509CertGetKlass, keyDataRawX509CertGetKlass)

xmlSecKeyDataStoreId xmlSecX509StoreGetKlass(void)
{
    auto method = TRUMIK_ACTIVE(x509StoreGetKlass);
    return method != nullptr ? method() : xmlSecKeyDataStoreIdUnknown;
}

TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformAes128CbcGetKlass, transformAes128CbcGetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformAes192CbcGetKlass, transformAes192CbcGetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformAes256CbcGetKlass, transformAes256CbcGetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformAes128GcmGetKlass, transformAes128GcmGetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformAes192GcmGetKlass, transformAes192GcmGetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformAes256GcmGetKlass, transformAes256GcmGetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformKWAes128GetKlass, transformKWAes128GetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformKWAes192GetKlass, transformKWAes192GetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformKWAes256GetKlass, transformKWAes256GetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformDes3CbcGetKlass, transformDes3CbcGetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformKWDes3GetKlass, transformKWDes3GetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformDsaSha1GetKlass, transformDsaSha1GetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformDsaSha256GetKlass, transformDsaSha256GetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformEcdsaSha1GetKlass, transformEcdsaSha1GetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformEcdsaSha224GetKlass, transformEcdsaSha224GetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformEcdsaSha256GetKlass, transformEcdsaSha256GetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformEcdsaSha384GetKlass, transformEcdsaSha384GetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformEcdsaSha512GetKlass, transformEcdsaSha512GetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformGost2001GostR3411_94GetKlass,
                               transformGost2001GostR3411_94GetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformGostR3410_2012GostR3411_2012_256GetKlass,
                               transformGostR3410_2012GostR3411_2012_256GetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformGostR3410_2012GostR3411_2012_512GetKlass,
                               transformGostR3410_2012GostR3411_2012_512GetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformHmacMd5GetKlass, transformHmacMd5GetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformHmacRipemd160GetKlass, transformHmacRipemd160GetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformHmacSha1GetKlass, transformHmacSha1GetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformHmacSha224GetKlass, transformHmacSha224GetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformHmacSha256GetKlass, transformHmacSha256GetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformHmacSha384GetKlass, transformHmacSha384GetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformHmacSha512GetKlass, transformHmacSha512GetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformMd5GetKlass, transformMd5GetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformRipemd160GetKlass, transformRipemd160GetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformRsaMd5GetKlass, transformRsaMd5GetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformRsaRipemd160GetKlass, transformRsaRipemd160GetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformRsaSha1GetKlass, transformRsaSha1GetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformRsaSha224GetKlass, transformRsaSha224GetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformRsaSha256GetKlass, transformRsaSha256GetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformRsaSha384GetKlass, transformRsaSha384GetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformRsaSha512GetKlass, transformRsaSha512GetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformRsaPkcs1GetKlass, transformRsaPkcs1GetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformRsaOaepGetKlass, transformRsaOaepGetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformGostR3411_94GetKlass, transformGostR3411_94GetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformGostR3411_2012_256GetKlass, transformGostR3411_2012_256GetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformGostR3411_2012_512GetKlass, transformGostR3411_2012_512GetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformSha1GetKlass, transformSha1GetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformSha224GetKlass, transformSha224GetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformSha256GetKlass, transformSha256GetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformSha384GetKlass, transformSha384GetKlass)
TRUMIK_FORWARD_TRANSFORM_KLASS(xmlSecTransformSha512GetKlass, transformSha512GetKlass)

// High level routines of the xmlsec command line utility

int xmlSecCryptoAppInit(const char* config)
{
    auto method = TRUMIK_ACTIVE(cryptoAppInit);
    return method != nullptr ? method(config) : -1;
}

int xmlSecCryptoAppShutdown(void)
{
    auto method = TRUMIK_ACTIVE(cryptoAppShutdown);
    return method != nullptr ? method() : -1;
}

int xmlSecCryptoAppDefaultKeysMngrInit(xmlSecKeysMngrPtr mngr)
{
    auto method = TRUMIK_ACTIVE(cryptoAppDefaultKeysMngrInit);
    return method != nullptr ? method(mngr) : -1;
}

int xmlSecCryptoAppDefaultKeysMngrAdoptKey(xmlSecKeysMngrPtr mngr, xmlSecKeyPtr key)
{
    auto method = TRUMIK_ACTIVE(cryptoAppDefaultKeysMngrAdoptKey);
    return method != nullptr ? method(mngr, key) : -1;
}

int xmlSecCryptoAppDefaultKeysMngrLoad(xmlSecKeysMngrPtr mngr, const char* uri)
{
    auto method = TRUMIK_ACTIVE(cryptoAppDefaultKeysMngrLoad);
    return method != nullptr ? method(mngr, uri) : -1;
}

int xmlSecCryptoAppDefaultKeysMngrSave(xmlSecKeysMngrPtr mngr, const char* filename, xmlSecKeyDataType type)
{
    auto method = TRUMIK_ACTIVE(cryptoAppDefaultKeysMngrSave);
    return method != nullptr ? method(mngr, filename, type) : -1;
}

int xmlSecCryptoAppKeysMngrCertLoad(xmlSecKeysMngrPtr mngr, const char* filename, xmlSecKeyDataFormat format,
                                    xmlSecKeyDataType type)
{
    auto method = TRUMIK_ACTIVE(cryptoAppKeysMngrCertLoad);
    return method != nullptr ? method(mngr, filename, format, type) : -1;
}

int xmlSecCryptoAppKeysMngrCertLoadMemory(xmlSecKeysMngrPtr mngr, const xmlSecByte* data, xmlSecSize dataSize,
                                          xmlSecKeyDataFormat format, xmlSecKeyDataType type)
{
    auto method = TRUMIK_ACTIVE(cryptoAppKeysMngrCertLoadMemory);
    return method != nullptr ? method(mngr, data, dataSize, format, type) : -1;
}

xmlSecKeyPtr xmlSecCryptoAppKeyLoad(const char* filename, xmlSecKeyDataFormat format, const char* pwd,
                                    void* pwdCallback, void* pwdCallbackCtx)
{
    auto method = TRUMIK_ACTIVE(cryptoAppKeyLoad);
    return method != nullptr ? method(filename, format, pwd, pwdCallback, pwdCallbackCtx) : nullptr;
}

xmlSecKeyPtr xmlSecCryptoAppKeyLoadMemory(const xmlSecByte* data, xmlSecSize dataSize,
                                          xmlSecKeyDataFormat format, const char* pwd, void* pwdCallback,
                                          void* pwdCallbackCtx)
{
    auto method = TRUMIK_ACTIVE(cryptoAppKeyLoadMemory);
    return method != nullptr ? method(data, dataSize, format, pwd, pwdCallback, pwdCallbackCtx) : nullptr;
}

xmlSecKeyPtr xmlSecCryptoAppPkcs12Load(const char* filename, const char* pwd, void* pwdCallback,
                                       void* pwdCallbackCtx)
{
    auto method = TRUMIK_ACTIVE(cryptoAppPkcs12Load);
    return method != nullptr ? method(filename, pwd, pwdCallback, pwdCallbackCtx) : nullptr;
}

xmlSecKeyPtr xmlSecCryptoAppPkcs12LoadMemory(const xmlSecByte* data, xmlSecSize dataSize, const char* pwd,
                                             void* pwdCallback, void* pwdCallbackCtx)
{
    auto method = TRUMIK_ACTIVE(cryptoAppPkcs12LoadMemory);
    return method != nullptr ? method(data, dataSize, pwd, pwdCallback, pwdCallbackCtx) : nullptr;
}

int xmlSecCryptoAppKeyCertLoad(xmlSecKeyPtr key, const char* filename, xmlSecKeyDataFormat format)
{
    auto method = TRUMIK_ACTIVE(cryptoAppKeyCertLoad);
    return method != nullptr ? method(key, filename, format) : -1;
}

int xmlSecCryptoAppKeyCertLoadMemory(xmlSecKeyPtr key, const xmlSecByte* data, xmlSecSize dataSize,
                                     xmlSecKeyDataFormat format)
{
    auto method = TRUMIK_ACTIVE(cryptoAppKeyCertLoadMemory);
    return method != nullptr ? method(key, data, dataSize, format) : -1;
}

void* xmlSecCryptoAppGetDefaultPwdCallback(void)
{
    // The callback is data, not a method: a back-end without one yields NULL
    // without a report.
    xmlSecCryptoDLFunctionsPtr functions = xmlSecCryptoDLGetFunctions();
    if (functions == nullptr) {
        ReportNotImplemented(__func__, "cryptoAppDefaultPwdCallback");
        return nullptr;
    }
    return functions->cryptoAppDefaultPwdCallback;
}

#pragma GCC visibility pop
