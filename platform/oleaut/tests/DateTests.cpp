#include "oleauto.h"
#include "winbase.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

SYSTEMTIME Make(WORD y, WORD mo, WORD d, WORD h = 0, WORD mi = 0, WORD s = 0, WORD ms = 0)
{
    return SYSTEMTIME{y, mo, 0, d, h, mi, s, ms};
}

void ExpectTime(const SYSTEMTIME& st, WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s, WORD dow)
{
    EXPECT_EQ(st.wYear, y);
    EXPECT_EQ(st.wMonth, mo);
    EXPECT_EQ(st.wDay, d);
    EXPECT_EQ(st.wHour, h);
    EXPECT_EQ(st.wMinute, mi);
    EXPECT_EQ(st.wSecond, s);
    EXPECT_EQ(st.wDayOfWeek, dow);
    EXPECT_EQ(st.wMilliseconds, 0);
}

TEST(VariantTime, RangeEndsRoundTrip)
{
    SYSTEMTIME st;
    ASSERT_TRUE(VariantTimeToSystemTime(-657434.0, &st));
    ExpectTime(st, 100, 1, 1, 0, 0, 0, 5); // a Friday
    ASSERT_TRUE(VariantTimeToSystemTime(2958465.0 + 86399.0 / 86400, &st));
    ExpectTime(st, 9999, 12, 31, 23, 59, 59, 5);
    ASSERT_TRUE(VariantTimeToSystemTime(0.0, &st));
    ExpectTime(st, 1899, 12, 30, 0, 0, 0, 6);

    double d;
    SYSTEMTIME first = Make(100, 1, 1);
    ASSERT_TRUE(SystemTimeToVariantTime(&first, &d));
    EXPECT_EQ(d, -657434.0);
    SYSTEMTIME last = Make(9999, 12, 31, 23, 59, 59);
    ASSERT_TRUE(SystemTimeToVariantTime(&last, &d));
    EXPECT_NEAR(d, 2958465.99998843, 1e-8);

    EXPECT_FALSE(VariantTimeToSystemTime(-657435.0, &st));
    EXPECT_FALSE(VariantTimeToSystemTime(2958466.0, &st));
    EXPECT_FALSE(VariantTimeToSystemTime(2958465.99999999, &st)); // rounds into year 10000
    EXPECT_FALSE(VariantTimeToSystemTime(NAN, &st));
}

TEST(VariantTime, NegativeDatesCountTheTimeForward)
{
    SYSTEMTIME st;
    ASSERT_TRUE(VariantTimeToSystemTime(-1.25, &st));
    ExpectTime(st, 1899, 12, 29, 6, 0, 0, 5);
    ASSERT_TRUE(VariantTimeToSystemTime(-0.75, &st)); // the fraction of day 0
    ExpectTime(st, 1899, 12, 30, 18, 0, 0, 6);
    double d;
    SYSTEMTIME back = Make(1899, 12, 29, 6);
    ASSERT_TRUE(SystemTimeToVariantTime(&back, &d));
    EXPECT_EQ(d, -1.25);
    SYSTEMTIME early = Make(1800, 2, 28, 12);
    ASSERT_TRUE(SystemTimeToVariantTime(&early, &d));
    ASSERT_TRUE(VariantTimeToSystemTime(d, &st));
    ExpectTime(st, 1800, 2, 28, 12, 0, 0, 5);
}

TEST(VariantTime, RoundsToTheNearestSecond)
{
    SYSTEMTIME st;
    ASSERT_TRUE(VariantTimeToSystemTime(1.0 + 10.5 / 86400, &st));
    EXPECT_EQ(st.wSecond, 11);
    ASSERT_TRUE(VariantTimeToSystemTime(1.0 + 10.49 / 86400, &st));
    EXPECT_EQ(st.wSecond, 10);
    // Half a second before midnight moves to the next day.
    ASSERT_TRUE(VariantTimeToSystemTime(1.0 + 86399.5 / 86400, &st));
    ExpectTime(st, 1900, 1, 1, 0, 0, 0, 1);
    ASSERT_TRUE(VariantTimeToSystemTime(-1.0 - 86399.6 / 86400, &st));
    ExpectTime(st, 1899, 12, 30, 0, 0, 0, 6);
}

