// CryptoAPI: certificates and stores (crypt32) and the cryptographic
// service providers (advapi32), with the layouts of the Windows SDK.
#pragma once

#include "winbase.h"
#include "wincrypt_errors.h"

typedef ULONG_PTR HCRYPTPROV;
typedef ULONG_PTR HCRYPTKEY;
typedef ULONG_PTR HCRYPTHASH;
typedef ULONG_PTR HCRYPTPROV_LEGACY;
typedef ULONG_PTR HCRYPTPROV_OR_NCRYPT_KEY_HANDLE;
typedef unsigned int ALG_ID;
typedef void* HCERTSTORE;

typedef struct _CRYPTOAPI_BLOB {
    DWORD cbData;
    BYTE* pbData;
} CRYPT_INTEGER_BLOB, *PCRYPT_INTEGER_BLOB, CRYPT_UINT_BLOB, CRYPT_OBJID_BLOB, CERT_NAME_BLOB,
    *PCERT_NAME_BLOB, CERT_RDN_VALUE_BLOB, CERT_BLOB, CRL_BLOB, DATA_BLOB, CRYPT_DATA_BLOB, *PCRYPT_DATA_BLOB,
    CRYPT_HASH_BLOB, *PCRYPT_HASH_BLOB, CRYPT_DIGEST_BLOB, CRYPT_DER_BLOB, CRYPT_ATTR_BLOB, *PCRYPT_ATTR_BLOB;

typedef struct _CRYPT_BIT_BLOB {
    DWORD cbData;
    BYTE* pbData;
    DWORD cUnusedBits;
} CRYPT_BIT_BLOB, *PCRYPT_BIT_BLOB;

typedef struct _CRYPT_ALGORITHM_IDENTIFIER {
    LPSTR pszObjId;
    CRYPT_OBJID_BLOB Parameters;
} CRYPT_ALGORITHM_IDENTIFIER, *PCRYPT_ALGORITHM_IDENTIFIER;

typedef struct _CERT_PUBLIC_KEY_INFO {
    CRYPT_ALGORITHM_IDENTIFIER Algorithm;
    CRYPT_BIT_BLOB PublicKey;
} CERT_PUBLIC_KEY_INFO, *PCERT_PUBLIC_KEY_INFO;

typedef struct _CERT_EXTENSION {
    LPSTR pszObjId;
    BOOL fCritical;
    CRYPT_OBJID_BLOB Value;
} CERT_EXTENSION, *PCERT_EXTENSION;

typedef struct _CERT_INFO {
    DWORD dwVersion;
    CRYPT_INTEGER_BLOB SerialNumber; // little-endian, as CryptoAPI keeps it
    CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
    CERT_NAME_BLOB Issuer;
    FILETIME NotBefore;
    FILETIME NotAfter;
    CERT_NAME_BLOB Subject;
    CERT_PUBLIC_KEY_INFO SubjectPublicKeyInfo;
    CRYPT_BIT_BLOB IssuerUniqueId;
    CRYPT_BIT_BLOB SubjectUniqueId;
    DWORD cExtension;
    PCERT_EXTENSION rgExtension;
} CERT_INFO, *PCERT_INFO;

typedef struct _CERT_CONTEXT {
    DWORD dwCertEncodingType;
    BYTE* pbCertEncoded;
    DWORD cbCertEncoded;
    PCERT_INFO pCertInfo;
    HCERTSTORE hCertStore;
} CERT_CONTEXT, *PCERT_CONTEXT;
typedef const CERT_CONTEXT* PCCERT_CONTEXT;

typedef struct _CRL_ENTRY {
    CRYPT_INTEGER_BLOB SerialNumber;
    FILETIME RevocationDate;
    DWORD cExtension;
    PCERT_EXTENSION rgExtension;
} CRL_ENTRY, *PCRL_ENTRY;

typedef struct _CRL_INFO {
    DWORD dwVersion;
    CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
    CERT_NAME_BLOB Issuer;
    FILETIME ThisUpdate;
    FILETIME NextUpdate;
    DWORD cCRLEntry;
    PCRL_ENTRY rgCRLEntry;
    DWORD cExtension;
    PCERT_EXTENSION rgExtension;
} CRL_INFO, *PCRL_INFO;

typedef struct _CRL_CONTEXT {
    DWORD dwCertEncodingType;
    BYTE* pbCrlEncoded;
    DWORD cbCrlEncoded;
    PCRL_INFO pCrlInfo;
    HCERTSTORE hCertStore;
} CRL_CONTEXT, *PCRL_CONTEXT;
typedef const CRL_CONTEXT* PCCRL_CONTEXT;

typedef struct _CRYPT_KEY_PROV_PARAM {
    DWORD dwParam;
    BYTE* pbData;
    DWORD cbData;
    DWORD dwFlags;
} CRYPT_KEY_PROV_PARAM, *PCRYPT_KEY_PROV_PARAM;

