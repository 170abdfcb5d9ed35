// COM initialisation and the activation of in-process servers: a CLSID names
// its module in HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32; the module is
// loaded once, asked for the class object through DllGetClassObject, and kept
// until its DllCanUnloadNow agrees to be unloaded.
#include "com/ComInternal.h"

#include "kernel/CodePages.h"
#include "libloaderapi.h"
#include "winbase.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <sys/random.h>
#include <vector>

using namespace trumik::platform::com;

namespace trumik::platform::com {

namespace {

constexpr char16_t kHex[] = u"0123456789ABCDEF";

int HexValue(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

} // namespace

std::u16string GuidToString(const GUID& guid)
{
    std::u16string out;
    out.reserve(38);
    auto put = [&](uint64_t value, int digits) {
        for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
            out.push_back(kHex[(value >> shift) & 0xF]);
    };
    out.push_back(u'{');
    put(guid.Data1, 8);
    out.push_back(u'-');
    put(guid.Data2, 4);
    out.push_back(u'-');
    put(guid.Data3, 4);
    out.push_back(u'-');
    put(guid.Data4[0], 2);
    put(guid.Data4[1], 2);
    out.push_back(u'-');
    for (int i = 2; i < 8; ++i)
        put(guid.Data4[i], 2);
    out.push_back(u'}');
    return out;
}

bool ParseGuid(const char16_t* text, GUID* guid)
{
    if (!text)
        return false;
    // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
    static constexpr char kPattern[] = "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}";
    uint8_t nibbles[32];
    int n = 0;
    for (int i = 0; i < 38; ++i) {
        const char16_t c = text[i];
        if (kPattern[i] == 'x') {
            const int v = HexValue(c);
            if (v < 0)
                return false;
            nibbles[n++] = static_cast<uint8_t>(v);
        } else if (c != static_cast<char16_t>(kPattern[i])) {
            return false;
        }
    }
    if (text[38] != u'\0')
        return false;
    auto take = [&](int from, int count) {
        uint32_t value = 0;
        for (int i = 0; i < count; ++i)
            value = (value << 4) | nibbles[from + i];
        return value;
    };
    guid->Data1 = take(0, 8);
    guid->Data2 = static_cast<uint16_t>(take(8, 4));
    guid->Data3 = static_cast<uint16_t>(take(12, 4));
    for (int i = 0; i < 8; ++i)
        guid->Data4[i] = static_cast<uint8_t>(take(16 + i * 2, 2));
    return true;
}

bool ReadClassesRootString(const std::u16string& path, std::u16string* value, bool* keyExists)
{
    if (keyExists)
        *keyExists = false;
    HKEY raw = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_QUERY_VALUE, &raw) != ERROR_SUCCESS)
        return false;
    KeyGuard key(raw);
    if (keyExists)
        *keyExists = true;
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key.get(), nullptr, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    std::u16string text(size / sizeof(char16_t) + 1, u'\0');
    DWORD bytes = static_cast<DWORD>(text.size() * sizeof(char16_t));
    if (RegQueryValueExW(key.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &bytes) !=
        ERROR_SUCCESS)
        return false;
    text.resize(bytes / sizeof(char16_t));
    while (!text.empty() && text.back() == u'\0')
        text.pop_back();
    *value = std::move(text);
    return true;
}

} // namespace trumik::platform::com

