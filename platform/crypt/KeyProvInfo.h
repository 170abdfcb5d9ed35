// CERT_KEY_PROV_INFO_PROP_ID in both its forms: self-relative, as a store
// keeps it, and the native CRYPT_KEY_PROV_INFO that callers read.
#pragma once

#include "CryptInternal.h"

#include <string>
#include <utility>
#include <vector>

namespace trumik::crypt {

// Self-relative CRYPT_KEY_PROV_INFO as a store keeps it: seven DWORDs
// (container offset, provider offset, type, flags, parameter count,
// parameter table offset, key spec), the NUL-ended UTF-16 container and
// provider names, then (4-aligned) the parameter table of four DWORDs each
// (id, data offset, size, flags) followed by the parameter data. Offsets
// count from the start of the property; 0 means none.
Bytes SerializeKeyProvInfo(const CRYPT_KEY_PROV_INFO& info);

struct KeyProvInfoParts {
    std::u16string container, provider;
    bool hasContainer = false, hasProvider = false;
    DWORD type = 0, flags = 0, keySpec = 0;
    std::vector<std::pair<CRYPT_KEY_PROV_PARAM, Bytes>> params;
};
// False when the stored form is cut short or its offsets point outside it.
bool ParseKeyProvInfo(const Bytes& b, KeyProvInfoParts& out);

// The native CRYPT_KEY_PROV_INFO followed by its parameters and strings,
// with offsets in place of the pointers.
Bytes NativeKeyProvInfo(const KeyProvInfoParts& parts);
// Turns the offsets NativeKeyProvInfo left in the pointers into addresses.
void FixUpKeyProvInfo(BYTE* buffer);

} // namespace trumik::crypt
