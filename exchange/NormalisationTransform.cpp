// The normalisation transform, rule by rule:
//  1. declaration, processing instructions and comments are dropped;
//  2. whitespace-only text (characters up to U+0020) is dropped, other text kept;
//  3. start and end tag for every element;
//  4. an element without a namespace fails the transform;
//  5. prefixes ns1, ns2, ... in the order needed through the whole fragment,
//     taken from the nearest open ancestor that declared the namespace;
//  6. only those declarations are written;
//  7. attributes with a namespace first (by URI, then local name), then those
//     without one (by local name), compared by UTF-16 code unit;
//  8. the new declarations first (the element's, then its attributes'), then
//     the attributes;
//  9. & < > escaped in text, and " too in attribute values, in double quotes.
// The input is read into a libxml2 tree without loading anything from outside
// the text; the output is UTF-8.
#include "NormalisationTransform.h"

#include "common/XmlLibrary.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <xmlsec/buffer.h>
#include <xmlsec/errors.h>
#include <xmlsec/xmlsec.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

namespace trumik::exchange {

namespace {

std::string_view View(const xmlChar* text)
{
    return text ? std::string_view(reinterpret_cast<const char*>(text)) : std::string_view();
}

// UTF-8 to UTF-16 code units, for the order of rule 7 (which differs from the
// order of UTF-8 bytes for characters beyond U+FFFF).
std::u16string Utf16Units(std::string_view utf8)
{
    std::u16string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const int length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t cp = length == 1   ? lead
                      : length == 2 ? lead & 0x1F
                      : length == 3 ? lead & 0x0F
                                    : lead & 0x07;
        for (int k = 1; k < length && i + static_cast<size_t>(k) < utf8.size(); ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + static_cast<size_t>(k)]) & 0x3F);
        i += static_cast<size_t>(length);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

// A namespace name as the document means it. Without entity substitution the
// parser keeps an "&amp;" of a namespace declaration as "&#38;" in the name
// (an attribute's value it decodes); a "&" of the name can only come from there.
std::string NamespaceName(xmlNsPtr ns)
{
    std::string name(View(ns && ns->href ? ns->href : nullptr));
    for (size_t at = name.find("&#38;"); at != std::string::npos; at = name.find("&#38;", at + 1))
        name.replace(at, 5, "&");
    return name;
}

bool HasNamespace(xmlNsPtr ns)
{
    return ns && ns->href && *ns->href;
}

struct SortedAttribute {
    xmlAttrPtr attr;
    std::u16string uri; // empty: no namespace
    std::u16string name;
};

bool AttributeBefore(const SortedAttribute& a, const SortedAttribute& b)
{
    const bool aNs = !a.uri.empty(), bNs = !b.uri.empty();
    if (aNs != bNs)
        return aNs;
    if (a.uri != b.uri)
        return a.uri < b.uri;
    return a.name < b.name;
}

bool WhitespaceOnly(std::string_view text)
{
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) <= 0x20; });
}

class Writer {
  public:
    explicit Writer(std::string& out) : out_(out) {}

