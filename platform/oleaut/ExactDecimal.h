// Exact decimal values for the automation conversions: sign * mag * 10^exp,
// with up to 36 significant digits, so that integers, currency, DECIMAL and
// text convert into one another without the errors of binary floating point.
#pragma once

#include "oleauto.h"

#include <cstdint>
#include <string>

namespace trumik::platform::oleaut {

using u128 = unsigned __int128;
using i128 = __int128;

struct Exact {
    bool neg = false;
    u128 mag = 0;
    int exp = 0;
};

constexpr int kMaxDigits = 36; // 10^36 < 2^127

// The magnitude of e expressed at exponent targetExp, rounded half to even.
// False when it does not fit 127 bits.
bool RoundToExp(const Exact& e, int targetExp, u128& out);
void TrimTrailingZeros(Exact& e);
// The decimal digits of mag ("0" for zero).
std::string DigitsOf(u128 mag);

// False on overflow to infinity.
bool ExactToDouble(const Exact& e, double& out);
// A double to its decimal form with the given number of significant digits,
// as the decimal conversions of Windows do (15 for doubles, 7 for floats).
Exact ExactFromDouble(double d, int significant);
Exact ExactFromSigned(int64_t v);
Exact ExactFromDecimal(const DECIMAL& d);
// False when the value does not fit a DECIMAL (96 bits, scale 0..28).
bool ExactToDecimal(const Exact& e, DECIMAL& out);

} // namespace trumik::platform::oleaut
