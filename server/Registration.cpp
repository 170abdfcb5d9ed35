// DllRegisterServer and DllUnregisterServer: the classes' registry entries,
// their component categories and the type library.
#include "Module.h"
#include "ObjectMap.h"

#include <comcat.h>
#include <objbase.h>
#include <winreg.h>

#include <string>

namespace trumik::server {

namespace {

// Safe for scripting, safe for initialising.
const CATID kCategories[] = {
    {0x7DD95801, 0x9882, 0x11CF, {0x9F, 0xA9, 0x00, 0xAA, 0x00, 0x6C, 0x42, 0xC4}},
    {0x7DD95802, 0x9882, 0x11CF, {0x9F, 0xA9, 0x00, 0xAA, 0x00, 0x6C, 0x42, 0xC4}},
};

constexpr size_t kMaxModulePath = 260;

std::u16string GuidText(const GUID& guid)
{
    OLECHAR text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

class Key {
  public:
    Key() = default;
    ~Key()
    {
        if (key_)
            RegCloseKey(key_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HKEY* Out() { return &key_; }
    HKEY Get() const { return key_; }

  private:
    HKEY key_ = nullptr;
};

HRESULT FromStatus(LSTATUS status)
{
    return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status);
}

// Creates (or opens) HKCR\path and sets its default value, or a named value,
// when text is given.
HRESULT WriteKey(const std::u16string& path, const char16_t* valueName = nullptr,
                 const char16_t* text = nullptr)
{
    Key key;
    LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_ALL_ACCESS, nullptr, key.Out(), nullptr);
    if (status != ERROR_SUCCESS)
        return FromStatus(status);
    if (!text)
        return S_OK;
    std::u16string value(text);
    return FromStatus(RegSetValueExW(key.Get(), valueName, 0, REG_SZ,
                                     reinterpret_cast<const BYTE*>(value.c_str()),
                                     static_cast<DWORD>((value.size() + 1) * sizeof(char16_t))));
}

// Deletes HKCR\path with everything below it; an absent key is no failure.
HRESULT DeleteTree(const std::u16string& path)
{
    const LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, path.c_str());
    return status == ERROR_FILE_NOT_FOUND ? S_OK : FromStatus(status);
}

// Deletes HKCR\path when it exists and has no subkeys.
HRESULT DeleteIfLeaf(const std::u16string& path)
{
    Key key;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.Out()) != ERROR_SUCCESS)
        return S_OK;
    DWORD subKeys = 0;
    LSTATUS status = RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                                      nullptr, nullptr, nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS)
        return FromStatus(status);
    if (subKeys != 0)
        return S_OK;
    status = RegDeleteKeyW(HKEY_CLASSES_ROOT, path.c_str());
    return status == ERROR_FILE_NOT_FOUND ? S_OK : FromStatus(status);
}

#define RETURN_IF_FAILED(expr)                                                                               \
    do {                                                                                                     \
        HRESULT hr_ = (expr);                                                                                \
        if (FAILED(hr_))                                                                                     \
            return hr_;                                                                                      \
    } while (0)

HRESULT UpdateClassRegistry(const ClassEntry& entry, bool registering)
{
    const std::u16string module = ModulePath();
    if (module.size() >= kMaxModulePath)
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    if (module.empty())
        return E_UNEXPECTED;
    const std::u16string progId = entry.progId;
    const std::u16string viProgId = entry.versionIndependentProgId;
    const std::u16string clsidKey = u"CLSID\\" + GuidText(*entry.clsid);
    // The module is a library, never the process's own executable.
    const std::u16string moduleType = u"InprocServer32";

    if (!registering) {
        RETURN_IF_FAILED(DeleteTree(progId));
        RETURN_IF_FAILED(DeleteTree(viProgId));
        RETURN_IF_FAILED(DeleteTree(clsidKey));
        return S_OK;
    }
    RETURN_IF_FAILED(WriteKey(progId, nullptr, entry.friendlyName));
    RETURN_IF_FAILED(WriteKey(progId + u"\\CLSID", nullptr, GuidText(*entry.clsid).c_str()));
    RETURN_IF_FAILED(WriteKey(viProgId, nullptr, entry.friendlyName));
    RETURN_IF_FAILED(WriteKey(viProgId + u"\\CLSID", nullptr, GuidText(*entry.clsid).c_str()));
    RETURN_IF_FAILED(WriteKey(viProgId + u"\\CurVer", nullptr, entry.progId));
    RETURN_IF_FAILED(WriteKey(u"CLSID"));
    RETURN_IF_FAILED(DeleteTree(clsidKey));
    RETURN_IF_FAILED(WriteKey(clsidKey, nullptr, entry.friendlyName));
    RETURN_IF_FAILED(WriteKey(clsidKey + u"\\ProgID", nullptr, entry.progId));
    RETURN_IF_FAILED(
        WriteKey(clsidKey + u"\\VersionIndependentProgID", nullptr, entry.versionIndependentProgId));
    RETURN_IF_FAILED(DeleteTree(clsidKey + u"\\Programmable"));
    RETURN_IF_FAILED(WriteKey(clsidKey + u"\\Programmable"));
    RETURN_IF_FAILED(WriteKey(clsidKey + u"\\" + moduleType, nullptr, module.c_str()));
    RETURN_IF_FAILED(WriteKey(clsidKey + u"\\" + moduleType, u"ThreadingModel", entry.threadingModel));
    RETURN_IF_FAILED(WriteKey(clsidKey, u"AppID", u""));
    RETURN_IF_FAILED(WriteKey(clsidKey + u"\\TypeLib", nullptr, GuidText(*ThisModule().libid).c_str()));
    return S_OK;
}

