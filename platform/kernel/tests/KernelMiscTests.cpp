// Last error, paths, version, locale, time and interlocked counters.
#include "shlwapi.h"
#include "winbase.h"
#include "winnls.h"

#include "TestHome.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

namespace {

TEST(LastError, IsPerThread)
{
    SetLastError(5);
    DWORD seen = 1;
    std::thread other([&] {
        seen = GetLastError();
        SetLastError(87);
    });
    other.join();
    EXPECT_EQ(0u, seen);
    EXPECT_EQ(5u, GetLastError());
}

TEST(PathFileExists, FilesFoldersAndMissingPaths)
{
    const auto dir = trumik::testing::MakeTempDir("paths");
    const auto file = dir / "\xD0\xBA\xD0\xBB\xD1\x8E\xD1\x87.pem"; // ключ.pem, named in UTF-8
    trumik::testing::WriteFile(file, "x");

    EXPECT_TRUE(PathFileExistsW(u"/"));
    EXPECT_TRUE(PathFileExistsW(reinterpret_cast<const char16_t*>(dir.u16string().c_str())));
    EXPECT_TRUE(PathFileExistsW(reinterpret_cast<const char16_t*>(file.u16string().c_str())));
    EXPECT_TRUE(PathFileExistsA(file.c_str()));
    // The ANSI form of the name (windows-1251 bytes) finds the UTF-8 file too.
    EXPECT_TRUE(PathFileExistsA((dir.string() + "/\xEA\xEB\xFE\xF7.pem").c_str()));

    SetLastError(0);
    EXPECT_FALSE(PathFileExistsW(reinterpret_cast<const char16_t*>((dir / "missing").u16string().c_str())));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_FALSE(PathFileExistsW(u""));
    EXPECT_FALSE(PathFileExistsW(nullptr));
    EXPECT_FALSE(PathFileExistsA(""));
    EXPECT_FALSE(PathFileExistsA(nullptr));
    EXPECT_FALSE(PathFileExistsA((dir.string() + "/\xEA\xEB\xFE.pem").c_str()));

    SetLastError(1234);
    EXPECT_TRUE(PathFileExistsW(u"/"));
    EXPECT_EQ(1234u, GetLastError()) << "success leaves the last error alone";
}

TEST(Version, Windows7ServicePack1)
{
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_TRUE(GetVersionExA(&info));
    EXPECT_EQ(6u, info.dwMajorVersion);
    EXPECT_EQ(1u, info.dwMinorVersion);
    EXPECT_EQ(7601u, info.dwBuildNumber);
    EXPECT_EQ(static_cast<DWORD>(VER_PLATFORM_WIN32_NT), info.dwPlatformId);
    EXPECT_STREQ("Service Pack 1", info.szCSDVersion);

    OSVERSIONINFOEXA ex{};
    ex.dwOSVersionInfoSize = sizeof ex;
    ASSERT_TRUE(GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&ex)));
    EXPECT_EQ(1, ex.wServicePackMajor);
    EXPECT_EQ(VER_NT_WORKSTATION, ex.wProductType);

    info.dwOSVersionInfoSize = sizeof info - 1;
    SetLastError(0);
    EXPECT_FALSE(GetVersionExA(&info));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
}

