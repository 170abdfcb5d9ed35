// Thumbprint texts: a certificate's SHA-1 hash as 40 hexadecimal digits, read
// into the 20-byte hash that every store lookup of the component searches by.
#pragma once

#include <oleauto.h>

#include <array>

namespace trumik::common {

// Reads the thumbprint text into 20 bytes; false when the text (byte per
// character, at most 40) does not hold exactly 40 characters.
bool ParseThumbprint(BSTR thumbprint, std::array<BYTE, 20>& hash);

// Reads at most two hexadecimal digits at text, skipping leading white space
// first, as "%2x" does; false when no digit follows.
bool ScanHexPair(const char* text, unsigned& value);

} // namespace trumik::common