    NormaliseResult Element(xmlNodePtr element)
    {
        if (!HasNamespace(element->ns))
            return {NormaliseStatus::NoNamespace};
        // A name the parser could not split into prefix and local name (as
        // ":b" or "a:b:c") is no namespace-well-formed XML.
        if (View(element->name).find(':') != std::string_view::npos)
            return {NormaliseStatus::NotParsed};
        const size_t scope = declared_.size();
        std::string declarations;
        const std::string prefix = PrefixFor(NamespaceName(element->ns), declarations);

        std::vector<SortedAttribute> attributes;
        for (xmlAttrPtr attr = element->properties; attr; attr = attr->next) {
            if (View(attr->name).find(':') != std::string_view::npos)
                return {NormaliseStatus::NotParsed};
            attributes.push_back(
                {attr, HasNamespace(attr->ns) ? Utf16Units(NamespaceName(attr->ns)) : std::u16string(),
                 Utf16Units(View(attr->name))});
        }
        std::stable_sort(attributes.begin(), attributes.end(), AttributeBefore);
        std::string written;
        for (const SortedAttribute& a : attributes) {
            written += ' ';
            if (HasNamespace(a.attr->ns)) {
                written += PrefixFor(NamespaceName(a.attr->ns), declarations);
                written += ':';
            }
            written += View(a.attr->name);
            written += "=\"";
            Escape(AttributeValue(a.attr), true, written);
            written += '"';
        }

        out_ += '<';
        out_ += prefix;
        out_ += ':';
        out_ += View(element->name);
        out_ += declarations;
        out_ += written;
        out_ += '>';
        NormaliseResult result = Children(element);
        if (result.status != NormaliseStatus::Ok)
            return result;
        out_ += "</";
        out_ += prefix;
        out_ += ':';
        out_ += View(element->name);
        out_ += '>';
        declared_.resize(scope);
        return result;
    }

    bool rawLineBreakOrTab = false;

  private:
    // The prefix of a namespace: the nearest open declaration, else a new one
    // appended to `declarations` (and open until the element ends). The XML
    // namespace keeps its reserved prefix, which may not be declared.
    std::string PrefixFor(std::string_view uri, std::string& declarations)
    {
        if (uri == View(XML_XML_NAMESPACE))
            return "xml";
        for (auto it = declared_.rbegin(); it != declared_.rend(); ++it) {
            if (it->first == uri)
                return it->second;
        }
        std::string prefix = "ns" + std::to_string(++counter_);
        declarations += " xmlns:";
        declarations += prefix;
        declarations += "=\"";
        Escape(uri, true, declarations);
        declarations += '"';
        declared_.emplace_back(std::string(uri), prefix);
        return prefix;
    }

    std::string AttributeValue(xmlAttrPtr attr)
    {
        std::string value;
        for (xmlNodePtr part = attr->children; part; part = part->next) {
            if (part->type == XML_TEXT_NODE)
                value += View(part->content);
        }
        if (value.find_first_of("\t\n\r") != std::string::npos)
            rawLineBreakOrTab = true;
        return value;
    }

    NormaliseResult Children(xmlNodePtr element)
    {
        std::string text;
        auto flush = [&] {
            if (!text.empty() && !WhitespaceOnly(text)) {
                if (text.find('\r') != std::string::npos)
                    rawLineBreakOrTab = true;
                Escape(text, false, out_);
            }
            text.clear();
        };
        for (xmlNodePtr child = element->children; child; child = child->next) {
            switch (child->type) {
            case XML_TEXT_NODE:
            case XML_CDATA_SECTION_NODE:
                text += View(child->content);
                break;
            case XML_ELEMENT_NODE: {
                flush();
                NormaliseResult result = Element(child);
                if (result.status != NormaliseStatus::Ok)
                    return result;
                break;
            }
            default: // comments and processing instructions are dropped
                break;
            }
        }
        flush();
        return {};
    }

    static void Escape(std::string_view text, bool attribute, std::string& out)
    {
        for (char c : text) {
            switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                if (attribute) {
                    out += "&quot;";
                    break;
                }
                [[fallthrough]];
            default:
                out += c;
            }
        }
    }

    std::string& out_;
    std::vector<std::pair<std::string, std::string>> declared_;
    unsigned counter_ = 0;
};

struct DocDeleter {
    void operator()(xmlDocPtr doc) const { xmlFreeDoc(doc); }
};

} // namespace

