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
// The input is read as a stream of parser events without loading anything
// from outside the text (an input out of the ordinary as a libxml2 tree); the
// output is UTF-8.
#include "NormalisationTransform.h"

#include "common/XmlGuards.h"
#include "common/XmlLibrary.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>
#include <xmlsec/buffer.h>
#include <xmlsec/errors.h>
#include <xmlsec/xmlsec.h>

#include <algorithm>
#include <climits>
#include <memory>
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
// Text of the parser with each "&#38;" read as "&", decoded into `storage`
// only when it holds a "&".
std::string_view WithAmpersands(std::string_view text, std::string& storage)
{
    if (text.find('&') == std::string_view::npos)
        return text;
    storage.assign(text);
    for (size_t at = storage.find("&#38;"); at != std::string::npos; at = storage.find("&#38;", at + 1))
        storage.replace(at, 5, "&");
    return storage;
}

std::string_view NamespaceName(const xmlChar* href, std::string& storage)
{
    return WithAmpersands(View(href), storage);
}

bool HasNamespace(xmlNsPtr ns)
{
    return ns && ns->href && *ns->href;
}

bool HasColon(const xmlChar* name)
{
    return View(name).find(':') != std::string_view::npos;
}

// An attribute as the writer takes it: its namespace name (empty for none),
// its local name and its value, all decoded.
struct Attribute {
    std::string_view uri;
    std::string_view name;
    std::string_view value;
};

struct SortedAttribute {
    const Attribute* attribute;
    std::u16string uri;
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

// Writes the output as elements open and close and text arrives, whether the
// input is read as a stream or walked as a tree.
class Writer {
  public:
    explicit Writer(std::string& out) : out_(out) {}

    // An element with a namespace (uri not empty) and a name without a colon.
    void Start(std::string_view uri, std::string_view name, const std::vector<Attribute>& attributes)
    {
        Flush();
        const size_t scope = declared_.size();
        declarations_.clear();
        written_.clear();
        const std::string prefix = PrefixFor(uri, declarations_);
        for (const Attribute* a : Sorted(attributes)) {
            written_ += ' ';
            if (!a->uri.empty()) {
                written_ += PrefixFor(a->uri, declarations_);
                written_ += ':';
            }
            written_ += a->name;
            written_ += "=\"";
            Escape(a->value, true, written_);
            written_ += '"';
            if (std::any_of(a->value.begin(), a->value.end(),
                            [](char c) { return c == '\t' || c == '\n' || c == '\r'; }))
                rawLineBreakOrTab = true;
        }
        out_ += '<';
        out_ += prefix;
        out_ += ':';
        out_ += name;
        out_ += declarations_;
        out_ += written_;
        out_ += '>';
        if (depth_ == open_.size())
            open_.emplace_back();
        Open& open = open_[depth_++];
        open.scope = scope;
        open.endTag.assign("</");
        open.endTag += prefix;
        open.endTag += ':';
        open.endTag += name;
        open.endTag += '>';
    }

    void Text(std::string_view text) { pending_ += text; }

    void End()
    {
        Flush();
        const Open& open = open_[--depth_];
        out_ += open.endTag;
        declared_.resize(open.scope);
    }

    bool rawLineBreakOrTab = false;

  private:
    struct Open {
        size_t scope = 0;
        std::string endTag;
    };

    // Attributes with a namespace first (by URI, then local name), then the
    // others (by local name), compared by UTF-16 code unit.
    const std::vector<const Attribute*>& Sorted(const std::vector<Attribute>& attributes)
    {
        order_.clear();
        if (attributes.size() < 2) {
            for (const Attribute& a : attributes)
                order_.push_back(&a);
            return order_;
        }
        std::vector<SortedAttribute> keyed;
        keyed.reserve(attributes.size());
        for (const Attribute& a : attributes)
            keyed.push_back({&a, Utf16Units(a.uri), Utf16Units(a.name)});
        std::stable_sort(keyed.begin(), keyed.end(), AttributeBefore);
        for (const SortedAttribute& k : keyed)
            order_.push_back(k.attribute);
        return order_;
    }

    void Flush()
    {
        if (!pending_.empty() && !WhitespaceOnly(pending_)) {
            if (pending_.find('\r') != std::string::npos)
                rawLineBreakOrTab = true;
            Escape(pending_, false, out_);
        }
        pending_.clear();
    }

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

    // Runs without a character to escape are appended whole.
    static void Escape(std::string_view text, bool attribute, std::string& out)
    {
        size_t from = 0;
        for (size_t at = 0; at < text.size(); ++at) {
            const char* entity;
            switch (text[at]) {
            case '&':
                entity = "&amp;";
                break;
            case '<':
                entity = "&lt;";
                break;
            case '>':
                entity = "&gt;";
                break;
            case '"':
                if (!attribute)
                    continue;
                entity = "&quot;";
                break;
            default:
                continue;
            }
            out.append(text.data() + from, at - from);
            out += entity;
            from = at + 1;
        }
        out.append(text.data() + from, text.size() - from);
    }

