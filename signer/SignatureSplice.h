// Putting a signature into the caller's own text: the signer signs a parsed
// copy of the document and then writes the new Signature element into the
// text it was given, character for character, just before the root element's
// end tag.
#pragma once

#include "common/Bstr.h"

#include <cstddef>
#include <string_view>

namespace trumik::signer {

// Where the signature text goes in the caller's document: before the end tag
// of the root element, or, for a root written as an empty-element tag, in
// place of its closing "/>". Found by reading the markup of the text.
struct InsertionPoint {
    bool found = false;
    size_t position = 0;       // where the text is inserted (the "<" of the end tag, or the "/" of "/>")
    bool emptyElement = false; // the root is <name .../>: "/>" is replaced
    size_t tagEnd = 0;         // for an empty element: one past its closing ">"
    std::u16string_view name;  // for an empty element: the root's qualified name as written
};
InsertionPoint FindRootInsertionPoint(std::u16string_view text);

// The caller's text with `signature` inserted at its root's insertion point
// (an empty-element root is written out as start and end tag around it), or
// in front of the last "<" when the text has no such point; throws
// std::bad_alloc when memory runs out.
common::UniqueBstr SpliceSignature(std::u16string_view xml, std::u16string_view signature);

} // namespace trumik::signer
