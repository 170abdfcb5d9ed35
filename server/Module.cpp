// The module's exports, its class factories and its module-wide state, for
// any module: what differs between modules is its object map (ThisModule).
#include "Module.h"

#include "ObjectMap.h"

#include <libloaderapi.h>
#include <winbase.h>
#include <winnls.h>

#include <dlfcn.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <vector>

namespace trumik::server {

namespace {

class ClassFactory final : public IClassFactory {
  public:
    explicit ClassFactory(ObjectCreator create) : create_(create) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IClassFactory)
            return E_NOINTERFACE;
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    // The module's cache holds one reference; a client holding the factory
    // besides it holds the module too.
    ULONG STDMETHODCALLTYPE AddRef() override
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (++refs_ == 2)
            LockModule();
        return refs_;
    }
    ULONG STDMETHODCALLTYPE Release() override
    {
        ULONG left;
        {
            std::lock_guard<std::mutex> guard(lock_);
            left = --refs_;
            if (left == 1)
                UnlockModule();
        }
        if (left == 0)
            delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override
    {
        if (!ppvObject)
            return E_POINTER;
        *ppvObject = nullptr;
        if (pUnkOuter && riid != IID_IUnknown)
            return CLASS_E_NOAGGREGATION;
        return create_(pUnkOuter, riid, ppvObject);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override
    {
        if (fLock)
            LockModule();
        else
            UnlockModule();
        return S_OK;
    }

  private:
    ObjectCreator create_;
    std::mutex lock_;
    ULONG refs_ = 0;
};

struct GuidLess {
    bool operator()(const GUID& a, const GUID& b) const { return std::memcmp(&a, &b, sizeof a) < 0; }
};

struct ModuleState {
    LONG volatile lockCount = 0;
    std::mutex lock; // guards the lazy creation of class factories and the type information caches
    bool tornDown = false;
    HMODULE module = nullptr;
    std::vector<IUnknown*> factories = std::vector<IUnknown*>(ThisModule().classCount, nullptr);
    ITypeLib* moduleTypeLib = nullptr;
    std::map<GUID, ITypeInfo*, GuidLess> classInfo;
    std::vector<std::function<void()>> atUnload;

    ~ModuleState()
    {
        for (auto it = atUnload.rbegin(); it != atUnload.rend(); ++it)
            (*it)();
        for (IUnknown*& factory : factories) {
            if (factory)
                factory->Release();
            factory = nullptr;
        }
        tornDown = true;
    }
};

ModuleState& State()
{
    static ModuleState state;
    return state;
}

} // namespace

void LockModule()
{
    InterlockedIncrement(&State().lockCount);
}
void UnlockModule()
{
    InterlockedDecrement(&State().lockCount);
}
LONG ModuleLockCount()
{
    // Read as it is written, with an interlocked operation: other threads
    // change it at any time.
    return InterlockedCompareExchange(&State().lockCount, 0, 0);
}

std::u16string ModulePath()
{
    if (HMODULE module = State().module) {
        std::u16string path(1024, u'\0');
        DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (length > 0 && length < path.size()) {
            path.resize(length);
            return path;
        }
    }
    // Loaded without the platform's loader: ask the dynamic linker.
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&ModulePath), &info) || !info.dli_fname)
        return {};
    char resolved[PATH_MAX];
    const char* name = realpath(info.dli_fname, resolved) ? resolved : info.dli_fname;
    std::u16string path;
    int size = MultiByteToWideChar(CP_UTF8, 0, name, -1, nullptr, 0);
    if (size > 0) {
        path.resize(static_cast<size_t>(size));
        MultiByteToWideChar(CP_UTF8, 0, name, -1, path.data(), size);
        path.pop_back();
    }
    return path;
}

void AtModuleUnload(std::function<void()> action)
{
    std::lock_guard<std::mutex> guard(State().lock);
    State().atUnload.push_back(std::move(action));
}

HRESULT ModuleTypeInfo(REFGUID guid, ITypeInfo** info)
{
    *info = nullptr;
    ModuleState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    if (!state.moduleTypeLib) {
        std::u16string path = ModulePath();
        HRESULT hr = LoadTypeLib(path.c_str(), &state.moduleTypeLib);
        if (FAILED(hr))
            return hr;
        state.atUnload.push_back([] {
            if (State().moduleTypeLib)
                State().moduleTypeLib->Release();
            State().moduleTypeLib = nullptr;
        });
    }
    return state.moduleTypeLib->GetTypeInfoOfGuid(guid, info);
}

HRESULT RegisteredClassInfo(REFCLSID clsid, ITypeInfo** info)
{
    *info = nullptr;
    ModuleState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    auto found = state.classInfo.find(clsid);
    if (found == state.classInfo.end()) {
        ITypeLib* typeLib = nullptr;
        HRESULT hr = LoadRegTypeLib(*ThisModule().libid, 1, 0, 0, &typeLib);
        if (FAILED(hr))
            return hr;
        ITypeInfo* classInfo = nullptr;
        hr = typeLib->GetTypeInfoOfGuid(clsid, &classInfo);
        typeLib->Release();
        if (FAILED(hr))
            return hr;
        if (state.classInfo.empty()) {
            state.atUnload.push_back([] {
                for (auto& [key, cached] : State().classInfo)
                    cached->Release();
                State().classInfo.clear();
            });
        }
        found = state.classInfo.emplace(clsid, classInfo).first;
    }
    found->second->AddRef();
    *info = found->second;
    return S_OK;
}

} // namespace trumik::server

using namespace trumik::server;

extern "C" {

WINAPI_EXPORT BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID)
{
    if (fdwReason == 1 /* DLL_PROCESS_ATTACH */)
        State().module = reinterpret_cast<HMODULE>(hinstDLL);
    return TRUE;
}

WINAPI_EXPORT HRESULT WINAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    ModuleState& state = State();
    if (state.tornDown)
        return E_UNEXPECTED;
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    const ModuleDefinition& module = ThisModule();
    size_t index = 0;
    while (index < module.classCount && *module.classes[index].clsid != rclsid)
        ++index;
    if (index == module.classCount)
        return CLASS_E_CLASSNOTAVAILABLE;
    HRESULT hr = S_OK;
    if (!state.factories[index]) {
        std::lock_guard<std::mutex> guard(state.lock);
        if (!state.factories[index]) {
            auto* factory = new (std::nothrow) ClassFactory(module.classes[index].create);
            if (!factory)
                return E_OUTOFMEMORY;
            void* unknown = nullptr;
            hr = factory->QueryInterface(IID_IUnknown, &unknown);
            state.factories[index] = static_cast<IUnknown*>(unknown);
        }
    }
    if (state.factories[index])
        hr = state.factories[index]->QueryInterface(riid, ppv);
    if (!*ppv && SUCCEEDED(hr))
        return CLASS_E_CLASSNOTAVAILABLE;
    return hr;
}

WINAPI_EXPORT HRESULT WINAPI DllCanUnloadNow()
{
    return ModuleLockCount() == 0 ? S_OK : S_FALSE;
}

} // extern "C"
