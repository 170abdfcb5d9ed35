// A bound on the work of the XPath expressions a signature's transforms run.
#pragma once

#include <libxml/tree.h>

namespace trumik::verifier {

// Evaluates each XPath filter and XPath Filter 2.0 expression under the
// signature node as the library will, with a limit on XPath operations that
// grows with the size of the document. False (with a report to the library's
// error callback) when one of them goes over it; expressions that do not
// compile or evaluate here are left to the library to judge.
bool XPathWithinLimit(xmlDocPtr doc, xmlNodePtr signature);

} // namespace trumik::verifier
