// The ordered list of a module's creatable classes and the module's identity:
// what the shared scaffolding (exports, class factories, registration) needs
// to know of the module it is linked into. Each module defines ThisModule()
// once, in its object map file; a new class is one entry there.
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

struct ModuleDefinition {
    // The module identifier: the LIBID of its type library, written as the
    // TypeLib entry of every class and asked for (version 1.0) by
    // IProvideClassInfo.
    const GUID* libid;
    // In the order the module lists its classes.
    const ClassEntry* classes;
    size_t classCount;
};

const ModuleDefinition& ThisModule();

} // namespace trumik::server
