// The PKCS #11 interface as the provider uses it: the standard header from
// p11-kit with the TC26 additions, and the few TC26 names it lacks.
#pragma once

#include <p11-kit/pkcs11.h>
#include <p11-kit/pkcs11x.h>

// Signature mechanisms with GOST R 34.11-2012 (TC26 vendor range).
#ifndef CKM_GOSTR3410_WITH_GOSTR3411_12_256
#define CKM_GOSTR3410_WITH_GOSTR3411_12_256 (CK_VENDOR_PKCS11_RU_TEAM_TC26 | 0x008)
#endif
#ifndef CKM_GOSTR3410_WITH_GOSTR3411_12_512
#define CKM_GOSTR3410_WITH_GOSTR3411_12_512 (CK_VENDOR_PKCS11_RU_TEAM_TC26 | 0x009)
#endif
// The key derivation function of VKO GOST R 34.10-2012 with GOST R 34.11-2012 256.
#ifndef CKD_KDF_GOSTR3411_2012_256
#define CKD_KDF_GOSTR3411_2012_256 (CK_VENDOR_PKCS11_RU_TEAM_TC26 | 0x026)
#endif

namespace trumik::csp {

// The parameters of CKM_GOSTR3410_DERIVE and CKM_GOSTR3410_2012_DERIVE.
struct GostDeriveParams {
    CK_ULONG kdf;
    CK_BYTE_PTR publicData;
    CK_ULONG publicDataLen;
    CK_BYTE_PTR ukm;
    CK_ULONG ukmLen;
};

} // namespace trumik::csp
