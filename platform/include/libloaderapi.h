// Modules and their resources: loading shared libraries under the Win32
// loader's rules (DllMain notifications, reference counts, module handles),
// resources carried in a module's table (trumikres.h), string tables and
// version resources.
#pragma once

#include "trumikres.h"
#include "winerror.h"

#ifndef ERROR_BAD_EXE_FORMAT
#define ERROR_BAD_EXE_FORMAT 193L
#endif
#ifndef ERROR_DLL_INIT_FAILED
#define ERROR_DLL_INIT_FAILED 1114L
#endif
#ifndef ERROR_RESOURCE_DATA_NOT_FOUND
#define ERROR_RESOURCE_DATA_NOT_FOUND 1812L
#endif
#ifndef ERROR_RESOURCE_TYPE_NOT_FOUND
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L
#endif
#ifndef ERROR_RESOURCE_NAME_NOT_FOUND
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L
#endif
#ifndef ERROR_RESOURCE_LANG_NOT_FOUND
#define ERROR_RESOURCE_LANG_NOT_FOUND 1815L
#endif

// DllMain reasons.
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

// void (*)(void), not Windows' INT_PTR (*)(): the compiler lets that type be
// cast to any function pointer without a warning, as callers of
// GetProcAddress do.
typedef void(WINAPI* FARPROC)(void);
typedef BOOL(WINAPI* PDLL_MAIN)(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved);

// LoadLibraryExW flags. LOAD_LIBRARY_AS_DATAFILE maps the module for its
// resources only: its DllMain is not called (its static initialisation still
// runs, as the shared-library loader has no data-only mapping).
#define DONT_RESOLVE_DLL_REFERENCES 0x00000001
#define LOAD_LIBRARY_AS_DATAFILE 0x00000002
#define LOAD_WITH_ALTERED_SEARCH_PATH 0x00000008
#define LOAD_IGNORE_CODE_AUTHZ_LEVEL 0x00000010
#define LOAD_LIBRARY_AS_IMAGE_RESOURCE 0x00000020
#define LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE 0x00000040
#define LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR 0x00000100
#define LOAD_LIBRARY_SEARCH_DEFAULT_DIRS 0x00001000

// GetModuleHandleExW flags.
#define GET_MODULE_HANDLE_EX_FLAG_PIN 0x00000001
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x00000002
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004

// A bare file name is looked for beside the platform library first, then by
// the system loader's search (LD_LIBRARY_PATH, the cache, default folders).
// Failure: NULL, last error ERROR_MOD_NOT_FOUND (ERROR_BAD_EXE_FORMAT for a
// file that is no shared library, ERROR_DLL_INIT_FAILED when DllMain refused
// the attach).
WINAPI_EXPORT HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName);
WINAPI_EXPORT HMODULE WINAPI LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE hFile, DWORD dwFlags);
WINAPI_EXPORT BOOL WINAPI FreeLibrary(HMODULE hLibModule);
// Looks only at the module's own exports, not at the libraries it depends on.
// Ordinals (names below 0x10000) are not supported: ERROR_PROC_NOT_FOUND.
WINAPI_EXPORT FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
WINAPI_EXPORT DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);
WINAPI_EXPORT HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName);
WINAPI_EXPORT BOOL WINAPI GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule);
// Thread notifications are never sent; accepted for compatibility.
WINAPI_EXPORT BOOL WINAPI DisableThreadLibraryCalls(HMODULE hLibModule);

// Resource types and names: a string or an integer id below 0x10000.
#define MAKEINTRESOURCEW(i) ((LPWSTR)((ULONG_PTR)((WORD)(i))))
#define MAKEINTRESOURCE(i) MAKEINTRESOURCEW(i)
#define IS_INTRESOURCE(r) ((((ULONG_PTR)(r)) >> 16) == 0)