typedef struct _CRYPT_KEY_PROV_INFO {
    LPWSTR pwszContainerName;
    LPWSTR pwszProvName;
    DWORD dwProvType;
    DWORD dwFlags; // CRYPT_MACHINE_KEYSET for a machine container
    DWORD cProvParam;
    PCRYPT_KEY_PROV_PARAM rgProvParam;
    DWORD dwKeySpec;
} CRYPT_KEY_PROV_INFO, *PCRYPT_KEY_PROV_INFO;

typedef struct _CERT_REVOCATION_PARA {
    DWORD cbSize;
    PCCERT_CONTEXT pIssuerCert;
    DWORD cCertStore;
    HCERTSTORE* rgCertStore;
    HCERTSTORE hCrlStore;
    LPFILETIME pftTimeToUse;
} CERT_REVOCATION_PARA, *PCERT_REVOCATION_PARA;

typedef struct _CERT_REVOCATION_STATUS {
    DWORD cbSize;
    DWORD dwIndex;
    DWORD dwError;
    DWORD dwReason;
    BOOL fHasFreshnessTime;
    DWORD dwFreshnessTime;
} CERT_REVOCATION_STATUS, *PCERT_REVOCATION_STATUS;

// Encoding types.
#define CRYPT_ASN_ENCODING 0x00000001
#define X509_ASN_ENCODING 0x00000001
#define PKCS_7_ASN_ENCODING 0x00010000
#define CERT_ENCODING_TYPE_MASK 0x0000FFFF

// Store providers (LPCSTR ids) and flags.
#define CERT_STORE_PROV_MSG ((LPCSTR)1)
#define CERT_STORE_PROV_MEMORY ((LPCSTR)2)
#define CERT_STORE_PROV_FILE ((LPCSTR)3)
#define CERT_STORE_PROV_REG ((LPCSTR)4)
#define CERT_STORE_PROV_PKCS7 ((LPCSTR)5)
#define CERT_STORE_PROV_SERIALIZED ((LPCSTR)6)
#define CERT_STORE_PROV_FILENAME_A ((LPCSTR)7)
#define CERT_STORE_PROV_FILENAME_W ((LPCSTR)8)
#define CERT_STORE_PROV_FILENAME CERT_STORE_PROV_FILENAME_W
#define CERT_STORE_PROV_SYSTEM_A ((LPCSTR)9)
#define CERT_STORE_PROV_SYSTEM_W ((LPCSTR)10)
#define CERT_STORE_PROV_SYSTEM CERT_STORE_PROV_SYSTEM_W

#define CERT_STORE_NO_CRYPT_RELEASE_FLAG 0x00000001
#define CERT_STORE_DEFER_CLOSE_UNTIL_LAST_FREE_FLAG 0x00000004
#define CERT_STORE_DELETE_FLAG 0x00000010
#define CERT_STORE_READONLY_FLAG 0x00008000
#define CERT_STORE_OPEN_EXISTING_FLAG 0x00004000
#define CERT_STORE_CREATE_NEW_FLAG 0x00002000
#define CERT_STORE_MAXIMUM_ALLOWED_FLAG 0x00001000
#define CERT_SYSTEM_STORE_LOCATION_SHIFT 16
#define CERT_SYSTEM_STORE_CURRENT_USER (1 << CERT_SYSTEM_STORE_LOCATION_SHIFT)
#define CERT_SYSTEM_STORE_LOCAL_MACHINE (2 << CERT_SYSTEM_STORE_LOCATION_SHIFT)
#define CERT_SYSTEM_STORE_LOCATION_MASK 0x00FF0000

#define CERT_CLOSE_STORE_FORCE_FLAG 0x00000001
#define CERT_CLOSE_STORE_CHECK_FLAG 0x00000002

#define CERT_STORE_ADD_NEW 1
#define CERT_STORE_ADD_USE_EXISTING 2
#define CERT_STORE_ADD_REPLACE_EXISTING 3
#define CERT_STORE_ADD_ALWAYS 4
#define CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES 5
#define CERT_STORE_ADD_NEWER 6

#define CERT_STORE_SAVE_AS_STORE 1
#define CERT_STORE_SAVE_AS_PKCS7 2
#define CERT_STORE_SAVE_TO_FILE 1
#define CERT_STORE_SAVE_TO_MEMORY 2
#define CERT_STORE_SAVE_TO_FILENAME_A 3
#define CERT_STORE_SAVE_TO_FILENAME_W 4

// Find types.
#define CERT_COMPARE_SHIFT 16
#define CERT_FIND_ANY 0
#define CERT_FIND_SHA1_HASH 0x00010000
#define CERT_FIND_HASH CERT_FIND_SHA1_HASH
#define CERT_FIND_SUBJECT_STR_A 0x00070004
#define CERT_FIND_SUBJECT_STR_W 0x00080007
#define CERT_FIND_SUBJECT_STR CERT_FIND_SUBJECT_STR_W
#define CERT_FIND_ISSUER_STR_A 0x00070006
#define CERT_FIND_ISSUER_STR_W 0x00080004
#define CERT_FIND_ISSUER_STR CERT_FIND_ISSUER_STR_W
#define CERT_FIND_EXISTING 0x000D0000
#define CERT_FIND_SUBJECT_CERT 0x000B0000

