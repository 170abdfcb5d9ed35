// What a verification context accepts when it reads nothing outside the
// document: references to the document itself, the canonicalisations, and
// the digest and signature methods of the back-end in use. Each verifier adds
// the further transforms it accepts.
#pragma once

#include <xmlsec/xmldsig.h>

namespace trumik::common {

// 0, or -1 when the context refused a setting.
int RestrictToTheDocument(xmlSecDSigCtxPtr ctx);

} // namespace trumik::common
