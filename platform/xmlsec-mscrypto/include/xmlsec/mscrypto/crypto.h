// The "mscrypto" crypto back-end of xmlsec: GOST R 34.10-2001 and GOST R
// 34.11-94 through CryptoAPI and the GOST provider of type 75.
//
// The back-end is the shared library libxmlsec1-mscrypto.so. It is loaded by
// name through xmlSecCryptoDLLoadLibrary("mscrypto"), which finds its function
// table through xmlSecCryptoGetFunctions_mscrypto; code that adopts
// certificates links against it and calls the functions declared here.
#pragma once

#include <wincrypt.h>
#include <windows.h>

#include <xmlsec/dl.h>
#include <xmlsec/keys.h>
#include <xmlsec/keysmngr.h>
#include <xmlsec/transforms.h>
#include <xmlsec/xmlsec.h>

#ifdef __cplusplus
extern "C" {
#endif

// The back-end's function table (xmlsec/private.h); the same table on every call.
XMLSEC_CRYPTO_EXPORT xmlSecCryptoDLFunctionsPtr xmlSecCryptoGetFunctions_mscrypto(void);

// Registers the back-end's key data and transforms with xmlsec; 0 or -1.
XMLSEC_CRYPTO_EXPORT int xmlSecMSCryptoInit(void);
XMLSEC_CRYPTO_EXPORT int xmlSecMSCryptoShutdown(void);
// Nothing to add to a keys manager: keys are set by the caller or found in
// the simple keys store. Returns 0.
XMLSEC_CRYPTO_EXPORT int xmlSecMSCryptoKeysMngrInit(xmlSecKeysMngrPtr mngr);

// GOST R 34.10-2001 key data, name "gost2001".
#define xmlSecMSCryptoKeyDataGost2001Id xmlSecMSCryptoKeyDataGost2001GetKlass()
XMLSEC_CRYPTO_EXPORT xmlSecKeyDataId xmlSecMSCryptoKeyDataGost2001GetKlass(void);

// GOST R 34.10-2001 signature over GOST R 34.11-94,
// http://www.w3.org/2001/04/xmldsig-more#gostr34102001-gostr3411
#define xmlSecMSCryptoTransformGost2001GostR3411_94Id xmlSecMSCryptoTransformGost2001GostR3411_94GetKlass()
XMLSEC_CRYPTO_EXPORT xmlSecTransformId xmlSecMSCryptoTransformGost2001GostR3411_94GetKlass(void);

// GOST R 34.11-94 digest, http://www.w3.org/2001/04/xmldsig-more#gostr3411
#define xmlSecMSCryptoTransformGostR3411_94Id xmlSecMSCryptoTransformGostR3411_94GetKlass()
XMLSEC_CRYPTO_EXPORT xmlSecTransformId xmlSecMSCryptoTransformGostR3411_94GetKlass(void);

#ifdef __cplusplus
}
#endif
