// Sizes of a text converted between UTF-8 and UTF-16, counted without
// converting, so that a large result is allocated once at its size instead of
// in a buffer of the largest size it can have and then copied. The counts are
// exact for well-formed text; for other text they may be wrong, so a caller
// converts into a buffer of exactly the count and takes its general path when
// the conversion does not fill it exactly.
#pragma once

#include <cstddef>
#include <string_view>

namespace trumik::common {

// UTF-16 units of UTF-8 bytes: one for each byte that starts a character, and
// one more for each four-byte character (a surrogate pair).
inline size_t Utf16UnitsOfUtf8(std::string_view utf8)
{
    size_t units = 0;
    for (char c : utf8) {
        const unsigned char b = static_cast<unsigned char>(c);
        units += (b & 0xC0) != 0x80;
        units += b >= 0xF0;
    }
    return units;
}

// UTF-8 bytes of UTF-16 units: a surrogate unit takes two of the four bytes of
// its pair.
inline size_t Utf8BytesOfUtf16(std::u16string_view wide)
{
    size_t bytes = 0;
    for (char16_t u : wide) {
        if (u < 0x80)
            bytes += 1;
        else if (u < 0x800)
            bytes += 2;
        else if (u >= 0xD800 && u <= 0xDFFF)
            bytes += 2;
        else
            bytes += 3;
    }
    return bytes;
}

} // namespace trumik::common
