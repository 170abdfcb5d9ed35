// VariantChangeType(Ex): conversions between the automation scalar types
// with the Windows rules: DISP_E_OVERFLOW for values out of the target's
// range, DISP_E_TYPEMISMATCH for text that is not a number (or date),
// floating values rounded half to even on their way to integers.
#include "OleAutInternal.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

using namespace trumik::platform::oleaut;

namespace {

using u128 = unsigned __int128;
using i128 = __int128;

const GUID kIidNull = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

// ---------------------------------------------------------------------------
// Exact decimal values: sign * mag * 10^exp.

struct Exact {
    bool neg = false;
    u128 mag = 0;
    int exp = 0;
};

constexpr int kMaxDigits = 36; // 10^36 < 2^127
const u128 kDecimalLimit = static_cast<u128>(1) << 96;

u128 Pow10(int n)
{
    u128 p = 1;
    for (int i = 0; i < n; ++i)
        p *= 10;
    return p;
}

// The magnitude of e expressed at exponent targetExp, rounded half to even.
// False when it does not fit 127 bits.
bool RoundToExp(const Exact& e, int targetExp, u128& out)
{
    if (e.mag == 0) {
        out = 0;
        return true;
    }
    if (e.exp >= targetExp) {
        const int shift = e.exp - targetExp;
        if (shift > 38)
            return false;
        const u128 p = Pow10(shift);
        const u128 limit = (static_cast<u128>(1) << 127) - 1;
        if (e.mag > limit / p)
            return false;
        out = e.mag * p;
        return true;
    }
    const int drop = targetExp - e.exp;
    if (drop > 38) {
        out = 0; // mag < 10^37, so the value is below half a unit
        return true;
    }
    const u128 p = Pow10(drop);
    u128 q = e.mag / p;
    const u128 r = e.mag % p;
    const u128 half = p / 2;
    if (r > half || (r == half && (q & 1)))
        ++q;
    out = q;
    return true;
}

void TrimTrailingZeros(Exact& e)
{
    if (e.mag == 0) {
        e.exp = 0;
        return;
    }
    while (e.exp < 0 && e.mag % 10 == 0) {
        e.mag /= 10;
        ++e.exp;
    }
}

std::string DigitsOf(u128 mag)
{
    if (mag == 0)
        return "0";
    std::string s;
    while (mag) {
        s.insert(s.begin(), static_cast<char>('0' + static_cast<int>(mag % 10)));
        mag /= 10;
    }
    return s;
}

// False on overflow to infinity.
bool ExactToDouble(const Exact& e, double& out)
{
    if (e.mag == 0) {
        out = 0.0;
        return true;
    }
    const std::string text = DigitsOf(e.mag) + "e" + std::to_string(e.exp);
    const double v = std::strtod(text.c_str(), nullptr);
    if (std::isinf(v))
        return false;
    out = e.neg ? -v : v;
    return true;
}

// A double to its decimal form with the given number of significant digits,
// as the decimal conversions of Windows do (15 for doubles, 7 for floats).
Exact ExactFromDouble(double d, int significant)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*E", significant - 1, d);
    Exact e;
    const char* p = buf;
    if (*p == '-') {
        e.neg = true;
        ++p;
    }
    int digits = 0;
    for (; *p && *p != 'E'; ++p)
        if (*p >= '0' && *p <= '9') {
            e.mag = e.mag * 10 + static_cast<unsigned>(*p - '0');
            ++digits;
        }
    int power = 0;
    if (*p == 'E')
        power = std::atoi(p + 1);
    e.exp = power - (digits - 1);
    TrimTrailingZeros(e);
    return e;
}

Exact ExactFromSigned(int64_t v)
{
    Exact e;
    e.neg = v < 0;
    e.mag = e.neg ? static_cast<u128>(-(static_cast<i128>(v))) : static_cast<u128>(v);
    return e;
}

Exact ExactFromDecimal(const DECIMAL& d)
{
    Exact e;
    e.neg = (d.sign & DECIMAL_NEG) != 0;
    e.mag = (static_cast<u128>(d.Hi32) << 64) | d.Lo64;
    e.exp = -static_cast<int>(d.scale);
    return e;
}

bool ExactToDecimal(const Exact& e, DECIMAL& out)
{
    int target = std::max(e.exp, -28);
    if (target > 0)
        target = 0;
    u128 mag;
    for (;; ++target) {
        if (target > 0)
            return false;
        if (RoundToExp(e, target, mag) && mag < kDecimalLimit)
            break;
    }
    std::memset(&out, 0, sizeof out);
    out.scale = static_cast<BYTE>(-target);
    out.sign = (e.neg && mag != 0) ? DECIMAL_NEG : 0;
    out.Hi32 = static_cast<ULONG>(mag >> 64);
    out.Lo64 = static_cast<ULONGLONG>(mag);
    return true;
}

