// Type library registration, as Windows keeps it under HKEY_CLASSES_ROOT:
//
//   TypeLib\{LIBID}\<major>.<minor>          (default) = help string, else name
//     <lcid>\<win16|win32|mac|win64>         (default) = full path of the library
//     FLAGS                                  (default) = library flags, decimal
//     HELPDIR                                (default) = help folder
//   Interface\{IID}                          (default) = interface name       (each dual,
//     ProxyStubClsid, ProxyStubClsid32       (default) = automation marshaler  OLE-automation
//     TypeLib                                (default) = {LIBID}, Version = "<major>.<minor>"  or dispatch
//     interface)
//
// Version numbers and locale identifiers are written in lower-case hexadecimal
// without leading zeros ("1.4", "409", "0").
#include "TypeLibInternal.h"

#include "oleaut/OleAutInternal.h"
#include "winreg.h"

#include <memory>
#include <optional>

namespace trumik::platform::typelib {
namespace {

namespace tl = trumik::typelib;

constexpr GUID kPSOAInterface = {
    0x00020424, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr GUID kPSDispatch = {0x00020420, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

struct KeyCloser {
    void operator()(HKEY__* key) const { RegCloseKey(key); }
};
using KeyPtr = std::unique_ptr<HKEY__, KeyCloser>;

struct BstrFree {
    void operator()(WCHAR* b) const { SysFreeString(b); }
};
using BstrPtr = std::unique_ptr<WCHAR, BstrFree>;

struct TypeLibRelease {
    void operator()(ITypeLib* lib) const { lib->Release(); }
};
using TypeLibPtr = std::unique_ptr<ITypeLib, TypeLibRelease>;

struct TypeInfoRelease {
    void operator()(ITypeInfo* info) const { info->Release(); }
};
using TypeInfoPtr = std::unique_ptr<ITypeInfo, TypeInfoRelease>;

std::u16string Hex(uint32_t v)
{
    static const char digits[] = "0123456789abcdef";
    std::u16string s;
    do {
        s.insert(s.begin(), static_cast<char16_t>(digits[v & 0xF]));
        v >>= 4;
    } while (v);
    return s;
}

std::u16string Decimal(uint32_t v)
{
    std::u16string s;
    do {
        s.insert(s.begin(), static_cast<char16_t>(u'0' + v % 10));
        v /= 10;
    } while (v);
    return s;
}

std::optional<uint32_t> ParseHex(std::u16string_view s)
{
    if (s.empty() || s.size() > 8)
        return std::nullopt;
    uint32_t v = 0;
    for (char16_t c : s) {
        int d = (c >= u'0' && c <= u'9')   ? c - u'0'
                : (c >= u'a' && c <= u'f') ? c - u'a' + 10
                : (c >= u'A' && c <= u'F') ? c - u'A' + 10
                                           : -1;
        if (d < 0)
            return std::nullopt;
        v = v * 16 + static_cast<uint32_t>(d);
    }
    return v;
}

const char16_t* SysKindName(SYSKIND kind)
{
    switch (kind) {
    case SYS_WIN16:
        return u"win16";
    case SYS_WIN32:
        return u"win32";
    case SYS_MAC:
        return u"mac";
    case SYS_WIN64:
        return u"win64";
    }
    return nullptr;
}

std::u16string LibKey(const GUID& libid)
{
    return u"TypeLib\\" + tl::FormatGuid(libid);
}
std::u16string VersionName(uint32_t major, uint32_t minor)
{
    return Hex(major) + u"." + Hex(minor);
}

KeyPtr Create(const std::u16string& path)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
        return nullptr;
    return KeyPtr(key);
}

KeyPtr Open(const std::u16string& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return nullptr;
    return KeyPtr(key);
}

bool SetString(HKEY key, const char16_t* name, std::u16string_view value)
{
    std::u16string data(value);
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                          static_cast<DWORD>((data.size() + 1) * sizeof(char16_t))) == ERROR_SUCCESS;
}

// Creates path and sets its default value.
bool WriteDefault(const std::u16string& path, std::u16string_view value)
{
    KeyPtr key = Create(path);
    return key && SetString(key.get(), nullptr, value);
}

std::optional<std::u16string> ReadString(HKEY key, const char16_t* name)
{
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return std::nullopt;
    std::u16string data(size / sizeof(char16_t) + 1, u'\0');
    DWORD got = static_cast<DWORD>(data.size() * sizeof(char16_t));
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &got) !=
        ERROR_SUCCESS)
        return std::nullopt;
    data.resize(got / sizeof(char16_t));
    while (!data.empty() && data.back() == u'\0')
        data.pop_back();
    return data;
}

