// The GOST R 34.10-2012 switch and the certificate signature algorithms the
// GOST checks accept.
//
// HKEY_LOCAL_MACHINE\SOFTWARE\Trumik\Component, value AcceptGost2012
// (REG_DWORD): any value other than 0 turns the switch on. Absent, 0 or of
// another type, it is off, and every check knows the GOST R 34.10-2001 era
// identifiers only. It is read afresh at every call that asks.
#pragma once

#include <windef.h>

namespace trumik::common {

inline constexpr char16_t kComponentSettingsKey[] = u"SOFTWARE\\Trumik\\Component";
inline constexpr char16_t kAcceptGost2012Value[] = u"AcceptGost2012";

// Signature algorithms of a certificate's issuer, as they appear in its
// signature-algorithm field.
inline constexpr char kGost94SignatureOid[] = "1.2.643.2.2.4";
inline constexpr char kGost2001SignatureOid[] = "1.2.643.2.2.3";
inline constexpr char kGost2012_256SignatureOid[] = "1.2.643.7.1.1.3.2";
inline constexpr char kGost2012_512SignatureOid[] = "1.2.643.7.1.1.3.3";

// Public key algorithms of a certificate's subject.
inline constexpr char kGost2001KeyOid[] = "1.2.643.2.2.19";
inline constexpr char kGost2012_256KeyOid[] = "1.2.643.7.1.1.1.1";
inline constexpr char kGost2012_512KeyOid[] = "1.2.643.7.1.1.1.2";

// Whether the switch is on now.
bool AcceptGost2012();

// The GOST test of a certificate's signature algorithm: "1.2.643.2.2.4", then
// "1.2.643.2.2.3" (exact comparison, in this order), then, with the switch
// on, "1.2.643.7.1.1.3.2" and "1.2.643.7.1.1.3.3". A null oid fails.
bool IsGostSignatureAlgorithm(const char* oid, bool acceptGost2012);

} // namespace trumik::common