namespace {

// Per thread: how many times COM was initialised, and in which model.
struct ThreadApartment {
    unsigned count = 0;
    bool multithreaded = false;
};
thread_local ThreadApartment t_apartment;

std::atomic<int> g_initialisedThreads{0};
std::atomic<int> g_multithreadedThreads{0};

// A thread that did not initialise COM may still activate classes while any
// thread holds the multithreaded apartment open, as on Windows.
bool ComReady()
{
    return t_apartment.count > 0 || g_multithreadedThreads.load() > 0;
}

struct InprocServer {
    HMODULE module;
    LPFNCANUNLOADNOW canUnloadNow; // null: never unloaded
};

struct ServerTable {
    // Activation and unloading are serialised, so no module is unloaded
    // while a class object is being obtained from it.
    std::recursive_mutex lock;
    std::vector<InprocServer> servers;
};

ServerTable& Servers()
{
    static ServerTable table;
    return table;
}

void FreeUnusedServers()
{
    ServerTable& table = Servers();
    std::lock_guard guard(table.lock);
    for (size_t i = 0; i < table.servers.size();) {
        InprocServer server = table.servers[i];
        if (server.canUnloadNow && server.canUnloadNow() == S_OK) {
            table.servers.erase(table.servers.begin() + static_cast<std::ptrdiff_t>(i));
            FreeLibrary(server.module);
        } else {
            ++i;
        }
    }
}

// Environment references (%NAME%) in a REG_EXPAND_SZ path.
std::u16string ExpandEnvironment(const std::u16string& text)
{
    std::u16string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u'%') {
            const size_t end = text.find(u'%', i + 1);
            if (end != std::u16string::npos && end > i + 1) {
                std::string name;
                for (size_t j = i + 1; j < end; ++j)
                    name.push_back(static_cast<char>(text[j] < 0x80 ? text[j] : '?'));
                if (const char* value = std::getenv(name.c_str())) {
                    out += trumik::platform::Utf8ToUtf16(value);
                    i = end;
                    continue;
                }
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

HRESULT InprocServerPath(REFCLSID rclsid, std::u16string* path)
{
    const std::u16string clsidKey = u"CLSID\\" + GuidToString(rclsid);
    std::u16string value;
    if (!ReadClassesRootString(clsidKey + u"\\InprocServer32", &value) || value.empty())
        return REGDB_E_CLASSNOTREG;
    value = ExpandEnvironment(value);
    if (value.size() >= 2 && value.front() == u'"' && value.back() == u'"')
        value = value.substr(1, value.size() - 2);
    *path = std::move(value);
    return S_OK;
}

HRESULT GetInprocClassObject(REFCLSID rclsid, REFIID riid, void** ppv)
{
    std::u16string path;
    if (HRESULT hr = InprocServerPath(rclsid, &path); FAILED(hr))
        return hr;

    ServerTable& table = Servers();
    std::lock_guard guard(table.lock);
    HMODULE module = LoadLibraryW(path.c_str());
    if (!module) {
        const DWORD error = GetLastError();
        return HRESULT_FROM_WIN32(error ? error : ERROR_MOD_NOT_FOUND);
    }
    auto getClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(GetProcAddress(module, "DllGetClassObject"));
    if (!getClassObject) {
        FreeLibrary(module);
        return CO_E_ERRORINDLL;
    }
    bool tracked = false;
    for (const InprocServer& server : table.servers)
        tracked = tracked || server.module == module;
    if (tracked) {
        // The table holds one reference per server; drop this load's.
        FreeLibrary(module);
    } else {
        auto canUnloadNow = reinterpret_cast<LPFNCANUNLOADNOW>(GetProcAddress(module, "DllCanUnloadNow"));
        table.servers.push_back({module, canUnloadNow});
    }
    HRESULT hr = getClassObject(rclsid, riid, ppv);
    if (SUCCEEDED(hr) && !*ppv)
        hr = E_UNEXPECTED;
    return hr;
}

struct UnknownReleaser {
    void operator()(IUnknown* object) const
    {
        if (object)
            object->Release();
    }
};

} // namespace

WINAPI_EXPORT HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit)
{
    if (pvReserved)
        return E_INVALIDARG;
    const bool multithreaded = (dwCoInit & COINIT_APARTMENTTHREADED) == 0;
    ThreadApartment& apartment = t_apartment;
    if (apartment.count > 0) {
        if (apartment.multithreaded != multithreaded)
            return RPC_E_CHANGED_MODE;
        ++apartment.count;
        return S_FALSE;
    }
    apartment.count = 1;
    apartment.multithreaded = multithreaded;
    ++g_initialisedThreads;
    if (multithreaded)
        ++g_multithreadedThreads;
    return S_OK;
}

WINAPI_EXPORT HRESULT WINAPI CoInitialize(LPVOID pvReserved)
{
    return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED);
}

WINAPI_EXPORT void WINAPI CoUninitialize(void)
{
    ThreadApartment& apartment = t_apartment;
    if (apartment.count == 0)
        return;
    if (--apartment.count > 0)
        return;
    if (apartment.multithreaded)
        --g_multithreadedThreads;
    // When the last apartment closes, servers that agree to go are unloaded.
    if (--g_initialisedThreads == 0)
        FreeUnusedServers();
}

WINAPI_EXPORT HRESULT WINAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved,
                                              REFIID riid, LPVOID* ppv)
{
    (void)pvReserved; // server information: only in-process servers here
    if (!ppv)
        return E_INVALIDARG;
    *ppv = nullptr;
    if (!ComReady())
        return CO_E_NOTINITIALIZED;
    if (!(dwClsContext & CLSCTX_INPROC_SERVER))
        return REGDB_E_CLASSNOTREG;
    HRESULT hr = S_OK;
    if (GetBuiltinClassObject(rclsid, riid, ppv, &hr))
        return hr;
    return GetInprocClassObject(rclsid, riid, ppv);
}

WINAPI_EXPORT HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext,
                                              REFIID riid, LPVOID* ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    IClassFactory* raw = nullptr;
    HRESULT hr =
        CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory, reinterpret_cast<void**>(&raw));
    if (FAILED(hr))
        return hr;
    std::unique_ptr<IClassFactory, UnknownReleaser> factory(raw);
    return factory->CreateInstance(pUnkOuter, riid, ppv);
}

WINAPI_EXPORT void WINAPI CoFreeUnusedLibraries(void)
{
    FreeUnusedServers();
}

WINAPI_EXPORT void WINAPI CoFreeUnusedLibrariesEx(DWORD, DWORD)
{
    FreeUnusedServers();
}

