// X.509 key data of the mscrypto back-end: the certificates that go with a key.
#pragma once

#include <xmlsec/mscrypto/crypto.h>

#ifdef __cplusplus
extern "C" {
#endif

// X.509 key data, name "x509".
#define xmlSecMSCryptoKeyDataX509Id xmlSecMSCryptoKeyDataX509GetKlass()
XMLSEC_CRYPTO_EXPORT xmlSecKeyDataId xmlSecMSCryptoKeyDataX509GetKlass(void);

// Adds the key's own certificate to X.509 key data (xmlSecMSCryptoKeyDataX509Id
// only). The key data takes its own reference to cert (a duplicate of the
// context); the caller keeps and frees its own in every case. 0 or -1.
XMLSEC_CRYPTO_EXPORT int xmlSecMSCryptoKeyDataX509AdoptKeyCert(xmlSecKeyDataPtr data, PCCERT_CONTEXT cert);
// Adds a further certificate (chain), with the same rule. 0 or -1.
XMLSEC_CRYPTO_EXPORT int xmlSecMSCryptoKeyDataX509AdoptCert(xmlSecKeyDataPtr data, PCCERT_CONTEXT cert);

// The key's own certificate or NULL, owned by the key data.
XMLSEC_CRYPTO_EXPORT PCCERT_CONTEXT xmlSecMSCryptoKeyDataX509GetKeyCert(xmlSecKeyDataPtr data);
// The certificate at pos (adoption order) or NULL, owned by the key data.
XMLSEC_CRYPTO_EXPORT PCCERT_CONTEXT xmlSecMSCryptoKeyDataX509GetCert(xmlSecKeyDataPtr data, xmlSecSize pos);
XMLSEC_CRYPTO_EXPORT xmlSecSize xmlSecMSCryptoKeyDataX509GetCertsSize(xmlSecKeyDataPtr data);

#ifdef __cplusplus
}
#endif
