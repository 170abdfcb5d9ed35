// The "mscrypto" crypto back-end of xmlsec: GOST R 34.10-2001 and GOST R
// 34.11-94 through CryptoAPI and the GOST provider of type 75; GOST R
// 34.10-2012 and GOST R 34.11-2012 through the providers of types 80
// (256-bit keys) and 81 (512-bit keys).
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

// GOST R 34.10-2012 key data, 256-bit keys (name "gostr34102012-256") and
// 512-bit keys ("gostr34102012-512").
#define xmlSecMSCryptoKeyDataGostR3410_2012_256Id xmlSecMSCryptoKeyDataGostR3410_2012_256GetKlass()
XMLSEC_CRYPTO_EXPORT xmlSecKeyDataId xmlSecMSCryptoKeyDataGostR3410_2012_256GetKlass(void);
#define xmlSecMSCryptoKeyDataGostR3410_2012_512Id xmlSecMSCryptoKeyDataGostR3410_2012_512GetKlass()
XMLSEC_CRYPTO_EXPORT xmlSecKeyDataId xmlSecMSCryptoKeyDataGostR3410_2012_512GetKlass(void);

// GOST R 34.10-2001 signature over GOST R 34.11-94,
// http://www.w3.org/2001/04/xmldsig-more#gostr34102001-gostr3411
#define xmlSecMSCryptoTransformGost2001GostR3411_94Id xmlSecMSCryptoTransformGost2001GostR3411_94GetKlass()
XMLSEC_CRYPTO_EXPORT xmlSecTransformId xmlSecMSCryptoTransformGost2001GostR3411_94GetKlass(void);

// GOST R 34.11-94 digest, http://www.w3.org/2001/04/xmldsig-more#gostr3411
#define xmlSecMSCryptoTransformGostR3411_94Id xmlSecMSCryptoTransformGostR3411_94GetKlass()
XMLSEC_CRYPTO_EXPORT xmlSecTransformId xmlSecMSCryptoTransformGostR3411_94GetKlass(void);

// The newer names of the two above,
// urn:ietf:params:xml:ns:cpxmlsec:algorithms:gostr34102001-gostr3411 and
// urn:ietf:params:xml:ns:cpxmlsec:algorithms:gostr3411, are registered by
// xmlSecMSCryptoInit for verification; a signature is always made under the
// names above.

// GOST R 34.10-2012 signature over GOST R 34.11-2012, 256-bit key,
// urn:ietf:params:xml:ns:cpxmlsec:algorithms:gostr34102012-gostr34112012-256
#define xmlSecMSCryptoTransformGostR3410_2012GostR3411_2012_256Id                                            \
    xmlSecMSCryptoTransformGostR3410_2012GostR3411_2012_256GetKlass()
XMLSEC_CRYPTO_EXPORT xmlSecTransformId xmlSecMSCryptoTransformGostR3410_2012GostR3411_2012_256GetKlass(void);
// The same with a 512-bit key,
// urn:ietf:params:xml:ns:cpxmlsec:algorithms:gostr34102012-gostr34112012-512
#define xmlSecMSCryptoTransformGostR3410_2012GostR3411_2012_512Id                                            \
    xmlSecMSCryptoTransformGostR3410_2012GostR3411_2012_512GetKlass()
XMLSEC_CRYPTO_EXPORT xmlSecTransformId xmlSecMSCryptoTransformGostR3410_2012GostR3411_2012_512GetKlass(void);

// GOST R 34.11-2012 digests,
// urn:ietf:params:xml:ns:cpxmlsec:algorithms:gostr34112012-256 and -512
#define xmlSecMSCryptoTransformGostR3411_2012_256Id xmlSecMSCryptoTransformGostR3411_2012_256GetKlass()
XMLSEC_CRYPTO_EXPORT xmlSecTransformId xmlSecMSCryptoTransformGostR3411_2012_256GetKlass(void);
#define xmlSecMSCryptoTransformGostR3411_2012_512Id xmlSecMSCryptoTransformGostR3411_2012_512GetKlass()
XMLSEC_CRYPTO_EXPORT xmlSecTransformId xmlSecMSCryptoTransformGostR3411_2012_512GetKlass(void);

#ifdef __cplusplus
}
#endif
