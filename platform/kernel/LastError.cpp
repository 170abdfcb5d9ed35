// The calling thread's last-error code.
#include "winbase.h"

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
} // namespace

WINAPI_EXPORT DWORD WINAPI GetLastError(void)
{
    return t_lastError;
}

WINAPI_EXPORT void WINAPI SetLastError(DWORD dwErrCode)
{
    t_lastError = dwErrCode;
}
