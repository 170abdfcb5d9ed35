// Shared libraries under the Win32 loader's rules. A module handle is a record
// of our own (the dlopen handle, the file path, the reference count), so that
// handles can be named, counted and asked for their file. DllMain sees process
// attach after the library's static initialisation (dlopen has run it) and
// process detach before dlclose runs the static clean-up.
#include "com/ModuleLoader.h"

#include "kernel/CodePages.h"
#include "libloaderapi.h"
#include "winbase.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <filesystem>
#include <link.h>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using trumik::platform::Utf16ToUtf8;
using trumik::platform::Utf8ToUtf16;

namespace trumik::platform::com {

namespace {

struct DlCloser {
    void operator()(void* handle) const
    {
        if (handle)
            ::dlclose(handle);
    }
};
using DlHandle = std::unique_ptr<void, DlCloser>;

struct Module {
    DlHandle dl;
    const link_map* map = nullptr;
    std::string path; // UTF-8, absolute
    unsigned refs = 0;
    // The executable, libraries the process loaded by itself, pinned modules:
    // never unloaded, FreeLibrary leaves them alone.
    bool permanent = false;
    // Process attach has been delivered (or was not ours to deliver).
    bool attached = false;
    PDLL_MAIN dllMain = nullptr;
    const TRUMIK_RESOURCE_ENTRY* resources = nullptr;
};

struct Loader {
    std::recursive_mutex lock;
    std::vector<std::unique_ptr<Module>> modules;
    Module* executable = nullptr;

