// Kernel functions: last error, system message texts, local memory, version.
#pragma once

#include "winerror.h"

WINAPI_EXPORT DWORD WINAPI GetLastError(void);
WINAPI_EXPORT void WINAPI SetLastError(DWORD dwErrCode);

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_STRING 0x00000400
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FF

// With FORMAT_MESSAGE_ALLOCATE_BUFFER, lpBuffer is really an LPSTR* and
// receives a buffer to be released with LocalFree.
WINAPI_EXPORT DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId,
                                          DWORD dwLanguageId, LPSTR lpBuffer, DWORD nSize, void* Arguments);
WINAPI_EXPORT DWORD WINAPI FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId,
                                          DWORD dwLanguageId, LPWSTR lpBuffer, DWORD nSize, void* Arguments);

#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)
WINAPI_EXPORT HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes);
WINAPI_EXPORT HLOCAL WINAPI LocalFree(HLOCAL hMem);

typedef struct _OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
} OSVERSIONINFOA, *POSVERSIONINFOA, *LPOSVERSIONINFOA;
typedef struct _OSVERSIONINFOEXA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
    WORD wServicePackMajor;
    WORD wServicePackMinor;
    WORD wSuiteMask;
    BYTE wProductType;
    BYTE wReserved;
} OSVERSIONINFOEXA, *POSVERSIONINFOEXA, *LPOSVERSIONINFOEXA;
#define VER_NT_WORKSTATION 0x0000001
#define VER_SUITE_SINGLEUSERTS 0x00000100
#define VER_PLATFORM_WIN32s 0
#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT 2
// dwOSVersionInfoSize must be sizeof(OSVERSIONINFOA) or sizeof(OSVERSIONINFOEXA).
WINAPI_EXPORT BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation);

WINAPI_EXPORT void WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime);
WINAPI_EXPORT void WINAPI GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime);
// Implemented with the date conversions in platform/oleaut.
WINAPI_EXPORT BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime);
WINAPI_EXPORT BOOL WINAPI FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime);
WINAPI_EXPORT LONG WINAPI CompareFileTime(const FILETIME* lpFileTime1, const FILETIME* lpFileTime2);

WINAPI_EXPORT LONG WINAPI InterlockedIncrement(LONG volatile* Addend);
WINAPI_EXPORT LONG WINAPI InterlockedDecrement(LONG volatile* Addend);
WINAPI_EXPORT LONG WINAPI InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange,
                                                     LONG Comperand);
