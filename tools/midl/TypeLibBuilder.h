// The type library model of a parsed IDL file, and the helpers that read
// attribute values.
#pragma once

#include "IdlParser.h"
#include "TypeLibFormat.h"

#include <initializer_list>
#include <string>

namespace trumik::midl {

namespace tl = trumik::typelib;

// UTF-8 text as UTF-16; throws for text that is not UTF-8.
std::u16string Widen(const std::string& utf8, int line);
// The attribute's value as a number (decimal or 0x hexadecimal) up to max.
uint32_t Number(const Attr& a, uint32_t max);
void Version(const Attr& a, uint16_t& major, uint16_t& minor);
// The uuid attribute; throws when there is none or it is not a GUID.
GUID Uuid(const Attrs& attrs, int line, const std::string& what);
void CheckAttrs(const Attrs& attrs, std::initializer_list<const char*> allowed, const std::string& where);

// The type library of the file's library block; throws CompileError.
tl::LibModel BuildTypeLib(Parser& parser);

} // namespace trumik::midl