struct CatRegister {
    ICatRegister* p = nullptr;
    CatRegister()
    {
        void* out = nullptr;
        if (SUCCEEDED(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_ICatRegister, &out)))
            p = static_cast<ICatRegister*>(out);
    }
    ~CatRegister()
    {
        if (p)
            p->Release();
    }
};

HRESULT RegisterCategories(const ClassEntry& entry)
{
    CatRegister manager;
    if (!manager.p)
        return S_OK;
    for (const CATID& category : kCategories) {
        CATID one[1] = {category};
        RETURN_IF_FAILED(manager.p->RegisterClassImplCategories(*entry.clsid, 1, one));
    }
    return S_OK;
}

HRESULT UnregisterCategories(const ClassEntry& entry)
{
    {
        CatRegister manager;
        if (manager.p) {
            for (const CATID& category : kCategories) {
                CATID one[1] = {category};
                manager.p->UnRegisterClassImplCategories(*entry.clsid, 1, one);
            }
        }
    }
    const std::u16string clsidKey = u"CLSID\\" + GuidText(*entry.clsid);
    RETURN_IF_FAILED(DeleteIfLeaf(clsidKey + u"\\Required Categories"));
    RETURN_IF_FAILED(DeleteIfLeaf(clsidKey + u"\\Implemented Categories"));
    return S_OK;
}

struct TypeLibRef {
    ITypeLib* p = nullptr;
    ~TypeLibRef()
    {
        if (p)
            p->Release();
    }
};

// The module's type library: from the module file, else from the ".tlb" beside it.
HRESULT LoadModuleTypeLib(std::u16string& path, TypeLibRef& typeLib)
{
    path = ModulePath();
    HRESULT hr = LoadTypeLib(path.c_str(), &typeLib.p);
    if (SUCCEEDED(hr))
        return hr;
    size_t dot = path.rfind(u'.');
    size_t slash = path.find_last_of(u"/\\");
    std::u16string tlb = (dot != std::u16string::npos && (slash == std::u16string::npos || dot > slash))
                             ? path.substr(0, dot) + u".tlb"
                             : path + u".tlb";
    HRESULT tlbResult = LoadTypeLib(tlb.c_str(), &typeLib.p);
    if (FAILED(tlbResult))
        return hr;
    path = tlb;
    return tlbResult;
}

} // namespace

} // namespace trumik::server

using namespace trumik::server;

extern "C" {

WINAPI_EXPORT HRESULT WINAPI DllRegisterServer()
{
    const ModuleDefinition& module = ThisModule();
    for (size_t i = 0; i < module.classCount; ++i) {
        RETURN_IF_FAILED(UpdateClassRegistry(module.classes[i], true));
        RETURN_IF_FAILED(RegisterCategories(module.classes[i]));
    }
    std::u16string path;
    TypeLibRef typeLib;
    RETURN_IF_FAILED(LoadModuleTypeLib(path, typeLib));
    std::u16string moduleFile = ModulePath();
    size_t slash = moduleFile.find_last_of(u"/\\");
    std::u16string helpDir = slash == std::u16string::npos ? std::u16string() : moduleFile.substr(0, slash);
    return RegisterTypeLib(typeLib.p, path.c_str(), helpDir.c_str());
}

WINAPI_EXPORT HRESULT WINAPI DllUnregisterServer()
{
    const ModuleDefinition& module = ThisModule();
    for (size_t i = 0; i < module.classCount; ++i) {
        RETURN_IF_FAILED(UnregisterCategories(module.classes[i]));
        RETURN_IF_FAILED(UpdateClassRegistry(module.classes[i], false));
    }
    std::u16string path;
    TypeLibRef typeLib;
    RETURN_IF_FAILED(LoadModuleTypeLib(path, typeLib));
    TLIBATTR* attr = nullptr;
    RETURN_IF_FAILED(typeLib.p->GetLibAttr(&attr));
    HRESULT hr =
        UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
    typeLib.p->ReleaseTLibAttr(attr);
    return FAILED(hr) ? hr : S_OK;
}

} // extern "C"