    std::string& out_;
    std::vector<std::pair<std::string, std::string>> declared_;
    unsigned counter_ = 0;
    std::vector<Open> open_;
    size_t depth_ = 0;
    std::string pending_;
    std::string declarations_;
    std::string written_;
    std::vector<const Attribute*> order_;
};

// ---------------------------------------------------------------------------
// Reading the input as a stream: the parser's events go straight to the
// writer, with no tree. Anything out of the ordinary (a document type, a name
// the parser cannot split, an undeclared prefix, an element without a
// namespace, a namespace or well-formedness error) marks the input, and the
// tree below gives the answer for it.

struct Stream {
    explicit Stream(std::string& out) : writer(out) {}
    Writer writer;
    bool unusual = false;
    bool rootSeen = false;
    std::vector<Attribute> attributes;
    std::vector<std::string> storage; // decoded names and values of one start tag
};

Stream& StreamOf(void* ctx)
{
    return *static_cast<Stream*>(static_cast<xmlParserCtxtPtr>(ctx)->_private);
}

// An attribute value as the parser hands it over: without entity
// substitution each "&" of the value comes as "&#38;".
std::string_view AttributeValue(const xmlChar* value, const xmlChar* end, std::string& storage)
{
    return WithAmpersands(
        std::string_view(reinterpret_cast<const char*>(value), static_cast<size_t>(end - value)), storage);
}

void StartElement(void* ctx, const xmlChar* localname, const xmlChar*, const xmlChar* uri, int,
                  const xmlChar**, int nbAttributes, int nbDefaulted, const xmlChar** attributes)
{
    Stream& stream = StreamOf(ctx);
    if (stream.unusual)
        return;
    stream.rootSeen = true;
    if (!uri || !*uri || HasColon(localname) || nbDefaulted > 0) {
        stream.unusual = true;
        return;
    }
    // Two strings an attribute at most, and one for the element's namespace:
    // kept in place while the start tag is written.
    const size_t count = static_cast<size_t>(nbAttributes);
    if (stream.storage.size() < 2 * count + 1)
        stream.storage.resize(2 * count + 1);
    stream.attributes.clear();
    for (size_t i = 0; i < count; ++i) {
        const xmlChar* const* a = attributes + 5 * i; // local name, prefix, URI, value, end
        if ((a[1] && !a[2]) || HasColon(a[0])) {
            stream.unusual = true;
            return;
        }
        stream.attributes.push_back(
            {a[2] && *a[2] ? NamespaceName(a[2], stream.storage[2 * i]) : std::string_view(), View(a[0]),
             AttributeValue(a[3], a[4], stream.storage[2 * i + 1])});
    }
    stream.writer.Start(NamespaceName(uri, stream.storage[2 * count]), View(localname), stream.attributes);
}

void EndElement(void* ctx, const xmlChar*, const xmlChar*, const xmlChar*)
{
    Stream& stream = StreamOf(ctx);
    if (!stream.unusual)
        stream.writer.End();
}

void Characters(void* ctx, const xmlChar* text, int length)
{
    Stream& stream = StreamOf(ctx);
    if (!stream.unusual)
        stream.writer.Text(
            std::string_view(reinterpret_cast<const char*>(text), static_cast<size_t>(length)));
}

void DocumentType(void* ctx, const xmlChar*, const xmlChar*, const xmlChar*)
{
    StreamOf(ctx).unusual = true;
    xmlStopParser(static_cast<xmlParserCtxtPtr>(ctx));
}

// Nothing outside the text is read: no network, no external subset, no
// entity substitution.
constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_HUGE | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

// True when the stream gave the whole output; false when the input is out of
// the ordinary (out is then to be written from the tree).
bool NormaliseStream(const unsigned char* data, size_t size, std::string& out, bool& rawLineBreakOrTab)
{
    common::UniqueParserCtxt ctxt(
        xmlCreateMemoryParserCtxt(reinterpret_cast<const char*>(data), static_cast<int>(size)));
    if (!ctxt)
        return false;
    xmlCtxtUseOptions(ctxt.get(), kParseOptions);
    xmlSAXHandlerPtr sax = ctxt->sax;
    sax->startElementNs = StartElement;
    sax->endElementNs = EndElement;
    sax->characters = Characters;
    sax->ignorableWhitespace = Characters;
    sax->cdataBlock = Characters;
    sax->comment = nullptr;
    sax->processingInstruction = nullptr;
    sax->internalSubset = DocumentType;
    Stream stream(out);
    ctxt->_private = &stream;
    xmlParseDocument(ctxt.get());
    if (stream.unusual || !stream.rootSeen || !ctxt->wellFormed || !ctxt->nsWellFormed ||
        ctxt->myDoc == nullptr || ctxt->myDoc->intSubset || ctxt->myDoc->extSubset)
        return false;
    rawLineBreakOrTab = stream.writer.rawLineBreakOrTab;
    return true;
}

// ---------------------------------------------------------------------------
// Reading the input as a tree, for the inputs the stream leaves: the status
// of the first element in document order that fails, or the whole output.

class TreeWalk {
  public:
    explicit TreeWalk(std::string& out) : writer(out) {}

