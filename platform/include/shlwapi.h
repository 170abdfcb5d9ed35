// Shell path helpers.
#pragma once

#include "windef.h"

// True when a file or folder exists at the path; false for a null or empty path.
WINAPI_EXPORT BOOL WINAPI PathFileExistsW(LPCWSTR pszPath);
WINAPI_EXPORT BOOL WINAPI PathFileExistsA(LPCSTR pszPath);
