// Parsing a caller's document so that it is either read whole from its own
// text or refused: nothing outside the text is loaded, and a document that
// needs something from outside (an external entity it uses, an entity whose
// declaration would come from an external DTD) fails instead of being taken
// with that part missing.
#pragma once

#include "Bstr.h"
#include "Conversions.h"
#include "XmlGuards.h"

namespace trumik::common {

// The entity loader that the library start-up installs. The external DTD
// subset is skipped silently; any other external entity is refused, reported
// to the library's error callback and remembered for ParseCallerDocument.
xmlParserInputPtr RefuseExternalEntity(const char* url, const char* id, xmlParserCtxtPtr ctxt);

// xmlParseDoc of NUL-terminated bytes; null when the text does not parse or
// needs an entity from outside it.
UniqueXmlDoc ParseCallerDocument(const char* bytes);
// The same for converted bytes, which go as soon as the parser has its own
// copy of them.
UniqueXmlDoc ParseCallerDocument(ConvertedBytes bytes);

// The caller's text converted for the parser (DocumentToParserBuffer) and
// parsed as above; null when it cannot be converted or parsed. The converted
// bytes go as soon as the parse is done.
UniqueXmlDoc ParseCallerText(BSTR xml);

// The document serialised (in encoding, or in its own when encoding is null)
// and read back as UTF-8 into an automation string; throws std::bad_alloc
// when memory runs out. The text is written into one buffer of room bytes
// (it grows only when the text is longer), so a caller that knows about how
// long it will be spares the copies of a growing buffer.
UniqueBstr SerializedDocument(xmlDocPtr doc, const char* encoding = nullptr, size_t room = 0);

// The same for a document that is done with: it is freed as soon as it is
// serialised, before the text is read back, so that a large document and its
// text are never all held at once.
UniqueBstr SerializedDocument(UniqueXmlDoc doc, const char* encoding = nullptr, size_t room = 0);

} // namespace trumik::common