    NormaliseResult Element(xmlNodePtr element)
    {
        if (!HasNamespace(element->ns))
            return {NormaliseStatus::NoNamespace};
        // A name the parser could not split into prefix and local name (as
        // ":b" or "a:b:c") is no namespace-well-formed XML.
        if (HasColon(element->name))
            return {NormaliseStatus::NotParsed};
        std::vector<std::string> storage;
        std::vector<Attribute> attributes;
        size_t count = 0;
        for (xmlAttrPtr attr = element->properties; attr; attr = attr->next)
            ++count;
        storage.resize(2 * count + 1);
        size_t i = 0;
        for (xmlAttrPtr attr = element->properties; attr; attr = attr->next, ++i) {
            if (HasColon(attr->name))
                return {NormaliseStatus::NotParsed};
            std::string& value = storage[2 * i + 1];
            for (xmlNodePtr part = attr->children; part; part = part->next) {
                if (part->type == XML_TEXT_NODE)
                    value += View(part->content);
            }
            attributes.push_back(
                {HasNamespace(attr->ns) ? NamespaceName(attr->ns->href, storage[2 * i]) : std::string_view(),
                 View(attr->name), value});
        }
        writer.Start(NamespaceName(element->ns->href, storage[2 * count]), View(element->name), attributes);
        for (xmlNodePtr child = element->children; child; child = child->next) {
            switch (child->type) {
            case XML_TEXT_NODE:
            case XML_CDATA_SECTION_NODE:
                writer.Text(View(child->content));
                break;
            case XML_ELEMENT_NODE: {
                NormaliseResult result = Element(child);
                if (result.status != NormaliseStatus::Ok)
                    return result;
                break;
            }
            default: // comments and processing instructions are dropped
                break;
            }
        }
        writer.End();
        return {};
    }

    Writer writer;
};

struct DocDeleter {
    void operator()(xmlDocPtr doc) const { xmlFreeDoc(doc); }
};

NormaliseResult NormaliseTree(const unsigned char* data, size_t size, std::string& out)
{
    // A document type declaration is refused below.
    std::unique_ptr<xmlDoc, DocDeleter> doc(xmlReadMemory(
        reinterpret_cast<const char*>(data), static_cast<int>(size), nullptr, nullptr, kParseOptions));
    xmlNodePtr root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
    if (!root || doc->intSubset || doc->extSubset)
        return {NormaliseStatus::NotParsed};
    TreeWalk walk(out);
    NormaliseResult result = walk.Element(root);
    if (result.status == NormaliseStatus::Ok)
        result.rawLineBreakOrTab = walk.writer.rawLineBreakOrTab;
    return result;
}

} // namespace

NormaliseResult Normalise(const unsigned char* data, size_t size, std::string& out)
{
    out.clear();
    if (size > static_cast<size_t>(INT_MAX))
        return {NormaliseStatus::NotParsed};
    out.reserve(size);
    NormaliseResult result;
    if (NormaliseStream(data, size, out, result.rawLineBreakOrTab))
        return result;
    out.clear();
    result = NormaliseTree(data, size, out);
    if (result.status != NormaliseStatus::Ok)
        out.clear();
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

// Pushed data is gathered until the last push, then normalised and handed to
// the next transform in one push: xmlsec's default push would hand the output
// on in small chunks, removing each from the head of the buffer, which costs
// time in the square of the element's size. Pulling (pop) is xmlsec's own.
int PushBin(xmlSecTransformPtr transform, const xmlSecByte* data, xmlSecSize dataSize, int final,
            xmlSecTransformCtxPtr transformCtx)
{
    if (dataSize > 0 && xmlSecBufferAppend(&transform->inBuf, data, dataSize) < 0)
        return -1;
    if (!final)
        return transform->status == xmlSecTransformStatusFinished ? -1 : 0;
    if (Execute(transform, 1, transformCtx) < 0)
        return -1;
    xmlSecBufferPtr out = &transform->outBuf;
    if (transform->next && xmlSecTransformPushBin(transform->next, xmlSecBufferGetData(out),
                                                  xmlSecBufferGetSize(out), 1, transformCtx) < 0)
        return -1;
    return xmlSecBufferSetSize(out, 0);
}

// Binary in, binary out.
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
    .pushBin = PushBin,
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

// Known to xmlsec for the life of this object, which lives from the first use
// to the destruction of the module's statics: at its unload, should the
// loader ever unload it (glibc keeps a module with unique symbols, as both
// modules have, to the end of the process), or at the end of the process.
struct Registration {
    Registration() { common::AddTransform(&kKlass); }
    ~Registration() { common::RemoveTransform(&kKlass); }
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;
};

} // namespace

void UseNormalisationTransform()
{
    // Made on first use, after the common library's state that AddTransform
    // makes, so that it is destroyed before that state.
    static const Registration registration;
}

} // namespace trumik::exchange
