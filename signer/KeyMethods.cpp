#include "KeyMethods.h"

#include <xmlsec/mscrypto/crypto.h>

namespace trumik::signer {

GostMethods MethodsFor(xmlSecKeyDataPtr keyData)
{
    if (xmlSecKeyDataCheckId(keyData, xmlSecMSCryptoKeyDataGost2001Id))
        return {xmlSecMSCryptoTransformGost2001GostR3411_94GetKlass(),
                xmlSecMSCryptoTransformGostR3411_94GetKlass(), true};
    if (xmlSecKeyDataCheckId(keyData, xmlSecMSCryptoKeyDataGostR3410_2012_256Id))
        return {xmlSecMSCryptoTransformGostR3410_2012GostR3411_2012_256GetKlass(),
                xmlSecMSCryptoTransformGostR3411_2012_256GetKlass(), false};
    if (xmlSecKeyDataCheckId(keyData, xmlSecMSCryptoKeyDataGostR3410_2012_512Id))
        return {xmlSecMSCryptoTransformGostR3410_2012GostR3411_2012_512GetKlass(),
                xmlSecMSCryptoTransformGostR3411_2012_512GetKlass(), false};
    return {};
}

} // namespace trumik::signer
