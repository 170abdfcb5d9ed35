// COM: initialisation, activation of in-process servers through
// HKEY_CLASSES_ROOT\CLSID, ProgIDs, GUID strings and task memory.
#pragma once

#include "unknwn.h"

#ifndef RPC_E_CHANGED_MODE
#define RPC_E_CHANGED_MODE _HRESULT_TYPEDEF_(0x80010106L)
#endif
#ifndef CO_E_APPNOTFOUND
#define CO_E_APPNOTFOUND _HRESULT_TYPEDEF_(0x800401F5L)
#endif

typedef enum tagCOINIT {
    COINIT_MULTITHREADED = 0x0,
    COINIT_APARTMENTTHREADED = 0x2,
    COINIT_DISABLE_OLE1DDE = 0x4,
    COINIT_SPEED_OVER_MEMORY = 0x8,
} COINIT;

typedef enum tagCLSCTX {
    CLSCTX_INPROC_SERVER = 0x1,
    CLSCTX_INPROC_HANDLER = 0x2,
    CLSCTX_LOCAL_SERVER = 0x4,
    CLSCTX_INPROC_SERVER16 = 0x8,
    CLSCTX_REMOTE_SERVER = 0x10,
    CLSCTX_INPROC_HANDLER16 = 0x20,
    CLSCTX_NO_CODE_DOWNLOAD = 0x400,
    CLSCTX_NO_CUSTOM_MARSHAL = 0x1000,
    CLSCTX_ENABLE_CODE_DOWNLOAD = 0x2000,
    CLSCTX_NO_FAILURE_LOG = 0x4000,
    CLSCTX_DISABLE_AAA = 0x8000,
    CLSCTX_ENABLE_AAA = 0x10000,
    CLSCTX_FROM_DEFAULT_CONTEXT = 0x20000,
    CLSCTX_ACTIVATE_32_BIT_SERVER = 0x40000,
    CLSCTX_ACTIVATE_64_BIT_SERVER = 0x80000,
} CLSCTX;
#define CLSCTX_INPROC (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)
#define CLSCTX_SERVER (CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)

// The exports of an in-process server.
typedef HRESULT(STDAPICALLTYPE* LPFNGETCLASSOBJECT)(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
typedef HRESULT(STDAPICALLTYPE* LPFNCANUNLOADNOW)(void);

// S_OK on a thread's first call, S_FALSE on the later ones (each to be
// matched by CoUninitialize); RPC_E_CHANGED_MODE for the other apartment model.
WINAPI_EXPORT HRESULT WINAPI CoInitialize(LPVOID pvReserved);
WINAPI_EXPORT HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
WINAPI_EXPORT void WINAPI CoUninitialize(void);

// In-process servers only: HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32
// names the module; it stays loaded until CoFreeUnusedLibraries finds that
// its DllCanUnloadNow returns S_OK.
WINAPI_EXPORT HRESULT WINAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved,
                                              REFIID riid, LPVOID* ppv);
WINAPI_EXPORT HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext,
                                              REFIID riid, LPVOID* ppv);
WINAPI_EXPORT void WINAPI CoFreeUnusedLibraries(void);
WINAPI_EXPORT void WINAPI CoFreeUnusedLibrariesEx(DWORD dwUnloadDelay, DWORD dwReserved);

// ProgIDs: HKEY_CLASSES_ROOT\<ProgID>\CLSID, following CurVer to the current
// version's ProgID when there is one.
WINAPI_EXPORT HRESULT WINAPI CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid);
WINAPI_EXPORT HRESULT WINAPI CLSIDFromProgIDEx(LPCOLESTR lpszProgID, LPCLSID lpclsid);
// The result is allocated with CoTaskMemAlloc.
WINAPI_EXPORT HRESULT WINAPI ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", any case; CLSIDFromString also
// takes a ProgID.
WINAPI_EXPORT HRESULT WINAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
WINAPI_EXPORT HRESULT WINAPI IIDFromString(LPCOLESTR lpsz, LPIID lpiid);
// Upper-case braced form; returns the characters written including the NUL
// (39), or 0 when cchMax is too small.
WINAPI_EXPORT int WINAPI StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
// Results allocated with CoTaskMemAlloc.
WINAPI_EXPORT HRESULT WINAPI StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz);
WINAPI_EXPORT HRESULT WINAPI StringFromIID(REFIID rclsid, LPOLESTR* lplpsz);
// A random (version 4) GUID.
WINAPI_EXPORT HRESULT WINAPI CoCreateGuid(GUID* pguid);

WINAPI_EXPORT LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb);
WINAPI_EXPORT LPVOID WINAPI CoTaskMemRealloc(LPVOID pv, SIZE_T cb);
WINAPI_EXPORT void WINAPI CoTaskMemFree(LPVOID pv);
