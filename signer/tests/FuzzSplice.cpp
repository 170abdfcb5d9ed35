// libFuzzer entry point: putting the signature into the caller's own text.
// For every input (UTF-8) that the XML parser takes as a document, the text
// with the signature spliced in must parse too, its root's last child must be
// the inserted Signature, and without it the document must be the caller's
// one, canonical form (comments kept) for canonical form. Built with
// -fsanitize=fuzzer under TRUMIK_FUZZ; the test run drives it through
// FuzzSpliceDriverTest.cpp.
#include "signer/MSXmlSigner.h"

#include <libxml/c14n.h>
#include <libxml/parser.h>
#include <libxml/xmlIO.h>

#include <oleauto.h>
#include <winnls.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

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
