// What the element signer and verifier share: elements found by the
// identifier they carry (Id, id, ID without a namespace, or wsu:Id; no DTD
// declares it), and the refusal of documents with a document type.
#pragma once

#include <libxml/tree.h>

#include <string_view>
#include <vector>

namespace trumik::exchange {

inline constexpr char kWsuNamespace[] =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-utility-1.0.xsd";

// The identifier attribute of every element, in document order, that carries
// `id`; two or more mean the identifier is ambiguous.
std::vector<xmlAttrPtr> AttributesWithId(xmlDocPtr doc, std::string_view id);

// Registers every identifier that exactly one element carries, so that
// xmlsec resolves "#id" to it; an identifier two elements carry resolves to
// nothing.
void RegisterUniqueIds(xmlDocPtr doc);

// The element's place in document order, counted from 0 (the root).
size_t ElementOrdinal(xmlDocPtr doc, xmlNodePtr element);

// Whether an element of the subtree has no namespace.
bool HasElementWithoutNamespace(xmlNodePtr element);

// Whether the caller's text declares a document type (which both classes
// refuse), judged from the parsed document or, when it did not parse, from
// the text.
bool DeclaresDocumentType(xmlDocPtr doc, std::u16string_view text);

} // namespace trumik::exchange