// Properties.
#define CERT_KEY_PROV_HANDLE_PROP_ID 1
#define CERT_KEY_PROV_INFO_PROP_ID 2
#define CERT_SHA1_HASH_PROP_ID 3
#define CERT_MD5_HASH_PROP_ID 4
#define CERT_HASH_PROP_ID CERT_SHA1_HASH_PROP_ID
#define CERT_KEY_CONTEXT_PROP_ID 5
#define CERT_KEY_SPEC_PROP_ID 6
#define CERT_FRIENDLY_NAME_PROP_ID 11
#define CERT_STORE_NO_CRYPT_RELEASE_FLAG 0x00000001
#define CERT_SET_PROPERTY_INHIBIT_PERSIST_FLAG 0x40000000

// Key usage bits (first byte of the bit string).
#define CERT_DIGITAL_SIGNATURE_KEY_USAGE 0x80
#define CERT_NON_REPUDIATION_KEY_USAGE 0x40
#define CERT_KEY_ENCIPHERMENT_KEY_USAGE 0x20
#define CERT_DATA_ENCIPHERMENT_KEY_USAGE 0x10
#define CERT_KEY_AGREEMENT_KEY_USAGE 0x08
#define CERT_KEY_CERT_SIGN_KEY_USAGE 0x04
#define CERT_CRL_SIGN_KEY_USAGE 0x02

// Revocation.
#define CERT_CONTEXT_REVOCATION_TYPE 1
#define CERT_VERIFY_REV_CHAIN_FLAG 0x00000001
#define CERT_VERIFY_CACHE_ONLY_BASED_REVOCATION 0x00000002
#define CRL_REASON_UNSPECIFIED 0
#define CRL_REASON_KEY_COMPROMISE 1
#define CRL_REASON_CA_COMPROMISE 2
#define CRL_REASON_AFFILIATION_CHANGED 3
#define CRL_REASON_SUPERSEDED 4
#define CRL_REASON_CESSATION_OF_OPERATION 5
#define CRL_REASON_CERTIFICATE_HOLD 6

// Name strings.
#define CERT_SIMPLE_NAME_STR 1
#define CERT_OID_NAME_STR 2
#define CERT_X500_NAME_STR 3
#define CERT_NAME_STR_REVERSE_FLAG 0x02000000
#define CERT_NAME_STR_COMMA_FLAG 0x04000000
#define CERT_NAME_STR_CRLF_FLAG 0x08000000
#define CERT_NAME_STR_NO_QUOTING_FLAG 0x10000000
#define CERT_NAME_STR_NO_PLUS_FLAG 0x20000000
#define CERT_NAME_STR_SEMICOLON_FLAG 0x40000000
#define CERT_NAME_SIMPLE_DISPLAY_TYPE 4
#define CERT_NAME_ISSUER_FLAG 0x1

// Object identifiers.
#define szOID_RSA_SHA1RSA "1.2.840.113549.1.1.5"
#define szOID_RSA_RSA "1.2.840.113549.1.1.1"
#define szOID_KEY_USAGE "2.5.29.15"
#define szOID_ENHANCED_KEY_USAGE "2.5.29.37"
#define szOID_BASIC_CONSTRAINTS2 "2.5.29.19"
#define szOID_CRL_REASON_CODE "2.5.29.21"
#define szOID_CP_GOST_R3411 "1.2.643.2.2.9"
#define szOID_CP_GOST_R3411_R3410EL "1.2.643.2.2.3"
#define szOID_CP_GOST_R3411_R3410 "1.2.643.2.2.4"
#define szOID_CP_GOST_R3410EL "1.2.643.2.2.19"
#define szOID_CP_GOST_28147 "1.2.643.2.2.21"
#define szOID_CP_GOST_R3410_12_256 "1.2.643.7.1.1.1.1"
#define szOID_CP_GOST_R3410_12_512 "1.2.643.7.1.1.1.2"
#define szOID_CP_GOST_R3411_12_256 "1.2.643.7.1.1.2.2"
#define szOID_CP_GOST_R3411_12_512 "1.2.643.7.1.1.2.3"
#define szOID_CP_GOST_R3411_12_256_R3410 "1.2.643.7.1.1.3.2"
#define szOID_CP_GOST_R3411_12_512_R3410 "1.2.643.7.1.1.3.3"
#define szOID_CP_DH_12_256 "1.2.643.7.1.1.6.1"
#define szOID_CP_DH_12_512 "1.2.643.7.1.1.6.2"

// Providers.
#define PROV_RSA_FULL 1
#define PROV_GOST_2001_DH 75
#define CP_GR3410_2001_PROV_A "Crypto-Pro GOST R 34.10-2001 Cryptographic Service Provider"
#define CP_GR3410_2001_PROV_W u"Crypto-Pro GOST R 34.10-2001 Cryptographic Service Provider"
#define PROV_GOST_2012_256 80
#define PROV_GOST_2012_512 81
#define CP_GR3410_2012_PROV_A "Crypto-Pro GOST R 34.10-2012 Cryptographic Service Provider"
#define CP_GR3410_2012_PROV_W u"Crypto-Pro GOST R 34.10-2012 Cryptographic Service Provider"
#define CP_GR3410_2012_STRONG_PROV_A "Crypto-Pro GOST R 34.10-2012 Strong Cryptographic Service Provider"
#define CP_GR3410_2012_STRONG_PROV_W u"Crypto-Pro GOST R 34.10-2012 Strong Cryptographic Service Provider"

