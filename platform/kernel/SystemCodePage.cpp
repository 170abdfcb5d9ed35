// The system ANSI code page, a registry setting as on Windows.
#include "kernel/CodePageTables.h"
#include "kernel/CodePages.h"
#include "winbase.h"
#include "winnls.h"
#include "winreg.h"

#include <atomic>
#include <memory>

namespace trumik::platform {

namespace {

constexpr UINT kDefaultAnsiCodePage = 1251;
constexpr char16_t kCodePageKey[] = u"SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage";

// 0 until the setting has been read.
std::atomic<UINT> g_ansiCodePage{0};

// Set while this thread reads the setting, so that a conversion made by the
// registry itself cannot recurse into the read.
thread_local bool t_reading = false;

struct KeyCloser {
    void operator()(HKEY key) const { RegCloseKey(key); }
};
using KeyHandle = std::unique_ptr<HKEY__, KeyCloser>;

// An ANSI code page the platform can convert: UTF-8 or one of its byte
// pages other than the OEM pages of DOS.
bool IsUsableAnsiCodePage(UINT page)
{
    if (page == 437 || page == 850 || page == 866)
        return false;
    return page == CP_UTF8 || FindByteCodePage(page);
}

UINT ReadSetting()
{
    HKEY raw = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCodePageKey, 0, KEY_QUERY_VALUE, &raw) != ERROR_SUCCESS)
        return kDefaultAnsiCodePage;
    KeyHandle key(raw);
    char16_t text[16] = {};
    DWORD type = 0;
    DWORD size = sizeof text - sizeof(char16_t); // keep a NUL at the end
    if (RegQueryValueExW(key.get(), u"ACP", nullptr, &type, reinterpret_cast<BYTE*>(text), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return kDefaultAnsiCodePage;
    UINT page = 0;
    size_t i = 0;
    for (; i < size / sizeof(char16_t) && text[i]; ++i) {
        if (text[i] < u'0' || text[i] > u'9' || page > 100000)
            return kDefaultAnsiCodePage;
        page = page * 10 + (text[i] - u'0');
    }
    if (i == 0 || !IsUsableAnsiCodePage(page))
        return kDefaultAnsiCodePage;
    return page;
}

} // namespace

UINT SystemAnsiCodePage()
{
    if (const UINT cached = g_ansiCodePage.load(std::memory_order_acquire))
        return cached;
    if (t_reading)
        return kDefaultAnsiCodePage;
    // Reading the registry leaves the caller's last error as it was.
    const DWORD savedError = GetLastError();
    t_reading = true;
    const UINT page = ReadSetting();
    t_reading = false;
    SetLastError(savedError);
    g_ansiCodePage.store(page, std::memory_order_release);
    return page;
}

void ReloadSystemAnsiCodePage()
{
    g_ansiCodePage.store(0, std::memory_order_release);
}

} // namespace trumik::platform
