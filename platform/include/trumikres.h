// How a module built for this platform carries its resources. A module exports
// one table under the C name below; FindResourceW, LoadResource, SizeofResource
// and LockResource read it through the module's handle, as the Windows loader
// reads a PE file's resource section.
#pragma once

#include "windef.h"

// A resource type or name is either a string or an integer id (MAKEINTRESOURCE).
typedef struct TRUMIK_RESOURCE_ENTRY {
    const WCHAR* type;     // MAKEINTRESOURCEW(n) for numbered types (RT_STRING, RT_VERSION, ...)
    const WCHAR* name;     // MAKEINTRESOURCEW(n) for numbered resources
    WORD language;         // LANGID, e.g. 0x0409, 0x0419
    const void* data;
    DWORD size;
} TRUMIK_RESOURCE_ENTRY;

// The table ends with an entry whose type is null.
#define TRUMIK_RESOURCE_TABLE_SYMBOL "TrumikModuleResources"
