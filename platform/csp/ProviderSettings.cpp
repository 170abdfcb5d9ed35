#include "csp/ProviderSettings.h"

#include "registry/RegistryValues.h"

namespace trumik::csp {

DWORD ProviderVersion()
{
    return trumik::platform::ReadRegistryDword(HKEY_LOCAL_MACHINE, kProviderSettingsKey, u"Version")
        .value_or(kDefaultProviderVersion);
}

bool SetProviderVersion(DWORD version)
{
    return trumik::platform::WriteRegistryDword(HKEY_LOCAL_MACHINE, kProviderSettingsKey, u"Version",
                                                version) == ERROR_SUCCESS;
}

bool ResetProviderVersion()
{
    auto key = trumik::platform::OpenRegistryKey(HKEY_LOCAL_MACHINE, kProviderSettingsKey, KEY_SET_VALUE);
    if (!key)
        return true;
    LSTATUS rc = RegDeleteValueW(key.get(), u"Version");
    return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
}

} // namespace trumik::csp