#define ALG_CLASS_SIGNATURE (1 << 13)
#define ALG_CLASS_DATA_ENCRYPT (3 << 13)
#define ALG_CLASS_HASH (4 << 13)
#define ALG_CLASS_KEY_EXCHANGE (5 << 13)
#define CALG_SHA1 0x00008004
#define CALG_GR3411 0x0000801e
#define CALG_GR3410EL 0x00002e23
#define CALG_DH_EL_SF 0x0000aa24
#define CALG_DH_EL_EPHEM 0x0000aa25
#define CALG_G28147 0x0000661e
#define CALG_GR3411_2012_256 0x00008021
#define CALG_GR3411_2012_512 0x00008022
#define CALG_GR3410_12_256 0x00002e49
#define CALG_GR3410_12_512 0x00002e3d
#define CALG_DH_GR3410_12_256_SF 0x0000aa46
#define CALG_DH_GR3410_12_512_SF 0x0000aa42

#define AT_KEYEXCHANGE 1
#define AT_SIGNATURE 2

// CryptAcquireContext flags.
#define CRYPT_VERIFYCONTEXT 0xF0000000
#define CRYPT_NEWKEYSET 0x00000008
#define CRYPT_DELETEKEYSET 0x00000010
#define CRYPT_MACHINE_KEYSET 0x00000020
#define CRYPT_SILENT 0x00000040

// Provider parameters.
#define PP_ENUMALGS 1
#define PP_ENUMCONTAINERS 2
#define PP_IMPTYPE 3
#define PP_NAME 4
#define PP_VERSION 5
#define PP_CONTAINER 6
#define PP_PROVTYPE 16
#define PP_KEYEXCHANGE_PIN 32
#define PP_SIGNATURE_PIN 33
#define PP_UNIQUE_CONTAINER 36
#define CRYPT_FIRST 1
#define CRYPT_NEXT 2
#define CRYPT_SGC_ENUM 4
#define CRYPT_UNIQUE 0x08
#define CRYPT_FQCN 0x10

// Keys and hashes.
#define CRYPT_EXPORTABLE 0x00000001
#define KP_ALGID 7
#define KP_CERTIFICATE 26
#define HP_ALGID 0x0001
#define HP_HASHVAL 0x0002
#define HP_HASHSIZE 0x0004
#define PUBLICKEYBLOB 0x6
#define PRIVATEKEYBLOB 0x7
#define SIMPLEBLOB 0x1

// CryptAcquireCertificatePrivateKey flags.
#define CRYPT_ACQUIRE_CACHE_FLAG 0x00000001
#define CRYPT_ACQUIRE_USE_PROV_INFO_FLAG 0x00000002
#define CRYPT_ACQUIRE_COMPARE_KEY_FLAG 0x00000004
#define CRYPT_ACQUIRE_SILENT_FLAG 0x00000040

// ---- Certificates and stores (crypt32) ----

WINAPI_EXPORT PCCERT_CONTEXT WINAPI CertCreateCertificateContext(DWORD dwCertEncodingType,
                                                                 const BYTE* pbCertEncoded,
                                                                 DWORD cbCertEncoded);
WINAPI_EXPORT PCCERT_CONTEXT WINAPI CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext);
WINAPI_EXPORT BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);

WINAPI_EXPORT HCERTSTORE WINAPI CertOpenStore(LPCSTR lpszStoreProvider, DWORD dwEncodingType,
                                              HCRYPTPROV_LEGACY hCryptProv, DWORD dwFlags,
                                              const void* pvPara);
WINAPI_EXPORT HCERTSTORE WINAPI CertOpenSystemStoreA(HCRYPTPROV_LEGACY hProv, LPCSTR szSubsystemProtocol);
WINAPI_EXPORT HCERTSTORE WINAPI CertOpenSystemStoreW(HCRYPTPROV_LEGACY hProv, LPCWSTR szSubsystemProtocol);
WINAPI_EXPORT BOOL WINAPI CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags);
WINAPI_EXPORT HCERTSTORE WINAPI CertDuplicateStore(HCERTSTORE hCertStore);
WINAPI_EXPORT BOOL WINAPI CertAddEncodedCertificateToStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                                           const BYTE* pbCertEncoded, DWORD cbCertEncoded,
                                                           DWORD dwAddDisposition,
                                                           PCCERT_CONTEXT* ppCertContext);
WINAPI_EXPORT BOOL WINAPI CertAddCertificateContextToStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pCertContext,
                                                           DWORD dwAddDisposition,
                                                           PCCERT_CONTEXT* ppStoreContext);
