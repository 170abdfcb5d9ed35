// The ordered list of the module's creatable classes.
#pragma once

#include <oleauto.h>

#include <cstddef>

namespace trumik::server {

using ObjectCreator = HRESULT (*)(IUnknown* outer, REFIID riid, void** ppv);

struct ClassEntry {
    const CLSID* clsid;
    const char16_t* progId;
    const char16_t* versionIndependentProgId;
    const char16_t* friendlyName;
    const char16_t* threadingModel;
    ObjectCreator create;
};

// In the order the module lists its classes.
const ClassEntry* ObjectMap();
size_t ObjectMapSize();

} // namespace trumik::server
