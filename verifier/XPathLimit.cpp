#include "XPathLimit.h"

#include "common/XmlGuards.h"

#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>
#include <xmlsec/xmlsec.h>

#include <xmlsec/errors.h>
#include <xmlsec/strings.h>
#include <xmlsec/xmltree.h>

#include <memory>
#include <string>

namespace trumik::verifier {

namespace {

// Operations allowed to one expression: a fixed allowance and a share for
// every node of the document, since the XPath filter evaluates its
// expression once for each node.
constexpr unsigned long kBaseOperations = 10'000'000;
constexpr unsigned long kOperationsPerNode = 256;

struct XPathContextFreer {
    void operator()(xmlXPathContextPtr ctx) const { xmlXPathFreeContext(ctx); }
};
struct XPathObjectFreer {
    void operator()(xmlXPathObjectPtr object) const { xmlXPathFreeObject(object); }
};
using UniqueXPathContext = std::unique_ptr<xmlXPathContext, XPathContextFreer>;
using UniqueXPathObject = std::unique_ptr<xmlXPathObject, XPathObjectFreer>;

void Silent(void*, xmlErrorPtr) {}

// here(): the node set of the XPath element itself, as the transforms define it.
void Here(xmlXPathParserContextPtr ctxt, int nargs)
{
    CHECK_ARITY(0);
    if (!ctxt->context->here)
        XP_ERROR(XPATH_INVALID_OPERAND);
    valuePush(ctxt, xmlXPathNewNodeSet(ctxt->context->here));
}

unsigned long CountNodes(xmlNodePtr node)
{
    unsigned long count = 0;
    for (; node; node = node->next) {
        ++count;
        if (node->type == XML_ELEMENT_NODE) {
            for (xmlAttrPtr a = node->properties; a; a = a->next)
                ++count;
            for (xmlNsPtr ns = node->nsDef; ns; ns = ns->next)
                ++count;
            count += CountNodes(node->children);
        }
    }
    return count;
}

bool IsXPathTransform(const xmlChar* algorithm, bool& filter2)
{
    filter2 = xmlStrEqual(algorithm, xmlSecXPath2Ns);
    return filter2 || xmlStrEqual(algorithm, xmlSecXPathNs);
}

// False only when the expression ran out of its operations.
bool EvaluateWithinLimit(xmlDocPtr doc, xmlNodePtr expressionNode, bool filter2, unsigned long limit)
{
    common::UniqueXmlBytes expression(xmlNodeGetContent(expressionNode));
    if (!expression)
        return true;
    UniqueXPathContext ctx(xmlXPathNewContext(doc));
    if (!ctx)
        return true;
    ctx->error = Silent;
    ctx->node = reinterpret_cast<xmlNodePtr>(doc);
    ctx->here = expressionNode;
    ctx->origin = expressionNode;
    xmlXPathRegisterFunc(ctx.get(), reinterpret_cast<const xmlChar*>("here"), Here);
    // The namespaces in scope at the expression, as the transform registers them.
    if (xmlNsPtr* list = xmlGetNsList(doc, expressionNode)) {
        for (xmlNsPtr* ns = list; *ns; ++ns) {
            if ((*ns)->prefix)
                xmlXPathRegisterNs(ctx.get(), (*ns)->prefix, (*ns)->href);
        }
        xmlFree(list);
    }
    std::string text = reinterpret_cast<const char*>(expression.get());
    if (!filter2)
        text = "(//. | //@* | //namespace::*)[boolean(" + text + ")]";
    ctx->opLimit = limit;
    ctx->opCount = 0;
    UniqueXPathObject result(
        xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(text.c_str()), ctx.get()));
    if (ctx->opCount < ctx->opLimit)
        return true;
    xmlSecError(__FILE__, __LINE__, "xmlXPathEvalExpression", nullptr, "XPath", XMLSEC_ERRORS_R_XML_FAILED,
                "the expression needs more than %lu operations: expr=%s", limit,
                reinterpret_cast<const char*>(expression.get()));
    return false;
}

} // namespace

bool XPathWithinLimit(xmlDocPtr doc, xmlNodePtr signature)
{
    // Counted only when an expression is found: most signatures have none.
    unsigned long limit = 0;
    // Every Transform under the signature, in SignedInfo and in any Manifest.
    for (xmlNodePtr node = signature; node;) {
        bool filter2 = false;
        if (node->type == XML_ELEMENT_NODE && xmlSecCheckNodeName(node, xmlSecNodeTransform, xmlSecDSigNs)) {
            common::UniqueXmlBytes algorithm(xmlGetProp(node, xmlSecAttrAlgorithm));
            if (algorithm && IsXPathTransform(algorithm.get(), filter2)) {
                for (xmlNodePtr child = node->children; child; child = child->next) {
                    if (child->type != XML_ELEMENT_NODE)
                        continue;
                    const bool expression = filter2
                                                ? xmlSecCheckNodeName(child, xmlSecNodeXPath, xmlSecXPath2Ns)
                                                : xmlSecCheckNodeName(child, xmlSecNodeXPath, xmlSecDSigNs);
                    if (!expression)
                        continue;
                    if (limit == 0)
                        limit = kBaseOperations + kOperationsPerNode * CountNodes(doc->children);
                    if (!EvaluateWithinLimit(doc, child, filter2, limit))
                        return false;
                }
            }
        }
        // Depth-first walk of the signature's subtree.
        if (node->children && node->type == XML_ELEMENT_NODE) {
            node = node->children;
            continue;
        }
        while (node && node != signature && !node->next)
            node = node->parent;
        if (!node || node == signature)
            break;
        node = node->next;
    }
    return true;
}

} // namespace trumik::verifier