WINAPI_EXPORT BOOL WINAPI CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext);
WINAPI_EXPORT PCCERT_CONTEXT WINAPI CertEnumCertificatesInStore(HCERTSTORE hCertStore,
                                                                PCCERT_CONTEXT pPrevCertContext);
WINAPI_EXPORT PCCERT_CONTEXT WINAPI CertFindCertificateInStore(HCERTSTORE hCertStore,
                                                               DWORD dwCertEncodingType, DWORD dwFindFlags,
                                                               DWORD dwFindType, const void* pvFindPara,
                                                               PCCERT_CONTEXT pPrevCertContext);
WINAPI_EXPORT BOOL WINAPI CertSaveStore(HCERTSTORE hCertStore, DWORD dwEncodingType, DWORD dwSaveAs,
                                        DWORD dwSaveTo, void* pvSaveToPara, DWORD dwFlags);

WINAPI_EXPORT BOOL WINAPI CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId,
                                                            void* pvData, DWORD* pcbData);
WINAPI_EXPORT BOOL WINAPI CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId,
                                                            DWORD dwFlags, const void* pvData);
WINAPI_EXPORT DWORD WINAPI CertEnumCertificateContextProperties(PCCERT_CONTEXT pCertContext, DWORD dwPropId);

// -1 before NotBefore, 1 after NotAfter, 0 within; pTimeToVerify null means now.
WINAPI_EXPORT LONG WINAPI CertVerifyTimeValidity(LPFILETIME pTimeToVerify, PCERT_INFO pCertInfo);
WINAPI_EXPORT BOOL WINAPI CertGetIntendedKeyUsage(DWORD dwCertEncodingType, PCERT_INFO pCertInfo,
                                                  BYTE* pbKeyUsage, DWORD cbKeyUsage);
WINAPI_EXPORT BOOL WINAPI CertVerifyRevocation(DWORD dwEncodingType, DWORD dwRevType, DWORD cContext,
                                               PVOID rgpvContext[], DWORD dwFlags,
                                               PCERT_REVOCATION_PARA pRevPara,
                                               PCERT_REVOCATION_STATUS pRevStatus);
WINAPI_EXPORT PCERT_EXTENSION WINAPI CertFindExtension(LPCSTR pszObjId, DWORD cExtensions,
                                                       CERT_EXTENSION rgExtensions[]);
WINAPI_EXPORT DWORD WINAPI CertNameToStrW(DWORD dwCertEncodingType, PCERT_NAME_BLOB pName, DWORD dwStrType,
                                          LPWSTR psz, DWORD csz);
WINAPI_EXPORT DWORD WINAPI CertGetNameStringW(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags,
                                              void* pvTypePara, LPWSTR pszNameString, DWORD cchNameString);

WINAPI_EXPORT PCCRL_CONTEXT WINAPI CertCreateCRLContext(DWORD dwCertEncodingType, const BYTE* pbCrlEncoded,
                                                        DWORD cbCrlEncoded);
WINAPI_EXPORT BOOL WINAPI CertFreeCRLContext(PCCRL_CONTEXT pCrlContext);
WINAPI_EXPORT BOOL WINAPI CertAddEncodedCRLToStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                                   const BYTE* pbCrlEncoded, DWORD cbCrlEncoded,
                                                   DWORD dwAddDisposition, PCCRL_CONTEXT* ppCrlContext);
WINAPI_EXPORT PCCRL_CONTEXT WINAPI CertEnumCRLsInStore(HCERTSTORE hCertStore, PCCRL_CONTEXT pPrevCrlContext);

// ---- Certificates and stores: further names (crypt32 part) ----

#define CERT_NAME_EMAIL_TYPE 1
#define CERT_NAME_RDN_TYPE 2
#define CERT_NAME_ATTR_TYPE 3
#define CERT_NAME_FRIENDLY_DISPLAY_TYPE 5
#define szOID_COMMON_NAME "2.5.4.3"
#define szOID_ORGANIZATION_NAME "2.5.4.10"
#define szOID_RSA_emailAddr "1.2.840.113549.1.9.1"

typedef struct _CERT_KEY_CONTEXT {
    DWORD cbSize;
    HCRYPTPROV hCryptProv;
    DWORD dwKeySpec;
} CERT_KEY_CONTEXT, *PCERT_KEY_CONTEXT;

WINAPI_EXPORT DWORD WINAPI CertNameToStrA(DWORD dwCertEncodingType, PCERT_NAME_BLOB pName, DWORD dwStrType,
                                          LPSTR psz, DWORD csz);
WINAPI_EXPORT DWORD WINAPI CertGetNameStringA(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags,
                                              void* pvTypePara, LPSTR pszNameString, DWORD cchNameString);
WINAPI_EXPORT PCCRL_CONTEXT WINAPI CertDuplicateCRLContext(PCCRL_CONTEXT pCrlContext);
WINAPI_EXPORT BOOL WINAPI CertDeleteCRLFromStore(PCCRL_CONTEXT pCrlContext);

// ---- end of the further crypt32 names ----

