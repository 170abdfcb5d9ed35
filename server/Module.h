// Module-wide state: the lock count, the module's own path and identity, and
// the clean-up run when the module is unloaded.
#pragma once

#include <oleauto.h>

#include <functional>
#include <string>

namespace trumik::server {

// Objects, held class factories and LockServer(TRUE) each hold one count.
void LockModule();
void UnlockModule();
LONG ModuleLockCount();

// The full path of the module file, as the loader reports it.
std::u16string ModulePath();

// Runs at unload, in reverse order of registration.
void AtModuleUnload(std::function<void()> action);

// The type information of a GUID (an interface or a coclass) from the type
// library stored in the module file; cached for the life of the module.
HRESULT ModuleTypeInfo(REFGUID guid, ITypeInfo** info);
// The type information of a coclass from the registered type library.
HRESULT RegisteredClassInfo(REFCLSID clsid, ITypeInfo** info);

} // namespace trumik::server
