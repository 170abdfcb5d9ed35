// Keys decoded from files, kept by the whole text of their file. A call that
// reads a file whose bytes are those of a key decoded before gets a copy of
// that key instead of decoding it again: OpenSSL's decoders cost more than a
// small signature, and take a lock of the library's own that threads wait for.
// The file is still read on every call, so what it holds, and whether it can
// be read at all, count as before.
#pragma once

#include "XmlGuards.h"

#include <optional>
#include <string>

namespace trumik::common {

// The bytes of a key file; nothing when it cannot be read or is larger than a
// key file is (1 MB).
std::optional<std::string> ReadKeyFile(const std::string& path);

// A copy of the key decoded from path when its text was `text`; null when no
// key of that text is kept.
UniqueSecKey KeptKey(const std::string& path, const std::string& text);

// Keeps a copy of key as decoded from path's text `text`.
void KeepKey(const std::string& path, const std::string& text, xmlSecKeyPtr key);

// Drops every kept key (before the libraries shut down).
void ForgetKeptKeys();

// Number of keys kept now (for tests and diagnostics).
size_t KeptKeyCount();

} // namespace trumik::common
