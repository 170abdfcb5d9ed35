// Module resources, read from the table a module exports (trumikres.h) as the
// Windows loader reads a resource section: by type, name and language.
#include "com/ModuleLoader.h"

#include "libloaderapi.h"
#include "winbase.h"
#include "winnls.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

using namespace trumik::platform::com;

// Windows' ERROR_RESOURCE_LANG_NOT_FOUND, whatever another header defines.
constexpr DWORD kErrorResourceLangNotFound = 1815;

namespace {

char16_t UpperCase(char16_t c)
{
    if (c >= u'a' && c <= u'z')
        return static_cast<char16_t>(c - 0x20);
    if ((c >= 0x00E0 && c <= 0x00FE && c != 0x00F7) || (c >= 0x0430 && c <= 0x044F))
        return static_cast<char16_t>(c - 0x20);
    if (c >= 0x0450 && c <= 0x045F)
        return static_cast<char16_t>(c - 0x50);
    return c;
}

// A resource type or name: an integer id, or an upper-cased string. "#101"
// stands for the id 101.
struct ResourceKey {
    bool isId = false;
    WORD id = 0;
    std::u16string name;

    bool operator==(const ResourceKey& other) const
    {
        return isId == other.isId && (isId ? id == other.id : name == other.name);
    }
};

ResourceKey KeyOf(LPCWSTR value)
{
    ResourceKey key;
    if (IS_INTRESOURCE(value)) {
        key.isId = true;
        key.id = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(value));
        return key;
    }
    if (value[0] == u'#' && value[1]) {
        uint32_t id = 0;
        bool digits = true;
        for (const WCHAR* p = value + 1; *p && digits; ++p) {
            digits = *p >= u'0' && *p <= u'9';
            id = id * 10 + static_cast<uint32_t>(*p - u'0');
            digits = digits && id <= 0xFFFF;
        }
        if (digits) {
            key.isId = true;
            key.id = static_cast<WORD>(id);
            return key;
        }
    }
    for (const WCHAR* p = value; *p; ++p)
        key.name.push_back(UpperCase(*p));
    return key;
}

WORD PrimaryLanguage(WORD language)
{
    return static_cast<WORD>(language & 0x3FF);
}

WORD UserLanguage()
{
    return static_cast<WORD>(GetUserDefaultLCID() & 0xFFFF);
}
WORD SystemLanguage()
{
    return static_cast<WORD>(GetSystemDefaultLCID() & 0xFFFF);
}

// The candidates of one type and name, in table order.
const TRUMIK_RESOURCE_ENTRY* Choose(const std::vector<const TRUMIK_RESOURCE_ENTRY*>& found, WORD language)
{
    auto exact = [&](WORD lang) -> const TRUMIK_RESOURCE_ENTRY* {
        for (auto* e : found)
            if (e->language == lang)
                return e;
        return nullptr;
    };
    if (language == MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT))
        return exact(UserLanguage());
    if (language == MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT))
        return exact(SystemLanguage());
    if (language != MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL))
        return exact(language);

    // The neutral request: neutral, the user's language, a relative of it,
    // the system's language, US English, then whatever comes first.
    if (auto* e = exact(MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL)))
        return e;
    const WORD user = UserLanguage();
    if (auto* e = exact(user))
        return e;
    if (auto* e = exact(MAKELANGID(PrimaryLanguage(user), SUBLANG_NEUTRAL)))
        return e;
    for (auto* e : found)
        if (PrimaryLanguage(e->language) == PrimaryLanguage(user))
            return e;
    if (auto* e = exact(SystemLanguage()))
        return e;
    if (auto* e = exact(MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT)))
        return e;
    return found.front();
}