namespace {

bool ReadProgIdClsid(const std::u16string& progId, CLSID* clsid)
{
    std::u16string text;
    return ReadClassesRootString(progId + u"\\CLSID", &text) && ParseGuid(text.c_str(), clsid);
}

bool ResolveProgId(const std::u16string& progId, CLSID* clsid, int depth)
{
    // The current version's ProgID wins over the version-independent one's
    // own CLSID.
    std::u16string current;
    if (depth < 8 && ReadClassesRootString(progId + u"\\CurVer", &current) && !current.empty() &&
        current != progId && current.find(u'\\') == std::u16string::npos &&
        ResolveProgId(current, clsid, depth + 1))
        return true;
    return ReadProgIdClsid(progId, clsid);
}

} // namespace

WINAPI_EXPORT HRESULT WINAPI CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid)
{
    if (!lpszProgID || !lpclsid)
        return E_INVALIDARG;
    std::memset(lpclsid, 0, sizeof *lpclsid);
    const std::u16string progId = lpszProgID;
    if (progId.empty() || progId.find(u'\\') != std::u16string::npos)
        return CO_E_CLASSSTRING;
    CLSID clsid{};
    if (!ResolveProgId(progId, &clsid, 0))
        return CO_E_CLASSSTRING;
    *lpclsid = clsid;
    return S_OK;
}

WINAPI_EXPORT HRESULT WINAPI CLSIDFromProgIDEx(LPCOLESTR lpszProgID, LPCLSID lpclsid)
{
    return CLSIDFromProgID(lpszProgID, lpclsid);
}

WINAPI_EXPORT HRESULT WINAPI ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID)
{
    if (!lplpszProgID)
        return E_INVALIDARG;
    *lplpszProgID = nullptr;
    std::u16string progId;
    if (!ReadClassesRootString(u"CLSID\\" + GuidToString(clsid) + u"\\ProgID", &progId) || progId.empty())
        return REGDB_E_CLASSNOTREG;
    auto* out = static_cast<LPOLESTR>(CoTaskMemAlloc((progId.size() + 1) * sizeof(OLECHAR)));
    if (!out)
        return E_OUTOFMEMORY;
    std::memcpy(out, progId.c_str(), (progId.size() + 1) * sizeof(OLECHAR));
    *lplpszProgID = out;
    return S_OK;
}

WINAPI_EXPORT HRESULT WINAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid)
{
    if (!pclsid)
        return E_INVALIDARG;
    std::memset(pclsid, 0, sizeof *pclsid);
    if (!lpsz)
        return S_OK;
    if (lpsz[0] == u'{')
        return ParseGuid(lpsz, pclsid) ? S_OK : CO_E_CLASSSTRING;
    return SUCCEEDED(CLSIDFromProgID(lpsz, pclsid)) ? S_OK : CO_E_CLASSSTRING;
}

WINAPI_EXPORT HRESULT WINAPI IIDFromString(LPCOLESTR lpsz, LPIID lpiid)
{
    if (!lpiid)
        return E_INVALIDARG;
    std::memset(lpiid, 0, sizeof *lpiid);
    if (!lpsz)
        return S_OK;
    IID iid{};
    if (!ParseGuid(lpsz, &iid))
        return E_INVALIDARG;
    *lpiid = iid;
    return S_OK;
}

WINAPI_EXPORT int WINAPI StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax)
{
    if (!lpsz || cchMax < 39)
        return 0;
    const std::u16string text = GuidToString(rguid);
    std::memcpy(lpsz, text.c_str(), (text.size() + 1) * sizeof(OLECHAR));
    return 39;
}

WINAPI_EXPORT HRESULT WINAPI StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz)
{
    if (!lplpsz)
        return E_INVALIDARG;
    *lplpsz = static_cast<LPOLESTR>(CoTaskMemAlloc(39 * sizeof(OLECHAR)));
    if (!*lplpsz)
        return E_OUTOFMEMORY;
    StringFromGUID2(rclsid, *lplpsz, 39);
    return S_OK;
}

WINAPI_EXPORT HRESULT WINAPI StringFromIID(REFIID rclsid, LPOLESTR* lplpsz)
{
    return StringFromCLSID(rclsid, lplpsz);
}

WINAPI_EXPORT HRESULT WINAPI CoCreateGuid(GUID* pguid)
{
    if (!pguid)
        return E_INVALIDARG;
    uint8_t bytes[16];
    size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0)
            return HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY);
        got += static_cast<size_t>(n);
    }
    std::memcpy(pguid, bytes, sizeof bytes);
    // RFC 4122 version 4 (random), variant 10.
    pguid->Data3 = static_cast<uint16_t>((pguid->Data3 & 0x0FFF) | 0x4000);
    pguid->Data4[0] = static_cast<uint8_t>((pguid->Data4[0] & 0x3F) | 0x80);
    return S_OK;
}

// Task memory: the C heap, so that any module of the process frees what
// another allocated.
WINAPI_EXPORT LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb)
{
    return std::malloc(cb ? cb : 1);
}

WINAPI_EXPORT LPVOID WINAPI CoTaskMemRealloc(LPVOID pv, SIZE_T cb)
{
    if (pv && cb == 0) {
        std::free(pv);
        return nullptr;
    }
    return std::realloc(pv, cb ? cb : 1);
}

WINAPI_EXPORT void WINAPI CoTaskMemFree(LPVOID pv)
{
    std::free(pv);
}
