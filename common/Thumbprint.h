// Thumbprint texts: a certificate's SHA-1 hash as 40 hexadecimal digits, read
// into the 20-byte hash, and the one lookup of a certificate by it that every
// class of the component uses.
#pragma once

#include <oleauto.h>
#include <wincrypt.h>

#include "CryptGuards.h"

#include <array>

namespace trumik::common {

// Reads the thumbprint text into 20 bytes; false when the text (byte per
// character, at most 40) does not hold exactly 40 characters.
bool ParseThumbprint(BSTR thumbprint, std::array<BYTE, 20>& hash);

// Reads at most two hexadecimal digits at text, skipping leading white space
// first, as "%2x" does; false when no digit follows.
bool ScanHexPair(const char* text, unsigned& value);

// The first certificate of the store whose SHA-1 hash is the thumbprint's;
// null for a null store, and for a thumbprint that does not fill the hash
// (the store is not searched then).
UniqueCertContext FindByThumbprint(HCERTSTORE store, BSTR thumbprint);

} // namespace trumik::common
