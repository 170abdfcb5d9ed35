// The few locale conventions the variant conversions follow. The user and
// system default locale of this platform is Russian (0x419).
#include "OleAutInternal.h"

namespace trumik::platform::oleaut {

namespace {

// Russian groups thousands with a no-break space; the plain space people type
// is read as one too.
constexpr LocaleRules kRussian{u',', u'\u00A0', true, u'.', true, false, false, u"\u20BD", u' '};
constexpr LocaleRules kUnitedStates{u'.', u',', false, u'/', false, true, false, u"$", 0};
constexpr LocaleRules kBritish{u'.', u',', true, u'/', true, false, true, u"\u00A3", 0};
constexpr LocaleRules kInvariant{u'.', u',', false, u'/', true, false, true, u"\u00A4", 0};

} // namespace

LocaleRules RulesFor(LCID lcid)
{
    const LANGID lang = static_cast<LANGID>(lcid & 0xFFFF);
    switch (lang) {
    case LOCALE_INVARIANT:
        return kInvariant;
    case 0x0409:
        return kUnitedStates;
    case 0x0809:
        return kBritish;
    default:
        break;
    }
    // Other English locales read and write like the United States; any other
    // language (and the defaults) like Russian.
    if ((lang & 0x3FF) == LANG_ENGLISH)
        return kUnitedStates;
    return kRussian;
}

} // namespace trumik::platform::oleaut