// ---------------------------------------------------------------------------
// Text.

bool IsSpace(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\u00A0';
}

std::u16string_view Trim(std::u16string_view s)
{
    while (!s.empty() && IsSpace(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsSpace(s.back()))
        s.remove_suffix(1);
    return s;
}

bool EqualsAsciiNoCase(std::u16string_view s, const char* ascii)
{
    const size_t n = std::strlen(ascii);
    if (s.size() != n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        char16_t c = s[i];
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
        char a = ascii[i];
        if (a >= 'A' && a <= 'Z')
            a = static_cast<char>(a - 'A' + 'a');
        if (c != static_cast<unsigned char>(a))
            return false;
    }
    return true;
}

std::u16string_view BstrView(BSTR b)
{
    return b ? std::u16string_view(b, SysStringLen(b)) : std::u16string_view();
}

// A number read from text. Hexadecimal and octal numbers ("&H10", "&O17")
// keep their bits: how they read depends on the type they go to.
struct TextNumber {
    Exact value;
    bool radix = false;
    bool tooLong = false; // more digits than 64 bits hold
    uint64_t bits = 0;
};

bool StartsWith(std::u16string_view s, size_t i, const char16_t* prefix)
{
    if (!prefix || !*prefix)
        return false;
    return s.substr(i).starts_with(std::u16string_view(prefix));
}

// "&H" or "&O" and digits, the whole rest of the text.
bool ParseRadix(std::u16string_view s, size_t i, TextNumber& out)
{
    const char16_t kind = s[i + 1];
    const unsigned shift = (kind == u'H' || kind == u'h') ? 4 : 3;
    i += 2;
    if (i >= s.size())
        return false;
    uint64_t v = 0;
    for (; i < s.size(); ++i) {
        const char16_t c = s[i];
        unsigned digit;
        if (c >= u'0' && c <= u'9')
            digit = c - u'0';
        else if (shift == 4 && c >= u'a' && c <= u'f')
            digit = c - u'a' + 10;
        else if (shift == 4 && c >= u'A' && c <= u'F')
            digit = c - u'A' + 10;
        else
            return false;
        if (digit >= (1u << shift))
            return false;
        if ((v >> (64 - shift)) != 0)
            out.tooLong = true;
        v = v << shift | digit;
    }
    out.bits = v;
    return true;
}

// Numbers as text, as VarParseNumFromStr reads them: blanks around; a sign
// before or after the number, or parentheses for a negative one; the
// locale's currency symbol before or after; digits with the locale's
// decimal separator (no other) and its thousands separator in the integer
// part; an exponent. Or "&H"/"&O" and hexadecimal or octal digits.
bool ParseNumber(std::u16string_view text, const LocaleRules& rules, TextNumber& out)
{
    std::u16string_view s = Trim(text);
    size_t i = 0;
    Exact e;
    bool sign = false, paren = false, currency = false;
    auto takeCurrency = [&] {
        if (currency || !StartsWith(s, i, rules.currency))
            return false;
        currency = true;
        i += std::char_traits<char16_t>::length(rules.currency);
        return true;
    };
    for (;;) {
        if (i >= s.size())
            return false;
        const char16_t c = s[i];
        if ((c == u'+' || c == u'-') && !sign && !paren) {
            sign = true;
            e.neg = c == u'-';
            ++i;
        } else if (c == u'(' && !sign && !paren) {
            paren = true;
            ++i;
        } else if ((sign || paren || currency) && IsSpace(c)) {
            ++i;
        } else if (!takeCurrency()) {
            break;
        }
    }
    if (!sign && !paren && !currency && s[i] == u'&' && i + 1 < s.size()) {
        out = TextNumber{};
        out.radix = true;
        const char16_t kind = s[i + 1];
        if (kind != u'H' && kind != u'h' && kind != u'O' && kind != u'o')
            return false;
        return ParseRadix(s, i, out);
    }

    bool anyDigit = false, inFraction = false, dropped = false;
    int firstDropped = -1, kept = 0;
    for (; i < s.size(); ++i) {
        const char16_t c = s[i];
        if (c >= u'0' && c <= u'9') {
            anyDigit = true;
            const unsigned digit = c - u'0';
            if (e.mag == 0 && digit == 0) {
                if (inFraction)
                    --e.exp;
                continue;
            }
            if (kept < kMaxDigits) {
                e.mag = e.mag * 10 + digit;
                ++kept;
                if (inFraction)
                    --e.exp;
            } else {
                if (firstDropped < 0)
                    firstDropped = static_cast<int>(digit);
                else if (digit)
                    dropped = true;
                if (!inFraction)
                    ++e.exp;
            }
            continue;
        }
        if (!inFraction && c == rules.decimalSep) {
            inFraction = true;
            continue;
        }
        if (!inFraction && anyDigit && c != 0 && (c == rules.thousandSep || c == rules.typedThousandSep) &&
            i + 1 < s.size() && s[i + 1] >= u'0' && s[i + 1] <= u'9')
            continue;
        break;
    }
    if (!anyDigit)
        return false;
    if (i < s.size() && (s[i] == u'e' || s[i] == u'E' || s[i] == u'd' || s[i] == u'D')) {
        ++i;
        bool negExp = false;
        if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) {
            negExp = s[i] == u'-';
            ++i;
        }
        if (i >= s.size() || s[i] < u'0' || s[i] > u'9')
            return false;
        int power = 0;
        for (; i < s.size() && s[i] >= u'0' && s[i] <= u'9'; ++i)
            if (power < 100000)
                power = power * 10 + (s[i] - u'0');
        e.exp += negExp ? -power : power;
    }
    bool closed = false;
    while (i < s.size()) {
        const char16_t c = s[i];
        if ((c == u'+' || c == u'-') && !sign && !paren) {
            sign = true;
            e.neg = c == u'-';
            ++i;
        } else if (c == u')' && paren && !closed) {
            closed = true;
            ++i;
        } else if (IsSpace(c) && !closed) {
            ++i;
        } else if (closed || !takeCurrency()) {
            return false;
        }
    }
    if (paren && !closed)
        return false;
    if (paren)
        e.neg = true;
    if (firstDropped >= 0) {
        // Round the kept digits half to even on what was cut off.
        if (firstDropped > 5 || (firstDropped == 5 && (dropped || (e.mag & 1))))
            ++e.mag;
    }
    if (e.mag == 0)
        e.exp = 0;
    TrimTrailingZeros(e);
    out = TextNumber{};
    out.value = e;
    return true;
}

