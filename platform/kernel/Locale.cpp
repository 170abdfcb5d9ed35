// Locale queries: a Russian system whose ANSI code page is the setting.
#include "kernel/CodePages.h"
#include "winbase.h"
#include "winnls.h"

#include <cstring>
#include <string>

using namespace trumik::platform;

namespace {

constexpr LCID kRussian = MAKELCID(MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT), SORT_DEFAULT);

struct LocaleData {
    const char* ansiCodePage; // null: the system setting
    const char* oemCodePage;
    const char* decimal;
    const char* list;
    const char* englishLanguage;
};

const LocaleData kSystemRussian = {nullptr, "866", ",", ";", "Russian"};
const LocaleData kRussianData = {"1251", "866", ",", ";", "Russian"};
const LocaleData kEnglishUs = {"1252", "437", ".", ",", "English"};
const LocaleData kEnglishOther = {"1252", "850", ".", ",", "English"};
const LocaleData kInvariant = {"1252", "437", ".", ",", "Invariant Language"};

const LocaleData* FindLocale(LCID locale)
{
    if (locale == LOCALE_NEUTRAL || locale == LOCALE_USER_DEFAULT || locale == LOCALE_SYSTEM_DEFAULT)
        return &kSystemRussian;
    if (locale == LOCALE_INVARIANT)
        return &kInvariant;
    if (locale >> 20) // reserved bits above the sort identifier
        return nullptr;
    const WORD language = LOWORD(locale);
    const WORD primary = language & 0x3FF;
    const WORD sub = language >> 10;
    if (primary == LANG_RUSSIAN && sub <= SUBLANG_DEFAULT)
        return &kRussianData;
    if (primary == LANG_ENGLISH && sub <= 0x14)
        return sub == SUBLANG_DEFAULT ? &kEnglishUs : &kEnglishOther;
    return nullptr;
}

} // namespace

WINAPI_EXPORT int WINAPI GetLocaleInfoA(LCID Locale, LCTYPE LCType, LPSTR lpLCData, int cchData)
{
    if (cchData < 0 || (!lpLCData && cchData != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const LocaleData* data = FindLocale(Locale);
    if (!data) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    constexpr LCTYPE kUseCpAcp = 0x40000000;
    std::string codePage;
    const char* value = nullptr;
    switch (LCType & ~static_cast<LCTYPE>(LOCALE_NOUSEROVERRIDE | kUseCpAcp)) {
    case LOCALE_IDEFAULTANSICODEPAGE:
        if (data->ansiCodePage) {
            value = data->ansiCodePage;
        } else {
            codePage = std::to_string(SystemAnsiCodePage());
            value = codePage.c_str();
        }
        break;
    case LOCALE_IDEFAULTCODEPAGE:
        value = data->oemCodePage;
        break;
    case LOCALE_SDECIMAL:
        value = data->decimal;
        break;
    case LOCALE_SLIST:
        value = data->list;
        break;
    case LOCALE_SENGLANGUAGE:
        value = data->englishLanguage;
        break;
    default:
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    const int count = static_cast<int>(std::strlen(value)) + 1; // with the NUL
    if (cchData == 0)
        return count;
    if (count > cchData) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpLCData, value, static_cast<size_t>(count));
    return count;
}

WINAPI_EXPORT LCID WINAPI GetThreadLocale(void)
{
    return kRussian;
}

WINAPI_EXPORT LCID WINAPI GetUserDefaultLCID(void)
{
    return kRussian;
}

WINAPI_EXPORT LCID WINAPI GetSystemDefaultLCID(void)
{
    return kRussian;
}
