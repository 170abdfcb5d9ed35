// The registry: three hives kept in the platform's database.
#pragma once

#include "winerror.h"

typedef DWORD REGSAM;
typedef DWORD ACCESS_MASK;

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define HKEY_USERS ((HKEY)(ULONG_PTR)((LONG)0x80000003))

// A relative key path that starts with a backslash.
#ifndef ERROR_BAD_PATHNAME
#define ERROR_BAD_PATHNAME 161L
#endif

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_LITTLE_ENDIAN 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_RESOURCE_LIST 8
#define REG_FULL_RESOURCE_DESCRIPTOR 9
#define REG_RESOURCE_REQUIREMENTS_LIST 10
#define REG_QWORD 11
#define REG_QWORD_LITTLE_ENDIAN 11

#define REG_OPTION_RESERVED 0x00000000
#define REG_OPTION_NON_VOLATILE 0x00000000
#define REG_OPTION_VOLATILE 0x00000001
#define REG_OPTION_CREATE_LINK 0x00000002
#define REG_OPTION_BACKUP_RESTORE 0x00000004
#define REG_OPTION_OPEN_LINK 0x00000008
#define REG_CREATED_NEW_KEY 0x00000001
#define REG_OPENED_EXISTING_KEY 0x00000002

#define DELETE 0x00010000
#define READ_CONTROL 0x00020000
#define SYNCHRONIZE 0x00100000
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_WOW64_64KEY 0x0100
#define KEY_WOW64_32KEY 0x0200
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_EXECUTE 0x20019
#define KEY_ALL_ACCESS 0xF003F

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

WINAPI_EXPORT LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                                             DWORD dwOptions, REGSAM samDesired,
                                             const SECURITY_ATTRIBUTES* lpSecurityAttributes, PHKEY phkResult,
                                             LPDWORD lpdwDisposition);
WINAPI_EXPORT LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                                           PHKEY phkResult);
WINAPI_EXPORT LSTATUS WINAPI RegCloseKey(HKEY hKey);
// A null lpData with a non-zero cbData fails with ERROR_NOACCESS.
WINAPI_EXPORT LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                                            const BYTE* lpData, DWORD cbData);
// Creates lpSubKey when missing and sets the value, in one step.
WINAPI_EXPORT LSTATUS WINAPI RegSetKeyValueW(HKEY hKey, LPCWSTR lpSubKey, LPCWSTR lpValueName, DWORD dwType,
                                             LPCVOID lpData, DWORD cbData);
WINAPI_EXPORT LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved,
                                              LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
// RegGetValueW: the types a value may have (one bit per type, RRF_RT_ANY for
// all) and how it is read.
#define RRF_RT_REG_NONE 0x00000001
#define RRF_RT_REG_SZ 0x00000002
#define RRF_RT_REG_EXPAND_SZ 0x00000004
#define RRF_RT_REG_BINARY 0x00000008
#define RRF_RT_REG_DWORD 0x00000010
#define RRF_RT_REG_MULTI_SZ 0x00000020
#define RRF_RT_REG_QWORD 0x00000040
#define RRF_RT_DWORD (RRF_RT_REG_BINARY | RRF_RT_REG_DWORD)
#define RRF_RT_QWORD (RRF_RT_REG_BINARY | RRF_RT_REG_QWORD)
#define RRF_RT_ANY 0x0000FFFF
#define RRF_NOEXPAND 0x10000000
#define RRF_ZEROONFAILURE 0x20000000
// Reads the value lpValue of hKey\lpSubKey (hKey itself when lpSubKey is null
// or empty) in one step. A value of a type dwFlags does not allow fails with
// ERROR_UNSUPPORTED_TYPE; RRF_RT_DWORD and RRF_RT_QWORD take binary data only
// of 4 and 8 bytes. Strings are not expanded: REG_EXPAND_SZ is asked for with
// RRF_NOEXPAND, as on Windows.
WINAPI_EXPORT LSTATUS WINAPI RegGetValueW(HKEY hKey, LPCWSTR lpSubKey, LPCWSTR lpValue, DWORD dwFlags,
                                          LPDWORD pdwType, PVOID pvData, LPDWORD pcbData);
WINAPI_EXPORT LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName);
// Deletes a key that has no subkeys; one that has fails with
// ERROR_ACCESS_DENIED, as on Windows.
WINAPI_EXPORT LSTATUS WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey);
// Deletes lpSubKey with everything below it; with a null lpSubKey, the
// subkeys and values of hKey (the key itself stays).
WINAPI_EXPORT LSTATUS WINAPI RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey);
WINAPI_EXPORT LSTATUS WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                                           LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                                           PFILETIME lpftLastWriteTime);
WINAPI_EXPORT LSTATUS WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName,
                                           LPDWORD lpcchValueName, LPDWORD lpReserved, LPDWORD lpType,
                                           LPBYTE lpData, LPDWORD lpcbData);
WINAPI_EXPORT LSTATUS WINAPI RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass,
                                              LPDWORD lpReserved, LPDWORD lpcSubKeys,
                                              LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                              LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen,
                                              LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                                              PFILETIME lpftLastWriteTime);