// A hexadecimal or octal number as a signed value of the smallest of 16, 32
// and 64 bits that holds its digits ("&HFFFF" is -1), for targets that are
// not integers of a given width.
Exact RadixValue(uint64_t bits)
{
    if (bits <= 0xFFFF)
        return ExactFromSigned(static_cast<int16_t>(bits));
    if (bits <= 0xFFFFFFFF)
        return ExactFromSigned(static_cast<int32_t>(bits));
    return ExactFromSigned(static_cast<int64_t>(bits));
}

HRESULT ParseNumber(std::u16string_view text, const LocaleRules& rules, Exact& out)
{
    TextNumber n;
    if (!ParseNumber(text, rules, n))
        return DISP_E_TYPEMISMATCH;
    if (n.tooLong)
        return DISP_E_OVERFLOW;
    out = n.radix ? RadixValue(n.bits) : n.value;
    return S_OK;
}

std::u16string Widen(const std::string& ascii, char16_t decimalSep)
{
    std::u16string out;
    out.reserve(ascii.size());
    for (char c : ascii)
        out.push_back((c == '.' || c == ',') ? decimalSep
                                             : static_cast<char16_t>(static_cast<unsigned char>(c)));
    return out;
}

std::string FormatDouble(double d, int significant)
{
    if (std::isnan(d))
        return std::signbit(d) ? "-1.#IND" : "1.#QNAN";
    if (std::isinf(d))
        return d < 0 ? "-1.#INF" : "1.#INF";
    if (d == 0)
        d = 0.0; // no "-0"
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*G", significant, d);
    return buf;
}

std::string FormatExact(const Exact& e)
{
    std::string digits = DigitsOf(e.mag);
    std::string out;
    if (e.neg && e.mag != 0)
        out = "-";
    if (e.exp >= 0) {
        out += digits;
        if (e.mag != 0)
            out.append(static_cast<size_t>(e.exp), '0');
        return out;
    }
    const auto scale = static_cast<size_t>(-e.exp);
    if (digits.size() <= scale)
        digits.insert(0, scale - digits.size() + 1, '0');
    std::string whole = digits.substr(0, digits.size() - scale);
    std::string fraction = digits.substr(digits.size() - scale);
    while (!fraction.empty() && fraction.back() == '0')
        fraction.pop_back();
    out += whole;
    if (!fraction.empty())
        out += "." + fraction;
    return out;
}

std::string Pad2(unsigned v)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02u", v % 100);
    return buf;
}

