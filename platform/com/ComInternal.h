// Helpers shared by the COM layer's files.
#pragma once

#include "objbase.h"
#include "winreg.h"

#include <memory>
#include <string>

namespace trumik::platform::com {

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case.
std::u16string GuidToString(const GUID& guid);
// The braced form, any case, nothing after the closing brace.
bool ParseGuid(const char16_t* text, GUID* guid);

struct KeyCloser {
    void operator()(HKEY key) const
    {
        if (key)
            RegCloseKey(key);
    }
};
using KeyGuard = std::unique_ptr<HKEY__, KeyCloser>;

// The default value of HKEY_CLASSES_ROOT\<path> as a string (REG_SZ or
// REG_EXPAND_SZ). Returns false when the key or its value is missing.
bool ReadClassesRootString(const std::u16string& path, std::u16string* value, bool* keyExists = nullptr);

// A class built into the platform (its factory lives as long as the process).
// Returns false when rclsid is none of them.
bool GetBuiltinClassObject(REFCLSID rclsid, REFIID riid, void** ppv, HRESULT* result);

} // namespace trumik::platform::com
