// The size of UTF-8 text converted to UTF-16 and back, counted without
// converting, so that a large result is allocated once at its size instead of
// in a buffer of the largest size it can have and then copied. The counts are
// exact for well-formed text; for other text they may be wrong, so a caller
// converts into a buffer of exactly the count and takes its general path when
// the conversion does not fill it exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace trumik::common {

namespace text_sizes {

// Eight bytes at a time: the lanes are counted with masks on a
// 64-bit word, so a large document is counted in a small part of the time its
// conversion takes.
inline uint64_t Word(const void* at)
{
    uint64_t word;
    std::memcpy(&word, at, sizeof word);
    return word;
}

// The top bits of the eight bytes of x that are set (x has no other bits).
inline unsigned ByteFlags(uint64_t x)
{
    return static_cast<unsigned>(((x >> 7) * 0x0101010101010101ull) >> 56);
}

} // namespace text_sizes

// UTF-16 units of UTF-8 bytes: one for each byte that starts a character, and
// one more for each four-byte character (a surrogate pair).
inline size_t Utf16UnitsOfUtf8(std::string_view utf8)
{
    using namespace text_sizes;
    constexpr uint64_t high = 0x8080808080808080ull;
    size_t units = 0;
    size_t i = 0;
    for (; i + 8 <= utf8.size(); i += 8) {
        const uint64_t x = Word(utf8.data() + i);
        const uint64_t continuation = x & ~(x << 1) & high;              // 10xxxxxx
        const uint64_t four = x & (x << 1) & (x << 2) & (x << 3) & high; // 1111xxxx
        units += 8 - ByteFlags(continuation) + ByteFlags(four);
    }
    for (; i < utf8.size(); ++i) {
        const unsigned char b = static_cast<unsigned char>(utf8[i]);
        units += (b & 0xC0) != 0x80;
        units += b >= 0xF0;
    }
    return units;
}

// UTF-8 bytes of UTF-16 units: a surrogate pair makes four bytes, two for
// each of its units (a lone surrogate makes three, so its count falls short).
inline size_t Utf8BytesOfUtf16(std::u16string_view utf16)
{
    size_t bytes = 0;
    for (const char16_t unit : utf16)
        bytes += unit < 0x80 ? 1 : unit < 0x800 || (unit >= 0xD800 && unit < 0xE000) ? 2 : 3;
    return bytes;
}

} // namespace trumik::common