HRSRC Find(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language)
{
    if (!type || !name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const TRUMIK_RESOURCE_ENTRY* table = nullptr;
    if (!ResourceTableOf(module, &table)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!table) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    const ResourceKey typeKey = KeyOf(type);
    const ResourceKey nameKey = KeyOf(name);
    bool typeSeen = false;
    std::vector<const TRUMIK_RESOURCE_ENTRY*> found;
    for (const TRUMIK_RESOURCE_ENTRY* e = table; e->type; ++e) {
        if (!(KeyOf(e->type) == typeKey))
            continue;
        typeSeen = true;
        if (e->name && KeyOf(e->name) == nameKey)
            found.push_back(e);
    }
    if (!typeSeen) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return nullptr;
    }
    if (found.empty()) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    const TRUMIK_RESOURCE_ENTRY* chosen = Choose(found, language);
    if (!chosen) {
        SetLastError(kErrorResourceLangNotFound);
        return nullptr;
    }
    return const_cast<TRUMIK_RESOURCE_ENTRY*>(chosen);
}

// The entry behind a resource handle, when it belongs to the module.
const TRUMIK_RESOURCE_ENTRY* EntryOf(HMODULE module, HRSRC resource)
{
    if (!resource)
        return nullptr;
    auto* entry = static_cast<const TRUMIK_RESOURCE_ENTRY*>(resource);
    if (!module) {
        // The executable's, or any loaded module's, as the handle says.
        return ModuleOfResource(entry) ? entry : nullptr;
    }
    const TRUMIK_RESOURCE_ENTRY* table = nullptr;
    if (!ResourceTableOf(module, &table) || !table)
        return nullptr;
    for (const TRUMIK_RESOURCE_ENTRY* e = table; e->type; ++e)
        if (e == entry)
            return entry;
    return nullptr;
}

} // namespace

WINAPI_EXPORT HRSRC WINAPI FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType)
{
    return Find(hModule, lpType, lpName, MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL));
}

WINAPI_EXPORT HRSRC WINAPI FindResourceExW(HMODULE hModule, LPCWSTR lpType, LPCWSTR lpName, WORD wLanguage)
{
    return Find(hModule, lpType, lpName, wLanguage);
}

WINAPI_EXPORT HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo)
{
    const TRUMIK_RESOURCE_ENTRY* entry = EntryOf(hModule, hResInfo);
    if (!entry) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return const_cast<void*>(entry->data);
}

WINAPI_EXPORT DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo)
{
    const TRUMIK_RESOURCE_ENTRY* entry = EntryOf(hModule, hResInfo);
    if (!entry) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return entry->size;
}

WINAPI_EXPORT LPVOID WINAPI LockResource(HGLOBAL hResData)
{
    return hResData;
}

// Resources live as long as their module; there is nothing to free.
WINAPI_EXPORT BOOL WINAPI FreeResource(HGLOBAL)
{
    return FALSE;
}

WINAPI_EXPORT int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax)
{
    if (!lpBuffer || cchBufferMax < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    HRSRC block = FindResourceW(hInstance, MAKEINTRESOURCEW((uID >> 4) + 1), RT_STRING);
    if (!block) {
        if (cchBufferMax > 0)
            lpBuffer[0] = u'\0';
        return 0;
    }
    const auto* bytes = static_cast<const BYTE*>(LockResource(LoadResource(hInstance, block)));
    const DWORD size = SizeofResource(hInstance, block);
    // Walk the length-prefixed strings up to the one asked for.
    DWORD offset = 0;
    WORD length = 0;
    for (UINT index = 0;; ++index) {
        if (!bytes || offset + sizeof(WORD) > size) {
            length = 0;
            break;
        }
        std::memcpy(&length, bytes + offset, sizeof length);
        offset += sizeof(WORD);
        if (offset + static_cast<DWORD>(length) * sizeof(WCHAR) > size) {
            length = 0;
            break;
        }
        if (index == (uID & 15))
            break;
        offset += static_cast<DWORD>(length) * sizeof(WCHAR);
    }
    if (length == 0) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        if (cchBufferMax > 0)
            lpBuffer[0] = u'\0';
        return 0;
    }
    const auto* text = reinterpret_cast<const WCHAR*>(bytes + offset);
    if (cchBufferMax == 0) {
        // The caller gets a read-only pointer into the resource itself.
        std::memcpy(lpBuffer, &text, sizeof text);
        return length;
    }
    const int copied = std::min<int>(length, cchBufferMax - 1);
    std::memcpy(lpBuffer, text, static_cast<size_t>(copied) * sizeof(WCHAR));
    lpBuffer[copied] = u'\0';
    return copied;
}
