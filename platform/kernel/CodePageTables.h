// The single- and double-byte code pages the platform converts: what each
// byte (or byte pair) decodes to and the bytes each UTF-16 unit encodes to.
#pragma once

#include "windef.h"

#include <cstdint>
#include <iconv.h>
#include <memory>
#include <type_traits>
#include <vector>

namespace trumik::platform {

class ByteCodePage {
  public:
    // Marks an undefined entry of either table.
    static constexpr uint16_t kNone = 0xFFFF;

    UINT Id() const { return id_; }
    bool IsDoubleByte() const { return doubleByte_; }
    bool IsLeadByte(unsigned char byte) const { return doubleByte_ && lead_[byte]; }
    // What a byte the page does not define decodes to when the caller does
    // not ask for invalid input to fail.
    char16_t UnicodeDefault() const { return unicodeDefault_; }

    // The character of a single byte, or kNone.
    uint16_t DecodeByte(unsigned char byte) const { return decode_[byte]; }
    // The character of a lead and a trail byte, or kNone.
    uint16_t DecodePair(unsigned char lead, unsigned char trail) const
    {
        return decode_[256 + (static_cast<size_t>(lead) << 8 | trail)];
    }
    // The byte (below 0x100) or byte pair (lead << 8 | trail) that holds the
    // unit, or kNone.
    uint16_t Encode(char16_t unit) const { return encode_[unit]; }

  private:
    friend struct CodePageBuilder;
    UINT id_ = 0;
    bool doubleByte_ = false;
    char16_t unicodeDefault_ = u'?';
    std::vector<bool> lead_;
    std::vector<uint16_t> decode_; // 256 single bytes, then 65536 pairs (double-byte pages)
    std::vector<uint16_t> encode_; // 65536 units
};

// The page, built on first use, or null when the platform does not convert
// it. UTF-8 and UTF-7 are not byte pages and are not found here.
const ByteCodePage* FindByteCodePage(UINT codePage);

// A converter of the system's iconv, closed on destruction.
struct IconvCloser {
    void operator()(iconv_t cd) const { iconv_close(cd); }
};
using Converter = std::unique_ptr<std::remove_pointer_t<iconv_t>, IconvCloser>;
// The converter between two iconv encodings, or null when iconv has none.
Converter OpenConverter(const char* to, const char* from);

// The tables compiled into the platform (1251, 1252, 866), 256 characters
// each, for checking against the system's converter. 0 when unknown.
const char16_t* CompiledTable(UINT codePage);

// The name the system converter (iconv) knows the page by, or null.
const char* IconvName(UINT codePage);

} // namespace trumik::platform