    ~Loader()
    {
        // At process exit the libraries stay mapped: their own clean-up runs
        // from the system loader, in dependency order, not from here.
        for (auto& module : modules)
            (void)module->dl.release();
    }
};

Loader& TheLoader()
{
    static Loader loader;
    return loader;
}

HMODULE HandleOf(Module* module)
{
    return reinterpret_cast<HMODULE>(module);
}

Module* Find(Loader& loader, HMODULE handle)
{
    for (auto& module : loader.modules)
        if (HandleOf(module.get()) == handle)
            return module.get();
    return nullptr;
}

Module* FindByMap(Loader& loader, const link_map* map)
{
    for (auto& module : loader.modules)
        if (module->map == map)
            return module.get();
    return nullptr;
}

const link_map* LinkMapOf(void* dl)
{
    link_map* map = nullptr;
    if (::dlinfo(dl, RTLD_DI_LINKMAP, &map) != 0)
        return nullptr;
    return map;
}

// A symbol defined by this object itself, not by one of its dependencies.
void* OwnSymbol(void* dl, const link_map* map, const char* name)
{
    void* symbol = ::dlsym(dl, name);
    if (!symbol)
        return nullptr;
    Dl_info info{};
    link_map* owner = nullptr;
    if (!::dladdr1(symbol, &info, reinterpret_cast<void**>(&owner), RTLD_DL_LINKMAP) || owner != map)
        return nullptr;
    return symbol;
}

void ReadExports(Module& module)
{
    module.dllMain = reinterpret_cast<PDLL_MAIN>(OwnSymbol(module.dl.get(), module.map, "DllMain"));
    module.resources = static_cast<const TRUMIK_RESOURCE_ENTRY*>(
        OwnSymbol(module.dl.get(), module.map, TRUMIK_RESOURCE_TABLE_SYMBOL));
}

std::string ExecutablePath()
{
    std::vector<char> buffer(4096);
    for (;;) {
        ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0)
            return {};
        if (static_cast<size_t>(n) < buffer.size())
            return std::string(buffer.data(), static_cast<size_t>(n));
        buffer.resize(buffer.size() * 2);
    }
}

Module* Executable(Loader& loader)
{
    if (loader.executable)
        return loader.executable;
    auto module = std::make_unique<Module>();
    module->dl.reset(::dlopen(nullptr, RTLD_NOW));
    if (!module->dl)
        return nullptr;
    module->map = LinkMapOf(module->dl.get());
    module->path = ExecutablePath();
    module->permanent = true;
    module->attached = true;
    ReadExports(*module);
    module->dllMain = nullptr; // the executable gets no notifications
    loader.executable = module.get();
    loader.modules.push_back(std::move(module));
    return loader.executable;
}

bool DebugLoader()
{
    static const bool on = std::getenv("TRUMIK_DEBUG_LOADER") != nullptr;
    return on;
}

bool FileExists(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

bool HasExtension(const std::string& name)
{
    return std::filesystem::path(name).has_extension();
}

std::string Absolute(const std::string& path)
{
    std::error_code ec;
    auto absolute = std::filesystem::absolute(path, ec);
    if (ec)
        return path;
    return absolute.lexically_normal().string();
}

// The folder of the platform library itself.
std::string PlatformDir()
{
    Dl_info info{};
    if (!::dladdr(reinterpret_cast<void*>(&LoadLibraryW), &info) || !info.dli_fname)
        return {};
    return std::filesystem::path(Absolute(info.dli_fname)).parent_path().string();
}

// What to hand to dlopen, in order: a path is taken as it is (made absolute);
// a bare name is looked for beside the platform library, then left to the
// system loader's search. A name without an extension also tries ".so", as
// the Windows loader appends ".dll".
std::vector<std::string> Candidates(const std::string& name)
{
    std::vector<std::string> out;
    const bool bare = name.find('/') == std::string::npos;
    std::vector<std::string> names{name};
    if (!HasExtension(name))
        names.push_back(name + ".so");
    if (!bare) {
        for (auto& n : names)
            out.push_back(Absolute(n));
        return out;
    }
    const std::string dir = PlatformDir();
    if (!dir.empty())
        for (auto& n : names)
            out.push_back(dir + "/" + n);
    for (auto& n : names)
        out.push_back(n);
    return out;
}

bool SamePath(const std::string& a, const std::string& b)
{
    if (a == b)
        return true;
    std::error_code ec;
    return std::filesystem::equivalent(a, b, ec) && !ec;
}

// Does a module name given to GetModuleHandleW name this file?
bool NameMatches(const std::string& query, const std::string& path)
{
    if (path.empty())
        return false;
    if (query.find('/') != std::string::npos) {
        if (SamePath(Absolute(query), path))
            return true;
        return !HasExtension(query) && SamePath(Absolute(query + ".so"), path);
    }
    const std::string base = std::filesystem::path(path).filename().string();
    return base == query || (!HasExtension(query) && base == query + ".so");
}

struct FoundObject {
    std::string path;
    const link_map* map;
};

// A library the process holds without our loader (linked in, or opened by
// someone else), by name or path.
bool FindForeignObject(const std::string& query, FoundObject* found)
{
    for (const link_map* map = LinkMapOf(Executable(TheLoader())->dl.get()); map; map = map->l_next) {
        if (!map->l_name || !*map->l_name)
            continue;
        if (NameMatches(query, map->l_name)) {
            found->path = map->l_name;
            found->map = map;
            return true;
        }
    }
    return false;
}

Module* AdoptForeign(Loader& loader, const std::string& path)
{
    DlHandle dl(::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD));
    if (!dl)
        return nullptr;
    const link_map* map = LinkMapOf(dl.get());
    if (Module* existing = FindByMap(loader, map))
        return existing;
    auto module = std::make_unique<Module>();
    module->dl = std::move(dl);
    module->map = map;
    module->path = path;
    module->permanent = true;
    module->attached = true;
    ReadExports(*module);
    loader.modules.push_back(std::move(module));
    return loader.modules.back().get();
}

void Attach(Loader& loader, Module& module, bool* ok)
{
    *ok = true;
    if (module.attached)
        return;
    module.attached = true;
    if (!module.dllMain)
        return;
    if (module.dllMain(HandleOf(&module), DLL_PROCESS_ATTACH, nullptr))
        return;
    // A refused attach is followed by a detach, and the library is unloaded.
    module.dllMain(HandleOf(&module), DLL_PROCESS_DETACH, nullptr);
    *ok = false;
    auto it = std::find_if(loader.modules.begin(), loader.modules.end(),
                           [&](const std::unique_ptr<Module>& m) { return m.get() == &module; });
    if (it != loader.modules.end()) {
        std::unique_ptr<Module> doomed = std::move(*it);
        loader.modules.erase(it);
    }
}

HMODULE Load(LPCWSTR fileName, DWORD flags)
{
    if (!fileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::string name = Utf16ToUtf8(fileName);
    if (name.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    const bool dataOnly = (flags & (LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE |
                                    LOAD_LIBRARY_AS_IMAGE_RESOURCE | DONT_RESOLVE_DLL_REFERENCES)) != 0;

    Loader& loader = TheLoader();
    std::lock_guard guard(loader.lock);
    DWORD failure = ERROR_MOD_NOT_FOUND;
    for (const std::string& candidate : Candidates(name)) {
        const bool isPath = candidate.find('/') != std::string::npos;
        if (isPath && !FileExists(candidate))
            continue;
        DlHandle dl(::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL));
        if (!dl) {
            const char* reason = ::dlerror();
            if (DebugLoader())
                std::fprintf(stderr, "LoadLibrary %s: %s\n", candidate.c_str(), reason ? reason : "");
            // A file that is there but is no loadable image; a missing
            // dependency stays "module not found", as on Windows.
            if (isPath && reason && (std::strstr(reason, "ELF") || std::strstr(reason, "file too short")))
                failure = ERROR_BAD_EXE_FORMAT;
            continue;
        }
        const link_map* map = LinkMapOf(dl.get());
        if (Module* existing = FindByMap(loader, map)) {
            // One dlopen reference per record; the record counts the loads.
            dl.reset();
            if (!existing->permanent)
                ++existing->refs;
            bool ok = true;
            if (!dataOnly)
                Attach(loader, *existing, &ok);
            if (!ok) {
                SetLastError(ERROR_DLL_INIT_FAILED);
                return nullptr;
            }
            return HandleOf(existing);
        }
        auto module = std::make_unique<Module>();
        module->dl = std::move(dl);
        module->map = map;
        module->path =
            (!isPath && map && map->l_name && map->l_name[0] == '/') ? std::string(map->l_name) : candidate;
        module->refs = 1;
        ReadExports(*module);
        Module* raw = module.get();
        loader.modules.push_back(std::move(module));
        bool ok = true;
        if (!dataOnly)
            Attach(loader, *raw, &ok);
        if (!ok) {
            SetLastError(ERROR_DLL_INIT_FAILED);
            return nullptr;
        }
        return HandleOf(raw);
    }
    SetLastError(failure);
    return nullptr;
}

Module* FindByName(Loader& loader, LPCWSTR moduleName)
{
    if (!moduleName)
        return Executable(loader);
    const std::string query = Utf16ToUtf8(moduleName);
    if (query.empty())
        return nullptr;
    Executable(loader);
    for (auto& module : loader.modules)
        if (NameMatches(query, module->path))
            return module.get();
    FoundObject found;
    if (FindForeignObject(query, &found)) {
        if (Module* existing = FindByMap(loader, found.map))
            return existing;
        return AdoptForeign(loader, found.path);
    }
    return nullptr;
}

Module* FindByAddress(Loader& loader, const void* address)
{
    Dl_info info{};
    link_map* map = nullptr;
    if (!::dladdr1(address, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) || !map)
        return nullptr;
    Module* executable = Executable(loader);
    if (executable && executable->map == map)
        return executable;
    if (Module* existing = FindByMap(loader, map))
        return existing;
    if (!map->l_name || !*map->l_name)
        return nullptr;
    return AdoptForeign(loader, map->l_name);
}

} // namespace

bool ResourceTableOf(HMODULE handle, const TRUMIK_RESOURCE_ENTRY** table)
{
    Loader& loader = TheLoader();
    std::lock_guard guard(loader.lock);
    Module* module = handle ? Find(loader, handle) : Executable(loader);
    *table = module ? module->resources : nullptr;
    return module != nullptr;
}

HMODULE ModuleOfResource(const TRUMIK_RESOURCE_ENTRY* entry)
{
    Loader& loader = TheLoader();
    std::lock_guard guard(loader.lock);
    Executable(loader);
    for (auto& module : loader.modules) {
        for (const TRUMIK_RESOURCE_ENTRY* e = module->resources; e && e->type; ++e)
            if (e == entry)
                return HandleOf(module.get());
    }
    return nullptr;
}

std::string ResolveModulePath(const std::u16string& name)
{
    const std::string utf8 = Utf16ToUtf8(name);
    if (utf8.empty())
        return {};
    for (const std::string& candidate : Candidates(utf8))
        if (candidate.find('/') != std::string::npos && FileExists(candidate))
            return candidate;
    return {};
}

} // namespace trumik::platform::com