WINAPI_EXPORT BOOL WINAPI CryptImportPublicKeyInfo(HCRYPTPROV hCryptProv, DWORD dwCertEncodingType,
                                                   PCERT_PUBLIC_KEY_INFO pInfo, HCRYPTKEY* phKey);
WINAPI_EXPORT BOOL WINAPI
CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT pCert, DWORD dwFlags, void* pvParameters,
                                  HCRYPTPROV_OR_NCRYPT_KEY_HANDLE* phCryptProvOrNCryptKey, DWORD* pdwKeySpec,
                                  BOOL* pfCallerFreeProvOrNCryptKey);

// ---- Providers, keys and hashes (advapi32) ----

WINAPI_EXPORT BOOL WINAPI CryptAcquireContextA(HCRYPTPROV* phProv, LPCSTR szContainer, LPCSTR szProvider,
                                               DWORD dwProvType, DWORD dwFlags);
WINAPI_EXPORT BOOL WINAPI CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider,
                                               DWORD dwProvType, DWORD dwFlags);
WINAPI_EXPORT BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);
WINAPI_EXPORT BOOL WINAPI CryptContextAddRef(HCRYPTPROV hProv, DWORD* pdwReserved, DWORD dwFlags);
WINAPI_EXPORT BOOL WINAPI CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                                            DWORD dwFlags);
WINAPI_EXPORT BOOL WINAPI CryptSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData,
                                            DWORD dwFlags);
WINAPI_EXPORT BOOL WINAPI CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey);
WINAPI_EXPORT BOOL WINAPI CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey);
WINAPI_EXPORT BOOL WINAPI CryptDestroyKey(HCRYPTKEY hKey);
WINAPI_EXPORT BOOL WINAPI CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                                           DWORD dwFlags);
WINAPI_EXPORT BOOL WINAPI CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags,
                                         BYTE* pbData, DWORD* pdwDataLen);
WINAPI_EXPORT BOOL WINAPI CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                                          HCRYPTHASH* phHash);
WINAPI_EXPORT BOOL WINAPI CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags);
WINAPI_EXPORT BOOL WINAPI CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                                            DWORD dwFlags);
WINAPI_EXPORT BOOL WINAPI CryptSetHashParam(HCRYPTHASH hHash, DWORD dwParam, const BYTE* pbData,
                                            DWORD dwFlags);
WINAPI_EXPORT BOOL WINAPI CryptDestroyHash(HCRYPTHASH hHash);
// The signature comes back byte-reversed against the RFC 4491 form (s || r,
// big-endian) that OpenSSL produces; CryptVerifySignature takes the same form.
WINAPI_EXPORT BOOL WINAPI CryptSignHashW(HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription,
                                         DWORD dwFlags, BYTE* pbSignature, DWORD* pdwSigLen);
WINAPI_EXPORT BOOL WINAPI CryptSignHashA(HCRYPTHASH hHash, DWORD dwKeySpec, LPCSTR szDescription,
                                         DWORD dwFlags, BYTE* pbSignature, DWORD* pdwSigLen);
#define CryptSignHash CryptSignHashW
WINAPI_EXPORT BOOL WINAPI CryptVerifySignatureW(HCRYPTHASH hHash, const BYTE* pbSignature, DWORD dwSigLen,
                                                HCRYPTKEY hPubKey, LPCWSTR szDescription, DWORD dwFlags);
WINAPI_EXPORT BOOL WINAPI CryptVerifySignatureA(HCRYPTHASH hHash, const BYTE* pbSignature, DWORD dwSigLen,
                                                HCRYPTKEY hPubKey, LPCSTR szDescription, DWORD dwFlags);
#define CryptVerifySignature CryptVerifySignatureW

static_assert(sizeof(CERT_INFO) == 208 && sizeof(CERT_CONTEXT) == 40 && sizeof(CRYPT_KEY_PROV_INFO) == 48);

// ---- GOST provider of type 75: additional constants ----

#define szOID_CP_DH_EL "1.2.643.2.2.98"
#define CRYPT_USER_PROTECTED 0x00000002
#define CRYPT_DEFAULT_CONTAINER_OPTIONAL 0x00000080
#define CRYPT_NOHASHOID 0x00000001
#define CRYPT_IMPL_HARDWARE 1
#define CRYPT_IMPL_SOFTWARE 2
#define KP_KEYLEN 9
#define KP_PERMISSIONS 6
#define CRYPT_EXPORT 0x0004
#define PP_KEYSPEC 39
#define AT_KEYEXCHANGE_AND_SIGNATURE (AT_KEYEXCHANGE | AT_SIGNATURE)

// ---- Messages (crypt32): CMS enveloped data ----

#define szOID_CP_GOST_28147 "1.2.643.2.2.21"
#define szOID_CP_GOST_R3410EL "1.2.643.2.2.19"
#define CRYPT_MESSAGE_SILENT_KEYSET_FLAG 0x00000040