bool FormatDate(double date, const LocaleRules& rules, std::string& out)
{
    DateParts p;
    if (!SplitDate(date, p))
        return false;
    const bool noTime = p.hour == 0 && p.minute == 0 && p.second == 0;
    const bool noDate = p.year == 1899 && p.month == 12 && p.day == 30;
    // A zero time prints the date only, a zero date the time only.
    std::string datePart, timePart;
    if (!noDate) {
        const std::string day = rules.padDayMonth ? Pad2(p.day) : std::to_string(p.day);
        const std::string month = rules.padDayMonth ? Pad2(p.month) : std::to_string(p.month);
        const char sep = static_cast<char>(rules.dateSep);
        char year[8];
        std::snprintf(year, sizeof year, "%04u", static_cast<unsigned>(p.year));
        datePart = rules.dayFirst ? day + sep + month + sep + year : month + sep + day + sep + year;
    }
    if (noDate || !noTime) {
        unsigned hour = p.hour;
        if (rules.twelveHour) {
            hour = p.hour % 12;
            if (hour == 0)
                hour = 12;
        }
        timePart =
            (rules.padHour ? Pad2(hour) : std::to_string(hour)) + ":" + Pad2(p.minute) + ":" + Pad2(p.second);
        if (rules.twelveHour)
            timePart += p.hour < 12 ? " AM" : " PM";
    }
    out = datePart.empty() ? timePart : timePart.empty() ? datePart : datePart + " " + timePart;
    return true;
}

// Dates as text: "dd.mm.yyyy" (or m/d/yyyy where the locale puts the month
// first), ISO "yyyy-mm-dd", each optionally followed by a time "h:mm[:ss]"
// (after a blank or a 'T'), with AM/PM accepted; or a time alone.
class DateScanner {
  public:
    explicit DateScanner(std::u16string_view s) : s_(s) {}

    bool AtEnd() const { return i_ >= s_.size(); }
    char16_t Peek() const { return AtEnd() ? 0 : s_[i_]; }
    void Skip() { ++i_; }
    void SkipBlanks()
    {
        while (!AtEnd() && IsSpace(s_[i_]))
            ++i_;
    }
    // Reads 1..maxDigits digits; returns their count (0: none).
    int Number(unsigned& value, int maxDigits = 5)
    {
        value = 0;
        int n = 0;
        while (!AtEnd() && s_[i_] >= u'0' && s_[i_] <= u'9' && n < maxDigits) {
            value = value * 10 + (s_[i_] - u'0');
            ++i_;
            ++n;
        }
        return n;
    }
    bool Word(const char* ascii)
    {
        const size_t n = std::strlen(ascii);
        if (s_.size() - i_ < n || !EqualsAsciiNoCase(s_.substr(i_, n), ascii))
            return false;
        i_ += n;
        return true;
    }
    size_t Pos() const { return i_; }
    void Reset(size_t pos) { i_ = pos; }

  private:
    std::u16string_view s_;
    size_t i_ = 0;
};

bool ParseTime(DateScanner& sc, unsigned& hour, unsigned& minute, unsigned& second)
{
    second = 0;
    if (sc.Number(hour, 2) == 0 || sc.Peek() != u':')
        return false;
    sc.Skip();
    if (sc.Number(minute, 2) != 2)
        return false;
    if (sc.Peek() == u':') {
        sc.Skip();
        if (sc.Number(second, 2) != 2)
            return false;
    }
    const size_t before = sc.Pos();
    sc.SkipBlanks();
    const bool am = sc.Word("AM"), pm = !am && sc.Word("PM");
    if (am || pm) {
        if (hour < 1 || hour > 12)
            return false;
        hour %= 12;
        if (pm)
            hour += 12;
    } else {
        sc.Reset(before);
    }
    return true;
}

bool ParseDate(std::u16string_view text, const LocaleRules& rules, double& out)
{
    DateScanner sc(Trim(text));
    int64_t year = 1899;
    unsigned month = 12, day = 30, hour = 0, minute = 0, second = 0;
    const size_t start = sc.Pos();
    unsigned a, b, c;
    const int aDigits = sc.Number(a);
    bool haveDate = false;
    const char16_t sep = sc.Peek();
    if (aDigits > 0 && (sep == u'.' || sep == u'/' || sep == u'-')) {
        sc.Skip();
        if (sc.Number(b, 2) == 0 || sc.Peek() != sep)
            return false;
        sc.Skip();
        const int cDigits = sc.Number(c, 4);
        if (cDigits == 0)
            return false;
        if (aDigits == 4) {
            year = a;
            month = b;
            day = c;
        } else {
            if (aDigits > 2 || (cDigits != 2 && cDigits != 4))
                return false;
            day = rules.dayFirst ? a : b;
            month = rules.dayFirst ? b : a;
            year = c;
            if (cDigits == 2)
                year += year < 30 ? 2000 : 1900;
        }
        haveDate = true;
    } else {
        sc.Reset(start);
    }
    if (haveDate && !sc.AtEnd()) {
        if (sc.Peek() == u'T' || sc.Peek() == u't')
            sc.Skip();
        else if (IsSpace(sc.Peek()))
            sc.SkipBlanks();
        else
            return false;
    }
    if (!sc.AtEnd() && !ParseTime(sc, hour, minute, second))
        return false;
    if (!haveDate && sc.Pos() == start)
        return false;
    sc.SkipBlanks();
    if (!sc.AtEnd())
        return false;
    return JoinDate(year, month, day, hour, minute, second, out);
}

