// The Base64 text form of the messages and of the plain data: RFC 4648 base64
// over narrow text, a strict encoder and a lenient decoder.
#pragma once

#include <windef.h>

#include <string>

namespace trumik::cryptmsg {

// Encoder flags.
inline constexpr DWORD kTextNoPadding = 1;
inline constexpr DWORD kTextNoLineBreaks = 2;

// The number of characters MessageTextEncode needs for count bytes; -1 when
// the count is negative or the length does not fit in a signed 32-bit integer.
LONG MessageTextEncodedLength(LONG count, DWORD flags);

// Encodes count bytes into text; *length is the capacity on entry and the
// number of characters written on return. False, with nothing written, for a
// missing argument, a refused count or a capacity below the encoded length.
bool MessageTextEncode(const BYTE* data, LONG count, char* text, LONG* length, DWORD flags);

// Decodes text of the given length, skipping every byte outside the alphabet
// ("=", line breaks and spaces included). *length is the capacity of output on
// entry and the size of the whole decoded text on return; true when all of it
// fitted. Without output only the size is found (and the result is false).
bool MessageTextDecode(const char* text, LONG textLength, BYTE* output, LONG* length);

// Appends to kept the characters of text that the decoder reads (those of the
// alphabet), in order: decoding kept gives what decoding text gives, and text
// may so be decoded a piece at a time.
void MessageTextKeepAlphabet(const char* text, LONG textLength, std::string& kept);

// The number of bytes that `count` characters of the alphabet decode to.
LONG MessageTextDecodedLength(LONG count);

} // namespace trumik::cryptmsg