using namespace trumik::platform::com;

WINAPI_EXPORT HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName)
{
    return Load(lpLibFileName, 0);
}

WINAPI_EXPORT HMODULE WINAPI LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE hFile, DWORD dwFlags)
{
    constexpr DWORD known = DONT_RESOLVE_DLL_REFERENCES | LOAD_LIBRARY_AS_DATAFILE |
                            LOAD_WITH_ALTERED_SEARCH_PATH | LOAD_IGNORE_CODE_AUTHZ_LEVEL |
                            LOAD_LIBRARY_AS_IMAGE_RESOURCE | LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE |
                            LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;
    if (hFile || (dwFlags & ~known)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return Load(lpLibFileName, dwFlags);
}

WINAPI_EXPORT BOOL WINAPI FreeLibrary(HMODULE hLibModule)
{
    Loader& loader = TheLoader();
    std::lock_guard guard(loader.lock);
    Module* module = hLibModule ? Find(loader, hLibModule) : nullptr;
    if (!module) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (module->permanent || --module->refs > 0)
        return TRUE;
    if (module->attached && module->dllMain)
        module->dllMain(hLibModule, DLL_PROCESS_DETACH, nullptr);
    auto it = std::find_if(loader.modules.begin(), loader.modules.end(),
                           [&](const std::unique_ptr<Module>& m) { return m.get() == module; });
    if (it != loader.modules.end()) {
        std::unique_ptr<Module> doomed = std::move(*it);
        loader.modules.erase(it);
        // doomed closes the library here, running its static clean-up.
    }
    return TRUE;
}

WINAPI_EXPORT FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    Loader& loader = TheLoader();
    std::lock_guard guard(loader.lock);
    Module* module = hModule ? Find(loader, hModule) : Executable(loader);
    if (!module) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    if (!lpProcName || IS_INTRESOURCE(lpProcName) || !*lpProcName) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    void* symbol = OwnSymbol(module->dl.get(), module->map, lpProcName);
    if (!symbol) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

WINAPI_EXPORT DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize)
{
    std::u16string path;
    {
        Loader& loader = TheLoader();
        std::lock_guard guard(loader.lock);
        Module* module = hModule ? Find(loader, hModule) : Executable(loader);
        if (!module) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        path = Utf8ToUtf16(module->path);
    }
    if (!lpFilename && nSize) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (path.size() < nSize) {
        std::memcpy(lpFilename, path.data(), path.size() * sizeof(WCHAR));
        lpFilename[path.size()] = u'\0';
        return static_cast<DWORD>(path.size());
    }
    // Too small: as much as fits, NUL-terminated, and the buffer's size.
    if (nSize) {
        std::memcpy(lpFilename, path.data(), (nSize - 1) * sizeof(WCHAR));
        lpFilename[nSize - 1] = u'\0';
    }
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
}

WINAPI_EXPORT HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName)
{
    Loader& loader = TheLoader();
    std::lock_guard guard(loader.lock);
    Module* module = FindByName(loader, lpModuleName);
    if (!module) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return HandleOf(module);
}

WINAPI_EXPORT BOOL WINAPI GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule)
{
    constexpr DWORD known = GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT |
                            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS;
    if (phModule)
        *phModule = nullptr;
    if (!phModule || (dwFlags & ~known) ||
        ((dwFlags & GET_MODULE_HANDLE_EX_FLAG_PIN) &&
         (dwFlags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Loader& loader = TheLoader();
    std::lock_guard guard(loader.lock);
    Module* module = (dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS)
                         ? FindByAddress(loader, reinterpret_cast<const void*>(lpModuleName))
                         : FindByName(loader, lpModuleName);
    if (!module) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    if (dwFlags & GET_MODULE_HANDLE_EX_FLAG_PIN)
        module->permanent = true;
    else if (!(dwFlags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT) && !module->permanent)
        ++module->refs;
    *phModule = HandleOf(module);
    return TRUE;
}

WINAPI_EXPORT BOOL WINAPI DisableThreadLibraryCalls(HMODULE)
{
    return TRUE;
}
