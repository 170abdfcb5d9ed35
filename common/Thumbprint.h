// Thumbprint texts: a certificate's SHA-1 hash as 40 hexadecimal digits, read
// into the 20-byte hash, and the one lookup of a certificate by it that every
// class of the component uses.
#pragma once

#include <oleauto.h>
#include <wincrypt.h>

#include "CryptGuards.h"

#include <array>

namespace trumik::common {

// Reads the thumbprint text into 20 bytes: the low byte of each of its first
// 40 characters, and at each even position the number "%2x" reads there, cut
// to 8 bits (0 where it reads none). False, with the hash untouched, when the
// text does not hold exactly 40 characters before its first zero byte.
bool ParseThumbprint(BSTR thumbprint, std::array<BYTE, 20>& hash);

// Reads a number at text exactly as sscanf's "%2x" does: white space skipped,
// then a field of two characters, an optional sign and hexadecimal digits
// ("-5" is 0xFFFFFFFB); false, with value untouched, when no digit is read.
bool ScanHexPair(const char* text, unsigned& value);

// The first certificate of the store whose SHA-1 hash is the thumbprint's;
// null for a null store, and for a thumbprint that does not fill the hash
// (the store is not searched then).
UniqueCertContext FindByThumbprint(HCERTSTORE store, BSTR thumbprint);

} // namespace trumik::common
