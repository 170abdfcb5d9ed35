#include "MockUnknown.h"
#include "oleauto.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

using oleaut_test::MockDispatch;

namespace {

constexpr LCID kRussian = 0x419;
constexpr LCID kEnglish = 0x409;

struct Var {
    VARIANT v;
    Var() { VariantInit(&v); }
    ~Var() { VariantClear(&v); }
    Var(const Var&) = delete;
    Var& operator=(const Var&) = delete;
    VARIANT* operator&() { return &v; }
    VARIANT* operator->() { return &v; }
};

void SetText(Var& var, const char16_t* text)
{
    VariantClear(&var);
    var->vt = VT_BSTR;
    var->bstrVal = SysAllocString(text);
}

std::u16string Text(const VARIANT& v)
{
    return std::u16string(v.bstrVal, SysStringLen(v.bstrVal));
}

// Converts text to vt in the given locale; returns the HRESULT.
HRESULT FromText(const char16_t* text, VARTYPE vt, Var& out, LCID lcid = kRussian, USHORT flags = 0)
{
    Var src;
    SetText(src, text);
    return VariantChangeTypeEx(&out, &src, lcid, flags, vt);
}

std::u16string ToText(VARIANT src, LCID lcid = kRussian, USHORT flags = 0)
{
    Var out;
    const HRESULT hr = VariantChangeTypeEx(&out, &src, lcid, flags, VT_BSTR);
    if (FAILED(hr))
        return u"<error>";
    return Text(out.v);
}

VARIANT R8(double d)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_R8;
    v.dblVal = d;
    return v;
}

VARIANT Dt(double d)
{
    VARIANT v = R8(d);
    v.vt = VT_DATE;
    return v;
}

TEST(ChangeType, FloatingToIntegerRoundsHalfToEven)
{
    const struct {
        double in;
        LONG out;
    } cases[] = {{0.5, 0},   {1.5, 2},   {2.5, 2},    {3.5, 4},   {-0.5, 0},
                 {-1.5, -2}, {-2.5, -2}, {2.4999, 2}, {2.5001, 3}};
    for (const auto& c : cases) {
        VARIANT src = R8(c.in);
        Var out;
        ASSERT_EQ(VariantChangeType(&out, &src, 0, VT_I4), S_OK) << c.in;
        EXPECT_EQ(out->vt, VT_I4);
        EXPECT_EQ(out->lVal, c.out) << c.in;
    }
    Var out;
    EXPECT_EQ(FromText(u"2,5", VT_I4, out), S_OK);
    EXPECT_EQ(out->lVal, 2);
    EXPECT_EQ(FromText(u"3,5", VT_I2, out), S_OK);
    EXPECT_EQ(out->iVal, 4);

    VARIANT cy;
    VariantInit(&cy);
    cy.vt = VT_CY;
    cy.cyVal.int64 = 25000; // 2.5
    EXPECT_EQ(VariantChangeType(&out, &cy, 0, VT_I4), S_OK);
    EXPECT_EQ(out->lVal, 2);
}

