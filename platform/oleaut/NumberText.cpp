// Numbers as automation text, read and written.
#include "NumberText.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace trumik::platform::oleaut {

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

namespace {

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

} // namespace

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

namespace {

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

} // namespace

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

} // namespace trumik::platform::oleaut
