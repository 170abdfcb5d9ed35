#include "CallerDocument.h"

#include "Conversions.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <xmlsec/xmlsec.h>

#include <xmlsec/errors.h>

#include <memory>
#include <new>
#include <string>
#include <utility>

namespace trumik::common {

namespace {

// Set by the loader when it refused an entity that the parse on this thread needed.
thread_local bool t_refused = false;

const char* Text(const char* s)
{
    return s ? s : "";
}

// Entity references left in the tree: with substitution on, only references
// to entities declared nowhere in the text stay (libxml2 keeps them when the
// document has an external subset that might declare them).
xmlNodePtr FindUnresolvedReference(xmlNodePtr node)
{
    for (; node; node = node->next) {
        if (node->type == XML_ENTITY_REF_NODE)
            return node;
        if (node->type == XML_ELEMENT_NODE) {
            if (xmlNodePtr found = FindUnresolvedReference(node->children))
                return found;
        }
    }
    return nullptr;
}

} // namespace

xmlParserInputPtr RefuseExternalEntity(const char* url, const char* id, xmlParserCtxtPtr ctxt)
{
    // inSubset is 2 while the parser fetches the external DTD subset; a
    // document that only names one does not need it.
    if (ctxt && ctxt->inSubset == 2)
        return nullptr;
    t_refused = true;
    xmlSecError(__FILE__, __LINE__, "xmlParseDoc", nullptr, "external entity", XMLSEC_ERRORS_R_XML_FAILED,
                "an entity from outside the document is not read: url=%s; id=%s", Text(url), Text(id));
    return nullptr;
}

namespace {

// xmlParseDoc, with the caller's bytes let go (release) as soon as the parser
// has its own copy of them, so that they are not held while the tree grows.
UniqueXmlDoc ParseDoc(const char* bytes, ConvertedBytes* release)
{
    UniqueParserCtxt ctxt(xmlCreateDocParserCtxt(reinterpret_cast<const xmlChar*>(bytes)));
    if (release)
        *release = {};
    if (!ctxt)
        return nullptr;
    xmlParseDocument(ctxt.get());
    UniqueXmlDoc doc(std::exchange(ctxt->myDoc, nullptr));
    if (!ctxt->wellFormed)
        return nullptr;
    return doc;
}

UniqueXmlDoc ParseChecked(const char* bytes, ConvertedBytes* release)
{
    t_refused = false;
    UniqueXmlDoc doc = ParseDoc(bytes, release);
    const bool refused = t_refused;
    t_refused = false;
    if (!doc || refused)
        return nullptr;
    // Without a document type a reference to an undeclared entity does not
    // parse at all, so only a document with one is walked.
    if (xmlNodePtr reference =
            doc->intSubset || doc->extSubset ? FindUnresolvedReference(doc->children) : nullptr) {
        xmlSecError(__FILE__, __LINE__, "xmlParseDoc", nullptr, "external entity", XMLSEC_ERRORS_R_XML_FAILED,
                    "the entity '%s' is declared nowhere in the document",
                    reinterpret_cast<const char*>(reference->name));
        return nullptr;
    }
    return doc;
}

} // namespace

UniqueXmlDoc ParseCallerDocument(const char* bytes)
{
    return ParseChecked(bytes, nullptr);
}

UniqueXmlDoc ParseCallerDocument(ConvertedBytes bytes)
{
    const char* text = bytes.c_str();
    return ParseChecked(text, &bytes);
}

UniqueXmlDoc ParseCallerText(BSTR xml)
{
    std::optional<ConvertedBytes> bytes = DocumentToParserBuffer(xml);
    return bytes ? ParseCallerDocument(std::move(*bytes)) : nullptr;
}

namespace {

int AppendOutput(void* context, const char* bytes, int length)
{
    try {
        static_cast<std::string*>(context)->append(bytes, static_cast<size_t>(length));
    } catch (const std::bad_alloc&) {
        return -1;
    }
    return length;
}

// What xmlDocDumpMemoryEnc writes, written into text as it comes instead of
// into a buffer that doubles and is then copied whole.
std::string Dumped(xmlDocPtr doc, const char* encoding, size_t room)
{
    const char* name = encoding ? encoding : reinterpret_cast<const char*>(doc->encoding);
    xmlCharEncodingHandlerPtr handler = name ? xmlFindCharEncodingHandler(name) : nullptr;
    if (name && !handler) {
        // The library reports the encoding it does not know, and gives no text.
        xmlChar* dumped = nullptr;
        int dumpedSize = 0;
        xmlDocDumpMemoryEnc(doc, &dumped, &dumpedSize, encoding);
        UniqueXmlBytes output(dumped);
        throw std::bad_alloc();
    }
    std::string text;
    text.reserve(room);
    xmlOutputBufferPtr output = xmlOutputBufferCreateIO(AppendOutput, nullptr, &text, handler);
    if (!output) {
        if (handler)
            xmlCharEncCloseFunc(handler);
        throw std::bad_alloc();
    }
    // Closes the output (and its encoder) when it is done.
    if (xmlSaveFormatFileTo(output, doc, name, 0) < 0)
        throw std::bad_alloc();
    return text;
}

UniqueBstr ReadBack(const std::string& text)
{
    UniqueBstr bstr = Utf8ToBstr(text.c_str());
    if (!bstr)
        throw std::bad_alloc();
    return bstr;
}

} // namespace

UniqueBstr SerializedDocument(xmlDocPtr doc, const char* encoding, size_t room)
{
    return ReadBack(Dumped(doc, encoding, room));
}

UniqueBstr SerializedDocument(UniqueXmlDoc doc, const char* encoding, size_t room)
{
    const std::string text = Dumped(doc.get(), encoding, room);
    doc.reset();
    return ReadBack(text);
}

} // namespace trumik::common
