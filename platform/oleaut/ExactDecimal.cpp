// Exact decimal values: rounding, digits and the conversions to and from
// doubles, integers and DECIMAL.
#include "ExactDecimal.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace trumik::platform::oleaut {

namespace {

const u128 kDecimalLimit = static_cast<u128>(1) << 96;

u128 Pow10(int n)
{
    u128 p = 1;
    for (int i = 0; i < n; ++i)
        p *= 10;
    return p;
}

} // namespace

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

} // namespace trumik::platform::oleaut
