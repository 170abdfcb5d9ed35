// The single-byte code pages the platform converts: their byte-to-UTF-16
// tables and the reverse lookup.
#pragma once

#include "windef.h"

namespace trumik::platform {

struct SingleBytePage {
    enum class Kind { Table, Ascii, Latin1 };
    UINT id;
    const char16_t* high; // the characters of bytes 0x80..0xFF (Kind::Table)
    Kind kind;
    int slot; // index of the reverse table (Kind::Table)

    // Every byte decodes to a character (as Windows maps them all).
    char16_t Decode(unsigned char byte) const;
    // The byte that holds the unit, or -1 when the page has none for it.
    int Encode(char16_t unit) const;
};

// The page, or null when the platform does not support it.
const SingleBytePage* FindSingleBytePage(UINT codePage);

} // namespace trumik::platform