// ---------------------------------------------------------------------------
// The source value, read once from the variant.

struct Scalar {
    enum Kind { Empty, Signed, Unsigned, Bool, Real, Date, Cy, Dec, Str } kind = Empty;
    int64_t i = 0;
    uint64_t u = 0;
    double d = 0;
    bool single = false;
    DECIMAL dec{};
    BSTR str = nullptr;
};

bool ReadScalar(const VARIANT& v, Scalar& s)
{
    switch (v.vt) {
    case VT_EMPTY:
        s.kind = Scalar::Empty;
        return true;
    case VT_I1:
        s.kind = Scalar::Signed;
        s.i = static_cast<signed char>(v.cVal);
        return true;
    case VT_I2:
        s.kind = Scalar::Signed;
        s.i = v.iVal;
        return true;
    case VT_I4:
        s.kind = Scalar::Signed;
        s.i = v.lVal;
        return true;
    case VT_INT:
        s.kind = Scalar::Signed;
        s.i = v.intVal;
        return true;
    case VT_I8:
        s.kind = Scalar::Signed;
        s.i = v.llVal;
        return true;
    case VT_UI1:
        s.kind = Scalar::Unsigned;
        s.u = v.bVal;
        return true;
    case VT_UI2:
        s.kind = Scalar::Unsigned;
        s.u = v.uiVal;
        return true;
    case VT_UI4:
        s.kind = Scalar::Unsigned;
        s.u = v.ulVal;
        return true;
    case VT_UINT:
        s.kind = Scalar::Unsigned;
        s.u = v.uintVal;
        return true;
    case VT_UI8:
        s.kind = Scalar::Unsigned;
        s.u = v.ullVal;
        return true;
    case VT_BOOL:
        // A value other than VARIANT_TRUE converts as the number it holds.
        s.kind = Scalar::Bool;
        s.i = v.boolVal;
        return true;
    case VT_R4:
        s.kind = Scalar::Real;
        s.d = v.fltVal;
        s.single = true;
        return true;
    case VT_R8:
        s.kind = Scalar::Real;
        s.d = v.dblVal;
        return true;
    case VT_DATE:
        s.kind = Scalar::Date;
        s.d = v.date;
        return true;
    case VT_CY:
        s.kind = Scalar::Cy;
        s.i = v.cyVal.int64;
        return true;
    case VT_DECIMAL:
        s.kind = Scalar::Dec;
        s.dec = v.decVal;
        return true;
    case VT_BSTR:
        s.kind = Scalar::Str;
        s.str = v.bstrVal;
        return true;
    default:
        return false;
    }
}

// The exact form of an integral, currency, decimal or text source.
HRESULT ToExact(const Scalar& s, const LocaleRules& rules, Exact& e)
{
    switch (s.kind) {
    case Scalar::Empty:
        e = Exact{};
        return S_OK;
    case Scalar::Signed:
    case Scalar::Bool:
        e = ExactFromSigned(s.i);
        return S_OK;
    case Scalar::Unsigned:
        e = Exact{false, s.u, 0};
        return S_OK;
    case Scalar::Cy:
        e = ExactFromSigned(s.i);
        e.exp = -4;
        return S_OK;
    case Scalar::Dec:
        e = ExactFromDecimal(s.dec);
        return S_OK;
    case Scalar::Str:
        return ParseNumber(BstrView(s.str), rules, e);
    case Scalar::Real:
    case Scalar::Date:
        if (!std::isfinite(s.d))
            return DISP_E_OVERFLOW;
        e = ExactFromDouble(s.d, s.single ? 7 : 15);
        return S_OK;
    }
    return DISP_E_TYPEMISMATCH;
}

// The low bits of raw as an integer of that width, signed when min is
// negative: a boolean is cast to the target as Windows casts it (true into an
// unsigned type keeps the bit pattern of -1), and the digits of "&HFFFF" are
// -1 as a 16-bit integer.
HRESULT CastBits(uint64_t raw, i128 min, int bits, i128& out)
{
    const uint64_t mask = bits < 64 ? (static_cast<uint64_t>(1) << bits) - 1 : ~static_cast<uint64_t>(0);
    raw &= mask;
    const uint64_t signBit = static_cast<uint64_t>(1) << (bits - 1);
    if (min < 0 && (raw & signBit))
        out = static_cast<i128>(raw) - (static_cast<i128>(mask) + 1);
    else
        out = static_cast<i128>(raw);
    return S_OK;
}

