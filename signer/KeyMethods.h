// The signature and digest methods that a GOST key signs with, as the
// mscrypto back-end's transform klasses.
#pragma once

#include <xmlsec/keysdata.h>
#include <xmlsec/transforms.h>

namespace trumik::signer {

// GOST R 34.10-2001 over R 34.11-94 for a 2001 key; GOST R 34.10-2012 over
// R 34.11-2012 of the key's size for a 2012 key. No signature method for
// other keys.
struct GostMethods {
    xmlSecTransformId signature = nullptr;
    xmlSecTransformId digest = nullptr;
    bool gost2001 = false;
};

GostMethods MethodsFor(xmlSecKeyDataPtr keyData);

} // namespace trumik::signer
