// Application helpers of the mscrypto back-end (the xmlSecCryptoApp* set).
#pragma once

#include <xmlsec/mscrypto/crypto.h>

#ifdef __cplusplus
extern "C" {
#endif

XMLSEC_CRYPTO_EXPORT int xmlSecMSCryptoAppInit(const char* config);
XMLSEC_CRYPTO_EXPORT int xmlSecMSCryptoAppShutdown(void);

// A simple keys store; keys are added with AdoptKey.
XMLSEC_CRYPTO_EXPORT int xmlSecMSCryptoAppDefaultKeysMngrInit(xmlSecKeysMngrPtr mngr);
XMLSEC_CRYPTO_EXPORT int xmlSecMSCryptoAppDefaultKeysMngrAdoptKey(xmlSecKeysMngrPtr mngr, xmlSecKeyPtr key);
// Not supported: fail with an xmlsec error.
XMLSEC_CRYPTO_EXPORT int xmlSecMSCryptoAppDefaultKeysMngrLoad(xmlSecKeysMngrPtr mngr, const char* uri);
XMLSEC_CRYPTO_EXPORT int xmlSecMSCryptoAppDefaultKeysMngrSave(xmlSecKeysMngrPtr mngr, const char* filename,
                                                              xmlSecKeyDataType type);
XMLSEC_CRYPTO_EXPORT int xmlSecMSCryptoAppKeysMngrCertLoad(xmlSecKeysMngrPtr mngr, const char* filename,
                                                           xmlSecKeyDataFormat format,
                                                           xmlSecKeyDataType type);
XMLSEC_CRYPTO_EXPORT int xmlSecMSCryptoAppKeysMngrCertLoadMemory(xmlSecKeysMngrPtr mngr,
                                                                 const xmlSecByte* data, xmlSecSize dataSize,
                                                                 xmlSecKeyDataFormat format,
                                                                 xmlSecKeyDataType type);

// A certificate file (xmlSecKeyDataFormatCertDer or xmlSecKeyDataFormatCertPem;
// xmlSecKeyDataFormatDer and xmlSecKeyDataFormatPem are read as certificates
// too) gives a key with the certificate's public key and X.509 data holding
// the certificate. Private key files are not supported.
XMLSEC_CRYPTO_EXPORT xmlSecKeyPtr xmlSecMSCryptoAppKeyLoad(const char* filename, xmlSecKeyDataFormat format,
                                                           const char* pwd, void* pwdCallback,
                                                           void* pwdCallbackCtx);
XMLSEC_CRYPTO_EXPORT xmlSecKeyPtr xmlSecMSCryptoAppKeyLoadMemory(const xmlSecByte* data, xmlSecSize dataSize,
                                                                 xmlSecKeyDataFormat format, const char* pwd,
                                                                 void* pwdCallback, void* pwdCallbackCtx);
// Not supported: fail with an xmlsec error.
XMLSEC_CRYPTO_EXPORT xmlSecKeyPtr xmlSecMSCryptoAppPkcs12Load(const char* filename, const char* pwd,
                                                              void* pwdCallback, void* pwdCallbackCtx);
XMLSEC_CRYPTO_EXPORT xmlSecKeyPtr xmlSecMSCryptoAppPkcs12LoadMemory(const xmlSecByte* data,
                                                                    xmlSecSize dataSize, const char* pwd,
                                                                    void* pwdCallback, void* pwdCallbackCtx);

// Adds a certificate (DER or PEM) to the key's X.509 data; it becomes the key
// certificate when its public key is the key's. 0 or -1.
XMLSEC_CRYPTO_EXPORT int xmlSecMSCryptoAppKeyCertLoad(xmlSecKeyPtr key, const char* filename,
                                                      xmlSecKeyDataFormat format);
XMLSEC_CRYPTO_EXPORT int xmlSecMSCryptoAppKeyCertLoadMemory(xmlSecKeyPtr key, const xmlSecByte* data,
                                                            xmlSecSize dataSize, xmlSecKeyDataFormat format);

// No password callback: NULL.
XMLSEC_CRYPTO_EXPORT void* xmlSecMSCryptoAppGetDefaultPwdCallback(void);

#ifdef __cplusplus
}
#endif
