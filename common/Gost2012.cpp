#include "common/Gost2012.h"

#include <winreg.h>

#include <cstring>
#include <memory>

namespace trumik::common {

namespace {

struct KeyCloser {
    void operator()(HKEY key) const { RegCloseKey(key); }
};

} // namespace

bool AcceptGost2012()
{
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kComponentSettingsKey, 0, KEY_READ, &opened) != ERROR_SUCCESS)
        return false;
    const std::unique_ptr<HKEY__, KeyCloser> key(opened);
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof value;
    const LSTATUS rc = RegQueryValueExW(key.get(), kAcceptGost2012Value, nullptr, &type,
                                        reinterpret_cast<BYTE*>(&value), &size);
    return rc == ERROR_SUCCESS && type == REG_DWORD && size == sizeof value && value != 0;
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