TEST(Locale, CodePagesAndSeparators)
{
    EXPECT_EQ(0x419u, GetThreadLocale());
    EXPECT_EQ(0x419u, GetUserDefaultLCID());
    EXPECT_EQ(0x419u, GetSystemDefaultLCID());

    EXPECT_EQ(5, GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE, nullptr, 0));
    char buffer[8];
    SetLastError(0);
    EXPECT_EQ(0, GetLocaleInfoA(0x419, LOCALE_IDEFAULTANSICODEPAGE, buffer, 4));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());

    struct Case {
        LCID locale;
        LCTYPE type;
        const char* value;
    };
    const Case cases[] = {
        {0x419, LOCALE_IDEFAULTANSICODEPAGE, "1251"},
        {0x419, LOCALE_IDEFAULTCODEPAGE, "866"},
        {0x419, LOCALE_SDECIMAL, ","},
        {LOCALE_USER_DEFAULT, LOCALE_SDECIMAL | LOCALE_NOUSEROVERRIDE, ","},
        {LOCALE_SYSTEM_DEFAULT, LOCALE_IDEFAULTCODEPAGE, "866"},
        {0x409, LOCALE_IDEFAULTANSICODEPAGE, "1252"},
        {0x409, LOCALE_IDEFAULTCODEPAGE, "437"},
        {0x409, LOCALE_SDECIMAL, "."},
        {0x419, LOCALE_SENGLANGUAGE, "Russian"},
    };
    for (const auto& c : cases) {
        std::memset(buffer, '#', sizeof buffer);
        EXPECT_EQ(static_cast<int>(std::strlen(c.value) + 1),
                  GetLocaleInfoA(c.locale, c.type, buffer, sizeof buffer))
            << std::hex << c.locale << " " << c.type;
        EXPECT_STREQ(c.value, buffer);
    }

    SetLastError(0);
    EXPECT_EQ(0, GetLocaleInfoA(0x419, 0x7777, buffer, sizeof buffer));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FLAGS), GetLastError());
    SetLastError(0);
    EXPECT_EQ(0, GetLocaleInfoA(0x40C, LOCALE_SDECIMAL, buffer, sizeof buffer));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    SetLastError(0);
    EXPECT_EQ(0, GetLocaleInfoA(0x419, LOCALE_SDECIMAL, nullptr, 4));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST(Time, SystemTimeAgreesWithTheClock)
{
    // time() reads the coarse clock, which may lag the real-time clock that
    // the platform reads by a tick, so the bounds come from the same clock.
    const auto now = [] {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        return ts.tv_sec;
    };
    const time_t before = now();
    FILETIME ft{};
    GetSystemTimeAsFileTime(&ft);
    SYSTEMTIME st{};
    GetSystemTime(&st);
    const time_t after = now();

    const ULONGLONG ticks = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    const auto seconds = static_cast<time_t>(ticks / 10000000ULL - 11644473600ULL);
    EXPECT_GE(seconds, before);
    EXPECT_LE(seconds, after);

    tm utc{};
    gmtime_r(&after, &utc);
    EXPECT_EQ(utc.tm_year + 1900, st.wYear);
    EXPECT_EQ(utc.tm_mon + 1, st.wMonth);
    EXPECT_EQ(utc.tm_wday, st.wDayOfWeek);
    EXPECT_LT(st.wMilliseconds, 1000);
}

TEST(Time, CompareFileTimeComparesBothWords)
{
    const FILETIME a{0xFFFFFFFF, 1}, b{0, 2}, c{0, 2};
    EXPECT_EQ(-1, CompareFileTime(&a, &b));
    EXPECT_EQ(1, CompareFileTime(&b, &a));
    EXPECT_EQ(0, CompareFileTime(&b, &c));
}

TEST(Interlocked, CountsAcrossThreads)
{
    volatile LONG counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                InterlockedIncrement(&counter);
                InterlockedIncrement(&counter);
                InterlockedDecrement(&counter);
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(80000, counter);
    EXPECT_EQ(80001, InterlockedIncrement(&counter));
    EXPECT_EQ(80000, InterlockedDecrement(&counter));
}

TEST(Interlocked, CompareExchangeReturnsTheOldValueAndSwapsOnlyOnAMatch)
{
    volatile LONG value = 7;
    EXPECT_EQ(7, InterlockedCompareExchange(&value, 9, 5));
    EXPECT_EQ(7, value);
    EXPECT_EQ(7, InterlockedCompareExchange(&value, 9, 7));
    EXPECT_EQ(9, value);
    EXPECT_EQ(9, InterlockedCompareExchange(&value, 0, 0)); // a read
    EXPECT_EQ(9, value);
}

TEST(LocalMemory, ZeroInitAndFree)
{
    auto* block = static_cast<unsigned char*>(LocalAlloc(LPTR, 64));
    ASSERT_NE(nullptr, block);
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(0, block[i]);
    EXPECT_EQ(nullptr, LocalFree(block));
    EXPECT_EQ(nullptr, LocalFree(nullptr));
}

} // namespace