TEST(ChangeType, OverflowAtTheLimits)
{
    Var out;
    VARIANT src = R8(2147483647.4);
    EXPECT_EQ(VariantChangeType(&out, &src, 0, VT_I4), S_OK);
    EXPECT_EQ(out->lVal, 2147483647);
    src = R8(2147483647.5);
    EXPECT_EQ(VariantChangeType(&out, &src, 0, VT_I4), DISP_E_OVERFLOW);
    src = R8(-2147483648.5); // rounds to the even -2147483648
    EXPECT_EQ(VariantChangeType(&out, &src, 0, VT_I4), S_OK);
    EXPECT_EQ(out->lVal, INT32_MIN);
    src = R8(NAN);
    EXPECT_EQ(VariantChangeType(&out, &src, 0, VT_I4), DISP_E_OVERFLOW);
    src = R8(-1);
    EXPECT_EQ(VariantChangeType(&out, &src, 0, VT_UI4), DISP_E_OVERFLOW);
    src = R8(1e300);
    EXPECT_EQ(VariantChangeType(&out, &src, 0, VT_R4), DISP_E_OVERFLOW);

    VARIANT i4;
    VariantInit(&i4);
    i4.vt = VT_I4;
    i4.lVal = 256;
    EXPECT_EQ(VariantChangeType(&out, &i4, 0, VT_UI1), DISP_E_OVERFLOW);
    i4.lVal = -129;
    EXPECT_EQ(VariantChangeType(&out, &i4, 0, VT_I1), DISP_E_OVERFLOW);
    i4.lVal = -128;
    EXPECT_EQ(VariantChangeType(&out, &i4, 0, VT_I1), S_OK);
    EXPECT_EQ(out->cVal, -128);

    EXPECT_EQ(FromText(u"9223372036854775807", VT_I8, out), S_OK);
    EXPECT_EQ(out->llVal, INT64_MAX);
    EXPECT_EQ(FromText(u"9223372036854775808", VT_I8, out), DISP_E_OVERFLOW);
    EXPECT_EQ(FromText(u"18446744073709551615", VT_UI8, out), S_OK);
    EXPECT_EQ(out->ullVal, UINT64_MAX);
    EXPECT_EQ(FromText(u"32768", VT_I2, out), DISP_E_OVERFLOW);
    EXPECT_EQ(FromText(u"1e400", VT_R8, out), DISP_E_OVERFLOW);
    // A failed conversion leaves the destination as it was.
    EXPECT_EQ(out->vt, VT_UI8);
}