HRESULT ToInteger(const Scalar& s, const LocaleRules& rules, i128 min, i128 max, int bits, i128& out)
{
    if (s.kind == Scalar::Bool)
        return CastBits(static_cast<uint64_t>(s.i), min, bits, out);
    if (s.kind == Scalar::Str) {
        TextNumber n;
        if (!ParseNumber(BstrView(s.str), rules, n))
            return DISP_E_TYPEMISMATCH;
        if (n.radix) {
            if (n.tooLong || (bits < 64 && (n.bits >> bits) != 0))
                return DISP_E_OVERFLOW;
            return CastBits(n.bits, min, bits, out);
        }
    }
    if (s.kind == Scalar::Real || s.kind == Scalar::Date) {
        if (std::isnan(s.d))
            return DISP_E_OVERFLOW;
        const double r = std::nearbyint(s.d); // the default mode rounds half to even
        const double lo = min == 0 ? 0.0 : -std::ldexp(1.0, bits - 1);
        const double hiExclusive = min == 0 ? std::ldexp(1.0, bits) : std::ldexp(1.0, bits - 1);
        if (!(r >= lo && r < hiExclusive))
            return DISP_E_OVERFLOW;
        out = static_cast<i128>(r);
        return S_OK;
    }
    Exact e;
    HRESULT hr = ToExact(s, rules, e);
    if (FAILED(hr))
        return hr;
    u128 mag;
    if (!RoundToExp(e, 0, mag) || mag > (static_cast<u128>(1) << 126))
        return DISP_E_OVERFLOW;
    const i128 v = e.neg ? -static_cast<i128>(mag) : static_cast<i128>(mag);
    if (v < min || v > max)
        return DISP_E_OVERFLOW;
    out = v;
    return S_OK;
}

HRESULT ToDouble(const Scalar& s, const LocaleRules& rules, double& out)
{
    switch (s.kind) {
    case Scalar::Empty:
        out = 0;
        return S_OK;
    case Scalar::Signed:
    case Scalar::Bool:
        out = static_cast<double>(s.i);
        return S_OK;
    case Scalar::Unsigned:
        out = static_cast<double>(s.u);
        return S_OK;
    case Scalar::Real:
    case Scalar::Date:
        out = s.d;
        return S_OK;
    case Scalar::Cy:
        out = static_cast<double>(s.i) / 10000.0;
        return S_OK;
    case Scalar::Dec:
    case Scalar::Str: {
        Exact e;
        const HRESULT hr = ToExact(s, rules, e);
        if (FAILED(hr))
            return hr;
        return ExactToDouble(e, out) ? S_OK : DISP_E_OVERFLOW;
    }
    }
    return DISP_E_TYPEMISMATCH;
}

HRESULT ToCurrency(const Scalar& s, const LocaleRules& rules, int64_t& out)
{
    if (s.kind == Scalar::Real || s.kind == Scalar::Date) {
        const double r = std::nearbyint(s.d * 10000.0);
        if (!(r >= -std::ldexp(1.0, 63) && r < std::ldexp(1.0, 63)))
            return DISP_E_OVERFLOW;
        out = static_cast<int64_t>(r);
        return S_OK;
    }
    Exact e;
    const HRESULT hr = ToExact(s, rules, e);
    if (FAILED(hr))
        return hr;
    u128 mag;
    const u128 limit = static_cast<u128>(1) << 63;
    if (!RoundToExp(e, -4, mag) || mag > limit || (mag == limit && !e.neg))
        return DISP_E_OVERFLOW;
    out = e.neg ? static_cast<int64_t>(-static_cast<i128>(mag)) : static_cast<int64_t>(mag);
    return S_OK;
}

HRESULT ToDecimal(const Scalar& s, const LocaleRules& rules, DECIMAL& out)
{
    if (s.kind == Scalar::Bool) {
        // VariantChangeType makes true 1 as a decimal, whatever bits it holds.
        out = DECIMAL{};
        out.Lo64 = s.i != 0 ? 1 : 0;
        return S_OK;
    }
    Exact e;
    const HRESULT hr = ToExact(s, rules, e);
    if (FAILED(hr))
        return hr;
    return ExactToDecimal(e, out) ? S_OK : DISP_E_OVERFLOW;
}

