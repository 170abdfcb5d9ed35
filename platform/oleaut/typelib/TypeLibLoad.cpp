// LoadTypeLib and LoadTypeLibEx: a type library file, or the TYPELIB resource
// of a module.
#include "TypeLibInternal.h"
#include "kernel/CodePages.h"

#include "libloaderapi.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <sys/stat.h>

namespace trumik::platform::typelib {
namespace {

// Larger files are not type libraries this platform writes.
constexpr std::streamoff kMaxFileSize = 64 * 1024 * 1024;

bool IsRegularFile(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

struct ModuleCloser {
    void operator()(HINSTANCE__* h) const { FreeLibrary(h); }
};
using ModulePtr = std::unique_ptr<HINSTANCE__, ModuleCloser>;

HRESULT FromModule(const std::u16string& path, WORD resourceId, TypeLibObject** out)
{
    ModulePtr module(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    if (!module)
        return TYPE_E_CANTLOADLIBRARY;
    HRSRC res = FindResourceW(module.get(), MAKEINTRESOURCEW(resourceId), u"TYPELIB");
    if (!res)
        return TYPE_E_CANTLOADLIBRARY;
    HGLOBAL data = LoadResource(module.get(), res);
    const DWORD size = SizeofResource(module.get(), res);
    const void* bytes = data ? LockResource(data) : nullptr;
    if (!bytes)
        return TYPE_E_CANTLOADLIBRARY;
    // The model copies everything it keeps, so the module may go afterwards.
    return LibraryFromBytes(static_cast<const uint8_t*>(bytes), size, out);
}

HRESULT FromFile(const std::string& path, TypeLibObject** out)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in)
        return TYPE_E_CANTLOADLIBRARY;
    const std::streamoff size = in.tellg();
    if (size < 0 || size > kMaxFileSize)
        return TYPE_E_UNSUPFORMAT;
    in.seekg(0);
    std::string bytes(static_cast<size_t>(size), '\0');
    if (!in.read(bytes.data(), size))
        return TYPE_E_CANTLOADLIBRARY;
    return LibraryFromBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), out);
}

enum class FileKind { Missing, TypeLib, Module, Other };

FileKind Classify(const std::string& path)
{
    if (!IsRegularFile(path))
        return FileKind::Missing;
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open())
        return FileKind::Missing;
    char head[4] = {};
    if (!in.read(head, 4))
        return FileKind::Other;
    if (std::equal(head, head + 4, trumik::typelib::kMagic))
        return FileKind::TypeLib;
    if (head[0] == 0x7F && head[1] == 'E' && head[2] == 'L' && head[3] == 'F')
        return FileKind::Module;
    return FileKind::Other;
}

HRESULT Load(LPCOLESTR szFile, TypeLibObject** out)
{
    *out = nullptr;
    std::u16string path(szFile);
    std::string native;
    if (path.empty() || !trumik::platform::Utf16ToUtf8Strict(path, native))
        return TYPE_E_CANTLOADLIBRARY;
    WORD resourceId = 1;
    FileKind kind = Classify(native);
    if (kind == FileKind::Missing) {
        // "module\N": resource N of the module.
        const size_t slash = path.find_last_of(u'\\');
        if (slash == std::u16string::npos || slash == 0 || slash + 1 == path.size() ||
            path.size() - slash > 6)
            return TYPE_E_CANTLOADLIBRARY;
        uint32_t id = 0;
        for (size_t i = slash + 1; i < path.size(); ++i) {
            if (path[i] < u'0' || path[i] > u'9')
                return TYPE_E_CANTLOADLIBRARY;
            id = id * 10 + (path[i] - u'0');
        }
        if (id == 0 || id > 0xFFFF)
            return TYPE_E_CANTLOADLIBRARY;
        path.resize(slash);
        if (!trumik::platform::Utf16ToUtf8Strict(path, native))
            return TYPE_E_CANTLOADLIBRARY;
        kind = Classify(native);
        if (kind == FileKind::Missing)
            return TYPE_E_CANTLOADLIBRARY;
        resourceId = static_cast<WORD>(id);
    }
    switch (kind) {
    case FileKind::TypeLib:
        return resourceId == 1 ? FromFile(native, out) : TYPE_E_CANTLOADLIBRARY;
    case FileKind::Module:
        return FromModule(path, resourceId, out);
    default:
        return TYPE_E_CANTLOADLIBRARY;
    }
}

} // namespace
} // namespace trumik::platform::typelib

using namespace trumik::platform::typelib;

WINAPI_EXPORT HRESULT WINAPI LoadTypeLibEx(LPCOLESTR szFile, REGKIND regkind, ITypeLib** pptlib)
{
    if (!pptlib)
        return E_INVALIDARG;
    *pptlib = nullptr;
    if (!szFile)
        return E_INVALIDARG;
    if (regkind != REGKIND_DEFAULT && regkind != REGKIND_REGISTER && regkind != REGKIND_NONE)
        return E_INVALIDARG;
    TypeLibObject* lib = nullptr;
    HRESULT hr = Load(szFile, &lib);
    if (FAILED(hr))
        return hr;
    if (regkind == REGKIND_REGISTER) {
        hr = RegisterTypeLib(lib, szFile, nullptr);
        if (FAILED(hr)) {
            lib->Release();
            return hr;
        }
    }
    *pptlib = lib;
    return S_OK;
}

WINAPI_EXPORT HRESULT WINAPI LoadTypeLib(LPCOLESTR szFile, ITypeLib** pptlib)
{
    return LoadTypeLibEx(szFile, REGKIND_NONE, pptlib);
}
