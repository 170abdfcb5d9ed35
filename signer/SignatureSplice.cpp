#include "SignatureSplice.h"

#include "common/CallerDocument.h"
#include "common/XmlGuards.h"

#include <oleauto.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

namespace trumik::signer {

namespace {

bool IsNameEnd(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'/' || c == u'>';
}

// The first `unit` at or after `from`; four units a step where the text has
// none of it (the character data between tags is most of a document).
size_t FindUnit(std::u16string_view text, char16_t unit, size_t from)
{
    constexpr uint64_t kOnes = 0x0001000100010001ULL;
    constexpr uint64_t kHigh = 0x8000800080008000ULL;
    const uint64_t pattern = kOnes * unit;
    const size_t n = text.size();
    size_t i = from;
    for (; i + 4 <= n; i += 4) {
        uint64_t word;
        std::memcpy(&word, text.data() + i, sizeof word);
        const uint64_t x = word ^ pattern; // a lane of zero where the unit is
        if ((x - kOnes) & ~x & kHigh)
            break;
    }
    for (; i < n; ++i) {
        if (text[i] == unit)
            return i;
    }
    return std::u16string_view::npos;
}

} // namespace

// The caller's text with the signature text put where the root element ends.
common::UniqueBstr SpliceSignature(std::u16string_view xml, std::u16string_view signature, size_t ordinal)
{
    // The new text is put together in its BSTR, part after part.
    std::u16string_view parts[6];
    size_t partCount = 0;
    const InsertionPoint point = FindElementInsertionPoint(xml, ordinal);
    if (!point.found && ordinal != 0)
        return nullptr;
    if (point.found && point.emptyElement) {
        parts[partCount++] = xml.substr(0, point.position);
        parts[partCount++] = u">";
        parts[partCount++] = signature;
        parts[partCount++] = u"</";
        parts[partCount++] = point.name;
        parts[partCount++] = u">";
        // (the rest of the caller's text follows below)
    } else {
        size_t p = point.found ? point.position : xml.rfind(u'<');
        if (p == std::u16string_view::npos)
            p = 0;
        parts[partCount++] = xml.substr(0, p);
        parts[partCount++] = signature;
    }
    const size_t restFrom = point.found && point.emptyElement ? point.tagEnd
                            : partCount > 0                   ? parts[0].size()
                                                              : 0;
    const std::u16string_view rest = xml.substr(restFrom);
    size_t total = rest.size();
    for (size_t i = 0; i < partCount; ++i)
        total += parts[i].size();
    if (total > 0x7FFFFFFF)
        throw std::bad_alloc();
    common::UniqueBstr replacement(SysAllocStringLen(nullptr, static_cast<UINT>(total)));
    if (!replacement)
        throw std::bad_alloc();
    char16_t* out = replacement.get();
    for (size_t i = 0; i < partCount; ++i)
        out = std::copy(parts[i].begin(), parts[i].end(), out);
    std::copy(rest.begin(), rest.end(), out);
    return replacement;
}

// Reads the markup of a well-formed document: prolog (declaration, comments,
// processing instructions, document type with its internal subset), elements
// with quoted attribute values, CDATA sections and character data, and keeps
// where the root element ends.
InsertionPoint FindRootInsertionPoint(std::u16string_view text)
{
    return FindElementInsertionPoint(text, 0);
}

InsertionPoint FindElementInsertionPoint(std::u16string_view text, size_t ordinal)
{
    InsertionPoint point;
    const size_t n = text.size();
    auto startsAt = [&](size_t at, std::u16string_view what) { return text.substr(at, what.size()) == what; };
    // One past the end of `what` found from `from`; npos when absent.
    auto after = [&](size_t from, std::u16string_view what) {
        size_t found = text.find(what, from);
        return found == std::u16string_view::npos ? found : found + what.size();
    };
    size_t pos = 0;
    size_t depth = 0;
    size_t startTags = 0;   // elements met so far, in document order
    size_t targetDepth = 0; // the depth inside the element sought, once it is open
    bool rootSeen = false;
    while (pos < n) {
        pos = FindUnit(text, u'<', pos);
        if (pos == std::u16string_view::npos)
            return point;
        size_t next;
        if (startsAt(pos, u"<?")) {
            next = after(pos + 2, u"?>");
        } else if (startsAt(pos, u"<!--")) {
            next = after(pos + 4, u"-->");
        } else if (startsAt(pos, u"<![CDATA[")) {
            next = after(pos + 9, u"]]>");
        } else if (startsAt(pos, u"<!")) {
            // Document type declaration: quoted literals, and inside the
            // internal subset comments and processing instructions, may hold
            // any of the characters that end it.
            size_t i = pos + 2;
            int brackets = 0;
            next = std::u16string_view::npos;
            while (i < n) {
                const char16_t c = text[i];
                if (brackets > 0 && startsAt(i, u"<!--")) {
                    i = after(i + 4, u"-->");
                } else if (brackets > 0 && startsAt(i, u"<?")) {
                    i = after(i + 2, u"?>");
                } else if (c == u'"' || c == u'\'') {
                    i = text.find(c, i + 1);
                    if (i != std::u16string_view::npos)
                        ++i;
                } else {
                    if (c == u'[')
                        ++brackets;
                    else if (c == u']')
                        --brackets;
                    else if (c == u'>' && brackets <= 0) {
                        next = i + 1;
                        break;
                    }
                    ++i;
                }
                if (i == std::u16string_view::npos)
                    break;
            }
        } else if (startsAt(pos, u"</")) {
            next = after(pos + 2, u">");
            if (depth == 0)
                return point;
            if (depth == targetDepth) {
                point.found = true;
                point.position = pos;
                return point;
            }
            --depth;
        } else {
            // A start tag or an empty-element tag; attribute values are quoted.
            size_t i = pos + 1;
            next = std::u16string_view::npos;
            while (i < n) {
                const char16_t c = text[i];
                if (c == u'"' || c == u'\'') {
                    i = text.find(c, i + 1);
                    if (i == std::u16string_view::npos)
                        break;
                    ++i;
                } else if (c == u'>') {
                    next = i + 1;
                    break;
                } else {
                    ++i;
                }
            }
            if (next == std::u16string_view::npos)
                return point;
            const bool empty = text[next - 2] == u'/';
            if (depth == 0) {
                if (rootSeen)
                    return point; // a second top-level element: not a document
                rootSeen = true;
            }
            if (startTags++ == ordinal) {
                if (empty) {
                    size_t nameEnd = pos + 1;
                    while (nameEnd < n && !IsNameEnd(text[nameEnd]))
                        ++nameEnd;
                    point.found = true;
                    point.emptyElement = true;
                    point.position = next - 2;
                    point.tagEnd = next;
                    point.name = text.substr(pos + 1, nameEnd - pos - 1);
                    return point;
                }
                targetDepth = depth + 1;
            }
            if (!empty)
                ++depth;
        }
        if (next == std::u16string_view::npos)
            return point;
        pos = next;
    }
    return point;
}

std::u16string ElementText(xmlNodePtr element)
{
    // The element's own document serialised without an encoding starts with
    // `<?xml version="1.0"?>` and a line feed.
    constexpr size_t kDeclarationLength = 22;
    common::UniqueXmlDoc doc(xmlNewDoc(reinterpret_cast<const xmlChar*>("1.0")));
    if (!doc)
        throw std::bad_alloc();
    xmlNodePtr copy = xmlDocCopyNode(element, doc.get(), 1);
    if (!copy)
        throw std::bad_alloc();
    xmlDocSetRootElement(doc.get(), copy);
    xmlReconciliateNs(doc.get(), copy);
    common::UniqueBstr text = common::SerializedDocument(doc.get());
    std::u16string_view s = common::View(text.get());
    if (s.size() < kDeclarationLength + 1)
        return {};
    return std::u16string(s.substr(kDeclarationLength, s.size() - kDeclarationLength - 1));
}

} // namespace trumik::signer
