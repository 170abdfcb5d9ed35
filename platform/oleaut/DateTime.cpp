// Automation dates (days since 30 December 1899, the time of day as the
// fraction) and FILETIMEs (100-ns ticks since 1 January 1601 UTC), both on
// the proleptic Gregorian calendar.
#include "OleAutInternal.h"

#include "winbase.h"

#include <cmath>

namespace trumik::platform::oleaut {

int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day)
{
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yoe = year - era * 400;
    const int64_t doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t days, int64_t& year, unsigned& month, unsigned& day)
{
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t doe = days - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
    year = yoe + era * 400 + (month <= 2);
}

bool IsLeapYear(int64_t year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

unsigned DaysInMonth(int64_t year, unsigned month)
{
    static const unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2 && IsLeapYear(year))
        return 29;
    return kDays[month - 1];
}

namespace {

unsigned DayOfWeek(int64_t daysFrom1970)
{
    // 1 January 1970 was a Thursday; Sunday is 0.
    return static_cast<unsigned>(((daysFrom1970 % 7) + 7 + 4) % 7);
}

constexpr int64_t kMinYear = 100;
constexpr int64_t kMaxYear = 9999;

} // namespace

bool SplitDate(double date, DateParts& parts)
{
    // 1 January 100 is -657434, 31 December 9999 is 2958465; for a negative
    // date the fraction still counts forward from midnight.
    if (!(date > -657435.0 && date < 2958466.0))
        return false;
    int64_t days = static_cast<int64_t>(std::trunc(date));
    const double fraction = std::fabs(date - static_cast<double>(days));
    // Half a second rounds up; allow for the representation error of the
    // date, so that a time built from whole and half seconds rounds as meant.
    const double slack = 2 * 86400.0 * (std::nextafter(std::fabs(date), INFINITY) - std::fabs(date));
    auto seconds = static_cast<int64_t>(std::floor(fraction * 86400.0 + 0.5 + slack));
    if (seconds >= 86400) {
        seconds -= 86400;
        ++days;
    }
    const int64_t unixDays = days + kOleEpochDays;
    CivilFromDays(unixDays, parts.year, parts.month, parts.day);
    if (parts.year < kMinYear || parts.year > kMaxYear)
        return false;
    parts.hour = static_cast<unsigned>(seconds / 3600);
    parts.minute = static_cast<unsigned>(seconds / 60 % 60);
    parts.second = static_cast<unsigned>(seconds % 60);
    parts.dayOfWeek = DayOfWeek(unixDays);
    return true;
}

bool JoinDate(int64_t year, unsigned month, unsigned day, unsigned hour, unsigned minute, unsigned second,
              double& date)
{
    if (year < kMinYear || year > kMaxYear || month < 1 || month > 12 || day < 1 ||
        day > DaysInMonth(year, month) || hour > 23 || minute > 59 || second > 59)
        return false;
    const int64_t days = DaysFromCivil(year, month, day) - kOleEpochDays;
    const double fraction = (hour * 3600.0 + minute * 60.0 + second) / 86400.0;
    date = days >= 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
    return true;
}

} // namespace trumik::platform::oleaut

using namespace trumik::platform::oleaut;

INT WINAPI VariantTimeToSystemTime(DOUBLE vtime, LPSYSTEMTIME lpSystemTime)
{
    if (!lpSystemTime)
        return FALSE;
    DateParts parts;
    if (!SplitDate(vtime, parts))
        return FALSE;
    lpSystemTime->wYear = static_cast<WORD>(parts.year);
    lpSystemTime->wMonth = static_cast<WORD>(parts.month);
    lpSystemTime->wDayOfWeek = static_cast<WORD>(parts.dayOfWeek);
    lpSystemTime->wDay = static_cast<WORD>(parts.day);
    lpSystemTime->wHour = static_cast<WORD>(parts.hour);
    lpSystemTime->wMinute = static_cast<WORD>(parts.minute);
    lpSystemTime->wSecond = static_cast<WORD>(parts.second);
    lpSystemTime->wMilliseconds = 0;
    return TRUE;
}

