#include "common/Gost2012.h"

#include <winreg.h>

#include <cstring>

namespace trumik::common {

bool AcceptGost2012()
{
    // One read of the registry: the key and its value at once.
    DWORD value = 0;
    DWORD size = sizeof value;
    const LSTATUS rc = RegGetValueW(HKEY_LOCAL_MACHINE, kComponentSettingsKey, kAcceptGost2012Value,
                                    RRF_RT_REG_DWORD, nullptr, &value, &size);
    return rc == ERROR_SUCCESS && size == sizeof value && value != 0;
}

bool IsGostSignatureAlgorithm(const char* oid, bool acceptGost2012)
{
    if (oid == nullptr)
        return false;
    if (std::strcmp(oid, kGost94SignatureOid) == 0 || std::strcmp(oid, kGost2001SignatureOid) == 0)
        return true;
    return acceptGost2012 && (std::strcmp(oid, kGost2012_256SignatureOid) == 0 ||
                              std::strcmp(oid, kGost2012_512SignatureOid) == 0);
}

} // namespace trumik::common
