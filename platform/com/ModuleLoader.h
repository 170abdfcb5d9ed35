// The module loader's view for the rest of the COM layer.
#pragma once

#include "trumikres.h"

#include <string>

namespace trumik::platform::com {

// The resource table of a module handle (NULL: the executable). Returns false
// for a handle that names no module; *table is null when the module carries
// no table. The table stays valid while the module stays loaded.
bool ResourceTableOf(HMODULE module, const TRUMIK_RESOURCE_ENTRY** table);

// The handle of the module whose table holds this entry, or null.
HMODULE ModuleOfResource(const TRUMIK_RESOURCE_ENTRY* entry);

// The UTF-8 file path of a module name as LoadLibraryW would resolve it
// without loading it (empty when no file is found).
std::string ResolveModulePath(const std::u16string& name);

} // namespace trumik::platform::com
