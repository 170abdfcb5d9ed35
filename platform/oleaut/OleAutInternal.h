// Helpers shared by the OLE Automation sources of the platform library.
#pragma once

#include "oleauto.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace trumik::platform::oleaut {

// A new BSTR holding the units of text (null on allocation failure).
BSTR AllocBstr(std::u16string_view text);
// A new BSTR holding ASCII text widened unit by unit.
BSTR AllocBstrAscii(std::string_view text);

// Calendar arithmetic on the proleptic Gregorian calendar.
// Days relative to 1 January 1970 (negative before).
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day);
void CivilFromDays(int64_t days, int64_t& year, unsigned& month, unsigned& day);
bool IsLeapYear(int64_t year);
unsigned DaysInMonth(int64_t year, unsigned month);

// Days from 1 January 1970 to 30 December 1899, the automation date epoch.
constexpr int64_t kOleEpochDays = -25569;

// The broken-down form of an automation date rounded to the second.
struct DateParts {
    int64_t year;
    unsigned month, day, hour, minute, second, dayOfWeek;
};
// False when the date lies outside 1 January 100 .. 31 December 9999.
bool SplitDate(double date, DateParts& parts);
// False for fields out of range; years 0..99 are not adjusted here.
bool JoinDate(int64_t year, unsigned month, unsigned day, unsigned hour, unsigned minute, unsigned second,
              double& date);

// Number and date conventions of a locale, as far as the conversions need them.
struct LocaleRules {
    char16_t decimalSep;
    char16_t thousandSep;      // 0: none accepted
    bool dayFirst;             // dd.mm.yyyy (or dd/mm/yyyy) rather than m/d/yyyy
    char16_t dateSep;          // between day, month, year in output
    bool padDayMonth;          // "08.12.2026" rather than "12/8/2026"
    bool twelveHour;           // "6:54:49 PM"
    bool padHour;              // "06:54:49"
    const char16_t* currency;  // the currency symbol, accepted before or after a number
    char16_t typedThousandSep; // also read as the thousands separator (0: none)
};
LocaleRules RulesFor(LCID lcid);

// Element size of a SAFEARRAY of this type, 0 when the type cannot be stored.
ULONG ArrayElementSize(VARTYPE vt);

// True when vt is a type a VARIANT may carry (including VT_ARRAY / VT_BYREF forms).
bool IsValidVariantType(VARTYPE vt);

} // namespace trumik::platform::oleaut