// Fields beyond their range roll over into the next larger one, as Windows
// rolls them: second 60 is the next minute, hour 24 the next day, day 0 the
// last day of the month before, 29 February of a common year 1 March; month 0
// is December of the year before. Windows refuses a month above 12, a day
// above 31 and a year above 32767 (negative as a 16-bit number) before it
// rolls anything, and a result outside the years 100..9999.
INT WINAPI SystemTimeToVariantTime(LPSYSTEMTIME lpSystemTime, DOUBLE* pvtime)
{
    if (!lpSystemTime || !pvtime)
        return FALSE;
    const SYSTEMTIME& st = *lpSystemTime;
    if (st.wMonth > 12 || st.wDay > 31 || static_cast<SHORT>(st.wYear) < 0)
        return FALSE;
    // Two-digit years follow the automation window: 0..29 are 2000..2029,
    // 30..99 are 1930..1999. Milliseconds and the day of the week are ignored.
    int64_t year = st.wYear;
    if (year < 100)
        year += year < 30 ? 2000 : 1900;
    int64_t second = st.wSecond;
    int64_t minute = st.wMinute + second / 60;
    second %= 60;
    int64_t hour = st.wHour + minute / 60;
    minute %= 60;
    int64_t day = st.wDay + hour / 24;
    hour %= 24;
    int64_t month = st.wMonth;
    if (month == 0) {
        month = 12;
        --year;
    }
    if (year < 1 || year > 9999)
        return FALSE;
    while (day > DaysInMonth(year, static_cast<unsigned>(month))) {
        day -= DaysInMonth(year, static_cast<unsigned>(month));
        if (++month > 12) {
            month = 1;
            ++year;
        }
    }
    if (day == 0) {
        if (--month < 1) {
            month = 12;
            --year;
        }
        if (year < 1)
            return FALSE;
        day = DaysInMonth(year, static_cast<unsigned>(month));
    }
    double date;
    if (!JoinDate(year, static_cast<unsigned>(month), static_cast<unsigned>(day), static_cast<unsigned>(hour),
                  static_cast<unsigned>(minute), static_cast<unsigned>(second), date))
        return FALSE;
    *pvtime = date;
    return TRUE;
}

namespace {

constexpr int64_t kTicksPerMs = 10000;
constexpr int64_t kTicksPerSecond = 1000 * kTicksPerMs;
constexpr int64_t kTicksPerDay = 86400 * kTicksPerSecond;
// 1 January 1601 relative to 1 January 1970.
constexpr int64_t kFileTimeEpochDays = -134774;

} // namespace

BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime)
{
    if (!lpSystemTime || !lpFileTime) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const SYSTEMTIME& st = *lpSystemTime;
    if (st.wYear < 1601 || st.wYear > 30827 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 ||
        st.wDay > DaysInMonth(st.wYear, st.wMonth) || st.wHour > 23 || st.wMinute > 59 || st.wSecond > 59 ||
        st.wMilliseconds > 999) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const int64_t days = DaysFromCivil(st.wYear, st.wMonth, st.wDay) - kFileTimeEpochDays;
    const int64_t ticks = days * kTicksPerDay +
                          (st.wHour * 3600 + st.wMinute * 60 + st.wSecond) * kTicksPerSecond +
                          st.wMilliseconds * kTicksPerMs;
    const auto value = static_cast<uint64_t>(ticks);
    lpFileTime->dwLowDateTime = static_cast<DWORD>(value);
    lpFileTime->dwHighDateTime = static_cast<DWORD>(value >> 32);
    return TRUE;
}

BOOL WINAPI FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime)
{
    if (!lpFileTime || !lpSystemTime) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const uint64_t value =
        (static_cast<uint64_t>(lpFileTime->dwHighDateTime) << 32) | lpFileTime->dwLowDateTime;
    if (value > 0x7FFFFFFFFFFFFFFFull) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const auto ticks = static_cast<int64_t>(value);
    const int64_t days = ticks / kTicksPerDay + kFileTimeEpochDays;
    const int64_t rest = ticks % kTicksPerDay;
    int64_t year;
    unsigned month, day;
    CivilFromDays(days, year, month, day);
    lpSystemTime->wYear = static_cast<WORD>(year);
    lpSystemTime->wMonth = static_cast<WORD>(month);
    lpSystemTime->wDay = static_cast<WORD>(day);
    lpSystemTime->wDayOfWeek = static_cast<WORD>(((days % 7) + 7 + 4) % 7);
    lpSystemTime->wHour = static_cast<WORD>(rest / (3600 * kTicksPerSecond));
    lpSystemTime->wMinute = static_cast<WORD>(rest / (60 * kTicksPerSecond) % 60);
    lpSystemTime->wSecond = static_cast<WORD>(rest / kTicksPerSecond % 60);
    lpSystemTime->wMilliseconds = static_cast<WORD>(rest / kTicksPerMs % 1000);
    return TRUE;
}
