// Putting a signature into the caller's own text: the signer signs a parsed
// copy of the document and then writes the new Signature element into the
// text it was given, character for character, just before the root element's
// end tag.
#pragma once

#include "common/Bstr.h"

#include <libxml/tree.h>

#include <cstddef>
#include <string>
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
// The same for the element that is `ordinal`-th in document order (counted
// from 0, the root), for a text without a document type declaration.
InsertionPoint FindElementInsertionPoint(std::u16string_view text, size_t ordinal);

// The caller's text with `signature` inserted as the last content of the
// ordinal-th element (an empty-element tag is written out as start and end
// tag around it). For the root, the text without such a point gets it in front
// of its last "<"; for another element it gives null. Throws std::bad_alloc
// when memory runs out.
common::UniqueBstr SpliceSignature(std::u16string_view xml, std::u16string_view signature,
                                   size_t ordinal = 0);

// An element as the text that goes into the caller's document: serialised as
// the root of a document of its own (namespaces it uses declared on it),
// without the XML declaration line and the final line feed. Empty when the
// serialisation is shorter than those; throws std::bad_alloc when memory runs
// out.
std::u16string ElementText(xmlNodePtr element);

} // namespace trumik::signer