HRESULT ToBool(const Scalar& s, const LocaleRules& rules, VARIANT_BOOL& out)
{
    bool value = false;
    switch (s.kind) {
    case Scalar::Empty:
        break;
    case Scalar::Signed:
    case Scalar::Bool:
    case Scalar::Cy:
        value = s.i != 0;
        break;
    case Scalar::Unsigned:
        value = s.u != 0;
        break;
    case Scalar::Real:
    case Scalar::Date:
        value = s.d != 0;
        break;
    case Scalar::Dec:
        value = ExactFromDecimal(s.dec).mag != 0;
        break;
    case Scalar::Str: {
        const std::u16string_view text = Trim(BstrView(s.str));
        if (EqualsAsciiNoCase(text, "True")) {
            value = true;
            break;
        }
        if (EqualsAsciiNoCase(text, "False"))
            break;
        Exact e;
        const HRESULT hr = ParseNumber(text, rules, e);
        if (FAILED(hr))
            return hr;
        value = e.mag != 0;
        break;
    }
    }
    out = value ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT ToDate(const Scalar& s, const LocaleRules& rules, double& out)
{
    double d;
    if (s.kind == Scalar::Str) {
        if (!ParseDate(BstrView(s.str), rules, d))
            return DISP_E_TYPEMISMATCH;
        out = d;
        return S_OK;
    }
    const HRESULT hr = ToDouble(s, rules, d);
    if (FAILED(hr))
        return hr;
    if (!(d > -657435.0 && d < 2958466.0))
        return DISP_E_OVERFLOW;
    out = d;
    return S_OK;
}

HRESULT ToBstr(const Scalar& s, const LocaleRules& rules, USHORT flags, BSTR& out)
{
    std::u16string text;
    switch (s.kind) {
    case Scalar::Empty:
        break;
    case Scalar::Signed:
        text = Widen(std::to_string(s.i), rules.decimalSep);
        break;
    case Scalar::Unsigned:
        text = Widen(std::to_string(s.u), rules.decimalSep);
        break;
    case Scalar::Bool:
        if (flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL))
            text = s.i ? u"True" : u"False";
        else
            text = Widen(std::to_string(s.i), rules.decimalSep);
        break;
    case Scalar::Real:
        text = Widen(FormatDouble(s.d, s.single ? 7 : 15), rules.decimalSep);
        break;
    case Scalar::Date: {
        std::string formatted;
        if (!FormatDate(s.d, rules, formatted))
            return E_INVALIDARG;
        for (char c : formatted)
            text.push_back(static_cast<unsigned char>(c));
        break;
    }
    case Scalar::Cy:
    case Scalar::Dec: {
        Exact e;
        ToExact(s, rules, e);
        text = Widen(FormatExact(e), rules.decimalSep);
        break;
    }
    case Scalar::Str:
        text = BstrView(s.str);
        break;
    }
    out = AllocBstr(text);
    return out ? S_OK : E_OUTOFMEMORY;
}

template <class T> HRESULT IntegerInto(const Scalar& s, const LocaleRules& rules, T& field)
{
    i128 v;
    const HRESULT hr =
        ToInteger(s, rules, static_cast<i128>(std::numeric_limits<T>::min()),
                  static_cast<i128>(std::numeric_limits<T>::max()),
                  std::numeric_limits<T>::digits + (std::numeric_limits<T>::is_signed ? 1 : 0), v);
    if (SUCCEEDED(hr))
        field = static_cast<T>(v);
    return hr;
}

// Converts a scalar source into out (initialised, empty) as type vt.
HRESULT CoerceScalar(const VARIANT& source, const LocaleRules& rules, USHORT flags, VARTYPE vt, VARIANT& out)
{
    Scalar s;
    if (!ReadScalar(source, s))
        return DISP_E_TYPEMISMATCH;
    HRESULT hr = DISP_E_TYPEMISMATCH;
    switch (vt) {
    case VT_I1: {
        signed char v = 0;
        hr = IntegerInto(s, rules, v);
        out.cVal = static_cast<CHAR>(v);
        break;
    }
    case VT_I2:
        hr = IntegerInto(s, rules, out.iVal);
        break;
    case VT_I4:
        hr = IntegerInto(s, rules, out.lVal);
        break;
    case VT_INT:
        hr = IntegerInto(s, rules, out.intVal);
        break;
    case VT_I8:
        hr = IntegerInto(s, rules, out.llVal);
        break;
    case VT_UI1:
        hr = IntegerInto(s, rules, out.bVal);
        break;
    case VT_UI2:
        hr = IntegerInto(s, rules, out.uiVal);
        break;
    case VT_UI4:
        hr = IntegerInto(s, rules, out.ulVal);
        break;
    case VT_UINT:
        hr = IntegerInto(s, rules, out.uintVal);
        break;
    case VT_UI8:
        hr = IntegerInto(s, rules, out.ullVal);
        break;
    case VT_R4: {
        double d;
        hr = ToDouble(s, rules, d);
        if (SUCCEEDED(hr) && (d < -FLT_MAX || d > FLT_MAX))
            hr = DISP_E_OVERFLOW;
        if (SUCCEEDED(hr))
            out.fltVal = static_cast<float>(d);
        break;
    }
    case VT_R8:
        hr = ToDouble(s, rules, out.dblVal);
        break;
    case VT_DATE:
        hr = ToDate(s, rules, out.date);
        break;
    case VT_CY:
        hr = ToCurrency(s, rules, out.cyVal.int64);
        break;
    case VT_DECIMAL: {
        DECIMAL d;
        hr = ToDecimal(s, rules, d);
        if (SUCCEEDED(hr))
            out.decVal = d;
        break;
    }
    case VT_BOOL:
        hr = ToBool(s, rules, out.boolVal);
        break;
    case VT_BSTR:
        hr = ToBstr(s, rules, flags, out.bstrVal);
        break;
    default:
        break;
    }
    if (SUCCEEDED(hr))
        out.vt = vt;
    return hr;
}