// Fields past their range carry into the next field, as on Windows.
TEST(VariantTime, FieldsRollOver)
{
    const struct {
        SYSTEMTIME given;
        SYSTEMTIME same;
    } cases[] = {
        {Make(1980, 1, 0), Make(1979, 12, 31)},
        {Make(2026, 3, 0), Make(2026, 2, 28)},
        {Make(2027, 2, 29), Make(2027, 3, 1)},
        {Make(1900, 2, 29), Make(1900, 3, 1)},
        {Make(2026, 4, 31), Make(2026, 5, 1)},
        {Make(2026, 2, 31, 12), Make(2026, 3, 3, 12)},
        {Make(2026, 1, 1, 24), Make(2026, 1, 2)},
        {Make(2026, 1, 1, 0, 60), Make(2026, 1, 1, 1)},
        {Make(2026, 1, 1, 0, 0, 60), Make(2026, 1, 1, 0, 1)},
        {Make(2026, 12, 31, 23, 59, 60), Make(2027, 1, 1)},
        {Make(2026, 1, 1, 47, 59, 125), Make(2026, 1, 3, 0, 1, 5)},
        {Make(1980, 0, 1), Make(1979, 12, 1)},
    };
    for (const auto& c : cases) {
        SYSTEMTIME given = c.given, same = c.same;
        double rolled = 0, expected = 1;
        ASSERT_TRUE(SystemTimeToVariantTime(&given, &rolled))
            << given.wYear << "-" << given.wMonth << "-" << given.wDay;
        ASSERT_TRUE(SystemTimeToVariantTime(&same, &expected));
        EXPECT_EQ(expected, rolled) << given.wYear << "-" << given.wMonth << "-" << given.wDay << " "
                                    << given.wHour;
    }
    SYSTEMTIME dayZero = Make(1980, 1, 0);
    double d = 0;
    ASSERT_TRUE(SystemTimeToVariantTime(&dayZero, &d));
    EXPECT_EQ(d, 29220.0);
    SYSTEMTIME notLeap = Make(2027, 2, 29);
    ASSERT_TRUE(SystemTimeToVariantTime(&notLeap, &d));
    EXPECT_EQ(d, 46447.0);
}

// What Windows refuses before rolling anything (a month above 12, a day
// above 31, a negative year), and results outside the years 100..9999.
TEST(VariantTime, InvalidFieldsAreRefused)
{
    double d = 123;
    for (SYSTEMTIME bad :
         {Make(2026, 13, 1), Make(2026, 1, 32), Make(2026, 2, 32), Make(0xFFFF, 1, 1), Make(0x8000, 1, 1),
          Make(10000, 1, 1), Make(9999, 12, 31, 23, 59, 60), Make(100, 1, 0)})
        EXPECT_FALSE(SystemTimeToVariantTime(&bad, &d)) << bad.wYear << "-" << bad.wMonth << "-" << bad.wDay;
    EXPECT_EQ(d, 123);
    SYSTEMTIME leap = Make(2024, 2, 29, 0, 0, 0, 999); // milliseconds are ignored
    ASSERT_TRUE(SystemTimeToVariantTime(&leap, &d));
    EXPECT_EQ(d, 45351.0);
    SYSTEMTIME first = Make(100, 1, 1);
    EXPECT_TRUE(SystemTimeToVariantTime(&first, &d));
    SYSTEMTIME last = Make(9999, 12, 31, 23, 59, 59);
    EXPECT_TRUE(SystemTimeToVariantTime(&last, &d));
    SYSTEMTIME twoDigit = Make(26, 12, 8);
    ASSERT_TRUE(SystemTimeToVariantTime(&twoDigit, &d));
    SYSTEMTIME st;
    ASSERT_TRUE(VariantTimeToSystemTime(d, &st));
    EXPECT_EQ(st.wYear, 2026);
}

TEST(FileTime, LimitsAndRoundTrip)
{
    FILETIME ft;
    SYSTEMTIME st = Make(1601, 1, 1);
    ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
    EXPECT_EQ(ft.dwLowDateTime, 0u);
    EXPECT_EQ(ft.dwHighDateTime, 0u);

    st = Make(1970, 1, 1, 0, 0, 1, 500);
    ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
    const uint64_t ticks = (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    EXPECT_EQ(ticks, 116444736000000000ull + 15000000ull);
    SYSTEMTIME back{};
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
    EXPECT_EQ(back.wYear, 1970);
    EXPECT_EQ(back.wSecond, 1);
    EXPECT_EQ(back.wMilliseconds, 500);
    EXPECT_EQ(back.wDayOfWeek, 4); // a Thursday

    st = Make(30827, 12, 31, 23, 59, 59, 999);
    ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
    EXPECT_EQ(back.wYear, 30827);
    EXPECT_EQ(back.wMilliseconds, 999);

    FILETIME max{0xFFFFFFFFu, 0x7FFFFFFFu};
    ASSERT_TRUE(FileTimeToSystemTime(&max, &back));
    EXPECT_EQ(back.wYear, 30828);
    EXPECT_EQ(back.wMonth, 9);
    EXPECT_EQ(back.wDay, 14);
    EXPECT_EQ(back.wHour, 2);
    EXPECT_EQ(back.wMinute, 48);
    EXPECT_EQ(back.wSecond, 5);
    EXPECT_EQ(back.wMilliseconds, 477);

    SetLastError(0);
    FILETIME over{0, 0x80000000u};
    EXPECT_FALSE(FileTimeToSystemTime(&over, &back));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST(FileTime, InvalidFieldsSetLastError)
{
    FILETIME ft{1, 2};
    for (SYSTEMTIME bad : {Make(1600, 12, 31), Make(30828, 1, 1), Make(2026, 2, 29), Make(2026, 13, 1),
                           Make(2026, 1, 1, 24), Make(2026, 1, 1, 0, 0, 0, 1000)}) {
        SetLastError(0);
        EXPECT_FALSE(SystemTimeToFileTime(&bad, &ft));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    }
    EXPECT_EQ(ft.dwLowDateTime, 1u);
    SYSTEMTIME withDow = Make(2026, 12, 8);
    withDow.wDayOfWeek = 42; // ignored
    EXPECT_TRUE(SystemTimeToFileTime(&withDow, &ft));
}

} // namespace
