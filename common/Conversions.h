// The conversions between automation strings and the byte texts that the XML
// parser, the security library, CryptoAPI and the system use.
#pragma once

#include "Bstr.h"

#include <memory>
#include <optional>
#include <string>

namespace trumik::common {

// Code page of library texts, system texts and other narrow texts: the thread
// ANSI code page on NT-family systems of major version 5 or later, otherwise
// the default ANSI code page of the thread's locale. Chosen once per process.
UINT ThreadAnsiCodePage();

// Converted bytes, the NUL included, in a buffer that may be larger than they
// are: its pages past them are never touched, and the bytes are never copied.
struct ConvertedBytes {
    std::unique_ptr<char[]> data;
    size_t size = 0;
    const char* c_str() const { return data.get(); }
};

// A document for the parser: UTF-8, or the system ANSI code page when the text
// holds one of the exact markers encoding="windows-1251" / encoding="WINDOWS-1251".
// The text is taken up to its first NUL; the result holds that NUL too.
// Nothing when the code page cannot hold one of the document's characters.
std::optional<ConvertedBytes> DocumentToParserBuffer(BSTR xml);
// The same in a string, for short texts (paths).
std::optional<std::string> DocumentToParserBytes(BSTR xml);

// A document as UTF-8 only, up to its first NUL, the NUL included.
std::string DocumentToUtf8(BSTR xml);

// DocumentToUtf8 without the copy into a string: for a large document.
ConvertedBytes DocumentToUtf8Buffer(BSTR xml);

// Serialised UTF-8 bytes (NUL-terminated) to a new automation string.
UniqueBstr Utf8ToBstr(const char* bytes);

// A NUL-terminated narrow text of a library or of the system to UTF-16 in the
// thread ANSI code page; null when the conversion fails (the piece is absent).
UniqueBstr NarrowToBstr(const char* text);

// A file path for the libraries that open files by narrow name. The file
// system here takes UTF-8 names, so the path is converted to UTF-8.
std::string PathToNarrow(BSTR path);

// The low byte of each of the first 40 units, NUL-terminated (thumbprints, PINs).
std::string BytePerCharacter(BSTR text);

} // namespace trumik::common