typedef struct _CRYPT_ENCRYPT_MESSAGE_PARA {
    DWORD cbSize;
    DWORD dwMsgEncodingType;
    HCRYPTPROV_LEGACY hCryptProv;
    CRYPT_ALGORITHM_IDENTIFIER ContentEncryptionAlgorithm;
    void* pvEncryptionAuxInfo;
    DWORD dwFlags;
    DWORD dwInnerContentType;
} CRYPT_ENCRYPT_MESSAGE_PARA, *PCRYPT_ENCRYPT_MESSAGE_PARA;

typedef struct _CRYPT_DECRYPT_MESSAGE_PARA {
    DWORD cbSize;
    DWORD dwMsgAndCertEncodingType;
    DWORD cCertStore;
    HCERTSTORE* rghCertStore;
    DWORD dwFlags;
} CRYPT_DECRYPT_MESSAGE_PARA, *PCRYPT_DECRYPT_MESSAGE_PARA;

// cbSize may be sizeof the structure or its 32-bit size (36 for the
// encryption parameters; 16 without dwFlags or 20 with it for decryption),
// as callers written for 32-bit Windows fill it in.
//
// CryptEncryptMessage: with pbEncryptedBlob null, *pcbEncryptedBlob gets the
// size needed; with a short buffer it fails with ERROR_MORE_DATA and sets the
// size needed; otherwise it writes the DER message and sets its actual size.
WINAPI_EXPORT BOOL WINAPI CryptEncryptMessage(PCRYPT_ENCRYPT_MESSAGE_PARA pEncryptPara, DWORD cRecipientCert,
                                              PCCERT_CONTEXT rgpRecipientCert[], const BYTE* pbToBeEncrypted,
                                              DWORD cbToBeEncrypted, BYTE* pbEncryptedBlob,
                                              DWORD* pcbEncryptedBlob);
// CryptDecryptMessage: with pbDecrypted null, *pcbDecrypted gets the size
// the plain data needs at most (the message is parsed, no key is used); with
// a buffer it finds a recipient's certificate with a private key in the
// stores, decrypts and sets the actual size. ppXchgCert, when given, gets a
// new reference to that certificate (null on failure).
WINAPI_EXPORT BOOL WINAPI CryptDecryptMessage(PCRYPT_DECRYPT_MESSAGE_PARA pDecryptPara,
                                              const BYTE* pbEncryptedBlob, DWORD cbEncryptedBlob,
                                              BYTE* pbDecrypted, DWORD* pcbDecrypted,
                                              PCCERT_CONTEXT* ppXchgCert);

// ---- Messages (crypt32): CMS signed data ----
//
// The low-level message calls for signed messages. Encoding: open with the
// signers and their certificates, CryptMsgUpdate the content (in pieces; a
// detached message keeps only the digest of it), then CMSG_CONTENT_PARAM is
// the DER message. Every signer gets the CAdES-BES signed attributes
// (contentType, signingTime, messageDigest, signingCertificateV2) before the
// caller's own rgAuthAttr, and is signed by its provider context's key
// (CryptSignHash), so the key never leaves the provider.
//
// Decoding: CryptMsgUpdate the message (in pieces, fFinal on the last); for a
// detached message opened with CMSG_DETACHED_FLAG the content follows in
// further CryptMsgUpdate calls (fFinal on the last). The parameters and
// CMSG_CTRL_VERIFY_SIGNATURE_EX then read and check each signer;
// CMSG_CTRL_ADD_CERT and CMSG_CTRL_ADD_SIGNER add a certificate and a signer
// (whose certificate must be in the message by then), leaving the existing
// signers' bytes as they were, and CMSG_ENCODED_MESSAGE gives the result.
// On a detached message, CMSG_CTRL_ADD_SIGNER before the content is given
// signs when the last piece of it is in (so a co-signer with a digest the
// message does not name yet streams the content once).
// CMSG_CTRL_VERIFY_SIGNATURE_EX with a certificate refuses one that is not
// the signer's (CRYPT_E_SIGNER_NOT_FOUND) or that its signingCertificateV2
// attribute does not name (CRYPT_E_HASH_VALUE) before it checks the signature.
// CMSG_CONTENT_PARAM of a message without content of its own (detached)
// fails with CRYPT_E_INVALID_MSG_TYPE.

typedef void* HCRYPTMSG;

#define CMSG_DATA 1
#define CMSG_SIGNED 2
#define CMSG_DETACHED_FLAG 0x00000004

#define CMSG_TYPE_PARAM 1
#define CMSG_CONTENT_PARAM 2
#define CMSG_SIGNER_COUNT_PARAM 5
#define CMSG_SIGNER_CERT_INFO_PARAM 7
#define CMSG_SIGNER_HASH_ALGORITHM_PARAM 8
#define CMSG_SIGNER_AUTH_ATTR_PARAM 9
#define CMSG_CERT_COUNT_PARAM 11
#define CMSG_CERT_PARAM 12
#define CMSG_ENCODED_MESSAGE 29

#define CMSG_CTRL_ADD_SIGNER 6
#define CMSG_CTRL_ADD_CERT 10
#define CMSG_CTRL_VERIFY_SIGNATURE_EX 19
#define CMSG_VERIFY_SIGNER_PUBKEY 1
#define CMSG_VERIFY_SIGNER_CERT 2

