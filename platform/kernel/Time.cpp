// System time and interlocked counters.
#include "winbase.h"

#include <ctime>

namespace {

// 100-nanosecond intervals between 1601-01-01 and 1970-01-01.
constexpr ULONGLONG kUnixEpochAsFileTime = 116444736000000000ULL;

timespec Now()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now;
}

} // namespace

WINAPI_EXPORT void WINAPI GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime)
{
    if (!lpSystemTimeAsFileTime)
        return;
    const timespec now = Now();
    const ULONGLONG ticks = kUnixEpochAsFileTime + static_cast<ULONGLONG>(now.tv_sec) * 10000000ULL +
                            static_cast<ULONGLONG>(now.tv_nsec) / 100;
    lpSystemTimeAsFileTime->dwLowDateTime = static_cast<DWORD>(ticks);
    lpSystemTimeAsFileTime->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
}

WINAPI_EXPORT void WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime)
{
    if (!lpSystemTime)
        return;
    const timespec now = Now();
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    lpSystemTime->wYear = static_cast<WORD>(utc.tm_year + 1900);
    lpSystemTime->wMonth = static_cast<WORD>(utc.tm_mon + 1);
    lpSystemTime->wDayOfWeek = static_cast<WORD>(utc.tm_wday);
    lpSystemTime->wDay = static_cast<WORD>(utc.tm_mday);
    lpSystemTime->wHour = static_cast<WORD>(utc.tm_hour);
    lpSystemTime->wMinute = static_cast<WORD>(utc.tm_min);
    lpSystemTime->wSecond = static_cast<WORD>(utc.tm_sec > 59 ? 59 : utc.tm_sec);
    lpSystemTime->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}

WINAPI_EXPORT LONG WINAPI CompareFileTime(const FILETIME* lpFileTime1, const FILETIME* lpFileTime2)
{
    if (!lpFileTime1 || !lpFileTime2)
        return 0;
    const ULONGLONG a =
        (static_cast<ULONGLONG>(lpFileTime1->dwHighDateTime) << 32) | lpFileTime1->dwLowDateTime;
    const ULONGLONG b =
        (static_cast<ULONGLONG>(lpFileTime2->dwHighDateTime) << 32) | lpFileTime2->dwLowDateTime;
    return a < b ? -1 : (a > b ? 1 : 0);
}

WINAPI_EXPORT LONG WINAPI InterlockedIncrement(LONG volatile* Addend)
{
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

WINAPI_EXPORT LONG WINAPI InterlockedDecrement(LONG volatile* Addend)
{
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

WINAPI_EXPORT LONG WINAPI InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange,
                                                     LONG Comperand)
{
    __atomic_compare_exchange_n(Destination, &Comperand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comperand;
}