std::vector<std::u16string> SubKeys(HKEY key)
{
    std::vector<std::u16string> names;
    for (DWORD i = 0;; ++i) {
        char16_t name[256];
        DWORD len = 256;
        if (RegEnumKeyExW(key, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.emplace_back(name, len);
    }
    return names;
}

bool HasSubKeys(const std::u16string& path)
{
    KeyPtr key = Open(path);
    return key && !SubKeys(key.get()).empty();
}

void DeleteTree(const std::u16string& path)
{
    RegDeleteTreeW(HKEY_CLASSES_ROOT, path.c_str());
}

// The interface types whose entries RegisterTypeLib writes: dual and
// OLE-automation interfaces (marshalled by the automation marshaler) and
// dispatch interfaces.
bool InterfaceEntry(const TYPEATTR& attr, GUID& proxyStub)
{
    if (attr.typekind == TKIND_DISPATCH) {
        proxyStub = (attr.wTypeFlags & TYPEFLAG_FDUAL) ? kPSOAInterface : kPSDispatch;
        return true;
    }
    if (attr.typekind == TKIND_INTERFACE && (attr.wTypeFlags & (TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION))) {
        proxyStub = kPSOAInterface;
        return true;
    }
    return false;
}

// Calls fn(info name, attr) for each type of the library that has an
// interface entry.
template <typename Fn> HRESULT ForEachInterface(ITypeLib* lib, Fn fn)
{
    const UINT count = lib->GetTypeInfoCount();
    for (UINT i = 0; i < count; ++i) {
        ITypeInfo* raw = nullptr;
        if (FAILED(lib->GetTypeInfo(i, &raw)) || !raw)
            continue;
        TypeInfoPtr info(raw);
        TYPEATTR* attr = nullptr;
        if (FAILED(info->GetTypeAttr(&attr)) || !attr)
            continue;
        GUID proxyStub{};
        HRESULT hr = S_OK;
        if (InterfaceEntry(*attr, proxyStub)) {
            BSTR name = nullptr;
            info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
            BstrPtr nameGuard(name);
            hr = fn(name ? std::u16string(name, SysStringLen(name)) : std::u16string(), *attr, proxyStub);
        }
        info->ReleaseTypeAttr(attr);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

std::optional<std::u16string> PlatformPath(const std::u16string& lcidKey)
{
    for (const char16_t* sys : {u"win32", u"win64"}) {
        KeyPtr key = Open(lcidKey + u"\\" + sys);
        if (!key)
            continue;
        if (auto path = ReadString(key.get(), nullptr); path && !path->empty())
            return path;
    }
    return std::nullopt;
}

// The registered path of a library version: exact locale, then its primary
// language, then neutral; the 32-bit entry, then the 64-bit one. A request
// with a neutral language (0, LOCALE_USER_DEFAULT, LOCALE_SYSTEM_DEFAULT)
// takes any registered locale after that, the lowest first.
std::optional<std::u16string> RegisteredPath(const std::u16string& versionKey, LCID lcid)
{
    for (LCID candidate : {lcid, static_cast<LCID>(lcid & 0x3FF), static_cast<LCID>(0)})
        if (auto path = PlatformPath(versionKey + u"\\" + Hex(candidate)))
            return path;
    if ((lcid & 0x3FF) != 0)
        return std::nullopt;
    KeyPtr version = Open(versionKey);
    if (!version)
        return std::nullopt;
    std::optional<std::pair<uint32_t, std::u16string>> best;
    for (const std::u16string& name : SubKeys(version.get())) {
        const auto id = ParseHex(name);
        if (!id || (best && best->first <= *id))
            continue;
        if (auto path = PlatformPath(versionKey + u"\\" + name))
            best = std::make_pair(*id, *path);
    }
    if (!best)
        return std::nullopt;
    return best->second;
}

// The registered version to use for a request: the exact version, else the
// highest minor version above the requested one with the same major.
std::optional<std::u16string> FindVersion(const GUID& libid, WORD major, WORD minor)
{
    KeyPtr key = Open(LibKey(libid));
    if (!key)
        return std::nullopt;
    std::optional<std::u16string> best;
    uint32_t bestMinor = 0;
    for (const std::u16string& name : SubKeys(key.get())) {
        const size_t dot = name.find(u'.');
        if (dot == std::u16string::npos)
            continue;
        auto maj = ParseHex(std::u16string_view(name).substr(0, dot));
        auto min = ParseHex(std::u16string_view(name).substr(dot + 1));
        if (!maj || !min || *maj != major || *min < minor)
            continue;
        if (*min == minor)
            return name;
        if (!best || *min > bestMinor) {
            best = name;
            bestMinor = *min;
        }
    }
    return best;
}

} // namespace
} // namespace trumik::platform::typelib

using namespace trumik::platform::typelib;

WINAPI_EXPORT HRESULT WINAPI RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR szFullPath, LPCOLESTR szHelpDir)
{
    if (!ptlib || !szFullPath)
        return E_INVALIDARG;
    TLIBATTR* attrRaw = nullptr;
    HRESULT hr = ptlib->GetLibAttr(&attrRaw);
    if (FAILED(hr))
        return hr;
    const TLIBATTR attr = *attrRaw;
    ptlib->ReleaseTLibAttr(attrRaw);
    const char16_t* sys = SysKindName(attr.syskind);
    if (!sys)
        return E_INVALIDARG;

    BSTR nameRaw = nullptr, docRaw = nullptr;
    hr = ptlib->GetDocumentation(-1, &nameRaw, &docRaw, nullptr, nullptr);
    BstrPtr name(nameRaw), doc(docRaw);
    if (FAILED(hr))
        return hr;
    std::u16string title;
    if (doc && SysStringLen(doc.get()))
        title.assign(doc.get(), SysStringLen(doc.get()));
    else if (name)
        title.assign(name.get(), SysStringLen(name.get()));

    const std::u16string libGuid = trumik::typelib::FormatGuid(attr.guid);
    const std::u16string version = VersionName(attr.wMajorVerNum, attr.wMinorVerNum);
    const std::u16string versionKey = LibKey(attr.guid) + u"\\" + version;
    if (!WriteDefault(versionKey, title) ||
        !WriteDefault(versionKey + u"\\" + Hex(attr.lcid) + u"\\" + sys, szFullPath) ||
        !WriteDefault(versionKey + u"\\FLAGS", Decimal(attr.wLibFlags)) ||
        !WriteDefault(versionKey + u"\\HELPDIR", szHelpDir ? std::u16string(szHelpDir) : std::u16string()))
        return TYPE_E_REGISTRYACCESS;

    return ForEachInterface(ptlib, [&](const std::u16string& typeName, const TYPEATTR& type, const GUID& ps) {
        const std::u16string key = u"Interface\\" + trumik::typelib::FormatGuid(type.guid);
        const std::u16string psText = trumik::typelib::FormatGuid(ps);
        if (!WriteDefault(key, typeName) || !WriteDefault(key + u"\\ProxyStubClsid", psText) ||
            !WriteDefault(key + u"\\ProxyStubClsid32", psText))
            return TYPE_E_REGISTRYACCESS;
        KeyPtr tlKey = Create(key + u"\\TypeLib");
        if (!tlKey || !SetString(tlKey.get(), nullptr, libGuid) ||
            !SetString(tlKey.get(), u"Version", version))
            return TYPE_E_REGISTRYACCESS;
        return S_OK;
    });
}

WINAPI_EXPORT HRESULT WINAPI UnRegisterTypeLib(REFGUID libID, WORD wVerMajor, WORD wVerMinor, LCID lcid,
                                               SYSKIND syskind)
{
    const char16_t* sys = SysKindName(syskind);
    if (!sys)
        return E_INVALIDARG;
    const std::u16string libKey = LibKey(libID);
    const std::u16string versionKey = libKey + u"\\" + VersionName(wVerMajor, wVerMinor);
    const std::u16string lcidKey = versionKey + u"\\" + Hex(lcid);
    const std::u16string platformKey = lcidKey + u"\\" + sys;
    KeyPtr platform = Open(platformKey);
    if (!platform)
        return TYPE_E_REGISTRYACCESS;
    const std::optional<std::u16string> path = ReadString(platform.get(), nullptr);
    platform.reset();

    // The interfaces come from the library itself; those whose entry names
    // this library go. A library that no longer loads leaves them alone.
    ITypeLib* raw = nullptr;
    if (path && SUCCEEDED(LoadTypeLib(path->c_str(), &raw)) && raw) {
        TypeLibPtr lib(raw);
        const std::u16string libGuid = trumik::typelib::FormatGuid(libID);
        ForEachInterface(lib.get(), [&](const std::u16string&, const TYPEATTR& type, const GUID&) {
            const std::u16string key = u"Interface\\" + trumik::typelib::FormatGuid(type.guid);
            KeyPtr tlKey = Open(key + u"\\TypeLib");
            if (!tlKey)
                return S_OK;
            const auto owner = ReadString(tlKey.get(), nullptr);
            tlKey.reset();
            if (owner && NamesEqual(*owner, libGuid))
                DeleteTree(key);
            return S_OK;
        });
    }

    DeleteTree(platformKey);
    if (!HasSubKeys(lcidKey))
        DeleteTree(lcidKey);
    // The version key goes once no locale is left under it.
    bool localesLeft = false;
    if (KeyPtr version = Open(versionKey))
        for (const std::u16string& sub : SubKeys(version.get()))
            if (!NamesEqual(sub, u"FLAGS") && !NamesEqual(sub, u"HELPDIR"))
                localesLeft = true;
    if (!localesLeft)
        DeleteTree(versionKey);
    if (!HasSubKeys(libKey))
        DeleteTree(libKey);
    return S_OK;
}

WINAPI_EXPORT HRESULT WINAPI QueryPathOfRegTypeLib(REFGUID guid, USHORT wMaj, USHORT wMin, LCID lcid,
                                                   BSTR* lpbstrPathName)
{
    if (!lpbstrPathName)
        return E_INVALIDARG;
    *lpbstrPathName = nullptr;
    const auto version = FindVersion(guid, wMaj, wMin);
    if (!version)
        return TYPE_E_LIBNOTREGISTERED;
    const auto path = RegisteredPath(LibKey(guid) + u"\\" + *version, lcid);
    if (!path)
        return TYPE_E_LIBNOTREGISTERED;
    *lpbstrPathName = trumik::platform::oleaut::AllocBstr(*path);
    return *lpbstrPathName ? S_OK : E_OUTOFMEMORY;
}

WINAPI_EXPORT HRESULT WINAPI LoadRegTypeLib(REFGUID rguid, WORD wVerMajor, WORD wVerMinor, LCID lcid,
                                            ITypeLib** pptlib)
{
    if (!pptlib)
        return E_INVALIDARG;
    *pptlib = nullptr;
    BSTR raw = nullptr;
    HRESULT hr = QueryPathOfRegTypeLib(rguid, wVerMajor, wVerMinor, lcid, &raw);
    BstrPtr path(raw);
    if (FAILED(hr))
        return hr;
    return LoadTypeLib(path.get(), pptlib);
}
