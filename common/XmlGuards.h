// Owners of the libxml2 and XML security library objects of one operation.
#pragma once

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <xmlsec/keys.h>
#include <xmlsec/keysdata.h>
#include <xmlsec/xmldsig.h>

#include <memory>

namespace trumik::common {

struct XmlDocFreer {
    void operator()(xmlDocPtr doc) const { xmlFreeDoc(doc); }
};
struct XmlBytesFreer {
    void operator()(xmlChar* bytes) const { xmlFree(bytes); }
};
// A parser context, with any document it still holds.
struct ParserCtxtFreer {
    void operator()(xmlParserCtxtPtr ctxt) const
    {
        if (ctxt->myDoc)
            xmlFreeDoc(ctxt->myDoc);
        ctxt->myDoc = nullptr;
        xmlFreeParserCtxt(ctxt);
    }
};
struct DSigCtxDestroyer {
    void operator()(xmlSecDSigCtxPtr ctx) const { xmlSecDSigCtxDestroy(ctx); }
};
struct SecKeyDestroyer {
    void operator()(xmlSecKeyPtr key) const { xmlSecKeyDestroy(key); }
};
struct SecKeyDataDestroyer {
    void operator()(xmlSecKeyDataPtr data) const { xmlSecKeyDataDestroy(data); }
};
using UniqueXmlDoc = std::unique_ptr<xmlDoc, XmlDocFreer>;
using UniqueXmlBytes = std::unique_ptr<xmlChar, XmlBytesFreer>;
using UniqueParserCtxt = std::unique_ptr<xmlParserCtxt, ParserCtxtFreer>;
using UniqueDSigCtx = std::unique_ptr<xmlSecDSigCtx, DSigCtxDestroyer>;
using UniqueSecKey = std::unique_ptr<xmlSecKey, SecKeyDestroyer>;
using UniqueSecKeyData = std::unique_ptr<xmlSecKeyData, SecKeyDataDestroyer>;

inline const xmlChar* Xml(const char* text)
{
    return reinterpret_cast<const xmlChar*>(text);
}

} // namespace trumik::common
