// The system ANSI code page follows the registry setting.
#include "kernel/CodePages.h"
#include "winbase.h"
#include "winnls.h"
#include "winreg.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr char16_t kKey[] = u"SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage";

class SystemCodePage : public ::testing::Test {
  protected:
    void TearDown() override
    {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
            RegDeleteValueW(key, u"ACP");
            RegCloseKey(key);
        }
        trumik::platform::ReloadSystemAnsiCodePage();
    }

    static void SetAcp(DWORD type, const void* data, DWORD size)
    {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS,
                  RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr));
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, u"ACP", 0, type, static_cast<const BYTE*>(data), size));
        RegCloseKey(key);
        trumik::platform::ReloadSystemAnsiCodePage();
    }

    static void SetAcp(const std::u16string& text)
    {
        SetAcp(REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(char16_t)));
    }

    static std::string ToAcp(UINT codePage, const std::u16string& text)
    {
        char buffer[64] = {};
        const int n =
            WideCharToMultiByte(codePage, 0, text.c_str(), -1, buffer, sizeof buffer, nullptr, nullptr);
        EXPECT_GT(n, 0);
        return buffer;
    }

    static std::string AnsiCodePageOf(LCID locale)
    {
        char buffer[16] = {};
        EXPECT_GT(GetLocaleInfoA(locale, LOCALE_IDEFAULTANSICODEPAGE, buffer, sizeof buffer), 0);
        return buffer;
    }
};

TEST_F(SystemCodePage, DefaultsTo1251)
{
    trumik::platform::ReloadSystemAnsiCodePage();
    EXPECT_EQ(1251u, GetACP());
    EXPECT_EQ("\xC6\xB9", ToAcp(CP_ACP, u"Ж№"));
    EXPECT_EQ("\xC6\xB9", ToAcp(CP_THREAD_ACP, u"Ж№"));
    EXPECT_EQ("1251", AnsiCodePageOf(LOCALE_USER_DEFAULT));
}

TEST_F(SystemCodePage, FollowsTheSetting)
{
    SetAcp(u"1252");
    EXPECT_EQ(1252u, GetACP());
    EXPECT_EQ("\xE9?", ToAcp(CP_ACP, u"éЖ"));
    EXPECT_EQ("\xE9?", ToAcp(CP_THREAD_ACP, u"éЖ"));
    EXPECT_EQ("1252", AnsiCodePageOf(LOCALE_USER_DEFAULT));
    EXPECT_EQ("1252", AnsiCodePageOf(LOCALE_SYSTEM_DEFAULT));
    EXPECT_EQ("1251", AnsiCodePageOf(0x419)) << "a named locale keeps its own page";

    // The system texts come in the new page: Cyrillic has no place in 1252.
    char text[64] = {};
    ASSERT_GT(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 0x80004005,
                             0, text, sizeof text, nullptr),
              0u);
    EXPECT_EQ(std::string(12, '?') + " " + std::string(6, '?') + "\r\n", text);

    SetAcp(u"65001");
    EXPECT_EQ(65001u, GetACP());
    EXPECT_EQ("\xD0\x96", ToAcp(CP_ACP, u"Ж"));
}

TEST_F(SystemCodePage, UnusableSettingsFallBackTo1251)
{
    for (const char16_t* value :
         {u"", u"abc", u"437", u"866", u"65000", u"1240", u"12 51", u"99999999999", u"0"}) {
        SetAcp(value);
        EXPECT_EQ(1251u, GetACP()) << std::string(value, value + std::char_traits<char16_t>::length(value));
    }
    const DWORD number = 1252;
    SetAcp(REG_DWORD, &number, sizeof number);
    EXPECT_EQ(1251u, GetACP()) << "the value is text, not a number";
}

TEST_F(SystemCodePage, ReadingTheSettingKeepsTheLastError)
{
    SetAcp(u"1252");
    SetLastError(12345);
    EXPECT_EQ(1252u, GetACP());
    EXPECT_EQ(12345u, GetLastError());
}

} // namespace