NormaliseResult Normalise(const unsigned char* data, size_t size, std::string& out)
{
    out.clear();
    if (size > static_cast<size_t>(INT_MAX))
        return {NormaliseStatus::NotParsed};
    // Nothing outside the text is read: no network, no external subset, no
    // entity substitution; a document type declaration is refused below.
    std::unique_ptr<xmlDoc, DocDeleter> doc(
        xmlReadMemory(reinterpret_cast<const char*>(data), static_cast<int>(size), nullptr, nullptr,
                      XML_PARSE_NONET | XML_PARSE_HUGE | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    xmlNodePtr root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
    if (!root || doc->intSubset || doc->extSubset)
        return {NormaliseStatus::NotParsed};
    out.reserve(size);
    Writer writer(out);
    NormaliseResult result = writer.Element(root);
    if (result.status != NormaliseStatus::Ok) {
        out.clear();
        return result;
    }
    result.rawLineBreakOrTab = writer.rawLineBreakOrTab;
    return result;
}

// ---------------------------------------------------------------------------
// The xmlsec klass: the input is gathered until the last chunk, then
// normalised into the output buffer at once.

namespace {

int Execute(xmlSecTransformPtr transform, int last, xmlSecTransformCtxPtr)
{
    if (transform->status == xmlSecTransformStatusNone)
        transform->status = xmlSecTransformStatusWorking;
    if (transform->status == xmlSecTransformStatusFinished)
        return 0;
    if (transform->status != xmlSecTransformStatusWorking || !last)
        return transform->status == xmlSecTransformStatusWorking ? 0 : -1;

    xmlSecBufferPtr in = &transform->inBuf;
    std::string normalised;
    const NormaliseResult result =
        Normalise(xmlSecBufferGetData(in), static_cast<size_t>(xmlSecBufferGetSize(in)), normalised);
    if (result.status != NormaliseStatus::Ok) {
        xmlSecError(XMLSEC_ERRORS_HERE, reinterpret_cast<const char*>(xmlSecTransformGetName(transform)),
                    nullptr, XMLSEC_ERRORS_R_INVALID_DATA, "%s",
                    result.status == NormaliseStatus::NoNamespace ? "an element without a namespace"
                                                                  : "the input is not XML");
        return -1;
    }
    if (xmlSecBufferAppend(&transform->outBuf, reinterpret_cast<const xmlSecByte*>(normalised.data()),
                           static_cast<xmlSecSize>(normalised.size())) < 0)
        return -1;
    if (xmlSecBufferRemoveHead(in, xmlSecBufferGetSize(in)) < 0)
        return -1;
    transform->status = xmlSecTransformStatusFinished;
    return 0;
}

// Binary in, binary out: xmlsec's default push and pop gather the input and
// call Execute.
const struct _xmlSecTransformKlass kKlass = {
    .klassSize = sizeof(struct _xmlSecTransformKlass),
    .objSize = sizeof(xmlSecTransform),
    .name = reinterpret_cast<const xmlChar*>("smev-normalisation"),
    .href = reinterpret_cast<const xmlChar*>(kNormalisationHref),
    .usage = xmlSecTransformUsageDSigTransform,
    .initialize = nullptr,
    .finalize = nullptr,
    .readNode = nullptr,
    .writeNode = nullptr,
    .setKeyReq = nullptr,
    .setKey = nullptr,
    .verify = nullptr,
    .getDataType = xmlSecTransformDefaultGetDataType,
    .pushBin = xmlSecTransformDefaultPushBin,
    .popBin = xmlSecTransformDefaultPopBin,
    .pushXml = nullptr,
    .popXml = nullptr,
    .execute = Execute,
    .reserved0 = nullptr,
    .reserved1 = nullptr,
};

} // namespace

xmlSecTransformId NormalisationTransformGetKlass()
{
    return &kKlass;
}

namespace {

// Withdraws the klass from xmlsec's list when the module's statics go, at its
// unload or at the end of the process.
struct Registration {
    std::once_flag once;
    bool added = false;
    ~Registration()
    {
        if (added)
            common::RemoveTransform(&kKlass);
    }
};
Registration g_registration;

} // namespace

void UseNormalisationTransform()
{
    std::call_once(g_registration.once, [] {
        common::AddTransform(&kKlass);
        g_registration.added = true;
    });
}

} // namespace trumik::exchange
