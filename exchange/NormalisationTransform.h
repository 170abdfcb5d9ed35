// The normalisation transform of the exchange profile
// (urn://smev-gov-ru/xmldsig/transform): reads the octets of the previous
// transform (exclusive C14N of the signed element) as XML and writes them
// anew with generated prefixes, sorted attributes, no comments, no
// processing instructions and no whitespace-only text. Offered as a function
// for tests and tools, and as an xmlsec transform klass that runs inside
// xmlsec's chain once registered beside xmlsec's own transforms.
#pragma once

#include <xmlsec/transforms.h>

#include <cstddef>
#include <string>

namespace trumik::exchange {

inline constexpr char kNormalisationHref[] = "urn://smev-gov-ru/xmldsig/transform";

enum class NormaliseStatus {
    Ok,
    NotParsed,   // the input is not well-formed XML (or declares a document type)
    NoNamespace, // an element without a namespace
};

struct NormaliseResult {
    NormaliseStatus status = NormaliseStatus::Ok;
    // The rules write a carriage return in text, and a tab, line feed or
    // carriage return in an attribute value, as the character itself; read
    // back as XML such a character changes (line ends, attribute value
    // normalisation), so the output of such an input is not a fixed point.
    bool rawLineBreakOrTab = false;
};

// Normalises `size` octets at `data` into `out` (replaced). out is left empty
// unless the status is Ok.
NormaliseResult Normalise(const unsigned char* data, size_t size, std::string& out);

// The xmlsec transform klass; binary in, binary out, usable as a reference
// transform only.
xmlSecTransformId NormalisationTransformGetKlass();

// Makes the klass known to xmlsec (common::AddTransform) for as long as the
// module that holds it is loaded (withdrawn when its statics are destroyed). The classes of the exchange
// module call it before their first operation; the first module's classes never enable it.
void UseNormalisationTransform();

} // namespace trumik::exchange
