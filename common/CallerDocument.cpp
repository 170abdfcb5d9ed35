#include "CallerDocument.h"

#include "Conversions.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <xmlsec/xmlsec.h>

#include <xmlsec/errors.h>

#include <new>
#include <string>

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

UniqueXmlDoc ParseCallerDocument(const char* bytes)
{
    t_refused = false;
    UniqueXmlDoc doc(xmlParseDoc(reinterpret_cast<const xmlChar*>(bytes)));
    const bool refused = t_refused;
    t_refused = false;
    if (!doc || refused)
        return nullptr;
    if (xmlNodePtr reference = FindUnresolvedReference(doc->children)) {
        xmlSecError(__FILE__, __LINE__, "xmlParseDoc", nullptr, "external entity", XMLSEC_ERRORS_R_XML_FAILED,
                    "the entity '%s' is declared nowhere in the document",
                    reinterpret_cast<const char*>(reference->name));
        return nullptr;
    }
    return doc;
}

namespace {

UniqueXmlBytes Dumped(xmlDocPtr doc, const char* encoding)
{
    xmlChar* dumped = nullptr;
    int dumpedSize = 0;
    xmlDocDumpMemoryEnc(doc, &dumped, &dumpedSize, encoding);
    UniqueXmlBytes output(dumped);
    if (!output)
        throw std::bad_alloc();
    return output;
}

UniqueBstr ReadBack(const UniqueXmlBytes& output)
{
    UniqueBstr text = Utf8ToBstr(reinterpret_cast<const char*>(output.get()));
    if (!text)
        throw std::bad_alloc();
    return text;
}

} // namespace

UniqueBstr SerializedDocument(xmlDocPtr doc, const char* encoding)
{
    return ReadBack(Dumped(doc, encoding));
}

UniqueBstr SerializedDocument(UniqueXmlDoc doc, const char* encoding)
{
    UniqueXmlBytes output = Dumped(doc.get(), encoding);
    doc.reset();
    return ReadBack(output);
}

} // namespace trumik::common