bool IsScalarTarget(VARTYPE vt)
{
    switch (vt) {
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_INT:
    case VT_I8:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UINT:
    case VT_UI8:
    case VT_R4:
    case VT_R8:
    case VT_DATE:
    case VT_CY:
    case VT_DECIMAL:
    case VT_BOOL:
    case VT_BSTR:
        return true;
    default:
        return false;
    }
}

// Converts the dereferenced source into out (initialised, empty).
HRESULT Coerce(const VARIANT& source, LCID lcid, USHORT flags, VARTYPE vt, VARIANT& out, int depth = 0)
{
    const VARTYPE from = source.vt;
    if (from == vt)
        return VariantCopy(&out, &source);
    if (vt == VT_EMPTY)
        return S_OK;
    if (vt == VT_NULL) {
        if (from != VT_EMPTY)
            return DISP_E_TYPEMISMATCH;
        out.vt = VT_NULL;
        return S_OK;
    }
    if ((from & VT_ARRAY) || (vt & VT_ARRAY) || from == VT_NULL || from == VT_ERROR || vt == VT_ERROR)
        return DISP_E_TYPEMISMATCH;

    if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
        if ((from != VT_UNKNOWN && from != VT_DISPATCH) || !source.punkVal)
            return DISP_E_TYPEMISMATCH;
        if (vt == VT_UNKNOWN) {
            source.punkVal->AddRef();
            out.punkVal = source.punkVal;
        } else {
            void* dispatch = nullptr;
            if (FAILED(source.punkVal->QueryInterface(IID_IDispatch, &dispatch)) || !dispatch)
                return DISP_E_TYPEMISMATCH;
            out.pdispVal = static_cast<IDispatch*>(dispatch);
        }
        out.vt = vt;
        return S_OK;
    }
    if (from == VT_UNKNOWN)
        return DISP_E_TYPEMISMATCH;
    if (from == VT_DISPATCH) {
        // The object's value property stands for the object.
        if ((flags & VARIANT_NOVALUEPROP) || !source.pdispVal || depth > 0)
            return DISP_E_TYPEMISMATCH;
        DISPPARAMS none{nullptr, nullptr, 0, 0};
        VARIANT value;
        VariantInit(&value);
        HRESULT hr = source.pdispVal->Invoke(DISPID_VALUE, kIidNull, lcid, DISPATCH_PROPERTYGET, &none,
                                             &value, nullptr, nullptr);
        if (FAILED(hr)) {
            VariantClear(&value);
            return DISP_E_TYPEMISMATCH;
        }
        if (value.vt & VT_BYREF) {
            hr = VariantCopyInd(&value, &value);
            if (FAILED(hr))
                return hr;
        }
        hr = Coerce(value, lcid, flags, vt, out, depth + 1);
        VariantClear(&value);
        return hr;
    }
    if (!IsScalarTarget(vt))
        return DISP_E_TYPEMISMATCH;
    return CoerceScalar(source, RulesFor(lcid), flags, vt, out);
}

} // namespace

HRESULT WINAPI VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID lcid, USHORT wFlags,
                                   VARTYPE vt)
{
    if (!pvargDest || !pvarSrc)
        return E_INVALIDARG;
    if (!IsValidVariantType(pvarSrc->vt))
        return DISP_E_BADVARTYPE;
    if (vt != VT_EMPTY && vt != VT_NULL && !IsValidVariantType(vt))
        return DISP_E_BADVARTYPE;
    if (vt & VT_BYREF)
        return DISP_E_TYPEMISMATCH;

    // A by-reference source is read through its reference.
    VARIANT local;
    VariantInit(&local);
    const VARIANT* source = pvarSrc;
    if (pvarSrc->vt & VT_BYREF) {
        const HRESULT hr = VariantCopyInd(&local, pvarSrc);
        if (FAILED(hr))
            return hr;
        source = &local;
    }

    VARIANT result;
    VariantInit(&result);
    HRESULT hr = Coerce(*source, lcid, wFlags, vt, result);
    VariantClear(&local);
    if (FAILED(hr)) {
        VariantClear(&result);
        return hr;
    }
    // Only now is the destination (which may be the source) released.
    hr = VariantClear(pvargDest);
    if (FAILED(hr)) {
        VariantClear(&result);
        return hr;
    }
    std::memcpy(pvargDest, &result, sizeof result);
    return S_OK;
}

HRESULT WINAPI VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags, VARTYPE vt)
{
    return VariantChangeTypeEx(pvargDest, pvarSrc, LOCALE_USER_DEFAULT, wFlags, vt);
}