#define szOID_RSA_data "1.2.840.113549.1.7.1"
#define szOID_RSA_signedData "1.2.840.113549.1.7.2"
#define szOID_RSA_contentType "1.2.840.113549.1.9.3"
#define szOID_RSA_messageDigest "1.2.840.113549.1.9.4"
#define szOID_RSA_signingTime "1.2.840.113549.1.9.5"
#define szOID_SIGNING_CERTIFICATE_V2 "1.2.840.113549.1.9.16.2.47"

#define PKCS_UTC_TIME ((LPCSTR)17)

typedef struct _CRYPT_ATTRIBUTE {
    LPSTR pszObjId;
    DWORD cValue;
    PCRYPT_ATTR_BLOB rgValue;
} CRYPT_ATTRIBUTE, *PCRYPT_ATTRIBUTE;

typedef struct _CRYPT_ATTRIBUTES {
    DWORD cAttr;
    PCRYPT_ATTRIBUTE rgAttr;
} CRYPT_ATTRIBUTES, *PCRYPT_ATTRIBUTES;

typedef struct _CMSG_SIGNER_ENCODE_INFO {
    DWORD cbSize;
    PCERT_INFO pCertInfo;
    HCRYPTPROV hCryptProv;
    DWORD dwKeySpec;
    CRYPT_ALGORITHM_IDENTIFIER HashAlgorithm;
    void* pvHashAuxInfo;
    DWORD cAuthAttr;
    PCRYPT_ATTRIBUTE rgAuthAttr;
    DWORD cUnauthAttr;
    PCRYPT_ATTRIBUTE rgUnauthAttr;
} CMSG_SIGNER_ENCODE_INFO, *PCMSG_SIGNER_ENCODE_INFO;

typedef struct _CMSG_SIGNED_ENCODE_INFO {
    DWORD cbSize;
    DWORD cSigners;
    PCMSG_SIGNER_ENCODE_INFO rgSigners;
    DWORD cCertEncoded;
    CERT_BLOB* rgCertEncoded;
    DWORD cCrlEncoded;
    CRL_BLOB* rgCrlEncoded;
} CMSG_SIGNED_ENCODE_INFO, *PCMSG_SIGNED_ENCODE_INFO;

typedef struct _CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA {
    DWORD cbSize;
    HCRYPTPROV_LEGACY hCryptProv;
    DWORD dwSignerIndex;
    DWORD dwSignerType;
    void* pvSigner;
} CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA, *PCMSG_CTRL_VERIFY_SIGNATURE_EX_PARA;

// Streaming through a callback is not offered: pStreamInfo must be null
// (the content is given in pieces with CryptMsgUpdate instead).
typedef struct _CMSG_STREAM_INFO CMSG_STREAM_INFO, *PCMSG_STREAM_INFO;

WINAPI_EXPORT HCRYPTMSG WINAPI CryptMsgOpenToEncode(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                                                    const void* pvMsgEncodeInfo, LPSTR pszInnerContentObjID,
                                                    PCMSG_STREAM_INFO pStreamInfo);
WINAPI_EXPORT HCRYPTMSG WINAPI CryptMsgOpenToDecode(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                                                    HCRYPTPROV_LEGACY hCryptProv, PCERT_INFO pRecipientInfo,
                                                    PCMSG_STREAM_INFO pStreamInfo);
WINAPI_EXPORT BOOL WINAPI CryptMsgUpdate(HCRYPTMSG hCryptMsg, const BYTE* pbData, DWORD cbData, BOOL fFinal);
WINAPI_EXPORT BOOL WINAPI CryptMsgGetParam(HCRYPTMSG hCryptMsg, DWORD dwParamType, DWORD dwIndex,
                                           void* pvData, DWORD* pcbData);
WINAPI_EXPORT BOOL WINAPI CryptMsgControl(HCRYPTMSG hCryptMsg, DWORD dwFlags, DWORD dwCtrlType,
                                          const void* pvCtrlPara);
WINAPI_EXPORT BOOL WINAPI CryptMsgClose(HCRYPTMSG hCryptMsg);

// The certificate of a store with the issuer and serial number of pCertId
// (as CMSG_SIGNER_CERT_INFO_PARAM gives them).
WINAPI_EXPORT PCCERT_CONTEXT WINAPI CertGetSubjectCertificateFromStore(HCERTSTORE hCertStore,
                                                                       DWORD dwCertEncodingType,
                                                                       PCERT_INFO pCertId);
// Decodes PKCS_UTC_TIME (or szOID_RSA_signingTime): a UTCTime or
// GeneralizedTime into a FILETIME. Other structure types give
// ERROR_FILE_NOT_FOUND, as an encoding without a decoder does on Windows.
WINAPI_EXPORT BOOL WINAPI CryptDecodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType,
                                            const BYTE* pbEncoded, DWORD cbEncoded, DWORD dwFlags,
                                            void* pvStructInfo, DWORD* pcbStructInfo);
