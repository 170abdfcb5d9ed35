// libFuzzer entry point: the normalisation transform. For every input that it
// accepts, the output must be well-formed XML (with well-formed namespaces when
// the input has them), and
// the transform applied to its own output must give that output again (but
// for the one loss the rules make: a carriage return in text, or a tab or
// line break in an attribute value, written as itself, which reading XML
// changes). An input it refuses must leave no output. Built with
// -fsanitize=fuzzer under TRUMIK_FUZZ; the test run drives it through
// FuzzNormalisationDriverTest.cpp.
#include "exchange/NormalisationTransform.h"

#include <libxml/parser.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

[[noreturn]] void Fail(const char* what, const std::string& input, const std::string& output)
{
    std::fprintf(stderr, "normalisation: %s\ninput:  %s\noutput: %s\n", what, input.c_str(), output.c_str());
    std::abort();
}

void Quiet(void*, const char*, ...) {}

struct Form {
    bool xml = false;        // well-formed XML
    bool namespaces = false; // and its namespaces as the parser wants them (declared prefixes, URIs)
};

Form WellFormed(const std::string& text)
{
    xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
    if (!ctxt)
        return {};
    xmlDocPtr doc =
        xmlCtxtReadMemory(ctxt, text.data(), static_cast<int>(text.size()), nullptr, nullptr,
                          XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_HUGE);
    const Form form{doc && ctxt->wellFormed, doc && ctxt->wellFormed && ctxt->nsWellFormed};
    xmlFreeDoc(doc);
    xmlFreeParserCtxt(ctxt);
    return form;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    xmlSetGenericErrorFunc(nullptr, Quiet);
    using trumik::exchange::Normalise;
    using trumik::exchange::NormaliseStatus;
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::string once;
    const auto first = Normalise(data, size, once);
    if (first.status != NormaliseStatus::Ok) {
        if (!once.empty())
            Fail("a refused input left output", input, once);
        return 0;
    }
    // A namespace name the parser finds wanting in the input stays so in the
    // output; any other namespace error would be the transform's.
    const Form output = WellFormed(once);
    if (!output.xml || (!output.namespaces && WellFormed(input).namespaces))
        Fail("the output is not well-formed", input, once);
    std::string twice;
    const auto second = Normalise(reinterpret_cast<const uint8_t*>(once.data()), once.size(), twice);
    if (second.status != NormaliseStatus::Ok)
        Fail("the output is refused", input, once);
    if (!first.rawLineBreakOrTab && twice != once)
        Fail("the output is not a fixed point", input, once + "\nagain:  " + twice);
    return 0;
}