TEST(ChangeType, TextThatIsNoNumberIsAMismatch)
{
    Var out;
    for (const char16_t* bad : {u"", u"   ", u"abc", u"12abc", u"1,2,3", u"--1", u"1e", u"0x10"})
        EXPECT_EQ(FromText(bad, VT_I4, out), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(FromText(u"  -42  ", VT_I4, out), S_OK);
    EXPECT_EQ(out->lVal, -42);
    EXPECT_EQ(FromText(u"+1,5e2", VT_I4, out), S_OK);
    EXPECT_EQ(out->lVal, 150);
}

TEST(ChangeType, LocaleDecimalSeparator)
{
    Var out;
    ASSERT_EQ(FromText(u"1,25", VT_R8, out, kRussian), S_OK);
    EXPECT_DOUBLE_EQ(out->dblVal, 1.25);
    // Only the locale's own separator.
    EXPECT_EQ(FromText(u"1.25", VT_R8, out, kRussian), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(FromText(u"1.5", VT_I4, out, kRussian), DISP_E_TYPEMISMATCH);
    ASSERT_EQ(FromText(u"1,25", VT_R8, out, LOCALE_USER_DEFAULT), S_OK);
    EXPECT_DOUBLE_EQ(out->dblVal, 1.25);
    ASSERT_EQ(FromText(u"1.25", VT_R8, out, kEnglish), S_OK);
    EXPECT_DOUBLE_EQ(out->dblVal, 1.25);
    ASSERT_EQ(FromText(u"1,250", VT_R8, out, kEnglish), S_OK); // thousands
    EXPECT_DOUBLE_EQ(out->dblVal, 1250);
    ASSERT_EQ(FromText(u"1,234,567.5", VT_R8, out, kEnglish), S_OK);
    EXPECT_DOUBLE_EQ(out->dblVal, 1234567.5);
    // Russian groups with a no-break space, and reads a typed space the same way.
    ASSERT_EQ(FromText(u"1\u00A0234,5", VT_R8, out, kRussian), S_OK);
    EXPECT_DOUBLE_EQ(out->dblVal, 1234.5);
    ASSERT_EQ(FromText(u"1 234 567", VT_I4, out, kRussian), S_OK);
    EXPECT_EQ(out->lVal, 1234567);

    EXPECT_EQ(ToText(R8(1.5), kRussian), u"1,5");
    EXPECT_EQ(ToText(R8(1.5), LOCALE_USER_DEFAULT), u"1,5");
    EXPECT_EQ(ToText(R8(1.5), kEnglish), u"1.5");
    EXPECT_EQ(ToText(R8(-0.25), LOCALE_INVARIANT), u"-0.25");
}

// Text to numbers reads what VarParseNumFromStr reads on Windows.
TEST(ChangeType, TextNumbersAsWindowsParsesThem)
{
    Var out;
    const struct {
        const char16_t* text;
        LCID lcid;
        LONG value;
    } integers[] = {
        {u"&H10", kRussian, 16},        {u"&h1f", kEnglish, 31},      {u"&O17", kRussian, 15},
        {u" &o7 ", kRussian, 7},        {u"&HFFFF", kRussian, 65535}, {u"&HFFFFFFFF", kRussian, -1},
        {u"(5)", kRussian, -5},         {u"( 5 )", kEnglish, -5},     {u"5-", kRussian, -5},
        {u"5+", kRussian, 5},           {u"5 -", kEnglish, -5},       {u"$5", kEnglish, 5},
        {u"-$5", kEnglish, -5},         {u"$-5", kEnglish, -5},       {u"5$", kEnglish, 5},
        {u"($1,000)", kEnglish, -1000}, {u"5\u20BD", kRussian, 5},    {u"5 \u20BD", kRussian, 5},
    };
    for (const auto& c : integers) {
        ASSERT_EQ(FromText(c.text, VT_I4, out, c.lcid), S_OK)
            << std::string(c.text, c.text + std::char_traits<char16_t>::length(c.text));
        EXPECT_EQ(out->vt, VT_I4);
        EXPECT_EQ(out->lVal, c.value);
    }
    // The bits of a hexadecimal number are read at the target's width.
    ASSERT_EQ(FromText(u"&hFFFF", VT_I2, out), S_OK);
    EXPECT_EQ(out->iVal, -1);
    ASSERT_EQ(FromText(u"&H8000", VT_I2, out), S_OK);
    EXPECT_EQ(out->iVal, -32768);
    ASSERT_EQ(FromText(u"&HFF", VT_I2, out), S_OK);
    EXPECT_EQ(out->iVal, 255);
    ASSERT_EQ(FromText(u"&HFF", VT_UI1, out), S_OK);
    EXPECT_EQ(out->bVal, 255);
    ASSERT_EQ(FromText(u"&HFFFF", VT_UI2, out), S_OK);
    EXPECT_EQ(out->uiVal, 65535);
    EXPECT_EQ(FromText(u"&H10000", VT_I2, out), DISP_E_OVERFLOW);
    EXPECT_EQ(FromText(u"&H100", VT_UI1, out), DISP_E_OVERFLOW);
    ASSERT_EQ(FromText(u"&HFFFFFFFFFFFFFFFF", VT_I8, out), S_OK);
    EXPECT_EQ(out->llVal, -1);
    EXPECT_EQ(FromText(u"&H10000000000000000", VT_I8, out), DISP_E_OVERFLOW);
    // Other targets take the smallest of 16, 32 and 64 bits that holds it.
    ASSERT_EQ(FromText(u"&HFFFF", VT_R8, out), S_OK);
    EXPECT_EQ(out->dblVal, -1.0);
    ASSERT_EQ(FromText(u"&H10000", VT_R8, out), S_OK);
    EXPECT_EQ(out->dblVal, 65536.0);
    ASSERT_EQ(FromText(u"(1,5)", VT_R8, out), S_OK);
    EXPECT_EQ(out->dblVal, -1.5);
    ASSERT_EQ(FromText(u"$1.25", VT_CY, out, kEnglish), S_OK);
    EXPECT_EQ(out->cyVal.int64, 12500);

    for (const char16_t* bad : {u"&H", u"&HG", u"&O8", u"-&H10", u"&X10", u"(5", u"5)", u"(-5)", u"-5-",
                                u"$5$", u"\u20BD5\u20BD", u"()", u"$", u"5)(", u"(5)-"})
        EXPECT_EQ(FromText(bad, VT_I4, out, kEnglish), DISP_E_TYPEMISMATCH)
            << std::string(bad, bad + std::char_traits<char16_t>::length(bad));
    // Only the locale's own currency symbol.
    EXPECT_EQ(FromText(u"$5", VT_I4, out, kRussian), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(FromText(u"5\u20BD", VT_I4, out, kEnglish), DISP_E_TYPEMISMATCH);
}

TEST(ChangeType, DoublesPrintWithFifteenDigits)
{
    EXPECT_EQ(ToText(R8(0.1 + 0.2), kEnglish), u"0.3");
    EXPECT_EQ(ToText(R8(1.0 / 3), kEnglish), u"0.333333333333333");
    EXPECT_EQ(ToText(R8(100), kEnglish), u"100");
    EXPECT_EQ(ToText(R8(1e14), kEnglish), u"100000000000000");
    EXPECT_EQ(ToText(R8(1e15), kEnglish), u"1E+15");
    EXPECT_EQ(ToText(R8(0.00001), kEnglish), u"1E-05");
    EXPECT_EQ(ToText(R8(123456789012345678.0), kEnglish), u"1.23456789012346E+17");
    EXPECT_EQ(ToText(R8(-0.0), kEnglish), u"0");
    VARIANT f;
    VariantInit(&f);
    f.vt = VT_R4;
    f.fltVal = 0.1f;
    EXPECT_EQ(ToText(f, kRussian), u"0,1");
}

TEST(ChangeType, Booleans)
{
    VARIANT b;
    VariantInit(&b);
    b.vt = VT_BOOL;
    b.boolVal = VARIANT_TRUE;
    Var out;
    ASSERT_EQ(VariantChangeType(&out, &b, 0, VT_I4), S_OK);
    EXPECT_EQ(out->lVal, -1);
    ASSERT_EQ(VariantChangeType(&out, &b, 0, VT_R8), S_OK);
    EXPECT_EQ(out->dblVal, -1.0);
    ASSERT_EQ(VariantChangeType(&out, &b, 0, VT_UI1), S_OK);
    EXPECT_EQ(out->bVal, 255);

    EXPECT_EQ(ToText(b, kRussian, VARIANT_ALPHABOOL), u"True");
    EXPECT_EQ(ToText(b, kRussian, VARIANT_LOCALBOOL), u"True");
    EXPECT_EQ(ToText(b, kRussian, 0), u"-1");
    b.boolVal = VARIANT_FALSE;
    EXPECT_EQ(ToText(b, kEnglish, VARIANT_ALPHABOOL), u"False");
    EXPECT_EQ(ToText(b, kEnglish, 0), u"0");

    VARIANT n = R8(0.001);
    ASSERT_EQ(VariantChangeType(&out, &n, 0, VT_BOOL), S_OK);
    EXPECT_EQ(out->boolVal, VARIANT_TRUE);
    n = R8(0);
    ASSERT_EQ(VariantChangeType(&out, &n, 0, VT_BOOL), S_OK);
    EXPECT_EQ(out->boolVal, VARIANT_FALSE);

    const struct {
        const char16_t* text;
        VARIANT_BOOL value;
    } texts[] = {{u"True", VARIANT_TRUE}, {u"tRUE", VARIANT_TRUE}, {u" false ", VARIANT_FALSE},
                 {u"0", VARIANT_FALSE},   {u"-1", VARIANT_TRUE},   {u"0,5", VARIANT_TRUE}};
    for (const auto& t : texts) {
        ASSERT_EQ(FromText(t.text, VT_BOOL, out), S_OK);
        EXPECT_EQ(out->boolVal, t.value);
    }
    EXPECT_EQ(FromText(u"yes", VT_BOOL, out), DISP_E_TYPEMISMATCH);
}

// A boolean holding another value than VARIANT_TRUE converts as that value.
TEST(ChangeType, NonCanonicalBooleans)
{
    VARIANT b;
    VariantInit(&b);
    b.vt = VT_BOOL;
    b.boolVal = 1;
    Var out;
    ASSERT_EQ(VariantChangeType(&out, &b, 0, VT_I4), S_OK);
    EXPECT_EQ(out->lVal, 1);
    ASSERT_EQ(VariantChangeType(&out, &b, 0, VT_R8), S_OK);
    EXPECT_EQ(out->dblVal, 1.0);
    ASSERT_EQ(VariantChangeType(&out, &b, 0, VT_UI2), S_OK);
    EXPECT_EQ(out->uiVal, 1);
    ASSERT_EQ(VariantChangeType(&out, &b, 0, VT_CY), S_OK);
    EXPECT_EQ(out->cyVal.int64, 10000);
    EXPECT_EQ(ToText(b, kRussian, 0), u"1");
    EXPECT_EQ(ToText(b, kRussian, VARIANT_ALPHABOOL), u"True");
    b.boolVal = 2;
    ASSERT_EQ(VariantChangeType(&out, &b, 0, VT_I2), S_OK);
    EXPECT_EQ(out->iVal, 2);
    b.boolVal = 0x100; // cast to a byte, as Windows casts it
    ASSERT_EQ(VariantChangeType(&out, &b, 0, VT_UI1), S_OK);
    EXPECT_EQ(out->bVal, 0);

    // True as a decimal is 1, not -1.
    for (VARIANT_BOOL value : {VARIANT_TRUE, VARIANT_BOOL(1)}) {
        b.boolVal = value;
        ASSERT_EQ(VariantChangeType(&out, &b, 0, VT_DECIMAL), S_OK);
        EXPECT_EQ(out->vt, VT_DECIMAL);
        EXPECT_EQ(out->decVal.sign, 0);
        EXPECT_EQ(out->decVal.scale, 0);
        EXPECT_EQ(out->decVal.Hi32, 0u);
        EXPECT_EQ(out->decVal.Lo64, 1u);
    }
    b.boolVal = VARIANT_FALSE;
    ASSERT_EQ(VariantChangeTypeEx(&out, &b, kEnglish, 0, VT_DECIMAL), S_OK);
    EXPECT_EQ(out->decVal.Lo64, 0u);
}

TEST(ChangeType, EmptyAndNull)
{
    VARIANT empty;
    VariantInit(&empty);
    Var out;
    ASSERT_EQ(VariantChangeType(&out, &empty, 0, VT_I4), S_OK);
    EXPECT_EQ(out->vt, VT_I4);
    EXPECT_EQ(out->lVal, 0);
    ASSERT_EQ(VariantChangeType(&out, &empty, 0, VT_BSTR), S_OK);
    ASSERT_NE(out->bstrVal, nullptr);
    EXPECT_EQ(SysStringLen(out->bstrVal), 0u);

    VARIANT null;
    VariantInit(&null);
    null.vt = VT_NULL;
    for (VARTYPE vt : {VT_I4, VT_BSTR, VT_R8, VT_BOOL, VT_DATE})
        EXPECT_EQ(VariantChangeType(&out, &null, 0, vt), DISP_E_TYPEMISMATCH) << vt;
    EXPECT_EQ(VariantChangeType(&out, &null, 0, VT_NULL), S_OK);
    EXPECT_EQ(out->vt, VT_NULL);

    EXPECT_EQ(VariantChangeType(&out, &empty, 0, 15), DISP_E_BADVARTYPE);
    VARIANT bad;
    bad.vt = 15;
    EXPECT_EQ(VariantChangeType(&out, &bad, 0, VT_I4), DISP_E_BADVARTYPE);
}

TEST(ChangeType, ByReferenceAndInPlace)
{
    LONG value = 1234;
    VARIANT ref;
    VariantInit(&ref);
    ref.vt = VT_BYREF | VT_I4;
    ref.plVal = &value;
    Var out;
    ASSERT_EQ(VariantChangeType(&out, &ref, 0, VT_BSTR), S_OK);
    EXPECT_EQ(Text(out.v), u"1234");

    BSTR text = SysAllocString(u"77");
    VARIANT sref;
    VariantInit(&sref);
    sref.vt = VT_BYREF | VT_BSTR;
    sref.pbstrVal = &text;
    ASSERT_EQ(VariantChangeType(&sref, &sref, 0, VT_I4), S_OK);
    EXPECT_EQ(sref.vt, VT_I4);
    EXPECT_EQ(sref.lVal, 77);
    EXPECT_EQ(std::u16string(text), u"77"); // the referenced string is untouched
    SysFreeString(text);

    VARIANT inner = R8(2.5);
    VARIANT vref;
    VariantInit(&vref);
    vref.vt = VT_BYREF | VT_VARIANT;
    vref.pvarVal = &inner;
    ASSERT_EQ(VariantChangeType(&out, &vref, 0, VT_I4), S_OK);
    EXPECT_EQ(out->lVal, 2);

    // In place from an owned string: the string is released (ASan checks).
    Var own;
    SetText(own, u"12,75");
    ASSERT_EQ(VariantChangeTypeEx(&own, &own, kRussian, 0, VT_R8), S_OK);
    EXPECT_EQ(own->vt, VT_R8);
    EXPECT_DOUBLE_EQ(own->dblVal, 12.75);
    ASSERT_EQ(VariantChangeTypeEx(&own, &own, kRussian, 0, VT_BSTR), S_OK);
    EXPECT_EQ(Text(own.v), u"12,75");

    // A failed in-place conversion leaves the source as it was.
    SetText(own, u"nope");
    EXPECT_EQ(VariantChangeType(&own, &own, 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(Text(own.v), u"nope");
}

TEST(ChangeType, CurrencyAndDecimal)
{
    Var out;
    ASSERT_EQ(FromText(u"12,34565", VT_CY, out), S_OK);
    EXPECT_EQ(out->cyVal.int64, 123456); // 12.3456|5 rounds to even
    EXPECT_EQ(ToText(out.v), u"12,3456");
    VARIANT r = R8(1.5);
    ASSERT_EQ(VariantChangeType(&out, &r, 0, VT_CY), S_OK);
    EXPECT_EQ(out->cyVal.int64, 15000);
    EXPECT_EQ(ToText(out.v, kEnglish), u"1.5");
    r = R8(1e16);
    EXPECT_EQ(VariantChangeType(&out, &r, 0, VT_CY), DISP_E_OVERFLOW);

    ASSERT_EQ(FromText(u"-79228162514264337593543950335", VT_DECIMAL, out), S_OK);
    EXPECT_EQ(out->vt, VT_DECIMAL);
    EXPECT_EQ(out->decVal.sign, DECIMAL_NEG);
    EXPECT_EQ(out->decVal.Hi32, 0xFFFFFFFFu);
    EXPECT_EQ(out->decVal.Lo64, 0xFFFFFFFFFFFFFFFFull);
    EXPECT_EQ(FromText(u"79228162514264337593543950336", VT_DECIMAL, out), DISP_E_OVERFLOW);

    ASSERT_EQ(FromText(u"0,1", VT_DECIMAL, out), S_OK);
    EXPECT_EQ(out->decVal.scale, 1);
    EXPECT_EQ(out->decVal.Lo64, 1u);
    r = R8(0.1);
    ASSERT_EQ(VariantChangeType(&out, &r, 0, VT_DECIMAL), S_OK);
    EXPECT_EQ(out->decVal.scale, 1); // fifteen digits: exactly 0.1
    EXPECT_EQ(out->decVal.Lo64, 1u);
    EXPECT_EQ(ToText(out.v, kEnglish), u"0.1");
    ASSERT_EQ(VariantChangeType(&out, &out, 0, VT_I4), S_OK);
    EXPECT_EQ(out->lVal, 0);
}

TEST(ChangeType, DatesToText)
{
    SYSTEMTIME st{2026, 12, 0, 8, 18, 54, 49, 0};
    double d;
    ASSERT_TRUE(SystemTimeToVariantTime(&st, &d));
    EXPECT_EQ(ToText(Dt(d), kRussian), u"08.12.2026 18:54:49");
    EXPECT_EQ(ToText(Dt(d), LOCALE_USER_DEFAULT), u"08.12.2026 18:54:49");
    EXPECT_EQ(ToText(Dt(d), kEnglish), u"12/8/2026 6:54:49 PM");
    EXPECT_EQ(ToText(Dt(d), LOCALE_INVARIANT), u"12/08/2026 18:54:49");
    EXPECT_EQ(ToText(Dt(std::floor(d)), kRussian), u"08.12.2026");
    EXPECT_EQ(ToText(Dt(0.25), kRussian), u"6:00:00");
    EXPECT_EQ(ToText(Dt(0.25), kEnglish), u"6:00:00 AM");
    EXPECT_EQ(ToText(Dt(0), kEnglish), u"12:00:00 AM");
    EXPECT_EQ(ToText(Dt(-1.25), kRussian), u"29.12.1899 6:00:00");
}

TEST(ChangeType, TextToDates)
{
    SYSTEMTIME st{2026, 12, 0, 8, 18, 54, 49, 0};
    double expected;
    ASSERT_TRUE(SystemTimeToVariantTime(&st, &expected));
    Var out;
    for (const char16_t* text : {u"08.12.2026 18:54:49", u"8.12.2026 18:54:49", u"2026-12-08 18:54:49",
                                 u"2026-12-08T18:54:49", u" 08.12.2026  6:54:49 PM "}) {
        ASSERT_EQ(FromText(text, VT_DATE, out), S_OK);
        EXPECT_EQ(out->vt, VT_DATE);
        EXPECT_NEAR(out->date, expected, 1e-9);
    }
    ASSERT_EQ(FromText(u"12/8/2026 6:54:49 PM", VT_DATE, out, kEnglish), S_OK);
    EXPECT_NEAR(out->date, expected, 1e-9);
    ASSERT_EQ(FromText(u"08.12.2026", VT_DATE, out), S_OK);
    EXPECT_EQ(out->date, std::floor(expected));
    ASSERT_EQ(FromText(u"18:54", VT_DATE, out), S_OK);
    EXPECT_NEAR(out->date, (18 * 60 + 54) / 1440.0, 1e-12);
    for (const char16_t* bad :
         {u"31.02.2026", u"08.13.2026", u"08.12.2026 24:00", u"tomorrow", u"", u"08.12"})
        EXPECT_EQ(FromText(bad, VT_DATE, out), DISP_E_TYPEMISMATCH);

    VARIANT r = R8(3e6);
    EXPECT_EQ(VariantChangeType(&out, &r, 0, VT_DATE), DISP_E_OVERFLOW);
    r = R8(45000.75);
    ASSERT_EQ(VariantChangeType(&out, &r, 0, VT_DATE), S_OK);
    EXPECT_EQ(out->date, 45000.75);
    ASSERT_EQ(VariantChangeType(&out, &out, 0, VT_I4), S_OK);
    EXPECT_EQ(out->lVal, 45001);
}

TEST(ChangeType, ObjectsGiveTheirValueProperty)
{
    MockDispatch obj;
    obj.value.vt = VT_I4;
    obj.value.lVal = 42;
    VARIANT src;
    VariantInit(&src);
    src.vt = VT_DISPATCH;
    src.pdispVal = &obj;
    Var out;
    ASSERT_EQ(VariantChangeType(&out, &src, 0, VT_BSTR), S_OK);
    EXPECT_EQ(Text(out.v), u"42");
    EXPECT_EQ(VariantChangeType(&out, &src, VARIANT_NOVALUEPROP, VT_BSTR), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(obj.invokes, 1);

    ASSERT_EQ(VariantChangeType(&out, &src, 0, VT_UNKNOWN), S_OK);
    EXPECT_EQ(out->punkVal, static_cast<IUnknown*>(&obj));
    EXPECT_EQ(obj.refs, 2u);
    ASSERT_EQ(VariantChangeType(&out, &out, 0, VT_DISPATCH), S_OK);
    EXPECT_EQ(obj.refs, 2u);
    VariantClear(&out);
    EXPECT_EQ(obj.refs, 1u);
}

} // namespace
