// Automation dates as text, in the conventions of a locale.
#pragma once

#include "OleAutInternal.h"

#include <string>
#include <string_view>

namespace trumik::platform::oleaut {

// The date as VariantChangeType writes it: the date alone at midnight, the
// time alone on 30 December 1899. False for dates out of the calendar's range.
bool FormatDate(double date, const LocaleRules& rules, std::string& out);
// Dates as text: "dd.mm.yyyy" (or m/d/yyyy where the locale puts the month
// first), ISO "yyyy-mm-dd", each optionally followed by a time "h:mm[:ss]"
// (after a blank or a 'T'), with AM/PM accepted; or a time alone.
bool ParseDate(std::u16string_view text, const LocaleRules& rules, double& out);

} // namespace trumik::platform::oleaut
