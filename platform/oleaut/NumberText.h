// Numbers as automation text: reading them as VarParseNumFromStr does and
// writing them as the conversions to BSTR do; and the blank and letter-case
// rules that the date text shares.
#pragma once

#include "ExactDecimal.h"
#include "OleAutInternal.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace trumik::platform::oleaut {

bool IsSpace(char16_t c);
// s without the blanks around it.
std::u16string_view Trim(std::u16string_view s);
// s equals the ASCII text, letters compared without regard to case.
bool EqualsAsciiNoCase(std::u16string_view s, const char* ascii);

// A number read from text. Hexadecimal and octal numbers ("&H10", "&O17")
// keep their bits: how they read depends on the type they go to.
struct TextNumber {
    Exact value;
    bool radix = false;
    bool tooLong = false; // more digits than 64 bits hold
    uint64_t bits = 0;
};

// Numbers as text, as VarParseNumFromStr reads them: blanks around; a sign
// before or after the number, or parentheses for a negative one; the
// locale's currency symbol before or after; digits with the locale's
// decimal separator (no other) and its thousands separator in the integer
// part; an exponent. Or "&H"/"&O" and hexadecimal or octal digits.
bool ParseNumber(std::u16string_view text, const LocaleRules& rules, TextNumber& out);
// The same, hexadecimal and octal numbers read as signed values of the
// smallest of 16, 32 and 64 bits that holds their digits: DISP_E_TYPEMISMATCH
// for text that is no number, DISP_E_OVERFLOW for digits beyond 64 bits.
HRESULT ParseNumber(std::u16string_view text, const LocaleRules& rules, Exact& out);

// ASCII text widened unit by unit, '.' and ',' replaced by decimalSep.
std::u16string Widen(const std::string& ascii, char16_t decimalSep);
// A double with that many significant digits, as Windows writes it.
std::string FormatDouble(double d, int significant);
// An exact value in plain decimal notation, without trailing zeros.
std::string FormatExact(const Exact& e);

} // namespace trumik::platform::oleaut
