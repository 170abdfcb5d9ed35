// Code pages and locale information.
#pragma once

#include "winerror.h"

#define CP_ACP 0
#define CP_OEMCP 1
#define CP_MACCP 2
#define CP_THREAD_ACP 3
#define CP_UTF7 65000
#define CP_UTF8 65001

#define MB_PRECOMPOSED 0x00000001
#define MB_COMPOSITE 0x00000002
#define MB_USEGLYPHCHARS 0x00000004
#define MB_ERR_INVALID_CHARS 0x00000008
#define WC_DISCARDNS 0x00000010
#define WC_SEPCHARS 0x00000020
#define WC_DEFAULTCHAR 0x00000040
#define WC_ERR_INVALID_CHARS 0x00000080
#define WC_COMPOSITECHECK 0x00000200
#define WC_NO_BEST_FIT_CHARS 0x00000400

// Supported pages: CP_UTF8, CP_UTF7, 437, 850, 866, 874, 932, 936, 949, 950,
// 1250-1258, 20127, 20866, 21866, 28591-28599, 28603 and 28605 (1251, 1252
// and 866 from tables of their own, the others from glibc's iconv); CP_ACP
// and CP_THREAD_ACP are the system ANSI code page (a registry setting, 1251
// by default), CP_OEMCP is 866.
// A negative cbMultiByte / cchWideChar takes the source up to and including
// its NUL. A destination size of 0 asks for the size needed.
// Byte pages have no best-fit mapping: a character the page lacks becomes the
// default character ('?' unless lpDefaultChar gives one). A byte the page
// does not define decodes to '?' (U+30FB in 932), or fails with
// MB_ERR_INVALID_CHARS; gaps in 0x80-0x9F are the C1 controls.
WINAPI_EXPORT int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr,
                                             int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar);
WINAPI_EXPORT int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr,
                                             int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                                             LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar);
WINAPI_EXPORT UINT WINAPI GetACP(void);
WINAPI_EXPORT UINT WINAPI GetOEMCP(void);
WINAPI_EXPORT BOOL WINAPI IsValidCodePage(UINT CodePage);

#define LOCALE_IDEFAULTANSICODEPAGE 0x00001004
#define LOCALE_IDEFAULTCODEPAGE 0x0000000B
#define LOCALE_SENGLANGUAGE 0x00001001
#define LOCALE_SDECIMAL 0x0000000E
#define LOCALE_SLIST 0x0000000C
#define LOCALE_NOUSEROVERRIDE 0x80000000
WINAPI_EXPORT int WINAPI GetLocaleInfoA(LCID Locale, LCTYPE LCType, LPSTR lpLCData, int cchData);
WINAPI_EXPORT LCID WINAPI GetThreadLocale(void);
WINAPI_EXPORT LCID WINAPI GetUserDefaultLCID(void);
WINAPI_EXPORT LCID WINAPI GetSystemDefaultLCID(void);
