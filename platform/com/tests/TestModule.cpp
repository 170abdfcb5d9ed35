// A small in-process server for the loader and COM tests. Built three ways:
// the full module, one whose DllMain refuses the attach, and one without
// DllGetClassObject (and without resources).
#include "TestModule.h"

#include "libloaderapi.h"
#include "objbase.h"

#include <atomic>
#include <dlfcn.h>
#include <string>

#ifndef COM_TEST_MODULE_TAG
#define COM_TEST_MODULE_TAG "module"
#endif

namespace {

std::atomic<LONG> g_locks{0};
HINSTANCE g_instance = nullptr;

void Record(const char* event)
{
    auto record = reinterpret_cast<ComTestRecordFn>(::dlsym(RTLD_DEFAULT, COM_TEST_RECORD_SYMBOL));
    if (record)
        record((std::string(COM_TEST_MODULE_TAG ":") + event).c_str());
}

// Static initialisation and clean-up, to see where DllMain falls between them.
struct Lifetime {
    Lifetime() { Record("init"); }
    ~Lifetime() { Record("fini"); }
} g_lifetime;

#ifndef COM_TEST_NO_CLASS_OBJECT
class Calc final : public ITestCalc {
  public:
    Calc() { ++g_locks; }
    ~Calc() { --g_locks; }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != kIidTestCalc)
            return E_NOINTERFACE;
        *ppv = static_cast<ITestCalc*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG left = --refs_;
        if (!left)
            delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE Add(LONG a, LONG b, LONG* sum) override
    {
        *sum = a + b;
        return S_OK;
    }

  private:
    std::atomic<ULONG> refs_{1};
};

class Factory final : public IClassFactory {
  public:
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
    ULONG STDMETHODCALLTYPE AddRef() override
    {
        ++g_locks;
        return 2;
    }
    ULONG STDMETHODCALLTYPE Release() override
    {
        --g_locks;
        return 1;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        auto* calc = new Calc;
        const HRESULT hr = calc->QueryInterface(riid, ppv);
        calc->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override
    {
        lock ? ++g_locks : --g_locks;
        return S_OK;
    }
} g_factory;
#endif

} // namespace

extern "C" __attribute__((visibility("default"))) BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason,
                                                                      LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        g_instance = instance;
        // The loader lets DllMain ask for its own file.
        WCHAR path[MAX_PATH];
        Record(GetModuleFileNameW(instance, path, MAX_PATH) > 0 ? "attach" : "attach-without-file");
#ifdef COM_TEST_REFUSE_ATTACH
        return FALSE;
#endif
    } else if (reason == DLL_PROCESS_DETACH) {
        Record("detach");
    }
    return TRUE;
}

extern "C" __attribute__((visibility("default"))) HINSTANCE TestModuleInstance()
{
    return g_instance;
}

extern "C" __attribute__((visibility("default"))) HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    return g_locks.load() == 0 ? S_OK : S_FALSE;
}

#ifndef COM_TEST_NO_CLASS_OBJECT
extern "C" __attribute__((visibility("default"))) HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid,
                                                                                           REFIID riid,
                                                                                           void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (rclsid != kClsidTestCalc)
        return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(riid, ppv);
}
#endif
