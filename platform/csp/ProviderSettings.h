// Settings of the GOST provider kept in the registry, for the provider itself
// and for the tools.
//
// HKEY_LOCAL_MACHINE\SOFTWARE\Trumik\Provider, value "Version" (REG_DWORD):
// the version that CryptGetProvParam(PP_VERSION) reports, major version in
// bits 8 to 15 and minor version in bits 0 to 7. Unset (or not a REG_DWORD),
// the provider reports kDefaultProviderVersion (4.0). Setting 0x300 brings
// the behaviour of a 3.0 provider to the callers that look at the version.
#pragma once

#include "windef.h"

namespace trumik::csp {

inline constexpr DWORD kDefaultProviderVersion = 0x00000400;
inline constexpr const char16_t* kProviderSettingsKey = u"SOFTWARE\\Trumik\\Provider";

// The version PP_VERSION reports now (read at every call).
DWORD ProviderVersion();
// Stores a version; false when the registry refuses the write.
bool SetProviderVersion(DWORD version);
// Removes the setting, so the default applies again; true when it is gone.
bool ResetProviderVersion();

} // namespace trumik::csp