#define RT_CURSOR MAKEINTRESOURCEW(1)
#define RT_BITMAP MAKEINTRESOURCEW(2)
#define RT_ICON MAKEINTRESOURCEW(3)
#define RT_MENU MAKEINTRESOURCEW(4)
#define RT_DIALOG MAKEINTRESOURCEW(5)
#define RT_STRING MAKEINTRESOURCEW(6)
#define RT_FONTDIR MAKEINTRESOURCEW(7)
#define RT_FONT MAKEINTRESOURCEW(8)
#define RT_ACCELERATOR MAKEINTRESOURCEW(9)
#define RT_RCDATA MAKEINTRESOURCEW(10)
#define RT_MESSAGETABLE MAKEINTRESOURCEW(11)
#define RT_GROUP_CURSOR MAKEINTRESOURCEW(12)
#define RT_GROUP_ICON MAKEINTRESOURCEW(14)
#define RT_VERSION MAKEINTRESOURCEW(16)
#define RT_MANIFEST MAKEINTRESOURCEW(24)

#define VS_VERSION_INFO 1
#define VS_FILE_INFO RT_VERSION

// Neutral language: the search prefers the neutral language, then the user's
// language (exact, then the same primary language), the system's, US English,
// and finally takes the first entry of that type and name.
WINAPI_EXPORT HRSRC WINAPI FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType);
// Any other language must match exactly (ERROR_RESOURCE_LANG_NOT_FOUND).
WINAPI_EXPORT HRSRC WINAPI FindResourceExW(HMODULE hModule, LPCWSTR lpType, LPCWSTR lpName, WORD wLanguage);
WINAPI_EXPORT HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo);
WINAPI_EXPORT DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo);
WINAPI_EXPORT LPVOID WINAPI LockResource(HGLOBAL hResData);
WINAPI_EXPORT BOOL WINAPI FreeResource(HGLOBAL hResData);

// String tables: 16 strings per RT_STRING block, block id (uID >> 4) + 1, each
// string a WORD length followed by that many UTF-16 units. cchBufferMax 0:
// lpBuffer receives a read-only pointer to the (unterminated) string.
WINAPI_EXPORT int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax);

// Version resources (VS_VERSIONINFO).
typedef struct tagVS_FIXEDFILEINFO {
    DWORD dwSignature;
    DWORD dwStrucVersion;
    DWORD dwFileVersionMS;
    DWORD dwFileVersionLS;
    DWORD dwProductVersionMS;
    DWORD dwProductVersionLS;
    DWORD dwFileFlagsMask;
    DWORD dwFileFlags;
    DWORD dwFileOS;
    DWORD dwFileType;
    DWORD dwFileSubtype;
    DWORD dwFileDateMS;
    DWORD dwFileDateLS;
} VS_FIXEDFILEINFO;
static_assert(sizeof(VS_FIXEDFILEINFO) == 52);

#define VS_FFI_SIGNATURE 0xFEEF04BDL
#define VS_FFI_STRUCVERSION 0x00010000L
#define VS_FFI_FILEFLAGSMASK 0x0000003FL
#define VOS_NT_WINDOWS32 0x00040004L
#define VFT_UNKNOWN 0x00000000L
#define VFT_APP 0x00000001L
#define VFT_DLL 0x00000002L

// The version resource of a module file (one already loaded, or mapped for
// the call). The size is that of the resource block.
WINAPI_EXPORT DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR lptstrFilename, LPDWORD lpdwHandle);
WINAPI_EXPORT BOOL WINAPI GetFileVersionInfoW(LPCWSTR lptstrFilename, DWORD dwHandle, DWORD dwLen,
                                              LPVOID lpData);
// "\\" gives the VS_FIXEDFILEINFO (length in bytes), "\\VarFileInfo\\Translation"
// the language/code-page pairs (bytes), "\\StringFileInfo\\041904e3\\Name" a
// string (length in characters including the NUL).
WINAPI_EXPORT BOOL WINAPI VerQueryValueW(LPCVOID pBlock, LPCWSTR lpSubBlock, LPVOID* lplpBuffer, UINT* puLen);
