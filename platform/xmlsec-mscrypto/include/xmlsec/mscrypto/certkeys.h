// Key data made from CryptoAPI certificate contexts.
#pragma once

#include <xmlsec/mscrypto/crypto.h>

#ifdef __cplusplus
extern "C" {
#endif

// Makes key data of the certificate's key algorithm: GOST R 34.10-2001
// (1.2.643.2.2.19), GOST R 34.10-2012 256-bit (1.2.643.7.1.1.1.1) or 512-bit
// (1.2.643.7.1.1.1.2) key data.
// The key data takes its own reference to pCert (a duplicate of the context);
// the caller keeps and frees its own in every case.
// type is xmlSecKeyDataTypePublic (1: the certificate's public key, for
// verification) or xmlSecKeyDataTypePublic | xmlSecKeyDataTypePrivate (3: also
// the private key, in the container named by the certificate's key provider
// info, CERT_KEY_PROV_INFO_PROP_ID, which must hold the certificate's key; for
// signing). Returns NULL on failure, reported through the xmlsec error callback.
XMLSEC_CRYPTO_EXPORT xmlSecKeyDataPtr xmlSecMSCryptoCertAdopt(PCCERT_CONTEXT pCert, xmlSecKeyDataType type);

// A new reference to the certificate context (CertDuplicateCertificateContext).
XMLSEC_CRYPTO_EXPORT PCCERT_CONTEXT xmlSecMSCryptoCertDup(PCCERT_CONTEXT pCert);

// The certificate the key data was made from, owned by the key data.
XMLSEC_CRYPTO_EXPORT PCCERT_CONTEXT xmlSecMSCryptoKeyDataGetCert(xmlSecKeyDataPtr data);

// The provider context of the key data, owned by the key data: for a private
// key, the context of the key container that signs (set its PIN with
// CryptSetProvParam(..., PP_KEYEXCHANGE_PIN, ...)); for a public key, a verify
// context holding the imported public key. 0 on failure.
XMLSEC_CRYPTO_EXPORT HCRYPTPROV xmlSecMSCryptoKeyDataGetMSCryptoProvider(xmlSecKeyDataPtr data);

// AT_KEYEXCHANGE or AT_SIGNATURE for a private key, 0 otherwise.
XMLSEC_CRYPTO_EXPORT DWORD xmlSecMSCryptoKeyDataGetMSCryptoKeySpec(xmlSecKeyDataPtr data);

// The public key (type xmlSecKeyDataTypePublic) or the container's private
// key (xmlSecKeyDataTypePrivate) handle, owned by the key data; 0 if absent.
XMLSEC_CRYPTO_EXPORT HCRYPTKEY xmlSecMSCryptoKeyDataGetKey(xmlSecKeyDataPtr data, xmlSecKeyDataType type);

#ifdef __cplusplus
}
#endif
