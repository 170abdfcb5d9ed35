// libFuzzer entry point: putting the signature into the caller's own text.
// For every input (UTF-8) that the XML parser takes as a document, the text
// with the signature spliced in must parse too, its root's last child must be
// the inserted Signature, and without it the document must be the caller's
// one, canonical form (comments kept) for canonical form. The insertion
// point that the signer finds by reading the markup is, besides, checked
// against the parser's own: the position at which libxml2 reports the end of
// the root element, just before that element's end tag. Built with
// -fsanitize=fuzzer under TRUMIK_FUZZ; the test run drives it through
// FuzzSpliceDriverTest.cpp.
#include "signer/SignatureSplice.h"

#include <libxml/SAX2.h>
#include <libxml/c14n.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/xmlIO.h>

#include <oleauto.h>
#include <winnls.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

namespace {

// A signature as the signer writes it: the element alone, with its namespace.
constexpr char16_t kSignature[] =
    u"<Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\"><SignedInfo><CanonicalizationMethod "
    u"Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/><SignatureMethod "
    u"Algorithm=\"http://www.w3.org/2001/04/xmldsig-more#gostr34102001-gostr3411\"/><Reference URI=\"\">"
    u"<Transforms><Transform "
    u"Algorithm=\"http://www.w3.org/2000/09/xmldsig#enveloped-signature\"/></Transforms>"
    u"<DigestMethod Algorithm=\"http://www.w3.org/2001/04/xmldsig-more#gostr3411\"/>"
    u"<DigestValue>AAAA</DigestValue></Reference></SignedInfo><SignatureValue>BBBB</SignatureValue></"
    u"Signature>";

struct DocFree {
    void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};
using Doc = std::unique_ptr<xmlDoc, DocFree>;
struct BytesFree {
    void operator()(xmlChar* p) const { xmlFree(p); }
};

// Nothing is read from outside the text.
xmlParserInputPtr NoExternal(const char*, const char*, xmlParserCtxtPtr)
{
    return nullptr;
}

void Silent(void*, const char*, ...) {}

Doc Parse(const std::string& text)
{
    return Doc(xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, "UTF-8",
                             XML_PARSE_NONET | XML_PARSE_NOENT | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
}

bool Canonical(xmlDoc* doc, std::string* out)
{
    xmlChar* bytes = nullptr;
    const int n = xmlC14NDocDumpMemory(doc, nullptr, XML_C14N_1_0, nullptr, 1, &bytes);
    std::unique_ptr<xmlChar, BytesFree> guard(bytes);
    if (n < 0 || !bytes)
        return false;
    out->assign(reinterpret_cast<const char*>(bytes), static_cast<size_t>(n));
    return true;
}

// Where the parser ends the root element: the offset, in UTF-8 bytes, of the
// "<" of its end tag, or of the "/" of its "/>"; npos when it does not parse.
struct RootEnd {
    int depth = 0;
    size_t offset = std::string::npos;
};

void StartElement(void* ctx, const xmlChar* localname, const xmlChar* prefix, const xmlChar* uri,
                  int namespaces, const xmlChar** namespaceList, int attributes, int defaulted,
                  const xmlChar** attributeList)
{
    auto* ctxt = static_cast<xmlParserCtxtPtr>(ctx);
    ++static_cast<RootEnd*>(ctxt->_private)->depth;
    xmlSAX2StartElementNs(ctx, localname, prefix, uri, namespaces, namespaceList, attributes, defaulted,
                          attributeList);
}

void EndElement(void* ctx, const xmlChar* localname, const xmlChar* prefix, const xmlChar* uri)
{
    auto* ctxt = static_cast<xmlParserCtxtPtr>(ctx);
    auto* end = static_cast<RootEnd*>(ctxt->_private);
    if (--end->depth == 0 && ctxt->input) {
        // Called once the tag is read: the input stands just past its ">".
        // "/>" ends an empty-element tag; an end tag holds no "<" after its
        // own (what the parser keeps behind the input may not reach back to
        // it: then there is nothing to compare).
        const xmlParserInputPtr in = ctxt->input;
        const std::string_view read(reinterpret_cast<const char*>(in->base),
                                    static_cast<size_t>(in->cur - in->base));
        const size_t past = read.size() + in->consumed;
        const size_t open = read.rfind('<');
        if (read.size() >= 2 && read[read.size() - 2] == '/')
            end->offset = past - 2;
        else if (open != std::string_view::npos)
            end->offset = past - (read.size() - open);
    }
    xmlSAX2EndElementNs(ctx, localname, prefix, uri);
}

size_t ParserRootEnd(const std::string& text)
{
    std::unique_ptr<xmlParserCtxt, void (*)(xmlParserCtxtPtr)> ctxt(xmlNewParserCtxt(), xmlFreeParserCtxt);
    if (!ctxt)
        return std::string::npos;
    RootEnd end;
    ctxt->_private = &end;
    ctxt->sax->startElementNs = StartElement;
    ctxt->sax->endElementNs = EndElement;
    Doc doc(xmlCtxtReadMemory(ctxt.get(), text.data(), static_cast<int>(text.size()), nullptr, "UTF-8",
                              XML_PARSE_NONET | XML_PARSE_NOENT | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    return doc ? end.offset : std::string::npos;
}

[[noreturn]] void Finding(const char* what, const std::string& input, const std::string& spliced)
{
    std::fprintf(stderr, "FuzzSplice: %s\n--- input\n%s\n--- with the signature\n%s\n", what, input.c_str(),
                 spliced.c_str());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    xmlInitParser();
    xmlSetExternalEntityLoader(NoExternal);
    xmlSetGenericErrorFunc(nullptr, Silent);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const int initialised = LLVMFuzzerInitialize(nullptr, nullptr);
    (void)initialised;
    const std::string input(reinterpret_cast<const char*>(data), size);
    if (size == 0 || size > (1u << 16) || input.find('\0') != std::string::npos)
        return 0;
    // The caller's text as the signer gets it; text that is not UTF-8 is not a document here.
    const int units =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, input.data(), static_cast<int>(size), nullptr, 0);
    if (units <= 0)
        return 0;
    std::u16string xml(static_cast<size_t>(units), u'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, input.data(), static_cast<int>(size), xml.data(),
                        units);
    Doc original = Parse(input);
    std::string before;
    if (!original || !xmlDocGetRootElement(original.get()) || !Canonical(original.get(), &before))
        return 0; // not a document the signer would sign

    // The insertion point against the parser's end of the root, both in
    // UTF-16 units of the caller's text.
    const size_t parserEnd = ParserRootEnd(input);
    const trumik::signer::InsertionPoint point = trumik::signer::FindRootInsertionPoint(xml);
    const int unitsBefore =
        parserEnd == std::string::npos
            ? -1
            : MultiByteToWideChar(CP_UTF8, 0, input.data(), static_cast<int>(parserEnd), nullptr, 0);
    if (unitsBefore >= 0 && (!point.found || point.position != static_cast<size_t>(unitsBefore)))
        Finding("the insertion point is not where the parser ends the root", input,
                std::to_string(point.found ? point.position : 0) + " against " + std::to_string(unitsBefore));

    trumik::common::UniqueBstr spliced = trumik::signer::SpliceSignature(xml, kSignature);
    const int bytes =
        WideCharToMultiByte(CP_UTF8, 0, spliced.get(), static_cast<int>(SysStringLen(spliced.get())), nullptr,
                            0, nullptr, nullptr);
    std::string text(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, spliced.get(), static_cast<int>(SysStringLen(spliced.get())), text.data(),
                        bytes, nullptr, nullptr);

    Doc result = Parse(text);
    xmlNodePtr root = result ? xmlDocGetRootElement(result.get()) : nullptr;
    if (!root)
        Finding("the signed text does not parse", input, text);
    xmlNodePtr last = root->last;
    if (!last || last->type != XML_ELEMENT_NODE || !xmlStrEqual(last->name, BAD_CAST "Signature") ||
        !last->ns || !xmlStrEqual(last->ns->href, BAD_CAST "http://www.w3.org/2000/09/xmldsig#"))
        Finding("the root's last child is not the inserted Signature", input, text);
    xmlUnlinkNode(last);
    xmlFreeNode(last);
    std::string after;
    if (!Canonical(result.get(), &after) || after != before)
        Finding("without the Signature the document is not the caller's", input, text);
    return 0;
}
