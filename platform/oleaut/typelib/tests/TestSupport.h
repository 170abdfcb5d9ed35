// Helpers shared by the type library tests.
#pragma once

#include "oleauto.h"
#include "winreg.h"

#include <memory>
#include <optional>
#include <string>

namespace typelib_test {

struct Releaser {
    void operator()(IUnknown* p) const { p->Release(); }
};
template <typename T> using Ptr = std::unique_ptr<T, Releaser>;

struct BstrFree {
    void operator()(WCHAR* b) const { SysFreeString(b); }
};
using Bstr = std::unique_ptr<WCHAR, BstrFree>;

inline std::u16string Text(BSTR b)
{
    return b ? std::u16string(b, SysStringLen(b)) : std::u16string();
}

inline std::u16string Widen(const std::string& s)
{
    return std::u16string(s.begin(), s.end());
}

inline Ptr<ITypeLib> Load(const std::string& path, HRESULT* hr = nullptr)
{
    ITypeLib* lib = nullptr;
    HRESULT r = LoadTypeLib(Widen(path).c_str(), &lib);
    if (hr)
        *hr = r;
    return Ptr<ITypeLib>(lib);
}

inline Ptr<ITypeInfo> InfoOf(ITypeLib* lib, const GUID& guid)
{
    ITypeInfo* info = nullptr;
    lib->GetTypeInfoOfGuid(guid, &info);
    return Ptr<ITypeInfo>(info);
}

inline Ptr<ITypeInfo> RefInfo(ITypeInfo* info, UINT implIndex)
{
    HREFTYPE href = 0;
    ITypeInfo* ref = nullptr;
    if (SUCCEEDED(info->GetRefTypeOfImplType(implIndex, &href)))
        info->GetRefTypeInfo(href, &ref);
    return Ptr<ITypeInfo>(ref);
}

// The virtual-table view of a dual interface.
inline Ptr<ITypeInfo> VtableView(ITypeInfo* info)
{
    return RefInfo(info, static_cast<UINT>(-1));
}

inline std::u16string NameOf(ITypeInfo* info, MEMBERID memid = MEMBERID_NIL)
{
    BSTR name = nullptr;
    info->GetDocumentation(memid, &name, nullptr, nullptr, nullptr);
    Bstr guard(name);
    return Text(name);
}

// A TYPEATTR / FUNCDESC released through its type info when it goes.
class TypeAttr {
  public:
    explicit TypeAttr(ITypeInfo* info) : info_(info) { info->GetTypeAttr(&attr_); }
    ~TypeAttr()
    {
        if (attr_)
            info_->ReleaseTypeAttr(attr_);
    }
    TypeAttr(const TypeAttr&) = delete;
    TypeAttr& operator=(const TypeAttr&) = delete;
    const TYPEATTR* operator->() const { return attr_; }
    explicit operator bool() const { return attr_ != nullptr; }

  private:
    ITypeInfo* info_;
    TYPEATTR* attr_ = nullptr;
};

class FuncDesc {
  public:
    FuncDesc(ITypeInfo* info, UINT index) : info_(info) { hr_ = info->GetFuncDesc(index, &desc_); }
    ~FuncDesc()
    {
        if (desc_)
            info_->ReleaseFuncDesc(desc_);
    }
    FuncDesc(const FuncDesc&) = delete;
    FuncDesc& operator=(const FuncDesc&) = delete;
    const FUNCDESC* operator->() const { return desc_; }
    explicit operator bool() const { return desc_ != nullptr; }
    HRESULT hr() const { return hr_; }

  private:
    ITypeInfo* info_;
    FUNCDESC* desc_ = nullptr;
    HRESULT hr_;
};

struct KeyCloser {
    void operator()(HKEY__* k) const { RegCloseKey(k); }
};

// A string value under HKEY_CLASSES_ROOT; nullopt when the key or the value
// is missing. name null: the default value.
inline std::optional<std::u16string> RegString(const std::u16string& path, const char16_t* name = nullptr)
{
    HKEY raw = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &raw) != ERROR_SUCCESS)
        return std::nullopt;
    std::unique_ptr<HKEY__, KeyCloser> key(raw);
    char16_t buf[1024];
    DWORD type = 0, size = sizeof buf;
    if (RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return std::nullopt;
    std::u16string s(buf, size / 2);
    while (!s.empty() && s.back() == 0)
        s.pop_back();
    return s;
}

inline bool RegKeyExists(const std::u16string& path)
{
    HKEY raw = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &raw) != ERROR_SUCCESS)
        return false;
    RegCloseKey(raw);
    return true;
}

inline const GUID kLibid = {0xE5C22796, 0x7B83, 0x4CD3, {0x88, 0xC7, 0xE4, 0xB6, 0x32, 0x15, 0xE5, 0x40}};
inline const GUID kIIDCryptEncMessage = {
    0x0FB9D19C, 0x5E40, 0x4503, {0xA3, 0x81, 0x8B, 0x0C, 0xE5, 0x79, 0xF2, 0x33}};
inline const GUID kIIDMSXmlSigner = {
    0xA5CA66FE, 0xA165, 0x4683, {0x8B, 0xA7, 0x14, 0x87, 0x30, 0x15, 0x2F, 0xED}};
inline const GUID kIIDMSXmlVerifier = {
    0x44CDB0A0, 0x3E52, 0x4B66, {0x96, 0x40, 0xF3, 0xD1, 0x11, 0x08, 0x73, 0x50}};
inline const GUID kIIDXmlSigner = {
    0x63ECEA47, 0xD5A2, 0x4470, {0xB0, 0xE6, 0xB8, 0x69, 0xA4, 0xD3, 0x3B, 0x21}};
inline const GUID kCLSIDXmlSigner = {
    0x3C6084B9, 0xD9AD, 0x4B67, {0x8D, 0x80, 0x5B, 0x79, 0x69, 0xA8, 0x63, 0x64}};

inline const GUID kSampleLibid = {
    0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0xAA}};
inline GUID SampleGuid(uint8_t last)
{
    return {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, last}};
}

} // namespace typelib_test
