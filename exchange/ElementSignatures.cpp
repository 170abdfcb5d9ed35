#include "ElementSignatures.h"

#include <libxml/valid.h>

#include <map>
#include <string>

namespace trumik::exchange {

namespace {

std::string_view View(const xmlChar* text)
{
    return text ? std::string_view(reinterpret_cast<const char*>(text)) : std::string_view();
}

bool IsIdAttribute(xmlAttrPtr attr)
{
    const std::string_view name = View(attr->name);
    if (!attr->ns)
        return name == "Id" || name == "id" || name == "ID";
    return name == "Id" && View(attr->ns->href) == kWsuNamespace;
}

std::string Value(xmlAttrPtr attr)
{
    std::string value;
    for (xmlNodePtr part = attr->children; part; part = part->next) {
        if (part->type == XML_TEXT_NODE)
            value += View(part->content);
    }
    return value;
}

// Calls visit(element) for every element of the document in document order;
// iterative, so that deep documents do not exhaust the stack.
template <class Visit> void ForEachElement(xmlNodePtr root, Visit visit)
{
    xmlNodePtr node = root;
    while (node) {
        if (node->type == XML_ELEMENT_NODE) {
            if (!visit(node))
                return;
            if (node->children) {
                node = node->children;
                continue;
            }
        }
        while (node && node != root && !node->next)
            node = node->parent;
        if (!node || node == root)
            return;
        node = node->next;
    }
}

} // namespace

std::vector<xmlAttrPtr> AttributesWithId(xmlDocPtr doc, std::string_view id)
{
    std::vector<xmlAttrPtr> found;
    ForEachElement(xmlDocGetRootElement(doc), [&](xmlNodePtr element) {
        for (xmlAttrPtr attr = element->properties; attr; attr = attr->next) {
            if (IsIdAttribute(attr) && Value(attr) == id) {
                found.push_back(attr);
                break;
            }
        }
        return true;
    });
    return found;
}

void RegisterUniqueIds(xmlDocPtr doc)
{
    std::map<std::string, std::vector<xmlAttrPtr>> byValue;
    ForEachElement(xmlDocGetRootElement(doc), [&](xmlNodePtr element) {
        for (xmlAttrPtr attr = element->properties; attr; attr = attr->next) {
            if (IsIdAttribute(attr))
                byValue[Value(attr)].push_back(attr);
        }
        return true;
    });
    for (auto& [value, attrs] : byValue) {
        if (attrs.size() == 1 && !xmlGetID(doc, reinterpret_cast<const xmlChar*>(value.c_str())))
            xmlAddID(nullptr, doc, reinterpret_cast<const xmlChar*>(value.c_str()), attrs.front());
    }
}

size_t ElementOrdinal(xmlDocPtr doc, xmlNodePtr element)
{
    size_t ordinal = 0;
    ForEachElement(xmlDocGetRootElement(doc), [&](xmlNodePtr node) {
        if (node == element)
            return false;
        ++ordinal;
        return true;
    });
    return ordinal;
}

bool HasElementWithoutNamespace(xmlNodePtr element)
{
    bool without = false;
    ForEachElement(element, [&](xmlNodePtr node) {
        without = !node->ns || !node->ns->href || !*node->ns->href;
        return !without;
    });
    return without;
}

bool DeclaresDocumentType(xmlDocPtr doc, std::u16string_view text)
{
    if (doc)
        return doc->intSubset != nullptr || doc->extSubset != nullptr;
    return text.find(u"<!DOCTYPE") != std::u16string_view::npos;
}

} // namespace trumik::exchange
